#include "MprSlices.h"

#include "ParallelFor.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace render {

namespace {

enum SlabMode { SlabNone = 0, SlabMaximum = 1, SlabMinimum = 2, SlabMean = 3 };

bool usesSlab(int slabHalf, int mode)
{
    return slabHalf >= 1 && mode != SlabNone;
}

// Combines the voxels of one slab in double precision.
struct SlabAccumulator
{
    int mode;
    double acc;

    explicit SlabAccumulator(int m)
        : mode(m)
        , acc(m == SlabMaximum ? std::numeric_limits<double>::lowest()
                               : m == SlabMinimum ? std::numeric_limits<double>::max() : 0.0)
    {
    }
    void add(double v)
    {
        if (mode == SlabMaximum)
            acc = std::max(acc, v);
        else if (mode == SlabMinimum)
            acc = std::min(acc, v);
        else
            acc += v;
    }
    float result(int count) const { return float(mode == SlabMaximum || mode == SlabMinimum ? acc : acc / count); }
};

struct GrayMap
{
    double lo;
    double width;
    GrayMap(double centre, double w)
        : lo(centre - 0.5 * w)
        , width(w)
    {
    }
    uchar operator()(double v) const
    {
        // Multiplying before dividing keeps the window's upper bound at exactly 255 (255 / 400 has
        // no exact binary form, and 400 * (255 / 400) truncates to 254).
        const double g = width > 0.0 ? (v - lo) * 255.0 / width : v - lo;
        if (!(g > 0.0)) // also maps NaN to black
            return 0;
        if (g > 255.0)
            return 255;
        return uchar(g);
    }
};

// Rounds halves away from zero (as llround) without a library call per pixel. Coordinates beyond
// the 64-bit range are clamped; they lie outside any volume either way.
inline long long nearest(double v)
{
    if (!(std::abs(v) < 9.0e18))
        return v > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
    long long t = static_cast<long long>(v); // truncates toward zero
    const double frac = v - static_cast<double>(t);
    if (frac >= 0.5)
        ++t;
    else if (frac <= -0.5)
        --t;
    return t;
}

enum class Plane { Axial, Coronal, Sagittal };

QImage renderOrthogonal(const Volume& v, Plane plane, int index, double c, double w, int slabHalf, int mode)
{
    if (v.isEmpty() || v.voxels.size() < size_t(v.nx) * size_t(v.ny) * size_t(v.nz))
        return {};
    const int n = plane == Plane::Axial ? v.nz : plane == Plane::Coronal ? v.ny : v.nx;
    const int at = std::clamp(index, 0, n - 1);
    const int width = plane == Plane::Sagittal ? v.ny : v.nx;
    const int height = plane == Plane::Axial ? v.ny : v.nz;
    std::vector<float> buffer(size_t(width) * size_t(height), 0.0f);
    const bool slab = usesSlab(slabHalf, mode);
    const int lower = slab ? std::max(at - slabHalf, 0) : at;
    const int upper = slab ? std::min(at + slabHalf, n - 1) : at;
    const int count = upper - lower + 1;
    const size_t sliceStride = size_t(v.nx) * size_t(v.ny);

    parallelFor(height, [&](int r0, int r1) {
        std::vector<double> acc(static_cast<size_t>(width));
        for (int r = r0; r < r1; ++r) {
            float* out = buffer.data() + size_t(r) * size_t(width);
            // Source of column q at slab layer k: base(k) + q * step.
            auto rowSource = [&](int k, size_t& base, size_t& step) {
                if (plane == Plane::Axial) {
                    base = size_t(k) * sliceStride + size_t(r) * size_t(v.nx);
                    step = 1;
                } else if (plane == Plane::Coronal) {
                    base = size_t(v.nz - 1 - r) * sliceStride + size_t(k) * size_t(v.nx);
                    step = 1;
                } else {
                    base = size_t(v.nz - 1 - r) * sliceStride + size_t(k);
                    step = size_t(v.nx);
                }
            };
            size_t base = 0, step = 1;
            if (!slab) {
                rowSource(at, base, step);
                for (int q = 0; q < width; ++q)
                    out[q] = v.voxels[base + size_t(q) * step];
                continue;
            }
            const double start = mode == SlabMaximum ? std::numeric_limits<double>::lowest()
                                 : mode == SlabMinimum ? std::numeric_limits<double>::max() : 0.0;
            std::fill(acc.begin(), acc.end(), start);
            for (int k = lower; k <= upper; ++k) {
                rowSource(k, base, step);
                const float* src = v.voxels.data() + base;
                if (mode == SlabMaximum) {
                    for (int q = 0; q < width; ++q)
                        acc[size_t(q)] = std::max(acc[size_t(q)], double(src[size_t(q) * step]));
                } else if (mode == SlabMinimum) {
                    for (int q = 0; q < width; ++q)
                        acc[size_t(q)] = std::min(acc[size_t(q)], double(src[size_t(q) * step]));
                } else {
                    for (int q = 0; q < width; ++q)
                        acc[size_t(q)] += double(src[size_t(q) * step]);
                }
            }
            for (int q = 0; q < width; ++q)
                out[q] = (mode == SlabMaximum || mode == SlabMinimum) ? float(acc[size_t(q)])
                                                                       : float(acc[size_t(q)] / count);
        }
    });

    const QImage gray = toGrayscaleImage(buffer.data(), width, height, c, w);
    switch (plane) {
    case Plane::Axial: return applyPixelAspect(gray, v.spacingX, v.spacingY);
    case Plane::Coronal: return applyPixelAspect(gray, v.spacingX, v.spacingZ);
    case Plane::Sagittal: return applyPixelAspect(gray, v.spacingY, v.spacingZ);
    }
    return gray;
}

QVector3D normalisedLoosely(const QVector3D& v)
{
    const float len = v.length();
    if (len <= 1e-5f)
        return QVector3D();
    if (std::abs(len - 1.0f) > 1e-5f)
        return v / len;
    return v;
}

} // namespace

