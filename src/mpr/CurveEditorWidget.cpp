#include "mpr/CurveEditorWidget.h"

#include "mpr/CurveGraphicsView.h"
#include "mpr/CurveHandleItem.h"

#include "render/FusionOverlay.h"
#include "render/VectorMath.h"

#include <QApplication>
#include <QGraphicsPathItem>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainterPath>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include "dicom/WindowLevel.h"

namespace {

constexpr int kMaxUndoSnapshots = 50;
constexpr double kInsertDistanceLimit = 25.0;

QString captionFor(int orientation)
{
    if (orientation == 0)
        return QStringLiteral("Аксиальный");
    if (orientation == 1)
        return QStringLiteral("Спереди");
    return QStringLiteral("Сбоку");
}

QPen makePen(const QColor& color, double width)
{
    QPen pen(color, width);
    pen.setCosmetic(true);
    return pen;
}

} // namespace

CurveEditorWidget::CurveEditorWidget(QWidget* parent) : QWidget(parent)
{
    m_scene = new QGraphicsScene(this);
    m_imageItem = m_scene->addPixmap(QPixmap());
    m_imageItem->setPos(0, 0);

    m_polylineItem = m_scene->addPath(QPainterPath(), makePen(QColor(255, 140, 0), 2.0));
    m_polylineItem->setZValue(0);
    QPen dashed = makePen(QColor(255, 0, 220), 3.0);
    dashed.setDashPattern({6, 4});
    m_referenceItem = m_scene->addPath(QPainterPath(), dashed);
    m_referenceItem->setZValue(20);
    m_markerItem = m_scene->addPath(QPainterPath(), makePen(QColor(60, 255, 60), 2.5));
    m_markerItem->setZValue(25);

    m_view = new CurveGraphicsView(m_scene, this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_planeSelector = new QWidget(this);
    auto* planeLayout = new QHBoxLayout(m_planeSelector);
    planeLayout->setContentsMargins(4, 4, 4, 4);
    for (int o = 0; o < 3; ++o) {
        auto* button = new QPushButton(captionFor(o), m_planeSelector);
        button->setCheckable(true);
        button->setChecked(o == 0);
        connect(button, &QPushButton::clicked, this, [this, o] { onPlaneButtonClicked(o); });
        planeLayout->addWidget(button);
        m_planeButtons.append(button);
    }
    planeLayout->addStretch();
    layout->addWidget(m_planeSelector);

    m_captionLabel = new QLabel(this);
    m_captionLabel->setContentsMargins(6, 6, 6, 6);
    m_captionLabel->setStyleSheet(QStringLiteral("font-weight: bold;"));
    m_captionLabel->hide();
    layout->addWidget(m_captionLabel);

    layout->addWidget(m_view);

    auto* sliceBar = new QHBoxLayout;
    sliceBar->setContentsMargins(4, 2, 4, 4);
    sliceBar->addWidget(new QLabel(QStringLiteral("Срез:"), this));
    m_slider = new QSlider(Qt::Horizontal, this);
    sliceBar->addWidget(m_slider, 1);
    m_sliceLabel = new QLabel(this);
    m_sliceLabel->setMinimumWidth(60);
    sliceBar->addWidget(m_sliceLabel);
    layout->addLayout(sliceBar);

    connect(m_slider, &QSlider::valueChanged, this, [this](int v) {
        m_sliceIndex = v;
        updateView();
    });
}

bool CurveEditorWidget::hasValidVolume() const
{
    return m_volume && m_volume->nx >= 1 && m_volume->ny >= 1 && m_volume->nz >= 1;
}

int CurveEditorWidget::sliceCountOf(int orientation) const
{
    if (orientation == 1)
        return m_volume->ny;
    if (orientation == 2)
        return m_volume->nx;
    return m_volume->nz;
}

void CurveEditorWidget::resetSliderForOrientation()
{
    const int count = sliceCountOf(m_orientation);
    const QSignalBlocker block(m_slider);
    m_slider->setRange(0, count - 1);
    m_slider->setValue((count - 1) / 2);
    m_sliceIndex = (count - 1) / 2;
}

void CurveEditorWidget::setVolume(const render::FusionVolume* volume, const Curve& points)
{
    m_volume = volume;
    m_points = points;
    m_sliceIndex = -1;
    m_userZoomed = false;
    m_undoStack.clear();
    m_redoStack.clear();
    emit undoRedoAvailabilityChanged(false, false);
    if (hasValidVolume())
        resetSliderForOrientation();
    updateView();
}

void CurveEditorWidget::setOrientation(int orientation)
{
    if (orientation == m_orientation)
        return;
    m_orientation = orientation;
    if (hasValidVolume())
        resetSliderForOrientation();
    updateView();
}

void CurveEditorWidget::setPlaneSelectorVisible(bool visible)
{
    m_planeSelector->setVisible(visible);
    m_captionLabel->setVisible(!visible);
    if (!visible)
        m_captionLabel->setText(captionFor(m_orientation));
}

void CurveEditorWidget::setWindowLevel(double center, double width)
{
    m_windowCenter = center;
    m_windowWidth = width;
    m_windowLevelSet = true;
    if (hasValidVolume())
        updateView();
}

void CurveEditorWidget::setPoints(const Curve& points)
{
    m_points = points;
    rebuildHandles();
    updateReferenceCurveItem();
    updateMarkerItem();
}

void CurveEditorWidget::setReferenceCurve(const Curve& curve)
{
    m_referenceCurve = curve;
    updateReferenceCurveItem();
}

void CurveEditorWidget::showPositionMarker(const std::array<double, 3>& point)
{
    if (!hasValidVolume())
        return;
    double v[3];
    if (!render::worldToVoxel(*m_volume, point[0], point[1], point[2], &v[0], &v[1], &v[2]))
        return;
    const double along = m_orientation == 1 ? v[1] : (m_orientation == 2 ? v[0] : v[2]);
    if (!std::isfinite(along))
        return;
    // Compared as a double first so that a far-away point never overflows the integer conversion.
    const double clamped = std::clamp(std::round(along), double(m_slider->minimum()), double(m_slider->maximum()));
    m_slider->setValue(int(clamped));
    m_markerPoint = point;
    m_hasMarker = true;
    updateMarkerItem();
}

void CurveEditorWidget::effectiveWindow(double* center, double* width) const
{
    if (m_windowLevelSet) {
        *center = m_windowCenter;
        *width = m_windowWidth;
    } else {
        const render::WindowLevel whole = render::windowForRange(m_volume->minValue, m_volume->maxValue);
        *center = whole.center;
        *width = whole.width;
    }
}

void CurveEditorWidget::updateView()
{
    if (!hasValidVolume())
        return;
    double center = 0.0, width = 1.0;
    effectiveWindow(&center, &width);
    QImage image;
    if (m_orientation == 1)
        image = render::renderFusionCoronalSlice(*m_volume, center, width, m_sliceIndex);
    else if (m_orientation == 2)
        image = render::renderFusionSagittalSlice(*m_volume, center, width, m_sliceIndex);
    else
        image = render::renderFusionAxialSlice(*m_volume, center, width, m_sliceIndex);
    m_imageItem->setPixmap(QPixmap::fromImage(image));
    m_scene->setSceneRect(m_imageItem->boundingRect());
    m_sliceLabel->setText(QStringLiteral("%1 / %2").arg(m_slider->value() + 1).arg(m_slider->maximum() + 1));
    rebuildHandles();
    updateReferenceCurveItem();
    updateMarkerItem();
    if (!m_userZoomed)
        fitView();
}

bool CurveEditorWidget::projectPoint(const std::array<double, 3>& point, QPointF* scenePos, double* depth) const
{
    if (!hasValidVolume())
        return false;
    double i = 0.0, j = 0.0, k = 0.0;
    if (!render::worldToVoxel(*m_volume, point[0], point[1], point[2], &i, &j, &k))
        return false;
    const double top = double(m_volume->nz - 1);
    switch (m_orientation) {
    case 1:
        *scenePos = QPointF(i, top - k);
        *depth = j;
        break;
    case 2:
        *scenePos = QPointF(j, top - k);
        *depth = i;
        break;
    default:
        *scenePos = QPointF(i, j);
        *depth = k;
        break;
    }
    return true;
}

std::array<double, 3> CurveEditorWidget::sceneToWorld(const QPointF& p, double depth) const
{
    if (!m_volume)
        return {0.0, 0.0, 0.0};
    const double top = double(m_volume->nz - 1);
    double i = p.x(), j = p.y(), k = depth;
    if (m_orientation == 1) {
        i = p.x();
        k = top - p.y();
        j = depth;
    } else if (m_orientation == 2) {
        j = p.x();
        k = top - p.y();
        i = depth;
    }
    std::array<double, 3> w{};
    render::voxelToWorld(*m_volume, i, j, k, &w[0], &w[1], &w[2]);
    return w;
}

void CurveEditorWidget::rebuildHandles()
{
    for (CurveHandleItem* h : std::as_const(m_handles)) {
        m_scene->removeItem(h);
        delete h;
    }
    m_handles.clear();
    if (hasValidVolume()) {
        m_depths.clear();
        for (int i = 0; i < m_points.size(); ++i) {
            QPointF pos;
            double depth = 0.0;
            if (!projectPoint(m_points[i], &pos, &depth)) {
                m_depths.append(0.0);
                continue;
            }
            m_depths.append(depth);
            auto* h = new CurveHandleItem(i, this);
            h->syncSuppressed = true;
            h->setPos(pos);
            h->syncSuppressed = false;
            m_scene->addItem(h);
            m_handles.append(h);
        }
    }
    updateControlPolyline();
}

void CurveEditorWidget::updateControlPolyline(const CurveHandleItem* moving, const QPointF& movingPos)
{
    QPainterPath path;
    for (int n = 0; n < m_handles.size(); ++n) {
        const QPointF p = m_handles[n] == moving ? movingPos : m_handles[n]->pos();
        if (n == 0)
            path.moveTo(p);
        else
            path.lineTo(p);
    }
    m_polylineItem->setPath(path);
}

void CurveEditorWidget::updateReferenceCurveItem()
{
    QPainterPath path;
    if (hasValidVolume() && !m_referenceCurve.isEmpty()) {
        bool started = false;
        for (const auto& point : std::as_const(m_referenceCurve)) {
            QPointF p;
            double depth = 0.0;
            if (!projectPoint(point, &p, &depth))
                continue;
            if (!started)
                path.moveTo(p);
            else
                path.lineTo(p);
            started = true;
        }
    }
    m_referenceItem->setPath(path);
}

void CurveEditorWidget::updateMarkerItem()
{
    QPainterPath path;
    QPointF p;
    double depth = 0.0;
    if (m_hasMarker && projectPoint(m_markerPoint, &p, &depth)) {
        path.moveTo(p.x() - 10.0, p.y());
        path.lineTo(p.x() + 10.0, p.y());
        path.moveTo(p.x(), p.y() - 10.0);
        path.lineTo(p.x(), p.y() + 10.0);
    }
    m_markerItem->setPath(path);
}

double CurveEditorWidget::verticalStretch() const
{
    if (m_orientation == 0 || !hasValidVolume())
        return 1.0;
    using render::operator*;
    const render::Vec3d slice = m_volume->spacing[2] * m_volume->sliceDir;
    const render::Vec3d inPlane =
        m_orientation == 1 ? m_volume->spacing[0] * m_volume->rowDir : m_volume->spacing[1] * m_volume->colDir;
    const double inPlaneLength = render::length(inPlane);
    if (inPlaneLength < 1e-9)
        return 1.0;
    return render::length(slice) / inPlaneLength;
}

void CurveEditorWidget::fitView()
{
    if (m_imageItem->pixmap().isNull())
        return;
    m_view->resetTransform();
    const double a = verticalStretch();
    if (std::abs(a - 1.0) <= 1e-6) {
        m_view->fitInView(m_imageItem, Qt::KeepAspectRatio);
        return;
    }
    const QRectF r = m_imageItem->boundingRect();
    const double w = r.width(), h = r.height();
    const double vw = m_view->viewport()->width(), vh = m_view->viewport()->height();
    if (w > 0 && h * a > 0 && vw > 0 && vh > 0) {
        const double s = std::min(vw / w, vh / (h * a));
        m_view->scale(s, s * a);
        m_view->centerOn(m_imageItem);
    } else {
        m_view->fitInView(m_imageItem, Qt::KeepAspectRatio);
    }
}

void CurveEditorWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (!m_userZoomed)
        fitView();
}

