// Cardiac cine stacks from an index filled with fixture series: one series per slice position and
// one series holding the whole grid, their order, labels and the series that are no cine grid.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "render/CineStack.h"

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

using fixtures::SeriesLayout;

namespace {

using LocationOf = std::function<double(int image)>;
using TriggerOf = std::function<double(int image)>; // < 0: no Trigger Time

QList<double> locationsOf(const render::CineStack& stack)
{
    QList<double> out;
    for (const render::CineSlice& s : stack.slices)
        out << s.sliceLocation;
    return out;
}

QList<double> triggersOf(const render::CineSlice& slice)
{
    QList<double> out;
    for (const db::InstanceRecord& r : slice.frames)
        out << r.triggerTimeMs;
    return out;
}

QList<qint64> instancesOf(const render::CineSlice& slice)
{
    QList<qint64> out;
    for (const db::InstanceRecord& r : slice.frames)
        out << r.instanceNumber / 100000;
    return out;
}

db::InstanceRecord frame(qint64 instance, double trigger)
{
    db::InstanceRecord r;
    r.instanceNumber = instance * 100000;
    r.triggerTimeMs = trigger;
    return r;
}

} // namespace

class TestCineStack : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void sortPhases_data();
    void sortPhases();
    void groupOneSeriesFailures();

    void seriesPerSlicePosition_data();
    void seriesPerSlicePosition();
    void oneSeriesHoldsTheGrid();
    void seriesThatAreNoGrid();
    void twoSeriesOfThreeImages();

private:
    QString addCineSeries(const QString& study, const QString& number, const QString& description, int images,
                          const LocationOf& location, const TriggerOf& trigger);

    QTemporaryDir m_dir;
    db::Database m_db;
    QString m_frameOfReference;
};

void TestCineStack::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))), qPrintable(m_db.lastError()));
    m_frameOfReference = fixtures::newUid();
}

// An MR series of `images` files; image j lies at `location(j)` mm along the axial normal and has the
// trigger time `trigger(j)`. Instance numbers follow j.
QString TestCineStack::addCineSeries(const QString& study, const QString& number, const QString& description,
                                     int images, const LocationOf& location, const TriggerOf& trigger)
{
    SeriesLayout layout;
    layout.studyUid = study;
    layout.seriesUid = fixtures::newUid();
    layout.frameOfReferenceUid = m_frameOfReference;
    layout.modality = QStringLiteral("MR");
    layout.seriesNumber = number;
    layout.seriesDescription = description;
    layout.rows = layout.columns = 8;
    layout.slices = images;
    layout.sliceThickness = 8.0;
    const std::array<double, 3> origin = layout.origin;
    layout.customize = [origin, location, trigger](DcmDataset& ds, int j) {
        const double z = origin[2] + location(j);
        ds.putAndInsertString(DCM_ImagePositionPatient,
                              QStringLiteral("%1\\%2\\%3").arg(origin[0]).arg(origin[1]).arg(z).toLatin1().constData());
        ds.putAndInsertString(DCM_SliceLocation, QByteArray::number(location(j)).constData());
        if (trigger(j) >= 0.0)
            ds.putAndInsertString(DCM_TriggerTime, QByteArray::number(trigger(j)).constData());
    };
    if (!fixtures::writeAndIndexSeries(m_db, m_dir.filePath(layout.seriesUid), layout))
        return {};
    return layout.seriesUid;
}

void TestCineStack::sortPhases_data()
{
    QTest::addColumn<QList<double>>("triggers");
    QTest::addColumn<QList<qint64>>("order");
    QTest::addColumn<bool>("usedTriggers");
    QTest::newRow("40, 0, unknown, 20") << QList<double>{40, 0, -1, 20} << QList<qint64>{2, 4, 1, 3} << true;
    QTest::newRow("no trigger times") << QList<double>{-1, -1, -1} << QList<qint64>{1, 2, 3} << false;
    QTest::newRow("equal times keep their order") << QList<double>{10, 10, 0, 10} << QList<qint64>{3, 1, 2, 4} << true;
    QTest::newRow("zero is a trigger time") << QList<double>{-1, 0} << QList<qint64>{2, 1} << true;
}

