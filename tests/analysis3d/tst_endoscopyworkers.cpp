// The endoscopy build workers on real DICOM files: volumes, overview, camera frames along an air tube,
// and the failures a user can meet (unreadable files, a curve outside the volume).

#include "DicomFixtures.h"
#include "IndexFixtures.h"

#include <analysis3d/EndoscopyBuildWorkers.h>
#include <db/Database.h>

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

constexpr int kSize = 48;
constexpr int kSlices = 30;
constexpr int kTubeCentre = 24;

// An air tube along the slices (HU -1000) in soft tissue (HU 40), with the default intercept -1024.
fixtures::SeriesSpec tubeSpec()
{
    fixtures::SeriesSpec spec;
    spec.rows = spec.columns = kSize;
    spec.slices = kSlices;
    spec.rowSpacing = spec.columnSpacing = 1.0;
    spec.sliceSpacing = spec.sliceThickness = 1.0;
    spec.seriesDescription = QStringLiteral("Колон axial");
    spec.value = [](int x, int y, int) {
        const int dx = x - kTubeCentre, dy = y - kTubeCentre;
        return dx * dx + dy * dy <= 36 ? 24 : 1064;
    };
    return spec;
}

} // namespace

class TestEndoscopyWorkers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void volumeAndFramesAlongTube();
    void curveModeStartDistanceAndOutsideCurve();
    void unreadableSeries();
    void overviewProjection();

private:
    QTemporaryDir m_dir;
    db::Database m_db;
    fixtures::SeriesSpec m_spec;
    QList<db::InstanceRecord> m_rows;
};

void TestEndoscopyWorkers::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
    m_spec = tubeSpec();
    QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("tube")), m_spec));
    m_rows = m_db.instancesForSeries(m_spec.seriesUid);
    QCOMPARE(m_rows.size(), kSlices);
}

void TestEndoscopyWorkers::volumeAndFramesAlongTube()
{
    EndoscopyVolumeBuildWorker volumeWorker(m_rows, m_spec.seriesDescription);
    QSignalSpy done(&volumeWorker, &EndoscopyVolumeBuildWorker::finished);
    volumeWorker.run();
    QCOMPARE(done.count(), 1);
    QVERIFY2(volumeWorker.errorText.isEmpty(), qPrintable(volumeWorker.errorText));
    QVERIFY(volumeWorker.pathVolume && !volumeWorker.pathVolume->isEmpty());
    QCOMPARE(volumeWorker.renderVolume.nz, kSlices);
    QVERIFY(!volumeWorker.nonAxial);
    QCOMPARE(volumeWorker.overviewImage.size(), QSize(320, 320));

    // Seed in the middle of the tube, in patient millimetres.
    const auto seedPos = fixtures::slicePosition(m_spec, 12);
    const double seed[3] = {seedPos[0] + kTubeCentre, seedPos[1] + kTubeCentre, seedPos[2]};
    EndoscopyPathBuildWorker pathWorker(volumeWorker.pathVolume, &volumeWorker.renderVolume, seed, 40.0, 400.0);
    QSignalSpy pathDone(&pathWorker, &EndoscopyPathBuildWorker::finished);
    pathWorker.run();
    QCOMPARE(pathDone.count(), 1);
    QVERIFY2(pathWorker.errorText.isEmpty(), qPrintable(pathWorker.errorText));
    QVERIFY(pathWorker.pathOk);
    QVERIFY(!pathWorker.branchDetected);
    // One frame per millimetre along a tube through every slice.
    QVERIFY2(pathWorker.frames.size() >= kSlices - 3, qPrintable(QString::number(pathWorker.frames.size())));
    QCOMPARE(pathWorker.overviewPath.size(), pathWorker.frames.size());
    QVERIFY(std::abs(pathWorker.startDistanceMm - 12.0) < 2.0);

    for (const EndoscopyCameraFrame& f : pathWorker.frames) {
        // The tube's centre is the volume's centre in x and y.
        QVERIFY(std::abs(f.position[0]) < 1.0 && std::abs(f.position[1]) < 1.0);
        QVERIFY(f.position[2] > -kSlices / 2.0 - 1 && f.position[2] < kSlices / 2.0 + 1);
    }
    const EndoscopyCameraFrame& mid = pathWorker.frames[pathWorker.frames.size() / 2];
    QVERIFY(std::abs(std::abs(mid.forward[2]) - 1.0f) < 1e-3f);
    QVERIFY(std::abs(mid.up[2]) < 1e-3f); // the normals lie across the tube
    const EndoscopyCameraFrame& last = pathWorker.frames.last();
    QCOMPARE(last.forward[0], 0.0f);
    QCOMPARE(last.forward[1], 0.0f);
    QCOMPARE(last.forward[2], 1.0f);
    // Overview pixels: x follows the volume's x axis, y falls as z grows.
    const QPointF a = pathWorker.overviewPath.first(), b = pathWorker.overviewPath.last();
    QVERIFY(std::abs(a.x() - 159.5) < 3.0);
    QVERIFY(std::abs(a.y() - b.y()) > 10.0);
}

