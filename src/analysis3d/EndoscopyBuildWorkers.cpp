#include "analysis3d/EndoscopyBuildWorkers.h"

#include "render/CurvedMprRenderer.h"
#include "render/EndoscopyPath.h"
#include "render/SliceSources.h"
#include "render/StopFlag.h"
#include "render/TransferFunction.h"

#include <QQuaternion>
#include <QVector3D>

#include <cmath>
#include <exception>
#include <new>

using render::operator+;
using render::operator-;

namespace {

constexpr int kOverviewSize = 320;
constexpr double kResampleStepMm = 1.0;
constexpr double kResampleWidthMm = 5.0;

QQuaternion overviewRotation()
{
    return QQuaternion::fromAxisAndAngle(1.0f, 0.0f, 0.0f, -90.0f);
}

bool isEmpty(const std::shared_ptr<render::FusionVolume>& v)
{
    return !v || v->isEmpty();
}

// Which render axis each path axis (rows, columns, slices) became, and whether it runs reversed.
render::AxisMapping renderAxesOf(const render::FusionVolume& pathVolume)
{
    const auto& r = pathVolume.rowDir;
    const auto& c = pathVolume.colDir;
    render::AxisMapping m = render::orientationAxes(r[0], r[1], r[2], c[0], c[1], c[2]);
    return m.valid ? m : render::AxisMapping();
}

int renderDimension(const render::Volume& v, int axis)
{
    return axis == 0 ? v.nx : axis == 1 ? v.ny : v.nz;
}

} // namespace

void pathToRenderIndices(const render::FusionVolume& pathVolume, const render::Volume& renderVolume,
                         const double path[3], double render[3])
{
    const render::AxisMapping m = renderAxesOf(pathVolume);
    for (int a = 0; a < 3; ++a) {
        const int v = m.axis[size_t(a)];
        render[v] = m.sign[size_t(a)] > 0 ? path[a] : renderDimension(renderVolume, v) - 1 - path[a];
    }
}

void renderToPathIndices(const render::FusionVolume& pathVolume, const render::Volume& renderVolume,
                         const double render[3], double path[3])
{
    const render::AxisMapping m = renderAxesOf(pathVolume);
    for (int a = 0; a < 3; ++a) {
        const int v = m.axis[size_t(a)];
        path[a] = m.sign[size_t(a)] > 0 ? render[v] : renderDimension(renderVolume, v) - 1 - render[v];
    }
}

bool worldToVolumeCentredMm(const render::FusionVolume& pathVolume, const render::Volume& renderVolume,
                            const double pointMm[3], float out[3])
{
    double path[3] = {0.0, 0.0, 0.0};
    if (!render::worldToVoxel(pathVolume, pointMm[0], pointMm[1], pointMm[2], &path[0], &path[1], &path[2]))
        return false;
    // A point outside the voxel box has no place in the fly-through.
    auto inside = [](double index, int n) { return std::isfinite(index) && index >= -0.5 && index <= n - 0.5; };
    if (!inside(path[0], pathVolume.nx) || !inside(path[1], pathVolume.ny) || !inside(path[2], pathVolume.nz))
        return false;
    double index[3];
    pathToRenderIndices(pathVolume, renderVolume, path, index);
    const double spacing[3] = {renderVolume.spacingX, renderVolume.spacingY, renderVolume.spacingZ};
    for (int v = 0; v < 3; ++v)
        out[v] = float(index[v] * spacing[v] - renderDimension(renderVolume, v) * spacing[v] / 2.0);
    return true;
}

QPointF projectToOverview(const float centred[3], const render::Volume& renderVolume)
{
    const double ex = renderVolume.nx * renderVolume.spacingX;
    const double ey = renderVolume.ny * renderVolume.spacingY;
    const double ez = renderVolume.nz * renderVolume.spacingZ;
    const double h = 0.5 * std::sqrt(ex * ex + ey * ey + ez * ez);
    if (!(h > 0.0))
        return QPointF(kOverviewSize / 2.0, kOverviewSize / 2.0);
    const QQuaternion q = overviewRotation();
    const QVector3D f = q.rotatedVector(QVector3D(0, 0, 1)).normalized();
    const QVector3D u0 = q.rotatedVector(QVector3D(0, -1, 0));
    const QVector3D r = QVector3D::crossProduct(f, u0).normalized();
    const QVector3D u = QVector3D::crossProduct(r, f).normalized();
    const QVector3D p(centred[0], centred[1], centred[2]);
    const double x = (QVector3D::dotProduct(p, r) / (2.0 * h) + 0.5) * kOverviewSize - 0.5;
    const double y = (-QVector3D::dotProduct(p, u) / (2.0 * h) + 0.5) * kOverviewSize - 0.5;
    return QPointF(x, y);
}

