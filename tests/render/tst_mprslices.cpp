#include "render/MprSlices.h"
#include "render/ParallelFor.h"

#include <QtTest>

#include <cmath>

namespace {

// Voxel values encode their coordinates and stay below 255, so a window of centre 127.5 and width 255
// maps each value to itself.
int code(int x, int y, int z)
{
    return 40 * z + 5 * y + x;
}

render::Volume codedVolume(int nx = 5, int ny = 4, int nz = 6)
{
    render::Volume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x)
                v.voxels.push_back(float(code(x, y, z)));
    v.minValue = 0;
    v.maxValue = code(nx - 1, ny - 1, nz - 1);
    return v;
}

// Fractional values over a CT-like range, so that every step of the grey mapping is exercised.
render::Volume wavyVolume(double sx, double sy, double sz)
{
    render::Volume v;
    v.nx = 37;
    v.ny = 33;
    v.nz = 29;
    v.spacingX = sx;
    v.spacingY = sy;
    v.spacingZ = sz;
    for (int z = 0; z < v.nz; ++z)
        for (int y = 0; y < v.ny; ++y)
            for (int x = 0; x < v.nx; ++x)
                v.voxels.push_back(float(300.0 * std::sin(0.7 * x + 0.3 * y) + 13.7 * z - 0.37 * x * y + 0.123));
    return v;
}

// The window's grey byte: (v - low) * 255 / width (v - low for a width of 0), clamped and truncated.
uchar grayOf(double v, double c, double w)
{
    const double lo = c - 0.5 * w;
    const double g = w > 0 ? (v - lo) * 255.0 / w : v - lo;
    return uchar(!(g > 0) ? 0 : g > 255 ? 255 : g);
}

// The slice as the plain rule builds it: slab combined in double, windowed, then square pixels by
// Qt's smooth scaling of the whole image.
QImage expectedOrthogonal(const render::Volume& v, int plane, int index, double c, double w, int slabHalf, int mode)
{
    const int n = plane == 0 ? v.nz : plane == 1 ? v.ny : v.nx;
    const int at = std::clamp(index, 0, n - 1);
    const bool slab = slabHalf >= 1 && mode != 0;
    const int lo = slab ? std::max(at - slabHalf, 0) : at;
    const int hi = slab ? std::min(at + slabHalf, n - 1) : at;
    const int width = plane == 2 ? v.ny : v.nx;
    const int height = plane == 0 ? v.ny : v.nz;
    std::vector<float> buffer;
    for (int r = 0; r < height; ++r)
        for (int q = 0; q < width; ++q) {
            double mx = std::numeric_limits<double>::lowest(), mn = std::numeric_limits<double>::max(), sum = 0;
            for (int k = lo; k <= hi; ++k) {
                const double value = plane == 0   ? v.voxels[v.index(q, r, k)]
                                     : plane == 1 ? v.voxels[v.index(q, k, v.nz - 1 - r)]
                                                  : v.voxels[v.index(k, q, v.nz - 1 - r)];
                mx = std::max(mx, value);
                mn = std::min(mn, value);
                sum += value;
            }
            buffer.push_back(float(!slab || mode == 1 ? mx : mode == 2 ? mn : sum / (hi - lo + 1)));
        }
    QImage gray(width, height, QImage::Format_Grayscale8);
    for (int r = 0; r < height; ++r)
        for (int q = 0; q < width; ++q)
            gray.scanLine(r)[q] = grayOf(buffer[size_t(r) * width + q], c, w);
    const double spacing[3] = {v.spacingX, v.spacingY, v.spacingZ};
    const int horizontal = plane == 2 ? 1 : 0, vertical = plane == 0 ? 1 : 2;
    const double a = spacing[horizontal], b = spacing[vertical], m = std::min(a, b);
    if (std::abs(a - b) < 0.01)
        return gray;
    return gray.scaled(int(std::lround(width * a / m)), int(std::lround(height * b / m)), Qt::IgnoreAspectRatio,
                       Qt::SmoothTransformation);
}

