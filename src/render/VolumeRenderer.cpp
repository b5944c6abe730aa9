#include "render/VolumeRenderer.h"

#include "render/MprSlices.h"
#include "render/ParallelFor.h"

#include <QVector3D>

#include <algorithm>
#include <cmath>
#include <limits>

namespace render {

namespace {

struct Vec
{
    double x = 0, y = 0, z = 0;
    Vec operator+(const Vec& o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vec operator-(const Vec& o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vec operator*(double s) const { return {x * s, y * s, z * s}; }
    double dot(const Vec& o) const { return x * o.x + y * o.y + z * o.z; }
    Vec cross(const Vec& o) const { return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x}; }
    double length() const { return std::sqrt(dot(*this)); }
    Vec normalised() const
    {
        const double l = length();
        return l > 0.0 ? *this * (1.0 / l) : Vec{};
    }
};

Vec fromQt(const QVector3D& v)
{
    return {v.x(), v.y(), v.z()};
}

// Nearest voxel of a continuous coordinate (halves away from zero), or -1 outside [0, n).
inline int nearestInside(double c, int n)
{
    const double f = c + 0.5;
    if (!(f > 0.0) || f >= n)
        return -1;
    return int(f);
}

// Trilinear read with every coordinate clamped into the volume: the gradient never sees the zero
// padding outside, which would shade the volume's own faces as surfaces.
inline double sampleClamped(const Volume& v, double x, double y, double z)
{
    x = std::clamp(x, 0.0, double(v.nx - 1));
    y = std::clamp(y, 0.0, double(v.ny - 1));
    z = std::clamp(z, 0.0, double(v.nz - 1));
    const int x0 = std::min(int(x), v.nx - 1), y0 = std::min(int(y), v.ny - 1), z0 = std::min(int(z), v.nz - 1);
    const int x1 = std::min(x0 + 1, v.nx - 1), y1 = std::min(y0 + 1, v.ny - 1), z1 = std::min(z0 + 1, v.nz - 1);
    const double fx = x - x0, fy = y - y0, fz = z - z0;
    const size_t sx = 1, sy = size_t(v.nx), sz = size_t(v.nx) * size_t(v.ny);
    const float* d = v.voxels.data();
    auto at = [&](int i, int j, int k) { return double(d[size_t(k) * sz + size_t(j) * sy + size_t(i) * sx]); };
    const double c00 = at(x0, y0, z0) * (1 - fx) + at(x1, y0, z0) * fx;
    const double c10 = at(x0, y1, z0) * (1 - fx) + at(x1, y1, z0) * fx;
    const double c01 = at(x0, y0, z1) * (1 - fx) + at(x1, y0, z1) * fx;
    const double c11 = at(x0, y1, z1) * (1 - fx) + at(x1, y1, z1) * fx;
    return (c00 * (1 - fy) + c10 * fy) * (1 - fz) + (c01 * (1 - fy) + c11 * fy) * fz;
}

// The transfer function unpacked once per image, evaluated by exactly the rule (and the arithmetic) of
// sampleTransferFunctionColor and sampleTransferFunctionOpacity, without QColor conversions per sample.
struct CompiledTransferFunction
{
    std::vector<double> value, red, green, blue, opacity;

    explicit CompiledTransferFunction(const TransferFunctionPreset& tf)
    {
        for (const TransferFunctionPoint& p : tf.points) {
            value.push_back(p.value);
            red.push_back(p.color.redF());
            green.push_back(p.color.greenF());
            blue.push_back(p.color.blueF());
            opacity.push_back(p.opacity);
        }
    }

    // Segment index and blend, as the public evaluation finds them.
    void locate(double v, int& i, double& t) const
    {
        const int n = int(value.size());
        t = 0.0;
        if (v <= value[0]) {
            i = 0;
            return;
        }
        if (v >= value[size_t(n - 1)]) {
            i = n - 1;
            return;
        }
        for (int k = 0; k + 1 < n; ++k) {
            const double a = value[size_t(k)], b = value[size_t(k + 1)];
            if (a <= v && v <= b) {
                i = k;
                const double span = b - a;
                t = span > 0.0 ? (v - a) / span : 0.0;
                return;
            }
        }
        i = n - 1;
    }

