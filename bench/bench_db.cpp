// Index speed: indexing summaries into an index file on disk, and listing all studies of a large index.
//
//   bench_db [studies]      (default 10000 studies with 100 instance rows each = 1,000,000 rows)

#include "BenchSupport.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

dicom::DicomFileSummary summary(int i)
{
    dicom::DicomFileSummary s;
    const int study = i / 500;
    const int series = i / 100;
    s.patientId = QStringLiteral("PAT%1").arg(study);
    s.patientName = QStringLiteral("Иванов^Пётр %1").arg(study);
    s.birthDate = QStringLiteral("19600101");
    s.sex = QStringLiteral("M");
    s.weightKg = 80;
    s.heightCm = 180;
    s.studyInstanceUid = QStringLiteral("1.2.826.0.1.3680043.2.1.%1").arg(study);
    s.studyDate = QStringLiteral("20240115");
    s.studyTime = QStringLiteral("101500");
    s.studyDescription = QStringLiteral("КТ органов грудной клетки");
    s.accessionNumber = QStringLiteral("A%1").arg(study);
    s.seriesInstanceUid = QStringLiteral("1.2.826.0.1.3680043.2.1.%1.%2").arg(study).arg(series);
    s.seriesNumber = QString::number(series % 5 + 1);
    s.seriesDescription = QStringLiteral("Axial 1.25 mm");
    s.modality = QStringLiteral("CT");
    s.bodyPartExamined = QStringLiteral("CHEST");
    s.sopInstanceUid = QStringLiteral("1.2.826.0.1.3680043.2.1.%1.%2.%3").arg(study).arg(series).arg(i);
    s.instanceNumber = i % 100 + 1;
    s.rows = 512;
    s.columns = 512;
    s.pixelSpacingX = s.pixelSpacingY = 0.7;
    s.sliceThickness = 1.25;
    s.sliceLocation = 1.25 * (i % 100);
    s.windowCenter = 40;
    s.windowWidth = 400;
    s.rescaleIntercept = -1024;
    s.imagePosition = {-180.0, -180.0, s.sliceLocation};
    s.orientationRow = {1, 0, 0};
    s.orientationCol = {0, 1, 0};
    s.hasSpatialInfo = true;
    s.frameOfReferenceUid = QStringLiteral("1.2.826.0.1.3680043.2.9.%1").arg(study);
    s.acquisitionTimeSeconds = 36000 + i * 0.5;
    s.filePath = QStringLiteral("/home/user/DICOM/Исследование %1/IMG%2.dcm").arg(study).arg(i, 6, 10, QLatin1Char('0'));
    return s;
}

dicom::DicomFileSummary enhanced(int frames)
{
    dicom::DicomFileSummary s = summary(0);
    s.studyInstanceUid = QStringLiteral("2.25.1");
    s.seriesInstanceUid = QStringLiteral("2.25.1.1");
    s.sopInstanceUid = QStringLiteral("2.25.1.1.1");
    s.numberOfFrames = frames;
    for (int f = 0; f < frames; ++f) {
        s.perFrameSliceLocation << f * 0.5;
        s.perFramePositionX << -180.0;
        s.perFramePositionY << -180.0;
        s.perFramePositionZ << f * 0.5;
        s.perFrameTemporalPositionIndex << 1;
    }
    return s;
}

