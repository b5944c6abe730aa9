#pragma once
// The one door through which the program removes a file, renames a file over another or replaces one
// in the folders it keeps its own files in (the store of the data folder, its marks and caches, the
// folders it receives into). It decides by three things, each looked at on the disk at the moment of
// the change, through the folder's own handle:
// - what proves the file the program's: the index's record of the file the program wrote (what its
//   bytes were), the file as this process made it moments ago, or a name that only the program gives
//   in a folder of its own (its marks, its caches, temporaries of a session that is over);
// - the file's identity, device and inode: one file, whatever path reaches it (a link, a relative or
//   absolute data folder, "..");
// - the folder the file lies in once links are resolved: one of the program's own folders, which
//   counts only while it lies inside the folder it belongs to and is no link itself.
// A link is never removed, replaced or followed to a file elsewhere; a file nothing proves the
// program's stays.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <utility>

namespace platform {

// An open descriptor, closed when it goes.
class Descriptor
{
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor& operator=(Descriptor&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
};

struct FileId
{
    quint64 device = 0;
    quint64 inode = 0;
    bool known = false;

    // The entry at the path itself: a link is not the file it leads to. Unknown when nothing is there.
    static FileId of(const QString& path);
    // The file the path leads to, links followed.
    static FileId reachedBy(const QString& path);
    // The file an open descriptor holds, whatever its name is now.
    static FileId ofOpen(int fd);
    bool operator==(const FileId&) const = default;
};

// When a file came to be, as its file system tells it (its birth time). With the file's number it tells
// the file from one made later and given the number freed meanwhile, which a file system gives again at
// once. Unknown where the file system keeps none.
struct FileBirth
{
    qint64 seconds = 0;
    quint32 nanoseconds = 0;
    bool known = false;

    // The entry at the path itself: a link is not the file it leads to.
    static FileBirth of(const QString& path);
    static FileBirth ofOpen(int fd);
    bool operator==(const FileBirth&) const = default;
};

// A file in folder that has no name yet, open for reading and writing: a process killed before it names
// it (nameUnnamedFile) leaves nothing behind. -1 with errno where the drive makes none (FAT, some FUSE).
int openUnnamedFile(const QString& folder);
// Gives the unnamed file its first name, path, never replacing a file there: 0, or the system's error
// (EEXIST: the name is taken).
int nameUnnamedFile(int fd, const QString& path);

// Both paths lead to one existing file.
bool isSameFile(const QString& a, const QString& b);

class OwnProof
{
public:
    // Nothing proves the file the program's: such a file is never removed or replaced.
    OwnProof() = default;
    // The index records that the program wrote the file found at recordedPath, of recordedSize bytes
    // (-1: the record does not say) whose digest (ContentDigest) was recordedDigest. The file changed
    // must be that very file, of that size and, when the digest is recorded, of those very bytes:
    // another file moved onto the name since, or a copy of the data folder's that another file
    // replaced, is not the one written. Without a digest (records of an earlier version) the caller
    // has found the file to be what the program names so.
    static OwnProof recorded(const QString& recordedPath, qint64 recordedSize = -1,
                             const QByteArray& recordedDigest = QByteArray());
    // This process made the file (or the user asked it to change this one); file: as it was then. When
    // its birth is known, it must be the file's too: a file made since under the freed number is not it.
    static OwnProof made(const FileId& file, const FileBirth& born = FileBirth());
    // A name that only the program gives, judged by the caller, in a folder of the program's own; with a
    // known birth, only the file born then under it.
    static OwnProof ownName(const FileBirth& born = FileBirth());
    bool isNone() const { return m_kind == Kind::None; }

private:
    enum class Kind { None, Recorded, Made, OwnName };
    Kind m_kind = Kind::None;
    QString m_recordedPath;
    qint64 m_recordedSize = -1;
    QByteArray m_recordedDigest;
    FileId m_made;
    FileBirth m_born;
    friend class OwnFileDoor;
};

class OwnFileDoor
{
public:
    // folders: the program's own folders. With `within`, each counts only while it is no link and,
    // links resolved, lies strictly inside that folder: the program makes its store folders itself,
    // and one made a link leads to files it never wrote there (a user's folder elsewhere, or a copy
    // of the store kept inside the data folder).
    explicit OwnFileDoor(const QStringList& folders, const QString& within = QString());

    enum class Outcome {
        Done,    // removed, or renamed into place
        Gone,    // nothing to remove
        Refused, // not the program's to change: a link, outside its folders, nothing proves it
        Failed,  // the system refused (a folder under the name, no permission, a full disk)
    };

    Outcome remove(const QString& path, const OwnProof& proof, QString* why = nullptr) const;
    // Gives the file at `from` (made by this process: fromId as it made it) the name `to` in the same
    // folder. A file already at `to` is replaced only when toProof proves it the program's; otherwise
    // nothing changes and the outcome is Refused.
    Outcome rename(const QString& from, const FileId& fromId, const QString& to, const OwnProof& toProof,
                   QString* why = nullptr) const;
    // Gives the file at `from` (made by this process: fromId as it made it) the first of
    // stem+suffix, stem_2+suffix, stem_3+suffix, ... (stem a path in the same folder) that is free at
    // that very moment, never replacing a file: a name that another program took after it was chosen
    // is passed over. The path given; empty when none could be given (why in *why).
    QString renameToFreeName(const QString& from, const FileId& fromId, const QString& stem, const QString& suffix,
                             QString* why = nullptr) const;
    // Removes the folder when it is empty and lies strictly below one of the own folders.
    bool removeEmptyFolder(const QString& folder) const;
    // Removes everything below the folder that is no link, then the folder, when it lies strictly
    // below one of the own folders and holds nothing but what the program writes there (a cache, a
    // retrieve shown without being kept). False when anything stayed, or there was nothing to remove.
    bool removeTree(const QString& folder) const;

private:
    struct Place;
    // The folder's handle, links resolved, and the entry's name in it; false when outside the folders.
    bool place(const QString& path, Place* where) const;
    // As place, for a folder strictly below an own folder.
    bool placeBelow(const QString& folder, Place* where) const;
    // folder and name: where the file lies, for its bytes to be read when the proof names them.
    bool proves(const OwnProof& proof, const FileId& file, qint64 size, int folder,
                const QByteArray& name) const;

    QStringList m_canonical; // the own folders, links resolved; empty for one that does not count
    QStringList m_given;     // the same folders, absolute and clean as given
};

namespace testing {
// Called by rename between finding the target name free and giving it (null: nothing). Tests only:
// it lets a test put a file there at that very moment; it decides nothing.
void setBeforeRenameHook(void (*hook)(void* context), void* context);
// While set, rename and openUnnamedFile meet what a FAT drive answers: no rename that never replaces, no
// second name of a file, no file without a name. Tests only: it lets a test take the way such a drive
// takes without one mounted.
void setWithoutSecondNames(bool without);
} // namespace testing

} // namespace platform
