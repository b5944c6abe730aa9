#include "render/MprSlices.h"
#include "render/ParallelFor.h"
#include "render/VolumeRenderer.h"

#include <QtTest>

#include <cmath>
#include <functional>

namespace {

// The rotation a 3D view makes from yaw and pitch (degrees): local (0, 0, 1) becomes the viewing
// direction and local (0, -1, 0) the image's up direction.
QQuaternion viewRotation(double yawDeg, double pitchDeg)
{
    const double a = qDegreesToRadians(yawDeg);
    const double b = qDegreesToRadians(std::clamp(pitchDeg, -89.0, 89.0));
    const QVector3D d = QVector3D(float(std::sin(a) * std::cos(b)), float(std::sin(b)), float(std::cos(a) * std::cos(b)))
                            .normalized();
    QVector3D r = QVector3D::crossProduct(d, QVector3D(0, 0, 1));
    r = r.lengthSquared() < 1e-6f ? QVector3D(1, 0, 0) : r.normalized();
    const QVector3D u = QVector3D::crossProduct(r, d).normalized();
    const QQuaternion q1 = QQuaternion::rotationTo(QVector3D(0, 0, 1), d);
    const QQuaternion q2 = QQuaternion::rotationTo(q1.rotatedVector(QVector3D(0, -1, 0)), u);
    return (q2 * q1).normalized();
}

const double kPresetAngles[6][2] = {{0, 89}, {0, -89}, {90, 0}, {270, 0}, {180, 0}, {0, 0}};

render::Volume filled(int nx, int ny, int nz, double sx, double sy, double sz,
                      const std::function<float(int, int, int)>& value)
{
    render::Volume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    v.spacingX = sx;
    v.spacingY = sy;
    v.spacingZ = sz;
    v.voxels.resize(size_t(nx) * ny * nz);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x)
                v.voxels[v.index(x, y, z)] = value(x, y, z);
    return v;
}

// Pixel position at which a point (mm, volume frame) appears, by the camera geometry of the renderer.
QPointF projected(const render::Volume& v, const render::VolumeRenderParams& p, const QVector3D& point)
{
    const QVector3D e(float(v.nx * v.spacingX), float(v.ny * v.spacingY), float(v.nz * v.spacingZ));
    const double R = e.length() / 2.0;
    const QVector3D d = p.rotation.rotatedVector(QVector3D(0, 0, 1)).normalized();
    const QVector3D right = QVector3D::crossProduct(d, p.rotation.rotatedVector(QVector3D(0, -1, 0))).normalized();
    const QVector3D up = QVector3D::crossProduct(right, d).normalized();
    const QVector3D m = e / 2 + float(p.panX) * right + float(p.panY) * up;
    const double W = std::max(p.zoom, 0.1) * R;
    const int S = std::max(32, int(p.imageSize));
    const double a = QVector3D::dotProduct(point - m, right), b = QVector3D::dotProduct(point - m, up);
    return {(a / W / 2 + 0.5) * S - 0.5, (0.5 - b / W / 2) * S - 0.5};
}

struct Blob
{
    int count = 0;
    QPointF centroid;
};

Blob blobOf(const QImage& im, const std::function<bool(const uchar*)>& pick)
{
    Blob b;
    double sx = 0, sy = 0;
    for (int y = 0; y < im.height(); ++y)
        for (int x = 0; x < im.width(); ++x)
            if (pick(im.constScanLine(y) + 3 * x)) {
                ++b.count;
                sx += x;
                sy += y;
            }
    if (b.count)
        b.centroid = {sx / b.count, sy / b.count};
    return b;
}

render::TransferFunctionPreset steps(std::initializer_list<render::TransferFunctionPoint> pts)
{
    return {QStringLiteral("test"), QList<render::TransferFunctionPoint>(pts)};
}

bool isBlack(const QImage& im)
{
    return blobOf(im, [](const uchar* p) { return p[0] || p[1] || p[2]; }).count == 0;
}

const uchar* pixel(const QImage& im, int x, int y)
{
    return im.constScanLine(y) + 3 * x;
}

