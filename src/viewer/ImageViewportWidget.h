#pragma once

#include "viewer/SeriesOverlayInfo.h"
#include "viewer/ViewportMeasurement.h"
#include "viewer/ViewportMouseState.h"

#include "db/InstanceRecord.h"
#include "dicom/WindowLevel.h"
#include "render/HuImage.h"
#include "render/Volume.h"

#include <QHash>
#include <QLineF>
#include <QList>
#include <QPointF>
#include <QPolygonF>
#include <QRectF>
#include <QSet>
#include <QString>
#include <QTransform>
#include <QWidget>

#include <array>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGraphicsEllipseItem;
class QGraphicsLineItem;
class QGraphicsPathItem;
class QGraphicsPixmapItem;
class QGraphicsScene;
class QGraphicsView;
class QLabel;
class QMimeData;
class QScrollBar;
class QToolButton;
class QWheelEvent;

namespace render {
struct FusionVolume;
}

// 0 shows the corner texts, 1 hides them.
using TagsDisplayMode = int;

// One 2D viewing panel: shows one series as a stack of slices, one slice at a time, with window/level,
// zoom, pan, rotation and flips, or a reconstruction of the whole series in another plane.
class ImageViewportWidget : public QWidget
{
    Q_OBJECT

public:
    using Measurement = ViewportMeasurement;
    using MeasurementInfo = ViewportMeasurementInfo;

    // What the panel remembers of a series it has shown, restored when the series is shown again.
    struct ViewState
    {
        int sliceIndex = 0;
        QTransform transform;
        int horizontalScroll = 0;
        int verticalScroll = 0;
        bool userZoomed = false;
        bool userWindow = false;
        double windowCenter = 0.0;
        double windowWidth = 0.0;
        int rotation = 0;
        bool flipHorizontal = false;
        bool flipVertical = false;
    };

    explicit ImageViewportWidget(QWidget* parent = nullptr);
    ~ImageViewportWidget() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

    // Series and slices
    void showSeries(const QList<db::InstanceRecord>& slices, const SeriesOverlayInfo& info);
    void mergeSlices(const QList<db::InstanceRecord>& incoming);
    void clearSeries();
    std::optional<db::InstanceRecord> currentSlice() const;
    double currentPixelSpacing() const;
    int imageWidth() const;
    int imageHeight() const;
    void showSlice(int index);

    // View
    void fitImageInView();
    void resetViewTransform();
    void toggleFlipHorizontal();
    void toggleFlipVertical();
    void fitToView();
    void hideScrollBars();
    void rotateBy(int degrees);
    QRectF visibleImageRect() const;
    void setActiveHighlight(bool active);
    void setInverted(bool inverted);

    // Reconstruction planes
    void enterReconstructionPlane(int plane);
    void renderReconstruction();
    void showOriginalSlices();
    void syncReconstructionControls();
    int reconstructionSliceCount() const;

    // Overlay texts and floating controls
    void updateOverlayTexts();
    void updateOrientationLabels();
    void layoutOverlayWidgets();

    // Slice selection (printing and export)
    void selectAllSlices();
    QList<db::InstanceRecord> selectedSlices() const;
    void setCurrentSliceSelected(bool selected);
    void clearSliceSelection();

    // Measurements
    QList<MeasurementInfo> measurementsForSlice(int sliceIndex) const;
    void removeMeasurement(int index);
    void selectMeasurement(int index);
    void clearContourOverlay();
    const QList<Measurement>& measurements() const { return m_measurements; }
    void refreshMeasurementGraphics(Measurement& measurement);
    void updateActiveMeasurement(const QPointF& scenePos);
    void previewContour(const QPointF& scenePos);
    void setMeasurementHighlighted(int index, bool on);
    void setRoiLabel(const QString& name, const QColor& colour);
    void setContourOverlay(const QList<QPolygonF>& polygons, const QList<QColor>& colours);
    const QList<QGraphicsPathItem*>& contourOverlayItems() const { return m_contourOverlay; }

    // Mouse tools: creation of measurements and the picks of other windows (scene positions)
    int hitTestMeasurement(const QPointF& scenePos) const;
    void startMeasurement(const QPointF& scenePos);
    void finishMeasurement(const QPointF& scenePos);
    void addContourPoint(const QPointF& scenePos);
    void finishContour();
    void addTextLabel(const QPointF& scenePos);
    void addCurvedMprPathPoint(const QPointF& scenePos);
    void addVesselSeed(const QPointF& scenePos);
    void finishCurvedMprPath();
    const ViewportMouseState& mouseState() const { return m_mouse; }
    bool isSecondPhase() const { return m_secondPhase; }

