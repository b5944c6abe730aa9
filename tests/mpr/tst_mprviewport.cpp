// The reconstruction panel driven by real mouse, wheel and key events on its viewport.

#include "mpr/MprViewportWidget.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QGraphicsLineItem>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <memory>

namespace {

// A 400 x 400 picture in a 404 x 404 viewport is fitted at scale 1, so scene and view differ by a shift.
struct Panel
{
    std::unique_ptr<MprViewportWidget> w;
    QWidget* vp = nullptr;

    explicit Panel(MprPlane plane = MprPlane::Axial)
        : w(std::make_unique<MprViewportWidget>(plane, QStringLiteral("Axial")))
    {
        w->resize(422, 408);
        w->show();
        QImage image(400, 400, QImage::Format_Grayscale8);
        image.fill(90);
        w->setImage(image);
        vp = w->graphicsView()->viewport();
        w->resize(w->size() + QSize(404, 404) - vp->size());
        w->fitImageInView();
    }
    QPoint at(QPointF scene) const { return w->graphicsView()->mapFromScene(scene); }
    void send(QEvent::Type type, QPoint pos, Qt::MouseButton button = Qt::LeftButton,
              Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QMouseEvent e(type, QPointF(pos), vp->mapToGlobal(QPointF(pos)), button,
                      type == QEvent::MouseMove ? Qt::MouseButtons(button) : Qt::MouseButtons(button), mods);
        QCoreApplication::sendEvent(vp, &e);
    }
    void press(QPoint p, Qt::MouseButton b = Qt::LeftButton) { send(QEvent::MouseButtonPress, p, b); }
    void move(QPoint p) { send(QEvent::MouseMove, p); }
    void release(QPoint p, Qt::MouseButton b = Qt::LeftButton) { send(QEvent::MouseButtonRelease, p, b); }
    void dclick(QPoint p) { send(QEvent::MouseButtonDblClick, p); }
    void drag(QPointF a, QPointF b)
    {
        press(at(a));
        move(at((a + b) / 2));
        move(at(b));
        release(at(b));
    }
    void click(QPointF a)
    {
        press(at(a));
        release(at(a));
    }
    void wheel(QPoint delta, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QWheelEvent e(QPointF(200, 200), vp->mapToGlobal(QPointF(200, 200)), QPoint(), delta, Qt::NoButton, mods,
                      Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(vp, &e);
    }
    QString label(int i) const
    {
        const auto* l = w->measurements().at(i).label;
        return l ? l->text() : QString();
    }
};

} // namespace

class TestMprViewport : public QObject
{
    Q_OBJECT

private slots:
    void settersClampAndStaySilent();
    void planeChooserAsksForSwapOnce();
    void crosshairPressDragAndRelease();
    void rightPressBoundaryPansInsideZoomsOutside();
    void wheelStepsAndCtrlZoomSurvivesNewImage();
    void axesGrabWrapsAroundHalfTurn();
    void measurementTexts_data();
    void measurementTexts();
    void stenosisPairReportsPercent();
    void contoursCloseOrVanish();
    void exportImportAndSliceVisibility();
    void editingPicksHandlesLabelsAndShapes();
    void deleteSelectsPreviousAndModeChangeKeepsEditedMeasurement();
};

void TestMprViewport::settersClampAndStaySilent()
{
    Panel p;
    QSignalSpy requested(p.w.get(), &MprViewportWidget::sliceIndexRequested);
    for (int count : {0, 1}) {
        p.w->setSliceCount(count);
        QCOMPARE(p.w->sliceBar()->maximum(), 0);
    }
    p.w->setSliceCount(20);
    p.w->setSliderValue(7);
    QCOMPARE(requested.count(), 0);
    p.w->sliceBar()->setValue(9);
    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.at(0).at(0).toInt(), 9);
    QCOMPARE(p.w->sliceIndex(), 0); // the owner answers with setSliceIndex
    for (double bad : {0.0, -2.0, std::nan("")}) {
        p.w->setPixelSpacing(bad);
        QCOMPARE(p.w->pixelSpacing(), 1.0);
    }
}

