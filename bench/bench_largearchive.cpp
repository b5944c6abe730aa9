// A large archive: the study list's start with the clean-up by size on, its refresh after an import,
// its sorting and filters, a remote listing of it, the one-study lookups and the start-up clean-up by
// age on indexes of 1,000 to 30,000 studies (33 instance rows each, about a million at 30,000).
//
//   bench_largearchive [studies ...]      (default 1000 10000 30000)
//
// The index is the program's own: a db::Database creates the schema in the program's data folder,
// then the rows go in directly, in bulk SQL, as no import could write a million of them in a bench
// run. Half of the studies name files in the store's download folder, the others files where they
// lie; none of these files exists (a million files would not fit a bench run), so the size rule finds
// nothing to remove, as with a limit the store keeps under. One real series, written as DICOM files
// and indexed, is the study that the viewer opens. The filters run on a real study list window
// (offscreen); the clean-up is the one the window runs at start-up, with every bulk study imported
// long ago (so it removes rows, and no files).

#include "BenchSupport.h"
#include "support/IndexFixtures.h"

#include "app/MainWindow.h"
#include "app/ModalityFilterButton.h"
#include "app/PortableExport.h"
#include "db/CleanupSettings.h"
#include "db/Database.h"
#include "remote/RemoteAccessClient.h"
#include "remote/RemoteAccessServer.h"
#include "remote/RemoteTunnelSocket.h"
#include "support/IndexFixtures.h"
#include "support/PeakMemory.h"
#include "support/StandInRelay.h"
#include "viewer/ViewerWindow.h"

#include <dcmtk/oflog/oflog.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

constexpr int kSeriesPerStudy = 3;
constexpr int kInstancesPerSeries = 11;

// Bytes this process has had written to storage so far (0 when the system does not say).
qint64 bytesWritten()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : io.readAll().split('\n'))
        if (line.startsWith("write_bytes:"))
            return line.mid(12).trimmed().toLongLong();
    return 0;
}

// Studies x 3 series x 11 instances, patients with three studies each, four modality mixes and a
// dozen surnames, every study imported on 1 January 2020, the even ones named in the store's download
// folder as the program names its copies; one transaction, no journal.
bool insertBulkRows(const QString& path, int studies, QString* error)
{
    const QString downloads =
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath(QStringLiteral("pacs_downloads"));
    const QStringList statements{
        QStringLiteral(
            "WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM n WHERE x < %1) "
            "INSERT INTO patients (patient_key, patient_id, patient_name, birth_date, sex, weight_kg, "
            "height_cm) SELECT x + 1000, 'PAT' || x, "
            "CASE x % 12 WHEN 0 THEN 'Иванов' WHEN 1 THEN 'Петров' WHEN 2 THEN 'Сидорова' "
            "WHEN 3 THEN 'Кузнецов' WHEN 4 THEN 'Смирнова' WHEN 5 THEN 'Попов' WHEN 6 THEN 'Волкова' "
            "WHEN 7 THEN 'Соколов' WHEN 8 THEN 'Лебедева' WHEN 9 THEN 'Козлов' WHEN 10 THEN 'Новикова' "
            "ELSE 'Морозов' END || '^Пётр ' || x, printf('19%02d0101', 30 + x % 60), "
            "CASE x % 2 WHEN 0 THEN 'M' ELSE 'F' END, 70 + x % 30, 170 + x % 20 FROM n")
            .arg((studies + 2) / 3 - 1),
        QStringLiteral("WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM n WHERE x < %1) "
                       "INSERT INTO studies (study_instance_uid, patient_key, study_date, study_time, "
                       "study_description, accession_number, referring_physician, is_protected, imported_at) "
                       "SELECT '1.2.826.0.1.' || x, 1000 + x / 3, "
                       "printf('20%02d%02d%02d', x % 25, 1 + x % 12, 1 + x % 28), "
                       "printf('%02d%02d00', x % 24, x % 60), "
                       "'КТ органов грудной клетки', 'A' || x, 'Ref^Doc', 0, '2020-01-01T08:00:00Z' FROM n")
            .arg(studies - 1),
        QStringLiteral(
            "WITH RECURSIVE k(y) AS (SELECT 0 UNION ALL SELECT y + 1 FROM k WHERE y < %1) "
            "INSERT INTO series SELECT st.study_instance_uid || '.' || y, st.study_instance_uid, y + 1, "
            "'Серия ' || y, CASE CAST(substr(st.study_instance_uid, 13) AS INTEGER) % 4 "
            "WHEN 0 THEN CASE y WHEN 2 THEN 'SR' ELSE 'CT' END WHEN 1 THEN 'MR' "
            "WHEN 2 THEN CASE y WHEN 1 THEN 'PT' ELSE 'CT' END ELSE 'US' END, 'CHEST', '' "
            "FROM studies st, k")
            .arg(kSeriesPerStudy - 1),
        QStringLiteral(
            "WITH RECURSIVE k(y) AS (SELECT 0 UNION ALL SELECT y + 1 FROM k WHERE y < "
            "%1) " KALVENOR_BULK_INSTANCE_INSERT
            "SELECT se.series_instance_uid || '.' || y, se.series_instance_uid, "
            "y + 1, 512, 512, 1, 0.7, 0.7, 1.25, y * 1.25, 40, 400, 1, -1024, 0, 0, -180, -180, "
            "y * 1.25, 1, 0, 0, 0, 1, 0, 1, 0, 36000 + y, 0, '1.2.9', -1, 0, "
            "CASE CAST(substr(se.study_instance_uid, 13) AS INTEGER) % 2 WHEN 0 THEN '%2/' || "
            "se.study_instance_uid || '/' || se.series_instance_uid || '.' || y || '.dcm' "
            "ELSE '/srv/dicom/' || se.series_instance_uid || '/IMG' || y || '.dcm' END FROM series se, k")
            .arg(kInstancesPerSeries - 1)
            .arg(downloads),
    };
    return bench::execBulkSql(path, statements, error);
}

