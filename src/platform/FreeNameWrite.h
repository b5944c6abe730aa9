#pragma once
// The one way the program writes a file for the user (exports, pictures, reports, archives, copies,
// the files of a disc): written beside its place under a partial name, and given its name only when
// every write, the flush, the sync to the disk and the close succeeded. A file that is not whole is
// never left under its final name, nor counted as written: the partial file, which this process has
// just made, is removed and the cause told. In a folder shared with others (an export folder, where
// a second copy of the program may export at the same moment) it is never written over a file another
// program put there after the name was chosen. A file written alone is synced on its own; the files of
// one job (an export of many) are synced together, once, through a DurableBatch.

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class QImage;

namespace platform {

class DurableBatch;

// Why a file could not be written, in words for the user, from the system's error number (errno).
QString writeFailureCause(int code);

// Every byte through the descriptor, carried on after interruptions and short writes: 0, or the
// system's error of the write that failed (EIO for one that wrote nothing).
int writeAll(int fd, const char* data, qint64 size);

// Every byte of `in` from its start (whatever its offset), written through `out` as writeAll writes: 0,
// or the system's error; *readFailed says whether it was the reading that failed (the source's fault).
int copyAll(int in, int out, bool* readFailed);

// What a write does when target's name is taken: takes the next free one, or fails (a layout of
// numbered names, where a file of the name is not the program's to replace and another name would
// break the numbering).
enum class TakenName { NextFree, Fail };

// `write` makes the file at the partial path it is given (an empty file beside `target`, made by this
// process), and checks its own writes and close; the file's bytes are then made to reach the disk.
// The file then takes target's name, or the next free one ("_2", "_3", ... before the extension) when
// another program took that name meanwhile. The path it took; empty when write returned false (nothing
// to keep, *why left empty), or the file did not reach the disk or could be given no name (why in
// *why). Nothing is left at the partial path either way.
// With a batch the file is not synced here but with the batch's other files (DurableBatch::confirm);
// in a batch of a shared folder it waits under its partial name until then, and the path returned
// is target, the name it is to take.
QString writeUnderFreeName(const QString& target, const std::function<bool(const QString& partial)>& write,
                           QString* why = nullptr, TakenName taken = TakenName::NextFree,
                           DurableBatch* batch = nullptr);

// The bytes as one file under target's name or the next free one, as above; *why gets the cause of a
// failure.
QString writeUnderFreeName(const QString& target, const QByteArray& bytes, QString* why = nullptr,
                           TakenName taken = TakenName::NextFree, DurableBatch* batch = nullptr);

// A copy of the bytes of a file the caller holds open, read through that descriptor from its start to
// its end, as above. `changed`, asked once they are all read, says why they may not be the file's as
// the caller opened it (it was cut or written into meanwhile): the copy is then not kept, and *why gets
// that. *why gets the cause of any failure, which says so when it was the source that could not be
// read (the caller names the source).
QString copyUnderFreeName(int source, const QString& target, const std::function<QString()>& changed,
                          QString* why = nullptr, TakenName taken = TakenName::NextFree,
                          DurableBatch* batch = nullptr);

// Why the source of a copy could not be read (errno), in words for the user, who is told its name.
QString unreadableSource(int code);

// Whether path is the partial file one of the writes above is filling right now (its write function
// runs): no file of the user's, nor the only copy of one, and made durable by that write (with its
// batch's files, or alone) before it takes its name. A writer that replaces it needs no sync of its own.
bool isPartialBeingFilled(const QString& path);

// The bytes of the file at path on the disk: 0, or the system's error.
int syncFile(const QString& path);

// The names given in folder (a file renamed into it, a folder moved into it or out of it) on the disk,
// with whatever else its file system still holds for the disk: 0, or the system's error. A name given
// by a rename is written back later than the bytes it names; a job that has given its last name calls
// this before it is told done, since "done" means the drive may be pulled out.
int syncNamesIn(const QString& folder);

// Why a file under its name now may not be there on the drive (the sync of its name failed with the
// system's error code), in words for the user.
QString nameMayNotBeOnDisk(int code);

// The bytes in place of the file the user chose in a save dialog, which is the file under that name now
// (a link leads to the file it names); a file that comes under the name while the bytes are written
// is not replaced. A file that was there keeps its permissions. False with the cause in *why, the
// chosen file then as it was.
bool writeOverChosenFile(const QString& chosen, const QByteArray& bytes, QString* why = nullptr);

// The image encoded in memory and written as writeOverChosenFile writes.
bool writeImageOverChosenFile(const QString& chosen, const QImage& image, const char* format,
                              QString* why = nullptr);

// The image encoded in memory in the given format ("PNG", "JPEG", "BMP"; quality as QImageWriter
// takes it), for one of the writes above; empty when it cannot be encoded.
QByteArray encodedImage(const QImage& image, const char* format, int quality = -1);

// The files of one job (an export, a portable copy), made to reach the disk together before the job is
// told done: one sync of each file system they lie on (syncfs), not one of each file as it is written,
// which made an export of many small files several times slower; and, once the waiting files have
// their names, one more for those names. Every file is still checked at each write and at its close as
// it is written. Only when a file system's sync fails is each of the job's files there synced on its
// own, to name those it struck; a file not confirmed is never told written.
class DurableBatch
{
public:
    // Files written into a folder others share (an export folder): each waits under its partial name
    // and takes its own only once confirm() has seen its bytes on the disk. Named before the sync, a
    // file cut short by a crash or a pulled drive would stand under its name with bytes that never
    // reached the disk, where it passes for an exported one. The partial files made in each folder are
    // listed in a record beside them, held locked while the batch lives, each before it can be found
    // under its name: were the job cut short at any moment (the program killed, the drive pulled out),
    // the next batch writing into that folder removes the files its record names, and nothing else:
    // not a file made under a recorded name since, nor what a record another live job holds names.
    DurableBatch();
    // Everything written below folder, by the writers above or by a library by path (the program's own
    // files of a portable copy, which it does not sync), into a folder that is itself put in place
    // whole only once the batch is confirmed (a staging folder): there a crash leaves nothing under a
    // final name, so the files take their names as they are written. Opened before the writes: a
    // write lost on its way to the disk after that is told by confirm() even when the system wrote it
    // back meanwhile.
    explicit DurableBatch(const QString& folder);
    // Files still waiting for their names are removed: nothing confirmed them.
    ~DurableBatch();
    DurableBatch(const DurableBatch&) = delete;
    DurableBatch& operator=(const DurableBatch&) = delete;

