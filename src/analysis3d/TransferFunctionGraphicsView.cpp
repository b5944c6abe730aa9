#include "analysis3d/TransferFunctionGraphicsView.h"

#include "analysis3d/TransferFunctionEditorWidget.h"

#include <QGraphicsEllipseItem>
#include <QMouseEvent>

TransferFunctionGraphicsView::TransferFunctionGraphicsView(QGraphicsScene* scene, TransferFunctionEditorWidget* editor)
    : QGraphicsView(scene, editor)
    , m_editor(editor)
{
}

void TransferFunctionGraphicsView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && event->modifiers().testFlag(Qt::ControlModifier)) {
        const QGraphicsItem* item = itemAt(event->position().toPoint());
        if (item && item->type() == QGraphicsEllipseItem::Type) {
            QGraphicsView::mousePressEvent(event); // the node removes itself
            return;
        }
        m_editor->addPointAt(mapToScene(event->position().toPoint()));
        event->accept();
        return;
    }
    QGraphicsView::mousePressEvent(event);
}
