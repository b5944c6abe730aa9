#include "VesselPhantoms.h"

#include "render/VesselLumen.h"

#include <atomic>
#include <QtTest>

#include <cmath>

using phantom::Vec3;

namespace {

const Vec3 kStart{-8.0, -40.0, 38.0};
const Vec3 kEnd{28.0, -22.0, 52.0};

double ramp(const Vec3& p)
{
    return 2.0 * p[0] + 3.0 * p[1] - p[2] + 40.0;
}

// A straight tube from kStart to kEnd whose radius follows radiusAt(fraction along the tube).
render::FusionVolume straightTube(std::function<double(double)> radiusAt)
{
    phantom::Box box;
    box.centre = phantom::mul(0.5, phantom::add(kStart, kEnd));
    box.halfExtent = 27.0;
    return phantom::makeVolume(box, phantom::tube(phantom::straightLine(kStart, kEnd, 1), radiusAt));
}

double narrowing(double f)
{
    // 6 mm wide, down to 3 mm in the middle fifth, with short tapers.
    if (f < 0.35 || f > 0.65)
        return 3.0;
    if (f >= 0.4 && f <= 0.6)
        return 1.5;
    const double t = f < 0.5 ? (f - 0.35) / 0.05 : (0.65 - f) / 0.05;
    return 3.0 - 1.5 * t;
}

render::CrossSectionImage handSection(int side, double spacing)
{
    render::CrossSectionImage s;
    s.image = QImage(side, side, QImage::Format_Grayscale8);
    s.samples = QList<float>(qsizetype(side) * side, 0.0f);
    s.gridWidth = s.gridHeight = side;
    s.pixelSpacingMm = spacing;
    return s;
}

render::LumenSettings defaults()
{
    render::LumenSettings s;
    s.sectionSizeMm = 15.0;
    s.stepMm = 1.0;
    s.lumenMinHu = 100.0;
    s.lumenMaxHu = 500.0;
    s.calciumHu = 130.0;
    s.referenceLengthMm = 5.0;
    return s;
}

} // namespace

class TestVesselLumen : public QObject
{
    Q_OBJECT

private slots:
    void crossSectionGrid();
    void crossSectionValuesAndOutside();
    void lumenRegionRules();
    void knownRadius();
    void stenosis_data();
    void stenosis();
    void referenceSections();
    void borderContactIsSetAside();
    void profileMessages();
};

void TestVesselLumen::crossSectionGrid()
{
    render::FusionVolume v;
    v.nx = v.ny = v.nz = 4;
    v.spacing = {0.5, 0.6, 2.0};
    v.voxels.assign(64, 1.0f);
    const double c[3] = {0, 0, 0}, u[3] = {1, 0, 0}, w[3] = {0, 1, 0};
    // The grid follows the finest spacing (0.5 mm), and never has fewer than two samples a side.
    const auto a = render::renderCrossSection(v, c, u, w, 15.0, 0, 100);
    QCOMPARE(a.image.size(), QSize(30, 30));
    QCOMPARE(a.pixelSpacingMm, 15.0 / 29);
    QCOMPARE(render::renderCrossSection(v, c, u, w, 0.05, 0, 100).gridWidth, 2);
    QVERIFY(render::renderCrossSection(v, c, u, w, 0.0, 0, 100).image.isNull());
    QVERIFY(render::renderCrossSection(render::FusionVolume(), c, u, w, 10.0, 0, 100).image.isNull());
    QVERIFY(render::renderCrossSection(v, c, u, w, 1e9, 0, 100).image.isNull()); // refused, not allocated
}

