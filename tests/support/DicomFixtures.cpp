#include "support/DicomFixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include "dicom/CodecRegistration.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcostrmz.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcrleccd.h>
#include <dcmtk/dcmdata/dcrlecp.h>
#include <dcmtk/dcmdata/dcrleerg.h>
#include <dcmtk/dcmdata/dcrlerp.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrpn.h>
#include <dcmtk/dcmimage/diregist.h> // the JPEG encoders read colour images through dcmimage
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrploss.h>
#include <dcmtk/dcmjpls/djrparam.h>

#include <zip.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace fixtures {

namespace {

constexpr const char* kUidRoot = "1.2.826.0.1.3680043.10.1501";

std::array<double, 3> cross(const std::array<double, 3>& a, const std::array<double, 3>& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

std::array<double, 3> normalized(std::array<double, 3> v)
{
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (len > 1e-12)
        for (double& c : v)
            c /= len;
    return v;
}

// Decimal String values may hold at most 16 characters.
QByteArray decimal(double v)
{
    if (std::abs(v) < 1e-12)
        v = 0.0;
    for (int precision = 12; precision > 1; --precision) {
        const QByteArray text = QByteArray::number(v, 'g', precision);
        if (text.size() <= 16)
            return text;
    }
    return QByteArray::number(v, 'g', 1);
}

QByteArray dsList(std::initializer_list<double> values)
{
    QByteArray out;
    for (double v : values) {
        if (!out.isEmpty())
            out += '\\';
        out += decimal(v);
    }
    return out;
}

QByteArray tmText(double secondsOfDay)
{
    const int whole = int(std::floor(secondsOfDay));
    const int h = whole / 3600;
    const int m = (whole / 60) % 60;
    const double s = secondsOfDay - h * 3600 - m * 60;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%09.6f", h, m, s);
    return QByteArray(buf);
}

void put(DcmItem& item, const DcmTagKey& tag, const QByteArray& value)
{
    item.putAndInsertString(DcmTag(tag), value.constData(), Uint32(value.size()), true);
}

void putText(DcmItem& item, const DcmTagKey& tag, const QString& text, TextEncoding enc)
{
    if (!text.isNull())
        put(item, tag, encodeText(text, enc));
}

TextEncoding effectiveEncoding(const SeriesLayout& layout)
{
    if (layout.textEncoding != TextEncoding::Auto)
        return layout.textEncoding;
    if (layout.specificCharacterSet.trimmed() == QLatin1String("ISO_IR 144"))
        return TextEncoding::Iso8859_5;
    return TextEncoding::Utf8;
}

const char* sopClassFor(const QString& modality, bool enhanced)
{
    if (modality == QLatin1String("CT"))
        return enhanced ? UID_EnhancedCTImageStorage : UID_CTImageStorage;
    if (modality == QLatin1String("MR"))
        return enhanced ? UID_EnhancedMRImageStorage : UID_MRImageStorage;
    if (modality == QLatin1String("PT"))
        return enhanced ? UID_EnhancedPETImageStorage : UID_PositronEmissionTomographyImageStorage;
    return enhanced ? UID_MultiframeGrayscaleWordSecondaryCaptureImageStorage
                    : UID_SecondaryCaptureImageStorage;
}

struct PixelLayout
{
    int samples = 1;
    int bitsAllocated = 16;
    bool isSigned = true;
    int minValue = -32768;
    int maxValue = 32767;
};

PixelLayout layoutOf(PixelKind kind)
{
    switch (kind) {
    case PixelKind::Int16:
        return {1, 16, true, -32768, 32767};
    case PixelKind::UInt16:
        return {1, 16, false, 0, 65535};
    case PixelKind::UInt8:
        return {1, 8, false, 0, 255};
    case PixelKind::Rgb8:
        return {3, 8, false, 0, 255};
    case PixelKind::UInt32:
        return {1, 32, false, 0, std::numeric_limits<int>::max()};
    }
    return {};
}

int storedValue(const SeriesLayout& layout, int x, int y, int z, const PixelLayout& px)
{
    const int v = layout.value ? layout.value(x, y, z) : coordinateValue(x, y, z);
    return std::clamp(v, px.minValue, px.maxValue);
}

// Appends the frame of slice z to the byte buffer in the file's native (little endian) layout.
void appendFrame(std::vector<Uint8>& bytes, const SeriesLayout& layout, int z, const PixelLayout& px)
{
    const size_t start = bytes.size();
    const size_t count = size_t(layout.rows) * size_t(layout.columns) * size_t(px.samples);
    bytes.resize(start + count * size_t(px.bitsAllocated / 8));
    Uint8* out = bytes.data() + start;
    for (int y = 0; y < layout.rows; ++y) {
        for (int x = 0; x < layout.columns; ++x) {
            if (px.samples == 3) {
                std::array<int, 3> rgb;
                if (layout.rgbValue) {
                    rgb = layout.rgbValue(x, y, z);
                } else {
                    const int v = storedValue(layout, x, y, z, px);
                    rgb = {v, v, v};
                }
                for (int c : rgb)
                    *out++ = Uint8(std::clamp(c, 0, 255));
            } else if (px.bitsAllocated == 8) {
                *out++ = Uint8(storedValue(layout, x, y, z, px));
            } else if (px.bitsAllocated == 32) {
                const Uint32 v = Uint32(storedValue(layout, x, y, z, px));
                for (int shift = 0; shift < 32; shift += 8)
                    *out++ = Uint8((v >> shift) & 0xFF);
            } else {
                const Uint16 v = Uint16(storedValue(layout, x, y, z, px) & 0xFFFF);
                *out++ = Uint8(v & 0xFF);
                *out++ = Uint8(v >> 8);
            }
        }
    }
}

void putPixelModule(DcmItem& ds, const SeriesLayout& layout, const PixelLayout& px, int frames,
                    const std::vector<Uint8>& bytes)
{
    ds.putAndInsertUint16(DCM_SamplesPerPixel, Uint16(px.samples));
    if (px.samples == 3) {
        put(ds, DCM_PhotometricInterpretation, "RGB");
        ds.putAndInsertUint16(DCM_PlanarConfiguration, 0);
    } else {
        put(ds, DCM_PhotometricInterpretation,
            layout.photometric == Photometric::Monochrome1 ? "MONOCHROME1" : "MONOCHROME2");
    }
    ds.putAndInsertUint16(DCM_Rows, Uint16(layout.rows));
    ds.putAndInsertUint16(DCM_Columns, Uint16(layout.columns));
    ds.putAndInsertUint16(DCM_BitsAllocated, Uint16(px.bitsAllocated));
    ds.putAndInsertUint16(DCM_BitsStored, Uint16(px.bitsAllocated));
    ds.putAndInsertUint16(DCM_HighBit, Uint16(px.bitsAllocated - 1));
    ds.putAndInsertUint16(DCM_PixelRepresentation, px.isSigned ? 1 : 0);
    if (frames > 1 || frames == 0)
        put(ds, DCM_NumberOfFrames, QByteArray::number(std::max(frames, 1)));
    if (px.bitsAllocated == 8) {
        ds.putAndInsertUint8Array(DCM_PixelData, bytes.data(), unsigned(bytes.size()));
    } else {
        // The buffer is little endian; DCMTK wants host order words.
        std::vector<Uint16> words(bytes.size() / 2);
        for (size_t i = 0; i < words.size(); ++i)
            words[i] = Uint16(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        ds.putAndInsertUint16Array(DCM_PixelData, words.data(), unsigned(words.size()));
    }
}

void putCommon(DcmItem& ds, const SeriesLayout& layout, bool enhanced)
{
    const TextEncoding enc = effectiveEncoding(layout);
    if (!layout.specificCharacterSet.isEmpty())
        put(ds, DCM_SpecificCharacterSet, layout.specificCharacterSet.toLatin1());
    put(ds, DCM_SOPClassUID, sopClassFor(layout.modality, enhanced));
    put(ds, DCM_ImageType, enhanced ? "ORIGINAL\\PRIMARY\\AXIAL\\NONE" : "ORIGINAL\\PRIMARY\\AXIAL");
    putText(ds, DCM_PatientID, layout.patientId, enc);
    putText(ds, DCM_PatientName, layout.patientName, enc);
    putText(ds, DCM_PatientBirthDate, layout.birthDate, enc);
    putText(ds, DCM_PatientSex, layout.sex, enc);
    put(ds, DCM_StudyInstanceUID, layout.studyUid.toLatin1());
    put(ds, DCM_SeriesInstanceUID, layout.seriesUid.toLatin1());
    putText(ds, DCM_StudyDate, layout.studyDate, enc);
    putText(ds, DCM_StudyTime, layout.studyTime, enc);
    putText(ds, DCM_StudyDescription, layout.studyDescription, enc);
    putText(ds, DCM_AccessionNumber, layout.accessionNumber, enc);
    putText(ds, DCM_SeriesDescription, layout.seriesDescription, enc);
    putText(ds, DCM_SeriesNumber, layout.seriesNumber, enc);
    putText(ds, DCM_Modality, layout.modality, enc);
    putText(ds, DCM_BodyPartExamined, layout.bodyPart, enc);
    put(ds, DCM_FrameOfReferenceUID, layout.frameOfReferenceUid.toLatin1());
}

void putDisplay(DcmItem& ds, const SeriesLayout& layout)
{
    if (layout.pixels == PixelKind::Rgb8)
        return;
    put(ds, DCM_RescaleIntercept, decimal(layout.rescaleIntercept));
    put(ds, DCM_RescaleSlope, decimal(layout.rescaleSlope));
    put(ds, DCM_RescaleType, layout.modality == QLatin1String("CT") ? "HU" : "US");
    put(ds, DCM_WindowCenter, decimal(layout.windowCenter));
    put(ds, DCM_WindowWidth, decimal(layout.windowWidth));
}

std::array<double, 3> normalOf(const SeriesLayout& layout)
{
    const auto o = orientationOf(layout);
    return normalized(cross({o[0], o[1], o[2]}, {o[3], o[4], o[5]}));
}

double sliceLocationOf(const SeriesLayout& layout, int slice)
{
    const auto p = slicePosition(layout, slice);
    const auto n = normalOf(layout);
    return p[0] * n[0] + p[1] * n[1] + p[2] * n[2];
}

void putGeometry(DcmItem& ds, const SeriesLayout& layout, int slice)
{
    put(ds, DCM_PixelSpacing, dsList({layout.rowSpacing, layout.columnSpacing}));
    put(ds, DCM_SliceThickness, decimal(layout.sliceThickness));
    if (!layout.writeGeometry)
        return;
    const auto o = orientationOf(layout);
    const auto p = slicePosition(layout, slice);
    put(ds, DCM_ImagePositionPatient, dsList({p[0], p[1], p[2]}));
    put(ds, DCM_ImageOrientationPatient, dsList({o[0], o[1], o[2], o[3], o[4], o[5]}));
    put(ds, DCM_SliceLocation, decimal(sliceLocationOf(layout, slice)));
}

int instanceNumberOf(const SeriesLayout& layout, int slice)
{
    return layout.firstInstanceNumber + (layout.reverseInstanceNumbers ? layout.slices - 1 - slice : slice);
}

void putInstance(DcmItem& ds, const SeriesLayout& layout, int slice)
{
    put(ds, DCM_SOPInstanceUID, newUid().toLatin1());
    put(ds, DCM_InstanceNumber, QByteArray::number(instanceNumberOf(layout, slice)));
    if (layout.acquisitionTimeStart >= 0.0) {
        const double t = layout.acquisitionTimeStart + layout.acquisitionTimeStep * std::max(slice, 0);
        put(ds, DCM_AcquisitionTime, tmText(t));
    }
}

DcmItem* newSequenceItem(DcmItem& parent, const DcmTagKey& sequence)
{
    DcmItem* item = nullptr;
    parent.findOrCreateSequenceItem(sequence, item, -2);
    return item;
}

// Encodes the data set in the series' compression; false when DCMTK cannot.
bool compress(DcmDataset& ds, Compression compression)
{
    if (compression == Compression::None)
        return true;
    registerCodecs();
    const dicom::CodecRegistrationScope codecs;
    OFCondition cond;
    switch (compression) {
    case Compression::JpegBaseline: {
        DJ_RPLossy rp(90);
        cond = ds.chooseRepresentation(EXS_JPEGProcess1, &rp);
        return cond.good() && ds.canWriteXfer(EXS_JPEGProcess1);
    }
    case Compression::JpegLsLossless: {
        DJLSRepresentationParameter rp(0, OFTrue);
        cond = ds.chooseRepresentation(EXS_JPEGLSLossless, &rp);
        return cond.good() && ds.canWriteXfer(EXS_JPEGLSLossless);
    }
    case Compression::Rle: {
        DcmRLERepresentationParameter rp;
        cond = ds.chooseRepresentation(EXS_RLELossless, &rp);
        return cond.good() && ds.canWriteXfer(EXS_RLELossless);
    }
    case Compression::None:
        break;
    }
    return true;
}

QString finish(const QString& path, DcmFileFormat& ff, const SeriesLayout& layout, int customizeIndex)
{
    DcmDataset& ds = *ff.getDataset();
    if (!compress(ds, layout.compression))
        throw std::runtime_error("fixtures: DCMTK could not compress the data set");
    if (layout.customize)
        layout.customize(ds, customizeIndex);
    if (!saveDataset(path, ds))
        throw std::runtime_error("fixtures: could not save " + path.toStdString());
    return path;
}

void ensureParent(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
}

// ISO-8859-5 and Windows-1251 share the Cyrillic alphabet in one contiguous run each.
char cyrillicByte(char16_t u, TextEncoding enc, bool* ok)
{
    *ok = true;
    if (enc == TextEncoding::Windows1251) {
        if (u >= 0x0410 && u <= 0x044F)
            return char(0xC0 + (u - 0x0410));
        if (u == 0x0401)
            return char(0xA8);
        if (u == 0x0451)
            return char(0xB8);
    } else {
        if (u >= 0x0410 && u <= 0x044F)
            return char(0xB0 + (u - 0x0410));
        if (u == 0x0401)
            return char(0xA1);
        if (u == 0x0451)
            return char(0xF1);
    }
    *ok = false;
    return '?';
}

} // namespace

QByteArray encodeText(const QString& text, TextEncoding encoding)
{
    if (encoding == TextEncoding::Auto || encoding == TextEncoding::Utf8)
        return text.toUtf8();
    QByteArray out;
    out.reserve(text.size());
    for (QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x80) {
            out += char(u);
            continue;
        }
        bool ok = false;
        out += cyrillicByte(u, encoding, &ok);
    }
    return out;
}

void putRawText(DcmItem& item, const DcmTagKey& tag, const QByteArray& bytes)
{
    put(item, tag, bytes);
}

void registerCodecs()
{
    // Decoders and the JPEG-LS encoder are shared with the program through its counted registration;
    // the JPEG baseline and RLE encoders are only ever needed here.
    static std::once_flag once;
    std::call_once(once, [] {
        DJEncoderRegistration::registerCodecs(ECC_lossyYCbCr, EUC_never);
        DcmRLEEncoderRegistration::registerCodecs();
        std::atexit([] {
            DJEncoderRegistration::cleanup();
            DcmRLEEncoderRegistration::cleanup();
        });
    });
}

QString newUid()
{
    char buf[100];
    dcmGenerateUniqueIdentifier(buf, kUidRoot);
    return QString::fromLatin1(buf);
}

void completeUids(SeriesLayout& layout)
{
    if (layout.studyUid.isEmpty())
        layout.studyUid = newUid();
    if (layout.seriesUid.isEmpty())
        layout.seriesUid = newUid();
    if (layout.frameOfReferenceUid.isEmpty())
        layout.frameOfReferenceUid = newUid();
}

int coordinateValue(int x, int y, int z)
{
    return 1000 * z + 10 * y + x;
}

std::array<double, 6> orientationOf(const SeriesLayout& layout)
{
    switch (layout.plane) {
    case Plane::Axial:
        return {1, 0, 0, 0, 1, 0};
    case Plane::Sagittal:
        return {0, 1, 0, 0, 0, -1};
    case Plane::Coronal:
        return {1, 0, 0, 0, 0, -1};
    case Plane::Oblique: {
        const auto& o = layout.obliqueOrientation;
        const auto r = normalized({o[0], o[1], o[2]});
        const auto c = normalized({o[3], o[4], o[5]});
        return {r[0], r[1], r[2], c[0], c[1], c[2]};
    }
    }
    return {1, 0, 0, 0, 1, 0};
}

std::array<double, 3> slicePosition(const SeriesLayout& layout, int slice)
{
    if (layout.sliceOrigin)
        return layout.sliceOrigin(slice);
    const auto n = normalOf(layout);
    const double d = layout.sliceOffset ? layout.sliceOffset(slice) : layout.sliceSpacing * slice;
    return {layout.origin[0] + d * n[0], layout.origin[1] + d * n[1], layout.origin[2] + d * n[2]};
}

std::array<double, 3> pixelPosition(const SeriesLayout& layout, double x, double y, int slice)
{
    const auto o = orientationOf(layout);
    const auto p = slicePosition(layout, slice);
    std::array<double, 3> out{};
    for (size_t a = 0; a < 3; ++a)
        out[a] = p[a] + x * layout.columnSpacing * o[a] + y * layout.rowSpacing * o[a + 3];
    return out;
}

void shapeStack(SeriesLayout& layout, StackShape shape)
{
    const std::array<double, 3> o = layout.origin;
    layout.sliceSpacing = 2.0;
    layout.sliceOffset = nullptr;
    layout.plane = Plane::Axial;
    layout.sliceOrigin = nullptr;
    if (shape == StackShape::TiltedGantry) {
        layout.plane = Plane::Oblique;
        layout.obliqueOrientation = {1, 0, 0, 0, 0.940, -0.342};
        layout.sliceOrigin = [o](int k) { return std::array<double, 3>{o[0], o[1], o[2] + 2.0 * k}; };
    } else if (shape == StackShape::Sheared) {
        const double slide = 2.0 * std::tan(20.0 * M_PI / 180.0);
        layout.sliceOrigin = [o, slide](int k) {
            return std::array<double, 3>{o[0], o[1] + slide * k, o[2] + 2.0 * k};
        };
    }
}

QString writeSlice(const QString& path, const SeriesLayout& layoutIn, int slice)
{
    SeriesLayout layout = layoutIn;
    completeUids(layout);
    const PixelLayout px = layoutOf(layout.pixels);
    std::vector<Uint8> bytes;
    appendFrame(bytes, layout, slice, px);

    DcmFileFormat ff;
    DcmDataset& ds = *ff.getDataset();
    putCommon(ds, layout, false);
    putInstance(ds, layout, slice);
    putGeometry(ds, layout, slice);
    putDisplay(ds, layout);
    if (layout.temporalPositionIndex)
        put(ds, DCM_TemporalPositionIndex, QByteArray::number(layout.temporalPositionIndex(slice)));
    putPixelModule(ds, layout, px, 1, bytes);
    ensureParent(path);
    return finish(path, ff, layout, slice);
}

QString writeSliceOfSize(const QString& path, SeriesLayout layout, int slice, qint64 size)
{
    writeSlice(path, layout, slice);
    const qint64 room = size - QFileInfo(path).size() - 8; // the element's own header, explicit VR
    if (room < 0)
        return path;
    const auto customize = layout.customize;
    layout.customize = [customize, room](DcmDataset& ds, int k) {
        if (customize)
            customize(ds, k);
        ds.putAndInsertString(DCM_ImageComments, QByteArray(room, 'x').constData());
    };
    return writeSlice(path, layout, slice);
}

QStringList writeSeries(const QString& dir, SeriesLayout layout)
{
    completeUids(layout);
    QDir().mkpath(dir);
    QStringList paths;
    paths.reserve(layout.slices);
    for (int k = 0; k < layout.slices; ++k)
        paths << writeSlice(QDir(dir).filePath(QStringLiteral("IMG_%1.dcm").arg(k)), layout, k);
    return paths;
}

QString writeMultiFrame(const QString& path, SeriesLayout layout)
{
    completeUids(layout);
    const PixelLayout px = layoutOf(layout.pixels);
    std::vector<Uint8> bytes;
    for (int k = 0; k < layout.slices; ++k)
        appendFrame(bytes, layout, k, px);

    DcmFileFormat ff;
    DcmDataset& ds = *ff.getDataset();
    putCommon(ds, layout, false);
    putInstance(ds, layout, 0);
    putGeometry(ds, layout, 0);
    putDisplay(ds, layout);
    if (layout.slices > 1 && layout.writeGeometry)
        put(ds, DCM_SpacingBetweenSlices, decimal(layout.sliceSpacing));
    putPixelModule(ds, layout, px, layout.slices, bytes);
    ensureParent(path);
    return finish(path, ff, layout, -1);
}

QString writeEnhancedMultiFrame(const QString& path, SeriesLayout layout)
{
    completeUids(layout);
    const PixelLayout px = layoutOf(layout.pixels);
    std::vector<Uint8> bytes;
    for (int k = 0; k < layout.slices; ++k)
        appendFrame(bytes, layout, k, px);

    DcmFileFormat ff;
    DcmDataset& ds = *ff.getDataset();
    putCommon(ds, layout, true);
    putInstance(ds, layout, 0);
    if (layout.acquisitionTimeStart >= 0.0)
        put(ds, DCM_ContentTime, tmText(layout.acquisitionTimeStart));

    DcmItem* shared = newSequenceItem(ds, DCM_SharedFunctionalGroupsSequence);
    DcmItem* measures = newSequenceItem(*shared, DCM_PixelMeasuresSequence);
    put(*measures, DCM_PixelSpacing, dsList({layout.rowSpacing, layout.columnSpacing}));
    put(*measures, DCM_SliceThickness, decimal(layout.sliceThickness));
    if (layout.writeGeometry) {
        const auto o = orientationOf(layout);
        DcmItem* orient = newSequenceItem(*shared, DCM_PlaneOrientationSequence);
        put(*orient, DCM_ImageOrientationPatient, dsList({o[0], o[1], o[2], o[3], o[4], o[5]}));
    }
    const char* rescaleType = layout.modality == QLatin1String("CT") ? "HU" : "US";
    auto putRescale = [rescaleType](DcmItem& group, double slope, double intercept) {
        DcmItem* transform = newSequenceItem(group, DCM_PixelValueTransformationSequence);
        put(*transform, DCM_RescaleIntercept, decimal(intercept));
        put(*transform, DCM_RescaleSlope, decimal(slope));
        put(*transform, DCM_RescaleType, rescaleType);
    };
    if (layout.pixels != PixelKind::Rgb8) {
        if (!layout.frameRescale)
            putRescale(*shared, layout.rescaleSlope, layout.rescaleIntercept);
        DcmItem* voi = newSequenceItem(*shared, DCM_FrameVOILUTSequence);
        put(*voi, DCM_WindowCenter, decimal(layout.windowCenter));
        put(*voi, DCM_WindowWidth, decimal(layout.windowWidth));
    }

    for (int k = 0; k < layout.slices; ++k) {
        DcmItem* frame = newSequenceItem(ds, DCM_PerFrameFunctionalGroupsSequence);
        DcmItem* content = newSequenceItem(*frame, DCM_FrameContentSequence);
        put(*content, DCM_StackID, "1");
        put(*content, DCM_InStackPositionNumber, QByteArray::number(k + 1));
        if (layout.temporalPositionIndex)
            put(*content, DCM_TemporalPositionIndex, QByteArray::number(layout.temporalPositionIndex(k)));
        if (layout.writeGeometry) {
            const auto p = slicePosition(layout, k);
            DcmItem* position = newSequenceItem(*frame, DCM_PlanePositionSequence);
            put(*position, DCM_ImagePositionPatient, dsList({p[0], p[1], p[2]}));
        }
        if (layout.frameRescale && layout.pixels != PixelKind::Rgb8) {
            const auto [slope, intercept] = layout.frameRescale(k);
            putRescale(*frame, slope, intercept);
        }
    }
    putPixelModule(ds, layout, px, layout.slices, bytes);
    ensureParent(path);
    return finish(path, ff, layout, -1);
}

std::unique_ptr<DcmDataset> loadDataset(const QString& path)
{
    DcmFileFormat file;
    if (file.loadFile(QFile::encodeName(path).constData()).bad())
        return nullptr;
    file.loadAllDataIntoMemory();
    return std::unique_ptr<DcmDataset>(file.getAndRemoveDataset());
}

bool writeZip(const QString& zipPath, const QString& root, const QStringList& files)
{
    int err = 0;
    zip_t* z = zip_open(QFile::encodeName(zipPath).constData(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    for (const QString& f : files) {
        zip_source_t* src = z ? zip_source_file(z, QFile::encodeName(f).constData(), 0, -1) : nullptr;
        const zip_int64_t entry =
            src ? zip_file_add(z, QDir(root).relativeFilePath(f).toUtf8().constData(), src, ZIP_FL_ENC_UTF_8) : -1;
        if (entry < 0 || zip_set_file_compression(z, zip_uint64_t(entry), ZIP_CM_STORE, 0) < 0) {
            if (entry < 0)
                zip_source_free(src);
            zip_discard(z);
            return false;
        }
    }
    return z && zip_close(z) == 0;
}

bool saveDataset(const QString& path, DcmDataset& ds)
{
    E_TransferSyntax xfer = ds.getCurrentXfer();
    const DcmXfer current(xfer);
    if (xfer == EXS_Unknown || !current.isEncapsulated())
        xfer = EXS_LittleEndianExplicit;
    DcmFileFormat ff(&ds);
    ensureParent(path);
    const OFCondition cond = ff.saveFile(QFile::encodeName(path).constData(), xfer, EET_ExplicitLength,
                                         EGL_recalcGL, EPD_noChange, 0, 0, EWM_fileformat);
    if (cond.bad())
        qWarning("fixtures: saving %s failed: %s", qPrintable(path), cond.text());
    return cond.good();
}

namespace {

void putCode(DcmItem& item, const DcmTagKey& sequence, const char* value, const char* scheme, const char* meaning)
{
    DcmItem* code = nullptr;
    item.findOrCreateSequenceItem(sequence, code, -2);
    code->putAndInsertString(DCM_CodeValue, value);
    code->putAndInsertString(DCM_CodingSchemeDesignator, scheme);
    code->putAndInsertString(DCM_CodeMeaning, meaning);
}

// A document of the layout's patient and study, in a series of its own.
void putDocumentHeader(DcmDataset& ds, SeriesLayout& layout, const char* sopClass, const char* modality)
{
    completeUids(layout);
    ds.putAndInsertString(DCM_SOPClassUID, sopClass);
    ds.putAndInsertString(DCM_SOPInstanceUID, newUid().toLatin1().constData());
    ds.putAndInsertString(DCM_StudyInstanceUID, layout.studyUid.toLatin1().constData());
    ds.putAndInsertString(DCM_SeriesInstanceUID, newUid().toLatin1().constData());
    ds.putAndInsertString(DCM_PatientName, layout.patientName.toUtf8().constData());
    ds.putAndInsertString(DCM_PatientID, layout.patientId.toUtf8().constData());
    ds.putAndInsertString(DCM_PatientBirthDate, layout.birthDate.toLatin1().constData());
    ds.putAndInsertString(DCM_StudyDate, layout.studyDate.toLatin1().constData());
    ds.putAndInsertString(DCM_Modality, modality);
}

// An SR document's header and its root container, ready for content.
void putReportRoot(DcmDataset& ds, SeriesLayout& layout, const char* sopClass, const char* modality)
{
    putDocumentHeader(ds, layout, sopClass, modality);
    ds.putAndInsertString(DCM_SeriesNumber, "99");
    ds.putAndInsertString(DCM_InstanceNumber, "1");
    ds.putAndInsertString(DCM_ValueType, "CONTAINER");
    ds.putAndInsertString(DCM_ContinuityOfContent, "SEPARATE");
}

} // namespace

QString writeEncapsulatedPdf(const QString& path, SeriesLayout layout, const QByteArray& text)
{
    DcmDataset ds;
    putDocumentHeader(ds, layout, UID_EncapsulatedPDFStorage, "DOC");
    ds.putAndInsertString(DCM_MIMETypeOfEncapsulatedDocument, "application/pdf");
    ds.putAndInsertString(DCM_DocumentTitle, text.constData());
    QByteArray pdf = "%PDF-1.4\n1 0 obj << /Title (" + text + ") >> endobj\n%%EOF\n";
    if (pdf.size() % 2 != 0)
        pdf.append('\n');
    ds.putAndInsertUint8Array(DCM_EncapsulatedDocument, reinterpret_cast<const Uint8*>(pdf.constData()),
                              unsigned(pdf.size()));
    return saveDataset(path, ds) ? path : QString();
}

QString writeTextReport(const QString& path, SeriesLayout layout, const QByteArray& text)
{
    DcmDataset ds;
    putReportRoot(ds, layout, UID_BasicTextSRStorage, "SR");
    putCode(ds, DCM_ConceptNameCodeSequence, "11528-7", "LN", "Radiology Report");
    DcmItem* section = nullptr;
    ds.findOrCreateSequenceItem(DCM_ContentSequence, section, -2);
    section->putAndInsertString(DCM_RelationshipType, "CONTAINS");
    section->putAndInsertString(DCM_ValueType, "CONTAINER");
    putCode(*section, DCM_ConceptNameCodeSequence, "121070", "DCM", "Findings");
    DcmItem* finding = nullptr; // two levels deep
    section->findOrCreateSequenceItem(DCM_ContentSequence, finding, -2);
    finding->putAndInsertString(DCM_RelationshipType, "CONTAINS");
    finding->putAndInsertString(DCM_ValueType, "TEXT");
    putCode(*finding, DCM_ConceptNameCodeSequence, "121071", "DCM", "Finding");
    finding->putAndInsertString(DCM_TextValue, text.constData());
    return saveDataset(path, ds) ? path : QString();
}

void makeTextObject(DcmDataset& ds, TextObject kind, const QByteArray& text)
{
    for (const DcmTagKey& key : {DCM_PixelData, DCM_Rows, DCM_Columns, DCM_BitsAllocated, DCM_BitsStored,
                                 DCM_HighBit, DCM_PixelRepresentation, DCM_SamplesPerPixel,
                                 DCM_PhotometricInterpretation})
        ds.findAndDeleteElement(key);
    const char* value = text.constData();
    DcmItem* item = nullptr;
    DcmItem* inner = nullptr;
    switch (kind) {
    case TextObject::PresentationState:
        ds.putAndInsertString(DCM_SOPClassUID, UID_GrayscaleSoftcopyPresentationStateStorage);
        ds.putAndInsertString(DCM_Modality, "PR");
        ds.putAndInsertString(DCM_ContentLabel, value);
        ds.putAndInsertString(DCM_ContentDescription, value);
        item = newSequenceItem(ds, DCM_GraphicLayerSequence);
        item->putAndInsertString(DCM_GraphicLayer, "NOTES");
        item->putAndInsertString(DCM_GraphicLayerOrder, "1");
        item->putAndInsertString(DCM_GraphicLayerDescription, value);
        item = newSequenceItem(ds, DCM_GraphicAnnotationSequence);
        item->putAndInsertString(DCM_GraphicLayer, "NOTES");
        inner = newSequenceItem(*item, DCM_TextObjectSequence);
        inner->putAndInsertString(DCM_UnformattedTextValue, value);
        item = newSequenceItem(ds, DCM_GraphicGroupSequence);
        item->putAndInsertString(DCM_GraphicGroupID, "1");
        item->putAndInsertString(DCM_GraphicGroupLabel, value);
        item->putAndInsertString(DCM_GraphicGroupDescription, value);
        break;
    case TextObject::StructuredDisplay:
        ds.putAndInsertString(DCM_SOPClassUID, UID_BasicStructuredDisplayStorage);
        ds.putAndInsertString(DCM_Modality, "PR");
        ds.putAndInsertString(DCM_ContentDescription, value);
        item = newSequenceItem(ds, DCM_StructuredDisplayTextBoxSequence);
        item->putAndInsertString(DCM_UnformattedTextValue, value);
        break;
    case TextObject::Waveform:
        ds.putAndInsertString(DCM_SOPClassUID, UID_TwelveLeadECGWaveformStorage);
        ds.putAndInsertString(DCM_Modality, "ECG");
        item = newSequenceItem(ds, DCM_WaveformSequence);
        item->putAndInsertString(DCM_MultiplexGroupLabel, value);
        item = newSequenceItem(ds, DCM_WaveformAnnotationSequence);
        item->putAndInsertString(DCM_UnformattedTextValue, value);
        break;
    case TextObject::RawData:
        ds.putAndInsertString(DCM_SOPClassUID, UID_RawDataStorage);
        ds.putAndInsertString(DCM_Modality, "OT");
        ds.putAndInsertString(DcmTagKey(0x0019, 0x0010), "VENDOR");
        ds.putAndInsertString(DcmTagKey(0x0019, 0x1010), value);
        break;
    }
}

void makeVideo(const QString& path, const QByteArray& transferSyntax, const QByteArray& text)
{
    rewriteFirstFragment(path, [&](const QByteArray&) {
        return QByteArray::fromHex("00000010") + "ftypisom" + QByteArray(4, '\0') + "udta\xA9nam" + text;
    });
    relabelTransferSyntax(path, transferSyntax);
}

QString writeKeyObjectSelection(const QString& path, SeriesLayout layout, const QByteArray& text,
                                const QString& imageSopClass, const QString& imageSopInstance)
{
    DcmDataset ds;
    putReportRoot(ds, layout, UID_KeyObjectSelectionDocumentStorage, "KO");
    putCode(ds, DCM_ConceptNameCodeSequence, "113000", "DCM", "Of Interest");
    DcmItem* description = nullptr;
    ds.findOrCreateSequenceItem(DCM_ContentSequence, description, -2);
    description->putAndInsertString(DCM_RelationshipType, "CONTAINS");
    description->putAndInsertString(DCM_ValueType, "TEXT");
    putCode(*description, DCM_ConceptNameCodeSequence, "113012", "DCM", "Key Object Description");
    description->putAndInsertString(DCM_TextValue, text.constData());
    DcmItem* image = nullptr;
    ds.findOrCreateSequenceItem(DCM_ContentSequence, image, -2);
    image->putAndInsertString(DCM_RelationshipType, "CONTAINS");
    image->putAndInsertString(DCM_ValueType, "IMAGE");
    DcmItem* reference = nullptr;
    image->findOrCreateSequenceItem(DCM_ReferencedSOPSequence, reference, -2);
    reference->putAndInsertString(DCM_ReferencedSOPClassUID, imageSopClass.toLatin1().constData());
    reference->putAndInsertString(DCM_ReferencedSOPInstanceUID, imageSopInstance.toLatin1().constData());
    return saveDataset(path, ds) ? path : QString();
}

void mislabelAsExplicitBigEndian(const QString& path)
{
    DcmFileFormat ff;
    const QByteArray local = QFile::encodeName(path);
    const QByteArray datasetOnly = local + ".dataset";
    if (ff.loadFile(local.constData()).bad() || ff.loadAllDataIntoMemory().bad()
        || ff.saveFile(local.constData(), EXS_BigEndianExplicit, EET_ExplicitLength, EGL_withGL).bad()
        || ff.getDataset()->saveFile(datasetOnly.constData(), EXS_BigEndianImplicit, EET_ExplicitLength).bad())
        throw std::runtime_error("fixtures: cannot rewrite " + path.toStdString());
    QFile file(path);
    QFile dataset(QString::fromLocal8Bit(datasetOnly));
    if (!file.open(QIODevice::ReadWrite) || !dataset.open(QIODevice::ReadOnly))
        throw std::runtime_error("fixtures: cannot rewrite " + path.toStdString());
    // Preamble, "DICM", then the meta group: its length element (12 bytes) gives the rest.
    const QByteArray head = file.read(144);
    const qint64 metaEnd = 144 + qFromLittleEndian<quint32>(head.constData() + 140);
    file.resize(metaEnd);
    file.seek(metaEnd);
    file.write(dataset.readAll());
    dataset.remove();
}

void rewriteFirstFragment(const QString& path, const std::function<QByteArray(const QByteArray&)>& change)
{
    DcmFileFormat ff;
    const QByteArray local = QFile::encodeName(path);
    DcmDataset* ds = ff.getDataset();
    DcmElement* element = nullptr;
    if (ff.loadFile(local.constData()).bad() || ff.loadAllDataIntoMemory().bad() ||
        ds->findAndGetElement(DCM_PixelData, element).bad() || !element)
        throw std::runtime_error("fixtures: cannot read " + path.toStdString());
    const E_TransferSyntax xfer = ds->getOriginalXfer();
    DcmPixelSequence* sequence = nullptr;
    DcmPixelItem* fragment = nullptr;
    Uint8* bytes = nullptr;
    if (static_cast<DcmPixelData*>(element)->getEncapsulatedRepresentation(xfer, nullptr, sequence).bad() ||
        !sequence || sequence->getItem(fragment, 1).bad() || fragment->getUint8Array(bytes).bad() || !bytes)
        throw std::runtime_error("fixtures: no compressed fragment in " + path.toStdString());
    QByteArray changed =
        change(QByteArray(reinterpret_cast<const char*>(bytes), qsizetype(fragment->getLength())));
    if (changed.size() % 2)
        changed.append('\0');
    if (fragment->putUint8Array(reinterpret_cast<const Uint8*>(changed.constData()), Uint32(changed.size()))
            .bad() ||
        ff.saveFile(local.constData(), xfer).bad())
        throw std::runtime_error("fixtures: cannot rewrite " + path.toStdString());
}

namespace {

// The end of the meta header of a file DCMTK wrote: its group length element (12 bytes) follows
// the preamble and "DICM".
qint64 metaEnd(const QByteArray& file)
{
    return 144 + qFromLittleEndian<quint32>(file.constData() + 140);
}

QByteArray readWhole(const QString& path)
{
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        throw std::runtime_error("fixtures: cannot read " + path.toStdString());
    return in.readAll();
}

// Compresses `input` into `out` and flushes so that what follows starts a fresh block with no
// references back into this one.
void deflateInto(z_stream& stream, const QByteArray& input, QByteArray& out, int flush)
{
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.constData()));
    stream.avail_in = uInt(input.size());
    char buffer[65536];
    do {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        deflate(&stream, flush);
        out.append(buffer, qsizetype(sizeof buffer - stream.avail_out));
    } while (stream.avail_out == 0);
}

// The closing of one level of undefined-length nesting: item delimiter, sequence delimiter.
const char kCloseLevel[] = {'\xFE', '\xFF', '\x0D', '\xE0', 0, 0, 0, 0, '\xFE', '\xFF', '\xDD', '\xE0', 0, 0, 0, 0};
const QByteArray kUndefinedItem("\xFE\xFF\x00\xE0\xFF\xFF\xFF\xFF", 8);

void appendBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::Append) || file.write(bytes) != bytes.size())
        throw std::runtime_error("fixtures: could not append to " + path.toStdString());
}

