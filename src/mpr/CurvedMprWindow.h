#pragma once

#include "dicom/WindowLevel.h"
#include "render/CurvedMprRenderer.h"
#include "render/FusionVolume.h"

#include <QList>
#include <QMainWindow>

#include <array>
#include <memory>
#include <optional>

class CrossSectionPanel;
class CurveEditorWidget;
class MprViewportWidget;
class QAction;
class QActionGroup;
class QComboBox;
class QLabel;
class QMenu;
class QSlider;
class QSplitter;
class QToolBar;
class QToolButton;

// A straightened reconstruction of a volume along a centreline edited in three orthogonal panes
// (axial, front, side). Every finished edit or parameter change renders again on the GUI thread; in
// the vessel presentation a column of perpendicular sections follows the picked position.
class CurvedMprWindow : public QMainWindow
{
    Q_OBJECT

public:
    enum PresentationMode { CurvedMpr = 0, VesselAnalysis = 1, Panoramic = 2 };

    CurvedMprWindow(std::shared_ptr<render::FusionVolume> volume, const QList<std::array<double, 3>>& points,
                    double windowCenter, double windowWidth, QWidget* parent, PresentationMode mode,
                    std::optional<render::WindowLevel> traceWindow);

    // The volume builder's warnings (one a line), shown under the banner for as long as the window is
    // open: the straightened image and the sections lie as the volume places them. Empty hides them.
    void setVolumeWarnings(const QString& warnings);

    void rebuild(bool preview);
    void applyResult(const render::CurvedMprResult& result, bool fit);
    void setWindowLevel(double center, double width);
    void renderResultImage();
    void onResultPositionClicked(double normX, double normY);
    void refreshCrossSections();
    void updatePositionMarker(double positionMm);
    void toggleMaximizedPane(QWidget* pane);
    void saveState();
    void loadState();
    void openVesselProfile();
    void showCustomWindowLevelDialog();

    // Reads and writes of a state document without file dialogs; the messages are the user's own.
    QString saveStateTo(const QString& path);
    QString loadStateFrom(const QString& path);

    // State read by the owner and by tests.
    PresentationMode mode() const { return m_mode; }
    int rotationDeg() const { return m_rotationDeg; }
    double offsetMm() const { return m_offsetMm; }
    double widthMm() const { return m_widthMm; }
    double thicknessMm() const { return m_thicknessMm; }
    double smoothing() const { return m_smoothing; }
    int orientationChoice() const { return m_orientationChoice; }
    int slabMode() const { return m_slabMode; }
    double windowCenter() const { return m_windowCenter; }
    double windowWidth() const { return m_windowWidth; }
    bool verticalLayout() const { return m_verticalLayout; }
    double positionMm() const { return m_positionMm; }
    const render::CurvedMprResult& result() const { return m_result; }
    QWidget* maximizedPane() const { return m_maximizedPane; }
    MprViewportWidget* resultPane() const { return m_resultPane; }
    CurveEditorWidget* axialEditor() const { return m_axialEditor; }
    CurveEditorWidget* frontEditor() const { return m_frontEditor; }
    CurveEditorWidget* sideEditor() const { return m_sideEditor; }
    CrossSectionPanel* crossSectionPanel() const { return m_crossSectionPanel; }
    QLabel* volumeWarning() const { return m_volumeWarning; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool hasValidVolume() const;
    void buildToolBars();
    QAction* addToolAction(const QIcon& icon, const QString& text, int toolMode);
    QAction* addWindowPreset(const QString& name, double center, double width);
    QSlider* addParameterSlider(QToolBar* bar, const QString& label, int lo, int hi, int value, const QString& text,
                                int sliderWidth, int labelWidth, const QString& tip, QLabel** valueLabel);
    void syncControlsToFields();
    void mirrorPoints(CurveEditorWidget* source, bool preview);
    void activateCrossSectionOffset(double offsetMm);
    void fitAllViews();
    void showWarning(const QString& title, const QString& text);

    PresentationMode m_mode = CurvedMpr;
    std::shared_ptr<render::FusionVolume> m_volume;
    double m_initialCenter = 0.0;
    double m_initialWidth = 1.0;
    std::optional<render::WindowLevel> m_traceWindow;

    int m_rotationDeg = 0;
    double m_offsetMm = 0.0;
    double m_widthMm = 100.0;
    double m_thicknessMm = 0.0;
    double m_smoothing = 0.0;
    int m_orientationChoice = 0;
    int m_slabMode = 1;
    double m_windowCenter = 0.0;
    double m_windowWidth = 1.0;
    bool m_verticalLayout = false;

    render::CurvedMprResult m_result;
    double m_positionMm = 0.0;
    QWidget* m_maximizedPane = nullptr;
    bool m_shownOnce = false;

    MprViewportWidget* m_resultPane = nullptr;
    CurveEditorWidget* m_axialEditor = nullptr;
    CurveEditorWidget* m_frontEditor = nullptr;
    CurveEditorWidget* m_sideEditor = nullptr;
    CrossSectionPanel* m_crossSectionPanel = nullptr;
    QLabel* m_volumeWarning = nullptr;
    QSplitter* m_topSplitter = nullptr;
    QSplitter* m_bottomSplitter = nullptr;
    QSplitter* m_verticalSplitter = nullptr;
    QSplitter* m_outerSplitter = nullptr;

    QToolBar* m_toolsBar = nullptr;
    QToolBar* m_paramsBar = nullptr;
    QList<QAction*> m_toolActions;
    QActionGroup* m_toolGroup = nullptr;
    QAction* m_rebuildAction = nullptr;
    QAction* m_undoAction = nullptr;
    QAction* m_redoAction = nullptr;
    QAction* m_saveAction = nullptr;
    QAction* m_loadAction = nullptr;
    QAction* m_profileAction = nullptr;
    QComboBox* m_layoutCombo = nullptr;
    QSlider* m_widthSlider = nullptr;
    QLabel* m_widthLabel = nullptr;
    QSlider* m_rotationSlider = nullptr;
    QLabel* m_rotationLabel = nullptr;
    QSlider* m_offsetSlider = nullptr;
    QLabel* m_offsetLabel = nullptr;
    QSlider* m_thicknessSlider = nullptr;
    QLabel* m_thicknessLabel = nullptr;
    QSlider* m_smoothingSlider = nullptr;
    QLabel* m_smoothingLabel = nullptr;
    QToolButton* m_windowButton = nullptr;
    QMenu* m_windowMenu = nullptr;
    QComboBox* m_slabCombo = nullptr;
};

// ROI text of the straightened image: statistics over the ellipse inscribed in the rectangle.
QString curvedMprEllipseStats(const QList<float>& samples, int gridWidth, int gridHeight, const QRectF& rect);
