#include "dicom/FrameDecoder.h"

#include "dicom/CompressedFrameCheck.h"
#include "dicom/DicomFileLoading.h"
#include "dicom/DicomNesting.h"
#include "dicom/FileDescriptorStream.h"
#include "dicom/FrameRescale.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmimage/diregist.h> // colour images need dcmimage's handlers registered
#include <dcmtk/dcmimgle/dcmimage.h>

#include <QCoreApplication>
#include <QStringList>

#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace dicom {
namespace {

struct DecoderCache
{
    std::mutex mutex;
    QString key;
    std::unique_ptr<DicomImage> image;
    quint64 imagesBuilt = 0;
};

DecoderCache& cache()
{
    static DecoderCache instance;
    return instance;
}

// Counted in double: the declared fields multiply past 64 bits in a hostile header.
double declaredFrameBits(qint64 rows, qint64 columns, qint64 bitsAllocated, qint64 samplesPerPixel,
                         bool subsampled)
{
    const double bits = bitsAllocated > 0 ? double(bitsAllocated) : 8.0;
    return double(rows) * double(columns) * bits * (subsampled ? 2.0 : double(samplesPerPixel));
}

qint64 bytesFor(double bits)
{
    constexpr double kCeiling = 4.0e18; // far above any size accepted, still a valid qint64
    return bits >= kCeiling ? qint64(kCeiling) : qint64((bits + 7.0) / 8.0);
}

// What the header says about the pixels, read without loading long values; the image is built from
// this very parse, its pixels read from the file it parsed.
struct PixelProbe
{
    bool loaded = false;
    OFCondition status = EC_Normal;
    std::unique_ptr<DcmFileFormat> file;
    FileOpening opening;
    int samplesPerPixel = 1;
    int frames = 1;
    qint64 rows = 0;
    qint64 columns = 0;
    qint64 bitsAllocated = 0;
    bool hasPixelData = false;
    bool encapsulated = false;
    qint64 nativeLength = 0;  // declared value length of native pixel data
    qint64 fragmentCount = 0; // encapsulated: fragments after the offset table
    qint64 fileSize = 0;
    bool deflated = false; // the data set is stored deflated: the pixels take less room in the file
    bool mislabelled = false; // not in the syntax its meta header names: DCMTK must not read it by path
    bool bigEndianWideSamples = false; // native 32-bit samples in big endian: see wideSamplesAsStored
    bool halfSampleOver = false; // native 32-bit samples in an odd number of 16-bit words: see keepPixelBytes
    // A modality transform DCMTK's image would not find, put in the top level before it is built: the
    // image reads a LUT only there and a rescale there and in the shared groups. A frame's own (from its
    // functional groups) is drawn alone; a LUT of the shared groups holds for the whole file.
    std::optional<FrameRescale> topLevelTransform;
    bool transformOfOneFrame = false;

    bool subsampled = false;  // YBR_FULL_422 / YBR_PARTIAL_422: two samples' worth per pixel
    QString compressedProblem; // compressed data the codec must not be given
    QString frameProblem;      // the frame asked for would not decode to what its data hold

