#include "SliceSources.h"

namespace render {

QList<SliceSource> locationOnlySliceSources(const QList<db::InstanceRecord>& instances)
{
    QList<SliceSource> out;
    out.reserve(instances.size());
    for (const db::InstanceRecord& row : instances) {
        SliceSource s;
        s.filePath = row.filePath;
        s.sliceLocation = row.sliceLocation;
        s.pixelSpacingX = row.pixelSpacingX;
        s.pixelSpacingY = row.pixelSpacingY;
        s.sliceThickness = row.sliceThickness;
        s.frameIndex = row.frameIndex;
        out.append(s);
    }
    return out;
}

QList<SliceSource> sliceSourcesFromInstances(const QList<db::InstanceRecord>& instances)
{
    QList<SliceSource> out = locationOnlySliceSources(instances);
    for (qsizetype i = 0; i < out.size(); ++i) {
        const db::InstanceRecord& row = instances.at(i);
        out[i].orientationRow = row.orientationRow;
        out[i].orientationCol = row.orientationCol;
        out[i].hasSpatialInfo = row.hasSpatialInfo;
        out[i].imagePosition = row.imagePosition;
    }
    return out;
}

} // namespace render