void TestMprViewport::planeChooserAsksForSwapOnce()
{
    Panel p(MprPlane::Axial);
    p.w->setPlaneSelectorVisible(true);
    QVERIFY(p.w->planeCombo()->isVisible());
    QVERIFY(!p.w->captionLabel()->isVisible());
    QSignalSpy swap(p.w.get(), &MprViewportWidget::planeSwapRequested);
    p.w->planeCombo()->setCurrentIndex(2);
    QCOMPARE(swap.count(), 1);
    QCOMPARE(swap.at(0).at(0).value<MprPlane>(), MprPlane::Sagittal);
    QCOMPARE(p.w->planeCombo()->currentText(), QStringLiteral("Аксиальная"));
}

void TestMprViewport::crosshairPressDragAndRelease()
{
    Panel p;
    QCOMPARE(p.w->graphicsView()->transform().m11(), 1.0);
    QSignalSpy clicked(p.w.get(), &MprViewportWidget::positionClicked);
    QSignalSpy finished(p.w.get(), &MprViewportWidget::crosshairDragFinished);
    p.w->setMeasurementMode(0);
    p.press(p.at(QPointF(-30, 100))); // left of the picture: clamped to its edge
    QCOMPARE(clicked.last().at(0).toDouble(), 0.0);
    QCOMPARE(clicked.last().at(1).toDouble(), 0.25);
    p.move(p.at(QPointF(300, 200)));
    QCOMPARE(clicked.last().at(0).toDouble(), 0.75);
    p.release(p.at(QPointF(300, 200)));
    QCOMPARE(finished.count(), 1);

    // Ruler mode: a press near the solid crosshair centre moves the crosshair, farther out it measures.
    p.w->setMeasurementMode(4);
    p.w->setCrosshairLineA(QPointF(0.5, 0.5), 0.0, Qt::green, false);
    p.w->setCrosshairLineB(QPointF(0.5, 0.5), M_PI / 2, Qt::green, false);
    const QPoint centre = p.at(QPointF(200, 200));
    clicked.clear();
    p.press(centre + QPoint(6, 8)); // 10 px away
    p.move(centre + QPoint(40, 8));
    p.release(centre + QPoint(40, 8));
    QCOMPARE(clicked.count(), 2);
    QVERIFY(p.w->measurements().isEmpty());
    p.press(centre + QPoint(9, 12)); // 15 px away
    p.move(centre + QPoint(60, 12));
    p.release(centre + QPoint(60, 12));
    QCOMPARE(clicked.count(), 2);
    QCOMPARE(p.w->measurements().size(), 1);

    // Without a picture the drag still starts and ends, silently.
    MprViewportWidget empty(MprPlane::Coronal, QStringLiteral("Coronal"));
    QSignalSpy emptyClicked(&empty, &MprViewportWidget::positionClicked);
    QSignalSpy emptyFinished(&empty, &MprViewportWidget::crosshairDragFinished);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton, {});
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, {}, {});
    QCoreApplication::sendEvent(empty.graphicsView()->viewport(), &press);
    QCoreApplication::sendEvent(empty.graphicsView()->viewport(), &release);
    QCOMPARE(emptyClicked.count(), 0);
    QCOMPARE(emptyFinished.count(), 1);
    empty.setCrosshairLineA(std::nullopt, 0.0, Qt::green, false);
    QVERIFY(!empty.crosshairLineA()->isVisible());
}

void TestMprViewport::rightPressBoundaryPansInsideZoomsOutside()
{
    Panel p;
    const int w = p.vp->width();
    const int qx = int(w * 0.25);
    p.press(QPoint(qx, 200), Qt::RightButton);
    p.move(QPoint(qx, 150));
    QVERIFY(!p.w->isUserZoomed());
    p.release(QPoint(qx, 150), Qt::RightButton);
    p.press(QPoint(qx - 1, 200), Qt::RightButton);
    p.move(QPoint(qx - 1, 150));
    QVERIFY(p.w->isUserZoomed());
    QVERIFY(p.w->graphicsView()->transform().m11() > 1.5);
    p.release(QPoint(qx - 1, 150), Qt::RightButton);
}

