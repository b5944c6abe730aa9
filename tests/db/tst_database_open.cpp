// Opening the index: schema, connections, migration of older files, and files that cannot be used.

#include "DbTestSupport.h"

#include "db/Database.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>

using dbtest::makeSummary;
using dbtest::RawDb;

namespace {

// The index as an early version of the program wrote it, before the later columns existed.
const QStringList kOldSchema{
    "CREATE TABLE patients (patient_id TEXT PRIMARY KEY, patient_name TEXT, birth_date TEXT, sex TEXT)",
    "CREATE TABLE studies (study_instance_uid TEXT PRIMARY KEY, patient_id TEXT REFERENCES patients(patient_id), "
    "study_date TEXT, study_time TEXT, study_description TEXT, accession_number TEXT, referring_physician TEXT)",
    "CREATE TABLE series (series_instance_uid TEXT PRIMARY KEY, study_instance_uid TEXT REFERENCES "
    "studies(study_instance_uid), series_number TEXT, series_description TEXT, modality TEXT, body_part_examined TEXT)",
    "CREATE TABLE instances (sop_instance_uid TEXT PRIMARY KEY, series_instance_uid TEXT REFERENCES "
    "series(series_instance_uid), instance_number INTEGER, rows INTEGER, columns INTEGER, number_of_frames INTEGER, "
    "pixel_spacing_x REAL, pixel_spacing_y REAL, slice_thickness REAL, slice_location REAL, window_center REAL, "
    "window_width REAL, rescale_slope REAL, rescale_intercept REAL, file_path TEXT NOT NULL)",
    "CREATE INDEX idx_series_study ON series(study_instance_uid)",
    "INSERT INTO patients VALUES ('OLD1', 'Старый^Пациент', '19450509', 'F')",
    "INSERT INTO studies VALUES ('9.1', 'OLD1', '20090101', '080000', 'Old study', 'ACC', 'Dr')",
    "INSERT INTO series VALUES ('9.1.1', '9.1', '3', 'Old series', 'MR', 'HEAD')",
    "INSERT INTO instances VALUES ('9.1.1.1', '9.1.1', 100000, 256, 256, 1, 0.9, 0.9, 5, 10, 300, 600, 1, 0, "
    "'/old/a.dcm')",
    "INSERT INTO instances VALUES ('9.1.1.2', '9.1.1', 200000, 256, 256, 1, 0.9, 0.9, 5, 15, 300, 600, 1, 0, "
    "'/old/b.dcm')",
};

} // namespace

class TestDatabaseOpen : public QObject
{
    Q_OBJECT

private slots:
    void freshIndexEnforcesForeignKeys_data();
    void freshIndexEnforcesForeignKeys();
    void connectionsAreIndependentAndRemoved();
    void reopeningKeepsRowsAndSucceeds();
    void olderSchemaMigratesWithoutLosingRows();
    void unusablePathFailsCleanly_data();
    void unusablePathFailsCleanly();
    void readOnlyIndexReadsButRefusesWrites_data();
    void readOnlyIndexReadsButRefusesWrites();
    void damagedPagesNeverCrash();
    void unopenedObjectFailsCleanly();

private:
    QTemporaryDir m_dir;
};

void TestDatabaseOpen::freshIndexEnforcesForeignKeys_data()
{
    QTest::addColumn<bool>("inMemory");
    QTest::newRow("file") << false;
    QTest::newRow("memory") << true;
}

void TestDatabaseOpen::freshIndexEnforcesForeignKeys()
{
    QFETCH(bool, inMemory);
    const QString path = inMemory ? QStringLiteral(":memory:") : m_dir.filePath(QStringLiteral("fresh.sqlite3"));
    QFile::remove(path);
    db::Database database;
    QVERIFY2(database.open(path), qPrintable(database.lastError()));
    QVERIFY(database.lastError().isEmpty());
    QVERIFY(database.allStudies().isEmpty());

    // Deleting a study relies on the foreign keys being enforced, also in memory.
    QSqlQuery q(QSqlDatabase::database(database.connectionName(), false));
    QVERIFY(q.exec("PRAGMA foreign_keys") && q.next());
    QCOMPARE(q.value(0).toInt(), 1);
}

