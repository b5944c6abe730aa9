#include "render/VesselLumen.h"

#include "render/StopFlag.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

namespace render {

namespace {

// A section larger than this is no cross-section any screen shows; refusing it keeps a wild size
// from exhausting memory.
constexpr double kMaxSectionPixels = double(qint64(16) << 20);

bool inLumen(float v, const LumenSettings& s)
{
    return v >= s.lumenMinHu && v <= s.lumenMaxHu;
}

} // namespace

CrossSectionImage renderCrossSection(const FusionVolume& volume, const double centre[3], const double axisU[3],
                                     const double axisV[3], double sizeMm, double windowCenter, double windowWidth)
{
    CrossSectionImage result;
    if (volume.isEmpty() || !(sizeMm > 0.0) || !centre || !axisU || !axisV)
        return result;
    const double step = std::max(std::min(volume.spacing[0], volume.spacing[1]), 0.1);
    const double side = std::max(2.0, std::trunc(sizeMm / step));
    if (!std::isfinite(side) || side * side > kMaxSectionPixels)
        return result;
    const int n = int(side);
    const double lower = windowCenter - windowWidth / 2.0;
    const double range = std::max((windowCenter + windowWidth / 2.0) - lower, 1e-6);

    QImage image(n, n, QImage::Format_Grayscale8);
    if (image.isNull())
        return result;
    image.fill(0);
    QList<float> samples;
    try {
        samples.resize(qsizetype(n) * n, 0.0f);
    } catch (const std::bad_alloc&) {
        return result;
    }
    float* out = samples.data();
    for (int r = 0; r < n; ++r) {
        const double v = double(r) / (n - 1) * sizeMm - sizeMm / 2.0;
        uchar* line = image.scanLine(r);
        for (int c = 0; c < n; ++c) {
            const double u = double(c) / (n - 1) * sizeMm - sizeMm / 2.0;
            const double p[3] = {centre[0] + u * axisU[0] + v * axisV[0], centre[1] + u * axisU[1] + v * axisV[1],
                                 centre[2] + u * axisU[2] + v * axisV[2]};
            double i, j, k;
            if (!worldToVoxel(volume, p[0], p[1], p[2], &i, &j, &k))
                continue;
            const float value = sampleFusionTrilinear(volume, i, j, k);
            if (std::isnan(value))
                continue;
            line[c] = uchar(int(std::clamp((double(value) - lower) / range, 0.0, 1.0) * 255.0));
            out[qsizetype(r) * n + c] = value;
        }
    }
    result.image = image;
    result.samples = samples;
    result.gridWidth = n;
    result.gridHeight = n;
    result.pixelSpacingMm = sizeMm / std::max(n - 1, 1);
    return result;
}

void measureLumen(const CrossSectionImage& section, const LumenSettings* settings, LumenSample& sample)
{
    const int w = section.gridWidth;
    const int h = section.gridHeight;
    if (!settings || w < 1 || h < 1 || section.samples.size() != qsizetype(w) * h)
        return;
    const LumenSettings& s = *settings;
    const float* value = section.samples.constData();
    const int cx = w / 2, cy = h / 2;
    int seed = -1;
    for (int radius = 0; radius <= 3 && seed < 0; ++radius)
        for (int dy = -radius; dy <= radius && seed < 0; ++dy)
            for (int dx = -radius; dx <= radius; ++dx) {
                const int x = cx + dx, y = cy + dy;
                if (x < 0 || y < 0 || x >= w || y >= h)
                    continue;
                if (inLumen(value[qsizetype(y) * w + x], s)) {
                    seed = y * w + x;
                    break;
                }
            }
    if (seed < 0)
        return;

    std::vector<uchar> mask(size_t(w) * size_t(h), 0);
    std::vector<int> stack;
    stack.reserve(64);
    stack.push_back(seed);
    mask[size_t(seed)] = 1;
    qint64 count = 0;
    bool border = false;
    while (!stack.empty()) {
        const int idx = stack.back();
        stack.pop_back();
        ++count;
        const int x = idx % w, y = idx / w;
        if (x == 0 || y == 0 || x == w - 1 || y == h - 1)
            border = true;
        const int nx[4] = {x + 1, x - 1, x, x};
        const int ny[4] = {y, y, y + 1, y - 1};
        for (int q = 0; q < 4; ++q) {
            if (nx[q] < 0 || ny[q] < 0 || nx[q] >= w || ny[q] >= h)
                continue;
            const int nidx = ny[q] * w + nx[q];
            if (mask[size_t(nidx)] || !inLumen(value[nidx], s))
                continue;
            mask[size_t(nidx)] = 1;
            stack.push_back(nidx);
        }
    }
    sample.areaMm2 = double(count) * section.pixelSpacingMm * section.pixelSpacingMm;
    sample.diameterMm = 2.0 * std::sqrt(sample.areaMm2 / M_PI);
    sample.valid = true;
    sample.touchesBorder = border;
    for (qsizetype p = 0; p < section.samples.size(); ++p)
        if (!mask[size_t(p)] && value[p] >= s.calciumHu) {
            sample.calcified = true;
            break;
        }
}

LumenProfile analyzeVesselLumen(const FusionVolume& volume, const CurvePoints& curve, double windowCenter,
                                double windowWidth, const LumenSettings* settings, const std::atomic_bool* stop)
{
    LumenProfile profile;
    if (volume.isEmpty()) {
        profile.message = QStringLiteral("Объём не построен");
        return profile;
    }
    if (curve.size() < 2) {
        profile.message = QStringLiteral("Нужно минимум 2 точки кривой");
        return profile;
    }
    const LumenSettings defaults;
    const LumenSettings& s = settings ? *settings : defaults;
    const CurvedMprResult mpr = CurvedMprRenderer::render(volume, curve, s.sectionSizeMm, s.stepMm, windowCenter,
                                                          windowWidth, 0.0, 0.0, 0.0, CurvedMprSlabNone, 0.0, false);
    if (mpr.image.isNull() || mpr.points.isEmpty()) {
        profile.message = QStringLiteral("Не удалось построить геометрию кривой");
        return profile;
    }
    profile.curvedMpr = mpr;
    const qsizetype count = mpr.points.size();
    const double spacing = mpr.lengthMm / double(std::max<qsizetype>(count - 1, 1));
    profile.sections.reserve(count);
    for (qsizetype i = 0; i < count; ++i) {
        if (stopRequested(stop)) {
            LumenProfile stopped;
            stopped.message = QStringLiteral("Расчёт профиля прерван");
            return stopped;
        }
        LumenSample sample;
        sample.arcMm = double(i) * spacing;
        const CrossSectionImage section = renderCrossSection(volume, mpr.points[i].data(), mpr.normals[i].data(),
                                                             mpr.binormals[i].data(), s.sectionSizeMm,
                                                             windowCenter, windowWidth);
        if (!section.image.isNull())
            measureLumen(section, &s, sample);
        profile.sections.append(sample);
    }

    double refDiameter = 0.0, refArea = 0.0;
    int refCount = 0;
    for (const LumenSample& x : std::as_const(profile.sections)) {
        if (x.touchesBorder)
            ++profile.borderContactCount;
        if (x.valid && !x.touchesBorder
            && (x.arcMm <= s.referenceLengthMm || x.arcMm >= mpr.lengthMm - s.referenceLengthMm)) {
            refDiameter += x.diameterMm;
            refArea += x.areaMm2;
            ++refCount;
        }
    }
    if (refCount > 0) {
        profile.referenceDiameterMm = refDiameter / refCount;
        profile.referenceAreaMm2 = refArea / refCount;
    }

    auto findMinima = [&](bool skipBorder, double& minD, double& minDArc, double& minA) {
        bool any = false;
        for (const LumenSample& x : std::as_const(profile.sections)) {
            if (!x.valid || (skipBorder && x.touchesBorder))
                continue;
            if (!any || x.diameterMm < minD) {
                minD = x.diameterMm;
                minDArc = x.arcMm;
            }
            if (!any || x.areaMm2 < minA)
                minA = x.areaMm2;
            any = true;
        }
        return any;
    };
    double minD = 0.0, minDArc = 0.0, minA = 0.0;
    if (!findMinima(true, minD, minDArc, minA) && !findMinima(false, minD, minDArc, minA)) {
        profile.message = QStringLiteral("Не удалось определить просвет ни в одной точке кривой — проверьте "
                                         "диапазон HU просвета или ход кривой (возможно, она проходит мимо сосуда).");
        return profile;
    }
    profile.minDiameterMm = minD;
    profile.minDiameterArcMm = minDArc;
    profile.minAreaMm2 = minA;
    if (profile.referenceDiameterMm > 0.0)
        profile.stenosisDiameterPercent =
            std::clamp((1.0 - profile.minDiameterMm / profile.referenceDiameterMm) * 100.0, 0.0, 100.0);
    if (profile.referenceAreaMm2 > 0.0)
        profile.stenosisAreaPercent =
            std::clamp((1.0 - profile.minAreaMm2 / profile.referenceAreaMm2) * 100.0, 0.0, 100.0);
    return profile;
}

} // namespace render
