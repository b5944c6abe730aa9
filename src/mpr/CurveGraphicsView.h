#pragma once

#include <QGraphicsView>
#include <QPoint>

class CurveEditorWidget;

// The curve editor's view: Ctrl-click inserts or deletes points, the middle button drags the window,
// the right button zooms (outer band) or pans (centre), the wheel steps slices or zooms with Ctrl.
class CurveGraphicsView : public QGraphicsView
{
    Q_OBJECT

public:
    CurveGraphicsView(QGraphicsScene* scene, CurveEditorWidget* editor);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    CurveEditorWidget* editor = nullptr;
    bool windowLevelDragging = false;
    bool zoomDragging = false;
    bool panDragging = false;
    QPoint lastMousePos;
};