void TestDatabaseOpen::connectionsAreIndependentAndRemoved()
{
    // A leftover handle would make Qt warn when the connection is removed.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("still in use")));
    const QString path = m_dir.filePath(QStringLiteral("shared.sqlite3"));
    QString firstName;
    QString secondName;
    {
        db::Database first;
        db::Database second;
        firstName = first.connectionName();
        secondName = second.connectionName();
        QVERIFY(firstName != secondName);
        QVERIFY(!QSqlDatabase::contains(firstName)); // nothing is opened before open()

        QVERIFY(first.open(path));
        QVERIFY(second.open(QStringLiteral(":memory:")));
        QVERIFY(first.indexFile(makeSummary("1.1", "1.1.1", "1.1.1.1", 1, "/d/a.dcm")));
        QCOMPARE(first.allStudies().size(), 1);
        QVERIFY(second.allStudies().isEmpty());
        QVERIFY(QSqlDatabase::contains(firstName));
        QVERIFY(QSqlDatabase::contains(secondName));
    }
    QVERIFY(!QSqlDatabase::contains(firstName));
    QVERIFY(!QSqlDatabase::contains(secondName));
}

void TestDatabaseOpen::reopeningKeepsRowsAndSucceeds()
{
    const QString path = m_dir.filePath(QStringLiteral("reopen.sqlite3"));
    {
        db::Database database;
        QVERIFY(database.open(path));
        QVERIFY(database.indexFile(makeSummary("2.1", "2.1.1", "2.1.1.1", 1, "/d/a.dcm")));
        QVERIFY(database.setStudyProtected("2.1", true));
    }
    // Every migration fails on an up-to-date file, which must not count as a failure.
    db::Database again;
    QVERIFY2(again.open(path), qPrintable(again.lastError()));
    QVERIFY(again.lastError().isEmpty());
    const auto studies = again.allStudies();
    QCOMPARE(studies.size(), 1);
    QVERIFY(studies.first().isProtected);
    QCOMPARE(studies.first().instanceCount, 1);

    // Opening again on the same object replaces its connection; the name stays its own.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("still in use|duplicate connection")));
    const QString name = again.connectionName();
    QVERIFY(again.indexFile(makeSummary("2.1", "2.1.1", "2.1.1.2", 2, "/d/b.dcm"))); // statements are prepared
    QVERIFY(again.open(QStringLiteral(":memory:")));
    QCOMPARE(again.connectionName(), name);
    QVERIFY(again.allStudies().isEmpty());
    QVERIFY(again.indexFile(makeSummary("2.2", "2.2.1", "2.2.1.1", 1, "/d/c.dcm")));
    QCOMPARE(again.allStudies().size(), 1);
}