    double frameBits() const
    {
        return declaredFrameBits(rows, columns, bitsAllocated, samplesPerPixel, subsampled);
    }
    qint64 frameBytes() const { return bytesFor(frameBits()); }
    // 1-bit frames are packed across frame boundaries.
    qint64 totalBytes() const { return bytesFor(frameBits() * double(frames)); }
};

QString tooLargeFrameText(qint64 rows, qint64 columns)
{
    return QCoreApplication::translate("dicom", "Слишком большой кадр: %1×%2.").arg(columns).arg(rows);
}

// -1 asks for the middle frame; out-of-range values are clamped (a row's frame never is: see
// RowObject::holdsFrame).
int clampedFrame(int requested, int frames)
{
    const int index = requested == -1 ? frames / 2 : requested;
    return qBound(0, index, frames - 1);
}

PixelProbe probePixels(const QString& path, int requestedFrame, const RowObject& row, ParseHazard* hazard)
{
    PixelProbe probe;
    probe.file = std::make_unique<DcmFileFormat>();
    DcmFileFormat& file = *probe.file;
    probe.status =
        loadDicomFile(file, path, ValueLoading::Lazy, hazard, &probe.mislabelled, &probe.opening, row);
    DcmDataset* dataset = file.getDataset();
    if (probe.status.bad() || !dataset || !probe.opening.file)
        return probe;
    probe.loaded = true;
    probe.fileSize = probe.opening.file->identity().size;

    Uint16 samples = 0;
    if (dataset->findAndGetUint16(DCM_SamplesPerPixel, samples).good() && samples > 0)
        probe.samplesPerPixel = samples;
    Sint32 frames = 0;
    if (dataset->findAndGetSint32(DCM_NumberOfFrames, frames).good() && frames > 0)
        probe.frames = frames;
    Uint16 value = 0;
    if (dataset->findAndGetUint16(DCM_Rows, value).good())
        probe.rows = value;
    value = 0;
    if (dataset->findAndGetUint16(DCM_Columns, value).good())
        probe.columns = value;
    value = 0;
    if (dataset->findAndGetUint16(DCM_BitsAllocated, value).good())
        probe.bitsAllocated = value;
    OFString photometric;
    if (dataset->findAndGetOFString(DCM_PhotometricInterpretation, photometric).good())
        probe.subsampled = photometric == "YBR_FULL_422" || photometric == "YBR_PARTIAL_422";
    if (photometric == "MONOCHROME1" || photometric == "MONOCHROME2") {
        const FrameRescale own = frameRescale(*dataset, clampedFrame(requestedFrame, probe.frames));
        const FrameRescale everyFrame = frameRescale(*dataset, -1);
        if (own.source == FrameRescale::Source::PerFrame && !own.sameTransform(everyFrame)) {
            probe.topLevelTransform = own;
            probe.transformOfOneFrame = true;
        } else if (everyFrame.lut && everyFrame.source == FrameRescale::Source::Shared) {
            probe.topLevelTransform = everyFrame;
        }
    }

    DcmElement* element = nullptr;
    if (dataset->findAndGetElement(DCM_PixelData, element).good() && element) {
        probe.hasPixelData = true;
        // DCMTK reads a data set in a syntax it does not know (High-Throughput JPEG 2000 among them)
        // as if uncompressed: only the meta header names what its pixels are.
        if (const QString unsupported = unsupportedCompressionText(file); !unsupported.isEmpty()) {
            probe.encapsulated = true;
            probe.compressedProblem = unsupported;
            return probe;
        }
        const E_TransferSyntax xfer = dataset->getOriginalXfer();
        probe.encapsulated = DcmXfer(xfer).isEncapsulated();
        probe.deflated = xfer == EXS_DeflatedLittleEndianExplicit;
        if (probe.encapsulated) {
            auto* pixelData = OFstatic_cast(DcmPixelData*, element);
            E_TransferSyntax repType = EXS_Unknown;
            const DcmRepresentationParameter* repParam = nullptr;
            pixelData->getOriginalRepresentationKey(repType, repParam);
            DcmPixelSequence* sequence = nullptr;
            if (pixelData->getEncapsulatedRepresentation(repType, repParam, sequence).good() && sequence)
                probe.fragmentCount = qMax<qint64>(0, qint64(sequence->card()) - 1);
            probe.compressedProblem =
                unsupportedCompressionText(QString::fromLatin1(DcmXfer(xfer).getXferID()));
            if (probe.compressedProblem.isEmpty())
                probe.compressedProblem = compressedFramesProblem(*dataset);
            if (probe.frameBytes() <= kMaxFrameBytes)
                probe.frameProblem =
                    rleFrameProblem(*dataset, clampedFrame(requestedFrame, probe.frames), probe.fileSize);
        } else {
            probe.nativeLength = element->getLength();
            probe.bigEndianWideSamples = DcmXfer(xfer).isBigEndian() && probe.bitsAllocated == 32;
            probe.halfSampleOver = probe.bitsAllocated == 32 && (probe.nativeLength / 2) % 2 == 1;
        }
    }
    return probe;
}

// DCMTK swaps big-endian Pixel Data as 16-bit words, which leaves the two halves of every 32-bit
// sample exchanged: writers store such samples as 32-bit big-endian values. Puts them back in place
// (in host order once the words are).
bool wideSamplesAsStored(DcmDataset& dataset)
{
    const Uint16* data = nullptr;
    unsigned long count = 0;
    if (dataset.findAndGetUint16Array(DCM_PixelData, data, &count).bad() || !data)
        return false;
    auto* words = const_cast<Uint16*>(data); // the element's own value, in host order now
    for (unsigned long i = 0; i + 1 < count; i += 2)
        std::swap(words[i], words[i + 1]);
    return true;
}

// DCMTK's reader of 32-bit samples steps through the pixel data two 16-bit words at a time and reads
// and writes past its buffers when their number is odd (a value 2, 3, 6, 7 … bytes longer than the
// image needs): the image is decoded from exactly the bytes it needs.
bool keepPixelBytes(DcmDataset& dataset, qint64 bytes)
{
    DcmElement* element = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, element).bad() || !element || bytes > qint64(element->getLength()))
        return false;
    if (element->getVR() == EVR_OB) {
        Uint8* data = nullptr;
        if (element->getUint8Array(data).bad() || !data)
            return false;
        const std::vector<Uint8> kept(data, data + bytes);
        return element->putUint8Array(kept.data(), unsigned(kept.size())).good();
    }
    Uint16* words = nullptr;
    if (element->getUint16Array(words).bad() || !words)
        return false;
    const std::vector<Uint16> kept(words, words + bytes / 2);
    return element->putUint16Array(kept.data(), unsigned(kept.size())).good();
}

