// Mouse tools of the viewing panel, driven by mouse and wheel events on the view's viewport: navigation
// drags, creation of every kind of measurement, handle and label drags, hit testing under zoom, rotation
// and flips, the picks of curved MPR, vessel tracking and the lumen trace, and the refusals over a
// reconstruction plane.

#include "PanelTestSupport.h"

#include "support/ModalAnswer.h"

#include <dcmtk/dcmdata/dctk.h>

#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

#include <cmath>

using namespace paneltest;
using Measurement = ImageViewportWidget::Measurement;
using Point3 = std::array<double, 3>;

namespace {

// A view at scale s (plus the given rotation and flips) with scene point (0, 0) at viewport pixel (50, 40).
void setViewTransform(ImageViewportWidget& panel, double s, int rotation = 0, bool flipX = false)
{
    QGraphicsView* view = panel.graphicsView();
    QTransform t;
    t.rotate(rotation);
    t.scale(flipX ? -s : s, s);
    view->setTransform(t);
    const QPoint origin = view->mapFromScene(QPointF(0, 0));
    view->horizontalScrollBar()->setValue(view->horizontalScrollBar()->value() + origin.x() - 50);
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->value() + origin.y() - 40);
}

QPointF scenePos(const ImageViewportWidget& panel, QPoint viewportPos)
{
    return panel.graphicsView()->mapToScene(viewportPos);
}

QLabel* labelContaining(const ImageViewportWidget& panel, const QString& part)
{
    for (QLabel* label : panel.graphicsView()->findChildren<QLabel*>())
        if (label->text().contains(part))
            return label;
    return nullptr;
}

bool samePoint(const Point3& a, const Point3& b)
{
    return std::abs(a[0] - b[0]) < 1e-6 && std::abs(a[1] - b[1]) < 1e-6 && std::abs(a[2] - b[2]) < 1e-6;
}

// Answers the comment dialog with a text typed into it, or cancels it when the text is null.
std::unique_ptr<fixtures::ModalAnswer> answerComment(const QString& text)
{
    auto answer = std::make_unique<fixtures::ModalAnswer>(
        QMessageBox::Yes, text.isNull() ? QDialog::Rejected : QDialog::Accepted);
    answer->setDialogHandler([text](QDialog* dialog) {
        if (!text.isNull())
            dialog->findChild<QLineEdit*>()->setText(text);
        return true;
    });
    return answer;
}

int markerCount(const ImageViewportWidget& panel, const QColor& colour)
{
    int n = 0;
    for (QGraphicsItem* item : panel.graphicsScene()->items())
        if (auto* ellipse = qgraphicsitem_cast<QGraphicsEllipseItem*>(item))
            if (ellipse->zValue() == 1000 && ellipse->brush().color() == colour && ellipse->isVisible())
                ++n;
    return n;
}

} // namespace

class TestMouseTools : public QObject
{
    Q_OBJECT

    std::unique_ptr<SeriesStore> m_store;
    fixtures::SeriesLayout m_layout;
    QList<db::InstanceRecord> m_rows;
    QList<db::InstanceRecord> m_flatRows; // no position or orientation
    SeriesOverlayInfo m_info;

    std::unique_ptr<ImageViewportWidget> shownPanel(double scale = 4.0)
    {
        auto panel = makePanel();
        panel->showSeries(m_rows, m_info);
        setViewTransform(*panel, scale);
        return panel;
    }

    // Patient position of image point p on slice k of the fixture, worked out from the written geometry.
    Point3 patientOf(QPointF p, int k) const
    {
        const Point3 origin = fixtures::slicePosition(m_layout, k);
        const auto o = fixtures::orientationOf(m_layout);
        Point3 out{};
        for (int i = 0; i < 3; ++i)
            out[i] = origin[i] + p.x() * m_layout.columnSpacing * o[i] + p.y() * m_layout.rowSpacing * o[3 + i];
        return out;
    }

private slots:
    void initTestCase()
    {
        m_store = std::make_unique<SeriesStore>();
        QVERIFY(m_store->isOpen());
        m_layout = spacedLayout(64, 5, 0.7, 0.8);
        m_layout.plane = fixtures::Plane::Oblique;
        fixtures::completeUids(m_layout);
        m_rows = m_store->index(m_layout, &m_info);
        QCOMPARE(m_rows.size(), 5);
        fixtures::SeriesLayout flat = spacedLayout(64, 2, 0.7, 0.8);
        flat.writeGeometry = false;
        m_flatRows = m_store->index(flat);
        QCOMPARE(m_flatRows.size(), 2);
    }

    void cleanupTestCase() { m_store.reset(); }

