#pragma once
// Writes one DICOM object received over the network into a folder, in a file of its own.

#include <QString>

class DcmDataset;
class DcmFileFormat;

namespace pacs {

// File name from the SOP Instance UID when it is a plain UID (digits and dots only), otherwise
// from the current time in milliseconds; "_<n>" is added while the name is taken, and the file
// is created exclusively, so no earlier object is ever overwritten. Writes Explicit VR Little
// Endian with a new meta header. On failure nothing is left behind and `error` says why.
bool writeReceivedDataset(DcmDataset& dataset, const QString& outputDirectory, QString* filePath,
                          QString* error);

// Stores a received file (DCMTK's meta header, then the data set as it came over the network) with
// the name and bytes writeReceivedDataset gives its parsed form `parsed`. When the data set is
// already encoded as that writer encodes it, the received bytes are copied unparsed behind a new
// meta header instead of being encoded again.
bool storeReceivedFile(const QString& receivedPath, DcmFileFormat& parsed, const QString& outputDirectory,
                       QString* filePath, QString* error);

} // namespace pacs
