#include "remote/RemoteAccessServer.h"

#include "remote/RemoteAccessSession.h"
#include "remote/RemoteTunnelSocket.h"

#include "db/Database.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRequestChecks.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <utility>

RemoteAccessServer::RemoteAccessServer(db::Database* db, QObject* parent) : QObject(parent), db(db)
{
    // A copy must never outlive the data it was made from, whether hosting runs now or not.
    if (db)
        connect(db, &db::Database::studyChanged, this, &RemoteAccessServer::removeStudyCopies);
}

RemoteAccessServer::~RemoteAccessServer()
{
    stop();
}

QStringList RemoteAccessServer::listenerIds(const QString& hostId)
{
    QString base = hostId.trimmed();
    if (base.isEmpty())
        base = QStringLiteral("primary");
    QStringList ids{base};
    for (int i = 0; i < 4; ++i)
        ids << QStringLiteral("%1-w%2").arg(base).arg(i);
    return ids;
}

QString RemoteAccessServer::transferCacheRoot()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("remote_transfer_cache"));
}

QString RemoteAccessServer::studyCacheFolder(const QString& studyUid)
{
    if (studyUid.isEmpty() || studyUid == QLatin1String(".") || studyUid == QLatin1String("..")
        || studyUid.contains(QLatin1Char('/')) || studyUid.contains(QLatin1Char('\\'))
        || studyUid.contains(QChar(0)))
        return {};
    return QDir(transferCacheRoot()).filePath(studyUid);
}

void RemoteAccessServer::start(const QString& relayHost, int relayPort, const QString& relayToken,
                               const QString& fingerprint, const QString& e2eSecret, const QString& hostId)
{
    stop();
    host = relayHost;
    port = relayPort;
    token = relayToken;
    certFingerprint = fingerprint;
    secret = e2eSecret;
    // A configuration from before the secret existed cannot host: only a new installation makes one.
    if (parseTunnelSecret(secret).isEmpty()) {
        emit statusChanged(QStringLiteral("Нет ключа шифрования — настройте сервер заново (\"Настроить сервер\")."));
        return;
    }
    running = true;
    ++generation;

    listeners.clear();
    for (const QString& id : listenerIds(hostId))
        listeners.append(ListenerSlot{id, nullptr});
    for (int i = 0; i < listeners.size(); ++i)
        openListener(i);

    if (!cleanupTimer) {
        cleanupTimer = new QTimer(this);
        connect(cleanupTimer, &QTimer::timeout, this, &RemoteAccessServer::cleanupStaleFiles);
    }
    cleanupTimer->start(cleanupIntervalMs);
    QTimer::singleShot(firstCleanupDelayMs, this, [this] {
        if (running)
            cleanupStaleFiles();
    });
}

void RemoteAccessServer::stop()
{
    running = false;
    for (int i = 0; i < listeners.size(); ++i)
        closeListener(i);
    const QList<RemoteAccessSession*> open = sessions; // each one leaves the list as it ends
    for (RemoteAccessSession* session : open) {
        session->closeConnection();
        onSessionFinished(session);
    }
    if (cleanupTimer)
        cleanupTimer->stop();
}

QString RemoteAccessServer::sessionPrefix() const
{
    return sessions.isEmpty() ? QString() : QStringLiteral("Активных подключений: %1. ").arg(sessions.size());
}

void RemoteAccessServer::openListener(int slotIndex)
{
    // A slot never holds more than one connection.
    if (!running || slotIndex < 0 || slotIndex >= listeners.size() || listeners[slotIndex].socket)
        return;
    auto* socket = new RemoteTunnelSocket(TunnelRole::Host, this);
    listeners[slotIndex].socket = socket;
    // Reports of a socket that has already left its slot (paired, failed once, stopped) are ignored.
    connect(socket, &RemoteTunnelSocket::connectedToPeer, this, [this, slotIndex, socket] {
        if (slotIndex < listeners.size() && listeners[slotIndex].socket == socket)
            onListenerConnectedToPeer(slotIndex);
    });
    connect(socket, &RemoteTunnelSocket::connectionFailed, this, [this, slotIndex, socket](const QString& reason) {
        if (slotIndex < listeners.size() && listeners[slotIndex].socket == socket)
            onListenerConnectionFailed(slotIndex, reason);
    });
    if (slotIndex == 0)
        emit statusChanged(sessionPrefix() + QStringLiteral("Ожидание удалённого подключения…"));
    socket->connectToRelay(host, port, listeners[slotIndex].id, token, certFingerprint, secret);
    const int waitMs = limits.helloWaitMs + QRandomGenerator::global()->bounded(qMax(1, limits.helloWaitMs / 4));
    QTimer::singleShot(waitMs, socket, [this, slotIndex, socket] { recycleSilentListener(slotIndex, socket); });
}

