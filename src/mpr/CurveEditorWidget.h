#pragma once

#include "render/FusionVolume.h"

#include <QList>
#include <QPointF>
#include <QWidget>

#include <array>

class CurveGraphicsView;
class CurveHandleItem;
class QGraphicsPathItem;
class QGraphicsPixmapItem;
class QGraphicsScene;
class QLabel;
class QPushButton;
class QSlider;

// The pane in which a curved reconstruction's centreline is edited: one orthogonal slice of a
// world-registered volume with the control points as draggable handles, the straight polyline
// through them, the curve the reconstruction really follows (dashed) and a position marker.
// Scene coordinates are voxel coordinates of the shown slice (one image pixel per scene unit).
class CurveEditorWidget : public QWidget
{
    Q_OBJECT

public:
    using Curve = QList<std::array<double, 3>>;

    explicit CurveEditorWidget(QWidget* parent = nullptr);

    // The volume is not owned: the caller keeps it alive while the editor shows it.
    void setVolume(const render::FusionVolume* volume, const Curve& points);
    void setOrientation(int orientation);
    void setPlaneSelectorVisible(bool visible);
    void setWindowLevel(double center, double width);
    // Replaces the points without an undo step and without signals (mirroring from another pane).
    void setPoints(const Curve& points);
    void setReferenceCurve(const Curve& curve);
    void showPositionMarker(const std::array<double, 3>& point);
    void undo();
    void redo();
    void fitView();
    Curve points() const { return m_points; }

    int orientation() const { return m_orientation; }
    int sliceIndex() const { return m_sliceIndex; }
    double windowCenter() const { return m_windowCenter; }
    double windowWidth() const { return m_windowWidth; }
    // Display scale of the slicing axis in the front and side panes (slice step over in-plane step).
    double verticalStretch() const;
    CurveGraphicsView* graphicsView() const { return m_view; }
    // Scene position and depth of a patient point in the current orientation; false when it cannot map.
    bool projectPoint(const std::array<double, 3>& point, QPointF* scenePos, double* depth) const;
    std::array<double, 3> sceneToWorld(const QPointF& scenePos, double depth) const;

    // Edit steps, driven by the view's gestures and the handles.
    void pushUndoSnapshot();
    void insertPointAt(const QPointF& scenePos);
    void removePointAt(int index);
    void dragWindowLevel(int dx, int dy);

signals:
    void pointsChangedDraft();
    void pointsChangedFinal();
    void undoRedoAvailabilityChanged(bool canUndo, bool canRedo);
    void doubleClicked();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class CurveGraphicsView;
    friend class CurveHandleItem;

    bool hasValidVolume() const;
    int sliceCountOf(int orientation) const;
    void resetSliderForOrientation();
    void updateView();
    void rebuildHandles();
    void updateControlPolyline(const CurveHandleItem* moving = nullptr, const QPointF& movingPos = QPointF());
    void updateReferenceCurveItem();
    void updateMarkerItem();
    void emitUndoRedoAvailability();
    void translateOtherHandles(CurveHandleItem* dragged, const QPointF& delta);
    void handlePositionChanging(CurveHandleItem* handle, const QPointF& newPos);
    void handleReleased();
    void stepSlice(int delta);
    void onPlaneButtonClicked(int orientation);
    void effectiveWindow(double* center, double* width) const;

    int m_orientation = 0;
    int m_sliceIndex = -1;
    CurveGraphicsView* m_view = nullptr;
    QGraphicsScene* m_scene = nullptr;
    QGraphicsPixmapItem* m_imageItem = nullptr;
    QGraphicsPathItem* m_polylineItem = nullptr;
    QGraphicsPathItem* m_referenceItem = nullptr;
    QGraphicsPathItem* m_markerItem = nullptr;
    std::array<double, 3> m_markerPoint{0.0, 0.0, 0.0};
    bool m_hasMarker = false;
    Curve m_referenceCurve;
    QList<CurveHandleItem*> m_handles;
    QSlider* m_slider = nullptr;
    QLabel* m_sliceLabel = nullptr;
    QWidget* m_planeSelector = nullptr;
    QList<QPushButton*> m_planeButtons;
    QLabel* m_captionLabel = nullptr;
    const render::FusionVolume* m_volume = nullptr;
    Curve m_points;
    QList<double> m_depths;
    bool m_windowLevelSet = false;
    double m_windowCenter = 0.0;
    double m_windowWidth = 1.0;
    bool m_userZoomed = false;
    QList<Curve> m_undoStack;
    QList<Curve> m_redoStack;
};
