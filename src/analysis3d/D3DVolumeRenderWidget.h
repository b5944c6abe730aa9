#pragma once

#include "analysis3d/SurfaceMeasurement.h"
#include "analysis3d/VolumeRotationMode.h"

#include "render/GpuCropMaskTexture.h"
#include "render/GpuCropSlot.h"
#include "render/GpuDevice.h"
#include "render/GpuLineRenderer.h"
#include "render/GpuMipRenderer.h"
#include "render/GpuSliceRenderer.h"
#include "render/GpuTransferFunctionTexture.h"
#include "render/GpuVolumeTexture.h"
#include "render/GpuVrtRenderer.h"
#include "render/VolumeRenderer.h"

#include <QImage>
#include <QList>
#include <QPoint>
#include <QQuaternion>
#include <QVector3D>
#include <QWidget>

#include <array>

class QTimer;

// The GPU 3D view: a maximum intensity projection until a transfer function is applied, volume
// rendering after it, every frame at full quality. The frame is drawn offscreen by the GPU renderers
// and painted as an image. Free-hand crops cut through the volume; in the perspective (endoscopy)
// camera, distances are measured between picked surface points. The device is made at the first show;
// when that fails, `initializationFailed` tells the host to use the CPU view instead.
class D3DVolumeRenderWidget : public QWidget
{
    Q_OBJECT

public:
    explicit D3DVolumeRenderWidget(QWidget* parent = nullptr);
    ~D3DVolumeRenderWidget() override;

    // Stores the MIP window; a non-null volume is uploaded (now, or at the first show) and picked on.
    void setVolume(const render::Volume* volume, double windowCenter, double windowWidth);
    void setVrtPreset(const render::TransferFunctionPreset& preset);
    void resetVrtWindow();
    void resetView();
    void setViewPreset(render::VolumeViewPreset preset);
    void setRotationMode(VolumeRotationMode mode);
    render::VolumeCameraState cameraState() const;
    void setCameraState(const render::VolumeCameraState& state);

    // The perspective camera of virtual endoscopy; positions in mm from the volume's centre.
    void setPerspectiveCamera(bool enabled, const float positionMm[3], const float direction[3], const float up[3],
                              float fovDeg);
    void setCameraPose(const float positionMm[3], const float direction[3], const float up[3]);
    void resetEndoscopyLook();

    // Crops drawn on the view (outside the perspective camera).
    void setCropDrawingEnabled(bool enabled);
    void removeLastCrop();
    void clearCrops();
    // Surface measurements (perspective camera only).
    void setMeasurementMode(bool enabled);
    void deleteSelectedMeasurement();

    // The keep mask of an outline drawn on a view of this size: white kept, black (inside) cut away,
    // in the centred square in which the frame is drawn.
    static QImage cropMask(const QList<QPoint>& outline, const QSize& viewSize);
    // The unit ray through a widget point in the perspective camera.
    QVector3D perspectiveRay(const QPoint& point) const;
    // The first point along the ray where the accumulated preset opacity reaches one half.
    bool pickSurface(const QVector3D& originMm, const QVector3D& direction, QVector3D* hit) const;
    // Ray steps of a frame: by the volume's size and resolution within [220, 800], at most 120 while
    // an outline is drawn.
    int rayStepCount() const;

    bool isInitialized() const { return m_initialized; }
    int renderMode() const { return m_renderMode; }
    int cropCount() const { return m_cropCount; }
    float zoom() const { return m_zoom; }
    float fovDeg() const { return m_fovDeg; }
    float lookYawDeg() const { return m_lookYawDeg; }
    float lookPitchDeg() const { return m_lookPitchDeg; }
    double vrtWindowCenter() const { return m_vrtWindowCenter; }
    double vrtWindowWidth() const { return m_vrtWindowWidth; }
    double windowCenter() const { return m_windowCenter; }
    double windowWidth() const { return m_windowWidth; }
    QVector3D cameraPositionMm() const { return m_cameraPosMm; }
    QVector3D cameraDirection() const { return m_cameraDir; }
    QVector3D cameraUpVector() const { return m_cameraUp; }
    const QList<SurfaceMeasurement>& measurements() const { return m_measurements; }
    int selectedMeasurement() const { return m_selectedIndex; }
    // The last frame painted; null before the first.
    QImage lastFrame() const { return m_frame; }

signals:
    void initializationFailed(const QString& errorMessage);
    void statusMessage(const QString& message);
    void cameraSettled();
    void measurementSelectionChanged(bool hasSelection);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    struct Basis
    {
        QVector3D dir, right, up;
    };
    struct CropState
    {
        QVector3D dir, right, up;
        float halfExtentMm = 1.f;
        float panU = 0.f;
        float panV = 0.f;
    };
    enum class MeasurementHit { None, EndA, EndB, Segment };

