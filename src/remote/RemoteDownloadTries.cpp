#include "remote/RemoteDownloadTries.h"

#include "remote/RemoteParallelDownloadWorker.h"
#include "remote/RemotePartialRecord.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "platform/FreeNameWrite.h"
#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using platform::Descriptor;

constexpr qint64 kLargestRecord = 64 * 1024 * 1024;

// The system's refusal in the user's words (a full disk, no permission), never the library's English.
QString systemText(int cause)
{
    return platform::writeFailureCause(cause);
}

QString notOursText(const QString& path)
{
    return QStringLiteral("в папке загрузки уже есть %1, созданный не этой программой, — он оставлен как есть; "
                          "уберите его и повторите скачивание")
        .arg(QDir::toNativeSeparators(path));
}

// The record as the program left it: a plain file of one name (a link or a second name is no record of
// its own, and is read as none). cause: the system's error, or kNotOurs when something else lies under
// the name.
constexpr int kNotOurs = -1;
bool openRecord(const QString& path, int flags, Descriptor* fd, int* cause)
{
    *cause = 0;
    *fd = Descriptor(::open(QFile::encodeName(path).constData(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (fd->fd() < 0) {
        *cause = errno == ELOOP ? kNotOurs : errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd->fd(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_size > kLargestRecord) {
        *cause = kNotOurs;
        *fd = Descriptor();
        return false;
    }
    return true;
}

// What the record holds: name → the object the host listed for it (empty: a host that names none), and
// object → the user's file its row was on before a try's copy took the row. Only whole lines count: a
// line a kill cut names no file of the folder, or another object than its file holds.
struct Tried
{
    QHash<QString, QString> objects;
    QHash<QString, QString> usersFiles;
};

// A note of a user's file: a line of its own that starts with the separator (which a line of an earlier
// version never does, and which it skips), its fields encoded so that no path or object can hold the
// separators.
QByteArray noteLine(const QString& object, const QString& path)
{
    return '\t' + object.toUtf8().toPercentEncoding() + '\t' + path.toUtf8().toPercentEncoding() + '\n';
}

Tried readRecord(const QString& path)
{
    Tried tried;
    Descriptor fd;
    int cause = 0;
    if (!openRecord(path, O_RDONLY, &fd, &cause))
        return tried;
    QByteArray text;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.fd(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || text.size() + got > kLargestRecord)
            break;
        text.append(buffer, got);
    }
    const qsizetype end = text.lastIndexOf('\n');
    for (const QByteArray& line : text.left(end + 1).split('\n')) {
        const qsizetype tab = line.indexOf('\t');
        if (tab == 0) {
            const QList<QByteArray> fields = line.split('\t');
            if (fields.size() == 3 && !fields.at(1).isEmpty() && !fields.at(2).isEmpty())
                tried.usersFiles.insert(QString::fromUtf8(QByteArray::fromPercentEncoding(fields.at(1))),
                                        QString::fromUtf8(QByteArray::fromPercentEncoding(fields.at(2))));
            continue;
        }
        if (tab < 0)
            continue;
        const QString name = QString::fromUtf8(line.left(tab));
        if (name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        tried.objects.insert(name, QString::fromUtf8(line.mid(tab + 1)));
    }
    return tried;
}

bool appendToRecord(const QString& recordPath, const QString& folder, const QByteArray& lines, QString* error)
{
    Descriptor fd;
    int cause = 0;
    if (!openRecord(recordPath, O_WRONLY | O_APPEND | O_CREAT, &fd, &cause)) {
        *error = cause == kNotOurs
                     ? notOursText(recordPath)
                     : QStringLiteral("не удалось записать сведения о скачивании в папку %1: %2")
                           .arg(QDir::toNativeSeparators(folder), systemText(cause));
        return false;
    }
    int failed = platform::writeAll(fd.fd(), lines.constData(), lines.size());
    if (failed == 0 && ::fdatasync(fd.fd()) != 0)
        failed = errno;
    if (failed != 0) {
        *error = QStringLiteral("не удалось записать сведения о скачивании в папку %1: %2")
                     .arg(QDir::toNativeSeparators(folder), systemText(failed));
        return false;
    }
    return true;
}

// Takes out a partial a try left of an object the host no longer lists, and its record, when the record
// proves it the try's. Gone: nothing was there.
platform::OwnFileDoor::Outcome removePartial(const platform::OwnFileDoor& door, int folder, const QString& dir,
                                             const QString& name)
{
    using Outcome = platform::OwnFileDoor::Outcome;
    const QByteArray file = QFile::encodeName(name);
    remotepartial::Record record;
    remotepartial::read(folder, file + ".part", &record);
    const QString path = QDir(dir).filePath(name);
    const QString recordPath = path + QStringLiteral(".part");
    Outcome outcome = Outcome::Gone;
    const Descriptor partial(::openat(folder, file.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (partial.fd() >= 0) {
        if (!remotepartial::proves(record, partial.fd()))
            return Outcome::Refused;
        outcome = door.remove(path, platform::OwnProof::made(platform::FileId::ofOpen(partial.fd())));
        if (outcome != Outcome::Done)
            return outcome;
    } else if (errno != ENOENT) {
        return Outcome::Refused;
    }
    if (record.fd.fd() >= 0)
        door.remove(recordPath, platform::OwnProof::made(platform::FileId::ofOpen(record.fd.fd())));
    return outcome;
}

} // namespace

RemoteDownloadTries::RemoteDownloadTries(const QString& destDir) : m_folder(QDir::cleanPath(destDir)) {}

QString RemoteDownloadTries::recordPath() const
{
    return QDir(m_folder).filePath(QStringLiteral("unfinished-tries.list"));
}

bool RemoteDownloadTries::begin(const db::Database* index, const QString& studyUid, const QStringList& objects,
                                int fileCount, QString* error) const
{
    // A file already indexed keeps what it is: one of an earlier unfinished try stays recorded, one of a
    // whole download or another source is never taken for a try's.
    QSet<QString> heldObjects, indexedNames;
    const Tried before = readRecord(recordPath());
    QByteArray lines;
    if (index) {
        for (const db::IndexedFile& file : index->studyFiles(studyUid)) {
            const QFileInfo info(file.filePath);
            if (info.absolutePath() == m_folder)
                indexedNames.insert(info.fileName());
            // The user's files the study's objects are on, so that the try's copies may take their rows
            // (usersFilesNoted), and a retry that takes such an object out gives the row back.
            if (file.ownCopy == false && info.absolutePath() != m_folder
                && before.usersFiles.value(file.sopInstanceUid) != file.filePath)
                lines += noteLine(file.sopInstanceUid, file.filePath);
        }
        const QHash<QString, QString> objectFiles = index->studyObjectFiles(studyUid);
        for (auto it = objectFiles.cbegin(); it != objectFiles.cend(); ++it)
            heldObjects.insert(it.key());
    }
    const QHash<QString, QString>& tried = before.objects;
    for (int i = 0; i < fileCount; ++i) {
        const QString object = objects.value(i);
        const QString name = RemoteParallelDownloadWorker::fileNameFor(object, i);
        if (object.isEmpty() ? indexedNames.contains(name) : heldObjects.contains(object))
            continue;
        if (const auto it = tried.constFind(name); it != tried.cend() && *it == object)
            continue;
        lines += name.toUtf8() + '\t' + object.toUtf8() + '\n';
    }
    if (lines.isEmpty())
        return true;
    return appendToRecord(recordPath(), m_folder, lines, error);
}

QHash<QString, QString> RemoteDownloadTries::usersFilesNoted() const
{
    return readRecord(recordPath()).usersFiles;
}

bool RemoteDownloadTries::settle(db::Database* index, const QString& studyUid, const QSet<QString>& current,
                                 Outcome* outcome, QString* error) const
{
    *outcome = Outcome();
    if (index) {
        const Tried tried = readRecord(recordPath());
        QList<db::IndexedFile> leftovers;
        for (const db::IndexedFile& file : index->studyFiles(studyUid)) {
            if (current.contains(file.sopInstanceUid) || file.ownCopy == false)
                continue;
            const QFileInfo info(file.filePath);
            const auto it = tried.objects.constFind(info.fileName());
            if (info.absolutePath() != m_folder || it == tried.objects.cend()
                || (!it->isEmpty() && *it != file.sopInstanceUid))
                continue;
            leftovers << file;
        }
        // A user's file that held the object before a try's copy took its row takes it back: what the
        // user's own import holds stays in the study, and only the try's copy goes.
        QStringList paths;
        for (const db::IndexedFile& file : std::as_const(leftovers)) {
            const QString users = tried.usersFiles.value(file.sopInstanceUid);
            std::optional<dicom::DicomFileSummary> summary =
                users.isEmpty() ? std::nullopt : dicom::readFileSummary(users);
            if (summary && summary->sopInstanceUid == file.sopInstanceUid
                && summary->studyInstanceUid == studyUid) {
                summary->ownCopy = false;
                if (index->indexFile(*summary))
                    continue;
            }
            paths << file.filePath;
        }
        // The rows go first: the index never names a file that is gone.
        if (!index->forgetFiles(paths)) {
            *error = QStringLiteral("Объекты прежней незавершённой попытки скачивания, которых на удалённом "
                                    "компьютере больше нет, не удалось убрать из локальной базы: %1")
                         .arg(index->lastError());
            return false;
        }
        outcome->removed = int(paths.size());
        const platform::OwnFileDoor door({m_folder});
        for (const db::IndexedFile& file : std::as_const(leftovers)) {
            using Result = platform::OwnFileDoor::Outcome;
            const Result result = door.remove(
                file.filePath,
                platform::OwnProof::recorded(file.filePath, file.fileSize.value_or(-1), file.contentDigest));
            if (result == Result::Done || result == Result::Gone)
                door.remove(file.filePath + QStringLiteral(".done"), platform::OwnProof::ownName());
            else
                outcome->stayed << QDir::toNativeSeparators(file.filePath);
        }
        // What the tries got of such objects without finishing it: only files their records prove the
        // tries' go, never a file by its name alone.
        const Descriptor folder(::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        for (auto it = tried.objects.cbegin(); folder.fd() >= 0 && it != tried.objects.cend(); ++it) {
            if (it->isEmpty() || current.contains(*it)
                || platform::FileId::of(QDir(m_folder).filePath(it.key() + QStringLiteral(".done"))).known)
                continue;
            using Result = platform::OwnFileDoor::Outcome;
            const Result result = removePartial(door, folder.fd(), m_folder, it.key());
            if (result == Result::Done)
                ++outcome->partials;
            else if (result != Result::Gone)
                outcome->stayed << QDir::toNativeSeparators(QDir(m_folder).filePath(it.key()));
        }
        const QHash<QString, QString> held = index->studyObjectFiles(studyUid);
        for (auto it = held.cbegin(); it != held.cend(); ++it)
            if (!current.contains(it.key()))
                ++outcome->unlisted;
    }
    // Every file of the study here is now one of a whole download.
    Descriptor fd;
    int cause = 0;
    if (!openRecord(recordPath(), O_WRONLY, &fd, &cause)) {
        if (cause != ENOENT)
            outcome->unsettled = cause == kNotOurs ? notOursText(recordPath()) : systemText(cause);
    } else if (::ftruncate(fd.fd(), 0) != 0 || ::fsync(fd.fd()) != 0) {
        outcome->unsettled = systemText(errno);
    }
    return true;
}

QString RemoteDownloadTries::Outcome::text() const
{
    QStringList parts;
    if (removed > 0)
        parts << QStringLiteral("Из исследования убраны объекты, которые получила прежняя незавершённая попытка "
                                "скачивания, а удалённый компьютер их больше не называет: %1.")
                     .arg(removed);
    if (partials > 0)
        parts << QStringLiteral("Удалены недокачанные файлы прежней незавершённой попытки скачивания объектов, "
                                "которых удалённый компьютер больше не называет: %1.")
                     .arg(partials);
    if (!stayed.isEmpty())
        parts << QStringLiteral("Их файлы не удалось удалить: %1. В исследование они больше не входят; программа "
                                "оставила их как есть, потому что не может признать их своими или удалить, — если "
                                "они не нужны, удалите их вручную.")
                     .arg(stayed.join(QStringLiteral(", ")));
    if (unlisted > 0)
        parts << QStringLiteral("В исследовании есть объекты, которых нет в списке удалённого компьютера: %1. "
                                "Их дало прежнее полное скачивание или другой источник, и они оставлены в "
                                "исследовании.")
                     .arg(unlisted);
    if (!unsettled.isEmpty())
        parts << QStringLiteral("Не удалось отметить в папке загрузки, что исследование скачано полностью (%1): "
                                "при следующем скачивании объекты, которых удалённый компьютер тогда не назовёт, "
                                "могут быть убраны из исследования.")
                     .arg(unsettled);
    return parts.join(QStringLiteral("\n\n"));
}
