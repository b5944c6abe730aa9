// Phase grouping of dynamic acquisitions: both storage forms, from an index file filled with DICOM
// files written by the fixtures, plus the slice-ordering and same-geometry rules on their own.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"

#include "db/Database.h"
#include "db/PhaseGrouping.h"
#include "dicom/DicomFileSummary.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

using fixtures::SeriesLayout;

namespace {

const QString kSameGeometryMessage = QStringLiteral(
    "Не удалось найти несколько серий с одинаковой геометрией в этом исследовании — похоже, это не набор фаз "
    "динамической серии (если фазы хранятся в одном файле, используйте группировку по Temporal Position Index).");
const QString kNoIndexMessage = QStringLiteral(
    "У срезов этой серии нет Temporal Position Index — похоже, временные фазы хранятся как отдельные DICOM-серии "
    "(используйте поиск фаз по исследованию).");
const QString kSinglePhaseMessage = QStringLiteral("Найдена только одна временная фаза — динамика недоступна");

db::InstanceRecord row(qint64 instance, double location, int temporalIndex = 0)
{
    db::InstanceRecord r;
    r.filePath = QStringLiteral("/x/%1.dcm").arg(instance);
    r.instanceNumber = instance;
    r.sliceLocation = location;
    r.temporalPositionIndex = temporalIndex;
    r.pixelSpacingX = 0.7;
    r.pixelSpacingY = 0.8;
    r.sliceThickness = 1.5;
    r.frameOfReferenceUid = QStringLiteral("1.2.3");
    return r;
}

QList<qint64> instanceNumbers(const QList<db::InstanceRecord>& rows)
{
    QList<qint64> out;
    for (const db::InstanceRecord& r : rows)
        out << r.instanceNumber;
    return out;
}

QList<double> timesOf(const PhaseGrouping& g)
{
    QList<double> out;
    for (const TemporalPhase& p : g.phases)
        out << p.time;
    return out;
}

QList<int> indexesOf(const PhaseGrouping& g)
{
    QList<int> out;
    for (const TemporalPhase& p : g.phases)
        out << p.index;
    return out;
}

// The series folder a phase's files lie in, i.e. which series became that phase.
QString folderOf(const TemporalPhase& phase)
{
    return QFileInfo(phase.instances.value(0).filePath).dir().dirName();
}

} // namespace

class TestPhaseGrouping : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void sortSlices_data();
    void sortSlices();
    void sameStackGeometry_data();
    void sameStackGeometry();
    void byTemporalIndex_data();
    void byTemporalIndex();

    void temporalIndexFromFiles();
    void acrossSeriesByAcquisitionTime();
    void acrossSeriesWithoutTimeUsesSeriesNumber();
    void acrossSeriesSkipsOtherStacks();
    void acrossSeriesFailures();

private:
    // Writes one series into <root>/<folder> and indexes every file; false when a file is unreadable.
    bool addSeries(const QString& folder, SeriesLayout layout);
    SeriesLayout phaseLayout(int phase) const;

    QTemporaryDir m_dir;
    db::Database m_db;
    QString m_studyUid;
    QString m_frameOfReference;
};

void TestPhaseGrouping::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))), qPrintable(m_db.lastError()));
    m_studyUid = fixtures::newUid();
    m_frameOfReference = fixtures::newUid();
}

bool TestPhaseGrouping::addSeries(const QString& folder, SeriesLayout layout)
{
    return fixtures::writeAndIndexSeries(m_db, m_dir.filePath(folder), layout);
}

// Phase `phase` of a DCE study: 8 axial slices written in reverse instance order so that the
// location sort has work to do, acquired 12 s after the previous phase; series numbers run
// opposite to time, so the two orderings can be told apart.
SeriesLayout TestPhaseGrouping::phaseLayout(int phase) const
{
    SeriesLayout layout;
    layout.studyUid = m_studyUid;
    layout.seriesUid = fixtures::newUid();
    layout.frameOfReferenceUid = m_frameOfReference;
    layout.seriesNumber = QString::number(100 - phase);
    layout.seriesDescription = QStringLiteral("DCE %1").arg(phase);
    layout.slices = 8;
    layout.rows = layout.columns = 16;
    layout.reverseInstanceNumbers = true;
    layout.acquisitionTimeStart = 36000.0 + 12.0 * phase;
    return layout;
}