// A small image without its pixel data: what the hostile part then takes the place of.
SeriesLayout withoutPixelData()
{
    SeriesLayout layout;
    layout.slices = 1;
    layout.rows = layout.columns = 8;
    layout.customize = [](DcmDataset& ds, int) { ds.findAndDeleteElement(DCM_PixelData); };
    return layout;
}

// The data set of such an image in explicit VR little endian, without meta header. Written through
// `scratch` + ".plain", which is removed again.
QByteArray plainDatasetBytes(const QString& scratch)
{
    const QString plain = scratch + QStringLiteral(".plain");
    writeSlice(plain, withoutPixelData(), 0);
    const QByteArray bytes = readWhole(plain);
    QFile::remove(plain);
    return bytes.mid(metaEnd(bytes));
}

// The meta header DCMTK writes for a deflated copy of that image.
QByteArray deflatedMetaHeader(const QString& scratch)
{
    const QString plain = scratch + QStringLiteral(".plain");
    writeSlice(plain, withoutPixelData(), 0);
    DcmFileFormat ff;
    const QString deflated = scratch + QStringLiteral(".deflated");
    if (ff.loadFile(QFile::encodeName(plain).constData()).bad() ||
        ff.saveFile(QFile::encodeName(deflated).constData(), EXS_DeflatedLittleEndianExplicit).bad())
        throw std::runtime_error("fixtures: cannot write " + deflated.toStdString());
    const QByteArray bytes = readWhole(deflated);
    QFile::remove(plain);
    QFile::remove(deflated);
    return bytes.left(metaEnd(bytes));
}

} // namespace