    double alphaAt(int i, double t) const
    {
        if (t == 0.0 || i + 1 >= int(value.size()))
            return opacity[size_t(i)];
        return (1.0 - t) * opacity[size_t(i)] + t * opacity[size_t(i + 1)];
    }

    void colourAt(int i, double t, float rgb[3]) const
    {
        if (t == 0.0 || i + 1 >= int(value.size())) {
            rgb[0] = float(red[size_t(i)]);
            rgb[1] = float(green[size_t(i)]);
            rgb[2] = float(blue[size_t(i)]);
            return;
        }
        const size_t a = size_t(i), b = size_t(i + 1);
        rgb[0] = float((1.0 - t) * red[a] + t * red[b]);
        rgb[1] = float((1.0 - t) * green[a] + t * green[b]);
        rgb[2] = float((1.0 - t) * blue[a] + t * blue[b]);
    }
};

// The trilinear arithmetic of sampleTrilinear() and sampleClamped() for a point whose eight neighbours
// all lie inside the volume (0 <= x < nx - 1 on every axis): no test, no clamp.
inline double trilinearInside(const float* voxels, size_t strideY, size_t strideZ, double x, double y, double z)
{
    const int x0 = int(x), y0 = int(y), z0 = int(z);
    const double fx = x - x0, fy = y - y0, fz = z - z0;
    const float* p = voxels + size_t(z0) * strideZ + size_t(y0) * strideY + size_t(x0);
    const double c00 = double(p[0]) * (1 - fx) + double(p[1]) * fx;
    const double c10 = double(p[strideY]) * (1 - fx) + double(p[strideY + 1]) * fx;
    const double c01 = double(p[strideZ]) * (1 - fx) + double(p[strideZ + 1]) * fx;
    const double c11 = double(p[strideZ + strideY]) * (1 - fx) + double(p[strideZ + strideY + 1]) * fx;
    const double c0 = c00 * (1 - fy) + c10 * fy;
    const double c1 = c01 * (1 - fy) + c11 * fy;
    return c0 * (1 - fz) + c1 * fz;
}

// sampleTrilinear with the same arithmetic, reading the eight neighbours directly when all lie inside.
inline float trilinear(const Volume& v, double x, double y, double z)
{
    if (!(x >= 0.0 && y >= 0.0 && z >= 0.0 && x < v.nx - 1 && y < v.ny - 1 && z < v.nz - 1))
        return sampleTrilinear(v, x, y, z);
    return float(trilinearInside(v.voxels.data(), size_t(v.nx), size_t(v.nx) * size_t(v.ny), x, y, z));
}

// Largest opacity the function reaches anywhere in [lo, hi] (piecewise linear: ends and inner points).
double maxOpacityIn(const TransferFunctionPreset& tf, double lo, double hi)
{
    double m = std::max(sampleTransferFunctionOpacity(tf, lo), sampleTransferFunctionOpacity(tf, hi));
    for (const TransferFunctionPoint& p : tf.points)
        if (p.value > lo && p.value < hi)
            m = std::max(m, sampleTransferFunctionOpacity(tf, p.value));
    return m;
}

constexpr int kBlockShift = 3; // blocks of 8 x 8 x 8 voxels, the last ones along each axis partial
constexpr int kGroupShift = 5; // groups of 4 x 4 x 4 blocks, over which long empty runs are crossed at once

// The smallest and largest value that a read belonging to each block can meet: the block's voxels
// and those up to `margin` voxels around it, and 0 where those reach outside the volume (trilinear
// reads count the outside as 0).
struct BlockRanges
{
    int bx = 0, by = 0, bz = 0;
    std::vector<float> lo, hi;