    // Fusion overlay
    void setFusionOpacity(double opacity);
    // `warnings`: the overlay volume's builder's, one a line (slices left out, uneven steps, slices slid
    // within their planes); they are shown with every slice for as long as the overlay is.
    void setFusionOverlay(std::shared_ptr<render::FusionVolume> volume, double centre, double width,
                          const QString& name, const QString& warnings);
    void clearFusionOverlay();
    bool hasFusionOverlay() const;
    QString fusionOverlayName() const { return m_fusionName; }
    QString fusionWarnings() const { return m_fusionWarnings; }
    double fusionOpacity() const { return m_fusionOpacity; }
    double fusionCenter() const { return m_fusionCenter; }
    double fusionWidth() const { return m_fusionWidth; }

    // HU statistics of a ROI ellipse (kind 5), at completion and at the release of a handle drag, and of a
    // freehand ROI outline (kind 8) completed at releasePoint; both write the measurement's label.
    void updateEllipseRoiStats(Measurement& measurement);
    void updateFreehandRoiStats(Measurement& measurement, const QPointF& releasePoint);

    // HU values of the current frame, loaded on demand
    void ensureHuFrameLoaded();
    const render::HuImage& huImage() const { return m_huImage; }
    bool huFrameLoaded() const { return m_huLoaded; }

    // Patient position of an image point on the current slice; the caller makes sure there is one.
    std::array<double, 3> imageToPatient(const QPointF& imagePos) const;

    // State read by the viewer window, embedding windows and tests
    const QList<db::InstanceRecord>& slices() const { return m_slices; }
    int sliceCount() const { return m_slices.size(); }
    int currentSliceIndex() const { return m_currentIndex; }
    const SeriesOverlayInfo& overlayInfo() const { return m_overlayInfo; }
    double windowCenter() const { return m_windowCenter; }
    double windowWidth() const { return m_windowWidth; }
    bool hasUserWindow() const { return m_userWindow; }
    bool isInverted() const { return m_inverted; }
    int rotation() const { return m_rotation; }
    bool isFlippedHorizontally() const { return m_flipHorizontal; }
    bool isFlippedVertically() const { return m_flipVertical; }
    bool isUserZoomed() const { return m_userZoomed; }
    int reconstructionPlane() const { return m_plane; }
    int reconstructedSliceIndex() const { return m_reconIndex; }
    int slabMode() const { return m_slabMode; }
    double slabThickness() const { return m_slabThickness; }
    int slabHalfWidth() const;
    bool hasReconstructionVolume() const { return m_volumePresent; }
    MeasurementMode measurementMode() const { return m_mode; }
    TagsDisplayMode tagsDisplayMode() const { return m_tagsMode; }
    bool wheelStepsSeries() const { return m_wheelStepsSeries; }
    void setWheelStepsSeries(bool on) { m_wheelStepsSeries = on; }
    QGraphicsView* graphicsView() const { return m_view; }
    QGraphicsScene* graphicsScene() const { return m_scene; }
    QScrollBar* sliceScrollBar() const { return m_scrollBar; }

