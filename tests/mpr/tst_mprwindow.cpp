// The MPR window end to end: DICOM files written by DCMTK, indexed in a real database, built on the worker
// thread and explored through the panes, the toolbar and the window's slots.

#include "mpr/CrossSectionPanel.h"
#include "mpr/MprViewportWidget.h"
#include "mpr/MprWindow.h"

#include "analysis3d/VolumeRenderWidget.h"
#include "analysis3d/VolumeWarningLabel.h"
#include "db/Database.h"
#include "render/CurvedMprRenderer.h"
#include "render/FusionVolume.h"
#include "render/MprSlices.h"
#include "render/SliceSources.h"

#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"
#include "support/TextNumbers.h"

#include <QAction>
#include <QComboBox>
#include <QScrollBar>
#include <QDoubleSpinBox>
#include <QGraphicsLineItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsView>
#include <QGraphicsSimpleTextItem>
#include <QMenu>
#include <QSplitter>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <cmath>

class TestMprWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    db::Database m_db;
    int m_series = 0;

    QList<db::InstanceRecord> series(fixtures::SeriesLayout layout)
    {
        const QString dir = m_dir.filePath(QStringLiteral("s%1").arg(m_series++));
        if (!fixtures::writeAndIndexSeries(m_db, dir, layout))
            return {};
        return m_db.instancesForSeries(layout.seriesUid);
    }

    static MprWindow* openBuilt(const QList<db::InstanceRecord>& rows, double centre, double width)
    {
        auto* w = new MprWindow(rows, QStringLiteral("Test"), nullptr, centre, width);
        w->show();
        if (!QTest::qWaitFor([w] { return !w->isBuilding(); }, 20000))
            return w;
        return w;
    }

    static QString roiLabel(MprViewportWidget* pane, int slice, QRectF rect)
    {
        pane->clearMeasurements();
        pane->importMeasurements({{7, slice, {rect.topLeft(), rect.bottomRight()}, {}}});
        return pane->measurements().constLast().label->text();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
    }

    void buildsAndFollowsTheCrosshair()
    {
        fixtures::SeriesLayout layout;
        layout.rows = 24;
        layout.columns = 20;
        layout.slices = 6;
        layout.rowSpacing = 0.7;
        layout.columnSpacing = 0.7;
        layout.sliceSpacing = 1.5;
        const auto rows = series(layout);
        QCOMPARE(rows.size(), 6);
        std::unique_ptr<MprWindow> w(openBuilt(rows, 40, 400));
        QVERIFY(!w->isBuilding());
        QVERIFY(w->isEnabled());
        const render::Volume& v = w->volume();
        QCOMPARE(v.nx, 20);
        QCOMPARE(v.ny, 24);
        QCOMPARE(v.nz, 6);
        QCOMPARE(w->statusBar()->currentMessage(),
                 QStringLiteral("Объём: 20×24×6 вокселей, spacing 0.70×0.70×1.50 мм"));
        QCOMPARE(w->crosshairIndices(), (std::array<int, 3>{10, 12, 3}));
        QCOMPARE(w->windowCenter(), 40.0);
        QCOMPARE(w->pane(0)->sliceIndex(), 3);
        QCOMPARE(w->pane(0)->sliceBar()->maximum(), 5);
        QCOMPARE(w->pane(1)->pixelSpacing(), 0.7); // coronal pictures have square 0.7 mm pixels

        w->onCoronalClicked(0.25, 0.0);
        QCOMPARE(w->crosshairIndices(), (std::array<int, 3>{5, 12, 5}));
        w->onSagittalClicked(1.0, 1.0);
        QCOMPARE(w->crosshairIndices(), (std::array<int, 3>{5, 23, 0}));
        w->onAxialWheel(-100);
        QCOMPARE(w->crosshairIndices()[2], 0);
        w->pane(0)->sliceBar()->setValue(4); // the slider is a wheel step to its value
        QCOMPARE(w->crosshairIndices()[2], 4);
        QCOMPARE(w->pane(0)->sliceIndex(), 4);

        // HU of a one-pixel ROI is the voxel under it.
        const double value = render::voxelAt(v, 7, 9, 4);
        QCOMPARE(roiLabel(w->pane(0), 4, QRectF(6.5, 8.5, 1, 1)),
                 QStringLiteral("HU: %1 ± 0.0\nMin: %1  Max: %1\nN=1").arg(value, 0, 'f', 0));
        QCOMPARE(w->roiStatistics(0, 4, QRectF(3, 3, 0, 5)), QStringLiteral("ROI пуст"));
        QCOMPARE(w->roiStatistics(0, 99, QRectF(3, 3, 4, 4)), QStringLiteral("ROI пуст"));
        QCOMPARE(w->roiStatistics(0, 4, QRectF(-1e12, -1e12, 2e12, 2e12)).right(5), QStringLiteral("N=480"));

        // Window/level drags never give a width below 1; presets change the slices, not the 3D view.
        w->onWindowLevelDragged(10, -5000);
        QCOMPARE(w->windowWidth(), 1.0);
        QCOMPARE(w->windowCenter(), 50.0);
        const double viewWidth = w->volumeView()->renderParams().window.width;
        QToolButton* presets = nullptr;
        for (QToolButton* b : w->findChildren<QToolButton*>())
            if (b->text() == QStringLiteral("W/L ▾"))
                presets = b;
        QVERIFY(presets && presets->menu());
        presets->menu()->actions().at(1)->trigger(); // "Кость"
        QCOMPARE(w->windowCenter(), 300.0);
        QCOMPARE(w->windowWidth(), 1500.0);
        QCOMPARE(w->volumeView()->renderParams().window.width, viewWidth);

        auto* slab = w->findChild<QDoubleSpinBox*>(QStringLiteral("slabThickness"));
        QVERIFY(slab);
        slab->setValue(3.0);
        QCOMPARE(w->slabThickness(), 3.0);
    }

    void obliquePlanesStayInsideTheBox()
    {
        fixtures::SeriesLayout layout;
        layout.rows = 16;
        layout.columns = 16;
        layout.slices = 8;
        std::unique_ptr<MprWindow> w(openBuilt(series(layout), 0, 0));
        const render::Volume& v = w->volume();
        QVERIFY(!v.isEmpty());
        // A width of 0 at construction takes the window from the value range.
        QCOMPARE(w->windowWidth(), std::max(v.maxValue - v.minValue, 1.0));

        w->rotateAxes(0, 30.0);
        QVERIFY(w->axesRotated());
        QCOMPARE(w->pane(0)->pixelSpacing(), w->obliquePixelSize());
        QCOMPARE(w->planeAxisU(0), QVector3D(1, 0, 0)); // the dragged plane keeps its axes
        // The coronal plane cuts the axial pane along a line turned by 30 degrees.
        const double a = *w->pane(0)->lineAAngle();
        QVERIFY2(std::abs(std::sin(2 * a) - std::sin(M_PI / 3)) < 1e-4, qPrintable(QString::number(a)));
        QCOMPARE(roiLabel(w->pane(0), 0, QRectF(1, 1, 4, 4)),
                 QStringLiteral("ROI-статистика недоступна при повёрнутых плоскостях"));

        for (int i = 0; i < 20; ++i) {
            w->onCoronalClicked(1.0, 0.0);
            w->onSagittalWheel(7);
        }
        QVector3D c = w->centrePoint();
        QVERIFY(c.x() >= 0 && c.x() <= v.nx * v.spacingX + 1e-4);
        QVERIFY(c.y() >= 0 && c.y() <= v.ny * v.spacingY + 1e-4);
        QVERIFY(c.z() >= 0 && c.z() <= v.nz * v.spacingZ + 1e-4);

        // Each notch of the axial slider is one step along the axial normal, however far it has gone.
        w->onAxialClicked(0.5, 0.5);
        c = w->centrePoint();
        const int notch = w->pane(0)->sliceBar()->value();
        for (int i = 1; i <= 3; ++i)
            w->pane(0)->sliceBar()->setValue(notch - i);
        const double step = std::min({v.spacingX, v.spacingY, v.spacingZ});
        QCOMPARE(w->centrePoint().z(), c.z() - float(3 * step)); // the axial normal is +z

        const auto before = w->crosshairIndices();
        w->resetRotation();
        QVERIFY(!w->axesRotated());
        QCOMPARE(w->crosshairIndices(), before);
        QVERIFY(roiLabel(w->pane(0), before[2], QRectF(1, 1, 4, 4)).startsWith(QStringLiteral("HU: ")));

        // The axes-grab tool from the toolbar menu: dragging the axial pane's horizontal line turns the planes.
        QAction* grab = nullptr;
        for (QAction* a : w->findChildren<QAction*>())
            if (a->text() == QStringLiteral("Захват осей"))
                grab = a;
        QVERIFY(grab);
        grab->trigger();
        QCOMPARE(w->pane(2)->measurementMode(), 8);
        MprViewportWidget* axial = w->pane(0);
        QWidget* vp = axial->graphicsView()->viewport();
        const QPoint at = axial->graphicsView()->mapFromScene(axial->pixmapItem()->boundingRect().center());
        auto send = [vp](QEvent::Type type, QPoint pos) {
            QMouseEvent e(type, QPointF(pos), vp->mapToGlobal(QPointF(pos)), Qt::LeftButton, Qt::LeftButton, {});
            QCoreApplication::sendEvent(vp, &e);
        };
        send(QEvent::MouseButtonPress, at + QPoint(60, 0));
        send(QEvent::MouseMove, at + QPoint(60, 20));
        send(QEvent::MouseButtonRelease, at + QPoint(60, 20));
        QVERIFY(w->axesRotated());
        QVERIFY(std::abs(w->planeAxisU(1).y()) > 0.2f); // the coronal plane turned about the axial normal
    }

    void coronalRoiUndoesTheSquarePixelScaling()
    {
        fixtures::SeriesLayout layout;
        layout.rows = 4;
        layout.columns = 4;
        layout.slices = 50;
        layout.rowSpacing = 1.0;
        layout.columnSpacing = 1.0;
        layout.sliceSpacing = 2.0;
        layout.sliceThickness = 2.0;
        std::unique_ptr<MprWindow> w(openBuilt(series(layout), 40, 400));
        const render::Volume& v = w->volume();
        QCOMPARE(v.nz, 50);
        const QString row0 = w->roiStatistics(1, 2, QRectF(0.5, -0.5, 1, 1));
        QCOMPARE(row0, QStringLiteral("HU: %1 ± 0.0\nMin: %1  Max: %1\nN=1").arg(render::voxelAt(v, 1, 2, 49), 0, 'f', 0));
        const QString row98 = w->roiStatistics(1, 2, QRectF(0.5, 97.5, 1, 1));
        QVERIFY(row98.contains(QString::number(render::voxelAt(v, 1, 2, 0), 'f', 0)));
        QCOMPARE(w->roiStatistics(1, 2, QRectF(0.5, 98.5, 1, 1)), QStringLiteral("ROI пуст"));
    }

    void failedBuildWarnsAndStaysUsable()
    {
        fixtures::ModalAnswer answer(QMessageBox::Ok);
        db::InstanceRecord missing;
        missing.filePath = m_dir.filePath(QStringLiteral("missing.dcm"));
        std::unique_ptr<MprWindow> w(openBuilt({missing}, 40, 400));
        QTRY_COMPARE_WITH_TIMEOUT(answer.count(), 1, 20000);
        QCOMPARE(answer.loopLevels(), QList<int>{0}); // not inside the build's end
        QCOMPARE(answer.titles().first(), QStringLiteral("MPR"));
        QVERIFY(answer.texts().first().startsWith(QStringLiteral("Не удалось построить объём для реконструкции:\n")));
        QCOMPARE(w->statusBar()->currentMessage(), QStringLiteral("Реконструкция не удалась"));
        QVERIFY(w->isEnabled());
        w->onAxialClicked(0.5, 0.5);
        w->rotateAxes(1, 10);
        QCOMPARE(w->roiStatistics(0, 0, QRectF(0, 0, 4, 4)), QStringLiteral("HU недоступно"));
    }

    // A series the even, patient-aligned volume cannot hold exactly keeps its warning in the status line.
    void geometryWarningsStayInSight_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<QString>("named"); // the numbers the warning must name; empty: no warning
        QTest::newRow("even steps") << "even" << "";
        QTest::newRow("one slice left out") << "gap" << "2.00 4.00";
        QTest::newRow("tilted 30 degrees") << "tilt" << "30°";
        // The table steps 2 mm along z under a gantry tilted 20 degrees: the sixth slice lies 3.42 mm
        // within its plane from where the volume puts it.
        QTest::newRow("tilted gantry") << "gantry"
                                       << "20° 3.42";
    }
    void geometryWarningsStayInSight()
    {
        QFETCH(QString, shape);
        QFETCH(QString, named);
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 12;
        layout.slices = 6;
        layout.sliceSpacing = 2.0;
        if (shape == "gap")
            layout.sliceOffset = [](int k) { return 2.0 * (k < 2 ? k : k + 1); };
        if (shape == "tilt") {
            layout.plane = fixtures::Plane::Oblique;
            layout.obliqueOrientation = {1, 0, 0, 0, std::cos(M_PI / 6), -std::sin(M_PI / 6)};
        }
        if (shape == "gantry") {
            layout.plane = fixtures::Plane::Oblique;
            layout.obliqueOrientation = {1, 0, 0, 0, 0.940, -0.342};
            const auto o = layout.origin;
            layout.sliceOrigin = [o](int k) { return std::array<double, 3>{o[0], o[1], o[2] + 2.0 * k}; };
        }
        std::unique_ptr<MprWindow> w(openBuilt(series(layout), 40, 400));
        QVERIFY(!w->isBuilding());
        QCOMPARE(w->volume().nz, 6);
        QVERIFY(w->statusBar()->currentMessage().startsWith(QStringLiteral("Объём: 12×12×6 вокселей")));
        const QLabel* warning = w->volumeWarning();
        QCOMPARE(warning->isVisible(), !named.isEmpty());
        // Passing status messages do not cover it.
        w->statusBar()->showMessage(QStringLiteral("x"));
        QCOMPARE(warning->isVisible(), !named.isEmpty());
        for (const QString& number : named.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            QVERIFY2(warning->text().contains(number), qPrintable(warning->text()));
    }

    // A vessel of 400 HU, 4 mm round its axis, in tissue of -100 HU. A 3 mm ellipse round the axis reads
    // the lumen alone, in a cross-section cell as in the MPR window; the corners of its rectangle do not.
    void lumenEllipseReadsTheSameInCellAndPane()
    {
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 48;
        layout.rowSpacing = layout.columnSpacing = 0.5;
        layout.slices = 30;
        layout.sliceSpacing = layout.sliceThickness = 1.0;
        layout.value = [](int x, int y, int) {
            return (x - 24) * (x - 24) + (y - 24) * (y - 24) <= 64 ? 1024 + 400 : 1024 - 100;
        };
        const auto rows = series(layout);
        const QList<double> lumenOnly{400, 0, 400, 400}; // mean, SD, minimum, maximum

        const render::FusionVolume volume = render::buildFusionVolume(rows, nullptr);
        const auto axisAt = [&](int k) {
            const auto p = fixtures::slicePosition(layout, k);
            return std::array<double, 3>{p[0] + 12, p[1] + 12, p[2]};
        };
        const auto curve = render::CurvedMprRenderer::render(volume, {axisAt(5), axisAt(25)}, 20, 0.5, 300, 700, 0, 0,
                                                             0, render::CurvedMprSlabNone, 0, false);
        CrossSectionPanel panel;
        panel.rebuild(volume, curve, 10, 20, 300, 700);
        MprViewportWidget* cell = panel.cells().value(10).view;
        QVERIFY(cell);
        const double c = (cell->pixmapItem()->pixmap().width() - 1) / 2.0, r = 3.0 / cell->pixelSpacing();
        QCOMPARE(fixtures::numbersIn(roiLabel(cell, 0, QRectF(c - r, c - r, 2 * r, 2 * r))), lumenOnly);

        std::unique_ptr<MprWindow> w(openBuilt(rows, 40, 400));
        const QList<double> pane = fixtures::numbersIn(roiLabel(w->pane(0), 15, QRectF(18, 18, 12, 12)));
        QCOMPARE(pane.mid(0, 4), lumenOnly);
    }

    void closingDuringTheBuild()
    {
        // Many rows of one small file: a build that is still running when the window goes. The
        // window raises the build's stop flag and waits for it; a running thread is never destroyed.
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 8;
        layout.slices = 1;
        const db::InstanceRecord one = series(layout).value(0);
        QList<db::InstanceRecord> many(20000, one);
        for (int k = 0; k < many.size(); ++k)
            many[k].sliceLocation = k;
        auto* w = new MprWindow(many, QStringLiteral("x"), nullptr, 40, 400);
        QPointer<QThread> build = w->findChild<QThread*>();
        QVERIFY(w->isBuilding() && build);
        const auto stop = w->buildStopFlag();
        QVERIFY(!*stop);
        delete w;
        QVERIFY(*stop); // the build was told to end early (the builder's own tests show that it does)
        QVERIFY(build.isNull() || build->isFinished());
    }

    void layoutsMaximiseAndSwap()
    {
        fixtures::SeriesLayout layout;
        layout.slices = 1;
        std::unique_ptr<MprWindow> w(openBuilt(series(layout), 40, 400));
        // A single slice keeps the crosshair at mid-height of the coronal and sagittal pictures.
        w->onCoronalClicked(0.3, 0.9);
        QCOMPARE(w->crosshairIndices()[2], 0);
        const QGraphicsLineItem* line = w->pane(1)->crosshairLineA();
        QCOMPARE(line->line().center().y(), w->pane(1)->pixmapItem()->boundingRect().height() / 2.0);

        QVERIFY(w->isThreePaneLayout());
        QVERIFY(!w->volumeView()->isVisible());
        auto* main = qobject_cast<QSplitter*>(w->pane(1)->parentWidget());
        QVERIFY(main);
        QCOMPARE(main->indexOf(w->pane(1)), 0);
        w->pane(0)->planeCombo()->setCurrentIndex(1); // the axial pane asks for the coronal plane
        QCOMPARE(main->indexOf(w->pane(0)), 0);
        QCOMPARE(w->pane(0)->plane(), MprPlane::Axial);

        w->toggleMaximized(w->pane(2));
        QVERIFY(w->pane(2)->isVisible());
        QVERIFY(!w->pane(0)->isVisible());
        // The layout button names the layout its click switches to.
        QAction* paneAction = nullptr;
        for (QAction* a : w->findChildren<QAction*>())
            if (a->text() == QStringLiteral("4 окна (с 3D)"))
                paneAction = a;
        QVERIFY(paneAction);
        paneAction->trigger();
        QVERIFY(!w->isThreePaneLayout());
        QCOMPARE(paneAction->text(), QStringLiteral("3 окна (без 3D)"));
        QVERIFY(!w->maximizedWidget());
        for (QWidget* cell : {static_cast<QWidget*>(w->pane(0)), static_cast<QWidget*>(w->pane(1)),
                              static_cast<QWidget*>(w->pane(2)), static_cast<QWidget*>(w->volumeView())})
            QVERIFY(cell->isVisible());
        w->toggleMaximized(w->volumeView());
        QVERIFY(!w->pane(1)->isVisible());
        w->toggleMaximized(w->volumeView());
        QVERIFY(w->pane(1)->isVisible());
        auto* top = qobject_cast<QSplitter*>(w->pane(0)->parentWidget());
        QVERIFY(top);
        QVERIFY(std::abs(top->sizes().at(0) - top->sizes().at(1)) <= 1);
        paneAction->trigger();
        QVERIFY(w->isThreePaneLayout());
        QCOMPARE(paneAction->text(), QStringLiteral("4 окна (с 3D)"));
    }
};

QTEST_MAIN(TestMprWindow)
#include "tst_mprwindow.moc"