void TestPhaseGrouping::sortSlices_data()
{
    QTest::addColumn<QList<double>>("locations");
    QTest::addColumn<QList<qint64>>("expected");
    QTest::newRow("empty") << QList<double>{} << QList<qint64>{};
    QTest::newRow("ascending by location") << QList<double>{30.0, -10.0, 20.0} << QList<qint64>{2, 3, 1};
    QTest::newRow("one location keeps instance order") << QList<double>{4.0, 4.005, 3.995, 4.0}
                                                       << QList<qint64>{1, 2, 3, 4};
    QTest::newRow("ties keep instance order") << QList<double>{2.0, 1.0, 2.0, 1.0, 0.0}
                                              << QList<qint64>{5, 2, 4, 1, 3};
    QTest::newRow("NaN sorts last") << QList<double>{std::numeric_limits<double>::quiet_NaN(), 3.0, 1.0}
                                    << QList<qint64>{3, 2, 1};
}

void TestPhaseGrouping::sortSlices()
{
    QFETCH(QList<double>, locations);
    QFETCH(QList<qint64>, expected);
    QList<db::InstanceRecord> rows;
    for (int i = 0; i < locations.size(); ++i)
        rows << row(i + 1, locations[i]);
    sortSlicesByLocation(rows);
    QCOMPARE(instanceNumbers(rows), expected);
}

void TestPhaseGrouping::sameStackGeometry_data()
{
    QTest::addColumn<int>("otherCount");
    QTest::addColumn<QString>("field");
    QTest::addColumn<double>("delta");
    QTest::addColumn<bool>("same");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("identical") << 3 << "" << 0.0 << true;
    QTest::newRow("thickness +0.1") << 3 << "thickness" << 0.1 << true;
    QTest::newRow("thickness -0.2") << 3 << "thickness" << -0.2 << false;
    QTest::newRow("thickness NaN") << 3 << "thickness" << nan << false;
    QTest::newRow("spacing x +0.005") << 3 << "x" << 0.005 << true;
    QTest::newRow("spacing x +0.02") << 3 << "x" << 0.02 << false;
    QTest::newRow("other count") << 4 << "" << 0.0 << false;
    QTest::newRow("other is empty") << 0 << "" << 0.0 << false;
    QTest::newRow("other frame of reference") << 3 << "for" << 0.0 << false;
    QTest::newRow("frame of reference missing") << 3 << "noFor" << 0.0 << true;
}

void TestPhaseGrouping::sameStackGeometry()
{
    QFETCH(int, otherCount);
    QFETCH(QString, field);
    QFETCH(double, delta);
    QFETCH(bool, same);
    const QList<db::InstanceRecord> reference{row(1, 0), row(2, 1), row(3, 2)};
    QList<db::InstanceRecord> other;
    for (int i = 0; i < otherCount; ++i)
        other << row(i + 1, i);
    if (!other.isEmpty()) {
        db::InstanceRecord& first = other.first();
        if (field == "thickness")
            first.sliceThickness += delta;
        else if (field == "x")
            first.pixelSpacingX += delta;
        else if (field == "y")
            first.pixelSpacingY += delta;
        else if (field == "for")
            first.frameOfReferenceUid = QStringLiteral("9.9");
        else if (field == "noFor")
            first.frameOfReferenceUid.clear();
    }
    QCOMPARE(haveSameStackGeometry(reference, other), same);
    QVERIFY(!haveSameStackGeometry({}, {}));
}

void TestPhaseGrouping::byTemporalIndex_data()
{
    QTest::addColumn<QList<int>>("indexes"); // one row per entry, location = position in the list mod 3
    QTest::addColumn<QList<int>>("phaseIndexes");
    QTest::addColumn<QList<double>>("times");
    QTest::addColumn<QString>("message");
    QTest::newRow("empty") << QList<int>{} << QList<int>{} << QList<double>{}
                           << QStringLiteral("Пустая серия — нечего группировать");
    QTest::newRow("all zero") << QList<int>{0, 0, 0} << QList<int>{} << QList<double>{} << kNoIndexMessage;
    QTest::newRow("zero and one") << QList<int>{0, 1, 1, 0} << QList<int>{} << QList<double>{} << kSinglePhaseMessage;
    QTest::newRow("zero joins one") << QList<int>{0, 2, 1} << QList<int>{1, 2} << QList<double>{0, 1} << QString();
    QTest::newRow("first index 3") << QList<int>{5, 3, 3, 7, 5} << QList<int>{3, 5, 7} << QList<double>{0, 2, 4}
                                   << QString();
}

