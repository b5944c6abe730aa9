// The GPU 3D view where no GPU context can be made (offscreen platform): the failure is reported once,
// and everything that does not draw — camera, perspective look, surface picking and measurements —
// still works.
#include "Volume3dFixtures.h"

#include "analysis3d/D3DVolumeRenderWidget.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

using namespace vol3dtest;

namespace {

const render::TransferFunctionPreset& bones()
{
    return render::transferFunctionPresets().first();
}

// A view looking from 30 mm in front of the block (faces at ±4 mm) straight at it.
void aimAtBlock(D3DVolumeRenderWidget& view)
{
    const float pos[3] = {0, 0, -30};
    const float dir[3] = {0, 0, 1};
    const float up[3] = {0, 1, 0};
    view.setPerspectiveCamera(true, pos, dir, up, 60.f);
    view.setMeasurementMode(true);
}

} // namespace

class TestD3DVolumeView : public QObject
{
    Q_OBJECT

    render::Volume m_block = centredBlock(24, 1.0);

private slots:
    void failedStartIsReportedOnce()
    {
        D3DVolumeRenderWidget view;
        QSignalSpy failed(&view, &D3DVolumeRenderWidget::initializationFailed);
        view.setVolume(&m_block, 40, 400);
        view.setVrtPreset(bones());
        view.resize(200, 200);
        view.show();
        if (view.isInitialized())
            QSKIP("this platform made a GPU context without a display");
        QCOMPARE(failed.size(), 1);
        QVERIFY(!failed.first().first().toString().isEmpty());
        view.hide();
        view.show();
        QCOMPARE(failed.size(), 1);
        QCOMPARE(view.renderMode(), 1);
        // Without a device a drawn crop is dropped silently.
        view.setCropDrawingEnabled(true);
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(50, 50));
        QTest::mouseMove(&view, QPoint(150, 50));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(50, 150));
        QCOMPARE(view.cropCount(), 0);
    }

    void cameraOperations()
    {
        D3DVolumeRenderWidget view;
        view.resize(200, 200);
        QSignalSpy settled(&view, &D3DVolumeRenderWidget::cameraSettled);
        view.setVolume(nullptr, 55, 0); // a null volume changes only the MIP window
        QCOMPARE(view.windowCenter(), 55.0);
        for (int i = 0; i < 40; ++i)
            wheel(&view, -120);
        QCOMPARE(view.zoom(), 2.5f);
        QVERIFY(settled.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(settled.size(), 1, 30000);

        // A left click without movement settles; a middle drag never does.
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mousePress(&view, Qt::MiddleButton, {}, QPoint(100, 100));
        QTest::mouseMove(&view, QPoint(20, 120));
        QTest::mouseRelease(&view, Qt::MiddleButton, {}, QPoint(20, 120));
        QCOMPARE(settled.size(), 2);
        QCOMPARE(view.windowWidth(), 1.0);
        // A right drag near the rim zooms and settles.
        QTest::mousePress(&view, Qt::RightButton, {}, QPoint(195, 100));
        QTest::mouseMove(&view, QPoint(195, 0));
        QTest::mouseRelease(&view, Qt::RightButton, {}, QPoint(195, 0));
        QVERIFY(view.zoom() < 2.5f && view.zoom() >= 0.3f);
        QCOMPARE(settled.size(), 3);
        // Setters never settle; an unknown view preset keeps the rotation, and without a volume to fit
        // the zoom is 1.
        view.setCameraState({QQuaternion(), 1.3, 4, 5});
        view.setViewPreset(render::VolumeViewPreset(9));
        QCOMPARE(view.cameraState().rotation, QQuaternion());
        QCOMPARE(view.cameraState().zoom, 1.0);
        QCOMPARE(settled.size(), 3);
    }

    void perspectiveLookStaysInRange()
    {
        D3DVolumeRenderWidget view;
        view.resize(200, 200);
        const float zero[3] = {0, 0, 0};
        const float pos[3] = {1, 2, 3};
        view.setPerspectiveCamera(true, pos, zero, zero, 90.f);
        QCOMPARE(view.cameraDirection(), QVector3D(0, 0, 1));
        QCOMPARE(view.cameraUpVector(), QVector3D(0, 1, 0));
        const float up[3] = {0, 3, 0};
        view.setCameraPose(zero, zero, up); // a zero direction keeps the previous one
        QCOMPARE(view.cameraDirection(), QVector3D(0, 0, 1));
        QCOMPARE(view.cameraPositionMm(), QVector3D(0, 0, 0));
        for (int i = 0; i < 30; ++i)
            wheel(&view, -120);
        QCOMPARE(view.fovDeg(), 140.f);
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 100));
        QTest::mouseMove(&view, QPoint(100, -300));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(100, -300));
        QCOMPARE(view.lookPitchDeg(), 75.f);
        view.resetEndoscopyLook();
        QCOMPARE(view.fovDeg(), 100.f);
        QCOMPARE(view.lookPitchDeg(), 0.f);
    }

    void pickingFindsTheSurface()
    {
        D3DVolumeRenderWidget view;
        view.resize(200, 200);
        view.setVolume(&m_block, 40, 400);
        view.setVrtPreset(bones());
        QVector3D hit;
        QVERIFY(view.pickSurface(QVector3D(0, 0, -30), QVector3D(0, 0, 1), &hit));
        QVERIFY2(hit.z() > -5.f && hit.z() < -3.f, qPrintable(QString::number(hit.z())));
        // Past the block's side the ray leaves the volume without a hit; a zero direction looks along +z.
        QVERIFY(!view.pickSurface(QVector3D(8, 8, -30), QVector3D(0, 0, 1), &hit));
        QVERIFY(view.pickSurface(QVector3D(0, 0, -30), QVector3D(), &hit));
        // A transparent preset never hits.
        view.setVrtPreset({});
        QVERIFY(!view.pickSurface(QVector3D(0, 0, -30), QVector3D(0, 0, 1), &hit));
    }

    void measurementsAreDrawnSelectedAndDeleted()
    {
        D3DVolumeRenderWidget view;
        view.resize(200, 200);
        view.show();
        view.setVolume(&m_block, 40, 400);
        view.setVrtPreset(bones());
        aimAtBlock(view);
        QSignalSpy selection(&view, &D3DVolumeRenderWidget::measurementSelectionChanged);

        // Two clicks on the block's face, 40 pixels apart.
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(80, 100));
        QTest::mouseMove(&view, QPoint(120, 100));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(120, 100));
        QCOMPARE(view.measurements().size(), 1);
        QCOMPARE(view.selectedMeasurement(), 0);
        QCOMPARE(selection.size(), 1);
        const SurfaceMeasurement m = view.measurements().first();
        const double mm = double((m.worldB - m.worldA).length());
        QVERIFY(mm > 2.0 && mm < 8.0);
        QVERIFY(m.label);
        QCOMPARE(m.label->text(), QStringLiteral("%1 мм").arg(mm, 0, 'f', 1));
        QVERIFY(m.label->styleSheet().contains(QStringLiteral("rgba(230,70,60,220)")));

        // Dragging an end of the selected measurement off the surface: no selection signal, the line
        // follows the pointer, the distance stays.
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(120, 100));
        QTest::mouseMove(&view, QPoint(198, 2));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(198, 2));
        QCOMPARE(selection.size(), 1);
        QCOMPARE(view.measurements().first().screenB, QPoint(198, 2));
        QCOMPARE(view.measurements().first().worldB, m.worldB);
        QCOMPARE(m.label->text(), QStringLiteral("%1 мм").arg(mm, 0, 'f', 1));

        // A click into empty space deselects; a second click that misses drops the new measurement.
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 150));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(2, 198));
        QCOMPARE(selection.size(), 2);
        QCOMPARE(selection.last().first().toBool(), false);
        QCOMPARE(view.measurements().size(), 1);
        QVERIFY(m.label->styleSheet().contains(QStringLiteral("rgba(255,235,60,220)")));

        view.deleteSelectedMeasurement(); // nothing selected: nothing happens
        QCOMPARE(view.measurements().size(), 1);
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(140, 51)); // on the segment
        QCOMPARE(view.selectedMeasurement(), 0);
        view.deleteSelectedMeasurement();
        QVERIFY(view.measurements().isEmpty());
        QCOMPARE(selection.last().first().toBool(), false);
    }

    void cropMaskCutsInsideTheOutline()
    {
        const QList<QPoint> square{{60, 20}, {100, 20}, {100, 60}, {60, 60}};
        const QImage mask = D3DVolumeRenderWidget::cropMask(square, QSize(200, 100));
        QCOMPARE(mask.size(), QSize(100, 100));
        QCOMPARE(mask.format(), QImage::Format_Grayscale8);
        QCOMPARE(qGray(mask.pixel(20, 40)), 0);   // inside, shifted by the centred square's offset
        QCOMPARE(qGray(mask.pixel(70, 40)), 255); // outside
        QCOMPARE(qGray(mask.pixel(20, 90)), 255);
        QCOMPARE(D3DVolumeRenderWidget::cropMask({}, QSize(0, 0)).size(), QSize(1, 1)); // never empty
    }
};

QTEST_MAIN(TestD3DVolumeView)
#include "tst_d3dvolumeview.moc"
