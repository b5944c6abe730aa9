#include "render/FusionOverlay.h"

#include <QtTest>

#include <cmath>

using Vec3 = std::array<double, 3>;

namespace {

Vec3 normalised(Vec3 v)
{
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return {v[0] / len, v[1] / len, v[2] / len};
}

Vec3 cross(const Vec3& a, const Vec3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Overlay value as a function of patient position; linear, so trilinear reads reproduce it exactly.
double ramp(const Vec3& p)
{
    return 2.0 * p[0] + 3.0 * p[1] - p[2] + 40.0;
}

// A tilted overlay of 40 x 36 x 30 voxels around the patient point (10, -20, 30).
render::FusionVolume obliqueOverlay()
{
    render::FusionVolume v;
    v.rowDir = normalised({0.8660254, 0.5, 0.0});
    v.colDir = normalised({-0.1, 0.2, -0.97});
    v.colDir = normalised(cross(cross(v.rowDir, v.colDir), v.rowDir));
    v.sliceDir = cross(v.rowDir, v.colDir);
    v.spacing = {0.9, 1.1, 1.3};
    v.nx = 40;
    v.ny = 36;
    v.nz = 30;
    v.origin = {-5.0, -35.0, 45.0};
    v.voxels.resize(size_t(v.nx) * v.ny * v.nz);
    for (int k = 0; k < v.nz; ++k)
        for (int j = 0; j < v.ny; ++j)
            for (int i = 0; i < v.nx; ++i) {
                Vec3 p;
                render::voxelToWorld(v, i, j, k, &p[0], &p[1], &p[2]);
                v.voxels[v.index(i, j, k)] = float(ramp(p));
            }
    return v;
}

render::FusionVolume uniformOverlay(float value)
{
    render::FusionVolume v;
    v.nx = v.ny = v.nz = 8;
    v.origin = {-1.0, -1.0, -4.0};
    v.voxels.assign(512, value);
    v.minValue = v.maxValue = value;
    return v;
}

db::InstanceRecord axialSlice(const Vec3& position, double sx, double sy)
{
    db::InstanceRecord r;
    r.imagePosition = position;
    r.orientationRow = {1, 0, 0};
    r.orientationCol = {0, 1, 0};
    r.pixelSpacingX = sx;
    r.pixelSpacingY = sy;
    r.hasSpatialInfo = true;
    return r;
}

QImage filled(int w, int h, QColor c, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(w, h, format);
    image.fill(c);
    return image;
}

} // namespace

class TestFusionOverlay : public QObject
{
    Q_OBJECT

private slots:
    void colourMaps_data();
    void colourMaps();
    void obliqueOverlayOverAxialSlice();
    void windowWeights_data();
    void windowWeights();
    void opacityAndUntouchedImages();
    void pixelsBeyondTheMargin();
    void voxelAxisSlices();
    void lookAtHeatOverlay();
};

void TestFusionOverlay::colourMaps_data()
{
    QTest::addColumn<double>("t");
    QTest::addColumn<int>("map");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("heat 0.5") << 0.5 << 0 << QColor(255, 127, 0);
    QTest::newRow("heat above 1") << 7.0 << 0 << QColor(255, 255, 255);
    QTest::newRow("rainbow 0.5") << 0.5 << 1 << QColor(127, 255, 127);
    QTest::newRow("gray 0.25") << 0.25 << 2 << QColor(63, 63, 63);
    QTest::newRow("gray below 0") << -3.0 << 2 << QColor(0, 0, 0);
    QTest::newRow("map 7 acts as heat") << 0.5 << 7 << QColor(255, 127, 0);
    QTest::newRow("map -1 acts as heat") << 0.8 << -1 << QColor(255, 255, 102);
}

void TestFusionOverlay::colourMaps()
{
    QFETCH(double, t);
    QFETCH(int, map);
    QFETCH(QColor, expected);
    const QColor c = render::colorMap(t, map);
    QCOMPARE(c.rgb(), expected.rgb());
    QCOMPARE(c.alpha(), 255);
}

void TestFusionOverlay::obliqueOverlayOverAxialSlice()
{
    const render::FusionVolume overlay = obliqueOverlay();
    const Vec3 position{-2.0, -40.0, 28.0};
    const db::InstanceRecord slice = axialSlice(position, 0.6, 0.75);
    const QImage base = filled(48, 40, QColor(10, 20, 200));
    const double centre = 0.0, width = 120.0, opacity = 0.8;
    const QImage out = render::blendFusionOverlay(base, slice, overlay, centre, width, 2, opacity);
    QCOMPARE(out.format(), QImage::Format_RGB32);
    QCOMPARE(out.size(), base.size());
    int blended = 0;
    for (int y = 0; y < out.height(); y += 3)
        for (int x = 0; x < out.width(); x += 5) {
            const Vec3 p{position[0] + x * 0.6, position[1] + y * 0.75, position[2]};
            double i, j, k;
            QVERIFY(render::worldToVoxel(overlay, p[0], p[1], p[2], &i, &j, &k));
            const bool inside = i >= 0 && j >= 0 && k >= 0 && i <= overlay.nx - 1 && j <= overlay.ny - 1
                                && k <= overlay.nz - 1;
            if (!inside)
                continue; // the margin is covered by its own test
            const double t = (ramp(p) - (centre - width / 2)) / width;
            const QRgb got = out.pixel(x, y);
            if (t <= 0.0) {
                QCOMPARE(got, base.pixel(x, y));
                continue;
            }
            ++blended;
            const int gray = int(std::min(t, 1.0) * 255.0);
            const double a = std::min(t, 1.0) * opacity;
            QVERIFY2(std::abs(qRed(got) - int(gray * a + 10 * (1 - a))) <= 1, qPrintable(QString::number(x)));
            QVERIFY(std::abs(qGreen(got) - int(gray * a + 20 * (1 - a))) <= 1);
            QVERIFY(std::abs(qBlue(got) - int(gray * a + 200 * (1 - a))) <= 1);
        }
    QVERIFY2(blended > 20, qPrintable(QString::number(blended)));
}

void TestFusionOverlay::windowWeights_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QColor>("expected");
    // Window 100/200, heat, full opacity over (0, 0, 200).
    QTest::newRow("0 leaves the slice") << 0.0f << QColor(0, 0, 200);
    QTest::newRow("-50 leaves the slice") << -50.0f << QColor(0, 0, 200);
    QTest::newRow("100 at half weight") << 100.0f << QColor(127, 63, 100);
    QTest::newRow("900 at full weight") << 900.0f << QColor(255, 255, 255);
}

