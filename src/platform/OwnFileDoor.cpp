#include "platform/OwnFileDoor.h"

#include "platform/ContentDigest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

FileId idOf(const struct stat& st)
{
    return {quint64(st.st_dev), quint64(st.st_ino), true};
}

FileBirth birthAt(int folder, const char* path, int flags)
{
    struct statx info {};
    if (::statx(folder, path, flags | AT_STATX_SYNC_AS_STAT, STATX_BTIME, &info) != 0 ||
        !(info.stx_mask & STATX_BTIME))
        return {};
    return {qint64(info.stx_btime.tv_sec), info.stx_btime.tv_nsec, true};
}

// The entry name in folder was born then, or nothing says when it was to be.
bool bornAs(const FileBirth& born, int folder, const QByteArray& name)
{
    return !born.known || birthAt(folder, name.constData(), AT_SYMLINK_NOFOLLOW) == born;
}

FileId statId(const QString& path, bool followLinks)
{
    struct stat st {};
    const QByteArray local = QFile::encodeName(path);
    if ((followLinks ? ::stat(local.constData(), &st) : ::lstat(local.constData(), &st)) != 0)
        return {};
    return idOf(st);
}

QString systemText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

bool isPlainName(const QByteArray& name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/');
}

// Below `folder` (equal when allowed), both without links and with no trailing slash.
bool liesIn(const QString& path, const QString& folder, bool strictlyBelow)
{
    if (folder.isEmpty())
        return false;
    if (path == folder)
        return !strictlyBelow;
    return path.startsWith(folder == QLatin1String("/") ? folder : folder + QLatin1Char('/'));
}

// Everything below the open folder that is no link; false when anything stayed.
bool emptyFolder(int folder)
{
    const int listing = ::dup(folder);
    DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!dir) {
        if (listing >= 0)
            ::close(listing);
        return false;
    }
    bool whole = true;
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    for (const QByteArray& name : std::as_const(names)) {
        struct stat st {};
        if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            whole = whole && errno == ENOENT;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const Descriptor inner(::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            whole = inner.fd() >= 0 && emptyFolder(inner.fd()) && ::unlinkat(folder, name.constData(), AT_REMOVEDIR) == 0
                    && whole;
        } else if (S_ISREG(st.st_mode)) {
            whole = ::unlinkat(folder, name.constData(), 0) == 0 && whole;
        } else {
            whole = false; // a link, or what the program never makes: left where it is
        }
    }
    return whole;
}

struct
{
    void (*hook)(void*) = nullptr;
    void* context = nullptr;
} beforeRename;

bool g_withoutSecondNames = false;

// A rename that never replaces, as the drive gives it (-1 with errno when it does not know it).
int renameNoReplace(int folder, const char* from, const char* to)
{
    if (g_withoutSecondNames) {
        errno = EINVAL;
        return -1;
    }
    return ::renameat2(folder, from, folder, to, RENAME_NOREPLACE);
}

// A second name of the file, as the drive gives it.
int secondName(int folder, const char* from, const char* to)
{
    if (g_withoutSecondNames) {
        errno = EPERM;
        return -1;
    }
    return ::linkat(folder, from, folder, to, 0);
}

} // namespace

