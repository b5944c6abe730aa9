#include "render/Volume.h"

#include "render/HuImage.h"
#include "render/ParallelFor.h"
#include "render/StopFlag.h"
#include "render/VolumeGeometryWarnings.h"

#include <QRegularExpression>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <future>
#include <mutex>
#include <thread>
#include <new>
#include <numeric>

#if defined(Q_OS_UNIX)
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace render {

namespace {

qint64 physicalMemoryBytes()
{
#if defined(Q_OS_UNIX)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && pageSize > 0)
        return qint64(pages) * qint64(pageSize);
#elif defined(Q_OS_WIN)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    if (GlobalMemoryStatusEx(&status))
        return qint64(status.ullTotalPhys);
#endif
    return 0;
}

QString megabytes(qint64 bytes)
{
    // Rounded up without adding first: a series too large to address reports the largest count.
    return QString::number((bytes >> 20) + ((bytes & ((1 << 20) - 1)) != 0 ? 1 : 0));
}

// Ordering key of each slice: its position along the common slice normal, when every slice has
// geometry and the first orientation gives a normal. Empty when the geometry cannot order the stack.
std::vector<double> normalPositions(const QList<SliceSource>& slices)
{
    std::vector<double> keys;
    for (const SliceSource& s : slices)
        if (!s.hasSpatialInfo)
            return keys;
    const auto& r = slices.first().orientationRow;
    const auto& c = slices.first().orientationCol;
    const double n[3] = {r[1] * c[2] - r[2] * c[1], r[2] * c[0] - r[0] * c[2], r[0] * c[1] - r[1] * c[0]};
    const double len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(len > 1e-6))
        return keys;
    keys.reserve(size_t(slices.size()));
    for (const SliceSource& s : slices)
        keys.push_back((s.imagePosition[0] * n[0] + s.imagePosition[1] * n[1] + s.imagePosition[2] * n[2]) / len);
    return keys;
}

// Every slice's image position; empty unless every slice has geometry (the stack is then ordered by
// Slice Location, and positions say nothing of it).
std::vector<std::array<double, 3>> imagePositions(const QList<SliceSource>& slices)
{
    std::vector<std::array<double, 3>> positions;
    for (const SliceSource& s : slices)
        if (!s.hasSpatialInfo)
            return {};
    positions.reserve(size_t(slices.size()));
    for (const SliceSource& s : slices)
        positions.push_back(s.imagePosition);
    return positions;
}

bool spreadBeyond(const std::vector<double>& keys, double tolerance)
{
    for (double k : keys)
        if (std::abs(k - keys.front()) > tolerance)
            return true;
    return false;
}

struct OrderedStack
{
    QList<SliceSource> slices;
    std::vector<double> keys; // in the order of `slices`
};

// Sorts the slices along the stack axis. Geometry wins; Slice Location is the fallback.
OrderedStack orderSlices(const QList<SliceSource>& input)
{
    OrderedStack out;
    std::vector<double> keys = normalPositions(input);
    if (keys.empty() || !spreadBeyond(keys, 0.01)) {
        keys.clear();
        for (const SliceSource& s : input)
            keys.push_back(s.sliceLocation);
    }
    std::vector<int> order(size_t(input.size()));
    std::iota(order.begin(), order.end(), 0);
    if (input.size() >= 2 && spreadBeyond(keys, 0.01))
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return keys[size_t(a)] < keys[size_t(b)]; });
    out.slices.reserve(input.size());
    for (int i : order) {
        out.slices.append(input[i]);
        out.keys.push_back(keys[size_t(i)]);
    }
    return out;
}

double stackSpacing(const OrderedStack& stack)
{
    double sum = 0.0;
    int count = 0;
    for (size_t i = 1; i < stack.keys.size(); ++i) {
        const double d = std::abs(stack.keys[i] - stack.keys[i - 1]);
        if (d > 0.001) {
            sum += d;
            ++count;
        }
    }
    if (count > 0)
        return sum / count;
    const double thickness = stack.slices.first().sliceThickness;
    return thickness > 0.0 ? thickness : 1.0;
}

