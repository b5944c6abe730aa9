#include "render/EndoscopyPath.h"

#include "render/VectorMath.h"

#include <algorithm>
#include <cmath>

namespace render {

namespace {

constexpr float kAirLow = -1024.0f;
constexpr float kAirHigh = -700.0f;
constexpr int kMaxRegionPixels = 20000;
constexpr int kSeedRadius = 6;
constexpr int kSplitRadius = 30;
constexpr int kMaxMisses = 5;
constexpr double kMaxJumpMm = 20.0;
// Keeps coordinates far beyond any volume away from integer conversions.
constexpr double kCoordinateLimit = 1.0e6;

bool isAir(const AirSlice& s, int x, int y)
{
    if (x < 0 || y < 0 || x >= s.width || y >= s.height || !s.voxels)
        return false;
    const float v = s.voxels[qsizetype(y) * s.width + x];
    return v >= kAirLow && v <= kAirHigh;
}

Vec3d worldOf(const FusionVolume& volume, double i, double j, double k)
{
    Vec3d p;
    voxelToWorld(volume, i, j, k, &p[0], &p[1], &p[2]);
    return p;
}

int roundIndex(double v)
{
    return int(std::lround(std::clamp(v, -kCoordinateLimit, kCoordinateLimit)));
}

} // namespace

AirSlice airSliceOf(const FusionVolume& volume, int k)
{
    AirSlice slice;
    if (volume.isEmpty() || k < 0 || k >= volume.nz
        || volume.voxels.size() != size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz))
        return slice;
    slice.voxels = volume.voxels.data() + size_t(volume.nx) * size_t(volume.ny) * size_t(k);
    slice.width = volume.nx;
    slice.height = volume.ny;
    return slice;
}

bool findAirPixelNear(const AirSlice& slice, int x, int y, int radius, int* outX, int* outY)
{
    auto found = [&](int fx, int fy) {
        if (outX)
            *outX = fx;
        if (outY)
            *outY = fy;
        return true;
    };
    if (isAir(slice, x, y))
        return found(x, y);
    for (int r = 1; r <= radius; ++r)
        for (int dy = -r; dy <= r; ++dy)
            for (int dx = -r; dx <= r; ++dx) {
                if (std::max(std::abs(dx), std::abs(dy)) != r)
                    continue;
                if (isAir(slice, x + dx, y + dy))
                    return found(x + dx, y + dy);
            }
    return false;
}

bool floodAirRegion(const AirSlice& slice, int x, int y, std::vector<uchar>& mask, double* centroidX,
                    double* centroidY, int* pixelCount)
{
    const qsizetype w = slice.width, h = slice.height;
    if (mask.size() != size_t(w * h) || !isAir(slice, x, y) || mask[size_t(qsizetype(y) * w + x)])
        return false;
    std::vector<qsizetype> stack;
    stack.reserve(256);
    const qsizetype start = qsizetype(y) * w + x;
    stack.push_back(start);
    mask[size_t(start)] = 1;
    qint64 count = 0;
    double sumX = 0.0, sumY = 0.0;
    while (!stack.empty()) {
        const qsizetype idx = stack.back();
        stack.pop_back();
        if (++count > kMaxRegionPixels)
            return false;
        const int px = int(idx % w), py = int(idx / w);
        sumX += px;
        sumY += py;
        const int nx[4] = {px + 1, px - 1, px, px};
        const int ny[4] = {py, py, py + 1, py - 1};
        for (int q = 0; q < 4; ++q) {
            if (!isAir(slice, nx[q], ny[q]))
                continue;
            const qsizetype n = qsizetype(ny[q]) * w + nx[q];
            if (mask[size_t(n)])
                continue;
            mask[size_t(n)] = 1;
            stack.push_back(n);
        }
    }
    if (count < 3)
        return false;
    if (centroidX)
        *centroidX = sumX / double(count);
    if (centroidY)
        *centroidY = sumY / double(count);
    if (pixelCount)
        *pixelCount = int(count);
    return true;
}

bool measureAirRegionAt(const AirSlice& slice, int x, int y, double* centroidX, double* centroidY, int* pixelCount)
{
    if (!slice.voxels || slice.width < 1 || slice.height < 1)
        return false;
    std::vector<uchar> mask(size_t(slice.width) * size_t(slice.height), 0);
    return floodAirRegion(slice, x, y, mask, centroidX, centroidY, pixelCount);
}

QList<AirRegion> findAirRegionsNear(const AirSlice& slice, int x, int y, int radius)
{
    QList<AirRegion> regions;
    if (!slice.voxels || slice.width < 1 || slice.height < 1)
        return regions;
    std::vector<uchar> mask(size_t(slice.width) * size_t(slice.height), 0);
    const int y0 = std::max(y - radius, 0), y1 = std::min(y + radius, slice.height - 1);
    const int x0 = std::max(x - radius, 0), x1 = std::min(x + radius, slice.width - 1);
    for (int py = y0; py <= y1; ++py)
        for (int px = x0; px <= x1; ++px) {
            if (!isAir(slice, px, py) || mask[size_t(qsizetype(py) * slice.width + px)])
                continue;
            AirRegion r;
            if (floodAirRegion(slice, px, py, mask, &r.centroidX, &r.centroidY, &r.pixelCount))
                regions.append(r);
        }
    return regions;
}

QList<std::array<double, 3>> smoothPath3(const QList<std::array<double, 3>>& path)
{
    if (path.size() < 3)
        return path;
    QList<std::array<double, 3>> out = path;
    for (qsizetype i = 1; i + 1 < path.size(); ++i)
        out[i] = (1.0 / 3.0) * (path[i - 1] + path[i] + path[i + 1]);
    return out;
}

