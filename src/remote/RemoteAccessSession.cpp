#include "remote/RemoteAccessSession.h"

#include "remote/RemoteAccessServer.h"
#include "remote/RemoteProtocol.h"
#include "remote/RemoteTunnelSocket.h"

#include "db/Database.h"
#include "db/IndexReader.h"
#include "dicom/DicomCopyWriters.h"
#include "dicom/DicomFileSummary.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsNetworkClient.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "platform/OwnFileDoor.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QUuid>
#include <QtConcurrent/QtConcurrentRun>

#include <sys/stat.h>

namespace {

// So much of a file waits in the tunnel's queue at most; the next chunk is read once it has drained.
constexpr qint64 streamWindowBytes = 2 * remoteproto::fileChunkBytes;

// What a transfer copy is made from: the source's path, size and modification time, and what no user
// tool can set back, its inode number and inode change time; empty when the source is gone. A copy
// whose source no longer matches is made again, so a file edited, replaced or imported anew is never
// served as it was, nor one restored with its old size and time (a backup, "cp -p", "rsync -a").
QByteArray sourceIdentity(const QString& sourcePath)
{
    const QString path = QFileInfo(sourcePath).absoluteFilePath();
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return {};
    return QStringLiteral("%1\n%2\n%3\n%4.%5\n%6")
        .arg(path)
        .arg(qint64(status.st_size))
        .arg(qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000)
        .arg(qint64(status.st_ctim.tv_sec))
        .arg(qint64(status.st_ctim.tv_nsec), 9, 10, QLatin1Char('0'))
        .arg(quint64(status.st_ino))
        .toUtf8();
}

QByteArray readSmallFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(65536) : QByteArray();
}

// The transfer cache holds nothing but the copies this server made, and what it keeps beside them:
// its files go and are replaced by their names alone.
platform::OwnFileDoor cacheDoor()
{
    return platform::OwnFileDoor({RemoteAccessServer::transferCacheRoot()},
                                 QFileInfo(RemoteAccessServer::transferCacheRoot()).path());
}

bool writeWhole(const QString& path, const QByteArray& bytes)
{
    const QString part = QStringLiteral("%1.writing-%2").arg(path, QUuid::createUuid().toString(QUuid::Id128));
    QFile out(part);
    const bool written = out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes) == bytes.size()
                         && out.flush();
    out.close();
    const platform::FileId made = platform::FileId::of(part);
    if (written && cacheDoor().rename(part, made, path, platform::OwnProof::ownName()) == platform::OwnFileDoor::Outcome::Done)
        return true;
    cacheDoor().remove(part, platform::OwnProof::made(made));
    return false;
}

// The SHA-256 of a transfer copy, kept beside it and made again with the copy.
QByteArray copyDigest(const QString& copyPath)
{
    QFile stored(copyPath + QStringLiteral(".sha256"));
    if (stored.open(QIODevice::ReadOnly)) {
        const QByteArray text = stored.read(65);
        if (remoteproto::isSha256Hex(text))
            return text;
    }
    QFile copy(copyPath);
    remoteproto::Sha256 hash;
    if (!copy.open(QIODevice::ReadOnly) || !hash.add(&copy))
        return {};
    const QByteArray hex = hash.hex();
    if (hex.isEmpty())
        return {};
    writeWhole(stored.fileName(), hex);
    return hex;
}

// Makes the copy under another name first and renames it when whole, so a copy cut short (a crash, a
// full disk) is never taken for a whole one; its source identity is written last, so a copy without
// it is made again.
bool makeTransferCopy(const QString& sourcePath, const QString& copyPath, const QByteArray& identity,
                      QString* error)
{
    const platform::OwnFileDoor door = cacheDoor();
    const QString partPath = copyPath + QStringLiteral(".part");
    for (const QString& stale : {copyPath + QStringLiteral(".source"), copyPath + QStringLiteral(".sha256"), partPath})
        door.remove(stale, platform::OwnProof::ownName());
    bool made = dicom::writeCompressedCopy(sourcePath, partPath, error);
    if (made) {
        made = door.rename(partPath, platform::FileId::of(partPath), copyPath, platform::OwnProof::ownName())
               == platform::OwnFileDoor::Outcome::Done;
        if (!made)
            *error = QStringLiteral("Не удалось скопировать: %1").arg(sourcePath);
    }
    if (!made) {
        door.remove(partPath, platform::OwnProof::ownName());
        return false;
    }
    writeWhole(copyPath + QStringLiteral(".source"), identity);
    return true;
}

