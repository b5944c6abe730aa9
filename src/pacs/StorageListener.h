#pragma once
// The program's own C-STORE service: accepts the objects that a PACS sends for a C-MOVE and writes
// them as files. One listener per local port serves the whole process: each retrieve that waits
// for objects registers its study and folder, objects of other studies are refused. It serves several
// senders at once, so that no one of them can keep the others from the port.

#include <QDeadlineTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>

class OFCondition;
struct T_ASC_Association;
struct T_ASC_Network;

namespace pacs {

class ReceivedObjectAdmission;

class StorageListener : public QObject
{
    Q_OBJECT

public:
    // With a non-empty outputFolder every object is accepted into it; with an empty one only
    // objects of the studies added with addStudy are accepted.
    StorageListener(int port, const QString& aeTitle, const QString& outputFolder, QObject* parent = nullptr);
    ~StorageListener() override;

    quint16 port() const { return m_port; }
    QString aeTitle() const { return m_aeTitle; }

    // Thread-safe: objects of this study go into folder from now on, those that `admission` lets
    // through when it is given.
    void addStudy(const QString& studyUid, const QString& folder,
                  std::shared_ptr<ReceivedObjectAdmission> admission = {});
    void removeStudy(const QString& studyUid);
    bool hasStudy(const QString& studyUid) const;
    // The folder an object of this study goes to (empty when it is refused) and who admits it.
    QString folderFor(const QString& studyUid, std::shared_ptr<ReceivedObjectAdmission>* admission = nullptr) const;
    // The folders of all awaited studies.
    QStringList routeFolders() const;

    // Before run: it binds the port only once `previous` (of the same port, stopping) has let go of it,
    // or after a DIMSE time-out when `previous` is still busy with a sender.
    void follow(const StorageListener& previous);
    // The port as long as run holds it.
    class PortHold;

    // True between the moment the port is open and the end of run.
    bool isListening() const { return m_listening.load(); }
    bool stopRequested() const { return m_stop.load(); }

public slots:
    // Listens until stop; returns only then, and then asks its thread to quit.
    void run();
    // Callable from any thread.
    void stop();

signals:
    void listening();
    // The port could not be opened; run tries again every half second until stop. heldByConnections:
    // it is in use, but no socket of this machine listens on it, so that only connections hold it,
    // which the system lets go of on its own.
    void bindFailed(const QString& message, bool heldByConnections);
    void fileReceived(const QString& filePath);
    void studyFileReceived(const QString& studyUid, const QString& filePath);
    // An object of an awaited study (or of a study that could not be told) that was not kept;
    // diskFull when the store's disk had no room for it.
    void studyFileRefused(const QString& studyUid, bool diskFull);
    // An object of a study nobody waits for, refused.
    void foreignObjectRefused(const QString& studyUid);
    void errorOccurred(const QString& message);

private:
    friend class InternalStorageSCP;
    friend class StorageListenerPool;

    // One of the servers of the port: takes senders from the network and serves them, one after
    // another, until stop.
    void serveSenders(T_ASC_Network* network);
    // A wait for a sender that ended otherwise than with one to serve: told, unless nothing happened.
    void reportListeningFailure(const OFCondition& cond, T_ASC_Association* association);
    // Reports a file stored for the study, unless no retrieve waits for the study any more: told under
    // the lock removeStudy takes, so that a retrieve that stops waiting (a cancel) is told of every file
    // stored before, and of none after.
    bool reportStored(const QString& studyUid, const QString& filePath);

    quint16 m_port;
    QString m_aeTitle;
    QString m_outputFolder;
    std::atomic_bool m_stop{false};
    std::atomic_bool m_listening{false};
    // The network run listens on, while it does: stop wakes the servers waiting on it.
    std::mutex m_networkMutex;
    T_ASC_Network* m_network = nullptr;
    struct Route
    {
        QString folder;
        std::shared_ptr<ReceivedObjectAdmission> admission;
    };
    mutable QMutex m_routesMutex;
    QHash<QString, Route> m_routes;
    // Let go once run no longer holds the port; the listener of the same port started before this one
    // and still stopping, whose port run waits for.
    std::shared_ptr<PortHold> m_portHold;
    std::shared_ptr<PortHold> m_predecessor;
};

// The process-wide listeners, one per port, shared by every C-MOVE retrieve. GUI thread only.
class StorageListenerPool
{
public:
    // The running listener of this port, started on a thread of its own when none runs. A new one
    // binds the port once the one before it on that port, if still stopping, has let go of it.
    static StorageListener* acquire(int port, const QString& aeTitle);
    // When the last user releases it, the listener stops; its thread and the listener are
    // deleted once the thread has finished.
    static void release(StorageListener* listener);
    // Listener threads that have not finished yet (stopping ones included).
    static int runningThreads();
    // At the program's end: stops every listener, and waits until the deadline for their threads to
    // finish, so that each object being received is written and reported first. False when a thread
    // was still running at the deadline.
    static bool stopAll(const QDeadlineTimer& deadline);
};

} // namespace pacs