render::VolumeRenderParams makeOverviewRenderParams()
{
    render::VolumeRenderParams params;
    params.rotation = overviewRotation();
    params.window = render::WindowLevel{0.0, 0.0};
    params.projectionMode = 0;
    params.zoom = 1.0;
    params.panX = 0.0;
    params.panY = 0.0;
    params.imageSize = kOverviewSize;
    params.sampleCount = 200;
    params.renderMode = 1;
    params.fullQuality = true;
    for (const render::TransferFunctionPreset& preset : render::transferFunctionPresets()) {
        if (preset.name == QStringLiteral("Обзор просвета (снаружи)")) {
            params.transferFunction = preset;
            break;
        }
    }
    return params;
}

EndoscopyVolumeBuildWorker::EndoscopyVolumeBuildWorker(const QList<db::InstanceRecord>& slices, const QString& title)
    : m_slices(slices)
    , m_title(title)
{
}

void EndoscopyVolumeBuildWorker::run()
{
    // Nothing may escape the worker thread: an allocation failure on a huge series becomes a message.
    try {
        QString pathError;
        auto built =
            std::make_shared<render::FusionVolume>(render::buildFusionVolume(m_slices, &pathError, stop.get()));
        if (built->isEmpty()) {
            errorText = QStringLiteral("Не удалось построить объём для пути: %1").arg(pathError);
            emit finished();
            return;
        }
        pathVolume = std::move(built);

        // The render volume lies on the patient's axes as the slices' orientation says; only a series
        // without orientation is turned by the plane named in its title.
        const QList<render::SliceSource> sources = render::sliceSourcesFromInstances(m_slices);
        const int hint = render::guessAcquisitionPlane(m_title);
        QString renderError;
        render::Volume volume = render::buildVolume(sources, &renderError, hint, stop.get());
        if (volume.isEmpty()) {
            errorText = QStringLiteral("Не удалось построить объём для рендера: %1").arg(renderError);
            emit finished();
            return;
        }
        renderVolume = std::move(volume);
        // The path volume's warnings say the same of the same slices; the render volume's also name a tilt.
        errorText = renderError;

        int plane = hint;
        for (const db::InstanceRecord& row : m_slices) {
            if (!row.hasSpatialInfo)
                continue;
            const render::PlaneGuess guess = render::acquisitionPlaneFromOrientation(
                row.orientationRow[0], row.orientationRow[1], row.orientationRow[2], row.orientationCol[0],
                row.orientationCol[1], row.orientationCol[2]);
            if (guess.valid)
                plane = guess.plane;
            break;
        }
        nonAxial = plane != render::AxialPlane;
        if (!render::stopRequested(stop.get()))
            overviewImage = render::renderVolumeCpu(renderVolume, makeOverviewRenderParams());
    } catch (const std::bad_alloc&) {
        errorText = QStringLiteral("Недостаточно памяти для построения объёма");
    } catch (const std::exception& e) {
        errorText = QStringLiteral("Ошибка построения объёма: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    emit finished();
}

EndoscopyPathBuildWorker::EndoscopyPathBuildWorker(std::shared_ptr<render::FusionVolume> pathVolume,
                                                   const render::Volume* renderVolume, const double seedMm[3],
                                                   double windowCenter, double windowWidth)
    : m_pathVolume(std::move(pathVolume))
    , m_renderVolume(renderVolume)
    , m_seedMode(true)
    , m_windowCenter(windowCenter)
    , m_windowWidth(windowWidth)
{
    for (int a = 0; a < 3; ++a)
        m_seed[a] = seedMm[a];
}

EndoscopyPathBuildWorker::EndoscopyPathBuildWorker(std::shared_ptr<render::FusionVolume> pathVolume,
                                                   const render::Volume* renderVolume,
                                                   const QList<std::array<double, 3>>& curve, int startIndex,
                                                   double windowCenter, double windowWidth)
    : m_pathVolume(std::move(pathVolume))
    , m_renderVolume(renderVolume)
    , m_seedMode(false)
    , m_curve(curve)
    , m_startIndex(startIndex)
    , m_windowCenter(windowCenter)
    , m_windowWidth(windowWidth)
{
}

void EndoscopyPathBuildWorker::run()
{
    try {
        buildFrames();
    } catch (const std::bad_alloc&) {
        frames.clear();
        overviewPath.clear();
        errorText = QStringLiteral("Недостаточно памяти для построения пути");
    } catch (const std::exception& e) {
        frames.clear();
        overviewPath.clear();
        errorText = QStringLiteral("Не удалось построить путь: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    emit finished();
}

void EndoscopyPathBuildWorker::buildFrames()
{
    if (isEmpty(m_pathVolume) || !m_renderVolume) {
        errorText = QStringLiteral("Объём не построен");
        return;
    }
    const render::FusionVolume& volume = *m_pathVolume;
    const render::Volume& target = *m_renderVolume;

    QList<std::array<double, 3>> points;
    int startIndex = -1;
    if (m_seedMode) {
        const render::EndoscopyPathResult result = render::buildEndoscopyPath(volume, m_seed);
        pathOk = result.ok;
        pathMessage = result.message;
        pathPoints = result.points;
        seedIndex = result.seedIndex;
        branchDetected = result.hasBranches;
        // The imaging core puts first the branch that lies towards larger patient x: the patient's left.
        leftBranch = result.branchA;
        rightBranch = result.branchB;
        if (!result.ok) {
            errorText = result.message;
            return;
        }
        points = pathPoints;
        startIndex = seedIndex;
    } else {
        points = m_curve;
        startIndex = m_startIndex;
    }

    if (points.size() < 2) {
        errorText = QStringLiteral("Путь оказался пуст");
        return;
    }

    if (startIndex >= 0 && startIndex < points.size()) {
        double sum = 0.0;
        for (int n = 1; n <= startIndex; ++n)
            sum += render::length(points[n] - points[n - 1]);
        startDistanceMm = sum;
    }

    const render::CurvedMprResult resampled =
        render::CurvedMprRenderer::render(volume, points, kResampleWidthMm, kResampleStepMm, m_windowCenter,
                                          m_windowWidth, 0.0, 0.0, 0.0, render::CurvedMprSlabNone, 0.0, false);
    if (resampled.image.isNull() || resampled.points.size() < 2) {
        errorText = QStringLiteral("Не удалось построить путь вдоль кривой");
        return;
    }

    const qsizetype count = resampled.points.size();
    for (qsizetype i = 0; i < count && !render::stopRequested(stop.get()); ++i) {
        const std::array<double, 3>& p = resampled.points[i];
        EndoscopyCameraFrame frame;
        if (!worldToVolumeCentredMm(volume, target, p.data(), frame.position))
            continue;
        overviewPath.append(projectToOverview(frame.position, target));

        const QVector3D c(frame.position[0], frame.position[1], frame.position[2]);
        float next[3];
        if (i + 1 < count && worldToVolumeCentredMm(volume, target, resampled.points[i + 1].data(), next)) {
            const QVector3D d = QVector3D(next[0], next[1], next[2]) - c;
            if (d.lengthSquared() > 1e-6f) {
                const QVector3D f = d.normalized();
                frame.forward[0] = f.x();
                frame.forward[1] = f.y();
                frame.forward[2] = f.z();
            }
        }
        if (i < resampled.normals.size()) {
            const std::array<double, 3> tip = p + resampled.normals[i];
            float w[3];
            if (worldToVolumeCentredMm(volume, target, tip.data(), w)) {
                const QVector3D d = QVector3D(w[0], w[1], w[2]) - c;
                if (d.lengthSquared() > 1e-6f) {
                    const QVector3D u = d.normalized();
                    frame.up[0] = u.x();
                    frame.up[1] = u.y();
                    frame.up[2] = u.z();
                }
            }
        }
        frames.append(frame);
    }
    if (frames.size() < 2) {
        errorText = QStringLiteral("Путь оказался пуст — кривая проходит вне объёма");
        frames.clear();
        overviewPath.clear();
    }
}
