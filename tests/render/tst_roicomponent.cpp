// Thresholded regions inside elliptical and polygonal ROIs: connectivity, the ROI border, the order
// of regions and pixels, degenerate inputs, and a region the size of a large image.

#include "support/DicomFixtures.h"

#include "render/HuImage.h"
#include "render/RoiComponent.h"

#include <QTemporaryDir>
#include <QTest>

#include <set>
#include <utility>

using render::HuImage;
using render::RoiComponent;

namespace {

HuImage makeImage(int width, int height, double fill)
{
    HuImage image;
    image.valid = true;
    image.width = width;
    image.height = height;
    image.pixels.assign(size_t(width) * size_t(height), fill);
    return image;
}

void setPixel(HuImage& image, int x, int y, double value)
{
    image.pixels[size_t(y) * size_t(image.width) + size_t(x)] = value;
}

QList<QPoint> sorted(QList<QPoint> points)
{
    std::sort(points.begin(), points.end(), [](const QPoint& a, const QPoint& b) {
        return std::make_pair(a.y(), a.x()) < std::make_pair(b.y(), b.x());
    });
    return points;
}

} // namespace

class TestRoiComponent : public QObject
{
    Q_OBJECT

private slots:
    void diagonalNeighboursAreSeparate();
    void blockWithSeedFirst();
    void regionStopsAtEllipseBorder();
    void regionStopsAtPolygonBorder();
    void regionsInRowMajorOrder();
    void emptyResults_data();
    void emptyResults();
    void negativeThresholdKeepsZeroPeak();
    void hugeRegionIsIterative();
    void regionsOnFixtureFrame();
};

void TestRoiComponent::diagonalNeighboursAreSeparate()
{
    HuImage image = makeImage(10, 10, 0.0);
    setPixel(image, 4, 4, 300.0);
    setPixel(image, 5, 5, 450.0);
    const QList<RoiComponent> regions = render::findEllipseRoiComponents(image, 5, 5, 4, 4, 130.0);
    QCOMPARE(regions.size(), 2);
    QCOMPARE(regions[0].pixelCount, 1);
    QCOMPARE(regions[0].pixels, QList<QPoint>{QPoint(4, 4)});
    QCOMPARE(regions[0].maxValue, 300.0);
    QCOMPARE(regions[1].pixels, QList<QPoint>{QPoint(5, 5)});
    QCOMPARE(regions[1].maxValue, 450.0);
}

void TestRoiComponent::blockWithSeedFirst()
{
    HuImage image = makeImage(12, 12, -50.0);
    for (int y = 3; y <= 5; ++y)
        for (int x = 4; x <= 6; ++x)
            setPixel(image, x, y, 200.0 + 10 * y + x);
    const QList<QPointF> square{{1, 1}, {11, 1}, {11, 11}, {1, 11}};
    const QList<RoiComponent> regions = render::findPolygonRoiComponents(image, square, 130.0);
    QCOMPARE(regions.size(), 1);
    const RoiComponent& r = regions.first();
    QCOMPARE(r.pixelCount, 9);
    QCOMPARE(r.pixels.size(), 9);
    QCOMPARE(r.pixels.first(), QPoint(4, 3));
    QCOMPARE(r.maxValue, 256.0);
    QList<QPoint> expected;
    for (int y = 3; y <= 5; ++y)
        for (int x = 4; x <= 6; ++x)
            expected << QPoint(x, y);
    QCOMPARE(sorted(r.pixels), expected);
}

void TestRoiComponent::regionStopsAtEllipseBorder()
{
    // Every pixel qualifies: the one region is exactly the ROI, as the ROI statistics count it.
    const HuImage image = makeImage(40, 30, 500.0);
    const double cx = 17.3, cy = 12.6, rx = 6.5, ry = 4.2;
    const QList<RoiComponent> regions = render::findEllipseRoiComponents(image, cx, cy, rx, ry, 130.0);
    QCOMPARE(regions.size(), 1);
    QCOMPARE(regions[0].pixelCount, render::ellipseRoiStats(image, cx, cy, rx, ry).count);
    for (const QPoint& p : regions[0].pixels) {
        const double dx = (p.x() - cx) / rx, dy = (p.y() - cy) / ry;
        QVERIFY(dx * dx + dy * dy <= 1.0);
    }

    // An ellipse reaching past the image edge counts only what lies inside the image.
    const QList<RoiComponent> edge = render::findEllipseRoiComponents(image, 1, 1, 5, 5, 130.0);
    QCOMPARE(edge.size(), 1);
    QCOMPARE(edge[0].pixelCount, render::ellipseRoiStats(image, 1, 1, 5, 5).count);
}

void TestRoiComponent::regionStopsAtPolygonBorder()
{
    // A bright bar crosses a triangle: only its part inside the triangle is collected, although the
    // rest of the bar lies inside the triangle's bounding box.
    HuImage image = makeImage(30, 30, 0.0);
    for (int x = 0; x < 30; ++x)
        setPixel(image, x, 10, 1000.0);
    const QList<QPointF> triangle{{2, 2}, {22, 2}, {2, 22}};
    const QList<RoiComponent> regions = render::findPolygonRoiComponents(image, triangle, 130.0);
    QCOMPARE(regions.size(), 1);
    QCOMPARE(regions[0].pixelCount, 11); // x + 0.5 < 13.5 on the row whose centres lie at y 10.5
    for (const QPoint& p : regions[0].pixels) {
        QCOMPARE(p.y(), 10);
        QVERIFY(render::pointInPolygon(p.x() + 0.5, p.y() + 0.5, triangle));
    }
    QCOMPARE(regions[0].pixels.first(), QPoint(2, 10));
}