// Puts the transform at the top level, where DCMTK's image looks first. The decimal text holds the double
// exactly and the LUT goes in as read, so the frame is drawn with the very values the HU readings use.
bool putTransform(DcmDataset& dataset, const FrameRescale& transform)
{
    auto decimal = [](double value) { return QByteArray::number(value, 'g', 17); };
    if (!transform.lut)
        return dataset.putAndInsertString(DCM_RescaleSlope, decimal(transform.slope).constData()).good()
            && dataset.putAndInsertString(DCM_RescaleIntercept, decimal(transform.intercept).constData())
                   .good();
    const ModalityLut& lut = *transform.lut;
    const auto count = static_cast<unsigned long>(lut.entries.size());
    const Uint16 descriptor[3] = {Uint16(count), Uint16(lut.firstMapped), lut.bitsPerEntry}; // 65536 is 0
    DcmItem* item = nullptr;
    return dataset.findOrCreateSequenceItem(DCM_ModalityLUTSequence, item, 0).good() && item != nullptr
        && item->putAndInsertUint16Array(DcmTag(DCM_LUTDescriptor, EVR_US), descriptor, 3).good()
        && item->putAndInsertUint16Array(DcmTag(DCM_LUTData, EVR_OW), lut.entries.data(), count).good();
}

// Refuses headers that would make DCMTK read past the data or allocate without bound.
QString checkDeclaredSizes(const PixelProbe& probe)
{
    if (!probe.hasPixelData)
        return QCoreApplication::translate("dicom", "В файле нет пиксельных данных.");
    if (probe.rows <= 0 || probe.columns <= 0)
        return QCoreApplication::translate("dicom", "Размер изображения равен нулю.");
    if (probe.frameBytes() > kMaxFrameBytes)
        return tooLargeFrameText(probe.rows, probe.columns);
    if (probe.encapsulated) {
        // Every frame of an encapsulated stream takes at least one fragment.
        if (!probe.compressedProblem.isEmpty())
            return probe.compressedProblem;
        if (probe.fragmentCount < probe.frames)
            return QCoreApplication::translate("dicom", "Сжатые пиксельные данные повреждены: кадров %1, фрагментов %2.")
                .arg(probe.frames)
                .arg(probe.fragmentCount);
        return {};
    }
    const qint64 needed = probe.totalBytes();
    // Deflate expands no byte more than 1032-fold: more than that cannot be in the file.
    const qint64 present = probe.deflated ? probe.fileSize * 1032 : probe.fileSize;
    if (probe.nativeLength < needed || probe.nativeLength > present)
        return QCoreApplication::translate("dicom", "Пиксельные данные обрезаны или не соответствуют размеру изображения.");
    return {};
}

