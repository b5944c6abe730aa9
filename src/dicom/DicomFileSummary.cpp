#include "dicom/DicomFileSummary.h"

#include "dicom/DicomFileLoading.h"
#include "dicom/DicomItemLists.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <cmath>
#include <exception>
#include <filesystem>
#include <algorithm>
#include <system_error>
#include <vector>

namespace dicom {
namespace {

// No text the summary reads is anywhere near this long; a larger declared length is a damaged
// or hostile file, and fetching it would allocate whatever the file claims.
constexpr Uint32 kMaxTextValueLength = 1u << 20;

// The elements of the data set being summarized on this thread, by tag, found by one walk of its
// list: DCMTK walks the list from its start for each of the forty tags the summary reads.
struct ElementIndex
{
    const DcmItem* item = nullptr;
    std::vector<std::pair<Uint32, DcmElement*>> elements; // ascending by tag
};
thread_local ElementIndex t_index;

Uint32 tagNumber(const DcmTagKey& tag)
{
    return (Uint32(tag.getGroup()) << 16) | tag.getElement();
}

// The element of the item itself under the tag, as findAndGetElement finds it; null when absent.
DcmElement* elementOf(DcmItem& item, const DcmTagKey& tag)
{
    if (&item == t_index.item) {
        const Uint32 wanted = tagNumber(tag);
        const auto found = std::lower_bound(t_index.elements.begin(), t_index.elements.end(), wanted,
                                            [](const auto& entry, Uint32 key) { return entry.first < key; });
        return found != t_index.elements.end() && found->first == wanted ? found->second : nullptr;
    }
    DcmElement* element = nullptr;
    return item.findAndGetElement(tag, element, OFFalse).good() ? element : nullptr;
}

// Makes elementOf look the data set's elements up in an index while it lives.
class IndexedElements
{
public:
    explicit IndexedElements(DcmItem& item)
    {
        t_index.item = &item;
        t_index.elements.clear();
        for (DcmObject* object = item.nextInContainer(nullptr); object; object = item.nextInContainer(object))
            t_index.elements.emplace_back(tagNumber(object->getTag()), static_cast<DcmElement*>(object));
        // DCMTK keeps an item's elements in tag order; a tag twice is found first, as DCMTK finds it.
        std::stable_sort(t_index.elements.begin(), t_index.elements.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    }
    ~IndexedElements()
    {
        t_index.item = nullptr;
        t_index.elements.clear(); // its room is kept for the next
    }
    IndexedElements(const IndexedElements&) = delete;
    IndexedElements& operator=(const IndexedElements&) = delete;
};

// The whole value of an element in the item itself, as DCMTK renders it as text (values joined by
// backslashes), and the element. Null when absent, unreadable or implausibly long.
DcmElement* fetchWholeValue(DcmItem& item, const DcmTagKey& tag, OFString& value)
{
    DcmElement* element = elementOf(item, tag);
    if (!element)
        return nullptr;
    if (element->getLength() > kMaxTextValueLength)
        return nullptr;
    return element->getOFStringArray(value).good() ? element : nullptr;
}

QString utf8Trimmed(const OFString& value)
{
    return QString::fromUtf8(value.c_str(), qsizetype(value.length())).trimmed();
}

std::optional<double> parseNumber(const QString& text)
{
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    // "nan" and "inf" parse, but no DICOM number is either; they would poison every later sum.
    if (!ok || !std::isfinite(v))
        return std::nullopt;
    return v;
}

// Reads the first value of an integer element whatever its integer value representation.
void readIntegerElement(DcmItem& item, const DcmTagKey& tag, qint32& field)
{
    DcmElement* element = elementOf(item, tag);
    if (!element)
        return;
    if (element->getLength() > kMaxTextValueLength)
        return;
    switch (element->ident()) {
    case EVR_US: {
        Uint16 v = 0;
        if (element->getUint16(v, 0).good())
            field = qint32(v);
        return;
    }
    case EVR_SS: {
        Sint16 v = 0;
        if (element->getSint16(v, 0).good())
            field = qint32(v);
        return;
    }
    case EVR_UL: {
        Uint32 v = 0;
        if (element->getUint32(v, 0).good())
            field = qint32(v);
        return;
    }
    default: {
        Sint32 v = 0;
        if (element->getSint32(v, 0).good())
            field = v;
        return;
    }
    }
}

// Splits the whole value at backslashes; only a value with exactly `count` parts fills `out`,
// a part that does not parse giving 0.
bool readVector(DcmItem& item, const DcmTagKey& tag, int count, double* out)
{
    OFString value;
    if (!fetchWholeValue(item, tag, value))
        return false;
    const QStringList parts = QString::fromUtf8(value.c_str(), qsizetype(value.length()))
                                  .split(QLatin1Char('\\'), Qt::KeepEmptyParts);
    if (parts.size() != count)
        return false;
    for (int i = 0; i < count; ++i)
        out[i] = parseNumber(parts[i]).value_or(0.0);
    return true;
}

// Window Center and Width may hold several windows ("40\400"); the first one is the default.
double readFirstDouble(DcmItem& item, const DcmTagKey& tag, double defaultValue)
{
    OFString value;
    if (!fetchWholeValue(item, tag, value))
        return defaultValue;
    const QString text = QString::fromUtf8(value.c_str(), qsizetype(value.length()));
    return parseNumber(text.section(QLatin1Char('\\'), 0, 0)).value_or(defaultValue);
}

const QSet<QString>& lateralityWords()
{
    static const QSet<QString> words{QStringLiteral("L"), QStringLiteral("R"), QStringLiteral("LEFT"),
                                     QStringLiteral("RIGHT")};
    return words;
}

DcmItem* firstItem(DcmItem& item, const DcmTagKey& sequence)
{
    DcmItem* found = nullptr;
    if (item.findAndGetSequenceItem(sequence, found, 0, OFFalse).bad())
        return nullptr;
    return found;
}

struct Geometry
{
    bool positionFound = false;
    bool orientationFound = false;
};

bool spacingMissing(const DicomFileSummary& s)
{
    return s.pixelSpacingX <= 0.0 || s.pixelSpacingY <= 0.0;
}

void readSpacing(DcmItem& item, DicomFileSummary& s)
{
    double spacing[2];
    if (readVector(item, DCM_PixelSpacing, 2, spacing)) {
        s.pixelSpacingY = spacing[0];
        s.pixelSpacingX = spacing[1];
    }
}

bool readOrientation(DcmItem& item, DicomFileSummary& s)
{
    double o[6];
    if (!readVector(item, DCM_ImageOrientationPatient, 6, o))
        return false;
    s.orientationRow = {o[0], o[1], o[2]};
    s.orientationCol = {o[3], o[4], o[5]};
    return true;
}

// Fills missing spacing, thickness and orientation from one functional-groups item.
void completeFromGroups(DcmItem& groups, DicomFileSummary& s, Geometry& g)
{
    if (DcmItem* measures = firstItem(groups, DCM_PixelMeasuresSequence)) {
        if (spacingMissing(s))
            readSpacing(*measures, s);
        if (s.sliceThickness <= 0.0)
            s.sliceThickness = readDoubleElement(*measures, DCM_SliceThickness, 0.0);
    }
    if (!g.orientationFound) {
        if (DcmItem* orientation = firstItem(groups, DCM_PlaneOrientationSequence))
            g.orientationFound = readOrientation(*orientation, s);
    }
}

double squaredLength(const std::array<double, 3>& v)
{
    return v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
}

// Returns whether any per-frame item carried a plane position.
bool completeMultiFrame(DcmDataset& ds, DicomFileSummary& s, Geometry& g)
{
    if (spacingMissing(s) || !g.orientationFound) {
        DcmItem* shared = firstItem(ds, DCM_SharedFunctionalGroupsSequence);
        if (shared)
            completeFromGroups(*shared, s, g);
    }

    DcmSequenceOfItems* perFrame = nullptr;
    if (ds.findAndGetSequence(DCM_PerFrameFunctionalGroupsSequence, perFrame, OFFalse).bad() || !perFrame)
        return false;

    if ((spacingMissing(s) || s.sliceThickness <= 0.0 || !g.orientationFound) && perFrame->card() > 0) {
        if (DcmItem* first = perFrame->getItem(0))
            completeFromGroups(*first, s, g);
    }

    std::array<double, 3> normal{0.0, 0.0, 0.0};
    bool normalValid = false;
    if (g.orientationFound && squaredLength(s.orientationRow) > 1e-6 &&
        squaredLength(s.orientationCol) > 1e-6) {
        const auto& r = s.orientationRow;
        const auto& c = s.orientationCol;
        normal = {r[1] * c[2] - r[2] * c[1], r[2] * c[0] - r[0] * c[2], r[0] * c[1] - r[1] * c[0]};
        const double len2 = squaredLength(normal);
        if (len2 > 1e-6) {
            const double len = std::sqrt(len2);
            for (double& v : normal)
                v /= len;
            normalValid = true;
        }
    }

    bool anyPosition = false;
    for (DcmItem* frame : itemsOf(*perFrame)) {
        qint32 temporal = 0;
        if (DcmItem* content = firstItem(*frame, DCM_FrameContentSequence))
            readIntegerElement(*content, DCM_TemporalPositionIndex, temporal);
        s.perFrameTemporalPositionIndex.append(temporal);

        if (DcmItem* position = firstItem(*frame, DCM_PlanePositionSequence)) {
            double p[3];
            if (readVector(*position, DCM_ImagePositionPatient, 3, p)) {
                s.perFramePositionX.append(p[0]);
                s.perFramePositionY.append(p[1]);
                s.perFramePositionZ.append(p[2]);
                s.perFrameSliceLocation.append(
                    normalValid ? normal[0] * p[0] + normal[1] * p[1] + normal[2] * p[2] : p[2]);
                anyPosition = true;
            }
        }
    }
    return anyPosition;
}

// How many frames the pixel data really holds, whatever Number of Frames claims: the index makes one
// row per frame, so a small file declaring two billion frames must not be believed.
qint64 framesPresent(DcmDataset& ds, const DicomFileSummary& s)
{
    DcmElement* element = nullptr;
    double bitsAllocated = 0.0;
    if (ds.findAndGetElement(DCM_PixelData, element, OFFalse).good() && element) {
        Uint16 bits = 0;
        ds.findAndGetUint16(DCM_BitsAllocated, bits);
        bitsAllocated = bits;
    } else if (ds.findAndGetElement(DCM_FloatPixelData, element, OFFalse).good() && element) {
        bitsAllocated = 32.0;
    } else if (ds.findAndGetElement(DCM_DoubleFloatPixelData, element, OFFalse).good() && element) {
        bitsAllocated = 64.0;
    } else {
        return 1; // no pixels: nothing to show frame by frame
    }

    if (DcmXfer(ds.getOriginalXfer()).isEncapsulated() && element->getTag() == DCM_PixelData) {
        // Every compressed frame takes at least one fragment after the offset table.
        auto* pixelData = OFstatic_cast(DcmPixelData*, element);
        E_TransferSyntax repType = EXS_Unknown;
        const DcmRepresentationParameter* repParam = nullptr;
        pixelData->getOriginalRepresentationKey(repType, repParam);
        DcmPixelSequence* sequence = nullptr;
        if (pixelData->getEncapsulatedRepresentation(repType, repParam, sequence).bad() || !sequence)
            return 1;
        return qMax<qint64>(1, qint64(sequence->card()) - 1);
    }

    Uint16 samples = 1;
    ds.findAndGetUint16(DCM_SamplesPerPixel, samples);
    OFString photometric;
    ds.findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    const bool subsampled = photometric == "YBR_FULL_422" || photometric == "YBR_PARTIAL_422";
    // In double: the declared fields multiply past 64 bits in a hostile header.
    const double frameBits = double(s.rows) * double(s.columns) * bitsAllocated * (subsampled ? 2.0 : double(qMax<Uint16>(samples, 1)));
    if (!(frameBits > 0.0))
        return 1;
    const double frames = std::floor(double(element->getLength()) * 8.0 / frameBits);
    return frames < 1.0 ? 1 : qint64(qMin(frames, 2147483647.0));
}

bool isImageClass(const OFString& sopClass)
{
    for (int i = 0; i < numberOfDcmImageSOPClassUIDs; ++i) {
        if (sopClass == dcmImageSOPClassUIDs[i])
            return true;
    }
    return false;
}

// An image is listed only with the pixels its header declares: a file still being written whose end
// falls between two elements parses cleanly, and would be listed from the part written so far (a
// multi-frame CT as one frame, an image without its pixels). Compressed frames are counted by their
// fragments (framesPresent); an object of no image class without pixels holds none by its nature.
bool pixelsAsDeclared(DcmDataset& ds, const DicomFileSummary& s)
{
    DcmElement* element = nullptr;
    if (ds.findAndGetElement(DCM_PixelData, element, OFFalse).bad() || !element) {
        if (ds.tagExists(DCM_FloatPixelData, OFFalse) || ds.tagExists(DCM_DoubleFloatPixelData, OFFalse))
            return true;
        OFString sopClass;
        ds.findAndGetOFString(DCM_SOPClassUID, sopClass);
        return !isImageClass(sopClass);
    }
    if (DcmXfer(ds.getOriginalXfer()).isEncapsulated())
        return true;
    Uint16 bitsAllocated = 0;
    Uint16 samples = 1;
    ds.findAndGetUint16(DCM_BitsAllocated, bitsAllocated);
    ds.findAndGetUint16(DCM_SamplesPerPixel, samples);
    OFString photometric;
    ds.findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    const bool subsampled = photometric == "YBR_FULL_422" || photometric == "YBR_PARTIAL_422";
    // In double: the declared fields multiply past 64 bits in a hostile header. 1-bit frames are packed
    // across frame boundaries.
    const double bits = double(s.rows) * double(s.columns) * double(bitsAllocated) *
                        (subsampled ? 2.0 : double(qMax<Uint16>(samples, 1))) *
                        double(qMax(s.numberOfFrames, 1));
    return double(element->getLength()) >= std::ceil(bits / 8.0);
}

// Only regular files (also behind links) are read: opening a pipe blocks until someone writes to
// it, and a device never ends.
bool isRegularFile(const QString& path)
{
    std::error_code error;
    return std::filesystem::is_regular_file(std::filesystem::path(QFile::encodeName(path).toStdString()), error);
}

} // namespace

bool isDicomFile(const QString& path)
{
    if (!isRegularFile(path))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() < 132 || !file.seek(128))
        return false;
    return file.read(4) == QByteArrayLiteral("DICM");
}

QString readStringElement(DcmItem& item, const DcmTagKey& tag)
{
    return readStringElement(item, tag, DicomTextDecoder(item));
}

QString readStringElement(DcmItem& item, const DcmTagKey& tag, const DicomTextDecoder& decoder)
{
    OFString value;
    const DcmElement* element = fetchWholeValue(item, tag, value);
    if (!element)
        return QString();
    return decoder.decode(value.c_str(), qsizetype(value.length()), *element).trimmed();
}

QString objectUidOf(DcmItem& dataset)
{
    return readStringElement(dataset, DCM_SOPInstanceUID);
}

QString objectUidOf(DcmItem& dataset, const DicomTextDecoder& decoder)
{
    return readStringElement(dataset, DCM_SOPInstanceUID, decoder);
}

ObjectIdentity objectIdentityOf(DcmItem& dataset)
{
    const DicomTextDecoder decoder(dataset);
    ObjectIdentity identity;
    identity.sopInstanceUid = objectUidOf(dataset, decoder);
    identity.seriesInstanceUid = readStringElement(dataset, DCM_SeriesInstanceUID, decoder);
    identity.studyInstanceUid = readStringElement(dataset, DCM_StudyInstanceUID, decoder);
    qint32 frames = 1;
    readIntegerElement(dataset, DCM_NumberOfFrames, frames);
    identity.frames = frames < 1 ? 1 : frames;
    return identity;
}

double readDoubleElement(DcmItem& item, const DcmTagKey& tag, double defaultValue)
{
    OFString value;
    if (!fetchWholeValue(item, tag, value) || value.empty())
        return defaultValue;
    return parseNumber(utf8Trimmed(value)).value_or(defaultValue);
}

std::optional<double> readTimeElement(DcmItem& item, const DcmTagKey& tag)
{
    OFString value;
    if (!fetchWholeValue(item, tag, value))
        return std::nullopt;
    return parseTimeOfDay(QString::fromUtf8(value.c_str(), qsizetype(value.length())));
}

std::optional<double> parseTimeOfDay(const QString& input)
{
    const QString text = input.trimmed();
    if (text.isEmpty())
        return std::nullopt;
    bool ok = false;
    if (text.contains(QLatin1Char(':'))) {
        const QStringList parts = text.split(QLatin1Char(':'), Qt::KeepEmptyParts);
        if (parts.size() < 2)
            return std::nullopt;
        const int h = parts[0].toInt(&ok, 10);
        if (!ok)
            return std::nullopt;
        const int m = parts[1].toInt(&ok, 10);
        if (!ok)
            return std::nullopt;
        double s = 0.0;
        if (parts.size() >= 3) {
            s = parts[2].toDouble(&ok);
            if (!ok || !std::isfinite(s))
                return std::nullopt;
        }
        return h * 3600.0 + m * 60.0 + s;
    }
    if (text.size() < 2)
        return std::nullopt;
    const int h = text.left(2).toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    int m = 0;
    if (text.size() >= 4) {
        m = text.mid(2, 2).toInt(&ok, 10);
        if (!ok)
            m = 0;
    }
    double s = 0.0;
    if (text.size() >= 6) {
        s = text.mid(4).toDouble(&ok);
        if (!ok || !std::isfinite(s))
            s = 0.0;
    }
    return h * 3600.0 + m * 60.0 + s;
}

namespace {

std::optional<DicomFileSummary> summarize(DcmFileFormat& file, const QString& path)
{
    DcmDataset* dataset = file.getDataset();
    if (!dataset)
        return std::nullopt;
    DcmDataset& ds = *dataset;
    const IndexedElements indexed(ds);

    const DicomTextDecoder decoder(ds);
    const auto text = [&](const DcmTagKey& tag) { return readStringElement(ds, tag, decoder); };
    DicomFileSummary s;
    s.patientId = text(DCM_PatientID);
    s.patientName = text(DCM_PatientName);
    s.birthDate = text(DCM_PatientBirthDate);
    s.sex = text(DCM_PatientSex);
    s.weightKg = readDoubleElement(ds, DCM_PatientWeight, 0.0);
    // Patient's Size is meant in metres, but centimetres are common in the field: nobody is
    // taller than 3 m, so larger values are taken as centimetres already.
    const double height = readDoubleElement(ds, DCM_PatientSize, 0.0);
    if (height > 0.0)
        s.heightCm = height <= 3.0 ? height * 100.0 : height;

    s.studyInstanceUid = text(DCM_StudyInstanceUID);
    s.studyDate = text(DCM_StudyDate);
    s.studyTime = text(DCM_StudyTime);
    s.studyDescription = text(DCM_StudyDescription);
    s.accessionNumber = text(DCM_AccessionNumber);
    s.referringPhysician = text(DCM_ReferringPhysicianName);
    s.seriesInstanceUid = text(DCM_SeriesInstanceUID);
    s.seriesNumber = text(DCM_SeriesNumber);
    s.seriesDescription = text(DCM_SeriesDescription);
    s.modality = text(DCM_Modality);
    s.bodyPartExamined = text(DCM_BodyPartExamined);

    s.laterality = text(DCM_Laterality);
    if (s.laterality.isEmpty())
        s.laterality = text(DCM_ImageLaterality);
    if (s.laterality.isEmpty()) {
        const QString comment = text(DCM_ImageComments).trimmed().toUpper();
        if (lateralityWords().contains(comment))
            s.laterality = comment;
    }

    s.sopInstanceUid = objectUidOf(ds, decoder);
    readIntegerElement(ds, DCM_InstanceNumber, s.instanceNumber);
    readIntegerElement(ds, DCM_Rows, s.rows);
    readIntegerElement(ds, DCM_Columns, s.columns);
    readIntegerElement(ds, DCM_NumberOfFrames, s.numberOfFrames);
    if (!pixelsAsDeclared(ds, s))
        return std::nullopt;
    if (s.numberOfFrames > 1)
        s.numberOfFrames = int(qMin<qint64>(s.numberOfFrames, framesPresent(ds, s)));

    s.sliceThickness = readDoubleElement(ds, DCM_SliceThickness, 0.0);
    s.sliceLocation = readDoubleElement(ds, DCM_SliceLocation, 0.0);
    s.windowCenter = readFirstDouble(ds, DCM_WindowCenter, 0.0);
    s.windowWidth = readFirstDouble(ds, DCM_WindowWidth, 0.0);
    s.rescaleSlope = readDoubleElement(ds, DCM_RescaleSlope, 1.0);
    s.rescaleIntercept = readDoubleElement(ds, DCM_RescaleIntercept, 0.0);
    s.repetitionTime = readDoubleElement(ds, DCM_RepetitionTime, 0.0);
    s.echoTime = readDoubleElement(ds, DCM_EchoTime, 0.0);

    readIntegerElement(ds, DCM_CardiacNumberOfImages, s.cardiacNumberOfImages);
    s.filePath = QFileInfo(path).absoluteFilePath();
    OFString syntax;
    if (DcmMetaInfo* meta = file.getMetaInfo();
        meta && meta->findAndGetOFString(DCM_TransferSyntaxUID, syntax).good())
        s.transferSyntaxUid = QString::fromLatin1(syntax.c_str()).trimmed();

    std::optional<double> acquisition = readTimeElement(ds, DCM_AcquisitionTime);
    if (!acquisition)
        acquisition = readTimeElement(ds, DCM_ContentTime);
    if (acquisition)
        s.acquisitionTimeSeconds = *acquisition;

    readIntegerElement(ds, DCM_TemporalPositionIndex, s.temporalPositionIndex);
    s.frameOfReferenceUid = text(DCM_FrameOfReferenceUID);

    {
        DcmElement* element = nullptr;
        OFString first;
        if (ds.findAndGetElement(DCM_TriggerTime, element, OFFalse).good() && element &&
            element->getLength() <= kMaxTextValueLength && element->getOFString(first, 0).good()) {
            if (const auto trigger = parseNumber(utf8Trimmed(first)))
                s.triggerTimeMs = *trigger;
        }
    }

    Geometry g;
    readSpacing(ds, s);
    double position[3];
    if (readVector(ds, DCM_ImagePositionPatient, 3, position)) {
        s.imagePosition = {position[0], position[1], position[2]};
        g.positionFound = true;
    }
    g.orientationFound = readOrientation(ds, s);

    bool perFramePositions = false;
    if (s.numberOfFrames >= 2)
        perFramePositions = completeMultiFrame(ds, s, g);
    s.hasSpatialInfo = perFramePositions ? g.orientationFound : (g.positionFound && g.orientationFound);

    if (s.studyInstanceUid.isEmpty() || s.seriesInstanceUid.isEmpty() || s.sopInstanceUid.isEmpty())
        return std::nullopt;
    return s;
}

} // namespace

std::optional<DicomFileSummary> readFileSummary(const QString& path)
{
    // A damaged file must cost one skipped file, never the importer thread.
    try {
        if (!isRegularFile(path))
            return std::nullopt;
        // Looked at before the read: a file replaced while or after it is read is then another version
        // than the one its summary names.
        const FileIdentity version = fileIdentity(path);
        // Values longer than 4096 bytes stay on disk where the file is large: the summary never needs
        // pixel data or other bulk values.
        DcmFileFormat file;
        if (loadDicomFile(file, path, ValueLoading::Lazy).bad())
            return std::nullopt;
        std::optional<DicomFileSummary> summary = summarize(file, path);
        if (summary)
            summary->readFrom = {summary->filePath, version};
        return summary;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<DicomFileSummary> summaryOf(DcmFileFormat& file, const QString& path)
{
    try {
        return summarize(file, path);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void registerMetaTypes()
{
    qRegisterMetaType<DicomFileSummary>("dicom::DicomFileSummary");
}

} // namespace dicom
