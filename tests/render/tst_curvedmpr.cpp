#include "VesselPhantoms.h"

#include "render/CurvedMprRenderer.h"

#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QThreadPool>

#include <cmath>

using phantom::Vec3;
using render::CurvePoints;

namespace {

// Linear in patient position, so trilinear reads and slab means reproduce it exactly.
double ramp(const Vec3& p)
{
    return 2.0 * p[0] + 3.0 * p[1] - p[2] + 40.0;
}

double angleBetween(const Vec3& a, const Vec3& b)
{
    return std::acos(std::clamp(phantom::dot(a, b) / (phantom::norm(a) * phantom::norm(b)), -1.0, 1.0));
}

render::FusionVolume rampVolume()
{
    phantom::Box box;
    box.halfExtent = 20.0;
    box.spacing = {0.7, 0.8, 1.0};
    return phantom::makeVolume(box, [](const Vec3& p) { return float(ramp(p)); });
}

} // namespace

class TestCurvedMpr : public QObject
{
    Q_OBJECT

private slots:
    void framesAreOrthonormalAndDoNotTwist();
    void referenceDirection();
    void rotationSwapsNormalAndBinormal();
    void rampValues_data();
    void rampValues();
    void verticalLayoutTransposes();
    void slabSampleCount_data();
    void slabSampleCount();
    void emptyResults();
    void framesNeedTwoPointsAndAPositiveStep_data();
    void framesNeedTwoPointsAndAPositiveStep();
    void outsideTheVolume();
    void frameLookupAndCurveHelpers();
    void finishesInsideBusyPool();
    void straightensCurvedTube();
};

void TestCurvedMpr::framesAreOrthonormalAndDoNotTwist()
{
    CurvePoints helix;
    for (int s = 0; s <= 12; ++s) {
        const double a = s * 0.5;
        helix.append({10.0 * std::cos(a), 10.0 * std::sin(a), 3.0 * a});
    }
    const render::CurveFrames f = render::computeCurveFrames(helix, 0.5, 0.0, 0.0, 0.0);
    QVERIFY(f.points.size() > 100);
    QCOMPARE(f.normals.size(), f.points.size());
    QCOMPARE(f.binormals.size(), f.points.size());
    for (qsizetype i = 0; i < f.points.size(); ++i) {
        const Vec3 &t = f.tangents[i], &n = f.normals[i], &b = f.binormals[i];
        QVERIFY(std::abs(phantom::norm(t) - 1) < 1e-9 && std::abs(phantom::norm(n) - 1) < 1e-9);
        QVERIFY(std::abs(phantom::dot(t, n)) < 1e-6);
        QVERIFY(phantom::norm(phantom::sub(b, phantom::cross(t, n))) < 1e-9);
        if (i > 0) {
            const double turn = angleBetween(f.tangents[i - 1], t);
            QVERIFY2(angleBetween(f.normals[i - 1], n) <= turn + 1e-3, qPrintable(QString::number(i)));
        }
    }
}

void TestCurvedMpr::referenceDirection()
{
    const auto vertical = render::computeCurveFrames({{1, 2, 3}, {1, 2, 13}}, 1.0, 0, 0, 0);
    QCOMPARE(vertical.normals.first(), (Vec3{-1.0, 0.0, 0.0})); // (0,0,1) x (0,1,0)
    const auto along = render::computeCurveFrames({{1, 2, 3}, {11, 2, 3}}, 1.0, 0, 0, 0);
    QCOMPARE(along.normals.first(), (Vec3{0.0, -1.0, 0.0})); // (1,0,0) x (0,0,1)
    QCOMPARE(along.binormals.first(), (Vec3{0.0, 0.0, -1.0}));
    for (const Vec3& n : vertical.normals)
        QVERIFY(std::isfinite(n[0]) && std::abs(phantom::norm(n) - 1) < 1e-9);
}

void TestCurvedMpr::rotationSwapsNormalAndBinormal()
{
    const CurvePoints curve{{0, 0, 0}, {5, 4, 1}, {12, 5, 3}, {20, 2, 2}};
    const auto plain = render::computeCurveFrames(curve, 0.5, 0, 0, 0.3);
    const auto turned = render::computeCurveFrames(curve, 0.5, 90, 0, 0.3);
    QCOMPARE(turned.points.size(), plain.points.size());
    for (qsizetype i = 0; i < plain.points.size(); ++i) {
        QVERIFY(std::abs(std::abs(phantom::dot(turned.normals[i], plain.binormals[i])) - 1) < 1e-9);
        QVERIFY(std::abs(std::abs(phantom::dot(turned.binormals[i], plain.normals[i])) - 1) < 1e-9);
    }
    // The offset moves the sampled points along patient +y and leaves the frames alone.
    const auto shifted = render::computeCurveFrames(curve, 0.5, 0, 2.5, 0.3);
    QCOMPARE(shifted.points[7][1], plain.points[7][1] + 2.5);
    QCOMPARE(shifted.normals[7], plain.normals[7]);
}

