#include "platform/FreeNameWrite.h"

#include "platform/OwnFileDoor.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace platform {

namespace {

int (*beforeSync)(int fd) = nullptr;

constexpr QFileDevice::Permissions kNewFilePermissions =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;

// An empty file beside the target, made by this process and held open for writing, so that its bytes
// go into that very file whatever comes under its name meanwhile.
struct Partial
{
    QString path;
    int fd = -1;
    FileId made;
};

// Empty path with *code when no file could be made.
Partial makePartial(const QFileInfo& place, QFileDevice::Permissions permissions, int* code)
{
    QTemporaryFile file(place.absoluteDir().filePath(place.fileName() + QStringLiteral(".XXXXXX.part")));
    file.setAutoRemove(false);
    // errno is read right after the failing call: Qt passes the system's code through.
    errno = 0;
    if (!file.open()) {
        *code = errno ? errno : EIO;
        return {};
    }
    // As a file made under its own name would be: others may read it (a temporary file is the owner's alone).
    file.setPermissions(permissions);
    Partial partial{file.fileName(), ::fcntl(int(file.handle()), F_DUPFD_CLOEXEC, 0),
                    FileId::ofOpen(int(file.handle()))};
    *code = partial.fd < 0 ? errno : 0;
    file.close();
    if (partial.fd < 0) {
        OwnFileDoor({place.absolutePath()}).remove(partial.path, OwnProof::made(partial.made));
        return {};
    }
    return partial;
}

// The file's bytes on the disk, then the descriptor closed: 0, or the system's error of either.
int syncAndClose(int fd)
{
    int code = beforeSync ? beforeSync(fd) : 0;
    // A file system that cannot sync (EINVAL) has nothing more to give than the close.
    if (code == 0 && ::fsync(fd) != 0 && errno != EINVAL)
        code = errno;
    // The descriptor is gone whatever close says; its error is the last word of a delayed write.
    if (::close(fd) != 0 && code == 0 && errno != EINTR)
        code = errno;
    return code;
}

int syncToDisk(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    return fd < 0 ? errno : syncAndClose(fd);
}

} // namespace

QString unreadableSource(int code)
{
    QString cause;
    switch (code) {
    case ENOENT:
        cause = QStringLiteral("файл не найден");
        break;
    case EACCES:
    case EPERM:
        cause = QStringLiteral("нет прав на чтение");
        break;
    case EIO:
        cause = QStringLiteral("ошибка ввода-вывода");
        break;
    case EISDIR:
        cause = QStringLiteral("это папка");
        break;
    default:
        cause = QStringLiteral("системная ошибка %1 (%2)")
                    .arg(code)
                    .arg(QString::fromLocal8Bit(std::strerror(code)));
    }
    return QStringLiteral("исходный файл не читается: %1").arg(cause);
}

namespace {

// Lets fill write through the partial file's descriptor, then syncs and closes it (the descriptor is
// gone afterwards): 0 or the system's error.
int fillPartial(Partial& partial, const std::function<int(int fd)>& fill)
{
    const int fd = std::exchange(partial.fd, -1);
    if (const int code = fill(fd); code != 0) {
        ::close(fd);
        return code;
    }
    return syncAndClose(fd);
}

// The write that makes the partial file: true when it is whole; on failure *cause gets why when it
// knows (a writer of its own tells its caller itself).
using PartialWrite = std::function<bool(Partial& partial, QString* cause)>;

QString placeUnderFreeName(const QString& target, const PartialWrite& write, bool syncAfter, TakenName taken,
                           QString* why)
{
    const QFileInfo place(target);
    int code = 0;
    Partial partial = makePartial(place, kNewFilePermissions, &code);
    if (partial.path.isEmpty()) {
        if (why)
            *why = writeFailureCause(code);
        return {};
    }
    const QString partialPath = partial.path;
    const OwnFileDoor door({place.absolutePath()});
    QString cause;
    bool keep = write(partial, &cause);
    if (partial.fd >= 0)
        ::close(std::exchange(partial.fd, -1));
    // A writer of its own (a library writing by path) may have closed the file without its bytes on
    // the disk; a failure to get them there is its failure.
    if (keep && syncAfter) {
        if (const int failed = syncToDisk(partialPath); failed != 0) {
            keep = false;
            cause = writeFailureCause(failed);
        }
    }
    // A writer by path may have put a file of its own there in place of the empty one.
    const FileId made = syncAfter ? FileId::of(partialPath) : partial.made;
    QString placed;
    if (keep && taken == TakenName::Fail) {
        if (door.rename(partialPath, made, place.absoluteFilePath(), OwnProof(), &cause) ==
            OwnFileDoor::Outcome::Done)
            placed = place.absoluteFilePath();
    } else if (keep) {
        const QString name = place.fileName();
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        const QString suffix = dot > 0 ? name.mid(dot) : QString();
        placed = door.renameToFreeName(
            partialPath, made, place.absoluteDir().filePath(name.chopped(suffix.size())), suffix, &cause);
    }
    if (placed.isEmpty()) {
        door.remove(partialPath, OwnProof::made(made));
        if (why)
            *why = cause;
    }
    return placed;
}

} // namespace

int writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(std::min<qint64>(size, qint64(1) << 30)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        data += n;
        size -= n;
    }
    return 0;
}