    BlockRanges(const Volume& v, int margin)
        : bx((v.nx + 7) >> kBlockShift)
        , by((v.ny + 7) >> kBlockShift)
        , bz((v.nz + 7) >> kBlockShift)
        , lo(size_t(bx) * by * bz, std::numeric_limits<float>::max())
        , hi(lo.size(), std::numeric_limits<float>::lowest())
    {
        // The voxels of block b along an axis of n voxels, grown by the margin; whether they reach out.
        const auto span = [margin](int b, int n, int& from, int& to) {
            from = std::max((b << kBlockShift) - margin, 0);
            to = std::min((b << kBlockShift) + 8 + margin, n);
            return margin > 0 && ((b << kBlockShift) - margin < 0 || std::min((b << kBlockShift) + 7, n - 1) + margin > n - 1);
        };
        parallelFor(bz, [&](int b0, int b1) {
            for (int kb = b0; kb < b1; ++kb)
                for (int jb = 0; jb < by; ++jb)
                    for (int ib = 0; ib < bx; ++ib) {
                        int x0, x1, y0, y1, z0, z1;
                        const bool outside = span(ib, v.nx, x0, x1) | span(jb, v.ny, y0, y1) | span(kb, v.nz, z0, z1);
                        float l = outside ? 0.0f : std::numeric_limits<float>::max();
                        float h = outside ? 0.0f : std::numeric_limits<float>::lowest();
                        for (int z = z0; z < z1; ++z)
                            for (int y = y0; y < y1; ++y) {
                                const float* row = v.voxels.data() + v.index(0, y, z);
                                for (int x = x0; x < x1; ++x) {
                                    l = std::min(l, row[x]);
                                    h = std::max(h, row[x]);
                                }
                            }
                        const size_t b = (size_t(kb) * by + size_t(jb)) * bx + size_t(ib);
                        lo[b] = l;
                        hi[b] = h;
                    }
        });
    }

    size_t blockOf(int x, int y, int z) const
    {
        return (size_t(z >> kBlockShift) * by + size_t(y >> kBlockShift)) * bx + size_t(x >> kBlockShift);
    }
};

// The same per group of blocks: the widest range of its blocks.
struct GroupRanges
{
    int gx = 0, gy = 0, gz = 0;
    std::vector<float> lo, hi;

    explicit GroupRanges(const BlockRanges& blocks)
        : gx((blocks.bx + 3) >> (kGroupShift - kBlockShift))
        , gy((blocks.by + 3) >> (kGroupShift - kBlockShift))
        , gz((blocks.bz + 3) >> (kGroupShift - kBlockShift))
        , lo(size_t(gx) * gy * gz, std::numeric_limits<float>::max())
        , hi(lo.size(), std::numeric_limits<float>::lowest())
    {
        constexpr int shift = kGroupShift - kBlockShift;
        for (int k = 0; k < blocks.bz; ++k)
            for (int j = 0; j < blocks.by; ++j)
                for (int i = 0; i < blocks.bx; ++i) {
                    const size_t b = (size_t(k) * blocks.by + size_t(j)) * blocks.bx + size_t(i);
                    const size_t g = (size_t(k >> shift) * gy + size_t(j >> shift)) * gx + size_t(i >> shift);
                    lo[g] = std::min(lo[g], blocks.lo[b]);
                    hi[g] = std::max(hi[g], blocks.hi[b]);
                }
    }

    size_t groupOf(int x, int y, int z) const
    {
        return (size_t(z >> kGroupShift) * gy + size_t(y >> kGroupShift)) * gx + size_t(x >> kGroupShift);
    }
};

// Whether no sample reading values within [l, h] can add anything to a VRT image.
bool invisible(const TransferFunctionPreset& tf, double l, double h)
{
    const double margin = 1e-3 * (std::abs(l) + std::abs(h) + 1.0);
    return maxOpacityIn(tf, l - margin, h + margin) <= 0.003;
}

// Blocks and groups in which no sample can add anything to a VRT image, from the value ranges their
// samples can read: skipping them leaves the image unchanged.
struct EmptyBlocks
{
    std::vector<unsigned char> blocks, groups;

