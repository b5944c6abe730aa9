#include "render/SliceSources.h"

namespace render {

QList<SliceSource> sliceSourcesFromInstances(const QList<db::InstanceRecord>& instances)
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
        s.orientationRow = row.orientationRow;
        s.orientationCol = row.orientationCol;
        s.hasSpatialInfo = row.hasSpatialInfo;
        s.imagePosition = row.imagePosition;
        s.row = row.object();
        out.append(s);
    }
    return out;
}

} // namespace render