void TestVesselLumen::crossSectionValuesAndOutside()
{
    phantom::Box box;
    box.halfExtent = 15.0;
    const auto v = phantom::makeVolume(box, [](const Vec3& p) { return float(ramp(p)); });
    const double centre[3] = {14.0, -28.0, 43.0};
    const Vec3 u = phantom::unit({0.3, 0.9, 0.1});
    const Vec3 w = phantom::unit(phantom::cross(u, {0.0, 0.2, 1.0}));
    const auto s = render::renderCrossSection(v, centre, u.data(), w.data(), 12.0, 0, 400);
    const int n = s.gridWidth;
    for (int r : {0, 7, n - 1})
        for (int c : {0, 11, n - 1}) {
            const double du = double(c) / (n - 1) * 12 - 6, dv = double(r) / (n - 1) * 12 - 6;
            const Vec3 p = phantom::add(Vec3{centre[0], centre[1], centre[2]},
                                        phantom::add(phantom::mul(du, u), phantom::mul(dv, w)));
            QVERIFY(std::abs(s.samples[qsizetype(r) * n + c] - ramp(p)) < 2e-3);
            const int gray = int(std::clamp((ramp(p) + 200) / 400, 0.0, 1.0) * 255);
            QVERIFY(std::abs(qGray(s.image.pixel(c, r)) - gray) <= 1);
        }
    const double far[3] = {200.0, 0.0, 0.0};
    const auto out = render::renderCrossSection(v, far, u.data(), w.data(), 10.0, 0, 400);
    QVERIFY(!out.image.isNull());
    for (float x : out.samples)
        QCOMPARE(x, 0.0f);
    for (int y = 0; y < out.image.height(); ++y)
        for (int x = 0; x < out.image.width(); ++x)
            QCOMPARE(qGray(out.image.pixel(x, y)), 0);
}

void TestVesselLumen::lumenRegionRules()
{
    const auto settings = defaults();
    {
        auto s = handSection(21, 0.5);
        s.samples[qsizetype(10 - 3) * 21 + (10 - 3)] = 300.0f; // offset (-3, -3) from the centre
        render::LumenSample sample;
        render::measureLumen(s, &settings, sample);
        QVERIFY(sample.valid);
        QCOMPARE(sample.areaMm2, 0.25);
    }
    {
        auto s = handSection(21, 0.5);
        s.samples[qsizetype(10) * 21 + 14] = 300.0f; // 4 pixels away
        s.samples[qsizetype(6) * 21 + 10] = 300.0f;
        render::LumenSample sample;
        sample.arcMm = 7.0;
        render::measureLumen(s, &settings, sample);
        QVERIFY(!sample.valid);
        QCOMPARE(sample.areaMm2, 0.0);
        QCOMPARE(sample.arcMm, 7.0);
    }
    {
        // 100 pixels at 0.5 mm: 25 mm², diameter 2 sqrt(25 / pi); a bright pixel elsewhere is calcium.
        auto s = handSection(30, 0.5);
        for (int y = 10; y < 20; ++y)
            for (int x = 10; x < 20; ++x)
                s.samples[qsizetype(y) * 30 + x] = 350.0f;
        render::LumenSample sample;
        render::measureLumen(s, &settings, sample);
        QVERIFY(sample.valid);
        QVERIFY(!sample.touchesBorder);
        QVERIFY(!sample.calcified); // the lumen's own pixels are above 130 but belong to the region
        QCOMPARE(sample.areaMm2, 25.0);
        QVERIFY(std::abs(sample.diameterMm - 2 * std::sqrt(25 / M_PI)) < 1e-12);
        s.samples[qsizetype(2) * 30 + 27] = 700.0f;
        render::LumenSample again;
        render::measureLumen(s, &settings, again);
        QVERIFY(again.calcified);
        // Reaching the edge of the section.
        for (int x = 0; x < 10; ++x)
            s.samples[qsizetype(15) * 30 + x] = 200.0f;
        render::LumenSample edge;
        render::measureLumen(s, &settings, edge);
        QVERIFY(edge.valid && edge.touchesBorder);
        QCOMPARE(edge.areaMm2, 27.5);
    }
    {
        auto s = handSection(10, 0.5);
        s.samples.removeLast(); // does not hold w x h values
        s.samples[55] = 300;
        render::LumenSample sample;
        render::measureLumen(s, &settings, sample);
        QVERIFY(!sample.valid);
        render::measureLumen(handSection(10, 0.5), nullptr, sample);
        QVERIFY(!sample.valid);
    }
}