    // A file that did not reach the disk (the name it was to take; below a batch's folder, where it
    // lies) and why, in words for the user.
    struct Struck
    {
        QString path;
        QString cause;
    };
    // Syncs what the batch wrote, gives the waiting files their names and syncs those names. The files
    // that did not reach the disk or their name, waiting ones removed; empty when all did. When a sync
    // fails and none of the files owns up to it, none is confirmed: every waiting file, or the batch's
    // folder, is told. When the sync of the names fails, every file named on that file system is told,
    // though it stays under its name: it may not be there once the drive is pulled out. (A staging
    // folder's batch gives no names here: the folder's own move into place is synced by whoever moves it.)
    QList<Struck> confirm();

    struct State; // what the writers above add to

private:
    std::unique_ptr<State> d;
    friend struct BatchAccess;
};

namespace testing {
// Called with a file's descriptor just before its bytes are synced to the disk, and with a folder's
// before its file system is synced (a DurableBatch's, or one names were given in; null: nothing). Tests
// only: it lets a test see the order of syncs and names, and make a sync fail as a full or vanished
// disk makes it.
void setBeforeSyncHook(int (*hook)(int fd));
// The moments between the acts that make a partial file and record it in its batch's record, where a kill
// may fall: Made, the file exists and the record does not yet give its number; Recorded, the record names
// it and no file of the batch lies under that name yet (partial: that name). Called at each (null:
// nothing). Tests only: a test stops the process there.
enum class PartialStep { Made, Recorded };
void setPartialStepHook(void (*hook)(PartialStep step, const QString& partial));
} // namespace testing

} // namespace platform