LumenTrace traceAirLumen(const FusionVolume& volume, int startSlice, double centreX, double centreY, int startArea,
                         int direction, bool allowSplit)
{
    LumenTrace trace;
    if (volume.isEmpty() || direction == 0)
        return trace;
    double cx = centreX, cy = centreY;
    double area = startArea;
    Vec3d previous = worldOf(volume, centreX, centreY, startSlice);
    int misses = 0;
    for (qint64 z = qint64(startSlice) + direction; z >= 0 && z < volume.nz; z += direction) {
        const AirSlice slice = airSliceOf(volume, int(z));
        const int ix = roundIndex(cx), iy = roundIndex(cy);
        int sx = 0, sy = 0;
        bool accepted = false;
        if (findAirPixelNear(slice, ix, iy, kSeedRadius, &sx, &sy)) {
            double rx = 0.0, ry = 0.0;
            int count = 0;
            if (measureAirRegionAt(slice, sx, sy, &rx, &ry, &count)) {
                const Vec3d p = worldOf(volume, rx, ry, double(z));
                const double q = area > 0.0 ? count / area : 1.0;
                if (length(p - previous) <= kMaxJumpMm && q >= 0.2 && q <= 3.0) {
                    area = 0.3 * count + 0.7 * area;
                    misses = 0;
                    cx = rx;
                    cy = ry;
                    previous = p;
                    trace.points.append(p);
                    accepted = true;
                }
            }
        }
        if (accepted)
            continue;
        if (allowSplit && area > 0.0) {
            QList<AirRegion> kept;
            for (const AirRegion& r : findAirRegionsNear(slice, ix, iy, kSplitRadius)) {
                const double share = r.pixelCount / area;
                if (share >= 0.15 && share <= 0.85)
                    kept.append(r);
            }
            if (kept.size() >= 2) {
                std::stable_sort(kept.begin(), kept.end(),
                                 [](const AirRegion& a, const AirRegion& b) { return a.pixelCount > b.pixelCount; });
                trace.split = true;
                trace.splitSlice = qint32(z);
                trace.branchA = kept[0];
                trace.branchB = kept[1];
                return trace;
            }
        }
        if (++misses >= kMaxMisses)
            return trace;
    }
    return trace;
}

EndoscopyPathResult buildEndoscopyPath(const FusionVolume& volume, const double seedMm[3])
{
    EndoscopyPathResult result;
    if (volume.isEmpty() || volume.voxels.size() != size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz)) {
        result.message = QStringLiteral("Объём не построен");
        return result;
    }
    double i = 0.0, j = 0.0, k = 0.0;
    if (!seedMm || !worldToVoxel(volume, seedMm[0], seedMm[1], seedMm[2], &i, &j, &k)) {
        result.message = QStringLiteral("Не удалось определить положение точки в объёме");
        return result;
    }
    const double zr = std::round(k);
    if (!(zr >= 0.0 && zr <= volume.nz - 1)) {
        result.message = QStringLiteral("Точка вне объёма");
        return result;
    }
    const int z = int(zr);
    const AirSlice slice = airSliceOf(volume, z);
    int ax = 0, ay = 0;
    if (!findAirPixelNear(slice, roundIndex(i), roundIndex(j), 5, &ax, &ay)) {
        result.message = QStringLiteral("Кликните внутри воздушного просвета (толстая кишка/бронх) — в этой точке "
                                        "плотность не соответствует воздуху");
        return result;
    }
    double cx = 0.0, cy = 0.0;
    int count = 0;
    if (!measureAirRegionAt(slice, ax, ay, &cx, &cy, &count)) {
        result.message = QStringLiteral("Не удалось выделить дискретный просвет в этой точке (слишком маленький или "
                                        "слишком большой воздушный участок — возможно, клик попал в лёгкие/фон, а "
                                        "не в кишку/бронх)");
        return result;
    }
    const Vec3d seed = worldOf(volume, cx, cy, z);
    const LumenTrace down = traceAirLumen(volume, z, cx, cy, count, -1, true);
    const LumenTrace up = traceAirLumen(volume, z, cx, cy, count, +1, true);

    QList<std::array<double, 3>> path;
    path.reserve(down.points.size() + up.points.size() + 1);
    for (qsizetype m = down.points.size() - 1; m >= 0; --m)
        path.append(down.points[m]);
    path.append(seed);
    path.append(up.points);
    if (path.size() < 2) {
        result.message = QStringLiteral("Не удалось построить путь — просвет слишком короткий или прерывистый в "
                                        "этой точке");
        return result;
    }
    result.points = smoothPath3(path);
    result.seedIndex = qint32(down.points.size());
    result.ok = true;

    const LumenTrace* forked = up.split ? &up : (down.split ? &down : nullptr);
    if (forked) {
        const int d = forked == &up ? +1 : -1;
        auto branchPath = [&](const AirRegion& r) {
            QList<std::array<double, 3>> b;
            b.append(worldOf(volume, r.centroidX, r.centroidY, forked->splitSlice));
            b.append(traceAirLumen(volume, forked->splitSlice, r.centroidX, r.centroidY, r.pixelCount, d, false).points);
            return smoothPath3(b);
        };
        QList<std::array<double, 3>> first = branchPath(forked->branchA);
        QList<std::array<double, 3>> second = branchPath(forked->branchB);
        if (second.first()[0] > first.first()[0])
            std::swap(first, second);
        result.branchA = first;
        result.branchB = second;
        result.hasBranches = true;
    }
    return result;
}

} // namespace render
