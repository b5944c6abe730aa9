#include "dicom/DicomFileLoading.h"

#include "dicom/CompressedFrameCheck.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/FileDescriptorStream.h"
#include "dicom/GuardedDicomStream.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcvr.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

namespace dicom {
namespace {

// Encapsulated pixels keep the syntax the meta header names: their fragments are in it whatever
// encoding the elements around them were written in.
void keepNamedCompression(DcmFileFormat& file)
{
    DcmDataset* dataset = file.getDataset();
    OFString uid;
    if (!file.getMetaInfo() || file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, uid).bad())
        return;
    const DcmXfer named(uid.c_str());
    DcmPixelSequence* fragments = named.isEncapsulated() ? originalPixelSequence(*dataset) : nullptr;
    DcmElement* element = nullptr;
    if (!fragments || dataset->findAndGetElement(DCM_PixelData, element, OFFalse).bad() || !element)
        return;
    OFstatic_cast(DcmPixelData*, element)
        ->putOriginalRepresentation(named.getXfer(), nullptr, new DcmPixelSequence(*fragments));
    dataset->updateOriginalXfer();
}

// A parse the guard stopped, or a tree deeper than every later walk of it may go: what was built is
// let go here, where the stack that built it is.
bool nestedTooDeep(const GuardedReading& reading, DcmItem* first, DcmItem* second = nullptr)
{
    return reading.guard.tripped() || (first && treeSequenceDepth(*first) > kMaxSequenceNesting) ||
           (second && treeSequenceDepth(*second) > kMaxSequenceNesting);
}

OFCondition refusal(ParseHazard hazard, ParseHazard* hazardFound)
{
    if (hazardFound)
        *hazardFound = hazard;
    return makeOFCondition(OFM_dcmdata, 998, OF_error, parseHazardText(hazard).toUtf8().constData());
}

} // namespace

void useReadingConventions()
{
    static std::once_flag once;
    std::call_once(once, [] { dcmEnableUnknownVRConversion.set(OFTrue); });
}

namespace {

struct
{
    void (*hook)(const QString& path, void* context) = nullptr;
    void* context = nullptr;
} beforeValues;

void beforeValuesLoaded(const QString& path)
{
    if (beforeValues.hook)
        beforeValues.hook(path, beforeValues.context);
}

// DCMTK allocates a value as long as its header claims before it reads the value, unless its stream
// lets it leave the value where it lies: a buffer stream never does. The file's bytes held in memory are
// walked before the data set is read, so every length there is known to fit; the meta header comes
// first, and a length claimed there is skipped over instead, which fails where it runs past the end.
// What DCMTK leaves so is read into memory as soon as the header is read. The bytes it is read from are
// a copy of the few the header may span (the thread's buffer holds the next file soon), so that DCMTK
// may drop the value and read it again whenever it likes.
class HeaderValueFactory final : public DcmInputStreamFactory
{
  public:
    explicit HeaderValueFactory(std::shared_ptr<const QByteArray> bytes) : m_bytes(std::move(bytes)) {}

    DcmInputStream* create() const override
    {
        auto* stream = new DcmInputBufferStream;
        stream->setBuffer(m_bytes->constData(), offile_off_t(m_bytes->size()));
        stream->setEos();
        return stream;
    }
    DcmInputStreamFactory* clone() const override { return new HeaderValueFactory(*this); }
    DcmInputStreamFactoryType ident() const override { return DFT_DcmInputFileStreamFactory; }

  private:
    std::shared_ptr<const QByteArray> m_bytes;
};

class HeaderBufferStream : public DcmInputBufferStream
{
  public:
    HeaderBufferStream(const uchar* data, qint64 size) : m_data(data), m_size(size)
    {
        setBuffer(data, offile_off_t(size));
        setEos();
    }
    void headerRead() { m_inHeader = false; }
    DcmInputStreamFactory* newFactory() const override
    {
        if (!m_inHeader)
            return nullptr;
        // The header's budget bounds a value it leaves.
        const qint64 from = qMin<qint64>(tell(), m_size);
        const qint64 length = qMin(m_size - from, kMaxMetaHeaderBytesRead);
        return new HeaderValueFactory(std::make_shared<const QByteArray>(
            reinterpret_cast<const char*>(m_data + from), qsizetype(length)));
    }