void TestCurvedMpr::rampValues_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("single sample") << int(render::CurvedMprSlabNone);
    QTest::newRow("maximum") << int(render::CurvedMprSlabMaximum);
    QTest::newRow("minimum") << int(render::CurvedMprSlabMinimum);
    QTest::newRow("mean") << int(render::CurvedMprSlabMean);
    QTest::newRow("mode 9 acts as maximum") << 9;
}

void TestCurvedMpr::rampValues()
{
    QFETCH(int, mode);
    const double thickness = 4.0;
    const auto volume = rampVolume();
    // A straight curve along patient x: normal (0,-1,0), binormal (0,0,-1).
    const Vec3 start{2.0, -31.0, 44.0};
    const CurvePoints curve{start, {8.0, -31.0, 44.0}, {20.0, -31.0, 44.0}};
    const double width = 12.0, step = 0.5;
    const auto r = render::CurvedMprRenderer::render(volume, curve, width, step, 100, 400, 0, 0, thickness,
                                                     render::CurvedMprSlabMode(mode), 0.0, false);
    const int w = r.gridWidth, h = r.gridHeight;
    QCOMPARE(w, 37);
    QCOMPARE(h, int(12.0 / 0.7)); // the across-curve rows follow the volume's finest spacing
    const double halfSlab = thickness / 2.0; // gradient along the binormal is |-1| * (-1)
    for (int c : {0, 5, 18, 36})
        for (int row : {0, 3, h / 2, h - 1}) {
            const double d = double(row) / (h - 1) * width - width / 2;
            const Vec3 base{start[0] + c * step, start[1] - d, start[2]};
            double expected = ramp(base);
            if (mode == render::CurvedMprSlabMinimum)
                expected -= halfSlab;
            else if (mode != render::CurvedMprSlabNone && mode != render::CurvedMprSlabMean)
                expected += halfSlab;
            const float got = r.samples[qsizetype(row) * w + c];
            QVERIFY2(std::abs(got - expected) < 2e-3,
                     qPrintable(QStringLiteral("c=%1 r=%2 got %3 want %4").arg(c).arg(row).arg(got).arg(expected)));
            const int gray = int(std::clamp((double(got) + 100.0) / 400.0, 0.0, 1.0) * 255.0);
            QVERIFY(std::abs(qGray(r.image.pixel(c, row)) - gray) <= 1);
        }
}

void TestCurvedMpr::verticalLayoutTransposes()
{
    const auto volume = rampVolume();
    const CurvePoints curve{{2, -31, 44}, {9, -28, 47}, {17, -33, 42}};
    const auto flat = render::CurvedMprRenderer::render(volume, curve, 9, 0.6, 50, 300, 15, 0, 3, render::CurvedMprSlabMean, 0.2, false);
    const auto tall = render::CurvedMprRenderer::render(volume, curve, 9, 0.6, 50, 300, 15, 0, 3, render::CurvedMprSlabMean, 0.2, true);
    const int w = flat.gridWidth, h = flat.gridHeight;
    QVERIFY(w > 10 && h > 5);
    QVERIFY(tall.vertical);
    QCOMPARE(tall.gridWidth, h);
    QCOMPARE(tall.gridHeight, w);
    QCOMPARE(tall.image.size(), QSize(h, w));
    for (int c = 0; c < w; ++c)
        for (int r = 0; r < h; ++r) {
            QCOMPARE(tall.samples[qsizetype(c) * h + r], flat.samples[qsizetype(r) * w + c]);
            QCOMPARE(tall.image.pixel(r, c), flat.image.pixel(c, r));
        }
    // Curve sample c at across-curve position r holds the ramp there.
    const int c = w / 3, r = h / 4;
    const double d = double(r) / (h - 1) * 9 - 4.5;
    const Vec3 p = phantom::add(tall.points[c], phantom::mul(d, tall.normals[c]));
    QVERIFY(std::abs(tall.samples[qsizetype(c) * h + r] - ramp(p)) < 2e-3);
}

