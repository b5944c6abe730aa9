// The open coordinator and its retrieves against dcmqrscp on loopback, with a real index: requests
// are checked before anything is created, an indexed study opens without network traffic, an
// unknown server is asked about first, C-GET and C-MOVE retrieves index every file as it arrives
// and grow the viewer, view-only cleans up only what it brought, and owners that go away mid-way
// leave no thread or listener behind.

#include "support/PacsTestPeers.h"

#include "support/DataFolderShape.h"

#include "support/DicomFixtures.h"
#include "db/Database.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/ReceivedObjectAdmission.h"
#include "pacs/StorageListener.h"
#include "pacs/UnfinishedRetrieves.h"

#include <QApplication>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <dcmtk/oflog/oflog.h>

using namespace pacs;

namespace {

constexpr const char* kOurAe = "KALVTEST";

// Stand-in viewers: the coordinator only hands them around, the hooks record what it asks.
struct ViewerLog
{
    QList<QWidget*> opened; // in order; deleted ones become null through QPointer below
    QStringList openedStudies;
    QStringList openedSeries;
    int refreshes = 0;
    QSet<QString> refreshedSeries;
    QStringList handedFiles; // every row handed to refreshes, by its file
};
ViewerLog g_log;

ViewerWindow* asViewer(QWidget* w)
{
    return reinterpret_cast<ViewerWindow*>(w);
}

void installRecordingHooks()
{
    ViewerHooks hooks;
    hooks.open = [](db::Database*, const QString& study, const QString& series) {
        auto* w = new QWidget;
        g_log.opened << w;
        g_log.openedStudies << study;
        g_log.openedSeries << series;
        return asViewer(w);
    };
    hooks.refreshSeries = [](ViewerWindow*, const QString& series, const QList<db::InstanceRecord>& slices) {
        ++g_log.refreshes;
        if (!slices.isEmpty())
            g_log.refreshedSeries.insert(series);
        for (const db::InstanceRecord& row : slices)
            g_log.handedFiles << row.filePath;
    };
    hooks.asObject = [](ViewerWindow* v) { return static_cast<QObject*>(reinterpret_cast<QWidget*>(v)); };
    setViewerHooks(hooks);
}

int instancesOf(const db::Database& index, const QString& studyUid)
{
    int n = 0;
    for (const db::SeriesRecord& s : index.seriesForStudy(studyUid))
        n += static_cast<int>(index.instancesForSeries(s.seriesInstanceUid).size());
    return n;
}

int filesIn(const QString& dir)
{
    return static_cast<int>(QDir(dir).entryList(QDir::Files).size());
}

// Second copies of an object kept beside its first ("<SOP UID>_<n>.dcm").
int doubledCopies(const QString& dir)
{
    static const QRegularExpression doubled(QStringLiteral("_[0-9]+\\.dcm$"));
    return static_cast<int>(QDir(dir).entryList(QDir::Files).filter(doubled).size());
}

bool allGone()
{
    return QTest::qWaitFor(
        [] { return PacsRetrieveSession::liveSessions() == 0 && StorageListenerPool::runningThreads() == 0; }, 30000);
}

} // namespace

class TestCoordinator : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_work;
    peers::QrArchive m_archive;
    quint16 m_listenPort = 0;
    db::Database m_index;
    fixtures::SeriesLayout m_small, m_small2, m_large, m_local;
    static constexpr int kLarge = 150;

    PacsServer archive(int mode) const
    {
        PacsServer s;
        s.host = QStringLiteral("127.0.0.1");
        s.port = m_archive.port();
        s.aeTitle = QString::fromLatin1(peers::QrArchive::aeTitle);
        s.description = QStringLiteral("Архив");
        s.retrieveMode = mode;
        return s;
    }
    PacsConfig config() const { return peers::localConfig(m_listenPort, kOurAe, {archive(1)}); }
    void resetStudy(const QString& uid)
    {
        if (m_index.studyExists(uid))
            QVERIFY(m_index.deleteStudy(uid));
        QDir(QDir(pacsDownloadsRoot()).filePath(uid)).removeRecursively();
        clearRetrieveUnfinished(uid);
    }

    // Runs a view-only retrieve of the second small study with no viewer to take it over; what it
    // ended with (empty if it did not end).
    QList<QVariant> viewUnwatched(PacsOpenCoordinator* coordinator, int retrieveMode, const QString& folder)
    {
        const ViewerHooks saved = viewerHooks();
        setViewerHooks({});
        QSignalSpy finished(coordinator, &PacsOpenCoordinator::finished);
        coordinator->startDownload(archive(retrieveMode), config(), m_small2.studyUid, folder,
                                   PacsOpenCoordinator::ViewOnly);
        const bool ended = QTest::qWaitFor([&] { return !finished.isEmpty(); }, 30000);
        setViewerHooks(saved);
        return ended ? finished.first() : QList<QVariant>{};
    }

