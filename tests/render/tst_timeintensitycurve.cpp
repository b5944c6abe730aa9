// Time-intensity curves of DCE studies from an index filled with fixture files: both storage forms of
// the phases, the shape classes, and the phases that cannot be read.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"

#include "db/Database.h"
#include "db/PhaseGrouping.h"
#include "dicom/DicomFileSummary.h"
#include "render/TimeIntensityCurve.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using fixtures::SeriesLayout;

namespace {

const QString kUnreadWarning = QStringLiteral(
    "Не удалось прочитать ROI на одной или нескольких фазах — эти точки на графике будут пропущены.");

constexpr int kPhases = 10;
constexpr int kSlices = 8;

// ROI mean of phase p before the slice's own offset: a rise of 100 to the peak at phase 5, then a
// fall by a fifth of the rise (washout).
int phaseLevel(int p)
{
    static const int levels[kPhases] = {100, 120, 140, 160, 180, 200, 195, 190, 185, 180};
    return levels[p];
}

render::TimeIntensityCurve curveOfMeans(const QList<double>& means, const QList<int>& counts = {})
{
    render::TimeIntensityCurve curve;
    for (int i = 0; i < means.size(); ++i) {
        render::TimeIntensitySample s;
        s.time = i;
        s.mean = means[i];
        s.count = counts.isEmpty() ? 10 : counts[i];
        curve.samples << s;
    }
    return curve;
}

} // namespace

class TestTimeIntensityCurve : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void classify_data();
    void classify();

    void curveAcrossSeries();
    void curveByTemporalIndex();
    void unusableGrouping();
    void phaseWithTooFewSlices();
    void unreadablePhaseFile();
    void emptyRoi_data();
    void emptyRoi();

private:
    bool indexFiles(const QStringList& paths);

    QTemporaryDir m_dir;
    db::Database m_db;
    QString m_studyUid;
    QString m_referenceSeries;
};

bool TestTimeIntensityCurve::indexFiles(const QStringList& paths)
{
    return fixtures::indexFiles(m_db, paths);
}

void TestTimeIntensityCurve::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))), qPrintable(m_db.lastError()));
    m_studyUid = fixtures::newUid();
    const QString frameOfReference = fixtures::newUid();
    // One series per phase, 12 s apart; series numbers run opposite to time so that the time order
    // is what puts the phases in order. Slice k of phase p holds level(p) + k everywhere.
    for (int p = 0; p < kPhases; ++p) {
        SeriesLayout layout;
        layout.studyUid = m_studyUid;
        layout.seriesUid = fixtures::newUid();
        layout.frameOfReferenceUid = frameOfReference;
        layout.seriesNumber = QString::number(50 - p);
        layout.seriesDescription = QStringLiteral("DCE %1").arg(p);
        layout.modality = QStringLiteral("MR");
        layout.rows = layout.columns = 24;
        layout.slices = kSlices;
        layout.rescaleIntercept = 0.0;
        layout.reverseInstanceNumbers = true;
        layout.acquisitionTimeStart = 36000.0 + 12.0 * p;
        layout.value = [p](int, int, int z) { return phaseLevel(p) + z; };
        if (p == 0)
            m_referenceSeries = layout.seriesUid;
        const QString dir = m_dir.filePath(QStringLiteral("phase%1").arg(p));
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(indexFiles(fixtures::writeSeries(dir, layout)));
    }
}

void TestTimeIntensityCurve::classify_data()
{
    QTest::addColumn<QList<double>>("means");
    QTest::addColumn<QList<int>>("counts");
    QTest::addColumn<int>("shape");
    QTest::newRow("plateau at exactly a tenth") << QList<double>{100, 150, 200, 190} << QList<int>{} << 2;
    QTest::newRow("washout") << QList<double>{100, 150, 200, 170} << QList<int>{} << 3;
    QTest::newRow("still rising") << QList<double>{100, 150, 200} << QList<int>{} << 1;
    QTest::newRow("flat") << QList<double>{100, 100, 100} << QList<int>{} << 0;
    QTest::newRow("two samples") << QList<double>{100, 300} << QList<int>{} << 0;
    QTest::newRow("peak at the first sample") << QList<double>{200, 150, 120, 100} << QList<int>{} << 0;
    QTest::newRow("equal peaks: the earliest wins") << QList<double>{100, 200, 150, 200} << QList<int>{} << 2;
    // Unread phases are left out: valid means 100, 200, 150 → washout 0.5.
    QTest::newRow("unread samples skipped") << QList<double>{0, 100, 0, 200, 150} << QList<int>{0, 5, 0, 5, 5}
                                            << 3;
    QTest::newRow("too few readable") << QList<double>{100, 0, 200, 0} << QList<int>{5, 0, 5, 0} << 0;
    QTest::newRow("empty") << QList<double>{} << QList<int>{} << 0;
}

