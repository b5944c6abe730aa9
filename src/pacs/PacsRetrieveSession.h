#pragma once
// One retrieve from its start to its end, on the GUI thread: the retrieve worker on a thread of
// its own and, for C-MOVE, the process-wide storage listener of the local port. Every file that
// arrives for the study is read here and indexed with others in batches; a file counts as received
// once its row is committed. The study stays marked as unfinished from the start until the retrieve
// ends well, after its last batch. A session does not belong to whoever started
// it: it lives until its thread has finished and then deletes itself, so closing a window never
// destroys a thread that still runs.

#include "pacs/PacsConfig.h"
#include "dicom/DicomFileSummary.h"
#include "platform/OwnFileDoor.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QThread;
class QTimer;

namespace db {
class Database;
class IndexBatch;
}

namespace pacs {

class PacsRetrieveWorker;
class ReceivedObjectAdmission;
class StorageListener;

class PacsRetrieveSession : public QObject
{
    Q_OBJECT

public:
    PacsRetrieveSession(db::Database* index, PacsServer server, PacsConfig config, QString studyUid,
                        QString targetFolder);
    ~PacsRetrieveSession() override;

    QString studyUid() const { return m_studyUid; }
    QString targetFolder() const { return m_targetFolder; }
    int receivedCount() const { return m_received; }
    bool isOver() const { return m_over; }

    void start();
    // Whether an end without the whole study reaches the user: whoever hears `finished` tells it (a
    // box, a status line, a remote peer's answer). Only such an end is recorded as ended; any other
    // (nobody listens any more, the program is ending) leaves the study marked as cut, to be named at
    // the next start. Asked as the retrieve ends; unset, nobody hears it.
    void setEndHeard(std::function<bool()> heard) { m_endHeard = std::move(heard); }
    // Refuses further objects, stops the listener when nobody else needs it and aborts the
    // association. Files that arrived, or still arrive, are indexed unless discardArrivals.
    void cancel(bool discardArrivals);

    // Sessions not yet deleted, in the whole process.
    static int liveSessions();
    // A retrieve of the study may still add rows to it: its rows are not to be removed meanwhile, or
    // the study would be listed again with only what arrives after, and reported whole.
    // Every job that takes the study's files to work on them for a while (an export, a copy, a send,
    // a removal, a remote peer's download) asks this first.
    static bool isReceiving(const QString& studyUid);
    // Runs `then` once isReceiving(studyUid) is false: at once when it is already, else on the
    // context's thread after the study's last retrieve has let go of it (never when the context is gone).
    static void whenReceived(const QString& studyUid, QObject* context, std::function<void()> then);
    // What a job tells the user of a study it takes while isReceiving: the study is still arriving, and
    // holds this many objects so far.
    static QString stillReceivingText(int objects);
    // At the program's end, while the index is still open: stops every retrieve, waits up to waitMs for
    // their threads and for the storage listeners to stop, and indexes every file they received. The
    // sessions say nothing more and stay (the process ends). False when a thread did not stop in time
    // or a file received since the program started could not be indexed: a file may then be left
    // that no row names.
    static bool stopAllForExit(int waitMs = kExitWaitMs);
    static constexpr int kExitWaitMs = 10000;

signals:
    void fileReceived(const QString& filePath, int totalReceivedSoFar);
    // A file of the study, indexed (or not, when it could not be: see indexError).
    void fileIndexed(const dicom::DicomFileSummary& summary);
    // errorMessage: why it failed, or, after a good end, what there is to know of it (empty: nothing).
    void finished(bool ok, const QString& errorMessage, int receivedFileCount);
    // The C-MOVE's port is held by connections the system lets go of within a minute: the retrieve
    // waits for it, and says so at once rather than after the wait; message is a notice, not a failure.
    void waitingForPort(const QString& message);
    // The wait told by waitingForPort is over: the port is open, or the retrieve ends (finished
    // follows with the outcome).
    void portWaitEnded();

private slots:
    void onListenerRefusal(const QString& studyUid, bool diskFull);
    void onListenerForeignObject(const QString& studyUid);
    void onListening();
    void onBindFailed(const QString& message, bool heldByConnections);
    void onWorkerFinished(bool ok, const QString& errorMessage);

private:
    // Files reported by the receiving threads, taken on this thread a batch at a time: a wake-up of
    // this thread for each object cost more than listing it.
    struct Arrivals
    {
        QMutex mutex;
        QStringList paths;
        int refused = 0; // objects of the study (or of a study not told) the listener could not keep
    };
    void takeArrivals();
    void startWorker();
    void handleFile(const QString& filePath);
    // The received files of a batch whose transaction is over: counted when indexed.
    void onFilesIndexed(const QList<dicom::DicomFileSummary>& files, const QStringList& errors);
    void flushIndex();
    // Whether a received file is to take its object's row, judged as its batch is written.
    bool admitReceived(const dicom::DicomFileSummary& summary);
    // A file the receiver made for this retrieve (made: as it made it) that is not to stay.
    void removeMade(const QString& filePath, const platform::FileId& made);
    void releaseListener();
    void endPortWait();
    void finish(bool ok, const QString& errorMessage);
    void deleteWhenIdle();

    QPointer<db::Database> m_index;
    std::shared_ptr<Arrivals> m_arrivals = std::make_shared<Arrivals>();
    QTimer* m_arrivalsTimer = nullptr;
    PacsServer m_server;
    PacsConfig m_config;
    QString m_studyUid;
    QString m_targetFolder;
    StorageListener* m_listener = nullptr;
    QThread* m_workerThread = nullptr;
    PacsRetrieveWorker* m_worker = nullptr; // deleted on its own thread as that thread ends
    std::shared_ptr<std::atomic_bool> m_workerCancel;
    QElapsedTimer m_waitingForPort;
    // Files this study already has in the target folder, by SOP Instance UID: a copy that comes
    // again is not kept twice.
    QHash<QString, QString> m_present;
    // Those of them whose rows record that the program did not write them (a user's files opened
    // where they lie), and how many objects came again for such a file and left it as it was.
    QSet<QString> m_othersFiles;
    int m_othersKept = 0;
    // Files the receiver made, until their rows are in.
    QHash<QString, platform::FileId> m_made;
    // The study's objects listed as the program's copies outside the target folder, by SOP Instance
    // UID, as last read; stale once another writer changed the study's rows.
    QHash<QString, QString> m_elsewhere;
    bool m_elsewhereStale = true;
    int m_received = 0;
    // Objects the listener did not keep for this study (C-MOVE), and whether the disk was full; the
    // same for objects of a study it could not tell (refused before they were whole).
    int m_refused = 0;
    bool m_diskFull = false;
    int m_untoldRefused = 0;
    bool m_untoldDiskFull = false;
    int m_foreignObjects = 0;
    QString m_foreignStudyUid;
    // Which objects are kept; files the index refused for a UID that names another object.
    std::shared_ptr<ReceivedObjectAdmission> m_admission;
    int m_refusedAtIndex = 0;
    db::IndexBatch* m_batch = nullptr;
    // Files kept on disk that the index could not take, and why the last of them was not.
    int m_notIndexed = 0;
    QString m_indexError;
    bool m_workerStarted = false;
    bool m_portWaitTold = false;
    bool m_portWaitEnded = false;
    bool m_threadDone = true;
    bool m_over = false;
    bool m_cancelled = false;
    bool m_discard = false;
    // This retrieve laid the study's mark and so ends it.
    bool m_marked = false;
    std::function<bool()> m_endHeard;
};

} // namespace pacs