// The one question this host asks of the register of studies being worked on.
bool studyBeingReceived(const QString& studyUid)
{
    return pacs::PacsRetrieveSession::isReceiving(studyUid);
}

QString indexReplacedText()
{
    return QStringLiteral("файл базы исследований на удалённом компьютере заменён другим, пока программа работала: "
                          "перезапустите на нём Kalvenor");
}

bool asksForStudyList(const QByteArray& plaintext)
{
    QJsonObject request;
    return remoteproto::parseMessage(plaintext, &request)
           && remoteproto::typeOf(request) == QLatin1String("listStudies");
}

QJsonObject studiesMessage(const QList<db::StudyRecord>& records)
{
    QJsonArray studies;
    for (const db::StudyRecord& study : records)
        studies.append(remoteproto::studyObject(study));
    return remoteproto::message(QStringLiteral("studies"), {{QStringLiteral("studies"), studies}});
}

} // namespace

RemoteAccessSession::RemoteAccessSession(RemoteTunnelSocket* socket, db::Database* db, RemoteAccessServer* server,
                                         QObject* parent)
    : QObject(parent), socket(socket), db(db), server(server)
{
    socket->setParent(this);
    connect(socket, &RemoteTunnelSocket::frameReceived, this, &RemoteAccessSession::onFrameReceived);
    connect(socket, &RemoteTunnelSocket::disconnectedFromRelay, this, &RemoteAccessSession::onDisconnectedFromRelay);
    connect(socket, &RemoteTunnelSocket::framesWritten, this, &RemoteAccessSession::continueFile);
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, &RemoteAccessSession::onIdle);
    idleTimer.start(server->sessionLimits().firstRequestMs);
}

RemoteAccessSession::~RemoteAccessSession()
{
    // Not waited for: the job holds nothing of the session's (the index's path and file, its own
    // connection, the stop flag it shares) and gives up at its next page. Its watcher goes with the
    // session, so its end reaches nobody. The application waits for the thread pool before it ends.
    stopStudyList();
}

void RemoteAccessSession::stopStudyList()
{
    if (studyListStop)
        *studyListStop = true;
}

void RemoteAccessSession::closeConnection()
{
    ended = true;
    stopStudyList();
    streaming.reset();
    idleTimer.stop();
    socket->disconnect(this);
    socket->close();
}

void RemoteAccessSession::endSession(const QString& reason)
{
    if (ended)
        return;
    qWarning() << "RemoteAccessSession: подключение закрыто:" << reason;
    closeConnection();
    // Not at once: the server may be walking its lists of sessions and retrieves right now.
    QMetaObject::invokeMethod(this, [this] { emit finished(this); }, Qt::QueuedConnection);
}

void RemoteAccessSession::onIdle()
{
    const int idleMs = server->sessionLimits().idleMs;
    if (streaming || server->hasPacsRetrieve(this)) {
        idleTimer.start(idleMs);
        return;
    }
    endSession(QStringLiteral("клиент не присылал запросов %1 с").arg(idleTimer.interval() / 1000));
}

void RemoteAccessSession::onFrameReceived(const QByteArray& plaintext)
{
    // A client asks again only once it has given the file up.
    streaming.reset();
    if (plaintext.size() > maxRequestBytes) {
        sendError(QStringLiteral("запрос слишком велик: %1 байт").arg(plaintext.size()));
        endSession(QStringLiteral("запрос размером %1 байт").arg(plaintext.size()));
        return;
    }
    if (studyList) {
        if (waitingRequests.size() >= maxWaitingRequests) {
            endSession(QStringLiteral("ждут ответа более %1 запросов").arg(maxWaitingRequests));
            return;
        }
        if (asksForStudyList(plaintext) && ++waitingStudyLists > maxWaitingStudyLists) {
            endSession(QStringLiteral("ждут ответа более %1 запросов списка исследований").arg(maxWaitingStudyLists));
            return;
        }
        waitingRequests << plaintext;
        return;
    }
    answer(plaintext);
}