void TestTimeIntensityCurve::classify()
{
    QFETCH(QList<double>, means);
    QFETCH(QList<int>, counts);
    QFETCH(int, shape);
    QCOMPARE(render::classifyTimeIntensityCurve(curveOfMeans(means, counts)), shape);
}

void TestTimeIntensityCurve::curveAcrossSeries()
{
    const PhaseGrouping grouping = groupPhasesAcrossSeries(&m_db, m_studyUid, m_referenceSeries);
    QVERIFY2(grouping.isUsable(), qPrintable(grouping.message));
    QCOMPARE(grouping.phases.size(), kPhases);

    const int slice = 3;
    const render::TimeIntensityCurve curve = render::computeTimeIntensityCurve(grouping, slice, 12, 12, 5, 4);
    QVERIFY2(curve.error.isEmpty(), qPrintable(curve.error));
    QVERIFY(curve.warning.isEmpty());
    QCOMPARE(curve.timeIsPhaseIndex, false);
    QCOMPARE(curve.samples.size(), kPhases);
    for (int p = 0; p < kPhases; ++p) {
        const render::TimeIntensitySample& s = curve.samples[p];
        QCOMPARE(s.time, 12.0 * p);
        QCOMPARE(s.mean, double(phaseLevel(p) + slice));
        QCOMPARE(s.stdDev, 0.0);
        QVERIFY(s.count > 0);
        QCOMPARE(s.count, curve.samples.first().count);
    }
    QCOMPARE(curve.shape, 3);

    // A single sample straight from one row of the index; its time is left at 0.
    const render::TimeIntensitySample one = render::roiSampleOnInstance(grouping.phases[5].instances[0], 12, 12, 1, 1);
    QCOMPARE(one.mean, double(phaseLevel(5)));
    QCOMPARE(one.count, 5);
    QCOMPARE(one.time, 0.0);
}

void TestTimeIntensityCurve::curveByTemporalIndex()
{
    // All phases in one series: 4 phases × 5 locations, Temporal Position Index 1..4 per file, the same
    // five positions in every phase, instance numbers in acquisition order.
    const int phases = 4, locations = 5;
    SeriesLayout layout;
    layout.modality = QStringLiteral("MR");
    layout.rows = layout.columns = 16;
    layout.slices = phases * locations;
    layout.rescaleIntercept = 0.0;
    layout.temporalPositionIndex = [locations](int k) { return k / locations + 1; };
    static const int levels[] = {300, 500, 400, 350};
    layout.value = [locations](int, int, int k) { return levels[k / locations] + 10 * (k % locations); };
    const SeriesLayout geometry = layout;
    layout.customize = [geometry, locations](DcmDataset& ds, int k) {
        const auto p = fixtures::slicePosition(geometry, k % locations);
        ds.putAndInsertString(DCM_ImagePositionPatient,
                              QStringLiteral("%1\\%2\\%3").arg(p[0]).arg(p[1]).arg(p[2]).toLatin1().constData());
        ds.putAndInsertString(DCM_SliceLocation, QByteArray::number(p[2]).constData());
    };
    fixtures::completeUids(layout);
    const QString dir = m_dir.filePath(QStringLiteral("temporal"));
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(indexFiles(fixtures::writeSeries(dir, layout)));

    const PhaseGrouping grouping = groupPhasesByTemporalIndex(m_db.instancesForSeries(layout.seriesUid));
    QVERIFY2(grouping.isUsable(), qPrintable(grouping.message));
    QCOMPARE(grouping.phases.size(), phases);

    const render::TimeIntensityCurve curve = render::computeTimeIntensityCurve(grouping, 2, 8, 8, 3, 3);
    QVERIFY2(curve.error.isEmpty(), qPrintable(curve.error));
    QCOMPARE(curve.timeIsPhaseIndex, true);
    QCOMPARE(curve.samples.size(), phases);
    for (int p = 0; p < phases; ++p) {
        QCOMPARE(curve.samples[p].time, double(p));
        QCOMPARE(curve.samples[p].mean, double(levels[p] + 20));
    }
    QCOMPARE(curve.shape, 3); // 300 → 500 → 350: a fall of three quarters of the rise
}

