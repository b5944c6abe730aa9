#include "analysis3d/D3DVolumeRenderWidget.h"

#include "render/VolumeCameraMath.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kSettleMs = 150;
constexpr float kPanMmPerPixel = 0.6f;
constexpr double kWindowPerPixel = 3.0;

QVector3D unitOr(const QVector3D& v, const QVector3D& fallback)
{
    return v.lengthSquared() <= 1e-9f ? fallback : v.normalized();
}

QVector3D fromArray(const float v[3])
{
    return v ? QVector3D(v[0], v[1], v[2]) : QVector3D();
}

} // namespace

D3DVolumeRenderWidget::D3DVolumeRenderWidget(QWidget* parent)
    : QWidget(parent)
{
    setMinimumSize(120, 120);
    setMouseTracking(true);
    // Every paint covers the whole widget with the frame read back from the GPU.
    setAttribute(Qt::WA_OpaquePaintEvent, true);
    m_rotation = volumecamera::rotationFromYawPitch(0.0, 89.0);
    m_settleTimer = new QTimer(this);
    m_settleTimer->setSingleShot(true);
    connect(m_settleTimer, &QTimer::timeout, this, &D3DVolumeRenderWidget::cameraSettled);
}

D3DVolumeRenderWidget::~D3DVolumeRenderWidget()
{
    // Labels are children and go with the widget; the GPU objects release themselves in reverse order.
    m_measurements.clear();
}

// ---- device life cycle ---------------------------------------------------------------------------

void D3DVolumeRenderWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_initAttempted)
        return;
    m_initAttempted = true;
    initializeDevice();
}

void D3DVolumeRenderWidget::initializeDevice()
{
    QString error;
    const bool ready = m_device.initialize(std::max(1, width()), std::max(1, height()), &error)
                       && m_sliceRenderer.initialize(&m_device, &error)
                       && m_mipRenderer.initialize(&m_device, &error)
                       && m_vrtRenderer.initialize(&m_device, &error);
    if (!ready) {
        m_initialized = false;
        m_vrtRenderer.release();
        m_mipRenderer.release();
        m_sliceRenderer.release();
        m_device.release();
        emit initializationFailed(error);
        return;
    }
    QString lineError; // without the line renderer the overlays are simply not drawn
    m_lineRenderer.initialize(&m_device, &lineError);
    m_initialized = true;
    if (m_pendingVolume)
        uploadVolume(m_pendingVolume);
    if (m_presetPending) {
        m_currentPreset = m_pendingPreset;
        m_presetPending = false;
        uploadTransferFunction();
    }
    update();
}

void D3DVolumeRenderWidget::uploadVolume(const render::Volume* volume)
{
    m_pendingVolume = nullptr;
    m_extentMm = QVector3D(float(volume->nx * volume->spacingX), float(volume->ny * volume->spacingY),
                           float(volume->nz * volume->spacingZ));
    m_voxelSizeMm = QVector3D(float(volume->spacingX), float(volume->spacingY), float(volume->spacingZ));
    m_halfDiagonalMm = m_extentMm.length() / 2.f;
    m_volumeMinHu = volume->minValue;
    m_volumeMaxHu = volume->maxValue;
    resetVrtWindow();
    QString error;
    if (!m_volumeTexture.upload(&m_device, *volume, &error)) {
        emit initializationFailed(error);
        return;
    }
    // A table built over the previous volume's range would colour this one wrongly.
    if (m_renderMode == 2)
        uploadTransferFunction();
    update();
}

void D3DVolumeRenderWidget::uploadTransferFunction()
{
    QString error;
    if (!m_transferTexture.upload(&m_device, m_currentPreset, m_volumeMinHu, m_volumeMaxHu, &error)) {
        emit initializationFailed(error);
        return;
    }
    m_renderMode = 2;
    update();
}

// ---- operations ----------------------------------------------------------------------------------

void D3DVolumeRenderWidget::setVolume(const render::Volume* volume, double windowCenter, double windowWidth)
{
    m_windowCenter = windowCenter;
    m_windowWidth = windowWidth;
    if (!volume) {
        update();
        return;
    }
    m_pickVolume = volume;
    m_pendingVolume = volume;
    if (m_initialized)
        uploadVolume(volume);
}