void RemoteAccessSession::answer(const QByteArray& plaintext)
{
    QJsonObject request;
    if (!remoteproto::parseMessage(plaintext, &request)) {
        sendError(QStringLiteral("некорректный запрос"));
        return;
    }
    if (handleRequest(request) && !ended)
        idleTimer.start(server->sessionLimits().idleMs);
}

void RemoteAccessSession::onDisconnectedFromRelay(const QString& reason)
{
    if (ended)
        return;
    ended = true;
    idleTimer.stop();
    qWarning() << "RemoteAccessSession: клиент отключился, причина:" << reason;
    emit finished(this);
}

RemoteAccessSession::FileList RemoteAccessSession::studyFiles(const QString& studyUid)
{
    // The stamp is read first: a change that lands before the list is read shows as a new stamp next time.
    const std::pair<qint64, qint64> stamp = db->changeStamp();
    const bool stampKnown = stamp != std::pair<qint64, qint64>{0, 0};
    if (!fileLists.isEmpty() && (!stampKnown || fileLists.constFirst().stamp != stamp))
        fileLists.clear(); // every list read before the change is stale
    for (qsizetype i = 0; i < fileLists.size(); ++i) {
        if (fileLists.at(i).studyUid == studyUid) {
            fileLists.move(i, fileLists.size() - 1);
            return fileLists.constLast();
        }
    }
    FileList list{studyUid, stamp, db->studyFilePaths(studyUid), {}, {}};
    if (!list.paths.isEmpty()) {
        QHash<QString, QString> objectOf;
        for (const db::IndexedFile& file : db->studyFiles(studyUid))
            objectOf.insert(file.filePath, file.sopInstanceUid);
        list.objects.reserve(list.paths.size());
        for (const QString& path : std::as_const(list.paths)) {
            const QString object = objectOf.value(path);
            if (!list.positions.contains(object))
                list.positions.insert(object, int(list.objects.size()));
            list.objects.append(object);
        }
    }
    // Only studies that exist are kept, and only a few: whatever UIDs a client makes up cost nothing.
    if (stampKnown && !list.paths.isEmpty()) {
        if (fileLists.size() >= maxCachedFileLists)
            fileLists.removeFirst();
        fileLists.append(list);
    }
    return list;
}

bool RemoteAccessSession::refusedWhileReceived(const QString& studyUid)
{
    if (studyUid.isEmpty() || !studyBeingReceived(studyUid))
        return false;
    sendMessage(remoteproto::finalErrorMessage(
        QStringLiteral("Исследование сейчас загружается с PACS-сервера на удалённом компьютере (получено объектов: "
                       "%1) — скачайте его, когда загрузка закончится.")
            .arg(studyFiles(studyUid).paths.size())));
    return true;
}

