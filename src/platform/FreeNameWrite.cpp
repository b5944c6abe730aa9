#include "platform/FreeNameWrite.h"

#include "platform/OwnFileDoor.h"

#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QImage>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <optional>
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
    bool syncOnClose = true; // false: a batch syncs it with the job's other files
};

// The record of the partial files a batch makes in a folder others share, beside them. Its first line
// gives the record's own name and file number; each further line a partial file's number and name
// (percent-encoded), with its birth where its file system keeps one, written before the file can be
// found under that name; or "-" and a name alone, written just before a file is made under that name
// where none can be made without one (FAT). Only this prefix picks a record among a folder's files;
// what it says decides.
constexpr char kRecordPrefix[] = ".kalvenor-partials-";
constexpr char kNotYetMade[] = "-";
// Far more than the lines of any export; a larger file of the name is no record of the program's.
constexpr qint64 kMaxRecordBytes = qint64(64) << 20;

// A record of the batch's own in folder, locked for as long as it lives.
struct PartialsRecord
{
    int fd = -1;
    QString path;
    FileId id;

    // The partial file's name, with the file made for it (unknown: the file is yet to be made): 0, or
    // the system's error.
    int note(const QString& partial, const FileId& file = FileId(), const FileBirth& born = FileBirth()) const
    {
        QByteArray line = (file.known ? QByteArray::number(file.inode) : QByteArray(kNotYetMade)) + ' ' +
                          QFile::encodeName(QFileInfo(partial).fileName()).toPercentEncoding();
        if (born.known)
            line += ' ' + QByteArray::number(born.seconds) + '.' + QByteArray::number(born.nanoseconds);
        line += '\n';
        return writeAll(fd, line.constData(), line.size());
    }
    // Gone once its partial files are: they took their names or were removed.
    void remove()
    {
        if (fd < 0)
            return;
        OwnFileDoor({QFileInfo(path).absolutePath()}).remove(path, OwnProof::made(id));
        ::close(std::exchange(fd, -1));
    }
};

void (*partialStep)(testing::PartialStep step, const QString& partial) = nullptr;

void reach(testing::PartialStep step, const QString& partial)
{
    if (partialStep)
        partialStep(step, partial);
}

mode_t modeOf(QFileDevice::Permissions permissions)
{
    const std::pair<QFileDevice::Permission, mode_t> bits[] = {
        {QFileDevice::ReadOwner, S_IRUSR},  {QFileDevice::WriteOwner, S_IWUSR},
        {QFileDevice::ExeOwner, S_IXUSR},   {QFileDevice::ReadGroup, S_IRGRP},
        {QFileDevice::WriteGroup, S_IWGRP}, {QFileDevice::ExeGroup, S_IXGRP},
        {QFileDevice::ReadOther, S_IROTH},  {QFileDevice::WriteOther, S_IWOTH},
        {QFileDevice::ExeOther, S_IXOTH}};
    mode_t mode = 0;
    for (const auto& [permission, bit] : bits)
        if (permissions.testFlag(permission))
            mode |= bit;
    return mode;
}

// "<target's name>.XXXXXX.part", the six places letters and digits drawn at random.
QString partialPathFor(const QFileInfo& place)
{
    static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray drawn(6, Qt::Uninitialized);
    for (char& letter : drawn)
        letter = kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters - 1))];
    return place.absoluteDir().filePath(
        QStringLiteral("%1.%2.part").arg(place.fileName(), QLatin1String(drawn)));
}

// Names drawn before giving up: another program taking that many at once is something else going wrong.
constexpr int kNameDraws = 100;