void TestFusionOverlay::windowWeights()
{
    QFETCH(float, value);
    QFETCH(QColor, expected);
    const QImage out = render::blendFusionOverlay(filled(4, 4, QColor(0, 0, 200)), axialSlice({0, 0, 0}, 1, 1),
                                                  uniformOverlay(value), 100.0, 200.0, 0, 1.0);
    QCOMPARE(QColor(out.pixel(2, 1)), expected);
}

void TestFusionOverlay::opacityAndUntouchedImages()
{
    const QImage base = filled(4, 4, QColor(0, 0, 200));
    const auto slice = axialSlice({0, 0, 0}, 1, 1);
    const auto overlay = uniformOverlay(200.0f);
    QCOMPARE(QColor(render::blendFusionOverlay(base, slice, overlay, 100, 200, 0, 1.5).pixel(1, 1)),
             QColor(255, 255, 255));
    const QImage gray = filled(5, 3, QColor(90, 90, 90), QImage::Format_Grayscale8);
    const QImage none = render::blendFusionOverlay(gray, slice, overlay, 100, 200, 0, 0.0);
    QCOMPARE(none.format(), QImage::Format_RGB32);
    QCOMPARE(QColor(none.pixel(4, 2)), QColor(90, 90, 90));

    // Nothing to blend: the image comes back as it was, in its own format.
    db::InstanceRecord noGeometry = slice;
    noGeometry.hasSpatialInfo = false;
    const QImage same = render::blendFusionOverlay(gray, noGeometry, overlay, 100, 200, 0, 1.0);
    QCOMPARE(same.format(), QImage::Format_Grayscale8);
    QCOMPARE(same, gray);
    QCOMPARE(render::blendFusionOverlay(gray, slice, render::FusionVolume(), 100, 200, 0, 1.0).format(),
             QImage::Format_Grayscale8);
    QVERIFY(render::blendFusionOverlay(QImage(), slice, overlay, 100, 200, 0, 1.0).isNull());
}