bool RemoteAccessSession::handleRequest(const QJsonObject& request)
{
    const QString type = remoteproto::typeOf(request);
    if (type == QLatin1String("listStudies")) {
        startStudyList();
    } else if ((type == QLatin1String("getFileList") || type == QLatin1String("getFile")) && indexReplaced()) {
        sendError(indexReplacedText());
    } else if (type == QLatin1String("getFileList")) {
        const QString studyUid = remoteproto::readString(request, QStringLiteral("studyUid"));
        if (!refusedWhileReceived(studyUid)) {
            const FileList list = studyFiles(studyUid);
            QJsonObject keys{{QStringLiteral("studyUid"), studyUid}, {QStringLiteral("count"), int(list.paths.size())}};
            // A file whose object is not known (its rows went between the two reads) leaves the list to
            // positions alone, as an older host gives it, rather than have the client refuse it.
            if (!list.objects.isEmpty() && !list.objects.contains(QString()))
                keys.insert(QStringLiteral("sopInstanceUids"), QJsonArray::fromStringList(list.objects));
            sendMessage(remoteproto::message(QStringLiteral("fileList"), keys));
        }
    } else if (type == QLatin1String("getFile")) {
        const QString studyUid = remoteproto::readString(request, QStringLiteral("studyUid"));
        if (!refusedWhileReceived(studyUid))
            sendFile(studyUid, remoteproto::readInt(request, QStringLiteral("index"), -1),
                     remoteproto::readInt64(request, QStringLiteral("offset")),
                     remoteproto::readString(request, QStringLiteral("sopInstanceUid")));
    } else if (type == QLatin1String("listPacsServers")) {
        const pacs::PacsConfig config = pacs::loadPacsConfig();
        QJsonArray servers;
        for (int i = 0; i < config.servers.size(); ++i)
            servers.append(remoteproto::serverObject(i, config.servers.at(i)));
        sendMessage(remoteproto::message(QStringLiteral("pacsServers"), {{QStringLiteral("servers"), servers}}));
    } else if (type == QLatin1String("pacsFind")) {
        handlePacsFind(request);
    } else if (type == QLatin1String("pacsRetrieve")) {
        handlePacsRetrieve(request);
    } else {
        sendError(QStringLiteral("неизвестная команда: %1").arg(type));
        return false;
    }
    return true;
}

void RemoteAccessSession::startStudyList()
{
    const QString indexPath = db->filePath();
    if (indexPath.isEmpty()) {
        // An index held in memory has no other connection to read it through.
        sendMessage(studiesMessage(db->allStudies()));
        return;
    }
    studyList = new QFutureWatcher<QByteArray>(this);
    connect(studyList, &QFutureWatcherBase::finished, this, &RemoteAccessSession::finishStudyList);
    studyListStop = std::make_shared<std::atomic_bool>(false);
    const db::FileIdentity indexFile = db->openedFile();
    studyList->setFuture(QtConcurrent::run([indexPath, indexFile, stop = studyListStop] {
        std::optional<QList<db::StudyRecord>> studies;
        if (!stop->load()) {
            db::IndexReader reader(indexPath);
            // The file lists come from the index's own connection: a list of another file would name
            // studies whose files it cannot give.
            if (reader.isOpen() && reader.file() != indexFile)
                return remoteproto::toFrame(remoteproto::errorMessage(indexReplacedText()));
            studies = reader.allStudies([&stop] { return stop->load(); });
        }
        // A list nobody waits for any more is not put in its frame, the longest part of the job.
        return studies && !stop->load() ? remoteproto::toFrame(studiesMessage(*studies)) : QByteArray();
    }));
}

bool RemoteAccessSession::indexReplaced() const
{
    const QString indexPath = db->filePath();
    return !indexPath.isEmpty() && db::FileIdentity::of(indexPath) != db->openedFile();
}

void RemoteAccessSession::finishStudyList()
{
    const QByteArray frame = studyList->result();
    studyList->deleteLater();
    studyList = nullptr;
    studyListStop.reset();
    if (frame.isEmpty())
        sendError(QStringLiteral("не удалось прочитать список исследований"));
    else
        sendFrame(frame);
    while (!studyList && !ended && !waitingRequests.isEmpty()) {
        const QByteArray request = waitingRequests.takeFirst();
        if (asksForStudyList(request))
            --waitingStudyLists;
        answer(request);
    }
}

