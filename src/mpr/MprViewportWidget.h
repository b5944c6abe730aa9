#pragma once

#include "mpr/MprMeasurementRecord.h"
#include "mpr/MprPlane.h"

#include <QColor>
#include <QList>
#include <QPoint>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QComboBox;
class QGraphicsItem;
class QGraphicsLineItem;
class QGraphicsPixmapItem;
class QGraphicsScene;
class QGraphicsSimpleTextItem;
class QGraphicsView;
class QLabel;
class QMouseEvent;
class QScrollBar;
class QWheelEvent;

// The viewing panel of every reconstruction window. It shows one picture that its owner computed, a slice
// scroll bar, a caption or a plane chooser, two crosshair lines and the measurements drawn over the picture.
// It never computes pictures: mouse, wheel and keys become view changes of its own (pan, zoom, fit) or
// signals that the owner turns into slice, crosshair, window/level and plane changes.
//
// Tool modes (setMeasurementMode): 0 crosshair, 1 pan, 2 zoom, 3 window/level, 4 ruler, 5 vessel diameter,
// 6 angle, 7 ROI (HU), 8 axes grab, 9 freehand draw, 10 text, 11 arrow, 12 polygon, 13 smooth contour,
// 14 ellipse area, 15 stenosis by diameter, 16 stenosis by area.
class MprViewportWidget : public QWidget
{
    Q_OBJECT

public:
    // One measurement with the scene items that show it; the record owns its items, label and handles.
    struct Measurement
    {
        int kind = 4;
        int sliceIndex = 0;
        QList<QPointF> points; // scene coordinates = image pixels
        QList<QGraphicsItem*> items;
        QGraphicsSimpleTextItem* label = nullptr;
        QList<QGraphicsItem*> handles;
        QColor colour;
        QPointF labelOffset;
        int stenosisStep = 0; // kinds 15 and 16: 1 whole vessel, 2 residual lumen
        double stenosisReference = 0.0; // kinds 15 and 16: the whole-vessel value a lumen step is compared with
        bool labelHidden = false;
    };

    // (slice index of the ROI, its rectangle in image pixels, its index in the list) -> the whole label text
    using RoiStatsProvider = std::function<QString(int, QRectF, int)>;

    MprViewportWidget(MprPlane plane, const QString& caption, QWidget* parent = nullptr);
    ~MprViewportWidget() override;

    bool eventFilter(QObject* watched, QEvent* event) override;

    void setImage(const QImage& image);
    void fitImageInView();
    void setSliceIndex(int index);
    void setSliceCount(int count);
    void setSliderValue(int value);
    void setPixelSpacing(double mm);
    void setMeasurementMode(int mode);
    void setRoiColor(const QColor& colour);
    void setRoiStatsProvider(RoiStatsProvider provider);
    void clearMeasurements();
    QList<MprMeasurementRecord> exportMeasurements() const;
    void importMeasurements(const QList<MprMeasurementRecord>& records);
    void setCrosshairLineA(std::optional<QPointF> centre, std::optional<double> angle, QColor colour, bool dashed);
    void setCrosshairLineB(std::optional<QPointF> centre, std::optional<double> angle, QColor colour, bool dashed);
    void setPlaneSelectorVisible(bool on);
    void setCenterlineHorizontal(bool on);
    void setStenosisLabelsHidden(bool on);

    // State read by owners and tests
    MprPlane plane() const { return m_plane; }
    int sliceIndex() const { return m_sliceIndex; }
    int measurementMode() const { return m_toolMode; }
    double pixelSpacing() const { return m_pixelSpacing; }
    bool isUserZoomed() const { return m_userZoomed; }
    bool centerlineHorizontal() const { return m_centerlineHorizontal; }
    const QList<Measurement>& measurements() const { return m_measurements; }
    int selectedMeasurementIndex() const { return m_selectedIndex; }
    int activeMeasurementIndex() const { return m_activeIndex; }
    bool isContourOpen() const { return m_contourOpen; }
    int stenosisPendingStep() const { return m_stenosisPending; }
    double stenosisReferenceValue() const { return m_stenosisReference; }
    std::optional<double> lineAAngle() const { return m_lineAAngle; }
    std::optional<double> lineBAngle() const { return m_lineBAngle; }
    QGraphicsView* graphicsView() const { return m_view; }
    QGraphicsScene* graphicsScene() const { return m_scene; }
    QGraphicsPixmapItem* pixmapItem() const { return m_pixmapItem; }
    QGraphicsLineItem* crosshairLineA() const { return m_lineA; }
    QGraphicsLineItem* crosshairLineB() const { return m_lineB; }
    QLabel* captionLabel() const { return m_captionLabel; }
    QComboBox* planeCombo() const { return m_planeCombo; }
    QScrollBar* sliceBar() const { return m_sliceBar; }

signals:
    void positionClicked(double normX, double normY);
    void crosshairDragFinished();
    void stenosisResultChanged(QString text);
    void doubleClicked();
    void wheelStepped(int direction);
    void windowLevelDragged(double deltaCenter, double deltaWidth);
    void sliceIndexRequested(int index);
    void measurementRemoved(int index);
    void axesRotateDelta(double deltaAngleDeg);
    void planeSwapRequested(MprPlane targetPlane);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Navigation (MprViewportWidget.cpp)
    bool handleMousePress(QMouseEvent* event);
    bool handleMouseMove(QMouseEvent* event);
    bool handleMouseRelease(QMouseEvent* event);
    bool handleDoubleClick(QMouseEvent* event);
    bool handleWheel(QWheelEvent* event);
    void crosshairPress(const QPointF& scenePos);
    std::optional<QPointF> normalisedPosition(const QPointF& scenePos) const;
    QPointF imageCentreInView() const;
    void placeCrosshairLine(QGraphicsLineItem* line, std::optional<double>& storedAngle,
                            std::optional<QPointF> centre, std::optional<double> angle, const QColor& colour,
                            bool dashed);
    void hideViewScrollBars();

