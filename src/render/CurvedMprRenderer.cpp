#include "render/CurvedMprRenderer.h"

#include <QSemaphore>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

namespace render {

namespace {

constexpr int kSpanSamples = 40;
// Requests beyond these sizes (a step of micrometres along a long curve, a width of metres) are
// refused instead of exhausting memory: no screen shows such an image.
constexpr double kMaxCurveSamples = 4.0e6;
constexpr qint64 kMaxPixels = qint64(64) << 20;

Vec3d reflect(const Vec3d& x, const Vec3d& axis, double axisDot)
{
    return x - (2.0 / axisDot) * dot(axis, x) * axis;
}

// Dense cardinal spline through the control points; ends exactly on the last point.
std::vector<Vec3d> densePolyline(const CurvePoints& c, double smoothing)
{
    const int n = int(c.size());
    const double s = (1.0 - smoothing) * 0.5;
    std::vector<Vec3d> out;
    out.reserve(size_t(kSpanSamples) * size_t(n - 1) + 1);
    for (int i = 0; i + 1 < n; ++i) {
        const Vec3d p0 = c[std::max(i - 1, 0)];
        const Vec3d p1 = c[i];
        const Vec3d p2 = c[i + 1];
        const Vec3d p3 = c[std::min(i + 2, n - 1)];
        const Vec3d m1 = s * (p2 - p0);
        const Vec3d m2 = s * (p3 - p1);
        const int last = (i == n - 2) ? kSpanSamples : kSpanSamples - 1;
        for (int k = 0; k <= last; ++k) {
            const double u = double(k) / kSpanSamples;
            const double u2 = u * u, u3 = u2 * u;
            const double h00 = 2 * u3 - 3 * u2 + 1;
            const double h10 = u3 - 2 * u2 + u;
            const double h01 = -2 * u3 + 3 * u2;
            const double h11 = u3 - u2;
            out.push_back(h00 * p1 + h10 * m1 + h01 * p2 + h11 * m2);
        }
    }
    return out;
}

// Maps rowKernel over [0, rows) on the global thread pool. Helpers are only taken when a pool thread
// is free at once, and the calling thread takes rows itself, so the call finishes even from a pool
// task while every other pool thread is busy (a queued map would wait for them).
template<typename RowKernel>
void mapRowsOnGlobalPool(int rows, const RowKernel& rowKernel)
{
    std::atomic<int> next{0};
    auto work = [&]() {
        for (int r = next.fetch_add(1); r < rows; r = next.fetch_add(1))
            rowKernel(r);
    };
    QThreadPool* pool = QThreadPool::globalInstance();
    QSemaphore done;
    int helpers = 0;
    const int wanted = std::min(pool->maxThreadCount(), rows) - 1;
    for (int t = 0; t < wanted; ++t) {
        if (!pool->tryStart([&work, &done]() {
                work();
                done.release();
            }))
            break;
        ++helpers;
    }
    work();
    done.acquire(helpers);
}

} // namespace

CurveFrames computeCurveFrames(const CurvePoints& curve, double stepMm, double rotationDeg, double offsetMm,
                               double smoothing)
{
    CurveFrames frames;
    if (curve.size() < 2 || !(stepMm > 0.0))
        return frames;
    const std::vector<Vec3d> poly = densePolyline(curve, smoothing);
    std::vector<double> cum(poly.size(), 0.0);
    for (size_t a = 1; a < poly.size(); ++a)
        cum[a] = cum[a - 1] + length(poly[a] - poly[a - 1]);
    const double total = cum.back();
    if (!std::isfinite(total) || total < stepMm || total / stepMm + 1.0 > kMaxCurveSamples)
        return frames;
    const int count = std::max(2, int(std::trunc(total / stepMm)) + 1);

    const size_t sampleCount = static_cast<size_t>(count);
    std::vector<Vec3d> points(sampleCount), tangents(sampleCount), normals(sampleCount);
    size_t a = 0;
    for (int j = 0; j < count; ++j) {
        const double sj = std::min(j * stepMm, total);
        while (a + 2 < poly.size() && cum[a + 1] < sj)
            ++a;
        const double g = cum[a + 1] - cum[a];
        const double f = g > 1e-9 ? (sj - cum[a]) / g : 0.0;
        points[size_t(j)] = poly[a] + f * (poly[a + 1] - poly[a]);
        tangents[size_t(j)] = normalizedOrZero(poly[a + 1] - poly[a]);
    }

    const Vec3d reference = std::abs(tangents[0][2]) > 0.95 ? Vec3d{0.0, 1.0, 0.0} : Vec3d{0.0, 0.0, 1.0};
    normals[0] = normalizedOrZero(cross(tangents[0], reference));
    for (size_t i = 1; i < size_t(count); ++i) {
        // Double reflection: a rotation-minimising frame, so the image does not twist along the curve.
        Vec3d r = normals[i - 1];
        Vec3d t = tangents[i - 1];
        const Vec3d e = points[i] - points[i - 1];
        const double c1 = dot(e, e);
        if (c1 > 1e-12) {
            r = reflect(r, e, c1);
            t = reflect(t, e, c1);
        }
        const Vec3d f = tangents[i] - t;
        const double c2 = dot(f, f);
        if (c2 > 1e-12)
            r = reflect(r, f, c2);
        normals[i] = normalizedOrZero(r);
    }

    const double theta = rotationDeg * M_PI / 180.0;
    if (std::abs(theta) > 1e-9) {
        const double c = std::cos(theta), s = std::sin(theta);
        for (size_t i = 0; i < size_t(count); ++i)
            normals[i] = normalizedOrZero(c * normals[i] + s * cross(tangents[i], normals[i]));
    }

    frames.points.reserve(count);
    frames.tangents.reserve(count);
    frames.normals.reserve(count);
    frames.binormals.reserve(count);
    const bool shift = std::abs(offsetMm) > 1e-9;
    for (size_t i = 0; i < size_t(count); ++i) {
        Vec3d p = points[i];
        if (shift)
            p[1] += offsetMm;
        frames.points.append(p);
        frames.tangents.append(tangents[i]);
        frames.normals.append(normals[i]);
        frames.binormals.append(normalizedOrZero(cross(tangents[i], normals[i])));
    }
    frames.lengthMm = total;
    return frames;
}

CurvedMprResult CurvedMprRenderer::render(const FusionVolume& volume, const CurvePoints& curve, double widthMm,
                                          double stepMm, double windowCenter, double windowWidth,
                                          double rotationDeg, double offsetMm, double thicknessMm,
                                          CurvedMprSlabMode slabMode, double smoothing, bool vertical)
{
    CurvedMprResult result;
    if (volume.isEmpty() || volume.voxels.size() != size_t(volume.nx) * size_t(volume.ny) * size_t(volume.nz)
        || curve.size() < 2 || !(stepMm > 0.0) || !(widthMm > 0.0))
        return result;
    const CurveFrames frames = computeCurveFrames(curve, stepMm, rotationDeg, offsetMm, smoothing);
    if (frames.points.isEmpty())
        return result;
    const int w = int(frames.points.size());

    const double m = std::min(volume.spacing[0], volume.spacing[1]);
    const bool slab = thicknessMm > 1e-6 && slabMode != CurvedMprSlabNone;
    int k = 1;
    if (slab) {
        const double wanted = std::ceil(thicknessMm / std::max(m, 0.2)) + 1.0;
        k = int(std::clamp(std::isfinite(wanted) ? wanted : 64.0, 3.0, 64.0));
    }
    const double rows = std::max(2.0, std::trunc(widthMm / std::max(m, 0.1)));
    if (!std::isfinite(rows) || rows * double(w) > double(kMaxPixels))
        return result;
    const int h = int(rows);

    const double lower = windowCenter - windowWidth / 2.0;
    const double range = std::max((windowCenter + windowWidth / 2.0) - lower, 1e-6);

    QImage image(w, h, QImage::Format_Grayscale8);
    if (image.isNull())
        return result;
    image.fill(0);
    QList<float> samples;
    try {
        samples.resize(qsizetype(w) * h, 0.0f);
    } catch (const std::bad_alloc&) {
        return result;
    }
    float* sampleData = samples.data(); // detached once here; rows only write through this pointer
    uchar* imageBits = image.bits();
    const qsizetype stride = image.bytesPerLine();

    // Plain arrays of the frames so that the row kernel does no container look-ups.
    std::vector<Vec3d> pts(frames.points.cbegin(), frames.points.cend());
    std::vector<Vec3d> nrm(frames.normals.cbegin(), frames.normals.cend());
    std::vector<Vec3d> bin(frames.binormals.cbegin(), frames.binormals.cend());

    // worldToVoxel is affine, so each column's point, normal and binormal are mapped into voxel
    // coordinates once and every pixel and slab sample is a few multiply-adds from them.
    const bool mappable = volume.spacing[0] > 0.0 && volume.spacing[1] > 0.0 && volume.spacing[2] > 0.0;
    auto toVoxelDirection = [&volume](const Vec3d& d) {
        return Vec3d{dot(d, volume.rowDir) / volume.spacing[0], dot(d, volume.colDir) / volume.spacing[1],
                     dot(d, volume.sliceDir) / volume.spacing[2]};
    };
    const size_t columns = static_cast<size_t>(w);
    std::vector<Vec3d> voxelPoint(columns), voxelNormal(columns), voxelBinormal(columns);
    if (mappable)
        for (size_t c = 0; c < size_t(w); ++c) {
            voxelPoint[c] = toVoxelDirection(pts[c] - volume.origin);
            voxelNormal[c] = toVoxelDirection(nrm[c]);
            voxelBinormal[c] = toVoxelDirection(bin[c]);
        }

    auto rowKernel = [&](int r) {
        if (!mappable)
            return;
        const double d = double(r) / (h - 1) * widthMm - widthMm / 2.0;
        uchar* line = imageBits + stride * r;
        float* out = sampleData + qsizetype(r) * w;
        for (int c = 0; c < w; ++c) {
            const Vec3d base = voxelPoint[size_t(c)] + d * voxelNormal[size_t(c)];
            double value = 0.0;
            bool has = false;
            if (!slab) {
                const float v = sampleFusionTrilinear(volume, base[0], base[1], base[2]);
                if (!std::isnan(v)) {
                    value = v;
                    has = true;
                }
            } else {
                double maxV = -std::numeric_limits<double>::infinity();
                double minV = std::numeric_limits<double>::infinity();
                double sum = 0.0;
                int n = 0;
                const Vec3d& across = voxelBinormal[size_t(c)];
                for (int s = 0; s < k; ++s) {
                    const double t = (double(s) / (k - 1) - 0.5) * thicknessMm;
                    const float v = sampleFusionTrilinear(volume, base[0] + t * across[0], base[1] + t * across[1],
                                                          base[2] + t * across[2]);
                    if (std::isnan(v))
                        continue;
                    maxV = std::max(maxV, double(v));
                    minV = std::min(minV, double(v));
                    sum += v;
                    ++n;
                }
                if (n > 0) {
                    has = true;
                    if (slabMode == CurvedMprSlabMinimum)
                        value = minV;
                    else if (slabMode == CurvedMprSlabMean)
                        value = double(float(sum / n));
                    else
                        value = maxV;
                }
            }
            if (!has)
                continue;
            line[c] = uchar(int(std::clamp((value - lower) / range, 0.0, 1.0) * 255.0));
            out[c] = float(value);
        }
    };
    mapRowsOnGlobalPool(h, rowKernel);

    if (!vertical) {
        result.image = image;
        result.samples = samples;
        result.gridWidth = w;
        result.gridHeight = h;
    } else {
        QImage transposed(h, w, QImage::Format_Grayscale8);
        QList<float> tSamples;
        try {
            tSamples.resize(qsizetype(w) * h);
        } catch (const std::bad_alloc&) {
            return CurvedMprResult();
        }
        if (transposed.isNull())
            return CurvedMprResult();
        for (int c = 0; c < w; ++c) {
            uchar* line = transposed.scanLine(c);
            for (int r = 0; r < h; ++r) {
                line[r] = imageBits[stride * r + c];
                tSamples[qsizetype(c) * h + r] = sampleData[qsizetype(r) * w + c];
            }
        }
        result.image = transposed;
        result.samples = tSamples;
        result.gridWidth = h;
        result.gridHeight = w;
    }
    result.lengthMm = frames.lengthMm;
    result.stepMm = stepMm;
    result.points = frames.points;
    result.normals = frames.normals;
    result.binormals = frames.binormals;
    result.widthMm = widthMm;
    result.vertical = vertical;
    return result;
}

bool curvedMprFrameAt(const CurvedMprResult& result, double s, double point[3], double normal[3],
                      double binormal[3])
{
    if (result.image.isNull() || result.points.isEmpty() || !(result.stepMm > 0.0) || !(s >= 0.0)
        || s > result.lengthMm)
        return false;
    const int n = int(result.points.size());
    const int i0 = int(std::clamp(std::floor(s / result.stepMm), 0.0, double(n - 1)));
    const double u = std::clamp(s / result.stepMm - i0, 0.0, 1.0);
    const int i1 = std::clamp(i0 + 1, 0, n - 1);
    auto lerp = [u](const std::array<double, 3>& a, const std::array<double, 3>& b) {
        return Vec3d{a[0] + (b[0] - a[0]) * u, a[1] + (b[1] - a[1]) * u, a[2] + (b[2] - a[2]) * u};
    };
    const Vec3d p = lerp(result.points[i0], result.points[i1]);
    const Vec3d nn = normalizedOrZero(lerp(result.normals.value(i0), result.normals.value(i1)));
    const Vec3d bb = normalizedOrZero(lerp(result.binormals.value(i0), result.binormals.value(i1)));
    for (int a = 0; a < 3; ++a) {
        if (point)
            point[a] = p[size_t(a)];
        if (normal)
            normal[a] = nn[size_t(a)];
        if (binormal)
            binormal[a] = bb[size_t(a)];
    }
    return true;
}

CurvePoints offsetCurve(const CurvePoints& curve, double, double offsetMm)
{
    if (curve.size() < 2 || std::abs(offsetMm) < 1e-9)
        return curve;
    CurvePoints shifted;
    shifted.reserve(curve.size());
    for (auto p : curve) {
        p[1] += offsetMm;
        shifted.append(p);
    }
    return shifted;
}

bool isCurveOutOfPlane(const CurvePoints& curve)
{
    const int n = int(curve.size());
    if (n < 2)
        return false;
    int off = 0;
    for (const auto& p : curve)
        if (std::abs(p[2] - curve.first()[2]) > 1.0)
            ++off;
    return off > n / 2;
}

} // namespace render
