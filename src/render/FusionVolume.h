#pragma once

#include <db/InstanceRecord.h>

#include <QList>
#include <QString>

#include <array>
#include <vector>

namespace render {

// A volume that keeps its place in the patient: voxel axis i runs along the image rows, j along the
// columns and k along the slice normal. The centre of voxel (i, j, k) lies at
// origin + i * spacing[0] * rowDir + j * spacing[1] * colDir + k * spacing[2] * sliceDir.
// Once built it is shared read-only (std::shared_ptr) and may be read from several threads at once.
struct FusionVolume
{
    std::array<double, 3> origin{0.0, 0.0, 0.0};
    std::array<double, 3> rowDir{1.0, 0.0, 0.0};
    std::array<double, 3> colDir{0.0, 1.0, 0.0};
    std::array<double, 3> sliceDir{0.0, 0.0, 1.0};
    std::array<double, 3> spacing{1.0, 1.0, 1.0};
    qint32 nx = 0;
    qint32 ny = 0;
    qint32 nz = 0;
    std::vector<float> voxels; // index (ny * k + j) * nx + i
    double minValue = 0.0;
    double maxValue = 0.0;

    bool isEmpty() const { return nx < 1 || ny < 1 || nz < 1; }
    size_t index(qint64 i, qint64 j, qint64 k) const
    {
        return size_t((qint64(ny) * k + j) * qint64(nx) + i);
    }
};

// Builds the volume from the instance rows of one series, ordered along the slice normal. Rows at
// the same position (within 0.01 mm) keep only the first in the caller's order; dropped and
// unreadable rows are reported together in the skipped-slices warning. On failure the result is
// empty and `message` (may be null) holds the reason.
FusionVolume buildFusionVolume(const QList<db::InstanceRecord>& slices, QString* message);

// Patient millimetres to continuous voxel indices (voxel centres at integers). False, and nothing
// written, when a spacing is 0 or less. The indices are not checked against the dimensions.
bool worldToVoxel(const FusionVolume& volume, double x, double y, double z, double* i, double* j, double* k);
void voxelToWorld(const FusionVolume& volume, double i, double j, double k, double* x, double* y, double* z);

// Trilinear read; within one voxel outside the volume the edge values are used, beyond that (and
// for an empty volume) the result is a quiet NaN.
float sampleFusionTrilinear(const FusionVolume& volume, double i, double j, double k);
// The nearest voxel (indices rounded half away from zero), or -3000 outside the volume.
float fusionVoxelNearest(const FusionVolume& volume, double i, double j, double k);

} // namespace render
