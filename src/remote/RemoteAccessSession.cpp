#include "RemoteAccessSession.h"

#include "RemoteAccessServer.h"
#include "RemoteProtocol.h"
#include "RemoteTunnelSocket.h"

#include "db/Database.h"
#include "dicom/DicomCopyWriters.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsNetworkClient.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QSaveFile>

namespace {

// So much of a file waits in the tunnel's queue at most; the next chunk is read once it has drained.
constexpr qint64 streamWindowBytes = 2 * remoteproto::fileChunkBytes;

// The SHA-256 of a transfer copy, kept beside it: a copy never changes once made.
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
    QSaveFile out(stored.fileName());
    if (out.open(QIODevice::WriteOnly) && out.write(hex) == hex.size())
        out.commit();
    return hex;
}

// A study UID becomes a folder name of the transfer cache: nothing that could leave the cache.
bool isSafeFolderName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
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
}

RemoteAccessSession::~RemoteAccessSession() = default;

void RemoteAccessSession::closeConnection()
{
    ended = true;
    streaming.reset();
    socket->disconnect(this);
    socket->close();
}

void RemoteAccessSession::onFrameReceived(const QByteArray& plaintext)
{
    // A client asks again only once it has given the file up.
    streaming.reset();
    QJsonObject request;
    if (!remoteproto::parseMessage(plaintext, &request)) {
        sendError(QStringLiteral("некорректный запрос"));
        return;
    }
    handleRequest(request);
}

void RemoteAccessSession::onDisconnectedFromRelay(const QString& reason)
{
    if (ended)
        return;
    ended = true;
    qWarning() << "RemoteAccessSession: клиент отключился, причина:" << reason;
    emit finished(this);
}

void RemoteAccessSession::handleRequest(const QJsonObject& request)
{
    const QString type = remoteproto::typeOf(request);
    if (type == QLatin1String("listStudies")) {
        QJsonArray studies;
        for (const db::StudyRecord& study : db->allStudies())
            studies.append(remoteproto::studyObject(study));
        sendMessage(remoteproto::message(QStringLiteral("studies"), {{QStringLiteral("studies"), studies}}));
    } else if (type == QLatin1String("getFileList")) {
        const QString studyUid = remoteproto::readString(request, QStringLiteral("studyUid"));
        sendMessage(remoteproto::message(QStringLiteral("fileList"),
                                         {{QStringLiteral("studyUid"), studyUid},
                                          {QStringLiteral("count"), int(db->studyFilePaths(studyUid).size())}}));
    } else if (type == QLatin1String("getFile")) {
        sendFile(remoteproto::readString(request, QStringLiteral("studyUid")),
                 remoteproto::readInt(request, QStringLiteral("index"), -1),
                 remoteproto::readInt64(request, QStringLiteral("offset")));
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
    }
}

void RemoteAccessSession::sendFile(const QString& studyUid, int index, qint64 offset)
{
    const QStringList paths = db->studyFilePaths(studyUid);
    if (index < 0 || index >= paths.size()) {
        sendError(QStringLiteral("некорректный индекс файла: %1").arg(index));
        return;
    }
    if (!isSafeFolderName(studyUid)) {
        sendError(QStringLiteral("не удалось подготовить файл к передаче (индекс %1): %2")
                      .arg(index)
                      .arg(QStringLiteral("недопустимый UID исследования")));
        return;
    }
    const QDir studyCache(QDir(RemoteAccessServer::transferCacheRoot()).filePath(studyUid));
    QDir().mkpath(studyCache.path());
    const QString copyPath = studyCache.filePath(QStringLiteral("%1.dcm").arg(index));
    const QString sourcePath = paths.at(index);
    // A copy made once is reused for every later request, so a resumed download gets the same bytes.
    if (!QFile::exists(copyPath)) {
        // Written under another name first: a copy cut short (a crash, a full disk) must never be taken
        // for a whole one by the next request.
        const QString partPath = copyPath + QStringLiteral(".part");
        QFile::remove(partPath);
        QString error;
        bool made = dicom::writeCompressedCopy(sourcePath, partPath, &error);
        if (made && !QFile::rename(partPath, copyPath)) {
            made = false;
            error = QStringLiteral("Не удалось скопировать: %1").arg(sourcePath);
        }
        if (!made) {
            QFile::remove(partPath);
            sendError(QStringLiteral("не удалось подготовить файл к передаче (индекс %1): %2").arg(index).arg(error));
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
                                      {QStringLiteral("sha256"), QString::fromLatin1(digest)}}));
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
    if (serverIndex >= 0 && serverIndex < config.servers.size() && !studyUid.isEmpty()) {
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
    socket->sendFrame(remoteproto::toFrame(message));
}

void RemoteAccessSession::sendError(const QString& message)
{
    sendMessage(remoteproto::errorMessage(message));
}
