#include "pacs/PacsOpenCoordinator.h"

#include "pacs/PacsNetworkClient.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/UnfinishedRetrieves.h"
#include "db/Database.h"
#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTimer>

#include <utility>

namespace pacs {

namespace {

ViewerHooks& hooks()
{
    static ViewerHooks h;
    return h;
}

QString downloadFailedText(const QString& reason)
{
    return QStringLiteral("Не удалось скачать исследование:\n%1").arg(reason);
}

// The end of a view-only retrieve: the study's rows go, and the temporary folder with them. A
// file of the study that lies elsewhere (the same study downloaded into the archive meanwhile)
// keeps its row.
void cleanUpViewOnly(QPointer<db::Database> index, const QString& studyUid, const QString& folder)
{
    // With the index gone (the program is closing) its rows stay, and so do the files they name.
    if (!index)
        return;
    const QString root = viewOnlyRoot();
    if (index->studyExists(studyUid)) {
        QSet<QString> keep;
        for (const db::SeriesRecord& series : index->seriesForStudy(studyUid))
            for (const db::InstanceRecord& instance : index->instancesForSeries(series.seriesInstanceUid))
                if (!isInsideRoot(instance.filePath, root))
                    keep.insert(instance.filePath);
        // The archive's copies among them stay the program's own, known by the bytes it wrote.
        QHash<QString, QByteArray> ownCopies;
        for (const db::IndexedFile& file : index->studyFiles(studyUid))
            if (file.ownCopy.value_or(false))
                ownCopies.insert(file.filePath, file.contentDigest);
        index->deleteStudy(studyUid);
        for (const QString& path : keep)
            if (auto summary = dicom::readFileSummary(path)) {
                summary->ownCopy = ownCopies.contains(path);
                summary->contentDigest = ownCopies.value(path);
                index->indexFile(*summary);
            }
    }
    if (!removeTreeInside(folder, root) && QFileInfo::exists(folder))
        qWarning("Not removing %s: it is outside %s", qPrintable(folder), qPrintable(root));
}

} // namespace

void setViewerHooks(ViewerHooks h)
{
    hooks() = std::move(h);
}

const ViewerHooks& viewerHooks()
{
    return hooks();
}

PacsOpenCoordinator::PacsOpenCoordinator(db::Database* index, QObject* parent)
    : QObject(parent)
    , m_index(index)
{
    m_feedTimer.setSingleShot(true);
    m_feedTimer.setInterval(kViewerFeedMs);
    connect(&m_feedTimer, &QTimer::timeout, this, &PacsOpenCoordinator::feedViewer);
}

PacsOpenCoordinator::~PacsOpenCoordinator()
{
    if (!m_session) {
        // Ended before this went, and nobody is shown its files.
        if (m_viewOnlyUnwatched)
            cleanUpViewOnly(m_index, m_studyUid, m_targetFolder);
        return;
    }
    // Nobody is told its end from here on: ended short, the study is named at the next start.
    m_session->setEndHeard({});
    disconnect(m_session, nullptr, this, nullptr);
    if (m_mode == ViewOnly && !m_viewerObject) {
        // Nobody will look at these files: stop, and clean up once the thread has ended.
        PacsRetrieveSession* session = m_session;
        const QPointer<db::Database> index(m_index);
        const QString study = m_studyUid;
        const QString folder = m_targetFolder;
        session->cancel(true);
        if (session->isOver())
            cleanUpViewOnly(index, study, folder);
        else
            connect(session, &PacsRetrieveSession::finished, session,
                    [index, study, folder] { cleanUpViewOnly(index, study, folder); });
    }
}

bool PacsOpenCoordinator::isRunning() const
{
    return m_waitedDownload || (m_session && !m_session->isOver());
}

void PacsOpenCoordinator::cancel()
{
    if (m_waitedDownload) {
        // Nothing of it has started, and no mark is its own: told as a retrieve the user stopped.
        m_waitedDownload.reset();
        tellEnd(false, downloadFailedText(retrieveCancelledText()), 0);
        return;
    }
    if (m_session)
        m_session->cancel(false);
}

OpenRequestAssessment PacsOpenCoordinator::assessRequest(const PacsOpenRequest& request) const
{
    OpenRequestAssessment result;
    const QString uid = request.studyInstanceUid;
    if (uid.trimmed().isEmpty()) {
        result.message = QStringLiteral("Некорректный запрос на открытие исследования — не передан UID.");
        return result;
    }
    // The UID becomes a folder name and goes to the PACS: nothing but a DICOM UID is accepted.
    if (!isValidDicomUid(uid)) {
        result.message = QStringLiteral("Некорректный запрос на открытие исследования — передан недопустимый UID.");
        return result;
    }
    // A study whose last retrieve did not end well is fetched again, from the server named.
    const bool indexed = m_index && m_index->studyExists(uid);
    if (indexed && (!isRetrieveUnfinished(uid) || request.serverHost.trimmed().isEmpty())) {
        result.kind = OpenRequestAssessment::OpenLocal;
        return result;
    }
    if (request.serverHost.trimmed().isEmpty()) {
        result.message = QStringLiteral("Исследование %1 не найдено в локальном архиве, а адрес PACS-сервера не "
                                        "передан — нечего скачивать.")
                             .arg(uid);
        return result;
    }
    if (!isValidHost(request.serverHost) || !isValidPort(request.serverPort) || !isValidAeTitle(request.serverAeTitle)) {
        result.message = QStringLiteral("Некорректный запрос на открытие исследования — недопустимый адрес, порт "
                                        "или AE-заголовок PACS-сервера.");
        return result;
    }

    result.config = loadPacsConfig();
    for (const PacsServer& candidate : std::as_const(result.config.servers)) {
        if (candidate.host.compare(request.serverHost, Qt::CaseInsensitive) == 0 && candidate.port == request.serverPort
            && candidate.aeTitle.compare(request.serverAeTitle, Qt::CaseInsensitive) == 0) {
            result.kind = OpenRequestAssessment::Download;
            result.server = candidate;
            return result;
        }
    }
    result.kind = OpenRequestAssessment::NeedsConsent;
    result.message = QStringLiteral("Внешняя страница запрашивает подключение Kalvenor к серверу\n%1:%2 (AE: "
                                    "%3)\nи получение исследования %4.\n\nРазрешить?")
                         .arg(request.serverHost)
                         .arg(request.serverPort)
                         .arg(request.serverAeTitle, uid);
    return result;
}

void PacsOpenCoordinator::openRequestedStudy(const PacsOpenRequest& request)
{
    act(request, false);
}

void PacsOpenCoordinator::openWithConsent(const PacsOpenRequest& request)
{
    act(request, true);
}

void PacsOpenCoordinator::act(const PacsOpenRequest& request, bool consented)
{
    // Judged again when acting: the study may have arrived, the settings changed, since the ask.
    OpenRequestAssessment assessment = assessRequest(request);
    const QString uid = request.studyInstanceUid;
    switch (assessment.kind) {
    case OpenRequestAssessment::Refused:
        emit requestRefused(assessment.message);
        return;
    case OpenRequestAssessment::OpenLocal:
        openViewer(uid, QString(), false);
        return;
    case OpenRequestAssessment::NeedsConsent:
        if (!consented) {
            emit consentNeeded(request, assessment.message);
            return;
        }
        assessment.server.host = request.serverHost;
        assessment.server.port = request.serverPort;
        assessment.server.aeTitle = request.serverAeTitle;
        assessment.server.description = QStringLiteral("(добавлен автоматически из веб-версии)");
        assessment.server.retrieveMode = 0;
        break;
    case OpenRequestAssessment::Download:
        break;
    }
    if (!(isRunning() && m_studyUid == uid) && PacsRetrieveSession::isReceiving(uid)) {
        // Another retrieve (the search dialog's) receives the study: the request waits for it, and then
        // opens what came or, not all of it come, fetches it as a study marked unfinished.
        if (!m_waitingForOthers.contains(uid)) {
            m_waitingForOthers.insert(uid);
            PacsRetrieveSession::whenReceived(uid, this, [this, request, consented] {
                m_waitingForOthers.remove(request.studyInstanceUid);
                act(request, consented);
            });
        }
        return;
    }
    if (isRunning()) {
        // The study retrieved now is shown as it arrives, and one already waiting comes in its turn.
        if (m_studyUid == uid && m_mode != ToArchive)
            return;
        for (const auto& [waiting, allowed] : std::as_const(m_waiting))
            if (waiting.studyInstanceUid == uid)
                return;
        if (waitingLineFull()) {
            emit requestRefused(waitingLineFullText());
            return;
        }
        m_waiting.append({request, consented});
        return;
    }
    startDownload(assessment.server, assessment.config, uid, QDir(pacsDownloadsRoot()).filePath(uid), DownloadAndOpen);
}

bool PacsOpenCoordinator::waitingLineFull() const
{
    return isRunning() && m_waiting.size() >= kMaxWaitingRequests;
}

QString PacsOpenCoordinator::waitingLineFullText()
{
    return QStringLiteral("Исследование не открыто: ещё %1 исследований ждут загрузки с PACS-сервера. Повторите "
                          "запрос, когда они загрузятся.")
        .arg(kMaxWaitingRequests);
}

void PacsOpenCoordinator::takeNextWaiting()
{
    // One that needs no retrieve (the study came meanwhile, or it is refused) lets the next one go
    // at once; a retrieve started takes the next one when it ends.
    while (!isRunning() && !m_waiting.isEmpty()) {
        const auto [request, consented] = m_waiting.takeFirst();
        act(request, consented);
    }
}

void PacsOpenCoordinator::startDownload(PacsServer server, PacsConfig config, QString studyUid,
                                        QString targetDirectory, int mode)
{
    if (isRunning())
        return;
    if (!isValidDicomUid(studyUid)) {
        tellEnd(false, downloadFailedText(QStringLiteral("недопустимый UID исследования.")), 0);
        return;
    }
    if (PacsRetrieveSession::isReceiving(studyUid)) {
        // Another retrieve (a page's, a remote peer's, another window's) receives the study: by C-MOVE
        // its objects go to that one alone, by C-GET both would fetch it at once. This one is judged
        // afresh once that one has let go of the study: what came is then in the index, and the
        // retrieve keeps no copy twice. Until then the last retrieve's view-only files stay as they are.
        m_waitedDownload = DownloadOrder{std::move(server), std::move(config), studyUid, std::move(targetDirectory), mode};
        PacsRetrieveSession::whenReceived(studyUid, this, [this] { startWaitedDownload(); });
        emit waitingForStudy();
        return;
    }
    if (std::exchange(m_viewOnlyUnwatched, false)) {
        // The view-only files of the last retrieve were never shown, and now never will be. Before the
        // checks below: a second view of the same study must fetch it again, not take these files
        // for the archive's.
        cleanUpViewOnly(m_index, m_studyUid, m_targetFolder);
    }
    if (mode == ViewOnly && m_index && m_index->studyExists(studyUid) && !isRetrieveUnfinished(studyUid)) {
        // Already in the archive: the local copy is shown, and nothing of it may be removed
        // when that viewer closes.
        int count = 0;
        for (const db::SeriesRecord& series : m_index->seriesForStudy(studyUid))
            count += series.instanceCount;
        openViewer(studyUid, QString(), false);
        tellEnd(true, QString(), count);
        return;
    }

    if (mode == ViewOnly && m_index && m_index->studyExists(studyUid)) {
        // Part of it is in the archive from a retrieve that did not end well: it is completed there,
        // so that the archive's rows never come to name temporary files.
        mode = DownloadAndOpen;
        targetDirectory = QDir(pacsDownloadsRoot()).filePath(studyUid);
    }
    m_received = 0;
    m_viewer = nullptr;
    m_viewerObject = nullptr;
    m_unshown.clear();
    m_mode = mode;
    m_targetFolder = targetDirectory;
    m_studyUid = studyUid;
    m_viewOnlyUnwatched = mode == ViewOnly;
    QDir().mkpath(targetDirectory);

    auto* session = new PacsRetrieveSession(m_index, std::move(server), std::move(config), studyUid, targetDirectory);
    m_session = session;
    session->setEndHeard([self = QPointer<PacsOpenCoordinator>(this)] {
        return self && (!self->m_endHeard || self->m_endHeard());
    });
    connect(session, &PacsRetrieveSession::fileReceived, this, &PacsOpenCoordinator::onFileReceived);
    connect(session, &PacsRetrieveSession::fileIndexed, this, &PacsOpenCoordinator::onFileIndexed);
    connect(session, &PacsRetrieveSession::finished, this, &PacsOpenCoordinator::onDownloadFinished);
    connect(session, &PacsRetrieveSession::waitingForPort, this, &PacsOpenCoordinator::waitingForPort);
    connect(session, &PacsRetrieveSession::portWaitEnded, this, &PacsOpenCoordinator::portWaitEnded);
    session->start();
}

void PacsOpenCoordinator::startWaitedDownload()
{
    // Cancelled meanwhile, or started by an earlier call.
    if (!m_waitedDownload)
        return;
    DownloadOrder order = *std::exchange(m_waitedDownload, std::nullopt);
    const QPointer<PacsOpenCoordinator> alive(this);
    startDownload(std::move(order.server), std::move(order.config), order.studyUid, order.targetDirectory, order.mode);
    // An end at once is told already, and a wait again (yet another retrieve took the study first)
    // is told as the first was.
    if (alive && isRunning() && !m_waitedDownload)
        emit studyWaitEnded();
}

void PacsOpenCoordinator::onFileReceived(const QString& /*filePath*/, int totalReceivedSoFar)
{
    m_received = totalReceivedSoFar;
    emit fileReceived(totalReceivedSoFar);
}

void PacsOpenCoordinator::onFileIndexed(const dicom::DicomFileSummary& summary)
{
    // Reports, presentation states and documents are kept with the study, but there is nothing in
    // them for the viewer to show.
    if (m_mode == ToArchive || summary.rows <= 0 || summary.columns <= 0)
        return;
    if (!m_viewerObject) {
        openViewer(summary.studyInstanceUid, summary.seriesInstanceUid, true);
        return;
    }
    // Shown a batch at a time: what the GUI thread does per object stays the same however large the
    // series has grown.
    m_unshown[summary.seriesInstanceUid].append(summary.sopInstanceUid);
    if (!m_feedTimer.isActive())
        m_feedTimer.start();
}

void PacsOpenCoordinator::feedViewer()
{
    m_feedTimer.stop();
    const QHash<QString, QStringList> unshown = std::exchange(m_unshown, {});
    if (!m_index || !hooks().refreshSeries)
        return;
    for (auto it = unshown.cbegin(); it != unshown.cend() && m_viewerObject; ++it) {
        // Read back from the index: what the viewer shows is what the index lists.
        const QList<db::InstanceRecord> rows = m_index->instancesOfObjects(it.key(), it.value());
        if (!rows.isEmpty())
            hooks().refreshSeries(m_viewer, it.key(), rows);
    }
}

void PacsOpenCoordinator::openViewer(const QString& studyUid, const QString& seriesUid, bool track)
{
    if (!hooks().open)
        return;
    ViewerWindow* viewer = hooks().open(m_index, studyUid, seriesUid);
    if (!viewer)
        return;
    if (track) {
        QObject* object = hooks().asObject ? hooks().asObject(viewer) : nullptr;
        m_viewer = viewer;
        m_viewerObject = object;
        // A new viewer reads what the index holds by now.
        m_unshown.clear();
        if (object) {
            connect(object, &QObject::destroyed, this, [this, object] {
                if (m_viewerObject == object || !m_viewerObject) {
                    m_viewer = nullptr;
                    m_viewerObject = nullptr;
                }
            });
            if (m_mode == ViewOnly) {
                m_viewOnlyUnwatched = false;
                // Closing the viewer ends the view: the retrieve stops and what it brought goes.
                // Tied to the index rather than to this coordinator, so a closed search dialog
                // does not leave temporary rows behind.
                const QPointer<db::Database> index(m_index);
                const QPointer<PacsRetrieveSession> session(m_session);
                const QString study = m_studyUid;
                const QString folder = m_targetFolder;
                QObject* context = m_index ? static_cast<QObject*>(m_index.data()) : static_cast<QObject*>(this);
                connect(object, &QObject::destroyed, context, [index, session, study, folder] {
                    if (session && !session->isOver()) {
                        session->cancel(true);
                        QObject::connect(session, &PacsRetrieveSession::finished, session,
                                         [index, study, folder] { cleanUpViewOnly(index, study, folder); });
                        return;
                    }
                    cleanUpViewOnly(index, study, folder);
                });
            }
        }
    }
    emit viewerOpened(viewer);
}

void PacsOpenCoordinator::onDownloadFinished(bool ok, const QString& errorMessage, int receivedFileCount)
{
    m_session = nullptr;
    // The viewer holds the whole study by the time its end is told.
    feedViewer();
    // A retrieve that brought nothing leaves no empty folder behind (rmdir removes only an empty one).
    if (receivedFileCount == 0)
        platform::OwnFileDoor({pacsDownloadsRoot(), viewOnlyRoot()}).removeEmptyFolder(m_targetFolder);
    if (ok && receivedFileCount > 0) {
        tellEnd(true, errorMessage, receivedFileCount); // what the retrieve has to say of a good end
    } else if (ok) {
        tellEnd(false,
                QStringLiteral("Сервер подтвердил запрос, но ни одного файла принято не было.\n\nДля C-MOVE это "
                               "обычно значит, что PACS не смог открыть встречное соединение к нашему AE "
                               "(firewall/NAT) — попробуйте переключить этот сервер на C-GET в настройках PACS."),
                0);
    } else {
        tellEnd(false, downloadFailedText(errorMessage), receivedFileCount);
    }
}

void PacsOpenCoordinator::tellEnd(bool ok, const QString& message, int receivedFileCount)
{
    // Whoever hears the end may turn the event loop, in which the window that owns this can go.
    const QPointer<PacsOpenCoordinator> alive(this);
    emit finished(ok, message, receivedFileCount);
    if (alive && !m_waiting.isEmpty())
        QTimer::singleShot(0, this, &PacsOpenCoordinator::takeNextWaiting);
}

} // namespace pacs