void TestMprViewport::wheelStepsAndCtrlZoomSurvivesNewImage()
{
    Panel p;
    QSignalSpy steps(p.w.get(), &MprViewportWidget::wheelStepped);
    p.wheel(QPoint(0, 120));
    p.wheel(QPoint(0, -120));
    p.wheel(QPoint(120, 0));
    QCOMPARE(steps.count(), 3);
    QCOMPARE(steps.at(0).at(0).toInt(), -1);
    QCOMPARE(steps.at(1).at(0).toInt(), 1);
    QCOMPARE(steps.at(2).at(0).toInt(), 1);
    p.wheel(QPoint(0, 120), Qt::ControlModifier);
    QCOMPARE(p.w->graphicsView()->transform().m11(), 1.15);
    QImage other(400, 400, QImage::Format_Grayscale8);
    other.fill(10);
    p.w->setImage(other);
    QCOMPARE(p.w->graphicsView()->transform().m11(), 1.15);
    p.w->fitImageInView();
    p.w->setImage(other);
    QCOMPARE(p.w->graphicsView()->transform().m11(), 1.0);
}

void TestMprViewport::axesGrabWrapsAroundHalfTurn()
{
    Panel p;
    p.w->setMeasurementMode(8);
    p.w->setCrosshairLineA(QPointF(0.5, 0.5), 0.0, Qt::green, false);
    QSignalSpy rotate(p.w.get(), &MprViewportWidget::axesRotateDelta);
    p.press(p.at(QPointF(20, 198))); // on the horizontal line, left of the centre: angle just below +180
    p.move(p.at(QPointF(20, 202)));  // just past it: about -180
    p.release(p.at(QPointF(20, 202)));
    QCOMPARE(rotate.count(), 1);
    const double delta = rotate.at(0).at(0).toDouble();
    QVERIFY2(delta < 0.0 && delta > -5.0, qPrintable(QString::number(delta)));
    // A press far from both lines grabs nothing.
    p.w->setCrosshairLineA(QPointF(0.5, 0.5), 0.0, Qt::green, false);
    p.press(p.at(QPointF(50, 50)));
    p.move(p.at(QPointF(60, 40)));
    QCOMPARE(rotate.count(), 1);
}

void TestMprViewport::measurementTexts_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<double>("spacing");
    QTest::addColumn<QList<QPointF>>("points"); // drag ends; an angle has a second drag from points[2]
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("doubled"); // the same measurement once the spacing has doubled
    QTest::newRow("ruler at 0.5 mm") << 4 << 0.5 << QList<QPointF>{{50, 100}, {150, 100}} << "50.0 мм"
                                     << "100.0 мм";
    QTest::newRow("ellipse r=10") << 14 << 1.0 << QList<QPointF>{{100, 100}, {120, 120}}
                                  << "S=314.2 мм²  P=62.8 мм" << "S=1256.6 мм²  P=125.7 мм";
    QTest::newRow("angle 45") << 6 << 1.0 << QList<QPointF>{{100, 100}, {200, 100}, {200, 200}} << "45.0°"
                              << "45.0°";
    QTest::newRow("angle swapped") << 6 << 1.0 << QList<QPointF>{{100, 100}, {200, 200}, {200, 100}} << "45.0°"
                                   << "45.0°";
    QTest::newRow("diameter stays vertical") << 5 << 1.0 << QList<QPointF>{{100, 100}, {140, 130}}
                                             << "Диаметр: 30.0 мм" << "Диаметр: 60.0 мм";
    QTest::newRow("roi without provider") << 7 << 1.0 << QList<QPointF>{{100, 100}, {140, 130}} << "HU недоступно"
                                          << "HU недоступно";
}

