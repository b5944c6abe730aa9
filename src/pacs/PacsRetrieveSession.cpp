#include "pacs/PacsRetrieveSession.h"

#include "dicom/DicomNesting.h"

#include "pacs/PacsNetworkClient.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveWorker.h"
#include "pacs/ReceivedFileWriter.h"
#include "pacs/ReceivedObjectAdmission.h"
#include "pacs/StorageListener.h"
#include "pacs/StoreSpace.h"
#include "pacs/UnfinishedRetrieves.h"
#include "db/Database.h"
#include "db/IndexBatch.h"
#include "platform/OwnFileDoor.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <utility>

namespace pacs {

namespace {
std::atomic_int g_liveSessions{0};
// Received files kept on disk that the index did not take, by any session of the process.
std::atomic_int g_filesLeftUnlisted{0};

// The sessions not yet deleted; touched on the GUI thread only.
QList<PacsRetrieveSession*>& liveList()
{
    static QList<PacsRetrieveSession*> sessions;
    return sessions;
}

// Jobs that wait for a study's retrieves to let go of it; touched on the GUI thread only.
struct ReceivedWaiter
{
    QString studyUid;
    QPointer<QObject> context;
    std::function<void()> then;
};
QList<ReceivedWaiter>& receivedWaiters()
{
    static QList<ReceivedWaiter> waiters;
    return waiters;
}

// A port held by a listener that is still stopping is let go of as soon as its senders are done; a
// port still listened on after this long belongs to someone else.
constexpr int kPortGraceMs = 5000;
// A port nobody listens on is held only by connections, whose sockets the system keeps a minute after
// they end (TIME-WAIT): the listener binds it once they are gone.
constexpr int kPortFreedBySystemMs = 65000;
// How often the files the receiving threads reported are taken: less than the index waits to write
// a batch of them.
constexpr int kArrivalsTakenMs = 50;

QString portWaitText(int port)
{
    return QStringLiteral(
               "Загрузка ждёт, пока освободится порт %1 для приёма исследований: его ещё держат недавно "
               "закрытые соединения, а система освобождает их в течение минуты. Загрузка продолжится "
               "сама.")
        .arg(port);
}

// A message with one more sentence: the server's words may end theirs already.
QString withSentence(const QString& text, const QString& next)
{
    if (text.isEmpty() || next.isEmpty())
        return text + next;
    return text + (text.endsWith(QLatin1Char('.')) ? QStringLiteral(" ") : QStringLiteral(". ")) + next;
}
} // namespace

PacsRetrieveSession::PacsRetrieveSession(db::Database* index, PacsServer server, PacsConfig config,
                                         QString studyUid, QString targetFolder)
    : m_index(index)
    , m_server(std::move(server))
    , m_config(std::move(config))
    , m_studyUid(std::move(studyUid))
    , m_targetFolder(std::move(targetFolder))
{
    ++g_liveSessions;
    liveList().append(this);
    m_arrivalsTimer = new QTimer(this);
    m_arrivalsTimer->setInterval(kArrivalsTakenMs);
    connect(m_arrivalsTimer, &QTimer::timeout, this, &PacsRetrieveSession::takeArrivals);
    if (m_index)
        m_batch = new db::IndexBatch(
            m_index, [this](const QList<dicom::DicomFileSummary>& files, const QStringList& errors) {
                onFilesIndexed(files, errors);
            },
            this);
    if (m_index) {
        m_batch->setAdmit([this](const dicom::DicomFileSummary& summary) { return admitReceived(summary); });
        connect(m_index, &db::Database::studiesWritten, this, [this](const QStringList& studyUids) {
            if (studyUids.contains(m_studyUid))
                m_elsewhereStale = true;
        });
    }
}

PacsRetrieveSession::~PacsRetrieveSession()
{
    // Files that arrived are listed, whoever lets the session go; nobody is told any more.
    blockSignals(true);
    takeArrivals();
    flushIndex();
    releaseListener();
    liveList().removeOne(this);
    --g_liveSessions;
    // Whoever waited for the study goes on once its last retrieve is gone, after this returns.
    if (isReceiving(m_studyUid))
        return;
    QList<ReceivedWaiter>& waiters = receivedWaiters();
    for (qsizetype i = 0; i < waiters.size();) {
        if (waiters[i].studyUid != m_studyUid) {
            ++i;
            continue;
        }
        ReceivedWaiter waiter = waiters.takeAt(i);
        if (waiter.context)
            QMetaObject::invokeMethod(waiter.context, std::move(waiter.then), Qt::QueuedConnection);
    }
}

int PacsRetrieveSession::liveSessions()
{
    return g_liveSessions.load();
}

bool PacsRetrieveSession::isReceiving(const QString& studyUid)
{
    // Over, a session's thread may still report what it wrote before it stopped.
    for (const PacsRetrieveSession* session : liveList())
        if (session->m_studyUid == studyUid && !(session->m_over && session->m_threadDone))
            return true;
    return false;
}

void PacsRetrieveSession::whenReceived(const QString& studyUid, QObject* context, std::function<void()> then)
{
    if (!isReceiving(studyUid)) {
        then();
        return;
    }
    receivedWaiters().append({studyUid, context, std::move(then)});
}

QString PacsRetrieveSession::stillReceivingText(int objects)
{
    return QStringLiteral("Исследование ещё загружается с PACS-сервера: получено объектов — %1.").arg(objects);
}

bool PacsRetrieveSession::stopAllForExit(int waitMs)
{
    const QDeadlineTimer deadline(waitMs);
    const QList<PacsRetrieveSession*> sessions = liveList();
    // Each stops asking for objects; the listeners route no more to them, while an object already
    // on its way is still written and reported.
    for (PacsRetrieveSession* session : sessions) {
        // Their ends, delivered below, reach nobody: the studies stay marked as cut.
        session->blockSignals(true);
        session->m_endHeard = nullptr;
        if (session->m_workerCancel)
            *session->m_workerCancel = true;
        // The listener goes with its thread below; what it reported stays queued to the session.
        if (session->m_listener)
            session->m_listener->removeStudy(session->m_studyUid);
        session->m_listener = nullptr;
    }
    bool whole = StorageListenerPool::stopAll(deadline);
    for (PacsRetrieveSession* session : sessions)
        if (session->m_workerThread && !session->m_workerThread->wait(deadline))
            whole = false;
    // A thread still receiving past the deadline must not open the index once the application is gone.
    for (PacsRetrieveSession* session : sessions)
        if (session->m_admission)
            session->m_admission->close();
    // The threads have reported every file they wrote by queued calls: taken now, and listed.
    for (PacsRetrieveSession* session : sessions) {
        QCoreApplication::sendPostedEvents(session, QEvent::MetaCall);
        session->takeArrivals();
        session->flushIndex();
    }
    return whole && g_filesLeftUnlisted.load() == 0;
}

void PacsRetrieveSession::start()
{
    QDir().mkpath(m_targetFolder);
    if (storeBelowReserve(m_targetFolder)) {
        QTimer::singleShot(0, this, [this] { finish(false, localDiskFullText(m_targetFolder, 0, -1)); });
        return;
    }
    // A study retrieved again, whole or after a retrieve that was cut short: what the index already
    // names here stays, and a copy that comes again is not kept beside it.
    if (m_index) {
        QSet<QString> othersFiles;
        for (const db::IndexedFile& file : m_index->studyFiles(m_studyUid))
            if (!file.ownCopy.value_or(true))
                othersFiles.insert(file.filePath);
        const QHash<QString, QString> indexed = m_index->studyObjectFiles(m_studyUid);
        for (auto it = indexed.begin(); it != indexed.end(); ++it) {
            if (!isInsideRoot(it.value(), m_targetFolder))
                continue;
            m_present.insert(it.key(), it.value());
            if (othersFiles.contains(it.value()))
                m_othersFiles.insert(it.key());
        }
    }
    m_admission = std::make_shared<ReceivedObjectAdmission>(m_index ? m_index->filePath() : QString());
    // Before the first object can arrive: a kill from here on leaves the study marked.
    markRetrieveUnfinished(m_studyUid);
    if (m_server.retrieveMode == 1) {
        m_marked = true;
        startWorker();
        return;
    }
    m_listener = StorageListenerPool::acquire(m_config.localPort, m_config.localAeTitle);
    if (m_listener->hasStudy(m_studyUid)) {
        StorageListenerPool::release(m_listener);
        m_listener = nullptr;
        // Told after the caller has connected to the signals.
        QTimer::singleShot(0, this, [this] {
            finish(false, QStringLiteral("Исследование %1 уже загружается с PACS-сервера.").arg(m_studyUid));
        });
        return;
    }
    // Not before: the mark of a study that another retrieve receives is that one's to end.
    m_marked = true;
    m_listener->addStudy(m_studyUid, m_targetFolder, m_admission);
    // Taken on the listener's thread, under the lock removeStudy takes: every file stored for the
    // study before this retrieve stops waiting is listed, none after.
    connect(
        m_listener, &StorageListener::studyFileReceived, this,
        [arrivals = m_arrivals, study = m_studyUid](const QString& studyUid, const QString& filePath) {
            if (studyUid != study)
                return;
            const QMutexLocker lock(&arrivals->mutex);
            arrivals->paths << filePath;
        },
        Qt::DirectConnection);
    // Counted there too, for the C-MOVE's own words: the PACS's final answer comes after them.
    connect(
        m_listener, &StorageListener::studyFileRefused, this,
        [arrivals = m_arrivals, study = m_studyUid](const QString& studyUid, bool) {
            if (!studyUid.isEmpty() && studyUid != study)
                return;
            const QMutexLocker lock(&arrivals->mutex);
            ++arrivals->refused;
        },
        Qt::DirectConnection);
    m_arrivalsTimer->start();
    connect(m_listener, &StorageListener::studyFileRefused, this, &PacsRetrieveSession::onListenerRefusal);
    connect(m_listener, &StorageListener::foreignObjectRefused, this, &PacsRetrieveSession::onListenerForeignObject);
    connect(m_listener, &StorageListener::listening, this, &PacsRetrieveSession::onListening);
    connect(m_listener, &StorageListener::bindFailed, this, &PacsRetrieveSession::onBindFailed);
    m_waitingForPort.start();
    // The C-MOVE goes out only once the port is open: the PACS connects back at once.
    if (m_listener->isListening())
        onListening();
}

void PacsRetrieveSession::onListening()
{
    if (!m_workerStarted && !m_over && !m_cancelled)
        startWorker();
}

void PacsRetrieveSession::onBindFailed(const QString& message, bool heldByConnections)
{
    if (m_workerStarted || m_over)
        return;
    // The listener's words name the system's error in its own language: the wait is told in ours.
    if (heldByConnections && !std::exchange(m_portWaitTold, true))
        emit waitingForPort(portWaitText(m_config.localPort));
    if (m_waitingForPort.elapsed() < (heldByConnections ? kPortFreedBySystemMs : kPortGraceMs))
        return;
    finish(false, message);
}

void PacsRetrieveSession::endPortWait()
{
    if (m_portWaitTold && !std::exchange(m_portWaitEnded, true))
        emit portWaitEnded();
}

void PacsRetrieveSession::startWorker()
{
    endPortWait();
    m_workerStarted = true;
    m_threadDone = false;
    m_workerThread = new QThread;
    // Received data sets are parsed here, recursively for nested sequences.
    m_workerThread->setStackSize(dicom::kParsingThreadStackSize);
    m_workerThread->setObjectName(QStringLiteral("PacsRetrieveWorker"));
    m_worker = new PacsRetrieveWorker(m_server, m_config, m_studyUid, m_targetFolder, m_admission);
    // What reached the listener and was not kept, read on the worker's thread.
    m_worker->setReceiverRefused([arrivals = m_arrivals, admission = m_admission] {
        const int refused = admission ? admission->refused() + admission->differing() : 0;
        const QMutexLocker lock(&arrivals->mutex);
        return refused + arrivals->refused;
    });
    m_workerCancel = m_worker->cancelFlag();
    m_worker->moveToThread(m_workerThread);
    connect(m_workerThread, &QThread::started, m_worker, &PacsRetrieveWorker::run);
    // Taken on the worker's thread, before anything it reports after.
    connect(
        m_worker, &PacsRetrieveWorker::fileReceived, m_worker,
        [arrivals = m_arrivals](const QString& filePath) {
            const QMutexLocker lock(&arrivals->mutex);
            arrivals->paths << filePath;
        },
        Qt::DirectConnection);
    m_arrivalsTimer->start();
    connect(m_worker, &PacsRetrieveWorker::finished, this, &PacsRetrieveSession::onWorkerFinished);
    connect(m_workerThread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_workerThread, &QThread::finished, m_workerThread, &QObject::deleteLater);
    connect(m_workerThread, &QThread::finished, this, [this] {
        m_threadDone = true;
        m_workerThread = nullptr;
        m_worker = nullptr;
        deleteWhenIdle();
    });
    m_workerThread->start();
}

void PacsRetrieveSession::cancel(bool discardArrivals)
{
    // What arrived before is indexed, as it would have been at once, unless none of it is to stay.
    if (discardArrivals && m_batch)
        m_batch->discard();
    flushIndex();
    m_discard = m_discard || discardArrivals;
    if (m_over)
        return;
    m_cancelled = true;
    if (m_workerCancel)
        *m_workerCancel = true;
    releaseListener();
    if (!m_workerStarted)
        finish(false, retrieveCancelledText());
}

void PacsRetrieveSession::takeArrivals()
{
    QStringList paths;
    {
        const QMutexLocker lock(&m_arrivals->mutex);
        paths.swap(m_arrivals->paths);
    }
    for (const QString& path : std::as_const(paths))
        handleFile(path);
}

void PacsRetrieveSession::onListenerRefusal(const QString& studyUid, bool diskFull)
{
    // An object whose study could not be told may be this retrieve's, or any other sender's: it counts
    // only for a retrieve that did not get everything.
    if (studyUid.isEmpty()) {
        ++m_untoldRefused;
        m_untoldDiskFull = m_untoldDiskFull || diskFull;
        return;
    }
    if (studyUid != m_studyUid)
        return;
    ++m_refused;
    m_diskFull = m_diskFull || diskFull;
}

void PacsRetrieveSession::onListenerForeignObject(const QString& studyUid)
{
    ++m_foreignObjects;
    m_foreignStudyUid = studyUid;
}

void PacsRetrieveSession::handleFile(const QString& filePath)
{
    // What the receiver made for this retrieve, the digest of its bytes, and what it read of it;
    // nothing but the digest when it found the object's earlier copy, which is read here.
    StoredFile stored = takeStored(filePath);
    const platform::FileId made = stored.file;
    const QByteArray digest = stored.digest;
    if (m_discard)
        return;
    const std::optional<dicom::DicomFileSummary> summary =
        stored.summary ? std::move(stored.summary) : dicom::readFileSummary(filePath);
    if (summary && summary->studyInstanceUid != m_studyUid) {
        // The server sent something that was not asked for: it is not kept.
        qWarning("Retrieve of %s: dropped an object of study %s", qPrintable(m_studyUid),
                 qPrintable(summary->studyInstanceUid));
        removeMade(filePath, made);
        return;
    }
    if (!summary) {
        ++m_received;
        emit fileReceived(filePath, m_received);
        return;
    }
    const QString earlier = m_present.value(summary->sopInstanceUid);
    if (!earlier.isEmpty() && QFileInfo::exists(earlier)) {
        // Already here, and listed: the file the index names stays as it is, whoever wrote it, and
        // keeps its record. A new file this retrieve's receiver made beside it goes; the earlier copy
        // that the receiver found again, by whatever path (the data folder through a link, or named
        // relative), is no file it made, and the door leaves it.
        removeMade(filePath, made);
        if (m_othersFiles.contains(summary->sopInstanceUid))
            ++m_othersKept;
        ++m_received;
        emit fileReceived(earlier, m_received);
        dicom::DicomFileSummary kept = *summary;
        kept.filePath = earlier;
        emit fileIndexed(kept);
        return;
    }
    if (!m_batch || !m_index) {
        ++m_received;
        emit fileReceived(filePath, m_received);
        emit fileIndexed(*summary);
        return;
    }
    if (made.known)
        m_made.insert(filePath, made);
    dicom::DicomFileSummary received = *summary;
    // Written by the retrieve's receiver, or the copy an earlier retrieve stored under the object's
    // name that holds these very bytes.
    received.ownCopy = true;
    received.contentDigest = digest;
    m_batch->add(received);
    if (m_over)
        flushIndex(); // no later flush would come
}

bool PacsRetrieveSession::admitReceived(const dicom::DicomFileSummary& summary)
{
    // Read again only after another writer changed the study's rows (an import), not for every batch.
    // Only the data folder's copies count (an archive import's, beside the retrieves' folder): a view's
    // files in the temporary folder lose their rows as the view closes.
    if (m_index && std::exchange(m_elsewhereStale, false)) {
        m_elsewhere.clear();
        const QString dataFolder = QFileInfo(pacsDownloadsRoot()).path();
        for (const db::IndexedFile& file : m_index->studyFiles(m_studyUid))
            if (file.ownCopy.value_or(false) && !isInsideRoot(file.filePath, m_targetFolder)
                && isInsideRoot(file.filePath, dataFolder))
                m_elsewhere.insert(file.sopInstanceUid, file.filePath);
    }
    const QString listed = m_elsewhere.value(summary.sopInstanceUid);
    if (listed.isEmpty() || !QFileInfo::exists(listed))
        return true;
    // The program's copy elsewhere in the store (an archive import's) keeps its row, as a copy here
    // does: taken over, it would be left unrecorded and never deleted with its study. The file just
    // received goes.
    removeMade(summary.filePath, m_made.take(summary.filePath));
    ++m_received;
    emit fileReceived(listed, m_received);
    dicom::DicomFileSummary kept = summary;
    kept.filePath = listed;
    emit fileIndexed(kept);
    return false;
}

void PacsRetrieveSession::removeMade(const QString& filePath, const platform::FileId& made)
{
    platform::OwnFileDoor({m_targetFolder}).remove(filePath, platform::OwnProof::made(made));
}

void PacsRetrieveSession::onFilesIndexed(const QList<dicom::DicomFileSummary>& files, const QStringList& errors)
{
    // Its own rows, not another writer's.
    m_elsewhereStale = false;
    for (qsizetype i = 0; i < files.size(); ++i) {
        const dicom::DicomFileSummary& summary = files[i];
        const platform::FileId made = m_made.take(summary.filePath);
        if (errors.value(i).isEmpty()) {
            ++m_received;
            emit fileReceived(summary.filePath, m_received);
            emit fileIndexed(summary);
            continue;
        }
        if (m_index && m_index->keyClash(db::ObjectKeys::of(summary)) != db::KeyClash::None) {
            // Its rows would be another object's here (it came by another way meanwhile, or another
            // object of this retrieve was listed first under one of its keys): that one stays, and this
            // file is not counted. A file this retrieve's receiver made for it goes: no row names it.
            removeMade(summary.filePath, made);
            ++m_refusedAtIndex;
            continue;
        }
        // Kept on disk, but not listed: the study is not whole, and is asked for again next time.
        qWarning("Cannot index %s: %s", qPrintable(summary.filePath), qPrintable(errors.value(i)));
        ++m_notIndexed;
        ++g_filesLeftUnlisted;
        m_indexError = errors.value(i);
    }
}

void PacsRetrieveSession::flushIndex()
{
    if (m_batch)
        m_batch->flush();
}

void PacsRetrieveSession::onWorkerFinished(bool ok, const QString& errorMessage)
{
    // Every file that arrived is indexed, or known not to be, before the end is judged.
    takeArrivals();
    flushIndex();
    // What the listener saw here tells the cause better than the server's counts of it.
    if (m_diskFull || (!ok && m_untoldDiskFull)) {
        const int refused = m_refused + (ok ? 0 : m_untoldRefused);
        finish(false, localDiskFullText(m_targetFolder, m_received, m_received + refused));
        return;
    }
    if (!m_cancelled && m_received == 0 && m_foreignObjects > 0) {
        finish(false, foreignStudyText(QStringLiteral("C-MOVE"), m_foreignStudyUid, m_studyUid));
        return;
    }
    // Objects refused for a UID that names another object here, by the receiver or only as they
    // were indexed: the study is not whole, whatever the server's counts say.
    const int refused = (m_admission ? m_admission->refused() : 0) + m_refusedAtIndex;
    const int differing = m_admission ? m_admission->differing() : 0;
    QStringList notes;
    if (refused > 0 && !errorMessage.contains(reusedUidsText(refused)))
        notes << reusedUidsText(refused);
    if (differing > 0)
        notes << differingCopiesText(differing);
    const QString incomplete = ok ? QStringLiteral("Исследование получено не полностью") : errorMessage;
    if (!notes.isEmpty() && !m_cancelled) {
        finish(false, withSentence(incomplete, notes.join(QStringLiteral(". "))));
        return;
    }
    if (m_notIndexed > 0 && !m_cancelled) {
        const QString note = QStringLiteral("Не удалось записать в локальную базу файлов: %1 (%2)")
                                 .arg(m_notIndexed)
                                 .arg(m_indexError);
        finish(false, withSentence(incomplete, note));
        return;
    }
    // The files the index records as a user's stay as they are: the retrieve says so.
    const QString kept =
        m_othersKept > 0
            ? QStringLiteral("Уже были в архиве как файлы пользователя и оставлены без изменений: %1").arg(m_othersKept)
            : QString();
    finish(ok && refused == 0, withSentence(errorMessage, kept));
}

void PacsRetrieveSession::releaseListener()
{
    if (!m_listener)
        return;
    m_listener->removeStudy(m_studyUid);
    disconnect(m_listener, nullptr, this, nullptr);
    StorageListenerPool::release(m_listener);
    m_listener = nullptr;
}

void PacsRetrieveSession::finish(bool ok, const QString& errorMessage)
{
    if (m_over)
        return;
    // The mark goes only once the last of the study's rows is in.
    takeArrivals();
    flushIndex();
    m_over = true;
    releaseListener();
    if (ok && m_received > 0 && m_notIndexed == 0)
        clearRetrieveUnfinished(m_studyUid);
    else if (m_marked && m_endHeard && m_endHeard())
        markRetrieveEndedIncomplete(m_studyUid); // told now; still fetched again when next asked for
    endPortWait();
    // Whoever hears the end may turn the event loop, in which the thread ends and this is deleted.
    const QPointer<PacsRetrieveSession> alive(this);
    emit finished(ok, errorMessage, m_received);
    if (alive)
        deleteWhenIdle();
}

void PacsRetrieveSession::deleteWhenIdle()
{
    if (m_over && m_threadDone)
        deleteLater();
}

} // namespace pacs