  private:
    const uchar* m_data;
    qint64 m_size;
    bool m_inHeader = true;
};

// The steps of DCMTK's loadFile, on a stream that stops the parse before the stack's end, with the data
// set checked (by `check`, given where it starts) between its meta header and itself.
template <typename Check, typename HeaderRead>
OFCondition loadFromStream(DcmFileFormat& file, const QString& path, DcmInputStream& stream,
                           GuardedReading& reading, Check check, HeaderRead headerRead, ValueLoading loading,
                           ParseHazard* hazardFound, bool* readAgainAsShown)
{
    OFCondition status = stream.status();
    if (status.good())
        status = file.clear();
    if (status.bad())
        return status;
    DatasetStart start;
    ParseHazard hazard = readMetaHeader(*file.getMetaInfo(), stream, reading, start, status);
    if (hazard == ParseHazard::None && status.good()) {
        // A value of the meta header left in the file is small: the header's budget bounds it.
        status = file.getMetaInfo()->loadAllDataIntoMemory();
        headerRead();
    }
    if (hazard == ParseHazard::None && status.good()) {
        // One walk tells both whether DCMTK may read the data set and in which syntax.
        const FileCheck checked = check(start);
        hazard = checked.hazard;
        if (hazard == ParseHazard::None) {
            DcmDataset* dataset = file.getDataset();
            dataset->transferInit();
            status = dataset->read(stream, checked.encodingDiffersFromMeta ? EXS_Unknown : start.named, EGL_noChange,
                                   DCM_MaxReadLength);
            dataset->transferEnd();
            // Compressed pixels keep the syntax named.
            if (checked.encodingDiffersFromMeta && status.good())
                keepNamedCompression(file);
            if (readAgainAsShown)
                *readAgainAsShown = checked.encodingDiffersFromMeta;
        }
    }
    // Whatever came of the parse, what it built must not outgrow the stack of whoever keeps it.
    if (hazard == ParseHazard::None && nestedTooDeep(reading, file.getDataset(), file.getMetaInfo()))
        hazard = ParseHazard::DeepNesting;
    if (hazard != ParseHazard::None) {
        file.clear();
        return refusal(hazard, hazardFound);
    }
    if (status.good() && loading == ValueLoading::Whole) {
        beforeValuesLoaded(path);
        status = file.loadAllDataIntoMemory();
    }
    return status;
}

OFCondition openingFailed(int error)
{
    return makeOFCondition(OFM_dcmdata, 18, OF_error,
                           error != 0 ? std::strerror(error) : "not a regular file");
}

// One load through one opening of the file: its header, the walk of its data set and the data set
// itself come from the same opening, and what the load leaves in the file is read later only from
// that very file (FileDescriptorStream.h). A file that is no longer what was opened once the load is
// done is refused as changed.
OFCondition loadOnce(DcmFileFormat& file, const QString& path, ValueLoading loading, ParseHazard& hazard,
                     bool* readAgainAsShown, FileOpening* opening, const RowObject& row)
{
    hazard = ParseHazard::None;
    if (readAgainAsShown)
        *readAgainAsShown = false;
    errno = 0;
    const std::shared_ptr<const OpenedFile> opened = OpenedFile::open(path);
    if (!opened) {
        file.clear();
        return openingFailed(errno);
    }
    GuardedReading reading;
    OFCondition status;
    // A file of the size of an image or a few is read once, and walked and parsed in memory: its
    // values are then all in memory, and it is not sought and read piece by piece again.
    qint64 size = 0;
    if (const uchar* bytes = readSmallFile(*opened, &size)) {
        Guarded<HeaderBufferStream> stream(reading, bytes, size);
        const auto check = [&](const DatasetStart& start) { return checkFileDataset(bytes, size, start); };
        status = loadFromStream(
            file, path, stream, reading, check, [&] { stream.headerRead(); }, loading, &hazard,
            readAgainAsShown);
    } else {
        Guarded<FileDescriptorStream> stream(reading, opened);
        const auto check = [&](const DatasetStart& start) { return checkFileDataset(*opened, start); };
        status = loadFromStream(
            file, path, stream, reading, check, [] {}, loading, &hazard, readAgainAsShown);
    }
    if (opening)
        opening->file = opened;
    // A file still being copied or written reads as damaged as often as not: that it changed is the
    // cause, and it is read once more.
    if (FileOpening{opened}.changed()) {
        file.clear();
        return refusal(ParseHazard::Changed, &hazard);
    }
    if (hazard == ParseHazard::None && status.good() && !holdsRowObject(*opened, file.getDataset(), row)) {
        file.clear();
        return refusal(ParseHazard::OtherObject, &hazard);
    }
    return status;
}

} // namespace