    EmptyBlocks(const BlockRanges& blockRanges, const GroupRanges& groupRanges, const TransferFunctionPreset& tf)
        : blocks(blockRanges.lo.size(), 0)
        , groups(groupRanges.lo.size(), 0)
    {
        parallelFor(blockRanges.bz, [&](int b0, int b1) {
            const size_t perSlab = size_t(blockRanges.bx) * size_t(blockRanges.by);
            for (size_t b = size_t(b0) * perSlab; b < size_t(b1) * perSlab; ++b)
                blocks[b] = invisible(tf, blockRanges.lo[b], blockRanges.hi[b]) ? 1 : 0;
        });
        for (size_t g = 0; g < groups.size(); ++g)
            groups[g] = invisible(tf, groupRanges.lo[g], groupRanges.hi[g]) ? 1 : 0;
    }
};

bool samePoints(const QList<TransferFunctionPoint>& a, const QList<TransferFunctionPoint>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& p, const auto& q) {
        return p.value == q.value && p.color == q.color && p.opacity == q.opacity;
    });
}

// The range of sample indices whose nearest voxel may lie inside the volume (one sample of slack on
// each side; every sample is still tested exactly).
void clipRay(const Vec& origin, const Vec& dir, double t0, double step, int samples, const int dims[3], int& first,
             int& last)
{
    double lo = 0.0, hi = samples - 1;
    const double o[3] = {origin.x, origin.y, origin.z};
    const double d[3] = {dir.x, dir.y, dir.z};
    for (int a = 0; a < 3; ++a) {
        // Inside along this axis: -0.5 < o + (t0 + i * step) * d < n - 0.5.
        const double rate = d[a] * step;
        const double start = o[a] + t0 * d[a];
        if (std::abs(rate) < 1e-12) {
            if (!(start > -0.5 && start < dims[a] - 0.5)) {
                first = 1;
                last = 0;
                return;
            }
            continue;
        }
        double i0 = (-0.5 - start) / rate, i1 = (dims[a] - 0.5 - start) / rate;
        if (i0 > i1)
            std::swap(i0, i1);
        lo = std::max(lo, std::floor(i0) - 1.0);
        hi = std::min(hi, std::ceil(i1) + 1.0);
    }
    if (lo > hi) {
        first = 1;
        last = 0;
        return;
    }
    first = int(lo);
    last = int(hi);
}

} // namespace

struct VolumeRenderCache::Data
{
    // The volume the ranges belong to.
    const float* voxels = nullptr;
    size_t count = 0;
    int nx = 0, ny = 0, nz = 0;
    // A nearest-voxel sample reads only its own voxel; a full-quality one reads up to 2 voxels around.
    static constexpr int kFullQualityReach = 2;
    struct Ranges
    {
        BlockRanges blocks;
        GroupRanges groups;
        Ranges(const Volume& v, int margin)
            : blocks(v, margin)
            , groups(blocks)
        {
        }
    };
    std::unique_ptr<Ranges> own, reach;
    struct EmptyMap
    {
        QList<TransferFunctionPoint> points; // of the transfer function it was made for
        std::unique_ptr<EmptyBlocks> empty;
    } quickEmpty, fullEmpty;

    void forVolume(const Volume& v)
    {
        if (voxels == v.voxels.data() && count == v.voxels.size() && nx == v.nx && ny == v.ny && nz == v.nz)
            return;
        *this = Data();
        voxels = v.voxels.data();
        count = v.voxels.size();
        nx = v.nx;
        ny = v.ny;
        nz = v.nz;
    }

    const Ranges& ranges(const Volume& v, bool fullQuality)
    {
        forVolume(v);
        std::unique_ptr<Ranges>& r = fullQuality ? reach : own;
        if (!r)
            r = std::make_unique<Ranges>(v, fullQuality ? kFullQualityReach : 0);
        return *r;
    }

    const EmptyBlocks& emptyOf(const Volume& v, const TransferFunctionPreset& tf, bool fullQuality)
    {
        const Ranges& r = ranges(v, fullQuality);
        EmptyMap& map = fullQuality ? fullEmpty : quickEmpty;
        if (!map.empty || !samePoints(map.points, tf.points)) {
            map.empty = std::make_unique<EmptyBlocks>(r.blocks, r.groups, tf);
            map.points = tf.points;
        }
        return *map.empty;
    }
};

