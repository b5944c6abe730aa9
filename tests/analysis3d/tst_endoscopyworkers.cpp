// The endoscopy build workers on real DICOM files: camera frames along a curve through an air tube,
// and the failures a user can meet (unreadable files, too short or missing paths, a click in tissue).

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"

#include "analysis3d/EndoscopyBuildWorkers.h"
#include "db/Database.h"
#include "render/MprSlices.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

namespace {

constexpr int kSize = 48;
constexpr int kCentre = 24;

} // namespace

class TestEndoscopyWorkers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void framesAlongCurve();
    void sagittalSeriesLiesOnThePatientAxes();
    void badInput();

private:
    QTemporaryDir m_dir;
    db::Database m_db;
    fixtures::SeriesLayout m_layout;
    QList<db::InstanceRecord> m_rows;
    EndoscopyVolumeBuildWorker* m_volumes = nullptr;
};

void TestEndoscopyWorkers::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
    m_layout.rows = m_layout.columns = kSize;
    m_layout.slices = 30;
    m_layout.rowSpacing = m_layout.columnSpacing = m_layout.sliceSpacing = m_layout.sliceThickness = 1.0;
    m_layout.value = [](int x, int y, int) {
        const int dx = x - kCentre, dy = y - kCentre;
        return dx * dx + dy * dy <= 36 ? 24 : 1064; // an air tube in soft tissue
    };
    QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("tube")), m_layout));
    m_rows = m_db.instancesForSeries(m_layout.seriesUid);
    m_volumes = new EndoscopyVolumeBuildWorker(m_rows, QStringLiteral("Колон"));
    QSignalSpy done(m_volumes, &EndoscopyVolumeBuildWorker::finished);
    m_volumes->run();
    QCOMPARE(done.count(), 1);
    QVERIFY2(m_volumes->errorText.isEmpty(), qPrintable(m_volumes->errorText));
    QVERIFY(!m_volumes->nonAxial);
    QCOMPARE(m_volumes->overviewImage.size(), QSize(320, 320));
}

void TestEndoscopyWorkers::framesAlongCurve()
{
    const auto p0 = fixtures::slicePosition(m_layout, 2);
    QList<std::array<double, 3>> curve;
    for (int k = 0; k < 4; ++k)
        curve.append({p0[0] + kCentre, p0[1] + kCentre, p0[2] + 5.0 * k});
    EndoscopyPathBuildWorker w(m_volumes->pathVolume, &m_volumes->renderVolume, curve, 3, 40, 400);
    w.run();
    QVERIFY2(w.errorText.isEmpty(), qPrintable(w.errorText));
    QCOMPARE(w.startDistanceMm, 15.0); // the start at the curve's end: its whole length
    QVERIFY(w.frames.size() >= 14);
    QCOMPARE(w.overviewPath.size(), w.frames.size());
    for (const EndoscopyCameraFrame& f : w.frames) // the tube's axis is the volume's centre line
        QVERIFY(std::abs(f.position[0]) < 0.6f && std::abs(f.position[1]) < 0.6f);
    const EndoscopyCameraFrame& mid = w.frames[5];
    QVERIFY(std::abs(mid.forward[2] - 1.0f) < 1e-3f);
    QVERIFY(std::abs(mid.up[2]) < 1e-3f); // across the tube
    QVERIFY(std::abs(w.frames[6].position[2] - mid.position[2] - 1.0f) < 0.05f); // 1 mm apart
    QCOMPARE(w.frames.last().forward[2], 1.0f); // no next point: the default direction
    // Overview pixels: the path runs up the picture as z grows.
    QVERIFY(w.overviewPath.first().y() > w.overviewPath.last().y() + 10);

}

