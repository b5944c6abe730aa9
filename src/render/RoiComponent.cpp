#include "render/RoiComponent.h"

#include "render/RoiMask.h"

namespace render {

namespace {

template<typename Roi>
QList<RoiComponent> findRoiComponents(const HuImage& image, const Roi& roi, double threshold)
{
    const RoiBox box = roiBox(image, roi);
    if (box.isEmpty())
        return {};
    const auto inside = [&roi](int x, int y) { return roi.contains(x, y); };
    return floodFillRoiComponents(image, box.x0, box.x1, box.y0, box.y1, inside, threshold);
}

} // namespace

QList<RoiComponent> findEllipseRoiComponents(const HuImage& image, double cx, double cy, double rx, double ry,
                                             double threshold)
{
    return findRoiComponents(image, EllipseRoi{cx, cy, rx, ry}, threshold);
}

QList<RoiComponent> findPolygonRoiComponents(const HuImage& image, const QList<QPointF>& polygon, double threshold)
{
    return findRoiComponents(image, PolygonRoi{polygon}, threshold);
}

} // namespace render
