#pragma once
// Instance rows of a fixture series written to disk, as the viewer hands them to the 3D windows.

#include "support/DicomFixtures.h"

#include "db/InstanceRecord.h"

#include <QList>

namespace vol3dtest {

inline QList<db::InstanceRecord> writeSeriesRows(const QString& dir, fixtures::SeriesLayout layout)
{
    const QStringList paths = fixtures::writeSeries(dir, layout);
    QList<db::InstanceRecord> rows;
    for (int k = 0; k < paths.size(); ++k) {
        db::InstanceRecord row;
        row.filePath = paths[k];
        row.instanceNumber = qint64(k + 1) * 100000;
        row.sliceLocation = k * layout.sliceSpacing;
        row.pixelSpacingX = layout.columnSpacing;
        row.pixelSpacingY = layout.rowSpacing;
        row.sliceThickness = layout.sliceThickness;
        if (layout.writeGeometry) {
            const auto o = fixtures::orientationOf(layout);
            row.orientationRow = {o[0], o[1], o[2]};
            row.orientationCol = {o[3], o[4], o[5]};
            row.imagePosition = fixtures::slicePosition(layout, k);
            row.hasSpatialInfo = true;
        }
        rows.append(row);
    }
    return rows;
}

} // namespace vol3dtest