    // Creation and layout (MprViewportMeasurements.cpp)
    void beginMeasurement(const QPointF& p);
    void updateActiveMeasurement(const QPointF& c);
    void finishMeasurement(const QPointF& r);
    void completeMeasurement(int index);
    void openContour(const QPointF& p);
    void addContourPoint(const QPointF& p);
    void previewContour(const QPointF& cursor);
    void closeContour();
    void addTextLabel(const QPointF& p);
    void layoutMeasurement(int index);
    void applySliceVisibility();
    void removeMeasurement(int index);
    QGraphicsSimpleTextItem* createLabel(const QString& text, const QPointF& pos);
    void addHandles(Measurement& m, int count);
    QString roiText(int index) const;
    double measuredValue(const Measurement& m) const;
    QColor kindColour(int kind, int stenosisStep) const;

    // Editing (MprViewportEditing.cpp)
    bool grabExistingMeasurement(const QPoint& viewPos, const QPointF& scenePos);
    bool moveEditedMeasurement(const QPoint& viewPos, const QPointF& scenePos);
    bool releaseEditedMeasurement();
    void selectMeasurement(int index);
    void setMeasurementHighlighted(int index, bool on);
    int hitTestMeasurement(const QPointF& scenePoint) const;
    bool onCurrentSlice(int index) const;
    void recomputeRoiLabel(int index);

    MprPlane m_plane;
    QGraphicsView* m_view = nullptr;
    QGraphicsScene* m_scene = nullptr;
    QGraphicsPixmapItem* m_pixmapItem = nullptr;
    QGraphicsLineItem* m_lineA = nullptr;
    QGraphicsLineItem* m_lineB = nullptr;
    QLabel* m_captionLabel = nullptr;
    QComboBox* m_planeCombo = nullptr;
    QScrollBar* m_sliceBar = nullptr;
    bool m_sliderGuard = false;
    bool m_windowLevelDragging = false;
    QPoint m_lastMousePos;
    bool m_userZoomed = false;
    bool m_axesRotating = false;
    double m_lastAxisAngle = 0.0;
    std::optional<double> m_lineAAngle;
    std::optional<double> m_lineBAngle;
    bool m_panDragging = false;
    bool m_zoomDragging = false;
    bool m_crosshairDragging = false;
    QPointF m_crosshairCentre;
    bool m_crosshairCentreValid = false;
    int m_toolMode = 0;
    int m_sliceIndex = 0;
    double m_pixelSpacing = 1.0;
    bool m_centerlineHorizontal = true;
    RoiStatsProvider m_roiStatsProvider;
    QColor m_roiColor;

    QList<Measurement> m_measurements;
    int m_selectedIndex = -1;
    int m_activeIndex = -1;
    int m_angleStage = 0;
    int m_stenosisPending = 0;
    double m_stenosisReference = 0.0;
    bool m_stenosisLabelsHidden = false;
    bool m_handleDragging = false;
    int m_dragHandleIndex = -1;
    bool m_labelDragging = false;
    int m_labelDragIndex = -1;
    QPointF m_labelDragStartOffset;
    QPointF m_labelDragStartScene;
    bool m_contourOpen = false;
    bool m_createPending = false;
    QPoint m_pressViewPos;
    QPointF m_pressScenePos;
    bool m_bodyPressed = false;
    bool m_bodyMoved = false;
    int m_bodyDragIndex = -1;
    QPoint m_bodyPressViewPos;
    QPointF m_bodyPressScenePos;
    QList<QPointF> m_bodyStartPoints;
};
