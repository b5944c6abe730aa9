#include "analysis3d/VolumeRenderWidget.h"

#include "render/TransferFunction.h"
#include "render/VolumeCameraMath.h"

#include <QComboBox>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QTimer>
#include <QTransform>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kThrottleMs = 16;
constexpr int kSettleMs = 250;
constexpr double kPanMmPerPixel = 0.6;
constexpr double kWindowPerPixel = 3.0;

} // namespace

VolumeRenderWidget::VolumeRenderWidget(QWidget* parent)
    : QWidget(parent)
{
    setMouseTracking(true);
    setMinimumSize(120, 120);
    // The renderer's own default camera is a settled view; this view starts from the identity
    // rotation at zoom 1 until the host resets or presets it.
    m_params.rotation = QQuaternion();
    m_params.zoom = 1.0;
    m_params.panX = m_params.panY = 0.0;
    m_params.projectionMode = render::MaximumProjection;
    m_params.renderMode = 0;

    m_throttleTimer = new QTimer(this);
    m_throttleTimer->setSingleShot(true);
    connect(m_throttleTimer, &QTimer::timeout, this, &VolumeRenderWidget::onThrottleTimeout);
    m_settleTimer = new QTimer(this);
    m_settleTimer->setSingleShot(true);
    connect(m_settleTimer, &QTimer::timeout, this, &VolumeRenderWidget::onSettleTimeout);

    m_projectionCombo = new QComboBox(this);
    m_projectionCombo->addItems(
        {QStringLiteral("MIP"), QStringLiteral("MinIP"), QStringLiteral("Среднее (Avg)"), QStringLiteral("VRT")});
    m_projectionCombo->setStyleSheet(QStringLiteral(
        "QComboBox { color: #ffd633; font-size: 11px; background: rgba(0,0,0,120); border: 1px solid #555; "
        "padding: 1px 4px; }"));
    m_projectionCombo->setToolTip(QStringLiteral("Способ проекции 3D-объёма"));
    m_projectionCombo->setGeometry(8, 26, 110, 20);
    connect(m_projectionCombo, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0 && index <= 2)
            setProjectionMode(render::ProjectionMode(index));
        else if (index == kVrtItem)
            returnToVrt();
    });
}

VolumeRenderWidget::~VolumeRenderWidget() = default;

bool VolumeRenderWidget::hasUsableVolume() const
{
    return m_volume && !m_volume->isEmpty();
}

void VolumeRenderWidget::setVolume(const render::Volume* volume, double windowCenter, double windowWidth)
{
    m_params.window.center = windowCenter;
    m_volume = volume;
    m_params.window.width = std::max(1.0, windowWidth);
    m_renderCache.clear(); // the voxels may be new even where the storage is the same
    renderFull();
}

void VolumeRenderWidget::showModeInCombo(int index)
{
    // The combo names the mode that is drawn, so that every other entry is a change the user can choose.
    if (m_projectionCombo->currentIndex() != index) {
        const QSignalBlocker block(m_projectionCombo);
        m_projectionCombo->setCurrentIndex(index);
    }
}

void VolumeRenderWidget::setProjectionMode(render::ProjectionMode mode)
{
    m_params.renderMode = 0;
    m_params.projectionMode = mode;
    if (int(mode) >= 0 && int(mode) <= 2)
        showModeInCombo(int(mode));
    renderFull();
}

void VolumeRenderWidget::setVrtPreset(const render::TransferFunctionPreset& preset)
{
    m_params.renderMode = 1;
    m_params.transferFunction.name = preset.name;
    m_params.transferFunction.points = preset.points;
    showModeInCombo(kVrtItem);
    renderFull();
}

void VolumeRenderWidget::returnToVrt()
{
    // Back to the transfer function shown last; a view that never had one starts with the first built-in.
    render::TransferFunctionPreset preset = m_params.transferFunction;
    if (preset.points.isEmpty() && !render::transferFunctionPresets().isEmpty())
        preset = render::transferFunctionPresets().first();
    setVrtPreset(preset);
}

