// A large archive: the study list's filters, the one-study lookups and the start-up clean-up by age
// on indexes of 1,000 to 30,000 studies (33 instance rows each, about a million at 30,000).
//
//   bench_largearchive [studies ...]      (default 1000 10000 30000)
//
// The index is the program's own: a db::Database creates the schema in the program's data folder,
// then the rows go in directly, in bulk SQL, as no import could write a million of them in a bench
// run. One real series, written as DICOM files and indexed, is the study that the viewer opens. The
// filters run on a real study list window (offscreen); the clean-up is the one the window runs at
// start-up, with every bulk study imported long ago and indexed where its files lie (so it removes
// rows, no files).

#include "BenchSupport.h"
#include "support/IndexFixtures.h"

#include "app/MainWindow.h"
#include "app/ModalityFilterButton.h"
#include "app/PortableExport.h"
#include "db/CleanupSettings.h"
#include "db/Database.h"
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
// dozen surnames, every study imported on 1 January 2020; one transaction, no journal.
bool insertBulkRows(const QString& path, int studies, QString* error)
{
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
            "WITH RECURSIVE k(y) AS (SELECT 0 UNION ALL SELECT y + 1 FROM k WHERE y < %1) "
            "INSERT INTO instances SELECT se.series_instance_uid || '.' || y, se.series_instance_uid, "
            "y + 1, 512, 512, 1, 0.7, 0.7, 1.25, y * 1.25, 40, 400, 1, -1024, 0, 0, -180, -180, "
            "y * 1.25, 1, 0, 0, 0, 1, 0, 1, 0, 36000 + y, 0, '1.2.9', -1, 0, "
            "'/srv/dicom/' || se.series_instance_uid || '/IMG' || y || '.dcm' FROM series se, k")
            .arg(kInstancesPerSeries - 1),
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

    t = bench::Clock::now();
    auto window = std::make_unique<MainWindow>();
    window->show();
    QCoreApplication::processEvents();
    std::printf("  study list window opened and shown: %.0f ms\n", bench::msSince(t));
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
    auto median = [](std::vector<double> v) {
        v.erase(v.begin()); // the first run warms the caches
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("  modality filter MR on: %.1f ms (%d rows shown), off: %.1f ms\n", median(on), shownOn,
                median(off));
    std::printf("  text filter, second keystroke (\"и\" -> \"ив\"): %.1f ms (%d rows shown)\n",
                median(keystroke), shownText);

    db::Database* index = window->database();
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
    t = bench::Clock::now();
    window->runAutoCleanup();
    const double cleanupMs = bench::msSince(t);
    const qint64 written = bytesWritten() - writtenBefore;
    const qsizetype left = index->allStudies().size();
    std::printf(
        "  start-up clean-up by age of all %d bulk studies: %.2f s, %.1f MB written, %lld studies left\n",
        studies, cleanupMs / 1000, written / 1e6, static_cast<long long>(left));
    saveCleanupSettings(CleanupSettings{});
    return left == 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as soon as it is known, also into a file
    // The program's settings and data live in the bench's own folders, never the user's.
    QTemporaryDir scratch;
    for (const char* name : {"config", "data", "cache", "runtime"})
        QDir().mkpath(scratch.filePath(QLatin1String(name)));
    QFile::setPermissions(scratch.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", scratch.filePath(QStringLiteral("runtime")).toUtf8());
    qputenv("XDG_CONFIG_HOME", scratch.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", scratch.filePath(QStringLiteral("data")).toUtf8());
    qputenv("XDG_CACHE_HOME", scratch.filePath(QStringLiteral("cache")).toUtf8());
    qputenv("KALVENOR_UPDATE_URL", "none");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The offscreen platform's notes on every window would bury the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Brisvane"));
    QApplication::setApplicationName(QStringLiteral("VavovIvirur"));
    QApplication::setQuitOnLastWindowClosed(false);
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