void RemoteAccessSession::sendFile(const QString& studyUid, int index, qint64 offset, const QString& object)
{
    const FileList list = studyFiles(studyUid);
    // The position in the list as it is now: the client's index may name another file since the study
    // was removed and imported again, or lost a series.
    int at = index;
    if (!object.isEmpty()) {
        at = list.positions.value(object, -1);
        if (at < 0) {
            sendMessage(remoteproto::finalErrorMessage(
                QStringLiteral("исследование на удалённом компьютере изменилось во время скачивания: объекта %1 в "
                               "нём больше нет — повторите скачивание")
                    .arg(object.left(64))));
            return;
        }
    } else if (index < 0 || index >= list.paths.size()) {
        sendError(QStringLiteral("некорректный индекс файла: %1").arg(index));
        return;
    }
    const QString studyCache = RemoteAccessServer::studyCacheFolder(studyUid);
    if (studyCache.isEmpty()) {
        sendError(QStringLiteral("не удалось подготовить файл к передаче (индекс %1): %2")
                      .arg(index)
                      .arg(QStringLiteral("недопустимый UID исследования")));
        return;
    }
    QDir().mkpath(studyCache);
    const QString copyPath = QDir(studyCache).filePath(QStringLiteral("%1.dcm").arg(at));
    const QString sourcePath = list.paths.at(at);
    // A copy is reused while its source stays as it was, so a resumed download gets the same bytes.
    const QByteArray identity = sourceIdentity(sourcePath);
    if (identity.isEmpty() || !QFile::exists(copyPath)
        || readSmallFile(copyPath + QStringLiteral(".source")) != identity) {
        QString error;
        if (!makeTransferCopy(sourcePath, copyPath, identity, &error)) {
            sendError(QStringLiteral("не удалось подготовить файл к передаче (индекс %1): %2").arg(index).arg(error));
            return;
        }
    }
    // The file at a row's place may hold another object now (another disc's files copied over the
    // folder): that one would reach the client under this study's listing, another patient's image in it.
    if (const QString listed = list.objects.at(at); !listed.isEmpty()) {
        const std::optional<dicom::DicomFileSummary> held = dicom::readFileSummary(copyPath);
        if (!held || held->sopInstanceUid != listed) {
            sendMessage(remoteproto::finalErrorMessage(
                QStringLiteral("исследование на удалённом компьютере изменилось: в файле объекта %1 теперь другой "
                               "снимок — файл не передан, чтобы чужие снимки не попали в это исследование")
                    .arg(listed.left(64))));
            return;
        }
    }
    auto copy = std::make_unique<QFile>(copyPath);
    const QByteArray digest = copyDigest(copyPath);
    if (digest.isEmpty() || !copy->open(QIODevice::ReadOnly)) {
        sendError(QStringLiteral("не удалось открыть файл на сервере (индекс %1)").arg(index));
        return;
    }
    const qint64 size = copy->size();
    if (offset < 0 || offset > size)
        offset = 0;
    if (offset >= 1 && !copy->seek(offset)) {
        sendError(QStringLiteral("не удалось перейти к позиции %1 в файле (индекс %2)").arg(offset).arg(index));
        return;
    }
    qWarning() << "RemoteAccessSession: отправка файла" << index << "(" << size << "байт, с позиции" << offset
               << ") из" << sourcePath;
    sendMessage(remoteproto::message(QStringLiteral("fileHeader"),
                                     {{QStringLiteral("studyUid"), studyUid},
                                      {QStringLiteral("index"), index},
                                      {QStringLiteral("sizeBytes"), double(size)},
                                      {QStringLiteral("offset"), double(offset)},
                                      {QStringLiteral("sha256"), QString::fromLatin1(digest)},
                                      {QStringLiteral("sopInstanceUid"), list.objects.at(at)}}));
    streaming = std::move(copy);
    continueFile();
}

void RemoteAccessSession::continueFile()
{
    while (streaming && socket->queuedBytes() < streamWindowBytes) {
        const QByteArray chunk = streaming->read(remoteproto::fileChunkBytes);
        if (chunk.isEmpty()) {
            qWarning() << "RemoteAccessSession: файл" << streaming->fileName() << "отправлен полностью ("
                       << streaming->pos() << "/" << streaming->size() << "байт)";
            streaming.reset();
            return;
        }
        socket->sendFrame(chunk);
        closeIfPiledUp();
    }
}