QString cacheKeyBase(const QString& path, const FileIdentity& id)
{
    // A file rewritten in place or replaced (tag edit, recompression) becomes a new key: the key is the
    // file the probe read, whose pixels the image holds.
    return QStringLiteral("%1|%2|%3|%4|%5:%6")
        .arg(path)
        .arg(id.size)
        .arg(id.modifiedNs)
        .arg(id.statusChangedNs)
        .arg(id.device)
        .arg(id.inode);
}

// Why DCMTK could not build the image, in the program's words.
QString imageStatusText(EI_Status status)
{
    switch (status) {
    case EIS_MissingAttribute:
        return QCoreApplication::translate("dicom", "в файле нет обязательного атрибута изображения");
    case EIS_InvalidValue:
        return QCoreApplication::translate("dicom", "недопустимое значение атрибута изображения");
    case EIS_NotSupportedValue:
        return QCoreApplication::translate("dicom", "значение атрибута изображения не поддерживается");
    case EIS_MemoryFailure:
        return QCoreApplication::translate("dicom", "недостаточно памяти");
    case EIS_InvalidImage:
    case EIS_InvalidDocument:
        return QCoreApplication::translate("dicom", "пиксельные данные повреждены");
    default:
        return QCoreApplication::translate("dicom", "внутренняя ошибка декодера");
    }
}

void setError(QString* errorMessage, const QString& text)
{
    if (errorMessage)
        *errorMessage = text;
}

bool usable(double center, double width)
{
    return std::isfinite(center) && std::isfinite(width) && width >= 1.0;
}

// DCMTK takes a stored "NaN" or "inf" (or a value beyond a double) as it reads: such a window shows
// nothing and names no number.
bool windowInEffectUsable(DicomImage& image)
{
    double center = 0.0;
    double width = 0.0;
    return image.getWindow(center, width) && usable(center, width);
}

} // namespace

qint64 declaredFrameBytes(qint64 rows, qint64 columns, qint64 bitsAllocated, qint64 samplesPerPixel,
                          bool subsampled)
{
    return bytesFor(declaredFrameBits(rows, columns, bitsAllocated, samplesPerPixel, subsampled));
}

QString unsupportedCompressionText(const QString& transferSyntaxUid)
{
    // JPEG 2000 (parts 1 and 2) and High-Throughput JPEG 2000.
    static const QStringList jpeg2000{
        QStringLiteral("1.2.840.10008.1.2.4.90"),  QStringLiteral("1.2.840.10008.1.2.4.91"),
        QStringLiteral("1.2.840.10008.1.2.4.92"),  QStringLiteral("1.2.840.10008.1.2.4.93"),
        QStringLiteral("1.2.840.10008.1.2.4.201"), QStringLiteral("1.2.840.10008.1.2.4.202"),
        QStringLiteral("1.2.840.10008.1.2.4.203")};
    if (jpeg2000.contains(transferSyntaxUid.trimmed()))
        return QCoreApplication::translate("dicom", "JPEG 2000 не поддерживается");
    return {};
}

QString unsupportedCompressionText(DcmFileFormat& file)
{
    OFString named;
    if (DcmMetaInfo* meta = file.getMetaInfo(); meta && meta->findAndGetOFString(DCM_TransferSyntaxUID, named).good())
        if (const QString text = unsupportedCompressionText(QString::fromLatin1(named.c_str())); !text.isEmpty())
            return text;
    const DcmDataset* dataset = file.getDataset();
    return dataset ? unsupportedCompressionText(QString::fromLatin1(DcmXfer(dataset->getOriginalXfer()).getXferID()))
                   : QString();
}

QString frameSizeProblem(DcmItem& dataset)
{
    Uint16 rows = 0;
    Uint16 columns = 0;
    Uint16 bitsAllocated = 0;
    Uint16 samples = 0;
    dataset.findAndGetUint16(DCM_Rows, rows);
    dataset.findAndGetUint16(DCM_Columns, columns);
    dataset.findAndGetUint16(DCM_BitsAllocated, bitsAllocated);
    dataset.findAndGetUint16(DCM_SamplesPerPixel, samples);
    OFString photometric;
    dataset.findAndGetOFString(DCM_PhotometricInterpretation, photometric);
    const bool subsampled = photometric == "YBR_FULL_422" || photometric == "YBR_PARTIAL_422";
    if (declaredFrameBytes(rows, columns, bitsAllocated, qMax<Uint16>(samples, 1), subsampled) <=
        kMaxFrameBytes)
        return {};
    return tooLargeFrameText(rows, columns);
}

