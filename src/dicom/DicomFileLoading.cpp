#include "dicom/DicomFileLoading.h"

#include "dicom/CompressedFrameCheck.h"

#include <QFile>

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

// Reads the meta header again, then the data set in the syntax DCMTK detects from its first bytes.
OFCondition readDetectingSyntax(DcmFileFormat& file, const QString& path)
{
    const QByteArray local = QFile::encodeName(path);
    DcmInputFileStream stream{OFFilename(local.constData())};
    if (stream.status().bad())
        return stream.status();
    DcmMetaInfo meta;
    meta.transferInit();
    OFCondition status = meta.read(stream, EXS_Unknown, EGL_noChange, DCM_MaxReadLength);
    meta.transferEnd();
    if (status.bad())
        return status;
    DcmDataset* dataset = file.getDataset();
    dataset->clear();
    dataset->transferInit();
    status = dataset->read(stream, EXS_Unknown, EGL_noChange, DCM_MaxReadLength);
    dataset->transferEnd();
    return status;
}

} // namespace

void useReadingConventions()
{
    static std::once_flag once;
    std::call_once(once, [] { dcmEnableUnknownVRConversion.set(OFTrue); });
}

namespace {

void rereadAsShown(DcmFileFormat& file, const QString& path, OFCondition& status)
{
    status = readDetectingSyntax(file, path);
    if (status.good())
        keepNamedCompression(file);
}

} // namespace

bool rereadIfMislabelled(DcmFileFormat& file, const QString& path, OFCondition& status)
{
    if (!file.getDataset() || !datasetEncodingDiffersFromMeta(path))
        return false;
    rereadAsShown(file, path, status);
    return true;
}

OFCondition loadDicomFile(DcmFileFormat& file, const QString& path, ValueLoading loading, ParseHazard* hazardFound)
{
    useReadingConventions();
    try {
        // One walk of the file tells both whether DCMTK may read it and whether it must read it twice.
        const FileCheck check = checkFile(path);
        if (hazardFound)
            *hazardFound = check.hazard;
        if (check.hazard != ParseHazard::None)
            return makeOFCondition(OFM_dcmdata, 998, OF_error, parseHazardText(check.hazard).toUtf8().constData());
        const QByteArray local = QFile::encodeName(path);
        OFCondition status = file.loadFile(OFFilename(local.constData()), EXS_Unknown, EGL_noChange,
                                           DCM_MaxReadLength, ERM_autoDetect);
        if (check.encodingDiffersFromMeta && file.getDataset())
            rereadAsShown(file, path, status);
        if (status.good() && loading == ValueLoading::Whole)
            status = file.loadAllDataIntoMemory();
        return status;
    } catch (const std::exception& e) {
        return makeOFCondition(OFM_dcmdata, 999, OF_error, e.what());
    }
}

} // namespace dicom
