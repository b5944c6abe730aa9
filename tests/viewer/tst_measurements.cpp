// Measurement records of the viewing panel on fixture series in a real index: label texts in mm and
// pixels (non-square pixels included), geometry of every kind, highlighting, selection and removal,
// slices merged in front of a measured one, reconstruction planes, and the contour overlay.

#include "PanelTestSupport.h"

#include "support/ModalAnswer.h"

#include <dcmtk/dcmdata/dctk.h>

#include <QDir>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QLineEdit>
#include <QPen>
#include <QScrollBar>
#include <QtTest>

#include <cmath>

using paneltest::makePanel;
using paneltest::spacedLayout;
using Measurement = ImageViewportWidget::Measurement;

namespace {

int addTwoPoint(ImageViewportWidget& panel, int mode, QPointF p0, QPointF p1)
{
    panel.setMeasurementMode(mode);
    panel.startMeasurement(p0);
    panel.updateActiveMeasurement((p0 + p1) / 2.0);
    panel.updateActiveMeasurement(p1);
    panel.finishMeasurement(p1);
    return panel.measurements().size() - 1;
}

int addAngle(ImageViewportWidget& panel, QPointF vertex, QPointF a, QPointF b)
{
    panel.setMeasurementMode(4);
    panel.startMeasurement(vertex);
    panel.updateActiveMeasurement(a);
    panel.finishMeasurement(a);
    panel.startMeasurement(vertex + QPointF(3, 3)); // the second press may start anywhere
    panel.updateActiveMeasurement(b);
    panel.finishMeasurement(b);
    return panel.measurements().size() - 1;
}

int addCobb(ImageViewportWidget& panel, QPointF p0, QPointF p1, QPointF p2, QPointF p3)
{
    panel.setMeasurementMode(14);
    panel.startMeasurement(p0);
    panel.updateActiveMeasurement(p1);
    panel.finishMeasurement(p1);
    panel.startMeasurement(p2);
    panel.updateActiveMeasurement(p3);
    panel.finishMeasurement(p3);
    return panel.measurements().size() - 1;
}

int addContour(ImageViewportWidget& panel, int mode, const QList<QPointF>& points)
{
    panel.setMeasurementMode(mode);
    for (const QPointF& p : points)
        panel.addContourPoint(p);
    panel.finishContour();
    return panel.measurements().size() - 1;
}

QString labelOf(const ImageViewportWidget& panel, int index)
{
    const Measurement& m = panel.measurements().at(index);
    return m.label ? m.label->text() : QString();
}

QPointF polar(double degrees, double length)
{
    // QLineF angles run counter-clockwise with the y axis pointing down.
    const double r = degrees * M_PI / 180.0;
    return QPointF(length * std::cos(r), -length * std::sin(r));
}

QColor penColour(QGraphicsItem* item)
{
    if (auto* line = qgraphicsitem_cast<QGraphicsLineItem*>(item))
        return line->pen().color();
    if (auto* shape = dynamic_cast<QAbstractGraphicsShapeItem*>(item))
        return shape->pen().color();
    return {};
}

const QList<QPointF> kSquare{{10, 10}, {20, 10}, {20, 20}, {10, 20}};

} // namespace

class TestMeasurements : public QObject
{
    Q_OBJECT

    std::unique_ptr<paneltest::SeriesStore> m_store;

