#include "RoiComponent.h"

#include <cmath>

namespace render {

namespace {

bool usable(const HuImage& image)
{
    return image.valid && image.width > 0 && image.height > 0
           && image.pixels.size() >= size_t(image.width) * size_t(image.height);
}

// Clamps before converting, so huge or NaN coordinates cannot overflow int.
int clampedIndex(double v, int lo, int hi)
{
    if (!(v > lo))
        return lo;
    if (v > hi)
        return hi;
    return static_cast<int>(v);
}

} // namespace

QList<RoiComponent> findEllipseRoiComponents(const HuImage& image, double cx, double cy, double rx, double ry,
                                             double threshold)
{
    if (!usable(image) || !(rx > 0.0) || !(ry > 0.0))
        return {};
    const int x0 = clampedIndex(std::floor(cx - rx), 0, image.width - 1);
    const int x1 = clampedIndex(std::ceil(cx + rx), 0, image.width - 1);
    const int y0 = clampedIndex(std::floor(cy - ry), 0, image.height - 1);
    const int y1 = clampedIndex(std::ceil(cy + ry), 0, image.height - 1);
    const auto inside = [cx, cy, rx, ry](int x, int y) {
        const double dx = (x - cx) / rx;
        const double dy = (y - cy) / ry;
        return dx * dx + dy * dy <= 1.0;
    };
    return floodFillRoiComponents(image, x0, x1, y0, y1, inside, threshold);
}

QList<RoiComponent> findPolygonRoiComponents(const HuImage& image, const QList<QPointF>& polygon, double threshold)
{
    if (!usable(image) || polygon.size() < 3)
        return {};
    double minX = polygon.first().x(), maxX = minX;
    double minY = polygon.first().y(), maxY = minY;
    for (const QPointF& p : polygon) {
        minX = std::min(minX, p.x());
        maxX = std::max(maxX, p.x());
        minY = std::min(minY, p.y());
        maxY = std::max(maxY, p.y());
    }
    const int x0 = clampedIndex(std::floor(minX), 0, image.width - 1);
    const int x1 = clampedIndex(std::ceil(maxX), 0, image.width - 1);
    const int y0 = clampedIndex(std::floor(minY), 0, image.height - 1);
    const int y1 = clampedIndex(std::ceil(maxY), 0, image.height - 1);
    const auto inside = [&polygon](int x, int y) { return pointInPolygon(x + 0.5, y + 0.5, polygon); };
    return floodFillRoiComponents(image, x0, x1, y0, y1, inside, threshold);
}

} // namespace render
