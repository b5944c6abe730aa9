#pragma once
// Writes one DICOM object received over the network into a folder, in a file of its own.

#include <QString>

class DcmFileFormat;

namespace pacs {

// Stores a received file (DCMTK's meta header, then the data set as it came over the network) in
// the folder: its data set byte for byte, in whatever transfer syntax it came, behind a new meta
// header made from `parsed`, its parsed form. The file is named after the SOP Instance UID when that
// is a plain UID (digits and dots only), otherwise after the current time in milliseconds; "_<n>" is
// added while the name is taken, so no earlier object is ever overwritten. On failure `error` says
// why.
bool storeReceivedFile(const QString& receivedPath, DcmFileFormat& parsed, const QString& outputDirectory,
                       QString* filePath, QString* error);

} // namespace pacs
