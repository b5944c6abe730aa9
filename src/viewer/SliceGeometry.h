#pragma once
// Plane geometry of shown slices in patient space: where the plane of one panel's slice cuts the slice
// of another (reference lines) and where a patient point falls on a slice (3D cursor). No widgets.

#include "db/InstanceRecord.h"

#include <QLineF>
#include <QVector3D>

#include <optional>

// The plane of one shown slice. Single precision, as the scene it is drawn into.
struct SliceGeometry
{
    QVector3D origin;       // patient mm of the first pixel's centre
    QVector3D rowDirection; // unit, direction of increasing column index (image x)
    QVector3D colDirection; // unit, direction of increasing row index (image y)
    QVector3D normal;       // unit, row x column
    double spacingX = 1.0;  // mm per pixel along image x; 1 when the file gives none
    double spacingY = 1.0;
    int width = 0; // pixels of the image the panel shows
    int height = 0;
    bool valid = false;
};

// A line in patient space.
struct ReferenceLine3D
{
    QVector3D point;
    QVector3D direction; // unit
    bool valid = false;
};

// Length-1 vectors and vectors of length 1e-5 or less are returned as they are.
QVector3D normalizedDirection(const QVector3D& v);

SliceGeometry makeSliceGeometry(const db::InstanceRecord& slice, int width, int height);
// The line in which the two planes meet; invalid for parallel or nearly parallel planes.
ReferenceLine3D intersectSlicePlanes(const SliceGeometry& a, const SliceGeometry& b);
// The part of the line that crosses the image of g, in g's image pixel coordinates; empty when the line
// misses the image or runs along g's viewing direction.
std::optional<QLineF> clipLineToImage(const SliceGeometry& g, const ReferenceLine3D& line);
// Image pixel coordinates of a patient point projected onto the plane of g.
QPointF patientToImage(const SliceGeometry& g, const QVector3D& patient);
