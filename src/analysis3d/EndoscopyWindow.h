#pragma once
// Virtual endoscopy: a fly-through of an air-filled lumen (colon, bronchi). The window builds the
// series' volumes on a worker thread, traces a flight path from the seed clicked in the viewer on a
// second worker thread, and shows a perspective view from inside the lumen on the GPU view next to a
// reference column with the current slice and a whole-path overview.

#include "analysis3d/EndoscopyBuildWorkers.h"
#include "analysis3d/EndoscopyReferencePanel.h"

#include "db/InstanceRecord.h"
#include "render/FusionVolume.h"
#include "render/Volume.h"

#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QPointF>
#include <QPointer>
#include <QString>

#include <array>
#include <atomic>
#include <memory>

class D3DVolumeRenderWidget;
class QLabel;
class QPushButton;
class QSlider;
class QThread;
class QTimer;

class EndoscopyWindow : public QMainWindow
{
public:
    EndoscopyWindow(const QList<db::InstanceRecord>& slices, const double seedPointMm[3], double windowCenter,
                    double windowWidth, const QString& title, QWidget* parent = nullptr);
    ~EndoscopyWindow() override;

    void startVolumeBuild();
    void onVolumeBuilt(std::shared_ptr<render::FusionVolume> pathVolume, render::Volume renderVolume, bool nonAxial,
                       QImage overviewImage, QString errorText);
    void buildPathFromSeed(const double pointMm[3]);
    void rebuildPathAlongCurve(const QList<std::array<double, 3>>& curve, int startIndex);
    void onPathBuilt(QList<EndoscopyCameraFrame> frames, QList<QPointF> overviewPoints, double startDistanceMm,
                     QString errorText);
    void showPathPosition(int sliderValue);
    void stepBy(int direction);
    void chooseBranch(bool left);

    // Reference-panel requests, also driven by the panel's signals.
    void onSliceClicked(const QPointF& pixel);
    void onSliceScroll(int delta);
    void onPlaneChange(EndoscopyReferencePanel::SlicePlane plane);

    // State read by tests and by nothing else.
    bool isBuilding() const;
    // The flag raised when the window goes: its builds still running end early, without results.
    std::shared_ptr<const std::atomic_bool> buildStopFlag() const { return m_stop; }
    const QList<EndoscopyCameraFrame>& pathFrames() const { return m_frames; }
    const render::Volume& renderVolume() const { return m_renderVolume; }
    std::shared_ptr<render::FusionVolume> pathVolume() const { return m_pathVolume; }
    bool branchDetected() const { return m_branchDetected; }
    int currentFrameIndex() const { return m_frameIndex; }
    int manualSliceIndex() const { return m_manualSlice; }
    D3DVolumeRenderWidget* view() const { return m_view; }
    EndoscopyReferencePanel* referencePanel() const { return m_panel; }
    QLabel* warningLabel() const { return m_warning; }
    QSlider* positionSlider() const { return m_positionSlider; }
    QSlider* speedSlider() const { return m_speedSlider; }
    QPushButton* flyForwardButton() const { return m_flyForward; }
    QPushButton* flyBackwardButton() const { return m_flyBackward; }
    QPushButton* stepForwardButton() const { return m_stepForward; }
    QPushButton* stepBackButton() const { return m_stepBack; }
    QPushButton* leftBronchusButton() const { return m_leftBronchus; }
    QPushButton* rightBronchusButton() const { return m_rightBronchus; }
    QPushButton* deleteMeasurementButton() const { return m_deleteMeasurement; }
    QTimer* flyTimer() const { return m_flyTimer; }

    // Where a point of the render volume (continuous voxel indices) lands in the reference slice image
    // of a plane, and back; `image` is the slice image shown (its size tells a rescaled axial image).
    static QPointF slicePixel(const render::Volume& volume, EndoscopyReferencePanel::SlicePlane plane,
                              const QImage& image, double x, double y, double z);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildUi();
    void showWarning(const QString& text);
    void setPathControlsEnabled(bool enabled);
    void onFlyToggled(QPushButton* button, bool checked);
    void onFlyTick();
    void startPathWorker(EndoscopyPathBuildWorker* worker, bool seedMode);
    QImage renderReferenceSlice(EndoscopyReferencePanel::SlicePlane plane, int index) const;
    bool volumesReady() const;

    QList<db::InstanceRecord> m_slices;
    double m_seed[3] = {0.0, 0.0, 0.0};
    double m_windowCenter = 0.0;
    double m_windowWidth = 0.0;
    QString m_title;

    std::shared_ptr<render::FusionVolume> m_pathVolume;
    render::Volume m_renderVolume;
    bool m_nonAxial = false;
    QList<EndoscopyCameraFrame> m_frames;
    QList<QPointF> m_overviewPath;
    bool m_branchDetected = false;
    QList<std::array<double, 3>> m_pathPoints;
    QList<std::array<double, 3>> m_leftBranch;
    QList<std::array<double, 3>> m_rightBranch;

    D3DVolumeRenderWidget* m_view = nullptr;
    EndoscopyReferencePanel* m_panel = nullptr;
    QLabel* m_warning = nullptr;
    QString m_volumeWarnings; // the builder's, shown above every other warning
    QSlider* m_positionSlider = nullptr;
    QSlider* m_speedSlider = nullptr;
    QPushButton* m_stepBack = nullptr;
    QPushButton* m_flyBackward = nullptr;
    QPushButton* m_flyForward = nullptr;
    QPushButton* m_stepForward = nullptr;
    QPushButton* m_measurement = nullptr;
    QPushButton* m_deleteMeasurement = nullptr;
    QPushButton* m_leftBronchus = nullptr;
    QPushButton* m_rightBronchus = nullptr;
    QTimer* m_flyTimer = nullptr;

    int m_axialShown = -1;
    QImage m_axialImage;
    int m_otherShown = -1; // coronal or sagittal, whichever the plane is
    QImage m_otherImage;
    int m_manualSlice = -1;
    EndoscopyReferencePanel::SlicePlane m_plane = EndoscopyReferencePanel::Axial;
    int m_frameIndex = -1;
    int m_flySpeed = 3;
    bool m_shownOnce = false;

    QPointer<QThread> m_volumeThread;
    QPointer<QThread> m_pathThread;
    std::shared_ptr<std::atomic_bool> m_stop = std::make_shared<std::atomic_bool>(false);
};
