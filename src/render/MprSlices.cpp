#include "render/MprSlices.h"

#include "render/ParallelFor.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace render {

namespace {

enum SlabMode { SlabNone = 0, SlabMaximum = 1, SlabMinimum = 2, SlabMean = 3 };

bool usesSlab(int slabHalf, int mode)
{
    return slabHalf >= 1 && mode != SlabNone;
}

struct GrayMap
{
    double lo;
    double width;
    GrayMap(double centre, double w)
        : lo(centre - 0.5 * w)
        , width(w)
    {
    }
    uchar operator()(double v) const { return width > 0.0 ? scaled(v) : unscaled(v); }
    // A row of values; the width test is made once, so the loop runs on vector registers.
    void row(const float* __restrict values, uchar* __restrict out, int count) const
    {
        if (width > 0.0) {
            for (int i = 0; i < count; ++i)
                out[i] = scaled(double(values[i]));
        } else {
            for (int i = 0; i < count; ++i)
                out[i] = unscaled(double(values[i]));
        }
    }

private:
    // Multiplying before dividing keeps the window's upper bound at exactly 255 (255 / 400 has no
    // exact binary form, and 400 * (255 / 400) truncates to 254).
    uchar scaled(double v) const { return clampToByte((v - lo) * 255.0 / width); }
    uchar unscaled(double v) const { return clampToByte(v - lo); }
    // Without branches; the first comparison also maps NaN to black.
    static uchar clampToByte(double g)
    {
        g = g > 0.0 ? g : 0.0;
        g = g < 255.0 ? g : 255.0;
        return uchar(int(g));
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
    // Without branches: the fraction is as good as random from one pixel to the next.
    t += static_cast<long long>(frac >= 0.5);
    t -= static_cast<long long>(frac <= -0.5);
    return t;
}

// nearest(c / s), with a multiplication by inverse = 1 / s in place of the division. The product
// differs from the rounded quotient by a few units in the last place at most, which can change the
// result only next to a half: there the quotient itself is taken.
inline long long nearestQuotient(double c, double s, double inverse)
{
    const double q = c * inverse;
    if (std::abs(q) < 1.0e6) {
        const double frac = q - double(static_cast<long long>(q));
        if (std::abs(std::abs(frac) - 0.5) > 1.0e-9)
            return nearest(q);
    }
    return nearest(c / s);
}

// Narrows [first, last] to the columns whose voxel index lies in [0, n), for an index that moves one
// way only along the row (a monotone function of the column): two binary searches instead of a test
// per pixel.
template<typename VoxelOf>
void narrowToInside(const VoxelOf& voxel, long long n, int& first, int& last)
{
    if (first > last)
        return;
    const auto firstTrue = [](int lo, int hi, const auto& holds) { // holds: false, then true
        while (lo <= hi) {
            const int mid = lo + (hi - lo) / 2;
            if (holds(mid))
                hi = mid - 1;
            else
                lo = mid + 1;
        }
        return lo;
    };
    const auto lastTrue = [](int lo, int hi, const auto& holds) { // holds: true, then false
        while (lo <= hi) {
            const int mid = lo + (hi - lo) / 2;
            if (holds(mid))
                lo = mid + 1;
            else
                hi = mid - 1;
        }
        return hi;
    };
    const auto notBelow = [&](int q) { return voxel(q) >= 0; };
    const auto notAbove = [&](int q) { return voxel(q) < n; };
    if (voxel(first) <= voxel(last)) {
        first = firstTrue(first, last, notBelow);
        last = lastTrue(first, last, notAbove);
    } else {
        first = firstTrue(first, last, notAbove);
        last = lastTrue(first, last, notBelow);
    }
}

enum class Plane { Axial, Coronal, Sagittal };

// The size applyPixelAspect gives an image of width x height pixels.
QSize squarePixelSize(int width, int height, double a, double b)
{
    if (!(a > 0.0 && b > 0.0) || std::abs(a - b) < 0.01)
        return {width, height};
    const double m = std::min(a, b);
    return {std::max(1, int(std::lround(width * a / m))), std::max(1, int(std::lround(height * b / m)))};
}

// First output row of a rescale from `from` to `to` rows whose centre lies at or below source row r:
// the output rows whose centres fall in the source rows [r0, r1) are [firstScaledRow(r0), firstScaledRow(r1)).
int firstScaledRow(int r, int from, int to)
{
    const qint64 numerator = 2 * qint64(r) * to - from; // ceil((r * to / from) - 0.5)
    return numerator <= 0 ? 0 : int((numerator + 2 * qint64(from) - 1) / (2 * qint64(from)));
}

// One row of an orthogonal slice as grey bytes: the slab combined (maximum and minimum exactly in
// single precision, the mean summed in double), then windowed.
class SliceRowKernel
{
public:
    SliceRowKernel(const Volume& v, Plane plane, int width, int lower, int upper, int mode, const GrayMap& gray)
        : m_v(v), m_plane(plane), m_width(width), m_lower(lower), m_upper(upper), m_mode(mode), m_gray(gray),
          m_sum(size_t(width)), m_extreme(size_t(width))
    {
    }