    int selectedMeasurement = -1;
    int activeMeasurement = -1;

signals:
    void curvedMprPathFinished(QList<std::array<double, 3>> physicalPoints);
    void vesselAutoTrackSeedPicked(QList<std::array<double, 3>> physicalPoints);
    void airwayAutoTraceSeedClicked(std::array<double, 3> physicalPoint);
    void sliceChanged(int index, int total);
    void activated();
    void seriesDropped(QString seriesInstanceUID);
    void seriesMenuRequested(QPoint globalPos);
    void seriesStepRequested(int direction);
    void cursor3DClicked(QPointF imagePixelPos);
    void cursor3DReleased();
    // A slice's file was found holding another object than its row when it was read: it is not shown.
    void rowFileReplaced(QString filePath);

public slots:
    void setWindowPreset(render::WindowLevel window);
    void setMeasurementMode(MeasurementMode mode);
    void clearMeasurements(bool onlyCurrentSlice);
    void clearMeasurements();
    void setSliceByFraction(double fraction);
    void setReferenceLines(QList<QLineF> linesInImagePixelCoords);
    void setCursor3DMarker(std::optional<QPointF> imagePixelPos);
    void setTagsDisplayMode(TagsDisplayMode mode);

private slots:
    void onPlaneComboChanged();
    void onSlabModeChanged(int index);
    void onSlabThicknessChanged(double value);
    void onScrollBarValueChanged(int value);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QToolButton* makeThicknessStepButton(const QString& text, const QString& toolTip);
    void setScrollBarRange(int maximum);
    void setScrollBarValue(int value);
    void showImageArea();
    void setImage(const QImage& image);
    // The text a corner label was given, whose long words it may show elided.
    static QString cornerText(const QLabel* label);
    void showTopLeftMessage(const QString& text);
    void stepSlices(int steps);
    void setReconstructedIndex(int index);
    bool acceptsSeriesDrag(const QMimeData* mime) const;
    bool handleSeriesDrop(QDropEvent* event);
    void saveViewState();
    void releaseVolume();
    void redrawShownImage();
    void handleWheel(QWheelEvent* event);
    std::optional<QPointF> measurementScale(const Measurement& measurement) const;
    void updateMeasurementVisibility();
    bool viewportMousePress(QMouseEvent* event);
    bool viewportMouseMove(QMouseEvent* event);
    bool viewportMouseRelease(QMouseEvent* event);
    bool viewportDoubleClick(QMouseEvent* event);
    void pickLumenSeed(const QPointF& scenePos);
    void showReconstructionRefusal();

    // Widgets
    QScrollBar* m_scrollBar = nullptr;
    QWidget* m_container = nullptr;
    QGraphicsView* m_view = nullptr;
    QGraphicsScene* m_scene = nullptr;
    QGraphicsPixmapItem* m_imageItem = nullptr;
    QLabel* m_placeholder = nullptr;
    QWidget* m_activeFrame = nullptr;
    QLabel* m_topLeftLabel = nullptr;
    QLabel* m_topRightLabel = nullptr;
    QLabel* m_bottomLeftLabel = nullptr;
    QLabel* m_bottomRightLabel = nullptr;
    QComboBox* m_planeCombo = nullptr;
    QComboBox* m_slabCombo = nullptr;
    QDoubleSpinBox* m_thicknessBox = nullptr;
    QToolButton* m_thicknessUp = nullptr;
    QToolButton* m_thicknessDown = nullptr;
    QCheckBox* m_selectCheck = nullptr;
    QLabel* m_leftSideLabel = nullptr;
    QLabel* m_rightSideLabel = nullptr;

    // State
    bool m_scrollGuard = false;
    TagsDisplayMode m_tagsMode = 0;
    QSet<QString> m_selection;
    SeriesOverlayInfo m_overlayInfo;
    QList<db::InstanceRecord> m_slices;
    QSet<QString> m_sliceFiles; // the files of m_slices
    int m_currentIndex = 0;
    bool m_imageShown = false;
    bool m_userWindow = false;
    std::shared_ptr<render::FusionVolume> m_fusion;
    double m_fusionOpacity = 0.4;
    int m_fusionColourMap = 0;
    double m_fusionCenter = 0.0;
    double m_fusionWidth = 0.0;
    QString m_fusionName;
    QString m_fusionWarnings;
    double m_windowCenter = 0.0;
    double m_windowWidth = 0.0;
    int m_wheelAccumulator = 0;
    bool m_userZoomed = false;
    int m_rotation = 0;
    bool m_inverted = false;
    bool m_flipHorizontal = false;
    bool m_flipVertical = false;
    bool m_wheelStepsSeries = false;
    MeasurementMode m_mode = 3;
    QList<Measurement> m_measurements;
    bool m_secondPhase = false;
    ViewportMouseState m_mouse;
    QList<QGraphicsPathItem*> m_contourOverlay;
    render::HuImage m_huImage;
    bool m_huLoaded = false;
    QList<QGraphicsLineItem*> m_referenceLines;
    QGraphicsEllipseItem* m_cursorMarker = nullptr;
    QHash<QString, ViewState> m_viewMemory;
    int m_plane = 0;
    int m_reconCounts[3] = {0, 0, 0}; // planes 1, 2, 3
    std::optional<render::Volume> m_volume;
    bool m_volumePresent = false;
    QString m_volumeWarnings; // the builder's, one a line, shown with every reconstructed slice
    int m_reconIndex = 0;
    int m_slabMode = 0;
    double m_slabThickness = 0.0;
};