void CurveEditorWidget::handlePositionChanging(CurveHandleItem* handle, const QPointF& newPos)
{
    if (QApplication::keyboardModifiers() & Qt::ShiftModifier) {
        translateOtherHandles(handle, newPos - handle->lastPos);
        return;
    }
    const int i = handle->index;
    if (i >= 0 && i < m_points.size() && i < m_depths.size() && hasValidVolume()) {
        m_points[i] = sceneToWorld(newPos, m_depths[i]);
        updateControlPolyline(handle, newPos);
        emit pointsChangedDraft();
    }
}

void CurveEditorWidget::translateOtherHandles(CurveHandleItem* dragged, const QPointF& delta)
{
    if (delta == QPointF(0, 0) || !hasValidVolume() || m_points.isEmpty())
        return;
    for (CurveHandleItem* h : std::as_const(m_handles)) {
        if (h == dragged)
            continue;
        if (h->index >= m_points.size() || h->index >= m_depths.size())
            break;
        h->syncSuppressed = true;
        h->setPos(h->pos() + delta);
        h->syncSuppressed = false;
        m_points[h->index] = sceneToWorld(h->pos(), m_depths[h->index]);
    }
    const int d = dragged->index;
    const QPointF draggedPos = dragged->pos() + delta;
    if (d >= 0 && d < m_points.size() && d < m_depths.size())
        m_points[d] = sceneToWorld(draggedPos, m_depths[d]);
    updateControlPolyline(dragged, draggedPos);
    emit pointsChangedDraft();
}