    void operator()(int r, uchar* out)
    {
        const size_t sliceStride = size_t(m_v.nx) * size_t(m_v.ny);
        const float* voxels = m_v.voxels.data();
        if (m_plane == Plane::Sagittal) {
            // Image columns run along y; the slab layers of one column lie side by side along x.
            const float* column = voxels + size_t(m_v.nz - 1 - r) * sliceStride;
            for (int q = 0; q < m_width; ++q)
                out[q] = m_gray(combine(column + size_t(q) * size_t(m_v.nx) + size_t(m_lower)));
            return;
        }
        // Axial and coronal rows run along x; each slab layer is one contiguous row.
        const auto layer = [&](int k) {
            return m_plane == Plane::Axial ? voxels + size_t(k) * sliceStride + size_t(r) * size_t(m_v.nx)
                                           : voxels + size_t(m_v.nz - 1 - r) * sliceStride + size_t(k) * size_t(m_v.nx);
        };
        if (m_lower == m_upper) {
            m_gray.row(layer(m_lower), out, m_width);
            return;
        }
        if (m_mode == SlabMean) {
            double* __restrict sum = m_sum.data();
            std::fill_n(sum, m_width, 0.0);
            for (int k = m_lower; k <= m_upper; ++k) {
                const float* __restrict src = layer(k);
                for (int q = 0; q < m_width; ++q)
                    sum[q] += double(src[q]);
            }
            const int count = m_upper - m_lower + 1;
            for (int q = 0; q < m_width; ++q)
                out[q] = m_gray(double(float(sum[q] / count)));
            return;
        }
        float* __restrict extreme = m_extreme.data();
        std::fill_n(extreme, m_width, extremeStart());
        for (int k = m_lower; k <= m_upper; ++k) {
            const float* __restrict src = layer(k);
            if (m_mode == SlabMaximum) {
                for (int q = 0; q < m_width; ++q)
                    extreme[q] = std::max(extreme[q], src[q]);
            } else {
                for (int q = 0; q < m_width; ++q)
                    extreme[q] = std::min(extreme[q], src[q]);
            }
        }
        m_gray.row(extreme, out, m_width);
    }

private:
    // Where a maximum or minimum starts; a value that is not a number never replaces it, so a slab of
    // nothing else stays at the start (and maps to black or white).
    float extremeStart() const
    {
        return m_mode == SlabMaximum ? -std::numeric_limits<float>::infinity()
                                     : std::numeric_limits<float>::infinity();
    }

    // The slab of one sagittal pixel: its layers lie side by side from `src`.
    double combine(const float* src) const
    {
        if (m_lower == m_upper)
            return src[0];
        const int count = m_upper - m_lower + 1;
        if (m_mode == SlabMean) {
            double sum = 0.0;
            for (int k = 0; k < count; ++k)
                sum += double(src[k]);
            return float(sum / count);
        }
        float extreme = extremeStart();
        for (int k = 0; k < count; ++k)
            extreme = m_mode == SlabMaximum ? std::max(extreme, src[k]) : std::min(extreme, src[k]);
        return extreme;
    }

