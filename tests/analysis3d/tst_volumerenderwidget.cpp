#include "Volume3dFixtures.h"

#include "render/VolumeCameraMath.h"
#include "analysis3d/VolumeRenderWidget.h"

#include <QComboBox>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace vol3dtest;

class TestVolumeRenderWidget : public QObject
{
    Q_OBJECT

    render::Volume m_block = centredBlock();

private slots:
    void emptyVolumesShowTheEmptyView_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("none") << 0;
        QTest::newRow("null pointer") << 1;
        QTest::newRow("zero dimension") << 2;
    }
    void emptyVolumesShowTheEmptyView()
    {
        QFETCH(int, kind);
        VolumeRenderWidget view;
        view.resize(200, 200);
        view.show();
        render::Volume flat;
        flat.nx = flat.nz = 4;
        if (kind > 0)
            view.setVolume(kind == 1 ? nullptr : &flat, 40, -5);
        QCOMPARE(view.renderParams().window.width, kind > 0 ? 1.0 : 0.0);
        view.resetView();
        wheel(&view, 120);
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(100, 100));
        QVERIFY(view.image().isNull());
        QCOMPARE(QColor(view.grab().toImage().pixel(5, 100)), QColor(20, 20, 20));
    }

    void rendersProjectionAndVrt()
    {
        VolumeRenderWidget view;
        view.resize(300, 300);
        view.show();
        view.setVolume(&m_block, 0, 2000);
        view.setViewPreset(render::ViewFront);
        const QImage mip = view.image();
        QCOMPARE(mip.size(), QSize(420, 420));
        QVERIFY(qGray(mip.pixel(210, 210)) > 200); // the block in the middle, black corners
        QVERIFY(qGray(mip.pixel(5, 5)) < 10);
        view.setVrtPreset(render::transferFunctionPresets().first());
        QCOMPARE(view.renderParams().renderMode, 1);
        QVERIFY(qGray(view.image().pixel(210, 210)) > 60);
        // The mode box names what is drawn, and each of its entries switches to its mode.
        QCOMPARE(view.projectionCombo()->currentIndex(), VolumeRenderWidget::kVrtItem);
        view.projectionCombo()->setCurrentIndex(0);
        QCOMPARE(view.renderParams().renderMode, 0);
        QCOMPARE(view.renderParams().projectionMode, 0);
        view.projectionCombo()->setCurrentIndex(VolumeRenderWidget::kVrtItem);
        QCOMPARE(view.renderParams().renderMode, 1);
        QCOMPARE(view.renderParams().transferFunction.name, render::transferFunctionPresets().first().name);
        view.setProjectionMode(render::MeanProjection);
        QCOMPARE(view.projectionCombo()->currentIndex(), 2);

        // New voxels in the same storage, set again: the view draws them, not the old blocks.
        render::Volume changed = centredBlock(48);
        view.setVolume(&changed, 0, 2000);
        view.setVrtPreset(render::transferFunctionPresets().first());
        for (int z = 0; z < changed.nz; ++z)
            for (int y = 0; y < changed.ny; ++y)
                for (int x = 0; x < changed.nx; ++x)
                    changed.voxels[changed.index(x, y, z)] = x < 6 && y < 6 ? 1000.f : -1000.f;
        view.setVolume(&changed, 0, 2000);
        QCOMPARE(view.image(), render::renderVolumeCpu(changed, view.renderParams()));
    }

    void firstViewAndResetShowTheWholeVolume()
    {
        // A bright box longer from head to foot than across: from the front it is 40 mm wide, 60 mm high.
        const render::Volume box = filledVolume(40, 20, 60, [](int, int, int) { return 1000.f; });
        VolumeRenderWidget view;
        view.resize(300, 300);
        view.show();
        view.setVolume(&box, 0, 2000);
        view.setCameraState({QQuaternion::fromAxisAndAngle(1, 1, 0, 70), 0.4, 10, -10});
        view.resetView();
        QCOMPARE(view.renderParams().rotation, volumecamera::rotationFromYawPitch(0, 89));
        const QImage image = view.image();
        const int n = image.width();
        QVERIFY(qGray(image.pixel(n / 2, n / 2)) > 200);
        // A black frame all round: nothing of the box is cut off at the picture's edge.
        for (int i = 0; i < n; i += 7)
            for (const QPoint p : {QPoint(i, 1), QPoint(i, n - 2), QPoint(1, i), QPoint(n - 2, i)})
                QVERIFY2(qGray(image.pixel(p)) < 10, qPrintable(QStringLiteral("%1,%2").arg(p.x()).arg(p.y())));
        // ... and the box fills most of the picture's height.
        QVERIFY(qGray(image.pixel(n / 2, n / 20)) > 200);
    }

    void presetsPlaceTheCamera()
    {
        VolumeRenderWidget view;
        view.setVolume(&m_block, 0, 2000);
        view.setCameraState({QQuaternion::fromAxisAndAngle(0, 1, 0, 33), 1.7, 12, -4});
        QVERIFY(view.image().isNull()); // a hidden view renders only when shown
        view.show();
        QCOMPARE(view.image().width(), VolumeRenderWidget::kFullSize);
        const QQuaternion turned = view.renderParams().rotation;
        // An unknown preset keeps the rotation but fits the zoom to it and resets the pan, and renders.
        view.setViewPreset(render::VolumeViewPreset(6));
        QCOMPARE(view.renderParams().rotation, turned);
        QCOMPARE(view.renderParams().zoom, volumecamera::fitZoom(turned, &m_block));
        QCOMPARE(view.renderParams().panX, 0.0);
        // The front view looks along +y; a pitch of 90 acts as 89 and is never degenerate.
        view.setViewPreset(render::ViewFront);
        const QQuaternion front = view.renderParams().rotation;
        QCOMPARE(front, volumecamera::rotationFromYawPitch(0, 90));
        QVERIFY(front.rotatedVector(QVector3D(0, 0, 1)).y() > 0.99f);
    }

    void wheelKeepsZoomInRangeAndSettlesOnce()
    {
        VolumeRenderWidget view;
        view.resize(200, 200);
        view.show();
        view.setVolume(&m_block, 0, 2000);
        QSignalSpy settled(&view, &VolumeRenderWidget::cameraSettled);
        for (int i = 0; i < 30; ++i)
            wheel(&view, 120);
        QCOMPARE(view.renderParams().zoom, 0.3);
        QCOMPARE(view.image().width(), VolumeRenderWidget::kPreviewSize);
        // The preview stands in for the full image that follows, and is drawn as bright.
        QCOMPARE(view.renderParams().fullImageSamples, render::raySampleCount(m_block, VolumeRenderWidget::kFullSamples, true));
        for (int i = 0; i < 40; ++i)
            wheel(&view, 0); // a zero delta counts as outward
        QCOMPARE(view.renderParams().zoom, 2.5);
        QVERIFY(settled.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(settled.size(), 1, 30000);
        QCOMPARE(view.image().width(), VolumeRenderWidget::kFullSize);
        QCOMPARE(view.renderParams().fullImageSamples, 0);
        // Settling comes from the view's timers: none is left running to settle a second time.
        for (const QTimer* timer : view.findChildren<QTimer*>())
            QVERIFY(!timer->isActive());
        QCOMPARE(settled.size(), 1);
    }

    void dragsSettleAsTheirButtonsSay()
    {
        VolumeRenderWidget view;
        view.resize(200, 200);
        view.show();
        view.setVolume(&m_block, 0, 100);
        QSignalSpy settled(&view, &VolumeRenderWidget::cameraSettled);
        QSignalSpy doubled(&view, &VolumeRenderWidget::doubleClicked);
        QTest::mouseDClick(&view, Qt::LeftButton, {}, QPoint(50, 50));
        QCOMPARE(doubled.size(), 1);

        // A left drag turns the camera with previews, then renders in full and settles.
        settled.clear();
        const QQuaternion before = view.renderParams().rotation;
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseMove(&view, QPoint(140, 110));
        QTRY_COMPARE_WITH_TIMEOUT(view.image().width(), VolumeRenderWidget::kPreviewSize, 30000);
        QVERIFY(!qFuzzyCompare(view.renderParams().rotation, before));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(140, 110));
        QCOMPARE(view.image().width(), VolumeRenderWidget::kFullSize);
        QCOMPARE(settled.size(), 1);

        // A right drag far to the left keeps the width at 1 and does not settle.
        QTest::mousePress(&view, Qt::RightButton, {}, QPoint(150, 100));
        QTest::mouseMove(&view, QPoint(0, 120));
        QTest::mouseRelease(&view, Qt::RightButton, {}, QPoint(0, 120));
        QCOMPARE(view.renderParams().window.width, 1.0);
        QCOMPARE(view.renderParams().window.center, 60.0);
        QCOMPARE(settled.size(), 1);

        // A middle drag pans 0.6 mm per pixel and settles; setters never do.
        QTest::mousePress(&view, Qt::MiddleButton, {}, QPoint(100, 100));
        QTest::mouseMove(&view, QPoint(110, 90));
        QTest::mouseRelease(&view, Qt::MiddleButton, {}, QPoint(110, 90));
        QCOMPARE(view.renderParams().panX, -6.0);
        QCOMPARE(view.renderParams().panY, -6.0);
        view.setCameraState({QQuaternion(), 0.8, 1, 2});
        view.setProjectionMode(render::MinimumProjection);
        QCOMPARE(settled.size(), 2);
    }

    void inPlaneRotationTurnsThePictureWithoutRendering()
    {
        VolumeRenderWidget view;
        view.resize(200, 200);
        view.show();
        view.setVolume(&m_block, 0, 2000);
        view.setRotationMode(InPlaneRotation);
        const qint64 key = view.image().cacheKey();
        QSignalSpy settled(&view, &VolumeRenderWidget::cameraSettled);
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(190, 100));
        QTest::mouseMove(&view, QPoint(100, 190));
        QTest::mouseMove(&view, QPoint(10, 100));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(10, 100));
        QCOMPARE(view.inPlaneAngle(), 180.0);
        QCOMPARE(view.image().cacheKey(), key);
        QVERIFY(settled.isEmpty());
        view.setRotationMode(FreeRotation);
        QCOMPARE(view.inPlaneAngle(), 0.0);
        QCOMPARE(view.image().cacheKey(), key);
    }
};

QTEST_MAIN(TestVolumeRenderWidget)
#include "tst_volumerenderwidget.moc"