// A plain per-pixel ray caster written from the rules, without tiles, empty-space skipping or the
// renderer's fast paths: the renderer must give the very same bytes.
QImage referenceRender(const render::Volume& v, const render::VolumeRenderParams& p)
{
    const int S = std::max(32, int(p.imageSize));
    QImage im(S, S, QImage::Format_RGB888);
    im.fill(Qt::black);
    struct V3
    {
        double x, y, z;
    };
    auto q = [](const QVector3D& a) { return V3{a.x(), a.y(), a.z()}; };
    auto add = [](V3 a, V3 b) { return V3{a.x + b.x, a.y + b.y, a.z + b.z}; };
    auto mul = [](V3 a, double s) { return V3{a.x * s, a.y * s, a.z * s}; };
    auto dot = [](V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; };
    auto cross = [](V3 a, V3 b) { return V3{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; };
    auto norm = [&](V3 a) { const double l = std::sqrt(dot(a, a)); return l > 0 ? mul(a, 1 / l) : V3{0, 0, 0}; };
    const V3 E{v.nx * v.spacingX, v.ny * v.spacingY, v.nz * v.spacingZ};
    const double R = std::sqrt(dot(E, E)) / 2;
    int N = std::max(int(p.sampleCount), 16);
    if (p.fullQuality) {
        const double smallest = std::min({v.spacingX, v.spacingY, v.spacingZ});
        N = std::max(N, int(std::min(std::ceil(2.4 * R / std::max(0.7 * smallest, 0.2)), 450.0)));
    }
    const V3 d = norm(q(p.rotation.rotatedVector(QVector3D(0, 0, 1))));
    const V3 right = norm(cross(d, q(p.rotation.rotatedVector(QVector3D(0, -1, 0)))));
    const V3 up = norm(cross(right, d));
    const V3 M = add(add(mul(E, 0.5), mul(right, p.panX)), mul(up, p.panY));
    const double W = std::max(p.zoom, 0.1) * R, t0 = -1.2 * R, step = 2.4 * R / (N - 1);
    const V3 L = mul(d, -1);
    auto vox = [&](V3 a) { return V3{a.x / v.spacingX, a.y / v.spacingY, a.z / v.spacingZ}; };
    const V3 dv = vox(d);
    auto inside = [](double c, int n) { const double f = c + 0.5; return f > 0.0 && f < n ? int(f) : -1; };
    auto clampRead = [&](double x, double y, double z) {
        return double(render::sampleTrilinear(v, std::clamp(x, 0.0, v.nx - 1.0), std::clamp(y, 0.0, v.ny - 1.0),
                                              std::clamp(z, 0.0, v.nz - 1.0)));
    };
    const double hx = std::clamp(1 / std::max(v.spacingX, 0.001), 0.5, 3.5);
    const double hy = std::clamp(1 / std::max(v.spacingY, 0.001), 0.5, 3.5);
    const double hz = std::clamp(1 / std::max(v.spacingZ, 0.001), 0.5, 3.5);
    for (int py = 0; py < S; ++py)
        for (int px = 0; px < S; ++px) {
            const double a = (2.0 * ((px + 0.5) / S - 0.5)) * W, b = -(2.0 * ((py + 0.5) / S - 0.5)) * W;
            const V3 o = vox(add(add(M, mul(right, a)), mul(up, b)));
            double r = 0, g = 0, bl = 0, A = 0;
            double mx = std::numeric_limits<double>::lowest(), mn = std::numeric_limits<double>::max(), sum = 0;
            int count = 0;
            for (int i = 0; i < N && A <= 0.98; ++i) {
                const V3 P = add(o, mul(dv, t0 + i * step));
                const int ix = inside(P.x, v.nx), iy = inside(P.y, v.ny), iz = inside(P.z, v.nz);
                if (ix < 0 || iy < 0 || iz < 0)
                    continue;
                double s = render::voxelAt(v, ix, iy, iz);
                if (p.renderMode != 1) {
                    mx = std::max(mx, s);
                    mn = std::min(mn, s);
                    sum += s;
                    ++count;
                    continue;
                }
                if (p.fullQuality) {
                    const V3 pr = add(P, mul(right, 0.6)), pu = add(P, mul(up, 0.6));
                    s = (2.0 * render::sampleTrilinear(v, P.x, P.y, P.z) + render::sampleTrilinear(v, pr.x, pr.y, pr.z)
                         + render::sampleTrilinear(v, pu.x, pu.y, pu.z)) / 4.0;
                }
                const double alpha = render::sampleTransferFunctionOpacity(p.transferFunction, s);
                if (alpha <= 0.003)
                    continue;
                float c[3];
                render::sampleTransferFunctionColor(p.transferFunction, c, s);
                double cr = c[0], cg = c[1], cb = c[2];
                if (p.fullQuality) {
                    const V3 gr{clampRead(P.x + hx, P.y, P.z) - clampRead(P.x - hx, P.y, P.z),
                                clampRead(P.x, P.y + hy, P.z) - clampRead(P.x, P.y - hy, P.z),
                                clampRead(P.x, P.y, P.z + hz) - clampRead(P.x, P.y, P.z - hz)};
                    const double g2 = dot(gr, gr);
                    if (g2 > 1e-6) {
                        const V3 n = mul(gr, -1 / std::sqrt(g2));
                        const double light = std::min(0.35 + 0.65 * std::max(dot(n, L), 0.0), 1.15);
                        const double layout = 0.18 * std::pow(std::max(dot(n, norm(add(L, mul(d, -1)))), 0.0), 24.0);
                        cr = cr * light + layout;
                        cg = cg * light + 0.95 * layout;
                        cb = cb * light + 0.85 * layout;
                    }
                }
                const double w = (1 - A) * alpha;
                r += w * cr;
                g += w * cg;
                bl += w * cb;
                A += w;
            }
            auto byte = [](double x) { return uchar(x > 0 ? (x > 255 ? 255 : x) : 0); };
            uchar* out = im.scanLine(py) + 3 * px;
            if (p.renderMode != 1) {
                const double low = p.window.center - p.window.width / 2.0;
                const int mode = p.projectionMode;
                const double value = count == 0 || mode < 0 || mode > 2 ? low : mode == 0 ? mx : mode == 1 ? mn : sum / count;
                out[0] = out[1] = out[2] =
                    byte(p.window.width > 0 ? (value - low) * 255.0 / p.window.width : value - low);
                continue;
            }
            out[0] = byte(r * 255);
            out[1] = byte(g * 255);
            out[2] = byte(bl * 255);
        }
    return im;
}

// Air, a soft-tissue body, a bone rod and a lung cavity, with large empty regions to skip, over
// several partial groups of blocks; two bright voxels far from the rest, one alone in the air.
render::Volume bodyPhantom()
{
    return filled(66, 40, 36, 0.9, 0.8, 1.25, [](int x, int y, int z) {
        const float dx = x - 20.0f, dy = y - 17.0f;
        if ((x == 31 && y == 9 && z == 21) || (x == 58 && y == 33 && z == 30))
            return 2500.0f;
        if (dx * dx / 225.0f + dy * dy / 144.0f > 1.0f)
            return -1000.0f;
        if (dx * dx + (dy - 5) * (dy - 5) < 9.0f)
            return 900.0f + 10.0f * z;
        if ((dx + 6) * (dx + 6) + dy * dy < 16.0f && z > 5 && z < 25)
            return -800.0f;
        return 40.0f + float((x * 7 + y * 13 + z * 5) % 30);
    });
}

} // namespace