void TestMprViewport::measurementTexts()
{
    QFETCH(int, mode);
    QFETCH(double, spacing);
    QFETCH(QList<QPointF>, points);
    QFETCH(QString, text);
    QFETCH(QString, doubled);
    Panel p;
    p.w->setPixelSpacing(spacing);
    p.w->setMeasurementMode(mode);
    p.drag(points.at(0), points.at(1));
    if (mode == 6) {
        p.press(p.at(points.at(2)));
        p.release(p.at(points.at(2)));
    }
    QCOMPARE(p.w->measurements().size(), 1);
    QCOMPARE(p.label(0), text);
    QCOMPARE(p.w->selectedMeasurementIndex(), 0);
    QCOMPARE(p.w->activeMeasurementIndex(), -1);
    if (mode == 5)
        QCOMPARE(p.w->measurements().at(0).points.at(1), QPointF(100, 130));
    // A click without a drag makes nothing.
    p.click(QPointF(300, 300));
    QCOMPARE(p.w->measurements().size(), 1);
    p.w->setPixelSpacing(2 * spacing);
    QCOMPARE(p.label(0), doubled);
}

void TestMprViewport::stenosisPairReportsPercent()
{
    Panel p;
    p.w->setPixelSpacing(0.5);
    p.w->setMeasurementMode(15);
    QSignalSpy result(p.w.get(), &MprViewportWidget::stenosisResultChanged);
    p.drag({100, 100}, {100, 116});
    QCOMPARE(result.last().at(0).toString(), QStringLiteral("Весь сосуд: 8.0 мм — теперь измерьте остаточный просвет"));
    p.drag({300, 50}, {300, 54});
    QCOMPARE(result.last().at(0).toString(), QStringLiteral("Весь сосуд: 8.0 мм  Просвет: 2.0 мм  Стеноз: 75%"));
    QCOMPARE(p.label(1), QStringLiteral("Просвет: 2.0 мм  Стеноз: 75%"));
    p.w->setPixelSpacing(0.25); // the same pixels measured again: the percent stays
    QCOMPARE(p.label(0) + " / " + p.label(1), QStringLiteral("Весь сосуд: 4.0 мм / Просвет: 1.0 мм  Стеноз: 75%"));
    p.w->setPixelSpacing(0.5);
    p.drag({100, 200}, {100, 208});
    p.drag({300, 250}, {300, 290}); // lumen larger than the vessel
    QCOMPARE(result.last().at(0).toString(), QStringLiteral("Весь сосуд: 4.0 мм  Просвет: 20.0 мм  Стеноз: 0%"));

    // Area stenosis with hidden labels: squares of 20 x 20 and 10 x 10 pixels.
    p.w->setStenosisLabelsHidden(true);
    p.w->setMeasurementMode(16);
    for (const QList<QPointF>& square : {QList<QPointF>{{10, 10}, {30, 10}, {30, 30}, {10, 30}},
                                         QList<QPointF>{{50, 50}, {60, 50}, {60, 60}, {50, 60}}}) {
        for (int i = 0; i + 1 < square.size(); ++i)
            p.click(square.at(i));
        p.press(p.at(square.last()));
        p.release(p.at(square.last()));
        p.dclick(p.at(square.last()));
    }
    QCOMPARE(result.last().at(0).toString(),
             QStringLiteral("Весь сосуд: S=100.0 мм²  Просвет: S=25.0 мм²  Стеноз: 75%"));
    QVERIFY(!p.w->measurements().last().label->isVisible());
}

void TestMprViewport::contoursCloseOrVanish()
{
    Panel p;
    QSignalSpy removed(p.w.get(), &MprViewportWidget::measurementRemoved);
    p.w->setMeasurementMode(12);
    p.click({100, 100});
    p.press(p.at(QPointF(200, 100)));
    p.release(p.at(QPointF(200, 100)));
    p.dclick(p.at(QPointF(200, 100)));
    QCOMPARE(removed.count(), 1);
    QVERIFY(p.w->measurements().isEmpty());
    QVERIFY(!p.w->isContourOpen());

    p.click({100, 100});
    p.click({200, 100});
    p.press(p.at(QPointF(200, 200)));
    p.release(p.at(QPointF(200, 200)));
    p.dclick(p.at(QPointF(200, 200)));
    QCOMPARE(p.label(0), QStringLiteral("S=5000.0 мм²  P=341.4 мм"));
    p.w->setMeasurementMode(4);
    p.drag({10, 10}, {30, 10});
    p.drag({10, 30}, {30, 30});
    removed.clear();
    p.w->clearMeasurements();
    QCOMPARE(removed.count(), 3);
    QCOMPARE(removed.at(0).at(0).toInt(), 2);
    QCOMPARE(removed.at(2).at(0).toInt(), 0);
    p.w->setMeasurementMode(12);
    p.click({50, 50});
    QVERIFY(p.w->isContourOpen());
}

