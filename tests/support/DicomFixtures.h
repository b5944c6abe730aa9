#pragma once
// Synthetic DICOM files for tests, written with DCMTK.
//
// Voxel values encode their own coordinates by default (stored = 1000*z + 10*y + x, clamped to the
// pixel type), so a flipped or transposed result gives a wrong number rather than a plausible picture.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <memory>
#include <utility>

class DcmDataset;
class DcmItem;
class DcmTagKey;

namespace fixtures {

enum class PixelKind { Int16, UInt16, UInt8, Rgb8, UInt32 };
enum class Photometric { Monochrome2, Monochrome1 };
enum class Compression { None, JpegBaseline, JpegLsLossless, Rle };
enum class Plane { Axial, Sagittal, Coronal, Oblique };
// How fixture texts become bytes. Auto: ISO-8859-5 when the declared set is "ISO_IR 144",
// UTF-8 otherwise. Windows1251 writes raw Cyrillic code-page bytes whatever is declared.
enum class TextEncoding { Auto, Utf8, Windows1251, Iso8859_5 };

struct SeriesLayout
{
    // Patient / study / series. Empty UIDs are generated (one study and one series per layout).
    QString patientId = QStringLiteral("P0001");
    QString patientName = QStringLiteral("Test^Patient");
    QString birthDate = QStringLiteral("19700101");
    QString sex = QStringLiteral("M");
    QString studyUid;
    QString seriesUid;
    QString studyDate = QStringLiteral("20240115");
    QString studyTime = QStringLiteral("101500");
    QString studyDescription = QStringLiteral("Test study");
    QString accessionNumber = QStringLiteral("ACC1");
    QString seriesDescription = QStringLiteral("Test series");
    QString seriesNumber = QStringLiteral("1");
    QString modality = QStringLiteral("CT");
    QString bodyPart = QStringLiteral("CHEST");
    QString frameOfReferenceUid;  // generated when empty
    QString specificCharacterSet; // "", "ISO_IR 192", "ISO_IR 144"; texts are written as given (UTF-8 or raw)
    TextEncoding textEncoding = TextEncoding::Auto;

    // Geometry. Slice k lies at origin + k * sliceSpacing * normal, normal = row x col.
    int rows = 32;
    int columns = 32;
    int slices = 8;
    double rowSpacing = 0.8;    // first value of Pixel Spacing (between rows)
    double columnSpacing = 0.7; // second value (between columns)
    double sliceSpacing = 1.5;
    double sliceThickness = 1.5;
    std::array<double, 3> origin{-100.0, -120.0, 50.0};
    Plane plane = Plane::Axial;
    // Used for Plane::Oblique: row direction then column direction (normalised by the writer).
    std::array<double, 6> obliqueOrientation{0.8660254, 0.5, 0.0, 0.0, 0.0, -1.0};
    bool writeGeometry = true; // false: no position/orientation/slice location at all
    // When set, slice k lies sliceOffset(k) mm along the normal from the origin instead of
    // k * sliceSpacing: slices left out, uneven steps.
    std::function<double(int slice)> sliceOffset;
    // When set, the Image Position (Patient) of slice k, in place of the two above: stacks whose slices
    // slide within their planes, as where the table moves along z under a tilted gantry.
    std::function<std::array<double, 3>(int slice)> sliceOrigin;

    // Pixels.
    PixelKind pixels = PixelKind::Int16;
    Photometric photometric = Photometric::Monochrome2;
    Compression compression = Compression::None;
    double rescaleSlope = 1.0;
    double rescaleIntercept = -1024.0;
    // Enhanced multi-frame only: when set, the rescale (slope, intercept) of frame k, written into that
    // frame's own functional groups instead of the shared ones (which then hold none).
    std::function<std::pair<double, double>(int frame)> frameRescale;
    double windowCenter = 40.0;
    double windowWidth = 400.0;
    // Stored value of voxel (x, y, z); default is the coordinate code above. For RGB the value is
    // used for all three samples unless rgbValue is set.
    std::function<int(int x, int y, int z)> value;
    std::function<std::array<int, 3>(int x, int y, int z)> rgbValue;

    // Instances and time.
    int firstInstanceNumber = 1;
    bool reverseInstanceNumbers = false;   // instance numbers run opposite to the spatial order
    double acquisitionTimeStart = 36000.0; // seconds since midnight, < 0: no Acquisition Time
    double acquisitionTimeStep = 0.0;
    // When set, Temporal Position Index of slice/frame k (top level for single-frame files,
    // Frame Content Sequence for enhanced multi-frame files).
    std::function<int(int slice)> temporalPositionIndex;

