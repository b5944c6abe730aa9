#include "analysis3d/TransferFunctionHandleItem.h"

#include "analysis3d/TransferFunctionEditorWidget.h"

#include <QGraphicsSceneMouseEvent>
#include <QPointer>
#include <QTimer>

TransferFunctionHandleItem::TransferFunctionHandleItem(int index, TransferFunctionEditorWidget* editor)
    : QGraphicsEllipseItem(-6, -6, 12, 12)
    , m_index(index)
    , m_editor(editor)
{
}

void TransferFunctionHandleItem::mousePressEvent(QGraphicsSceneMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && event->modifiers().testFlag(Qt::ControlModifier)) {
        // Removal rebuilds the scene, which deletes this node: it runs after this handler has returned.
        QPointer<TransferFunctionEditorWidget> editor(m_editor);
        const int index = m_index;
        QTimer::singleShot(0, m_editor, [editor, index] {
            if (editor)
                editor->removePoint(index);
        });
        event->accept();
        return;
    }
    QGraphicsEllipseItem::mousePressEvent(event);
}

void TransferFunctionHandleItem::mouseReleaseEvent(QGraphicsSceneMouseEvent* event)
{
    QGraphicsEllipseItem::mouseReleaseEvent(event);
    m_editor->nodeReleased();
}

void TransferFunctionHandleItem::mouseDoubleClickEvent(QGraphicsSceneMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        QPointer<TransferFunctionEditorWidget> editor(m_editor);
        const int index = m_index;
        QTimer::singleShot(0, m_editor, [editor, index] {
            if (editor)
                editor->editPointColor(index);
        });
        event->accept();
        return;
    }
    QGraphicsEllipseItem::mouseDoubleClickEvent(event);
}

QVariant TransferFunctionHandleItem::itemChange(GraphicsItemChange change, const QVariant& value)
{
    if (change == ItemPositionChange)
        return m_editor->moveNode(m_index, value.toPointF());
    return QGraphicsEllipseItem::itemChange(change, value);
}
