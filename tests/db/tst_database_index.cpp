// Writing summaries into the index and reading them back: frame rows, upserts, queries and their
// orders, protection, deletion and text round-trips, on a real file and in memory.

#include "DbTestSupport.h"
#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/TestFiles.h"

#include "db/Database.h"
#include "db/RowFileProof.h"
#include "dicom/FileIdentity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <dcmtk/dcmdata/dctk.h>

#include <algorithm>
#include <cmath>
#include <memory>

using dbtest::makeSummary;
using dbtest::RawDb;

namespace {

// Everything in the index, table by table, so that "nothing changed" can be checked exactly.
QStringList dump(const RawDb& raw)
{
    QStringList out;
    out << raw.rows("SELECT * FROM patients ORDER BY patient_id");
    out << raw.rows("SELECT * FROM studies ORDER BY study_instance_uid");
    out << raw.rows("SELECT * FROM series ORDER BY series_instance_uid");
    out << raw.rows("SELECT * FROM instances ORDER BY sop_instance_uid");
    return out;
}

QByteArray contentOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList sortedModalities(const QString& joined)
{
    QStringList list = joined.split(QLatin1Char(','), Qt::SkipEmptyParts);
    list.sort();
    return list;
}

// Makes the index file read-only for every user (root too): a write-version byte above 2.
bool makeReadOnly(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && f.seek(18) && f.write("\x03", 1) == 1;
}

} // namespace

class TestDatabaseIndex : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void singleFrameRowCarriesEverything();
    void indexingTwiceChangesNothing();
    void multiFrameRows_data();
    void multiFrameRows();
    void largeInstanceNumbersKeepTheirOrder();
    void reindexedFileTakesEveryNewValue_data();
    void reindexedFileTakesEveryNewValue();
    void patientsAreKeyedByIdNameAndBirthDate_data();
    void patientsAreKeyedByIdNameAndBirthDate();
    void importTimeComesFromTheFirstFile();
    void failedFileLeavesNoRows();
    void reusedUidNeverReplacesAnotherObject_data();
    void reusedUidNeverReplacesAnotherObject();
    void studyQueriesAndOrders_data();
    void studyQueriesAndOrders();
    void oneStudyReadsAsTheListGivesIt();
    void seriesOrderAndCounts();
    void protection();
    void deletionRemovesExactlyTheStudy();
    void manyStudiesGoTogetherOrNotAtAll();
    void cyrillicTextRoundTrips();
    void failedEditLeavesTheIndexAsItWas_data();
    void failedEditLeavesTheIndexAsItWas();
    void storeCopiesAreFoundWhereTheStoreIsNow_data();
    void storeCopiesAreFoundWhereTheStoreIsNow();
    void listedFilesHoldTheirRowsObjects_data();
    void listedFilesHoldTheirRowsObjects();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<db::Database> m_db;
    QString m_path;
};

void TestDatabaseIndex::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("index.sqlite3"));
    m_db = std::make_unique<db::Database>();
    QVERIFY2(m_db->open(m_path), qPrintable(m_db->lastError()));
}

void TestDatabaseIndex::cleanup()
{
    m_db.reset();
    m_dir.reset();
}

void TestDatabaseIndex::singleFrameRowCarriesEverything()
{
    dicom::DicomFileSummary s = makeSummary("1.1", "1.1.1", "1.1.1.5", 5, "/data/a.dcm");
    s.repetitionTime = 2000.0;
    s.echoTime = 30.0;
    s.triggerTimeMs = 125.0;
    s.cardiacNumberOfImages = 25;
    s.temporalPositionIndex = 3;
    QVERIFY2(m_db->indexFile(s), qPrintable(m_db->lastError()));

    const auto rows = m_db->instancesForSeries("1.1.1");
    QCOMPARE(rows.size(), 1);
    const db::InstanceRecord& r = rows.first();
    QCOMPARE(r.filePath, s.filePath);
    QCOMPARE(r.instanceNumber, qint64(500000));
    QCOMPARE(r.frameIndex, 0);
    QCOMPARE(r.pixelSpacingX, 0.7);
    QCOMPARE(r.pixelSpacingY, 0.8);
    QCOMPARE(r.sliceThickness, 1.25);
    QCOMPARE(r.sliceLocation, -12.5);
    QCOMPARE(r.repetitionTime, 2000.0);
    QCOMPARE(r.echoTime, 30.0);
    QCOMPARE(r.imagePosition, s.imagePosition);
    QCOMPARE(r.orientationRow, s.orientationRow);
    QCOMPARE(r.orientationCol, s.orientationCol);
    QVERIFY(r.hasSpatialInfo);
    QCOMPARE(r.acquisitionTimeSeconds, 36000.5);
    QCOMPARE(r.temporalPositionIndex, 3);
    QCOMPARE(r.frameOfReferenceUid, QStringLiteral("1.2.9"));
    QCOMPARE(r.triggerTimeMs, 125.0);
    QCOMPARE(r.cardiacNumberOfImages, 25);

    RawDb raw(m_path);
    QCOMPARE(raw.rows("SELECT sop_instance_uid, rows, columns, number_of_frames, window_center, window_width, "
                      "rescale_slope, rescale_intercept FROM instances"),
             QStringList{"1.1.1.5|512|512|1|40|400|1|-1024"});
    QCOMPARE(raw.rows("SELECT patient_id, patient_name, birth_date, sex, weight_kg, height_cm FROM patients"),
             QStringList{"P1|Doe^John|19600101|M|80|180"});
    QCOMPARE(raw.rows("SELECT study_instance_uid, study_date, study_time, study_description, accession_number, "
                      "referring_physician, is_protected FROM studies"),
             QStringList{"1.1|20240115|101500|Chest|A1|Ref^Doc|0"});
    QCOMPARE(raw.rows("SELECT * FROM series"), QStringList{"1.1.1|1.1|1|Axial|CT|CHEST|"});
    QCOMPARE(m_db->patientBodyInfo("1.1").heightCm, 180.0);
    QCOMPARE(m_db->patientBodyInfo("nope").sex, QString());
}

void TestDatabaseIndex::indexingTwiceChangesNothing()
{
    dicom::DicomFileSummary multi = makeSummary("1.1", "1.1.2", "1.1.2.1", 1, "/data/m.dcm");
    multi.numberOfFrames = 4;
    dicom::DicomFileSummary noPatient = makeSummary("1.2", "1.2.1", "1.2.1.1", 1, "/data/n.dcm");
    noPatient.patientId = QString(); // a file without Patient ID must not add a patient every time
    for (const auto& s : {makeSummary("1.1", "1.1.1", "1.1.1.1", 1, "/data/a.dcm"), multi, noPatient})
        QVERIFY(m_db->indexFile(s));
    RawDb raw(m_path);
    const QStringList before = dump(raw);
    for (const auto& s : {makeSummary("1.1", "1.1.1", "1.1.1.1", 1, "/data/a.dcm"), multi, noPatient})
        QVERIFY(m_db->indexFile(s));
    QCOMPARE(dump(raw), before);
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM instances").toInt(), 6);
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM patients").toInt(), 2);
}

