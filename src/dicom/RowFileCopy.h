#pragma once
// A row's file taken out of the program: copied (an export, an archive, a disc) or sent. The listing that
// found the file holding its row's object is seconds old when the bytes are taken, and another disc
// copied over the folder meanwhile puts another object under the path, or is still being written there.
// The bytes are taken from one opening, proven to hold the row's object, and the same file, unchanged,
// once they are all read.

#include "dicom/DicomFileLoading.h"
#include "platform/FreeNameWrite.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

namespace dicom {

class OpenedFile;

// A file as a job that copies or sends it out takes it: its path and the object its index rows name in it
// (empty for a file taken for itself, not for a row).
struct RowFile
{
    QString path;
    RowObject object;
};

// Files taken for themselves: nothing to prove.
QList<RowFile> filesForThemselves(const QStringList& paths);

// What taking a row's file found.
enum class RowFileTaken {
    Taken,
    OtherObject, // another object, read from it
    Changed,     // cut, written into or replaced while its bytes were read, or nothing can be read from it
                 // in another version than the one listed (still being copied over, or cut)
    Failed,      // not there or not readable, or the copy could not be written
};

// An opening of the row's file that holds the row's object: one in the version listed does, at the cost
// of the opening alone; any other when the load of that very opening names the row's SOP Instance UID.
// `file` is null when it does not, `taken` then saying why (`why` in words for a failure).
struct RowFileOpening
{
    std::shared_ptr<const OpenedFile> file;
    RowFileTaken taken = RowFileTaken::Failed;
    QString why;
};
RowFileOpening openRowFile(const RowFile& row);

// What a failed load of a row's file (loadDicomFile given the row's object) tells of it: it holds another
// object it was read to name; it changed while it was read, or, in another version than the one listed,
// nothing can be read from it (which no more holds the row's, yet names no other image); otherwise a
// failure. None of them is taken.
RowFileTaken refusalOfLoad(const RowObject& row, const FileOpening& opening, ParseHazard hazard);

// A copy of the row's file under target's name (platform::copyUnderFreeName, synced with the batch's
// files when one is given) from such an opening; one that changed while its bytes were read is not
// kept. *why gets the cause of anything but Taken (the caller names the file).
RowFileTaken copyRowFile(const RowFile& row, const QString& target, QString* why,
                         platform::TakenName taken = platform::TakenName::NextFree,
                         platform::DurableBatch* batch = nullptr);

// A copy of the opening's bytes under target's name, kept only when the file is as it was opened once
// they are all read (Changed otherwise); *why as above.
RowFileTaken copyOpenedFile(const OpenedFile& file, const QString& target, QString* why,
                            platform::TakenName taken = platform::TakenName::NextFree,
                            platform::DurableBatch* batch = nullptr);

// The cause a copy gives for a file that changed while it was copied.
QString changedDuringCopyText();

// How many of the files hold another object now than their rows name: what a job that stops at the
// first of them tells, by looking at the rest as it would take them, without taking them.
int otherObjectsAmong(const QList<RowFile>& files);

namespace testing {
enum class CopyMoment {
    BeforeOpening, // the file is about to be opened for a copy: the listing is done, the copy not begun
    Opened,        // it is open and proven, its bytes not yet read
};
// Called with the path of a file a copy or a DICOM copy writer is about to take, at each moment it
// reaches (null: nothing). Tests only: it lets a test change the file right then.
void setCopyHook(void (*hook)(const QString& path, CopyMoment moment, void* context), void* context);
// Calls the hook, for the writers that take a row's file themselves.
void reachCopyMoment(const QString& path, CopyMoment moment);
} // namespace testing

} // namespace dicom
