#pragma once
// The hosting side of remote access. While hosting is on it keeps five listener connections open at
// the relay under this workstation's host id, so a client reaches it without any incoming port; each
// listener whose peer has confirmed the connection's keys becomes a RemoteAccessSession and is replaced
// by a fresh one at once; one that has heard no hello under the secret for about a minute is replaced
// too, so that a pairing that says nothing cannot hold it. PACS retrieves that clients ask for run one
// at a time through a PACS open coordinator, in a queue with positions and progress, one per session.
// Stale transfer copies and stale PACS download folders are removed now and then, and a study's copies
// as soon as the index drops or edits it. Everything runs on the GUI thread.

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QTimer;
class RemoteAccessSession;
class RemoteTunnelSocket;

namespace db {
class Database;
}
namespace pacs {
class PacsOpenCoordinator;
}

class RemoteAccessServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int reconnectDelayMs = 5000;
    static constexpr int cleanupIntervalMs = 21600000;   // 6 hours
    static constexpr int firstCleanupDelayMs = 30000;
    static constexpr qint64 transferCacheMaxAgeMs = 259200000; // 72 hours

    // What one client, or a flood of connections, may hold of this workstation.
    struct SessionLimits
    {
        // Sessions open at once; a further client is disconnected as soon as it is paired.
        int maxSessions = 20;
        // Anyone with the relay's token can pair with a listener and then say nothing. A listener that
        // has had no hello under the secret this long, and up to a quarter longer (so its holder cannot
        // time a reconnection), is opened afresh.
        int helloWaitMs = 60000;
        // A session that sends no valid request this long after it opens, or this long after its last
        // one while no file or PACS retrieve of its own is under way, is closed.
        int firstRequestMs = 60000;
        int idleMs = 1800000;
        // Replies a client leaves unread pile up in its tunnel: beyond this (a full study list and a
        // file's streaming window fit far below it) its session is closed.
        qint64 maxUnsentBytes = 96LL * 1024 * 1024;
    };

    RemoteAccessServer(db::Database* db, QObject* parent);
    ~RemoteAccessServer() override;

    // The base id (the trimmed host id, or "primary") followed by its four worker ids.
    static QStringList listenerIds(const QString& hostId);
    // The folder "remote_transfer_cache" in the application data folder.
    static QString transferCacheRoot();
    // The folder of a study's transfer copies; empty for a UID that could name anything outside it.
    static QString studyCacheFolder(const QString& studyUid);

    // `secret` is the end-to-end secret made at installation; the token only admits to the relay.
    void start(const QString& host, int port, const QString& token, const QString& certFingerprint,
               const QString& secret, const QString& hostId);
    // Closes the waiting listeners and every open session: nobody keeps access once hosting is off.
    void stop();
    bool isRunning() const { return running; }
    int sessionCount() const { return int(sessions.size()); }
    void setSessionLimits(const SessionLimits& limits) { this->limits = limits; }
    const SessionLimits& sessionLimits() const { return limits; }

    // Used by the sessions: runs the retrieve now, or queues it while another one runs. A session that
    // already has one running or queued is refused.
    bool enqueuePacsRetrieve(RemoteAccessSession* session, int serverIndex, const QString& studyUid);
    bool hasPacsRetrieve(const RemoteAccessSession* session) const;

public slots:
    // Removes transfer copies older than 72 hours; nothing else.
    void cleanupStaleFiles();

signals:
    void statusChanged(const QString& status);

private slots:
    void onListenerConnectedToPeer(int slotIndex);
    void onListenerConnectionFailed(int slotIndex, const QString& reason);
    void onSessionFinished(RemoteAccessSession* session);

private:
    struct ListenerSlot
    {
        QString id;
        RemoteTunnelSocket* socket = nullptr;
    };
    struct QueuedPacsRetrieve
    {
        RemoteAccessSession* session = nullptr;
        int serverIndex = -1;
        QString studyUid;
        int toldPosition = 0; // the last position the session was sent
    };

    void openListener(int slotIndex);
    // Takes the listener out of its slot and closes it; its reports no longer reach the server.
    void closeListener(int slotIndex);
    // Opens the slot afresh when `socket` still waits in it without a peer's hello.
    void recycleSilentListener(int slotIndex, RemoteTunnelSocket* socket);
    QString sessionPrefix() const;
    bool startPacsRetrieve(RemoteAccessSession* session, int serverIndex, const QString& studyUid);
    void onRetrieveProgress(int count);
    void onRetrieveFinished(bool ok, const QString& message, int count);
    // Starts queued retrieves until one runs; one that fails at once hands its turn to the next.
    void startQueuedRetrieves();
    // Sends a queued session its position only when it has changed.
    void notifyQueuePositions();
    void removeStudyCopies(const QString& studyUid);

    db::Database* db = nullptr;
    QList<ListenerSlot> listeners;
    QList<RemoteAccessSession*> sessions;
    QString host;
    int port = 0;
    QString token;
    QString certFingerprint;
    QString secret;
    bool running = false;
    pacs::PacsOpenCoordinator* coordinator = nullptr;
    RemoteAccessSession* currentRetrieveSession = nullptr;
    QString currentRetrieveStudyUid;
    bool retrieveActive = false;
    // Set while startQueuedRetrieves runs: a retrieve that ends inside it must not start another loop.
    bool startingQueued = false;
    QList<QueuedPacsRetrieve> retrieveQueue;
    SessionLimits limits;
    QTimer* cleanupTimer = nullptr;
    // Raised by every start, so that reconnect timers of an earlier start do nothing.
    int generation = 0;
};