// An empty partial file beside the target, with the permissions given whatever the process's umask. With
// a record, the record names it before the file can be found under its name: a batch killed at any moment
// leaves no partial file of its that the next one into the folder cannot prove its own. Empty path with
// *code when no file could be made or recorded.
Partial makePartial(const QFileInfo& place, QFileDevice::Permissions permissions,
                    const PartialsRecord* record, int* code)
{
    if (record && record->fd < 0)
        record = nullptr;
    // Made without a name, and named only once the record has its number: killed before, the process
    // leaves nothing. A record needs its birth too, which alone tells it from a file made later under
    // the number it frees should it never take the name; without one it is made as below.
    if (const int fd = openUnnamedFile(place.absolutePath()); fd >= 0) {
        const FileId made = FileId::ofOpen(fd);
        const FileBirth born = FileBirth::ofOpen(fd);
        if (!record || (made.known && born.known)) {
            ::fchmod(fd, modeOf(permissions));
            reach(testing::PartialStep::Made, QString());
            for (int draw = 0; draw < kNameDraws; ++draw) {
                const QString path = partialPathFor(place);
                if (const int lost = record ? record->note(path, made, born) : 0; lost != 0) {
                    ::close(fd);
                    *code = lost;
                    return {};
                }
                reach(testing::PartialStep::Recorded, path);
                const int refused = nameUnnamedFile(fd, path);
                if (refused == 0)
                    return {path, fd, made};
                if (refused != EEXIST)
                    break;
            }
        }
        ::close(fd);
    }
    // A drive that makes no file without a name (FAT): the name is recorded just before the file is made
    // under it, and what the file is once it is. The name alone proves only an empty file made under it,
    // since no byte goes into a partial file before its number is recorded.
    for (int draw = 0; draw < kNameDraws; ++draw) {
        const QString path = partialPathFor(place);
        const QByteArray local = QFile::encodeName(path);
        struct stat there {};
        if (record && ::lstat(local.constData(), &there) == 0)
            continue; // not this batch's to name
        if (const int lost = record ? record->note(path) : 0; lost != 0) {
            *code = lost;
            return {};
        }
        reach(testing::PartialStep::Recorded, path);
        const int fd = ::open(local.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            *code = errno;
            return {};
        }
        ::fchmod(fd, modeOf(permissions));
        const Partial partial{path, fd, FileId::ofOpen(fd)};
        reach(testing::PartialStep::Made, path);
        if (const int lost = record ? record->note(path, partial.made, FileBirth::ofOpen(fd)) : 0;
            lost != 0) {
            ::close(fd);
            OwnFileDoor({place.absolutePath()}).remove(path, OwnProof::made(partial.made));
            *code = lost;
            return {};
        }
        return partial;
    }
    *code = EEXIST;
    return {};
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

int closeChecked(int fd)
{
    return ::close(fd) != 0 && errno != EINTR ? errno : 0;
}

int syncToDisk(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    return fd < 0 ? errno : syncAndClose(fd);
}

// The entries of one folder on the disk, for a file written alone that has just taken its name there:
// its folder alone, not its whole file system, whose other writers (a retrieve into the data folder)
// a single save on the window's thread has no need to wait for. 0, or the system's error.
int syncFolderEntries(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? errno : syncAndClose(fd);
}

// The file system's writes on the disk, through a descriptor opened before they were made: 0, or the
// system's error.
int syncFileSystem(int fd)
{
    if (const int refused = beforeSync ? beforeSync(fd) : 0; refused != 0)
        return refused;
    return ::syncfs(fd) == 0 ? 0 : errno;
}

// No record when none can be made (the folder cannot be written to: its partial files cannot be
// made either).
PartialsRecord makeRecord(const QString& folder)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QByteArray name =
            kRecordPrefix + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        const QString path = QDir(folder).filePath(QFile::decodeName(name));
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return {};
        PartialsRecord record{fd, path, FileId::ofOpen(fd)};
        const QByteArray head = name + ' ' + QByteArray::number(record.id.inode) + '\n';
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || writeAll(fd, head.constData(), head.size()) != 0) {
            record.remove();
            return {};
        }
        return record;
    }
    return {};
}

// A birth as a record writes it, "<seconds>.<nanoseconds>"; none for anything else.
std::optional<FileBirth> birthFrom(const QByteArray& text)
{
    const QList<QByteArray> parts = text.split('.');
    bool seconds = false;
    bool nanoseconds = false;
    const FileBirth born{parts.first().toLongLong(&seconds), parts.last().toUInt(&nanoseconds), true};
    if (parts.size() != 2 || !seconds || !nanoseconds)
        return std::nullopt;
    return born;
}

bool isPlainName(const QByteArray& name)
{
    return !name.isEmpty() && name != "." && name != ".." && !name.contains('/') && !name.contains('\0');
}

