#include "Volume3dFixtures.h"

#include <analysis3d/VolumeCameraMath.h>
#include <analysis3d/VolumeRenderWidget.h>

#include <QComboBox>
#include <QSignalSpy>
#include <QWheelEvent>
#include <QtTest>

using namespace vol3dtest;

namespace {

void wheel(QWidget* w, int deltaY)
{
    const QPointF pos(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent event(pos, w->mapToGlobal(pos), QPoint(), QPoint(0, deltaY), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &event);
}

bool isBlack(const QImage& image)
{
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4)
            if (qGray(image.pixel(x, y)) > 10)
                return false;
    return true;
}

} // namespace

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
        flat.nx = 4;
        flat.ny = 0;
        flat.nz = 4;
        if (kind == 1)
            view.setVolume(nullptr, 40, 400);
        if (kind == 2)
            view.setVolume(&flat, 40, 400);
        view.resetView();
        wheel(&view, 120);
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(100, 100));
        QVERIFY(view.image().isNull());
        const QImage shot = view.grab().toImage();
        // Only the dark background and the grey two-line notice: no rendered picture.
        QCOMPARE(QColor(shot.pixel(5, 100)), QColor(20, 20, 20));
        if (kind == 0)
            saveGrab(shot, QStringLiteral("cpu-volume-empty.png"));
    }

    void windowWidthIsAtLeastOne_data()
    {
        QTest::addColumn<double>("width");
        QTest::addColumn<double>("stored");
        QTest::newRow("zero") << 0.0 << 1.0;
        QTest::newRow("negative") << -50.0 << 1.0;
        QTest::newRow("normal") << 400.0 << 400.0;
    }
    void windowWidthIsAtLeastOne()
    {
        QFETCH(double, width);
        QFETCH(double, stored);
        VolumeRenderWidget view;
        view.setVolume(&m_block, 40, width);
        QCOMPARE(view.renderParams().window.width, stored);
        QCOMPARE(view.renderParams().window.center, 40.0);
        QCOMPARE(view.image().width(), VolumeRenderWidget::kFullSize);
    }

    void rendersTheVolumeAndShowsIt()
    {
        VolumeRenderWidget view;
        view.resize(300, 300);
        view.show();
        view.setVolume(&m_block, 0, 2000);
        view.setViewPreset(render::ViewFront);
        const QImage mip = view.image();
        QCOMPARE(mip.size(), QSize(420, 420));
        // The block sits in the middle of the picture, the corners stay black.
        QVERIFY(qGray(mip.pixel(210, 210)) > 200);
        QVERIFY(qGray(mip.pixel(5, 5)) < 10);
        saveGrab(view.grab().toImage(), QStringLiteral("cpu-volume-mip.png"));

        view.setVrtPreset(render::transferFunctionPresets().first());
        QCOMPARE(view.renderParams().renderMode, 1);
        QCOMPARE(view.renderParams().transferFunction.name, render::transferFunctionPresets().first().name);
        QVERIFY(!isBlack(view.image()));
        saveGrab(view.grab().toImage(), QStringLiteral("cpu-volume-vrt.png"));
    }

    void presetsAndResetPlaceTheCamera()
    {
        VolumeRenderWidget view;
        view.setVolume(&m_block, 0, 2000);
        view.setCameraState({QQuaternion::fromAxisAndAngle(0, 1, 0, 33), 1.7, 12, -4});
        const QQuaternion turned = view.renderParams().rotation;
        view.setRotationMode(InPlaneRotation);
        view.resize(200, 200);
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(190, 100));
        QTest::mouseMove(&view, QPoint(100, 190));
        QVERIFY(std::abs(view.inPlaneAngle()) > 1.0);
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(100, 190));

        // An unknown preset keeps the rotation but resets everything else, and renders.
        view.setViewPreset(render::VolumeViewPreset(6));
        QCOMPARE(view.renderParams().rotation, turned);
        QCOMPARE(view.renderParams().zoom, 0.6);
        QCOMPARE(view.renderParams().panX, 0.0);
        QCOMPARE(view.renderParams().panY, 0.0);
        QCOMPARE(view.inPlaneAngle(), 0.0);
        QCOMPARE(view.image().width(), VolumeRenderWidget::kFullSize);

        // The front view looks along +y with the patient's head (-z) up; a pitch of 90 acts as 89.
        view.setViewPreset(render::ViewFront);
        const QQuaternion front = view.renderParams().rotation;
        const QQuaternion ninety = volumecamera::rotationFromYawPitch(0, 90);
        QVERIFY(qFuzzyCompare(front, ninety) || qFuzzyCompare(front, -ninety));
        const QVector3D dir = front.rotatedVector(QVector3D(0, 0, 1));
        const QVector3D up = front.rotatedVector(QVector3D(0, -1, 0));
        QVERIFY(dir.y() > 0.99f);
        QVERIFY(std::abs(QVector3D::dotProduct(dir, up)) < 1e-4f);
        QVERIFY(std::isfinite(front.scalar()));

        view.resetView();
        QCOMPARE(view.renderParams().rotation, volumecamera::rotationFromYawPitch(25, 15));
        QCOMPARE(view.renderParams().zoom, 0.6);
    }

    void wheelKeepsZoomInRangeAndSettlesOnce()
    {
        VolumeRenderWidget view;
        view.resize(200, 200);
        view.setVolume(&m_block, 0, 2000);
        QSignalSpy settled(&view, &VolumeRenderWidget::cameraSettled);
        for (int i = 0; i < 30; ++i)
            wheel(&view, 120);
        QCOMPARE(view.renderParams().zoom, 0.3);
        QCOMPARE(view.image().width(), VolumeRenderWidget::kPreviewSize);
        for (int i = 0; i < 40; ++i)
            wheel(&view, 0); // a zero delta counts as outward
        QCOMPARE(view.renderParams().zoom, 2.5);
        QVERIFY(settled.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(settled.size(), 1, 5000);
        QCOMPARE(view.image().width(), VolumeRenderWidget::kFullSize);
        QTest::qWait(300);
        QCOMPARE(settled.size(), 1);
    }

    void dragsSettleAsTheirButtonsSay()
    {
        VolumeRenderWidget view;
        view.resize(200, 200);
        view.setVolume(&m_block, 0, 100);
        QSignalSpy settled(&view, &VolumeRenderWidget::cameraSettled);

        // A left click without movement in free rotation still settles.
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(100, 100));
        QCOMPARE(settled.size(), 1);

        // A left drag turns the camera, with previews while moving.
        const QQuaternion before = view.renderParams().rotation;
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseMove(&view, QPoint(140, 110));
        QTRY_COMPARE_WITH_TIMEOUT(view.image().width(), VolumeRenderWidget::kPreviewSize, 5000);
        QVERIFY(!qFuzzyCompare(view.renderParams().rotation, before));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(140, 110));
        QCOMPARE(view.image().width(), VolumeRenderWidget::kFullSize);
        QCOMPARE(settled.size(), 2);

        // A right drag to the far left never brings the width below 1, and does not settle.
        QTest::mousePress(&view, Qt::RightButton, {}, QPoint(150, 100));
        QTest::mouseMove(&view, QPoint(0, 120));
        QCOMPARE(view.renderParams().window.width, 1.0);
        QCOMPARE(view.renderParams().window.center, 60.0);
        QTest::mouseRelease(&view, Qt::RightButton, {}, QPoint(0, 120));
        QCOMPARE(settled.size(), 2);

        // A middle drag pans 0.6 mm per pixel and settles.
        QTest::mousePress(&view, Qt::MiddleButton, {}, QPoint(100, 100));
        QTest::mouseMove(&view, QPoint(110, 90));
        QTest::mouseRelease(&view, Qt::MiddleButton, {}, QPoint(110, 90));
        QCOMPARE(view.renderParams().panX, -6.0);
        QCOMPARE(view.renderParams().panY, -6.0);
        QCOMPARE(settled.size(), 3);

        // Setters render at full quality without a signal.
        view.setCameraState({QQuaternion(), 0.8, 1, 2});
        view.setProjectionMode(render::MinimumProjection);
        QCOMPARE(settled.size(), 3);
    }

    void inPlaneRotationTurnsThePictureWithoutRendering()
    {
        VolumeRenderWidget view;
        view.resize(200, 200);
        view.setVolume(&m_block, 0, 2000);
        view.setRotationMode(InPlaneRotation);
        const qint64 key = view.image().cacheKey();
        QSignalSpy settled(&view, &VolumeRenderWidget::cameraSettled);
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(190, 100));
        QTest::mouseMove(&view, QPoint(100, 190));
        QTest::mouseMove(&view, QPoint(10, 100));
        QTest::qWait(50);
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(10, 100));
        QCOMPARE(view.inPlaneAngle(), 180.0);
        QCOMPARE(view.image().cacheKey(), key);
        QVERIFY(settled.isEmpty());
        view.setRotationMode(FreeRotation);
        QCOMPARE(view.inPlaneAngle(), 0.0);
        QCOMPARE(view.image().cacheKey(), key);
    }

    void projectionComboLeavesVrtOnlyOnChange()
    {
        VolumeRenderWidget view;
        view.setVolume(&m_block, 0, 2000);
        view.setVrtPreset(render::transferFunctionPresets().first());
        view.projectionCombo()->setCurrentIndex(0);
        QCOMPARE(view.renderParams().renderMode, 1);
        view.projectionCombo()->setCurrentIndex(2);
        QCOMPARE(view.renderParams().renderMode, 0);
        QCOMPARE(view.renderParams().projectionMode, 2);
    }

    void doubleClickIsReported()
    {
        VolumeRenderWidget view;
        QSignalSpy doubled(&view, &VolumeRenderWidget::doubleClicked);
        QTest::mouseDClick(&view, Qt::LeftButton, {}, QPoint(50, 50));
        QCOMPARE(doubled.size(), 1);
    }
};

QTEST_MAIN(TestVolumeRenderWidget)
#include "tst_volumerenderwidget.moc"