    void creationNeedsFourPixels()
    {
        auto panel = shownPanel();
        panel->setMeasurementMode(3);
        const QPoint from(120, 120);
        drag(*panel, from, from + QPoint(2, 1));
        QVERIFY(panel->measurements().isEmpty());
        drag(*panel, from, from + QPoint(3, 1));
        QCOMPARE(panel->measurements().size(), 1);
        const Measurement& m = panel->measurements().first();
        QCOMPARE(m.kind, 3);
        QCOMPARE(m.sliceIndex, 0);
        QCOMPARE(m.points.first(), scenePos(*panel, from));
        QCOMPARE(m.points.last(), scenePos(*panel, from + QPoint(3, 1)));
        QCOMPARE(panel->selectedMeasurement, 0);
        QCOMPARE(panel->activeMeasurement, -1);
    }

    void rightButtonMenuPanAndZoom()
    {
        auto panel = shownPanel();
        QSignalSpy menu(panel.get(), &ImageViewportWidget::seriesMenuRequested);
        QWidget* viewport = panel->graphicsView()->viewport();
        const QPoint centre = viewport->rect().center();

        click(*panel, centre + QPoint(3, 0), Qt::RightButton);
        QCOMPARE(menu.count(), 1);
        QCOMPARE(menu.first().first().toPoint(), viewport->mapToGlobal(centre + QPoint(3, 0)));

        // From the centre a right drag pans: the image follows the mouse.
        const QPointF before = scenePos(*panel, centre);
        drag(*panel, centre, centre + QPoint(30, 20), Qt::RightButton);
        QCOMPARE(scenePos(*panel, centre + QPoint(30, 20)), before);
        QCOMPARE(menu.count(), 1);
        QCOMPARE(panel->graphicsView()->transform().m11(), 4.0);

        // From the outer band it zooms: 1.01 per pixel upwards.
        const QPoint edge(5, viewport->height() / 2);
        drag(*panel, edge, edge - QPoint(0, 20), Qt::RightButton);
        QVERIFY(std::abs(panel->graphicsView()->transform().m11() - 4.0 * std::pow(1.01, 20)) < 1e-9);
        QVERIFY(panel->isUserZoomed());
        QCOMPARE(menu.count(), 1);
        QVERIFY(panel->measurements().isEmpty());
    }

    void middleDragSetsTheWindowInEveryMode_data()
    {
        QTest::addColumn<int>("mode");
        for (int mode = 0; mode <= 18; ++mode)
            QTest::addRow("mode %d", mode) << mode;
    }

    void middleDragSetsTheWindowInEveryMode()
    {
        QFETCH(int, mode);
        auto panel = shownPanel();
        panel->setMeasurementMode(mode);
        const double width = panel->windowWidth();
        const double centre = panel->windowCenter();
        drag(*panel, QPoint(100, 100), QPoint(110, 105), Qt::MiddleButton);
        QCOMPARE(panel->windowWidth(), width + 20.0);
        QCOMPARE(panel->windowCenter(), centre + 10.0);
        QVERIFY(panel->hasUserWindow());
        drag(*panel, QPoint(300, 100), QPoint(10, 100), Qt::MiddleButton);
        QCOMPARE(panel->windowWidth(), 1.0);
        QVERIFY(panel->measurements().isEmpty());
    }

    void leftDragWindowTool()
    {
        auto panel = shownPanel();
        panel->setMeasurementMode(2);
        const double width = panel->windowWidth();
        drag(*panel, QPoint(100, 100), QPoint(90, 100));
        QCOMPARE(panel->windowWidth(), width - 20.0);
        QVERIFY(panel->measurements().isEmpty());
    }

    void wheelStepsAndZooms()
    {
        auto panel = shownPanel();
        panel->showSlice(2);
        sendWheel(*panel, 120);
        QCOMPARE(panel->currentSliceIndex(), 1);
        sendWheel(*panel, -120);
        sendWheel(*panel, -120);
        QCOMPARE(panel->currentSliceIndex(), 3);

        const double before = panel->graphicsView()->transform().m11();
        sendWheel(*panel, 120, Qt::ControlModifier);
        QVERIFY(std::abs(panel->graphicsView()->transform().m11() - before * 1.15) < 1e-9);
        sendWheel(*panel, -120, Qt::ControlModifier);
        sendWheel(*panel, -120, Qt::ControlModifier);
        QVERIFY(std::abs(panel->graphicsView()->transform().m11() - before / 1.15) < 1e-9);
        QCOMPARE(panel->currentSliceIndex(), 3);
    }

    void scrollToolAndSeriesStepping()
    {
        auto panel = shownPanel();
        panel->setMeasurementMode(15);
        QSignalSpy steps(panel.get(), &ImageViewportWidget::seriesStepRequested);
        drag(*panel, QPoint(100, 100), QPoint(100, 130));
        QCOMPARE(panel->currentSliceIndex(), 2);
        drag(*panel, QPoint(100, 100), QPoint(100, 86));
        QCOMPARE(panel->currentSliceIndex(), 2);
        QCOMPARE(steps.count(), 0);

        panel->setWheelStepsSeries(true);
        drag(*panel, QPoint(100, 130), QPoint(100, 100));
        QCOMPARE(steps.count(), 2);
        QCOMPARE(steps.at(0).first().toInt(), -1);
        sendWheel(*panel, -120);
        QCOMPARE(steps.count(), 3);
        QCOMPARE(steps.at(2).first().toInt(), 1);
        QCOMPARE(panel->currentSliceIndex(), 2);
    }