void CurveEditorWidget::handleReleased()
{
    emit pointsChangedFinal();
}

void CurveEditorWidget::insertPointAt(const QPointF& p)
{
    if (!hasValidVolume() || m_points.size() < 2)
        return;
    int best = -1;
    double bestDistance = 0.0;
    for (int n = 0; n + 1 < m_handles.size(); ++n) {
        const QPointF a = m_handles[n]->pos();
        const QPointF b = m_handles[n + 1]->pos();
        const QPointF ab = b - a;
        const double len2 = QPointF::dotProduct(ab, ab);
        double t = len2 <= 1e-9 ? 0.0 : QPointF::dotProduct(p - a, ab) / len2;
        t = std::clamp(t, 0.0, 1.0);
        const QPointF q = a + t * ab;
        const double distance = std::hypot(p.x() - q.x(), p.y() - q.y());
        if (best < 0 || distance < bestDistance) {
            best = n;
            bestDistance = distance;
        }
    }
    pushUndoSnapshot();
    if (best >= 0 && bestDistance <= kInsertDistanceLimit) {
        const int a = m_handles[best]->index;
        const int b = m_handles[best + 1]->index;
        const double depth = (m_depths.value(a) + m_depths.value(b)) / 2.0;
        m_points.insert(a + 1, sceneToWorld(p, depth));
    } else {
        const double depth = m_depths.isEmpty() ? 0.0 : m_depths.last();
        m_points.append(sceneToWorld(p, depth));
    }
    updateView();
    emit pointsChangedFinal();
}

