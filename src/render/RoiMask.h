#pragma once
// Which pixels of an HU image an elliptical or polygonal ROI covers: the ROI statistics and the
// thresholded regions both walk the same pixels.

#include "render/HuImage.h"

#include <QList>
#include <QPointF>

namespace render {

// The image has pixels for every row and column it declares.
bool huImageUsable(const HuImage& image);

// Columns x0..x1 and rows y0..y1, inclusive; empty when x0 > x1.
struct RoiBox
{
    int x0 = 0;
    int x1 = -1;
    int y0 = 0;
    int y1 = -1;
    bool isEmpty() const { return x0 > x1 || y0 > y1; }
};

// Centre and radii in pixels: a pixel belongs when its index lies within the ellipse.
struct EllipseRoi
{
    double cx = 0.0;
    double cy = 0.0;
    double rx = 0.0;
    double ry = 0.0;

    bool contains(int x, int y) const
    {
        const double dx = (x - cx) / rx;
        const double dy = (y - cy) / ry;
        return dx * dx + dy * dy <= 1.0;
    }
};

// Vertices in pixels: a pixel belongs when its centre lies inside the polygon.
struct PolygonRoi
{
    const QList<QPointF>& polygon;

    bool contains(int x, int y) const { return pointInPolygon(x + 0.5, y + 0.5, polygon); }
};

// The pixels that can belong to the ROI, clamped to the image; empty for an unusable image, a radius
// that is not positive or a polygon of fewer than three points.
RoiBox roiBox(const HuImage& image, const EllipseRoi& roi);
RoiBox roiBox(const HuImage& image, const PolygonRoi& roi);
// The same for a width x height grid of samples (a reconstruction's values).
RoiBox roiBox(int width, int height, const EllipseRoi& roi);

// Statistics of the grid's samples (row-major, width x height) inside the ellipse, by the same pixel
// rule as an image's; all 0 for a grid with fewer samples than it declares.
RoiStats ellipseRoiStats(const QList<float>& samples, int width, int height, const EllipseRoi& roi);

// Calls visit(x, y, value) for every pixel of the ROI, row by row.
template<typename Roi, typename Visit>
void forEachRoiPixel(const HuImage& image, const Roi& roi, Visit&& visit)
{
    const RoiBox box = roiBox(image, roi);
    for (int y = box.y0; y <= box.y1; ++y)
        for (int x = box.x0; x <= box.x1; ++x)
            if (roi.contains(x, y))
                visit(x, y, image.pixels[size_t(y) * size_t(image.width) + size_t(x)]);
}

} // namespace render
