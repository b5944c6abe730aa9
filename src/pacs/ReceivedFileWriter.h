#pragma once
// Writes one DICOM object received over the network into a folder, in a file of its own.

#include "dicom/DicomFileSummary.h"
#include "pacs/ReceivedObjectFile.h"
#include "platform/OwnFileDoor.h"

#include <QString>

#include <functional>
#include <optional>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>

class DcmFileFormat;
class DcmOutputFileStream;

namespace pacs {

// Stores a received file (a meta header written on receipt, then the data set as it came over the
// network) in the folder: its data set byte for byte, in whatever transfer syntax it came, behind the
// meta header made from `parsed`, its parsed form. The file is named after the SOP Instance UID when that
// is a plain UID (digits and dots only), otherwise after the current time in milliseconds. No file is
// ever overwritten or replaced: "_<n>" is added while the name is taken. One object is kept in one
// file, however many copies of it come, one after another or at once: a file under one of its names
// that holds these very bytes (the copy an earlier retrieve of the study stored, or one another
// connection brought at the same time) is the one `filePath` names, and none stays of this copy. On
// failure `error` says why. `summarized`: the file made is kept with its summary (see takeStored), for
// whoever lists it. `moved`: whether the received file itself was given the stored file's name (or
// went as a copy that came twice): nothing is left under the received name. `written`: what the receive
// wrote into the received file, whose digest is the stored file's when it is the whole file as stored.
bool storeReceivedFile(const QString& receivedPath, DcmFileFormat& parsed, const QString& outputDirectory,
                       QString* filePath, QString* error, bool summarized = false, bool* moved = nullptr,
                       WrittenBytes* written = nullptr);

// Whether the file at `storedPath` holds the received object in the very bytes storeReceivedFile would
// store it in. The parsed object is not used after this, as after storeReceivedFile.
bool holdsReceivedObject(const QString& storedPath, const QString& receivedPath, DcmFileFormat& parsed);

// For tests: storeReceivedFile copies as it does where the file system has no hard links, and calls
// `copying` with the unfinished copy's path after each piece it writes (empty: links again).
void copyWithoutLinksForTest(std::function<void(const QString& partialCopy)> copying);

// The file storeReceivedFile made at `filePath`, as it made it (unknown when it made none there: an
// earlier copy holds the object; or it was asked before), the digest (platform::ContentDigest) of the
// bytes stored there, also for an earlier copy found holding them, and the summary of what it holds,
// when it was asked to keep one. Safe from any thread: the receivers make the files, the retrieve that
// is told their paths takes them, and only a file taken so may go as a copy that came twice.
struct StoredFile
{
    platform::FileId file;
    QByteArray digest;
    std::optional<dicom::DicomFileSummary> summary;
};
StoredFile takeStored(const QString& filePath);
platform::FileId takeStoredFile(const QString& filePath, QByteArray* digest = nullptr);

// Creates the file at `path` that a C-STORE request's data set is then received into, unparsed, and
// writes the meta header the file is stored with when the data set names the request's SOP UIDs in
// the transfer syntax accepted for the context: such a file is stored without being written again.
// (DCMTK's own header also names the sender, and is written when this one cannot be made.) Null,
// with `cond` set, when the file cannot be made. `made`: the descriptor of the file at `path`, already
// made empty for the object (see ReceivedObjectFile), which the stream takes over; -1: none. The
// header written is added to `written`, when given.
DcmOutputFileStream* openReceiveStream(const QString& path, const T_DIMSE_C_StoreRQ& request,
                                       T_ASC_Association* association, T_ASC_PresentationContextID presID,
                                       OFCondition* cond, int made = -1, WrittenBytes* written = nullptr);

} // namespace pacs
