#include <render/MprSlices.h>

#include <QtTest>

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
