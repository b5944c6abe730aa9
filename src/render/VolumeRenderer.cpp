#include "VolumeRenderer.h"

#include "MprSlices.h"
#include "ParallelFor.h"

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

// sampleTrilinear with the same arithmetic, reading the eight neighbours directly when all lie inside.
inline float trilinear(const Volume& v, double x, double y, double z)
{
    if (!(x >= 0.0 && y >= 0.0 && z >= 0.0 && x < v.nx - 1 && y < v.ny - 1 && z < v.nz - 1))
        return sampleTrilinear(v, x, y, z);
    const int x0 = int(x), y0 = int(y), z0 = int(z);
    const double fx = x - x0, fy = y - y0, fz = z - z0;
    const size_t sy = size_t(v.nx), sz = size_t(v.nx) * size_t(v.ny);
    const float* p = v.voxels.data() + size_t(z0) * sz + size_t(y0) * sy + size_t(x0);
    const double c00 = double(p[0]) * (1 - fx) + double(p[1]) * fx;
    const double c10 = double(p[sy]) * (1 - fx) + double(p[sy + 1]) * fx;
    const double c01 = double(p[sz]) * (1 - fx) + double(p[sz + 1]) * fx;
    const double c11 = double(p[sz + sy]) * (1 - fx) + double(p[sz + sy + 1]) * fx;
    const double c0 = c00 * (1 - fy) + c10 * fy;
    const double c1 = c01 * (1 - fy) + c11 * fy;
    return float(c0 * (1 - fz) + c1 * fz);
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

// Blocks of the volume in which no sample can add anything to a VRT image: skipping them leaves the
// image unchanged. The value range of each block is widened by the reads a sample may make around it
// (trilinear neighbours and the smoothing offsets), and by 0 where those reads leave the volume.
class EmptySpaceMap
{
public:
    static constexpr int kShift = 3; // blocks of 8 voxels

    EmptySpaceMap(const Volume& v, const TransferFunctionPreset& tf)
    {
        bx = (v.nx + 7) >> kShift;
        by = (v.ny + 7) >> kShift;
        bz = (v.nz + 7) >> kShift;
        std::vector<float> lo(size_t(bx) * by * bz, std::numeric_limits<float>::max());
        std::vector<float> hi(lo.size(), std::numeric_limits<float>::lowest());
        // Per block: range of its own voxels first, then widened by the neighbouring blocks' ranges
        // (a margin of 2 voxels never reaches beyond the next block).
        parallelFor(bz, [&](int b0, int b1) {
            for (int kb = b0; kb < b1; ++kb)
                for (int z = kb << kShift; z < std::min((kb + 1) << kShift, v.nz); ++z)
                    for (int y = 0; y < v.ny; ++y) {
                        const float* row = v.voxels.data() + v.index(0, y, z);
                        const size_t rowBlock = (size_t(kb) * by + size_t(y >> kShift)) * bx;
                        for (int xb = 0; xb < bx; ++xb) {
                            const int x0 = xb << kShift, x1 = std::min(x0 + 8, v.nx);
                            float l = lo[rowBlock + xb], h = hi[rowBlock + xb];
                            for (int x = x0; x < x1; ++x) {
                                l = std::min(l, row[x]);
                                h = std::max(h, row[x]);
                            }
                            lo[rowBlock + xb] = l;
                            hi[rowBlock + xb] = h;
                        }
                    }
        });
        empty.assign(lo.size(), 0);
        parallelFor(bz, [&](int b0, int b1) {
            for (int kb = b0; kb < b1; ++kb)
                for (int jb = 0; jb < by; ++jb)
                    for (int ib = 0; ib < bx; ++ib) {
                        double l = std::numeric_limits<double>::max(), h = std::numeric_limits<double>::lowest();
                        bool touchesOutside = false;
                        for (int dk = -1; dk <= 1; ++dk)
                            for (int dj = -1; dj <= 1; ++dj)
                                for (int di = -1; di <= 1; ++di) {
                                    const int k = kb + dk, j = jb + dj, i = ib + di;
                                    if (k < 0 || j < 0 || i < 0 || k >= bz || j >= by || i >= bx) {
                                        touchesOutside = true;
                                        continue;
                                    }
                                    const size_t b = (size_t(k) * by + size_t(j)) * bx + size_t(i);
                                    l = std::min(l, double(lo[b]));
                                    h = std::max(h, double(hi[b]));
                                }
                        // The last, partial blocks also reach outside the volume.
                        if (((ib + 1) << kShift) + 2 > v.nx || ((jb + 1) << kShift) + 2 > v.ny
                            || ((kb + 1) << kShift) + 2 > v.nz)
                            touchesOutside = true;
                        if (touchesOutside) {
                            l = std::min(l, 0.0);
                            h = std::max(h, 0.0);
                        }
                        const double margin = 1e-3 * (std::abs(l) + std::abs(h) + 1.0);
                        if (maxOpacityIn(tf, l - margin, h + margin) <= 0.003)
                            empty[(size_t(kb) * by + size_t(jb)) * bx + size_t(ib)] = 1;
                    }
        });
    }

    bool isEmpty(int x, int y, int z) const
    {
        return empty[(size_t(z >> kShift) * by + size_t(y >> kShift)) * bx + size_t(x >> kShift)] != 0;
    }

private:
    int bx = 0, by = 0, bz = 0;
    std::vector<unsigned char> empty;
};

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

QImage renderVolumeCpu(const Volume& volume, const VolumeRenderParams& params)
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

    int N = std::max(int(params.sampleCount), 16);
    if (params.fullQuality) {
        const double smallest = std::min({spacing.x, spacing.y, spacing.z});
        const double wanted = std::ceil(2.4 * R / std::max(0.7 * smallest, 0.2));
        N = std::max(N, int(std::min(wanted, 450.0)));
    }

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
    const CompiledTransferFunction tf(params.transferFunction);
    const bool noPoints = params.transferFunction.points.isEmpty(); // opacity 0 everywhere: black
    std::unique_ptr<EmptySpaceMap> emptySpace;
    if (vrt && !noPoints)
        emptySpace = std::make_unique<EmptySpaceMap>(volume, params.transferFunction);

    // Gradient steps along the voxel axes.
    const double hx = std::clamp(1.0 / std::max(spacing.x, 0.001), 0.5, 3.5);
    const double hy = std::clamp(1.0 / std::max(spacing.y, 0.001), 0.5, 3.5);
    const double hz = std::clamp(1.0 / std::max(spacing.z, 0.001), 0.5, 3.5);
    const Vec smoothRight = right * 0.6, smoothUp = up * 0.6;
    const Vec H = (L - d).normalised();
    const float* voxels = volume.voxels.data();
    const size_t strideY = size_t(volume.nx), strideZ = size_t(volume.nx) * size_t(volume.ny);

    // Rays are marched a tile at a time, all rays of the tile one sample step after another: rays that
    // lie side by side then read neighbouring voxels together, which keeps the reads in cache.
    constexpr int kTile = 16;
    struct Ray
    {
        Vec origin;
        int first = 0;
        int last = -1;
        bool done = false;
        double mx = 0, mn = 0, sum = 0;
        int count = 0;
        double r = 0, g = 0, b = 0, a = 0;
    };

    parallelFor(S, [&](int y0, int y1) {
        std::vector<Ray> rays(size_t(kTile) * kTile);
        for (int ty = y0; ty < y1; ty += kTile) {
            const int th = std::min(kTile, y1 - ty);
            for (int tx = 0; tx < S; tx += kTile) {
                const int tw = std::min(kTile, S - tx);
                const int count = tw * th;
                int tileFirst = std::numeric_limits<int>::max(), tileLast = -1;
                for (int k = 0; k < count; ++k) {
                    Ray& ray = rays[size_t(k)];
                    ray = Ray();
                    const int px = tx + k % tw, py = ty + k / tw;
                    const double a = (2.0 * ((px + 0.5) / S - 0.5)) * W;
                    const double b = -(2.0 * ((py + 0.5) / S - 0.5)) * W;
                    ray.origin = toVoxel(centre + right * a + up * b);
                    ray.mx = std::numeric_limits<double>::lowest();
                    ray.mn = std::numeric_limits<double>::max();
                    clipRay(ray.origin, dv, t0, step, N, dims, ray.first, ray.last);
                    if (ray.first <= ray.last && !(vrt && noPoints)) {
                        tileFirst = std::min(tileFirst, ray.first);
                        tileLast = std::max(tileLast, ray.last);
                    }
                }
                for (int i = tileFirst; i <= tileLast; ++i) {
                    const Vec offset = dv * (t0 + i * step);
                    bool anyActive = false;
                    for (int k = 0; k < count; ++k) {
                        Ray& ray = rays[size_t(k)];
                        if (ray.done || i > ray.last)
                            continue;
                        anyActive = true; // still to march, now or later
                        if (i < ray.first)
                            continue;
                        const Vec p = ray.origin + offset;
                        const int ix = nearestInside(p.x, volume.nx), iy = nearestInside(p.y, volume.ny),
                                  iz = nearestInside(p.z, volume.nz);
                        if (ix < 0 || iy < 0 || iz < 0)
                            continue;
                        if (!vrt) {
                            const double v = voxels[size_t(iz) * strideZ + size_t(iy) * strideY + size_t(ix)];
                            ray.mx = std::max(ray.mx, v);
                            ray.mn = std::min(ray.mn, v);
                            ray.sum += v;
                            ++ray.count;
                            continue;
                        }
                        if (emptySpace->isEmpty(ix, iy, iz))
                            continue;
                        double s;
                        if (!params.fullQuality) {
                            s = voxels[size_t(iz) * strideZ + size_t(iy) * strideY + size_t(ix)];
                        } else {
                            const Vec pr = p + smoothRight, pu = p + smoothUp;
                            s = (2.0 * trilinear(volume, p.x, p.y, p.z) + trilinear(volume, pr.x, pr.y, pr.z)
                                 + trilinear(volume, pu.x, pu.y, pu.z))
                                / 4.0;
                        }
                        int seg = 0;
                        double t = 0.0;
                        tf.locate(s, seg, t);
                        const double alpha = tf.alphaAt(seg, t);
                        if (alpha <= 0.003)
                            continue;
                        float c[3];
                        tf.colourAt(seg, t, c);
                        double cr = c[0], cg = c[1], cb = c[2];
                        if (params.fullQuality) {
                            const Vec g{sampleClamped(volume, p.x + hx, p.y, p.z) - sampleClamped(volume, p.x - hx, p.y, p.z),
                                        sampleClamped(volume, p.x, p.y + hy, p.z) - sampleClamped(volume, p.x, p.y - hy, p.z),
                                        sampleClamped(volume, p.x, p.y, p.z + hz) - sampleClamped(volume, p.x, p.y, p.z - hz)};
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
                    }
                    if (!anyActive)
                        break; // every ray of the tile is finished or past its end
                }
                for (int k = 0; k < count; ++k) {
                    const Ray& ray = rays[size_t(k)];
                    uchar* out = image.scanLine(ty + k / tw) + 3 * (tx + k % tw);
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
    });
    return image;
}

} // namespace render
