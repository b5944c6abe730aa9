// Opening the index: schema, connections, migration of older files, and files that cannot be used.

#include "DbTestSupport.h"

#include "db/Database.h"
#include "db/IndexReader.h"
#include "support/EarlierIndexShapes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
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

// The index as the version before patients were keyed by ID, name and birth date wrote it: patients
// keyed by Patient ID alone, one patient row shared by every study without an ID.
const QStringList kIdKeyedSchema{
    "CREATE TABLE patients (patient_id TEXT PRIMARY KEY, patient_name TEXT, birth_date TEXT, sex TEXT, "
    "weight_kg REAL, height_cm REAL)",
    "CREATE TABLE studies (study_instance_uid TEXT PRIMARY KEY, patient_id TEXT REFERENCES patients(patient_id), "
    "study_date TEXT, study_time TEXT, study_description TEXT, accession_number TEXT, referring_physician TEXT, "
    "is_protected INTEGER DEFAULT 0)",
    "CREATE TABLE series (series_instance_uid TEXT PRIMARY KEY, study_instance_uid TEXT REFERENCES "
    "studies(study_instance_uid), series_number TEXT, series_description TEXT, modality TEXT, "
    "body_part_examined TEXT, laterality TEXT)",
    "CREATE TABLE instances (sop_instance_uid TEXT PRIMARY KEY, series_instance_uid TEXT REFERENCES "
    "series(series_instance_uid), instance_number INTEGER, rows INTEGER, columns INTEGER, number_of_frames INTEGER, "
    "pixel_spacing_x REAL, pixel_spacing_y REAL, slice_thickness REAL, slice_location REAL, window_center REAL, "
    "window_width REAL, rescale_slope REAL, rescale_intercept REAL, repetition_time REAL, echo_time REAL, "
    "image_position_x REAL, image_position_y REAL, image_position_z REAL, orientation_row_x REAL, "
    "orientation_row_y REAL, orientation_row_z REAL, orientation_col_x REAL, orientation_col_y REAL, "
    "orientation_col_z REAL, has_spatial_info INTEGER, frame_index INTEGER DEFAULT 0, "
    "acquisition_time_seconds REAL, temporal_position_index INTEGER DEFAULT 0, frame_of_reference_uid TEXT, "
    "trigger_time_ms REAL, cardiac_number_of_images INTEGER DEFAULT 0, file_path TEXT NOT NULL)",
    "CREATE INDEX idx_studies_patient ON studies(patient_id)",
    "CREATE INDEX idx_series_study ON series(study_instance_uid)",
    "CREATE INDEX idx_instances_series ON instances(series_instance_uid)",
    "INSERT INTO patients VALUES ('P1', 'Иванов^Иван', '19500101', 'M', 81.5, 178)",
    "INSERT INTO patients VALUES ('', 'Anon', '', 'F', NULL, NULL)",
    "INSERT INTO patients VALUES ('P2', 'Петров^Пётр', '19611231', 'M', NULL, NULL)",
    "INSERT INTO patients VALUES ('P9', 'Без^Исследований', '', '', NULL, NULL)",
    "INSERT INTO studies VALUES ('1.1', 'P1', '20200101', '080000', 'КТ', 'A1', 'Ref', 1)",
    "INSERT INTO studies VALUES ('1.2', 'P1', '20210101', '090000', 'МРТ', 'A2', 'Ref', 0)",
    "INSERT INTO studies VALUES ('1.3', '', '20220101', '100000', 'US', '', '', 1)",
    "INSERT INTO studies VALUES ('1.4', '', '20220102', '100000', 'US', '', '', 0)",
    "INSERT INTO studies VALUES ('1.5', 'P2', '20230101', '110000', 'PET', 'A5', '', 0)",
    "INSERT INTO studies VALUES ('1.6', 'ghost', '20240101', '120000', 'Lost', '', '', 0)",
    "INSERT INTO series VALUES ('1.1.1', '1.1', '1', 'Ax', 'CT', 'CHEST', '')",
    "INSERT INTO series VALUES ('1.2.1', '1.2', '2', 'T1', 'MR', 'HEAD', 'L')",
    "INSERT INTO series VALUES ('1.3.1', '1.3', '1', '', 'US', '', '')",
    "INSERT INTO series VALUES ('1.4.1', '1.4', '1', '', 'US', '', '')",
    "INSERT INTO series VALUES ('1.5.1', '1.5', '1', '', 'PT', '', '')",
    "INSERT INTO instances (sop_instance_uid, series_instance_uid, instance_number, number_of_frames, "
    "file_path) VALUES ('1.1.1.1', '1.1.1', 100000, 1, '/store/Иванов/a.dcm'), "
    "('1.1.1.2', '1.1.1', 200000, 1, '/store/Иванов/b.dcm'), ('1.2.1.1', '1.2.1', 100000, 1, '/mr/1.dcm'), "
    "('1.3.1.1', '1.3.1', 100000, 1, '/us/1.dcm'), ('1.4.1.1', '1.4.1', 100000, 1, '/us/2.dcm'), "
    "('1.5.1.1', '1.5.1', 100000, 2, '/pt/multi.dcm'), ('1.5.1.1#f1', '1.5.1', 100001, 2, '/pt/multi.dcm')",
};