void TestFusionOverlay::pixelsBeyondTheMargin()
{
    // Overlay voxels 0..7 along x from x = -1 mm; the slice runs from x = -4 mm at 1 mm per pixel.
    const QImage base = filled(16, 2, QColor(0, 0, 200));
    const QImage out = render::blendFusionOverlay(base, axialSlice({-4.0, 0.0, 0.0}, 1, 1), uniformOverlay(200.0f),
                                                  100, 200, 0, 1.0);
    for (int x = 0; x < 16; ++x) {
        const double i = x - 3.0; // continuous overlay column of the pixel
        const bool withinMargin = std::floor(i) >= -1 && std::floor(i) <= 8;
        QCOMPARE(QColor(out.pixel(x, 0)), withinMargin ? QColor(255, 255, 255) : QColor(0, 0, 200));
    }
}

void TestFusionOverlay::voxelAxisSlices()
{
    render::FusionVolume v;
    v.nx = 5;
    v.ny = 4;
    v.nz = 3;
    v.voxels.resize(60);
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 4; ++j)
            for (int i = 0; i < 5; ++i)
                v.voxels[v.index(i, j, k)] = float(100 * k + 10 * j + i);
    // Window 127.5/255 maps value v to gray v.
    const QImage axial = render::renderFusionAxialSlice(v, 127.5, 255, 1);
    QCOMPARE(axial.size(), QSize(5, 4));
    QCOMPARE(axial.format(), QImage::Format_Grayscale8);
    QCOMPARE(qGray(axial.pixel(3, 2)), 123);
    const QImage sagittal = render::renderFusionSagittalSlice(v, 127.5, 255, 2);
    QCOMPARE(sagittal.size(), QSize(4, 3));
    QCOMPARE(qGray(sagittal.pixel(1, 0)), 212); // first row: highest k
    QCOMPARE(qGray(sagittal.pixel(3, 2)), 32);
    const QImage coronal = render::renderFusionCoronalSlice(v, 127.5, 255, -1); // middle row j = 2
    QCOMPARE(coronal.size(), QSize(5, 3));
    QCOMPARE(qGray(coronal.pixel(4, 0)), 224);
    QCOMPARE(qGray(coronal.pixel(0, 2)), 20);
    const QImage last = render::renderFusionCoronalSlice(v, 127.5, 255, 10000);
    QCOMPARE(qGray(last.pixel(1, 1)), 131);
    QCOMPARE(qGray(render::renderFusionAxialSlice(v, 127.5, 255, -1).pixel(0, 0)), 100);
    // Width 0: a hard threshold at the centre.
    const QImage hard = render::renderFusionAxialSlice(v, 112.0, 0.0, 1);
    QCOMPARE(qGray(hard.pixel(1, 1)), 0);
    QCOMPARE(qGray(hard.pixel(3, 1)), 255);
    QVERIFY(render::renderFusionSagittalSlice(render::FusionVolume(), 0, 1, 0).isNull());
}

void TestFusionOverlay::lookAtHeatOverlay()
{
    // A CT-like slice (body disc in air) with a spherical lesion in the overlay volume.
    const int n = 160;
    QImage ct(n, n, QImage::Format_Grayscale8);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double r = std::hypot(x - 80.0, y - 80.0);
            ct.setPixel(x, y, qRgb(0, 0, 0));
            reinterpret_cast<uchar*>(ct.scanLine(y))[x] = r < 70 ? uchar(110 + (x * 7 + y * 3) % 20) : 10;
        }
    render::FusionVolume pet;
    pet.nx = pet.ny = 80;
    pet.nz = 20;
    pet.spacing = {2.0, 2.0, 2.0};
    pet.origin = {0.0, 0.0, -20.0};
    pet.voxels.resize(size_t(80) * 80 * 20);
    for (int k = 0; k < 20; ++k)
        for (int j = 0; j < 80; ++j)
            for (int i = 0; i < 80; ++i) {
                const double d = std::sqrt(std::pow(i * 2.0 - 100, 2) + std::pow(j * 2.0 - 60, 2)
                                           + std::pow(k * 2.0 - 20, 2));
                pet.voxels[pet.index(i, j, k)] = float(std::max(0.0, 10.0 - d / 3.0));
            }
    const QImage out = render::blendFusionOverlay(ct, axialSlice({0, 0, 0}, 1, 1), pet, 5.0, 10.0, 0, 0.8);
    // Lesion centre at patient (100, 60): pixel (100, 60) is hot, the far side of the body is not.
    QVERIFY(qRed(out.pixel(100, 60)) > 200 && qGreen(out.pixel(100, 60)) > 150);
    QCOMPARE(QColor(out.pixel(30, 100)), QColor(ct.pixel(30, 100)));
}

QTEST_GUILESS_MAIN(TestFusionOverlay)
#include "tst_fusionoverlay.moc"
