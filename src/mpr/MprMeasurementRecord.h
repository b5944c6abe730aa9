#pragma once

#include <QList>
#include <QPointF>

// The storable form of a reconstruction panel's measurement: what the curved-MPR state file keeps.
struct MprMeasurementRecord
{
    int kind = 4;
    int sliceIndex = 0;
    QList<QPointF> points; // image pixels of the panel's picture
    QPointF labelOffset;
};
