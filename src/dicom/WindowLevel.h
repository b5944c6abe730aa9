#pragma once

#include <QString>

#include <algorithm>
#include <cmath>

namespace render {

// A window centre and width in modality values after rescale (HU for CT). Passed by value between the
// viewer, the frame decoder and the renderers.
struct WindowLevel
{
    double center = 0.0;
    double width = 0.0;
};

// The window that shows a value range whole: centred on it and at least one unit wide, so the grey
// mapping never divides by zero.
inline WindowLevel windowForRange(double minValue, double maxValue)
{
    return {(minValue + maxValue) / 2.0, std::max(maxValue - minValue, 1.0)};
}

// A window value as corner texts show it: the nearest integer, halves away from zero, written out in
// full however large; a dash where there is no number to show.
inline QString windowValueText(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("—");
    return QString::number(std::round(value) + 0.0, 'f', 0); // + 0.0: -0.4 reads 0, not -0
}

} // namespace render