void TestDatabaseIndex::multiFrameRows_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("frames");
    QTest::addColumn<QList<double>>("locations");
    QTest::addColumn<QList<double>>("positionsZ");
    QTest::addColumn<QList<double>>("positionsX");
    QTest::addColumn<QList<int>>("temporal");
    QTest::addColumn<bool>("spatial");
    QTest::addColumn<QString>("uid"); // the file's SOP Instance UID
    // A one-frame object whose UID is the key of this object's frame 2, and when it comes: "" none,
    // "before"/"after" this object, "batch" in the same write after it; of "own series" or another study.
    QTest::addColumn<QString>("collider");

    // A cine or ultrasound clip has no geometry; its frames must not become a fake volume.
    QTest::newRow("no geometry") << "none" << 3 << QList<double>{7.5, 7.5, 7.5} << QList<double>{0, 0, 0}
                                 << QList<double>{0, 0, 0} << QList<int>{2, 2, 2} << false << "U" << "";
    // Position without orientation: still no direction to stack the frames in.
    QTest::newRow("position only") << "position" << 3 << QList<double>{7.5, 7.5, 7.5} << QList<double>{20, 20, 20}
                                   << QList<double>{10, 10, 10} << QList<int>{2, 2, 2} << false << "U" << "";
    // Axial orientation: frames step by the thickness along +z.
    QTest::newRow("axial stack") << "axial" << 3 << QList<double>{0, 2.5, 5} << QList<double>{20, 22.5, 25}
                                 << QList<double>{10, 10, 10} << QList<int>{2, 2, 2} << true << "U" << "";
    // Sagittal orientation (rows along y, columns along -z): the normal is -x.
    QTest::newRow("sagittal stack") << "sagittal" << 3 << QList<double>{0, 2.5, 5} << QList<double>{20, 20, 20}
                                    << QList<double>{10, 7.5, 5} << QList<int>{2, 2, 2} << true << "U" << "";
    // No thickness: a step of 1 mm.
    QTest::newRow("axial without thickness") << "axial-nothick" << 3 << QList<double>{0, 1, 2}
                                             << QList<double>{20, 21, 22} << QList<double>{10, 10, 10}
                                             << QList<int>{2, 2, 2} << true << "U" << "";
    QTest::newRow("per-frame lists") << "lists" << 3 << QList<double>{-5, -3, -1} << QList<double>{-5, -3, -1}
                                     << QList<double>{1, 2, 3} << QList<int>{4, 5, 6} << true << "U" << "";
    // Lists shorter than the frame count: the rest keep the file's own values, nothing invented.
    QTest::newRow("short lists") << "short" << 4 << QList<double>{-5, -3, 7.5, 7.5} << QList<double>{-5, -3, 20, 20}
                                 << QList<double>{1, 2, 10, 10} << QList<int>{4, 5, 2, 2} << true << "U" << "";
    // Position lists shorter than the location list are not read past their end.
    QTest::newRow("ragged lists") << "ragged" << 3 << QList<double>{-5, -3, -1} << QList<double>{-5, 20, 20}
                                  << QList<double>{1, 10, 10} << QList<int>{2, 2, 2} << true << "U" << "";
    QTest::newRow("zero frames") << "zero" << 1 << QList<double>{7.5} << QList<double>{20} << QList<double>{10}
                                 << QList<int>{2} << true << "U" << "";
    // The index's separator inside a UID, even as a later frame's key ends: the object keeps its whole UID.
    QTest::newRow("axial stack, UID holding '#f'") << "axial" << 3 << QList<double>{0, 2.5, 5}
                                                 << QList<double>{20, 22.5, 25} << QList<double>{10, 10, 10}
                                                 << QList<int>{2, 2, 2} << true << "U#f1" << "";
    // A UID equal to another object's frame key: whichever of the two came first keeps its rows.
    for (const char* when : {"before", "after", "batch"})
        for (const char* where : {"own series", "other study"})
            QTest::newRow(qPrintable(QStringLiteral("axial stack, 'U#f2' of %1, %2").arg(where, when)))
                << "axial" << 3 << QList<double>{0, 2.5, 5} << QList<double>{20, 22.5, 25}
                << QList<double>{10, 10, 10} << QList<int>{2, 2, 2} << true << "U"
                << QStringLiteral("%1, %2").arg(when, where);
    // Its file copied over by the one-frame object (another disc's) and indexed again: the file's rows are
    // of the object it holds now.
    QTest::newRow("axial stack, its file now holding 'U#f2'")
        << "axial" << 3 << QList<double>{0, 2.5, 5} << QList<double>{20, 22.5, 25} << QList<double>{10, 10, 10}
        << QList<int>{2, 2, 2} << true << "U" << "over its file, other study";
    // The object written before with more frames, in this file or in another: none of those it no longer
    // holds stays listed.
    for (const char* where : {"this file", "another file"})
        QTest::newRow(qPrintable(QStringLiteral("axial stack, 5 frames earlier in %1").arg(where)))
            << "axial" << 3 << QList<double>{0, 2.5, 5} << QList<double>{20, 22.5, 25} << QList<double>{10, 10, 10}
            << QList<int>{2, 2, 2} << true << "U" << QStringLiteral("more frames, %1").arg(where);
    // As an earlier version left them when it indexed the file again with 3: the rows of frames 3 and 4
    // go at the first listing, its file never read for them.
    QTest::newRow("axial stack, rows of 5 frames left by an earlier version")
        << "axial" << 3 << QList<double>{0, 2.5, 5} << QList<double>{20, 22.5, 25} << QList<double>{10, 10, 10}
        << QList<int>{2, 2, 2} << true << "U" << "more frames left";
}

void TestDatabaseIndex::multiFrameRows()
{
    QFETCH(QString, kind);
    QFETCH(int, frames);
    QFETCH(QList<double>, locations);
    QFETCH(QList<double>, positionsZ);
    QFETCH(QList<double>, positionsX);
    QFETCH(QList<int>, temporal);
    QFETCH(bool, spatial);
    QFETCH(QString, uid);
    QFETCH(QString, collider);

    dicom::DicomFileSummary s = makeSummary("2.1", "2.1.1", uid, 7, "/data/multi.dcm");
    s.numberOfFrames = frames;
    s.sliceThickness = 2.5;
    s.sliceLocation = 7.5;
    s.temporalPositionIndex = 2;
    s.imagePosition = {10.0, 0.0, 20.0};
    s.orientationRow = {0, 0, 0};
    s.orientationCol = {0, 0, 0};
    s.hasSpatialInfo = false;
    if (kind == "none") {
        s.imagePosition = {0, 0, 0};
    } else if (kind == "axial" || kind == "axial-nothick") {
        s.orientationRow = {1, 0, 0};
        s.orientationCol = {0, 1, 0};
        s.hasSpatialInfo = true;
        if (kind == "axial-nothick")
            s.sliceThickness = 0.0;
    } else if (kind == "sagittal") {
        s.orientationRow = {0, 1, 0};
        s.orientationCol = {0, 0, -1};
        s.hasSpatialInfo = true;
    } else if (kind == "lists" || kind == "short" || kind == "ragged") {
        s.orientationRow = {1, 0, 0};
        s.orientationCol = {0, 1, 0};
        s.hasSpatialInfo = true;
        s.perFrameSliceLocation = {-5, -3, -1};
        s.perFramePositionX = {1, 2, 3};
        s.perFramePositionY = {0, 0, 0};
        s.perFramePositionZ = {-5, -3, -1};
        if (kind != "ragged")
            s.perFrameTemporalPositionIndex = {4, 5, 6};
        if (kind == "short") {
            for (auto* list : {&s.perFrameSliceLocation, &s.perFramePositionX, &s.perFramePositionY,
                               &s.perFramePositionZ})
                list->removeLast();
            s.perFrameTemporalPositionIndex.removeLast();
        }
        if (kind == "ragged") {
            s.perFramePositionX = {1};
            s.perFramePositionY = {};
            s.perFramePositionZ = {-5};
        }
    } else if (kind == "zero") {
        s.numberOfFrames = 0;
        s.orientationRow = {1, 0, 0};
        s.orientationCol = {0, 1, 0};
        s.hasSpatialInfo = true;
    }
    dicom::DicomFileSummary other = collider.endsWith("own series")
                                        ? makeSummary("2.1", "2.1.1", uid + "#f2", 8, "/data/other.dcm")
                                        : makeSummary("4.1", "4.1.1", uid + "#f2", 1, "/data/other.dcm");
    other.patientId = "P2";
    if (collider.startsWith("before")) {
        QVERIFY2(m_db->indexFile(other), qPrintable(m_db->lastError()));
        QVERIFY(!m_db->indexFile(s));
        QVERIFY2(m_db->lastError().contains(other.sopInstanceUid), qPrintable(m_db->lastError()));
        // The first keeps its one row, in its own series and file; the second left nothing.
        QCOMPARE(RawDb(m_path).rows("SELECT sop_instance_uid || ' ' || series_instance_uid || ' ' || file_path || "
                                    "' ' || frame_index FROM instances"),
                 QStringList{QStringLiteral("%1 %2 /data/other.dcm 0").arg(other.sopInstanceUid,
                                                                           other.seriesInstanceUid)});
        return;
    }
    if (collider.startsWith("more frames")) {
        dicom::DicomFileSummary longer = s;
        longer.numberOfFrames = 5;
        if (collider.endsWith("another file"))
            longer.filePath = QStringLiteral("/data/longer.dcm");
        QVERIFY2(m_db->indexFile(longer), qPrintable(m_db->lastError()));
        if (collider.endsWith("left")) {
            // Frames 0 to 2 written again, 3 and 4 kept from before.
            QCOMPARE(RawDb(m_path).exec({"UPDATE instances SET number_of_frames = 3 WHERE frame_index < 3"}),
                     QString());
            QCOMPARE(m_db->allStudies().first().instanceCount, 5);
        }
    }
    const bool leftByEarlier = collider == QLatin1String("more frames left");
    if (collider.startsWith("more frames"))
        collider.clear();
    if (leftByEarlier) {
        // Listed as that version left the rows.
    } else if (collider.startsWith("batch")) {
        const QStringList errors = m_db->indexFiles({s, other});
        QCOMPARE(errors.size(), 2);
        QVERIFY2(errors.at(0).isEmpty(), qPrintable(errors.at(0)));
        QVERIFY2(errors.at(1).contains(uid), qPrintable(errors.at(1)));
    } else {
        QVERIFY2(m_db->indexFile(s), qPrintable(m_db->lastError()));
    }
    if (collider.startsWith("over its file")) {
        other.filePath = s.filePath;
        QVERIFY2(m_db->indexFile(other), qPrintable(m_db->lastError()));
        QCOMPARE(RawDb(m_path).rows("SELECT sop_instance_uid || ' ' || series_instance_uid || ' ' || file_path || "
                                    "' ' || frame_index FROM instances"),
                 QStringList{QStringLiteral("U#f2 4.1.1 /data/multi.dcm 0")});
        return;
    }
    if (collider.startsWith("after")) {
        QVERIFY(!m_db->indexFile(other));
        QVERIFY2(m_db->lastError().contains(uid), qPrintable(m_db->lastError()));
    }
    // The refused object is listed nowhere; every frame below is this object's, in its own file.
    if (!collider.isEmpty()) {
        QVERIFY(!m_db->studyExists("4.1"));
        QVERIFY(!m_db->objectFile(other.sopInstanceUid));
        QVERIFY(!m_db->instancePlace(other.sopInstanceUid));
    }

    const auto rows = m_db->instancesForSeries("2.1.1");
    QCOMPARE(rows.size(), frames);
    for (int f = 0; f < frames; ++f) {
        const db::InstanceRecord& r = rows.at(f);
        QCOMPARE(r.frameIndex, f);
        QCOMPARE(r.sopInstanceUid, uid);
        QCOMPARE(r.instanceNumber, qint64(700000 + f));
        QCOMPARE(r.filePath, s.filePath);
        QCOMPARE(r.sliceLocation, locations.at(f));
        QCOMPARE(r.imagePosition[2], positionsZ.at(f));
        QCOMPARE(r.imagePosition[0], positionsX.at(f));
        QCOMPARE(r.temporalPositionIndex, temporal.at(f));
        QCOMPARE(r.hasSpatialInfo, spatial);
        QCOMPARE(r.sliceThickness, s.sliceThickness); // as read, not the step
    }
    QCOMPARE(m_db->studyFilePaths("2.1"), QStringList{"/data/multi.dcm"}); // once, however many frames

    RawDb raw(m_path);
    QStringList expectedKeys{uid};
    for (int f = 1; f < frames; ++f)
        expectedKeys << QStringLiteral("%1#f%2").arg(uid).arg(f);
    QStringList keys = raw.rows("SELECT sop_instance_uid FROM instances ORDER BY frame_index");
    QCOMPARE(keys, expectedKeys);
    QCOMPARE(raw.scalar("SELECT DISTINCT number_of_frames FROM instances").toInt(), s.numberOfFrames);
    QCOMPARE(m_db->allStudies().first().instanceCount, frames);

    // Read alone, as a viewer of a growing series is fed: every frame of the object, nothing of objects
    // whose UIDs begin as its own does (one as a later frame's key would), nothing under another series.
    const QString likeAFrame = uid + QStringLiteral("#f9");
    for (const auto& other : {makeSummary("2.1", "2.1.1", uid + "!", 8, "/data/odd.dcm"),
                              makeSummary("2.1", "2.1.1", uid + ".1", 9, "/data/next.dcm"),
                              makeSummary("2.1", "2.1.1", likeAFrame, 10, "/data/frame.dcm")})
        QVERIFY(m_db->indexFile(other));
    const auto alone = m_db->instancesOfObjects("2.1.1", {uid});
    QCOMPARE(alone.size(), frames);
    for (int f = 0; f < frames; ++f) {
        QCOMPARE(alone.at(f).frameIndex, f);
        QCOMPARE(alone.at(f).sliceLocation, locations.at(f));
        QCOMPARE(alone.at(f).filePath, s.filePath);
        QCOMPARE(alone.at(f).sopInstanceUid, uid);
    }
    QVERIFY(m_db->instancesOfObjects("2.1.2", {uid}).isEmpty());
    QCOMPARE(m_db->instancesOfObjects("2.1.1", {uid + ".1", uid + "!"}).size(), 2);
    const auto frameLike = m_db->instancesOfObjects("2.1.1", {likeAFrame});
    QCOMPARE(frameLike.size(), 1);
    QCOMPARE(frameLike.first().sopInstanceUid, likeAFrame);
}

