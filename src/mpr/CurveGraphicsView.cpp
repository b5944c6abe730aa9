#include "mpr/CurveGraphicsView.h"

#include "mpr/CurveEditorWidget.h"

#include <QGraphicsEllipseItem>
#include <QMouseEvent>
#include <QScrollBar>
#include <QWheelEvent>

#include <cmath>

CurveGraphicsView::CurveGraphicsView(QGraphicsScene* scene, CurveEditorWidget* editor_)
    : QGraphicsView(scene, editor_), editor(editor_)
{
    setRenderHint(QPainter::Antialiasing);
    setDragMode(QGraphicsView::NoDrag);
    setBackgroundBrush(Qt::black);
    setMouseTracking(true);
}

void CurveGraphicsView::mousePressEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ControlModifier)) {
        if (dynamic_cast<QGraphicsEllipseItem*>(itemAt(p))) {
            QGraphicsView::mousePressEvent(event); // the handle deletes its point
            return;
        }
        editor->insertPointAt(mapToScene(p));
        event->accept();
        return;
    }
    if (event->button() == Qt::MiddleButton) {
        lastMousePos = p;
        windowLevelDragging = true;
        event->accept();
        return;
    }
    if (event->button() == Qt::RightButton) {
        lastMousePos = p;
        const int w = viewport()->width();
        const int h = viewport()->height();
        const int mx = int(0.25 * w);
        const int my = int(0.25 * h);
        if (p.x() < mx || p.y() < my || p.x() > w - mx || p.y() > h - my)
            zoomDragging = true;
        else
            panDragging = true;
        event->accept();
        return;
    }
    QGraphicsView::mousePressEvent(event);
}

void CurveGraphicsView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (windowLevelDragging || zoomDragging || panDragging) {
        const int dx = p.x() - lastMousePos.x();
        const int dy = p.y() - lastMousePos.y();
        const QPoint previous = lastMousePos;
        lastMousePos = p;
        if (windowLevelDragging) {
            editor->dragWindowLevel(dx, dy);
        } else if (zoomDragging) {
            const double factor = std::pow(1.01, double(previous.y() - p.y()));
            editor->m_userZoomed = true;
            scale(factor, factor);
        } else {
            horizontalScrollBar()->setValue(horizontalScrollBar()->value() - dx);
            verticalScrollBar()->setValue(verticalScrollBar()->value() - dy);
        }
        event->accept();
        return;
    }
    QGraphicsView::mouseMoveEvent(event);
}

void CurveGraphicsView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::MiddleButton && windowLevelDragging) {
        windowLevelDragging = false;
        event->accept();
        return;
    }
    if (event->button() == Qt::RightButton && (zoomDragging || panDragging)) {
        zoomDragging = false;
        panDragging = false;
        event->accept();
        return;
    }
    QGraphicsView::mouseReleaseEvent(event);
}

void CurveGraphicsView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        emit editor->doubleClicked();
        event->accept();
        return;
    }
    QGraphicsView::mouseDoubleClickEvent(event);
}

void CurveGraphicsView::wheelEvent(QWheelEvent* event)
{
    const int dy = event->angleDelta().y();
    if (event->modifiers() & Qt::ControlModifier) {
        const double factor = dy >= 1 ? 1.15 : 1.0 / 1.15;
        editor->m_userZoomed = true;
        scale(factor, factor);
    } else {
        editor->stepSlice(dy > 0 ? 1 : -1);
    }
    event->accept();
}

void CurveGraphicsView::resizeEvent(QResizeEvent* event)
{
    QGraphicsView::resizeEvent(event);
    // The pane's own resize arrives before the view's when the pane is first shown, so the fit is
    // repeated once the view knows its real size.
    if (!editor->m_userZoomed)
        editor->fitView();
}