void storePlane(Volume& v, int z, const HuImage& frame, double& lo, double& hi)
{
    float* dst = v.voxels.data() + size_t(z) * size_t(v.nx) * size_t(v.ny);
    const size_t n = size_t(v.nx) * size_t(v.ny);
    for (size_t i = 0; i < n; ++i) {
        const double value = frame.pixels[i];
        dst[i] = float(value);
        lo = std::min(lo, value);
        hi = std::max(hi, value);
    }
}

} // namespace

bool volumeFitsInMemory(qint64 nx, qint64 ny, qint64 nz, int copies, QString* message)
{
    // Three 32-bit counts can exceed 64 bits once multiplied by the float size and the copies: check
    // each product against the limit before forming it.
    const qint64 physical = physicalMemoryBytes();
    const qint64 maxVoxels = qint64(std::min<quint64>(std::vector<float>().max_size(),
                                                        quint64(std::numeric_limits<qint64>::max()) / 64));
    bool addressable = nx >= 0 && ny >= 0 && nz >= 0;
    qint64 voxels = 0;
    if (addressable) {
        addressable = (nx == 0 || ny <= maxVoxels / nx);
        if (addressable) {
            const qint64 plane = nx * ny;
            addressable = (plane == 0 || nz <= maxVoxels / plane);
            if (addressable)
                voxels = plane * nz;
        }
    }
    const qint64 bytes = addressable ? voxels * qint64(sizeof(float)) : std::numeric_limits<qint64>::max();
    const int copyCount = std::clamp(copies, 1, 16);
    const bool fits = addressable && (physical <= 0 || bytes <= physical / 10 * 8 / copyCount);
    if (!fits && message)
        *message = QStringLiteral("Серия слишком велика для построения объёма: %1×%2×%3 вокселей (%4 МБ), "
                                  "а в компьютере %5 МБ памяти")
                       .arg(nx).arg(ny).arg(nz).arg(megabytes(bytes)).arg(megabytes(physical));
    return fits;
}

namespace {

Volume stopped(QString* message)
{
    if (message)
        *message = QStringLiteral("Построение объёма прервано");
    return {};
}

} // namespace

