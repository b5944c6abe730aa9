#include "app/PortableSession.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomImporter.h"
#include "dicom/DicomNesting.h"
#include "viewer/ViewerWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QMessageBox>
#include <QThread>

PortableSession::PortableSession(db::Database* index, const QString& imageFolder, QObject* parent)
    : QObject(parent), m_index(index), m_imageFolder(imageFolder)
{
    m_refreshTimer.setInterval(kRefreshIntervalMs);
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, &PortableSession::flushRefreshes);
}

void PortableSession::start()
{
    m_thread = new QThread;
    m_thread->setStackSize(dicom::kParsingThreadStackSize);
    auto* importer = new dicom::DicomImporter;
    importer->moveToThread(m_thread);
    const QString folder = m_imageFolder;
    connect(m_thread, &QThread::started, importer, [importer, folder] { importer->importDirectory(folder); });
    connect(importer, &dicom::DicomImporter::fileFound, this, &PortableSession::onFileFound);
    connect(importer, &dicom::DicomImporter::finished, this, &PortableSession::onImportFinished);
    connect(m_thread, &QThread::finished, importer, &QObject::deleteLater);
    connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    // The application may end while the scan still runs (the viewer was closed): stop and join it.
    QThread* thread = m_thread;
    connect(qApp, &QCoreApplication::aboutToQuit, thread, [thread] {
        thread->requestInterruption();
        thread->quit();
        thread->wait();
    });
    m_thread->start();
}

void PortableSession::onFileFound(const dicom::DicomFileSummary& summary)
{
    m_index->indexFile(summary);
    if (!m_viewerOpened) {
        // A report, key-object selection or document has no picture to open on: the viewer waits for
        // the first image, whatever order the folder lists its files in.
        if (summary.rows > 0 && summary.columns > 0)
            openViewer(summary.studyInstanceUid, summary.seriesInstanceUid);
        else if (m_firstOtherSeries.first.isEmpty())
            m_firstOtherSeries = {summary.studyInstanceUid, summary.seriesInstanceUid};
        return;
    }
    // Re-reading a series for every file is quadratic on a large disc: collect and refresh in batches.
    m_pendingSeries.insert(summary.seriesInstanceUid);
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void PortableSession::openViewer(const QString& studyUid, const QString& seriesUid)
{
    m_viewerOpened = true;
    m_viewer = new ViewerWindow(m_index, studyUid, seriesUid, nullptr, true);
    m_viewer->setAttribute(Qt::WA_DeleteOnClose);
    // Closing the portable viewer ends the program: nothing else is on screen, and a process left
    // running would keep the disc or drive it runs from busy.
    m_viewer->installEventFilter(this);
    m_viewer->show();
}

void PortableSession::flushRefreshes()
{
    const QSet<QString> pending = std::exchange(m_pendingSeries, {});
    if (!m_viewer)
        return;
    for (const QString& series : pending)
        m_viewer->refreshSeriesSlices(series, m_index->instancesForSeries(series));
}

void PortableSession::onImportFinished()
{
    flushRefreshes();
    // A folder without a single image still shows what it holds. A viewer the user has closed already
    // is not opened again: the program is on its way out.
    if (!m_viewerOpened && !m_firstOtherSeries.first.isEmpty())
        openViewer(m_firstOtherSeries.first, m_firstOtherSeries.second);
    if (!m_viewerOpened) {
        QMessageBox::warning(nullptr, QStringLiteral("Kalvenor"),
                             QStringLiteral("Не найдено ни одного DICOM-файла в папке \"%1\".")
                                 .arg(QDir::toNativeSeparators(m_imageFolder)));
        QCoreApplication::quit();
    }
    if (m_thread)
        m_thread->quit();
}

bool PortableSession::eventFilter(QObject* watched, QEvent* event)
{
    // The type is looked at first: while the viewer is being destroyed it still sends events here
    // (children removed), and reading the QPointer then would cast a half-destroyed object.
    if (event->type() == QEvent::Close && watched == m_viewer) {
        // Let the viewer handle its own close first; quit only when it really closes.
        QTimer::singleShot(0, qApp, [viewer = QPointer<ViewerWindow>(m_viewer)] {
            if (!viewer || !viewer->isVisible())
                QCoreApplication::quit();
        });
    }
    return QObject::eventFilter(watched, event);
}

int runPortableMode(QApplication& app, const QString& imageFolder)
{
    auto* index = new db::Database(&app);
    if (!index->open(QStringLiteral(":memory:"))) {
        QMessageBox::critical(nullptr, QStringLiteral("Kalvenor"),
                              QStringLiteral("Не удалось открыть временную базу данных для портативного режима."));
        return 1;
    }
    PortableSession session(index, imageFolder);
    session.start();
    return app.exec();
}

ViewerWindow* PortableSession::viewer() const
{
    return m_viewer;
}
