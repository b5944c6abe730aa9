// The 3D window on a working GPU context: it stays on the GPU view, and its crop tools draw there.
#include "Volume3dFixtures.h"

#include "analysis3d/D3DVolumeRenderWidget.h"
#include "analysis3d/Vrt3DWindow.h"

#include <QAction>
#include <QStackedWidget>
#include <QtTest>

class TestGlVrt3DWindow : public QObject
{
    Q_OBJECT

private slots:
    void cropToolsActOnTheGpuView()
    {
        Vrt3DWindow window(vol3dtest::centredBlock(32), QStringLiteral("Блок"), nullptr, 0, 0,
                           QStringLiteral("Кости"), QStringLiteral("k"));
        window.resize(480, 360); // software GL draws every frame: keep it small
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        D3DVolumeRenderWidget* gpu = window.gpuView();
        if (!gpu->isInitialized())
            QSKIP("no OpenGL 3.3 context on this display");
        QCoreApplication::processEvents(); // a failure would switch pages through a queued call
        QCOMPARE(window.viewStack()->currentWidget(), static_cast<QWidget*>(gpu));
        QCOMPARE(gpu->renderMode(), 2);
        window.cropDrawAction()->setChecked(true);
        const QPoint c(gpu->width() / 2, gpu->height() / 2);
        QTest::mousePress(gpu, Qt::LeftButton, {}, c + QPoint(-60, -60));
        for (const QPoint& p : {QPoint(60, -60), QPoint(60, 60), QPoint(-60, 60)})
            QTest::mouseMove(gpu, c + p);
        QTest::mouseRelease(gpu, Qt::LeftButton, {}, c + QPoint(-60, 60));
        QCOMPARE(gpu->cropCount(), 1);
        window.cropUndoAction()->trigger();
        QCOMPARE(gpu->cropCount(), 0);
        // The CPU fallback turns crop drawing off in the GPU view.
        window.cpuModeAction()->setChecked(true);
        QVERIFY(!window.cropDrawAction()->isChecked());
        QTest::mousePress(gpu, Qt::LeftButton, {}, c);
        QTest::mouseRelease(gpu, Qt::LeftButton, {}, c);
        QCOMPARE(gpu->cropCount(), 0);
    }
};

QTEST_MAIN(TestGlVrt3DWindow)
#include "tst_gl_vrt3dwindow.moc"
