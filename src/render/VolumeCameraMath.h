#pragma once
// Camera arithmetic shared by the CPU and the GPU 3D views: the same yaw/pitch orientations, arcball
// and view presets, so that a camera copied from one view looks the same in the other.

#include <QPointF>
#include <QQuaternion>
#include <QSize>
#include <QVector3D>

namespace render {
struct Volume;
}

namespace volumecamera {

// The rotation whose local (0, 0, 1) looks along the direction given by yaw and pitch (degrees; pitch
// clamped to ±89) and whose local (0, -1, 0) is the picture's up direction. Never degenerate.
QQuaternion rotationFromYawPitch(double yawDeg, double pitchDeg);

// The rotation of a standard view direction 0..5 (front, back, right, left, top, bottom); false for
// any other value, with `rotation` untouched.
bool presetRotation(int preset, QQuaternion* rotation);

// The arcball vector of a widget point: on the unit sphere inside the centred circle, on its rim outside.
QVector3D arcballVector(const QPointF& point, const QSize& widgetSize);

// One free-rotation step from arcball vector p0 to p1. `sign` is +1 or -1: the two views turn the
// camera in opposite senses for the same drag, each as its users know it. Unchanged for a null step.
QQuaternion freeRotationStep(const QQuaternion& rotation, const QVector3D& p0, const QVector3D& p1, float sign);

// The angle in degrees of a point about the widget centre.
double pointerAngleDeg(const QPointF& point, const QSize& widgetSize);
// A difference of two angles wrapped once into [-180, 180].
double wrapAngleDelta(double deltaDeg);

// The zoom (view half-width in half-diagonals of the volume's box) at which the whole volume seen
// through `rotation` fits the square view, with a narrow margin; within the wheel's range. 1 without a
// volume.
double fitZoom(const QQuaternion& rotation, const render::Volume* volume);

// Zoom after one wheel step: in (x 0.9) for a vertical delta of at least 1, out (x 1.1) otherwise,
// kept within [0.3, 2.5].
double wheelZoom(double zoom, int angleDeltaY);

} // namespace volumecamera