void TestVesselLumen::knownRadius()
{
    const auto v = straightTube([](double) { return 3.0; });
    const Vec3 mid = phantom::mul(0.5, phantom::add(kStart, kEnd));
    const Vec3 dir = phantom::unit(phantom::sub(kEnd, kStart));
    const Vec3 u = phantom::unit(phantom::cross(dir, {0, 0, 1}));
    const Vec3 w = phantom::cross(dir, u);
    const auto s = render::renderCrossSection(v, mid.data(), u.data(), w.data(), 15.0, 300, 800);
    const auto settings = defaults();
    render::LumenSample sample;
    render::measureLumen(s, &settings, sample);
    QVERIFY(sample.valid);
    const double ring = 2 * M_PI * 3.0 * s.pixelSpacingMm;
    QVERIFY2(std::abs(sample.areaMm2 - M_PI * 9.0) <= ring, qPrintable(QString::number(sample.areaMm2)));
    QVERIFY(!sample.touchesBorder);
    QVERIFY(!sample.calcified);
}

void TestVesselLumen::stenosis_data()
{
    QTest::addColumn<int>("shape");
    QTest::addColumn<double>("diameterPercent");
    QTest::addColumn<double>("areaPercent");
    QTest::addColumn<double>("tolD");
    QTest::addColumn<double>("tolA");
    QTest::newRow("6 mm narrowing to 3 mm") << 0 << 50.0 << 75.0 << 5.0 << 7.0;
    // The narrowest section of an aneurysmal vessel is one of the normal ones: about 0, never negative.
    QTest::newRow("aneurysm") << 1 << 0.0 << 0.0 << 5.0 << 8.0;
}

void TestVesselLumen::stenosis()
{
    QFETCH(int, shape);
    QFETCH(double, diameterPercent);
    QFETCH(double, areaPercent);
    QFETCH(double, tolD);
    QFETCH(double, tolA);
    const auto v = straightTube(shape == 0 ? std::function<double(double)>(narrowing)
                                           : [](double f) { return std::abs(f - 0.5) < 0.1 ? 5.0 : 3.0; });
    const auto settings = defaults();
    const auto profile = render::analyzeVesselLumen(v, {kStart, kEnd}, 300, 800, &settings);
    QVERIFY2(profile.message.isEmpty(), qPrintable(profile.message));
    const double length = phantom::norm(phantom::sub(kEnd, kStart));
    QCOMPARE(profile.sections.size(), qsizetype(std::trunc(length)) + 1);
    QVERIFY(!profile.curvedMpr.image.isNull());
    QCOMPARE(profile.borderContactCount, 0);
    QVERIFY(std::abs(profile.referenceDiameterMm - 6.0) < 0.5);
    QVERIFY(profile.stenosisDiameterPercent >= 0.0 && profile.stenosisAreaPercent >= 0.0);
    QVERIFY2(std::abs(profile.stenosisDiameterPercent - diameterPercent) <= tolD,
             qPrintable(QString::number(profile.stenosisDiameterPercent)));
    QVERIFY2(std::abs(profile.stenosisAreaPercent - areaPercent) <= tolA,
             qPrintable(QString::number(profile.stenosisAreaPercent)));
    if (shape == 0)
        QVERIFY(std::abs(profile.minDiameterArcMm - length / 2) < 0.1 * length + 1);
}

void TestVesselLumen::referenceSections()
{
    // A 20 mm curve over a tube that widens steadily: the reference is the mean of the sections at
    // arc 0 to 5 mm and 15 to 20 mm.
    const Vec3 end = phantom::add(kStart, phantom::mul(20.0, phantom::unit(phantom::sub(kEnd, kStart))));
    phantom::Box box;
    box.centre = phantom::mul(0.5, phantom::add(kStart, end));
    box.halfExtent = 17.0;
    const auto v = phantom::makeVolume(box, phantom::tube(phantom::straightLine(kStart, kEnd, 1),
                                                          [](double f) { return 1.5 + 4.0 * f; }));
    const auto settings = defaults();
    const auto profile = render::analyzeVesselLumen(v, {kStart, end}, 300, 800, &settings);
    QVERIFY(profile.message.isEmpty());
    QCOMPARE(profile.sections.size(), 21);
    double sum = 0;
    int n = 0;
    for (const auto& s : profile.sections) {
        QVERIFY(s.valid);
        if (s.arcMm <= 5.0 || s.arcMm >= profile.curvedMpr.lengthMm - 5.0) {
            sum += s.diameterMm;
            ++n;
        }
    }
    QVERIFY(n >= 11 && n <= 12); // arc 15 lies on the boundary up to rounding of the spline length
    QVERIFY(std::abs(profile.referenceDiameterMm - sum / n) < 1e-9);
    QCOMPARE(profile.minDiameterArcMm, 0.0);
}

