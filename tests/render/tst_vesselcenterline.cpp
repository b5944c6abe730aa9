#include "VesselPhantoms.h"

#include "render/VesselCenterline.h"

#include <QtTest>

#include <cmath>

using phantom::Vec3;

namespace {

const Vec3 kCentre{12.0, -30.0, 45.0};
const Vec3 kAxis = phantom::unit({0.8, 0.45, 0.4});

phantom::Box box(double halfExtent = 30.0)
{
    phantom::Box b;
    b.centre = kCentre;
    b.halfExtent = halfExtent;
    return b;
}

double distanceToLine(const Vec3& p, const Vec3& through, const Vec3& dir)
{
    const Vec3 d = phantom::sub(p, through);
    return phantom::norm(phantom::sub(d, phantom::mul(phantom::dot(d, dir), dir)));
}

// A tube with flat ends: `inside` within `radius` of the axis between arc positions from and to
// (mm along kAxis from kCentre); radius2 beyond arc `change` when given.
std::function<float(const Vec3&)> cappedTube(double from, double to, double radius, double change = 1e9,
                                             double radius2 = 0.0, float inside = 300.0f, float outside = 40.0f)
{
    return [=](const Vec3& p) {
        const Vec3 d = phantom::sub(p, kCentre);
        const double along = phantom::dot(d, kAxis);
        const double radial = phantom::norm(phantom::sub(d, phantom::mul(along, kAxis)));
        if (along < from || along > to)
            return outside;
        return radial <= (along > change ? radius2 : radius) ? inside : outside;
    };
}

Vec3 onAxis(double along)
{
    return phantom::add(kCentre, phantom::mul(along, kAxis));
}

double alongAxis(const Vec3& p)
{
    return phantom::dot(phantom::sub(p, kCentre), kAxis);
}

render::CenterlineResult trace(const render::FusionVolume& v, const Vec3& a, const Vec3& b)
{
    return render::traceVesselCenterline(v, a.data(), b.data());
}

} // namespace

class TestVesselCenterline : public QObject
{
    Q_OBJECT

private slots:
    void straightTubeToTheVolumeEdge();
    void curvedTube();
    void bifurcation();
    void calibreChange_data();
    void calibreChange();
    void shortPaths_data();
    void shortPaths();
    void clickMessages();
};

void TestVesselCenterline::straightTubeToTheVolumeEdge()
{
    const auto v = phantom::makeVolume(box(), cappedTube(-100, 100, 3.0));
    const auto r = trace(v, onAxis(-2.0), onAxis(3.0));
    QVERIFY2(r.ok, qPrintable(r.message));
    QVERIFY(!r.stoppedAtBifurcation);
    QCOMPARE(r.message, QStringLiteral("Построено %1 точек. Результат нужно визуально проверить и при необходимости "
                                       "скорректировать вручную.").arg(r.points.size()));
    QVERIFY(r.points.size() > 25);
    for (const Vec3& p : r.points)
        QVERIFY2(distanceToLine(p, kCentre, kAxis) < 0.5, qPrintable(QString::number(distanceToLine(p, kCentre, kAxis))));
    // Ordered from beyond the first click to beyond the second, 1.5 mm apart away from the clicks.
    QVERIFY(alongAxis(r.points.first()) < -10.0);
    QVERIFY(alongAxis(r.points.last()) > 10.0);
    for (qsizetype m = 1; m < r.points.size(); ++m) {
        const double a0 = alongAxis(r.points[m - 1]), a1 = alongAxis(r.points[m]);
        QVERIFY(a1 > a0);
        if (m > 3 && m + 3 < r.points.size() && (a0 < -6.0 || a0 > 7.0))
            QVERIFY2(std::abs(a1 - a0 - 1.5) < 0.15, qPrintable(QString::number(a1 - a0)));
    }
    // Both marches end silently at the volume's edge: the last points lie within a few mm of it.
    for (const Vec3& end : {r.points.first(), r.points.last()}) {
        double i, j, k;
        render::worldToVoxel(v, end[0], end[1], end[2], &i, &j, &k);
        const double toEdge = std::min({i, j, k, v.nx - 1 - i, v.ny - 1 - j, v.nz - 1 - k}) * 0.5;
        QVERIFY2(toEdge < 4.0, qPrintable(QString::number(toEdge)));
    }
    QCOMPARE(r.windowCenter, 300.0);
    QCOMPARE(r.windowWidth, 350.0);
}