void TestEndoscopyWorkers::sagittalSeriesLiesOnThePatientAxes()
{
    // The same tube acquired sagittally, under a title that names no plane: it runs along patient x.
    fixtures::SeriesLayout layout = m_layout;
    layout.seriesUid.clear();
    layout.plane = fixtures::Plane::Sagittal;
    QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("sagittal")), layout));
    EndoscopyVolumeBuildWorker volumes(m_db.instancesForSeries(layout.seriesUid), QStringLiteral("Колон"));
    volumes.run();
    QVERIFY2(volumes.errorText.isEmpty(), qPrintable(volumes.errorText));
    const render::Volume& v = volumes.renderVolume;
    QCOMPARE(QList<int>({v.nx, v.ny, v.nz}), QList<int>({30, kSize, kSize}));
    QVERIFY(volumes.nonAxial);

    const auto a = fixtures::slicePosition(layout, 3);
    const auto b = fixtures::slicePosition(layout, 20);
    const double offset[3] = {0.0, double(kCentre), -double(kCentre)}; // column kCentre, row kCentre
    QList<std::array<double, 3>> curve{{a[0], a[1] + offset[1], a[2] + offset[2]},
                                       {b[0], b[1] + offset[1], b[2] + offset[2]}};
    EndoscopyPathBuildWorker w(volumes.pathVolume, &v, curve, 0, 40, 400);
    w.run();
    QVERIFY2(w.errorText.isEmpty(), qPrintable(w.errorText));
    QVERIFY(w.frames.size() >= 14);
    for (const EndoscopyCameraFrame& f : w.frames.mid(0, w.frames.size() - 1)) {
        QVERIFY(std::abs(std::abs(f.forward[0]) - 1.0f) < 1e-3f); // along the render volume's x axis
        // The camera stands in the air of the rendered volume.
        const float air = render::voxelAt(v, int(std::lround(f.position[0] / v.spacingX + v.nx / 2.0)),
                                          int(std::lround(f.position[1] / v.spacingY + v.ny / 2.0)),
                                          int(std::lround(f.position[2] / v.spacingZ + v.nz / 2.0)));
        QVERIFY2(air < -500.0f, qPrintable(QString::number(air)));
    }
}

void TestEndoscopyWorkers::badInput()
{
    QTemporaryDir dir;
    QList<db::InstanceRecord> rows = m_rows.mid(0, 4);
    for (int i = 0; i < rows.size(); ++i) {
        rows[i].filePath = dir.filePath(QStringLiteral("bad%1.dcm").arg(i));
        fixtures::writeTruncatedCopy(m_rows[i].filePath, rows[i].filePath, 200);
    }
    EndoscopyVolumeBuildWorker broken(rows, QStringLiteral("x"));
    broken.run();
    QVERIFY(broken.errorText.startsWith(QStringLiteral("Не удалось построить объём для пути: ")));
    QVERIFY(!broken.pathVolume);
    // A window that closes stops the build: it ends without volumes or the overview.
    EndoscopyVolumeBuildWorker stopped(m_rows, QStringLiteral("x"));
    stopped.stop = std::make_shared<std::atomic_bool>(true);
    stopped.run();
    QVERIFY2(stopped.errorText.contains(QStringLiteral("прервано")), qPrintable(stopped.errorText));
    QVERIFY(!stopped.pathVolume && stopped.overviewImage.isNull());

    const auto p0 = fixtures::slicePosition(m_layout, 2);
    const std::array<double, 3> inTube{p0[0] + kCentre, p0[1] + kCentre, p0[2]};
    EndoscopyPathBuildWorker single(m_volumes->pathVolume, &m_volumes->renderVolume, {inTube}, 0, 40, 400);
    single.run();
    QCOMPARE(single.errorText, QStringLiteral("Путь оказался пуст"));

    // A curve wholly outside the volume gives no frames.
    EndoscopyPathBuildWorker outside(m_volumes->pathVolume, &m_volumes->renderVolume,
                                     {{p0[0] - 500, p0[1], p0[2]}, {p0[0] - 480, p0[1], p0[2]}}, 0, 40, 400);
    QSignalSpy outsideDone(&outside, &EndoscopyPathBuildWorker::finished);
    outside.run();
    QCOMPARE(outsideDone.count(), 1);
    QVERIFY(!outside.errorText.isEmpty());
    QVERIFY(outside.frames.isEmpty());

    // A click in tissue: the tracer's message reaches the window unchanged.
    const double tissue[3] = {p0[0] + 2.0, p0[1] + 2.0, p0[2]};
    EndoscopyPathBuildWorker miss(m_volumes->pathVolume, &m_volumes->renderVolume, tissue, 40, 400);
    miss.run();
    QVERIFY(!miss.pathOk && !miss.errorText.isEmpty());
    QCOMPARE(miss.errorText, miss.pathMessage);

    const float p[3] = {5.0f, -3.0f, 8.0f};
    QCOMPARE(projectToOverview(p, render::Volume{}), QPointF(160, 160)); // zero extent
    delete m_volumes;
}

QTEST_GUILESS_MAIN(TestEndoscopyWorkers)
#include "tst_endoscopyworkers.moc"
