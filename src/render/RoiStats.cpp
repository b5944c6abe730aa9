#include "HuImage.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace render {

namespace {

struct Accumulator
{
    double sum = 0.0;
    double sumSquares = 0.0;
    double min = DBL_MAX;
    double max = -DBL_MAX;
    int count = 0;

    void add(double v)
    {
        sum += v;
        sumSquares += v * v;
        min = std::min(min, v);
        max = std::max(max, v);
        ++count;
    }

    RoiStats result() const
    {
        RoiStats s;
        if (count == 0)
            return s;
        s.mean = sum / count;
        s.stdDev = std::sqrt(std::max(sumSquares / count - s.mean * s.mean, 0.0));
        s.min = min;
        s.max = max;
        s.count = count;
        return s;
    }
};

bool usable(const HuImage& image)
{
    return image.valid && image.width > 0 && image.height > 0
           && image.pixels.size() >= size_t(image.width) * size_t(image.height);
}

// Clamps a double bound into [lo, hi] before converting, so huge or NaN coordinates cannot overflow int.
int clampedIndex(double v, int lo, int hi)
{
    if (!(v > lo))
        return lo;
    if (v > hi)
        return hi;
    return static_cast<int>(v);
}

} // namespace

double huValueAt(const HuImage& image, int x, int y)
{
    if (!usable(image) || x < 0 || y < 0 || x >= image.width || y >= image.height)
        return 0.0;
    return image.pixels[size_t(y) * size_t(image.width) + size_t(x)];
}

RoiStats ellipseRoiStats(const HuImage& image, double cx, double cy, double rx, double ry)
{
    if (!usable(image) || !(rx > 0.0) || !(ry > 0.0))
        return {};
    const int y0 = clampedIndex(std::floor(cy - ry), 0, image.height - 1);
    const int y1 = clampedIndex(std::ceil(cy + ry), 0, image.height - 1);
    const int x0 = clampedIndex(std::floor(cx - rx), 0, image.width - 1);
    const int x1 = clampedIndex(std::ceil(cx + rx), 0, image.width - 1);
    Accumulator acc;
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            const double dx = (x - cx) / rx;
            const double dy = (y - cy) / ry;
            if (dx * dx + dy * dy <= 1.0)
                acc.add(image.pixels[size_t(y) * size_t(image.width) + size_t(x)]);
        }
    }
    return acc.result();
}

RoiStats polygonRoiStats(const HuImage& image, const QList<QPointF>& polygon)
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
    Accumulator acc;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (pointInPolygon(x + 0.5, y + 0.5, polygon))
                acc.add(image.pixels[size_t(y) * size_t(image.width) + size_t(x)]);
    return acc.result();
}

bool pointInPolygon(double px, double py, const QList<QPointF>& polygon)
{
    bool inside = false;
    const qsizetype n = polygon.size();
    for (qsizetype i = 0, j = n - 1; i < n; j = i++) {
        const double xi = polygon[i].x(), yi = polygon[i].y();
        const double xj = polygon[j].x(), yj = polygon[j].y();
        if ((yi > py) != (yj > py) && px < (xj - xi) * (py - yi) / (yj - yi) + xi)
            inside = !inside;
    }
    return inside;
}

} // namespace render
