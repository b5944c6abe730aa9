#include "render/VesselCenterline.h"

#include <algorithm>
#include <cmath>

namespace render {

namespace {

constexpr double kStepMm = 1.5;
constexpr int kMaxSteps = 250;
constexpr int kMinRegionSamples = 5;
// The tracer only needs the samples; the window merely has to be valid.
constexpr double kSectionWindowCentre = 300.0;
constexpr double kSectionWindowWidth = 800.0;

bool inRange(float value, double lo, double hi)
{
    return value >= lo && value <= hi;
}

CrossSectionImage cutSection(const VesselTraceState& state, const Vec3d& centre)
{
    return renderCrossSection(*state.volume, centre.data(), state.u.data(), state.v.data(), state.sectionMm,
                              kSectionWindowCentre, kSectionWindowWidth);
}

Vec3d moveOntoRegion(const VesselTraceState& state, const Vec3d& centre, const LumenRegion& region, int w)
{
    const double den = std::max(w - 1, 1);
    const double s = state.sectionMm;
    const double offsetU = region.meanColumn / den * s - s / 2.0;
    const double offsetV = region.meanRow / den * s - s / 2.0;
    return centre + offsetU * state.u + offsetV * state.v;
}

double regionArea(const LumenRegion& region, const CrossSectionImage& grid)
{
    return region.count * grid.pixelSpacingMm * grid.pixelSpacingMm;
}

bool nearestVoxelInside(const FusionVolume& volume, double i, double j, double k)
{
    const double ri = std::round(i), rj = std::round(j), rk = std::round(k);
    return ri >= 0.0 && rj >= 0.0 && rk >= 0.0 && ri < volume.nx && rj < volume.ny && rk < volume.nz;
}

} // namespace

bool vesselContrastRange(double clickedHu, double* lo, double* hi)
{
    const double tol = std::max(0.25 * std::abs(clickedHu), 50.0);
    const double l = std::max(clickedHu - tol, 100.0);
    const double h = std::min(clickedHu + tol, 700.0);
    if (lo)
        *lo = l;
    if (hi)
        *hi = h;
    return clickedHu >= l && clickedHu <= h;
}

double vesselSectionSizeMm(double diameterMm)
{
    return std::clamp(3.5 * diameterMm, 20.0, 45.0);
}

void perpendicularAxes(const Vec3d& d, Vec3d* u, Vec3d* v)
{
    const Vec3d h = std::abs(d[2]) > 0.95 ? Vec3d{0.0, 1.0, 0.0} : Vec3d{0.0, 0.0, 1.0};
    const Vec3d uu = normalizedOrZero(cross(d, h));
    if (u)
        *u = uu;
    if (v)
        *v = normalizedOrZero(cross(d, uu));
}

bool findLumenSeed(const CrossSectionImage& grid, double lo, double hi, int* column, int* row)
{
    const int w = grid.gridWidth;
    if (w < 1 || grid.gridHeight != w || grid.samples.size() != qsizetype(w) * w)
        return false;
    const int c = w / 2;
    const float* s = grid.samples.constData();
    for (int radius = 0; radius <= 5; ++radius)
        for (int dy = -radius; dy <= radius; ++dy)
            for (int dx = -radius; dx <= radius; ++dx) {
                if (std::max(std::abs(dx), std::abs(dy)) != radius)
                    continue;
                const int x = c + dx, y = c + dy;
                if (x < 0 || y < 0 || x >= w || y >= w)
                    continue;
                if (inRange(s[qsizetype(y) * w + x], lo, hi)) {
                    if (column)
                        *column = x;
                    if (row)
                        *row = y;
                    return true;
                }
            }
    return false;
}

LumenRegion growLumenRegion(const CrossSectionImage& grid, int column, int row, double lo, double hi,
                            std::vector<uchar>& visited)
{
    LumenRegion region;
    const int w = grid.gridWidth, h = grid.gridHeight;
    const qsizetype total = qsizetype(w) * h;
    if (w < 1 || h < 1 || grid.samples.size() != total || visited.size() != size_t(total) || column < 0
        || row < 0 || column >= w || row >= h)
        return region;
    const float* s = grid.samples.constData();
    const qsizetype seed = qsizetype(row) * w + column;
    if (visited[size_t(seed)] || !inRange(s[seed], lo, hi))
        return region;
    std::vector<qsizetype> stack;
    stack.reserve(64);
    stack.push_back(seed);
    visited[size_t(seed)] = 1;
    double sumX = 0.0, sumY = 0.0;
    qint64 count = 0;
    while (!stack.empty()) {
        const qsizetype idx = stack.back();
        stack.pop_back();
        const int x = int(idx % w), y = int(idx / w);
        ++count;
        sumX += x;
        sumY += y;
        if (x == 0 || y == 0 || x == w - 1 || y == h - 1)
            region.touchesBorder = true;
        const int nx[4] = {x + 1, x - 1, x, x};
        const int ny[4] = {y, y, y + 1, y - 1};
        for (int q = 0; q < 4; ++q) {
            if (nx[q] < 0 || ny[q] < 0 || nx[q] >= w || ny[q] >= h)
                continue;
            const qsizetype n = qsizetype(ny[q]) * w + nx[q];
            if (visited[size_t(n)] || !inRange(s[n], lo, hi))
                continue;
            visited[size_t(n)] = 1;
            stack.push_back(n);
        }
    }
    region.count = qint32(count);
    region.meanColumn = sumX / double(count);
    region.meanRow = sumY / double(count);
    return region;
}

QList<LumenRegion> findLumenRegions(const CrossSectionImage& grid, double lo, double hi)
{
    QList<LumenRegion> regions;
    const int w = grid.gridWidth, h = grid.gridHeight;
    const qsizetype total = qsizetype(w) * h;
    if (w < 1 || h < 1 || grid.samples.size() != total)
        return regions;
    std::vector<uchar> visited(static_cast<size_t>(total), 0);
    const float* s = grid.samples.constData();
    for (qsizetype idx = 0; idx < total; ++idx) {
        if (visited[size_t(idx)] || !inRange(s[idx], lo, hi))
            continue;
        const LumenRegion r = growLumenRegion(grid, int(idx % w), int(idx / w), lo, hi, visited);
        if (r.count >= 3)
            regions.append(r);
    }
    return regions;
}

LumenCentre locateLumenCentre(const VesselTraceState& state, const Vec3d& point)
{
    LumenCentre centre;
    if (!state.volume)
        return centre;
    const CrossSectionImage section = cutSection(state, point);
    if (section.image.isNull())
        return centre;
    int column = 0, row = 0;
    if (!findLumenSeed(section, state.lo, state.hi, &column, &row))
        return centre;
    std::vector<uchar> visited(size_t(section.gridWidth) * size_t(section.gridHeight), 0);
    const LumenRegion region = growLumenRegion(section, column, row, state.lo, state.hi, visited);
    if (region.count < kMinRegionSamples)
        return centre;
    centre.point = moveOntoRegion(state, point, region, section.gridWidth);
    centre.areaMm2 = regionArea(region, section);
    centre.found = true;
    return centre;
}

void marchAlongVessel(VesselTraceState state, const Vec3d& start, const Vec3d& direction, double referenceArea,
                      QList<std::array<double, 3>>& output, bool& bifurcation)
{
    if (!state.volume)
        return;
    const FusionVolume& volume = *state.volume;
    Vec3d dir = normalizedOrZero(direction);
    double refArea = std::max(referenceArea, 1e-6);
    Vec3d current = start;
    for (int step = 0; step < kMaxSteps; ++step) {
        const Vec3d q = current + kStepMm * dir;
        double i, j, k;
        if (!worldToVoxel(volume, q[0], q[1], q[2], &i, &j, &k))
            return;
        if (!(i >= 0.0 && j >= 0.0 && k >= 0.0) || i >= volume.nx || j >= volume.ny || k >= volume.nz)
            return;
        perpendicularAxes(dir, &state.u, &state.v);
        const CrossSectionImage section = cutSection(state, q);
        if (section.image.isNull())
            return;
        int column = 0, row = 0;
        if (!findLumenSeed(section, state.lo, state.hi, &column, &row))
            return;
        std::vector<uchar> visited(size_t(section.gridWidth) * size_t(section.gridHeight), 0);
        const LumenRegion region = growLumenRegion(section, column, row, state.lo, state.hi, visited);
        if (region.count < kMinRegionSamples)
            return;
        const double area = regionArea(region, section);
        const double ratio = area / refArea;
        if (!region.touchesBorder && ratio >= 0.35 && ratio <= 2.5) {
            const Vec3d c = moveOntoRegion(state, q, region, section.gridWidth);
            if (length(c - current) > 1e-6)
                dir = normalizedOrZero(c - current);
            refArea = 0.3 * area + 0.7 * refArea;
            current = c;
            output.append(c);
            continue;
        }
        // A calibre change or contact with the edge: two branches of a suitable size mean a split.
        int branches = 0;
        for (const LumenRegion& r : findLumenRegions(section, state.lo, state.hi)) {
            const double share = regionArea(r, section) / refArea;
            if (share >= 0.15 && share <= 0.85)
                ++branches;
        }
        if (branches >= 2)
            bifurcation = true;
        return;
    }
}

QList<std::array<double, 3>> smoothPath5(const QList<std::array<double, 3>>& path)
{
    QList<std::array<double, 3>> out;
    const qsizetype n = path.size();
    out.reserve(n);
    for (qsizetype i = 0; i < n; ++i) {
        Vec3d sum{0.0, 0.0, 0.0};
        int count = 0;
        for (qsizetype m = std::max<qsizetype>(i - 2, 0); m <= std::min<qsizetype>(i + 2, n - 1); ++m) {
            sum = sum + path[m];
            ++count;
        }
        out.append((1.0 / count) * sum);
    }
    return out;
}

CenterlineResult traceVesselCenterline(const FusionVolume& volume, const double a[3], const double b[3])
{
    CenterlineResult result;
    auto fail = [&result](const QString& text) {
        result.message = text;
        return result;
    };
    if (volume.isEmpty() || volume.voxels.size() != size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz))
        return fail(QStringLiteral("Объём не построен."));
    const Vec3d pa{a[0], a[1], a[2]};
    const Vec3d pb{b[0], b[1], b[2]};
    const double d = length(pb - pa);
    if (!(d >= 1.0))
        return fail(QStringLiteral("Вторая точка слишком близко к первой — кликните её заметно дальше вдоль "
                                   "видимого хода сосуда."));
    const Vec3d dir = d < 1e-9 ? Vec3d{0.0, 0.0, 0.0} : (1.0 / d) * (pb - pa);