// Every study as the study list reads it, one line each, ordered by UID.
QStringList studyLines(const QList<db::StudyRecord>& studies)
{
    QStringList out;
    for (const db::StudyRecord& st : studies)
        out << QStringList{st.studyInstanceUid, st.patientId, st.patientName, st.birthDate, st.sex,
                           QString::number(st.weightKg), st.studyDate, st.studyTime, st.studyDescription,
                           st.accessionNumber, QString::number(st.seriesCount), QString::number(st.instanceCount),
                           QString::number(st.isProtected), st.modalities}
                   .join('|');
    out.sort();
    return out;
}

// Everything the program reads of an index, one line each: what an index of an earlier version that
// cannot be written must give as its upgrade would.
QStringList readingOf(const db::Database& database)
{
    QStringList out = studyLines(database.allStudies());
    for (const db::StudyRecord& st : database.allStudies()) {
        const QString uid = st.studyInstanceUid;
        const db::PatientBodyInfo body = database.patientBodyInfo(uid);
        out << uid + " body " + body.sex + '|' + QString::number(body.weightKg) + '|' + QString::number(body.heightCm)
            << uid + " bytes " + QString::number(database.studyRecord(uid).value_or(db::StudyRecord()).storeBytes)
            << uid + " files " + database.studyFilePaths(uid).join(',');
        for (const db::StudyRecord& other : database.otherStudiesOfPatient(st.patientId, uid))
            out << uid + " other " + other.studyInstanceUid;
        for (const db::IndexedFile& file : database.studyFiles(uid))
            out << uid + " file " + file.filePath + '|' + file.sopInstanceUid + '|'
                       + QString::number(file.ownCopy.value_or(false)) + '|' + QString::number(file.fileSize.value_or(-1));
        for (const db::SeriesRecord& se : database.seriesForStudy(uid)) {
            out << QStringList{se.seriesInstanceUid, se.modality, se.seriesNumber, QString::number(se.instanceCount),
                               se.laterality}
                       .join('|');
            for (const db::InstanceRecord& r : database.instancesForSeries(se.seriesInstanceUid))
                out << QStringList{r.sopInstanceUid, r.filePath, QString::number(r.instanceNumber),
                                   QString::number(r.frameIndex), QString::number(r.sliceLocation),
                                   QString::number(r.hasSpatialInfo), QString::number(r.imagePosition[2])}
                           .join('|');
        }
    }
    return out;
}

// What an open of a copy of the file reads once it brought the copy up to date.
QStringList readingOfUpgradedCopy(const QString& path)
{
    const QString copy = path + QStringLiteral(".upgraded");
    QFile::remove(copy);
    if (!QFile::copy(path, copy))
        return {QStringLiteral("not copied")};
    db::Database database;
    if (!database.open(copy) || !database.isWritable())
        return {QStringLiteral("not upgraded: ") + database.lastError()};
    return readingOf(database);
}

