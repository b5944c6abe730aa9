#pragma once
// The reference column of the virtual endoscopy window: the 2D slice through the camera with the
// camera marker, and a small outside overview of the volume with the flight path. It knows nothing
// of volumes: the window hands it images and pixel positions and listens to its signals.

#include <QImage>
#include <QList>
#include <QPointF>
#include <QRect>
#include <QWidget>

class EndoscopyReferencePanel : public QWidget
{
    Q_OBJECT

public:
    enum SlicePlane { Axial = 0, Coronal = 1, Sagittal = 2 };
    Q_ENUM(SlicePlane)

    // Where an image of `imageSize` lands in `rect` under a view zoom and pan: widget = offset + scale * p.
    struct Placement
    {
        QPointF offset;
        double scale = 1.0;
    };
    static Placement placement(const QSize& imageSize, const QRect& rect, double zoom, double panX, double panY);

    explicit EndoscopyReferencePanel(QWidget* parent = nullptr);

    QSize minimumSizeHint() const override { return QSize(220, 300); }

    void setCurrentSlice(const QImage& image, const QPointF& cameraPixel, const QPointF& lookAtPixel);
    void setSliceImage(const QImage& image);
    void setOverviewImage(const QImage& image);
    void setOverviewPath(const QList<QPointF>& path);
    void setOverviewMarker(int index, const QPointF& position, const QPointF& lookAt);
    void setSlicePlane(SlicePlane plane) { m_plane = plane; }

    // Read back by the window's tests and by nothing else.
    SlicePlane slicePlane() const { return m_plane; }
    bool sliceMarkerShown() const { return m_slice.markerShown; }
    bool overviewMarkerShown() const { return m_overview.markerShown; }
    int travelledCount() const { return m_travelled; }
    const QList<QPointF>& overviewPath() const { return m_overviewPath; }
    const QImage& sliceImage() const { return m_slice.image; }
    const QImage& overviewImage() const { return m_overview.image; }
    QPointF cameraPixel() const { return m_slice.camera; }
    QPointF lookAtPixel() const { return m_slice.lookAt; }
    double sliceZoom() const { return m_slice.zoom; }
    double overviewZoom() const { return m_overview.zoom; }
    QPointF slicePan() const { return {m_slice.panX, m_slice.panY}; }
    QPointF overviewPan() const { return {m_overview.panX, m_overview.panY}; }
    // The view rectangles as last painted (empty before the first paint).
    QRect sliceRect() const { return m_slice.rect; }
    QRect overviewRect() const { return m_overview.rect; }

signals:
    void sliceClicked(QPointF pixelPosInSliceImage);
    void sliceScrollRequested(int deltaSlices);
    void slicePlaneChangeRequested(EndoscopyReferencePanel::SlicePlane plane);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    struct View
    {
        QImage image;
        bool markerShown = false;
        QPointF camera;
        QPointF lookAt;
        double zoom = 1.0;
        double panX = 0.0;
        double panY = 0.0;
        QRect rect;
    };

    // Lays out both view rectangles for the current widget size (also done at every paint).
    void layoutViews();
    View* viewAt(const QPointF& pos);
    void zoomAt(View& view, const QPointF& cursor, double factor);
    void openPlaneMenu(const QPoint& globalPos);
    static void drawMarker(QPainter& p, const QPointF& a, const QPointF& b);

    View m_slice;
    View m_overview;
    QList<QPointF> m_overviewPath;
    int m_travelled = 0;
    SlicePlane m_plane = Axial;

    // Left drag on the slice.
    bool m_sliceDrag = false;
    bool m_sliceDragMoved = false;
    QPointF m_slicePress;
    QPointF m_sliceLast;
    int m_scrollAccumulator = 0;
    // Left drag on the overview.
    bool m_overviewDrag = false;
    QPointF m_overviewPress;
    double m_overviewPressPanX = 0.0;
    double m_overviewPressPanY = 0.0;
    // Right drag: 0 none, 1 slice, 2 overview.
    int m_rightTarget = 0;
    bool m_rightZoom = false;
    bool m_rightMoved = false;
    QPointF m_rightPress;
    QPointF m_rightLast;
};
