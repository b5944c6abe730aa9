#pragma once

#include <QString>

namespace dicom {

// DCMTK parses nested sequences by recursion, about a kilobyte of stack per level: a file of a few
// megabytes can nest deeply enough to overflow any thread's stack. Real files nest a few levels (a
// structured report some tens), so anything deeper than this is refused before DCMTK sees it.
constexpr int kMaxSequenceNesting = 256;

// Stack for threads that parse DICOM files (importers, archive import, search answers): generous,
// so that the recursion above and DCMTK's codecs never come near the limit whatever the platform's
// default is.
constexpr unsigned kParsingThreadStackSize = 16u * 1024 * 1024;

// DCMTK keeps every element, item and fragment as an object of its own (some 150 bytes each), and
// inserts each element into its item's sorted list by walking back from the end: elements written in
// descending order cost time by the square of their number. Real files hold some hundred thousand
// objects at most and write their elements in ascending order, with at most a few out of place, so a
// data set holding more objects, or whose misplaced elements would take more steps of that walk, is
// refused before DCMTK reads it.
constexpr qint64 kMaxDatasetElements = 1000000;
constexpr qint64 kMaxElementReorderSteps = 16ll * 1024 * 1024;

// Deepest level of sequences in the file, counted without building any data set, stopping once
// `stopAbove` is passed. The count follows what DCMTK reads: the meta header ends where its group
// length says, a deflated data set is inflated and walked to its end without being kept, and damaged
// lengths end the count there (DCMTK refuses those itself).
int sequenceNestingDepth(const QString& path, int stopAbove = kMaxSequenceNesting);

// DCMTK inflates a deflated data set in full, bulk values included, whatever limit it is given for
// reading values: a megabyte of deflated zeros becomes a gigabyte in every reader. A data set that
// would inflate past kMaxInflatedDatasetBytes, or past kMaxInflationRatio times its deflated size
// once above kInflationRatioFloor, is refused before DCMTK sees it. Ordinary files stay far below.
constexpr qint64 kMaxInflatedDatasetBytes = 1024ll * 1024 * 1024;
constexpr qint64 kInflationRatioFloor = 64ll * 1024 * 1024;
constexpr qint64 kMaxInflationRatio = 100;

// Why a data set must not reach DCMTK's parser, found without building any data set.
enum class ParseHazard { None, DeepNesting, InflatesTooFar, TooManyElements, ElementsOutOfOrder };
ParseHazard parseHazard(const QString& path);
// What one walk of a file tells a reader before DCMTK reads it: the hazard above, and, for a file
// that may be read, whether its data set must be read again as datasetEncodingDiffersFromMeta says.
struct FileCheck
{
    ParseHazard hazard = ParseHazard::None;
    bool encodingDiffersFromMeta = false;
};
FileCheck checkFile(const QString& path);
// The same for a data set without meta header held in memory (as it came over the network), encoded
// in the transfer syntax with this UID.
ParseHazard datasetParseHazard(const uchar* data, qint64 size, const QString& transferSyntaxUid);
// The reason as the viewer words it; empty for None.
QString parseHazardText(ParseHazard hazard);

// True when the data set's first element shows another encoding (implicit or explicit VR, byte
// order) than the transfer syntax its meta header names: old archives label implicit VR big endian
// as explicit, and an encoder's known fault writes implicit VR under a compressed syntax. A first
// element whose group reads small in either byte order (group 0000) shows no byte order.
bool datasetEncodingDiffersFromMeta(const QString& path);

} // namespace dicom