QString writeFailureCause(int code)
{
    switch (code) {
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("Недостаточно места на диске");
    case EFBIG:
        return QStringLiteral("Файл слишком велик для этого диска");
    case EACCES:
    case EPERM:
        return QStringLiteral("Нет прав на запись в папку");
    case EROFS:
        return QStringLiteral("Диск доступен только для чтения");
    case ENOENT:
        return QStringLiteral("Папка не найдена");
    case ENOTDIR:
        return QStringLiteral("В пути к папке лежит файл, а не папка");
    case EISDIR:
        return QStringLiteral("Под этим именем лежит папка");
    case ENAMETOOLONG:
        return QStringLiteral("Слишком длинное имя файла");
    case EINVAL:
        return QStringLiteral("Имя файла недопустимо на этом диске");
    case EIO:
        return QStringLiteral("Ошибка ввода-вывода: носитель повреждён или отключён");
    case ENODEV:
    case ENXIO:
        return QStringLiteral("Носитель отключён");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("Открыто слишком много файлов");
    default:
        return QStringLiteral("Системная ошибка %1 (%2)")
            .arg(code)
            .arg(QString::fromLocal8Bit(std::strerror(code)));
    }
}

QString writeUnderFreeName(const QString& target, const std::function<bool(const QString& partial)>& write,
                           QString* why, TakenName taken)
{
    if (why)
        why->clear();
    return placeUnderFreeName(
        target, [&write](Partial& partial, QString*) { return write(partial.path); }, true, taken, why);
}

QString writeUnderFreeName(const QString& target, const QByteArray& bytes, QString* why, TakenName taken)
{
    return placeUnderFreeName(
        target,
        [&bytes](Partial& partial, QString* cause) {
            const int code = fillPartial(
                partial, [&bytes](int fd) { return writeAll(fd, bytes.constData(), bytes.size()); });
            if (code != 0)
                *cause = writeFailureCause(code);
            return code == 0;
        },
        false, taken, why);
}

QString copyUnderFreeName(int source, const QString& target, const std::function<QString()>& changed,
                          QString* why, TakenName taken)
{
    return placeUnderFreeName(
        target,
        [&](Partial& partial, QString* cause) {
            bool readFailed = false;
            const int code = fillPartial(partial, [&](int out) {
                QByteArray block(256 * 1024, Qt::Uninitialized);
                for (off_t at = 0;;) {
                    const ssize_t n = ::pread(source, block.data(), size_t(block.size()), at);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n < 0) {
                        readFailed = true;
                        return errno;
                    }
                    if (n == 0)
                        return 0;
                    if (const int failed = writeAll(out, block.constData(), n); failed != 0)
                        return failed;
                    at += n;
                }
            });
            if (code != 0)
                *cause = readFailed ? unreadableSource(code) : writeFailureCause(code);
            // Bytes read while the file was cut or written into are no copy of it.
            else if (changed)
                *cause = changed();
            return code == 0 && cause->isEmpty();
        },
        false, taken, why);
}

bool writeOverChosenFile(const QString& chosen, const QByteArray& bytes, QString* why)
{
    const auto fail = [why](const QString& cause) {
        if (why)
            *why = cause;
        return false;
    };
    // Saving through a link writes the file it names; replacing the link would turn it into a file.
    const QFileInfo given(chosen);
    const QFileInfo target(given.isSymLink() && given.exists() ? given.canonicalFilePath()
                                                               : given.absoluteFilePath());
    if (target.isDir())
        return fail(writeFailureCause(EISDIR));
    // The file the user agreed to replace, as it is now.
    const FileId chosenFile = FileId::of(target.absoluteFilePath());
    int code = 0;
    Partial partial = makePartial(
        target, chosenFile.known ? QFile::permissions(target.absoluteFilePath()) : kNewFilePermissions,
        &code);
    if (partial.path.isEmpty())
        return fail(writeFailureCause(code));
    const OwnFileDoor door({target.absolutePath()});
    code = fillPartial(partial, [&bytes](int fd) { return writeAll(fd, bytes.constData(), bytes.size()); });
    QString cause = code != 0 ? writeFailureCause(code) : QString();
    if (code == 0 && door.rename(partial.path, partial.made, target.absoluteFilePath(),
                                 chosenFile.known ? OwnProof::made(chosenFile) : OwnProof(),
                                 &cause) == OwnFileDoor::Outcome::Done)
        return true;
    door.remove(partial.path, OwnProof::made(partial.made));
    return fail(cause);
}

bool writeImageOverChosenFile(const QString& chosen, const QImage& image, const char* format, QString* why)
{
    const QByteArray bytes = encodedImage(image, format);
    if (bytes.isEmpty()) {
        if (why)
            *why = QStringLiteral("изображение не кодируется");
        return false;
    }
    return writeOverChosenFile(chosen, bytes, why);
}

QByteArray encodedImage(const QImage& image, const char* format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (image.isNull() || !writer.write(image))
        return {};
    return bytes;
}

FileSystemSync::FileSystemSync(const QString& folder)
    : m_fd(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    if (m_fd < 0)
        m_openFailure = errno;
}

FileSystemSync::~FileSystemSync()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int FileSystemSync::sync()
{
    if (m_fd < 0)
        return m_openFailure;
    if (const int refused = beforeSync ? beforeSync(m_fd) : 0; refused != 0)
        return refused;
    return ::syncfs(m_fd) == 0 ? 0 : errno;
}

void testing::setBeforeSyncHook(int (*hook)(int fd))
{
    beforeSync = hook;
}

} // namespace platform
