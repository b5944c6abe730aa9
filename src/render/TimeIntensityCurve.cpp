#include "render/TimeIntensityCurve.h"

#include "render/HuImage.h"

#include <algorithm>

namespace render {

TimeIntensitySample roiSampleOnInstance(const db::InstanceRecord& instance, double cx, double cy, double rx,
                                        double ry)
{
    // Written so that a NaN radius counts as no ROI as well.
    if (!(rx > 0.0) || !(ry > 0.0))
        return {};
    HuImage image;
    if (!loadHuFrame(image, instance.filePath, instance.frameIndex, nullptr, instance.object())
        || !image.valid)
        return {};
    const RoiStats stats = ellipseRoiStats(image, cx, cy, rx, ry);
    if (stats.count == 0)
        return {};
    TimeIntensitySample sample;
    sample.mean = stats.mean;
    sample.stdDev = stats.stdDev;
    sample.count = stats.count;
    return sample;
}

TimeIntensityCurve computeTimeIntensityCurve(const PhaseGrouping& phases, int sliceIndex, double cx, double cy,
                                             double rx, double ry)
{
    TimeIntensityCurve curve;
    if (phases.phases.isEmpty() || !phases.message.isEmpty()) {
        curve.error = phases.message.isEmpty() ? QStringLiteral("Временные фазы не определены") : phases.message;
        return curve;
    }
    curve.timeIsPhaseIndex = phases.timeIsPhaseIndex;
    for (const TemporalPhase& phase : phases.phases) {
        if (sliceIndex < 0 || sliceIndex >= phase.instances.size()) {
            curve.error = QStringLiteral("Индекс среза (%1) вне диапазона одной из фаз (в ней %2 срезов) — у фаз "
                                         "оказалось разное число срезов.")
                              .arg(sliceIndex)
                              .arg(phase.instances.size());
            return curve;
        }
        TimeIntensitySample sample = roiSampleOnInstance(phase.instances[sliceIndex], cx, cy, rx, ry);
        sample.time = phase.time;
        curve.samples.append(sample);
    }
    const bool anyUnread = std::any_of(curve.samples.cbegin(), curve.samples.cend(),
                                       [](const TimeIntensitySample& s) { return s.count == 0; });
    if (anyUnread)
        curve.warning = QStringLiteral(
            "Не удалось прочитать ROI на одной или нескольких фазах — эти точки на графике будут пропущены.");
    curve.shape = classifyTimeIntensityCurve(curve);
    return curve;
}

int classifyTimeIntensityCurve(const TimeIntensityCurve& curve)
{
    QList<double> means;
    for (const TimeIntensitySample& s : curve.samples) {
        if (s.count > 0)
            means.append(s.mean);
    }
    if (means.size() < 3)
        return 0;
    qsizetype peak = 0;
    for (qsizetype i = 1; i < means.size(); ++i) {
        if (means[i] > means[peak]) // strictly greater: the earliest of equal means stays the peak
            peak = i;
    }
    const double rise = means[peak] - means.first();
    if (!(rise > 0.000001))
        return 0;
    if (peak == means.size() - 1)
        return 1;
    const double washout = (means[peak] - means.last()) / rise;
    return washout > 0.1 ? 3 : 2;
}

} // namespace render