    const Volume& m_v;
    Plane m_plane;
    int m_width, m_lower, m_upper, m_mode;
    GrayMap m_gray;
    std::vector<double> m_sum;
    std::vector<float> m_extreme;
};

QImage renderOrthogonal(const Volume& v, Plane plane, int index, double c, double w, int slabHalf, int mode)
{
    if (v.isEmpty() || v.voxels.size() < size_t(v.nx) * size_t(v.ny) * size_t(v.nz))
        return {};
    const int n = plane == Plane::Axial ? v.nz : plane == Plane::Coronal ? v.ny : v.nx;
    const int at = std::clamp(index, 0, n - 1);
    const int width = plane == Plane::Sagittal ? v.ny : v.nx;
    const int height = plane == Plane::Axial ? v.ny : v.nz;
    const bool slab = usesSlab(slabHalf, mode);
    const int lower = slab ? std::max(at - slabHalf, 0) : at;
    const int upper = slab ? std::min(at + slabHalf, n - 1) : at;
    const double horizontal = plane == Plane::Sagittal ? v.spacingY : v.spacingX;
    const double vertical = plane == Plane::Axial ? v.spacingY : v.spacingZ;
    const QSize scaledSize = squarePixelSize(width, height, horizontal, vertical);
    const bool rescale = scaledSize != QSize(width, height);
    // Below a million source pixels Qt rescales by painting with a bilinear filter, and a painter that
    // is clipped to a band of rows gives that band's pixels exactly: each band is rescaled by the
    // thread that made its rows. Larger images Qt scales by another method, over the whole image.
    // The bands are painted in 32-bit grey (equal channels), which Qt filters without converting
    // every span and which gives the same bytes as filtering the 8-bit image.
    const bool rescaleInBands = rescale && qint64(width) * height < (qint64(1) << 20);

    QImage gray(rescaleInBands ? QSize(1, 1) : QSize(width, height), QImage::Format_Grayscale8);
    QImage scaled = rescaleInBands ? QImage(scaledSize, QImage::Format_Grayscale8) : QImage();
    QImage scaledWide = rescaleInBands ? QImage(scaledSize, QImage::Format_RGB32) : QImage();
    uchar* grayBits = gray.bits();
    const qsizetype grayStride = gray.bytesPerLine();
    uchar* scaledBits = rescaleInBands ? scaled.bits() : nullptr;
    const qsizetype scaledStride = rescaleInBands ? scaled.bytesPerLine() : 0;
    uchar* wideBits = rescaleInBands ? scaledWide.bits() : nullptr;
    const qsizetype wideStride = rescaleInBands ? scaledWide.bytesPerLine() : 0;
    const GrayMap grayMap(c, w);

    parallelFor(height, [&](int r0, int r1) {
        SliceRowKernel row(v, plane, width, lower, upper, mode, grayMap);
        if (!rescaleInBands) {
            for (int r = r0; r < r1; ++r)
                row(r, grayBits + r * grayStride);
            return;
        }
        // The output rows of this band read source rows up to one beyond the band on either side;
        // the band makes its own copy of those (two for margin), so no band reads another's rows.
        QImage source(width, height, QImage::Format_RGB32);
        std::vector<uchar> line(static_cast<size_t>(width));
        for (int r = std::max(r0 - 2, 0); r < std::min(r1 + 2, height); ++r) {
            row(r, line.data());
            QRgb* wide = reinterpret_cast<QRgb*>(source.scanLine(r));
            for (int q = 0; q < width; ++q)
                wide[q] = 0xff000000u | 0x010101u * line[size_t(q)];
        }
        const int d0 = firstScaledRow(r0, height, scaledSize.height());
        const int d1 = firstScaledRow(r1, height, scaledSize.height());
        if (d0 >= d1)
            return;
        for (int d = d0; d < d1; ++d)
            std::fill_n(reinterpret_cast<QRgb*>(wideBits + d * wideStride), scaledSize.width(), 0xff000000u);
        {
            QImage target(wideBits, scaledSize.width(), scaledSize.height(), wideStride, QImage::Format_RGB32);
            QPainter painter(&target);
            painter.setClipRect(0, d0, scaledSize.width(), d1 - d0);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.setTransform(QTransform::fromScale(double(scaledSize.width()) / width,
                                                       double(scaledSize.height()) / height));
            painter.drawImage(QPoint(0, 0), source);
        }
        for (int d = d0; d < d1; ++d) {
            const QRgb* wide = reinterpret_cast<const QRgb*>(wideBits + d * wideStride);
            uchar* out = scaledBits + d * scaledStride;
            for (int x = 0; x < scaledSize.width(); ++x)
                out[x] = uchar(qBlue(wide[x]));
        }
    });
    if (rescaleInBands)
        return scaled;
    return rescale ? applyPixelAspect(gray, horizontal, vertical) : gray;
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
    const double spacing[3] = {volume.spacingX, volume.spacingY, volume.spacingZ};
    const double inverseSpacing[3] = {1.0 / spacing[0], 1.0 / spacing[1], 1.0 / spacing[2]};
    const long long dims[3] = {volume.nx, volume.ny, volume.nz};
    const size_t strides[3] = {1, size_t(volume.nx), size_t(volume.nx) * size_t(volume.ny)};
    const float axis[3] = {axisU.x(), axisU.y(), axisU.z()};
    // Column offsets along axisU, the same single-precision values for every row.
    std::vector<float> columnOffset(static_cast<size_t>(size));
    for (int q = 0; q < size; ++q)
        columnOffset[size_t(q)] = float((q + 0.5 - half) * pixelSpacing);
    uchar* bits = image.bits();
    const qsizetype stride = image.bytesPerLine();

    parallelFor(size, [&](int r0, int r1) {
        std::vector<double> sum(slab ? size_t(size) : 0);
        std::vector<float> extreme(slab ? size_t(size) : 0);
        std::vector<int> count(slab ? size_t(size) : 0);
        std::vector<size_t> offset(static_cast<size_t>(size));
        std::vector<float> value(static_cast<size_t>(size));
        for (int r = r0; r < r1; ++r) {
            uchar* line = bits + r * stride;
            const float v = float((r + 0.5 - half) * pixelSpacing);
            const QVector3D rowBase = centre + v * axisV;
            if (slab) {
                std::fill(sum.begin(), sum.end(), 0.0);
                std::fill(extreme.begin(), extreme.end(),
                          mode == SlabMaximum ? -std::numeric_limits<float>::infinity()
                                              : std::numeric_limits<float>::infinity());
                std::fill(count.begin(), count.end(), 0);
            }
            int first = 0, last = -1;
            for (int t = slab ? -slabHalf : 0; t <= (slab ? slabHalf : 0); ++t) {
                // Sample point of column q on layer t, in single precision component by component:
                // (rowBase + columnOffset[q] * axisU) + (t * slabStep) * normal.
                const QVector3D shift = float(t * slabStep) * normal;
                const auto voxelOf = [&](int q, int a) {
                    const float c = rowBase[a] + columnOffset[size_t(q)] * axis[a];
                    return nearestQuotient(double(slab ? c + shift[a] : c), spacing[a], inverseSpacing[a]);
                };
                // Along a row every coordinate moves one way only, so the columns whose nearest voxel
                // lies inside the volume form one run: found once, they need no test per pixel.
                first = 0;
                last = size - 1;
                for (int a = 0; a < 3; ++a)
                    narrowToInside([&](int q) { return voxelOf(q, a); }, dims[a], first, last);
                for (int q = first; q <= last; ++q)
                    offset[size_t(q)] = size_t(voxelOf(q, 0)) * strides[0] + size_t(voxelOf(q, 1)) * strides[1]
                                        + size_t(voxelOf(q, 2)) * strides[2];
                if (!slab)
                    break;
                const float* voxels = volume.voxels.data();
                for (int q = first; q <= last; ++q) {
                    const float value = voxels[offset[size_t(q)]];
                    sum[size_t(q)] += double(value);
                    extreme[size_t(q)] = mode == SlabMaximum ? std::max(extreme[size_t(q)], value)
                                                             : std::min(extreme[size_t(q)], value);
                    ++count[size_t(q)];
                }
            }
            if (!slab) {
                // The reads first, all independent, then the grey mapping.
                const float* voxels = volume.voxels.data();
                for (int q = first; q <= last; ++q)
                    value[size_t(q)] = voxels[offset[size_t(q)]];
                const uchar outside = gray(gray.lo);
                std::fill(line, line + std::max(first, 0), outside);
                if (first <= last)
                    gray.row(value.data() + first, line + first, last - first + 1);
                std::fill(line + std::max(last + 1, first), line + size, outside);
                continue;
            }
            for (int q = 0; q < size; ++q) {
                const int n = count[size_t(q)];
                const double value = n == 0 ? gray.lo
                                     : mode == SlabMean ? double(float(sum[size_t(q)] / n))
                                                        : double(extreme[size_t(q)]);
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
    for (int y = 0; y < height; ++y)
        gray.row(values + size_t(y) * size_t(width), image.scanLine(y), width);
    return image;
}

QImage applyPixelAspect(const QImage& image, double horizontalSpacing, double verticalSpacing)
{
    if (image.isNull())
        return image;
    const QSize size = squarePixelSize(image.width(), image.height(), horizontalSpacing, verticalSpacing);
    return size == image.size() ? image : image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

} // namespace render