    // A one-slice panel with the given pixel spacings; a negative spacing leaves Pixel Spacing out.
    std::unique_ptr<ImageViewportWidget> panelWithSpacing(double spacingX, double spacingY, int size = 32)
    {
        fixtures::SeriesLayout layout = spacedLayout(size, 1, std::max(spacingX, 0.0), std::max(spacingY, 0.0));
        if (spacingX < 0 || spacingY < 0)
            layout.customize = [](DcmDataset& ds, int) { ds.findAndDeleteElement(DCM_PixelSpacing); };
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(layout, &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        return panel;
    }

private slots:
    void initTestCase()
    {
        m_store = std::make_unique<paneltest::SeriesStore>();
        QVERIFY(m_store->isOpen());
    }

    void cleanupTestCase() { m_store.reset(); }

    void rulerLabel_data()
    {
        QTest::addColumn<double>("spacingX");
        QTest::addColumn<double>("spacingY");
        QTest::addColumn<QPointF>("to");
        QTest::addColumn<QString>("text");
        QTest::newRow("0.5 both") << 0.5 << 0.5 << QPointF(30, 40) << QStringLiteral("25.0 мм");
        QTest::newRow("zero both") << 0.0 << 0.0 << QPointF(30, 40) << QStringLiteral("50.0 px");
        QTest::newRow("missing") << -1.0 << -1.0 << QPointF(30, 40) << QStringLiteral("50.0 px");
        QTest::newRow("only x") << 0.5 << 0.0 << QPointF(30, 40) << QStringLiteral("25.0 мм");
        QTest::newRow("only y") << 0.0 << 0.5 << QPointF(30, 40) << QStringLiteral("25.0 мм");
        // Non-square pixels: each axis keeps its own spacing.
        QTest::newRow("0.5 x 1.0 horizontal") << 0.5 << 1.0 << QPointF(100, 0) << QStringLiteral("50.0 мм");
        QTest::newRow("0.5 x 1.0 vertical") << 0.5 << 1.0 << QPointF(0, 100) << QStringLiteral("100.0 мм");
        QTest::newRow("0.5 x 1.0 3-4-5") << 0.5 << 1.0 << QPointF(60, 40) << QStringLiteral("50.0 мм");
    }

    void rulerLabel()
    {
        QFETCH(double, spacingX);
        QFETCH(double, spacingY);
        QFETCH(QPointF, to);
        QFETCH(QString, text);
        auto panel = panelWithSpacing(spacingX, spacingY);
        const int i = addTwoPoint(*panel, 3, QPointF(0, 0), to);
        QCOMPARE(labelOf(*panel, i), text);
        const Measurement& m = panel->measurements().at(i);
        QCOMPARE(m.kind, 3);
        QCOMPARE(m.points, (QList<QPointF>{{0, 0}, to}));
        QCOMPARE(m.colour, QColor(255, 210, 0));
        // The label sits at the midpoint; the line and both handles follow the points.
        QCOMPARE(m.label->pos(), to / 2.0);
        QCOMPARE(qgraphicsitem_cast<QGraphicsLineItem*>(m.items.first())->line(), QLineF(QPointF(0, 0), to));
        QCOMPARE(m.handles.at(1)->pos(), to);
    }

    void angleAndCobbLabels_data()
    {
        QTest::addColumn<double>("spacingX");
        QTest::addColumn<double>("spacingY");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QList<QPointF>>("points");
        QTest::addColumn<QString>("text");
        QTest::newRow("angle 90") << 1.0 << 1.0 << 4 << QList<QPointF>{{0, 0}, {10, 0}, {0, 10}} << "90.0°";
        QTest::newRow("angle 90 swapped") << 1.0 << 1.0 << 4 << QList<QPointF>{{0, 0}, {0, 10}, {10, 0}} << "90.0°";
        QTest::newRow("angle reflex folds") << 1.0 << 1.0 << 4 << QList<QPointF>{{0, 0}, {10, 0}, {-10, 10}}
                                            << "135.0°";
        // A pixel diagonal on 0.5 x 1.0 mm pixels rises at atan(1 / 0.5) = 63.4 degrees.
        QTest::newRow("angle non-square") << 0.5 << 1.0 << 4 << QList<QPointF>{{0, 0}, {10, 0}, {10, 10}}
                                          << "63.4°";
        QTest::newRow("angle without spacing") << 0.0 << 0.0 << 4 << QList<QPointF>{{0, 0}, {10, 0}, {10, 10}}
                                               << "45.0°";
        QTest::newRow("cobb 30/150") << 1.0 << 1.0 << 14
                                     << QList<QPointF>{{50, 50}, QPointF(50, 50) + polar(30, 20), {50, 80},
                                                       QPointF(50, 80) + polar(150, 20)}
                                     << "Cobb 60.0°";
        QTest::newRow("cobb parallel") << 1.0 << 1.0 << 14
                                       << QList<QPointF>{{0, 0}, {20, 5}, {0, 30}, {20, 35}} << "Cobb 0.0°";
        QTest::newRow("cobb opposite directions") << 1.0 << 1.0 << 14
                                                  << QList<QPointF>{{0, 0}, {20, 0}, {20, 30}, {0, 30}}
                                                  << "Cobb 0.0°";
        QTest::newRow("cobb non-square") << 0.5 << 1.0 << 14
                                         << QList<QPointF>{{0, 0}, {20, 0}, {0, 30}, {10, 40}} << "Cobb 63.4°";
    }

    void angleAndCobbLabels()
    {
        QFETCH(double, spacingX);
        QFETCH(double, spacingY);
        QFETCH(int, kind);
        QFETCH(QList<QPointF>, points);
        QFETCH(QString, text);
        auto panel = panelWithSpacing(spacingX, spacingY);
        const int i = kind == 4 ? addAngle(*panel, points.at(0), points.at(1), points.at(2))
                                : addCobb(*panel, points.at(0), points.at(1), points.at(2), points.at(3));
        QCOMPARE(labelOf(*panel, i), text);
        const Measurement& m = panel->measurements().at(i);
        QCOMPARE(m.points, points);
        QCOMPARE(m.items.size(), 2);
        QCOMPARE(m.handles.size(), kind == 4 ? 3 : 4);
        for (int h = 0; h < m.handles.size(); ++h)
            QCOMPARE(m.handles.at(h)->pos(), points.at(h));
        const QPointF anchor = kind == 4 ? points.at(0)
                                         : ((points.at(0) + points.at(1)) / 2.0 + (points.at(2) + points.at(3)) / 2.0)
                                               / 2.0;
        QCOMPARE(m.label->pos(), anchor);
        QVERIFY(!panel->isSecondPhase());
        QCOMPARE(panel->activeMeasurement, -1);
        QCOMPARE(panel->selectedMeasurement, i);
    }

    void areaLabels_data()
    {
        QTest::addColumn<double>("spacingX");
        QTest::addColumn<double>("spacingY");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");
        QTest::newRow("polygon 1 mm") << 1.0 << 1.0 << 11 << QStringLiteral("S=100.0 мм²  P=40.0 мм");
        QTest::newRow("smooth 1 mm") << 1.0 << 1.0 << 12 << QStringLiteral("S=100.0 мм²  P=40.0 мм");
        QTest::newRow("polygon px") << 0.0 << 0.0 << 11 << QStringLiteral("S=100.0 px²  P=40.0 px");
        // Pixel area times 0.5; perimeter 2 x 5 + 2 x 10.
        QTest::newRow("polygon non-square") << 0.5 << 1.0 << 11 << QStringLiteral("S=50.0 мм²  P=30.0 мм");
        QTest::newRow("ellipse px") << 0.0 << 0.0 << 13 << QStringLiteral("S=157.1 px²  P=48.4 px");
        QTest::newRow("ellipse 2 mm") << 2.0 << 2.0 << 13 << QStringLiteral("S=628.3 мм²  P=96.9 мм");
        // A 20 x 10 px box on 0.5 x 1.0 mm pixels is a 10 x 10 mm circle.
        QTest::newRow("ellipse non-square") << 0.5 << 1.0 << 13 << QStringLiteral("S=78.5 мм²  P=31.4 мм");
    }

    void areaLabels()
    {
        QFETCH(double, spacingX);
        QFETCH(double, spacingY);
        QFETCH(int, kind);
        QFETCH(QString, text);
        auto panel = panelWithSpacing(spacingX, spacingY);
        int i = -1;
        if (kind == 13) {
            i = addTwoPoint(*panel, 13, QPointF(30, 20), QPointF(10, 10));
            const Measurement& m = panel->measurements().at(i);
            QCOMPARE(qgraphicsitem_cast<QGraphicsEllipseItem*>(m.items.first())->rect(), QRectF(10, 10, 20, 10));
            QCOMPARE(m.label->pos(), QPointF(10, 10));
        } else {
            i = addContour(*panel, kind, kSquare);
            const Measurement& m = panel->measurements().at(i);
            QCOMPARE(m.label->pos(), QPointF(15, 15));
            QVERIFY(m.label->isVisible());
            QCOMPARE(m.handles.size(), 4);
            const QPainterPath path = qgraphicsitem_cast<QGraphicsPathItem*>(m.items.first())->path();
            // The smooth curve bulges beyond the straight square; the polygon does not.
            const QRectF bounds = path.boundingRect();
            if (kind == 11)
                QCOMPARE(bounds, QRectF(10, 10, 10, 10));
            else
                QVERIFY(bounds.contains(QRectF(10, 10, 10, 10)) && bounds != QRectF(10, 10, 10, 10));
        }
        QCOMPARE(labelOf(*panel, i), text);
    }

    // A contour of two vertices keeps whatever its path showed; the label and handles stay as they were.
    void twoVertexContourIsNotRedrawn()
    {
        auto panel = panelWithSpacing(1.0, 1.0);
        panel->setMeasurementMode(12);
        panel->addContourPoint(QPointF(5, 5));
        panel->addContourPoint(QPointF(15, 5));
        const Measurement& live = panel->measurements().at(0);
        auto* path = qgraphicsitem_cast<QGraphicsPathItem*>(live.items.first());
        const QPainterPath before = path->path();
        Measurement copy = live;
        panel->refreshMeasurementGraphics(copy);
        QCOMPARE(path->path(), before);
        QCOMPARE(live.label->text(), QString());

        // Fewer than three points at the close drop the record.
        panel->finishContour();
        QVERIFY(panel->measurements().isEmpty());
        QCOMPARE(panel->activeMeasurement, -1);
    }

    void previewOfAnOpenContour()
    {
        auto panel = panelWithSpacing(1.0, 1.0);
        panel->setMeasurementMode(11);
        panel->addContourPoint(QPointF(0, 0));
        panel->addContourPoint(QPointF(10, 0));
        panel->previewContour(QPointF(10, 10));
        auto* path = qgraphicsitem_cast<QGraphicsPathItem*>(panel->measurements().at(0).items.first());
        QCOMPARE(path->path().elementCount(), 3); // open polyline through the vertices and the pointer
        QCOMPARE(QPointF(path->path().elementAt(2)), QPointF(10, 10));

        panel->setMeasurementMode(12);
        panel->addContourPoint(QPointF(0, 0));
        panel->addContourPoint(QPointF(10, 0));
        panel->previewContour(QPointF(10, 10));
        path = qgraphicsitem_cast<QGraphicsPathItem*>(panel->measurements().at(0).items.first());
        // Two cubic segments: moveTo plus three elements each, ending at the pointer, not closed.
        QCOMPARE(path->path().elementCount(), 7);
        QCOMPARE(QPointF(path->path().elementAt(6)), QPointF(10, 10));
        // The first control point leans along P1 - P0 (P(-1) is P0).
        QCOMPARE(QPointF(path->path().elementAt(1)), QPointF(10.0 / 6.0, 0));
    }

    void arrowHeadAndTextAnchor()
    {
        auto panel = panelWithSpacing(1.0, 1.0);
        fixtures::ModalAnswer answer(QMessageBox::Yes, QDialog::Rejected);
        const int i = addTwoPoint(*panel, 10, QPointF(0, 0), QPointF(40, 0));
        const Measurement& m = panel->measurements().at(i);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Комментарий к стрелке")});
        QVERIFY(!m.label); // cancelled: the arrow stays without text
        const QPolygonF head = qgraphicsitem_cast<QGraphicsPolygonItem*>(m.items.at(1))->polygon();
        QCOMPARE(head.size(), 3);
        QCOMPARE(head.at(0), QPointF(40, 0));
        const double c = 12.0 * std::cos(25.0 * M_PI / 180.0);
        const double s = 12.0 * std::sin(25.0 * M_PI / 180.0);
        QVERIFY(QLineF(head.at(1), QPointF(40 - c, -s)).length() < 1e-9);
        QVERIFY(QLineF(head.at(2), QPointF(40 - c, s)).length() < 1e-9);
    }

    void highlighting()
    {
        auto panel = panelWithSpacing(1.0, 1.0);
        fixtures::ModalAnswer answer(QMessageBox::Yes, QDialog::Accepted);
        answer.setDialogHandler([](QDialog* dialog) {
            dialog->findChild<QLineEdit*>()->setText(QStringLiteral("Стеноз"));
            return true;
        });
        const int ruler = addTwoPoint(*panel, 3, QPointF(0, 0), QPointF(10, 0));
        const int arrow = addTwoPoint(*panel, 10, QPointF(0, 20), QPointF(20, 20));
        const int polygon = addContour(*panel, 11, kSquare);
        const QColor yellow(255, 255, 0);
        const auto& list = panel->measurements();

        panel->selectMeasurement(-1);
        for (int i : {ruler, arrow, polygon}) {
            for (QGraphicsItem* item : list.at(i).items)
                QCOMPARE(penColour(item), list.at(i).colour);
            for (QGraphicsItem* handle : list.at(i).handles)
                QVERIFY(!handle->isVisible());
        }
        QCOMPARE(list.at(arrow).label->text(), QStringLiteral("Стеноз"));
        QCOMPARE(list.at(arrow).label->brush().color(), QColor(120, 200, 255));

        for (int i : {ruler, arrow, polygon}) {
            panel->selectMeasurement(i);
            QCOMPARE(panel->selectedMeasurement, i);
            for (QGraphicsItem* item : list.at(i).items) {
                QCOMPARE(penColour(item), yellow);
                if (auto* head = qgraphicsitem_cast<QGraphicsPolygonItem*>(item))
                    QCOMPARE(head->brush(), QBrush(yellow, Qt::SolidPattern));
                const auto* line = qgraphicsitem_cast<QGraphicsLineItem*>(item);
                const QPen pen = line ? line->pen() : dynamic_cast<QAbstractGraphicsShapeItem*>(item)->pen();
                QCOMPARE(pen.widthF(), 0.0);
                QCOMPARE(pen.capStyle(), Qt::SquareCap);
                QCOMPARE(pen.joinStyle(), Qt::BevelJoin);
            }
            QCOMPARE(list.at(i).label->brush().color(), yellow);
            for (QGraphicsItem* handle : list.at(i).handles)
                QVERIFY(handle->isVisible());
            // Only the selected record shows handles.
            for (int other : {ruler, arrow, polygon})
                if (other != i)
                    for (QGraphicsItem* handle : list.at(other).handles)
                        QVERIFY(!handle->isVisible());
        }
        panel->selectMeasurement(-1);
        QCOMPARE(penColour(list.at(polygon).items.first()), QColor(140, 255, 170));
        QCOMPARE(list.at(polygon).label->brush().color(), QColor(140, 255, 170));
        QCOMPARE(qgraphicsitem_cast<QGraphicsPolygonItem*>(list.at(arrow).items.at(1))->brush().color(),
                 QColor(120, 200, 255));
        // Indexes outside the list are ignored.
        panel->setMeasurementHighlighted(99, true);
        panel->setMeasurementHighlighted(-2, true);
    }

    void removalAdjustsSelectionAndKeys()
    {
        auto panel = panelWithSpacing(1.0, 1.0);
        for (int i = 0; i < 6; ++i)
            addTwoPoint(*panel, 3, QPointF(0, i * 5), QPointF(20, i * 5));
        panel->selectMeasurement(5);
        panel->removeMeasurement(2);
        QCOMPARE(panel->measurements().size(), 5);
        QCOMPARE(panel->selectedMeasurement, 4);
        QCOMPARE(panel->measurements().at(4).points.first(), QPointF(0, 25));
        panel->removeMeasurement(17); // ignored
        panel->removeMeasurement(-1);
        QCOMPARE(panel->measurements().size(), 5);
        panel->removeMeasurement(4);
        QCOMPARE(panel->selectedMeasurement, -1);

        // Delete removes the selected record and selects the one before it; with the first, none.
        const int itemsBefore = panel->graphicsScene()->items().size();
        panel->selectMeasurement(2);
        QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
        QApplication::sendEvent(panel.get(), &del);
        QCOMPARE(panel->measurements().size(), 3);
        QCOMPARE(panel->selectedMeasurement, 1);
        QCOMPARE(panel->graphicsScene()->items().size(), itemsBefore - 4); // line, label, two handles
        panel->selectMeasurement(0);
        QKeyEvent backspace(QEvent::KeyPress, Qt::Key_Backspace, Qt::NoModifier);
        QApplication::sendEvent(panel.get(), &backspace);
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(panel->selectedMeasurement, -1);

        // A tool change removes the record being drawn.
        panel->setMeasurementMode(3);
        panel->startMeasurement(QPointF(1, 1));
        QCOMPARE(panel->activeMeasurement, 2);
        panel->setMeasurementMode(4);
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(panel->activeMeasurement, -1);
    }

    void clearingKeepsOrDropsBySlice()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(spacedLayout(32, 4, 1.0, 1.0), &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        for (int slice : {0, 1, 1, 3}) {
            panel->showSlice(slice);
            addTwoPoint(*panel, 3, QPointF(0, 0), QPointF(10, 10));
        }
        QCOMPARE(panel->measurementsForSlice(1).size(), 2);
        QCOMPARE(panel->measurementsForSlice(1).first().text, QStringLiteral("14.1 мм"));
        QCOMPARE(panel->measurementsForSlice(1).first().colour, QColor(255, 210, 0));
        QCOMPARE(panel->measurementsForSlice(2).size(), 0);

        // Only the shown slice's records are visible.
        panel->showSlice(1);
        for (const Measurement& m : panel->measurements())
            QCOMPARE(m.items.first()->isVisible(), m.sliceIndex == 1);

        panel->clearMeasurements(true);
        QCOMPARE(panel->measurements().size(), 2);
        QCOMPARE(panel->measurementsForSlice(1).size(), 0);
        panel->showSeries(rows, info);
        QVERIFY(panel->measurements().isEmpty());
        addTwoPoint(*panel, 3, QPointF(0, 0), QPointF(10, 10));
        const int sceneItems = panel->graphicsScene()->items().size();
        panel->clearSeries();
        QVERIFY(panel->measurements().isEmpty());
        QCOMPARE(panel->graphicsScene()->items().size(), sceneItems - 4);
    }

    // A lower-numbered slice arriving during an import shifts every index behind it.
    void mergeKeepsMeasurementsOnTheirImages()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> all = m_store->index(spacedLayout(32, 6, 1.0, 1.0), &info);
        QCOMPARE(all.size(), 6);
        auto panel = makePanel();
        panel->showSeries(all.mid(2), info);
        panel->showSlice(1); // all[3]
        const int shown = addTwoPoint(*panel, 3, QPointF(2, 2), QPointF(12, 2));
        panel->showSlice(3); // all[5]
        addTwoPoint(*panel, 3, QPointF(4, 4), QPointF(4, 24));
        panel->showSlice(1);
        QCOMPARE(panel->measurementsForSlice(1).size(), 1);

        panel->mergeSlices({all.at(1), all.at(0)});
        QCOMPARE(panel->currentSlice()->filePath, all.at(3).filePath);
        QCOMPARE(panel->currentSliceIndex(), 3);
        QCOMPARE(panel->measurementsForSlice(1).size(), 0);
        QCOMPARE(panel->measurementsForSlice(3).size(), 1);
        QCOMPARE(panel->measurementsForSlice(3).first().points.first(), QPointF(2, 2));
        QCOMPARE(panel->measurementsForSlice(5).size(), 1);
        QCOMPARE(panel->measurementsForSlice(5).first().text, QStringLiteral("20.0 мм"));
        QVERIFY(panel->measurements().at(shown).items.first()->isVisible());
        panel->showSlice(5);
        QCOMPARE(panel->currentSlice()->filePath, all.at(5).filePath);
        QVERIFY(!panel->measurements().at(shown).items.first()->isVisible());
        QVERIFY(panel->measurements().at(1).items.first()->isVisible());
    }