// The view a window opens with: from the front, the whole volume in the picture.
void VolumeRenderWidget::resetView()
{
    setViewPreset(render::ViewFront);
}

void VolumeRenderWidget::setViewPreset(render::VolumeViewPreset preset)
{
    volumecamera::presetRotation(int(preset), &m_params.rotation);
    m_params.zoom = volumecamera::fitZoom(m_params.rotation, m_volume);
    m_params.panX = m_params.panY = 0.0;
    m_inPlaneAngle = 0.0;
    renderFull();
}

void VolumeRenderWidget::setRotationMode(VolumeRotationMode mode)
{
    m_rotationMode = mode;
    m_inPlaneAngle = 0.0;
    update();
}

render::VolumeCameraState VolumeRenderWidget::cameraState() const
{
    return {m_params.rotation, m_params.zoom, m_params.panX, m_params.panY};
}

void VolumeRenderWidget::setCameraState(const render::VolumeCameraState& state)
{
    m_params.rotation = state.rotation;
    m_params.zoom = state.zoom;
    m_params.panX = state.panX;
    m_params.panY = state.panY;
    renderFull();
}

void VolumeRenderWidget::renderAt(int imageSize, int sampleCount, bool fine)
{
    if (!hasUsableVolume()) {
        m_image = QImage();
        update();
        return;
    }
    if (!isVisible()) {
        // A hidden view (the CPU page behind the GPU one) would block the event loop for a picture
        // nobody sees, on every preset and editor change: it renders once when it is shown.
        m_renderDeferred = true;
        return;
    }
    m_renderDeferred = false;
    m_params.imageSize = imageSize;
    m_params.sampleCount = sampleCount;
    m_params.fullQuality = fine;
    // A preview is drawn as bright as the full image that follows it.
    m_params.fullImageSamples = fine ? 0 : render::raySampleCount(*m_volume, kFullSamples, true);
    m_image = render::renderVolumeCpu(*m_volume, m_params, &m_renderCache);
    update();
}

void VolumeRenderWidget::renderPreview()
{
    m_previewPending = false;
    renderAt(kPreviewSize, kPreviewSamples, false);
}

void VolumeRenderWidget::renderFull()
{
    m_throttleTimer->stop();
    m_previewPending = false;
    renderAt(kFullSize, kFullSamples, true);
}

void VolumeRenderWidget::schedulePreview()
{
    m_previewPending = true;
    if (!m_throttleTimer->isActive())
        m_throttleTimer->start(kThrottleMs);
}

void VolumeRenderWidget::onThrottleTimeout()
{
    if (m_previewPending)
        renderPreview();
}

void VolumeRenderWidget::onSettleTimeout()
{
    renderFull();
    emit cameraSettled();
}

void VolumeRenderWidget::mousePressEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    switch (event->button()) {
    case Qt::LeftButton:
        m_leftDown = true;
        m_lastPos = pos;
        if (m_rotationMode == FreeRotation)
            m_arcballStart = volumecamera::arcballVector(event->position(), size());
        break;
    case Qt::MiddleButton:
        m_middleDown = true;
        m_lastPos = pos;
        break;
    case Qt::RightButton:
        m_rightDown = true;
        m_lastPos = pos;
        break;
    default:
        return;
    }
    event->accept();
}

