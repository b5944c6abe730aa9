// The road of an open request from a web page, end to end: a POST to "/pacs/open" on the loopback
// server reaches the start-up's coordinator, the study is retrieved from dcmqrscp by C-GET or
// C-MOVE into "pacs_downloads/<uid>", indexed as it arrives, and shown in a viewer that grows.

#include "support/PacsTestPeers.h"

#include "support/DicomFixtures.h"
#include "support/LoopbackPort.h"
#include "support/TestBench.h"
#include "support/ModalAnswer.h"
#include "app/ExternalRequestNotices.h"
#include "app/LocalApiServer.h"
#include "app/MainWindow.h"
#include "app/PacsDownloadDialog.h"
#include "app/ManagedStore.h"
#include "app/PacsViewerHooks.h"
#include "db/Database.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/StorageListener.h"
#include "pacs/StoreSpace.h"
#include "platform/DataFolderLock.h"
#include "viewer/SeriesListWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTableWidget>
#include <QThread>
#include <QtTest>

#include <optional>

using namespace pacs;

namespace {

constexpr const char* kOurAe = "KALVOPEN";
// Receives the C-MOVEs of the port wait on a port of its own: the sockets other rows' connections
// leave waiting out their time on the shared one would keep a connection from being made from it.
constexpr const char* kWaitingAe = "KALVWAIT";
// The large study: two series of this many objects each.
constexpr int kManyPerSeries = 150;

QByteArray postRequest(const QByteArray& body)
{
    return "POST /pacs/open HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

int statusOf(const QByteArray& answer)
{
    const QList<QByteArray> status = answer.left(answer.indexOf("\r\n")).split(' ');
    return status.size() > 1 ? status.at(1).toInt() : -1;
}

// Sent from the test's own event loop, which the server shares.
int exchange(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QByteArray received;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { received += socket.readAll(); });
    if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 30000))
        return -1;
    socket.write(request);
    if (!QTest::qWaitFor([&] { return received.contains("\r\n\r\n"); }, 30000))
        return -1;
    return statusOf(received);
}

int post(quint16 port, const QByteArray& body)
{
    return exchange(port, postRequest(body));
}

// Sent from another thread, the way another program on this machine would send it.
int blockingExchange(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    // Generous: the program's thread may be slow to answer on a loaded machine.
    if (!socket.waitForConnected(30000))
        return -1;
    socket.write(request);
    QByteArray received;
    while (!received.contains("\r\n\r\n") && socket.waitForReadyRead(30000))
        received += socket.readAll();
    return statusOf(received);
}

QList<QMessageBox*> visibleBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            boxes << box;
    }
    return boxes;
}

QByteArray requestBody(const QString& uid, const QString& host, int port, const QString& ae)
{
    return QStringLiteral("{\"studyInstanceUID\":\"%1\",\"serverHost\":\"%2\",\"serverPort\":%3,\"serverAeTitle\":\"%4\"}")
        .arg(uid, host)
        .arg(port)
        .arg(ae)
        .toUtf8();
}

int instancesOf(const db::Database& index, const QString& studyUid)
{
    int n = 0;
    for (const db::SeriesRecord& s : index.seriesForStudy(studyUid))
        n += static_cast<int>(index.instancesForSeries(s.seriesInstanceUid).size());
    return n;
}

} // namespace

