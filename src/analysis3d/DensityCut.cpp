#include "analysis3d/DensityCut.h"

#include <algorithm>

namespace {

constexpr double kRampHu = 20.0;

render::TransferFunctionPoint sampledPoint(const render::TransferFunctionPreset& preset, double value, bool opaque)
{
    float rgb[3];
    render::sampleTransferFunctionColor(preset, rgb, value);
    const QColor color = QColor::fromRgbF(std::clamp(rgb[0], 0.f, 1.f), std::clamp(rgb[1], 0.f, 1.f),
                                          std::clamp(rgb[2], 0.f, 1.f), 1.f);
    return {value, color, opaque ? render::sampleTransferFunctionOpacity(preset, value) : 0.0};
}

} // namespace

render::TransferFunctionPreset densityCutPreset(const render::TransferFunctionPreset& preset, const DensityCut& cut)
{
    if (!cut.enabled || cut.minHu >= cut.maxHu)
        return preset;
    const double mid = (cut.minHu + cut.maxHu) / 2.0;
    const double a = std::min(mid, cut.minHu + kRampHu);
    const double b = std::max(mid, cut.maxHu - kRampHu);

    render::TransferFunctionPreset out;
    out.name = preset.name;
    out.points.append(sampledPoint(preset, cut.minHu, false));
    out.points.append(sampledPoint(preset, a, true));
    for (const render::TransferFunctionPoint& p : preset.points)
        if (p.value > a && p.value < b)
            out.points.append(p);
    out.points.append(sampledPoint(preset, b, true));
    out.points.append(sampledPoint(preset, cut.maxHu, false));
    return out;
}
