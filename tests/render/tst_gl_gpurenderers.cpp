#include "render/GpuCropMaskTexture.h"
#include "render/GpuDevice.h"
#include "render/GpuMipRenderer.h"
#include "render/GpuSliceRenderer.h"
#include "render/GpuTransferFunctionTexture.h"
#include "render/GpuVolumeTexture.h"
#include "render/GpuVrtRenderer.h"
#include "render/VolumeCameraMath.h"
#include "render/MprSlices.h"
#include "render/VolumeRenderer.h"

#include <QOpenGLFunctions_3_3_Core>
#include <QtTest>

#include <cmath>
#include <functional>

using namespace render;

namespace {

Volume filled(int nx, int ny, int nz, const std::function<float(int, int, int)>& value, double spacing = 1.0)
{
    Volume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    v.spacingX = v.spacingY = v.spacingZ = spacing;
    v.voxels.resize(size_t(nx) * ny * nz);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x)
                v.voxels[v.index(x, y, z)] = value(x, y, z);
    return v;
}

// The rotation of a 3D view from yaw and pitch (degrees), as the 3D windows make their view presets.
QQuaternion viewRotation(double yawDeg, double pitchDeg)
{
    return volumecamera::rotationFromYawPitch(yawDeg, pitchDeg);
}

const double kPresetAngles[6][2] = {{0, 89}, {0, -89}, {90, 0}, {270, 0}, {180, 0}, {0, 0}};

// The camera basis the CPU ray caster derives from a rotation.
struct Basis
{
    QVector3D dir, right, up;
};

Basis basisOf(const QQuaternion& rotation)
{
    Basis b;
    b.dir = rotation.rotatedVector(QVector3D(0, 0, 1)).normalized();
    b.right = QVector3D::crossProduct(b.dir, rotation.rotatedVector(QVector3D(0, -1, 0))).normalized();
    b.up = QVector3D::crossProduct(b.right, b.dir).normalized();
    return b;
}

QVector3D extentOf(const Volume& v)
{
    return QVector3D(float(v.nx * v.spacingX), float(v.ny * v.spacingY), float(v.nz * v.spacingZ));
}

const TransferFunctionPreset& preset(const QString& name)
{
    for (const auto& p : transferFunctionPresets())
        if (p.name == name)
            return p;
    static TransferFunctionPreset none;
    return none;
}

// Pixels brighter than half, as a set.
QVector<bool> footprint(const QImage& image)
{
    QVector<bool> out(image.width() * image.height());
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            out[y * image.width() + x] = qGray(image.pixel(x, y)) > 127;
    return out;
}

// Every pixel of `a` lies within one pixel of a pixel of `b`.
bool coveredWithinOnePixel(const QVector<bool>& a, const QVector<bool>& b, int side, QString* where)
{
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            if (!a[y * side + x])
                continue;
            bool found = false;
            for (int dy = -1; dy <= 1 && !found; ++dy)
                for (int dx = -1; dx <= 1 && !found; ++dx) {
                    const int xx = x + dx, yy = y + dy;
                    found = xx >= 0 && yy >= 0 && xx < side && yy < side && b[yy * side + xx];
                }
            if (!found) {
                *where = QStringLiteral("%1,%2").arg(x).arg(y);
                return false;
            }
        }
    return true;
}

int count(const QVector<bool>& set)
{
    return int(std::count(set.begin(), set.end(), true));
}

QImage uniformMask(int grey)
{
    QImage mask(8, 8, QImage::Format_Grayscale8);
    mask.fill(grey);
    return mask;
}

} // namespace

class TestGpuRenderers : public QObject
{
    Q_OBJECT

private:
    static constexpr int kSide = 64;
    GpuDevice m_device;
    GpuSliceRenderer m_slice;
    GpuMipRenderer m_mip;
    GpuVrtRenderer m_vrt;
    Volume m_box;             // a bright off-centre box in a dark cube
    GpuVolumeTexture m_boxTexture;

    QImage drawMip(GpuDevice& device, unsigned int volume, const Volume& v, const Basis& b, int mode, int steps,
                   const CropSlots& crops = {}, int cropCount = 0, float zoom = 0.6f, float center = 500.f,
                   float width = 1000.f)
    {
        device.beginFrame(0.f, 0.f, 0.f, 1.f);
        m_mip.draw(&device, volume, b.dir, b.right, b.up, extentOf(v), extentOf(v).length() / 2.f, zoom, 0.f, 0.f,
                   center, width, steps, mode, crops, cropCount);
        return device.present();
    }

