#pragma once
// The one way the program writes a file for the user (exports, pictures, reports, archives, copies,
// the files of a disc): written beside its place under a partial name, and given its name only when
// every write, the flush, the sync to the disk and the close succeeded. A file that is not whole is
// never left under its final name, nor counted as written: the partial file, which this process has
// just made, is removed and the cause told. In a folder shared with others (an export folder, where
// a second copy of the program may export at the same moment) it is never written over a file another
// program put there after the name was chosen.

#include <QByteArray>
#include <QString>

#include <functional>

class QImage;

namespace platform {

// Why a file could not be written, in words for the user, from the system's error number (errno).
QString writeFailureCause(int code);

// Every byte through the descriptor, carried on after interruptions and short writes: 0, or the
// system's error of the write that failed (EIO for one that wrote nothing).
int writeAll(int fd, const char* data, qint64 size);

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
QString writeUnderFreeName(const QString& target, const std::function<bool(const QString& partial)>& write,
                           QString* why = nullptr, TakenName taken = TakenName::NextFree);

// The bytes as one file under target's name or the next free one, as above; *why gets the cause of a
// failure.
QString writeUnderFreeName(const QString& target, const QByteArray& bytes, QString* why = nullptr,
                           TakenName taken = TakenName::NextFree);

// A copy of the bytes of a file the caller holds open, read through that descriptor from its start to
// its end, as above. `changed`, asked once they are all read, says why they may not be the file's as
// the caller opened it (it was cut or written into meanwhile): the copy is then not kept, and *why gets
// that. *why gets the cause of any failure, which says so when it was the source that could not be
// read (the caller names the source).
QString copyUnderFreeName(int source, const QString& target, const std::function<QString()>& changed,
                          QString* why = nullptr, TakenName taken = TakenName::NextFree);

// Why the source of a copy could not be read (errno), in words for the user, who is told its name.
QString unreadableSource(int code);

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

// What libraries wrote by path on the file system of a folder, which they do not sync (the program's
// own files of a portable copy), made to reach the disk before the copy is told done. Made before the
// writes: a write that is lost on the way to the disk after that is told at sync() even when the
// system wrote it back meanwhile.
class FileSystemSync
{
public:
    explicit FileSystemSync(const QString& folder);
    ~FileSystemSync();
    FileSystemSync(const FileSystemSync&) = delete;
    FileSystemSync& operator=(const FileSystemSync&) = delete;

    // 0, or the system's error (errno): the folder could not be opened, or a write did not reach the disk.
    int sync();

private:
    int m_fd = -1;
    int m_openFailure = 0;
};

namespace testing {
// Called with the partial file's descriptor just before its bytes are synced to the disk, and with a
// FileSystemSync's folder's before it syncs (null: nothing). Tests only: it lets a test make that sync
// fail as a full or vanished disk makes it.
void setBeforeSyncHook(int (*hook)(int fd));
} // namespace testing

} // namespace platform