QByteArray jpegWithFillBytesThenTem(const QByteArray& jpeg)
{
    return QByteArray("\xFF\xD8\xFF\xFF\xFF\x01", 6) + jpeg.mid(6);
}

QByteArray jpegWithLongSegment(const QByteArray& jpeg)
{
    return QByteArray("\xFF\xD8\xFF\xE1\xFF\xF0", 6) + QByteArray(65518, '\0') + jpeg.mid(2);
}

QByteArray jpegWithTemAfterLongSegment(const QByteArray& jpeg)
{
    return jpegWithLongSegment(QByteArray("\xFF\xD8\xFF\x01", 4) + jpeg.mid(2));
}

namespace {

// A one-slice 8-bit image of rows x columns, `pixels` putting its pixel data (or taking it out), written
// in explicit little endian to `plain` and deflated at zlib's `level` to `path`.
void writeByteImageAndDeflated(const QString& plain, const QString& path, int rows, int columns, int level,
                               const std::function<void(DcmDataset&)>& pixels)
{
    SeriesLayout layout;
    layout.slices = 1;
    layout.rows = layout.columns = 1;
    layout.pixels = PixelKind::UInt8;
    layout.customize = [&](DcmDataset& ds, int) {
        ds.putAndInsertUint16(DCM_Rows, Uint16(rows));
        ds.putAndInsertUint16(DCM_Columns, Uint16(columns));
        pixels(ds);
    };
    writeSlice(plain, layout, 0);
    DcmFileFormat ff;
    const int defaultLevel = dcmZlibCompressionLevel.get();
    dcmZlibCompressionLevel.set(level);
    const bool saved =
        ff.loadFile(QFile::encodeName(plain).constData()).good() &&
        ff.saveFile(QFile::encodeName(path).constData(), EXS_DeflatedLittleEndianExplicit).good();
    dcmZlibCompressionLevel.set(defaultLevel);
    if (!saved)
        throw std::runtime_error("fixtures: cannot write " + path.toStdString());
}

} // namespace