class TestVolumeRender : public QObject
{
    Q_OBJECT

private slots:
    void sizesAndEmptyVolume()
    {
        render::VolumeRenderParams p;
        p.imageSize = 10;
        QImage im = render::renderVolumeCpu(render::Volume(), p);
        QCOMPARE(im.size(), QSize(32, 32));
        QCOMPARE(im.format(), QImage::Format_RGB888);
        QVERIFY(isBlack(im));
        p.imageSize = 50;
        QCOMPARE(render::renderVolumeCpu(render::Volume(), p).size(), QSize(50, 50));
    }

    // An off-centre bright cube must appear where the camera geometry puts it, for each view preset,
    // so a mirrored or transposed picture fails.
    void mipFootprintPerViewPreset_data()
    {
        QTest::addColumn<int>("preset");
        for (int i = 0; i < 6; ++i)
            QTest::addRow("preset %d", i) << i;
    }
    void mipFootprintPerViewPreset()
    {
        QFETCH(int, preset);
        const render::Volume v = filled(40, 32, 24, 1.0, 1.2, 1.5, [](int x, int y, int z) {
            return (x >= 24 && x < 32 && y >= 4 && y < 12 && z >= 14 && z < 20) ? 1000.0f : 0.0f;
        });
        render::VolumeRenderParams p;
        p.rotation = viewRotation(kPresetAngles[preset][0], kPresetAngles[preset][1]);
        p.window = {500, 1000};
        p.imageSize = 96;
        p.sampleCount = 300;
        const QImage im = render::renderVolumeCpu(v, p);
        const Blob b = blobOf(im, [](const uchar* px) { return px[0] == 255; });
        QVERIFY(b.count > 20);
        // Voxel centres of the cube span x 24..31, y 4..11, z 14..19.
        const QPointF want = projected(v, p, QVector3D(27.5f * 1.0f, 7.5f * 1.2f, 16.5f * 1.5f));
        QVERIFY2(QLineF(b.centroid, want).length() < 1.5,
                 qPrintable(QStringLiteral("centroid %1,%2 expected %3,%4")
                                .arg(b.centroid.x()).arg(b.centroid.y()).arg(want.x()).arg(want.y())));
        const int mx = int(std::lround(95 - want.x())), my = int(std::lround(95 - want.y()));
        QCOMPARE(int(pixel(im, mx, my)[0]), 0); // the mirror image of the spot is dark
    }