// The oblique slice by the plain rule: single-precision sample points, nearest voxel (halves away
// from zero), the slab along the normal in steps of the smallest spacing.
QImage expectedOblique(const render::Volume& v, const QVector3D& centre, const QVector3D& axisU,
                       const QVector3D& axisV, int size, double pixelSpacing, double c, double w, int slabHalf,
                       int mode)
{
    QImage im(size, size, QImage::Format_Grayscale8);
    QVector3D normal = QVector3D::crossProduct(axisU, axisV);
    if (std::abs(normal.length() - 1.0f) > 1e-5f)
        normal = normal.length() <= 1e-5f ? QVector3D() : normal / normal.length();
    const double lo = c - 0.5 * w;
    const double step = std::max(std::min({v.spacingX, v.spacingY, v.spacingZ}), 0.1);
    const bool slab = slabHalf >= 1 && mode != 0;
    auto voxel = [&](const QVector3D& p, double* value) {
        const long long i = std::llround(double(p.x()) / v.spacingX), j = std::llround(double(p.y()) / v.spacingY),
                        k = std::llround(double(p.z()) / v.spacingZ);
        if (i < 0 || j < 0 || k < 0 || i >= v.nx || j >= v.ny || k >= v.nz)
            return false;
        *value = v.voxels[v.index(int(i), int(j), int(k))];
        return true;
    };
    for (int r = 0; r < size; ++r)
        for (int q = 0; q < size; ++q) {
            const QVector3D p = centre + float((r + 0.5 - 0.5 * size) * pixelSpacing) * axisV
                                + float((q + 0.5 - 0.5 * size) * pixelSpacing) * axisU;
            double value = lo, sample = 0;
            double mx = std::numeric_limits<double>::lowest(), mn = std::numeric_limits<double>::max(), sum = 0;
            int count = 0;
            for (int t = slab ? -slabHalf : 0; t <= (slab ? slabHalf : 0); ++t) {
                if (voxel(p + float(t * step) * normal, &sample)) {
                    mx = std::max(mx, sample);
                    mn = std::min(mn, sample);
                    sum += sample;
                    ++count;
                }
            }
            if (count > 0)
                value = !slab ? sum : float(mode == 1 ? mx : mode == 2 ? mn : sum / count);
            im.scanLine(r)[q] = grayOf(value, c, w);
        }
    return im;
}

constexpr double kC = 127.5;
constexpr double kW = 255.0;

int px(const QImage& im, int x, int y)
{
    return im.constScanLine(y)[x];
}

} // namespace

class TestMprSlices : public QObject
{
    Q_OBJECT

private slots:
    void emptyVolume()
    {
        render::Volume empty;
        QVERIFY(render::renderAxialSlice(empty, 0, kC, kW, 0, 0).isNull());
        QVERIFY(render::renderCoronalSlice(empty, 0, kC, kW, 0, 0).isNull());
        QVERIFY(render::renderSagittalSlice(empty, 0, kC, kW, 0, 0).isNull());
        const QImage ob = render::renderObliqueSlice(empty, {}, {1, 0, 0}, {0, 1, 0}, 16, 1.0, kC, kW, 0, 0);
        QCOMPARE(ob.size(), QSize(16, 16));
        QCOMPARE(ob.format(), QImage::Format_Grayscale8);
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                QCOMPARE(px(ob, x, y), 0);
    }