void RemoteAccessServer::closeListener(int slotIndex)
{
    RemoteTunnelSocket* socket = std::exchange(listeners[slotIndex].socket, nullptr);
    if (!socket)
        return;
    // Its late failure report must not reach the slot, which may hold a new listener by then.
    socket->disconnect(this);
    socket->close();
    socket->deleteLater();
}

void RemoteAccessServer::recycleSilentListener(int slotIndex, RemoteTunnelSocket* socket)
{
    // A listener that has the hello is confirmed or given up within moments by the tunnel itself.
    if (!running || slotIndex >= listeners.size() || listeners[slotIndex].socket != socket || socket->hasPeerHello())
        return;
    closeListener(slotIndex);
    openListener(slotIndex);
}

void RemoteAccessServer::onListenerConnectedToPeer(int slotIndex)
{
    RemoteTunnelSocket* socket = listeners[slotIndex].socket;
    listeners[slotIndex].socket = nullptr;
    socket->disconnect(this);
    if (sessions.size() >= limits.maxSessions) {
        qWarning() << "RemoteAccessServer: новое подключение закрыто — уже открыто подключений:"
                   << sessions.size();
        socket->close();
        socket->deleteLater();
        openListener(slotIndex);
        return;
    }
    auto* session = new RemoteAccessSession(socket, db, this, this);
    connect(session, &RemoteAccessSession::finished, this, &RemoteAccessServer::onSessionFinished);
    sessions.append(session);
    emit statusChanged(QStringLiteral("Удалённый клиент подключен (активных: %1)").arg(sessions.size()));
    openListener(slotIndex);
}

void RemoteAccessServer::onListenerConnectionFailed(int slotIndex, const QString& reason)
{
    if (RemoteTunnelSocket* socket = listeners[slotIndex].socket) {
        listeners[slotIndex].socket = nullptr;
        socket->disconnect(this);
        // The report may come from deep inside the socket's own teardown (a refused certificate aborts
        // it there): closing it re-entrantly would touch a half-closed connection, so it waits a turn.
        QMetaObject::invokeMethod(
            socket,
            [socket] {
                socket->close();
                socket->deleteLater();
            },
            Qt::QueuedConnection);
    }
    if (slotIndex == 0)
        emit statusChanged(sessionPrefix() + QStringLiteral("Переподключение к серверу… (%1)").arg(reason));
    QTimer::singleShot(reconnectDelayMs, this, [this, slotIndex, startedBy = generation] {
        if (startedBy == generation)
            openListener(slotIndex);
    });
}

void RemoteAccessServer::onSessionFinished(RemoteAccessSession* session)
{
    if (!sessions.contains(session))
        return; // already let go (a session that closes itself reports a turn later)
    if (session == currentRetrieveSession) {
        currentRetrieveSession = nullptr;
        currentRetrieveStudyUid.clear();
    }
    const qsizetype before = retrieveQueue.size();
    retrieveQueue.removeIf([session](const QueuedPacsRetrieve& queued) { return queued.session == session; });
    if (retrieveQueue.size() != before)
        notifyQueuePositions();
    sessions.removeAll(session);
    session->deleteLater();
    emit statusChanged(QStringLiteral("Клиент отключился (активных: %1)").arg(sessions.size()));
}

bool RemoteAccessServer::hasPacsRetrieve(const RemoteAccessSession* session) const
{
    return (retrieveActive && currentRetrieveSession == session)
           || std::any_of(retrieveQueue.cbegin(), retrieveQueue.cend(),
                          [session](const QueuedPacsRetrieve& queued) { return queued.session == session; });
}

bool RemoteAccessServer::enqueuePacsRetrieve(RemoteAccessSession* session, int serverIndex, const QString& studyUid)
{
    // One client cannot fill the queue: each of its places would cost every other client a message.
    if (hasPacsRetrieve(session)) {
        session->sendPacsRetrieveDone(false,
                                      QStringLiteral("Предыдущий запрос на получение исследования с PACS "
                                                     "от этого подключения ещё не завершён."),
                                      studyUid, 0);
        return false;
    }
    if (!retrieveActive)
        return startPacsRetrieve(session, serverIndex, studyUid);
    const int position = int(retrieveQueue.size()) + 1;
    retrieveQueue.append(QueuedPacsRetrieve{session, serverIndex, studyUid, position});
    session->sendPacsRetrieveQueued(position);
    return true;
}