QString writeDeflatedZeros(const QString& path, int rows, int columns)
{
    // The data set in explicit little endian, and the meta header DCMTK writes for a deflated copy.
    const QString plain = path + QStringLiteral(".plain");
    writeByteImageAndDeflated(plain, path, rows, columns, dcmZlibCompressionLevel.get(),
                              [](DcmDataset& ds) { ds.findAndDeleteElement(DCM_PixelData); });
    const QByteArray plainBytes = readWhole(plain);
    QFile::remove(plain);
    const QByteArray deflatedFile = readWhole(path);

    const quint32 pixelBytes = quint32(rows) * quint32(columns);
    QByteArray head = plainBytes.mid(metaEnd(plainBytes)) + QByteArray("\xE0\x7F\x10\x00OB\x00\x00", 8);
    for (int shift = 0; shift < 32; shift += 8)
        head.append(char((pixelBytes >> shift) & 0xFF));

    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("fixtures: zlib");
    QByteArray body;
    deflateInto(stream, head, body, Z_FULL_FLUSH);
    constexpr quint32 kBlock = 1u << 20;
    // Every block starts with an empty history, so its bytes may simply be repeated.
    QByteArray block;
    deflateInto(stream, QByteArray(qsizetype(kBlock), '\0'), block, Z_FULL_FLUSH);
    for (quint32 done = 0; done + kBlock <= pixelBytes; done += kBlock)
        body += block;
    deflateInto(stream, QByteArray(qsizetype(pixelBytes % kBlock), '\0'), body, Z_FINISH);
    deflateEnd(&stream);
    writeBytes(path, deflatedFile.left(metaEnd(deflatedFile)) + body);
    return path;
}