    double ia, ja, ka;
    if (!worldToVoxel(volume, pa[0], pa[1], pa[2], &ia, &ja, &ka) || !nearestVoxelInside(volume, ia, ja, ka))
        return fail(QStringLiteral("Первая точка вне объёма."));
    const double huA = fusionVoxelNearest(volume, ia, ja, ka);
    VesselTraceState state;
    state.volume = &volume;
    if (!vesselContrastRange(huA, &state.lo, &state.hi))
        return fail(QStringLiteral("Плотность в точке клика (%1 HU) не похожа на контрастированный сосуд — "
                                   "возможно, клик попал на кость или в мягкие ткани. Кликните точнее внутри "
                                   "просвета.")
                        .arg(QString::number(huA, 'f', 0)));

    perpendicularAxes(dir, &state.u, &state.v);
    state.sectionMm = 20.0;
    const CrossSectionImage first = cutSection(state, pa);
    if (first.image.isNull())
        return fail(QStringLiteral("Не удалось построить сечение в точке A."));
    int column = 0, row = 0;
    if (!findLumenSeed(first, state.lo, state.hi, &column, &row))
        return fail(QStringLiteral("Не нашли просвет сосуда рядом с точкой A — кликните точнее внутри "
                                   "контрастированного просвета."));
    std::vector<uchar> visited(size_t(first.gridWidth) * size_t(first.gridHeight), 0);
    const LumenRegion region = growLumenRegion(first, column, row, state.lo, state.hi, visited);
    const double diameter = 2.0 * std::sqrt(std::max(regionArea(region, first), 1e-6) / M_PI);
    state.sectionMm = vesselSectionSizeMm(diameter);