void D3DVolumeRenderWidget::setVrtPreset(const render::TransferFunctionPreset& preset)
{
    m_currentPreset = preset;
    if (!m_initialized) {
        m_pendingPreset = preset;
        m_presetPending = true;
        return;
    }
    uploadTransferFunction();
}

void D3DVolumeRenderWidget::resetVrtWindow()
{
    m_vrtWindowCenter = (m_volumeMinHu + m_volumeMaxHu) / 2.0;
    m_vrtWindowWidth = std::max(1.0, m_volumeMaxHu - m_volumeMinHu);
}

void D3DVolumeRenderWidget::resetView()
{
    resetVrtWindow();
    setViewPreset(render::ViewFront);
}

void D3DVolumeRenderWidget::setViewPreset(render::VolumeViewPreset preset)
{
    volumecamera::presetRotation(int(preset), &m_rotation);
    // The volume may still wait for the device: its size comes from the volume itself.
    m_zoom = float(volumecamera::fitZoom(m_rotation, m_pickVolume));
    m_panX = m_panY = 0.f;
    m_inPlaneAngle = 0.0;
    update();
}

void D3DVolumeRenderWidget::setRotationMode(VolumeRotationMode mode)
{
    m_rotationMode = mode;
    m_inPlaneAngle = 0.0;
    update();
}

render::VolumeCameraState D3DVolumeRenderWidget::cameraState() const
{
    return {m_rotation, double(m_zoom), double(m_panX), double(m_panY)};
}

void D3DVolumeRenderWidget::setCameraState(const render::VolumeCameraState& state)
{
    m_rotation = state.rotation;
    m_zoom = float(state.zoom);
    m_panX = float(state.panX);
    m_panY = float(state.panY);
    update();
}

void D3DVolumeRenderWidget::setPerspectiveCamera(bool enabled, const float positionMm[3], const float direction[3],
                                                 const float up[3], float fovDeg)
{
    m_perspectiveEnabled = enabled;
    m_cameraPosMm = fromArray(positionMm);
    m_cameraDir = unitOr(fromArray(direction), QVector3D(0, 0, 1));
    m_cameraUp = unitOr(fromArray(up), QVector3D(0, 1, 0));
    m_lookYawDeg = m_lookPitchDeg = 0.f;
    m_fovDeg = fovDeg;
    update();
}

void D3DVolumeRenderWidget::setCameraPose(const float positionMm[3], const float direction[3], const float up[3])
{
    m_cameraPosMm = fromArray(positionMm);
    m_cameraDir = unitOr(fromArray(direction), m_cameraDir);
    m_cameraUp = unitOr(fromArray(up), m_cameraUp);
    update();
}

void D3DVolumeRenderWidget::resetEndoscopyLook()
{
    m_fovDeg = 100.f;
    m_lookYawDeg = m_lookPitchDeg = 0.f;
    update();
}

// ---- frame ---------------------------------------------------------------------------------------

D3DVolumeRenderWidget::Basis D3DVolumeRenderWidget::cameraBasis() const
{
    Basis b;
    if (m_perspectiveEnabled) {
        const QVector3D r0 = QVector3D::crossProduct(m_cameraDir, m_cameraUp).normalized();
        const QQuaternion q = QQuaternion::fromAxisAndAngle(m_cameraUp, m_lookYawDeg)
                              * QQuaternion::fromAxisAndAngle(r0, m_lookPitchDeg);
        b.dir = q.rotatedVector(m_cameraDir).normalized();
        b.right = QVector3D::crossProduct(b.dir, m_cameraUp).normalized();
        b.up = QVector3D::crossProduct(b.right, b.dir).normalized();
        return b;
    }
    b.dir = m_rotation.rotatedVector(QVector3D(0, 0, 1)).normalized();
    const QVector3D u = m_rotation.rotatedVector(QVector3D(0, -1, 0));
    b.right = QVector3D::crossProduct(b.dir, u).normalized();
    b.up = QVector3D::crossProduct(b.right, b.dir).normalized();
    if (m_rotationMode == InPlaneRotation && std::abs(m_inPlaneAngle) > 1e-6) {
        const float theta = float(qDegreesToRadians(m_inPlaneAngle));
        const QVector3D right = b.right * std::cos(theta) + b.up * std::sin(theta);
        const QVector3D up = b.up * std::cos(theta) - b.right * std::sin(theta);
        b.right = right;
        b.up = up;
    }
    return b;
}