    void reconstructionPlaneHidesMeasurements()
    {
        SeriesOverlayInfo info;
        const QList<db::InstanceRecord> rows = m_store->index(spacedLayout(32, 8, 1.0, 1.0), &info);
        auto panel = makePanel();
        panel->showSeries(rows, info);
        panel->showSlice(4);
        const int i = addTwoPoint(*panel, 3, QPointF(2, 2), QPointF(20, 20));
        QCOMPARE(panel->selectedMeasurement, i);
        const Measurement& m = panel->measurements().at(i);
        QVERIFY(m.items.first()->isVisible() && m.label->isVisible() && m.handles.first()->isVisible());

        panel->enterReconstructionPlane(1);
        QCOMPARE(panel->reconstructionPlane(), 1);
        QVERIFY(!m.items.first()->isVisible());
        QVERIFY(!m.label->isVisible());
        QVERIFY(!m.handles.first()->isVisible());
        QCOMPARE(panel->selectedMeasurement, -1); // Delete cannot remove what is not shown

        panel->showOriginalSlices();
        QCOMPARE(panel->currentSliceIndex(), 4);
        QVERIFY(m.items.first()->isVisible());
        QVERIFY(m.label->isVisible());
        QVERIFY(!m.handles.first()->isVisible());
    }

    void contourOverlay()
    {
        auto panel = panelWithSpacing(1.0, 1.0);
        const int baseItems = panel->graphicsScene()->items().size();
        const QPolygonF triangle({QPointF(1, 1), QPointF(10, 1), QPointF(5, 8)});
        panel->setContourOverlay({triangle, triangle.translated(5, 5), triangle.translated(9, 9)},
                                 {Qt::red, Qt::green});
        const auto& overlay = panel->contourOverlayItems();
        QCOMPARE(overlay.size(), 2);
        QCOMPARE(panel->graphicsScene()->items().size(), baseItems + 2);
        QCOMPARE(overlay.at(1)->pen().color(), QColor(Qt::green));
        QCOMPARE(overlay.at(1)->pen().style(), Qt::DashLine);
        QCOMPARE(overlay.at(1)->pen().widthF(), 0.0);
        QCOMPARE(overlay.at(1)->brush().style(), Qt::Dense6Pattern);
        QCOMPARE(overlay.at(1)->brush().color(), QColor(Qt::green));
        QCOMPARE(overlay.at(0)->zValue(), 5.0);
        QCOMPARE(overlay.at(0)->path().boundingRect(), triangle.boundingRect());

        panel->setContourOverlay({}, {});
        QVERIFY(panel->contourOverlayItems().isEmpty());
        QCOMPARE(panel->graphicsScene()->items().size(), baseItems);
    }

    void roiLabelNamesAndColoursContours()
    {
        auto panel = panelWithSpacing(1.0, 1.0);
        panel->setRoiLabel(QStringLiteral("Миокард"), QColor(10, 20, 30));
        const int i = addContour(*panel, 12, kSquare);
        QCOMPARE(panel->measurements().at(i).name, QStringLiteral("Миокард"));
        QCOMPARE(panel->measurements().at(i).colour, QColor(10, 20, 30));
        QCOMPARE(panel->measurementsForSlice(0).at(i).name, QStringLiteral("Миокард"));
        // The name is used once; the next contour has the tool's own colour.
        const int j = addTwoPoint(*panel, 13, QPointF(1, 1), QPointF(9, 9));
        QCOMPARE(panel->measurements().at(j).name, QString());
        QCOMPARE(panel->measurements().at(j).colour, QColor(190, 140, 255));
    }

};

QTEST_MAIN(TestMeasurements)
#include "tst_measurements.moc"