// Words of the database library (English) in a text meant for the user.
bool hasLatinWords(const QString& text)
{
    return text.contains(QRegularExpression(QStringLiteral("[A-Za-z]{2,}")));
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
    void idKeyedIndexMigratesKeepingEveryStudy();
    void idKeyedIndexThatCannotBeWrittenIsLeftAsItWas_data();
    void idKeyedIndexThatCannotBeWrittenIsLeftAsItWas();
    void unusablePathFailsCleanly_data();
    void unusablePathFailsCleanly();
    void readOnlyIndexReadsButRefusesWrites_data();
    void readOnlyIndexReadsButRefusesWrites();
    void lockedIndexFailsAtOnceSayingItIsInUse_data();
    void lockedIndexFailsAtOnceSayingItIsInUse();
    void damagedPagesNeverCrash();
    void unopenedObjectFailsCleanly();
    void olderIndexGainsTheRemovalList();
    void pendingRemovalsGoWithTheirRows_data();
    void pendingRemovalsGoWithTheirRows();
    void integrityCheckFindsDamage_data();
    void integrityCheckFindsDamage();

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
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name LIKE 'idx_%'").toInt(), 4);
}

void TestDatabaseOpen::idKeyedIndexMigratesKeepingEveryStudy()
{
    const QString path = m_dir.filePath(QStringLiteral("id-keyed.sqlite3"));
    QStringList instancesBefore;
    QStringList seriesBefore;
    QString instanceColumns; // as the earlier version had them; the index adds its own after them
    {
        RawDb raw(path);
        QVERIFY(raw.ok());
        const QString error = raw.exec(kIdKeyedSchema);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        instanceColumns = raw.columns("instances").join(", ");
        instancesBefore = raw.rows("SELECT * FROM instances ORDER BY sop_instance_uid");
        seriesBefore = raw.rows("SELECT * FROM series ORDER BY series_instance_uid");
    }
    const QStringList expected{
        "1.1|P1|Иванов^Иван|19500101|M|81.5|20200101|080000|КТ|A1|1|2|1|CT",
        "1.2|P1|Иванов^Иван|19500101|M|81.5|20210101|090000|МРТ|A2|1|1|0|MR",
        "1.3||Anon||F|0|20220101|100000|US||1|1|1|US",
        "1.4||Anon||F|0|20220102|100000|US||1|1|0|US",
        "1.5|P2|Петров^Пётр|19611231|M|0|20230101|110000|PET|A5|1|2|0|PT",
        "1.6|||||0|20240101|120000|Lost||0|0|0|", // its patient row was already missing
    };
    const QDateTime migrated = QDateTime::currentDateTimeUtc().addSecs(-1);
    QList<QDateTime> importTimes;
    for (int pass = 0; pass < 2; ++pass) { // the second open finds nothing left to do
        db::Database database;
        QVERIFY2(database.open(path), qPrintable(database.lastError()));
        QCOMPARE(studyLines(database.allStudies()), expected);
        // Studies indexed before import times were kept count as imported by the migration, and
        // keep that time afterwards.
        QList<QDateTime> times;
        for (const db::StudyRecord& st : database.allStudies()) {
            QVERIFY(st.importedAt >= migrated && st.importedAt <= QDateTime::currentDateTimeUtc());
            times << st.importedAt;
        }
        if (pass == 1)
            QCOMPARE(times, importTimes);
        importTimes = times;
        QCOMPARE(database.studyFilePaths("1.1"), (QStringList{"/store/Иванов/a.dcm", "/store/Иванов/b.dcm"}));
        QCOMPARE(database.studyFilePaths("1.5"), QStringList{"/pt/multi.dcm"});
        QCOMPARE(database.patientBodyInfo("1.1").heightCm, 178.0);
        QCOMPARE(database.otherStudiesOfPatient("P1", "1.1").size(), 1);
        RawDb raw(path);
        QCOMPARE(raw.rows("SELECT " + instanceColumns + " FROM instances ORDER BY sop_instance_uid"), instancesBefore);
        QCOMPARE(raw.rows("SELECT * FROM series ORDER BY series_instance_uid"), seriesBefore);
        QVERIFY(raw.rows("PRAGMA foreign_key_check").isEmpty());
        // The two studies without a Patient ID no longer share a patient; the study-less one is gone.
        QCOMPARE(raw.rows("SELECT patient_id, patient_name FROM patients ORDER BY patient_key"),
                 (QStringList{"P1|Иванов^Иван", "P2|Петров^Пётр", "|Anon", "|Anon"}));
    }

    // The migrated index takes files as a fresh one does: the same person joins the patient, a
    // corrected name gets its own.
    db::Database database;
    QVERIFY(database.open(path));
    dicom::DicomFileSummary same = makeSummary("1.7", "1.7.1", "1.7.1.1", 1, "/new/a.dcm");
    same.patientId = "P1";
    same.patientName = "Иванов^Иван";
    same.birthDate = "19500101";
    QVERIFY2(database.indexFile(same), qPrintable(database.lastError()));
    QCOMPARE(database.otherStudiesOfPatient("P1", "1.7").size(), 2);
    dicom::DicomFileSummary anon = makeSummary("1.3", "1.3.1", "1.3.1.1", 1, "/us/1.dcm");
    anon.patientId.clear();
    anon.patientName = "Сидоров^Сидор";
    QVERIFY(database.indexFile(anon));
    const auto studies = database.allStudies();
    const auto byUid = [&studies](const char* uid) {
        return *std::find_if(studies.begin(), studies.end(),
                             [uid](const db::StudyRecord& st) { return st.studyInstanceUid == uid; });
    };
    QCOMPARE(byUid("1.3").patientName, QStringLiteral("Сидоров^Сидор"));
    QVERIFY(byUid("1.3").isProtected);
    QCOMPARE(byUid("1.4").patientName, QStringLiteral("Anon"));
}

