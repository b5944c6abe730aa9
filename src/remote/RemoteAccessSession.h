#pragma once
// One paired client of the hosting side. It answers the client's requests one by one from the local
// index, the local PACS configuration and the cache of transfer copies, and hands PACS retrieves to
// the server's queue. It ends when its relay connection ends.

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <memory>

class QFile;
class RemoteAccessServer;
class RemoteTunnelSocket;

namespace db {
class Database;
}

class RemoteAccessSession : public QObject
{
    Q_OBJECT

public:
    // Takes the socket as its child.
    RemoteAccessSession(RemoteTunnelSocket* socket, db::Database* db, RemoteAccessServer* server, QObject* parent);
    ~RemoteAccessSession() override;

    void sendPacsRetrieveQueued(int position);
    void sendPacsRetrieveProgress(int received);
    void sendPacsRetrieveDone(bool ok, const QString& message, const QString& studyUid, int receivedFileCount);
    // Closes the connection; the session then ends without reporting `finished`.
    void closeConnection();

signals:
    void finished(RemoteAccessSession* self);

private slots:
    void onFrameReceived(const QByteArray& plaintext);
    void onDisconnectedFromRelay(const QString& reason);

private:
    void handleRequest(const QJsonObject& request);
    void sendFile(const QString& studyUid, int index, qint64 offset);
    void handlePacsFind(const QJsonObject& request);
    void handlePacsRetrieve(const QJsonObject& request);
    void sendMessage(const QJsonObject& message);
    void sendError(const QString& message);
    // Queues the next chunks of the file being sent while the tunnel has room for them.
    void continueFile();

    RemoteTunnelSocket* socket = nullptr;
    db::Database* db = nullptr;
    RemoteAccessServer* server = nullptr;
    bool ended = false;
    // The transfer copy being streamed, or null.
    std::unique_ptr<QFile> streaming;
};