QString writeDeflatedStored(const QString& path, int rows, int columns)
{
    const QString plain = path + QStringLiteral(".plain");
    writeByteImageAndDeflated(plain, path, rows, columns, 0, [rows, columns](DcmDataset& ds) {
        const std::vector<Uint8> zeros(size_t(rows) * size_t(columns), 0);
        ds.putAndInsertUint8Array(DCM_PixelData, zeros.data(), zeros.size());
    });
    QFile::remove(plain);
    return path;
}

void growPixelDataSparsely(const QString& path, quint32 bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        throw std::runtime_error("fixtures: cannot open " + path.toStdString());
    const QByteArray content = file.readAll();
    const qsizetype header = content.lastIndexOf(QByteArray("\xE0\x7F\x10\x00", 4));
    if (header < 0 || header + 12 > content.size())
        throw std::runtime_error("fixtures: no pixel data in " + path.toStdString());
    QByteArray length(4, '\0');
    qToLittleEndian<quint32>(bytes, length.data());
    file.seek(header + 8); // explicit VR: tag, VR, two reserved bytes, then the 32-bit length
    file.write(length);
    file.resize(header + 12 + qint64(bytes));
}

void writeDataSetAsImplicitVr(const QString& path)
{
    const QByteArray bytes = readWhole(path);
    // Encapsulated Pixel Data in explicit VR: tag, "OB", two reserved bytes, undefined length.
    const qsizetype pixels = bytes.lastIndexOf(QByteArray("\xE0\x7F\x10\x00OB\x00\x00\xFF\xFF\xFF\xFF", 12));
    DcmFileFormat ff;
    const QByteArray rest = QFile::encodeName(path + QStringLiteral(".implicit"));
    if (pixels < 0 || ff.loadFile(QFile::encodeName(path).constData()).bad() ||
        ff.getDataset()->findAndDeleteElement(DCM_PixelData).bad() ||
        ff.getDataset()->saveFile(rest.constData(), EXS_LittleEndianImplicit).bad())
        throw std::runtime_error("fixtures: cannot rewrite " + path.toStdString());
    const QByteArray implicitElements = readWhole(QFile::decodeName(rest));
    QFile::remove(QFile::decodeName(rest));
    writeBytes(path, bytes.left(metaEnd(bytes)) + implicitElements +
                         QByteArray("\xE0\x7F\x10\x00\xFF\xFF\xFF\xFF", 8) + bytes.mid(pixels + 12));
}