Volume loadVolumeSlices(const QList<SliceSource>& slices, QString* message, const std::atomic_bool* stop)
{
    if (slices.isEmpty()) {
        if (message)
            *message = QStringLiteral("Пустая серия — нечего реконструировать");
        return {};
    }
    const OrderedStack stack = orderSlices(slices);
    const int nz = int(stack.slices.size());

    int skipped = 0;
    int otherObjects = 0; // of the skipped: files that hold another object than their rows
    double lo = std::numeric_limits<double>::max();
    double hi = std::numeric_limits<double>::lowest();
    QString firstReason;

    HuImage reference;
    int referenceIndex = -1;
    for (int i = 0; i < nz && !stopRequested(stop); ++i) {
        const SliceSource& s = stack.slices[i];
        if (loadHuFrame(reference, s.filePath, s.frameIndex, nullptr, s.row) && reference.valid) {
            referenceIndex = i;
            break;
        }
        ++skipped;
        otherObjects += reference.otherObject ? 1 : 0;
        if (firstReason.isEmpty())
            firstReason = reference.error;
    }
    if (stopRequested(stop))
        return stopped(message);
    if (referenceIndex < 0) {
        if (message)
            *message = firstReason.isEmpty()
                           ? QStringLiteral("Не удалось прочитать ни одного среза (причина не определена).")
                           : QStringLiteral("Не удалось прочитать ни одного среза. Причина (первый срез): %1")
                                 .arg(firstReason);
        return {};
    }

    Volume v;
    v.nx = reference.width;
    v.ny = reference.height;
    v.nz = nz;
    const SliceSource& ref = stack.slices[referenceIndex];
    v.spacingX = ref.pixelSpacingX > 0.0 ? ref.pixelSpacingX : 1.0;
    v.spacingY = ref.pixelSpacingY > 0.0 ? ref.pixelSpacingY : 1.0;
    // The oriented result needs a second copy of the voxels while reordering.
    if (!volumeFitsInMemory(v.nx, v.ny, v.nz, 2, message))
        return {};

    // Zero-filling a large volume costs as much as reading all its files on many threads (the
    // kernel maps every page on first touch), so it runs beside the readers, which keep a few
    // converted slices aside until the voxels exist.
    const size_t planeSize = size_t(v.nx) * size_t(v.ny);
    std::promise<bool> allocated;
    std::shared_future<bool> voxelsReady = allocated.get_future().share();
    auto allocate = [&v, &allocated]() {
        try {
            v.voxels.assign(size_t(v.nx) * size_t(v.ny) * size_t(v.nz), 0.0f);
            allocated.set_value(true);
        } catch (const std::bad_alloc&) {
            allocated.set_value(false);
        }
    };
    std::thread allocator;
    try {
        allocator = std::thread(allocate);
    } catch (const std::system_error&) {
        allocate();
    }

    std::mutex mergeMutex;
    const size_t stashLimit = std::max<size_t>(1, (size_t(16) << 20) / (planeSize * sizeof(float)));
    // Slices before the reference already failed and were counted; they are not read again.
    parallelFor(nz, [&](int begin, int end) {
        HuImage frame;
        double localLo = std::numeric_limits<double>::max();
        double localHi = std::numeric_limits<double>::lowest();
        int localSkipped = 0;
        int localOthers = 0;
        bool ready = false;
        std::vector<std::pair<int, std::vector<float>>> stash;
        auto waitForVoxels = [&]() {
            if (!ready) {
                ready = true;
                if (!voxelsReady.get())
                    return false;
            }
            return voxelsReady.get();
        };
        auto flush = [&]() {
            if (waitForVoxels())
                for (auto& [z, plane] : stash)
                    std::copy(plane.begin(), plane.end(), v.voxels.begin() + std::ptrdiff_t(size_t(z) * planeSize));
            stash.clear();
        };
        for (int z = std::max(begin, referenceIndex + 1); z < end && !stopRequested(stop); ++z) {
            const SliceSource& s = stack.slices[z];
            if (!loadHuFrame(frame, s.filePath, s.frameIndex, nullptr, s.row) || !frame.valid
                || frame.width != v.nx || frame.height != v.ny) {
                ++localSkipped;
                localOthers += frame.otherObject ? 1 : 0;
                continue;
            }
            if (!ready && voxelsReady.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                std::vector<float> plane(planeSize);
                for (size_t i = 0; i < planeSize; ++i) {
                    const double value = frame.pixels[i];
                    plane[i] = float(value);
                    localLo = std::min(localLo, value);
                    localHi = std::max(localHi, value);
                }
                stash.emplace_back(z, std::move(plane));
                if (stash.size() >= stashLimit)
                    flush();
                continue;
            }
            if (!stash.empty())
                flush();
            if (waitForVoxels())
                storePlane(v, z, frame, localLo, localHi);
        }
        flush();
        std::lock_guard<std::mutex> lock(mergeMutex);
        lo = std::min(lo, localLo);
        hi = std::max(hi, localHi);
        skipped += localSkipped;
        otherObjects += localOthers;
    });
    if (allocator.joinable())
        allocator.join();
    if (stopRequested(stop))
        return stopped(message);
    if (!voxelsReady.get()) {
        if (message)
            *message = QStringLiteral("Недостаточно памяти для объёма %1×%2×%3 (%4 МБ)")
                           .arg(v.nx).arg(v.ny).arg(v.nz)
                           .arg(megabytes(qint64(v.nx) * v.ny * v.nz * qint64(sizeof(float))));
        return {};
    }
    storePlane(v, referenceIndex, reference, lo, hi);
    reference = HuImage();

    v.spacingZ = stackSpacing(stack);
    v.minValue = lo;
    v.maxValue = hi;
    const QString skippedText =
        skipped > 0 ? QStringLiteral("Пропущено срезов при построении объёма: %1 из %2").arg(skipped).arg(nz)
                    : QString();
    const QString warning =
        joinedWarnings(joinedWarnings(skippedText, otherObjectSlicesWarning(otherObjects)),
                       unevenSpacingWarning(stack.keys));
    if (!warning.isEmpty() && message)
        *message = warning;
    return v;
}

QString otherObjectSlicesWarning(int slices)
{
    if (slices <= 0)
        return {};
    return QStringLiteral("Не вошло срезов, в файлах которых на диске теперь другие снимки, не те, что в "
                          "списке исследования: %1")
        .arg(slices);
}

