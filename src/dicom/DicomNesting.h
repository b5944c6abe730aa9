#pragma once

#include <QString>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcxfer.h>

class DcmInputStream;
class DcmMetaInfo;
class OFCondition;

namespace dicom {

struct GuardedReading;
class OpenedFile;

// DCMTK parses nested sequences by recursion, about one and a half kilobytes of stack per level: a
// file of a few megabytes can nest deeply enough to overflow any thread's stack. Its parse is stopped
// before the stack's end (GuardedDicomStream.h), and a data set nested deeper than this is refused:
// real files nest a few levels (a structured report some tens), and every later walk of the tree DCMTK
// built then fits any thread's stack.
constexpr int kMaxSequenceNesting = 256;

// Stack for threads that parse DICOM files (importers, archive import, search answers): generous,
// so that DCMTK's codecs never come near the limit whatever the platform's default is.
constexpr unsigned kParsingThreadStackSize = 16u * 1024 * 1024;

// DCMTK keeps every element, item and fragment as an object of its own (some 150 bytes each), and
// inserts each element into its item's sorted list by walking back from the end: elements written in
// descending order cost time by the square of their number. Real files hold some hundred thousand
// objects at most and write their elements in ascending order, with at most a few out of place, so a
// data set holding more objects, or whose misplaced elements would take more steps of that walk, is
// refused before DCMTK reads it.
constexpr qint64 kMaxDatasetElements = 1000000;
constexpr qint64 kMaxElementReorderSteps = 16ll * 1024 * 1024;

// Deepest level of sequences in the file's data set as the walk below counts it, stopping once
// `stopAbove` is passed. Where the data set starts and how it is encoded is what DCMTK's own reading
// of the meta header says; a deflated data set is inflated and walked to its end without being kept.
int sequenceNestingDepth(const QString& path, int stopAbove = kMaxSequenceNesting);

// DCMTK inflates a deflated data set in full, bulk values included, whatever limit it is given for
// reading values: a megabyte of deflated zeros becomes a gigabyte in every reader. A data set that
// would inflate past kMaxInflatedDatasetBytes, or past kMaxInflationRatio times its deflated size
// once above kInflationRatioFloor, is refused before DCMTK sees it. Ordinary files stay far below.
constexpr qint64 kMaxInflatedDatasetBytes = 1024ll * 1024 * 1024;
constexpr qint64 kInflationRatioFloor = 64ll * 1024 * 1024;
constexpr qint64 kMaxInflationRatio = 100;

// Why a data set must not be read. DeepNesting is also what a parse stopped before the stack's end,
// or a tree DCMTK built deeper than kMaxSequenceNesting, comes to. Unfollowable: a shape whose
// reading by DCMTK the walk cannot tell (a VR DCMTK does not know, of undefined length; a tag of the
// item group that is no item or delimiter; an item where an element belongs; a meta header of which
// DCMTK would read more than any real one holds), refused rather than guessed at. Truncated: a value
// that runs past the end of the data. Changed: the file was cut short, written into or became
// unreadable (a disc taken out) while the walk read it.
enum class ParseHazard {
    None,
    DeepNesting,
    InflatesTooFar,
    TooManyElements,
    ElementsOutOfOrder,
    Unfollowable,
    Truncated,
    Changed,
    OtherObject, // the file read holds another object than the index row it was read for
};
// Whether the file may be read, as every reader finds when it opens it (DicomFileLoading.h).
ParseHazard parseHazard(const QString& path);
// Where a file's data set starts and how DCMTK will read it, from DCMTK's own reading of the meta
// header: the transfer syntax the header names (EXS_Unknown when it names none DCMTK knows; DCMTK
// finds it in the items of the header's sequences too) and the one DCMTK detects from the data set's
// first bytes, which it reads by when the header names none.
struct DatasetStart
{
    qint64 offset = 0;
    E_TransferSyntax named = EXS_Unknown;
    E_TransferSyntax detected = EXS_Unknown;
};
// A meta header holds a few UIDs and names: DCMTK reading more of one than this is no meta header.
constexpr qint64 kMaxMetaHeaderBytesRead = 64 * 1024;
// Reads the meta header from `stream` into `meta` as DCMTK's loadFile does and leaves the stream where
// the data set starts. DeepNesting, or Unfollowable when DCMTK would read more of it than any meta
// header holds, refuse the file; otherwise `status` is DCMTK's own.
ParseHazard readMetaHeader(DcmMetaInfo& meta, DcmInputStream& stream, GuardedReading& reading, DatasetStart& start,
                           OFCondition& status);
// What one walk of the data set tells a reader before DCMTK reads it: the hazard above, and, for a
// data set that may be read, whether it must be read in the encoding its first element shows rather
// than the one its meta header names (old archives label implicit VR big endian as explicit, and an
// encoder's known fault writes implicit VR under a compressed syntax; a first element whose group
// reads small in either byte order, group 0000, shows no byte order).
struct FileCheck
{
    ParseHazard hazard = ParseHazard::None;
    bool encodingDiffersFromMeta = false;
};
// Walks the data set through the opening the caller parses.
FileCheck checkFileDataset(const OpenedFile& file, const DatasetStart& start);
// The same for a whole file's bytes held in memory.
FileCheck checkFileDataset(const uchar* data, qint64 size, const DatasetStart& start);
// Files up to this size are read whole into memory by the readers, once, and walked and parsed there.
constexpr qint64 kLargestReadFile = 1024 * 1024;
// The bytes of an opened file of at most kLargestReadFile (its size when opened), read at once into a
// buffer this thread keeps (good until the thread reads the next file so); null when the file is
// larger or cannot be read. `size`: how many were read.
const uchar* readSmallFile(const OpenedFile& file, qint64* size);
// The same for a data set without meta header held in memory (as it came over the network), encoded
// in `syntax` (EXS_Unknown: as DCMTK detects from its first bytes).
ParseHazard checkDataset(const uchar* data, qint64 size, E_TransferSyntax syntax);
// What the walk counted of a data set (depth of sequences; elements, items and fragments), for
// comparing with the tree DCMTK builds of the same bytes: DCMTK must never build more than this.
struct WalkFigures
{
    ParseHazard hazard = ParseHazard::None;
    int depth = 0;
    qint64 objects = 0;
};
WalkFigures walkFigures(const QString& path);
WalkFigures walkFigures(const uchar* data, qint64 size, E_TransferSyntax syntax);

// The reason as the viewer words it; empty for None.
QString parseHazardText(ParseHazard hazard);

namespace testing {
// Called by the walk of a file between opening (or reading it whole) and walking its data set (null:
// nothing). Tests only:
// it lets a test change the file at that very moment; it decides nothing.
void setBeforeWalkHook(void (*hook)(void* context), void* context);
} // namespace testing

} // namespace dicom