void replaceInFile(const QString& path, const QByteArray& from, const QByteArray& to)
{
    QByteArray bytes = readWhole(path);
    if (from.size() != to.size() || !bytes.contains(from))
        throw std::runtime_error("fixtures: nothing to replace in " + path.toStdString());
    writeBytes(path, bytes.replace(from, to));
}

void relabelTransferSyntax(const QString& path, QByteArray uid)
{
    QByteArray bytes = readWhole(path);
    const qint64 end = metaEnd(bytes);
    const qsizetype at = bytes.indexOf(QByteArray("\x02\x00\x10\x00UI", 6), 132);
    if (at < 0 || at >= end)
        throw std::runtime_error("fixtures: no transfer syntax in " + path.toStdString());
    const quint16 oldLength = qFromLittleEndian<quint16>(bytes.constData() + at + 6);
    if (uid.size() % 2)
        uid.append('\0');
    QByteArray element = bytes.mid(at, 8) + uid;
    qToLittleEndian<quint16>(quint16(uid.size()), element.data() + 6);
    bytes.replace(at, 8 + oldLength, element);
    qToLittleEndian<quint32>(quint32(end - 144 + uid.size() - oldLength), bytes.data() + 140);
    writeBytes(path, bytes);
}

void writeTruncatedCopy(const QString& source, const QString& target, qint64 bytes)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw std::runtime_error("fixtures: cannot read " + source.toStdString());
    writeBytes(target, in.read(bytes));
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    ensureParent(path);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
        throw std::runtime_error("fixtures: cannot write " + path.toStdString());
}

