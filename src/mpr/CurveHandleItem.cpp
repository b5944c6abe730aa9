#include "mpr/CurveHandleItem.h"

#include "mpr/CurveEditorWidget.h"

#include <QBrush>
#include <QCursor>
#include <QGraphicsSceneMouseEvent>
#include <QPen>
#include <QTimer>

namespace {
const QColor kHandleColor(255, 200, 0);
const QColor kHoverColor(255, 255, 0);
} // namespace

CurveHandleItem::CurveHandleItem(int index_, CurveEditorWidget* editor_)
    : QGraphicsEllipseItem(-5.0, -5.0, 10.0, 10.0), index(index_), editor(editor_)
{
    setBrush(kHandleColor);
    setPen(QPen(Qt::black, 1.0));
    setZValue(10);
    setCursor(Qt::PointingHandCursor);
    setAcceptHoverEvents(true);
    setFlags(ItemIsMovable | ItemSendsGeometryChanges | ItemIgnoresTransformations);
}

QVariant CurveHandleItem::itemChange(GraphicsItemChange change, const QVariant& value)
{
    if (change == ItemPositionChange && editor) {
        const QPointF newPos = value.toPointF();
        if (!syncSuppressed)
            editor->handlePositionChanging(this, newPos);
        lastPos = newPos;
    }
    return QGraphicsEllipseItem::itemChange(change, value);
}

void CurveHandleItem::mousePressEvent(QGraphicsSceneMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ControlModifier)) {
        // Removal deletes this very item, so it waits until the press has been delivered.
        event->accept();
        if (editor) {
            const int i = index;
            CurveEditorWidget* e = editor;
            QTimer::singleShot(0, e, [e, i] { e->removePointAt(i); });
        }
        return;
    }
    if (event->button() == Qt::LeftButton && editor) {
        lastPos = pos();
        editor->pushUndoSnapshot();
    }
    QGraphicsEllipseItem::mousePressEvent(event);
}

void CurveHandleItem::mouseReleaseEvent(QGraphicsSceneMouseEvent* event)
{
    QGraphicsEllipseItem::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && editor)
        editor->handleReleased();
}

void CurveHandleItem::hoverEnterEvent(QGraphicsSceneHoverEvent* event)
{
    setBrush(kHoverColor);
    QGraphicsEllipseItem::hoverEnterEvent(event);
}

void CurveHandleItem::hoverLeaveEvent(QGraphicsSceneHoverEvent* event)
{
    setBrush(kHandleColor);
    QGraphicsEllipseItem::hoverLeaveEvent(event);
}