bool RemoteAccessServer::startPacsRetrieve(RemoteAccessSession* session, int serverIndex, const QString& studyUid)
{
    const pacs::PacsConfig config = pacs::loadPacsConfig();
    if (serverIndex < 0 || serverIndex >= config.servers.size()) {
        if (session)
            session->sendPacsRetrieveDone(
                false,
                QStringLiteral("PACS-сервер с этим номером больше не настроен на удалённом компьютере (конфигурация "
                               "изменилась, пока запрос ждал в очереди)."),
                studyUid, 0);
        return false;
    }
    if (!coordinator) {
        coordinator = new pacs::PacsOpenCoordinator(db, this);
        connect(coordinator, &pacs::PacsOpenCoordinator::fileReceived, this, &RemoteAccessServer::onRetrieveProgress);
        connect(coordinator, &pacs::PacsOpenCoordinator::finished, this, &RemoteAccessServer::onRetrieveFinished);
        // A retrieve's end is told to the peer that asked for it, and only while that peer is here.
        coordinator->setEndHeard([this] { return currentRetrieveSession != nullptr; });
    }
    retrieveActive = true;
    currentRetrieveSession = session;
    currentRetrieveStudyUid = studyUid;
    coordinator->startDownload(config.servers.at(serverIndex), config, studyUid,
                               QDir(pacs::pacsDownloadsRoot()).filePath(studyUid), pacs::PacsOpenCoordinator::ToArchive);
    return true;
}

void RemoteAccessServer::onRetrieveProgress(int count)
{
    if (currentRetrieveSession)
        currentRetrieveSession->sendPacsRetrieveProgress(count);
}

void RemoteAccessServer::onRetrieveFinished(bool ok, const QString& message, int count)
{
    RemoteAccessSession* session = currentRetrieveSession;
    const QString studyUid = currentRetrieveStudyUid;
    currentRetrieveSession = nullptr;
    currentRetrieveStudyUid.clear();
    retrieveActive = false;
    if (session)
        session->sendPacsRetrieveDone(ok, message, studyUid, count);
    startQueuedRetrieves();
}

void RemoteAccessServer::startQueuedRetrieves()
{
    if (startingQueued)
        return;
    startingQueued = true;
    // A queued request whose server has gone, or whose retrieve fails at once, ends inside
    // startPacsRetrieve; the next one then gets its turn here instead of waiting for a retrieve that
    // nothing would start.
    while (!retrieveActive && !retrieveQueue.isEmpty()) {
        const QueuedPacsRetrieve head = retrieveQueue.takeFirst();
        startPacsRetrieve(head.session, head.serverIndex, head.studyUid);
    }
    startingQueued = false;
    notifyQueuePositions();
}

void RemoteAccessServer::notifyQueuePositions()
{
    for (int i = 0; i < retrieveQueue.size(); ++i) {
        QueuedPacsRetrieve& queued = retrieveQueue[i];
        if (queued.toldPosition == i + 1)
            continue;
        queued.toldPosition = i + 1;
        queued.session->sendPacsRetrieveQueued(i + 1);
    }
}

void RemoteAccessServer::removeStudyCopies(const QString& studyUid)
{
    const QString folder = studyCacheFolder(studyUid);
    if (!folder.isEmpty() && QFileInfo::exists(folder))
        pacs::removeTreeInside(folder, transferCacheRoot());
}

void RemoteAccessServer::cleanupStaleFiles()
{
    // Only the transfer cache is cleaned: its folders hold nothing but the copies this server made for
    // a client. The retrieved studies' folder is left to the start-up sweep, which removes only the
    // program's own leftovers there: a folder no indexed study names may be a user's own, or hold the
    // images of studies an older index copy no longer lists.
    const QString cacheRoot = transferCacheRoot();
    const QString dataRoot = QFileInfo(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                                 .canonicalFilePath();
    const QString canonicalCache = QFileInfo(cacheRoot).canonicalFilePath();
    // A cache folder that is a link out of the data folder leads to files this server never wrote.
    if (dataRoot.isEmpty() || !canonicalCache.startsWith(dataRoot + QLatin1Char('/')))
        return;
    const QDateTime now = QDateTime::currentDateTime();
    for (const QFileInfo& info : QDir(cacheRoot).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks))
        if (info.lastModified().msecsTo(now) >= transferCacheMaxAgeMs &&
            studyCacheFolder(info.fileName()) == info.absoluteFilePath())
            pacs::removeTreeInside(info.absoluteFilePath(), cacheRoot);
}