bool holdsRowObject(const OpenedFile& opened, DcmItem* dataset, const RowObject& row)
{
    return row.heldWithoutReading(opened.identity().text())
        || (dataset && objectUidOf(*dataset) == row.sopInstanceUid);
}

bool FileOpening::changed() const
{
    return !file || fileIdentity(file->path()) != file->identity();
}

OFCondition loadDicomFile(DcmFileFormat& file, const QString& path, ValueLoading loading,
                          ParseHazard* hazardFound, bool* readAgainAsShown, FileOpening* opening,
                          const RowObject& row)
{
    useReadingConventions();
    if (hazardFound)
        *hazardFound = ParseHazard::None;
    try {
        ParseHazard hazard = ParseHazard::None;
        OFCondition status = loadOnce(file, path, loading, hazard, readAgainAsShown, opening, row);
        // A file touched, or copied over and finished meanwhile, reads as it is now.
        if (hazard == ParseHazard::Changed)
            status = loadOnce(file, path, loading, hazard, readAgainAsShown, opening, row);
        if (hazardFound)
            *hazardFound = hazard;
        if (status.good() && opening && loading == ValueLoading::Lazy)
            beforeValuesLoaded(path);
        return status;
    } catch (const std::exception& e) {
        file.clear();
        return makeOFCondition(OFM_dcmdata, 999, OF_error, e.what());
    }
}

QString loadFailureReason(const QString& path, const OFCondition& status, ParseHazard hazard)
{
    if (hazard != ParseHazard::None)
        return parseHazardText(hazard);
    const QFileInfo file(path);
    if (!file.exists())
        return QCoreApplication::translate("dicom", "Файл не найден.");
    if (!file.isReadable())
        return QCoreApplication::translate("dicom", "Нет прав на чтение файла.");
    // DCMTK's own words for why it gave up are English and name its internals: the user is told the
    // program's.
    Q_UNUSED(status);
    return QCoreApplication::translate("dicom", "Файл повреждён или не является файлом DICOM.");
}

OFCondition readDicomDataset(DcmDataset& dataset, const QByteArray& bytes, E_TransferSyntax syntax,
                             ParseHazard* hazardFound)
{
    useReadingConventions();
    if (hazardFound)
        *hazardFound = ParseHazard::None;
    try {
        const ParseHazard hazard =
            checkDataset(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size(), syntax);
        if (hazard != ParseHazard::None)
            return refusal(hazard, hazardFound);
        GuardedReading reading;
        GuardedBufferStream stream(reading);
        stream.setBuffer(bytes.constData(), offile_off_t(bytes.size()));
        stream.setEos();
        dataset.clear();
        dataset.transferInit();
        const OFCondition status = dataset.read(stream, syntax, EGL_noChange);
        dataset.transferEnd();
        if (nestedTooDeep(reading, &dataset)) {
            dataset.clear();
            return refusal(ParseHazard::DeepNesting, hazardFound);
        }
        return status;
    } catch (const std::bad_alloc&) {
        return EC_MemoryExhausted;
    } catch (const std::exception& e) {
        return makeOFCondition(OFM_dcmdata, 999, OF_error, e.what());
    }
}

ParseHazard parseHazard(const QString& path)
{
    DcmFileFormat file;
    ParseHazard hazard = ParseHazard::None;
    loadDicomFile(file, path, ValueLoading::Lazy, &hazard);
    return hazard;
}

} // namespace dicom

namespace dicom::testing {

void setBeforeValuesHook(void (*hook)(const QString& path, void* context), void* context)
{
    beforeValues = {hook, context};
}

} // namespace dicom::testing
