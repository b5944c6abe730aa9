#include "VesselPhantoms.h"

#include "render/EndoscopyPath.h"

#include <QtTest>

#include <cmath>

using phantom::Vec3;

namespace {

constexpr int kClick = 20; // clicked slice
constexpr float kAir = -1000.0f;
constexpr float kTissue = 40.0f;

struct Rect
{
    int i0, i1, j0, j1; // half-open
    bool contains(int i, int j) const { return i >= i0 && i < i1 && j >= j0 && j < j1; }
};

const Rect kLumen{50, 70, 50, 70}; // 400 pixels, centroid (59.5, 59.5)

// A 150 x 150 x 40 volume with tilted axes and a non-zero origin; air where air(i, j, k) says.
render::FusionVolume airVolume(const std::function<bool(int, int, int)>& air)
{
    render::FusionVolume v;
    v.rowDir = phantom::unit({1.0, 0.18, -0.12});
    const Vec3 c0 = phantom::unit({-0.15, 1.0, 0.2});
    v.colDir = phantom::unit(phantom::sub(c0, phantom::mul(phantom::dot(c0, v.rowDir), v.rowDir)));
    v.sliceDir = phantom::cross(v.rowDir, v.colDir);
    v.spacing = {0.7, 0.7, 1.0};
    v.origin = {-40.0, 25.0, -110.0};
    v.nx = v.ny = 150;
    v.nz = 40;
    v.voxels.resize(size_t(v.nx) * v.ny * v.nz);
    for (int k = 0; k < v.nz; ++k)
        for (int j = 0; j < v.ny; ++j)
            for (int i = 0; i < v.nx; ++i)
                v.voxels[v.index(i, j, k)] = air(i, j, k) ? kAir : kTissue;
    v.minValue = kAir;
    v.maxValue = kTissue;
    return v;
}

// Patient position of a continuous voxel position, from the volume's geometry fields.
Vec3 world(const render::FusionVolume& v, double i, double j, double k)
{
    return phantom::add(v.origin, phantom::add(phantom::mul(i * v.spacing[0], v.rowDir),
                                               phantom::add(phantom::mul(j * v.spacing[1], v.colDir),
                                                            phantom::mul(k * v.spacing[2], v.sliceDir))));
}

render::EndoscopyPathResult clickAt(const render::FusionVolume& v, double i, double j, double k)
{
    const Vec3 p = world(v, i, j, k);
    return render::buildEndoscopyPath(v, p.data());
}

bool near(const Vec3& a, const Vec3& b, double tol = 1e-6)
{
    return phantom::norm(phantom::sub(a, b)) < tol;
}

// Slices of the path, from the positions of its points.
QList<int> slicesOf(const render::FusionVolume& v, const QList<std::array<double, 3>>& points)
{
    QList<int> out;
    for (const auto& p : points) {
        double i, j, k;
        render::worldToVoxel(v, p[0], p[1], p[2], &i, &j, &k);
        out.append(int(std::lround(k)));
    }
    return out;
}

QList<int> range(int from, int to)
{
    QList<int> out;
    for (int k = from; k <= to; ++k)
        out.append(k);
    return out;
}

} // namespace

class TestEndoscopyPath : public QObject
{
    Q_OBJECT

private slots:
    void straightTube();
    void tenDownOneUp();
    void gaps_data();
    void gaps();
    void shrinkingRegion_data();
    void shrinkingRegion();
    void jumpIsAMiss();
    void split();
    void noSplitAtNinetyTen();
    void clickMessages();
};

void TestEndoscopyPath::straightTube()
{
    const auto v = airVolume([](int i, int j, int k) { return k >= 5 && k < 35 && kLumen.contains(i, j); });
    const auto r = clickAt(v, 60, 60, kClick);
    QVERIFY2(r.ok, qPrintable(r.message));
    QVERIFY(r.message.isEmpty());
    QCOMPARE(r.points.size(), 30);
    QCOMPARE(r.seedIndex, 15);
    QVERIFY(!r.hasBranches);
    for (int m = 0; m < 30; ++m)
        QVERIFY2(near(r.points[m], world(v, 59.5, 59.5, 5 + m)), qPrintable(QString::number(m)));
}

