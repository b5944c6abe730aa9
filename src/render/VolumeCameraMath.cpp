#include "render/VolumeCameraMath.h"

#include "render/Volume.h"

#include <QtMath>

#include <algorithm>
#include <cmath>

namespace volumecamera {

QQuaternion rotationFromYawPitch(double yawDeg, double pitchDeg)
{
    const double a = qDegreesToRadians(yawDeg);
    const double b = qDegreesToRadians(std::clamp(pitchDeg, -89.0, 89.0));
    const QVector3D d =
        QVector3D(float(std::sin(a) * std::cos(b)), float(std::sin(b)), float(std::cos(a) * std::cos(b))).normalized();
    QVector3D r = QVector3D::crossProduct(d, QVector3D(0, 0, 1));
    r = r.lengthSquared() < 1e-6f ? QVector3D(1, 0, 0) : r.normalized();
    const QVector3D u = QVector3D::crossProduct(r, d).normalized();
    const QQuaternion q1 = QQuaternion::rotationTo(QVector3D(0, 0, 1), d);
    const QQuaternion q2 = QQuaternion::rotationTo(q1.rotatedVector(QVector3D(0, -1, 0)), u);
    return (q2 * q1).normalized();
}

bool presetRotation(int preset, QQuaternion* rotation)
{
    static const double angles[6][2] = {{0, 89}, {0, -89}, {90, 0}, {270, 0}, {180, 0}, {0, 0}};
    if (preset < 0 || preset > 5)
        return false;
    *rotation = rotationFromYawPitch(angles[preset][0], angles[preset][1]);
    return true;
}

QVector3D arcballVector(const QPointF& point, const QSize& widgetSize)
{
    const double w = widgetSize.width(), h = widgetSize.height();
    const double s = std::min(w, h);
    if (s <= 0.0)
        return QVector3D(0, 0, 1);
    const double px = (2.0 * point.x() - w) / s;
    const double py = (h - 2.0 * point.y()) / s;
    const double r2 = px * px + py * py;
    if (r2 <= 1.0)
        return QVector3D(float(px), float(py), float(std::sqrt(1.0 - r2)));
    const double r = std::sqrt(r2);
    return QVector3D(float(px / r), float(py / r), 0.f);
}

QQuaternion freeRotationStep(const QQuaternion& rotation, const QVector3D& p0, const QVector3D& p1, float sign)
{
    const QVector3D axis = QVector3D::crossProduct(p0, p1);
    const double angle = qRadiansToDegrees(std::acos(std::clamp(double(QVector3D::dotProduct(p0, p1)), -1.0, 1.0)));
    if (!(axis.lengthSquared() > 1e-12f) || !(angle > 1e-6))
        return rotation;
    const QVector3D f = rotation.rotatedVector(QVector3D(0, 0, 1)).normalized();
    const QVector3D u = rotation.rotatedVector(QVector3D(0, -1, 0)).normalized();
    const QVector3D r = QVector3D::crossProduct(f, u).normalized();
    const QVector3D worldAxis = (axis.x() * r + axis.y() * u - axis.z() * f).normalized();
    if (worldAxis.lengthSquared() < 1e-12f)
        return rotation;
    return (QQuaternion::fromAxisAndAngle(worldAxis, sign * float(angle)) * rotation).normalized();
}

double pointerAngleDeg(const QPointF& point, const QSize& widgetSize)
{
    return qRadiansToDegrees(std::atan2(point.y() - widgetSize.height() / 2.0, point.x() - widgetSize.width() / 2.0));
}

double wrapAngleDelta(double deltaDeg)
{
    if (deltaDeg > 180.0)
        deltaDeg -= 360.0;
    else if (deltaDeg < -180.0)
        deltaDeg += 360.0;
    return deltaDeg;
}

double fitZoom(const QQuaternion& rotation, const render::Volume* volume)
{
    if (!volume || volume->isEmpty())
        return 1.0;
    const QVector3D extentMm(float(volume->nx * volume->spacingX), float(volume->ny * volume->spacingY),
                             float(volume->nz * volume->spacingZ));
    const double halfDiagonal = extentMm.length() / 2.0;
    if (!(halfDiagonal > 0.0))
        return 1.0;
    // The ray casters see each voxel up to half a voxel around its centre, so the box they show reaches
    // half a voxel beyond the extent on one side: one voxel more is fitted on every axis.
    const QVector3D seen = extentMm
                           + QVector3D(float(volume->spacingX), float(volume->spacingY), float(volume->spacingZ));
    // The picture's axes as the ray casters derive them from the rotation.
    const QVector3D d = rotation.rotatedVector(QVector3D(0, 0, 1)).normalized();
    const QVector3D right = QVector3D::crossProduct(d, rotation.rotatedVector(QVector3D(0, -1, 0))).normalized();
    const QVector3D up = QVector3D::crossProduct(right, d).normalized();
    double halfWidth = 0.0, halfHeight = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
        halfWidth += std::abs(seen[axis] / 2.0 * right[axis]);
        halfHeight += std::abs(seen[axis] / 2.0 * up[axis]);
    }
    constexpr double kMargin = 1.05;
    return std::clamp(kMargin * std::max(halfWidth, halfHeight) / halfDiagonal, 0.3, 2.5);
}

double wheelZoom(double zoom, int angleDeltaY)
{
    zoom *= angleDeltaY >= 1 ? 0.9 : 1.1;
    return std::clamp(zoom, 0.3, 2.5);
}

} // namespace volumecamera
