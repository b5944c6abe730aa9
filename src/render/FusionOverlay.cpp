#include "render/FusionOverlay.h"

#include "render/ParallelFor.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace render {

namespace {

int channel(double value)
{
    return int(std::clamp(value, 0.0, 1.0) * 255.0);
}

struct GrayWindow
{
    double lo;
    double range;
    uchar operator()(float v) const
    {
        return uchar(int(std::clamp((double(v) - lo) / range, 0.0, 1.0) * 255.0));
    }
};

// A gray image of columns x rows: row r reads `columns` voxels from rowStart(r) on, `stride` apart.
template<typename RowStart>
QImage graySlice(const FusionVolume& volume, int columns, int rows, size_t stride, double centre, double width,
                 const RowStart& rowStart)
{
    const GrayWindow gray{centre - 0.5 * width, std::max(width, 1e-6)};
    QImage image(columns, rows, QImage::Format_Grayscale8);
    for (int r = 0; r < rows; ++r) {
        uchar* line = image.scanLine(r);
        const float* src = volume.voxels.data() + rowStart(r);
        for (int c = 0; c < columns; ++c)
            line[c] = gray(src[size_t(c) * stride]);
    }
    return image;
}

int resolveIndex(int index, int n)
{
    if (index < 0)
        index = n / 2;
    return std::clamp(index, 0, n - 1);
}

bool hasVoxels(const FusionVolume& v)
{
    return !v.isEmpty() && v.voxels.size() == size_t(v.nx) * size_t(v.ny) * size_t(v.nz);
}

// The colour of t in the map as an opaque QRgb; colorMap() and the blend share it.
inline QRgb colorMapRgb(double t, int map)
{
    t = std::clamp(t, 0.0, 1.0);
    if (std::isnan(t))
        t = 0.0;
    double r = 0.0, g = 0.0, b = 0.0;
    if (map == RainbowColorMap) {
        const double s = 4.0 * t;
        r = 1.5 - std::abs(s - 3.0);
        g = 1.5 - std::abs(s - 2.0);
        b = 1.5 - std::abs(s - 1.0);
    } else if (map == GrayColorMap) {
        r = g = b = t;
    } else if (t < 1.0 / 3.0) {
        r = 3.0 * t;
    } else if (t < 2.0 / 3.0) {
        r = 1.0;
        g = 3.0 * (t - 1.0 / 3.0);
    } else {
        r = 1.0;
        g = 1.0;
        b = 3.0 * (t - 2.0 / 3.0);
    }
    return qRgb(channel(r), channel(g), channel(b));
}

} // namespace

QColor colorMap(double t, int map)
{
    return QColor::fromRgb(colorMapRgb(t, map));
}

QImage blendFusionOverlay(const QImage& base, const db::InstanceRecord& slice, const FusionVolume& overlay,
                          double windowCentre, double windowWidth, int map, double opacity)
{
    if (base.isNull() || overlay.isEmpty() || !slice.hasSpatialInfo)
        return base;
    const double sx = slice.pixelSpacingX > 0.0 ? slice.pixelSpacingX : 1.0;
    const double sy = slice.pixelSpacingY > 0.0 ? slice.pixelSpacingY : 1.0;
    const double lo = windowCentre - 0.5 * windowWidth;
    const double range = std::max(windowWidth, 1e-6);
    QImage out = base.convertToFormat(QImage::Format_RGB32);
    const double a0 = std::isnan(opacity) ? 0.0 : std::clamp(opacity, 0.0, 1.0);
    const bool spacingOk = overlay.spacing[0] > 0.0 && overlay.spacing[1] > 0.0 && overlay.spacing[2] > 0.0;
    if (!spacingOk || !hasVoxels(overlay))
        return out;

    // The overlay's voxel coordinates are affine in the pixel position, so each row starts from the
    // mapped row origin and steps by the mapped pixel offsets.
    const auto& pos = slice.imagePosition;
    const auto& row = slice.orientationRow;
    const auto& col = slice.orientationCol;
    double start[3];
    worldToVoxel(overlay, pos[0], pos[1], pos[2], &start[0], &start[1], &start[2]);
    const std::array<double, 3>* axes[3] = {&overlay.rowDir, &overlay.colDir, &overlay.sliceDir};
    double perColumn[3], perRow[3];
    for (int a = 0; a < 3; ++a) {
        const auto& d = *axes[a];
        perColumn[a] = sx * (row[0] * d[0] + row[1] * d[1] + row[2] * d[2]) / overlay.spacing[size_t(a)];
        perRow[a] = sy * (col[0] * d[0] + col[1] * d[1] + col[2] * d[2]) / overlay.spacing[size_t(a)];
    }
    const int width = out.width();
    const int height = out.height();
    uchar* bits = out.bits(); // detached once here; the rows write only through this pointer
    const qsizetype bytesPerLine = out.bytesPerLine();
    parallelFor(height, [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            auto* line = reinterpret_cast<QRgb*>(bits + bytesPerLine * y);
            const double i0 = start[0] + y * perRow[0];
            const double j0 = start[1] + y * perRow[1];
            const double k0 = start[2] + y * perRow[2];
            for (int x = 0; x < width; ++x) {
                const float sample = sampleFusionTrilinear(overlay, i0 + x * perColumn[0], j0 + x * perColumn[1],
                                                           k0 + x * perColumn[2]);
                if (std::isnan(sample))
                    continue;
                const double t = (double(sample) - lo) / range;
                if (!(t > 0.0))
                    continue;
                const QRgb colour = colorMapRgb(t, map);
                const double a = std::min(t, 1.0) * a0;
                const QRgb b = line[x];
                line[x] = qRgb(int(qRed(colour) * a + qRed(b) * (1.0 - a)),
                               int(qGreen(colour) * a + qGreen(b) * (1.0 - a)),
                               int(qBlue(colour) * a + qBlue(b) * (1.0 - a)));
            }
        }
    });
    return out;
}

QImage renderFusionAxialSlice(const FusionVolume& volume, double windowCentre, double windowWidth, int k)
{
    if (!hasVoxels(volume))
        return QImage();
    k = resolveIndex(k, volume.nz);
    return graySlice(volume, volume.nx, volume.ny, 1, windowCentre, windowWidth,
                     [&](int r) { return volume.index(0, r, k); });
}

QImage renderFusionSagittalSlice(const FusionVolume& volume, double windowCentre, double windowWidth, int i)
{
    if (!hasVoxels(volume))
        return QImage();
    i = resolveIndex(i, volume.nx);
    return graySlice(volume, volume.ny, volume.nz, size_t(volume.nx), windowCentre, windowWidth,
                     [&](int r) { return volume.index(i, 0, volume.nz - 1 - r); });
}

QImage renderFusionCoronalSlice(const FusionVolume& volume, double windowCentre, double windowWidth, int j)
{
    if (!hasVoxels(volume))
        return QImage();
    j = resolveIndex(j, volume.ny);
    return graySlice(volume, volume.nx, volume.nz, 1, windowCentre, windowWidth,
                     [&](int r) { return volume.index(0, j, volume.nz - 1 - r); });
}

} // namespace render
