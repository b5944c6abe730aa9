#pragma once

#include "DicomNesting.h"

#include <QFile>
#include <QString>

#include <dcmtk/dcmdata/dcfilefo.h>

#include <exception>

namespace dicom {

enum class ValueLoading {
    Lazy,  // values longer than 4096 bytes stay on disk until they are asked for
    Whole, // everything in memory, so that the same path can be written afterwards
};

// Loads a DICOM file (path in the local 8-bit encoding, transfer syntax detected, group lengths
// unchanged). Any exception from the library's allocations becomes a failed condition, and so does
// a file nested too deeply for DCMTK's recursive parser.
inline OFCondition loadDicomFile(DcmFileFormat& file, const QString& path, ValueLoading loading)
{
    try {
        if (!nestingWithinLimit(path))
            return makeOFCondition(OFM_dcmdata, 998, OF_error, "sequences nested too deeply");
        const QByteArray local = QFile::encodeName(path);
        OFCondition status = file.loadFile(OFFilename(local.constData()), EXS_Unknown, EGL_noChange,
                                           DCM_MaxReadLength, ERM_autoDetect);
        if (status.good() && loading == ValueLoading::Whole)
            status = file.loadAllDataIntoMemory();
        return status;
    } catch (const std::exception& e) {
        return makeOFCondition(OFM_dcmdata, 999, OF_error, e.what());
    }
}

} // namespace dicom
