#include "remote/RemoteParallelDownloadWorker.h"

#include "remote/RemoteAccessClient.h"
#include "remote/RemotePartialRecord.h"
#include "remote/RemoteProtocol.h"

#include "dicom/DicomFileSummary.h"
#include "pacs/PacsRequestChecks.h"
#include "platform/ContentDigest.h"
#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using platform::Descriptor;

platform::FileId idOf(const struct stat& st)
{
    return {quint64(st.st_dev), quint64(st.st_ino), true};
}

// The plain file (no link, no second name) under `name` in the folder; unknown otherwise.
platform::FileId plainFileAt(int folder, const QByteArray& name)
{
    struct stat st {};
    if (::fstatat(folder, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return {};
    return idOf(st);
}

using remotepartial::Record;

struct flock wholeFileWriteLock()
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET; // from the start to whatever end the file comes to have
    return lock;
}

// Holds the file exclusively until its descriptor closes. The hold belongs to the open file, not to the
// process, so two workers of one program exclude each other as two programs do. `busy`: another holds
// it; a file system without such holds gives neither, and the download goes on unheld.
bool holdExclusively(int fd, bool* busy)
{
    struct flock lock = wholeFileWriteLock();
    if (::fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return true;
    *busy = errno == EAGAIN || errno == EACCES;
    return false;
}

// Another download holds the file under the name: it is that download's partial, not a stranger's.
bool heldByAnother(int folder, const QByteArray& name)
{
    const Descriptor probe(::openat(folder, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct flock lock = wholeFileWriteLock();
    return probe.fd() >= 0 && ::fcntl(probe.fd(), F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

QString busyText(const QString& path)
{
    return QStringLiteral("файл %1 сейчас скачивает другая загрузка этого исследования (в другом окне или в другой "
                          "копии программы) — повторите скачивание, когда она закончится")
        .arg(path);
}

QString changedSinceText()
{
    return QStringLiteral("исследование на удалённом компьютере изменилось после прошлого скачивания");
}

QString changedDuringText()
{
    return QStringLiteral("исследование на удалённом компьютере изменилось во время скачивания");
}

QString keptAsItIsText(const QString& path)
{
    return QStringLiteral("в папке загрузки уже есть %1, созданный не этой загрузкой, — он оставлен как "
                          "есть; уберите его и повторите скачивание")
        .arg(path);
}

struct
{
    void (*hook)(void*) = nullptr;
    void* context = nullptr;
} beforeRecord;

QString notCreatedText(const QString& path, int cause)
{
    return cause == EEXIST || cause == ELOOP ? keptAsItIsText(path)
                                             : QStringLiteral("не удалось создать локальный файл %1: %2")
                                                   .arg(path, QString::fromLocal8Bit(std::strerror(cause)));
}

QString recordFailedText(const QString& path)
{
    return QStringLiteral("не удалось записать сведения о частичной загрузке в папку %1")
        .arg(QFileInfo(path).path());
}

// Where a partial goes in the download folder and what names it the worker's there.
struct PartialPlace
{
    int folder;
    QByteArray name;
    QByteArray recordName;
    QString filePath;
    QString recordPath;
    const platform::OwnFileDoor& door;
};

// A new partial under the name, its record made first and left empty: whenever the worker is stopped,
// a file under the name has a record beside it that names it the worker's. Held before its identity is
// written, so that another download that finds it finds it held. False with the error otherwise.
bool makePartial(const PartialPlace& at, Record* record, Descriptor* file, QString* error)
{
    if (record->fd.fd() < 0)
        record->fd = Descriptor(::openat(at.folder, at.recordName.constData(),
                                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    // A record of a file that went says again that one is being made.
    if (record->fd.fd() < 0 || ::ftruncate(record->fd.fd(), 0) != 0) {
        // Taken since it was read: another download's record of the file it is making, or a stranger.
        const bool taken = errno == EEXIST;
        struct stat st {};
        const bool making = taken
                            && ::fstatat(at.folder, at.recordName.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
                            && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_size == 0;
        *error = !taken ? recordFailedText(at.filePath)
                 : making ? busyText(at.filePath)
                          : keptAsItIsText(at.recordPath);
        return false;
    }
    *file = Descriptor(::openat(at.folder, at.name.constData(),
                                O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (file->fd() < 0) {
        const int cause = errno;
        const bool busy = cause == EEXIST && heldByAnother(at.folder, at.name);
        // Put there since the name was found free: the record made for it would name it the worker's.
        if (!busy)
            at.door.remove(at.recordPath,
                           platform::OwnProof::made(platform::FileId::ofOpen(record->fd.fd())));
        *error = busy ? busyText(at.filePath) : notCreatedText(at.filePath, cause);
        return false;
    }
    bool busy = false;
    holdExclusively(file->fd(), &busy);
    if (beforeRecord.hook)
        beforeRecord.hook(beforeRecord.context);
    const platform::FileId made = platform::FileId::ofOpen(file->fd());
    remotepartial::Progress empty;
    if (!empty.reset(file->fd()) || !remotepartial::write(record, file->fd(), empty)) {
        *error = recordFailedText(at.filePath);
        at.door.remove(at.filePath, platform::OwnProof::made(made));
        *file = Descriptor();
        return false;
    }
    return true;
}

// The partial the record names the worker's (the file it made, or the one found beside a record made
// before it), or a new one. Any other file under the name, a link or a file of two names, stays as it
// is. False with the error otherwise.
bool openPartial(const PartialPlace& at, Record* record, Descriptor* file, QString* error)
{
    if (record->fd.fd() < 0) {
        struct stat st {};
        if (::fstatat(at.folder, at.name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return makePartial(at, record, file, error);
        *error = heldByAnother(at.folder, at.name) ? busyText(at.filePath) : keptAsItIsText(at.filePath);
        return false;
    }
    *file = Descriptor(::openat(at.folder, at.name.constData(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (file->fd() < 0) {
        if (errno == ENOENT)
            return makePartial(at, record, file, error);
        *error = notCreatedText(at.filePath, errno);
        return false;
    }
    if (!remotepartial::proves(*record, file->fd())) {
        *file = Descriptor();
        *error = heldByAnother(at.folder, at.name) ? busyText(at.filePath) : keptAsItIsText(at.filePath);
        return false;
    }
    return true;
}

// The downloaded file holds the object it was asked for, read as the index reads it.
bool holdsObject(const QString& path, const QString& object, const QString& studyUid, QString* held)
{
    const std::optional<dicom::DicomFileSummary> summary = dicom::readFileSummary(path);
    *held = summary ? summary->sopInstanceUid : QString();
    return summary && summary->sopInstanceUid == object && summary->studyInstanceUid == studyUid;
}

} // namespace

void remotedownload::testing::setBeforeRecordHook(void (*hook)(void* context), void* context)
{
    beforeRecord = {hook, context};
}

QString RemoteParallelDownloadWorker::fileNameFor(const QString& object, int index)
{
    if (object.isEmpty())
        return QStringLiteral("%1.dcm").arg(index);
    // Never a bare number, the name of a file by its index in a folder an earlier version filled.
    if (pacs::isValidDicomUid(object) && object.contains(QLatin1Char('.')))
        return object + QStringLiteral(".dcm");
    remoteproto::Sha256 digest;
    digest.add(object.toUtf8());
    return QStringLiteral("x%1.dcm").arg(QString::fromLatin1(digest.hex().left(40)));
}

bool RemoteParallelDownloadWorker::findsOnlyItsOwnFiles(const QString& destDir, const QStringList& objects,
                                                        int fileCount, QString* error)
{
    // A folder that cannot be opened is told by the workers, with its cause.
    const Descriptor folder(
        ::open(QFile::encodeName(destDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    QStringList kept;
    for (int index = 0; folder.fd() >= 0 && index < fileCount; ++index) {
        const QString fileName = fileNameFor(objects.value(index), index);
        const QByteArray name = QFile::encodeName(fileName);
        struct stat st {};
        if (plainFileAt(folder.fd(), name + ".done").known
            || ::fstatat(folder.fd(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        Record record;
        remotepartial::read(folder.fd(), name + ".part", &record);
        const int opened = ::openat(folder.fd(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const bool link = opened < 0 && errno == ELOOP;
        const Descriptor file(opened);
        // As the worker opens it: a link is kept as it is; a file that cannot be opened otherwise, the
        // worker tells why.
        const bool own = file.fd() >= 0 ? remotepartial::proves(record, file.fd()) : !link;
        if (!own && !heldByAnother(folder.fd(), name))
            kept << QDir(destDir).filePath(fileName);
    }
    if (kept.size() == 1)
        *error = keptAsItIsText(kept.first());
    else if (!kept.isEmpty())
        *error = QStringLiteral("в папке загрузки уже есть файлы, созданные не этой загрузкой: %1 — они оставлены "
                                "как есть; уберите их и повторите скачивание")
                     .arg(kept.join(QStringLiteral(", ")));
    return kept.isEmpty();
}

RemoteParallelDownloadWorker::RemoteParallelDownloadWorker(const QString& host, int port, const QString& token,
                                                           const QString& certFingerprint, const QString& secret,
                                                           const QString& studyUid,
                                                           const QString& destDir, int firstIndex, int endIndex,
                                                           const QString& listenerId, QObject* parent)
    : QObject(parent)
    , host(host)
    , port(port)
    , token(token)
    , certFingerprint(certFingerprint)
    , secret(secret)
    , studyUid(studyUid)
    , destDir(destDir)
    , firstIndex(firstIndex)
    , endIndex(endIndex)
    , listenerId(listenerId)
{
}

void RemoteParallelDownloadWorker::requestStop()
{
    stopRequested.store(true);
}

bool RemoteParallelDownloadWorker::stillTheHostsFile(RemoteAccessClient& client, int folder, int index,
                                                     const QString& filePath, QString* error)
{
    const Descriptor file(::openat(folder, QFile::encodeName(QFileInfo(filePath).fileName()).constData(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (file.fd() < 0 || ::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
        // A marker beside what is no file is reported as before: it cannot be read, and is counted so.
        if (!comparing)
            return true;
        *error = QStringLiteral("файла %1 больше нет в папке загрузки").arg(filePath);
        return false;
    }
    bool lasting = false;
    for (int attempt = 0; attempt < downloadTries && !lasting; ++attempt) {
        if (stopRequested.load())
            return false;
        if (attempt > 0) {
            QThread::msleep(pauseMs);
            if (!client.isConnected()
                && !client.connectToServer(host, port, token, certFingerprint, secret, error,
                                           connectTimeoutMs, listenerId))
                continue;
        }
        bool same = false;
        if (client.matchesHostFile(studyUid, index, file.fd(), filePath, &same, error, downloadTimeoutMs,
                                   &lasting)) {
            if (!same) {
                studyChanged = true;
                *error =
                    (comparing ? changedDuringText() : changedSinceText()) + QStringLiteral(": ") + *error;
            }
            return same;
        }
    }
    return false;
}

void RemoteParallelDownloadWorker::run()
{
    // The client lives on this thread for the run only; its end closes the connection.
    auto client = std::make_unique<RemoteAccessClient>();
    QString error;
    bool connected = false;
    for (int attempt = 0; attempt < connectAttempts && !connected; ++attempt) {
        if (attempt > 0)
            QThread::msleep(pauseMs);
        connected = client->connectToServer(host, port, token, certFingerprint, secret, &error, connectTimeoutMs, listenerId);
    }
    if (!connected) {
        emit fileFailed(QStringLiteral("не удалось подключиться: %1").arg(error));
        emit finished();
        return;
    }

    const QDir dir(destDir);
    // Every file is opened relative to the folder and never through a link: nothing outside it is written.
    const Descriptor folder(::open(QFile::encodeName(destDir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd() < 0 && firstIndex < endIndex) {
        emit fileFailed(QStringLiteral("не удалось открыть папку загрузки %1: %2")
                            .arg(destDir, QString::fromLocal8Bit(std::strerror(errno))));
        emit finished();
        return;
    }
    const platform::OwnFileDoor door({destDir});
    for (int index = firstIndex; index < endIndex; ++index) {
        if (stopRequested.load()) {
            emit finished();
            return;
        }
        const QString object = objects.value(index - firstIndex);
        const QString fileName = fileNameFor(object, index);
        const QString filePath = dir.filePath(fileName);
        const QByteArray name = QFile::encodeName(fileName);
        const QByteArray markerName = name + ".done";
        const QByteArray recordName = name + ".part";
        QString lastError;
        const auto giveUp = [&] {
            emit fileFailed(QStringLiteral("файл %1: %2").arg(index).arg(lastError));
            emit finished();
        };
        const QString recordPath = dir.filePath(QString::fromLocal8Bit(recordName));
        if (comparing) {
            if (!stillTheHostsFile(*client, folder.fd(), index, filePath, &lastError))
                return giveUp();
            emit fileDownloaded(index, filePath);
            continue;
        }
        // The record is read before the marker is looked for: a download that finishes the file marks it
        // before it lets the record go, so a file another download finished meanwhile is found finished.
        Record record;
        remotepartial::read(folder.fd(), recordName, &record);
        if (plainFileAt(folder.fd(), markerName).known) {
            if (object.isEmpty() && !stillTheHostsFile(*client, folder.fd(), index, filePath, &lastError))
                return giveUp();
            emit fileDownloaded(index, filePath);
            continue;
        }

        Descriptor file;
        if (!openPartial({folder.fd(), name, recordName, filePath, recordPath, door}, &record, &file,
                         &lastError))
            return giveUp();
        const platform::FileId opened = platform::FileId::ofOpen(file.fd());
        bool busy = false;
        if (!holdExclusively(file.fd(), &busy) && busy) {
            lastError = busyText(filePath);
            return giveUp();
        }

        // The record says what the file holds before each write into it, so that a copy of the folder
        // made whatever moment the worker is stopped at still proves the file the worker's.
        remotepartial::Progress written;
        const auto announce = [&](const char* data, qint64 size, QString* why) {
            if (written.announce(&record, data, size))
                return true;
            *why = recordFailedText(filePath);
            return false;
        };
        bool done = false;
        bool lasting = false; // asking again would get the same refusal
        for (int attempt = 0; attempt < downloadTries && !done && !lasting; ++attempt) {
            if (stopRequested.load())
                break;
            if (attempt > 0) {
                QThread::msleep(pauseMs);
                if (!client->isConnected()
                    && !client->connectToServer(host, port, token, certFingerprint, secret, &lastError, connectTimeoutMs,
                                                listenerId))
                    continue;
            }
            if (!remotepartial::catchUp(&record, file.fd(), &written)) {
                lastError = recordFailedText(filePath);
                break;
            }
            done = client->downloadInto(studyUid, index, file.fd(), filePath, {}, &lastError, downloadTimeoutMs,
                                        object, &lasting, announce);
        }
        // What lies under the name now must be the file written: one put there meanwhile is no download.
        if (done && plainFileAt(folder.fd(), name) != opened) {
            done = false;
            lastError = QStringLiteral("файл %1 заменён другим во время скачивания — скачанное не засчитано")
                            .arg(filePath);
        }
        // A host that serves a file as the object asked for may have another one under its name (a file
        // copied over it there): such a file is never kept, and asking again would bring it again.
        QString held;
        if (done && !object.isEmpty() && !holdsObject(filePath, object, studyUid, &held)) {
            done = false;
            const QString sent = held.isEmpty()
                                     ? QStringLiteral("файл, который не читается как DICOM")
                                     : QStringLiteral("файл другого объекта (%1)").arg(held.left(64));
            lastError = QStringLiteral("удалённый компьютер передал вместо объекта %1 %2 — файл удалён")
                            .arg(object.left(64), sent);
            door.remove(filePath, platform::OwnProof::made(opened));
            door.remove(recordPath, platform::OwnProof::made(platform::FileId::ofOpen(record.fd.fd())));
        }
        if (!done)
            return giveUp();
        // Marked with the digest of its bytes, as the store's copies are: its rows record it, and a
        // removal proves the file the download's own by it wherever the data folder has gone.
        platform::ContentDigest::mark(file.fd(), platform::ContentDigest::ofOpen(file.fd()));

        const Descriptor marker(::openat(folder.fd(), markerName.constData(),
                                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (marker.fd() < 0)
            qWarning() << "RemoteParallelDownloadWorker: не удалось создать файл-маркер" << dir.filePath(QString::fromLocal8Bit(markerName));
        else // complete and marked: the record has served
            door.remove(recordPath, platform::OwnProof::made(platform::FileId::ofOpen(record.fd.fd())));
        emit fileDownloaded(index, filePath);
    }
    emit finished();
}