    // Last chance to change a data set before it is saved (slice index; -1 for a multi-frame file).
    std::function<void(DcmDataset& ds, int slice)> customize;
};

// Fills generated UIDs in place so that several writes of one layout share study and series.
void completeUids(SeriesLayout& layout);
QString newUid();

// The stored value the default generator writes for voxel (x, y, z) of a signed 16-bit series.
int coordinateValue(int x, int y, int z);

// Direction cosines of the series' plane: row (0..2) and column (3..5).
std::array<double, 6> orientationOf(const SeriesLayout& layout);
std::array<double, 3> slicePosition(const SeriesLayout& layout, int slice);
// Patient position (mm) of the centre of pixel (column x, row y) of slice k.
std::array<double, 3> pixelPosition(const SeriesLayout& layout, double x, double y, int slice);

// Stacks that a volume built straight along the slice normal misplaces. Both step the table 2 mm along
// z. TiltedGantry: planes tilted 20 degrees about x, each slid 0.68 mm within its plane against the
// one before. Sheared: axial planes whose positions also step 0.73 mm along y (20 degrees off z).
// Regular: axial planes 2 mm apart.
enum class StackShape { Regular, TiltedGantry, Sheared };
void shapeStack(SeriesLayout& layout, StackShape shape);

// One single-frame file per slice, named IMG_<k>.dcm in dir. Returns the written paths in slice order.
QStringList writeSeries(const QString& dir, SeriesLayout layout);
// One file for slice k of the series.
QString writeSlice(const QString& path, const SeriesLayout& layout, int slice);
// The same, grown by an Image Comments element to exactly `size` bytes when it is smaller by at least
// that element's header: another object in a file of one size with a given one (same-sized slices
// of two discs). Written as it is otherwise.
QString writeSliceOfSize(const QString& path, SeriesLayout layout, int slice, qint64 size);
// Classic multi-frame (all frames in one file, top-level geometry of slice 0).
QString writeMultiFrame(const QString& path, SeriesLayout layout);
// Enhanced multi-frame with shared and per-frame functional groups (plane position per frame,
// pixel measures and orientation in the shared groups).
QString writeEnhancedMultiFrame(const QString& path, SeriesLayout layout);

// Saves an arbitrary data set as a Part-10 file (explicit little endian unless the data set is encoded).
bool saveDataset(const QString& path, DcmDataset& ds);
// The file's data set, all of it in memory (as a peer sends it); null when it cannot be read.
std::unique_ptr<DcmDataset> loadDataset(const QString& path);
// A ZIP of the files, stored uncompressed under their paths below root.
bool writeZip(const QString& zipPath, const QString& root, const QStringList& files);

// An encapsulated PDF report of the layout's patient and study (its own series): Document Title and the
// PDF's own bytes both hold `text`. Returns the path, empty when saving failed.
QString writeEncapsulatedPdf(const QString& path, SeriesLayout layout, const QByteArray& text);

// A Basic Text SR of the layout's patient and study (its own series, number 99) whose finding, two
// levels down its content tree, is `text`. Returns the path, empty when saving failed.
QString writeTextReport(const QString& path, SeriesLayout layout, const QByteArray& text);
// A Key Object Selection of the layout's patient and study (its own series, number 99): its description
// is `text`, and it selects the one image named.
QString writeKeyObjectSelection(const QString& path, SeriesLayout layout, const QByteArray& text,
                                const QString& imageSopClass, const QString& imageSopInstance);

// Objects without an image whose own text may name the patient, `text` in each free-text element it
// holds: a presentation state (a text object, its layer's description, a graphic group's label and
// description, the content label and description), a structured display (a text box, the content
// description), a 12-lead ECG (an annotation, a multiplex group label), raw data filed as "other" (a
// private element). Turns the data set of an image (a layout's customize step) into one: the pixels go.
enum class TextObject { PresentationState, StructuredDisplay, Waveform, RawData };
void makeTextObject(DcmDataset& ds, TextObject kind, const QByteArray& text);

// Turns an encapsulated file (a layout written compressed) into a video of the given transfer syntax:
// its stream is a stand-in MP4 whose metadata (a title box) holds `text`.
void makeVideo(const QString& path, const QByteArray& transferSyntax, const QByteArray& text);

// Text bytes as the writer puts them (see TextEncoding; Auto means UTF-8 here).
QByteArray encodeText(const QString& text, TextEncoding encoding);
// Puts exactly these bytes as the value of a text element (no conversion, no checks).
void putRawText(DcmItem& item, const DcmTagKey& tag, const QByteArray& bytes);

// Registers DCMTK's JPEG baseline and RLE encoders once per process (thread-safe). Decoders and the
// JPEG-LS encoder belong to dicom::registerCodecs(); the writer holds that registration while it encodes,
// and a test that decodes holds its own (dicom::CodecRegistrationScope).
void registerCodecs();

// Rewrites the file as old archives hold some: the meta header names explicit VR big endian while the
// data set is written in implicit VR big endian.
void mislabelAsExplicitBigEndian(const QString& path);

// Replaces the first compressed fragment of an encapsulated file with what `change` makes of it
// (padded to an even length), keeping its transfer syntax.
void rewriteFirstFragment(const QString& path, const std::function<QByteArray(const QByteArray&)>& change);

// JPEG streams on which DCMTK's bit-depth scan never returns, made from one the encoder wrote (which
// starts with its JFIF segment): fill bytes, then a TEM marker, where that segment was; and a TEM
// marker behind an APP segment of 65,520 bytes.
QByteArray jpegWithFillBytesThenTem(const QByteArray& jpeg);
QByteArray jpegWithTemAfterLongSegment(const QByteArray& jpeg);
// The same long APP segment before the encoder's own stream: harmless.
QByteArray jpegWithLongSegment(const QByteArray& jpeg);

// An 8-bit image of rows x columns zeros in the deflated transfer syntax whose deflate stream repeats
// one compressed megabyte of zeros: a file of about a thousandth of what it inflates to.
QString writeDeflatedZeros(const QString& path, int rows, int columns);
// An 8-bit image of rows x columns zeros in the deflated transfer syntax, its deflate stream stored
// without compression, as some encoders write it.
QString writeDeflatedStored(const QString& path, int rows, int columns);
// Declares `bytes` of native pixel data in a file whose pixel data is its last element, growing the
// file to hold them without writing them (the file system keeps the gap as a hole).
void growPixelDataSparsely(const QString& path, quint32 bytes);

// Rewrites the data set of an encapsulated file in implicit VR little endian, its compressed fragments
// as they were, under the meta header as it was (naming the compressed syntax): a known fault of
// some encoders.
void writeDataSetAsImplicitVr(const QString& path);

// Replaces every occurrence of `from` by `to` (of the same length, so that no offset moves), for
// example to name another transfer syntax in the meta header.
void replaceInFile(const QString& path, const QByteArray& from, const QByteArray& to);

// Names another transfer syntax in the meta header of a file DCMTK wrote, whatever the length of its
// UID (the group length follows); the data set stays as it is.
void relabelTransferSyntax(const QString& path, QByteArray uid);

// Bad files.
void writeTruncatedCopy(const QString& source, const QString& target, qint64 bytes);
void writeBytes(const QString& path, const QByteArray& bytes);
// 128-byte preamble, "DICM", then the given bytes.
void writeDicmWithPayload(const QString& path, const QByteArray& payload);
// Appends `depth` nested sequences of undefined length (explicit little endian), each holding one
// item that holds the next: a file DCMTK's recursive reader cannot take when deep enough.
void appendNestedSequences(const QString& path, int depth);
QByteArray nestedSequenceBytes(int depth);

// Hostile data sets of the shapes crafted files, archives and search answers bring (explicit VR
// little endian). The files are small images (8 x 8, without pixel data of their own) followed by the
// hostile part.
// Pixel Data (7FE0,0010) as a sequence of undefined length `depth` levels deep: with VR "SQ" every
// level is Pixel Data again; with VR "UN" the levels inside are implicit VR, as UN holds them.
QByteArray nestedPixelDataBytes(int depth, const QByteArray& vr);
QString writeNestedPixelData(const QString& path, int depth, const QByteArray& vr);
// `count` empty LO elements of groups 9000 and up (after the pixel data), in descending or ascending
// tag order.
QByteArray emptyElementsBytes(int count, bool descending);
QString writeManyEmptyElements(const QString& path, int count, bool descending);
// A deflated data set whose `depth` nested sequences follow 65 MiB of one OB value (64 MiB of zeros
// and 1 MiB of noise, which keeps the file within the ratio a data set may inflate by).
QString writeDeflatedNestingAfter64MiB(const QString& path, int depth);
// A deflated file whose meta header ends, by its group length, where a deflate stream starts whose
// first bytes read as one more group-0002 element of 1.4 GB. The stream inflates to a data set ending
// in 1 GiB of zero pixel data (nestedDepth 0), or in `nestedDepth` nested sequences.
QString writeDeflatedBehindMetaLookalike(const QString& path, int nestedDepth);

} // namespace fixtures