QImage renderAxialSlice(const Volume& volume, int z, double windowCentre, double windowWidth, int slabHalf, int mode)
{
    return renderOrthogonal(volume, Plane::Axial, z, windowCentre, windowWidth, slabHalf, mode);
}

QImage renderCoronalSlice(const Volume& volume, int y, double windowCentre, double windowWidth, int slabHalf,
                          int mode)
{
    return renderOrthogonal(volume, Plane::Coronal, y, windowCentre, windowWidth, slabHalf, mode);
}

QImage renderSagittalSlice(const Volume& volume, int x, double windowCentre, double windowWidth, int slabHalf,
                           int mode)
{
    return renderOrthogonal(volume, Plane::Sagittal, x, windowCentre, windowWidth, slabHalf, mode);
}

QImage renderObliqueSlice(const Volume& volume, const QVector3D& centre, const QVector3D& axisU,
                          const QVector3D& axisV, int size, double pixelSpacing, double windowCentre,
                          double windowWidth, int slabHalf, int mode)
{
    const int side = size > 1 ? size : 1;
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(0);
    if (volume.isEmpty() || size < 1 || volume.voxels.size() < size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz))
        return image;
    const QVector3D normal = normalisedLoosely(QVector3D::crossProduct(axisU, axisV));
    const GrayMap gray(windowCentre, windowWidth);
    const double half = 0.5 * size;
    const double slabStep = std::max(std::min({volume.spacingX, volume.spacingY, volume.spacingZ}), 0.1);
    const bool slab = usesSlab(slabHalf, mode);
    const double sx = volume.spacingX, sy = volume.spacingY, sz = volume.spacingZ;
    const long long nx = volume.nx, ny = volume.ny, nz = volume.nz;

    auto voxelIndex = [&](const QVector3D& p, size_t& index) {
        const long long i = nearest(double(p.x()) / sx);
        const long long j = nearest(double(p.y()) / sy);
        const long long k = nearest(double(p.z()) / sz);
        if (i < 0 || j < 0 || k < 0 || i >= nx || j >= ny || k >= nz)
            return false;
        index = (size_t(k) * size_t(ny) + size_t(j)) * size_t(nx) + size_t(i);
        return true;
    };

    parallelFor(size, [&](int r0, int r1) {
        for (int r = r0; r < r1; ++r) {
            uchar* line = image.scanLine(r);
            const float v = float((r + 0.5 - half) * pixelSpacing);
            const QVector3D rowBase = centre + v * axisV;
            for (int q = 0; q < size; ++q) {
                const float u = float((q + 0.5 - half) * pixelSpacing);
                const QVector3D p = rowBase + u * axisU;
                double value = gray.lo;
                size_t index = 0;
                if (!slab) {
                    if (voxelIndex(p, index))
                        value = volume.voxels[index];
                } else {
                    SlabAccumulator acc(mode);
                    int count = 0;
                    for (int t = -slabHalf; t <= slabHalf; ++t) {
                        const QVector3D s = p + float(t * slabStep) * normal;
                        if (voxelIndex(s, index)) {
                            acc.add(volume.voxels[index]);
                            ++count;
                        }
                    }
                    if (count > 0)
                        value = acc.result(count);
                }
                line[q] = gray(value);
            }
        }
    });
    return image;
}