void TestDatabaseOpen::idKeyedIndexThatCannotBeWrittenIsLeftAsItWas_data()
{
    QTest::addColumn<QStringList>("schema");
    QTest::newRow("keyed by patient ID") << kIdKeyedSchema;
    QTest::newRow("earliest") << kOldSchema;
}

void TestDatabaseOpen::idKeyedIndexThatCannotBeWrittenIsLeftAsItWas()
{
    QFETCH(QStringList, schema);
    const QString path = m_dir.filePath(QStringLiteral("id-keyed-ro-%1.sqlite3").arg(QTest::currentDataTag()));
    {
        RawDb raw(path);
        QVERIFY(raw.exec(schema).isEmpty());
    }
    const QStringList upgraded = readingOfUpgradedCopy(path);
    QVERIFY(upgraded.size() > 5);
    // A write-version byte above 2: SQLite reads the file but writes nothing, for every user.
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(18) && f.write("\x03", 1) == 1);
    }
    const QByteArray before = fileBytes(path);
    {
        // Read as it is, as its upgrade would read it: each study without a Patient ID its own patient.
        db::Database database;
        QVERIFY2(database.open(path), qPrintable(database.lastError()));
        QVERIFY(!database.isWritable());
        QVERIFY(database.isOfEarlierVersion());
        QCOMPARE(readingOf(database), upgraded);
        // A reader away from the index's thread reads it alike.
        db::IndexReader reader(path);
        const std::optional<QList<db::StudyRecord>> listed = reader.allStudies();
        QVERIFY(listed);
        QCOMPARE(studyLines(*listed), studyLines(database.allStudies()));
        const QString first = database.allStudies().first().studyInstanceUid;
        QVERIFY(!database.setStudyProtected(first, true));
        QVERIFY(!database.deleteStudy(first));
        QVERIFY2(database.lastError().contains(QStringLiteral("только для чтения")) && !hasLatinWords(database.lastError()),
                 qPrintable(database.lastError()));
    }
    QCOMPARE(fileBytes(path), before);
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
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QString>("earlier"); // the earlier version whose index it is (fixtures::shapeAsEarlierIndex)
    // A write-version byte above 2 makes SQLite treat the file as read-only for every user, root too.
    QTest::newRow("read-only file format") << "format" << "только для чтения" << "";
    QTest::newRow("read-only permissions") << "permissions" << "только для чтения" << "";
    // The version before the rows kept their files' versions: read as it is, not brought up to date.
    QTest::newRow("read-only index of an earlier version") << "earlier format" << "только для чтения"
                                                           << "before file versions";
    // Every version before it, each read as it is, as its upgrade would read it.
    for (const QString& version : fixtures::earlierIndexVersions().mid(1))
        QTest::newRow(qPrintable("read-only index of the version " + version))
            << "earlier format" << "только для чтения" << version;
    // Another program in the middle of reading: nothing can be committed until it ends.
    QTest::newRow("another program reading") << "reader" << "другой программой" << "";
}