// Removes the partial files that batches cut short (the program killed, the drive pulled out) left in
// folder: those a record names whose batch is over (its lock is free), and the record. A record copied
// under another name, one another batch holds, and every file no record names stay.
void clearLeftPartials(const QString& folder)
{
    const Descriptor dir(::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int listingFd = dir.fd() >= 0 ? ::dup(dir.fd()) : -1;
    DIR* listing = listingFd >= 0 ? ::fdopendir(listingFd) : nullptr;
    if (!listing) {
        if (listingFd >= 0)
            ::close(listingFd);
        return;
    }
    QList<QByteArray> candidates;
    while (const dirent* entry = ::readdir(listing))
        if (std::strncmp(entry->d_name, kRecordPrefix, sizeof kRecordPrefix - 1) == 0)
            candidates << QByteArray(entry->d_name);
    ::closedir(listing);

    const OwnFileDoor door({folder});
    for (const QByteArray& name : std::as_const(candidates)) {
        const Descriptor record(::openat(dir.fd(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        struct stat named {};
        // Its batch's lock free, and still under its name: not removed meanwhile by the batch as it ended.
        if (record.fd() < 0 || ::fstat(record.fd(), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_size > kMaxRecordBytes || ::flock(record.fd(), LOCK_EX | LOCK_NB) != 0 ||
            ::fstatat(dir.fd(), name.constData(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            named.st_ino != info.st_ino || named.st_dev != info.st_dev)
            continue;
        QByteArray text(qsizetype(info.st_size), Qt::Uninitialized);
        qsizetype got = 0;
        while (got < text.size()) {
            const ssize_t n = ::pread(record.fd(), text.data() + got, size_t(text.size() - got), off_t(got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        const QList<QByteArray> lines = text.left(got).split('\n');
        const QList<QByteArray> head = lines.first().split(' ');
        if (head.size() != 2 || head.first() != name)
            continue; // a copy of another folder's record, or no record of the program's
        // A file system that keeps its file numbers (the record's own is the one it wrote) proves each
        // file by its number as well; one that gives new ones on each mounting (FAT) by the name the
        // record gives it, which nothing else gives. Its birth, where recorded, tells it from a file
        // made later under that number or name.
        bool parsed = false;
        const bool numbersKept = head.last().toULongLong(&parsed) == quint64(info.st_ino) && parsed;
        std::map<QByteArray, QList<OwnProof>> made; // each name, and the files made under it
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines[i].split(' ');
            const QByteArray partial =
                fields.size() >= 2 ? QByteArray::fromPercentEncoding(fields[1]) : QByteArray();
            if (fields.size() > 3 || !isPlainName(partial) || partial == name)
                continue;
            if (fields.first() == kNotYetMade) {
                made.try_emplace(partial);
                continue;
            }
            const quint64 inode = fields.first().toULongLong(&parsed);
            const std::optional<FileBirth> born = fields.size() == 3 ? birthFrom(fields.last()) : FileBirth();
            if (!parsed || !born)
                continue;
            made[partial] << (numbersKept ? OwnProof::made({quint64(info.st_dev), inode, true}, *born)
                                          : OwnProof::ownName(*born));
        }
        for (const auto& [partial, proofs] : made) {
            const QString path = QDir(folder).filePath(QFile::decodeName(partial));
            // Named only, the file was yet to be made: none of it may be there but an empty one.
            if (proofs.isEmpty())
                door.remove(path, OwnProof::recorded(path, 0));
            for (const OwnProof& proof : proofs)
                if (door.remove(path, proof) != OwnFileDoor::Outcome::Refused)
                    break;
        }
        door.remove(QDir(folder).filePath(QFile::decodeName(name)),
                    OwnProof::made({quint64(info.st_dev), quint64(info.st_ino), true}));
    }
}

} // namespace

int syncNamesIn(const QString& folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const int code = syncFileSystem(fd);
    ::close(fd);
    return code;
}

QString nameMayNotBeOnDisk(int code)
{
    return QStringLiteral("%1 — записанное уже под своим именем, но могло не дойти до диска")
        .arg(writeFailureCause(code));
}

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

// Lets fill write through the partial file's descriptor, then syncs (unless its batch does) and closes
// it (the descriptor is gone afterwards): 0 or the system's error.
int fillPartial(Partial& partial, const std::function<int(int fd)>& fill)
{
    const int fd = std::exchange(partial.fd, -1);
    if (const int code = fill(fd); code != 0) {
        ::close(fd);
        return code;
    }
    return partial.syncOnClose ? syncAndClose(fd) : closeChecked(fd);
}

// Gives the whole partial file (made: as written) target's name, or the next free one: the path it
// took, empty with *cause when none.
QString giveName(const OwnFileDoor& door, const QString& partialPath, const FileId& made,
                 const QFileInfo& place, TakenName taken, QString* cause)
{
    if (taken == TakenName::Fail)
        return door.rename(partialPath, made, place.absoluteFilePath(), OwnProof(), cause) ==
                       OwnFileDoor::Outcome::Done
                   ? place.absoluteFilePath()
                   : QString();
    const QString name = place.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot > 0 ? name.mid(dot) : QString();
    return door.renameToFreeName(partialPath, made, place.absoluteDir().filePath(name.chopped(suffix.size())),
                                 suffix, cause);
}

} // namespace

struct DurableBatch::State
{
    // A whole file of a batch of a shared folder, waiting under its partial name for the batch's sync.
    struct Waiting
    {
        QString partial;
        FileId made;
        QFileInfo place;
        TakenName taken;
    };

    QString folder;        // a staging folder's batch: below it, files take their names at once
    int folderFailure = 0; // the folder could not be opened
    // One descriptor of each file system written to, opened before its first write there.
    std::map<quint64, int> fileSystems;
    // Each folder written to, and the file system it lies on (absent: it could not be opened).
    std::map<QString, std::optional<quint64>> folders;
    QList<Waiting> waiting;
    // The record of the partial files in each folder of a shared batch.
    std::map<QString, PartialsRecord> records;

    // The file system that folder lies on, known from now on: 0, or why the folder cannot be opened
    // (its files cannot be made either).
    int watch(const QString& path)
    {
        if (folders.count(path))
            return 0;
        std::optional<quint64>& device = folders[path];
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return errno;
        struct stat info {};
        if (::fstat(fd, &info) == 0)
            device = quint64(info.st_dev);
        if (!device || !fileSystems.emplace(*device, fd).second)
            ::close(fd);
        return 0;
    }

    // The record of the partial files made in a shared folder; what batches cut short left there is
    // removed before the first is made.
    const PartialsRecord& recordFor(const QString& path)
    {
        auto found = records.find(path);
        if (found == records.end()) {
            clearLeftPartials(path);
            found = records.emplace(path, makeRecord(path)).first;
        }
        return found->second;
    }

    void removeRecords()
    {
        for (auto& [path, record] : records)
            record.remove();
        records.clear();
    }
};

struct BatchAccess
{
    static DurableBatch::State& of(DurableBatch& batch) { return *batch.d; }
};

namespace {

// The write that makes the partial file: true when it is whole; on failure *cause gets why when it
// knows (a writer of its own tells its caller itself).
using PartialWrite = std::function<bool(Partial& partial, QString* cause)>;

// The partial files whose write functions run now, on any thread.
struct
{
    QMutex lock;
    QSet<QString> paths;
} g_filling;

struct Filling
{
    explicit Filling(const QString& path) : path(path)
    {
        const QMutexLocker locked(&g_filling.lock);
        g_filling.paths.insert(path);
    }
    ~Filling()
    {
        const QMutexLocker locked(&g_filling.lock);
        g_filling.paths.remove(path);
    }
    Filling(const Filling&) = delete;
    Filling& operator=(const Filling&) = delete;
    const QString path;
};

QString placeUnderFreeName(const QString& target, const PartialWrite& write, bool syncAfter, TakenName taken,
                           QString* why, DurableBatch* batch)
{
    const QFileInfo place(target);
    DurableBatch::State* job = batch ? &BatchAccess::of(*batch) : nullptr;
    if (job)
        job->watch(place.absolutePath());
    // In a shared folder a partial file is recorded as the batch's the moment it is made: were the
    // job cut short, the next one there could not tell it from a user's file otherwise.
    const PartialsRecord* record =
        job && job->folder.isEmpty() ? &job->recordFor(place.absolutePath()) : nullptr;
    int code = 0;
    Partial partial = makePartial(place, kNewFilePermissions, record, &code);
    if (partial.path.isEmpty()) {
        if (why)
            *why = writeFailureCause(code);
        return {};
    }
    partial.syncOnClose = !job;
    const QString partialPath = partial.path;
    const OwnFileDoor door({place.absolutePath()});
    QString cause;
    bool keep = false;
    {
        const Filling filling(partialPath);
        keep = write(partial, &cause);
    }
    if (partial.fd >= 0)
        ::close(std::exchange(partial.fd, -1));
    // A writer of its own (a library writing by path) may have closed the file without its bytes on
    // the disk; a failure to get them there is its failure.
    if (keep && syncAfter && !job) {
        if (const int failed = syncToDisk(partialPath); failed != 0) {
            keep = false;
            cause = writeFailureCause(failed);
        }
    }
    // A writer by path may have put a file of its own there in place of the empty one.
    const FileId made = syncAfter ? FileId::of(partialPath) : partial.made;
    if (record && record->fd >= 0 && made.known && made != partial.made)
        record->note(partialPath, made, FileBirth::of(partialPath));
    if (keep && job && job->folder.isEmpty()) {
        job->waiting.append({partialPath, made, place, taken});
        return place.absoluteFilePath();
    }
    const QString placed = keep ? giveName(door, partialPath, made, place, taken, &cause) : QString();
    if (placed.isEmpty()) {
        door.remove(partialPath, OwnProof::made(made));
        if (why)
            *why = cause;
        return {};
    }
    // Alone, the file is its own job: its name too reaches the disk before it is told written.
    if (!job) {
        if (const int lost = syncFolderEntries(place.absolutePath()); lost != 0) {
            if (why)
                *why = nameMayNotBeOnDisk(lost);
            return {};
        }
    }
    return placed;
}

} // namespace

bool isPartialBeingFilled(const QString& path)
{
    const QMutexLocker locked(&g_filling.lock);
    return g_filling.paths.contains(path);
}

int syncFile(const QString& path)
{
    return syncToDisk(path);
}

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

int copyAll(int in, int out, bool* readFailed)
{
    *readFailed = false;
    QByteArray block(256 * 1024, Qt::Uninitialized);
    // From the start, whatever the descriptor's offset: one opening may be shared by several readers.
    for (off_t at = 0;; ) {
        const ssize_t n = ::pread(in, block.data(), size_t(block.size()), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *readFailed = true;
            return errno;
        }
        if (n == 0)
            return 0;
        if (const int failed = writeAll(out, block.constData(), n); failed != 0)
            return failed;
        at += n;
    }
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
                           QString* why, TakenName taken, DurableBatch* batch)
{
    if (why)
        why->clear();
    return placeUnderFreeName(
        target, [&write](Partial& partial, QString*) { return write(partial.path); }, true, taken, why,
        batch);
}

QString writeUnderFreeName(const QString& target, const QByteArray& bytes, QString* why, TakenName taken,
                           DurableBatch* batch)
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
        false, taken, why, batch);
}

QString copyUnderFreeName(int source, const QString& target, const std::function<QString()>& changed,
                          QString* why, TakenName taken, DurableBatch* batch)
{
    return placeUnderFreeName(
        target,
        [&](Partial& partial, QString* cause) {
            bool readFailed = false;
            const int code = fillPartial(partial, [&](int out) { return copyAll(source, out, &readFailed); });
            if (code != 0)
                *cause = readFailed ? unreadableSource(code) : writeFailureCause(code);
            // Bytes read while the file was cut or written into are no copy of it.
            else if (changed)
                *cause = changed();
            return code == 0 && cause->isEmpty();
        },
        false, taken, why, batch);
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
        nullptr, &code);
    if (partial.path.isEmpty())
        return fail(writeFailureCause(code));
    const OwnFileDoor door({target.absolutePath()});
    code = fillPartial(partial, [&bytes](int fd) { return writeAll(fd, bytes.constData(), bytes.size()); });
    QString cause = code != 0 ? writeFailureCause(code) : QString();
    if (code == 0 && door.rename(partial.path, partial.made, target.absoluteFilePath(),
                                 chosenFile.known ? OwnProof::made(chosenFile) : OwnProof(),
                                 &cause) == OwnFileDoor::Outcome::Done) {
        // The file under its name reaches the disk before the save is told done.
        const int lost = syncFolderEntries(target.absolutePath());
        return lost == 0 || fail(nameMayNotBeOnDisk(lost));
    }
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

DurableBatch::DurableBatch() : d(std::make_unique<State>()) {}

DurableBatch::DurableBatch(const QString& folder) : d(std::make_unique<State>())
{
    d->folder = QFileInfo(folder).absoluteFilePath();
    d->folderFailure = d->watch(d->folder);
}

DurableBatch::~DurableBatch()
{
    for (const State::Waiting& file : std::as_const(d->waiting))
        OwnFileDoor({file.place.absolutePath()}).remove(file.partial, OwnProof::made(file.made));
    d->removeRecords();
    for (const auto& [device, fd] : d->fileSystems)
        ::close(fd);
}

QList<DurableBatch::Struck> DurableBatch::confirm()
{
    QList<Struck> struck;
    if (d->folderFailure != 0) {
        struck.append({d->folder, writeFailureCause(d->folderFailure)});
        return struck;
    }
    std::map<quint64, int> failedOn; // file system -> the error its sync gave
    for (const auto& [device, fd] : d->fileSystems)
        if (const int code = syncFileSystem(fd); code != 0)
            failedOn.emplace(device, code);

    // Each file of a file system whose sync failed, synced on its own: those it struck own up.
    const QList<State::Waiting> waiting = std::exchange(d->waiting, {});
    QList<int> codes(waiting.size(), 0);
    std::map<quint64, bool> ownedUp;
    for (qsizetype i = 0; i < waiting.size(); ++i) {
        const quint64 device = waiting[i].made.device;
        if (failedOn.count(device) || !d->fileSystems.count(device)) {
            codes[i] = syncToDisk(waiting[i].partial);
            if (codes[i] != 0)
                ownedUp[device] = true;
        }
    }
    if (!d->folder.isEmpty() && !failedOn.empty()) {
        QDirIterator files(d->folder, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                           QDirIterator::Subdirectories);
        while (files.hasNext())
            if (const int code = syncToDisk(files.next()); code != 0)
                struck.append({files.filePath(), writeFailureCause(code)});
        if (struck.isEmpty())
            struck.append({d->folder, writeFailureCause(failedOn.begin()->second)});
    }
    std::map<QString, OwnFileDoor> doors; // one for each folder written to
    std::map<QString, QStringList> namedIn; // the names given, by folder
    for (qsizetype i = 0; i < waiting.size(); ++i) {
        const State::Waiting& file = waiting[i];
        const auto failed = failedOn.find(file.made.device);
        // Unexplained, the failure may have struck any of them: none is confirmed.
        if (codes[i] == 0 && failed != failedOn.end() && !ownedUp[file.made.device])
            codes[i] = failed->second;
        const QString folder = file.place.absolutePath();
        const OwnFileDoor& door = doors.try_emplace(folder, QStringList{folder}).first->second;
        QString cause = codes[i] != 0 ? writeFailureCause(codes[i]) : QString();
        const QString placed =
            codes[i] != 0 ? QString() : giveName(door, file.partial, file.made, file.place, file.taken, &cause);
        if (placed.isEmpty()) {
            door.remove(file.partial, OwnProof::made(file.made));
            struck.append({file.place.absoluteFilePath(), cause});
        } else {
            namedIn[folder] << placed;
        }
    }
    // No partial file of the batch is left: its records go, and their going reaches the disk with the names.
    d->removeRecords();

    // A name is written back later than the bytes it names: pulled out now, the drive would hold the
    // files under their partial names only. One more sync of each file system names were given on.
    std::map<quint64, int> namesSynced; // file system -> what its sync of the names gave
    for (const auto& [folder, names] : namedIn) {
        const auto known = d->folders.find(folder);
        const std::optional<quint64> device = known != d->folders.end() ? known->second : std::nullopt;
        int code = 0;
        if (device && d->fileSystems.count(*device)) {
            const auto [synced, first] = namesSynced.try_emplace(*device, 0);
            if (first)
                synced->second = syncFileSystem(d->fileSystems.at(*device));
            code = synced->second;
        } else {
            code = syncNamesIn(folder);
        }
        // Under their names, but perhaps not once the drive is pulled out: none is told written.
        for (const QString& name : names)
            if (code != 0)
                struck.append({name, nameMayNotBeOnDisk(code)});
    }
    return struck;
}

void testing::setBeforeSyncHook(int (*hook)(int fd))
{
    beforeSync = hook;
}

void testing::setPartialStepHook(void (*hook)(PartialStep step, const QString& partial))
{
    partialStep = hook;
}

} // namespace platform