void TestDatabaseIndex::largeInstanceNumbersKeepTheirOrder()
{
    // From Instance Number 21475 on, number x 100000 no longer fits 32 bits.
    dicom::DicomFileSummary high = makeSummary("3.1", "3.1.1", "3.1.1.30000", 30000, "/d/high.dcm");
    high.numberOfFrames = 2;
    QVERIFY(m_db->indexFile(makeSummary("3.1", "3.1.1", "3.1.1.30001", 30001, "/d/after.dcm")));
    QVERIFY(m_db->indexFile(high));
    QVERIFY(m_db->indexFile(makeSummary("3.1", "3.1.1", "3.1.1.29999", 29999, "/d/before.dcm")));
    QVERIFY(m_db->indexFile(makeSummary("3.1", "3.1.1", "3.1.1.1", 1, "/d/first.dcm")));
    QVERIFY(m_db->indexFile(makeSummary("3.1", "3.1.1", "3.1.1.max", 2147483647, "/d/max.dcm")));

    const auto rows = m_db->instancesForSeries("3.1.1");
    QList<qint64> numbers;
    QStringList paths;
    for (const auto& r : rows) {
        numbers << r.instanceNumber;
        paths << r.filePath.section('/', -1);
    }
    QCOMPARE(numbers, (QList<qint64>{100000LL, 2999900000LL, 3000000000LL, 3000000001LL, 3000100000LL,
                                     214748364700000LL}));
    QCOMPARE(paths, (QStringList{"first.dcm", "before.dcm", "high.dcm", "high.dcm", "after.dcm", "max.dcm"}));
}

void TestDatabaseIndex::reindexedFileTakesEveryNewValue_data()
{
    QTest::addColumn<bool>("otherStudyKeepsOldPatient");
    QTest::newRow("patient left without studies") << false;
    QTest::newRow("patient keeps another study") << true;
}

void TestDatabaseIndex::reindexedFileTakesEveryNewValue()
{
    QFETCH(bool, otherStudyKeepsOldPatient);
    dicom::DicomFileSummary s = makeSummary("4.1", "4.1.1", "4.1.1.1", 3, "/old/place.dcm");
    QVERIFY(m_db->indexFile(s));
    QVERIFY(m_db->setStudyProtected("4.1", true));
    if (otherStudyKeepsOldPatient)
        QVERIFY(m_db->indexFile(makeSummary("4.9", "4.9.1", "4.9.1.1", 1, "/d/other.dcm")));

    // The same object after its tags were corrected (and the file moved): every value is the new one.
    dicom::DicomFileSummary edited = s;
    edited.filePath = "/new/place.dcm";
    edited.instanceNumber = 4;
    edited.windowCenter = 60;
    edited.windowWidth = 350;
    edited.sliceThickness = 3.0;
    edited.sliceLocation = 99.0;
    edited.rows = 256;
    edited.imagePosition = {1, 2, 3};
    edited.orientationRow = {0, 1, 0};
    edited.orientationCol = {0, 0, -1};
    edited.acquisitionTimeSeconds = 1.0;
    edited.patientId = "P2";
    edited.patientName = "Other^Name";
    edited.studyDate = "20240220";
    edited.studyTime = "080000";
    edited.studyDescription = "Chest updated";
    edited.seriesDescription = "Axial updated";
    QVERIFY2(m_db->indexFile(edited), qPrintable(m_db->lastError()));

    RawDb raw(m_path);
    QCOMPARE(raw.rows("SELECT file_path, instance_number, window_center, window_width, slice_thickness, "
                      "slice_location, rows, image_position_x, image_position_z, orientation_row_y, "
                      "orientation_col_z, acquisition_time_seconds FROM instances WHERE sop_instance_uid = '4.1.1.1'"),
             QStringList{"/new/place.dcm|400000|60|350|3|99|256|1|3|1|-1|1"});
    const auto studies = m_db->allStudies();
    QCOMPARE(studies.size(), otherStudyKeepsOldPatient ? 2 : 1);
    const db::StudyRecord& moved = studies.last();
    QCOMPARE(moved.studyInstanceUid, QStringLiteral("4.1"));
    QCOMPARE(moved.patientId, QStringLiteral("P2"));
    QCOMPARE(moved.patientName, QStringLiteral("Other^Name"));
    QCOMPARE(moved.studyDate, QStringLiteral("20240220"));
    QCOMPARE(moved.studyDescription, QStringLiteral("Chest updated"));
    QVERIFY(moved.isProtected);
    QCOMPARE(m_db->seriesForStudy("4.1").first().seriesDescription, QStringLiteral("Axial updated"));
    // The old patient row goes with its last study, and stays while another study has it.
    QCOMPARE(raw.rows("SELECT patient_id FROM patients ORDER BY patient_id"),
             otherStudyKeepsOldPatient ? QStringList({"P1", "P2"}) : QStringList{"P2"});
    if (otherStudyKeepsOldPatient)
        QCOMPARE(studies.first().patientName, QStringLiteral("Doe^John"));

    // The latest file of a patient decides sex, weight and height.
    dicom::DicomFileSummary heavier = makeSummary("4.2", "4.2.1", "4.2.1.1", 1, "/d/x.dcm");
    heavier.patientId = "P2";
    heavier.patientName = "Other^Name";
    heavier.weightKg = 82.5;
    QVERIFY(m_db->indexFile(heavier));
    QCOMPARE(raw.rows("SELECT weight_kg FROM patients WHERE patient_id = 'P2'"), QStringList{"82.5"});
}

void TestDatabaseIndex::patientsAreKeyedByIdNameAndBirthDate_data()
{
    // Each file: study, patient ID, name, birth date. The expected patient of every study is given as
    // the index of the file whose patient data it must show.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("patients");

    QTest::newRow("one ID, two names") << QStringList{"10.1|12345|Ivanov^Ivan|19500101", "10.2|12345|Petrov^Petr|19500101"} << 2;
    QTest::newRow("one ID, two birth dates")
        << QStringList{"10.1|1|Ivanov^Ivan|19500101", "10.2|1|Ivanov^Ivan|19710304"} << 2;
    QTest::newRow("anonymised to one ID") << QStringList{"10.1|ANON|Anon^A|", "10.2|ANON|Anon^B|", "10.3|ANON|Anon^C|"}
                                          << 3;
    QTest::newRow("empty IDs, different names") << QStringList{"10.1||Ivanov^Ivan|19500101", "10.2||Petrov^Petr|"} << 2;
    QTest::newRow("empty IDs, same name") << QStringList{"10.1||Anon|", "10.2||Anon|"} << 2;
    QTest::newRow("one person, two studies") << QStringList{"10.1|77|Ivanov^Ivan|19500101", "10.2|77|Ivanov^Ivan|19500101"}
                                             << 1;
    QTest::newRow("empty ID, two files of one study") << QStringList{"10.1||Anon|", "10.1||Anon|"} << 1;
}

