#pragma once

#include <QColor>
#include <QList>
#include <QPointF>
#include <QString>

class QGraphicsItem;
class QGraphicsSimpleTextItem;

// Tool of a viewing panel: 0 pan, 1 zoom, 2 window/level drag, 3 ruler, 4 angle, 5 ROI (HU), 6 3D cursor,
// 7 freehand drawing, 8 freehand ROI (HU), 9 text, 10 arrow, 11 polygon, 12 smoothed contour,
// 13 ellipse area, 14 Cobb angle, 15 slice scrolling by drag, 16 curved-path points,
// 17 vessel auto-track seeds, 18 endoscopy lumen seed. A measurement's kind is the mode that made it.
using MeasurementMode = int;

// One measurement or annotation of a panel together with the scene items that show it. The record owns
// its items, label and handles; the panel deletes them when it removes the record.
struct ViewportMeasurement
{
    int kind = 3;
    int sliceIndex = 0;
    QList<QPointF> points; // image pixel coordinates (= scene coordinates)
    QList<QGraphicsItem*> items;
    QGraphicsSimpleTextItem* label = nullptr;
    QList<QGraphicsItem*> handles;
    QColor colour;
    QString name;
    QPointF labelOffset;
};

// The public copy of a measurement, as handed to printing and export.
struct ViewportMeasurementInfo
{
    int kind = 3;
    QList<QPointF> points;
    QString text;
    QColor colour;
    QString name;
};
