#pragma once
// Drawing helpers shared by the 2D panel and the reconstruction panels: drag handles, the label shadow,
// point-to-segment distance and the paths of polylines and smooth contours.

#include <QList>
#include <QPainterPath>
#include <QPointF>

class QGraphicsEllipseItem;
class QGraphicsItem;
class QGraphicsScene;
class QWidget;

// A hidden 8 x 8 screen-pixel white handle centred on pos, drawn above everything else; added to the scene.
QGraphicsEllipseItem* createHandleItem(QGraphicsScene* scene, const QPointF& pos);

// Dark halo that keeps a label readable on bright and dark pixels alike.
void applyLabelShadow(QGraphicsItem* item);
void applyLabelShadow(QWidget* label);

double distanceToSegment(const QPointF& p, const QPointF& a, const QPointF& b);

// True when p lies inside or on the ellipse inscribed in the rectangle spanned by two corners; a flat
// ellipse holds nothing.
bool insideEllipse(const QPointF& p, const QPointF& corner1, const QPointF& corner2);

// Straight segments through the points in order; closed back to the first point when asked.
QPainterPath polylinePath(const QList<QPointF>& points, bool closed);

// Closed uniform Catmull-Rom curve through three or more points (indexes wrap around).
QPainterPath smoothClosedPath(const QList<QPointF>& points);

// Open Catmull-Rom curve through the points, the end tangents taken from the end points themselves;
// two points give a straight line.
QPainterPath smoothOpenPath(const QList<QPointF>& points);