// Builds the index in the program's data folder; the real study's UID, empty on failure.
QString buildIndex(int studies, const QString& seriesFolder)
{
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir(dataDir).removeRecursively();
    QDir().mkpath(dataDir);
    const QString path = QDir(dataDir).filePath(QStringLiteral("index.sqlite3"));
    fixtures::SeriesLayout layout = bench::importSeriesLayout(3);
    layout.rows = layout.columns = 64;
    layout.patientName = QStringLiteral("Зайцева^Анна");
    {
        db::Database schema;
        if (!schema.open(path)) {
            std::printf("open failed: %s\n", qPrintable(schema.lastError()));
            return {};
        }
    }
    QString error;
    if (!insertBulkRows(path, studies, &error)) {
        std::printf("bulk rows failed: %s\n", qPrintable(error));
        return {};
    }
    db::Database index;
    if (!index.open(path) || !fixtures::writeAndIndexSeries(index, seriesFolder, layout)) {
        std::printf("the real series was not indexed: %s\n", qPrintable(index.lastError()));
        return {};
    }
    return layout.studyUid;
}

// One filter change as the window makes it, with the repaint that follows.
double timedFilter(const std::function<void()>& change)
{
    const auto t = bench::Clock::now();
    change();
    QCoreApplication::processEvents();
    return bench::msSince(t);
}

int visibleRows(QTableWidget* table)
{
    int shown = 0;
    for (int r = 0; r < table->rowCount(); ++r)
        shown += table->isRowHidden(r) ? 0 : 1;
    return shown;
}

// Watches, while it lives, every window painted: the longest stretch of a start with no window shown
// or brought up to date (a progress window counts), up to the list's own window.
class PaintGaps : public QObject
{
public:
    PaintGaps() { qApp->installEventFilter(this); }
    ~PaintGaps() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType())
            note();
        return false;
    }
    void note()
    {
        const auto now = bench::Clock::now();
        m_longest = std::max(m_longest, std::chrono::duration<double, std::milli>(now - m_last).count());
        m_last = now;
    }
    double longest() const { return m_longest; }

private:
    bench::Clock::time_point m_last = bench::Clock::now();
    double m_longest = 0;
};

// The window's start, from its construction until it is shown with its list, with the clean-up by
// size on and a limit the store keeps under. blankMs: the longest stretch with nothing shown.
std::unique_ptr<MainWindow> timedStart(double* ms, double* blankMs = nullptr)
{
    PaintGaps gaps;
    const auto t = bench::Clock::now();
    auto window = std::make_unique<MainWindow>();
    window->show();
    QCoreApplication::processEvents();
    *ms = bench::msSince(t);
    gaps.note();
    if (blankMs)
        *blankMs = gaps.longest();
    return window;
}

