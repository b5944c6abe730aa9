#include "render/HuImage.h"
#include "dicom/CompressedFrameCheck.h"
#include "dicom/DicomFileLoading.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomNesting.h"
#include "dicom/FileDescriptorStream.h"
#include "dicom/FileIdentity.h"
#include "dicom/FrameDecoder.h"
#include "dicom/FrameRescale.h"

#include <QFile>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

namespace render {

namespace {

// One parsed file. DCMTK objects are not safe for concurrent use even when only read (element
// access may convert values in place), so every use of a shared object holds its own mutex.
struct ParsedFile
{
    QString path;
    dicom::FileIdentity identity;
    QString objectUid; // the object this version of the file holds, read as its listing read it
    DcmFileFormat file;
    std::mutex useMutex;
};

std::mutex g_cacheMutex;
std::shared_ptr<ParsedFile> g_cache; // guarded by g_cacheMutex
std::atomic<long long> g_parseCount{0};
std::atomic<bool> g_serialised{false};
std::mutex g_serialMutex;

// Largest uncompressed pixel payload we let a decoder allocate for one file: the Pixel Data
// element's own length field cannot describe more.
constexpr qint64 kMaxDecodedPixelBytes = qint64(0xFFFFFFFFu);

// The product of declared sizes, or nothing when it would not fit in 64 bits.
std::optional<qint64> checkedProduct(std::initializer_list<qint64> factors)
{
    qint64 product = 1;
    for (qint64 factor : factors)
        if (__builtin_mul_overflow(product, factor, &product))
            return std::nullopt;
    return product;
}

quint16 readUint16(DcmItem* item, const DcmTagKey& key)
{
    Uint16 v = 0;
    if (item->findAndGetUint16(key, v, 0, OFFalse).bad())
        return 0;
    return v;
}

int readFrameCount(DcmItem* ds)
{
    OFString text;
    if (ds->findAndGetOFStringArray(DCM_NumberOfFrames, text, OFFalse).bad())
        return 1;
    bool ok = false;
    const int frames = QString::fromLatin1(text.c_str()).trimmed().toInt(&ok, 10);
    return ok && frames > 0 ? frames : 1;
}

QString unpackFailedText()
{
    return QStringLiteral("Не удалось распаковать пиксельные данные.");
}

bool decompressIfNeeded(ParsedFile& parsed, QString& error)
{
    if (const QString unsupported = dicom::unsupportedCompressionText(parsed.file); !unsupported.isEmpty()) {
        error = unsupported;
        return false;
    }
    DcmDataset* ds = parsed.file.getDataset();
    if (!DcmXfer(ds->getOriginalXfer()).isEncapsulated())
        return true;
    // Decoders allocate what the header declares; a lying header must not ask for the impossible.
    const std::optional<qint64> declared = checkedProduct(
        {readUint16(ds, DCM_Rows), readUint16(ds, DCM_Columns),
         std::max<quint16>(readUint16(ds, DCM_SamplesPerPixel), 1),
         (std::max<quint16>(readUint16(ds, DCM_BitsAllocated), 8) + 7) / 8, readFrameCount(ds)});
    if (!declared || *declared > kMaxDecodedPixelBytes) {
        error = QStringLiteral("Заявленный размер несжатых пикселей слишком велик.");
        return false;
    }
    // Damaged JPEG data can hold the decoder for ever; refuse it before decoding.
    if (const QString problem = dicom::compressedFramesProblem(*ds); !problem.isEmpty()) {
        error = problem;
        return false;
    }
    try {
        // The codecs' own words are English.
        if (ds->chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad()) {
            error = unpackFailedText();
            return false;
        }
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("Недостаточно памяти для распаковки пиксельных данных.");
        return false;
    }
    if (!ds->canWriteXfer(EXS_LittleEndianExplicit)) {
        error = unpackFailedText();
        return false;
    }
    return true;
}

// Converts one frame of an uncompressed, single-sample file. Holds the file's use mutex.
bool extractFrame(ParsedFile& parsed, HuImage& out, int frameIndex, const dicom::RowObject& row,
                  QString& error)
{
    DcmDataset* ds = parsed.file.getDataset();
    const int rows = readUint16(ds, DCM_Rows);
    const int columns = readUint16(ds, DCM_Columns);
    const int bitsAllocated = readUint16(ds, DCM_BitsAllocated);
    const int pixelRepresentation = readUint16(ds, DCM_PixelRepresentation);
    if (rows == 0 || columns == 0) {
        error = QStringLiteral("В файле не указан размер изображения (строк: %1, столбцов: %2).")
                    .arg(rows)
                    .arg(columns);
        return false;
    }
    const int frames = readFrameCount(ds);
    // The values of the file's last frame are not those of a row's frame it lacks.
    if (!row.holdsFrame(frameIndex, frames)) {
        out.otherObject = true;
        error = dicom::parseHazardText(dicom::ParseHazard::OtherObject);
        return false;
    }
    const int frame = std::clamp(frameIndex, 0, frames - 1);
    const dicom::FrameRescale rescale = dicom::frameRescale(*ds, frame);

    const QString prefix = QStringLiteral("Кадр %1 из %2 (%3×%4, %5 бит): %6")
                               .arg(frame + 1).arg(frames).arg(columns).arg(rows).arg(bitsAllocated);

    quint16 samplesPerPixel = readUint16(ds, DCM_SamplesPerPixel);
    if (samplesPerPixel == 0)
        samplesPerPixel = 1;
    if (samplesPerPixel != 1) {
        error = prefix.arg(QStringLiteral("цветные изображения (%1 отсчёта на пиксель) не поддерживаются")
                               .arg(samplesPerPixel));
        return false;
    }
    if (bitsAllocated != 8 && bitsAllocated != 16) {
        error = prefix.arg(QStringLiteral("разрядность %1 бит не поддерживается").arg(bitsAllocated));
        return false;
    }
    int bitsStored = readUint16(ds, DCM_BitsStored);
    if (bitsStored == 0)
        bitsStored = bitsAllocated;
    int highBit = ds->tagExistsWithValue(DCM_HighBit) ? readUint16(ds, DCM_HighBit) : bitsStored - 1;
    if (bitsStored > bitsAllocated || highBit >= bitsAllocated || highBit + 1 < bitsStored) {
        error = prefix.arg(QStringLiteral("недопустимое расположение битов (значащих %1, старший %2)")
                               .arg(bitsStored).arg(highBit));
        return false;
    }

    const qint64 n = qint64(rows) * columns;
    const qint64 bytesPerSample = bitsAllocated / 8;
    const std::optional<qint64> needed = checkedProduct({qint64(frame) + 1, n, bytesPerSample});

    const Uint8* bytes = nullptr;
    const Uint16* words = nullptr;
    OFCondition cond;
    if (bitsAllocated <= 8)
        cond = ds->findAndGetUint8Array(DCM_PixelData, bytes, nullptr, OFFalse);
    else
        cond = ds->findAndGetUint16Array(DCM_PixelData, words, nullptr, OFFalse);
    const bool haveData = bitsAllocated <= 8 ? bytes != nullptr : words != nullptr;
    if (cond.bad() || !haveData) {
        error = prefix.arg(QStringLiteral("в файле нет пиксельных данных"));
        return false;
    }
    DcmElement* element = nullptr;
    qint64 available = 0;
    if (ds->findAndGetElement(DCM_PixelData, element, OFFalse).good() && element != nullptr)
        available = element->getLength();
    if (!needed || available < *needed) {
        error = prefix.arg(
            QStringLiteral("пиксельных данных меньше, чем нужно для кадра (есть %1 байт, нужно %2)")
                .arg(available)
                .arg(needed.value_or(-1)));
        return false;
    }

    try {
        out.pixels.resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
        error = prefix.arg(QStringLiteral("недостаточно памяти для кадра"));
        return false;
    }
    const int shift = highBit + 1 - bitsStored;
    const quint32 mask = bitsStored >= 32 ? 0xFFFFFFFFu : ((1u << bitsStored) - 1u);
    const quint32 signBit = 1u << (bitsStored - 1);
    const bool isSigned = pixelRepresentation == 1;
    const qint64 offset = qint64(frame) * n;
    const bool plain = shift == 0 && bitsStored == bitsAllocated;
    // One loop per kind of transform, so that the rescale's loop stays as tight as it was.
    auto convert = [&](auto toUnits) {
        for (qint64 i = 0; i < n; ++i) {
            const quint32 raw = bitsAllocated <= 8 ? quint32(bytes[offset + i]) : quint32(words[offset + i]);
            qint64 sample;
            if (plain && !isSigned) {
                sample = raw;
            } else {
                const quint32 v = (raw >> shift) & mask;
                sample = (isSigned && (v & signBit)) ? qint64(v) - (qint64(1) << bitsStored) : qint64(v);
            }
            out.pixels[static_cast<size_t>(i)] = toUnits(sample);
        }
    };
    if (const dicom::ModalityLut* lut = rescale.lut.get()) {
        convert([lut](qint64 sample) { return lut->valueOf(sample); });
    } else {
        const double slope = rescale.slope;
        const double intercept = rescale.intercept;
        convert([slope, intercept](qint64 sample) { return double(sample) * slope + intercept; });
    }
    out.width = columns;
    out.height = rows;
    return true;
}

QString changedText()
{
    return dicom::parseHazardText(dicom::ParseHazard::Changed);
}

// Whether the parse of a version of the file holds the row's object (dicom::holdsRowObject's rule).
bool holdsRowObject(const ParsedFile& parsed, const dicom::RowObject& row)
{
    return row.heldWithoutReading(parsed.identity.text()) || parsed.objectUid == row.sopInstanceUid;
}

// `changed`: the file at the path was no longer the one whose header was read once its pixels were.
// `otherObject`: the file holds another object than `row`.
std::shared_ptr<ParsedFile> parseFile(const QString& path, const dicom::RowObject& row, QString& error,
                                      bool* changed, bool* otherObject)
{
    auto parsed = std::make_shared<ParsedFile>();
    parsed->path = path;
    g_parseCount.fetch_add(1, std::memory_order_relaxed);
    // Long values stay on disk until the frame the header declares is known to fit: a lying header
    // must cost an error, not gigabytes. Deep nesting and deflated bombs are refused before parsing.
    dicom::FileOpening opening;
    dicom::ParseHazard hazard = dicom::ParseHazard::None;
    OFCondition cond =
        dicom::loadDicomFile(parsed->file, path, dicom::ValueLoading::Lazy, &hazard, nullptr, &opening, row);
    if (cond.bad()) {
        *otherObject = hazard == dicom::ParseHazard::OtherObject;
        error = dicom::loadFailureReason(path, cond, hazard);
        return nullptr;
    }
    parsed->identity = opening.file->identity();
    DcmDataset* ds = parsed->file.getDataset();
    if (ds == nullptr) {
        error = QStringLiteral("В файле нет набора данных.");
        return nullptr;
    }
    parsed->objectUid = dicom::objectUidOf(*ds);
    if (const QString problem = dicom::frameSizeProblem(*ds); !problem.isEmpty()) {
        error = problem;
        return nullptr;
    }
    // The pixels are read from the file whose header was read, or not at all.
    try {
        cond = parsed->file.loadAllDataIntoMemory();
    } catch (const std::bad_alloc&) {
        error = QStringLiteral("Недостаточно памяти для чтения файла.");
        return nullptr;
    }
    if (cond.bad()) {
        *changed = opening.changed();
        error = *changed ? changedText() : dicom::loadFailureReason(path, cond, hazard);
        return nullptr;
    }
    if (opening.changed()) {
        *changed = true;
        error = changedText();
        return nullptr;
    }
    if (!decompressIfNeeded(*parsed, error))
        return nullptr;
    return parsed;
}

} // namespace

bool loadHuFrame(HuImage& out, const QString& path, int frameIndex, QString* error,
                 const dicom::RowObject& row)
{
    std::unique_lock<std::mutex> serial(g_serialMutex, std::defer_lock);
    if (g_serialised.load(std::memory_order_relaxed))
        serial.lock();
    out.valid = false;
    out.pixels.clear();
    out.error.clear();
    out.otherObject = false;

    const dicom::FileIdentity identity = dicom::fileIdentity(path);

    std::shared_ptr<ParsedFile> parsed;
    {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        if (g_cache && g_cache->path == path && g_cache->identity == identity)
            parsed = g_cache;
    }

    QString failure;
    // The cached parse is the version of the file there now: the object it holds is the one it parsed.
    if (parsed && !holdsRowObject(*parsed, row)) {
        parsed.reset();
        out.otherObject = true;
        failure = dicom::parseHazardText(dicom::ParseHazard::OtherObject);
    } else if (!parsed) {
        // Different files are independent DCMTK objects, so parsing and decompressing run outside the
        // cache lock and the volume builder's threads really overlap.
        bool changed = false;
        parsed = parseFile(path, row, failure, &changed, &out.otherObject);
        // A file replaced or touched while it was read reads as it is now.
        if (changed) {
            failure.clear();
            parsed = parseFile(path, row, failure, &changed, &out.otherObject);
        }
        if (parsed) {
            std::lock_guard<std::mutex> lock(g_cacheMutex);
            g_cache = parsed;
        }
    }
    bool ok = false;
    if (parsed) {
        std::lock_guard<std::mutex> use(parsed->useMutex);
        ok = extractFrame(*parsed, out, frameIndex, row, failure);
    }
    if (!ok) {
        out.pixels.clear();
        out.pixels.shrink_to_fit();
        out.error = failure;
        if (error)
            *error = failure;
        return false;
    }
    out.valid = true;
    return true;
}

long long huFrameParseCount()
{
    return g_parseCount.load(std::memory_order_relaxed);
}

void setHuFrameReadsSerialised(bool on)
{
    g_serialised.store(on, std::memory_order_relaxed);
}

void clearHuFrameCache()
{
    std::lock_guard<std::mutex> lock(g_cacheMutex);
    g_cache.reset();
}

} // namespace render
