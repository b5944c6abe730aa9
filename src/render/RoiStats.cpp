#include "render/HuImage.h"
#include "render/RoiMask.h"

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

} // namespace

double huValueAt(const HuImage& image, int x, int y)
{
    if (!huImageUsable(image) || x < 0 || y < 0 || x >= image.width || y >= image.height)
        return 0.0;
    return image.pixels[size_t(y) * size_t(image.width) + size_t(x)];
}

RoiStats ellipseRoiStats(const HuImage& image, double cx, double cy, double rx, double ry)
{
    Accumulator acc;
    forEachRoiPixel(image, EllipseRoi{cx, cy, rx, ry}, [&acc](int, int, double v) { acc.add(v); });
    return acc.result();
}

RoiStats ellipseRoiStats(const QList<float>& samples, int width, int height, const EllipseRoi& roi)
{
    Accumulator acc;
    if (width < 1 || height < 1 || samples.size() < qsizetype(width) * height)
        return acc.result();
    const RoiBox box = roiBox(width, height, roi);
    for (int y = box.y0; y <= box.y1; ++y)
        for (int x = box.x0; x <= box.x1; ++x)
            if (roi.contains(x, y))
                acc.add(samples[qsizetype(y) * width + x]);
    return acc.result();
}

RoiStats polygonRoiStats(const HuImage& image, const QList<QPointF>& polygon)
{
    Accumulator acc;
    forEachRoiPixel(image, PolygonRoi{polygon}, [&acc](int, int, double v) { acc.add(v); });
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