void TestDatabaseOpen::readOnlyIndexReadsButRefusesWrites()
{
    QFETCH(QString, kind);
    QFETCH(QString, cause);
    QFETCH(QString, earlier);
    if (kind == "permissions" && ::geteuid() == 0)
        QSKIP("file permissions do not bind root");
    const QString path = m_dir.filePath(QStringLiteral("ro-%1-%2.sqlite3").arg(kind, earlier));
    {
        db::Database database;
        QVERIFY(database.open(path));
        QVERIFY(database.isWritable());
        QVERIFY(database.readOnlyReason().isEmpty());
        QVERIFY(database.indexFile(makeSummary("3.1", "3.1.1", "3.1.1.1", 1, "/d/a.dcm")));
    }
    QFile f(path);
    std::unique_ptr<RawDb> reader;
    QStringList upgraded;
    if (kind == "permissions") {
        QVERIFY(f.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    } else if (kind.endsWith("format")) {
        if (kind == "earlier format") {
            QCOMPARE(fixtures::shapeAsEarlierIndex(path, earlier), QString());
            upgraded = readingOfUpgradedCopy(path);
        }
        QVERIFY(f.open(QIODevice::ReadWrite));
        QVERIFY(f.seek(18));
        QVERIFY(f.write("\x03", 1) == 1);
        f.close();
    } else {
        reader = std::make_unique<RawDb>(path);
        QVERIFY(reader->exec({"BEGIN", "SELECT COUNT(*) FROM instances"}).isEmpty());
    }
    const QByteArray before = fileBytes(path);

    {
        db::Database database;
        QVERIFY2(database.open(path), qPrintable(database.lastError()));
        QVERIFY(!database.isWritable());
        QVERIFY2(database.readOnlyReason().contains(cause), qPrintable(database.readOnlyReason()));
        QVERIFY2(!hasLatinWords(database.readOnlyReason()), qPrintable(database.readOnlyReason()));
        QCOMPARE(database.isOfEarlierVersion(), kind == "earlier format");
        QCOMPARE(database.allStudies().size(), 1);
        if (!upgraded.isEmpty())
            QCOMPARE(readingOf(database), upgraded);
        QVERIFY(!database.indexFile(makeSummary("3.2", "3.2.1", "3.2.1.1", 1, "/d/b.dcm")));
        QVERIFY2(database.lastError().contains(cause), qPrintable(database.lastError()));
        QVERIFY2(!hasLatinWords(database.lastError()), qPrintable(database.lastError()));
        QStringList paths{"stale"};
        QVERIFY(!database.deleteStudies({"3.1"}, &paths));
        QVERIFY(paths.isEmpty()); // nothing named for deletion when the rows stay
        if (kind != "reader") { // each write waits out the reader's lock first
            QVERIFY(!database.setStudyProtected("3.1", true));
            QVERIFY(!database.deleteStudy("3.1"));
            QVERIFY(!database.lastError().isEmpty());
        }
        QCOMPARE(database.allStudies().size(), 1);
        QVERIFY(!database.allStudies().first().isProtected);
        QCOMPARE(database.instancesForSeries("3.1.1").size(), 1);
    }
    QCOMPARE(fileBytes(path), before);
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void TestDatabaseOpen::lockedIndexFailsAtOnceSayingItIsInUse_data()
{
    QTest::addColumn<bool>("idKeyed");
    QTest::newRow("current index") << false;
    QTest::newRow("index that needs its migration") << true;
}

void TestDatabaseOpen::lockedIndexFailsAtOnceSayingItIsInUse()
{
    QFETCH(bool, idKeyed);
    const QString path = m_dir.filePath(QStringLiteral("locked-%1.sqlite3").arg(idKeyed));
    if (idKeyed) {
        RawDb raw(path);
        QVERIFY(raw.exec(kIdKeyedSchema).isEmpty());
    } else {
        db::Database database;
        QVERIFY(database.open(path));
        QVERIFY(database.indexFile(makeSummary("3.1", "3.1.1", "3.1.1.1", 1, "/d/a.dcm")));
    }
    const QByteArray before = fileBytes(path);
    {
        // Another program holds the file for writing: no one else may even read it.
        RawDb holder(path);
        QVERIFY(holder.exec({"BEGIN EXCLUSIVE"}).isEmpty());
        db::Database database;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!database.open(path));
        // Each statement of the opening waiting out the lock in turn took minutes.
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(database.lastError().contains(QStringLiteral("используется другой программой")),
                 qPrintable(database.lastError()));
        QVERIFY(database.allStudies().isEmpty());
        QVERIFY(holder.exec({"ROLLBACK"}).isEmpty());
    }
    QCOMPARE(fileBytes(path), before);
    db::Database database;
    QVERIFY2(database.open(path), qPrintable(database.lastError()));
    QVERIFY(database.isWritable());
    QVERIFY(!database.allStudies().isEmpty());
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

// An index file of an earlier version gains the list of pending removals at its first open, and
// keeps it empty until something is removed.
void TestDatabaseOpen::olderIndexGainsTheRemovalList()
{
    const QString path = m_dir.filePath(QStringLiteral("old_removals.sqlite3"));
    {
        RawDb raw(path);
        QVERIFY(raw.ok());
        const QString error = raw.exec(kIdKeyedSchema);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }
    db::Database database;
    QVERIFY2(database.open(path), qPrintable(database.lastError()));
    QVERIFY(database.pendingRemovals().isEmpty());
    // Its rows do not say who wrote their files: the caller is asked about each, with its object's UIDs.
    QList<db::IndexedFile> asked;
    QVERIFY(database.deleteStudies({"1.1", "1.5"}, nullptr, [&asked](const db::IndexedFile& file) {
        asked << file;
        return file.filePath.startsWith("/store/");
    }));
    QCOMPARE(asked.size(), 3);
    for (const db::IndexedFile& file : std::as_const(asked)) {
        QVERIFY(!file.ownCopy);
        if (file.filePath == QStringLiteral("/pt/multi.dcm")) {
            QCOMPARE(file.sopInstanceUid, QStringLiteral("1.5.1.1")); // the file's, not its second frame's
            QCOMPARE(file.seriesInstanceUid, QStringLiteral("1.5.1"));
            QCOMPARE(file.studyInstanceUid, QStringLiteral("1.5"));
        }
    }
    QCOMPARE(database.pendingRemovals(), (QStringList{"/store/Иванов/a.dcm", "/store/Иванов/b.dcm"}));
    QVERIFY(database.markEditUnfinished("1.2"));
    QCOMPARE(database.unfinishedEdits(), QStringList{"1.2"});
    RawDb raw(path);
    QCOMPARE(raw.columns("pending_removals"),
             (QStringList{"path", "recorded", "file_size", "content_digest"}));
}

// Three files of study 6.1 and one of 6.2; the removal of 6.1's rows keeps the chosen ones as
// pending removals, or nothing when the rows stay.
void TestDatabaseOpen::pendingRemovalsGoWithTheirRows_data()
{
    QTest::addColumn<QString>("chosen");  // paths for which a removal is planned, by a letter each
    QTest::addColumn<bool>("refused");    // the rows' removal fails
    QTest::addColumn<QString>("indexedAgain");
    QTest::addColumn<QStringList>("pending");
    QTest::newRow("every file") << "abc" << false << "" << QStringList{"/s/a.dcm", "/s/b.dcm", "/s/c.dcm"};
    QTest::newRow("only the store's") << "ac" << false << "" << QStringList{"/s/a.dcm", "/s/c.dcm"};
    QTest::newRow("rows refused") << "abc" << true << "" << QStringList{};
    // Imported again after the removal was planned: the file is wanted again.
    QTest::newRow("one indexed again") << "abc" << false << "b" << QStringList{"/s/a.dcm", "/s/c.dcm"};
}

void TestDatabaseOpen::pendingRemovalsGoWithTheirRows()
{
    QFETCH(QString, chosen);
    QFETCH(bool, refused);
    QFETCH(QString, indexedAgain);
    QFETCH(QStringList, pending);
    const QString path = m_dir.filePath(QStringLiteral("pending_%1.sqlite3").arg(QTest::currentDataTag()).replace(' ', '_'));
    db::Database database;
    QVERIFY(database.open(path));
    for (const char letter : {'a', 'b', 'c'}) {
        dicom::DicomFileSummary copy = makeSummary("6.1", "6.1.1", QStringLiteral("6.1.1.%1").arg(int(letter)), letter,
                                                   QStringLiteral("/s/%1.dcm").arg(letter));
        copy.ownCopy = true; // as the program's own copies
        QVERIFY(database.indexFile(copy));
    }
    QVERIFY(database.indexFile(makeSummary("6.2", "6.2.1", "6.2.1.1", 1, "/s/other.dcm")));
    if (refused) {
        RawDb raw(path);
        QCOMPARE(raw.exec({"CREATE TRIGGER refuse BEFORE DELETE ON series BEGIN SELECT RAISE(ABORT, 'no'); END"}),
                 QString());
    }
    const auto plan = [&chosen](const db::IndexedFile& file) {
        return chosen.contains(QFileInfo(file.filePath).baseName());
    };
    QStringList files;
    QCOMPARE(database.deleteStudies({"6.1"}, &files, plan), !refused);
    QCOMPARE(database.studyExists("6.1"), refused);
    QCOMPARE(files.size(), refused ? 0 : 3);
    if (!indexedAgain.isEmpty())
        QVERIFY(database.indexFile(makeSummary("6.3", "6.3.1", "6.3.1.1", 1, "/s/" + indexedAgain + ".dcm")));
    QStringList listed = database.pendingRemovals();
    listed.sort();
    QCOMPARE(listed, pending);
    QVERIFY(database.forgetPendingRemovals(listed));
    QVERIFY(database.pendingRemovals().isEmpty());
    RawDb raw(path);
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM pending_removals").toInt(), 0);
}

// An index that reads back whole passes; one that lost the end of its last page, or has a row
// without a path, does not, and says what is wrong.
void TestDatabaseOpen::integrityCheckFindsDamage_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("sound");
    QTest::newRow("sound") << "" << true;
    // Cut inside its last page, as a power cut may leave a file: it still opens.
    QTest::newRow("last page cut short") << "truncate" << false;
    QTest::newRow("row without a path") << "empty path" << false;
    // The rows read, but a lookup index of theirs is lost: SQLite answers with what is wrong.
    QTest::newRow("index page reads as zeros") << "zeroed index" << false;
}

void TestDatabaseOpen::integrityCheckFindsDamage()
{
    QFETCH(QString, damage);
    QFETCH(bool, sound);
    const QString path = m_dir.filePath(QStringLiteral("integrity_%1.sqlite3").arg(QTest::currentDataTag()).replace(' ', '_'));
    {
        db::Database database;
        QVERIFY(database.open(path));
        for (int i = 0; i < 300; ++i)
            QVERIFY(database.indexFile(makeSummary(QStringLiteral("7.%1").arg(i / 30), QStringLiteral("7.%1.1").arg(i / 30),
                                                   QStringLiteral("7.1.1.%1").arg(i), i,
                                                   QStringLiteral("/d/%1.dcm").arg(i))));
    }
    if (damage == "truncate") {
        QFile f(path);
        QVERIFY(f.resize(f.size() - 100));
    } else if (damage == "zeroed index") {
        int root = 0;
        {
            RawDb raw(path);
            root = raw.scalar("SELECT rootpage FROM sqlite_master WHERE name = 'idx_instances_series'").toInt();
        }
        QVERIFY(root > 1);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(qint64(root - 1) * 4096));
        QCOMPARE(f.write(QByteArray(4096, '\0')), 4096);
    } else if (damage == "empty path") {
        RawDb raw(path);
        QCOMPARE(raw.exec({"UPDATE instances SET file_path = '' WHERE sop_instance_uid = '7.1.1.7'"}), QString());
    }
    db::Database database;
    QVERIFY2(database.open(path), qPrintable(database.lastError()));
    QString problem;
    QCOMPARE(database.checkIntegrity(&problem), sound);
    QCOMPARE(problem.isEmpty(), sound);
}

QTEST_GUILESS_MAIN(TestDatabaseOpen)
#include "tst_database_open.moc"
