#pragma once
// The hosting side of remote access. While hosting is on it keeps five listener connections open at
// the relay under this workstation's host id, so a client reaches it without any incoming port; each
// listener that gets paired becomes a RemoteAccessSession and is replaced by a fresh one at once. PACS
// retrieves that clients ask for run one at a time through a PACS open coordinator, in a queue with
// positions and progress. Stale transfer copies and stale PACS download folders are removed now and
// then. Everything runs on the GUI thread.

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
    static constexpr qint64 pacsDownloadMaxAgeMs = 7200000;    // 2 hours

    RemoteAccessServer(db::Database* db, QObject* parent);
    ~RemoteAccessServer() override;

    // The base id (the trimmed host id, or "primary") followed by its four worker ids.
    static QStringList listenerIds(const QString& hostId);
    // The folder "remote_transfer_cache" in the application data folder.
    static QString transferCacheRoot();

    // `secret` is the end-to-end secret made at installation; the token only admits to the relay.
    void start(const QString& host, int port, const QString& token, const QString& certFingerprint,
               const QString& secret, const QString& hostId);
    // Closes the waiting listeners and every open session: nobody keeps access once hosting is off.
    void stop();
    bool isRunning() const { return running; }
    int sessionCount() const { return int(sessions.size()); }

    // Used by the sessions: runs the retrieve now, or queues it while another one runs.
    bool enqueuePacsRetrieve(RemoteAccessSession* session, int serverIndex, const QString& studyUid);

public slots:
    // Removes transfer copies older than 72 hours and PACS download folders of studies that are not
    // in the index and are older than 2 hours.
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
    };

    void openListener(int slotIndex);
    QString sessionPrefix() const;
    bool startPacsRetrieve(RemoteAccessSession* session, int serverIndex, const QString& studyUid);
    void onRetrieveProgress(int count);
    void onRetrieveFinished(bool ok, const QString& message, int count);
    void notifyQueuePositions();

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
    QList<QueuedPacsRetrieve> retrieveQueue;
    QTimer* cleanupTimer = nullptr;
    // Raised by every start, so that reconnect timers of an earlier start do nothing.
    int generation = 0;
};