float voxelAt(const Volume& volume, int x, int y, int z)
{
    if (x < 0 || y < 0 || z < 0 || x >= volume.nx || y >= volume.ny || z >= volume.nz)
        return 0.0f;
    const size_t i = volume.index(x, y, z);
    return i < volume.voxels.size() ? volume.voxels[i] : 0.0f;
}

float sampleTrilinear(const Volume& volume, double x, double y, double z)
{
    if (!(x > -1.0 && y > -1.0 && z > -1.0 && x < volume.nx && y < volume.ny && z < volume.nz))
        return 0.0f;
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y)), z0 = int(std::floor(z));
    const double fx = x - x0, fy = y - y0, fz = z - z0;
    auto at = [&](int dx, int dy, int dz) { return double(voxelAt(volume, x0 + dx, y0 + dy, z0 + dz)); };
    const double c00 = at(0, 0, 0) * (1 - fx) + at(1, 0, 0) * fx;
    const double c10 = at(0, 1, 0) * (1 - fx) + at(1, 1, 0) * fx;
    const double c01 = at(0, 0, 1) * (1 - fx) + at(1, 0, 1) * fx;
    const double c11 = at(0, 1, 1) * (1 - fx) + at(1, 1, 1) * fx;
    const double c0 = c00 * (1 - fy) + c10 * fy;
    const double c1 = c01 * (1 - fy) + c11 * fy;
    return float(c0 * (1 - fz) + c1 * fz);
}

QImage toGrayscaleImage(const float* values, int width, int height, double windowCentre, double windowWidth)
{
    if (width < 1 || height < 1 || values == nullptr)
        return {};
    QImage image(width, height, QImage::Format_Grayscale8);
    const GrayMap gray(windowCentre, windowWidth);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        const float* src = values + size_t(y) * size_t(width);
        for (int x = 0; x < width; ++x)
            line[x] = gray(double(src[x]));
    }
    return image;
}

QImage applyPixelAspect(const QImage& image, double horizontalSpacing, double verticalSpacing)
{
    const double a = horizontalSpacing, b = verticalSpacing;
    if (image.isNull() || !(a > 0.0 && b > 0.0) || std::abs(a - b) < 0.01)
        return image;
    const double m = std::min(a, b);
    const int w = std::max(1, int(std::lround(image.width() * a / m)));
    const int h = std::max(1, int(std::lround(image.height() * b / m)));
    return image.scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace render
