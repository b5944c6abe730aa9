#pragma once
// Expectations shared by the frame decoder and import tests.

#include <cmath>

namespace dicomtest {

// DICOM's linear VOI function mapped to 0..255: the grey level a decoded frame should hold for a
// stored value under the window (center, width).
inline int expectedGray(double value, double center, double width)
{
    if (value <= center - 0.5 - (width - 1) / 2)
        return 0;
    if (value > center - 0.5 + (width - 1) / 2)
        return 255;
    return int(std::lround(((value - (center - 0.5)) / (width - 1) + 0.5) * 255.0));
}

} // namespace dicomtest
