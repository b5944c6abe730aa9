// Selecting, hit-testing and dragging the finished measurements of a reconstruction panel.

#include "mpr/MprViewportWidget.h"

#include "viewer/MeasurementGraphics.h"

#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QPen>

namespace {

const QString kRoiEditText = QStringLiteral("отпустите для пересчёта HU…");

} // namespace

bool MprViewportWidget::onCurrentSlice(int index) const
{
    return index >= 0 && index < m_measurements.size() && m_measurements.at(index).sliceIndex == m_sliceIndex;
}

void MprViewportWidget::selectMeasurement(int index)
{
    if (index == m_selectedIndex)
        return;
    if (m_selectedIndex >= 0)
        setMeasurementHighlighted(m_selectedIndex, false);
    m_selectedIndex = index;
    if (index >= 0)
        setMeasurementHighlighted(index, true);
}

void MprViewportWidget::setMeasurementHighlighted(int index, bool on)
{
    if (index < 0 || index >= m_measurements.size())
        return;
    const Measurement& m = m_measurements.at(index);
    const bool stenosis = m.kind == 15 || m.kind == 16;
    const QColor colour = on ? (stenosis ? QColor(255, 220, 0) : QColor(255, 255, 255)) : m.colour;
    const double width = stenosis ? 3.5 : 0.0;
    for (QGraphicsItem* item : m.items) {
        if (auto* polygon = dynamic_cast<QGraphicsPolygonItem*>(item)) {
            polygon->setPen(QPen(QBrush(colour), 0));
            polygon->setBrush(QBrush(colour));
        } else if (auto* ellipse = dynamic_cast<QGraphicsEllipseItem*>(item)) {
            QPen pen = ellipse->pen();
            pen.setColor(colour);
            pen.setWidthF(0.0);
            ellipse->setPen(pen);
        } else if (auto* shape = dynamic_cast<QAbstractGraphicsShapeItem*>(item)) {
            QPen pen = shape->pen();
            pen.setColor(colour);
            pen.setWidthF(width);
            pen.setCosmetic(stenosis);
            shape->setPen(pen);
        } else if (auto* line = dynamic_cast<QGraphicsLineItem*>(item)) {
            QPen pen = line->pen();
            pen.setColor(colour);
            pen.setWidthF(width);
            pen.setCosmetic(stenosis);
            line->setPen(pen);
        }
    }
    if (m.label)
        m.label->setBrush(QColor(255, 40, 40));
    for (QGraphicsItem* handle : m.handles)
        handle->setVisible(on && m.sliceIndex == m_sliceIndex);
}

int MprViewportWidget::hitTestMeasurement(const QPointF& p) const
{
    const double scale = m_view->transform().m11();
    const double t = scale > 0.0 ? 6.0 / scale : 6.0;
    for (int i = 0; i < m_measurements.size(); ++i) {
        const Measurement& m = m_measurements.at(i);
        const QList<QPointF>& q = m.points;
        if (m.sliceIndex != m_sliceIndex || q.size() < 2)
            continue;
        bool hit = false;
        switch (m.kind) {
        case 4: case 5: case 11: case 15:
            hit = distanceToSegment(p, q.at(0), q.at(1)) <= t;
            break;
        case 6:
            hit = q.size() >= 3
                && (distanceToSegment(p, q.at(0), q.at(1)) <= t || distanceToSegment(p, q.at(0), q.at(2)) <= t);
            break;
        case 7: case 14:
            hit = insideEllipse(p, q.at(0), q.at(1));
            break;
        case 9:
            for (int k = 0; k + 1 < q.size() && !hit; ++k)
                hit = distanceToSegment(p, q.at(k), q.at(k + 1)) <= t;
            break;
        case 12: case 13: case 16:
            // An open contour is still being drawn and cannot be grabbed.
            if (m_contourOpen && i == m_activeIndex)
                break;
            for (int k = 0; k < q.size() && !hit; ++k)
                hit = distanceToSegment(p, q.at(k), q.at((k + 1) % q.size())) <= t;
            break;
        default:
            break;
        }
        if (hit)
            return i;
    }
    return -1;
}