    // Expected pixel for each plane, index and slab: computed from the voxel definition directly.
    void orthogonalPlanes_data()
    {
        QTest::addColumn<int>("plane"); // 0 axial, 1 coronal, 2 sagittal
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("slabHalf");
        QTest::addColumn<int>("mode");
        for (int plane = 0; plane < 3; ++plane) {
            const char* name[] = {"axial", "coronal", "sagittal"};
            QTest::addRow("%s single", name[plane]) << plane << 1 << 0 << 0;
            QTest::addRow("%s index -5 clamps", name[plane]) << plane << -5 << 0 << 0;
            QTest::addRow("%s index 99 clamps", name[plane]) << plane << 99 << 0 << 0;
            QTest::addRow("%s h0 mode max is single", name[plane]) << plane << 2 << 0 << 1;
            QTest::addRow("%s h5 mode none is single", name[plane]) << plane << 2 << 5 << 0;
            for (int mode = 1; mode <= 3; ++mode) {
                QTest::addRow("%s edge 0 h3 mode %d", name[plane], mode) << plane << 0 << 3 << mode;
                QTest::addRow("%s middle h1 mode %d", name[plane], mode) << plane << 2 << 1 << mode;
                QTest::addRow("%s last h2 mode %d", name[plane], mode) << plane << 99 << 2 << mode;
                QTest::addRow("%s h9 beyond both ends mode %d", name[plane], mode) << plane << 1 << 9 << mode;
            }
        }
    }
    void orthogonalPlanes()
    {
        QFETCH(int, plane);
        QFETCH(int, index);
        QFETCH(int, slabHalf);
        QFETCH(int, mode);
        const render::Volume v = codedVolume();
        const int n = plane == 0 ? v.nz : plane == 1 ? v.ny : v.nx;
        const int at = std::clamp(index, 0, n - 1);
        const bool slab = slabHalf >= 1 && mode != 0;
        const int lo = slab ? std::max(at - slabHalf, 0) : at;
        const int hi = slab ? std::min(at + slabHalf, n - 1) : at;
        const QImage im = plane == 0   ? render::renderAxialSlice(v, index, kC, kW, slabHalf, mode)
                          : plane == 1 ? render::renderCoronalSlice(v, index, kC, kW, slabHalf, mode)
                                       : render::renderSagittalSlice(v, index, kC, kW, slabHalf, mode);
        const int w = plane == 2 ? v.ny : v.nx;
        const int h = plane == 0 ? v.ny : v.nz;
        QCOMPARE(im.size(), QSize(w, h));
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c) {
                double mx = -1e9, mn = 1e9, sum = 0;
                for (int k = lo; k <= hi; ++k) {
                    // The first image row of coronal and sagittal images is the highest slice.
                    const int value = plane == 0   ? code(c, r, k)
                                      : plane == 1 ? code(c, k, v.nz - 1 - r)
                                                   : code(k, c, v.nz - 1 - r);
                    mx = std::max(mx, double(value));
                    mn = std::min(mn, double(value));
                    sum += value;
                }
                const double expected = !slab || mode == 1 ? mx : mode == 2 ? mn : sum / (hi - lo + 1);
                QCOMPARE(px(im, c, r), int(expected));
            }
    }

    void windowMapping_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<double>("centre");
        QTest::addColumn<double>("width");
        QTest::addColumn<int>("gray");
        QTest::newRow("lower bound") << -160.0 << 40.0 << 400.0 << 0;
        QTest::newRow("below") << -1000.0 << 40.0 << 400.0 << 0;
        QTest::newRow("upper bound") << 240.0 << 40.0 << 400.0 << 255;
        QTest::newRow("centre truncates 127.5") << 40.0 << 40.0 << 400.0 << 127;
        QTest::newRow("width 0: v - c") << 140.0 << 40.0 << 0.0 << 100;
        QTest::newRow("width 0 clamps") << 400.0 << 40.0 << 0.0 << 255;
        QTest::newRow("width 0 below") << 0.0 << 40.0 << 0.0 << 0;
    }
    void windowMapping()
    {
        QFETCH(double, value);
        QFETCH(double, centre);
        QFETCH(double, width);
        QFETCH(int, gray);
        const float v = float(value);
        const QImage im = render::toGrayscaleImage(&v, 1, 1, centre, width);
        QCOMPARE(px(im, 0, 0), gray);
    }

    void pixelAspect()
    {
        render::Volume v = codedVolume(8, 6, 5);
        v.spacingX = 0.7;
        v.spacingY = 0.7;
        v.spacingZ = 0.7;
        QCOMPARE(render::renderAxialSlice(v, 0, kC, kW, 0, 0).size(), QSize(8, 6));
        v.spacingX = 0.5;
        v.spacingZ = 1.0;
        QCOMPARE(render::renderCoronalSlice(v, 0, kC, kW, 0, 0).size(), QSize(8, 10));
        v.spacingY = 0.505;
        v.spacingZ = 0.5;
        QCOMPARE(render::renderSagittalSlice(v, 0, kC, kW, 0, 0).size(), QSize(6, 5));
        QImage one(3, 3, QImage::Format_Grayscale8);
        one.fill(7);
        QCOMPARE(render::applyPixelAspect(one, 1.0, 0.25).size(), QSize(12, 3));
        QCOMPARE(render::applyPixelAspect(one, 0.0, 0.25).size(), QSize(3, 3));
    }

    // Anisotropic voxels and fractional values on several threads give the rule's picture, byte for byte.
    void orthogonalMatchesPlainRule_data()
    {
        QTest::addColumn<int>("plane");
        QTest::addColumn<int>("slabHalf");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QVector3D>("spacing");
        QTest::addColumn<int>("threads");
        const QVector3D ct(0.7f, 0.7f, 1.0f), odd(0.45f, 0.8f, 1.25f), fine(0.9f, 0.6f, 0.3f);
        const char* name[] = {"axial", "coronal", "sagittal"};
        for (int plane = 0; plane < 3; ++plane) {
            QTest::addRow("%s single ct", name[plane]) << plane << 0 << 0 << ct << 5;
            QTest::addRow("%s single odd", name[plane]) << plane << 0 << 0 << odd << 3;
            for (int mode = 1; mode <= 3; ++mode) {
                QTest::addRow("%s mode %d ct", name[plane], mode) << plane << 7 << mode << ct << 5;
                QTest::addRow("%s mode %d odd", name[plane], mode) << plane << 3 << mode << odd << 4;
                QTest::addRow("%s mode %d fine, one thread", name[plane], mode) << plane << 2 << mode << fine << 1;
            }
        }
    }
    void orthogonalMatchesPlainRule()
    {
        QFETCH(int, plane);
        QFETCH(int, slabHalf);
        QFETCH(int, mode);
        QFETCH(QVector3D, spacing);
        QFETCH(int, threads);
        const render::Volume v = wavyVolume(spacing.x(), spacing.y(), spacing.z());
        render::ScopedWorkerThreadCount scoped(threads);
        for (const int index : {0, 11, 40}) {
            for (const QPointF window : {QPointF(40, 400), QPointF(-100.5, 1500), QPointF(200, 0)}) {
                const QImage im = plane == 0 ? render::renderAxialSlice(v, index, window.x(), window.y(), slabHalf, mode)
                                  : plane == 1
                                      ? render::renderCoronalSlice(v, index, window.x(), window.y(), slabHalf, mode)
                                      : render::renderSagittalSlice(v, index, window.x(), window.y(), slabHalf, mode);
                QCOMPARE(im, expectedOrthogonal(v, plane, index, window.x(), window.y(), slabHalf, mode));
            }
        }
    }

    void obliqueMatchesPlainRule_data()
    {
        QTest::addColumn<QVector3D>("centre");
        QTest::addColumn<QVector3D>("axisU");
        QTest::addColumn<QVector3D>("axisV");
        QTest::addColumn<int>("size");
        QTest::addColumn<double>("pixelSpacing");
        QTest::addColumn<int>("slabHalf");
        QTest::addColumn<int>("mode");
        QTest::addColumn<double>("spacingX");
        const QVector3D mid(13.0f, 11.5f, 14.5f);
        const float a = qDegreesToRadians(30.0f);
        const QVector3D tilted(std::cos(a), std::sin(a), 0.0f);
        QTest::newRow("coronal-like tilted") << mid << tilted << QVector3D(0, 0, -1) << 48 << 0.7 << 0 << 0 << 0.7;
        QTest::newRow("double oblique") << mid << QVector3D(0.6f, 0.64f, 0.48f) << QVector3D(-0.8f, 0.48f, 0.36f) << 41
                                        << 0.55 << 0 << 0 << 0.7;
        QTest::newRow("reaching past the volume") << QVector3D(2, 30, 3) << tilted << QVector3D(0, 0.6f, -0.8f) << 64
                                                  << 0.9 << 0 << 0 << 0.7;
        QTest::newRow("axial, exact voxel centres") << QVector3D(12.6f, 11.2f, 7.0f) << QVector3D(1, 0, 0)
                                                    << QVector3D(0, 1, 0) << 36 << 0.7 << 0 << 0 << 0.7;
        for (int mode = 1; mode <= 3; ++mode)
            QTest::addRow("slab mode %d", mode) << mid << tilted << QVector3D(0, 0, -1) << 40 << 0.8 << 4 << mode << 0.7;
        QTest::newRow("slab, unnormalised axes") << mid << tilted * 2.0f << QVector3D(0, 0, -0.5f) << 33 << 0.6 << 2
                                                 << 3 << 0.7;
        // x = 4.125 over 0.55 mm lies a hair below the half: a product with 1 / 0.55 lands above it.
        QTest::newRow("halves a multiplication would round the other way")
            << QVector3D(8.25f, 11.5f, 14.5f) << QVector3D(1, 0, 0) << QVector3D(0, 1, 0) << 16 << 0.55 << 0 << 0
            << 0.55;
    }

    void obliqueMatchesPlainRule()
    {
        QFETCH(QVector3D, centre);
        QFETCH(QVector3D, axisU);
        QFETCH(QVector3D, axisV);
        QFETCH(int, size);
        QFETCH(double, pixelSpacing);
        QFETCH(int, slabHalf);
        QFETCH(int, mode);
        QFETCH(double, spacingX);
        const render::Volume v = wavyVolume(spacingX, 0.7, 1.0);
        for (const QPointF window : {QPointF(40, 400), QPointF(200, 0)}) {
            const QImage im = render::renderObliqueSlice(v, centre, axisU, axisV, size, pixelSpacing, window.x(),
                                                         window.y(), slabHalf, mode);
            QCOMPARE(im, expectedOblique(v, centre, axisU, axisV, size, pixelSpacing, window.x(), window.y(), slabHalf,
                                         mode));
        }
    }

    void obliqueSlices()
    {
        const render::Volume v = codedVolume();
        // An axis-aligned plane through slice 2: pixel (q, r) is voxel (q, r, 2).
        QImage im = render::renderObliqueSlice(v, {1.5f, 1.5f, 2.0f}, {1, 0, 0}, {0, 1, 0}, 4, 1.0, kC, kW, 0, 0);
        QCOMPARE(im.size(), QSize(4, 4));
        for (int r = 0; r < 4; ++r)
            for (int q = 0; q < 4; ++q)
                QCOMPARE(px(im, q, r), code(q, r, 2));
        // Slab along the normal (0, 0, 1), one step of the smallest spacing each side.
        im = render::renderObliqueSlice(v, {1.5f, 1.5f, 2.0f}, {1, 0, 0}, {0, 1, 0}, 4, 1.0, kC, kW, 1, 1);
        QCOMPARE(px(im, 3, 1), code(3, 1, 3));
        im = render::renderObliqueSlice(v, {1.5f, 1.5f, 2.0f}, {1, 0, 0}, {0, 1, 0}, 4, 1.0, kC, kW, 1, 2);
        QCOMPARE(px(im, 3, 1), code(3, 1, 1));
        im = render::renderObliqueSlice(v, {1.5f, 1.5f, 0.0f}, {1, 0, 0}, {0, 1, 0}, 4, 1.0, kC, kW, 2, 3);
        QCOMPARE(px(im, 2, 2), int((code(2, 2, 0) + code(2, 2, 1) + code(2, 2, 2)) / 3.0)); // clipped at z = 0
        // A coronal plane: columns along x, rows downwards along -z.
        im = render::renderObliqueSlice(v, {2.0f, 1.0f, 2.5f}, {1, 0, 0}, {0, 0, -1}, 2, 1.0, kC, kW, 0, 0);
        QCOMPARE(px(im, 0, 0), code(2, 1, 3)); // p = (1.5, 1, 3): x rounds half away to 2
        QCOMPARE(px(im, 1, 1), code(3, 1, 2));
        // Wholly outside: black; partly outside: outside pixels black.
        im = render::renderObliqueSlice(v, {100, 100, 100}, {1, 0, 0}, {0, 1, 0}, 8, 1.0, kC, kW, 3, 1);
        for (int r = 0; r < 8; ++r)
            for (int q = 0; q < 8; ++q)
                QCOMPARE(px(im, q, r), 0);
        im = render::renderObliqueSlice(v, {1.5f, 1.5f, 2.0f}, {1, 0, 0}, {0, 1, 0}, 8, 1.0, 300.0, 10.0, 0, 0);
        QCOMPARE(px(im, 0, 0), 0);
        const QImage tiny = render::renderObliqueSlice(v, {}, {1, 0, 0}, {0, 1, 0}, 0, 1.0, kC, kW, 0, 0);
        QCOMPARE(tiny.size(), QSize(1, 1));
        QCOMPARE(px(tiny, 0, 0), 0);
    }

    void voxelReaders()
    {
        render::Volume v;
        v.nx = 2;
        v.ny = 1;
        v.nz = 1;
        v.voxels = {100.0f, 20.0f};
        QCOMPARE(render::voxelAt(v, -1, 0, 0), 0.0f);
        QCOMPARE(render::voxelAt(v, 2, 0, 0), 0.0f);
        QCOMPARE(render::voxelAt(v, 1, 0, 0), 20.0f);
        QCOMPARE(render::sampleTrilinear(v, -0.5, 0, 0), 50.0f);
        QCOMPARE(render::sampleTrilinear(v, 0.25, 0, 0), 80.0f);
        QCOMPARE(render::sampleTrilinear(v, 0, 0.5, 0), 50.0f);
        QCOMPARE(render::sampleTrilinear(v, 5, 0, 0), 0.0f);
    }
};

QTEST_GUILESS_MAIN(TestMprSlices)
#include "tst_mprslices.moc"