void TestDatabaseIndex::patientsAreKeyedByIdNameAndBirthDate()
{
    QFETCH(QStringList, files);
    QFETCH(int, patients);
    int n = 0;
    QHash<QString, QStringList> expected; // study UID -> ID|name|birth of its patient
    for (const QString& file : files) {
        const QStringList f = file.split('|');
        ++n;
        dicom::DicomFileSummary s = makeSummary(f[0], f[0] + ".1", QStringLiteral("%1.1.%2").arg(f[0]).arg(n), n,
                                                QStringLiteral("/d/%1.dcm").arg(n));
        s.patientId = f[1];
        s.patientName = f[2];
        s.birthDate = f[3];
        s.weightKg = 60 + n;
        QVERIFY2(m_db->indexFile(s), qPrintable(m_db->lastError()));
        expected.insert(f[0], f.mid(1));
    }
    // One person: the same non-empty ID, name and birth date; a study without an ID is its own.
    auto personOf = [&expected](const QString& study) {
        const QStringList p = expected.value(study);
        return p.first().isEmpty() ? QStringLiteral("study ") + study : p.join('|');
    };
    auto peopleLeft = [&](const QList<db::StudyRecord>& studies) {
        QSet<QString> people;
        for (const db::StudyRecord& st : studies)
            people.insert(personOf(st.studyInstanceUid));
        return int(people.size());
    };
    RawDb raw(m_path);
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM patients").toInt(), patients);
    const auto studies = m_db->allStudies();
    QCOMPARE(studies.size(), expected.size());
    QCOMPARE(peopleLeft(studies), patients);
    for (const db::StudyRecord& st : studies) {
        const QStringList want = expected.value(st.studyInstanceUid);
        QCOMPARE((QStringList{st.patientId, st.patientName, st.birthDate}), want);
        QCOMPARE(m_db->patientBodyInfo(st.studyInstanceUid).weightKg, st.weightKg);
        // The viewer's comparison list offers the same person's studies only.
        int samePerson = 0;
        for (const db::StudyRecord& other : studies)
            samePerson += other.studyInstanceUid != st.studyInstanceUid && !st.patientId.isEmpty()
                && personOf(other.studyInstanceUid) == personOf(st.studyInstanceUid);
        const auto others = m_db->otherStudiesOfPatient(st.patientId, st.studyInstanceUid);
        QCOMPARE(others.size(), samePerson);
        for (const db::StudyRecord& other : others)
            QCOMPARE((QStringList{other.patientId, other.patientName, other.birthDate}), want);
    }

    // Deleting one study leaves the other studies' patients as they were.
    QVERIFY(m_db->deleteStudy(studies.first().studyInstanceUid));
    const auto left = m_db->allStudies();
    for (const db::StudyRecord& st : left)
        QCOMPARE((QStringList{st.patientId, st.patientName, st.birthDate}), expected.value(st.studyInstanceUid));
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM patients").toInt(), peopleLeft(left));
}

void TestDatabaseIndex::importTimeComesFromTheFirstFile()
{
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    QVERIFY(m_db->indexFile(makeSummary("4.5", "4.5.1", "4.5.1.1", 1, "/d/a.dcm")));
    const QDateTime first = m_db->allStudies().first().importedAt;
    QVERIFY(first >= before && first <= QDateTime::currentDateTimeUtc().addSecs(1));

    // More files, the same file again and an edit keep the time of the study's first file.
    const QString longAgo = QStringLiteral("2014-06-30T10:00:00Z");
    RawDb raw(m_path);
    QVERIFY(raw.exec({"UPDATE studies SET imported_at = '" + longAgo + "'"}).isEmpty());
    dicom::DicomFileSummary edited = makeSummary("4.5", "4.5.1", "4.5.1.1", 1, "/d/a.dcm");
    edited.patientName = "Renamed^Patient";
    for (const auto& s : {makeSummary("4.5", "4.5.2", "4.5.2.1", 1, "/d/b.dcm"), edited})
        QVERIFY(m_db->indexFile(s));
    QCOMPARE(m_db->allStudies().first().importedAt, QDateTime::fromString(longAgo, Qt::ISODate));

    // Deleted and brought in again, the study is a new import.
    QVERIFY(m_db->deleteStudy("4.5"));
    QVERIFY(m_db->indexFile(makeSummary("4.5", "4.5.1", "4.5.1.1", 1, "/d/a.dcm")));
    QVERIFY(m_db->allStudies().first().importedAt >= before);
}

void TestDatabaseIndex::failedFileLeavesNoRows()
{
    QVERIFY(m_db->indexFile(makeSummary("5.1", "5.1.1", "5.1.1.1", 1, "/d/a.dcm")));
    RawDb raw(m_path);
    const QStringList before = dump(raw);

    // The third frame of a file is refused by the database: the patient, study, series and the
    // first two frames written before it must go too.
    QVERIFY(raw.exec({"CREATE TRIGGER refuse_frame BEFORE INSERT ON instances "
                      "WHEN NEW.sop_instance_uid = '5.2.1.1#f2' BEGIN SELECT RAISE(ABORT, 'frame refused'); END"})
                .isEmpty());
    dicom::DicomFileSummary refused = makeSummary("5.2", "5.2.1", "5.2.1.1", 1, "/d/b.dcm");
    refused.patientId = "P-new";
    refused.numberOfFrames = 3;
    QVERIFY(!m_db->indexFile(refused));
    QVERIFY2(m_db->lastError().contains("frame refused"), qPrintable(m_db->lastError()));
    QCOMPARE(dump(raw), before);
    QVERIFY(!m_db->studyExists("5.2"));
    QVERIFY(raw.exec({"DROP TRIGGER refuse_frame"}).isEmpty());

    // A file without a path fails on its first frame, after the patient, study and series upserts.
    dicom::DicomFileSummary pathless = makeSummary("5.4", "5.4.1", "5.4.1.1", 1, QString());
    pathless.patientId = "P-other";
    QVERIFY(!m_db->indexFile(pathless));
    QVERIFY2(m_db->lastError().contains("NOT NULL", Qt::CaseInsensitive), qPrintable(m_db->lastError()));
    QCOMPARE(dump(raw), before);

    // Summaries without their UIDs are refused before anything is written.
    for (const char* missing : {"study", "series", "sop"}) {
        dicom::DicomFileSummary s = makeSummary("5.5", "5.5.1", "5.5.1.1", 1, "/d/no-uid.dcm");
        (QByteArray(missing) == "study" ? s.studyInstanceUid
                                        : QByteArray(missing) == "series" ? s.seriesInstanceUid : s.sopInstanceUid) = QString();
        QVERIFY(!m_db->indexFile(s));
        QVERIFY2(m_db->lastError().contains("UID"), qPrintable(m_db->lastError()));
    }
    QCOMPARE(dump(raw), before);

    // No transaction is left open behind: the next file lands and stays after reopening.
    QVERIFY2(m_db->indexFile(makeSummary("5.3", "5.3.1", "5.3.1.1", 1, "/d/c.dcm")), qPrintable(m_db->lastError()));
    m_db.reset();
    db::Database again;
    QVERIFY(again.open(m_path));
    QVERIFY(again.studyExists("5.3"));
    QCOMPARE(again.allStudies().size(), 2);
}

void TestDatabaseIndex::studyQueriesAndOrders_data()
{
    QTest::addColumn<bool>("inMemory");
    QTest::newRow("file") << false;
    QTest::newRow("memory") << true;
}

void TestDatabaseIndex::studyQueriesAndOrders()
{
    QFETCH(bool, inMemory);
    db::Database memory;
    db::Database* database = m_db.get();
    if (inMemory) {
        QVERIFY(memory.open(":memory:"));
        database = &memory;
    }
    QVERIFY(database->allStudies().isEmpty());

    struct S { const char* study; const char* pid; const char* date; const char* time; const char* modality; };
    const S studies[] = {
        {"6.3", "P1", "20240301", "090000", "CT"},
        {"6.1", "P1", "20230101", "120000", "MR"},
        {"6.2", "P2", "20230101", "080000", "US"},
        {"6.4", "P1", "20240301", "100000", "PT"},
    };
    int n = 0;
    for (const S& st : studies) {
        dicom::DicomFileSummary s = makeSummary(st.study, QString(st.study) + ".1", QString(st.study) + ".1.1", 1,
                                                QStringLiteral("/d/%1.dcm").arg(++n));
        s.patientId = st.pid;
        s.studyDate = st.date;
        s.studyTime = st.time;
        s.modality = st.modality;
        QVERIFY(database->indexFile(s));
    }
    // A second series of study 6.3 in another modality, and one more CT series.
    dicom::DicomFileSummary pt = makeSummary("6.3", "6.3.2", "6.3.2.1", 1, "/d/pt.dcm");
    pt.modality = "PT";
    pt.studyDate = "20240301";
    pt.studyTime = "090000";
    QVERIFY(database->indexFile(pt));
    dicom::DicomFileSummary ct = makeSummary("6.3", "6.3.3", "6.3.3.1", 1, "/d/ct.dcm");
    ct.numberOfFrames = 5;
    ct.studyDate = "20240301";
    ct.studyTime = "090000";
    QVERIFY(database->indexFile(ct));

    const auto all = database->allStudies();
    QStringList order;
    for (const auto& r : all)
        order << r.studyInstanceUid;
    QCOMPARE(order, (QStringList{"6.2", "6.1", "6.3", "6.4"})); // oldest first
    const db::StudyRecord& rich = all.at(2);
    QCOMPARE(rich.seriesCount, 3);
    QCOMPARE(rich.instanceCount, 7);
    QCOMPARE(sortedModalities(rich.modalities), (QStringList{"CT", "PT"}));
    QCOMPARE(rich.patientName, QStringLiteral("Doe^John"));
    QCOMPARE(rich.weightKg, 80.0);

    const auto others = database->otherStudiesOfPatient("P1", "6.3");
    order.clear();
    for (const auto& r : others)
        order << r.studyInstanceUid;
    QCOMPARE(order, (QStringList{"6.4", "6.1"})); // newest first, the open study left out
    QCOMPARE(database->otherStudiesOfPatient("P1", QString()).size(), 3);
    QVERIFY(database->otherStudiesOfPatient(QString(), "6.3").isEmpty());
    QVERIFY(database->otherStudiesOfPatient("nobody", "6.3").isEmpty());

    QVERIFY(database->studyExists("6.2"));
    QVERIFY(!database->studyExists("6.9"));
    // Files are numbered in the order they were first indexed; one added later to the first series
    // goes to the end and moves no other file.
    QCOMPARE(database->studyFilePaths("6.3"), (QStringList{"/d/1.dcm", "/d/pt.dcm", "/d/ct.dcm"}));
    QVERIFY(database->indexFile(makeSummary("6.3", "6.3.1", "6.3.1.2", 2, "/d/1b.dcm")));
    QCOMPARE(database->studyFilePaths("6.3"), (QStringList{"/d/1.dcm", "/d/pt.dcm", "/d/ct.dcm", "/d/1b.dcm"}));
    QVERIFY(database->studyFilePaths("6.9").isEmpty());

    // A study whose patient row is missing is still listed, with empty patient fields.
    QSqlQuery q(QSqlDatabase::database(database->connectionName(), false));
    QVERIFY(q.exec("PRAGMA foreign_keys=OFF"));
    QVERIFY(q.exec("INSERT INTO studies (study_instance_uid, patient_key, study_date) VALUES ('6.0', 999, '19990101')"));
    QVERIFY(q.exec("PRAGMA foreign_keys=ON"));
    const auto withGhost = database->allStudies();
    QCOMPARE(withGhost.first().studyInstanceUid, QStringLiteral("6.0"));
    QVERIFY(withGhost.first().patientId.isEmpty());
    QCOMPARE(withGhost.first().instanceCount, 0);
}