bool MprViewportWidget::grabExistingMeasurement(const QPoint& viewPos, const QPointF& s)
{
    if (onCurrentSlice(m_selectedIndex)) {
        const Measurement& m = m_measurements.at(m_selectedIndex);
        for (int h = 0; h < m.handles.size(); ++h) {
            const QPoint handlePos = m_view->mapFromScene(m.handles.at(h)->pos());
            if ((handlePos - viewPos).manhattanLength() <= 10) {
                m_handleDragging = true;
                m_activeIndex = m_selectedIndex;
                m_dragHandleIndex = h;
                return true;
            }
        }
    }
    const QTransform viewTransform = m_view->viewportTransform();
    for (int i = 0; i < m_measurements.size(); ++i) {
        const Measurement& m = m_measurements.at(i);
        if (m.sliceIndex != m_sliceIndex || !m.label || !m.label->isVisible())
            continue;
        // Labels keep their size on screen, so they are tested where the user sees them.
        const QRectF onScreen = m.label->deviceTransform(viewTransform).mapRect(m.label->boundingRect());
        if (onScreen.contains(QPointF(viewPos))) {
            selectMeasurement(i);
            m_labelDragging = true;
            m_labelDragIndex = i;
            m_labelDragStartOffset = m.labelOffset;
            m_labelDragStartScene = s;
            return true;
        }
    }
    const int i = hitTestMeasurement(s);
    if (i >= 0) {
        selectMeasurement(i);
        m_bodyPressed = true;
        m_bodyDragIndex = i;
        m_bodyPressViewPos = viewPos;
        m_bodyPressScenePos = s;
        m_bodyStartPoints = m_measurements.at(i).points;
        return true;
    }
    return false;
}

bool MprViewportWidget::moveEditedMeasurement(const QPoint& viewPos, const QPointF& c)
{
    if (m_labelDragging) {
        if (m_labelDragIndex >= 0 && m_labelDragIndex < m_measurements.size()) {
            m_measurements[m_labelDragIndex].labelOffset = m_labelDragStartOffset + (c - m_labelDragStartScene);
            layoutMeasurement(m_labelDragIndex);
        }
        return true;
    }
    if (m_bodyPressed || m_bodyMoved) {
        if (!m_bodyMoved) {
            if ((viewPos - m_bodyPressViewPos).manhattanLength() < 4)
                return true;
            m_bodyPressed = false;
            m_bodyMoved = true;
        }
        if (m_bodyDragIndex >= 0 && m_bodyDragIndex < m_measurements.size()) {
            Measurement& m = m_measurements[m_bodyDragIndex];
            const QPointF delta = c - m_bodyPressScenePos;
            for (int i = 0; i < m.points.size() && i < m_bodyStartPoints.size(); ++i)
                m.points[i] = m_bodyStartPoints.at(i) + delta;
            layoutMeasurement(m_bodyDragIndex);
            if (m.kind == 7 && m.label)
                m.label->setText(kRoiEditText);
        }
        return true;
    }
    if (m_handleDragging) {
        if (m_activeIndex >= 0 && m_activeIndex < m_measurements.size()) {
            Measurement& m = m_measurements[m_activeIndex];
            const int h = m_dragHandleIndex;
            if (h >= 0 && h < m.points.size()) {
                if (m.kind == 5 && m.points.size() >= 2 && h <= 1) {
                    const QPointF other = m.points.at(1 - h);
                    m.points[h] = m_centerlineHorizontal ? QPointF(other.x(), c.y()) : QPointF(c.x(), other.y());
                } else {
                    m.points[h] = c;
                }
                layoutMeasurement(m_activeIndex);
                if (m.kind == 7 && m.label)
                    m.label->setText(kRoiEditText);
            }
        }
        return true;
    }
    return false;
}

void MprViewportWidget::recomputeRoiLabel(int index)
{
    if (index < 0 || index >= m_measurements.size())
        return;
    Measurement& m = m_measurements[index];
    if (m.kind == 7 && m.label && m_roiStatsProvider)
        m.label->setText(roiText(index));
}

bool MprViewportWidget::releaseEditedMeasurement()
{
    if (m_labelDragging) {
        m_labelDragging = false;
        m_labelDragIndex = -1;
        return true;
    }
    if (m_bodyPressed || m_bodyMoved) {
        m_bodyPressed = false;
        if (m_bodyMoved) {
            m_bodyMoved = false;
            if (m_bodyDragIndex >= 0 && m_bodyDragIndex < m_measurements.size()) {
                recomputeRoiLabel(m_bodyDragIndex);
                selectMeasurement(m_bodyDragIndex);
            }
        }
        m_bodyDragIndex = -1;
        return true;
    }
    if (m_handleDragging) {
        m_handleDragging = false;
        if (m_activeIndex < 0)
            return true;
        recomputeRoiLabel(m_activeIndex);
        selectMeasurement(m_activeIndex);
        m_activeIndex = -1;
        return true;
    }
    return false;
}