void TestVesselLumen::borderContactIsSetAside()
{
    // In the middle the tube narrows and a thin bright plate joins it to the section edge: those
    // sections touch the border and are left out of the minimum, which then comes from clean ones.
    const Vec3 dir = phantom::unit(phantom::sub(kEnd, kStart));
    const Vec3 side = phantom::unit(phantom::cross(dir, {0, 0, 1}));
    const double length = phantom::norm(phantom::sub(kEnd, kStart));
    const auto tubeFn = phantom::tube(phantom::straightLine(kStart, kEnd, 1),
                                      [](double f) { return std::abs(f - 0.5) < 0.1 ? 1.5 : 3.0; });
    phantom::Box box;
    box.centre = phantom::mul(0.5, phantom::add(kStart, kEnd));
    box.halfExtent = 27.0;
    const auto v = phantom::makeVolume(box, [&](const Vec3& p) {
        const Vec3 d = phantom::sub(p, kStart);
        const double along = phantom::dot(d, dir) / length;
        const Vec3 radial = phantom::sub(d, phantom::mul(phantom::dot(d, dir), dir));
        const double across = phantom::dot(radial, side);
        const double off = phantom::norm(phantom::sub(radial, phantom::mul(across, side)));
        if (std::abs(along - 0.5) < 0.1 && across > 0 && across < 14 && off < 0.6)
            return 300.0f;
        return tubeFn(p);
    });
    const auto settings = defaults();
    const auto profile = render::analyzeVesselLumen(v, {kStart, kEnd}, 300, 800, &settings);
    QVERIFY(profile.message.isEmpty());
    int touching = 0;
    for (const auto& s : profile.sections)
        touching += s.touchesBorder ? 1 : 0;
    QVERIFY(touching >= 5);
    QCOMPARE(profile.borderContactCount, touching);
    QVERIFY2(profile.minDiameterMm > 5.0, qPrintable(QString::number(profile.minDiameterMm)));
    QVERIFY(profile.stenosisDiameterPercent < 10.0);
}

void TestVesselLumen::profileMessages()
{
    const auto settings = defaults();
    const auto v = straightTube([](double) { return 3.0; });
    QCOMPARE(render::analyzeVesselLumen(render::FusionVolume(), {kStart, kEnd}, 300, 800, &settings).message,
             QStringLiteral("Объём не построен"));
    QCOMPARE(render::analyzeVesselLumen(v, {kStart}, 300, 800, &settings).message,
             QStringLiteral("Нужно минимум 2 точки кривой"));
    const std::atomic_bool stop{true}; // the window that waits for the result has closed
    const auto stopped = render::analyzeVesselLumen(v, {kStart, kEnd}, 300, 800, &settings, &stop);
    QVERIFY(stopped.sections.isEmpty());
    QVERIFY(!stopped.message.isEmpty());
    const auto tiny = render::analyzeVesselLumen(v, {kStart, phantom::add(kStart, {0.3, 0, 0})}, 300, 800, &settings);
    QCOMPARE(tiny.message, QStringLiteral("Не удалось построить геометрию кривой"));
    QVERIFY(tiny.sections.isEmpty());

    auto wrongRange = settings;
    wrongRange.lumenMinHu = 1000;
    wrongRange.lumenMaxHu = 2000;
    const auto none = render::analyzeVesselLumen(v, {kStart, kEnd}, 300, 800, &wrongRange);
    QCOMPARE(none.message, QStringLiteral("Не удалось определить просвет ни в одной точке кривой — проверьте "
                                          "диапазон HU просвета или ход кривой (возможно, она проходит мимо сосуда)."));
    QCOMPARE(none.stenosisDiameterPercent, 0.0);
}

QTEST_GUILESS_MAIN(TestVesselLumen)
#include "tst_vessellumen.moc"