namespace {

// Every field of a study record as text, so that two records compare field by field.
QStringList fieldsOf(const db::StudyRecord& r)
{
    return {r.studyInstanceUid,
            r.patientId,
            r.patientName,
            r.birthDate,
            r.sex,
            QString::number(r.weightKg),
            r.studyDate,
            r.studyTime,
            r.studyDescription,
            r.accessionNumber,
            QString::number(r.seriesCount),
            QString::number(r.instanceCount),
            QString::number(r.isProtected),
            sortedModalities(r.modalities).join(','),
            r.importedAt.toString(Qt::ISODateWithMs)};
}

} // namespace

void TestDatabaseIndex::oneStudyReadsAsTheListGivesIt()
{
    // UIDs that are prefixes of each other, two patients, several series and modalities, frames
    // counted one each, a protected study, one without series and one whose patient row is missing.
    int file = 0;
    auto add = [&](const QString& study, const QString& series, const QString& pid, const QString& modality,
                   int frames) {
        ++file;
        dicom::DicomFileSummary s = makeSummary(study, series, QStringLiteral("%1.%2").arg(series).arg(file),
                                                file, QStringLiteral("/d/%1.dcm").arg(file));
        s.patientId = pid;
        s.patientName = pid == QLatin1String("P2") ? QStringLiteral("Петрова^Анна") : s.patientName;
        s.modality = modality;
        s.numberOfFrames = frames;
        s.studyDescription = QStringLiteral("Исследование ") + study;
        return m_db->indexFile(s);
    };
    QVERIFY(add("4.1", "4.1.1", "P1", "CT", 1));
    QVERIFY(add("4.1", "4.1.1", "P1", "CT", 3));
    QVERIFY(add("4.1", "4.1.2", "P1", "PT", 1));
    QVERIFY(add("4.10", "4.10.1", "P2", "MR", 2));
    QVERIFY(add("4.11", "4.11.1", "P1", "SR", 1));
    QVERIFY(add("4.12", "4.12.1", "P2", "US", 1));
    QVERIFY(m_db->setStudyProtected("4.10", true));
    QSqlQuery q(QSqlDatabase::database(m_db->connectionName(), false));
    QVERIFY(q.exec("DELETE FROM instances WHERE series_instance_uid = '4.12.1'"));
    QVERIFY(q.exec("DELETE FROM series WHERE study_instance_uid = '4.12'"));
    QVERIFY(q.exec("PRAGMA foreign_keys=OFF"));
    QVERIFY(q.exec(
        "INSERT INTO studies (study_instance_uid, patient_key, study_date) VALUES ('4.2', 999, '19990101')"));
    QVERIFY(q.exec("PRAGMA foreign_keys=ON"));

    const QList<db::StudyRecord> all = m_db->allStudies();
    QCOMPARE(all.size(), 5);
    for (const db::StudyRecord& listed : all) {
        const std::optional<db::StudyRecord> one = m_db->studyRecord(listed.studyInstanceUid);
        QVERIFY2(one, qPrintable(listed.studyInstanceUid));
        QCOMPARE(fieldsOf(*one), fieldsOf(listed));
    }
    const db::StudyRecord rich = *m_db->studyRecord("4.1");
    QCOMPARE(rich.seriesCount, 2);
    QCOMPARE(rich.instanceCount, 5);
    QVERIFY(m_db->studyRecord("4.10")->isProtected);
    QCOMPARE(m_db->studyRecord("4.12")->seriesCount, 0);
    QVERIFY(m_db->studyRecord("4.2")->patientName.isEmpty());

    for (const char* absent : {"4", "4.1%", "4.13", ""})
        QVERIFY2(!m_db->studyRecord(absent), absent);
    QVERIFY(m_db->deleteStudy("4.1"));
    QVERIFY(!m_db->studyRecord("4.1"));
    QCOMPARE(m_db->studyRecord("4.11")->instanceCount, 1);
}

void TestDatabaseIndex::seriesOrderAndCounts()
{
    const QStringList numbers{"10", "2", "abc", "", "1", "3b"};
    int i = 0;
    for (const QString& num : numbers) {
        dicom::DicomFileSummary s = makeSummary("7.1", QStringLiteral("7.1.%1").arg(i), QStringLiteral("7.1.%1.1").arg(i), 1,
                                                QStringLiteral("/d/%1.dcm").arg(i));
        s.seriesNumber = num;
        s.numberOfFrames = i + 1;
        s.laterality = i == 0 ? "L" : "";
        ++i;
        QVERIFY(m_db->indexFile(s));
    }
    const auto series = m_db->seriesForStudy("7.1");
    QCOMPARE(series.size(), 6);
    QStringList got;
    for (const auto& r : series)
        got << r.seriesNumber;
    // Texts without a leading number count as 0; "3b" counts as 3.
    QCOMPARE(QSet<QString>(got.begin(), got.begin() + 2), (QSet<QString>{"abc", ""}));
    QCOMPARE(got.mid(2), (QStringList{"1", "2", "3b", "10"}));
    const db::SeriesRecord& ten = series.last();
    QCOMPARE(ten.seriesInstanceUid, QStringLiteral("7.1.0"));
    QCOMPARE(ten.instanceCount, 1);
    QCOMPARE(ten.laterality, QStringLiteral("L"));
    QCOMPARE(series.at(3).instanceCount, 2); // "2" had two frames
    QVERIFY(m_db->seriesForStudy("7.9").isEmpty());
    QVERIFY(m_db->instancesForSeries("7.9").isEmpty());
}

void TestDatabaseIndex::protection()
{
    QVERIFY(m_db->indexFile(makeSummary("8.1", "8.1.1", "8.1.1.1", 1, "/d/a.dcm")));
    QVERIFY(!m_db->allStudies().first().isProtected);
    QVERIFY(m_db->setStudyProtected("8.1", true));
    QVERIFY(m_db->allStudies().first().isProtected);
    QVERIFY(m_db->indexFile(makeSummary("8.1", "8.1.1", "8.1.1.2", 2, "/d/b.dcm")));
    QVERIFY(m_db->allStudies().first().isProtected); // new files keep the flag
    QVERIFY(m_db->setStudyProtected("8.1", false));
    QVERIFY(!m_db->allStudies().first().isProtected);
    QVERIFY(m_db->setStudyProtected("not-indexed", true)); // changes nothing, not a failure
    QCOMPARE(m_db->allStudies().size(), 1);

    // Protection is lost with the study: re-indexing after deletion gives an unprotected study.
    QVERIFY(m_db->setStudyProtected("8.1", true));
    QVERIFY(m_db->deleteStudy("8.1"));
    QVERIFY(m_db->indexFile(makeSummary("8.1", "8.1.1", "8.1.1.1", 1, "/d/a.dcm")));
    QVERIFY(!m_db->allStudies().first().isProtected);
}

void TestDatabaseIndex::deletionRemovesExactlyTheStudy()
{
    // Patient P1 has studies 9.1 and 9.2, patient P2 has 9.3.
    for (int k = 0; k < 3; ++k) {
        dicom::DicomFileSummary s = makeSummary("9.1", QStringLiteral("9.1.%1").arg(k % 2), QStringLiteral("9.1.x.%1").arg(k),
                                                k, QStringLiteral("/d/91_%1.dcm").arg(k));
        s.numberOfFrames = 2;
        QVERIFY(m_db->indexFile(s));
    }
    QVERIFY(m_db->indexFile(makeSummary("9.2", "9.2.1", "9.2.1.1", 1, "/d/92.dcm")));
    dicom::DicomFileSummary p2 = makeSummary("9.3", "9.3.1", "9.3.1.1", 1, "/d/93.dcm");
    p2.patientId = "P2";
    QVERIFY(m_db->indexFile(p2));

    RawDb raw(m_path);
    auto counts = [&raw] {
        return QStringList{raw.scalar("SELECT COUNT(*) FROM patients").toString(),
                           raw.scalar("SELECT COUNT(*) FROM studies").toString(),
                           raw.scalar("SELECT COUNT(*) FROM series").toString(),
                           raw.scalar("SELECT COUNT(*) FROM instances").toString()};
    };
    QCOMPARE(counts(), (QStringList{"2", "3", "4", "8"}));
    const QStringList othersBefore = raw.rows("SELECT * FROM instances WHERE sop_instance_uid NOT LIKE '9.1.x.%' "
                                              "ORDER BY sop_instance_uid");

    QVERIFY(m_db->deleteStudy("9.1"));
    QCOMPARE(counts(), (QStringList{"2", "2", "2", "2"})); // P1 keeps study 9.2
    QCOMPARE(raw.rows("SELECT * FROM instances ORDER BY sop_instance_uid"), othersBefore);
    QVERIFY(!m_db->studyExists("9.1"));
    QVERIFY(m_db->instancesForSeries("9.1.0").isEmpty());

    QVERIFY(m_db->deleteStudy("9.2")); // the last study of P1 takes the patient with it
    QCOMPARE(counts(), (QStringList{"1", "1", "1", "1"}));
    QCOMPARE(raw.scalar("SELECT patient_id FROM patients").toString(), QStringLiteral("P2"));

    QVERIFY(!m_db->deleteStudy("9.1")); // not indexed: false, and no error text
    QVERIFY(m_db->lastError().isEmpty());
    QCOMPARE(m_db->allStudies().size(), 1);
}