void TestCurvedMpr::slabSampleCount_data()
{
    QTest::addColumn<double>("thickness");
    QTest::addColumn<int>("mode");
    QTest::addColumn<double>("expectedMean");
    // Value z² (mm from the curve) on a 0.5 mm grid: the mean over K equally spaced samples across a
    // slab of thickness T is T²/4 * (K + 1) / (3 (K - 1)), which tells K apart.
    QTest::newRow("2 mm: K = 5") << 2.0 << 3 << 4.0 / 4 * 6 / 12;
    QTest::newRow("100 mm: K = 64") << 100.0 << 3 << 2500.0 * 65 / 189;
    QTest::newRow("1e-7 mm: one sample") << 1e-7 << 3 << 0.0;
    QTest::newRow("mode 0: one sample") << 2.0 << 0 << 0.0;
}

void TestCurvedMpr::slabSampleCount()
{
    QFETCH(double, thickness);
    QFETCH(int, mode);
    QFETCH(double, expectedMean);
    // Only a thin block in x and y is needed around the curve; z runs from -51 to 51 mm.
    render::FusionVolume v;
    v.spacing = {0.5, 0.5, 0.5};
    v.nx = 21;
    v.ny = 9;
    v.nz = 205;
    v.origin = {-5.0, -2.0, -51.0};
    v.voxels.resize(size_t(v.nx) * v.ny * v.nz);
    for (int k = 0; k < v.nz; ++k)
        for (int j = 0; j < v.ny; ++j)
            for (int i = 0; i < v.nx; ++i) {
                const double z = -51.0 + k * 0.5;
                v.voxels[v.index(i, j, k)] = float(z * z);
            }
    const auto r = render::CurvedMprRenderer::render(v, {{-4, 0, 0}, {4, 0, 0}}, 1.0, 0.5, 0, 100, 0, 0, thickness,
                                                     render::CurvedMprSlabMode(mode), 0, false);
    QVERIFY(!r.image.isNull());
    const float got = r.samples[qsizetype(0) * r.gridWidth + 4];
    QVERIFY2(std::abs(got - expectedMean) < 0.1, qPrintable(QStringLiteral("%1 vs %2").arg(got).arg(expectedMean)));
}

void TestCurvedMpr::emptyResults()
{
    const auto v = rampVolume();
    const CurvePoints good{{0, -30, 45}, {10, -30, 45}};
    QList<render::CurvedMprResult> results{
        render::CurvedMprRenderer::render(v, {{0, -30, 45}}, 10, 1, 0, 100, 0, 0, 0, render::CurvedMprSlabNone, 0, false),
        render::CurvedMprRenderer::render(render::FusionVolume(), good, 10, 1, 0, 100, 0, 0, 0, render::CurvedMprSlabNone, 0, false),
        render::CurvedMprRenderer::render(v, good, 10, 0, 0, 100, 0, 0, 0, render::CurvedMprSlabNone, 0, false),
        render::CurvedMprRenderer::render(v, good, 0, 1, 0, 100, 0, 0, 0, render::CurvedMprSlabNone, 0, false),
        render::CurvedMprRenderer::render(v, good, -3, 1, 0, 100, 0, 0, 0, render::CurvedMprSlabNone, 0, false),
        render::CurvedMprRenderer::render(v, {{0, -30, 45}, {0.8, -30, 45}}, 10, 1, 0, 100, 0, 0, 0, render::CurvedMprSlabNone, 0, false),
        // Sizes no screen could show are refused rather than allocated.
        render::CurvedMprRenderer::render(v, good, 1e9, 1, 0, 100, 0, 0, 0, render::CurvedMprSlabNone, 0, false),
        render::CurvedMprRenderer::render(v, good, 10, 1e-12, 0, 100, 0, 0, 0, render::CurvedMprSlabNone, 0, false),
    };
    for (const auto& r : results) {
        QVERIFY(r.image.isNull() && r.samples.isEmpty() && r.points.isEmpty());
        QCOMPARE(r.gridWidth * r.gridHeight, 0);
    }
    QVERIFY(render::computeCurveFrames({{0, 0, 0}, {0.8, 0, 0}}, 1.0, 0, 0, 0).points.isEmpty());
}

// The frames are asked for directly too (the endoscopy path, the cross-section panel): a curve or step
// that makes no samples gives no frames, never a read past the curve or a count made of a NaN.
void TestCurvedMpr::framesNeedTwoPointsAndAPositiveStep_data()
{
    QTest::addColumn<CurvePoints>("curve");
    QTest::addColumn<double>("step");
    const CurvePoints line{{0, -30, 45}, {10, -30, 45}};
    QTest::newRow("no point") << CurvePoints{} << 1.0;
    QTest::newRow("one point") << CurvePoints{{0, -30, 45}} << 1.0;
    QTest::newRow("step 0") << line << 0.0;
    QTest::newRow("negative step") << line << -1.0;
    QTest::newRow("NaN step") << line << std::nan("");
}

