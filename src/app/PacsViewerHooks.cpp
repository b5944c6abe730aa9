#include "app/PacsViewerHooks.h"

#include "app/ExternalRequestNotices.h"
#include "app/LocalApiServer.h"
#include "app/MainWindow.h"
#include "pacs/PacsOpenCoordinator.h"
#include "viewer/ViewerWindow.h"

#include <QPointer>

void installPacsViewerHooks()
{
    pacs::ViewerHooks hooks;
    hooks.open = [](db::Database* index, const QString& studyUid, const QString& seriesUid) {
        auto* viewer = new ViewerWindow(index, studyUid, seriesUid, nullptr, false);
        if (MainWindow::s_instance) {
            MainWindow::s_instance->showViewerWindow(viewer);
        } else {
            viewer->setAttribute(Qt::WA_DeleteOnClose);
            viewer->showMaximized();
        }
        return viewer;
    };
    hooks.refreshSeries = [](ViewerWindow* viewer, const QString& seriesUid, const QList<db::InstanceRecord>& slices) {
        viewer->refreshSeriesSlices(seriesUid, slices);
    };
    hooks.asObject = [](ViewerWindow* viewer) -> QObject* { return viewer; };
    pacs::setViewerHooks(std::move(hooks));
}

pacs::PacsOpenCoordinator* createStartupPacsCoordinator(MainWindow* list, kalvenor::LocalApiServer* server)
{
    installPacsViewerHooks();
    auto* coordinator = new pacs::PacsOpenCoordinator(list->database(), list);
    auto* notices = new ExternalRequestNotices(coordinator);
    if (server) {
        // A request that would need the user while he still answers another is refused with its
        // answer, so a flood of requests neither stacks boxes nor queues up behind one. One that would
        // wait for a retrieve while too many wait already is refused too, and the user told.
        using Answer = kalvenor::LocalApiServer::GateAnswer;
        server->setOpenRequestGate([coordinator, notices](const QString& uid, const QString& host, int port,
                                                          const QString& ae) {
            const pacs::OpenRequestAssessment assessment =
                coordinator->assessRequest(pacs::PacsOpenRequest{uid, host, port, ae});
            const bool retrieves = assessment.kind == pacs::OpenRequestAssessment::Download
                                   || assessment.kind == pacs::OpenRequestAssessment::NeedsConsent;
            if (retrieves && coordinator->waitingLineFull()) {
                notices->warn(pacs::PacsOpenCoordinator::waitingLineFullText());
                return Answer::RetrievesWaiting;
            }
            if (!assessment.needsUser() || notices->reserve())
                return Answer::Accept;
            // A second copy that forwarded it may have stopped waiting for the answer: told here too.
            notices->notTaken(uid);
            return Answer::UserAnswering;
        });
        QObject::connect(coordinator, &QObject::destroyed, server, [server] { server->setOpenRequestGate({}); });
        // Queued: the server answers the page first. Requests are handled in the order the gate
        // passed them, so the one that took the promised box is the next one handled.
        QObject::connect(
            server, &kalvenor::LocalApiServer::openStudyRequested, coordinator,
            [coordinator, notices](const QString& uid, const QString& host, int port, const QString& ae) {
                coordinator->openRequestedStudy(pacs::PacsOpenRequest{uid, host, port, ae});
                notices->release();
            },
            Qt::QueuedConnection);
    }
    QObject::connect(coordinator, &pacs::PacsOpenCoordinator::requestRefused, notices, &ExternalRequestNotices::warn);
    QObject::connect(coordinator, &pacs::PacsOpenCoordinator::consentNeeded, notices,
                     [coordinator, notices](const pacs::PacsOpenRequest& request, const QString& question) {
                         const QPointer<pacs::PacsOpenCoordinator> target(coordinator);
                         notices->ask(question, [target, request] {
                             if (target)
                                 target->openWithConsent(request);
                         });
                     });
    // A page's retrieve shows nothing until its first object: a wait for the port is told at once, as a
    // notice that goes when the wait does.
    QObject::connect(coordinator, &pacs::PacsOpenCoordinator::waitingForPort, notices,
                     &ExternalRequestNotices::showNotice);
    QObject::connect(coordinator, &pacs::PacsOpenCoordinator::portWaitEnded, notices,
                     &ExternalRequestNotices::endNotice);
    QObject::connect(coordinator, &pacs::PacsOpenCoordinator::finished, list, &MainWindow::refreshStudyTable);
    // A page's request that comes to nothing must not end in silence; nor is an end recorded as told
    // that the notices' full line would drop.
    coordinator->setEndHeard([notices] { return !notices->lineFull(); });
    QObject::connect(coordinator, &pacs::PacsOpenCoordinator::finished, notices,
                     [notices](bool ok, const QString& errorMessage, int) {
                         if (!ok)
                             notices->warn(errorMessage);
                     });
    return coordinator;
}