    void minIpShowsDarkSphere()
    {
        const QVector3D c(20, 12, 9);
        const render::Volume v = filled(32, 32, 32, 1, 1, 1, [&](int x, int y, int z) {
            return (QVector3D(x, y, z) - c).length() <= 5.0f ? -500.0f : 1000.0f;
        });
        render::VolumeRenderParams p;
        p.rotation = viewRotation(0, 0);
        p.projectionMode = render::MinimumProjection;
        p.window = {250, 1500};
        p.imageSize = 64;
        p.sampleCount = 200;
        const QImage im = render::renderVolumeCpu(v, p);
        const Blob dark = blobOf(im, [](const uchar* px) { return px[0] == 0; });
        const Blob inside = blobOf(im, [](const uchar* px) { return px[0] == 255; });
        QVERIFY(inside.count > 100); // the block itself
        const QPointF want = projected(v, p, c);
        // Outside the block the image is black too; only dark pixels near the sphere's place count.
        const Blob sphere = blobOf(im, [&](const uchar* px) {
            const int idx = int(px - im.constBits());
            const int y = idx / im.bytesPerLine(), x = (idx % im.bytesPerLine()) / 3;
            return px[0] == 0 && QLineF(QPointF(x, y), want).length() < 12;
        });
        QVERIFY(dark.count > sphere.count);
        QVERIFY(sphere.count > 10);
        QVERIFY(QLineF(sphere.centroid, want).length() < 1.5);
    }

    void projectionThresholds()
    {
        render::VolumeRenderParams p;
        p.rotation = viewRotation(25, 15);
        p.window = {100, 200}; // low 0
        p.imageSize = 40;
        const render::Volume atLow = filled(10, 10, 10, 1, 1, 1, [](int, int, int) { return 0.0f; });
        for (int mode : {0, 1, 2}) {
            p.projectionMode = mode;
            QVERIFY(isBlack(render::renderVolumeCpu(atLow, p)));
        }
        const render::Volume high = filled(10, 10, 10, 1, 1, 1, [](int, int, int) { return 200.0f; });
        p.projectionMode = render::MeanProjection;
        const QImage im = render::renderVolumeCpu(high, p);
        QCOMPARE(int(pixel(im, 20, 20)[0]), 255);
        QCOMPARE(int(pixel(im, 20, 20)[2]), 255);
        // Mean of a uniform volume is that value: 150 maps to 191 (191.25 truncated).
        const render::Volume mid = filled(10, 10, 10, 1, 1, 1, [](int, int, int) { return 150.0f; });
        QCOMPARE(int(pixel(render::renderVolumeCpu(mid, p), 20, 20)[1]), 191);
        // Unknown projection mode: black.
        p.projectionMode = 7;
        QVERIFY(isBlack(render::renderVolumeCpu(high, p)));
        // Rays that miss the volume are black in every mode.
        p.panX = 1000;
        for (int mode : {0, 1, 2}) {
            p.projectionMode = mode;
            QVERIFY(isBlack(render::renderVolumeCpu(high, p)));
        }
        p.renderMode = 1;
        p.transferFunction = steps({{0, Qt::white, 1.0}});
        QVERIFY(isBlack(render::renderVolumeCpu(high, p)));
    }