void TestVesselCenterline::curvedTube()
{
    const Vec3 e1 = phantom::unit({1.0, 0.2, 0.1});
    const Vec3 e2 = phantom::unit(phantom::cross(phantom::unit({0.1, -0.4, 1.0}), e1));
    const Vec3 centre = phantom::sub(kCentre, phantom::mul(22.0, e1));
    const auto axis = phantom::arc(centre, e1, e2, 22.0, -1.2, 1.2, 120);
    // HU rises along the vessel from 260 to 300, so the proposed window sits between them.
    const auto inside = phantom::tube(axis, [](double) { return 2.5; }, 1.0f, 0.0f);
    const Vec3 normal = phantom::cross(e1, e2);
    const auto v = phantom::makeVolume(box(), [&](const Vec3& p) {
        if (inside(p) < 0.5f)
            return 40.0f;
        const Vec3 d = phantom::sub(p, centre);
        const double angle = std::atan2(phantom::dot(d, e2), phantom::dot(d, e1));
        return float(280.0 + 20.0 * angle / 1.2);
    });
    const auto r = trace(v, axis[58], axis[62]);
    QVERIFY2(r.ok, qPrintable(r.message));
    QVERIFY(r.points.size() > 30);
    for (const Vec3& p : r.points) {
        const Vec3 d = phantom::sub(p, centre);
        const double off = std::abs(phantom::dot(d, normal));
        const Vec3 inPlane = phantom::sub(d, phantom::mul(phantom::dot(d, normal), normal));
        const double radial = std::abs(phantom::norm(inPlane) - 22.0);
        QVERIFY2(std::hypot(off, radial) < 0.5, qPrintable(QStringLiteral("%1 %2").arg(off).arg(radial)));
    }
    QVERIFY(r.windowCenter > 265.0 && r.windowCenter < 295.0);
    QCOMPARE(r.windowWidth, 350.0);
    double lo = 1e9, hi = -1e9;
    for (const Vec3& p : r.points) {
        double i, j, k;
        render::worldToVoxel(v, p[0], p[1], p[2], &i, &j, &k);
        const double value = render::fusionVoxelNearest(v, i, j, k);
        lo = std::min(lo, value);
        hi = std::max(hi, value);
    }
    QVERIFY(std::abs(r.windowCenter - (lo + hi) / 2) < 1e-4);
}

void TestVesselCenterline::bifurcation()
{
    // A trunk of radius 4 mm ends at arc 8.7; two branches of radius 1.9 mm (23 % of the trunk's area
    // each, about 25 % in sections across the trunk, which cut them at 31 degrees) leave it from arc 3,
    // already apart where the trunk ends. The march steps from the second click (arc -1) reach the
    // first section past the trunk at arc 9.5, clear of its end.
    const Vec3 fork = onAxis(3.0);
    const Vec3 side = phantom::unit(phantom::cross(kAxis, {0, 0, 1}));
    const Vec3 left = phantom::unit(phantom::add(kAxis, phantom::mul(0.6, side)));
    const Vec3 right = phantom::unit(phantom::sub(kAxis, phantom::mul(0.6, side)));
    const auto v = phantom::makeVolume(box(), [&](const Vec3& p) {
        const double along = alongAxis(p);
        if (along <= 8.7 && distanceToLine(p, kCentre, kAxis) <= 4.0)
            return 300.0f;
        for (const Vec3& b : {left, right}) {
            const Vec3 d = phantom::sub(p, fork);
            if (phantom::dot(d, b) >= 0.0 && distanceToLine(p, fork, b) <= 1.9)
                return 300.0f;
        }
        return 40.0f;
    });
    const auto r = trace(v, onAxis(-6.0), onAxis(-1.0));
    QVERIFY2(r.ok, qPrintable(r.message));
    QVERIFY(r.stoppedAtBifurcation);
    QCOMPARE(r.message, QStringLiteral("Построено %1 точек. Трассировка остановлена на развилке сосуда с одной из "
                                       "сторон — постройте продолжение отдельно, кликнув две новые точки внутри "
                                       "нужной ветви за развилкой.").arg(r.points.size()));
    QVERIFY(alongAxis(r.points.last()) < 14.0);
}