void TestEndoscopyWorkers::curveModeStartDistanceAndOutsideCurve()
{
    EndoscopyVolumeBuildWorker volumeWorker(m_rows, m_spec.seriesDescription);
    volumeWorker.run();
    QVERIFY(volumeWorker.pathVolume);
    const auto p0 = fixtures::slicePosition(m_spec, 2);
    QList<std::array<double, 3>> curve;
    for (int k = 0; k < 4; ++k)
        curve.append({p0[0] + kTubeCentre, p0[1] + kTubeCentre, p0[2] + 5.0 * k});
    EndoscopyPathBuildWorker inside(volumeWorker.pathVolume, &volumeWorker.renderVolume, curve, 3, 40, 400);
    inside.run();
    QVERIFY2(inside.errorText.isEmpty(), qPrintable(inside.errorText));
    QCOMPARE(inside.startDistanceMm, 15.0);
    QVERIFY(inside.frames.size() >= 14);

    EndoscopyPathBuildWorker beyond(volumeWorker.pathVolume, &volumeWorker.renderVolume, curve, 7, 40, 400);
    beyond.run();
    QCOMPARE(beyond.startDistanceMm, 0.0);

    EndoscopyPathBuildWorker single(volumeWorker.pathVolume, &volumeWorker.renderVolume,
                                    QList<std::array<double, 3>>{curve.first()}, 0, 40, 400);
    QSignalSpy singleDone(&single, &EndoscopyPathBuildWorker::finished);
    single.run();
    QCOMPARE(singleDone.count(), 1);
    QCOMPARE(single.errorText, QStringLiteral("Путь оказался пуст"));

    // A click in tissue: the imaging core's message reaches the window unchanged.
    const double tissue[3] = {p0[0] + 2.0, p0[1] + 2.0, p0[2]};
    EndoscopyPathBuildWorker miss(volumeWorker.pathVolume, &volumeWorker.renderVolume, tissue, 40, 400);
    miss.run();
    QVERIFY(!miss.pathOk);
    QVERIFY(!miss.errorText.isEmpty());
    QCOMPARE(miss.errorText, miss.pathMessage);
    QVERIFY(miss.frames.isEmpty());

    // No volume at all: a message, never a crash.
    EndoscopyPathBuildWorker none(nullptr, &volumeWorker.renderVolume, curve, 0, 40, 400);
    QSignalSpy noneDone(&none, &EndoscopyPathBuildWorker::finished);
    none.run();
    QCOMPARE(noneDone.count(), 1);
    QVERIFY(!none.errorText.isEmpty());
}

void TestEndoscopyWorkers::unreadableSeries()
{
    QTemporaryDir dir;
    QList<db::InstanceRecord> rows = m_rows.mid(0, 4);
    for (int i = 0; i < rows.size(); ++i) {
        const QString path = dir.filePath(QStringLiteral("bad%1.dcm").arg(i));
        fixtures::writeTruncatedCopy(rows[i].filePath, path, 200);
        rows[i].filePath = path;
    }
    EndoscopyVolumeBuildWorker worker(rows, QStringLiteral("x"));
    QSignalSpy done(&worker, &EndoscopyVolumeBuildWorker::finished);
    worker.run();
    QCOMPARE(done.count(), 1);
    QVERIFY(worker.errorText.startsWith(QStringLiteral("Не удалось построить объём для пути: ")));
    QVERIFY(!worker.pathVolume);

    EndoscopyVolumeBuildWorker empty({}, QStringLiteral("x"));
    empty.run();
    QVERIFY(!empty.errorText.isEmpty());
}

void TestEndoscopyWorkers::overviewProjection()
{
    render::Volume flat; // zero extent
    const float p[3] = {5.0f, -3.0f, 8.0f};
    QCOMPARE(projectToOverview(p, flat), QPointF(160, 160));

    render::Volume v;
    v.nx = v.ny = v.nz = 10;
    const float centre[3] = {0, 0, 0};
    QCOMPARE(projectToOverview(centre, v), QPointF(159.5, 159.5));
    const float up[3] = {0, 0, 5};
    const float right[3] = {5, 0, 0};
    QVERIFY(projectToOverview(up, v).y() < 159.5);
    QVERIFY(projectToOverview(right, v).x() > 159.5);

    const render::VolumeRenderParams params = makeOverviewRenderParams();
    QCOMPARE(params.imageSize, 320);
    QCOMPARE(params.transferFunction.name, QStringLiteral("Обзор просвета (снаружи)"));
}

QTEST_GUILESS_MAIN(TestEndoscopyWorkers)
#include "tst_endoscopyworkers.moc"
