#include "PacsViewerHooks.h"

#include "LocalApiServer.h"
#include "MainWindow.h"
#include "pacs/PacsOpenCoordinator.h"
#include "viewer/ViewerWindow.h"

#include <QMessageBox>

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
    if (server) {
        // Queued: the server answers the page first, and a question box must not run inside its
        // socket handler.
        QObject::connect(
            server, &kalvenor::LocalApiServer::openStudyRequested, coordinator,
            [coordinator](const QString& uid, const QString& host, int port, const QString& ae) {
                coordinator->openRequestedStudy(pacs::PacsOpenRequest{uid, host, port, ae});
            },
            Qt::QueuedConnection);
    }
    QObject::connect(coordinator, &pacs::PacsOpenCoordinator::finished, list, &MainWindow::refreshStudyTable);
    // A page's request that comes to nothing must not end in silence. Shown without a nested
    // event loop, so further requests and arriving files are served meanwhile.
    QObject::connect(coordinator, &pacs::PacsOpenCoordinator::finished, list,
                     [](bool ok, const QString& errorMessage, int) {
                         if (ok)
                             return;
                         auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Kalvenor"), errorMessage);
                         box->setAttribute(Qt::WA_DeleteOnClose);
                         box->open();
                     });
    return coordinator;
}
