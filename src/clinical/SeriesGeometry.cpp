#include "clinical/SeriesGeometry.h"

#include "render/VectorMath.h"

#include <algorithm>
#include <cmath>

namespace clinical {

double median(QList<double> values)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    if (values.size() % 2 == 1)
        return values.at(middle);
    return (values.at(middle - 1) + values.at(middle)) / 2.0;
}

QList<double> stackPositionsMm(const QList<db::InstanceRecord>& instances)
{
    QList<double> positions;
    if (instances.isEmpty())
        return positions;
    const db::InstanceRecord& first = instances.first();
    const render::Vec3d normal = render::normalizedOrZero(render::cross(first.orientationRow, first.orientationCol));
    // Slice Location is optional: without positions every slice of a series would lie at one place.
    const bool positioned =
        render::length(normal) > 0.0 && std::all_of(instances.begin(), instances.end(), [](const auto& instance) {
            return instance.hasSpatialInfo;
        });
    for (const db::InstanceRecord& instance : instances)
        positions.append(positioned ? render::dot(instance.imagePosition, normal) : instance.sliceLocation);
    return positions;
}

double medianSliceSpacingMm(const QList<db::InstanceRecord>& instances)
{
    QList<double> positions = stackPositionsMm(instances);
    std::sort(positions.begin(), positions.end());
    QList<double> gaps;
    for (qsizetype i = 1; i < positions.size(); ++i)
        gaps.append(positions.at(i) - positions.at(i - 1));
    return median(gaps);
}

} // namespace clinical
