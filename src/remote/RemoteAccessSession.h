#pragma once
// One paired client of the hosting side. It answers the client's requests one by one from the local
// index, the local PACS configuration and the cache of transfer copies, and hands PACS retrieves to
// the server's queue. It ends when its relay connection ends, or closes itself when the client asks
// nothing valid for too long, leaves too much of its replies unread (the server's session limits) or
// sends a request larger than any request needs.

#include <QByteArray>
#include <QFutureWatcher>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <memory>
#include <utility>

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
    // File lists kept for the requests to come.
    int cachedFileListCount() const { return int(fileLists.size()); }

    // No request needs more: a larger one is refused and its session closed, so a client cannot make
    // the host hold what it sends.
    static constexpr qint64 maxRequestBytes = 8192;
    // A download asks for one study's files in turn, a parallel one for a few studies at once.
    static constexpr int maxCachedFileLists = 4;
    // Requests that may wait while the study list is made; a client that sends more is closed.
    static constexpr int maxWaitingRequests = 256;
    // Of them, requests for the study list: a client waits for its list before it asks again, and
    // one that does not would keep the host making lists back to back.
    static constexpr int maxWaitingStudyLists = 2;

signals:
    void finished(RemoteAccessSession* self);

private slots:
    void onFrameReceived(const QByteArray& plaintext);
    void onDisconnectedFromRelay(const QString& reason);

private:
    struct FileList
    {
        QString studyUid;
        std::pair<qint64, qint64> stamp;
        QStringList paths;
        // The SOP Instance UID of the object in each file, and each object's position.
        QStringList objects;
        QHash<QString, int> positions;
    };

    void answer(const QByteArray& plaintext);
    // False for a request of no known type.
    bool handleRequest(const QJsonObject& request);
    // The whole archive's list is read and put in its frame on a worker thread, through a connection
    // of that job's own: the hosting doctor's window goes on meanwhile. Requests that come in the
    // meantime are answered after it, in turn. A session that goes stops the job without waiting.
    void startStudyList();
    void finishStudyList();
    void stopStudyList();
    // The index file is no longer the one the index's own connection reads (a copy restored under
    // its name): the file lists would not be the study list's.
    bool indexReplaced() const;
    // The study's files as the index lists them now, read again only when the index has changed.
    FileList studyFiles(const QString& studyUid);
    // A study whose files are still arriving is answered with a refusal that says so, never as if whole;
    // true when it was refused.
    bool refusedWhileReceived(const QString& studyUid);
    // `object`, when given, is the one the client was listed at `index`: served wherever it lies now.
    void sendFile(const QString& studyUid, int index, qint64 offset, const QString& object);
    void handlePacsFind(const QJsonObject& request);
    void handlePacsRetrieve(const QJsonObject& request);
    void sendMessage(const QJsonObject& message);
    void sendFrame(const QByteArray& frame);
    void sendError(const QString& message);
    // Queues the next chunks of the file being sent while the tunnel has room for them.
    void continueFile();
    // Closes the connection and reports `finished` a turn later.
    void endSession(const QString& reason);
    // Ends the session once more of its replies wait unsent than the server's limit allows.
    void closeIfPiledUp();
    void onIdle();

    RemoteTunnelSocket* socket = nullptr;
    db::Database* db = nullptr;
    RemoteAccessServer* server = nullptr;
    bool ended = false;
    // The transfer copy being streamed, or null.
    std::unique_ptr<QFile> streaming;
    QTimer idleTimer;
    // Lists of studies in the index, the latest asked for last.
    QList<FileList> fileLists;
    // The study list being made, and the requests that came since, in their order.
    QFutureWatcher<QByteArray>* studyList = nullptr;
    // Set to have the study list's job give up between two pages.
    std::shared_ptr<std::atomic_bool> studyListStop;
    QList<QByteArray> waitingRequests;
    int waitingStudyLists = 0;
};
