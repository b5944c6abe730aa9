#pragma once

#include <QGraphicsView>

class TransferFunctionEditorWidget;

// The plot of the transfer-function editor; Ctrl+click on the plot adds a point.
class TransferFunctionGraphicsView : public QGraphicsView
{
    Q_OBJECT

public:
    TransferFunctionGraphicsView(QGraphicsScene* scene, TransferFunctionEditorWidget* editor);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    TransferFunctionEditorWidget* m_editor;
};