void TestDatabaseOpen::olderSchemaMigratesWithoutLosingRows()
{
    const QString path = m_dir.filePath(QStringLiteral("old.sqlite3"));
    {
        RawDb raw(path);
        QVERIFY(raw.ok());
        const QString error = raw.exec(kOldSchema);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    db::Database database;
    QVERIFY2(database.open(path), qPrintable(database.lastError()));

    const auto studies = database.allStudies();
    QCOMPARE(studies.size(), 1);
    const db::StudyRecord& st = studies.first();
    QCOMPARE(st.studyInstanceUid, QStringLiteral("9.1"));
    QCOMPARE(st.patientName, QStringLiteral("Старый^Пациент"));
    QCOMPARE(st.seriesCount, 1);
    QCOMPARE(st.instanceCount, 2);
    QCOMPARE(st.modalities, QStringLiteral("MR"));
    QCOMPARE(st.weightKg, 0.0);
    QVERIFY(!st.isProtected);

    const auto series = database.seriesForStudy("9.1");
    QCOMPARE(series.size(), 1);
    QVERIFY(series.first().laterality.isEmpty());

    const auto rows = database.instancesForSeries("9.1.1");
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).filePath, QStringLiteral("/old/a.dcm"));
    QCOMPARE(rows.at(1).filePath, QStringLiteral("/old/b.dcm"));
    QCOMPARE(rows.at(1).sliceLocation, 15.0);
    for (const db::InstanceRecord& r : rows) {
        QCOMPARE(r.acquisitionTimeSeconds, -1.0); // NULL in migrated rows
        QCOMPARE(r.triggerTimeMs, -1.0);
        QCOMPARE(r.frameIndex, 0);
        QCOMPARE(r.temporalPositionIndex, 0);
        QCOMPARE(r.cardiacNumberOfImages, 0);
        QVERIFY(!r.hasSpatialInfo);
        QCOMPARE(r.imagePosition[2], 0.0);
    }
    QCOMPARE(database.patientBodyInfo("9.1").sex, QStringLiteral("F"));
    QCOMPARE(database.patientBodyInfo("9.1").heightCm, 0.0);

    // The migrated file takes new rows and protection like a fresh one.
    QVERIFY2(database.indexFile(makeSummary("9.1", "9.1.2", "9.1.2.1", 1, "/new/c.dcm")),
             qPrintable(database.lastError()));
    QVERIFY(database.setStudyProtected("9.1", true));
    QCOMPARE(database.allStudies().first().seriesCount, 2);
    QVERIFY(database.allStudies().first().isProtected);

    RawDb raw(path);
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'idx_%'").toInt(), 3);
}

void TestDatabaseOpen::unusablePathFailsCleanly_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("missing folder") << "missing";
    QTest::newRow("path is a folder") << "folder";
    QTest::newRow("not a database") << "garbage";
    QTest::newRow("bad header") << "header";
}