void CurveEditorWidget::removePointAt(int index)
{
    if (index < 0 || index >= m_points.size() || m_points.size() < 3)
        return;
    pushUndoSnapshot();
    m_points.removeAt(index);
    updateView();
    emit pointsChangedFinal();
}

void CurveEditorWidget::pushUndoSnapshot()
{
    m_undoStack.append(m_points);
    if (m_undoStack.size() > kMaxUndoSnapshots)
        m_undoStack.removeFirst();
    m_redoStack.clear();
    emitUndoRedoAvailability();
}

void CurveEditorWidget::emitUndoRedoAvailability()
{
    emit undoRedoAvailabilityChanged(!m_undoStack.isEmpty(), !m_redoStack.isEmpty());
}

void CurveEditorWidget::undo()
{
    if (m_undoStack.isEmpty())
        return;
    m_redoStack.append(m_points);
    m_points = m_undoStack.takeLast();
    updateView();
    emitUndoRedoAvailability();
    emit pointsChangedFinal();
}

void CurveEditorWidget::redo()
{
    if (m_redoStack.isEmpty())
        return;
    m_undoStack.append(m_points);
    m_points = m_redoStack.takeLast();
    updateView();
    emitUndoRedoAvailability();
    emit pointsChangedFinal();
}

void CurveEditorWidget::stepSlice(int delta)
{
    m_slider->setValue(std::clamp(m_slider->value() + delta, m_slider->minimum(), m_slider->maximum()));
}

void CurveEditorWidget::dragWindowLevel(int dx, int dy)
{
    if (!hasValidVolume())
        return;
    if (!m_windowLevelSet) {
        effectiveWindow(&m_windowCenter, &m_windowWidth);
        m_windowLevelSet = true;
    }
    m_windowWidth = std::max(m_windowWidth + 2.0 * dx, 1.0);
    m_windowCenter = m_windowCenter + 2.0 * dy;
    updateView();
}

void CurveEditorWidget::onPlaneButtonClicked(int orientation)
{
    for (int o = 0; o < m_planeButtons.size(); ++o)
        m_planeButtons[o]->setChecked(o == orientation);
    setOrientation(orientation);
}