Volume buildVolume(const QList<SliceSource>& slices, QString* message, int planeHint, const std::atomic_bool* stop)
{
    QString stackMessage; // the reading's failure, or its warnings beside the volume
    Volume stack = loadVolumeSlices(slices, &stackMessage, stop);
    if (stopRequested(stop))
        return stopped(message);
    if (message && !stackMessage.isEmpty())
        *message = stackMessage;
    const SliceSource* spatial = nullptr;
    for (const SliceSource& s : slices) {
        if (s.hasSpatialInfo) {
            spatial = &s;
            break;
        }
    }
    try {
        if (spatial) {
            if (stack.isEmpty())
                return stack;
            // A tilted stack still becomes the nearest patient-aligned volume, and slices slid within
            // their planes are still stacked along the normal; the warnings say so.
            const QString geometry = joinedWarnings(
                obliqueStackWarning(spatial->orientationRow, spatial->orientationCol),
                shiftedSlicesWarning(imagePositions(slices), spatial->orientationRow, spatial->orientationCol,
                                     spatial->pixelSpacingX, spatial->pixelSpacingY));
            if (!geometry.isEmpty() && message)
                *message = joinedWarnings(stackMessage, geometry);
            const AxisMapping m = orientationAxes(spatial->orientationRow[0], spatial->orientationRow[1],
                                                  spatial->orientationRow[2], spatial->orientationCol[0],
                                                  spatial->orientationCol[1], spatial->orientationCol[2]);
            const bool identity = m.axis == std::array<qint32, 3>{0, 1, 2} && m.sign == std::array<qint32, 3>{1, 1, 1};
            if (m.valid && !identity)
                return reorientVolume(stack, m.axis, m.sign);
            return stack;
        }
        if (planeHint == AxialPlane)
            return stack; // nothing to reorder; spare the copy
        return permuteByPlaneHint(stack, planeHint);
    } catch (const std::bad_alloc&) {
        if (message)
            *message = QStringLiteral("Недостаточно памяти для построения объёма %1×%2×%3")
                           .arg(stack.nx).arg(stack.ny).arg(stack.nz);
        return {};
    }
}

DominantAxis dominantAxis(const QVector3D& v)
{
    const float ax = std::abs(v.x()), ay = std::abs(v.y()), az = std::abs(v.z());
    DominantAxis d;
    if (ax >= ay && ax >= az)
        d.axis = 0;
    else if (ay >= az)
        d.axis = 1;
    else
        d.axis = 2;
    d.sign = v[d.axis] >= 0.0f ? 1 : -1;
    return d;
}