void TestEndoscopyPath::tenDownOneUp()
{
    const auto v = airVolume([](int i, int j, int k) { return k >= kClick - 10 && k <= kClick + 1 && kLumen.contains(i, j); });
    const auto r = clickAt(v, 58, 61, kClick);
    QVERIFY(r.ok);
    QCOMPARE(r.points.size(), 12);
    QCOMPARE(r.seedIndex, 10);
    QVERIFY(near(r.points[10], world(v, 59.5, 59.5, kClick)));
}

void TestEndoscopyPath::gaps_data()
{
    QTest::addColumn<int>("gap");
    QTest::addColumn<QList<int>>("upSlices");
    QTest::newRow("four missing slices are crossed") << 4 << (range(21, 24) + range(29, 34));
    QTest::newRow("five missing slices end the trace") << 5 << range(21, 24);
}

void TestEndoscopyPath::gaps()
{
    QFETCH(int, gap);
    QFETCH(QList<int>, upSlices);
    const auto v = airVolume([gap](int i, int j, int k) {
        return k >= 5 && k < 35 && !(k >= 25 && k < 25 + gap) && kLumen.contains(i, j);
    });
    const auto trace = render::traceAirLumen(v, kClick, 59.5, 59.5, 400, +1, true);
    QCOMPARE(slicesOf(v, trace.points), upSlices);
    const auto r = clickAt(v, 60, 60, kClick);
    QVERIFY(r.ok);
    QCOMPARE(r.points.size(), 16 + upSlices.size());
}

void TestEndoscopyPath::shrinkingRegion_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("15 % of the area is a miss") << 6 << false;  // 10 x 6 = 60 of 400
    QTest::newRow("20 % of the area is accepted") << 8 << true; // 10 x 8 = 80 of 400
}

void TestEndoscopyPath::shrinkingRegion()
{
    QFETCH(int, rows);
    QFETCH(bool, accepted);
    const Rect small{55, 65, 60 - rows / 2, 60 + rows / 2};
    const auto v = airVolume([&](int i, int j, int k) {
        if (k < 5 || k >= 35)
            return false;
        return k == kClick + 1 ? small.contains(i, j) : kLumen.contains(i, j);
    });
    const auto trace = render::traceAirLumen(v, kClick, 59.5, 59.5, 400, +1, true);
    QCOMPARE(slicesOf(v, trace.points).contains(kClick + 1), accepted);
    QCOMPARE(slicesOf(v, trace.points).last(), 34);
    QVERIFY(!trace.split);
}

void TestEndoscopyPath::jumpIsAMiss()
{
    // In the next slice the air reaches from the centre 84 pixels sideways: its centre lies 26 mm away.
    const Rect band{56, 140, 58, 62};
    const auto v = airVolume([&](int i, int j, int k) {
        if (k < 5 || k >= 35)
            return false;
        return k == kClick + 1 ? band.contains(i, j) : kLumen.contains(i, j);
    });
    QVERIFY(phantom::norm(phantom::sub(world(v, 97.5, 59.5, kClick + 1), world(v, 59.5, 59.5, kClick))) > 25.0);
    const auto trace = render::traceAirLumen(v, kClick, 59.5, 59.5, 400, +1, true);
    QCOMPARE(slicesOf(v, trace.points), range(kClick + 2, 34));
}

void TestEndoscopyPath::split()
{
    // From slice 23 the lumen divides into a 40 % region on the left and a 35 % region on the right,
    // both more than 6 pixels from the centre; the branches go on to slice 29.
    const Rect left{38, 48, 52, 68};  // 160
    const Rect right{72, 82, 53, 67}; // 140
    const auto v = airVolume([&](int i, int j, int k) {
        if (k < 5 || k >= 30)
            return false;
        return k >= 23 ? (left.contains(i, j) || right.contains(i, j)) : kLumen.contains(i, j);
    });
    const auto trace = render::traceAirLumen(v, kClick, 59.5, 59.5, 400, +1, true);
    QVERIFY(trace.split);
    QCOMPARE(trace.splitSlice, 23);
    QCOMPARE(trace.branchA.pixelCount, 160);
    QCOMPARE(trace.branchA.centroidX, 42.5);
    QCOMPARE(trace.branchB.pixelCount, 140);
    QCOMPARE(trace.branchB.centroidX, 76.5);
    QCOMPARE(slicesOf(v, trace.points), range(21, 22));

    const auto r = clickAt(v, 60, 60, kClick);
    QVERIFY(r.ok);
    QVERIFY(r.hasBranches);
    QCOMPARE(slicesOf(v, r.points), range(5, 22));
    const Vec3 leftStart = world(v, 42.5, 59.5, 23), rightStart = world(v, 76.5, 59.5, 23);
    const bool rightHasLargerX = rightStart[0] > leftStart[0];
    const auto& rightBranch = rightHasLargerX ? r.branchA : r.branchB;
    const auto& leftBranch = rightHasLargerX ? r.branchB : r.branchA;
    QVERIFY(near(rightBranch.first(), rightStart));
    QVERIFY(near(leftBranch.first(), leftStart));
    QCOMPARE(slicesOf(v, leftBranch), range(23, 29));
    QCOMPARE(slicesOf(v, rightBranch), range(23, 29));
    QVERIFY(r.branchA.first()[0] >= r.branchB.first()[0]);

}