void TestPhaseGrouping::byTemporalIndex()
{
    QFETCH(QList<int>, indexes);
    QFETCH(QList<int>, phaseIndexes);
    QFETCH(QList<double>, times);
    QFETCH(QString, message);
    QList<db::InstanceRecord> rows;
    for (int i = 0; i < indexes.size(); ++i)
        rows << row(i + 1, double(2 - i % 3), indexes[i]);
    const PhaseGrouping g = groupPhasesByTemporalIndex(rows);
    QCOMPARE(g.message, message);
    QCOMPARE(indexesOf(g), phaseIndexes);
    QCOMPARE(timesOf(g), times);
    QCOMPARE(g.isUsable(), !phaseIndexes.isEmpty());
    if (!indexes.isEmpty() && indexes != QList<int>{0, 0, 0})
        QVERIFY(g.timeIsPhaseIndex);
    int total = 0;
    for (const TemporalPhase& p : g.phases) {
        total += int(p.instances.size());
        for (int i = 1; i < p.instances.size(); ++i)
            QVERIFY(p.instances[i - 1].sliceLocation <= p.instances[i].sliceLocation);
    }
    QCOMPARE(total, g.phases.isEmpty() ? 0 : int(indexes.size()));
}

void TestPhaseGrouping::temporalIndexFromFiles()
{
    SeriesLayout layout;
    layout.studyUid = fixtures::newUid();
    layout.seriesUid = fixtures::newUid();
    layout.slices = 40;
    layout.rows = layout.columns = 8;
    // 20 moments of a two-slice stack, written moment after moment.
    layout.temporalPositionIndex = [](int slice) { return slice / 2 + 1; };
    QVERIFY(addSeries(QStringLiteral("tpi"), layout));

    const PhaseGrouping g = groupPhasesByTemporalIndex(m_db.instancesForSeries(layout.seriesUid));
    QVERIFY2(g.isUsable(), qPrintable(g.message));
    QVERIFY(g.timeIsPhaseIndex);
    QCOMPARE(g.phases.size(), 20);
    for (int k = 0; k < 20; ++k) {
        QCOMPARE(g.phases[k].index, k + 1);
        QCOMPARE(g.phases[k].time, double(k));
        QCOMPARE(g.phases[k].instances.size(), 2);
        QVERIFY(g.phases[k].instances[0].sliceLocation < g.phases[k].instances[1].sliceLocation);
    }
}

