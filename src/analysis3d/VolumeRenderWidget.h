#pragma once

#include "analysis3d/VolumeRotationMode.h"

#include "render/VolumeRenderer.h"

#include <QImage>
#include <QPoint>
#include <QVector3D>
#include <QWidget>

class QComboBox;
class QTimer;

// The 3D view that ray-casts a volume on the processor: MIP, MinIP, mean projection or VRT. Small
// previews while the camera moves, one full-quality image when it comes to rest; a hidden view renders
// when it is shown. It does not own the volume; the host keeps it alive while it is set.
class VolumeRenderWidget : public QWidget
{
    Q_OBJECT

public:
    explicit VolumeRenderWidget(QWidget* parent = nullptr);
    ~VolumeRenderWidget() override;

    // Stores the window (width at least 1) and the volume, and renders; the camera stays. Null gives
    // the empty view.
    void setVolume(const render::Volume* volume, double windowCenter, double windowWidth);

    const render::VolumeRenderParams& renderParams() const { return m_params; }
    QImage image() const { return m_image; }
    VolumeRotationMode rotationMode() const { return m_rotationMode; }
    double inPlaneAngle() const { return m_inPlaneAngle; }
    QComboBox* projectionCombo() const { return m_projectionCombo; }

    // Preview and full-quality image settings.
    static constexpr int kPreviewSize = 160;
    static constexpr int kPreviewSamples = 70;
    static constexpr int kFullSize = 420;
    static constexpr int kFullSamples = 220;
    // The mode box lists MIP, MinIP and mean projection (indexes 0..2), then this entry for VRT.
    static constexpr int kVrtItem = 3;

signals:
    void doubleClicked();
    // The camera has come to rest after a user interaction; setters never emit it.
    void cameraSettled();

public slots:
    void setProjectionMode(render::ProjectionMode mode);
    void setVrtPreset(const render::TransferFunctionPreset& preset);
    void resetView();
    void setViewPreset(render::VolumeViewPreset preset);
    void setRotationMode(VolumeRotationMode mode);
    render::VolumeCameraState cameraState() const;
    void setCameraState(const render::VolumeCameraState& state);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    bool hasUsableVolume() const;
    void showModeInCombo(int index);
    void returnToVrt();
    void renderPreview();
    void renderFull();
    void renderAt(int imageSize, int sampleCount, bool fine);
    void schedulePreview();
    void onThrottleTimeout();
    void onSettleTimeout();

    const render::Volume* m_volume = nullptr;
    render::VolumeRenderParams m_params;
    // Block ranges and empty blocks of the volume, shared by the previews and full images of a view.
    render::VolumeRenderCache m_renderCache;
    QImage m_image;
    VolumeRotationMode m_rotationMode = FreeRotation;
    double m_inPlaneAngle = 0.0;
    QVector3D m_arcballStart{0, 0, 1};
    bool m_leftDown = false;
    bool m_middleDown = false;
    bool m_rightDown = false;
    QPoint m_lastPos;
    QTimer* m_throttleTimer = nullptr;
    bool m_previewPending = false;
    QTimer* m_settleTimer = nullptr;
    QComboBox* m_projectionCombo = nullptr;
    bool m_renderDeferred = false;
};
