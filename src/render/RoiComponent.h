#pragma once
// Connected regions of pixels at or above a threshold inside an elliptical or polygonal ROI (calcium
// scoring turns each region into an area and a score).

#include "render/HuImage.h"

#include <QList>
#include <QPoint>
#include <QPointF>

#include <algorithm>
#include <vector>

namespace render {

struct RoiComponent
{
    int pixelCount = 0; // equals pixels.size()
    double maxValue = 0.0; // the largest of 0.0 and the region's values
    QList<QPoint> pixels; // image coordinates, in the order the fill took them
};

QList<RoiComponent> findEllipseRoiComponents(const HuImage& image, double cx, double cy, double rx, double ry,
                                             double threshold);
QList<RoiComponent> findPolygonRoiComponents(const HuImage& image, const QList<QPointF>& polygon,
                                             double threshold);

// 4-connected regions inside the box [x0, x1] x [y0, y1] (already clamped to the image) whose pixels pass
// `inside(x, y)` and are >= threshold. Iterative with an explicit stack: a region as large as the image
// cannot exhaust the call stack. Each box pixel is marked once, so the work is linear in the box area.
template<typename InsideTest>
QList<RoiComponent> floodFillRoiComponents(const HuImage& image, int x0, int x1, int y0, int y1,
                                           const InsideTest& inside, double threshold)
{
    QList<RoiComponent> result;
    if (x0 > x1 || y0 > y1)
        return result;
    const int boxWidth = x1 - x0 + 1;
    const int boxHeight = y1 - y0 + 1;
    std::vector<unsigned char> marked(size_t(boxWidth) * size_t(boxHeight), 0);
    std::vector<int> stack;
    auto qualifies = [&](int x, int y) { return inside(x, y) && huValueAt(image, x, y) >= threshold; };

    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            const int seed = (y - y0) * boxWidth + (x - x0);
            if (marked[size_t(seed)])
                continue;
            marked[size_t(seed)] = 1;
            if (!qualifies(x, y))
                continue;

            RoiComponent region;
            stack.clear();
            stack.push_back(seed);
            while (!stack.empty()) {
                const int local = stack.back();
                stack.pop_back();
                const int px = x0 + local % boxWidth;
                const int py = y0 + local / boxWidth;
                region.pixels.append(QPoint(px, py));
                region.maxValue = std::max(region.maxValue, huValueAt(image, px, py));
                const int neighbours[4][2] = {{px + 1, py}, {px - 1, py}, {px, py + 1}, {px, py - 1}};
                for (const auto& n : neighbours) {
                    if (n[0] < x0 || n[0] > x1 || n[1] < y0 || n[1] > y1)
                        continue;
                    const int index = (n[1] - y0) * boxWidth + (n[0] - x0);
                    if (marked[size_t(index)])
                        continue;
                    // A neighbour that fails the test is marked too: it can never join any region.
                    marked[size_t(index)] = 1;
                    if (qualifies(n[0], n[1]))
                        stack.push_back(index);
                }
            }
            region.pixelCount = int(region.pixels.size());
            result.append(std::move(region));
        }
    }
    return result;
}

} // namespace render