void TestDatabaseOpen::unusablePathFailsCleanly()
{
    QFETCH(QString, kind);
    QString path;
    if (kind == "missing") {
        path = m_dir.filePath(QStringLiteral("no/such/folder/index.sqlite3"));
    } else if (kind == "folder") {
        path = m_dir.filePath(QStringLiteral("a-folder"));
        QVERIFY(QDir().mkpath(path));
    } else {
        path = m_dir.filePath(kind + QStringLiteral(".sqlite3"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        if (kind == "garbage") {
            for (int i = 0; i < 512; ++i)
                f.write("this is not a database file at all\n");
        } else {
            // A genuine header whose page size is invalid.
            QByteArray header("SQLite format 3\0", 16);
            header.append(QByteArray(84, '\x7f'));
            header.append(QByteArray(4000, '\0'));
            f.write(header);
        }
    }

    db::Database database;
    QVERIFY(!database.open(path));
    QVERIFY2(!database.lastError().isEmpty(), qPrintable(kind));
    // The object stays usable in the sense that nothing crashes and every answer is empty.
    QVERIFY(database.allStudies().isEmpty());
    QVERIFY(database.seriesForStudy("1").isEmpty());
    QVERIFY(database.instancesForSeries("1").isEmpty());
    QVERIFY(!database.studyExists("1"));
    QVERIFY(!database.indexFile(makeSummary("1", "1.1", "1.1.1", 1, "/x.dcm")));
    QVERIFY(!database.lastError().isEmpty());
    QVERIFY(!database.deleteStudy("1"));
}

void TestDatabaseOpen::readOnlyIndexReadsButRefusesWrites_data()
{
    QTest::addColumn<bool>("byPermissions");
    // A write-version byte above 2 makes SQLite treat the file as read-only for every user, root too.
    QTest::newRow("read-only file format") << false;
    QTest::newRow("read-only permissions") << true;
}

void TestDatabaseOpen::readOnlyIndexReadsButRefusesWrites()
{
    QFETCH(bool, byPermissions);
    if (byPermissions && ::geteuid() == 0)
        QSKIP("file permissions do not bind root");
    const QString path = m_dir.filePath(byPermissions ? QStringLiteral("ro-perm.sqlite3")
                                                      : QStringLiteral("ro-format.sqlite3"));
    {
        db::Database database;
        QVERIFY(database.open(path));
        QVERIFY(database.indexFile(makeSummary("3.1", "3.1.1", "3.1.1.1", 1, "/d/a.dcm")));
    }
    QFile f(path);
    if (byPermissions) {
        QVERIFY(f.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    } else {
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.seek(18));
        QVERIFY(f.write("\x03", 1) == 1);
        f.close();
    }
    const QByteArray before = [&] {
        QFile r(path);
        r.open(QIODevice::ReadOnly);
        return r.readAll();
    }();

    db::Database database;
    if (!database.open(path)) {
        QVERIFY(!database.lastError().isEmpty());
    } else {
        QCOMPARE(database.allStudies().size(), 1);
        QVERIFY(!database.indexFile(makeSummary("3.2", "3.2.1", "3.2.1.1", 1, "/d/b.dcm")));
        QVERIFY2(database.lastError().contains("readonly"), qPrintable(database.lastError()));
        QVERIFY(!database.setStudyProtected("3.1", true));
        QVERIFY(!database.deleteStudy("3.1"));
        QVERIFY(!database.lastError().isEmpty());
        QCOMPARE(database.allStudies().size(), 1);
        QVERIFY(!database.allStudies().first().isProtected);
        QCOMPARE(database.instancesForSeries("3.1.1").size(), 1);
    }
    QFile r(path);
    QVERIFY(r.open(QIODevice::ReadOnly));
    QCOMPARE(r.readAll(), before);
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void TestDatabaseOpen::damagedPagesNeverCrash()
{
    const QString path = m_dir.filePath(QStringLiteral("damaged.sqlite3"));
    {
        db::Database database;
        QVERIFY(database.open(path));
        for (int i = 0; i < 300; ++i)
            QVERIFY(database.indexFile(makeSummary(QStringLiteral("4.%1").arg(i / 30), QStringLiteral("4.%1.1").arg(i / 30),
                                                   QStringLiteral("4.1.1.%1").arg(i), i,
                                                   QStringLiteral("/d/%1.dcm").arg(i))));
    }
    // Keep the first page (the schema) and scribble over the rest.
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadWrite));
    const qint64 size = f.size();
    QVERIFY(size > 16384);
    QVERIFY(f.seek(4096));
    QByteArray junk(size - 4096, '\0');
    for (qsizetype i = 0; i < junk.size(); ++i)
        junk[i] = char((i * 131 + 17) & 0xff);
    f.write(junk);
    f.close();

    db::Database database;
    const bool opened = database.open(path);
    if (!opened)
        QVERIFY(!database.lastError().isEmpty());
    // Whatever can still be read is read; nothing crashes and failed writes explain themselves.
    database.allStudies();
    database.seriesForStudy("4.1");
    database.instancesForSeries("4.1.1");
    database.studyFilePaths("4.1");
    if (!database.indexFile(makeSummary("5.1", "5.1.1", "5.1.1.1", 1, "/d/new.dcm")))
        QVERIFY(!database.lastError().isEmpty());
    if (!database.deleteStudy("4.2"))
        QVERIFY(!database.lastError().isEmpty() || !database.studyExists("4.2"));
}

void TestDatabaseOpen::unopenedObjectFailsCleanly()
{
    db::Database database;
    QVERIFY(database.lastError().isEmpty());
    QVERIFY(database.allStudies().isEmpty());
    QVERIFY(database.otherStudiesOfPatient("P1", "x").isEmpty());
    QVERIFY(database.studyFilePaths("x").isEmpty());
    QCOMPARE(database.patientBodyInfo("x").weightKg, 0.0);
    QVERIFY(!database.indexFile(makeSummary("1", "1.1", "1.1.1", 1, "/x.dcm")));
    QVERIFY(!database.lastError().isEmpty());
    QVERIFY(!database.setStudyProtected("1", true));
}

QTEST_GUILESS_MAIN(TestDatabaseOpen)
#include "tst_database_open.moc"