void TestCurvedMpr::framesNeedTwoPointsAndAPositiveStep()
{
    QFETCH(CurvePoints, curve);
    QFETCH(double, step);
    const render::CurveFrames frames = render::computeCurveFrames(curve, step, 0, 0, 0);
    QVERIFY(frames.points.isEmpty() && frames.normals.isEmpty());
    QCOMPARE(frames.lengthMm, 0.0);
    const auto r = render::CurvedMprRenderer::render(rampVolume(), curve, 10, step, 0, 100, 0, 0, 0,
                                                     render::CurvedMprSlabNone, 0, false);
    QVERIFY(r.image.isNull() && r.points.isEmpty());
}

void TestCurvedMpr::outsideTheVolume()
{
    const auto v = rampVolume(); // ±20 mm around (12, -30, 45), tilted
    // Columns run from well inside to far outside along x.
    const auto r = render::CurvedMprRenderer::render(v, {{12, -30, 45}, {80, -30, 45}}, 4, 1, 0, 100, 0, 0, 0,
                                                     render::CurvedMprSlabNone, 0, false);
    QCOMPARE(r.samples[qsizetype(1) * r.gridWidth + 60], 0.0f);
    QCOMPARE(qGray(r.image.pixel(60, 1)), 0);
    QVERIFY(r.samples[qsizetype(1) * r.gridWidth + 2] != 0.0f);
    // Window width 0: a hard threshold at the centre.
    const Vec3 p = phantom::add(r.points[5], phantom::mul(-2.0, r.normals[5]));
    const double value = ramp(p);
    const auto hard = render::CurvedMprRenderer::render(v, {{12, -30, 45}, {80, -30, 45}}, 4, 1, value - 0.01, 0, 0,
                                                        0, 0, render::CurvedMprSlabNone, 0, false);
    const auto hard2 = render::CurvedMprRenderer::render(v, {{12, -30, 45}, {80, -30, 45}}, 4, 1, value + 0.01, 0, 0,
                                                         0, 0, render::CurvedMprSlabNone, 0, false);
    QCOMPARE(qGray(hard.image.pixel(5, 0)), 255);
    QCOMPARE(qGray(hard2.image.pixel(5, 0)), 0);

    // A slab that reaches out of the volume averages only the samples that exist: a 20 mm mean slab
    // across the top face of the box along the slice axis.
    render::FusionVolume flat;
    flat.nx = flat.ny = 20;
    flat.nz = 10;
    flat.voxels.resize(4000);
    for (int k = 0; k < 10; ++k)
        for (int j = 0; j < 20; ++j)
            for (int i = 0; i < 20; ++i)
                flat.voxels[flat.index(i, j, k)] = float(k);
    // Curve along x at z = 9 (top slice): binormal (0,0,-1), samples from z = 19 down to z = -1.
    const auto slab = render::CurvedMprRenderer::render(flat, {{2, 10, 9}, {12, 10, 9}}, 1, 1, 0, 100, 0, 0, 20,
                                                        render::CurvedMprSlabMean, 0, false);
    // K = 21 samples at 1 mm: z = -1 (edge value 0), 0..9, and 10 (edge 9) exist; beyond are NaN.
    const double expected = (0.0 + 45.0 + 9.0) / 12.0;
    QVERIFY2(std::abs(slab.samples[3] - expected) < 1e-4, qPrintable(QString::number(slab.samples[3])));
}