void RemoteAccessSession::handlePacsFind(const QJsonObject& request)
{
    const pacs::PacsConfig config = pacs::loadPacsConfig();
    const int serverIndex = remoteproto::readInt(request, QStringLiteral("serverIndex"), -1);
    if (serverIndex < 0 || serverIndex >= config.servers.size()) {
        sendError(QStringLiteral("некорректный индекс PACS-сервера: %1").arg(serverIndex));
        return;
    }
    pacs::StudyQuery query;
    query.patientName = remoteproto::readString(request, QStringLiteral("patientName"));
    query.patientId = remoteproto::readString(request, QStringLiteral("patientId"));
    query.modalities = remoteproto::readString(request, QStringLiteral("modality"));
    query.dateFrom = remoteproto::readString(request, QStringLiteral("dateFrom"));
    query.dateTo = remoteproto::readString(request, QStringLiteral("dateTo"));

    const pacs::PacsServer& target = config.servers.at(serverIndex);
    QString error;
    bool incomplete = false;
    const QList<pacs::StudyQueryRow> rows = pacs::findStudies(target, config, query, &error, &incomplete);
    // Rows found before an error still answer the search, marked as cut short when they are.
    if (error.isEmpty() || !rows.isEmpty()) {
        QJsonArray results;
        for (const pacs::StudyQueryRow& row : rows)
            results.append(remoteproto::pacsResultObject(row));
        QJsonObject keys{{QStringLiteral("results"), results}};
        if (incomplete)
            keys.insert(QStringLiteral("incomplete"), true);
        sendMessage(remoteproto::message(QStringLiteral("pacsResults"), keys));
        return;
    }
    qWarning() << "RemoteAccessSession: C-FIND не удался, сервер" << target.host << ":" << target.port << "AE="
               << target.aeTitle << "локальный AE=" << config.localAeTitle << "ошибка:" << error;
    sendError(QStringLiteral("C-FIND (%1:%2, AE %3): %4").arg(target.host).arg(target.port).arg(target.aeTitle, error));
}

void RemoteAccessSession::handlePacsRetrieve(const QJsonObject& request)
{
    const pacs::PacsConfig config = pacs::loadPacsConfig();
    const int serverIndex = remoteproto::readInt(request, QStringLiteral("serverIndex"), -1);
    const QString studyUid = remoteproto::readString(request, QStringLiteral("studyUid"));
    if (serverIndex >= 0 && serverIndex < config.servers.size() && pacs::isValidDicomUid(studyUid)) {
        // A false result has already been told to this session.
        server->enqueuePacsRetrieve(this, serverIndex, studyUid);
        return;
    }
    sendError(QStringLiteral("некорректный запрос pacsRetrieve"));
}

void RemoteAccessSession::sendPacsRetrieveQueued(int position)
{
    sendMessage(remoteproto::message(QStringLiteral("pacsRetrieveQueued"), {{QStringLiteral("position"), position}}));
}

void RemoteAccessSession::sendPacsRetrieveProgress(int received)
{
    sendMessage(remoteproto::message(QStringLiteral("pacsRetrieveProgress"), {{QStringLiteral("received"), received}}));
}

void RemoteAccessSession::sendPacsRetrieveDone(bool ok, const QString& message, const QString& studyUid,
                                              int receivedFileCount)
{
    if (!ok) {
        sendError(message);
        return;
    }
    sendMessage(remoteproto::message(QStringLiteral("pacsRetrieveDone"),
                                     {{QStringLiteral("studyUid"), studyUid},
                                      {QStringLiteral("receivedFileCount"), receivedFileCount}}));
}

void RemoteAccessSession::sendMessage(const QJsonObject& message)
{
    sendFrame(remoteproto::toFrame(message));
}

void RemoteAccessSession::sendFrame(const QByteArray& frame)
{
    if (ended)
        return;
    socket->sendFrame(frame);
    closeIfPiledUp();
}

void RemoteAccessSession::closeIfPiledUp()
{
    if (socket->queuedBytes() > server->sessionLimits().maxUnsentBytes)
        endSession(
            QStringLiteral("клиент не забирает ответы (не отправлено %1 байт)").arg(socket->queuedBytes()));
}

void RemoteAccessSession::sendError(const QString& message)
{
    sendMessage(remoteproto::errorMessage(message));
}