namespace {

// One decode through one parse of the file. `changed`: the file at the path was no longer the one
// parsed once the pixels were read, and nothing was cached of it. The cache is keyed by the version
// the probe read, and every call probes, for its row: an image cached is served only for a file
// that is still that version and proven to hold the row's object now.
std::optional<DecodedFrame> decodeOnce(DecoderCache& state, const QString& path, int frame,
                                       std::optional<render::WindowLevel> window, QString* errorMessage,
                                       const RowObject& row, bool* otherObject, bool* changed)
{
    PixelProbe probe;
    ParseHazard hazard = ParseHazard::None;
    try {
        probe = probePixels(path, frame, row, &hazard);
    } catch (const std::exception& e) {
        setError(errorMessage, QCoreApplication::translate("dicom", "Ошибка декодирования: %1").arg(QString::fromLocal8Bit(e.what())));
        return std::nullopt;
    }
    if (!probe.loaded) {
        *otherObject = hazard == ParseHazard::OtherObject;
        setError(errorMessage, loadFailureReason(path, probe.status, hazard));
        return std::nullopt;
    }
    const qint64 wholeFileBytes = probe.totalBytes();
    const bool perFrame = (probe.samplesPerPixel > 1 && probe.frames > 16)
        || (probe.frames > 1 && wholeFileBytes > kWholeFileDecodeLimitBytes) || probe.transformOfOneFrame;

    // A frame of the row that this version of its file lacks is not there to be drawn: the file's
    // last frame is another image, not the row's.
    if (!row.holdsFrame(frame, probe.frames)) {
        *otherObject = true;
        setError(errorMessage, parseHazardText(ParseHazard::OtherObject));
        return std::nullopt;
    }
    const int index = clampedFrame(frame, probe.frames);
    if (!probe.frameProblem.isEmpty()) {
        setError(errorMessage, probe.frameProblem);
        return std::nullopt;
    }

    QString key = cacheKeyBase(path, probe.opening.file->identity());
    if (perFrame)
        key += QStringLiteral("#%1").arg(index);

    DicomImage* image = nullptr;
    unsigned long frameToRender = perFrame ? 0 : unsigned(index);
    try {
        if (key == state.key && state.image && state.image->getStatus() == EIS_Normal) {
            image = state.image.get();
        } else {
            const QString problem = checkDeclaredSizes(probe);
            if (!problem.isEmpty()) {
                setError(errorMessage, problem);
                return std::nullopt;
            }
            unsigned long flags = CIF_MayDetachPixelData;
            if (perFrame)
                flags |= CIF_UsePartialAccessToPixelData; // read and decompress only the frame asked for
            const bool wholeValues = probe.mislabelled || probe.bigEndianWideSamples || probe.halfSampleOver;
            std::unique_ptr<DcmFileFormat> file = std::move(probe.file);
            if (wholeValues) {
                const OFCondition loaded = file->loadAllDataIntoMemory();
                if (loaded.bad()) {
                    *changed = probe.opening.changed();
                    setError(errorMessage, *changed ? parseHazardText(ParseHazard::Changed)
                                                    : loadFailureReason(path, loaded, ParseHazard::None));
                    return std::nullopt;
                }
                flags &= ~CIF_UsePartialAccessToPixelData;
            }
            if ((probe.halfSampleOver && !keepPixelBytes(*file->getDataset(), probe.totalBytes())) ||
                (probe.bigEndianWideSamples && !wideSamplesAsStored(*file->getDataset()))) {
                setError(errorMessage,
                         QCoreApplication::translate("dicom", "В файле нет пиксельных данных."));
                return std::nullopt;
            }
            if (probe.topLevelTransform && !putTransform(*file->getDataset(), *probe.topLevelTransform)) {
                setError(errorMessage,
                         QCoreApplication::translate("dicom", "Недостаточно памяти для изображения."));
                return std::nullopt;
            }
            // Built from the probe's own parse: the pixels come from the file whose header was read.
            const E_TransferSyntax xfer = file->getDataset()->getOriginalXfer();
            auto built =
                std::make_unique<DicomImage>(file.release(), xfer, flags | CIF_TakeOverExternalDataset,
                                             perFrame ? unsigned(index) : 0ul, perFrame ? 1ul : 0ul);
            // The image has read its pixels: from the file the header came from, if it is still that file.
            if (probe.opening.changed()) {
                *changed = true;
                setError(errorMessage, parseHazardText(ParseHazard::Changed));
                return std::nullopt;
            }
            if (built->getStatus() != EIS_Normal) {
                setError(errorMessage,
                         QCoreApplication::translate("dicom", "Не удалось декодировать изображение: %1")
                             .arg(imageStatusText(built->getStatus())));
                return std::nullopt;
            }
            state.image = std::move(built);
            state.key = key;
            ++state.imagesBuilt;
            image = state.image.get();
        }

        DecodedFrame result;
        result.frameCount = probe.frames;
        if (image->isMonochrome()) {
            bool applied = false;
            if (window)
                applied = usable(window->center, window->width) && image->setWindow(window->center, window->width);
            else if (image->getWindowCount() > 0)
                applied = image->setWindow(0) && windowInEffectUsable(*image); // a stored width below 1 fails
            if (!applied)
                applied = image->setMinMaxWindow(0);
            double center = 0.0;
            double width = 0.0;
            if (!applied || !image->getWindow(center, width)) {
                setError(errorMessage, QCoreApplication::translate("dicom", "Не удалось применить окно к изображению."));
                return std::nullopt;
            }
            result.windowCenter = center;
            result.windowWidth = width;
        }

        const unsigned long width = image->getWidth();
        const unsigned long height = image->getHeight();
        if (!image->getInterData() || width == 0 || height == 0) {
            setError(errorMessage, QCoreApplication::translate("dicom", "В файле нет пиксельных данных."));
            return std::nullopt;
        }
        const auto* data = static_cast<const uchar*>(image->getOutputData(8, frameToRender, 0));
        if (!data) {
            setError(errorMessage, QCoreApplication::translate("dicom", "Не удалось получить кадр %1 из файла.").arg(index + 1));
            return std::nullopt;
        }
        const bool mono = image->isMonochrome();
        QImage out(int(width), int(height), mono ? QImage::Format_Grayscale8 : QImage::Format_RGB888);
        if (out.isNull()) {
            setError(errorMessage, QCoreApplication::translate("dicom", "Недостаточно памяти для изображения."));
            return std::nullopt;
        }
        const qsizetype rowBytes = qsizetype(width) * (mono ? 1 : 3);
        for (unsigned long y = 0; y < height; ++y)
            memcpy(out.scanLine(int(y)), data + qsizetype(y) * rowBytes, size_t(rowBytes));
        result.image = std::move(out);
        return result;
    } catch (const std::exception& e) {
        setError(errorMessage, QCoreApplication::translate("dicom", "Ошибка декодирования: %1").arg(QString::fromLocal8Bit(e.what())));
        return std::nullopt;
    }
}

} // namespace

std::optional<DecodedFrame> decodeFrame(const QString& path, int frame,
                                        std::optional<render::WindowLevel> window, QString* errorMessage,
                                        const RowObject& row, bool* otherObject)
{
    DecoderCache& state = cache();
    std::lock_guard lock(state.mutex);
    setError(errorMessage, {});
    bool other = false;
    bool changed = false;
    std::optional<DecodedFrame> decoded =
        decodeOnce(state, path, frame, window, errorMessage, row, &other, &changed);
    // A file replaced or touched while it was read reads as it is now.
    if (changed) {
        changed = false;
        setError(errorMessage, {});
        decoded = decodeOnce(state, path, frame, window, errorMessage, row, &other, &changed);
    }
    if (otherObject)
        *otherObject = other;
    return decoded;
}

FrameDecoderCacheState frameDecoderCacheState()
{
    DecoderCache& state = cache();
    std::lock_guard lock(state.mutex);
    return {state.key, state.imagesBuilt};
}

void releaseFrameDecoderCache()
{
    DecoderCache& state = cache();
    std::lock_guard lock(state.mutex);
    state.image.reset();
    state.key.clear();
}

} // namespace dicom