int openUnnamedFile(const QString& folder)
{
    if (g_withoutSecondNames) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

int nameUnnamedFile(int fd, const QString& path)
{
    // Through the descriptor's entry in /proc: a link made from the descriptor itself (AT_EMPTY_PATH)
    // asks for a privilege the program does not have.
    const QByteArray own = "/proc/self/fd/" + QByteArray::number(fd);
    return ::linkat(AT_FDCWD, own.constData(), AT_FDCWD, QFile::encodeName(path).constData(),
                    AT_SYMLINK_FOLLOW) == 0
               ? 0
               : errno;
}

void testing::setBeforeRenameHook(void (*hook)(void* context), void* context)
{
    beforeRename = {hook, context};
}

void testing::setWithoutSecondNames(bool without)
{
    g_withoutSecondNames = without;
}

Descriptor::~Descriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

FileId FileId::of(const QString& path)
{
    return statId(path, false);
}

FileId FileId::reachedBy(const QString& path)
{
    return statId(path, true);
}

FileId FileId::ofOpen(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? idOf(st) : FileId{};
}

FileBirth FileBirth::of(const QString& path)
{
    return birthAt(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW);
}

FileBirth FileBirth::ofOpen(int fd)
{
    return birthAt(fd, "", AT_EMPTY_PATH);
}

bool isSameFile(const QString& a, const QString& b)
{
    const FileId first = FileId::reachedBy(a);
    return first.known && first == FileId::reachedBy(b);
}

OwnProof OwnProof::recorded(const QString& recordedPath, qint64 recordedSize,
                            const QByteArray& recordedDigest)
{
    OwnProof proof;
    proof.m_kind = Kind::Recorded;
    proof.m_recordedPath = recordedPath;
    proof.m_recordedSize = recordedSize;
    proof.m_recordedDigest = recordedDigest;
    return proof;
}

OwnProof OwnProof::made(const FileId& file, const FileBirth& born)
{
    OwnProof proof;
    proof.m_kind = file.known ? Kind::Made : Kind::None;
    proof.m_made = file;
    proof.m_born = born;
    return proof;
}

OwnProof OwnProof::ownName(const FileBirth& born)
{
    OwnProof proof;
    proof.m_kind = Kind::OwnName;
    proof.m_born = born;
    return proof;
}

struct OwnFileDoor::Place
{
    Descriptor folder;
    QByteArray name;
    QString canonicalFolder;
};

OwnFileDoor::OwnFileDoor(const QStringList& folders, const QString& within)
{
    const QString canonicalWithin = within.isEmpty() ? QString() : QFileInfo(within).canonicalFilePath();
    for (const QString& folder : folders) {
        if (folder.isEmpty())
            continue;
        const QString canonical = QFileInfo(folder).canonicalFilePath();
        const bool counts = !canonical.isEmpty() && QFileInfo(canonical).isDir() &&
                            (within.isEmpty() ||
                             (!QFileInfo(folder).isSymLink() && liesIn(canonical, canonicalWithin, true)));
        m_canonical << (counts ? canonical : QString());
        m_given << QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    }
}

bool OwnFileDoor::place(const QString& path, Place* where) const
{
    const QFileInfo info(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    const QByteArray name = QFile::encodeName(info.fileName());
    // A file directly in an own folder, named by that folder's path as given: that folder as the
    // door resolved it, not resolved again (once for each received object).
    const qsizetype given = m_given.indexOf(info.absolutePath());
    const QString canonicalFolder = given >= 0 && !m_canonical.at(given).isEmpty()
                                        ? m_canonical.at(given)
                                        : QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!isPlainName(name) || canonicalFolder.isEmpty())
        return false;
    // The entry itself lies directly in its folder: a file in an own folder, or a folder below one.
    bool inside = false;
    for (const QString& folder : m_canonical)
        inside = inside || liesIn(canonicalFolder, folder, false);
    if (!inside)
        return false;
    // The folder as resolved, opened without following a link in its place.
    where->folder = Descriptor(::open(QFile::encodeName(canonicalFolder).constData(),
                                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    where->name = name;
    where->canonicalFolder = canonicalFolder;
    return where->folder.fd() >= 0;
}

bool OwnFileDoor::proves(const OwnProof& proof, const FileId& file, qint64 size, int folder,
                         const QByteArray& name) const
{
    switch (proof.m_kind) {
    case OwnProof::Kind::Recorded: {
        // The record's path, however it reaches it, leads to this very file, which is as large as
        // the one the program wrote there, and holds its very bytes when the record says which.
        if (FileId::reachedBy(proof.m_recordedPath) != file ||
            (proof.m_recordedSize >= 0 && proof.m_recordedSize != size))
            return false;
        if (proof.m_recordedDigest.isEmpty())
            return true;
        const Descriptor read(::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        return read.fd() >= 0 && FileId::ofOpen(read.fd()) == file &&
               ContentDigest::proves(read.fd(), proof.m_recordedDigest);
    }
    case OwnProof::Kind::Made:
        return proof.m_made == file && bornAs(proof.m_born, folder, name);
    case OwnProof::Kind::OwnName:
        return bornAs(proof.m_born, folder, name);
    case OwnProof::Kind::None:
        break;
    }
    return false;
}

OwnFileDoor::Outcome OwnFileDoor::remove(const QString& path, const OwnProof& proof, QString* why) const
{
    const auto refuse = [why, &path](const QString& text) {
        if (why)
            *why = text.arg(QDir::toNativeSeparators(path));
        return Outcome::Refused;
    };
    // Nothing there, not even its folder: gone, not outside.
    if (!QFileInfo(path).isSymLink() && !QFileInfo::exists(path))
        return Outcome::Gone;
    Place where;
    if (!place(path, &where))
        return refuse(QStringLiteral("файл %1 лежит вне папок программы"));
    struct stat st {};
    if (::fstatat(where.folder.fd(), where.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return Outcome::Gone;
        if (why)
            *why = systemText(errno);
        return Outcome::Failed;
    }
    if (S_ISLNK(st.st_mode))
        return refuse(QStringLiteral("%1 — ссылка, а не файл программы"));
    if (!S_ISREG(st.st_mode)) {
        // A folder where a file should be: its removal fails, and says so.
        if (why)
            *why = systemText(EISDIR);
        return Outcome::Failed;
    }
    if (!proves(proof, idOf(st), qint64(st.st_size), where.folder.fd(), where.name))
        return refuse(QStringLiteral("файл %1 записан не программой"));
    // Its bytes took a while to read: the name must still hold the file they were read from.
    const FileId proven = idOf(st);
    if (::fstatat(where.folder.fd(), where.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        idOf(st) != proven)
        return refuse(QStringLiteral("файл %1 заменён другим"));
    if (::unlinkat(where.folder.fd(), where.name.constData(), 0) != 0) {
        if (errno == ENOENT)
            return Outcome::Gone;
        if (why)
            *why = systemText(errno);
        return Outcome::Failed;
    }
    return Outcome::Done;
}

OwnFileDoor::Outcome OwnFileDoor::rename(const QString& from, const FileId& fromId, const QString& to,
                                         const OwnProof& toProof, QString* why) const
{
    const auto fail = [why](int code) {
        if (why)
            *why = systemText(code);
        return Outcome::Failed;
    };
    const auto taken = [why, &to] {
        if (why)
            *why = QStringLiteral("имя %1 уже занято").arg(QDir::toNativeSeparators(to));
        return Outcome::Refused;
    };
    Place source, target;
    if (!place(from, &source) || !place(to, &target) || source.canonicalFolder != target.canonicalFolder) {
        if (why)
            *why = QStringLiteral("файл %1 лежит вне папок программы").arg(QDir::toNativeSeparators(to));
        return Outcome::Refused;
    }
    const int folder = source.folder.fd();
    struct stat st {};
    if (::fstatat(folder, source.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fail(errno);
    if (!S_ISREG(st.st_mode) || idOf(st) != fromId) {
        if (why)
            *why = QStringLiteral("файл %1 заменён другим").arg(QDir::toNativeSeparators(from));
        return Outcome::Refused;
    }
    if (::fstatat(folder, target.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            return fail(errno);
        // Nothing there: given the name without replacing whatever may come meanwhile.
        if (beforeRename.hook)
            beforeRename.hook(beforeRename.context);
        if (renameNoReplace(folder, source.name.constData(), target.name.constData()) == 0)
            return Outcome::Done;
        if (errno == EEXIST)
            return taken();
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
            return fail(errno);
        // A file system without that kind of rename: a second name, which never replaces, then the first goes.
        if (secondName(folder, source.name.constData(), target.name.constData()) == 0) {
            ::unlinkat(folder, source.name.constData(), 0);
            return Outcome::Done;
        }
        if (errno == EEXIST)
            return taken();
        if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP)
            return fail(errno);
        // No second names either (FAT): the name was free a moment ago.
        return ::renameat(folder, source.name.constData(), folder, target.name.constData()) == 0 ? Outcome::Done
                                                                                                 : fail(errno);
    }
    if (S_ISLNK(st.st_mode) || !proves(toProof, idOf(st), qint64(st.st_size), folder, target.name)) {
        if (why)
            *why = QStringLiteral("под именем %1 лежит файл, записанный не программой").arg(QDir::toNativeSeparators(to));
        return Outcome::Refused;
    }
    if (!S_ISREG(st.st_mode))
        return fail(EISDIR);
    return ::renameat(folder, source.name.constData(), folder, target.name.constData()) == 0 ? Outcome::Done
                                                                                             : fail(errno);
}

QString OwnFileDoor::renameToFreeName(const QString& from, const FileId& fromId, const QString& stem,
                                      const QString& suffix, QString* why) const
{
    // As many as a folder may sensibly hold of one name; past that something else is wrong.
    constexpr int kNames = 10000;
    for (int n = 1; n <= kNames; ++n) {
        const QString to = n == 1 ? stem + suffix : QStringLiteral("%1_%2%3").arg(stem).arg(n).arg(suffix);
        QString refusal;
        const Outcome outcome = rename(from, fromId, to, OwnProof(), &refusal);
        if (outcome == Outcome::Done)
            return to;
        if (outcome == Outcome::Refused && FileId::of(to).known)
            continue; // taken
        if (why)
            *why = refusal;
        return {};
    }
    if (why)
        *why = QStringLiteral("все имена %1%2 заняты").arg(QDir::toNativeSeparators(stem), suffix);
    return {};
}

bool OwnFileDoor::placeBelow(const QString& folder, Place* where) const
{
    if (!place(folder, where))
        return false;
    // The own folders themselves stay.
    const QString canonical = QDir(where->canonicalFolder).filePath(QFile::decodeName(where->name));
    return !m_canonical.contains(canonical);
}

bool OwnFileDoor::removeEmptyFolder(const QString& folder) const
{
    Place where;
    return placeBelow(folder, &where) && ::unlinkat(where.folder.fd(), where.name.constData(), AT_REMOVEDIR) == 0;
}

bool OwnFileDoor::removeTree(const QString& folder) const
{
    Place where;
    if (!placeBelow(folder, &where))
        return false;
    const Descriptor inner(
        ::openat(where.folder.fd(), where.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (inner.fd() < 0)
        return false;
    return emptyFolder(inner.fd()) && ::unlinkat(where.folder.fd(), where.name.constData(), AT_REMOVEDIR) == 0;
}

} // namespace platform