    QImage drawVrt(GpuDevice& device, unsigned int volume, unsigned int table, const Volume& v, const Basis& b,
                   bool shading, int steps, float huMin, float huMax, const PerspectiveCamera& perspective = {},
                   float zoom = 0.6f)
    {
        device.beginFrame(0.f, 0.f, 0.f, 1.f);
        const QVector3D voxel(float(v.spacingX), float(v.spacingY), float(v.spacingZ));
        m_vrt.draw(&device, volume, table, b.dir, b.right, b.up, extentOf(v), voxel, extentOf(v).length() / 2.f,
                   zoom, 0.f, 0.f, huMin, huMax, shading, steps, CropSlots{}, 0, perspective);
        return device.present();
    }

    // The parameter block a renderer wrote for its last draw.
    QByteArray parameters(unsigned int buffer, int size)
    {
        auto* gl = m_device.makeCurrent();
        QByteArray bytes(size, '\0');
        gl->glBindBuffer(GL_UNIFORM_BUFFER, buffer);
        gl->glGetBufferSubData(GL_UNIFORM_BUFFER, 0, size, bytes.data());
        gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);
        return bytes;
    }
    static qint32 intAt(const QByteArray& bytes, int offset)
    {
        qint32 v;
        std::memcpy(&v, bytes.constData() + offset, 4);
        return v;
    }
    static float floatAt(const QByteArray& bytes, int offset)
    {
        float v;
        std::memcpy(&v, bytes.constData() + offset, 4);
        return v;
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_device.initialize(kSide, kSide, &error), qPrintable(error));
        QVERIFY2(m_slice.initialize(&m_device, &error), qPrintable(error));
        QVERIFY2(m_mip.initialize(&m_device, &error), qPrintable(error));
        QVERIFY2(m_vrt.initialize(&m_device, &error), qPrintable(error));
        m_box = filled(40, 40, 40, [](int x, int y, int z) {
            return x >= 6 && x < 20 && y >= 10 && y < 30 && z >= 16 && z < 34 ? 1000.f : 0.f;
        });
        QVERIFY2(m_boxTexture.upload(&m_device, m_box, &error), qPrintable(error));
    }

    void sliceMatchesCpuAxialSlice_data()
    {
        QTest::addColumn<int>("z");
        QTest::addColumn<double>("center");
        QTest::addColumn<double>("width");
        QTest::newRow("first, wide window") << 0 << 4000.0 << 9000.0;
        QTest::newRow("middle, narrow window") << 3 << 3300.0 << 700.0;
        QTest::newRow("last") << 7 << 7300.0 << 800.0;
    }
    void sliceMatchesCpuAxialSlice()
    {
        QFETCH(int, z);
        QFETCH(double, center);
        QFETCH(double, width);
        // Coordinate-encoded values; a frame of the slice's own size puts pixel centres on voxel centres.
        const Volume v = filled(kSide, kSide, 8, [](int x, int y, int z) { return float(1000 * z + 10 * y + x); });
        GpuVolumeTexture texture;
        QVERIFY(texture.upload(&m_device, v, nullptr));
        m_device.beginFrame(0.f, 0.f, 0.f, 1.f);
        m_slice.draw(&m_device, texture.texture(), (z + 0.5f) / 8.f, float(center), float(width));
        const QImage gpu = m_device.present();
        const QImage cpu = renderAxialSlice(v, z, center, width, 0, 0);
        QCOMPARE(cpu.size(), gpu.size());
        int worst = 0;
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x) {
                const QRgb g = gpu.pixel(x, y);
                QCOMPARE(qRed(g), qBlue(g));
                worst = std::max(worst, std::abs(qRed(g) - qGray(cpu.pixel(x, y))));
            }
        QVERIFY2(worst <= 1, qPrintable(QString::number(worst)));
    }

    void mipMatchesCpuForViewPresets_data()
    {
        QTest::addColumn<int>("preset");
        for (int p = 0; p < 6; ++p)
            QTest::addRow("preset %d", p) << p;
    }
    void mipMatchesCpuForViewPresets()
    {
        QFETCH(int, preset);
        const QQuaternion rotation = viewRotation(kPresetAngles[preset][0], kPresetAngles[preset][1]);
        const QImage gpu = drawMip(m_device, m_boxTexture.texture(), m_box, basisOf(rotation), 0, 256);

        VolumeRenderParams params;
        params.rotation = rotation;
        params.window = {500.0, 1000.0};
        params.zoom = 0.6;
        params.imageSize = kSide;
        params.sampleCount = 256;
        const QImage cpu = renderVolumeCpu(m_box, params);
        QCOMPARE(cpu.size(), gpu.size());

        const QVector<bool> g = footprint(gpu), c = footprint(cpu);
        QVERIFY(count(c) > 100);
        QString where;
        QVERIFY2(coveredWithinOnePixel(g, c, kSide, &where), qPrintable("GPU pixel outside the CPU footprint: " + where));
        QVERIFY2(coveredWithinOnePixel(c, g, kSide, &where), qPrintable("CPU pixel outside the GPU footprint: " + where));
    }

    void mipModes()
    {
        // Values rise along z: the maximum, minimum and mean of a ray along z differ.
        const Volume v = filled(16, 16, 16, [](int, int, int z) { return float(z * 100); });
        GpuVolumeTexture texture;
        QVERIFY(texture.upload(&m_device, v, nullptr));
        const Basis b = basisOf(viewRotation(0, 0));
        const QImage maximum = drawMip(m_device, texture.texture(), v, b, 0, 300, {}, 0, 0.3f, 750.f, 1500.f);
        const QImage seven = drawMip(m_device, texture.texture(), v, b, 7, 300, {}, 0, 0.3f, 750.f, 1500.f);
        const QImage minimum = drawMip(m_device, texture.texture(), v, b, 1, 300, {}, 0, 0.3f, 750.f, 1500.f);
        const QImage mean = drawMip(m_device, texture.texture(), v, b, 2, 300, {}, 0, 0.3f, 750.f, 1500.f);
        QCOMPARE(seven, maximum);
        const int c = kSide / 2;
        QCOMPARE(qGray(maximum.pixel(c, c)), 255);     // 1500 (edge texel) ≥ window top
        QCOMPARE(qGray(minimum.pixel(c, c)), 0);       // 0 at the window bottom
        QVERIFY(std::abs(qGray(mean.pixel(c, c)) - 127) <= 6);
    }

    void missingRaysAndTwoSampleRays()
    {
        // Wide view: the corners' rays miss the volume and stay black in MIP and VRT.
        const Basis b = basisOf(viewRotation(25, 15));
        const Volume bright = filled(8, 8, 8, [](int, int, int) { return 2000.f; });
        GpuVolumeTexture texture;
        QVERIFY(texture.upload(&m_device, bright, nullptr));
        GpuTransferFunctionTexture table;
        QVERIFY(table.upload(&m_device, preset("Кости"), -1000.0, 3000.0, nullptr));
        QImage mip = drawMip(m_device, texture.texture(), bright, b, 1, 200, {}, 0, 3.0f);
        QCOMPARE(mip.pixel(0, 0), qRgb(0, 0, 0));
        QCOMPARE(mip.pixel(kSide / 2, kSide / 2), qRgb(255, 255, 255));
        const QImage vrt = drawVrt(m_device, texture.texture(), table.texture(), bright, b, false, 200, -1000.f, 3000.f,
                                   {}, 3.0f);
        QCOMPARE(vrt.pixel(0, 0), qRgb(0, 0, 0));
        QVERIFY(qRed(vrt.pixel(kSide / 2, kSide / 2)) > 200);

        // One step is drawn with two samples, at the ray's start and end, both outside the volume.
        mip = drawMip(m_device, texture.texture(), bright, b, 0, 1);
        QCOMPARE(intAt(parameters(m_mip.parameterBuffer(), 496), 76), 2);
        QCOMPARE(mip.pixel(kSide / 2, kSide / 2), qRgb(0, 0, 0));

        // With the perspective camera the first sample is the camera position itself.
        PerspectiveCamera inside;
        inside.enabled = true;
        inside.fovDeg = 60.f;
        const QImage first = drawVrt(m_device, texture.texture(), table.texture(), bright, b, false, 1, -1000.f, 3000.f,
                                     inside);
        const QByteArray block = parameters(m_vrt.parameterBuffer(), 544);
        QCOMPARE(intAt(block, 92), 2);
        QCOMPARE(floatAt(block, 84), 0.f);
        QCOMPARE(floatAt(block, 128), 1.f);
        const QRgb c = first.pixel(kSide / 2, kSide / 2);
        QVERIFY2(std::abs(qRed(c) - 245) <= 8 && std::abs(qGreen(c) - 214) <= 8 && std::abs(qBlue(c) - 165) <= 8,
                 qPrintable(QString::number(c, 16)));
    }

    void cropMasks()
    {
        const Basis b = basisOf(viewRotation(0, 0));
        const Volume bright = filled(8, 8, 8, [](int, int, int) { return 2000.f; });
        GpuVolumeTexture texture;
        QVERIFY(texture.upload(&m_device, bright, nullptr));
        const float halfExtent = 0.6f * extentOf(bright).length() / 2.f;
        const QImage plain = drawMip(m_device, texture.texture(), bright, b, 0, 200);
        const int c = kSide / 2;
        QCOMPARE(plain.pixel(c, c), qRgb(255, 255, 255));

        auto slot = [&](const GpuCropMaskTexture& mask, float extent) {
            CropSlot s;
            s.maskTexture = mask.texture();
            s.dir = b.dir;
            s.right = b.right;
            s.up = b.up;
            s.halfExtentMm = extent;
            return s;
        };
        GpuCropMaskTexture cut, keep;
        QVERIFY(cut.upload(&m_device, uniformMask(127), nullptr));
        QVERIFY(keep.upload(&m_device, uniformMask(128), nullptr));
        CropSlots crops{};
        crops[0] = slot(cut, halfExtent);
        QCOMPARE(drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, 1).pixel(c, c), qRgb(0, 0, 0));
        crops[0] = slot(keep, halfExtent);
        QCOMPARE(drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, 1), plain);

        // A crop cuts only inside its own square: half the view's size here.
        crops[0] = slot(cut, halfExtent / 2);
        QImage image = drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, 1);
        QCOMPARE(image.pixel(c, c), qRgb(0, 0, 0));
        QCOMPARE(image.pixel(c - kSide / 4 - 3, c), qRgb(255, 255, 255));

        // Crops add up: crop 0 cuts the left half, crop 1 keeps everything where it is drawn, yet the
        // left half stays cut; crop 1 cuts the top half in turn.
        QImage left(64, 64, QImage::Format_Grayscale8), top(64, 64, QImage::Format_Grayscale8);
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x) {
                left.scanLine(y)[x] = x < 32 ? 0 : 255;
                top.scanLine(y)[x] = y < 32 ? 0 : 255;
            }
        GpuCropMaskTexture leftMask, topMask;
        QVERIFY(leftMask.upload(&m_device, left, nullptr));
        QVERIFY(topMask.upload(&m_device, top, nullptr));
        crops[0] = slot(leftMask, halfExtent);
        crops[1] = slot(keep, halfExtent);
        image = drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, 2);
        QCOMPARE(image.pixel(c - 8, c - 8), qRgb(0, 0, 0));
        QCOMPARE(image.pixel(c + 8, c - 8), qRgb(255, 255, 255));
        crops[1] = slot(topMask, halfExtent);
        image = drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, 2);
        QCOMPARE(image.pixel(c - 8, c - 8), qRgb(0, 0, 0));
        QCOMPARE(image.pixel(c + 8, c - 8), qRgb(0, 0, 0));
        QCOMPARE(image.pixel(c - 8, c + 8), qRgb(0, 0, 0));
        QCOMPARE(image.pixel(c + 8, c + 8), qRgb(255, 255, 255));

        // Counts outside 0..6 are clamped; blocks beyond the count stay zero.
        for (int k = 0; k < kMaxCropSlots; ++k)
            crops[size_t(k)] = slot(keep, halfExtent);
        drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, 9);
        QByteArray block = parameters(m_mip.parameterBuffer(), 496);
        QCOMPARE(intAt(block, 100), 6);
        QCOMPARE(floatAt(block, 112 + 64 * 5 + 48), halfExtent);
        crops[0] = slot(cut, halfExtent);
        QCOMPARE(drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, -1), plain);
        block = parameters(m_mip.parameterBuffer(), 496);
        QCOMPARE(intAt(block, 100), 0);
        QCOMPARE(floatAt(block, 112 + 48), 0.f);
        // An active slot without a mask cuts nothing.
        crops[0].maskTexture = 0;
        QCOMPARE(drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, 1), plain);
        // A tiny half extent is raised to 0.1 mm.
        crops[0] = slot(cut, 0.f);
        drawMip(m_device, texture.texture(), bright, b, 0, 200, crops, 1);
        QCOMPARE(floatAt(parameters(m_mip.parameterBuffer(), 496), 112 + 48), 0.1f);
    }

    void vrtOpaqueBoxWithBonesPreset()
    {
        const Volume v = filled(40, 40, 40, [](int x, int y, int z) {
            return x >= 12 && x < 28 && y >= 12 && y < 28 && z >= 12 && z < 28 ? 2000.f : -1000.f;
        });
        GpuVolumeTexture texture;
        QVERIFY(texture.upload(&m_device, v, nullptr));
        GpuTransferFunctionTexture table;
        QVERIFY(table.upload(&m_device, preset("Кости"), -1000.0, 3000.0, nullptr));
        const QQuaternion rotation = viewRotation(0, 0);
        const Basis b = basisOf(rotation);
        const QImage flat = drawVrt(m_device, texture.texture(), table.texture(), v, b, false, 300, -1000.f, 3000.f);
        const int c = kSide / 2;
        const QRgb centre = flat.pixel(c, c);
        // The colour of the densest entries; the interpolated surface samples in front of them are a
        // little darker, as the bones' table darkens towards lower values.
        QVERIFY2(std::abs(qRed(centre) - 245) <= 12 && std::abs(qGreen(centre) - 214) <= 12
                     && std::abs(qBlue(centre) - 165) <= 12,
                 qPrintable(QString::number(centre, 16)));
        QCOMPARE(flat.pixel(2, 2), qRgb(0, 0, 0));

        // The footprint is that of the CPU ray caster's VRT, within one pixel.
        VolumeRenderParams params;
        params.rotation = rotation;
        params.zoom = 0.6;
        params.imageSize = kSide;
        params.sampleCount = 300;
        params.renderMode = 1;
        params.transferFunction = preset("Кости");
        const QImage cpu = renderVolumeCpu(v, params);
        QString where;
        const QVector<bool> g = footprint(flat), cf = footprint(cpu);
        QVERIFY(count(cf) > 100);
        QVERIFY2(coveredWithinOnePixel(g, cf, kSide, &where), qPrintable(where));
        QVERIFY2(coveredWithinOnePixel(cf, g, kSide, &where), qPrintable(where));

        // Shading darkens a face seen head-on only a little (light from the viewer, raised slightly).
        const QImage shaded = drawVrt(m_device, texture.texture(), table.texture(), v, b, true, 300, -1000.f, 3000.f);
        const QRgb lit = shaded.pixel(c, c);
        QVERIFY2(qRed(lit) <= qRed(centre) && qRed(lit) >= qRed(centre) * 0.9, qPrintable(QString::number(lit, 16)));
    }

    void perspectiveCameraSeesTubeWall()
    {
        // Air inside a tube of soft tissue along z; the camera sits on the axis looking down it.
        const Volume v = filled(48, 48, 48, [](int x, int y, int) {
            const double r = std::hypot(x - 23.5, y - 23.5);
            return r >= 14 && r < 18 ? 40.f : -1000.f;
        });
        GpuVolumeTexture texture;
        QVERIFY(texture.upload(&m_device, v, nullptr));
        GpuTransferFunctionTexture table;
        const auto& endoscopy = preset("Эндоскопия (внутренняя поверхность просвета)");
        QVERIFY(table.upload(&m_device, endoscopy, -1000.0, 3000.0, nullptr));
        Basis b;
        b.dir = QVector3D(0, 0, 1);
        b.right = QVector3D(1, 0, 0);
        b.up = QVector3D::crossProduct(b.right, b.dir);
        PerspectiveCamera camera;
        camera.enabled = true;
        camera.positionMm = QVector3D(0, 0, -10);
        camera.fovDeg = 90.f;
        const QImage frame = drawVrt(m_device, texture.texture(), table.texture(), v, b, true, 400, -1000.f, 3000.f,
                                     camera);
        const int c = kSide / 2;
        QCOMPARE(frame.pixel(c, c), qRgb(0, 0, 0)); // straight down the lumen and out of the volume
        for (const QPoint& p : {QPoint(4, c), QPoint(kSide - 5, c), QPoint(c, 4), QPoint(c, kSide - 5)}) {
            const QRgb wall = frame.pixel(p);
            QVERIFY2(qRed(wall) > 80 && qRed(wall) > qGreen(wall) && qGreen(wall) > qBlue(wall),
                     qPrintable(QStringLiteral("%1,%2: %3").arg(p.x()).arg(p.y()).arg(wall, 0, 16)));
        }
        // From outside the tube, looking at it from the side, the orthographic camera sees its wall too.
        const QImage outside = drawVrt(m_device, texture.texture(), table.texture(), v, basisOf(viewRotation(90, 0)),
                                       true, 300, -1000.f, 3000.f);
        QVERIFY(qRed(outside.pixel(c, c)) > 80);
    }

};

QTEST_MAIN(TestGpuRenderers)
#include "tst_gl_gpurenderers.moc"