private slots:
    void initTestCase()
    {
        OFLog::configure(OFLogger::WARN_LOG_LEVEL);
        QVERIFY(m_work.isValid());
        QVERIFY(m_index.open(m_work.filePath(QStringLiteral("index.sqlite3"))));
        installRecordingHooks();

        m_listenPort = fixtures::freeLoopbackPort();
        m_archive.addMoveDestination(QString::fromLatin1(kOurAe), m_listenPort);
        QStringList files;
        // Two series, so the viewer is refreshed with more than the first one.
        m_small.slices = 3;
        fixtures::completeUids(m_small);
        files += fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/small1"), m_small);
        fixtures::SeriesLayout second = m_small;
        second.seriesUid.clear();
        second.seriesNumber = QStringLiteral("2");
        second.modality = QStringLiteral("CT");
        fixtures::completeUids(second);
        files += fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/small2"), second);
        m_small2.slices = 4;
        m_small2.modality = QStringLiteral("MR");
        fixtures::completeUids(m_small2);
        files += fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/other"), m_small2);
        m_large.slices = kLarge;
        m_large.rows = m_large.columns = 64;
        fixtures::completeUids(m_large);
        files += fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/large"), m_large);
        QVERIFY(m_archive.index(files));
        QVERIFY(m_archive.start());

        // A study that is only local, indexed from its own folder.
        m_local.slices = 2;
        fixtures::completeUids(m_local);
        for (const QString& path : fixtures::writeSeries(m_work.filePath(QStringLiteral("local")), m_local))
            QVERIFY(m_index.indexFile(*dicom::readFileSummary(path)));

        savePacsConfig(config());
    }

    void init()
    {
        g_log = ViewerLog();
    }

    void cleanup()
    {
        QVERIFY(allGone());
        qDeleteAll(g_log.opened.begin(), g_log.opened.end()); // stand-ins still open
        g_log.opened.clear();
    }

    void refusesBadRequests_data()
    {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("ae");
        QTest::addColumn<QString>("expected");
        const QString ok = QStringLiteral("1.2.3.4");
        QTest::newRow("empty") << QStringLiteral("  ") << QStringLiteral("127.0.0.1") << 104 << QStringLiteral("A")
                               << QStringLiteral("Некорректный запрос на открытие исследования — не передан UID.");
        QTest::newRow("dots") << QStringLiteral("..") << QStringLiteral("127.0.0.1") << 104 << QStringLiteral("A")
                              << QStringLiteral("недопустимый UID");
        QTest::newRow("traversal") << QStringLiteral("1.2/../x") << QStringLiteral("127.0.0.1") << 104
                                   << QStringLiteral("A") << QStringLiteral("недопустимый UID");
        QTest::newRow("too long") << QString(65, QLatin1Char('1')) << QStringLiteral("127.0.0.1") << 104
                                  << QStringLiteral("A") << QStringLiteral("недопустимый UID");
        QTest::newRow("no host") << ok << QString() << 104 << QStringLiteral("A")
                                 << QStringLiteral("Исследование 1.2.3.4 не найдено в локальном архиве, а адрес "
                                                   "PACS-сервера не передан — нечего скачивать.");
        QTest::newRow("host") << ok << QStringLiteral("evil host\n") << 104 << QStringLiteral("A")
                              << QStringLiteral("недопустимый адрес");
        QTest::newRow("port") << ok << QStringLiteral("127.0.0.1") << 70000 << QStringLiteral("A")
                              << QStringLiteral("недопустимый адрес");
        QTest::newRow("ae backslash") << ok << QStringLiteral("127.0.0.1") << 104 << QStringLiteral("A\\B")
                                      << QStringLiteral("недопустимый адрес");
        QTest::newRow("ae long") << ok << QStringLiteral("127.0.0.1") << 104 << QStringLiteral("ABCDEFGHIJKLMNOPQ")
                                 << QStringLiteral("недопустимый адрес");
    }

    void refusesBadRequests()
    {
        QFETCH(QString, uid);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(QString, ae);
        QFETCH(QString, expected);
        const QStringList before = QDir(pacsDownloadsRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        QSignalSpy refused(&coordinator, &PacsOpenCoordinator::requestRefused);
        coordinator.openRequestedStudy({uid, host, port, ae});
        QCOMPARE(refused.size(), 1);
        QVERIFY2(refused.first().at(0).toString().contains(expected), qPrintable(refused.first().at(0).toString()));
        QVERIFY(!coordinator.isRunning());
        QCOMPARE(finished.size(), 0);
        QCOMPARE(QDir(pacsDownloadsRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QVERIFY(!QFileInfo::exists(m_work.filePath(QStringLiteral("x"))));
    }

    void indexedStudyOpensWithoutNetwork()
    {
        // The named server does not exist: any contact or question would show.
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy refused(&coordinator, &PacsOpenCoordinator::requestRefused);
        QSignalSpy consent(&coordinator, &PacsOpenCoordinator::consentNeeded);
        coordinator.openRequestedStudy({m_local.studyUid, QStringLiteral("127.0.0.1"), fixtures::freeLoopbackPort(), QStringLiteral("NOBODY")});
        QCOMPARE(refused.size() + consent.size(), 0);
        QCOMPARE(g_log.openedStudies, QStringList{m_local.studyUid});
        QCOMPARE(g_log.openedSeries, QStringList{QString()});
        QVERIFY(!coordinator.isRunning());
        QVERIFY(!QFileInfo::exists(QDir(pacsDownloadsRoot()).filePath(m_local.studyUid)));
        // Not the coordinator's tracked viewer.
        QCOMPARE(coordinator.currentViewer(), nullptr);
    }

    void unknownServerRefused()
    {
        resetStudy(m_small.studyUid);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy consent(&coordinator, &PacsOpenCoordinator::consentNeeded);
        // Same archive, other letter case would match; another port does not.
        coordinator.openRequestedStudy({m_small.studyUid, QStringLiteral("127.0.0.1"), m_archive.port() + 1,
                                        QString::fromLatin1(peers::QrArchive::aeTitle)});
        QCOMPARE(consent.size(), 1);
        const QString text = consent.first().at(1).toString();
        QVERIFY(text.startsWith(QStringLiteral("Внешняя страница запрашивает подключение Kalvenor к серверу\n127.0.0.1:%1 (AE: KALVQR)")
                                    .arg(m_archive.port() + 1)));
        QVERIFY(text.endsWith(QStringLiteral("\n\nРазрешить?")));
        QVERIFY(!coordinator.isRunning());
        QVERIFY(!QFileInfo::exists(QDir(pacsDownloadsRoot()).filePath(m_small.studyUid)));
    }

    void unknownServerAllowedIsMovedAndNotSaved()
    {
        resetStudy(m_small.studyUid);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        QSignalSpy received(&coordinator, &PacsOpenCoordinator::fileReceived);
        QSignalSpy consent(&coordinator, &PacsOpenCoordinator::consentNeeded);
        // "localhost" is not the configured "127.0.0.1": unknown, so retrieved by C-MOVE.
        const PacsOpenRequest request{m_small.studyUid, QStringLiteral("localhost"), m_archive.port(),
                                      QString::fromLatin1(peers::QrArchive::aeTitle)};
        coordinator.openRequestedStudy(request);
        QCOMPARE(consent.size(), 1);
        QVERIFY(!coordinator.isRunning());
        coordinator.openWithConsent(request);
        QVERIFY(coordinator.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QCOMPARE(finished.first().at(2).toInt(), 6);
        QCOMPARE(received.size(), 6);
        QCOMPARE(received.last().at(0).toInt(), 6);
        const QString folder = QDir(pacsDownloadsRoot()).filePath(m_small.studyUid);
        QCOMPARE(filesIn(folder), 6);
        QCOMPARE(instancesOf(m_index, m_small.studyUid), 6);
        // One viewer, on the first file's series, handed every later file of both series once, in
        // batches of them.
        QCOMPARE(g_log.opened.size(), 1);
        QCOMPARE(g_log.openedStudies.first(), m_small.studyUid);
        QVERIFY(!g_log.openedSeries.first().isEmpty());
        QCOMPARE(g_log.handedFiles.size(), 5);
        QCOMPARE(QSet<QString>(g_log.handedFiles.cbegin(), g_log.handedFiles.cend()).size(), 5);
        QVERIFY(g_log.refreshes >= 2 && g_log.refreshes <= 5);
        QCOMPARE(g_log.refreshedSeries.size(), 2);
        QCOMPARE(loadPacsConfig(), config());
    }

    void knownServerMatchesIgnoringCase()
    {
        resetStudy(m_small2.studyUid);
        // The listening port is taken: only the configured C-GET can succeed. Taken from the system as
        // it is bound, and made the program's for this request.
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        savePacsConfig(peers::localConfig(holder.serverPort(), kOurAe, {archive(1)}));
        const auto restore = qScopeGuard([this] { savePacsConfig(config()); });
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        QSignalSpy consent(&coordinator, &PacsOpenCoordinator::consentNeeded);
        coordinator.openRequestedStudy({m_small2.studyUid, QStringLiteral("127.0.0.1"), m_archive.port(), QStringLiteral("kalvqr")});
        QCOMPARE(consent.size(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QCOMPARE(instancesOf(m_index, m_small2.studyUid), 4);
        QCOMPARE(StorageListenerPool::runningThreads(), 0);
        QCOMPARE(g_log.opened.size(), 1);
    }

    void modesOfStartDownload_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<int>("mode");
        QTest::newRow("archive by C-GET") << 1 << int(PacsOpenCoordinator::ToArchive);
        QTest::newRow("archive by C-MOVE") << 0 << int(PacsOpenCoordinator::ToArchive);
        QTest::newRow("open by C-MOVE") << 0 << int(PacsOpenCoordinator::DownloadAndOpen);
        QTest::newRow("view only by C-GET") << 1 << int(PacsOpenCoordinator::ViewOnly);
        QTest::newRow("view only by C-MOVE") << 0 << int(PacsOpenCoordinator::ViewOnly);
    }

    void modesOfStartDownload()
    {
        QFETCH(int, retrieveMode);
        QFETCH(int, mode);
        resetStudy(m_small2.studyUid);
        const bool viewOnly = mode == PacsOpenCoordinator::ViewOnly;
        const QString folder = QDir(viewOnly ? viewOnlyRoot() : pacsDownloadsRoot()).filePath(m_small2.studyUid);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        coordinator.startDownload(archive(retrieveMode), config(), m_small2.studyUid, folder, mode);
        // A second start while one runs is dropped.
        coordinator.startDownload(archive(retrieveMode), config(), m_small.studyUid, m_work.filePath(QStringLiteral("dropped")), mode);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QVERIFY(!QFileInfo::exists(m_work.filePath(QStringLiteral("dropped"))));
        QCOMPARE(filesIn(folder), 4);
        QCOMPARE(instancesOf(m_index, m_small2.studyUid), 4);
        QCOMPARE(g_log.opened.size(), mode == PacsOpenCoordinator::ToArchive ? 0 : 1);
        if (!viewOnly)
            return;
        // Closing the view removes what it brought, and only that.
        delete g_log.opened.takeFirst();
        QTRY_VERIFY_WITH_TIMEOUT(!m_index.studyExists(m_small2.studyUid), 30000);
        QVERIFY(!QFileInfo::exists(folder));
        QVERIFY(QFileInfo::exists(viewOnlyRoot()));
    }

    void viewOnlyOfArchivedStudyKeepsIt()
    {
        const int before = instancesOf(m_index, m_local.studyUid);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        const QString folder = QDir(viewOnlyRoot()).filePath(m_local.studyUid);
        coordinator.startDownload(archive(1), config(), m_local.studyUid, folder, PacsOpenCoordinator::ViewOnly);
        QCOMPARE(finished.size(), 1);
        QVERIFY(finished.first().at(0).toBool());
        QCOMPARE(g_log.opened.size(), 1);
        delete g_log.opened.takeFirst(); // the clean-up runs as the viewer goes
        QCOMPARE(instancesOf(m_index, m_local.studyUid), before);
        QVERIFY(QFileInfo::exists(m_work.filePath(QStringLiteral("local"))));
    }

    void viewOnlyCleanUpKeepsFilesOutsideItsFolder()
    {
        resetStudy(m_small2.studyUid);
        const QString folder = QDir(viewOnlyRoot()).filePath(m_small2.studyUid);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        coordinator.startDownload(archive(1), config(), m_small2.studyUid, folder, PacsOpenCoordinator::ViewOnly);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY2(finished.first().at(0).toBool(), qPrintable(finished.first().at(1).toString()));
        QCOMPARE(instancesOf(m_index, m_small2.studyUid), 4);

        // Meanwhile another series of the same study came into the archive by another way.
        fixtures::SeriesLayout archived = m_small2;
        archived.seriesUid.clear();
        archived.seriesNumber = QStringLiteral("7");
        archived.slices = 2;
        fixtures::completeUids(archived);
        const QStringList kept = fixtures::writeSeries(m_work.filePath(QStringLiteral("archived")), archived);
        for (const QString& path : kept)
            QVERIFY(m_index.indexFile(*dicom::readFileSummary(path)));
        QCOMPARE(instancesOf(m_index, m_small2.studyUid), 6);

        QCOMPARE(g_log.opened.size(), 1);
        delete g_log.opened.takeFirst();
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(folder), 30000);
        // The view's rows went with its folder; the archived series stays indexed and on disk.
        QVERIFY(m_index.studyExists(m_small2.studyUid));
        QCOMPARE(instancesOf(m_index, m_small2.studyUid), 2);
        const QList<db::InstanceRecord> left = m_index.instancesForSeries(archived.seriesUid);
        QCOMPARE(left.size(), 2);
        for (const db::InstanceRecord& instance : left)
            QVERIFY2(kept.contains(instance.filePath) && QFileInfo::exists(instance.filePath),
                     qPrintable(instance.filePath));
    }

    void closingViewOnlyViewerCancelsRetrieve()
    {
        resetStudy(m_large.studyUid);
        const QString folder = QDir(viewOnlyRoot()).filePath(m_large.studyUid);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        coordinator.startDownload(archive(0), config(), m_large.studyUid, folder, PacsOpenCoordinator::ViewOnly);
        QTRY_COMPARE_WITH_TIMEOUT(g_log.opened.size(), 1, 30000);
        delete g_log.opened.takeFirst();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QVERIFY(allGone());
        // No second viewer, no rows, no folder.
        QCOMPARE(g_log.opened.size(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!m_index.studyExists(m_large.studyUid), 30000);
        QVERIFY(!QFileInfo::exists(folder));
    }

    void ownerGoneMidRetrieve_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<int>("mode");
        QTest::newRow("C-MOVE to archive") << 0 << int(PacsOpenCoordinator::ToArchive);
        QTest::newRow("C-GET to archive") << 1 << int(PacsOpenCoordinator::ToArchive);
        QTest::newRow("C-MOVE view only") << 0 << int(PacsOpenCoordinator::ViewOnly);
    }

    void ownerGoneMidRetrieve()
    {
        QFETCH(int, retrieveMode);
        QFETCH(int, mode);
        resetStudy(m_large.studyUid);
        const bool viewOnly = mode == PacsOpenCoordinator::ViewOnly;
        const QString folder = QDir(viewOnly ? viewOnlyRoot() : pacsDownloadsRoot()).filePath(m_large.studyUid);
        ViewerHooks saved = viewerHooks();
        setViewerHooks({}); // no viewer: a view-only retrieve nobody watches
        auto* owner = new QObject;
        auto* coordinator = new PacsOpenCoordinator(&m_index, owner);
        QSignalSpy received(coordinator, &PacsOpenCoordinator::fileReceived);
        coordinator->startDownload(archive(retrieveMode), config(), m_large.studyUid, folder, mode);
        QTRY_VERIFY_WITH_TIMEOUT(!received.isEmpty(), 30000);
        delete owner;
        QVERIFY(allGone());
        setViewerHooks(saved);
        if (viewOnly) {
            QTRY_VERIFY_WITH_TIMEOUT(!m_index.studyExists(m_large.studyUid), 30000);
            QVERIFY(!QFileInfo::exists(folder));
        } else {
            // The retrieve went on by itself: everything that arrived is indexed.
            QCOMPARE(instancesOf(m_index, m_large.studyUid), filesIn(folder));
            QCOMPARE(filesIn(folder), kLarge);
        }
    }

    // A view-only retrieve that no viewer took over (nothing in it to show, or no viewer to show it
    // in) and that ended before its owner went: its files go once the coordinator moves on.
    void unwatchedViewOnlyGoesOnceEnded_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<bool>("nextRetrieve");
        QTest::newRow("owner gone, C-GET") << 1 << false;
        QTest::newRow("owner gone, C-MOVE") << 0 << false;
        QTest::newRow("next retrieve") << 1 << true;
    }

    void unwatchedViewOnlyGoesOnceEnded()
    {
        QFETCH(int, retrieveMode);
        QFETCH(bool, nextRetrieve);
        resetStudy(m_small2.studyUid);
        resetStudy(m_small.studyUid);
        const QString folder = QDir(viewOnlyRoot()).filePath(m_small2.studyUid);
        auto* coordinator = new PacsOpenCoordinator(&m_index);
        const QList<QVariant> outcome = viewUnwatched(coordinator, retrieveMode, folder);
        QVERIFY2(!outcome.isEmpty() && outcome.at(0).toBool(), qPrintable(outcome.value(1).toString()));
        QCOMPARE(instancesOf(m_index, m_small2.studyUid), 4);
        if (nextRetrieve) {
            const QString archived = QDir(pacsDownloadsRoot()).filePath(m_small.studyUid);
            QSignalSpy finished(coordinator, &PacsOpenCoordinator::finished);
            coordinator->startDownload(archive(retrieveMode), config(), m_small.studyUid, archived,
                                       PacsOpenCoordinator::ToArchive);
            QVERIFY(!m_index.studyExists(m_small2.studyUid));
            QVERIFY(!QFileInfo::exists(folder));
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
            delete coordinator;
            // What went to the archive stays.
            QCOMPARE(instancesOf(m_index, m_small.studyUid), 6);
            QCOMPARE(filesIn(archived), 6);
            return;
        }
        delete coordinator;
        QVERIFY(!m_index.studyExists(m_small2.studyUid));
        QVERIFY(!QFileInfo::exists(folder));
        QVERIFY(QFileInfo::exists(viewOnlyRoot()));
    }

    // As the program closes, the index (the older child of the main window) can go before a search
    // dialog and its coordinator: the view's rows then stay in the file, and so must the files they name.
    void unwatchedViewOnlyKeptWhenIndexWentFirst()
    {
        auto* index = new db::Database;
        QVERIFY(index->open(m_work.filePath(QStringLiteral("closing.sqlite3"))));
        const QString folder = QDir(viewOnlyRoot()).filePath(m_small2.studyUid);
        QDir(folder).removeRecursively();
        auto* coordinator = new PacsOpenCoordinator(index);
        QVERIFY(!viewUnwatched(coordinator, 1, folder).isEmpty());
        QCOMPARE(instancesOf(*index, m_small2.studyUid), 4);
        delete index;
        delete coordinator;
        QCOMPARE(filesIn(folder), 4);
        QVERIFY(QDir(folder).removeRecursively());
    }

    void cancelStopsRetrieve_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::newRow("C-GET") << 1;
        QTest::newRow("C-MOVE") << 0;
    }

    void cancelStopsRetrieve()
    {
        QFETCH(int, retrieveMode);
        resetStudy(m_large.studyUid);
        const QString folder = QDir(pacsDownloadsRoot()).filePath(m_large.studyUid);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        coordinator.startDownload(archive(retrieveMode), config(), m_large.studyUid, folder, PacsOpenCoordinator::ToArchive);
        coordinator.cancel();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QCOMPARE(finished.first().at(0).toBool(), false);
        QVERIFY2(finished.first().at(1).toString().contains(QStringLiteral("Загрузка отменена")),
                 qPrintable(finished.first().at(1).toString()));
        QVERIFY(allGone());
        // Whatever did arrive is indexed, and marked as a study that is not whole; as one that ended,
        // told so, not as one cut short.
        QCOMPARE(instancesOf(m_index, m_large.studyUid), filesIn(folder));
        QVERIFY(filesIn(folder) < kLarge);
        QVERIFY(isRetrieveUnfinished(m_large.studyUid));
        QVERIFY(!isRetrieveCut(m_large.studyUid));

        // The next open request fetches the rest instead of opening the part that is here.
        coordinator.openRequestedStudy({m_large.studyUid, QStringLiteral("127.0.0.1"), m_archive.port(),
                                        QString::fromLatin1(peers::QrArchive::aeTitle)});
        QVERIFY(coordinator.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 60000);
        QVERIFY2(finished.last().at(0).toBool(), qPrintable(finished.last().at(1).toString()));
        QCOMPARE(instancesOf(m_index, m_large.studyUid), kLarge);
        QCOMPARE(filesIn(folder), kLarge);
        QCOMPARE(doubledCopies(folder), 0);
        QVERIFY(!isRetrieveUnfinished(m_large.studyUid));
    }

    // A study retrieved into the archive again, whole, after a retrieve that was cut short and left
    // its copies without rows, or after one cancelled on its first object: one file per object, each
    // named by a row, none kept beside another and none lost, also when the data folder is reached
    // by another path than the rows record (through a link, or named relative to the working folder).
    // A cancelled retrieve leaves no file that no row names.
    void studyRetrievedAgainKeepsOneFilePerObject_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::addColumn<QString>("first"); // whole, rows lost, cancelled
        QTest::addColumn<QString>("shape"); // the data folder at the repeat: absolute, link, relative
        for (const QString shape : {"absolute", "link", "relative"}) {
            const QString where = shape == "link"       ? ", data folder through a link"
                                  : shape == "relative" ? ", data folder relative"
                                                        : "";
            QTest::addRow("C-GET, study held whole%s", qPrintable(where)) << 1 << "whole" << shape;
            QTest::addRow("C-MOVE, study held whole%s", qPrintable(where)) << 0 << "whole" << shape;
            QTest::addRow("C-GET, copies left without rows%s", qPrintable(where)) << 1 << "rows lost" << shape;
            QTest::addRow("C-MOVE, copies left without rows%s", qPrintable(where)) << 0 << "rows lost" << shape;
            QTest::addRow("C-GET, cancelled at its first object%s", qPrintable(where)) << 1 << "cancelled" << shape;
            QTest::addRow("C-MOVE, cancelled at its first object%s", qPrintable(where)) << 0 << "cancelled" << shape;
        }
    }
    void studyRetrievedAgainKeepsOneFilePerObject()
    {
        QFETCH(int, retrieveMode);
        QFETCH(QString, first);
        QFETCH(QString, shape);
        fixtures::DataFolderShape data;
        // Many objects for a cancel, so that some are still on their way when it comes.
        const QString uid = first == "cancelled" ? m_large.studyUid : m_small.studyUid;
        const int objects = first == "cancelled" ? kLarge : 6;
        resetStudy(uid);
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        if (first == "cancelled")
            connect(&coordinator, &PacsOpenCoordinator::fileReceived, &coordinator,
                    [&coordinator, &finished] {
                        if (finished.isEmpty())
                            coordinator.cancel();
                    });
        QString folder;
        for (int round = 1; round <= 2; ++round) {
            // Reached through the link only at the repeat: the rows record the plain path.
            QVERIFY(data.reach(shape == "link" && round == 1 ? "absolute" : shape, m_work.filePath(QStringLiteral("data-link"))));
            folder = QDir(pacsDownloadsRoot()).filePath(uid);
            coordinator.startDownload(archive(retrieveMode), config(), uid, folder, PacsOpenCoordinator::ToArchive);
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), round, 30000);
            QVERIFY(allGone());
            if (round == 1 && first == "cancelled") {
                QCOMPARE(instancesOf(m_index, uid), filesIn(folder));
                QCOMPARE(isRetrieveUnfinished(uid), !finished.last().at(0).toBool());
                continue;
            }
            QVERIFY2(finished.last().at(0).toBool(), qPrintable(finished.last().at(1).toString()));
            QCOMPARE(finished.last().at(2).toInt(), objects);
            if (round == 1 && first == "rows lost") {
                QVERIFY(m_index.deleteStudy(uid));
                QVERIFY(markRetrieveUnfinished(uid));
            }
        }
        QCOMPARE(filesIn(folder), objects);
        QCOMPARE(doubledCopies(folder), 0);
        QStringList listed, stored;
        for (const QString& path : m_index.studyFilePaths(uid))
            listed << QFileInfo(path).canonicalFilePath();
        for (const QString& name : QDir(folder).entryList(QDir::Files))
            stored << QFileInfo(QDir(folder).filePath(name)).canonicalFilePath();
        listed.sort();
        stored.sort();
        QCOMPARE(listed, stored);
        QVERIFY(!isRetrieveUnfinished(uid));
    }

    void twoMovesShareTheListener()
    {
        resetStudy(m_small.studyUid);
        resetStudy(m_small2.studyUid);
        PacsOpenCoordinator first(&m_index);
        PacsOpenCoordinator second(&m_index);
        QSignalSpy firstDone(&first, &PacsOpenCoordinator::finished);
        QSignalSpy secondDone(&second, &PacsOpenCoordinator::finished);
        const QString a = QDir(pacsDownloadsRoot()).filePath(m_small.studyUid);
        const QString b = QDir(pacsDownloadsRoot()).filePath(m_small2.studyUid);
        first.startDownload(archive(0), config(), m_small.studyUid, a, PacsOpenCoordinator::ToArchive);
        second.startDownload(archive(0), config(), m_small2.studyUid, b, PacsOpenCoordinator::ToArchive);
        QCOMPARE(StorageListenerPool::runningThreads(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(firstDone.size() + secondDone.size(), 2, 30000);
        QVERIFY2(firstDone.first().at(0).toBool(), qPrintable(firstDone.first().at(1).toString()));
        QVERIFY2(secondDone.first().at(0).toBool(), qPrintable(secondDone.first().at(1).toString()));
        QCOMPARE(filesIn(a), 6);
        QCOMPARE(filesIn(b), 4);
        QCOMPARE(instancesOf(m_index, m_small.studyUid), 6);
        QCOMPARE(instancesOf(m_index, m_small2.studyUid), 4);
    }

    void failuresAreReported()
    {
        PacsOpenCoordinator coordinator(&m_index);
        QSignalSpy finished(&coordinator, &PacsOpenCoordinator::finished);
        // A study the archive does not hold: the C-MOVE succeeds with nothing sent.
        const QString missing = fixtures::newUid();
        coordinator.startDownload(archive(0), config(), missing, QDir(pacsDownloadsRoot()).filePath(missing),
                                  PacsOpenCoordinator::ToArchive);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        QCOMPARE(finished.first().at(0).toBool(), false);
        QVERIFY(finished.first().at(1).toString().startsWith(QStringLiteral("Сервер подтвердил запрос, но ни одного файла")));
        QCOMPARE(finished.first().at(2).toInt(), 0);

        // A server that is not there.
        PacsServer dead = archive(1);
        dead.port = fixtures::freeLoopbackPort();
        coordinator.startDownload(dead, config(), m_small.studyUid, m_work.filePath(QStringLiteral("dead")),
                                  PacsOpenCoordinator::ToArchive);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 2, 30000);
        QCOMPARE(finished.last().at(0).toBool(), false);
        QVERIFY(finished.last().at(1).toString().startsWith(QStringLiteral("Не удалось скачать исследование:\n")));

        // The one object the archive sends is refused by the program's own listener (its UID names a
        // local image of another study): the archive answers as it does for a connection it could not
        // make, and the words say what the listener saw instead.
        fixtures::SeriesLayout clash;
        clash.slices = 1;
        fixtures::completeUids(clash);
        const QString clashFile =
            fixtures::writeSeries(m_archive.storageDir() + QStringLiteral("/clash"), clash).value(0);
        const std::unique_ptr<DcmDataset> object = fixtures::loadDataset(clashFile);
        QVERIFY(object);
        object->putAndInsertString(DCM_SOPInstanceUID,
                                   m_index.studyObjectFiles(m_local.studyUid).keys().value(0).toLatin1().constData());
        QVERIFY(fixtures::saveDataset(clashFile, *object));
        QVERIFY(m_archive.index({clashFile}));
        coordinator.startDownload(archive(0), config(), clash.studyUid,
                                  QDir(pacsDownloadsRoot()).filePath(clash.studyUid), PacsOpenCoordinator::ToArchive);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 3, 30000);
        const QString refused = finished.last().at(1).toString();
        QCOMPARE(finished.last().at(0).toBool(), false);
        QVERIFY2(refused.contains(QStringLiteral("0xA702"))
                     && refused.contains(reusedUidsText(1)),
                 qPrintable(refused));
        QVERIFY2(!refused.contains(QStringLiteral("брандмауэр")) && !refused.contains(QStringLiteral("..")),
                 qPrintable(refused));

        // A taken listening port that stays taken: reported, not retried for ever. Taken from the system
        // as it is bound: one chosen earlier may be another program's by now.
        QVERIFY(allGone());
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        const quint16 taken = holder.serverPort();
        coordinator.startDownload(archive(0), peers::localConfig(taken, kOurAe, {archive(1)}), m_small.studyUid,
                                  m_work.filePath(QStringLiteral("busy")), PacsOpenCoordinator::ToArchive);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 4, 30000);
        QCOMPARE(finished.last().at(0).toBool(), false);
        QVERIFY2(finished.last().at(1).toString().contains(QString::number(taken)),
                 qPrintable(finished.last().at(1).toString()));
    }
};

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("KalvenorTest"));
    QCoreApplication::setApplicationName(QStringLiteral("CoordinatorTest"));
    TestCoordinator test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_coordinator.moc"