void TestCineStack::sortPhases()
{
    QFETCH(QList<double>, triggers);
    QFETCH(QList<qint64>, order);
    QFETCH(bool, usedTriggers);
    // Without trigger times the rows come in reverse instance order, so that the sort has work to do.
    QList<db::InstanceRecord> rows;
    for (qsizetype i = 0; i < triggers.size(); ++i)
        rows << frame(i + 1, triggers[i]);
    if (!usedTriggers)
        std::reverse(rows.begin(), rows.end());
    QCOMPARE(render::sortCinePhases(rows), usedTriggers);
    render::CineSlice slice;
    slice.frames = rows;
    QCOMPARE(instancesOf(slice), order);
}

void TestCineStack::groupOneSeriesFailures()
{
    render::CineStack s = render::groupCineSeries({});
    QCOMPARE(s.error, QStringLiteral("Пустая серия — нечего группировать"));

    QList<db::InstanceRecord> oneLocation;
    for (int i = 0; i < 10; ++i) {
        oneLocation << frame(i + 1, -1);
        oneLocation.last().sliceLocation = 0.1 * i;
    }
    s = render::groupCineSeries(oneLocation);
    QVERIFY(s.slices.isEmpty());
    QCOMPARE(s.error, QStringLiteral("Найден только один срез по SliceLocation в этой серии — похоже, здесь КАЖДЫЙ срез "
                                     "хранится ОТДЕЛЬНОЙ серией. Используйте общий поиск по исследованию."));

    QList<db::InstanceRecord> twoPerLocation;
    for (int i = 0; i < 8; ++i) {
        twoPerLocation << frame(i + 1, 30.0 * (i % 2));
        twoPerLocation.last().sliceLocation = 8.0 * (i / 2);
    }
    s = render::groupCineSeries(twoPerLocation);
    QVERIFY(s.slices.isEmpty());
    QCOMPARE(s.error, QStringLiteral("На срез приходится всего 2 кадр(ов) — это не похоже на cine (обычно 15-30 фаз за "
                                     "сердечный цикл). Похоже, это не кардио-cine, а обычная многосрезовая серия."));

    // Only the first slice's count is checked: a later slice may hold fewer frames.
    QList<db::InstanceRecord> uneven;
    for (int i = 0; i < 5; ++i) {
        uneven << frame(i + 1, -1);
        uneven.last().sliceLocation = i < 3 ? 0.0 : 8.0;
    }
    s = render::groupCineSeries(uneven);
    QVERIFY(s.error.isEmpty());
    QCOMPARE(s.slices.size(), 2);
    QCOMPARE(s.slices[1].frames.size(), 2);
    QVERIFY(s.label.isEmpty());
}

void TestCineStack::seriesPerSlicePosition_data()
{
    QTest::addColumn<bool>("sameLocation");
    QTest::newRow("ordered by location") << false;
    QTest::newRow("one location: ordered by series number") << true;
}

void TestCineStack::seriesPerSlicePosition()
{
    QFETCH(bool, sameLocation);
    // Twelve series of 25 phases; series 100 + k lies at (11 - k) * 8 mm, so location order and
    // series-number order run opposite. Trigger times run against the instance numbers.
    const QString study = fixtures::newUid();
    for (int k = 0; k < 12; ++k) {
        const double location = sameLocation ? 4.0 + 0.0625 * k : (11 - k) * 8.0;
        QVERIFY(!addCineSeries(study, QString::number(100 + k), QStringLiteral("SAX %1").arg(k), 25,
                               [location](int) { return location; }, [](int j) { return (24 - j) * 30.0; })
                     .isEmpty());
    }
    const QList<render::CineStack> stacks = render::findCardiacCineStacks(&m_db, study);
    QCOMPARE(stacks.size(), 1); // none of the twelve comes again as a single-series stack
    const render::CineStack& stack = stacks.first();
    QVERIFY(stack.error.isEmpty());
    QCOMPARE(stack.slices.size(), 12);
    QCOMPARE(stack.phasesByInstanceNumber, false);
    QList<double> expected;
    for (int i = 0; i < 12; ++i)
        expected << (sameLocation ? 4.0 + 0.0625 * i : 8.0 * i);
    QCOMPARE(locationsOf(stack), expected);
    QCOMPARE(stack.label, sameLocation ? QStringLiteral("12 срезов × 25 фаз — серии №100.. (\"SAX 0\")")
                                       : QStringLiteral("12 срезов × 25 фаз — серии №111.. (\"SAX 0\")"));
    for (const render::CineSlice& slice : stack.slices) {
        QCOMPARE(slice.frames.size(), 25);
        QCOMPARE(slice.frames.first().triggerTimeMs, 0.0);
        QCOMPARE(slice.frames.last().triggerTimeMs, 720.0);
        QCOMPARE(instancesOf(slice).first(), 25);
    }
}