    void initializeDevice();
    void uploadVolume(const render::Volume* volume);
    void uploadTransferFunction();
    Basis cameraBasis() const;
    QImage renderFrame();

    void finishCropOutline();
    bool measurementPress(const QPoint& pos);
    bool measurementMove(const QPoint& pos);
    void measurementRelease(const QPoint& pos);
    MeasurementHit hitTestMeasurement(const QPoint& pos, int* index) const;
    bool pickAt(const QPoint& pos, QVector3D* hit) const;
    void placeLabel(SurfaceMeasurement& measurement);
    void restyleLabels();
    void setSelected(int index);

    // Imaging-core objects, released in the reverse order.
    render::GpuDevice m_device;
    render::GpuVolumeTexture m_volumeTexture;
    render::GpuSliceRenderer m_sliceRenderer;
    render::GpuMipRenderer m_mipRenderer;
    render::GpuTransferFunctionTexture m_transferTexture;
    render::GpuVrtRenderer m_vrtRenderer;
    std::array<render::GpuCropMaskTexture, render::kMaxCropSlots> m_cropMasks;
    render::GpuLineRenderer m_lineRenderer;

    const render::Volume* m_pendingVolume = nullptr;
    bool m_presetPending = false;
    render::TransferFunctionPreset m_pendingPreset;
    bool m_initialized = false;
    bool m_initAttempted = false;
    double m_windowCenter = 40.0;
    double m_windowWidth = 400.0;
    double m_vrtWindowCenter = 1023.5;
    double m_vrtWindowWidth = 4095.0;
    double m_volumeMinHu = -1024.0;
    double m_volumeMaxHu = 3071.0;
    int m_renderMode = 1; // 1 MIP, 2 VRT
    int m_projectionMode = 0;
    QVector3D m_extentMm{1, 1, 1};
    QVector3D m_voxelSizeMm{1, 1, 1};
    float m_halfDiagonalMm = 1.f;
    QQuaternion m_rotation;
    float m_zoom = 0.6f;
    float m_panX = 0.f;
    float m_panY = 0.f;
    bool m_rotateDrag = false;
    bool m_panDrag = false;
    bool m_windowDrag = false;
    bool m_rightDrag = false;
    bool m_rightZooms = false;
    QPoint m_lastPos;
    QVector3D m_arcballStart{0, 0, 1};
    VolumeRotationMode m_rotationMode = FreeRotation;
    double m_inPlaneAngle = 0.0;

    // Crops.
    bool m_cropDrawingEnabled = false;
    bool m_drawingOutline = false;
    int m_cropCount = 0;
    QList<QPoint> m_outline;
    std::array<CropState, render::kMaxCropSlots> m_crops;

    // Measurements.
    bool m_measurementMode = false;
    QList<SurfaceMeasurement> m_measurements;
    int m_selectedIndex = -1;
    bool m_drawingMeasurement = false;
    QPoint m_newStartScreen;
    QVector3D m_newStartWorld;
    QPoint m_newCurrentScreen;
    int m_dragIndex = -1;
    bool m_dragEndB = false;

    QTimer* m_settleTimer = nullptr;

    // Perspective camera.
    bool m_perspectiveEnabled = false;
    QVector3D m_cameraPosMm{0, 0, 0};
    QVector3D m_cameraDir{0, 0, 1};
    QVector3D m_cameraUp{0, 1, 0};
    float m_fovDeg = 90.f;
    float m_lookYawDeg = 0.f;
    float m_lookPitchDeg = 0.f;
    QPoint m_lookLastPos;
    bool m_lookDrag = false;

    const render::Volume* m_pickVolume = nullptr;
    render::TransferFunctionPreset m_currentPreset;
    QImage m_frame;
};