void TestPhaseGrouping::acrossSeriesByAcquisitionTime()
{
    // Written out of time order; the index lists series by series number.
    QStringList uids(10);
    for (int phase : {3, 0, 9, 1, 8, 2, 7, 4, 6, 5}) {
        const SeriesLayout layout = phaseLayout(phase);
        uids[phase] = layout.seriesUid;
        QVERIFY(addSeries(QStringLiteral("time%1").arg(phase), layout));
    }

    const PhaseGrouping g = groupPhasesAcrossSeries(&m_db, m_studyUid, uids[4]);
    QVERIFY2(g.isUsable(), qPrintable(g.message));
    QVERIFY(!g.timeIsPhaseIndex);
    QCOMPARE(indexesOf(g), (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    QCOMPARE(timesOf(g), (QList<double>{0, 12, 24, 36, 48, 60, 72, 84, 96, 108}));
    for (int k = 0; k < 10; ++k) {
        QCOMPARE(folderOf(g.phases[k]), QStringLiteral("time%1").arg(k));
        QCOMPARE(g.phases[k].instances.size(), 8);
        for (int i = 1; i < 8; ++i)
            QVERIFY(g.phases[k].instances[i - 1].sliceLocation < g.phases[k].instances[i].sliceLocation);
    }
}

void TestPhaseGrouping::acrossSeriesWithoutTimeUsesSeriesNumber()
{
    m_studyUid = fixtures::newUid();
    QString reference;
    for (int phase = 0; phase < 5; ++phase) {
        SeriesLayout layout = phaseLayout(phase);
        if (phase == 2)
            layout.acquisitionTimeStart = -1.0; // this series carries no acquisition time
        reference = layout.seriesUid;
        QVERIFY(addSeries(QStringLiteral("notime%1").arg(phase), layout));
    }
    const PhaseGrouping g = groupPhasesAcrossSeries(&m_db, m_studyUid, reference);
    QVERIFY2(g.isUsable(), qPrintable(g.message));
    QVERIFY(g.timeIsPhaseIndex);
    QCOMPARE(timesOf(g), (QList<double>{0, 1, 2, 3, 4}));
    // Series numbers are 100 - phase, so number order is the reverse of time order.
    for (int k = 0; k < 5; ++k)
        QCOMPARE(folderOf(g.phases[k]), QStringLiteral("notime%1").arg(4 - k));
}

void TestPhaseGrouping::acrossSeriesSkipsOtherStacks()
{
    m_studyUid = fixtures::newUid();
    const SeriesLayout first = phaseLayout(0);
    QVERIFY(addSeries(QStringLiteral("keep0"), first));
    QVERIFY(addSeries(QStringLiteral("keep1"), phaseLayout(1)));

    SeriesLayout thinOk = phaseLayout(2);
    thinOk.sliceThickness += 0.1;
    QVERIFY(addSeries(QStringLiteral("keep2"), thinOk));

    SeriesLayout thick = phaseLayout(3);
    thick.sliceThickness += 0.2;
    QVERIFY(addSeries(QStringLiteral("skipThickness"), thick));
    SeriesLayout mr = phaseLayout(4);
    mr.modality = QStringLiteral("MR");
    QVERIFY(addSeries(QStringLiteral("skipModality"), mr));
    SeriesLayout shorter = phaseLayout(5);
    shorter.slices = 7;
    QVERIFY(addSeries(QStringLiteral("skipCount"), shorter));
    SeriesLayout otherFrame = phaseLayout(6);
    otherFrame.frameOfReferenceUid = fixtures::newUid();
    QVERIFY(addSeries(QStringLiteral("skipFrame"), otherFrame));
    SeriesLayout spacing = phaseLayout(7);
    spacing.columnSpacing += 0.05;
    QVERIFY(addSeries(QStringLiteral("skipSpacing"), spacing));

    const PhaseGrouping g = groupPhasesAcrossSeries(&m_db, m_studyUid, first.seriesUid);
    QVERIFY2(g.isUsable(), qPrintable(g.message));
    QStringList folders;
    for (const TemporalPhase& p : g.phases)
        folders << folderOf(p);
    QCOMPARE(folders, (QStringList{"keep0", "keep1", "keep2"}));
    QCOMPARE(timesOf(g), (QList<double>{0, 12, 24}));

    // From the MR series' point of view nothing else matches.
    const PhaseGrouping lonely = groupPhasesAcrossSeries(&m_db, m_studyUid, mr.seriesUid);
    QVERIFY(lonely.phases.isEmpty());
    QCOMPARE(lonely.message, kSameGeometryMessage);
}

void TestPhaseGrouping::acrossSeriesFailures()
{
    const PhaseGrouping noDb = groupPhasesAcrossSeries(nullptr, m_studyUid, QStringLiteral("1.2"));
    QCOMPARE(noDb.message, QStringLiteral("Нет подключения к базе данных"));
    QVERIFY(noDb.phases.isEmpty());

    const PhaseGrouping empty = groupPhasesAcrossSeries(&m_db, m_studyUid, QStringLiteral("1.2.404"));
    QCOMPARE(empty.message, QStringLiteral("Опорная серия пуста"));
    QVERIFY(empty.phases.isEmpty());

    m_studyUid = fixtures::newUid();
    const SeriesLayout single = phaseLayout(0);
    QVERIFY(addSeries(QStringLiteral("single"), single));
    const PhaseGrouping alone = groupPhasesAcrossSeries(&m_db, m_studyUid, single.seriesUid);
    QCOMPARE(alone.message, kSameGeometryMessage);
    QVERIFY(alone.phases.isEmpty());
    QVERIFY(!alone.timeIsPhaseIndex);
}

QTEST_GUILESS_MAIN(TestPhaseGrouping)
#include "tst_phasegrouping.moc"
