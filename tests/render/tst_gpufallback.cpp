#include "platform/GlOffscreenContext.h"
#include "render/GpuCropMaskTexture.h"
#include "render/GpuDevice.h"
#include "render/GpuLineRenderer.h"
#include "render/GpuMipRenderer.h"
#include "render/GpuSliceRenderer.h"
#include "render/GpuTransferFunctionTexture.h"
#include "render/GpuVolumeTexture.h"
#include "render/GpuVrtRenderer.h"

#include <QGuiApplication>
#include <QThread>
#include <QtTest>

using namespace render;

namespace {

const QString kNoContext = QStringLiteral(
    "Не удалось создать контекст OpenGL 3.3 core. Видеокарта или её драйвер могут не поддерживать OpenGL 3.3.");

} // namespace

// Where no OpenGL context can be made (here: the offscreen platform without any display), the GPU
// objects fail with their messages and hold nothing, so the 3D view can fall back to the CPU renderer.
class TestGpuFallback : public QObject
{
    Q_OBJECT

private slots:
    void initializeFailsWithoutContext()
    {
        GpuDevice device;
        QString error;
        if (device.initialize(64, 64, &error))
            QSKIP("this platform made an OpenGL context without a display");
        QCOMPARE(error, kNoContext);
        QVERIFY(!device.isInitialized());
        QVERIFY(!device.context());
        QVERIFY(!device.makeCurrent());
        QVERIFY(device.present().isNull());
        QVERIFY(device.clearAndPresent(0.05f, 0.1f, 0.25f, 1.f).isNull());
        device.resize(100, 100);
        QVERIFY(!device.isInitialized());
        // A second attempt fails the same way and still holds nothing.
        QVERIFY(!device.initialize(64, 64, &error));
        QCOMPARE(error, kNoContext);
        QVERIFY(!device.context());
    }

    void objectsRefuseAnEmptyDevice()
    {
        GpuDevice device;
        QString error;
        Volume v;
        v.nx = v.ny = v.nz = 2;
        v.voxels.assign(8, 1.f);
        GpuVolumeTexture volume;
        QVERIFY(!volume.upload(&device, v, &error));
        QCOMPARE(error, QStringLiteral("Объём пуст или контекст OpenGL не готов."));
        GpuTransferFunctionTexture table;
        QVERIFY(!table.upload(&device, transferFunctionPresets().first(), -1000, 3000, &error));
        QCOMPARE(error, QStringLiteral("Контекст OpenGL не готов."));
        GpuCropMaskTexture mask;
        QImage image(4, 4, QImage::Format_Grayscale8);
        image.fill(255);
        QVERIFY(!mask.upload(&device, image, &error));
        QCOMPARE(error, QStringLiteral("Контекст OpenGL не готов или маска пуста."));

        GpuSliceRenderer slice;
        GpuMipRenderer mip;
        GpuVrtRenderer vrt;
        GpuLineRenderer line;
        error.clear();
        QVERIFY(!slice.initialize(&device, &error));
        QCOMPARE(error, QStringLiteral("Контекст OpenGL не готов."));
        QVERIFY(!mip.initialize(nullptr, &error));
        QVERIFY(!vrt.initialize(&device, nullptr));
        QVERIFY(!line.initialize(&device, &error));
        // Draws on empty objects do nothing and do not crash.
        slice.draw(&device, 0, 0.5f, 0.f, 1.f);
        mip.draw(&device, 1, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, {1, 1, 1}, 1.f, 0.6f, 0.f, 0.f, 0.f, 1.f, 10, 0, {}, 9);
        line.draw(&device, {QPoint(0, 0), QPoint(5, 5)}, 10, 10);
        QCOMPARE(line.vertexCapacity(), 0);
    }

    void contextOnlyOnTheGuiThread()
    {
        QString error = QStringLiteral("untouched");
        bool made = true;
        QThread* worker = QThread::create([&] {
            GpuDevice device;
            made = device.initialize(16, 16, &error);
        });
        worker->start();
        QVERIFY(worker->wait(10000));
        delete worker;
        QVERIFY(!made);
        QCOMPARE(error, kNoContext);
    }

    void versionCheck_data()
    {
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<QString>("message");
        QTest::newRow("3.2") << 3 << 2
                             << "Видеокарта поддерживает OpenGL только до версии 3.2 — для 3D-рендеринга нужен минимум "
                                "3.3 core.";
        QTest::newRow("3.3 is the lowest accepted") << 3 << 3 << QString();
        QTest::newRow("4.6") << 4 << 6 << QString();
    }
    void versionCheck()
    {
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(QString, message);
        QSurfaceFormat format;
        format.setVersion(major, minor);
        QString error;
        QCOMPARE(platform::GlOffscreenContext::versionSupported(format, &error), message.isEmpty());
        QCOMPARE(error, message);
    }

};

int main(int argc, char** argv)
{
    // No display of any kind: the offscreen platform can then make no OpenGL context at all.
    qunsetenv("DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    TestGpuFallback test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gpufallback.moc"