class TestPacsOpen : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private:
    QTemporaryDir m_work;
    peers::QrArchive m_archive;
    quint16 m_listenPort = 0;
    std::unique_ptr<MainWindow> m_list;
    std::unique_ptr<kalvenor::LocalApiServer> m_server;
    quint16 m_serverPort = 0;
    PacsOpenCoordinator* m_coordinator = nullptr;
    fixtures::SeriesLayout m_byGet, m_byMove, m_first, m_next, m_many, m_waited;
    quint16 m_waitPort = 0;
    // Holds m_waitPort from its choice on, as only a connection made from it would.
    std::optional<fixtures::ConnectionFromPort> m_waitHold;

    // The search dialog's «Скачать» and a page ask for one study, the first retrieve of it held by its
    // peer after one object: the second request waits for it and gets the study once it has come.
    void askForStudyAnotherReceives(bool dialogFirst, int retrieveMode)
    {
        fixtures::SeriesLayout layout;
        layout.slices = 3;
        fixtures::completeUids(layout);
        peers::ScriptedScp peer;
        for (const QString& path : fixtures::writeSeries(m_work.filePath(layout.studyUid), layout))
            peer.retrieveObjects.push_back(fixtures::loadDataset(path));
        peer.retrieveHoldAfter = 1;
        peer.moveDestinationPort = m_listenPort;
        QVERIFY(peer.start());
        const auto letGo = qScopeGuard([&] { peer.releaseRetrieve(); });
        const PacsConfig saved = loadPacsConfig();
        PacsConfig config = saved;
        const PacsServer server = peers::at(peer.port(), QStringLiteral("SCRIPTED"), retrieveMode);
        config.servers.append(server);
        savePacsConfig(config);
        const auto restoreConfig = qScopeGuard([saved] { savePacsConfig(saved); });
        PacsDownloadDialog::ResultRow found;
        found.studyInstanceUid = layout.studyUid;
        found.serverIndex = int(config.servers.size()) - 1;
        found.server = server;
        PacsDownloadDialog::lastSearchResults() = {found};
        const auto forgetResults = qScopeGuard([] { PacsDownloadDialog::lastSearchResults().clear(); });
        PacsDownloadDialog dialog(m_list->database());
        QSignalSpy downloaded(dialog.coordinator(), &PacsOpenCoordinator::finished);
        QSignalSpy retrieved(m_coordinator, &PacsOpenCoordinator::finished);
        QStringList opened;
        QList<QPointer<ViewerWindow>> viewers;
        connect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, [&](ViewerWindow* v) {
            opened << v->studyUid();
            viewers << v;
        });
        // Right after the coordinator has acted on the request (queued calls run in the order they
        // were connected).
        bool handled = false;
        connect(m_server.get(), &kalvenor::LocalApiServer::openStudyRequested, this, [&] { handled = true; },
                Qt::QueuedConnection);
        const auto forget = qScopeGuard([&] {
            disconnect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, nullptr);
            disconnect(m_server.get(), nullptr, this, nullptr);
            for (const QPointer<ViewerWindow>& viewer : std::as_const(viewers))
                if (viewer)
                    viewer->close();
        });
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        dialog.resultsTable()->setCurrentCell(0, 0);
        if (!dialogFirst) {
            QTRY_COMPARE_WITH_TIMEOUT(PacsRetrieveSession::liveSessions(), 0, 30000);
            QCOMPARE(post(m_serverPort, requestBody(layout.studyUid, QStringLiteral("127.0.0.1"), peer.port(),
                                                    QStringLiteral("SCRIPTED"))),
                     202);
            QTRY_VERIFY_WITH_TIMEOUT(peer.retrieveHeld() && m_list->database()->studyExists(layout.studyUid), 30000);
            QTest::mouseClick(dialog.downloadButton(), Qt::LeftButton);
            // Waits as a download runs, and no second retrieve of the study beside the page's.
            QVERIFY(dialog.coordinator()->isRunning());
            QVERIFY(!dialog.downloadButton()->isEnabled());
            QCOMPARE(PacsRetrieveSession::liveSessions(), 1);
            peer.releaseRetrieve();
            QTRY_COMPARE_WITH_TIMEOUT(downloaded.size(), 1, 60000);
            QVERIFY2(downloaded.first().at(0).toBool(), qPrintable(downloaded.first().at(1).toString()));
            QCOMPARE(downloaded.first().at(2).toInt(), 3);
            QCOMPARE(retrieved.size(), 1);
            QVERIFY2(retrieved.first().at(0).toBool(), qPrintable(retrieved.first().at(1).toString()));
            QCOMPARE(instancesOf(*m_list->database(), layout.studyUid), 3);
            QCOMPARE(opened, QStringList{layout.studyUid});
            QCOMPARE(answer.count(), 0);
            return;
        }
        QTest::mouseClick(dialog.downloadButton(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(peer.retrieveHeld() && m_list->database()->studyExists(layout.studyUid), 30000);
        QCOMPARE(post(m_serverPort, requestBody(layout.studyUid, QStringLiteral("127.0.0.1"), peer.port(),
                                                QStringLiteral("SCRIPTED"))),
                 202);
        QTRY_VERIFY_WITH_TIMEOUT(handled, 30000);
        peer.releaseRetrieve();
        QTRY_COMPARE_WITH_TIMEOUT(opened, QStringList{layout.studyUid}, 60000);
        QCOMPARE(downloaded.size(), 1);
        QVERIFY2(downloaded.first().at(0).toBool(), qPrintable(downloaded.first().at(1).toString()));
        QCOMPARE(instancesOf(*m_list->database(), layout.studyUid), 3);
        // Opened from the archive: no second retrieve, and nothing told as failed.
        QCOMPARE(retrieved.size(), 0);
        QCOMPARE(answer.count(), 0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_work.isValid());
        m_listenPort = fixtures::freeLoopbackPort();
        m_archive.addMoveDestination(QString::fromLatin1(kOurAe), m_listenPort);
        for (fixtures::SeriesLayout* layout : {&m_byGet, &m_byMove, &m_first, &m_next}) {
            layout->slices = 3;
            QVERIFY(!m_archive.add(*layout).isEmpty());
            fixtures::SeriesLayout second = *layout;
            second.seriesUid.clear();
            second.seriesNumber = QStringLiteral("2");
            second.slices = 4;
            QVERIFY(!m_archive.add(second).isEmpty());
        }
        m_many.slices = kManyPerSeries;
        m_many.rows = m_many.columns = 16;
        QVERIFY(!m_archive.add(m_many).isEmpty());
        fixtures::SeriesLayout manyMore = m_many;
        manyMore.seriesUid.clear();
        manyMore.seriesNumber = QStringLiteral("2");
        QVERIFY(!m_archive.add(manyMore).isEmpty());
        m_waited.slices = 3;
        QVERIFY(!m_archive.add(m_waited).isEmpty());
        // Held from here on: the archive must be told the port now, and a port chosen free and let go
        // of could be another program's by the time the row holds it.
        m_waitHold.emplace();
        QVERIFY(m_waitHold->holds());
        m_waitPort = m_waitHold->port();
        m_archive.addMoveDestination(QString::fromLatin1(kWaitingAe), m_waitPort);
        QVERIFY(m_archive.start());

        PacsConfig config;
        config.localPort = m_listenPort;
        config.localAeTitle = QString::fromLatin1(kOurAe);
        PacsServer move = m_archive.server(0, QStringLiteral("Архив C-MOVE"));
        move.host = QStringLiteral("localhost");
        config.servers = {m_archive.server(1, QStringLiteral("Архив C-GET")), move};
        savePacsConfig(config);

        m_list = std::make_unique<MainWindow>();
        m_serverPort = fixtures::freeLoopbackPort();
        m_server = std::make_unique<kalvenor::LocalApiServer>(m_serverPort);
        QVERIFY(m_server->listen());
        m_coordinator = createStartupPacsCoordinator(m_list.get(), m_server.get());
    }

    void cleanupTestCase()
    {
        m_server.reset();
        m_list.reset();
        QVERIFY(QTest::qWaitFor([] { return PacsRetrieveSession::liveSessions() == 0
                                            && StorageListenerPool::runningThreads() == 0; }, 10000));
    }

    void postOpensGrowingViewer_data()
    {
        QTest::addColumn<bool>("byMove");
        // The window serves nothing until every object has arrived, which then comes all at once.
        QTest::addColumn<bool>("held");
        QTest::newRow("C-GET") << false << false;
        QTest::newRow("C-MOVE") << true << false;
        QTest::newRow("C-GET, 300 objects while the window is held") << false << true;
    }

    void postOpensGrowingViewer()
    {
        QFETCH(bool, byMove);
        QFETCH(bool, held);
        const fixtures::SeriesLayout& layout = held ? m_many : byMove ? m_byMove : m_byGet;
        const int objects = held ? 2 * kManyPerSeries : 7;
        // What the viewer is handed, counted on its way.
        int refreshes = 0;
        int handed = 0;
        const ViewerHooks real = viewerHooks();
        ViewerHooks counting = real;
        counting.refreshSeries = [&refreshes, &handed, real](ViewerWindow* viewer, const QString& series,
                                                             const QList<db::InstanceRecord>& rows) {
            ++refreshes;
            handed += int(rows.size());
            real.refreshSeries(viewer, series, rows);
        };
        setViewerHooks(counting);
        const auto restoreHooks = qScopeGuard([real] { setViewerHooks(real); });
        QSignalSpy finished(m_coordinator, &PacsOpenCoordinator::finished);
        QList<QPointer<ViewerWindow>> viewers;
        connect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, [&](ViewerWindow* v) { viewers << v; });
        const QString folder = QDir(pacsDownloadsRoot()).filePath(layout.studyUid);
        if (held) {
            // Right after the coordinator has started the retrieve (queued calls run in the order they
            // were connected). A C-GET is received on threads of its own: nothing of this thread runs
            // until the last object is on disk.
            connect(
                m_server.get(), &kalvenor::LocalApiServer::openStudyRequested, this,
                [&] {
                    QVERIFY(m_coordinator->isRunning());
                    const QDeadlineTimer patience(120000);
                    while (QDir(folder).entryList(QDir::Files).size() < objects && !patience.hasExpired())
                        QThread::msleep(20);
                },
                Qt::QueuedConnection);
        }
        const auto release = qScopeGuard([&] { disconnect(m_server.get(), nullptr, this, nullptr); });
        fixtures::ModalAnswer answer(QMessageBox::No); // no question is expected
        QCOMPARE(post(m_serverPort, requestBody(layout.studyUid, byMove ? QStringLiteral("LOCALHOST") : QStringLiteral("127.0.0.1"),
                                                m_archive.port(), QStringLiteral("kalvqr"))),
                 202);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
        disconnect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, nullptr);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QCOMPARE(finished.first().at(2).toInt(), objects);
        QCOMPARE(answer.count(), 0);

        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), objects);
        QCOMPARE(instancesOf(*m_list->database(), layout.studyUid), objects);
        // Every object after the one the viewer opened on is read from the index once, alone, not
        // with its series; a study that came all at once is handed over in a few batches.
        QCOMPARE(handed, objects - 1);
        if (held)
            QVERIFY2(refreshes * 10 <= objects, qPrintable(QString::number(refreshes)));
        // The study list shows the new study.
        bool listed = false;
        for (int row = 0; row < m_list->studyTable()->rowCount(); ++row)
            listed = listed || m_list->studyTable()->item(row, 0)->data(StudyUidRole).toString() == layout.studyUid;
        QVERIFY(listed);

        // One viewer, which by now holds both series and the whole of the first one shown.
        QCOMPARE(viewers.size(), 1);
        ViewerWindow* viewer = viewers.first();
        QVERIFY(viewer);
        QVERIFY(viewer->isVisible());
        QCOMPARE(viewer->studyUid(), layout.studyUid);
        const QString shown = viewer->panelSeriesUid(viewer->activePanelIndex());
        QVERIFY(!shown.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(viewer->panelSliceList(viewer->activePanelIndex()).size(),
                     m_list->database()->instancesForSeries(shown).size(), 30000);
        // In the series' order, each slice once.
        QStringList inPanel, inIndex;
        for (const db::InstanceRecord& row : viewer->panelSliceList(viewer->activePanelIndex()))
            inPanel << row.filePath;
        for (const db::InstanceRecord& row : m_list->database()->instancesForSeries(shown))
            inIndex << row.filePath;
        QCOMPARE(inPanel, inIndex);
        QTRY_VERIFY_WITH_TIMEOUT(!viewer->isSeriesPanelRefreshPending(), 30000);
        viewer->close();
        QTRY_VERIFY_WITH_TIMEOUT(viewers.first().isNull(), 30000);
    }

    // A C-MOVE whose port only closed connections still hold: the page is told, as information and in
    // Russian, that the download waits for the port and goes on by itself; the notice goes when the
    // port opens, and the study comes whole with nothing else to read; or, the retrieve cancelled
    // meanwhile, the notice gives way to its outcome.
    void portWaitIsANotice_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("cancelled while waiting") << true;
        QTest::newRow("port freed") << false;
    }

    void portWaitIsANotice()
    {
        QFETCH(bool, cancelled);
        // The listener of an earlier row, still trying the port, would take it as it is let go of.
        QTRY_COMPARE_WITH_TIMEOUT(StorageListenerPool::runningThreads(), 0, 30000);
        const PacsConfig saved = loadPacsConfig();
        PacsConfig config = saved;
        config.localPort = m_waitPort;
        config.localAeTitle = QString::fromLatin1(kWaitingAe);
        savePacsConfig(config);
        const auto restoreConfig = qScopeGuard([saved] { savePacsConfig(saved); });
        // Still held since its choice, unless an earlier row let go of it.
        if (!m_waitHold->holds())
            m_waitHold.emplace(m_waitPort);
        fixtures::ConnectionFromPort& connection = *m_waitHold;
        QVERIFY(connection.holds());
        const auto* notices = m_coordinator->findChild<ExternalRequestNotices*>();
        QVERIFY(notices);
        QSignalSpy finished(m_coordinator, &PacsOpenCoordinator::finished);
        QList<QPointer<ViewerWindow>> viewers;
        bool noticeAtFirstImage = false; // the port opened before any object could come
        connect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, [&](ViewerWindow* v) {
            viewers << v;
            noticeAtFirstImage = notices->notice() && notices->notice()->isVisible();
        });
        const auto forget = qScopeGuard([&] {
            disconnect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, nullptr);
            for (const QPointer<ViewerWindow>& viewer : std::as_const(viewers))
                if (viewer)
                    viewer->close();
        });
        QCOMPARE(post(m_serverPort, requestBody(m_waited.studyUid, QStringLiteral("localhost"),
                                                m_archive.port(), QStringLiteral("KALVQR"))),
                 202);
        QTRY_VERIFY_WITH_TIMEOUT(notices->notice() && notices->notice()->isVisible(), 30000);
        const QString told = notices->notice()->text();
        QVERIFY2(told.contains(QString::number(m_waitPort)) && told.contains(QStringLiteral("ждёт"))
                     && told.contains(QStringLiteral("продолжится")),
                 qPrintable(told));
        QVERIFY2(!told.contains(QStringLiteral("Не удалось")) &&
                     !told.contains(QRegularExpression(QStringLiteral("[A-Za-z]"))),
                 qPrintable(told));
        QCOMPARE(notices->notice()->icon(), QMessageBox::Information);
        QVERIFY(!notices->notice()->isModal());
        QVERIFY(!notices->busy()); // no warning in the line of boxes
        QVERIFY(finished.isEmpty());

        if (cancelled) {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            m_coordinator->cancel();
            QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
            QVERIFY2(answer.texts().first().startsWith(QStringLiteral("Не удалось скачать")),
                     qPrintable(answer.texts().first()));
            QCOMPARE(finished.size(), 1);
            QVERIFY(!notices->notice() || !notices->notice()->isVisible());
            QVERIFY(viewers.isEmpty());
            return;
        }
        connection.release();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QCOMPARE(instancesOf(*m_list->database(), m_waited.studyUid), 3);
        QTRY_VERIFY_WITH_TIMEOUT(!notices->notice(), 30000);
        QCOMPARE(viewers.size(), 1);
        QVERIFY(!noticeAtFirstImage);
        QVERIFY(visibleBoxes().isEmpty());
    }

    // Requests that come while a page's retrieve is held at its first object: another study is accepted
    // and retrieved in its turn, and shown; past the waiting line's bound the page is refused and the
    // user told, and those that wait are still carried out. A page's request for the study that the
    // search dialog receives, held by its peer, waits for it and opens the study once it has come; the
    // dialog's download of the study a page receives waits for it too, and ends with the whole study.
    void openWhileRetrieving_data()
    {
        QTest::addColumn<int>("waiting");
        QTest::addColumn<bool>("byDialog");
        // The retrieve mode of the server of a study that a page's retrieve receives when the dialog
        // asks for it; -1: the dialog asks for nothing.
        QTest::addColumn<int>("dialogAsksBy");
        QTest::newRow("another study") << 1 << false << -1;
        QTest::newRow("more than wait in line") << PacsOpenCoordinator::kMaxWaitingRequests + 1 << false << -1;
        QTest::newRow("the study the search dialog receives") << 0 << true << -1;
        QTest::newRow("the dialog's download of the study a page receives, C-MOVE") << 0 << false << 0;
        QTest::newRow("the dialog's download of the study a page receives, C-GET") << 0 << false << 1;
    }

    void openWhileRetrieving()
    {
        QFETCH(int, waiting);
        QFETCH(bool, byDialog);
        QFETCH(int, dialogAsksBy);
        if (byDialog || dialogAsksBy >= 0) {
            askForStudyAnotherReceives(byDialog, byDialog ? 0 : dialogAsksBy);
            return;
        }
        for (const QString& uid : {m_first.studyUid, m_next.studyUid}) {
            if (m_list->database()->studyExists(uid))
                QVERIFY(m_list->database()->deleteStudy(uid));
            QDir(QDir(pacsDownloadsRoot()).filePath(uid)).removeRecursively();
        }
        const QString held = QDir(pacsDownloadsRoot()).filePath(m_first.studyUid);
        std::atomic_bool heldNow{false}, released{false};
        setStoreFreeSpaceProbe([&](const QString& path) -> qint64 {
            if (QThread::currentThread() != QCoreApplication::instance()->thread() && !released
                && path.contains(m_first.studyUid) && !QDir(held).entryList({QStringLiteral("*.dcm")}, QDir::Files).isEmpty()) {
                heldNow = true;
                while (!released)
                    QThread::msleep(5);
            }
            return 1LL << 40;
        });
        const auto realDisk = qScopeGuard([&] {
            released = true;
            setStoreFreeSpaceProbe({});
        });
        QSignalSpy finished(m_coordinator, &PacsOpenCoordinator::finished);
        QList<QPointer<ViewerWindow>> viewers;
        connect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, [&](ViewerWindow* v) { viewers << v; });
        const auto forget = qScopeGuard([&] {
            disconnect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, nullptr);
            for (const QPointer<ViewerWindow>& viewer : std::as_const(viewers))
                if (viewer)
                    viewer->close();
        });
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        const QString host = QStringLiteral("127.0.0.1");
        const QString ae = QStringLiteral("KALVQR");
        QCOMPARE(post(m_serverPort, requestBody(m_first.studyUid, host, m_archive.port(), ae)), 202);
        QVERIFY(QTest::qWaitFor([&] { return bool(heldNow); }, 30000));
        QStringList asked{m_first.studyUid};
        for (int i = 0; i < waiting; ++i) {
            asked << (i == 0 ? m_next.studyUid : fixtures::newUid());
            QCOMPARE(post(m_serverPort, requestBody(asked.last(), host, m_archive.port(), ae)),
                     i < PacsOpenCoordinator::kMaxWaitingRequests ? 202 : 429);
        }
        const int carriedOut = std::min(waiting, int(PacsOpenCoordinator::kMaxWaitingRequests)) + 1;
        if (waiting > PacsOpenCoordinator::kMaxWaitingRequests) {
            QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
            QVERIFY2(answer.texts().first().contains(QString::number(PacsOpenCoordinator::kMaxWaitingRequests)),
                     qPrintable(answer.texts().first()));
        }
        released = true;
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), carriedOut, 60000);
        QVERIFY(!m_coordinator->isRunning());
        // The failures of the studies no archive holds are told one box at a time: every one is
        // answered here, not by the next test's answerer.
        const auto* notices = m_coordinator->findChild<ExternalRequestNotices*>();
        QVERIFY(notices);
        QTRY_VERIFY_WITH_TIMEOUT(!notices->busy(), 60000);
        // Both real studies whole and shown, each in its own viewer.
        for (const QString& uid : {m_first.studyUid, m_next.studyUid})
            QCOMPARE(instancesOf(*m_list->database(), uid), 7);
        QStringList shown;
        for (const QPointer<ViewerWindow>& viewer : std::as_const(viewers))
            shown << (viewer ? viewer->studyUid() : QString());
        QCOMPARE(shown, (QStringList{m_first.studyUid, m_next.studyUid}));
        for (const QString& uid : asked.mid(carriedOut))
            QVERIFY(!m_list->database()->studyExists(uid));
    }

    void indexedStudyOpensAtOnce()
    {
        // By now the C-GET study is local: opening it again needs no server at all.
        QList<QPointer<ViewerWindow>> viewers;
        connect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, [&](ViewerWindow* v) { viewers << v; });
        fixtures::ModalAnswer answer(QMessageBox::No);
        QCOMPARE(post(m_serverPort, requestBody(m_byGet.studyUid, QStringLiteral("127.0.0.1"), fixtures::freeLoopbackPort(),
                                                QStringLiteral("NOBODY"))),
                 202);
        QTRY_COMPARE_WITH_TIMEOUT(viewers.size(), 1, 30000);
        disconnect(m_coordinator, &PacsOpenCoordinator::viewerOpened, this, nullptr);
        QCOMPARE(answer.count(), 0);
        QVERIFY(!m_coordinator->isRunning());
        viewers.first()->close();
    }

    void failedRetrieveIsShown()
    {
        // A configured server that is not there: the page's request ends in a warning.
        PacsConfig config = loadPacsConfig();
        const quint16 dead = fixtures::freeLoopbackPort();
        config.servers.append(PacsServer{QStringLiteral("127.0.0.1"), dead, QStringLiteral("GONE"), QString(), 1});
        savePacsConfig(config);
        QSignalSpy finished(m_coordinator, &PacsOpenCoordinator::finished);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        const QString uid = fixtures::newUid();
        QCOMPARE(post(m_serverPort, requestBody(uid, QStringLiteral("127.0.0.1"), dead, QStringLiteral("GONE"))), 202);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
        QCOMPARE(answer.titles().first(), QStringLiteral("Kalvenor"));
        QVERIFY2(answer.texts().first().startsWith(QStringLiteral("Не удалось скачать исследование:\n")),
                 qPrintable(answer.texts().first()));
        QVERIFY(!m_list->database()->studyExists(uid));
        QVERIFY(!QFileInfo::exists(QDir(pacsDownloadsRoot()).filePath(uid)));
    }

    void badUidCreatesNothing()
    {
        const QStringList before = QDir(pacsDownloadsRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        fixtures::ModalAnswer answer(QMessageBox::Yes);
        QCOMPARE(post(m_serverPort, requestBody(QStringLiteral("1.2/../x"), QStringLiteral("127.0.0.1"), m_archive.port(),
                                                QStringLiteral("KALVQR"))),
                 202);
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
        QVERIFY(answer.texts().first().contains(QStringLiteral("недопустимый UID")));
        QCOMPARE(QDir(pacsDownloadsRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QVERIFY(!m_coordinator->isRunning());
    }

    void refusedBurstOpensOneBox()
    {
        // Refused requests of three kinds, as fast as the server takes them: the first one is told,
        // the others are turned away while its box is open.
        const QString host = QStringLiteral("127.0.0.1");
        const QList<QByteArray> bodies{requestBody(QStringLiteral("1.2/../x"), host, 104, QStringLiteral("A")),
                                       requestBody(fixtures::newUid(), QString(), 104, QString()),
                                       requestBody(QString(), host, 104, QStringLiteral("A"))};
        constexpr int kRequests = 5000;
        QList<int> statuses;
        std::unique_ptr<QThread> client(QThread::create([&] {
            for (int i = 0; i < kRequests; ++i)
                statuses << blockingExchange(m_serverPort, postRequest(bodies.at(i % bodies.size())));
        }));
        // Served by a plain event loop (QTRY's waits sleep between rounds); the bound is only the
        // test's own: the burst is about survival, not speed.
        QEventLoop loop;
        connect(client.get(), &QThread::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(600000, &loop, &QEventLoop::quit);
        client->start();
        loop.exec();
        QVERIFY(client->isFinished());
        QCOMPARE(statuses.count(202), 1);
        QCOMPARE(statuses.count(429), kRequests - 1);
        QTRY_COMPARE_WITH_TIMEOUT(visibleBoxes().size(), 1, 30000);
        QVERIFY(visibleBoxes().first()->text().contains(QStringLiteral("недопустимый UID")));
        QCOMPARE(exchange(m_serverPort, "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), 200);

        // Read and closed: the next request is heard again.
        visibleBoxes().first()->button(QMessageBox::Ok)->click();
        QTRY_COMPARE_WITH_TIMEOUT(visibleBoxes().size(), 0, 30000);
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        QCOMPARE(post(m_serverPort, bodies.at(1)), 202);
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 30000);
        QVERIFY(answer.texts().first().contains(QStringLiteral("не найдено в локальном архиве")));
    }

    // Two second copies forward while this copy reads nothing (its event loop held), each for a server
    // that is not in the settings, and give up waiting: one is asked about, and the box names the other,
    // which was turned away; neither copy promised that its study opens.
    void busyFirstCopyDropsNoForwardInSilence()
    {
        platform::DataFolderLock held(ManagedStore::defaultDataFolder());
        QVERIFY(!held.anotherInstanceRunning());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KALVENOR_LOCAL_API_PORT"), QString::number(m_serverPort));
        const QStringList uids{fixtures::newUid(), fixtures::newUid()};
        std::vector<std::unique_ptr<QProcess>> copies;
        for (const QString& uid : uids) {
            auto& copy = copies.emplace_back(std::make_unique<QProcess>());
            copy->setProcessEnvironment(environment);
            copy->start(QStringLiteral(FORWARD_PROBE_PATH),
                        {QStringLiteral("kalvenor://open?study=%1&host=127.0.0.1&port=%2&aet=UNLISTED")
                             .arg(uid)
                             .arg(m_archive.port())});
        }
        for (auto& copy : copies) {
            QVERIFY(copy->waitForFinished(60000)); // no event of this copy is served meanwhile
            const QString said = QString::fromUtf8(copy->readAllStandardOutput());
            QVERIFY2(said.contains(QStringLiteral("BUSY ")) && !said.contains(QStringLiteral("откроется")), qPrintable(said));
        }
        const auto shown = [] {
            const QList<QMessageBox*> boxes = visibleBoxes();
            return boxes.size() == 1 ? boxes.first()->text() + '\n' + boxes.first()->informativeText() : QString();
        };
        QTRY_VERIFY2_WITH_TIMEOUT(shown().contains(uids.at(0)) && shown().contains(uids.at(1)), qPrintable(shown()), 30000);
        visibleBoxes().first()->button(QMessageBox::No)->click();
        QTRY_COMPARE_WITH_TIMEOUT(visibleBoxes().size(), 0, 30000);
        QVERIFY(!m_coordinator->isRunning());
    }

    void noticesOneAtATime()
    {
        ExternalRequestNotices notices;
        int yes = 0;
        notices.warn(QStringLiteral("A"));
        QVERIFY(!notices.reserve());
        for (const QString& text : {QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("A"), QStringLiteral("B")})
            notices.warn(text); // the same text twice is told once
        notices.ask(QStringLiteral("Q"), [&] { ++yes; });
        notices.ask(QStringLiteral("Q"), [&] { ++yes; });
        QStringList shown;
        while (!visibleBoxes().isEmpty()) {
            QCOMPARE(visibleBoxes().size(), 1);
            QMessageBox* box = visibleBoxes().first();
            shown << box->text();
            box->button(box->text() == QStringLiteral("Q") ? QMessageBox::Yes : QMessageBox::Ok)->click();
            QTRY_VERIFY_WITH_TIMEOUT(!box->isVisible(), 30000);
        }
        QCOMPARE(shown, (QStringList{"A", "B", "Q"}));
        QCOMPARE(yes, 1);
        QVERIFY(!notices.busy());
        QVERIFY(notices.reserve());
        QVERIFY(notices.busy());
        notices.release();
        QVERIFY(!notices.busy());

        // Turned away for a box that then was not needed: told in one of its own, a UID named only as one.
        QVERIFY(notices.reserve());
        for (const QString& uid : {QStringLiteral("1.2.3"), QStringLiteral("<b>4</b>"), QStringLiteral("1.2.3")})
            notices.notTaken(uid);
        notices.release();
        QCOMPARE(visibleBoxes().size(), 1);
        const QString told = visibleBoxes().first()->text();
        QVERIFY2(told.contains(QStringLiteral(": 3 (1.2.3")) && !told.contains(QStringLiteral("4<")), qPrintable(told));
        visibleBoxes().first()->button(QMessageBox::Ok)->click();
        QTRY_COMPARE_WITH_TIMEOUT(visibleBoxes().size(), 0, 30000);
    }
};

QTEST_MAIN(TestPacsOpen)

#include "tst_pacsopen.moc"