int D3DVolumeRenderWidget::rayStepCount() const
{
    const float smallest = std::min({m_voxelSizeMm.x(), m_voxelSizeMm.y(), m_voxelSizeMm.z()});
    const double wanted = std::ceil(2.4 * m_halfDiagonalMm / std::max(0.5 * double(smallest), 0.15));
    int steps = int(std::clamp(wanted, 220.0, 800.0));
    if (m_drawingOutline)
        steps = std::min(steps, 120);
    return steps;
}

QImage D3DVolumeRenderWidget::renderFrame()
{
    if (m_device.width() != width() || m_device.height() != height())
        m_device.resize(width(), height());
    if (!m_volumeTexture.texture())
        return m_device.clearAndPresent(0.05f, 0.1f, 0.25f, 1.f);

    m_device.beginFrame(0.f, 0.f, 0.f, 1.f);
    const Basis b = cameraBasis();
    const int steps = rayStepCount();
    render::CropSlots cropSlots;
    for (int i = 0; i < render::kMaxCropSlots; ++i) {
        render::CropSlot& slot = cropSlots[size_t(i)];
        if (i < m_cropCount) {
            const CropState& crop = m_crops[size_t(i)];
            slot.maskTexture = m_cropMasks[size_t(i)].texture();
            slot.dir = crop.dir;
            slot.right = crop.right;
            slot.up = crop.up;
            slot.halfExtentMm = crop.halfExtentMm;
            slot.panU = crop.panU;
            slot.panV = crop.panV;
        }
    }
    if (m_renderMode == 2 && m_transferTexture.texture()) {
        const float huMin = float(m_vrtWindowCenter - m_vrtWindowWidth / 2.0);
        const float huMax = float(m_vrtWindowCenter + m_vrtWindowWidth / 2.0);
        render::PerspectiveCamera perspective;
        perspective.enabled = m_perspectiveEnabled;
        perspective.positionMm = m_cameraPosMm;
        perspective.fovDeg = m_fovDeg;
        m_vrtRenderer.draw(&m_device, m_volumeTexture.texture(), m_transferTexture.texture(), b.dir, b.right, b.up,
                           m_extentMm, m_voxelSizeMm, m_halfDiagonalMm, m_zoom, m_panX, m_panY, huMin, huMax,
                           !m_drawingOutline, steps, cropSlots, m_cropCount, perspective);
    } else {
        m_mipRenderer.draw(&m_device, m_volumeTexture.texture(), b.dir, b.right, b.up, m_extentMm, m_halfDiagonalMm,
                           m_zoom, m_panX, m_panY, float(m_windowCenter), float(m_windowWidth), steps,
                           m_projectionMode, cropSlots, m_cropCount);
    }
    if (m_lineRenderer.isInitialized()) {
        if (m_outline.size() >= 2)
            m_lineRenderer.draw(&m_device, m_outline, width(), height());
        for (const SurfaceMeasurement& m : m_measurements)
            m_lineRenderer.draw(&m_device, {m.screenA, m.screenB}, width(), height());
        if (m_drawingMeasurement)
            m_lineRenderer.draw(&m_device, {m_newStartScreen, m_newCurrentScreen}, width(), height());
    }
    return m_device.present();
}

void D3DVolumeRenderWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (!m_initialized) {
        // No device: nothing of the volume to show.
        painter.fillRect(rect(), Qt::black);
        return;
    }
    m_frame = renderFrame();
    if (m_frame.isNull())
        painter.fillRect(rect(), Qt::black);
    else
        painter.drawImage(0, 0, m_frame);
}

void D3DVolumeRenderWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (m_initialized) {
        m_device.resize(width(), height());
        update();
    }
}

// ---- navigation ----------------------------------------------------------------------------------

