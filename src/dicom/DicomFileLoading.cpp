#include "DicomFileLoading.h"

#include <QFile>

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcistrmf.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <exception>

namespace dicom {
namespace {

// DCMTK reads an element whose VR field holds no known VR as one of unknown VR with the bytes as
// its value. When every element of a plain data set reads so, the meta header named the wrong
// transfer syntax (one odd element alone is no reason to read the data set another way).
bool readInWrongSyntax(DcmDataset& dataset)
{
    const DcmXfer xfer(dataset.getOriginalXfer());
    if (!xfer.isExplicitVR() || xfer.isEncapsulated() || xfer.getStreamCompression() != ESC_none)
        return false;
    DcmObject* element = dataset.nextInContainer(nullptr);
    if (!element)
        return false;
    for (; element; element = dataset.nextInContainer(element))
        if (element->ident() != EVR_UNKNOWN && element->ident() != EVR_UNKNOWN2B)
            return false;
    return true;
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

bool rereadIfMislabelled(DcmFileFormat& file, const QString& path, OFCondition& status)
{
    DcmDataset* dataset = file.getDataset();
    if (!dataset || !readInWrongSyntax(*dataset))
        return false;
    status = readDetectingSyntax(file, path);
    return true;
}

OFCondition loadDicomFile(DcmFileFormat& file, const QString& path, ValueLoading loading)
{
    try {
        if (const ParseHazard hazard = parseHazard(path); hazard != ParseHazard::None)
            return makeOFCondition(OFM_dcmdata, 998, OF_error, parseHazardText(hazard).toUtf8().constData());
        const QByteArray local = QFile::encodeName(path);
        OFCondition status = file.loadFile(OFFilename(local.constData()), EXS_Unknown, EGL_noChange,
                                           DCM_MaxReadLength, ERM_autoDetect);
        if (status.good())
            rereadIfMislabelled(file, path, status);
        if (status.good() && loading == ValueLoading::Whole)
            status = file.loadAllDataIntoMemory();
        return status;
    } catch (const std::exception& e) {
        return makeOFCondition(OFM_dcmdata, 999, OF_error, e.what());
    }
}

} // namespace dicom