    // Small volumes render, and the outermost voxels show: there is no skipped margin.
    void vrtReachesTheOuterVoxels_data()
    {
        QTest::addColumn<bool>("full");
        QTest::newRow("quick") << false;
        QTest::newRow("full quality") << true;
    }
    void vrtReachesTheOuterVoxels()
    {
        QFETCH(bool, full);
        render::VolumeRenderParams p;
        p.renderMode = 1;
        p.fullQuality = full;
        p.imageSize = 48;
        p.rotation = viewRotation(0, 0);
        p.transferFunction = steps({{499, QColor(200, 100, 50), 0.0}, {500, QColor(200, 100, 50), 1.0}});
        const render::Volume small = filled(8, 8, 8, 1, 1, 1, [](int, int, int) { return 1000.0f; });
        QImage im = render::renderVolumeCpu(small, p);
        const uchar* c = pixel(im, 24, 24);
        if (!full) { // the first sample is opaque: the colour itself
            QVERIFY(std::abs(c[0] - 200) <= 1 && std::abs(c[1] - 100) <= 1 && std::abs(c[2] - 50) <= 1);
        } else {
            QVERIFY(c[0] > 100);
        }
        // Only the last layer along the view direction is dense: still visible.
        const render::Volume face = filled(20, 20, 20, 1, 1, 1, [](int, int, int z) { return z == 19 ? 1000.0f : 0.0f; });
        im = render::renderVolumeCpu(face, p);
        QVERIFY(pixel(im, 24, 24)[0] > 100);
    }

    void vrtOpacityThresholds()
    {
        const render::Volume v = filled(16, 16, 16, 1, 1, 1, [](int, int, int z) { return z < 8 ? 1000.0f : 2000.0f; });
        render::VolumeRenderParams p;
        p.renderMode = 1;
        p.imageSize = 40;
        p.rotation = viewRotation(0, 0); // rays along +z: the z < 8 half is in front
        p.transferFunction = steps({{0, Qt::white, 0.003}, {3000, Qt::white, 0.003}});
        QVERIFY(isBlack(render::renderVolumeCpu(v, p)));
        p.fullQuality = true;
        QVERIFY(isBlack(render::renderVolumeCpu(v, p)));

        // Once a ray is saturated, what lies behind changes nothing.
        p.transferFunction = steps({{500, QColor(0, 0, 0), 0.0}, {1000, QColor(255, 0, 0), 1.0},
                                    {1500, QColor(255, 0, 0), 1.0}, {2000, QColor(0, 255, 0), 1.0}});
        const render::Volume other = filled(16, 16, 16, 1, 1, 1, [](int, int, int z) { return z < 8 ? 1000.0f : 0.0f; });
        p.zoom = 0.3; // every ray runs through the interior, none grazes a side face
        for (bool full : {false, true}) {
            p.fullQuality = full;
            const QImage a = render::renderVolumeCpu(v, p);
            QCOMPARE(a, render::renderVolumeCpu(other, p));
            QVERIFY(pixel(a, 20, 20)[0] > 100);
            QCOMPARE(int(pixel(a, 20, 20)[1]), 0);
        }
    }