void TestMprViewport::exportImportAndSliceVisibility()
{
    Panel p;
    p.w->setMeasurementMode(4);
    p.drag({10, 10}, {60, 10});
    p.w->setMeasurementMode(12);
    for (QPointF q : {QPointF(100, 100), QPointF(150, 100)})
        p.click(q);
    p.press(p.at(QPointF(150, 150)));
    p.release(p.at(QPointF(150, 150)));
    p.dclick(p.at(QPointF(150, 150)));
    p.w->setMeasurementMode(7);
    p.drag({200, 200}, {240, 230});
    const QList<MprMeasurementRecord> records = p.w->exportMeasurements();
    QCOMPARE(records.size(), 2);
    QCOMPARE(records.at(0).kind, 4);
    QCOMPARE(records.at(1).kind, 7);

    Panel q;
    QList<int> providerIndices;
    q.w->setRoiStatsProvider([&](int slice, QRectF rect, int index) {
        providerIndices.append(index);
        return QStringLiteral("HU %1 %2x%3").arg(slice).arg(rect.width()).arg(rect.height());
    });
    QList<MprMeasurementRecord> input = records;
    input.append({12, 0, {{1, 1}, {5, 1}, {5, 5}}, {}});           // contour: not storable
    input.append({6, 0, {{1, 1}, {5, 1}}, {}});                    // angle with two points
    input.append({4, 0, {{1, 1}, {std::nan(""), 3}}, {}});         // cannot be drawn
    input.append({11, 0, {{1, 1}, {3e9, 3}}, {}});
    input.append({7, 3, {{240, 230}, {200, 200}}, {5, 5}});        // ROI on another slice
    QSignalSpy removed(q.w.get(), &MprViewportWidget::measurementRemoved);
    q.w->importMeasurements(input);
    QCOMPARE(q.w->measurements().size(), 3);
    QCOMPARE(removed.count(), 0);
    QCOMPARE(q.w->selectedMeasurementIndex(), -1);
    QCOMPARE(providerIndices, (QList<int>{1, 2}));
    QCOMPARE(q.label(2), QStringLiteral("HU 3 40x30"));
    QCOMPARE(q.w->measurements().at(1).colour, QColor(0, 200, 255));
    QVERIFY(!q.w->measurements().at(2).items.first()->isVisible());
    q.w->setSliceIndex(3);
    QVERIFY(q.w->measurements().at(2).items.first()->isVisible());
    QVERIFY(!q.w->measurements().at(0).items.first()->isVisible());
    QCOMPARE(q.w->exportMeasurements().at(2).labelOffset, QPointF(5, 5));
}