namespace {
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

AxisMapping orientationAxes(double rx, double ry, double rz, double cx, double cy, double cz)
{
    AxisMapping m;
    QVector3D r{float(rx), float(ry), float(rz)};
    QVector3D c{float(cx), float(cy), float(cz)};
    if (r.lengthSquared() < 1e-6f || c.lengthSquared() < 1e-6f)
        return m;
    r = normalisedLoosely(r);
    c = normalisedLoosely(c);
    const QVector3D n = normalisedLoosely(QVector3D::crossProduct(r, c));
    if (n.lengthSquared() < 1e-6f)
        return m;
    const DominantAxis dx = dominantAxis(r);
    const DominantAxis dy = dominantAxis(c);
    const DominantAxis dz = dominantAxis(n);
    m.axis = {dx.axis, dy.axis, dz.axis};
    m.sign = {dx.sign, dy.sign, dz.sign};
    m.valid = dx.axis != dy.axis && dx.axis != dz.axis && dy.axis != dz.axis;
    return m;
}

Volume reorientVolume(const Volume& in, const std::array<qint32, 3>& axes, const std::array<qint32, 3>& signs)
{
    Volume out;
    if (in.isEmpty())
        return out;
    const std::array<qint64, 3> inDim{in.nx, in.ny, in.nz};
    const std::array<double, 3> inSpacing{in.spacingX, in.spacingY, in.spacingZ};
    std::array<qint64, 3> outDim{0, 0, 0};
    std::array<double, 3> outSpacing{1.0, 1.0, 1.0};
    for (int a = 0; a < 3; ++a) {
        outDim[size_t(axes[size_t(a)])] = inDim[size_t(a)];
        outSpacing[size_t(axes[size_t(a)])] = inSpacing[size_t(a)];
    }
    out.nx = qint32(outDim[0]);
    out.ny = qint32(outDim[1]);
    out.nz = qint32(outDim[2]);
    out.spacingX = outSpacing[0];
    out.spacingY = outSpacing[1];
    out.spacingZ = outSpacing[2];
    out.minValue = in.minValue;
    out.maxValue = in.maxValue;
    out.voxels.assign(in.voxels.size(), 0.0f);
    if (in.voxels.size() != size_t(in.nx) * size_t(in.ny) * size_t(in.nz))
        return out;

    const std::array<qint64, 3> stride{1, outDim[0], outDim[0] * outDim[1]};
    // Output index = base + step[0] * x + step[1] * y + step[2] * z.
    qint64 base = 0;
    std::array<qint64, 3> step{};
    for (int a = 0; a < 3; ++a) {
        const qint64 s = stride[size_t(axes[size_t(a)])];
        if (signs[size_t(a)] < 0) {
            base += s * (inDim[size_t(a)] - 1);
            step[size_t(a)] = -s;
        } else {
            step[size_t(a)] = s;
        }
    }
    parallelFor(in.nz, [&](int z0, int z1) {
        for (qint64 z = z0; z < z1; ++z) {
            for (qint64 y = 0; y < inDim[1]; ++y) {
                const float* src = in.voxels.data() + in.index(0, int(y), int(z));
                qint64 o = base + step[1] * y + step[2] * z;
                for (qint64 x = 0; x < inDim[0]; ++x, o += step[0])
                    out.voxels[size_t(o)] = src[x];
            }
        }
    });
    return out;
}

Volume permuteByPlaneHint(const Volume& in, int planeHint)
{
    if (planeHint == AxialPlane || in.isEmpty())
        return in;
    // The image rows become the output z axis with the first row on top, so that axis is flipped.
    // Sagittal: (x, y, z) -> (z, x, ny-1-y); coronal and any other hint: (x, y, z) -> (x, z, ny-1-y).
    const std::array<qint32, 3> axes = planeHint == SagittalPlane ? std::array<qint32, 3>{1, 2, 0}
                                                                  : std::array<qint32, 3>{0, 2, 1};
    return reorientVolume(in, axes, {1, -1, 1});
}

int guessAcquisitionPlane(const QString& seriesDescription)
{
    // Whole tokens only: "cor" must not match "coronary", "score" or "cortex".
    static const QRegularExpression separators(QStringLiteral("[^\\p{L}]+"));
    const QStringList tokens = seriesDescription.toLower().split(separators, Qt::SkipEmptyParts);
    const auto any = [&tokens](std::initializer_list<const char*> words) {
        for (const QString& t : tokens)
            for (const char* w : words)
                if (t == QLatin1String(w))
                    return true;
        return false;
    };
    if (any({"sag", "sagittal", "sagital", "sagit"}))
        return SagittalPlane;
    if (any({"cor", "coronal", "coron"}))
        return CoronalPlane;
    return AxialPlane;
}

PlaneGuess acquisitionPlaneFromOrientation(double rx, double ry, double rz, double cx, double cy, double cz)
{
    PlaneGuess g;
    const AxisMapping m = orientationAxes(rx, ry, rz, cx, cy, cz);
    if (!m.valid)
        return g;
    g.valid = true;
    g.plane = m.axis[2] == 0 ? SagittalPlane : m.axis[2] == 1 ? CoronalPlane : AxialPlane;
    return g;
}

Volume makeVolumeFromVoxels(const Volume& layout, std::vector<float>&& voxels)
{
    std::vector<float> taken = std::move(voxels);
    if (layout.isEmpty() || taken.size() != size_t(layout.nx) * size_t(layout.ny) * size_t(layout.nz))
        return {};
    Volume v;
    v.nx = layout.nx;
    v.ny = layout.ny;
    v.nz = layout.nz;
    v.spacingX = layout.spacingX;
    v.spacingY = layout.spacingY;
    v.spacingZ = layout.spacingZ;
    const auto [lo, hi] = std::minmax_element(taken.begin(), taken.end());
    v.minValue = *lo;
    v.maxValue = *hi;
    v.voxels = std::move(taken);
    return v;
}

} // namespace render