void TestDatabaseIndex::manyStudiesGoTogetherOrNotAtAll()
{
    // Studies 11.1 and 11.2 of patient P1 (11.1 with a multi-frame file), 11.3 of P2.
    dicom::DicomFileSummary multi = makeSummary("11.1", "11.1.1", "11.1.1.1", 1, "/d/multi.dcm");
    multi.numberOfFrames = 3;
    dicom::DicomFileSummary p2 = makeSummary("11.3", "11.3.1", "11.3.1.1", 1, "/d/c.dcm");
    p2.patientId = "P2";
    for (const auto& s : {multi, makeSummary("11.1", "11.1.2", "11.1.2.1", 1, "/d/a2.dcm"),
                          makeSummary("11.2", "11.2.1", "11.2.1.1", 1, "/d/b.dcm"), p2})
        QVERIFY(m_db->indexFile(s));
    RawDb raw(m_path);
    const QStringList before = dump(raw);

    // One study's removal refused by the database: none of them goes and no file is named.
    QVERIFY(raw.exec({"CREATE TRIGGER refuse BEFORE DELETE ON studies WHEN OLD.study_instance_uid = '11.2' "
                      "BEGIN SELECT RAISE(ABORT, 'study refused'); END"})
                .isEmpty());
    QStringList paths{"stale"};
    QVERIFY(!m_db->deleteStudies({"11.1", "11.2"}, &paths));
    QVERIFY2(m_db->lastError().contains("study refused"), qPrintable(m_db->lastError()));
    QVERIFY(paths.isEmpty());
    QCOMPARE(dump(raw), before);
    QVERIFY(!m_db->deleteStudy("11.2"));
    QCOMPARE(dump(raw), before);
    QVERIFY(raw.exec({"DROP TRIGGER refuse"}).isEmpty());

    // Accepted: both go with their series, frames and the patient they leave; an unknown UID is passed over.
    QVERIFY(m_db->deleteStudies({"11.1", "not-indexed", "11.2"}, &paths));
    paths.sort();
    QCOMPARE(paths, (QStringList{"/d/a2.dcm", "/d/b.dcm", "/d/multi.dcm"}));
    QCOMPARE(raw.rows("SELECT study_instance_uid FROM studies"), QStringList{"11.3"});
    QCOMPARE(raw.rows("SELECT patient_id FROM patients"), QStringList{"P2"});
    QCOMPARE(raw.rows("SELECT sop_instance_uid FROM instances"), QStringList{"11.3.1.1"});
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM series").toInt(), 1);
    QVERIFY(m_db->deleteStudies({}));
}

void TestDatabaseIndex::cyrillicTextRoundTrips()
{
    const QString folder = m_dir->filePath(QStringLiteral("Исследования/Пётр"));
    dicom::DicomFileSummary s = makeSummary("1.2.643.1", "1.2.643.1.1", "1.2.643.1.1.1", 1,
                                            folder + QStringLiteral("/снимок 1.dcm"));
    s.patientId = QStringLiteral("ПАЦ-001");
    s.patientName = QStringLiteral("Иванов^Пётр Сергеевич=ИВАНОВ^ПЁТР");
    s.studyDescription = QStringLiteral("КТ органов грудной клетки с контрастом");
    s.seriesDescription = QStringLiteral("Аксиальные срезы, мягкие ткани");
    s.bodyPartExamined = QStringLiteral("ГРУДЬ");
    s.sex = QStringLiteral("М");
    QVERIFY(m_db->indexFile(s));

    m_db.reset(); // read back through a fresh connection, from the file
    db::Database again;
    QVERIFY(again.open(m_path));
    const auto studies = again.allStudies();
    QCOMPARE(studies.size(), 1);
    QCOMPARE(studies.first().patientId, s.patientId);
    QCOMPARE(studies.first().patientName, s.patientName);
    QCOMPARE(studies.first().studyDescription, s.studyDescription);
    QCOMPARE(studies.first().sex, s.sex);
    const auto series = again.seriesForStudy(s.studyInstanceUid);
    QCOMPARE(series.first().seriesDescription, s.seriesDescription);
    QCOMPARE(series.first().bodyPartExamined, s.bodyPartExamined);
    QCOMPARE(again.instancesForSeries(s.seriesInstanceUid).first().filePath, s.filePath);
    QCOMPARE(again.studyFilePaths(s.studyInstanceUid), QStringList{s.filePath});
    QCOMPARE(again.otherStudiesOfPatient(s.patientId, "x").size(), 1);
    QCOMPARE(again.patientBodyInfo(s.studyInstanceUid).sex, s.sex);
}

void TestDatabaseIndex::reusedUidNeverReplacesAnotherObject_data()
{
    QTest::addColumn<QString>("study");
    QTest::addColumn<QString>("series");
    QTest::addColumn<bool>("edit"); // through the tag editor's re-indexing
    QTest::addColumn<bool>("accepted");
    QTest::newRow("the same object again, moved") << "5.1" << "5.1.1" << false << true;
    QTest::newRow("another series of the study") << "5.1" << "5.1.2" << false << false;
    QTest::newRow("another study") << "5.2" << "5.2.1" << false << false;
    QTest::newRow("moved to another series by an edit") << "5.1" << "5.1.2" << true << true;
}

void TestDatabaseIndex::reusedUidNeverReplacesAnotherObject()
{
    QFETCH(QString, study);
    QFETCH(QString, series);
    QFETCH(bool, edit);
    QFETCH(bool, accepted);
    const dicom::DicomFileSummary first = makeSummary("5.1", "5.1.1", "5.1.1.1", 1, "/a/first.dcm");
    QVERIFY(m_db->indexFile(first));
    dicom::DicomFileSummary other = makeSummary(study, series, "5.1.1.1", 2, "/b/other.dcm");
    QCOMPARE(edit ? m_db->reindexEditedFile(first, other) : m_db->indexFile(other), accepted);
    const std::optional<db::InstancePlace> place = m_db->instancePlace("5.1.1.1");
    QVERIFY(place);
    QCOMPARE(place->seriesInstanceUid, accepted ? series : QStringLiteral("5.1.1"));
    QCOMPARE(place->studyInstanceUid, accepted ? study : QStringLiteral("5.1"));
    const QList<db::InstanceRecord> rows = m_db->instancesForSeries(place->seriesInstanceUid);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().filePath, accepted ? other.filePath : first.filePath);
    QCOMPARE(m_db->studyExists("5.2"), accepted && study == QLatin1String("5.2"));
}

void TestDatabaseIndex::failedEditLeavesTheIndexAsItWas_data()
{
    // Another program changed the index behind this connection's back: each edit fails at one step.
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("newSop"); // the edit gives the object a new SOP Instance UID
    QTest::addColumn<QString>("cause");
    QTest::newRow("protection unreadable") << "ALTER TABLE studies DROP COLUMN is_protected" << false
                                           << "is_protected";
    QTest::newRow("rows cannot move") << "CREATE TRIGGER refuse BEFORE UPDATE ON instances BEGIN "
                                         "SELECT RAISE(ABORT, 'move refused'); END"
                                      << false << "move refused";
    QTest::newRow("old rows cannot go") << "CREATE TRIGGER refuse BEFORE DELETE ON instances BEGIN "
                                           "SELECT RAISE(ABORT, 'removal refused'); END"
                                        << true << "removal refused";
    QTest::newRow("protection cannot follow") << "CREATE TRIGGER refuse BEFORE UPDATE OF is_protected ON studies "
                                                 "BEGIN SELECT RAISE(ABORT, 'protection refused'); END"
                                              << false << "protection refused";
}

void TestDatabaseIndex::failedEditLeavesTheIndexAsItWas()
{
    QFETCH(QString, damage);
    QFETCH(bool, newSop);
    QFETCH(QString, cause);
    const dicom::DicomFileSummary before = makeSummary("6.1", "6.1.1", "6.1.1.1", 1, "/d/a.dcm");
    QVERIFY(m_db->indexFile(before));
    QVERIFY(m_db->setStudyProtected("6.1", true));
    RawDb raw(m_path);
    QCOMPARE(raw.exec({damage}), QString());
    const QStringList rows = dump(raw);

    // The edit moves the protected study's only object to a new study, which takes its protection over.
    dicom::DicomFileSummary after = makeSummary("6.2", "6.2.1", newSop ? "6.2.1.1" : "6.1.1.1", 1, "/d/b.dcm");
    QVERIFY(!m_db->reindexEditedFile(before, after));
    QVERIFY2(m_db->lastError().contains(cause), qPrintable(m_db->lastError()));
    QCOMPARE(dump(raw), rows);
    QVERIFY(!m_db->studyExists("6.2"));
}

