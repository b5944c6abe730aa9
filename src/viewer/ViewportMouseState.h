#pragma once

#include <QColor>
#include <QList>
#include <QPoint>
#include <QPointF>
#include <QString>

#include <array>

class QGraphicsItem;

// What a viewing panel remembers between mouse events: drags in progress, a measurement waiting for the
// mouse to move far enough, the contour being clicked, and the picks handed to other windows.
struct ViewportMouseState
{
    // Drags of the right and middle buttons and of the navigation tools (view pixels).
    bool windowLevelDrag = false;
    QPoint lastPos;
    QPoint pressPos;
    int pressedButton = 0; // Qt::MouseButton of a right or middle drag, 0 none
    bool panDrag = false;
    bool zoomDrag = false;
    bool scrollDrag = false;
    int scrollAccumulator = 0;

    // A measuring tool was pressed and waits for the mouse to move 4 pixels.
    bool pendingCreation = false;
    QPoint pendingViewPos;
    QPointF pendingScenePos;

    bool contourInProgress = false;

    bool handleDrag = false;
    int handleIndex = -1;
    bool labelDrag = false;
    int labelDragIndex = -1;
    QPointF labelDragOffset;
    QPointF labelDragStart;
    QPointF labelDragLabelPos;
    bool cursor3DDrag = false;

    // Name and colour handed in by an embedding window for the next contour it asks for.
    QString pendingRoiName;
    QColor pendingRoiColour;

    // Picks that survive a change of tool.
    bool curvedPathActive = false;
    QList<std::array<double, 3>> curvedPathPoints;
    QList<int> curvedPathSlices;
    QList<QGraphicsItem*> curvedPathMarkers;
    QList<std::array<double, 3>> vesselSeeds;
    QList<QGraphicsItem*> vesselMarkers;
};