    const LumenCentre centreA = locateLumenCentre(state, pa);
    const LumenCentre centreB = locateLumenCentre(state, pb);
    if (!centreA.found || !centreB.found)
        return fail(QStringLiteral("Не удалось уверенно выделить просвет сосуда в одной из двух точек клика."));

    QList<std::array<double, 3>> forward, backward;
    bool forkForward = false, forkBackward = false;
    marchAlongVessel(state, centreB.point, dir, centreB.areaMm2, forward, forkForward);
    marchAlongVessel(state, centreA.point, -1.0 * dir, centreA.areaMm2, backward, forkBackward);

    QList<std::array<double, 3>> raw;
    raw.reserve(backward.size() + forward.size() + 2);
    for (qsizetype m = backward.size() - 1; m >= 0; --m)
        raw.append(backward[m]);
    raw.append(centreA.point);
    raw.append(centreB.point);
    raw.append(forward);
    if (raw.size() < 5)
        return fail(QStringLiteral("Построенный путь слишком короткий (%1 точек) — вероятно, слабый контраст или "
                                   "сосуд быстро теряется. Попробуйте кликнуть в более контрастном участке.")
                        .arg(raw.size()));

    result.points = smoothPath5(raw);
    result.ok = true;
    result.stoppedAtBifurcation = forkForward || forkBackward;

    double lowest = 0.0, highest = 0.0;
    bool any = false;
    for (const auto& p : std::as_const(result.points)) {
        double i, j, k;
        if (!worldToVoxel(volume, p[0], p[1], p[2], &i, &j, &k))
            continue;
        const double value = fusionVoxelNearest(volume, i, j, k);
        lowest = any ? std::min(lowest, value) : value;
        highest = any ? std::max(highest, value) : value;
        any = true;
    }
    if (any) {
        const double range = std::max(highest - lowest, 1.0);
        result.windowWidth = std::max(1.2 * range, 350.0);
        result.windowCenter = (highest + lowest) / 2.0;
    } else {
        result.windowWidth = 350.0;
        result.windowCenter = huA;
    }
    result.message = result.stoppedAtBifurcation
        ? QStringLiteral("Построено %1 точек. Трассировка остановлена на развилке сосуда с одной из сторон — "
                         "постройте продолжение отдельно, кликнув две новые точки внутри нужной ветви за развилкой.")
              .arg(result.points.size())
        : QStringLiteral("Построено %1 точек. Результат нужно визуально проверить и при необходимости "
                         "скорректировать вручную.")
              .arg(result.points.size());
    return result;
}

} // namespace render
