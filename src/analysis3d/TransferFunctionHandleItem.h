#pragma once

#include <QGraphicsEllipseItem>

class TransferFunctionEditorWidget;

// One node of the transfer-function editor: dragged to change its point, Ctrl+click removes it,
// double-click chooses its colour.
class TransferFunctionHandleItem : public QGraphicsEllipseItem
{
public:
    TransferFunctionHandleItem(int index, TransferFunctionEditorWidget* editor);

    int index() const { return m_index; }

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseReleaseEvent(QGraphicsSceneMouseEvent* event) override;
    void mouseDoubleClickEvent(QGraphicsSceneMouseEvent* event) override;
    QVariant itemChange(GraphicsItemChange change, const QVariant& value) override;

private:
    int m_index;
    TransferFunctionEditorWidget* m_editor;
};