// Fills an index with studies x 4 series x 25 instances in one transaction, in bulk SQL.
bool buildLargeIndex(const QString& path, int studies, QString* error)
{
    const QStringList statements{
        QStringLiteral("WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM n WHERE x < %1) "
                       "INSERT INTO patients (patient_key, patient_id, patient_name, birth_date, sex, "
                       "weight_kg, height_cm) SELECT x + 1, 'PAT' || x, 'Иванов^Пётр ' || x, '19600101', "
                       "CASE x % 2 WHEN 0 THEN 'M' ELSE 'F' END, 70 + x % 30, 170 + x % 20 FROM n")
            .arg(studies / 3),
        QStringLiteral("WITH RECURSIVE n(x) AS (SELECT 0 UNION ALL SELECT x + 1 FROM n WHERE x < %1) "
                       "INSERT INTO studies (study_instance_uid, patient_key, study_date, study_time, "
                       "study_description, accession_number, referring_physician, is_protected) "
                       "SELECT '1.2.826.0.1.' || x, 1 + x % %2, "
                       "printf('20%02d%02d%02d', x % 25, 1 + x % 12, 1 + x % 28), "
                       "printf('%02d%02d00', x % 24, x % 60), 'КТ органов грудной клетки', 'A' || x, "
                       "'Ref^Doc', x % 7 = 0 FROM n")
            .arg(studies - 1)
            .arg(studies / 3),
        "WITH RECURSIVE k(y) AS (SELECT 0 UNION ALL SELECT y + 1 FROM k WHERE y < 3) "
        "INSERT INTO series SELECT st.study_instance_uid || '.' || y, st.study_instance_uid, y + 1, "
        "'Series ' || y, CASE y WHEN 3 THEN 'SR' WHEN 2 THEN 'PT' ELSE 'CT' END, 'CHEST', '' "
        "FROM studies st, k",
        "WITH RECURSIVE k(y) AS (SELECT 0 UNION ALL SELECT y + 1 FROM k WHERE y < "
        "24) " KALVENOR_BULK_INSTANCE_INSERT
        "SELECT se.series_instance_uid || '.' || y, se.series_instance_uid, "
        "(y + 1) * 100000, 512, 512, 1, 0.7, 0.7, 1.25, y * 1.25, 40, 400, 1, -1024, 0, 0, -180, -180, "
        "y * 1.25, 1, 0, 0, 0, 1, 0, 1, 0, 36000 + y, 0, '1.2.9', -1, 0, "
        "'/home/user/DICOM/' || se.series_instance_uid || '/IMG' || y || '.dcm' FROM series se, k",
    };
    return bench::execBulkSql(path, statements, error);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int studies = argc > 1 ? std::max(1, atoi(argv[1])) : 10000;
    QTemporaryDir dir;

    {
        db::Database database;
        if (!database.open(dir.filePath(QStringLiteral("index.sqlite3")))) {
            std::printf("open failed: %s\n", qPrintable(database.lastError()));
            return 1;
        }
        const int files = 10000;
        std::vector<dicom::DicomFileSummary> summaries;
        summaries.reserve(files);
        for (int i = 0; i < files; ++i)
            summaries.push_back(summary(i));
        QElapsedTimer t;
        t.start();
        for (const auto& s : summaries) {
            if (!database.indexFile(s)) {
                std::printf("indexFile failed: %s\n", qPrintable(database.lastError()));
                return 1;
            }
        }
        const double ms = t.nsecsElapsed() / 1e6;
        std::printf("indexFile: %d single-frame files in %.0f ms = %.0f files/s (on disk, synchronous NORMAL)\n",
                    files, ms, files / (ms / 1000.0));

        // The same files into memory: the writer's own cost, without the journal's file system work.
        {
            db::Database memory;
            memory.open(QStringLiteral(":memory:"));
            t.restart();
            for (const auto& s : summaries)
                memory.indexFile(s);
            const double memMs = t.nsecsElapsed() / 1e6;
            std::printf("indexFile: %d single-frame files in memory in %.0f ms = %.0f files/s\n", files, memMs,
                        files / (memMs / 1000.0));
        }

        const dicom::DicomFileSummary big = enhanced(1000);
        t.restart();
        if (!database.indexFile(big)) {
            std::printf("indexFile failed: %s\n", qPrintable(database.lastError()));
            return 1;
        }
        std::printf("indexFile: one 1000-frame enhanced file in %.1f ms\n", t.nsecsElapsed() / 1e6);
        t.restart();
        const auto rows = database.instancesForSeries(big.seriesInstanceUid);
        std::printf("instancesForSeries: %lld rows in %.1f ms\n", static_cast<long long>(rows.size()),
                    t.nsecsElapsed() / 1e6);
    }

    const QString largePath = dir.filePath(QStringLiteral("large.sqlite3"));
    {
        db::Database schema; // the bulk rows go into the real schema
        if (!schema.open(largePath)) {
            std::printf("open failed: %s\n", qPrintable(schema.lastError()));
            return 1;
        }
    }
    QElapsedTimer t;
    t.start();
    QString error;
    if (!buildLargeIndex(largePath, studies, &error)) {
        std::printf("building the large index failed: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("set-up: %d studies, %d instance rows written in %.1f s\n", studies, studies * 100,
                t.nsecsElapsed() / 1e9);

    db::Database database;
    if (!database.open(largePath)) {
        std::printf("open failed: %s\n", qPrintable(database.lastError()));
        return 1;
    }
    std::vector<double> times;
    qsizetype listed = 0;
    long long instances = 0;
    for (int run = 0; run < 6; ++run) {
        t.restart();
        const auto all = database.allStudies();
        times.push_back(t.nsecsElapsed() / 1e6);
        listed = all.size();
        instances = 0;
        for (const auto& s : all)
            instances += s.instanceCount;
    }
    const double first = times.front();
    std::sort(times.begin() + 1, times.end());
    std::printf("allStudies: %lld studies, %lld instance rows counted: first %.0f ms, median %.0f ms\n",
                static_cast<long long>(listed), instances, first, times[times.size() / 2]);

    t.restart();
    const auto series = database.seriesForStudy(QStringLiteral("1.2.826.0.1.5000"));
    const auto rows = database.instancesForSeries(QStringLiteral("1.2.826.0.1.5000.0"));
    std::printf("seriesForStudy + instancesForSeries: %lld + %lld rows in %.2f ms\n",
                static_cast<long long>(series.size()), static_cast<long long>(rows.size()), t.nsecsElapsed() / 1e6);

    // The first start of this version on an earlier version's index whose every row names a copy in
    // the store, recorded whole: each is recorded relative to its store folder once.
    database.open(QStringLiteral(":memory:"));
    const QString store = dir.filePath(QStringLiteral("data/imported_from_zip"));
    if (!bench::execBulkSql(largePath,
                            {QStringLiteral("UPDATE instances SET own_copy = 1, file_path = '%1/' || "
                                            "series_instance_uid || '/' || sop_instance_uid || '.dcm'")
                                 .arg(store),
                             QStringLiteral("DELETE FROM store_folders"),
                             QStringLiteral("PRAGMA user_version = 1")},
                            &error) ||
        !database.open(largePath)) {
        std::printf("the earlier version's index could not be made: %s\n",
                    qPrintable(error + database.lastError()));
        return 1;
    }
    t.restart();
    if (!database.setStoreFolders({store, dir.filePath(QStringLiteral("data/pacs_downloads"))})) {
        std::printf("setStoreFolders failed: %s\n", qPrintable(database.lastError()));
        return 1;
    }
    std::printf("first start on an earlier version's index: %lld store rows recorded anew in %.1f s\n",
                instances, t.nsecsElapsed() / 1e9);
    return 0;
}