double median(std::vector<double> v, bool dropFirst = true)
{
    if (dropFirst && v.size() > 1)
        v.erase(v.begin()); // the first run warms the caches
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// A client lists the archive through the hosting side of the window while the window's thread counts
// how long it went without handling its events. The relay and the client run on a thread of their
// own, so that only the hosting side's work falls on the window's thread.
void timeRemoteListing(MainWindow& window, int expected, int repeats)
{
    const fixtures::TestCertificate cert = fixtures::makeTestCertificate();
    const QString secret = newTunnelSecret();
    std::atomic_int relayPort{0};
    std::atomic_bool serverUp{false}, done{false}, release{false};
    std::vector<double> replies;
    int listed = -1;
    QString error;
    QThread* side = QThread::create([&] {
        fixtures::StandInRelay relay;
        if (!relay.start(cert)) {
            done = true;
            return;
        }
        relayPort = relay.port();
        (void)QTest::qWaitFor([&] { return serverUp.load() && relay.waitingCount(QStringLiteral("primary")) > 0; }, 30000);
        RemoteAccessClient client;
        if (client.connectToServer(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("t"), cert.fingerprint(),
                                   secret, &error, 30000, QStringLiteral("primary"))) {
            for (int i = 0; i <= repeats; ++i) {
                QList<RemoteStudyEntry> studies;
                const auto t = bench::Clock::now();
                if (!client.listStudies(&studies, &error, 120000))
                    break;
                replies.push_back(bench::msSince(t));
                // A reply short of the archive is kept: every listing is to be whole.
                if (listed < 0 || listed == expected)
                    listed = int(studies.size());
            }
        }
        done = true;
        (void)QTest::qWaitFor([&] { return release.load(); }, 60000);
    });
    side->start();
    while (relayPort == 0 && !done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    RemoteAccessServer* server = window.remoteAccessServer();
    server->start(QStringLiteral("127.0.0.1"), relayPort, QStringLiteral("t"), cert.fingerprint(), secret, QString());
    serverUp = true;
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, longest = 0;
    while (!done) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        const qint64 now = clock.elapsed();
        longest = std::max(longest, now - last);
        last = now;
    }
    server->stop();
    release = true;
    side->wait();
    delete side;
    if (listed != expected) {
        std::printf("  remote listing failed (%d of %d studies): %s\n", listed, expected, qPrintable(error));
        return;
    }
    std::printf("  remote listing of all %d studies: %.0f ms to the client; the window's longest pause while "
                "%d listings were served: %lld ms\n",
                expected, median(replies), repeats + 1, static_cast<long long>(longest));
}

bool runSize(int studies, const QString& scratch)
{
    std::printf("\n== %d studies, %d instance rows\n", studies,
                studies * kSeriesPerStudy * kInstancesPerSeries);
    std::fflush(stdout);
    QSettings().clear();
    auto t = bench::Clock::now();
    const QString realStudy =
        buildIndex(studies, QDir(scratch).filePath(QStringLiteral("series%1").arg(studies)));
    if (realStudy.isEmpty())
        return false;
    std::printf("  set-up (rows inserted directly in bulk SQL, not imported): %.1f s\n",
                bench::msSince(t) / 1000);

    CleanupSettings bySize;
    bySize.bySizeEnabled = true;
    bySize.maxSizeBytes = qint64(1) << 50; // a petabyte: nothing to remove, all to count
    saveCleanupSettings(bySize);
    double firstStart = 0, start = 0, blank = 0;
    timedStart(&firstStart, &blank).reset();
    std::vector<double> starts;
    for (int i = 0; i < 3; ++i) {
        timedStart(&start).reset();
        starts.push_back(start);
    }
    saveCleanupSettings(CleanupSettings{});
    std::printf("  start with the clean-up by size on, window shown with its list: first start on this index "
                "%.0f ms (longest stretch with no window shown or updated: %.0f ms), later starts %.0f ms\n",
                firstStart, blank, median(starts, false));
    auto window = timedStart(&start);
    std::printf("  start with the clean-up off: %.0f ms\n", start);
    // A session that was cut short leaves its mark: the next start looks the store over first.
    window.reset();
    QFile mark(QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath(QStringLiteral("store_sweep_due")));
    if (!mark.open(QIODevice::WriteOnly))
        return false;
    mark.close();
    double uncleanBlank = 0;
    window = timedStart(&start, &uncleanBlank);
    std::printf("  start after a session that was cut short: %.0f ms (longest stretch with no window shown or "
                "updated: %.0f ms)\n",
                start, uncleanBlank);
    QTableWidget* table = window->studyTable();
    auto* modality = window->findChild<ModalityFilterButton*>();
    auto* text = window->findChild<QLineEdit*>();
    if (table->rowCount() != studies + 1 || !modality || !text) {
        std::printf("  the window lists %d rows, not %d\n", table->rowCount(), studies + 1);
        return false;
    }

    const int repeats = 5;
    std::vector<double> on, off;
    int shownOn = 0;
    for (int i = 0; i <= repeats; ++i) {
        on.push_back(timedFilter([&] {
            modality->setSelectedModalities({QStringLiteral("MR")});
            window->applyStudyFilter();
        }));
        shownOn = visibleRows(table);
        off.push_back(timedFilter([&] {
            modality->setSelectedModalities({});
            window->applyStudyFilter();
        }));
    }
    std::vector<double> keystroke;
    int shownText = 0;
    for (int i = 0; i <= repeats; ++i) {
        text->setText(QStringLiteral("и"));
        QCoreApplication::processEvents();
        keystroke.push_back(timedFilter([&] { text->insert(QStringLiteral("в")); }));
        shownText = visibleRows(table);
        text->clear();
        QCoreApplication::processEvents();
    }
    std::printf("  modality filter MR on: %.1f ms (%d rows shown), off: %.1f ms\n", median(on), shownOn,
                median(off));
    std::printf("  text filter, second keystroke (\"и\" -> \"ив\"): %.1f ms (%d rows shown)\n",
                median(keystroke), shownText);

    // A study of three files imported as the folder import indexes them, then the list brought up to date.
    db::Database* index = window->database();
    std::vector<double> refresh;
    for (int i = 0; i <= repeats; ++i) {
        fixtures::SeriesLayout imported;
        imported.slices = 3;
        imported.rows = imported.columns = 16;
        imported.patientName = QStringLiteral("Новикова^Ольга");
        if (!fixtures::writeAndIndexSeries(*index, QDir(scratch).filePath(QStringLiteral("imported%1-%2").arg(studies).arg(i)),
                                           imported))
            return false;
        refresh.push_back(timedFilter([&] { window->refreshStudyTable(); }));
    }
    if (table->rowCount() != studies + 2 + repeats) {
        std::printf("  after the imports the window lists %d rows, not %d\n", table->rowCount(), studies + 2 + repeats);
        return false;
    }
    std::printf("  refresh of the list after an import of one study: %.1f ms\n", median(refresh));

    std::vector<double> byName, byDate, byCounts;
    for (int i = 0; i <= repeats; ++i) {
        byName.push_back(timedFilter([&] { table->sortByColumn(0, i % 2 ? Qt::DescendingOrder : Qt::AscendingOrder); }));
        byDate.push_back(timedFilter([&] { table->sortByColumn(2, i % 2 ? Qt::DescendingOrder : Qt::AscendingOrder); }));
        byCounts.push_back(timedFilter([&] { table->sortByColumn(5, i % 2 ? Qt::DescendingOrder : Qt::AscendingOrder); }));
    }
    table->sortByColumn(2, Qt::AscendingOrder);
    std::printf("  sort by name: %.1f ms, by date: %.1f ms, by series/images: %.1f ms\n", median(byName),
                median(byDate), median(byCounts));

    timeRemoteListing(*window, int(table->rowCount()), 3);

    const QString bulkStudy = QStringLiteral("1.2.826.0.1.%1").arg(studies / 2);
    const double lookup = bench::medianMs(repeats, [&] {
        if (!findStudy(*index, bulkStudy))
            std::printf("  study %s not found\n", qPrintable(bulkStudy));
    });
    std::printf("  one study looked up (export, burn, e-mail): %.2f ms\n", lookup);
    const double viewer = bench::medianMs(
        repeats, [&] { ViewerWindow viewerWindow(index, realStudy, QString(), nullptr, false); });
    std::printf("  viewer window built on the real study (study header lookup included): %.1f ms\n", viewer);

    CleanupSettings cleanup;
    cleanup.byAgeEnabled = true;
    cleanup.maxAgeDays = 30;
    saveCleanupSettings(cleanup);
    const qint64 writtenBefore = bytesWritten();
    const bool peakReset = fixtures::resetPeakResidentMemory();
    const qint64 residentBefore = fixtures::residentBytes("VmRSS");
    t = bench::Clock::now();
    window->runAutoCleanup();
    const double cleanupMs = bench::msSince(t);
    const qint64 written = bytesWritten() - writtenBefore;
    const qint64 peakGrowth = fixtures::residentBytes("VmHWM") - residentBefore;
    const qsizetype left = index->allStudies().size();
    std::printf("  start-up clean-up by age of all %d bulk studies: %.2f s, %.1f MB written, %lld studies left, "
                "peak memory %s%.0f MB above where it began\n",
                studies, cleanupMs / 1000, written / 1e6, static_cast<long long>(left), peakReset ? "" : "(no reset) ",
                peakGrowth / 1e6);
    saveCleanupSettings(CleanupSettings{});
    return left == 1 + repeats + 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as soon as it is known, also into a file
    // The program's settings and data live in the bench's own folders, never the user's.
    QTemporaryDir scratch;
    bench::keepProgramDataIn(scratch);
    QApplication app(argc, argv);
    bench::useProgramNames();
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);

    QList<int> sizes;
    for (int i = 1; i < argc; ++i)
        if (const int n = atoi(argv[i]); n > 0)
            sizes << n;
    if (sizes.isEmpty())
        sizes = {1000, 10000, 30000};
    std::printf("Large archive: %d series x %d instance rows per study, index on disk in %s\n",
                kSeriesPerStudy, kInstancesPerSeries, qPrintable(scratch.path()));
    for (const int studies : sizes)
        if (!runSize(studies, scratch.path()))
            return 1;
    return 0;
}
