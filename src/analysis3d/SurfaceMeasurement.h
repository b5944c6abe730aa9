#pragma once

#include <QPoint>
#include <QVector3D>

class QLabel;

// A distance measured between two picked points of the visible surface of the GPU 3D view.
struct SurfaceMeasurement
{
    QPoint screenA; // widget pixels, as clicked or dragged
    QPoint screenB;
    QVector3D worldA; // mm, origin at the volume's centre
    QVector3D worldB;
    QLabel* label = nullptr; // child of the view; null until first shown
};