void writeDicmWithPayload(const QString& path, const QByteArray& payload)
{
    writeBytes(path, QByteArray(128, '\0') + QByteArrayLiteral("DICM") + payload);
}

QByteArray nestedSequenceBytes(int depth)
{
    // Digital Signatures Sequence (FFFA,FFFA) sorts after the pixel data, so the rest stays in order.
    static const char kOpen[] = {'\xFA', '\xFF', '\xFA', '\xFF', 'S', 'Q', 0, 0, '\xFF', '\xFF', '\xFF', '\xFF',
                                 '\xFE', '\xFF', '\x00', '\xE0', '\xFF', '\xFF', '\xFF', '\xFF'};
    QByteArray bytes;
    bytes.reserve(qsizetype(depth) * qsizetype(sizeof kOpen + sizeof kCloseLevel));
    for (int i = 0; i < depth; ++i)
        bytes.append(kOpen, sizeof kOpen);
    for (int i = 0; i < depth; ++i)
        bytes.append(kCloseLevel, sizeof kCloseLevel);
    return bytes;
}

void appendNestedSequences(const QString& path, int depth)
{
    appendBytes(path, nestedSequenceBytes(depth));
}

QByteArray nestedPixelDataBytes(int depth, const QByteArray& vr)
{
    const bool unknown = vr == "UN";
    QByteArray bytes = QByteArray("\xE0\x7F\x10\x00", 4) + vr + QByteArray("\x00\x00\xFF\xFF\xFF\xFF", 6) + kUndefinedItem;
    for (int level = 1; level < depth; ++level) {
        // Inside UN everything is implicit VR: (FFFA,FFFA) is a sequence to a reader by its dictionary.
        bytes += unknown ? QByteArray("\xFA\xFF\xFA\xFF\xFF\xFF\xFF\xFF", 8)
                         : QByteArray("\xE0\x7F\x10\x00SQ\x00\x00\xFF\xFF\xFF\xFF", 12);
        bytes += kUndefinedItem;
    }
    for (int level = 0; level < depth; ++level)
        bytes.append(kCloseLevel, sizeof kCloseLevel);
    return bytes;
}