void VolumeRenderWidget::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint pos = event->position().toPoint();
    if (m_leftDown) {
        if (m_rotationMode == FreeRotation) {
            const QVector3D p1 = volumecamera::arcballVector(event->position(), size());
            m_params.rotation = volumecamera::freeRotationStep(m_params.rotation, m_arcballStart, p1, +1.f);
            m_arcballStart = p1;
            schedulePreview();
        } else {
            const double previous = volumecamera::pointerAngleDeg(QPointF(m_lastPos), size());
            const double current = volumecamera::pointerAngleDeg(event->position(), size());
            m_inPlaneAngle += volumecamera::wrapAngleDelta(current - previous);
            m_lastPos = pos;
            update();
        }
    } else if (m_middleDown) {
        const QPoint d = pos - m_lastPos;
        m_params.panX -= kPanMmPerPixel * d.x();
        m_params.panY += kPanMmPerPixel * d.y();
        m_lastPos = pos;
        schedulePreview();
    } else if (m_rightDown) {
        const QPoint d = pos - m_lastPos;
        m_params.window.width = std::max(1.0, m_params.window.width + kWindowPerPixel * d.x());
        m_params.window.center += kWindowPerPixel * d.y();
        m_lastPos = pos;
        schedulePreview();
    }
}

void VolumeRenderWidget::mouseReleaseEvent(QMouseEvent* event)
{
    switch (event->button()) {
    case Qt::LeftButton:
        m_leftDown = false;
        if (m_rotationMode == FreeRotation) {
            renderFull();
            emit cameraSettled();
        }
        break;
    case Qt::MiddleButton:
        m_middleDown = false;
        renderFull();
        emit cameraSettled();
        break;
    case Qt::RightButton:
        m_rightDown = false;
        renderFull();
        break;
    default:
        return;
    }
    event->accept();
}

void VolumeRenderWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    emit doubleClicked();
    event->accept();
}

void VolumeRenderWidget::wheelEvent(QWheelEvent* event)
{
    m_params.zoom = volumecamera::wheelZoom(m_params.zoom, event->angleDelta().y());
    renderPreview();
    m_settleTimer->start(kSettleMs);
    event->accept();
}

void VolumeRenderWidget::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_renderDeferred)
        renderFull();
}

void VolumeRenderWidget::resizeEvent(QResizeEvent* event)
{
    // The next paint scales the last image to the new size.
    QWidget::resizeEvent(event);
}

void VolumeRenderWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const int w = width(), h = height();
    painter.fillRect(rect(), QColor(20, 20, 20));
    if (m_image.isNull()) {
        painter.setPen(QColor(140, 140, 140));
        painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("3D — нет объёма\n(постройте MPR из серии)"));
        return;
    }
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    const int side = std::min(w, h);
    const QRect target((w - side) / 2, (h - side) / 2, side, side);
    if (m_rotationMode == InPlaneRotation && std::abs(m_inPlaneAngle) > 1e-6) {
        const QImage turned = m_image.transformed(QTransform().rotate(m_inPlaneAngle), Qt::SmoothTransformation);
        const QRect middle((turned.width() - m_image.width()) / 2, (turned.height() - m_image.height()) / 2,
                           m_image.width(), m_image.height());
        painter.drawImage(target, turned, middle);
    } else {
        painter.drawImage(target, m_image);
    }

    painter.setPen(QColor(255, 214, 51));
    QString title;
    if (m_params.renderMode == 1) {
        title = QStringLiteral("3D VRT: %1").arg(m_params.transferFunction.name);
    } else {
        const QString projection = m_params.projectionMode == 0   ? QStringLiteral("MIP")
                                   : m_params.projectionMode == 1 ? QStringLiteral("MinIP")
                                                                  : QStringLiteral("AvgIP");
        title = QStringLiteral("3D (%1)").arg(projection);
    }
    painter.drawText(QPoint(8, 18), title);

    painter.setPen(QColor(150, 150, 150));
    QFont font = painter.font();
    font.setPointSize(8);
    painter.setFont(font);
    const QString drag = m_rotationMode == InPlaneRotation ? QStringLiteral("ЛКМ — поворот в плоскости")
                                                           : QStringLiteral("ЛКМ — свободный поворот");
    painter.drawText(QRect(8, h - 20, w - 16, 18), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("%1 · СКМ — перемещение · колесо — масштаб · ПКМ — яркость").arg(drag));
}