// A file indexed at `written`, below {dir}/gone, a data folder reached by a path that is gone; the store
// is {dir}/now/imported_from_zip, holding a/b.dcm. The rows name the store's file only for a copy of the
// program's (or rows that do not say) with nothing at its path, under the same two names.
void TestDatabaseIndex::storeCopiesAreFoundWhereTheStoreIsNow_data()
{
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("own");  // 1, 0, null
    QTest::addColumn<QString>("also"); // a further file made first
    // The store folder when the row was written: "" the one now; else that folder, and "earlier" an
    // index of an earlier version that kept it (none when empty), which recorded every path whole.
    QTest::addColumn<QString>("then");
    QTest::addColumn<bool>("placed");
    const QString copy = "{dir}/gone/imported_from_zip/a/b.dcm";
    QTest::newRow("the program's copy") << copy << "1"
                                        << ""
                                        << "" << true;
    QTest::newRow("rows of an earlier version") << copy << "null"
                                                << ""
                                                << "" << true;
    QTest::newRow("a user's file imported where it lay") << copy << "0"
                                                         << ""
                                                         << "" << false;
    QTest::newRow("a file still at the path") << copy << "1" << copy << "" << false;
    QTest::newRow("climbing out of the store") << "{dir}/gone/imported_from_zip/../b.dcm"
                                               << "1"
                                               << "{dir}/now/b.dcm"
                                               << "" << false;
    // The data folder copied elsewhere, the old one kept: the copy is the one below the store now.
    const QString old = "{dir}/old/imported_from_zip/a/b.dcm";
    QTest::newRow("a copy in the store, copied since")
        << old << "1" << old << "{dir}/old/imported_from_zip" << true;
    QTest::newRow("an earlier version's copy in its store, copied since")
        << old << "1" << old << "earlier {dir}/old/imported_from_zip" << true;
    QTest::newRow("an earlier version's copy through a data folder path since gone, copied since")
        << copy << "1" << copy << "earlier" << true;
    // The index counted only a folder of another name as its store (as the version before did with the
    // folder of remote downloads): the program's copy below a folder of the store's name now, copied
    // since, is the one below the store; a user's file there stays where it lay.
    QTest::newRow("a copy in a folder the index did not count as its store yet, copied since")
        << old << "1" << old << "{dir}/old/pacs_downloads" << true;
    QTest::newRow("a user's file in a folder the index did not count as its store yet")
        << old << "0" << old << "{dir}/old/pacs_downloads" << false;
    // Rows that do not say, of a folder of the store's name where a user's files lie: they stay there.
    QTest::newRow("an earlier version's rows that do not say, of a user's folder")
        << "{dir}/mine/imported_from_zip/a/b.dcm"
        << "null"
        << "{dir}/mine/imported_from_zip/a/b.dcm"
        << "earlier" << false;
}

void TestDatabaseIndex::storeCopiesAreFoundWhereTheStoreIsNow()
{
    QFETCH(QString, written);
    QFETCH(QString, own);
    QFETCH(QString, also);
    QFETCH(QString, then);
    QFETCH(bool, placed);
    const QString store = m_dir->filePath("now/imported_from_zip");
    // The object the rows name, wherever a file of it lies: the rows are believed of it only.
    fixtures::SeriesLayout object;
    object.rows = object.columns = 8;
    object.studyUid = "1.1";
    object.seriesUid = "1.1.1";
    object.customize = [](DcmDataset& ds, int) { ds.putAndInsertString(DCM_SOPInstanceUID, "1.1.1.1"); };
    for (const QString& path : {store + "/a/b.dcm", also.replace("{dir}", m_dir->path())}) {
        if (path.isEmpty())
            continue;
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(!fixtures::writeSlice(path, object, 0).isEmpty());
        QCOMPARE(dicom::readFileSummary(path)->sopInstanceUid, QStringLiteral("1.1.1.1"));
    }
    then.replace("{dir}", m_dir->path());
    const bool earlier = then.startsWith("earlier");
    if (!earlier)
        QVERIFY(m_db->setStoreFolders({then.isEmpty() ? store : then}));
    dicom::DicomFileSummary s = makeSummary("1.1", "1.1.1", "1.1.1.1", 1, written.replace("{dir}", m_dir->path()));
    s.ownCopy = own == "1";
    QVERIFY2(m_db->indexFile(s), qPrintable(m_db->lastError()));
    if (own == "null")
        QCOMPARE(RawDb(m_path).exec({"UPDATE instances SET own_copy = NULL"}), QString());
    if (earlier) { // the store folder it kept, if any; opened anew by this version, which places its rows
                   // once
        QStringList sql{"DELETE FROM store_folders", "PRAGMA user_version = 1"};
        if (then != "earlier")
            sql << "INSERT INTO store_folders (folder) VALUES ('" + then.section(' ', 1) + "/')";
        QCOMPARE(RawDb(m_path).exec(sql), QString());
        QVERIFY(m_db->open(m_path));
    }
    QVERIFY(m_db->setStoreFolders({store}));
    const QString expected = placed ? store + "/a/b.dcm" : written;
    QCOMPARE(m_db->studyFilePaths("1.1"), QStringList{expected});
    QCOMPARE(m_db->studyFiles("1.1").value(0).filePath, expected);
    QCOMPARE(m_db->instancesForSeries("1.1.1").value(0).filePath, expected);
    QCOMPARE(m_db->objectFile("1.1.1.1")->filePath, expected);
    if (placed && own == "1") {
        // Its tags edited where it is found, the copy stays the program's, now named where it lies.
        dicom::DicomFileSummary before = s, after = s;
        before.filePath = after.filePath = expected;
        before.ownCopy = after.ownCopy = false;
        after.seriesInstanceUid = "1.1.2";
        QVERIFY2(m_db->reindexEditedFile(before, after), qPrintable(m_db->lastError()));
        QCOMPARE(m_db->studyFiles("1.1").value(0).ownCopy, std::optional<bool>(true));
        // Recorded where it lies in the store, relative to the store folder.
        QCOMPARE(RawDb(m_path).rows("SELECT series_instance_uid, file_path FROM instances"),
                 QStringList{"1.1.2|imported_from_zip/a/b.dcm"});
    }
}

void TestDatabaseIndex::listedFilesHoldTheirRowsObjects_data()
{
    QTest::addColumn<QString>("change");      // what happens to the first file after it was indexed
    QTest::addColumn<int>("listed");          // rows listed of the three
    QTest::addColumn<int>("readAgain");       // files read again at the first listing, and at the next
    QTest::addColumn<int>("readAgainAfter");
    QTest::addColumn<bool>("otherStudyThere"); // the file holds the other study's object now
    QTest::addColumn<QString>("index");       // then opened: "" as it was, "read-only", "earlier read-only"
    QTest::addColumn<bool>("changedBetween"); // the first file replaced by its own bytes between the listings
    QTest::newRow("unchanged") << "none" << 3 << 0 << 0 << false << "" << false;
    QTest::newRow("gone: left to whoever opens it") << "remove" << 3 << 0 << 0 << false << "" << false;
    QTest::newRow("touched, same bytes") << "touch" << 3 << 1 << 0 << false << "" << false;
    QTest::newRow("rows of an earlier version, no version kept") << "forget" << 3 << 3 << 0 << false << "" << false;
    QTest::newRow("other object copied over, same size, times kept") << "same size" << 2 << 1 << 0 << true << ""
                                                                      << false;
    QTest::newRow("other object copied over, other size") << "other size" << 2 << 1 << 0 << true << "" << false;
    QTest::newRow("other object renamed over") << "rename" << 2 << 1 << 0 << true << "" << false;
    QTest::newRow("other object between the read and the rows") << "before rows" << 2 << 1 << 0 << true << ""
                                                                 << false;
    // Nothing read from it names another image: left to whoever opens it, who tells it as changed.
    QTest::newRow("not DICOM any more") << "garbage" << 3 << 1 << 0 << false << "" << false;
    QTest::newRow("half written with its own bytes") << "half" << 3 << 1 << 0 << false << "" << false;
    // An index that cannot record what it found: the process remembers it while the file stays as found.
    QTest::newRow("touched, read-only index") << "touch" << 3 << 1 << 0 << false << "read-only" << false;
    QTest::newRow("touched, read-only index, changed again") << "touch" << 3 << 1 << 1 << false << "read-only"
                                                             << true;
    QTest::newRow("other object copied over, read-only index") << "same size" << 2 << 1 << 0 << true
                                                               << "read-only" << false;
    QTest::newRow("read-only index of an earlier version") << "none" << 3 << 3 << 0 << false
                                                           << "earlier read-only" << false;
    // The first file a multi-frame object (5 frames 1 mm apart, or 16), copied over by the same object
    // reconstructed otherwise: its rows are the frames it holds now, where they lie now.
    QTest::newRow("object sent again in 7 frames 2/3 mm apart") << "7 frames" << 9 << 1 << 0 << false << ""
                                                                << false;
    QTest::newRow("object sent again in 3 frames 2 mm apart") << "3 frames" << 5 << 1 << 0 << false << ""
                                                              << false;
    QTest::newRow("object sent again in 24 frames") << "24 frames" << 26 << 1 << 0 << false << "" << false;
    QTest::newRow("object sent again in 7 frames, read-only index") << "7 frames" << 9 << 1 << 0 << false
                                                                    << "read-only" << false;
    QTest::newRow("object sent again in 24 frames, read-only index") << "24 frames" << 26 << 1 << 0 << false
                                                                     << "read-only" << false;
    // Indexed from a copy of the program's through another connection while the listing read the file:
    // given as read, the rows left to that writer.
    QTest::newRow("object sent again in 7 frames, indexed from a copy meanwhile") << "7 frames, copied" << 9 << 1
                                                                                  << 0 << false << "" << false;
}

