#pragma once
// Where the slices of a series lie along its stacking direction, and the spacing between them.

#include "db/InstanceRecord.h"

#include <QList>

namespace clinical {

// The middle value, or the mean of the two middle values for an even count; 0 for no values.
double median(QList<double> values);

// Each instance's place along the series' stacking direction, in mm: its image position projected on the
// first instance's slice normal, or its Slice Location when any instance lacks position and orientation.
QList<double> stackPositionsMm(const QList<db::InstanceRecord>& instances);

// The median distance between neighbouring slices, in position order; 0 for fewer than two slices.
double medianSliceSpacingMm(const QList<db::InstanceRecord>& instances);

} // namespace clinical
