#pragma once

#include "db/InstanceRecord.h"

#include <QList>
#include <QString>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <limits>
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
// unreadable rows are reported together in the skipped-slices warning, uneven steps between the
// slices and slices slid against each other within their planes (a tilted gantry) in warnings of
// their own (one line each). On failure the result is
// empty and `message` (may be null) holds the reason; so it is, too, once `stop` is raised.
FusionVolume buildFusionVolume(const QList<db::InstanceRecord>& slices, QString* message,
                               const std::atomic_bool* stop = nullptr);

// Patient millimetres to continuous voxel indices (voxel centres at integers). False, and nothing
// written, when a spacing is 0 or less. The indices are not checked against the dimensions.
bool worldToVoxel(const FusionVolume& volume, double x, double y, double z, double* i, double* j, double* k);
void voxelToWorld(const FusionVolume& volume, double i, double j, double k, double* x, double* y, double* z);

// Trilinear read; within one voxel outside the volume the edge values are used, beyond that (and
// for an empty volume) the result is a quiet NaN. Inline: the overlay blend, curved MPR and the
// cross-sections call it for every pixel.
inline float sampleFusionTrilinear(const FusionVolume& volume, double i, double j, double k)
{
    constexpr float kOutside = std::numeric_limits<float>::quiet_NaN();
    if (volume.isEmpty() || volume.voxels.size() != size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz))
        return kOutside;
    const double fi0 = std::floor(i);
    const double fj0 = std::floor(j);
    const double fk0 = std::floor(k);
    // Compared as doubles first, so that NaN or huge coordinates never reach an integer conversion.
    if (!(fi0 >= -1.0 && fj0 >= -1.0 && fk0 >= -1.0) || fi0 > volume.nx || fj0 > volume.ny || fk0 > volume.nz)
        return kOutside;
    const qint64 i0 = qint64(fi0), j0 = qint64(fj0), k0 = qint64(fk0);
    // i0 lies in [-1, n], so both neighbours are clamped on both sides.
    const qint64 ia = std::clamp<qint64>(i0, 0, volume.nx - 1), ib = std::clamp<qint64>(i0 + 1, 0, volume.nx - 1);
    const qint64 ja = std::clamp<qint64>(j0, 0, volume.ny - 1), jb = std::clamp<qint64>(j0 + 1, 0, volume.ny - 1);
    const qint64 ka = std::clamp<qint64>(k0, 0, volume.nz - 1), kb = std::clamp<qint64>(k0 + 1, 0, volume.nz - 1);
    const double fi = i - fi0, fj = j - fj0, fk = k - fk0;
    const float* vx = volume.voxels.data();
    const qint64 nx = volume.nx, plane = qint64(volume.nx) * volume.ny;
    const float* a00 = vx + ka * plane + ja * nx; // rows (j, k) of the eight neighbours
    const float* a10 = vx + ka * plane + jb * nx;
    const float* a01 = vx + kb * plane + ja * nx;
    const float* a11 = vx + kb * plane + jb * nx;
    const double c00 = a00[ia] + (double(a00[ib]) - a00[ia]) * fi;
    const double c10 = a10[ia] + (double(a10[ib]) - a10[ia]) * fi;
    const double c01 = a01[ia] + (double(a01[ib]) - a01[ia]) * fi;
    const double c11 = a11[ia] + (double(a11[ib]) - a11[ia]) * fi;
    const double c0 = c00 + (c10 - c00) * fj;
    const double c1 = c01 + (c11 - c01) * fj;
    return float(c0 + (c1 - c0) * fk);
}
// The nearest voxel (indices rounded half away from zero), or -3000 outside the volume.
float fusionVoxelNearest(const FusionVolume& volume, double i, double j, double k);

} // namespace render