void TestTimeIntensityCurve::unusableGrouping()
{
    PhaseGrouping none;
    render::TimeIntensityCurve curve = render::computeTimeIntensityCurve(none, 0, 5, 5, 2, 2);
    QCOMPARE(curve.error, QStringLiteral("Временные фазы не определены"));
    QVERIFY(curve.samples.isEmpty());

    // A grouping with a message is not used even when it carries phases.
    PhaseGrouping single = groupPhasesAcrossSeries(&m_db, m_studyUid, m_referenceSeries);
    single.message = QStringLiteral("Найдена только одна временная фаза — динамика недоступна");
    curve = render::computeTimeIntensityCurve(single, 0, 5, 5, 2, 2);
    QCOMPARE(curve.error, single.message);
    QVERIFY(curve.samples.isEmpty());
    QCOMPARE(curve.shape, 0);
}

void TestTimeIntensityCurve::phaseWithTooFewSlices()
{
    PhaseGrouping grouping = groupPhasesAcrossSeries(&m_db, m_studyUid, m_referenceSeries);
    QVERIFY(grouping.isUsable());
    grouping.phases[4].instances.resize(3);
    render::TimeIntensityCurve curve = render::computeTimeIntensityCurve(grouping, 3, 12, 12, 4, 4);
    QCOMPARE(curve.error, QStringLiteral("Индекс среза (3) вне диапазона одной из фаз (в ней 3 срезов) — у фаз "
                                         "оказалось разное число срезов."));
    QCOMPARE(curve.samples.size(), 4);
    QCOMPARE(curve.samples[3].mean, double(phaseLevel(3) + 3));
    QCOMPARE(curve.shape, 0);
    QVERIFY(curve.warning.isEmpty());

    curve = render::computeTimeIntensityCurve(grouping, -1, 12, 12, 4, 4);
    QVERIFY(curve.error.startsWith(QStringLiteral("Индекс среза (-1) вне диапазона одной из фаз (в ней 8 срезов)")));
    QVERIFY(curve.samples.isEmpty());
}

void TestTimeIntensityCurve::unreadablePhaseFile()
{
    PhaseGrouping grouping = groupPhasesAcrossSeries(&m_db, m_studyUid, m_referenceSeries);
    // Phase 6 points at a truncated copy, phase 7 at a file that is gone.
    const QString truncated = m_dir.filePath(QStringLiteral("truncated.dcm"));
    fixtures::writeTruncatedCopy(grouping.phases[6].instances[1].filePath, truncated, 700);
    grouping.phases[6].instances[1].filePath = truncated;
    grouping.phases[7].instances[1].filePath = m_dir.filePath(QStringLiteral("missing.dcm"));

    const render::TimeIntensityCurve curve = render::computeTimeIntensityCurve(grouping, 1, 12, 12, 5, 5);
    QVERIFY(curve.error.isEmpty());
    QCOMPARE(curve.warning, kUnreadWarning);
    QCOMPARE(curve.samples.size(), kPhases);
    QCOMPARE(curve.samples[6].count, 0);
    QCOMPARE(curve.samples[7].count, 0);
    QCOMPARE(curve.samples[7].time, 84.0);
    QCOMPARE(curve.samples[8].mean, double(phaseLevel(8) + 1));
    QCOMPARE(curve.shape, 3); // 101 … 201, then 186 and 181 among the readable phases
}

void TestTimeIntensityCurve::emptyRoi_data()
{
    QTest::addColumn<int>("centre");
    QTest::addColumn<int>("radius");
    QTest::newRow("zero size") << 12 << 0;
    QTest::newRow("outside the image") << -50 << 3;
}

void TestTimeIntensityCurve::emptyRoi()
{
    QFETCH(int, centre);
    QFETCH(int, radius);
    const PhaseGrouping grouping = groupPhasesAcrossSeries(&m_db, m_studyUid, m_referenceSeries);
    const render::TimeIntensityCurve curve = render::computeTimeIntensityCurve(grouping, 0, centre, centre, radius, 4);
    QVERIFY(curve.error.isEmpty());
    QCOMPARE(curve.samples.size(), kPhases);
    for (const render::TimeIntensitySample& s : curve.samples)
        QCOMPARE(s.count, 0);
    QCOMPARE(curve.samples[2].time, 24.0); // unreadable phases keep their time for the plot
    QCOMPARE(curve.warning, kUnreadWarning);
    QCOMPARE(curve.shape, 0);
}

QTEST_GUILESS_MAIN(TestTimeIntensityCurve)
#include "tst_timeintensitycurve.moc"
