#include "render/RoiMask.h"

#include <algorithm>
#include <cmath>

namespace render {

namespace {

// Clamps a double bound into [lo, hi] before converting, so huge or NaN coordinates cannot overflow int.
int clampedIndex(double v, int lo, int hi)
{
    if (!(v > lo))
        return lo;
    if (v > hi)
        return hi;
    return static_cast<int>(v);
}

RoiBox clampedBox(int width, int height, double minX, double maxX, double minY, double maxY)
{
    RoiBox box;
    box.x0 = clampedIndex(std::floor(minX), 0, width - 1);
    box.x1 = clampedIndex(std::ceil(maxX), 0, width - 1);
    box.y0 = clampedIndex(std::floor(minY), 0, height - 1);
    box.y1 = clampedIndex(std::ceil(maxY), 0, height - 1);
    return box;
}

} // namespace

bool huImageUsable(const HuImage& image)
{
    return image.valid && image.width > 0 && image.height > 0
           && image.pixels.size() >= size_t(image.width) * size_t(image.height);
}

RoiBox roiBox(const HuImage& image, const EllipseRoi& roi)
{
    if (!huImageUsable(image))
        return {};
    return roiBox(image.width, image.height, roi);
}

RoiBox roiBox(int width, int height, const EllipseRoi& roi)
{
    if (width < 1 || height < 1 || !(roi.rx > 0.0) || !(roi.ry > 0.0))
        return {};
    return clampedBox(width, height, roi.cx - roi.rx, roi.cx + roi.rx, roi.cy - roi.ry, roi.cy + roi.ry);
}

RoiBox roiBox(const HuImage& image, const PolygonRoi& roi)
{
    const QList<QPointF>& polygon = roi.polygon;
    if (!huImageUsable(image) || polygon.size() < 3)
        return {};
    double minX = polygon.first().x(), maxX = minX;
    double minY = polygon.first().y(), maxY = minY;
    for (const QPointF& p : polygon) {
        minX = std::min(minX, p.x());
        maxX = std::max(maxX, p.x());
        minY = std::min(minY, p.y());
        maxY = std::max(maxY, p.y());
    }
    return clampedBox(image.width, image.height, minX, maxX, minY, maxY);
}

} // namespace render