VolumeRenderCache::VolumeRenderCache() = default;
VolumeRenderCache::~VolumeRenderCache() = default;

void VolumeRenderCache::clear()
{
    m_data.reset();
}

VolumeRenderCache::Data& VolumeRenderCache::data()
{
    if (!m_data)
        m_data = std::make_unique<Data>();
    return *m_data;
}

QImage renderVolumeCpu(const Volume& volume, const VolumeRenderParams& params)
{
    return renderVolumeCpu(volume, params, nullptr);
}

int raySampleCount(const Volume& volume, int sampleCount, bool fullQuality)
{
    int n = std::max(sampleCount, 16);
    if (fullQuality) {
        const Vec extent{volume.nx * volume.spacingX, volume.ny * volume.spacingY, volume.nz * volume.spacingZ};
        const double smallest = std::min({volume.spacingX, volume.spacingY, volume.spacingZ});
        const double wanted = std::ceil(2.4 * (extent.length() / 2.0) / std::max(0.7 * smallest, 0.2));
        n = std::max(n, int(std::min(wanted, 450.0)));
    }
    return n;
}

QImage renderVolumeCpu(const Volume& volume, const VolumeRenderParams& params, VolumeRenderCache* cache)
{
    const int S = std::max(32, int(params.imageSize));
    QImage image(S, S, QImage::Format_RGB888);
    image.fill(Qt::black);
    if (volume.isEmpty() || volume.voxels.size() < size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz))
        return image;
    const Vec spacing{volume.spacingX, volume.spacingY, volume.spacingZ};
    const Vec extent{volume.nx * spacing.x, volume.ny * spacing.y, volume.nz * spacing.z};
    const double R = extent.length() / 2.0;
    if (!(R > 0.0))
        return image;

    const int N = raySampleCount(volume, params.sampleCount, params.fullQuality);

    const Vec d = fromQt(params.rotation.rotatedVector(QVector3D(0, 0, 1))).normalised();
    const Vec u0 = fromQt(params.rotation.rotatedVector(QVector3D(0, -1, 0)));
    const Vec right = d.cross(u0).normalised();
    const Vec up = right.cross(d).normalised();
    const Vec centre = extent * 0.5 + right * params.panX + up * params.panY;
    const double W = std::max(params.zoom, 0.1) * R;
    const double t0 = -1.2 * R;
    const double step = 2.4 * R / (N - 1);
    const Vec L = d * -1.0;

    // Everything below works in voxel coordinates.
    auto toVoxel = [&](const Vec& p) { return Vec{p.x / spacing.x, p.y / spacing.y, p.z / spacing.z}; };
    const Vec dv = toVoxel(d);
    const int dims[3] = {volume.nx, volume.ny, volume.nz};
    const double dvAxis[3] = {dv.x, dv.y, dv.z};

    const double low = params.window.center - params.window.width / 2.0;
    const double windowWidth = params.window.width;
    // (v - low) * 255 / width rather than * (255 / width): the upper bound maps to exactly 255.
    auto gray = [&](double v) { return windowWidth > 0.0 ? (v - low) * 255.0 / windowWidth : v - low; };
    auto toByte = [](double g) -> uchar {
        if (!(g > 0.0))
            return 0;
        if (g > 255.0)
            return 255;
        return uchar(g);
    };

    const bool vrt = params.renderMode == 1;
    // A preview standing in for a finer full-quality image: each of its samples covers the steps of
    // several of that image's, so its opacity is what those steps would add up to, 1 - (1 - a)^k.
    const bool preview = vrt && !params.fullQuality && params.fullImageSamples > 1;
    const double opacityExponent = preview ? double(params.fullImageSamples - 1) / double(N - 1) : 1.0;
    const bool shaded = params.fullQuality || preview;
    const CompiledTransferFunction tf(params.transferFunction);
    const bool noPoints = params.transferFunction.points.isEmpty(); // opacity 0 everywhere: black
    // Blocks a ray may pass over without reading them: in VRT those the transfer function leaves
    // empty; in the maximum (minimum) projection those whose largest (smallest) voxel cannot raise
    // (lower) what the ray has already met.
    const bool skipByMaximum = !vrt && params.projectionMode == MaximumProjection;
    const bool skipByMinimum = !vrt && params.projectionMode == MinimumProjection;
    VolumeRenderCache ownCache;
    VolumeRenderCache::Data& shared = (cache ? cache : &ownCache)->data();
    const bool vrtBlocks = vrt && !noPoints;
    const EmptyBlocks* empty = vrtBlocks ? &shared.emptyOf(volume, params.transferFunction, params.fullQuality) : nullptr;
    const VolumeRenderCache::Data::Ranges* ranges =
        vrtBlocks || skipByMaximum || skipByMinimum ? &shared.ranges(volume, vrtBlocks && params.fullQuality) : nullptr;

    // Gradient steps along the voxel axes.
    const double hx = std::clamp(1.0 / std::max(spacing.x, 0.001), 0.5, 3.5);
    const double hy = std::clamp(1.0 / std::max(spacing.y, 0.001), 0.5, 3.5);
    const double hz = std::clamp(1.0 / std::max(spacing.z, 0.001), 0.5, 3.5);
    const Vec smoothRight = right * 0.6, smoothUp = up * 0.6;
    const Vec H = (L - d).normalised();
    const float* voxels = volume.voxels.data();
    const size_t strideY = size_t(volume.nx), strideZ = size_t(volume.nx) * size_t(volume.ny);

    // Shaded images read around each sample: three smoothing points and six gradient points. Where
    // all of them lie at least a voxel inside the volume they need no test and no clamp.
    const double gradientStep[3] = {hx, hy, hz};
    const double smoothR[3] = {smoothRight.x, smoothRight.y, smoothRight.z};
    const double smoothU[3] = {smoothUp.x, smoothUp.y, smoothUp.z};
    double readLow[3], readHigh[3];
    for (int a = 0; a < 3; ++a) {
        readLow[a] = std::min({0.0, smoothR[a], smoothU[a], -gradientStep[a]});
        readHigh[a] = std::max({0.0, smoothR[a], smoothU[a], gradientStep[a]});
    }

    struct Ray
    {
        Vec origin;
        double start[3] = {0, 0, 0}; // the voxel coordinates of sample 0
        int first = 0;      // samples [first, last] have their nearest voxel inside the volume
        int last = -1;
        int fastFirst = 0;  // shaded images: samples whose reads all lie well inside
        int fastLast = -1;
        bool done = false;
        double mx = std::numeric_limits<double>::lowest(), mn = std::numeric_limits<double>::max(), sum = 0;
        int count = 0;
        double r = 0, g = 0, b = 0, a = 0;
    };
    const auto sampleAt = [&](const Ray& ray, int i) { return ray.origin + dv * (t0 + i * step); };
    const auto inside = [&](const Vec& p) {
        return nearestInside(p.x, volume.nx) >= 0 && nearestInside(p.y, volume.ny) >= 0
               && nearestInside(p.z, volume.nz) >= 0;
    };
    // The samples of a ray for which `p_a + lowOffset >= 0` and `p_a + highOffset <= n - 1` hold on every
    // axis with a margin for rounding, less one sample at each end.
    const auto safeRange = [&](const Ray& ray, const double lowOffset[3], const double highOffset[3], int& from,
                               int& to) {
        const double o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
        double lo = ray.first, hi = ray.last;
        for (int a = 0; a < 3; ++a) {
            const double rate = dvAxis[a] * step, start = o[a] + dvAxis[a] * t0;
            const double minimum = 1e-6 - lowOffset[a], maximum = dims[a] - 1 - 1e-6 - highOffset[a];
            if (rate == 0.0) {
                if (!(start >= minimum && start <= maximum))
                    hi = lo - 1;
                continue;
            }
            double i0 = (minimum - start) / rate, i1 = (maximum - start) / rate;
            if (i0 > i1)
                std::swap(i0, i1);
            lo = std::max(lo, std::ceil(i0) + 1.0);
            hi = std::min(hi, std::floor(i1) - 1.0);
        }
        from = lo <= hi ? int(lo) : 1;
        to = lo <= hi ? int(hi) : 0;
    };
    // Per axis: voxels moved per sample, and its inverse (0 where the rays do not move along the axis).
    double rate[3], inverseRate[3];
    for (int a = 0; a < 3; ++a) {
        rate[a] = dvAxis[a] * step;
        inverseRate[a] = rate[a] != 0.0 ? 1.0 / rate[a] : 0.0;
    }
    // The last sample after i that surely still has its nearest voxel in the block (or group, by the
    // shift) of `voxel`, one sample short of the exact boundary for rounding; i itself when there is none.
    const auto lastInBlock = [&](const Ray& ray, int i, const int voxel[3], int shift) {
        double limit = ray.last;
        for (int a = 0; a < 3; ++a) {
            if (rate[a] == 0.0)
                continue;
            // The boundary moved a millionth of a voxel inwards, so that the rounding of the sample
            // positions never matters, however slowly the ray crosses this axis.
            const int block = voxel[a] >> shift;
            const double boundary = rate[a] > 0 ? ((block + 1) << shift) - 0.5 - 1e-6 : (block << shift) - 0.5 + 1e-6;
            limit = std::min(limit, std::ceil((boundary - ray.start[a]) * inverseRate[a]) - 2.0);
        }
        return limit > i ? int(limit) : i;
    };

    // One sample of a ray; gives the next sample to take, beyond the block of this one when nothing
    // in that block can change the picture.
    const auto march = [&](Ray& ray, int i) -> int {
        const Vec p = ray.origin + dv * (t0 + i * step);
        const int voxel[3] = {int(p.x + 0.5), int(p.y + 0.5), int(p.z + 0.5)};
        const size_t index = size_t(voxel[2]) * strideZ + size_t(voxel[1]) * strideY + size_t(voxel[0]);
        if (ranges) {
            // A whole group of blocks first, then the block.
            const size_t group = ranges->groups.groupOf(voxel[0], voxel[1], voxel[2]);
            if (empty           ? empty->groups[group] != 0
                : skipByMaximum ? double(ranges->groups.hi[group]) <= ray.mx
                                : double(ranges->groups.lo[group]) >= ray.mn)
                return lastInBlock(ray, i, voxel, kGroupShift) + 1;
            const size_t block = ranges->blocks.blockOf(voxel[0], voxel[1], voxel[2]);
            if (empty           ? empty->blocks[block] != 0
                : skipByMaximum ? double(ranges->blocks.hi[block]) <= ray.mx
                                : double(ranges->blocks.lo[block]) >= ray.mn)
                return lastInBlock(ray, i, voxel, kBlockShift) + 1;
        }
        if (!vrt) {
            const double v = voxels[index];
            ray.mx = std::max(ray.mx, v);
            ray.mn = std::min(ray.mn, v);
            ray.sum += v;
            ++ray.count;
            return i + 1;
        }
        double s;
        const bool fast = i >= ray.fastFirst && i <= ray.fastLast;
        if (!params.fullQuality) {
            s = voxels[index];
        } else {
            const Vec pr = p + smoothRight, pu = p + smoothUp;
            if (fast) {
                s = (2.0 * float(trilinearInside(voxels, strideY, strideZ, p.x, p.y, p.z))
                     + float(trilinearInside(voxels, strideY, strideZ, pr.x, pr.y, pr.z))
                     + float(trilinearInside(voxels, strideY, strideZ, pu.x, pu.y, pu.z)))
                    / 4.0;
            } else {
                s = (2.0 * trilinear(volume, p.x, p.y, p.z) + trilinear(volume, pr.x, pr.y, pr.z)
                     + trilinear(volume, pu.x, pu.y, pu.z))
                    / 4.0;
            }
        }
        int seg = 0;
        double t = 0.0;
        tf.locate(s, seg, t);
        double alpha = tf.alphaAt(seg, t);
        if (alpha <= 0.003)
            return i + 1;
        if (preview)
            alpha = 1.0 - std::pow(1.0 - alpha, opacityExponent);
        float c[3];
        tf.colourAt(seg, t, c);
        double cr = c[0], cg = c[1], cb = c[2];
        if (shaded) {
            const auto read = [&](double x, double y, double z) {
                return fast ? trilinearInside(voxels, strideY, strideZ, x, y, z) : sampleClamped(volume, x, y, z);
            };
            const Vec g{read(p.x + hx, p.y, p.z) - read(p.x - hx, p.y, p.z),
                        read(p.x, p.y + hy, p.z) - read(p.x, p.y - hy, p.z),
                        read(p.x, p.y, p.z + hz) - read(p.x, p.y, p.z - hz)};
            const double g2 = g.dot(g);
            if (g2 > 1e-6) {
                const Vec n = g * (-1.0 / std::sqrt(g2));
                const double diffuse = std::max(n.dot(L), 0.0);
                const double light = std::min(0.35 + 0.65 * diffuse, 1.15);
                const double specular = 0.18 * std::pow(std::max(n.dot(H), 0.0), 24.0);
                cr = cr * light + specular;
                cg = cg * light + 0.95 * specular;
                cb = cb * light + 0.85 * specular;
            }
        }
        const double w = (1.0 - ray.a) * alpha;
        ray.r += w * cr;
        ray.g += w * cg;
        ray.b += w * cb;
        ray.a += w;
        if (ray.a > 0.98)
            ray.done = true; // early ray termination
        return i + 1;
    };

    // Rays are taken a 16 x 16 tile at a time: neighbouring rays read neighbouring voxels, which are
    // then still in the cache.
    constexpr int kTile = 16;
    parallelFor(S, [&](int y0, int y1) {
        for (int ty = y0; ty < y1; ty += kTile) {
            for (int tx = 0; tx < S; tx += kTile) {
                for (int py = ty; py < std::min(ty + kTile, y1); ++py) {
                    for (int px = tx; px < std::min(tx + kTile, S); ++px) {
                        Ray ray;
                        const double a = (2.0 * ((px + 0.5) / S - 0.5)) * W;
                        const double b = -(2.0 * ((py + 0.5) / S - 0.5)) * W;
                        ray.origin = toVoxel(centre + right * a + up * b);
                        ray.start[0] = ray.origin.x + dv.x * t0;
                        ray.start[1] = ray.origin.y + dv.y * t0;
                        ray.start[2] = ray.origin.z + dv.z * t0;
                        if (!(vrt && noPoints)) {
                            clipRay(ray.origin, dv, t0, step, N, dims, ray.first, ray.last);
                            // Along a ray each coordinate moves one way only, so the samples inside
                            // form one run: its exact ends are found here and no sample is tested again.
                            while (ray.first <= ray.last && !inside(sampleAt(ray, ray.first)))
                                ++ray.first;
                            while (ray.last >= ray.first && !inside(sampleAt(ray, ray.last)))
                                --ray.last;
                            if (vrt && shaded)
                                safeRange(ray, readLow, readHigh, ray.fastFirst, ray.fastLast);
                            for (int i = ray.first; i <= ray.last && !ray.done;)
                                i = march(ray, i);
                        }
                        uchar* out = image.scanLine(py) + 3 * px;
                        if (!vrt) {
                            double v = low;
                            if (ray.count > 0) {
                                if (params.projectionMode == MaximumProjection)
                                    v = ray.mx;
                                else if (params.projectionMode == MinimumProjection)
                                    v = ray.mn;
                                else if (params.projectionMode == MeanProjection)
                                    v = ray.sum / ray.count;
                            }
                            out[0] = out[1] = out[2] = toByte(gray(v));
                        } else {
                            out[0] = toByte(ray.r * 255.0);
                            out[1] = toByte(ray.g * 255.0);
                            out[2] = toByte(ray.b * 255.0);
                        }
                    }
                }
            }
        }
    });
    return image;
}

} // namespace render
