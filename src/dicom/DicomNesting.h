#pragma once

#include <QString>

namespace dicom {

// DCMTK parses nested sequences by recursion, about a kilobyte of stack per level: a file of a few
// megabytes can nest deeply enough to overflow any thread's stack. Real files nest a few levels (a
// structured report some tens), so anything deeper than this is refused before DCMTK sees it.
constexpr int kMaxSequenceNesting = 256;

// Stack for threads that parse DICOM files (importers, archive import): generous, so that the
// recursion above and DCMTK's codecs never come near the limit whatever the platform's default is.
constexpr unsigned kParsingThreadStackSize = 16u * 1024 * 1024;

// Deepest level of sequences in the file, counted without building any data set, stopping once
// `stopAbove` is passed. Parts that cannot be walked (deflated data sets, damaged lengths) end the
// count there: DCMTK refuses those itself.
int sequenceNestingDepth(const QString& path, int stopAbove = kMaxSequenceNesting);

// The same count for a data set without meta header held in memory (as it came over the network),
// encoded in the transfer syntax with this UID.
int datasetNestingDepth(const uchar* data, qint64 size, const QString& transferSyntaxUid,
                        int stopAbove = kMaxSequenceNesting);

// False when the file nests sequences deeper than kMaxSequenceNesting.
bool nestingWithinLimit(const QString& path);

// DCMTK inflates a deflated data set in full, bulk values included, whatever limit it is given for
// reading values: a megabyte of deflated zeros becomes a gigabyte in every reader. A data set that
// would inflate past kMaxInflatedDatasetBytes, or past kMaxInflationRatio times its deflated size
// once above kInflationRatioFloor, is refused before DCMTK sees it. Ordinary files stay far below.
constexpr qint64 kMaxInflatedDatasetBytes = 1024ll * 1024 * 1024;
constexpr qint64 kInflationRatioFloor = 64ll * 1024 * 1024;
constexpr qint64 kMaxInflationRatio = 100;

// Why a file must not reach DCMTK's parser, found without building any data set.
enum class ParseHazard { None, DeepNesting, InflatesTooFar };
ParseHazard parseHazard(const QString& path);
// The reason as the viewer words it; empty for None.
QString parseHazardText(ParseHazard hazard);

// True when the data set's first element shows another encoding (implicit or explicit VR, byte
// order) than the transfer syntax its meta header names: old archives label implicit VR big endian
// as explicit, and an encoder's known fault writes implicit VR under a compressed syntax.
bool datasetEncodingDiffersFromMeta(const QString& path);

} // namespace dicom