void D3DVolumeRenderWidget::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    const bool shift = event->modifiers().testFlag(Qt::ShiftModifier);
    if (m_perspectiveEnabled) {
        if (event->button() == Qt::LeftButton && !shift) {
            if (m_measurementMode) {
                measurementPress(pos);
            } else {
                m_lookDrag = true;
                m_lookLastPos = pos;
            }
        }
        event->accept();
        return;
    }
    switch (event->button()) {
    case Qt::LeftButton:
        if (m_cropDrawingEnabled) {
            m_drawingOutline = true;
            m_outline.clear();
            m_outline.append(pos);
        } else if (shift) {
            m_panDrag = true;
            m_lastPos = pos;
        } else {
            m_rotateDrag = true;
            m_arcballStart = volumecamera::arcballVector(event->position(), size());
            m_lastPos = pos;
        }
        break;
    case Qt::MiddleButton:
        m_windowDrag = true;
        m_lastPos = pos;
        break;
    case Qt::RightButton: {
        m_rightDrag = true;
        m_lastPos = pos;
        const double half = std::min(width(), height()) / 2.0;
        const QPointF fromCentre = event->position() - QPointF(width() / 2.0, height() / 2.0);
        m_rightZooms = half > 0.0 && std::hypot(fromCentre.x(), fromCentre.y()) / half > 0.5;
        break;
    }
    default:
        break;
    }
    event->accept();
}

void D3DVolumeRenderWidget::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (m_perspectiveEnabled) {
        if (m_lookDrag) {
            const QPoint d = pos - m_lookLastPos;
            m_lookYawDeg -= 0.25f * float(d.x());
            m_lookPitchDeg = std::clamp(m_lookPitchDeg - 0.25f * float(d.y()), -75.f, 75.f);
            m_lookLastPos = pos;
            update();
        } else {
            measurementMove(pos);
        }
        return;
    }
    const QPoint d = pos - m_lastPos;
    if (m_drawingOutline) {
        m_outline.append(pos);
    } else if (m_rotateDrag) {
        if (m_rotationMode == FreeRotation) {
            const QVector3D p1 = volumecamera::arcballVector(event->position(), size());
            m_rotation = volumecamera::freeRotationStep(m_rotation, m_arcballStart, p1, -1.f);
            m_arcballStart = p1;
        } else {
            const double previous = volumecamera::pointerAngleDeg(QPointF(m_lastPos), size());
            const double current = volumecamera::pointerAngleDeg(event->position(), size());
            m_inPlaneAngle += volumecamera::wrapAngleDelta(current - previous);
            m_lastPos = pos;
        }
    } else if (m_panDrag) {
        m_panX -= kPanMmPerPixel * float(d.x());
        m_panY += kPanMmPerPixel * float(d.y());
        m_lastPos = pos;
    } else if (m_windowDrag) {
        double& centre = m_renderMode == 2 ? m_vrtWindowCenter : m_windowCenter;
        double& width = m_renderMode == 2 ? m_vrtWindowWidth : m_windowWidth;
        width = std::max(1.0, width + kWindowPerPixel * d.x());
        centre += kWindowPerPixel * d.y();
        m_lastPos = pos;
    } else if (m_rightDrag) {
        if (m_rightZooms) {
            m_zoom = std::clamp(m_zoom * float(std::pow(1.003, d.y())), 0.3f, 2.5f);
        } else {
            m_panX -= kPanMmPerPixel * float(d.x());
            m_panY += kPanMmPerPixel * float(d.y());
        }
        m_lastPos = pos;
    } else {
        return;
    }
    update();
}

void D3DVolumeRenderWidget::mouseReleaseEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (m_perspectiveEnabled) {
        if (event->button() == Qt::LeftButton) {
            m_lookDrag = false;
            measurementRelease(pos);
        }
        event->accept();
        return;
    }
    switch (event->button()) {
    case Qt::LeftButton:
        if (m_drawingOutline) {
            finishCropOutline();
        } else if (m_rotateDrag || m_panDrag) {
            m_rotateDrag = m_panDrag = false;
            emit cameraSettled();
        }
        break;
    case Qt::MiddleButton:
        m_windowDrag = false;
        break;
    case Qt::RightButton:
        if (m_rightDrag) {
            m_rightDrag = false;
            emit cameraSettled();
        }
        break;
    default:
        break;
    }
    event->accept();
}

void D3DVolumeRenderWidget::wheelEvent(QWheelEvent* event)
{
    const int delta = event->angleDelta().y();
    if (m_perspectiveEnabled) {
        m_fovDeg = std::clamp(m_fovDeg * (delta >= 1 ? 0.92f : 1.08f), 30.f, 140.f);
        update();
    } else {
        m_zoom = float(volumecamera::wheelZoom(m_zoom, delta));
        update();
        m_settleTimer->start(kSettleMs);
    }
    event->accept();
}
