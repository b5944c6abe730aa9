// Measurement records of a viewing panel: geometry and label of each kind, the live update while one is
// drawn, highlighting, selection, per-slice visibility and the contour overlay of embedding windows.

#include "viewer/ImageViewportWidget.h"
#include "viewer/MeasurementGraphics.h"

#include <QBrush>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QLineF>
#include <QPen>

#include <cmath>
#include <numbers>

namespace {

constexpr double kPi = std::numbers::pi;

QString number1(double value)
{
    return QString::number(value, 'f', 1);
}

QPen measurementPen(const QColor& colour)
{
    return QPen(QBrush(colour, Qt::SolidPattern), 0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

QGraphicsLineItem* lineItem(const ImageViewportWidget::Measurement& m, int i)
{
    return i < m.items.size() ? qgraphicsitem_cast<QGraphicsLineItem*>(m.items.at(i)) : nullptr;
}

void setLine(const ImageViewportWidget::Measurement& m, int i, const QPointF& a, const QPointF& b)
{
    if (QGraphicsLineItem* line = lineItem(m, i))
        line->setLine(QLineF(a, b));
}

void setPath(const ImageViewportWidget::Measurement& m, const QPainterPath& path)
{
    if (m.items.isEmpty())
        return;
    if (auto* item = qgraphicsitem_cast<QGraphicsPathItem*>(m.items.first()))
        item->setPath(path);
}

void placeLabel(const ImageViewportWidget::Measurement& m, const QPointF& anchor)
{
    if (m.label)
        m.label->setPos(anchor + m.labelOffset);
}

void setLabelText(const ImageViewportWidget::Measurement& m, const QString& text)
{
    if (m.label)
        m.label->setText(text);
}

// Angle between two directions folded into 0 ... 180 degrees.
double foldedAngle(const QLineF& from, const QLineF& to)
{
    double theta = from.angleTo(to);
    if (theta > 180.0)
        theta = 360.0 - theta;
    return theta;
}

} // namespace

// Millimetres per pixel along x and y of the record's slice; none when the slice has no spacing.
// Each axis keeps its own spacing, so lengths on non-square pixels stay true in every direction.
std::optional<QPointF> ImageViewportWidget::measurementScale(const Measurement& m) const
{
    const int index = (m.sliceIndex >= 0 && m.sliceIndex < m_slices.size()) ? m.sliceIndex : m_currentIndex;
    if (index < 0 || index >= m_slices.size())
        return std::nullopt;
    const db::InstanceRecord& row = m_slices.at(index);
    const double x = row.pixelSpacingX;
    const double y = row.pixelSpacingY;
    if (x > 0.0 && y > 0.0)
        return QPointF(x, y);
    if (x > 0.0)
        return QPointF(x, x);
    if (y > 0.0)
        return QPointF(y, y);
    return std::nullopt;
}

void ImageViewportWidget::refreshMeasurementGraphics(Measurement& m)
{
    const QList<QPointF>& p = m.points;
    const std::optional<QPointF> scale = measurementScale(m);
    const double sx = scale ? scale->x() : 1.0;
    const double sy = scale ? scale->y() : 1.0;
    auto scaled = [&](const QPointF& q) { return QPointF(q.x() * sx, q.y() * sy); };
    const QString lengthUnit = scale ? QStringLiteral("мм") : QStringLiteral("px");
    const QString areaUnit = scale ? QStringLiteral("мм²") : QStringLiteral("px²");

    switch (m.kind) {
    case 3:
        if (p.size() < 2)
            return;
        setLine(m, 0, p.at(0), p.at(1));
        setLabelText(m, QStringLiteral("%1 %2").arg(number1(QLineF(scaled(p.at(0)), scaled(p.at(1))).length()),
                                                    lengthUnit));
        placeLabel(m, (p.at(0) + p.at(1)) / 2.0);
        break;
    case 4:
        if (p.size() < 2)
            return;
        setLine(m, 0, p.at(0), p.at(1));
        if (m.items.size() >= 2 && p.size() >= 3) {
            setLine(m, 1, p.at(0), p.at(2));
            const double theta = foldedAngle(QLineF(scaled(p.at(0)), scaled(p.at(1))),
                                             QLineF(scaled(p.at(0)), scaled(p.at(2))));
            setLabelText(m, QStringLiteral("%1°").arg(number1(theta)));
        }
        placeLabel(m, p.at(0));
        break;
    case 5:
    case 13: {
        if (p.size() < 2)
            return;
        const QRectF rect = QRectF(p.at(0), p.at(1)).normalized();
        if (!m.items.isEmpty())
            if (auto* ellipse = qgraphicsitem_cast<QGraphicsEllipseItem*>(m.items.first()))
                ellipse->setRect(rect);
        if (m.kind == 13) {
            const double a = rect.width() / 2.0 * sx;
            const double b = rect.height() / 2.0 * sy;
            const double area = kPi * a * b;
            const double h = (a - b) * (a - b) / ((a + b) * (a + b) + 1e-9);
            const double perimeter = kPi * (a + b) * (1.0 + 3.0 * h / (10.0 + std::sqrt(4.0 - 3.0 * h)));
            setLabelText(m, QStringLiteral("S=%1 %2  P=%3 %4")
                                .arg(number1(area), areaUnit, number1(perimeter), lengthUnit));
        }
        placeLabel(m, rect.topLeft());
        break;
    }
    case 9:
        if (p.isEmpty())
            return;
        placeLabel(m, p.at(0));
        break;
    case 10: {
        if (p.size() < 2)
            return;
        setLine(m, 0, p.at(0), p.at(1));
        const double phi = QLineF(p.at(0), p.at(1)).angle() * kPi / 180.0;
        auto barb = [&](double degrees) {
            const double r = phi + degrees * kPi / 180.0;
            return p.at(1) + QPointF(12.0 * std::cos(r), -12.0 * std::sin(r));
        };
        if (m.items.size() >= 2)
            if (auto* head = qgraphicsitem_cast<QGraphicsPolygonItem*>(m.items.at(1)))
                head->setPolygon(QPolygonF({p.at(1), barb(155.0), barb(205.0)}));
        placeLabel(m, p.at(1));
        break;
    }
    case 11:
    case 12: {
        if (m.items.isEmpty() || p.size() < 3)
            return;
        setPath(m, m.kind == 11 ? polylinePath(p, true) : smoothClosedPath(p));
        const qsizetype n = p.size();
        double twiceArea = 0.0;
        double perimeter = 0.0;
        QPointF mean;
        for (qsizetype i = 0; i < n; ++i) {
            const QPointF a = scaled(p.at(i));
            const QPointF b = scaled(p.at((i + 1) % n));
            twiceArea += a.x() * b.y() - b.x() * a.y();
            perimeter += QLineF(a, b).length();
            mean += p.at(i);
        }
        setLabelText(m, QStringLiteral("S=%1 %2  P=%3 %4")
                            .arg(number1(std::abs(twiceArea) / 2.0), areaUnit, number1(perimeter), lengthUnit));
        placeLabel(m, mean / double(n));
        break;
    }
    case 14:
        if (m.items.isEmpty() || p.size() < 2)
            return;
        setLine(m, 0, p.at(0), p.at(1));
        if (m.items.size() >= 2 && p.size() >= 4) {
            setLine(m, 1, p.at(2), p.at(3));
            double theta = foldedAngle(QLineF(scaled(p.at(0)), scaled(p.at(1))),
                                       QLineF(scaled(p.at(2)), scaled(p.at(3))));
            if (theta > 90.0)
                theta = 180.0 - theta;
            setLabelText(m, QStringLiteral("Cobb %1°").arg(number1(theta)));
            placeLabel(m, ((p.at(0) + p.at(1)) / 2.0 + (p.at(2) + p.at(3)) / 2.0) / 2.0);
        } else {
            placeLabel(m, p.at(0));
        }
        break;
    default:
        return;
    }

    switch (m.kind) {
    case 3:
    case 5:
    case 10:
    case 13:
        if (m.handles.size() == 2 && p.size() >= 2) {
            m.handles.at(0)->setPos(p.at(0));
            m.handles.at(1)->setPos(p.at(1));
        }
        break;
    case 9:
        if (!m.handles.isEmpty() && !p.isEmpty())
            m.handles.first()->setPos(p.at(0));
        break;
    case 4:
    case 11:
    case 12:
    case 14:
        for (qsizetype i = 0; i < m.handles.size() && i < p.size(); ++i)
            m.handles.at(i)->setPos(p.at(i));
        break;
    default:
        break;
    }
}

void ImageViewportWidget::updateActiveMeasurement(const QPointF& q)
{
    if (activeMeasurement < 0 || activeMeasurement >= m_measurements.size())
        return;
    Measurement& m = m_measurements[activeMeasurement];
    switch (m.kind) {
    case 3:
    case 10:
    case 13:
        if (m.points.size() < 2)
            return;
        m.points[1] = q;
        refreshMeasurementGraphics(m);
        break;
    case 4:
        if (m_secondPhase) {
            if (m.points.size() >= 3 && m.items.size() >= 2) {
                m.points[2] = q;
                setLine(m, 1, m.points.at(0), q);
            }
        } else if (m.points.size() >= 2) {
            m.points[1] = q;
            setLine(m, 0, m.points.at(0), q);
        }
        break;
    case 5:
        if (m.points.size() < 2)
            return;
        m.points[1] = q;
        refreshMeasurementGraphics(m);
        setLabelText(m, QStringLiteral("отпустите для расчёта HU…"));
        break;
    case 7:
        m.points.append(q);
        setPath(m, polylinePath(m.points, false));
        break;
    case 8:
        m.points.append(q);
        setPath(m, polylinePath(m.points, true));
        if (m.label)
            m.label->setPos(q);
        break;
    case 14:
        if (m_secondPhase) {
            if (m.points.size() >= 4 && m.items.size() >= 2) {
                m.points[3] = q;
                setLine(m, 1, m.points.at(2), q);
            }
        } else if (m.points.size() >= 2) {
            m.points[1] = q;
            setLine(m, 0, m.points.at(0), q);
        }
        break;
    default:
        break;
    }
}

void ImageViewportWidget::previewContour(const QPointF& q)
{
    if (activeMeasurement < 0 || activeMeasurement >= m_measurements.size())
        return;
    const Measurement& m = m_measurements.at(activeMeasurement);
    if (m.items.isEmpty())
        return;
    QList<QPointF> points = m.points;
    points.append(q);
    if (m.kind == 12 && m.points.size() >= 2)
        setPath(m, smoothOpenPath(points));
    else
        setPath(m, polylinePath(points, false));
}

void ImageViewportWidget::setMeasurementHighlighted(int index, bool on)
{
    if (index < 0 || index >= m_measurements.size())
        return;
    const Measurement& m = m_measurements.at(index);
    const QColor colour = on ? QColor(255, 255, 0) : m.colour;
    const QPen pen = measurementPen(colour);
    for (QGraphicsItem* item : m.items) {
        if (auto* line = qgraphicsitem_cast<QGraphicsLineItem*>(item)) {
            line->setPen(pen);
        } else if (auto* ellipse = qgraphicsitem_cast<QGraphicsEllipseItem*>(item)) {
            ellipse->setPen(pen);
        } else if (auto* path = qgraphicsitem_cast<QGraphicsPathItem*>(item)) {
            path->setPen(pen);
        } else if (auto* polygon = qgraphicsitem_cast<QGraphicsPolygonItem*>(item)) {
            polygon->setPen(pen);
            polygon->setBrush(QBrush(colour, Qt::SolidPattern));
        }
    }
    if (m.label)
        m.label->setBrush(QBrush(colour, Qt::SolidPattern));
    for (QGraphicsItem* handle : m.handles)
        handle->setVisible(on);
}

void ImageViewportWidget::selectMeasurement(int index)
{
    if (index == selectedMeasurement)
        return;
    if (selectedMeasurement >= 0)
        setMeasurementHighlighted(selectedMeasurement, false);
    selectedMeasurement = index;
    if (index >= 0)
        setMeasurementHighlighted(index, true);
}

void ImageViewportWidget::setRoiLabel(const QString& name, const QColor& colour)
{
    m_mouse.pendingRoiName = name;
    m_mouse.pendingRoiColour = colour;
}

void ImageViewportWidget::setContourOverlay(const QList<QPolygonF>& polygons, const QList<QColor>& colours)
{
    clearContourOverlay();
    const qsizetype count = std::min(polygons.size(), colours.size());
    for (qsizetype i = 0; i < count; ++i) {
        QPainterPath path;
        path.addPolygon(polygons.at(i));
        path.closeSubpath();
        auto* item = new QGraphicsPathItem(path);
        item->setPen(QPen(QBrush(colours.at(i), Qt::SolidPattern), 0, Qt::DashLine, Qt::SquareCap, Qt::BevelJoin));
        item->setBrush(QBrush(colours.at(i), Qt::Dense6Pattern));
        item->setZValue(5);
        m_scene->addItem(item);
        m_contourOverlay.append(item);
    }
}

// Shows the records of the shown slice and hides all others. A reconstruction plane shows none: the
// records belong to the file's slices, not to the reconstructed image.
void ImageViewportWidget::updateMeasurementVisibility()
{
    const bool filePlane = m_plane == 0;
    for (int i = 0; i < m_measurements.size(); ++i) {
        const Measurement& m = m_measurements.at(i);
        const bool visible = filePlane && m.sliceIndex == m_currentIndex;
        for (QGraphicsItem* item : m.items)
            item->setVisible(visible);
        // A contour still being clicked keeps its label hidden until it is closed.
        const bool openContour = m_mouse.contourInProgress && i == activeMeasurement;
        if (m.label)
            m.label->setVisible(visible && !openContour);
        if (!visible)
            for (QGraphicsItem* handle : m.handles)
                handle->setVisible(false);
    }
    if (selectedMeasurement >= 0 && selectedMeasurement < m_measurements.size()) {
        const Measurement& m = m_measurements.at(selectedMeasurement);
        if (filePlane && m.sliceIndex == m_currentIndex) {
            for (QGraphicsItem* handle : m.handles)
                handle->setVisible(true);
        } else {
            selectMeasurement(-1);
        }
    }
}