    void shadedSphereIsLitFromTheViewer()
    {
        const render::Volume v = filled(32, 32, 32, 1, 1, 1, [](int x, int y, int z) {
            return (QVector3D(x, y, z) - QVector3D(15.5f, 15.5f, 15.5f)).length() <= 10.0f ? 1000.0f : 0.0f;
        });
        render::VolumeRenderParams p;
        p.renderMode = 1;
        p.fullQuality = true;
        p.imageSize = 64;
        p.rotation = viewRotation(0, 0);
        p.transferFunction = steps({{0, Qt::white, 0.0}, {1000, Qt::white, 1.0}});
        const QImage im = render::renderVolumeCpu(v, p);
        const QPointF c = projected(v, p, QVector3D(16, 16, 16));
        const int cx = int(std::lround(c.x())), cy = int(std::lround(c.y()));
        const int centre = pixel(im, cx, cy)[0];
        // Near the silhouette (radius about 9.5 mm) the surface turns away from the light.
        const QPointF rim = projected(v, p, QVector3D(16 + 9.3f, 16, 16));
        const int edge = pixel(im, int(std::lround(rim.x())), cy)[0];
        QVERIFY2(centre > edge + 40, qPrintable(QStringLiteral("centre %1 edge %2").arg(centre).arg(edge)));
        QVERIFY(pixel(im, cx, cy)[2] < centre || centre == 255); // specular is bluer-less
        QVERIFY(isBlack(im.copy(0, 0, 4, 4)));
    }

    // Every mode, from views along and across the axes, with small and large steps: the same bytes as
    // the plain caster. The volume has large empty and uniform regions and a bright rod that a ray may
    // meet late, so any skipping that is not exact shows.
    void matchesPlainRayCaster_data()
    {
        QTest::addColumn<int>("renderMode");
        QTest::addColumn<int>("variant"); // VRT: preset index; projection: mode
        QTest::addColumn<bool>("full");
        QTest::addColumn<int>("samples");
        QTest::addColumn<QPointF>("view"); // yaw, pitch
        const QPointF oblique(35, 20), axial(0, 0), side(90, 0), back(180, 40);
        QTest::newRow("bones quick") << 1 << 0 << false << 120 << oblique;
        QTest::newRow("bones full") << 1 << 0 << true << 120 << oblique;
        QTest::newRow("skin quick") << 1 << 2 << false << 120 << oblique;
        QTest::newRow("skin full") << 1 << 2 << true << 120 << oblique;
        QTest::newRow("lungs full") << 1 << 3 << true << 120 << oblique;
        QTest::newRow("bones full, fine steps, along z") << 1 << 0 << true << 700 << axial;
        QTest::newRow("skin quick, along x") << 1 << 2 << false << 300 << side;
        QTest::newRow("bones full, from behind") << 1 << 0 << true << 200 << back;
        for (int mode : {0, 1, 2}) {
            QTest::addRow("projection %d", mode) << 0 << mode << false << 120 << oblique;
            QTest::addRow("projection %d fine steps", mode) << 0 << mode << false << 700 << back;
            QTest::addRow("projection %d along z", mode) << 0 << mode << true << 300 << axial;
            QTest::addRow("projection %d along x", mode) << 0 << mode << false << 500 << side;
        }
    }
    void matchesPlainRayCaster()
    {
        QFETCH(int, renderMode);
        QFETCH(int, variant);
        QFETCH(bool, full);
        QFETCH(int, samples);
        QFETCH(QPointF, view);
        const render::Volume v = bodyPhantom();
        render::VolumeRenderParams p;
        p.renderMode = renderMode;
        p.projectionMode = variant;
        p.window = {300, 3000};
        p.fullQuality = full;
        p.imageSize = 72;
        p.sampleCount = samples;
        p.rotation = viewRotation(view.x(), view.y());
        p.transferFunction = render::transferFunctionPresets()[renderMode == 1 ? variant : 0];
        const QImage mine = render::renderVolumeCpu(v, p);
        QVERIFY(!isBlack(mine));
        QCOMPARE(mine, referenceRender(v, p));
    }