void TestVesselCenterline::calibreChange_data()
{
    QTest::addColumn<double>("areaFactor");
    QTest::addColumn<bool>("continues");
    QTest::newRow("twice the area continues") << 2.0 << true;
    QTest::newRow("three times the area ends the march") << 3.0 << false;
}

void TestVesselCenterline::calibreChange()
{
    QFETCH(double, areaFactor);
    QFETCH(bool, continues);
    const auto v = phantom::makeVolume(box(), cappedTube(-100, 100, 2.5, 6.0, 2.5 * std::sqrt(areaFactor)));
    const auto r = trace(v, onAxis(-4.0), onAxis(0.0));
    QVERIFY2(r.ok, qPrintable(r.message));
    QVERIFY(!r.stoppedAtBifurcation);
    const double end = alongAxis(r.points.last());
    if (continues)
        QVERIFY2(end > 15.0, qPrintable(QString::number(end)));
    else
        QVERIFY2(end < 6.0, qPrintable(QString::number(end)));
}

void TestVesselCenterline::shortPaths_data()
{
    QTest::addColumn<double>("beyondB");
    QTest::addColumn<int>("rawPoints");
    // Clicks at arc 0 and 3; the tube ends 2.2 mm before the first click.
    QTest::newRow("one step beyond each click") << 5.2 << 4;
    QTest::newRow("two steps beyond the second click") << 6.7 << 5;
}

void TestVesselCenterline::shortPaths()
{
    QFETCH(double, beyondB);
    QFETCH(int, rawPoints);
    const auto v = phantom::makeVolume(box(20.0), cappedTube(-2.2, beyondB, 3.0));
    const auto r = trace(v, onAxis(0.0), onAxis(3.0));
    if (rawPoints < 5) {
        QVERIFY(!r.ok);
        QVERIFY(r.points.isEmpty());
        QCOMPARE(r.message, QStringLiteral("Построенный путь слишком короткий (%1 точек) — вероятно, слабый контраст "
                                           "или сосуд быстро теряется. Попробуйте кликнуть в более контрастном "
                                           "участке.").arg(rawPoints));
    } else {
        QVERIFY2(r.ok, qPrintable(r.message));
        QCOMPARE(r.points.size(), rawPoints);
    }
}

void TestVesselCenterline::clickMessages()
{
    // Air around the tube's start, bone beside it, a lone bright voxel.
    const auto v = phantom::makeVolume(box(20.0), [](const Vec3& p) {
        const double along = alongAxis(p);
        if (along < -12.0)
            return -1000.0f;
        if (along > 12.0)
            return 1000.0f;
        return distanceToLine(p, kCentre, kAxis) <= 3.0 ? 300.0f : 40.0f;
    });
    struct Case
    {
        Vec3 a, b;
        QString text;
    };
    const Vec3 side = phantom::unit(phantom::cross(kAxis, {0, 0, 1}));
    const QList<Case> cases{
        {onAxis(0.0), onAxis(0.8),
         QStringLiteral("Вторая точка слишком близко к первой — кликните её заметно дальше вдоль видимого хода сосуда.")},
        {onAxis(-15.0), onAxis(0.0),
         QStringLiteral("Плотность в точке клика (-1000 HU) не похожа на контрастированный сосуд — возможно, клик "
                        "попал на кость или в мягкие ткани. Кликните точнее внутри просвета.")},
        {onAxis(15.0), onAxis(0.0),
         QStringLiteral("Плотность в точке клика (1000 HU) не похожа на контрастированный сосуд — возможно, клик "
                        "попал на кость или в мягкие ткани. Кликните точнее внутри просвета.")},
        {onAxis(100.0), onAxis(0.0), QStringLiteral("Первая точка вне объёма.")},
        {onAxis(0.0), phantom::add(onAxis(3.0), phantom::mul(9.0, side)),
         QStringLiteral("Не удалось уверенно выделить просвет сосуда в одной из двух точек клика.")},
    };
    for (const Case& c : cases) {
        const auto r = trace(v, c.a, c.b);
        QVERIFY(!r.ok);
        QVERIFY(r.points.isEmpty());
        QCOMPARE(r.message, c.text);
    }
    QCOMPARE(trace(render::FusionVolume(), onAxis(0), onAxis(5)).message, QStringLiteral("Объём не построен."));
}

QTEST_GUILESS_MAIN(TestVesselCenterline)
#include "tst_vesselcenterline.moc"