void TestRoiComponent::regionsInRowMajorOrder()
{
    // An L whose top lies right of a lone pixel: regions come in the order of their first pixel,
    // row by row, left to right.
    HuImage image = makeImage(20, 20, 0.0);
    setPixel(image, 12, 3, 200.0);
    setPixel(image, 12, 4, 200.0);
    setPixel(image, 11, 4, 210.0);
    setPixel(image, 10, 4, 220.0);
    setPixel(image, 4, 4, 150.0);
    setPixel(image, 6, 9, 170.0);
    const QList<QPointF> square{{0, 0}, {20, 0}, {20, 20}, {0, 20}};
    const QList<RoiComponent> regions = render::findPolygonRoiComponents(image, square, 130.0);
    QCOMPARE(regions.size(), 3);
    QCOMPARE(regions[0].pixels.first(), QPoint(12, 3));
    QCOMPARE(regions[0].pixelCount, 4);
    QCOMPARE(regions[0].maxValue, 220.0);
    // Depth first from the seed: down first (the right and left neighbours do not qualify), then
    // along the row to the left.
    QCOMPARE(regions[0].pixels, (QList<QPoint>{{12, 3}, {12, 4}, {11, 4}, {10, 4}}));
    QCOMPARE(regions[1].pixels, QList<QPoint>{QPoint(4, 4)});
    QCOMPARE(regions[2].pixels, QList<QPoint>{QPoint(6, 9)});
}

void TestRoiComponent::emptyResults_data()
{
    QTest::addColumn<bool>("valid");
    QTest::addColumn<double>("radius");
    QTest::addColumn<int>("vertices");
    QTest::addColumn<double>("threshold");
    QTest::newRow("threshold above every value") << true << 5.0 << 4 << 1001.0;
    QTest::newRow("invalid image") << false << 5.0 << 4 << 130.0;
    QTest::newRow("radius 0 / 2-vertex polygon") << true << 0.0 << 2 << 130.0;
    QTest::newRow("negative radius / no vertices") << true << -3.0 << 0 << 130.0;
    QTest::newRow("NaN threshold") << true << 5.0 << 4 << std::numeric_limits<double>::quiet_NaN();
}

void TestRoiComponent::emptyResults()
{
    QFETCH(bool, valid);
    QFETCH(double, radius);
    QFETCH(int, vertices);
    QFETCH(double, threshold);
    HuImage image = makeImage(16, 16, 1000.0);
    image.valid = valid;
    QVERIFY(render::findEllipseRoiComponents(image, 8, 8, radius, radius, threshold).isEmpty());
    const QList<QPointF> all{{0, 0}, {16, 0}, {16, 16}, {0, 16}};
    QVERIFY(render::findPolygonRoiComponents(image, all.mid(0, vertices), threshold).isEmpty());
}

void TestRoiComponent::negativeThresholdKeepsZeroPeak()
{
    HuImage image = makeImage(10, 10, -900.0);
    for (int x = 2; x < 6; ++x)
        setPixel(image, x, 5, -40.0);
    const QList<RoiComponent> regions = render::findEllipseRoiComponents(image, 5, 5, 4, 4, -100.0);
    QCOMPARE(regions.size(), 1);
    QCOMPARE(regions[0].pixelCount, 4);
    QCOMPARE(regions[0].maxValue, 0.0);
}

void TestRoiComponent::hugeRegionIsIterative()
{
    const HuImage image = makeImage(1000, 1000, 400.0);
    const QList<QPointF> all{{0, 0}, {1000, 0}, {1000, 1000}, {0, 1000}};
    const QList<RoiComponent> regions = render::findPolygonRoiComponents(image, all, 130.0);
    QCOMPARE(regions.size(), 1);
    QCOMPARE(regions[0].pixelCount, 1000 * 1000);
    QCOMPARE(regions[0].pixels.first(), QPoint(0, 0));
    QCOMPARE(regions[0].maxValue, 400.0);
}

void TestRoiComponent::regionsOnFixtureFrame()
{
    // A frame read from a file: stored value 10 * y + x, intercept -1024; at threshold -1024 + 255
    // every pixel from (15, 24) on qualifies, cut by the ellipse.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = 32;
    layout.slices = 1;
    const QStringList paths = fixtures::writeSeries(dir.path(), layout);
    QCOMPARE(paths.size(), 1);
    HuImage frame;
    QString error;
    QVERIFY2(render::loadHuFrame(frame, paths.first(), 0, &error), qPrintable(error));
    const double threshold = -1024 + 255;
    const QList<RoiComponent> regions = render::findEllipseRoiComponents(frame, 16, 24, 10, 6, threshold);
    QCOMPARE(regions.size(), 1);
    int expected = 0;
    for (int y = 18; y <= 30; ++y)
        for (int x = 6; x <= 26; ++x) {
            const double dx = (x - 16) / 10.0, dy = (y - 24) / 6.0;
            if (dx * dx + dy * dy <= 1.0 && 10 * y + x >= 255)
                ++expected;
        }
    QCOMPARE(regions[0].pixelCount, expected);
    QCOMPARE(regions[0].maxValue, 0.0); // all values are below zero after the intercept
}

QTEST_GUILESS_MAIN(TestRoiComponent)
#include "tst_roicomponent.moc"