void TestMprViewport::editingPicksHandlesLabelsAndShapes()
{
    Panel p;
    int providerCalls = 0;
    p.w->setRoiStatsProvider([&](int, QRectF, int) { return QStringLiteral("HU %1").arg(++providerCalls); });
    p.w->setMeasurementMode(4);
    p.drag({100, 300}, {300, 300});
    p.drag({120, 240}, {120, 310});
    p.click({350, 50}); // deselects
    QCOMPARE(p.w->selectedMeasurementIndex(), -1);
    p.click({120, 300}); // both rulers pass here: the older one wins
    QCOMPARE(p.w->selectedMeasurementIndex(), 0);

    p.w->setMeasurementMode(7);
    p.drag({20, 20}, {80, 80}); // 2: ROI
    QCOMPARE(p.label(2), QStringLiteral("HU 1"));
    // A press inside the ROI (not on its outline) grabs it; a 3-pixel move does not move it.
    p.w->setMeasurementMode(4);
    p.press(p.at(QPointF(50, 60)));
    p.move(p.at(QPointF(52, 61)));
    p.release(p.at(QPointF(52, 61)));
    QCOMPARE(p.w->selectedMeasurementIndex(), 2);
    QCOMPARE(p.w->measurements().at(2).points.at(0), QPointF(20, 20));
    // A body drag moves it and asks the provider again.
    p.drag({50, 60}, {60, 70});
    QCOMPARE(p.w->measurements().at(2).points.at(0), QPointF(30, 30));
    QCOMPARE(p.label(2), QStringLiteral("HU 2"));

    // Handles of the selection: 10 px (Manhattan) grabs, 11 px does not (it starts a new ruler).
    const QPoint handle = p.at(QPointF(90, 90));
    p.press(handle + QPoint(6, 4));
    p.move(handle + QPoint(20, 20));
    p.release(handle + QPoint(20, 20));
    QCOMPARE(p.w->measurements().at(2).points.at(1), QPointF(110, 110));
    QCOMPARE(p.label(2), QStringLiteral("HU 3"));
    const QPoint handle2 = p.at(QPointF(110, 110));
    p.press(handle2 + QPoint(7, 4));
    p.move(handle2 + QPoint(30, 30));
    p.release(handle2 + QPoint(30, 30));
    QCOMPARE(p.w->measurements().at(2).points.at(1), QPointF(110, 110));
    QCOMPARE(p.w->measurements().size(), 4);

    // Vessel-diameter handle drags keep the segment across the horizontal centreline.
    p.w->setMeasurementMode(5);
    p.drag({300, 100}, {300, 150});
    const int d = int(p.w->measurements().size()) - 1;
    p.press(p.at(QPointF(300, 150)));
    p.move(p.at(QPointF(330, 170)));
    p.release(p.at(QPointF(330, 170)));
    QCOMPARE(p.w->measurements().at(d).points.at(1), QPointF(300, 170));

    // A press inside a polygon, away from its edges and label, grabs nothing.
    p.w->setMeasurementMode(12);
    for (QPointF q : {QPointF(150, 150), QPointF(250, 150)})
        p.click(q);
    p.press(p.at(QPointF(250, 250)));
    p.release(p.at(QPointF(250, 250)));
    p.dclick(p.at(QPointF(250, 250)));
    p.w->setMeasurementMode(4);
    p.click({235, 170});
    QCOMPARE(p.w->selectedMeasurementIndex(), -1);
}

void TestMprViewport::deleteSelectsPreviousAndModeChangeKeepsEditedMeasurement()
{
    Panel p;
    p.w->setMeasurementMode(4);
    for (int y : {50, 150, 250})
        p.drag({50, double(y)}, {150, double(y)});
    QCOMPARE(p.w->selectedMeasurementIndex(), 2);
    QSignalSpy removed(p.w.get(), &MprViewportWidget::measurementRemoved);
    QTest::keyClick(p.w.get(), Qt::Key_Delete);
    QCOMPARE(removed.last().at(0).toInt(), 2);
    QCOMPARE(p.w->selectedMeasurementIndex(), 1);
    p.click({100, 50}); // selects 0 by its shape
    QCOMPARE(p.w->selectedMeasurementIndex(), 0);
    QTest::keyClick(p.w.get(), Qt::Key_Backspace);
    QCOMPARE(p.w->selectedMeasurementIndex(), -1);
    QCOMPARE(p.w->measurements().size(), 1);

    // Changing the tool in the middle of a handle drag leaves the finished measurement in place.
    p.click({100, 150});
    p.press(p.at(QPointF(150, 150)));
    p.move(p.at(QPointF(170, 170)));
    p.w->setMeasurementMode(6);
    p.release(p.at(QPointF(170, 170)));
    QCOMPARE(p.w->measurements().size(), 1);
    // An angle waiting for its second arm is abandoned by a mode change.
    p.drag({300, 300}, {350, 300});
    QCOMPARE(p.w->measurements().size(), 2);
    p.w->setMeasurementMode(4);
    QCOMPARE(p.w->measurements().size(), 1);
}

QTEST_MAIN(TestMprViewport)
#include "tst_mprviewport.moc"
