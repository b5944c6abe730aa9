#include "dicom/DicomFileLoading.h"

#include "dicom/CompressedFrameCheck.h"
#include "dicom/GuardedDicomStream.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcistrmf.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcvr.h>
#include <dcmtk/dcmdata/dcxfer.h>

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

// The steps of DCMTK's loadFile, on a stream that stops the parse before the stack's end, with the data
// set checked (by `check`, given where it starts) between its meta header and itself.
template <typename Check>
OFCondition loadFromStream(DcmFileFormat& file, DcmInputStream& stream, GuardedReading& reading, Check check,
                           ValueLoading loading, ParseHazard* hazardFound, bool* readAgainAsShown)
{
    OFCondition status = stream.status();
    if (status.good())
        status = file.clear();
    if (status.bad())
        return status;
    DatasetStart start;
    ParseHazard hazard = readMetaHeader(*file.getMetaInfo(), stream, reading, start, status);
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
    if (status.good() && loading == ValueLoading::Whole)
        status = file.loadAllDataIntoMemory();
    return status;
}

} // namespace

OFCondition loadDicomFile(DcmFileFormat& file, const QString& path, ValueLoading loading, ParseHazard* hazardFound,
                          bool* readAgainAsShown)
{
    useReadingConventions();
    if (hazardFound)
        *hazardFound = ParseHazard::None;
    if (readAgainAsShown)
        *readAgainAsShown = false;
    try {
        GuardedReading reading;
        // A file of the size of an image or a few is read once, and walked and parsed in memory: its
        // values are then all in memory, and it is not opened, sought and read piece by piece again.
        qint64 size = 0;
        if (const uchar* bytes = readSmallFile(path, &size)) {
            GuardedBufferStream stream(reading);
            stream.setBuffer(bytes, offile_off_t(size));
            stream.setEos();
            const auto check = [&](const DatasetStart& start) { return checkFileDataset(bytes, size, start); };
            return loadFromStream(file, stream, reading, check, loading, hazardFound, readAgainAsShown);
        }
        GuardedFileStream stream(reading, OFFilename(QFile::encodeName(path).constData()));
        const auto check = [&](const DatasetStart& start) { return checkFileDataset(path, start); };
        return loadFromStream(file, stream, reading, check, loading, hazardFound, readAgainAsShown);
    } catch (const std::exception& e) {
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
    return QCoreApplication::translate("dicom", "Файл повреждён или не является файлом DICOM (%1).")
        .arg(QString::fromUtf8(status.text()));
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