void TestEndoscopyPath::noSplitAtNinetyTen()
{
    const Rect big{36, 48, 45, 75};   // 360: 90 %
    const Rect small{72, 76, 55, 65}; // 40: 10 %
    const auto v = airVolume([&](int i, int j, int k) {
        if (k < 5 || k >= 35)
            return false;
        return k >= 23 ? (big.contains(i, j) || small.contains(i, j)) : kLumen.contains(i, j);
    });
    const auto trace = render::traceAirLumen(v, kClick, 59.5, 59.5, 400, +1, true);
    QVERIFY(!trace.split);
    QCOMPARE(trace.splitSlice, -1);
    QCOMPARE(slicesOf(v, trace.points), range(21, 22));
    const auto r = clickAt(v, 60, 60, kClick);
    QVERIFY(r.ok && !r.hasBranches && r.branchA.isEmpty());
}

void TestEndoscopyPath::clickMessages()
{
    const QString notAir = QStringLiteral("Кликните внутри воздушного просвета (толстая кишка/бронх) — в этой точке "
                                          "плотность не соответствует воздуху");
    const auto tube = airVolume([](int i, int j, int k) { return k >= 5 && k < 35 && kLumen.contains(i, j); });
    QVERIFY(clickAt(tube, 47, 60, kClick).ok); // 3 pixels from air
    QCOMPARE(clickAt(tube, 44, 60, kClick).message, notAir);
    auto dense = tube;
    dense.voxels[dense.index(30, 30, kClick)] = -1030.0f;
    QCOMPARE(clickAt(dense, 30, 30, kClick).message, notAir);

    const auto open = airVolume([](int, int, int k) { return k == kClick; }); // 22 500 air pixels
    QCOMPARE(clickAt(open, 60, 60, kClick).message,
             QStringLiteral("Не удалось выделить дискретный просвет в этой точке (слишком маленький или слишком "
                            "большой воздушный участок — возможно, клик попал в лёгкие/фон, а не в кишку/бронх)"));
    const auto single = airVolume([](int i, int j, int k) { return k == kClick && kLumen.contains(i, j); });
    const auto one = clickAt(single, 60, 60, kClick);
    QVERIFY(!one.ok);
    QCOMPARE(one.seedIndex, -1);
    QVERIFY(one.points.isEmpty());
    QCOMPARE(one.message, QStringLiteral("Не удалось построить путь — просвет слишком короткий или прерывистый в "
                                         "этой точке"));
    const auto pair = airVolume([](int i, int j, int k) { return (k == kClick || k == kClick + 1) && kLumen.contains(i, j); });
    const auto two = clickAt(pair, 60, 60, kClick);
    QVERIFY(two.ok);
    QCOMPARE(two.points.size(), 2);
    QVERIFY(near(two.points[1], world(pair, 59.5, 59.5, kClick + 1)));

    QCOMPARE(clickAt(tube, 60, 60, 45).message, QStringLiteral("Точка вне объёма"));
    QCOMPARE(clickAt(tube, 60, 60, -0.6).message, QStringLiteral("Точка вне объёма"));
    auto flat = tube;
    flat.spacing[2] = 0.0;
    const double p[3] = {0, 0, 0};
    QCOMPARE(render::buildEndoscopyPath(flat, p).message,
             QStringLiteral("Не удалось определить положение точки в объёме"));
    QCOMPARE(render::buildEndoscopyPath(render::FusionVolume(), p).message, QStringLiteral("Объём не построен"));
    const double far[3] = {1e300, -1e300, 0};
    QVERIFY(!render::buildEndoscopyPath(tube, far).ok);
}

QTEST_GUILESS_MAIN(TestEndoscopyPath)
#include "tst_endoscopypath.moc"