    // One cache through changes of volume, transfer function, quality and mode, as a 3D view makes
    // them: every image is still the plain caster's.
    void cacheFollowsVolumeAndTransferFunction()
    {
        render::Volume body = bodyPhantom();
        const render::Volume other = filled(30, 34, 28, 1.0, 0.7, 0.9, [](int x, int y, int z) {
            return (x - 15) * (x - 15) + (y - 17) * (y - 17) < 60 ? 1200.0f - 20.0f * z : -1000.0f;
        });
        render::VolumeRenderCache cache;
        render::VolumeRenderParams p;
        p.imageSize = 48;
        p.sampleCount = 150;
        p.window = {300, 3000};
        p.rotation = viewRotation(60, -25);
        const auto& presets = render::transferFunctionPresets();
        struct Step
        {
            const render::Volume* volume;
            int renderMode;
            int preset;
            bool full;
        };
        const Step steps[] = {{&body, 1, 0, true},  {&body, 1, 0, false}, {&body, 1, 2, false}, {&body, 1, 2, true},
                              {&body, 0, 0, false}, {&other, 1, 2, true}, {&other, 0, 0, true}, {&body, 1, 0, true}};
        for (const Step& step : steps) {
            p.renderMode = step.renderMode;
            p.transferFunction = presets[step.preset];
            p.fullQuality = step.full;
            QCOMPARE(render::renderVolumeCpu(*step.volume, p, &cache), referenceRender(*step.volume, p));
        }
        // Voxels changed in place: the caller clears the cache.
        for (float& voxel : body.voxels)
            voxel = voxel < 0 ? 600.0f : -1000.0f;
        cache.clear();
        p.renderMode = 1;
        p.transferFunction = presets[0];
        QCOMPARE(render::renderVolumeCpu(body, p, &cache), referenceRender(body, p));
    }

    // A preview standing in for the full image is as bright: the opacity of its longer steps is what
    // the full image's shorter steps add up to, and it takes the same light.
    void previewAsBrightAsTheFullImage_data()
    {
        QTest::addColumn<int>("preset");
        QTest::addColumn<float>("value");
        QTest::addColumn<float>("around");
        QTest::newRow("bones: a dense, shaded sphere") << 0 << 1000.0f << -1000.0f;
        QTest::newRow("vessels: a faint, translucent sphere") << 1 << 100.0f << 0.0f;
    }
    void previewAsBrightAsTheFullImage()
    {
        QFETCH(int, preset);
        QFETCH(float, value);
        QFETCH(float, around);
        const render::Volume v = filled(64, 64, 64, 1, 1, 1, [&](int x, int y, int z) {
            return (QVector3D(x, y, z) - QVector3D(31.5f, 31.5f, 31.5f)).length() <= 20.0f ? value : around;
        });
        render::VolumeRenderParams p;
        p.renderMode = 1;
        p.rotation = viewRotation(30, 20);
        p.transferFunction = render::transferFunctionPresets()[preset];
        p.imageSize = 160;
        p.sampleCount = 220;
        p.fullQuality = true;
        const auto meanGray = [](const QImage& im) {
            double sum = 0;
            for (int y = 0; y < im.height(); ++y)
                for (int x = 0; x < im.width(); ++x)
                    sum += qGray(im.pixel(x, y));
            return sum / (im.width() * im.height());
        };
        const double full = meanGray(render::renderVolumeCpu(v, p));
        p.sampleCount = 70;
        p.fullQuality = false;
        p.fullImageSamples = render::raySampleCount(v, 220, true);
        const double preview = meanGray(render::renderVolumeCpu(v, p));
        QVERIFY2(std::abs(preview - full) <= 0.06 * full, qPrintable(QStringLiteral("preview %1, full %2").arg(preview).arg(full)));
    }

    void sameImageOnAnyThreadCount()
    {
        const render::Volume v = filled(24, 20, 16, 0.8, 1.0, 1.3, [](int x, int y, int z) { return float((x * 7 + y * 3 + z * 11) % 50) * 40.0f; });
        render::VolumeRenderParams p;
        p.renderMode = 1;
        p.fullQuality = true;
        p.imageSize = 64;
        p.rotation = viewRotation(40, 25);
        p.transferFunction = render::transferFunctionPresets().first();
        QImage one;
        {
            render::ScopedWorkerThreadCount threads(1);
            one = render::renderVolumeCpu(v, p);
        }
        render::ScopedWorkerThreadCount threads(5);
        QCOMPARE(render::renderVolumeCpu(v, p), one);
        QVERIFY(!isBlack(one));
    }
};

QTEST_GUILESS_MAIN(TestVolumeRender)
#include "tst_volumerender.moc"