void TestCineStack::oneSeriesHoldsTheGrid()
{
    // 300 images: 12 locations 8 mm apart, interleaved, 25 phases each; plus a three-image localiser
    // of other geometry that is no grid (one frame per location).
    const QString study = fixtures::newUid();
    QVERIFY(!addCineSeries(study, QStringLiteral("7"), QStringLiteral("Cine SA"), 300,
                           [](int j) { return 8.0 * (j % 12); }, [](int j) { return 40.0 * (j / 12); })
                 .isEmpty());
    QVERIFY(!addCineSeries(study, QStringLiteral("1"), QString(), 3, [](int j) { return 30.0 * j; },
                           [](int) { return -1.0; })
                 .isEmpty());
    const QList<render::CineStack> stacks = render::findCardiacCineStacks(&m_db, study);
    QCOMPARE(stacks.size(), 1);
    const render::CineStack& stack = stacks.first();
    QCOMPARE(stack.label, QStringLiteral("12 срезов × 25 фаз — одна серия №7 (\"Cine SA\")"));
    QVERIFY(stack.error.isEmpty());
    QCOMPARE(stack.phasesByInstanceNumber, false);
    QCOMPARE(stack.slices.size(), 12);
    for (int s = 0; s < 12; ++s) {
        QCOMPARE(stack.slices[s].sliceLocation, 8.0 * s);
        QCOMPARE(stack.slices[s].frames.size(), 25);
        QList<double> triggers;
        for (int p = 0; p < 25; ++p)
            triggers << 40.0 * p;
        QCOMPARE(triggersOf(stack.slices[s]), triggers);
    }
}

void TestCineStack::seriesThatAreNoGrid()
{
    const QString study = fixtures::newUid();
    // All locations within 1 mm: one slice.
    QVERIFY(!addCineSeries(study, QStringLiteral("1"), QStringLiteral("near"), 30, [](int j) { return 0.03 * j; },
                           [](int j) { return 20.0 * j; })
                 .isEmpty());
    // Two frames per location, and 24 images so that it shares no geometry with the first.
    QVERIFY(!addCineSeries(study, QStringLiteral("2"), QStringLiteral("pairs"), 24, [](int j) { return 8.0 * (j / 2); },
                           [](int j) { return 30.0 * (j % 2); })
                 .isEmpty());
    QVERIFY(render::findCardiacCineStacks(&m_db, study).isEmpty());
    QVERIFY(render::findCardiacCineStacks(&m_db, fixtures::newUid()).isEmpty());
    QVERIFY(render::findCardiacCineStacks(nullptr, study).isEmpty());
}

void TestCineStack::twoSeriesOfThreeImages()
{
    const QString study = fixtures::newUid();
    QVERIFY(!addCineSeries(study, QStringLiteral("5"), QString(), 3, [](int) { return 16.0; }, [](int) { return -1.0; })
                 .isEmpty());
    QVERIFY(!addCineSeries(study, QStringLiteral("6"), QString(), 3, [](int) { return 8.0; }, [](int) { return -1.0; })
                 .isEmpty());
    // Another modality with the same geometry stays out of the stack (and is no grid of its own).
    SeriesLayout ct;
    ct.studyUid = study;
    ct.frameOfReferenceUid = m_frameOfReference;
    ct.seriesNumber = QStringLiteral("7");
    ct.rows = ct.columns = 8;
    ct.slices = 3;
    ct.sliceThickness = 8.0;
    fixtures::completeUids(ct);
    const QString dir = m_dir.filePath(ct.seriesUid);
    QVERIFY(QDir().mkpath(dir));
    for (const QString& path : fixtures::writeSeries(dir, ct))
        QVERIFY(m_db.indexFile(*dicom::readFileSummary(path)));

    const QList<render::CineStack> stacks = render::findCardiacCineStacks(&m_db, study);
    QCOMPARE(stacks.size(), 1);
    const render::CineStack& stack = stacks.first();
    QCOMPARE(stack.label, QStringLiteral("2 срезов × 3 фаз — серии №6.. (\"без описания\")"));
    QCOMPARE(locationsOf(stack), (QList<double>{8.0, 16.0}));
    QCOMPARE(stack.phasesByInstanceNumber, true);
    for (const render::CineSlice& slice : stack.slices)
        QCOMPARE(instancesOf(slice), (QList<qint64>{1, 2, 3}));
}

QTEST_GUILESS_MAIN(TestCineStack)
#include "tst_cinestack.moc"