void TestDatabaseIndex::listedFilesHoldTheirRowsObjects()
{
    QFETCH(QString, change);
    QFETCH(int, listed);
    QFETCH(int, readAgain);
    QFETCH(int, readAgainAfter);
    QFETCH(bool, otherStudyThere);
    QFETCH(QString, index);
    QFETCH(bool, changedBetween);
    fixtures::SeriesLayout a;
    a.rows = a.columns = 16;
    a.slices = 3;
    // Room for the other object's comment: the two files can be made one size.
    a.customize = [](DcmDataset& ds, int) {
        ds.putAndInsertString(DCM_ImageComments, QByteArray(200, 'a').constData());
    };
    QVERIFY(fixtures::writeAndIndexSeries(*m_db, m_dir->filePath("disc"), a));
    const QStringList files = QDir(m_dir->filePath("disc")).entryList(QDir::Files, QDir::Name);
    QCOMPARE(files.size(), 3);
    const QString target = QDir(m_dir->filePath("disc")).filePath(files.first());
    // Frames of the first file's object as indexed, and as sent again with the step between them.
    struct Resent
    {
        int before = 0;
        int after = 0;
        double step = 0.0;
    };
    const Resent resent = QHash<QString, Resent>{{"7 frames", {5, 7, 2.0 / 3.0}},
                                                 {"3 frames", {5, 3, 2.0}},
                                                 {"24 frames", {16, 24, 1.0}},
                                                 {"7 frames, copied", {5, 7, 2.0 / 3.0}}}
                              .value(change);
    const QString targetUid = dicom::readFileSummary(target)->sopInstanceUid;
    const auto writeObject = [&a, &targetUid](const QString& path, int frames, double step) {
        fixtures::SeriesLayout object = a;
        object.slices = frames;
        object.sliceSpacing = object.sliceThickness = step;
        object.customize = [uid = targetUid.toLatin1()](DcmDataset& ds, int) {
            ds.putAndInsertString(DCM_SOPInstanceUID, uid.constData());
        };
        return fixtures::writeEnhancedMultiFrame(path, object);
    };
    if (resent.after > 0) {
        QVERIFY(fixtures::replaceFileBytes(target, contentOf(writeObject(m_dir->filePath("indexed.dcm"),
                                                                         resent.before, 1.0))));
        QVERIFY(fixtures::indexFiles(*m_db, {target}));
        QCOMPARE(m_db->allStudies().first().instanceCount, resent.before + 2);
    }
    fixtures::SeriesLayout b = a;
    b.studyUid = b.seriesUid = QString();
    b.patientId = "P0002";
    b.patientName = "Other^Patient";
    b.customize = {};
    fixtures::completeUids(b);
    QVERIFY(QDir().mkpath(m_dir->filePath("other")));
    const QString other = m_dir->filePath("other/b0.dcm");
    fixtures::writeSliceOfSize(other, b, 0, QFileInfo(target).size());
    QCOMPARE(QFileInfo(other).size(), QFileInfo(target).size());

    if (change == "remove") {
        QVERIFY(QFile::remove(target));
    } else if (change == "touch") {
        QVERIFY(fixtures::replaceFileBytes(target, contentOf(target)));
    } else if (change == "forget") {
        QCOMPARE(RawDb(m_path).exec({"UPDATE instances SET file_version = NULL"}), QString());
    } else if (change == "same size") {
        QVERIFY(fixtures::replaceFileBytes(target, contentOf(other), true));
        QCOMPARE(QFileInfo(target).size(), QFileInfo(other).size());
    } else if (change == "other size") {
        const qint64 size = QFileInfo(target).size();
        fixtures::writeSliceOfSize(other, b, 0, -1);
        QVERIFY(fixtures::replaceFileBytes(target, contentOf(other)));
        QVERIFY(QFileInfo(target).size() != size);
    } else if (change == "rename") {
        QVERIFY(fixtures::replaceFileBytes(target, contentOf(other), false, true));
    } else if (change == "before rows") {
        // Read as the importer reads it, replaced, then written into the index.
        const std::optional<dicom::DicomFileSummary> read = dicom::readFileSummary(target);
        QVERIFY(read);
        QVERIFY(fixtures::replaceFileBytes(target, contentOf(other)));
        QVERIFY(m_db->indexFile(*read));
    } else if (change == "garbage") {
        QVERIFY(fixtures::replaceFileBytes(target, "not an image any more"));
    } else if (change == "half") {
        const QByteArray own = contentOf(target);
        QVERIFY(fixtures::replaceFileBytes(target, own.left(own.size() / 2)));
    } else if (resent.after > 0) {
        QVERIFY(fixtures::replaceFileBytes(
            target, contentOf(writeObject(m_dir->filePath("again.dcm"), resent.after, resent.step))));
    }
    if (!index.isEmpty()) {
        m_db.reset();
        if (index == "earlier read-only") // as the version before the rows kept their files' versions
            QCOMPARE(RawDb(m_path).exec({"DROP INDEX instances_by_path",
                                         "ALTER TABLE instances DROP COLUMN file_version"}),
                     QString());
        QVERIFY(makeReadOnly(m_path));
        m_db = std::make_unique<db::Database>();
        QVERIFY2(m_db->open(m_path), qPrintable(m_db->lastError()));
        QVERIFY(!m_db->isWritable());
        QCOMPARE(m_db->isOfEarlierVersion(), index == "earlier read-only");
    }

    // The object's rows, by frame, at the places the file gives its frames now.
    const auto checkResent = [&](const QList<db::InstanceRecord>& listing) {
        QList<db::InstanceRecord> frames;
        for (const db::InstanceRecord& row : listing)
            if (row.sopInstanceUid == targetUid)
                frames << row;
        QCOMPARE(frames.size(), resent.after);
        const double z = fixtures::slicePosition(a, 0)[2];
        for (int f = 0; f < resent.after; ++f) {
            QCOMPARE(frames.at(f).frameIndex, f);
            QVERIFY2(std::abs(frames.at(f).imagePosition[2] - (z + f * resent.step)) < 1e-6,
                     qPrintable(QString::number(frames.at(f).imagePosition[2])));
            QCOMPARE(frames.at(f).sliceThickness, resent.step);
        }
    };
    const QString copy = m_dir->filePath("copy.dcm");
    const bool copiedMeanwhile = change.endsWith(QLatin1String("copied"));
    if (copiedMeanwhile)
        db::Database::beforeFindingsRecordedForTest([&] {
            db::Database::beforeFindingsRecordedForTest({});
            std::optional<dicom::DicomFileSummary> own =
                dicom::readFileSummary(writeObject(copy, resent.after, resent.step));
            QVERIFY(own);
            own->ownCopy = true;
            db::Database second;
            QVERIFY(second.open(m_path));
            QVERIFY2(second.indexFile(*own), qPrintable(second.lastError()));
        });
    const auto noHook = qScopeGuard([] { db::Database::beforeFindingsRecordedForTest({}); });
    const int before = db::RowFileProof::filesReadAgain();
    int replaced = -1;
    const QList<db::InstanceRecord> rows = m_db->instancesForSeries(a.seriesUid, &replaced);
    QCOMPARE(rows.size(), listed);
    QCOMPARE(replaced, otherStudyThere ? 1 : 0);
    if (resent.after > 0)
        checkResent(rows);
    QCOMPARE(db::RowFileProof::filesReadAgain() - before, readAgain);
    for (const db::InstanceRecord& row : rows) {
        // What a reader of the row's file proves it by later: a file nothing is read from is taken in no
        // version without being proven.
        if (const auto held = dicom::readFileSummary(row.filePath)) {
            QCOMPARE(row.fileVersion, dicom::fileIdentity(row.filePath).text());
            QCOMPARE(held->studyInstanceUid, a.studyUid);
            QCOMPARE(row.sopInstanceUid, held->sopInstanceUid);
        } else {
            QCOMPARE(row.fileVersion, QString());
        }
    }
    if (copiedMeanwhile) {
        // The user's file is not written as the program's copy's rows.
        QCOMPARE(RawDb(m_path).rows("SELECT DISTINCT file_path FROM instances WHERE own_copy = 1"),
                 QStringList{QFileInfo(copy).absoluteFilePath()});
        return;
    }
    // What was found is kept: the next listing reads nothing and finds the same.
    if (changedBetween)
        QVERIFY(fixtures::replaceFileBytes(target, contentOf(target), false, true));
    const int next = db::RowFileProof::filesReadAgain();
    QCOMPARE(m_db->instancesForSeries(a.seriesUid).size(), listed);
    QCOMPARE(db::RowFileProof::filesReadAgain() - next, readAgainAfter);
    if (resent.after > 0) {
        // Written as listed where the index can be written, and so counted; given as read where not.
        checkResent(m_db->instancesForSeries(a.seriesUid));
        const int counted = index.isEmpty() ? listed : resent.before + 2;
        QCOMPARE(m_db->allStudies().first().instanceCount, counted);
        QCOMPARE(m_db->seriesForStudy(a.studyUid).first().instanceCount, counted);
    }
    if (!otherStudyThere || !index.isEmpty()) // an index that is not written cannot be indexed anew
        return;

    // Indexed again (the folder imported anew), the file's rows are those of the object it holds;
    // once every file of the study holds another's, nothing of it is left.
    QSignalSpy replacedFiles(m_db.get(), &db::Database::replacedFilesIndexed);
    QVERIFY(fixtures::indexFiles(*m_db, {target}));
    QCOMPARE(replacedFiles.count(), 1);
    QCOMPARE(replacedFiles.at(0).at(0).toStringList(), QStringList{QFileInfo(target).absoluteFilePath()});
    QCOMPARE(m_db->instancesForSeries(a.seriesUid).size(), 2);
    QCOMPARE(m_db->instancesForSeries(b.seriesUid).size(), 1);
    RawDb raw(m_path);
    for (int k = 1; k < 3; ++k) {
        const QString path = QDir(m_dir->filePath("disc")).filePath(files.at(k));
        fixtures::writeSliceOfSize(path, b, k, -1);
        QVERIFY(fixtures::indexFiles(*m_db, {path}));
    }
    QCOMPARE(replacedFiles.count(), 3);
    QVERIFY(!m_db->studyExists(a.studyUid));
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM instances").toInt(), 3);
    QCOMPARE(raw.rows("SELECT patient_id FROM patients"), QStringList{"P0002"});
    QCOMPARE(raw.scalar("SELECT COUNT(*) FROM series").toInt(), 1);
}

QTEST_GUILESS_MAIN(TestDatabaseIndex)
#include "tst_database_index.moc"
