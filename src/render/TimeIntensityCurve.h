#pragma once
// Time-intensity curves of dynamic contrast-enhanced studies: the mean of an elliptical ROI at one
// slice position in every phase, and the shape class of the curve after its peak.

#include "db/InstanceRecord.h"
#include "db/PhaseGrouping.h"

#include <QList>
#include <QString>

namespace render {

struct TimeIntensitySample
{
    double time = 0.0; // the phase's time: seconds, or a phase count when timeIsPhaseIndex
    double mean = 0.0; // ROI mean after rescale
    double stdDev = 0.0;
    int count = 0; // 0: the ROI could not be read on this phase
};

struct TimeIntensityCurve
{
    QList<TimeIntensitySample> samples; // one per phase, in phase order, unreadable phases included
    bool timeIsPhaseIndex = false;
    // 0 no class, 1 still rising at the end, 2 plateau, 3 washout.
    int shape = 0;
    QString error;
    QString warning; // some phases could not be read
};

// The ellipse is centre x, centre y, radius x, radius y in image pixels of the phase's frame.
TimeIntensityCurve computeTimeIntensityCurve(const PhaseGrouping& phases, int sliceIndex, double cx, double cy,
                                             double rx, double ry);
// The ROI statistics on one row's frame; an empty sample (all 0) when it cannot be read. `time` is 0.
TimeIntensitySample roiSampleOnInstance(const db::InstanceRecord& instance, double cx, double cy, double rx,
                                        double ry);
int classifyTimeIntensityCurve(const TimeIntensityCurve& curve);

} // namespace render
