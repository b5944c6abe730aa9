#include "render/FusionVolume.h"

#include "render/HuImage.h"
#include "render/ParallelFor.h"
#include "render/StopFlag.h"
#include "render/VolumeGeometryWarnings.h"
#include "render/Volume.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <new>

namespace render {

namespace {

using Vec3 = std::array<double, 3>;

double dot(const Vec3& a, const Vec3& b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

Vec3 cross(const Vec3& a, const Vec3& b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Divides by the length when it exceeds 1e-9; returns the length before normalising.
double normaliseInPlace(Vec3& v)
{
    const double len = std::sqrt(dot(v, v));
    if (len > 1e-9)
        for (double& c : v)
            c /= len;
    return len;
}

// Rows closer than this along the normal are the same position (repeated or multi-echo acquisitions).
constexpr double kSamePositionMm = 0.01;

QString megabytes(qint64 bytes)
{
    return QString::number((bytes + (1 << 20) - 1) >> 20);
}

} // namespace

FusionVolume buildFusionVolume(const QList<db::InstanceRecord>& slices, QString* message, const std::atomic_bool* stop)
{
    auto fail = [message](const QString& text) {
        if (message)
            *message = text;
        return FusionVolume();
    };
    if (slices.isEmpty())
        return fail(QStringLiteral("Серия для наложения пуста"));
    const db::InstanceRecord& first = slices.first();
    if (!first.hasSpatialInfo)
        return fail(QStringLiteral("У серии для наложения нет пространственной информации "
                                   "(ImagePositionPatient/ImageOrientationPatient) — совмещение невозможно"));
    Vec3 r = first.orientationRow;
    Vec3 c = first.orientationCol;
    const double lenR = normaliseInPlace(r);
    const double lenC = normaliseInPlace(c);
    if (lenR < 1e-6 || lenC < 1e-6)
        return fail(QStringLiteral("Направления строк/столбцов серии для наложения вырождены"));
    Vec3 n = cross(r, c);
    if (normaliseInPlace(n) < 1e-6)
        return fail(QStringLiteral("Не удалось определить направление между срезами (вырожденная геометрия)"));

    // Distance of every row along the normal; sorted with the caller's order kept among equals so
    // that "the first in the caller's order" is well defined for repeated positions.
    const qsizetype rowCount = slices.size();
    std::vector<double> distance(static_cast<size_t>(rowCount), 0.0);
    std::vector<int> order(static_cast<size_t>(rowCount));
    for (qsizetype m = 0; m < rowCount; ++m) {
        const Vec3& p = slices[m].imagePosition;
        distance[size_t(m)] = dot(n, Vec3{p[0] - first.imagePosition[0], p[1] - first.imagePosition[1],
                                         p[2] - first.imagePosition[2]});
        order[size_t(m)] = int(m);
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return distance[size_t(a)] < distance[size_t(b)]; });

    // One plane per position: a repeated position would otherwise shift every later plane by one
    // spacing away from where it was acquired.
    std::vector<int> kept;
    kept.reserve(order.size());
    for (size_t s = 0; s < order.size();) {
        size_t e = s + 1;
        int chosen = order[s];
        while (e < order.size() && distance[size_t(order[e])] - distance[size_t(order[s])] <= kSamePositionMm) {
            chosen = std::min(chosen, order[e]);
            ++e;
        }
        kept.push_back(chosen);
        s = e;
    }
    const int dropped = int(rowCount) - int(kept.size());

    double sliceSpacing = first.sliceThickness > 0.0 ? first.sliceThickness : 1.0;
    if (kept.size() >= 2) {
        double sum = 0.0;
        int steps = 0;
        for (size_t m = 1; m < kept.size(); ++m) {
            const double step = distance[size_t(kept[m])] - distance[size_t(kept[m - 1])];
            if (step > 1e-6) {
                sum += step;
                ++steps;
            }
        }
        if (steps > 0)
            sliceSpacing = sum / steps;
    }

    const db::InstanceRecord& firstSorted = slices[kept.front()];
    HuImage reference;
    QString error;
    if (!loadHuFrame(reference, firstSorted.filePath, firstSorted.frameIndex, &error, firstSorted.object())
        || !reference.valid)
        return fail(QStringLiteral("Не удалось прочитать первый срез серии для наложения: %1")
                        .arg(reference.error.isEmpty() ? error : reference.error));

    FusionVolume v;
    v.origin = firstSorted.imagePosition;
    v.rowDir = r;
    v.colDir = c;
    v.sliceDir = n;
    v.spacing = {first.pixelSpacingX > 0.0 ? first.pixelSpacingX : 1.0,
                 first.pixelSpacingY > 0.0 ? first.pixelSpacingY : 1.0, sliceSpacing};
    v.nx = reference.width;
    v.ny = reference.height;
    v.nz = qint32(kept.size());
    if (!volumeFitsInMemory(v.nx, v.ny, v.nz, 1, message))
        return FusionVolume();
    try {
        v.voxels.assign(size_t(v.nx) * size_t(v.ny) * size_t(v.nz), 0.0f);
    } catch (const std::bad_alloc&) {
        return fail(QStringLiteral("Недостаточно памяти для объёма %1×%2×%3 (%4 МБ)")
                        .arg(v.nx).arg(v.ny).arg(v.nz)
                        .arg(megabytes(qint64(v.nx) * v.ny * v.nz * qint64(sizeof(float)))));
    }

    const size_t planeSize = size_t(v.nx) * size_t(v.ny);
    double lo = std::numeric_limits<double>::max();
    double hi = std::numeric_limits<double>::lowest();
    int skipped = 0;
    int otherObjects = 0; // of the skipped: files that hold another object than their rows
    std::mutex mergeMutex;
    auto store = [&v, planeSize](int k, const HuImage& frame, double& localLo, double& localHi) {
        float* dst = v.voxels.data() + size_t(k) * planeSize;
        for (size_t p = 0; p < planeSize; ++p) {
            const double value = frame.pixels[p];
            dst[p] = float(value);
            localLo = std::min(localLo, value);
            localHi = std::max(localHi, value);
        }
    };
    store(0, reference, lo, hi);
    reference = HuImage();

    // The planes are independent, so reading them on several threads gives the same volume as
    // reading them one after another; only the range and the skipped count are merged.
    parallelFor(v.nz, [&](int begin, int end) {
        HuImage frame;
        double localLo = std::numeric_limits<double>::max();
        double localHi = std::numeric_limits<double>::lowest();
        int localSkipped = 0;
        int localOthers = 0;
        for (int k = std::max(begin, 1); k < end && !stopRequested(stop); ++k) {
            const db::InstanceRecord& row = slices[kept[size_t(k)]];
            if (!loadHuFrame(frame, row.filePath, row.frameIndex, nullptr, row.object()) || !frame.valid
                || frame.width != v.nx || frame.height != v.ny
                || frame.pixels.size() != planeSize) {
                ++localSkipped;
                localOthers += frame.otherObject ? 1 : 0;
                continue;
            }
            store(k, frame, localLo, localHi);
        }
        std::lock_guard<std::mutex> lock(mergeMutex);
        lo = std::min(lo, localLo);
        hi = std::max(hi, localHi);
        skipped += localSkipped;
        otherObjects += localOthers;
    });

    if (stopRequested(stop))
        return fail(QStringLiteral("Построение объёма прервано"));
    v.minValue = lo;
    v.maxValue = hi;
    const int notPlaced = skipped + dropped;
    const QString skippedText =
        notPlaced > 0 ? QStringLiteral("Пропущено срезов серии для наложения: %1 из %2").arg(notPlaced).arg(rowCount)
                      : QString();
    std::vector<double> positions;
    std::vector<Vec3> origins;
    positions.reserve(kept.size());
    origins.reserve(kept.size());
    for (int row : kept) {
        positions.push_back(distance[size_t(row)]);
        origins.push_back(slices[row].imagePosition);
    }
    // Slices slid within their planes (a tilted gantry) keep their place in the voxels, stacked along
    // the normal from the origin, as all others do; the warning gives how far that is from the truth.
    const QString geometry = joinedWarnings(unevenSpacingWarning(positions),
                                            shiftedSlicesWarning(origins, r, c, v.spacing[0], v.spacing[1]));
    const QString warning =
        joinedWarnings(joinedWarnings(skippedText, otherObjectSlicesWarning(otherObjects)), geometry);
    if (!warning.isEmpty() && message)
        *message = warning;
    return v;
}

bool worldToVoxel(const FusionVolume& volume, double x, double y, double z, double* i, double* j, double* k)
{
    if (volume.spacing[0] <= 0.0 || volume.spacing[1] <= 0.0 || volume.spacing[2] <= 0.0)
        return false;
    const Vec3 d{x - volume.origin[0], y - volume.origin[1], z - volume.origin[2]};
    if (i)
        *i = dot(d, volume.rowDir) / volume.spacing[0];
    if (j)
        *j = dot(d, volume.colDir) / volume.spacing[1];
    if (k)
        *k = dot(d, volume.sliceDir) / volume.spacing[2];
    return true;
}

void voxelToWorld(const FusionVolume& volume, double i, double j, double k, double* x, double* y, double* z)
{
    const double a = i * volume.spacing[0];
    const double b = j * volume.spacing[1];
    const double c = k * volume.spacing[2];
    const double p[3] = {volume.origin[0] + a * volume.rowDir[0] + b * volume.colDir[0] + c * volume.sliceDir[0],
                         volume.origin[1] + a * volume.rowDir[1] + b * volume.colDir[1] + c * volume.sliceDir[1],
                         volume.origin[2] + a * volume.rowDir[2] + b * volume.colDir[2] + c * volume.sliceDir[2]};
    if (x)
        *x = p[0];
    if (y)
        *y = p[1];
    if (z)
        *z = p[2];
}

float fusionVoxelNearest(const FusionVolume& volume, double i, double j, double k)
{
    constexpr float kOutside = -3000.0f;
    if (volume.isEmpty() || volume.voxels.size() != size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz))
        return kOutside;
    const double ri = std::round(i), rj = std::round(j), rk = std::round(k);
    if (!(ri >= 0.0 && rj >= 0.0 && rk >= 0.0) || ri >= volume.nx || rj >= volume.ny || rk >= volume.nz)
        return kOutside;
    return volume.voxels[volume.index(qint64(ri), qint64(rj), qint64(rk))];
}

} // namespace render
