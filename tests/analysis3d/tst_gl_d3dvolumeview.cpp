// The GPU 3D view on a real OpenGL context (Xvfb): queued volume and preset, MIP and VRT frames,
// crops that stay with the volume when the camera turns, and the crop limit.
#include "Volume3dFixtures.h"

#include "analysis3d/D3DVolumeRenderWidget.h"

#include <QSignalSpy>
#include <QtTest>

using namespace vol3dtest;

namespace {

int brightness(const QImage& frame, const QPoint& at)
{
    return frame.isNull() ? -1 : qGray(frame.pixel(at));
}

// Draws a closed outline through the given points with the left button.
void drawOutline(QWidget* view, const QList<QPoint>& points)
{
    QTest::mousePress(view, Qt::LeftButton, {}, points.first());
    for (int i = 1; i < points.size(); ++i)
        QTest::mouseMove(view, points[i]);
    QTest::mouseRelease(view, Qt::LeftButton, {}, points.last());
}

QList<QPoint> squareAround(const QPoint& c, int half)
{
    return {c + QPoint(-half, -half), c + QPoint(half, -half), c + QPoint(half, half), c + QPoint(-half, half)};
}

} // namespace

class TestGlD3DVolumeView : public QObject
{
    Q_OBJECT

    render::Volume m_block = centredBlock(32, 1.0);

    // A shown view with the block uploaded, or a skip where this display has no usable context.
    bool start(D3DVolumeRenderWidget& view)
    {
        QSignalSpy failed(&view, &D3DVolumeRenderWidget::initializationFailed);
        view.resize(240, 240);
        view.show();
        if (!QTest::qWaitForWindowExposed(&view))
            return false;
        if (!view.isInitialized()) {
            qWarning("no GPU context: %s", failed.isEmpty() ? "" : qPrintable(failed.first().first().toString()));
            return false;
        }
        return true;
    }
    QImage frame(D3DVolumeRenderWidget& view)
    {
        view.repaint();
        return view.lastFrame();
    }

private slots:
    void queuedVolumeAndPresetApplyAtFirstShow()
    {
        D3DVolumeRenderWidget view;
        view.setVolume(&m_block, 0, 2000);
        view.setVrtPreset(render::transferFunctionPresets().first());
        QCOMPARE(view.renderMode(), 1);
        if (!start(view))
            QSKIP("no OpenGL 3.3 context on this display");
        QCOMPARE(view.renderMode(), 2);
        QCOMPARE(view.vrtWindowWidth(), 2000.0);
        const QImage vrt = frame(view);
        QCOMPARE(vrt.size(), QSize(240, 240));
        QVERIFY(brightness(vrt, QPoint(120, 120)) > 60);
        QVERIFY(brightness(vrt, QPoint(3, 3)) < 10);

        // From a perspective camera in front of the block, with a measurement line over the surface.
        const float pos[3] = {0, 0, -40};
        const float dir[3] = {0, 0, 1};
        const float up[3] = {0, 1, 0};
        view.setPerspectiveCamera(true, pos, dir, up, 60.f);
        view.setMeasurementMode(true);
        QTest::mousePress(&view, Qt::LeftButton, {}, QPoint(100, 120));
        QTest::mouseRelease(&view, Qt::LeftButton, {}, QPoint(140, 120));
        QCOMPARE(view.measurements().size(), 1);
        QVERIFY(brightness(frame(view), QPoint(120, 100)) > 60);
    }

    void cropCutsThroughTheVolumeAndStaysWithIt()
    {
        D3DVolumeRenderWidget view;
        if (!start(view))
            QSKIP("no OpenGL 3.3 context on this display");
        QVERIFY(std::abs(QColor(frame(view).pixel(120, 120)).blue() - 64) <= 2); // dark blue without volume
        view.setVolume(&m_block, 0, 2000);
        const QImage mip = frame(view);
        QVERIFY(brightness(mip, QPoint(120, 120)) > 200);
        QVERIFY(brightness(mip, QPoint(3, 3)) < 10);
        view.setCropDrawingEnabled(true);
        drawOutline(&view, squareAround(QPoint(120, 120), 70));
        QCOMPARE(view.cropCount(), 1);
        QVERIFY(brightness(frame(view), QPoint(120, 120)) < 10);

        // Turned by 90 degrees the block is still gone: the cut is a prism along the old direction.
        view.setViewPreset(render::ViewRight);
        QVERIFY(brightness(frame(view), QPoint(120, 120)) < 10);
        view.removeLastCrop();
        QCOMPARE(view.cropCount(), 0);
        QVERIFY(brightness(frame(view), QPoint(120, 120)) > 200);

        // A small crop at the left edge of the block cuts only that part.
        drawOutline(&view, squareAround(QPoint(90, 120), 12));
        QCOMPARE(view.cropCount(), 1);
        const QImage partly = frame(view);
        QVERIFY(brightness(partly, QPoint(90, 120)) < 10);
        QVERIFY(brightness(partly, QPoint(135, 120)) > 200);
        view.clearCrops();
        QCOMPARE(view.cropCount(), 0);
    }

    void cropLimitAndTinyOutlines()
    {
        D3DVolumeRenderWidget view;
        view.setVolume(&m_block, 0, 2000);
        if (!start(view))
            QSKIP("no OpenGL 3.3 context on this display");
        view.setCropDrawingEnabled(true);
        QSignalSpy status(&view, &D3DVolumeRenderWidget::statusMessage);
        QSignalSpy settled(&view, &D3DVolumeRenderWidget::cameraSettled);
        // A click without movement, or one move, makes no crop and says nothing.
        QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(20, 20));
        drawOutline(&view, {QPoint(20, 20), QPoint(30, 20)});
        QCOMPARE(view.cropCount(), 0);
        for (int i = 0; i < 6; ++i)
            drawOutline(&view, squareAround(QPoint(30 + 30 * i, 30), 10));
        QCOMPARE(view.cropCount(), 6);
        QVERIFY(status.isEmpty());
        drawOutline(&view, squareAround(QPoint(120, 200), 10));
        QCOMPARE(view.cropCount(), 6);
        QCOMPARE(status.size(), 1);
        QCOMPARE(status.first().first().toString(),
                 QStringLiteral("Достигнут предел одновременных обрезок (6) — сначала уберите одну кнопкой «Убрать "
                                "обрезку»."));
        view.removeLastCrop();
        drawOutline(&view, squareAround(QPoint(120, 120), 70));
        QCOMPARE(view.cropCount(), 6);
        QVERIFY(brightness(frame(view), QPoint(120, 120)) < 10); // slot 5 holds the new mask
        QVERIFY(settled.isEmpty());
    }
};

QTEST_MAIN(TestGlD3DVolumeView)
#include "tst_gl_d3dvolumeview.moc"