    void zoomToolAndPanDoubleClick()
    {
        auto panel = shownPanel();
        panel->setMeasurementMode(1);
        drag(*panel, QPoint(100, 100), QPoint(100, 90));
        QVERIFY(std::abs(panel->graphicsView()->transform().m11() - 4.0 * std::pow(1.01, 10)) < 1e-9);
        panel->setMeasurementMode(0);
        QCOMPARE(panel->graphicsView()->dragMode(), QGraphicsView::ScrollHandDrag);
        doubleClick(*panel, QPoint(100, 100));
        QVERIFY(!panel->isUserZoomed());
        const QRect image = panel->graphicsView()->mapFromScene(QRectF(0, 0, 64, 64)).boundingRect();
        QVERIFY(image.width() <= panel->graphicsView()->viewport()->width());
        QVERIFY(image.height() > panel->graphicsView()->viewport()->height() * 0.95);
        panel->setMeasurementMode(3);
        QCOMPARE(panel->graphicsView()->dragMode(), QGraphicsView::NoDrag);
    }

    // Every creating tool, gesture by gesture.
    void dragTools_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<int>("handles");
        QTest::newRow("ruler") << 3 << QColor(255, 210, 0) << 2;
        QTest::newRow("ellipse area") << 13 << QColor(190, 140, 255) << 2;
        QTest::newRow("draw") << 7 << QColor(255, 140, 220) << 0;
    }

    void dragTools()
    {
        QFETCH(int, mode);
        QFETCH(QColor, colour);
        QFETCH(int, handles);
        auto panel = shownPanel();
        panel->showSlice(3);
        panel->setMeasurementMode(mode);
        const QPoint a(80, 80);
        const QPoint b(160, 120);
        drag(*panel, a, b);
        QCOMPARE(panel->measurements().size(), 1);
        const Measurement& m = panel->measurements().first();
        QCOMPARE(m.kind, mode);
        QCOMPARE(m.sliceIndex, 3);
        QCOMPARE(m.colour, colour);
        QCOMPARE(m.handles.size(), handles);
        QCOMPARE(m.points.first(), scenePos(*panel, a));
        QCOMPARE(m.points.last(), scenePos(*panel, b));
        const QPointF d = scenePos(*panel, b) - scenePos(*panel, a);
        if (mode == 3)
            QCOMPARE(m.label->text(), QStringLiteral("%1 мм").arg(std::hypot(d.x() * 0.7, d.y() * 0.8), 0, 'f', 1));
        if (mode == 7) {
            // The press point, the first move (where the drawing starts), the next move and the release.
            QCOMPARE(m.points.size(), 4);
            QVERIFY(!m.label);
        }
        if (mode == 13)
            QVERIFY(m.label->text().startsWith(QStringLiteral("S=")));
        QCOMPARE(panel->selectedMeasurement, 0);
    }

    void ellipseRoiAndFreehandRoi()
    {
        auto panel = shownPanel();
        panel->setMeasurementMode(5);
        press(*panel, QPoint(80, 80));
        move(*panel, QPoint(100, 100));
        QCOMPARE(panel->measurements().first().label->text(), QStringLiteral("отпустите для расчёта HU…"));
        move(*panel, QPoint(120, 120));
        release(*panel, QPoint(120, 120));
        QCOMPARE(panel->measurements().size(), 1);
        const Measurement roi = panel->measurements().first();
        QCOMPARE(roi.kind, 5);
        QCOMPARE(roi.colour, QColor(0, 200, 255));
        QVERIFY2(roi.label->text().startsWith(QStringLiteral("Mean ")), qPrintable(roi.label->text()));

        panel->setMeasurementMode(8);
        press(*panel, QPoint(200, 200));
        move(*panel, QPoint(240, 210));
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(panel->measurements().at(1).label->text(), QStringLiteral("отпустите для расчёта HU…"));
        move(*panel, QPoint(230, 250));
        release(*panel, QPoint(200, 240));
        const Measurement& outline = panel->measurements().at(1);
        QCOMPARE(outline.kind, 8);
        QCOMPARE(outline.points.size(), 4);
        QVERIFY2(outline.label->text().startsWith(QStringLiteral("Mean ")), qPrintable(outline.label->text()));
        QCOMPARE(qgraphicsitem_cast<QGraphicsPathItem*>(outline.items.first())->brush().color().alpha(), 40);
    }

    void angleAndCobbByTwoDrags_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("angle") << 4;
        QTest::newRow("cobb") << 14;
    }

    void angleAndCobbByTwoDrags()
    {
        QFETCH(int, mode);
        auto panel = shownPanel(1.0);
        panel->setMeasurementMode(mode);
        drag(*panel, QPoint(100, 100), QPoint(200, 100));
        QVERIFY(panel->isSecondPhase());
        QCOMPARE(panel->activeMeasurement, 0);

        // A click without a drag does not give the second arm: the measurement keeps waiting.
        click(*panel, QPoint(150, 250));
        QVERIFY(panel->isSecondPhase());
        QCOMPARE(panel->measurements().first().points.size(), 2);

        // The second drag may start on the first arm itself.
        drag(*panel, QPoint(150, 100), QPoint(150, 200));
        QVERIFY(!panel->isSecondPhase());
        QCOMPARE(panel->activeMeasurement, -1);
        const Measurement& m = panel->measurements().first();
        QCOMPARE(m.items.size(), 2);
        if (mode == 4) {
            QCOMPARE(m.points.size(), 3);
            QCOMPARE(m.points.at(2), scenePos(*panel, QPoint(150, 200)));
            QCOMPARE(m.handles.size(), 3);
            // The second arm runs 50 px (35 mm) right and 100 px (80 mm) down from the vertex.
            QCOMPARE(m.label->text(), QStringLiteral("66.4°"));
        } else {
            QCOMPARE(m.points.size(), 4);
            QCOMPARE(m.points.at(2), scenePos(*panel, QPoint(150, 100)));
            QCOMPARE(m.handles.size(), 4);
            QVERIFY(m.label->text().startsWith(QStringLiteral("Cobb ")));
        }
        QCOMPARE(panel->selectedMeasurement, 0);
    }

    void contoursByClicks_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("polygon") << 11;
        QTest::newRow("smooth") << 12;
    }

    void contoursByClicks()
    {
        QFETCH(int, mode);
        auto panel = shownPanel(1.0);
        panel->setMeasurementMode(mode);
        const QList<QPoint> clicks{{100, 100}, {200, 100}, {200, 180}};
        click(*panel, clicks.at(0));
        QCOMPARE(panel->measurements().size(), 1);
        QVERIFY(panel->mouseState().contourInProgress);
        QVERIFY(!panel->measurements().first().label->isVisible());
        click(*panel, clicks.at(1));
        move(*panel, QPoint(150, 150));
        doubleClick(*panel, clicks.at(2));
        QVERIFY(!panel->mouseState().contourInProgress);
        const Measurement& m = panel->measurements().first();
        QCOMPARE(m.kind, mode);
        QCOMPARE(m.points.size(), 3); // the double-click's second press adds no vertex
        QCOMPARE(m.handles.size(), 3);
        QVERIFY(m.label->isVisible());
        // 100 x 80 px right triangle: 70 x 64 mm.
        QCOMPARE(m.label->text(), QStringLiteral("S=2240.0 мм²  P=%1 мм").arg(70 + 64 + std::hypot(70, 64), 0, 'f', 1));
        QCOMPARE(panel->selectedMeasurement, 0);

        // Two vertices and a double-click: nothing is kept.
        click(*panel, QPoint(300, 300));
        doubleClick(*panel, QPoint(320, 300));
        QCOMPARE(panel->measurements().size(), 1);
        QCOMPARE(panel->selectedMeasurement, -1);

        // Changing the tool drops an open contour.
        click(*panel, QPoint(300, 300));
        click(*panel, QPoint(320, 300));
        click(*panel, QPoint(320, 320));
        QCOMPARE(panel->measurements().size(), 2);
        panel->setMeasurementMode(3);
        QCOMPARE(panel->measurements().size(), 1);
        QVERIFY(!panel->mouseState().contourInProgress);
    }

    void textAndArrowAskForAComment_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("kept");
        QTest::newRow("text") << 9 << QStringLiteral("  Очаг 1 ") << QStringLiteral("Очаг 1");
        QTest::newRow("text blank") << 9 << QStringLiteral("   ") << QString();
        QTest::newRow("text cancelled") << 9 << QString() << QString();
        QTest::newRow("arrow") << 10 << QStringLiteral("Стеноз") << QStringLiteral("Стеноз");
        QTest::newRow("arrow blank") << 10 << QStringLiteral("") << QString();
        QTest::newRow("arrow cancelled") << 10 << QString() << QString();
    }

    void textAndArrowAskForAComment()
    {
        QFETCH(int, mode);
        QFETCH(QString, typed);
        QFETCH(QString, kept);
        auto panel = shownPanel(1.0);
        panel->setMeasurementMode(mode);
        auto answer = answerComment(typed);
        if (mode == 9)
            click(*panel, QPoint(120, 130));
        else
            drag(*panel, QPoint(100, 100), QPoint(160, 130));
        QCOMPARE(answer->titles(),
                 QStringList{mode == 9 ? QStringLiteral("Текстовая метка") : QStringLiteral("Комментарий к стрелке")});

        if (mode == 9 && kept.isEmpty()) {
            QVERIFY(panel->measurements().isEmpty());
            return;
        }
        QCOMPARE(panel->measurements().size(), 1);
        const Measurement& m = panel->measurements().first();
        QCOMPARE(m.kind, mode);
        QCOMPARE(panel->selectedMeasurement, 0);
        if (mode == 9) {
            QCOMPARE(m.points, QList<QPointF>{scenePos(*panel, QPoint(120, 130))});
            QCOMPARE(m.label->text(), kept);
            QCOMPARE(m.label->brush().color(), QColor(255, 255, 0)); // selected
            QCOMPARE(m.colour, QColor(255, 255, 255));
            QCOMPARE(m.handles.size(), 1);
            QCOMPARE(m.label->pos(), m.points.first());
        } else {
            QCOMPARE(m.points.last(), scenePos(*panel, QPoint(160, 130)));
            QCOMPARE(m.handles.size(), 2);
            if (kept.isEmpty()) {
                QVERIFY(!m.label);
            } else {
                QCOMPARE(m.label->text(), kept);
                QCOMPARE(m.label->pos(), m.points.last());
                QCOMPARE(panel->measurementsForSlice(0).first().text, kept);
            }
        }
    }

    void handleAndLabelDrags()
    {
        auto panel = shownPanel(1.0);
        panel->setMeasurementMode(3);
        drag(*panel, QPoint(100, 100), QPoint(200, 100));
        const QPointF start = panel->measurements().first().points.first();

        // 11 pixels away from the handle: no grab (and too far from the line for a hit).
        drag(*panel, QPoint(207, 96), QPoint(240, 40));
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(panel->measurements().first().points.last(), scenePos(*panel, QPoint(200, 100)));
        panel->selectMeasurement(0);
        const Measurement& ruler = panel->measurements().first();

        // Within 10 pixels: the end point follows the mouse.
        drag(*panel, QPoint(206, 96), QPoint(250, 150));
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(ruler.points.last(), scenePos(*panel, QPoint(250, 150)));
        QCOMPARE(ruler.points.first(), start);
        QCOMPARE(ruler.handles.last()->pos(), ruler.points.last());
        QCOMPARE(panel->selectedMeasurement, 0);
        QCOMPARE(panel->activeMeasurement, -1);

        // A tool change in the middle of a handle drag keeps the finished record.
        press(*panel, QPoint(250, 150));
        move(*panel, QPoint(260, 150));
        panel->setMeasurementMode(4);
        QCOMPARE(panel->measurements().size(), 2);
        release(*panel, QPoint(260, 150));
        QCOMPARE(panel->measurements().size(), 2);
        panel->setMeasurementMode(3);

        // The label of any record of the slice: select it and move only the label.
        panel->selectMeasurement(-1);
        const QPointF labelPos = ruler.label->pos();
        const QPoint onLabel = panel->graphicsView()->mapFromScene(labelPos) + QPoint(8, 6);
        const QList<QPointF> points = ruler.points;
        drag(*panel, onLabel, onLabel + QPoint(30, -20));
        QCOMPARE(panel->selectedMeasurement, 0);
        QCOMPARE(ruler.points, points);
        QCOMPARE(ruler.labelOffset, QPointF(30, -20));
        QCOMPARE(ruler.label->pos(), labelPos + QPointF(30, -20));
        QCOMPARE(panel->measurements().size(), 2);
    }

    // Labels keep their screen size at any zoom: a press is compared with the label as drawn.
    void labelGrabFollowsTheDrawnLabel_data()
    {
        QTest::addColumn<double>("scale");
        QTest::newRow("zoom 4") << 4.0;
        QTest::newRow("zoom 0.5") << 0.5;
    }

    void labelGrabFollowsTheDrawnLabel()
    {
        QFETCH(double, scale);
        auto panel = shownPanel(scale);
        panel->setMeasurementMode(3);
        panel->startMeasurement(QPointF(0, 0));
        panel->finishMeasurement(QPointF(0, 120)); // label "96.0 мм" at (0, 60), off the line to the right
        panel->selectMeasurement(-1);
        const QGraphicsSimpleTextItem* label = panel->measurements().first().label;
        const QPoint anchor = viewPos(*panel, label->pos());
        const int drawnWidth = int(label->boundingRect().width());
        QVERIFY(drawnWidth > 30);
        // Just past the drawn text: nothing is grabbed and a new ruler is drawn instead.
        drag(*panel, anchor + QPoint(drawnWidth + 12, 6), anchor + QPoint(drawnWidth + 60, 40));
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(panel->measurements().first().labelOffset, QPointF());
        // Near the end of the drawn text: the label moves.
        panel->selectMeasurement(-1);
        drag(*panel, anchor + QPoint(drawnWidth - 6, 6), anchor + QPoint(drawnWidth + 14, 6));
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(panel->selectedMeasurement, 0);
        QCOMPARE(panel->measurements().first().labelOffset.x(), 20.0 / scale);
    }

    void freehandRoiLabelDrags()
    {
        auto panel = shownPanel(4.0);
        panel->setMeasurementMode(8);
        press(*panel, viewPos(*panel, QPointF(10, 10)));
        move(*panel, viewPos(*panel, QPointF(30, 12)));
        move(*panel, viewPos(*panel, QPointF(28, 30)));
        release(*panel, viewPos(*panel, QPointF(12, 28)));
        const Measurement& roi = panel->measurements().first();
        const QPointF before = roi.label->pos();
        const QPoint onLabel = viewPos(*panel, before) + QPoint(10, 6);
        drag(*panel, onLabel, onLabel + QPoint(40, 80));
        QCOMPARE(roi.label->pos(), before + QPointF(10, 20));
        QCOMPARE(roi.labelOffset, QPointF(10, 20));
        QCOMPARE(roi.points.size(), 4);
    }

    void ellipseHandleRecomputesOnRelease()
    {
        auto panel = shownPanel(1.0);
        panel->setMeasurementMode(5);
        // Inside the 64 x 64 image, wherever the view put it.
        const QPoint a = viewPos(*panel, QPointF(10, 10));
        const QPoint b = viewPos(*panel, QPointF(40, 30));
        const QPoint c = viewPos(*panel, QPointF(55, 60));
        drag(*panel, a, b);
        const Measurement& roi = panel->measurements().first();
        const QString first = roi.label->text();
        QVERIFY2(first.startsWith(QStringLiteral("Mean ")), qPrintable(first));
        press(*panel, b + QPoint(3, 3));
        move(*panel, c);
        QCOMPARE(roi.label->text(), QStringLiteral("отпустите для пересчёта HU…"));
        QCOMPARE(roi.points.last(), scenePos(*panel, c));
        release(*panel, c);
        QVERIFY(roi.label->text().startsWith(QStringLiteral("Mean ")));
        QVERIFY(roi.label->text() != first);
        QCOMPARE(roi.label->pos(), roi.points.first());
    }

    // 6 screen pixels of tolerance at any zoom, rotation or flip.
    void hitTolerance_data()
    {
        QTest::addColumn<int>("rotation");
        QTest::addColumn<bool>("flip");
        QTest::newRow("zoom 4") << 0 << false;
        QTest::newRow("zoom 4 rotated 90") << 90 << false;
        QTest::newRow("zoom 4 flipped") << 0 << true;
        QTest::newRow("zoom 4 rotated 270 flipped") << 270 << true;
    }

    void hitTolerance()
    {
        QFETCH(int, rotation);
        QFETCH(bool, flip);
        auto panel = shownPanel(4.0);
        panel->setMeasurementMode(3);
        panel->startMeasurement(QPointF(10, 10));
        panel->finishMeasurement(QPointF(40, 10));
        panel->selectMeasurement(-1);
        setViewTransform(*panel, 4.0, rotation, flip);
        // Points 5 and 8 screen pixels off the middle of the line, across it.
        const QPoint mid = panel->graphicsView()->mapFromScene(QPointF(25, 10));
        QPoint across = panel->graphicsView()->mapFromScene(QPointF(25, 11)) - mid; // 4 px
        // Away from the label, which runs right and down from the midpoint on the screen.
        if (across.y() > 0 || across.x() > 0)
            across = -across;
        const QPoint near = mid + across * 5 / 4;
        const QPoint far = mid + across * 8 / 4;
        QCOMPARE(panel->hitTestMeasurement(scenePos(*panel, near)), 0);
        QCOMPARE(panel->hitTestMeasurement(scenePos(*panel, far)), -1);
        click(*panel, far);
        QCOMPARE(panel->selectedMeasurement, -1);
        click(*panel, near);
        QCOMPARE(panel->selectedMeasurement, 0);
        QCOMPARE(panel->measurements().size(), 1);
    }

    void hitTestByKind()
    {
        auto panel = shownPanel(1.0);
        panel->setMeasurementMode(13);
        panel->startMeasurement(QPointF(0, 0));
        panel->finishMeasurement(QPointF(20, 10));
        QCOMPARE(panel->hitTestMeasurement(QPointF(10, 5)), 0);
        QCOMPARE(panel->hitTestMeasurement(QPointF(19, 1)), -1); // in the box, outside the ellipse
        panel->setMeasurementMode(11);
        for (const QPointF& p : {QPointF(50, 50), QPointF(90, 50), QPointF(90, 90)})
            panel->addContourPoint(p);
        panel->finishContour();
        QCOMPARE(panel->hitTestMeasurement(QPointF(73, 67)), 1); // near the closing edge
        QCOMPARE(panel->hitTestMeasurement(QPointF(80, 60)), -1); // inside, away from the edges
        panel->showSlice(1);
        QCOMPARE(panel->hitTestMeasurement(QPointF(10, 5)), -1);
    }

    void cursor3DPressDragRelease()
    {
        auto panel = shownPanel(1.0);
        panel->setMeasurementMode(6);
        QSignalSpy clicked(panel.get(), &ImageViewportWidget::cursor3DClicked);
        QSignalSpy released(panel.get(), &ImageViewportWidget::cursor3DReleased);
        drag(*panel, QPoint(100, 100), QPoint(120, 100));
        QCOMPARE(clicked.count(), 3);
        QCOMPARE(clicked.last().first().toPointF(), scenePos(*panel, QPoint(120, 100)));
        QCOMPARE(released.count(), 1);
        QVERIFY(panel->measurements().isEmpty());
    }

    void curvedPathAndVesselSeeds()
    {
        auto panel = shownPanel(1.0);
        panel->showSlice(2);
        QSignalSpy path(panel.get(), &ImageViewportWidget::curvedMprPathFinished);
        QSignalSpy vessel(panel.get(), &ImageViewportWidget::vesselAutoTrackSeedPicked);
        const QColor pathColour(255, 200, 0);
        const QColor seedColour(255, 120, 255);

        panel->setMeasurementMode(16);
        click(*panel, QPoint(60, 50));
        click(*panel, QPoint(90, 70));
        QVERIFY(labelContaining(*panel, QStringLiteral("Криволинейный MPR: точек — 2 (двойной клик — построить)")));
        // The path survives a change of tool.
        panel->setMeasurementMode(3);
        panel->setMeasurementMode(16);
        doubleClick(*panel, QPoint(120, 60));
        QCOMPARE(path.count(), 1);
        const auto points = path.first().first().value<QList<Point3>>();
        QCOMPARE(points.size(), 3);
        QVERIFY(samePoint(points.at(0), patientOf(scenePos(*panel, QPoint(60, 50)), 2)));
        QVERIFY(samePoint(points.at(2), patientOf(scenePos(*panel, QPoint(120, 60)), 2)));
        QCOMPARE(markerCount(*panel, pathColour), 0);
        QVERIFY(!panel->mouseState().curvedPathActive);

        panel->setMeasurementMode(17);
        click(*panel, QPoint(70, 70));
        QCOMPARE(markerCount(*panel, seedColour), 1);
        QVERIFY(labelContaining(*panel, QStringLiteral("Автотрассировка сосуда: точка 1 из 2 отмечена")));
        QCOMPARE(vessel.count(), 0);
        click(*panel, QPoint(80, 95));
        QCOMPARE(vessel.count(), 1);
        const auto seeds = vessel.first().first().value<QList<Point3>>();
        QCOMPARE(seeds.size(), 2);
        QVERIFY(samePoint(seeds.at(0), patientOf(scenePos(*panel, QPoint(70, 70)), 2)));
        QVERIFY(samePoint(seeds.at(1), patientOf(scenePos(*panel, QPoint(80, 95)), 2)));
        QCOMPARE(markerCount(*panel, seedColour), 0);

        QSignalSpy lumen(panel.get(), &ImageViewportWidget::airwayAutoTraceSeedClicked);
        panel->setMeasurementMode(18);
        click(*panel, QPoint(64, 64));
        QCOMPARE(lumen.count(), 1);
        QVERIFY(samePoint(lumen.first().first().value<Point3>(), patientOf(scenePos(*panel, QPoint(64, 64)), 2)));
        QVERIFY(panel->measurements().isEmpty());
    }

    // Slices by the number the panel shows (index + 1): points placed on slices 2 and 5.
    void curvedPathMarkersOnTheirSlice_data()
    {
        QTest::addColumn<int>("shown");
        QTest::addColumn<QList<bool>>("visible");
        QTest::newRow("slice 2") << 1 << QList<bool>{true, false};
        QTest::newRow("slice 5") << 4 << QList<bool>{false, true};
        QTest::newRow("slice 3") << 2 << QList<bool>{false, false};
    }

    void curvedPathMarkersOnTheirSlice()
    {
        QFETCH(int, shown);
        QFETCH(QList<bool>, visible);
        auto panel = shownPanel(1.0);
        panel->setMeasurementMode(16);
        panel->showSlice(1);
        click(*panel, QPoint(60, 50));
        panel->showSlice(4);
        click(*panel, QPoint(90, 70));
        panel->showSlice(shown);
        const QList<QGraphicsItem*> markers = panel->mouseState().curvedPathMarkers;
        QCOMPARE(markers.size(), 2);
        QList<bool> seen;
        for (QGraphicsItem* marker : markers)
            seen << marker->isVisible();
        QCOMPARE(seen, visible);
        // Ending the path takes both markers away, the hidden one too.
        doubleClick(*panel, QPoint(90, 70));
        for (QGraphicsItem* item : panel->graphicsScene()->items())
            QVERIFY(!markers.contains(item));
    }

    // Slices that arrive later and sort in front move the slice a point lies on; its marker follows it.
    void curvedPathMarkerFollowsMergedSlices()
    {
        auto panel = makePanel();
        panel->showSeries(m_rows.mid(2), m_info);
        setViewTransform(*panel, 1.0);
        panel->setMeasurementMode(16);
        click(*panel, QPoint(60, 50)); // on the file of slice index 2 of the whole series
        panel->mergeSlices(m_rows.mid(0, 2));
        QGraphicsItem* marker = panel->mouseState().curvedPathMarkers.value(0);
        QVERIFY(marker);
        panel->showSlice(0);
        QVERIFY(!marker->isVisible());
        panel->showSlice(2);
        QVERIFY(marker->isVisible());
    }

    void picksWithoutGeometry()
    {
        auto panel = makePanel();
        panel->showSeries(m_flatRows, SeriesOverlayInfo());
        QSignalSpy path(panel.get(), &ImageViewportWidget::curvedMprPathFinished);
        QSignalSpy vessel(panel.get(), &ImageViewportWidget::vesselAutoTrackSeedPicked);
        QSignalSpy lumen(panel.get(), &ImageViewportWidget::airwayAutoTraceSeedClicked);
        const QString missing =
            QStringLiteral("у этой серии нет пространственной\nинформации (ImagePositionPatient/ImageOrientationPatient).");

        panel->setMeasurementMode(16);
        click(*panel, QPoint(100, 100));
        doubleClick(*panel, QPoint(150, 100));
        QVERIFY(labelContaining(*panel, QStringLiteral("Криволинейный MPR недоступен: ") + missing));
        QCOMPARE(path.count(), 0);
        panel->setMeasurementMode(17);
        click(*panel, QPoint(100, 100));
        click(*panel, QPoint(120, 100));
        QVERIFY(labelContaining(*panel, QStringLiteral("Автотрассировка сосуда недоступна: ") + missing));
        QCOMPARE(vessel.count(), 0);
        panel->setMeasurementMode(18);
        click(*panel, QPoint(100, 100));
        QVERIFY(labelContaining(*panel, QStringLiteral("Автотрассировка просвета недоступна: ") + missing));
        QCOMPARE(lumen.count(), 0);
        QCOMPARE(markerCount(*panel, QColor(255, 200, 0)) + markerCount(*panel, QColor(255, 120, 255)), 0);
    }

    // A reconstructed image is not the slice whose index, spacing and geometry the panel holds.
    void reconstructionPlaneRefusesMeasuring()
    {
        auto panel = shownPanel(1.0);
        panel->enterReconstructionPlane(1);
        QCOMPARE(panel->reconstructionPlane(), 1);
        QSignalSpy cursor(panel.get(), &ImageViewportWidget::cursor3DClicked);
        QSignalSpy lumen(panel.get(), &ImageViewportWidget::airwayAutoTraceSeedClicked);
        QSignalSpy menu(panel.get(), &ImageViewportWidget::seriesMenuRequested);
        for (int mode : {3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 18}) {
            panel->setMeasurementMode(mode);
            fixtures::ModalAnswer answer(QMessageBox::Yes, QDialog::Accepted);
            drag(*panel, QPoint(100, 100), QPoint(140, 130));
            doubleClick(*panel, QPoint(140, 130));
            QCOMPARE(answer.count(), 0);
        }
        QVERIFY(panel->measurements().isEmpty());
        QCOMPARE(cursor.count(), 0);
        QCOMPARE(lumen.count(), 0);
        QVERIFY(labelContaining(*panel, QStringLiteral("В реконструкции измерения недоступны — вернитесь к исходным срезам")));
        QVERIFY(labelContaining(*panel, QStringLiteral("Реконструкция: ")));

        // Navigation goes on.
        const double width = panel->windowWidth();
        drag(*panel, QPoint(100, 100), QPoint(110, 100), Qt::MiddleButton);
        QCOMPARE(panel->windowWidth(), width + 20.0);
        const int index = panel->reconstructedSliceIndex();
        panel->setMeasurementMode(15);
        drag(*panel, QPoint(100, 100), QPoint(100, 115));
        QCOMPARE(panel->reconstructedSliceIndex(), index + 1);
        click(*panel, panel->graphicsView()->viewport()->rect().center(), Qt::RightButton);
        QCOMPARE(menu.count(), 1);

        // Back on the file's slices the tools measure again.
        panel->showOriginalSlices();
        panel->setMeasurementMode(3);
        drag(*panel, QPoint(100, 100), QPoint(140, 130));
        QCOMPARE(panel->measurements().size(), 1);
    }

};

QTEST_MAIN(TestMouseTools)
#include "tst_mousetools.moc"