void TestCurvedMpr::frameLookupAndCurveHelpers()
{
    const auto v = rampVolume();
    const auto r = render::CurvedMprRenderer::render(v, {{0, -30, 45}, {10.5, -30, 45}}, 8, 1, 0, 100, 0, 0, 0,
                                                     render::CurvedMprSlabNone, 0, false);
    double p[3], n[3], b[3];
    QVERIFY(render::curvedMprFrameAt(r, 0.0, p, n, b));
    QCOMPARE(p[0], 0.0);
    QCOMPARE(n[1], -1.0);
    QCOMPARE(b[2], -1.0);
    QVERIFY(render::curvedMprFrameAt(r, r.lengthMm, p, n, b));
    QVERIFY(std::abs(p[0] - 10.0) < 1e-9); // the last sample
    QVERIFY(render::curvedMprFrameAt(r, 3.25, p, n, b));
    QVERIFY(std::abs(p[0] - 3.25) < 1e-9);
    QVERIFY(!render::curvedMprFrameAt(r, -0.1, p, n, b));
    QVERIFY(!render::curvedMprFrameAt(r, 10.6, p, n, b));
    QVERIFY(!render::curvedMprFrameAt(render::CurvedMprResult(), 0.0, p, n, b));

    const CurvePoints four{{0, 0, 0}, {1, 0, 0.5}, {2, 0, 1.5}, {3, 0, 2.5}};
    QVERIFY(!render::isCurveOutOfPlane(four)); // 2 of 4 leave by more than 1 mm
    CurvePoints three = four;
    three[1][2] = 1.2;
    QVERIFY(render::isCurveOutOfPlane(three));
    QVERIFY(!render::isCurveOutOfPlane({{0, 0, 0}}));

    const CurvePoints shifted = render::offsetCurve(four, 30.0, -4.0);
    QCOMPARE(shifted.size(), 4);
    QCOMPARE(shifted[2], (Vec3{2, -4, 1.5}));
    QCOMPARE(render::offsetCurve(four, 30.0, 1e-10), four);
    QCOMPARE(render::offsetCurve({{1, 1, 1}}, 0, 5.0), (CurvePoints{{1, 1, 1}}));
}

void TestCurvedMpr::finishesInsideBusyPool()
{
    QThreadPool* pool = QThreadPool::globalInstance();
    const int threads = std::max(2, pool->maxThreadCount());
    pool->setMaxThreadCount(threads);
    QSemaphore release;
    QSemaphore started;
    QList<QFuture<void>> blockers;
    for (int t = 0; t < threads - 1; ++t)
        blockers.append(QtConcurrent::run(pool, [&] {
            started.release();
            release.acquire();
        }));
    QVERIFY(started.tryAcquire(threads - 1, 10000));
    const auto v = rampVolume();
    QFuture<int> render = QtConcurrent::run(pool, [&v] {
        return render::CurvedMprRenderer::render(v, {{0, -30, 45}, {20, -25, 45}, {25, -30, 50}}, 20, 0.3, 0, 100,
                                                 0, 0, 4, render::CurvedMprSlabMean, 0, false)
            .gridHeight;
    });
    QElapsedTimer timer;
    timer.start();
    while (!render.isFinished() && timer.elapsed() < 20000)
        QThread::msleep(10);
    const bool finished = render.isFinished();
    release.release(threads - 1);
    for (auto& f : blockers)
        f.waitForFinished();
    render.waitForFinished();
    QVERIFY2(finished, "the render waited for pool threads that were all busy");
    QCOMPARE(render.result(), 28);
}

void TestCurvedMpr::straightensCurvedTube()
{
    // A tube of radius 2.5 mm along an arc of radius 18 mm in a tilted plane.
    const Vec3 centre{12.0, -30.0, 45.0};
    const Vec3 e1 = phantom::unit({1.0, 0.1, 0.3});
    const Vec3 e2 = phantom::unit(phantom::cross(phantom::unit({0.2, -0.3, 1.0}), e1));
    const auto axis = phantom::arc(centre, e1, e2, 18.0, -0.9, 0.9, 60);
    phantom::Box box;
    box.halfExtent = 24.0;
    const auto v = phantom::makeVolume(box, phantom::tube(axis, [](double) { return 2.5; }));
    const CurvePoints control = phantom::arc(centre, e1, e2, 18.0, -0.8, 0.8, 6);
    const auto r = render::CurvedMprRenderer::render(v, control, 16, 0.5, 170, 400, 0, 0, 0,
                                                     render::CurvedMprSlabNone, 0, false);
    QVERIFY(!r.image.isNull());
    // Every column shows the lumen centred on the middle row and about 5 mm wide.
    const int h = r.gridHeight;
    const double rowMm = 16.0 / (h - 1);
    for (int c = 2; c < r.gridWidth - 2; ++c) {
        int first = -1, last = -1;
        for (int row = 0; row < h; ++row)
            if (r.samples[qsizetype(row) * r.gridWidth + c] > 170.0f) {
                if (first < 0)
                    first = row;
                last = row;
            }
        QVERIFY2(first >= 0, qPrintable(QString::number(c)));
        const double mid = (first + last) / 2.0;
        QVERIFY2(std::abs(mid - (h - 1) / 2.0) <= 1.5, qPrintable(QStringLiteral("column %1 mid %2").arg(c).arg(mid)));
        QVERIFY(std::abs((last - first + 1) * rowMm - 5.0) < 1.6);
    }
}

QTEST_GUILESS_MAIN(TestCurvedMpr)
#include "tst_curvedmpr.moc"
