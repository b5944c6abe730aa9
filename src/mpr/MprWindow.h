#pragma once

#include "mpr/MprPlane.h"

#include "db/InstanceRecord.h"
#include "render/Volume.h"

#include <QList>
#include <QMainWindow>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <QVector3D>

#include <array>
#include <atomic>
#include <memory>

class MprViewportWidget;
class QActionGroup;
class QDoubleSpinBox;
class QComboBox;
class QSplitter;
class QStackedLayout;
class QThread;
class QToolButton;
class VolumeRenderWidget;
class VolumeWarningLabel;

// The orthogonal multiplanar reconstruction window: builds a volume from a series on a worker thread, then
// shows axial, coronal and sagittal reslice panes tied by one crosshair, beside a CPU volume view.
// Any drag of a crosshair line with the axes-grab tool turns the panes into oblique planes through a common
// centre point until the rotation is reset.
class MprWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int kObliqueImageSide = 400;

    MprWindow(const QList<db::InstanceRecord>& slices, const QString& seriesTitle, QWidget* parent,
              double windowCenter, double windowWidth);
    ~MprWindow() override;

    void updateViews();
    void updateCrosshairs();
    void rotateAxes(int plane, double angleDeg);
    void resetRotation();
    QString roiStatistics(int plane, int slice, const QRectF& rect) const;

    // Arrangement of the panes
    void setThreePaneLayout(bool on);
    void equalizeSplitters();
    void toggleMaximized(QWidget* widget);
    void swapPanes(MprViewportWidget* source, MprPlane targetPlane);

    // State read by tests and embedding code
    const render::Volume& volume() const { return m_volume; }
    bool isBuilding() const { return m_building; }
    // The flag raised when the window goes: its builds still running end early, without results.
    std::shared_ptr<const std::atomic_bool> buildStopFlag() const { return m_stop; }
    std::array<int, 3> crosshairIndices() const { return {m_x, m_y, m_z}; }
    QVector3D centrePoint() const { return m_centre; }
    double windowCenter() const { return m_windowCenter; }
    double windowWidth() const { return m_windowWidth; }
    double slabThickness() const { return m_slabThickness; }
    int slabMode() const { return m_slabMode; }
    bool axesRotated() const { return m_axesRotated; }
    double obliquePixelSize() const { return m_obliquePixelSize; }
    QVector3D planeAxisU(int plane) const { return m_axisU[plane]; }
    QVector3D planeAxisV(int plane) const { return m_axisV[plane]; }
    MprViewportWidget* pane(int plane) const { return m_panes[plane]; }
    VolumeRenderWidget* volumeView() const { return m_volumeView; }
    VolumeWarningLabel* volumeWarning() const { return m_volumeWarning; }
    bool isThreePaneLayout() const { return m_threePaneLayout; }
    QWidget* maximizedWidget() const { return m_maximized; }

public slots:
    void onAxialClicked(double normX, double normY);
    void onCoronalClicked(double normX, double normY);
    void onSagittalClicked(double normX, double normY);
    void onAxialWheel(int direction);
    void onCoronalWheel(int direction);
    void onSagittalWheel(int direction);
    void onWindowLevelDragged(double deltaCenter, double deltaWidth);

public:
    void onVolumeBuilt(const QString& error);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildPanes();
    void buildToolbar();
    void startBuild(const QList<db::InstanceRecord>& slices, const QString& seriesTitle);
    void paneClicked(int plane, double normX, double normY);
    void paneWheel(int plane, int direction);
    void setDefaultAxes();
    void clampCentre();
    double smallestSpacing() const;
    double panePixelSpacing(int plane) const;
    void fitPanesLater();
    void setToolMode(int mode);

    bool m_threePaneLayout = false;
    render::Volume m_volume;
    int m_x = 0;
    int m_y = 0;
    int m_z = 0;
    double m_windowCenter = 0.0;
    double m_windowWidth = 1.0;
    double m_slabThickness = 0.0;
    int m_slabMode = 1;
    double m_initialCenter = 0.0;
    double m_initialWidth = 0.0;
    std::array<QVector3D, 3> m_axisU;
    std::array<QVector3D, 3> m_axisV;
    bool m_axesRotated = false;
    QVector3D m_centre;
    double m_obliquePixelSize = 1.0;
    std::array<MprViewportWidget*, 3> m_panes{nullptr, nullptr, nullptr};
    std::array<int, 3> m_sliderValues{0, 0, 0}; // where each pane's slider stands
    VolumeRenderWidget* m_volumeView = nullptr;
    VolumeWarningLabel* m_volumeWarning = nullptr;
    bool m_firstShowDone = false;
    bool m_building = false;

    QSplitter* m_gridSplitter = nullptr;
    QSplitter* m_topRow = nullptr;
    QSplitter* m_bottomRow = nullptr;
    QSplitter* m_mainSplitter = nullptr;
    QSplitter* m_rightColumn = nullptr;
    QStackedLayout* m_stack = nullptr;
    QPointer<QWidget> m_maximized;
    QToolButton* m_toolButton = nullptr;
    QPointer<QThread> m_thread;
    std::shared_ptr<std::atomic_bool> m_stop = std::make_shared<std::atomic_bool>(false);
};