QString writeNestedPixelData(const QString& path, int depth, const QByteArray& vr)
{
    writeSlice(path, withoutPixelData(), 0);
    appendBytes(path, nestedPixelDataBytes(depth, vr));
    return path;
}

QByteArray emptyElementsBytes(int count, bool descending)
{
    QByteArray bytes;
    bytes.reserve(qsizetype(count) * 8);
    for (int i = 0; i < count; ++i) {
        const int index = descending ? count - 1 - i : i;
        char header[8] = {0, 0, 0, 0, 'L', 'O', 0, 0};
        // Groups from 9000 up, all after the pixel data, elements from 0010 (no group lengths).
        qToLittleEndian<quint16>(quint16(0x9000 + 2 * (index / 0xFFF0)), header);
        qToLittleEndian<quint16>(quint16(0x0010 + index % 0xFFF0), header + 2);
        bytes.append(header, sizeof header);
    }
    return bytes;
}

QString writeManyEmptyElements(const QString& path, int count, bool descending)
{
    writeSlice(path, withoutPixelData(), 0);
    appendBytes(path, emptyElementsBytes(count, descending));
    return path;
}

QString writeDeflatedNestingAfter64MiB(const QString& path, int depth)
{
    // 64 MiB of zeros and a megabyte of noise in one OB value, then the nesting: the noise keeps the
    // file within the ratio a deflated data set may inflate by.
    QByteArray noise(1 << 20, '\0');
    quint32 state = 2463534242u;
    for (char& c : noise) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        c = char(state);
    }
    const quint32 padding = (64u << 20) + quint32(noise.size());
    QByteArray head = plainDatasetBytes(path) + QByteArray("\xE0\x7F\x10\x00OB\x00\x00", 8);
    head.append(QByteArray(4, '\0'));
    qToLittleEndian<quint32>(padding, head.data() + head.size() - 4);

    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("fixtures: zlib");
    QByteArray body;
    deflateInto(stream, head, body, Z_NO_FLUSH);
    const QByteArray megabyte(1 << 20, '\0');
    for (int i = 0; i < 64; ++i)
        deflateInto(stream, megabyte, body, Z_NO_FLUSH);
    deflateInto(stream, noise, body, Z_NO_FLUSH);
    deflateInto(stream, nestedSequenceBytes(depth), body, Z_FINISH);
    deflateEnd(&stream);
    writeBytes(path, deflatedMetaHeader(path) + body);
    return path;
}

QString writeDeflatedBehindMetaLookalike(const QString& path, int nestedDepth)
{
    // The meta header ends, by its group length, right after the transfer syntax. The deflate stream
    // opens with an empty fixed-code block (bytes 02 00) and a stored block whose length, its
    // complement ("OB") and first data bytes read as one more group-0002 element: (0002,BDB0) OB of
    // 1.4 GB, which a reader that follows group 0002 would take for the rest of the meta header.
    constexpr quint16 kStoredLength = 0xBDB0;
    QByteArray stored = QByteArray("\x08\x00\x05\x00" "CS\x0A\x00" "ISO_IR 100", 18);
    const QByteArray rest = plainDatasetBytes(path);
    stored += rest.mid(rest.indexOf(QByteArray("\x08\x00\x16\x00", 4)));
    const qsizetype fill = kStoredLength - stored.size() - 8 - (nestedDepth > 0 ? 0 : 12);
    if (fill < 0 || fill % 2 != 0 || fill > 0xFFFE)
        throw std::runtime_error("fixtures: data set does not fit the stored block");
    QByteArray comments("\x20\x00\x00\x40LT\x00\x00", 8); // Image Comments (0020,4000), then the fill
    qToLittleEndian<quint16>(quint16(fill), comments.data() + 6);
    stored += comments + QByteArray(fill, ' ');
    const quint32 pixelBytes = 1u << 30;
    if (nestedDepth == 0) {
        stored += QByteArray("\xE0\x7F\x10\x00OB\x00\x00", 8) + QByteArray(4, '\0');
        qToLittleEndian<quint32>(pixelBytes, stored.data() + stored.size() - 4);
    }
    if (stored.size() != kStoredLength)
        throw std::runtime_error("fixtures: stored block of the wrong size");

    QByteArray body("\x02\x00", 2);
    body += QByteArray(4, '\0');
    qToLittleEndian<quint16>(kStoredLength, body.data() + 2);
    qToLittleEndian<quint16>(quint16(~kStoredLength), body.data() + 4);
    body += stored;
    z_stream stream{};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("fixtures: zlib");
    if (nestedDepth > 0) {
        deflateInto(stream, nestedSequenceBytes(nestedDepth), body, Z_FINISH);
    } else {
        // Every block starts with an empty history, so its bytes may simply be repeated.
        QByteArray block;
        deflateInto(stream, QByteArray(1 << 20, '\0'), block, Z_FULL_FLUSH);
        for (quint32 done = 0; done < pixelBytes; done += 1u << 20)
            body += block;
        deflateInto(stream, QByteArray(), body, Z_FINISH);
    }
    deflateEnd(&stream);

    QByteArray meta;
    const auto element = [&meta](quint16 element, const char* vr, QByteArray value) {
        if (value.size() % 2)
            value.append('\0');
        const bool longForm = qstrcmp(vr, "OB") == 0;
        QByteArray header(longForm ? 12 : 8, '\0');
        qToLittleEndian<quint16>(0x0002, header.data());
        qToLittleEndian<quint16>(element, header.data() + 2);
        header.replace(4, 2, vr);
        if (longForm)
            qToLittleEndian<quint32>(quint32(value.size()), header.data() + 8);
        else
            qToLittleEndian<quint16>(quint16(value.size()), header.data() + 6);
        meta += header + value;
    };
    element(0x0001, "OB", QByteArray("\x00\x01", 2));
    element(0x0002, "UI", UID_SecondaryCaptureImageStorage);
    element(0x0003, "UI", newUid().toLatin1());
    element(0x0010, "UI", UID_DeflatedExplicitVRLittleEndianTransferSyntax);
    QByteArray groupLength("\x02\x00\x00\x00UL\x04\x00", 8);
    groupLength += QByteArray(4, '\0');
    qToLittleEndian<quint32>(quint32(meta.size()), groupLength.data() + 8);
    writeBytes(path, QByteArray(128, '\0') + "DICM" + groupLength + meta + body);
    return path;
}

} // namespace fixtures
