#pragma once

#include <QGraphicsEllipseItem>
#include <QPointF>

class CurveEditorWidget;

// One control point of the curve editor. It keeps its on-screen size at every zoom and turns its own
// moves into point edits unless the editor is placing it.
class CurveHandleItem : public QGraphicsEllipseItem
{
public:
    CurveHandleItem(int index, CurveEditorWidget* editor);

    int index = 0;
    CurveEditorWidget* editor = nullptr;
    QPointF lastPos;
    bool syncSuppressed = false;

protected:
    QVariant itemChange(GraphicsItemChange change, const QVariant& value) override;
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;
    void hoverEnterEvent(QGraphicsSceneHoverEvent* event) override;
    void hoverLeaveEvent(QGraphicsSceneHoverEvent* event) override;
};
