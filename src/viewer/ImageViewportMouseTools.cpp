// Mouse tools of a viewing panel: navigation drags, creation of measurements and annotations, handle and
// label drags, hit testing, and the picks that start curved MPR, vessel tracking and the lumen trace.

#include "viewer/CommentInputDialog.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/MeasurementGraphics.h"

#include <QBrush>
#include <QFont>
#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsPathItem>
#include <QGraphicsPolygonItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QGraphicsView>
#include <QLabel>
#include <QMouseEvent>
#include <QPen>
#include <QPointer>
#include <QScrollBar>

#include <cmath>

namespace {

// Mouse thresholds in view pixels (Manhattan distances).
constexpr int kCreateDistance = 4;
constexpr int kHandleGrabDistance = 10;
constexpr double kHitTolerancePixels = 6.0;
constexpr int kScrollStepPixels = 15;

const QString kReconstructionRefusal =
    QStringLiteral("В реконструкции измерения недоступны — вернитесь к исходным срезам");

QColor kindColour(int kind, const QString& pendingName, const QColor& pendingColour)
{
    const bool pending = !pendingName.isEmpty() && pendingColour.isValid();
    switch (kind) {
    case 3: return QColor(255, 210, 0);
    case 4: return QColor(0, 255, 130);
    case 5:
    case 8: return QColor(0, 200, 255);
    case 7: return QColor(255, 140, 220);
    case 9: return QColor(255, 255, 255);
    case 10: return QColor(120, 200, 255);
    case 11: return pending ? pendingColour : QColor(140, 255, 170);
    case 12: return pending ? pendingColour : QColor(255, 200, 140);
    case 13: return pending ? pendingColour : QColor(190, 140, 255);
    case 14: return QColor(255, 120, 60);
    default: return QColor(255, 255, 255);
    }
}

QPen shapePen(const QColor& colour)
{
    return QPen(QBrush(colour, Qt::SolidPattern), 0, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}

QGraphicsSimpleTextItem* makeLabel(QGraphicsScene* scene, const QColor& colour, const QPointF& pos,
                                   const QString& text = QString())
{
    auto* label = new QGraphicsSimpleTextItem(text);
    QFont font;
    font.setPointSizeF(11);
    font.setBold(true);
    label->setFont(font);
    label->setFlag(QGraphicsItem::ItemIgnoresTransformations, true);
    label->setBrush(QBrush(colour, Qt::SolidPattern));
    applyLabelShadow(label);
    label->setPos(pos);
    scene->addItem(label);
    return label;
}

QGraphicsItem* makeLine(QGraphicsScene* scene, const QColor& colour, const QPointF& a, const QPointF& b)
{
    return scene->addLine(QLineF(a, b), shapePen(colour));
}

QGraphicsItem* makeMarker(QGraphicsScene* scene, const QPointF& pos, const QColor& colour)
{
    QGraphicsEllipseItem* marker = createHandleItem(scene, pos);
    marker->setBrush(QBrush(colour, Qt::SolidPattern));
    marker->setVisible(true);
    return marker;
}

int manhattan(const QPoint& a, const QPoint& b)
{
    return (a - b).manhattanLength();
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// Tool mode

void ImageViewportWidget::setMeasurementMode(MeasurementMode mode)
{
    m_mode = mode;
    // During a handle drag the active record is a finished one being edited: it stays.
    if (activeMeasurement >= 0 && !m_mouse.handleDrag)
        removeMeasurement(activeMeasurement);
    activeMeasurement = -1;
    m_secondPhase = false;

    // Everything but the picks of other windows returns to idle.
    ViewportMouseState fresh;
    fresh.pendingRoiName = m_mouse.pendingRoiName;
    fresh.pendingRoiColour = m_mouse.pendingRoiColour;
    fresh.curvedPathActive = m_mouse.curvedPathActive;
    fresh.curvedPathPoints = m_mouse.curvedPathPoints;
    fresh.curvedPathSlices = m_mouse.curvedPathSlices;
    fresh.curvedPathMarkers = m_mouse.curvedPathMarkers;
    fresh.vesselSeeds = m_mouse.vesselSeeds;
    fresh.vesselMarkers = m_mouse.vesselMarkers;
    m_mouse = fresh;

    m_view->setDragMode(mode == 0 ? QGraphicsView::ScrollHandDrag : QGraphicsView::NoDrag);
}

// ---------------------------------------------------------------------------------------------------
// Creating measurements

void ImageViewportWidget::startMeasurement(const QPointF& p)
{
    if (m_secondPhase && activeMeasurement >= 0 && activeMeasurement < m_measurements.size()) {
        Measurement& m = m_measurements[activeMeasurement];
        if (m.kind == 4 && m.points.size() == 2) {
            m.points.append(p);
            m.items.append(makeLine(m_scene, m.colour, m.points.at(0), p));
        } else if (m.kind == 14 && m.points.size() == 2) {
            m.points.append(p);
            m.points.append(p);
            m.items.append(makeLine(m_scene, m.colour, p, p));
        }
        return;
    }

    Measurement m;
    m.kind = m_mode;
    m.sliceIndex = m_currentIndex;
    m.colour = kindColour(m_mode, m_mouse.pendingRoiName, m_mouse.pendingRoiColour);
    const QPen pen = shapePen(m.colour);
    switch (m_mode) {
    case 3:
        m.points = {p, p};
        m.items.append(makeLine(m_scene, m.colour, p, p));
        m.label = makeLabel(m_scene, m.colour, p);
        m.handles = {createHandleItem(m_scene, p), createHandleItem(m_scene, p)};
        break;
    case 4:
    case 14:
        m.points = {p, p};
        m.items.append(makeLine(m_scene, m.colour, p, p));
        m.label = makeLabel(m_scene, m.colour, p);
        break;
    case 5:
    case 13:
        m.points = {p, p};
        m.items.append(m_scene->addEllipse(QRectF(p, p), pen, Qt::NoBrush));
        m.label = makeLabel(m_scene, m.colour, p);
        m.handles = {createHandleItem(m_scene, p), createHandleItem(m_scene, p)};
        if (m_mode == 13)
            m.name = m_mouse.pendingRoiName;
        break;
    case 7:
    case 8: {
        m.points = {p};
        QPainterPath path;
        path.moveTo(p);
        QColor fill = m.colour;
        fill.setAlpha(40);
        m.items.append(m_scene->addPath(path, pen, m_mode == 8 ? QBrush(fill) : QBrush(Qt::NoBrush)));
        if (m_mode == 8)
            m.label = makeLabel(m_scene, m.colour, p, QStringLiteral("отпустите для расчёта HU…"));
        break;
    }
    case 10:
        m.points = {p, p};
        m.items.append(makeLine(m_scene, m.colour, p, p));
        m.items.append(m_scene->addPolygon(QPolygonF({p, p, p}), pen, QBrush(m.colour, Qt::SolidPattern)));
        m.handles = {createHandleItem(m_scene, p), createHandleItem(m_scene, p)};
        break;
    default:
        return;
    }
    m_measurements.append(m);
    activeMeasurement = m_measurements.size() - 1;
}

void ImageViewportWidget::finishMeasurement(const QPointF& r)
{
    if (activeMeasurement < 0 || activeMeasurement >= m_measurements.size())
        return;
    const int index = activeMeasurement;
    Measurement& m = m_measurements[index];
    auto endAndSelect = [this, index] {
        activeMeasurement = -1;
        selectMeasurement(index);
    };
    // Puts the dragged point at r and redraws; false while the drag has not created that point yet.
    auto placePoint = [this, &m, &r](int at) {
        if (m.points.size() <= at)
            return false;
        m.points[at] = r;
        refreshMeasurementGraphics(m);
        return true;
    };

    switch (m.kind) {
    case 3:
        if (!placePoint(1))
            return;
        endAndSelect();
        break;
    case 4:
    case 14: {
        // The angle's second arm and the Cobb angle's second line are drawn by a second drag.
        if (!m_secondPhase) {
            if (placePoint(1))
                m_secondPhase = true;
            return;
        }
        // A click without a drag never started the second stroke: keep waiting for it.
        const int last = m.kind == 4 ? 2 : 3;
        if (!placePoint(last))
            return;
        for (int i = 0; i <= last; ++i)
            m.handles.append(createHandleItem(m_scene, m.points.at(i)));
        m_secondPhase = false;
        endAndSelect();
        break;
    }
    case 5:
        if (!placePoint(1))
            return;
        updateEllipseRoiStats(m);
        endAndSelect();
        break;
    case 7:
    case 8: {
        m.points.append(r);
        const bool closed = m.kind == 8;
        if (!m.items.isEmpty())
            if (auto* path = qgraphicsitem_cast<QGraphicsPathItem*>(m.items.first()))
                path->setPath(polylinePath(m.points, closed));
        if (closed)
            updateFreehandRoiStats(m, r);
        endAndSelect();
        break;
    }
    case 10: {
        if (!placePoint(1))
            return;
        activeMeasurement = -1;
        // The comment dialog runs its own event loop: the record is found again by its first item.
        QGraphicsItem* key = m.items.isEmpty() ? nullptr : m.items.first();
        const QPointer<ImageViewportWidget> self(this);
        const std::optional<QString> text = CommentInputDialog::getText(this, QStringLiteral("Комментарий к стрелке"),
                                                                        QString());
        if (!self)
            return;
        int at = -1;
        for (int i = 0; i < m_measurements.size(); ++i)
            if (!m_measurements.at(i).items.isEmpty() && m_measurements.at(i).items.first() == key)
                at = i;
        if (at < 0)
            return;
        Measurement& arrow = m_measurements[at];
        if (text) {
            arrow.label = makeLabel(m_scene, QColor(120, 200, 255), arrow.points.at(1) + arrow.labelOffset, *text);
            arrow.label->setVisible(arrow.sliceIndex == m_currentIndex && m_plane == 0);
        }
        selectMeasurement(at);
        break;
    }
    case 13:
        if (!placePoint(1))
            return;
        activeMeasurement = -1;
        m_mouse.pendingRoiName.clear();
        selectMeasurement(index);
        break;
    default:
        break;
    }
}

void ImageViewportWidget::addContourPoint(const QPointF& p)
{
    if (m_mouse.contourInProgress && activeMeasurement >= 0 && activeMeasurement < m_measurements.size()) {
        Measurement& m = m_measurements[activeMeasurement];
        // The second press of a double-click lands on the vertex just placed.
        if (!m.points.isEmpty() && m.points.last() == p)
            return;
        m.points.append(p);
        previewContour(p);
        return;
    }
    if (m_mode != 11 && m_mode != 12)
        return;
    Measurement m;
    m.kind = m_mode;
    m.sliceIndex = m_currentIndex;
    m.colour = kindColour(m_mode, m_mouse.pendingRoiName, m_mouse.pendingRoiColour);
    m.name = m_mouse.pendingRoiName;
    m.points = {p};
    QPainterPath path;
    path.moveTo(p);
    m.items.append(m_scene->addPath(path, shapePen(m.colour), Qt::NoBrush));
    m.label = makeLabel(m_scene, m.colour, p);
    m.label->setVisible(false);
    m_measurements.append(m);
    activeMeasurement = m_measurements.size() - 1;
    m_mouse.contourInProgress = true;
}

void ImageViewportWidget::finishContour()
{
    if (!m_mouse.contourInProgress)
        return;
    const int index = activeMeasurement;
    activeMeasurement = -1;
    m_mouse.contourInProgress = false;
    m_mouse.pendingRoiName.clear();
    if (index < 0 || index >= m_measurements.size())
        return;
    Measurement& m = m_measurements[index];
    if (m.points.size() < 3) {
        removeMeasurement(index);
        return;
    }
    for (const QPointF& point : m.points)
        m.handles.append(createHandleItem(m_scene, point));
    if (m.label)
        m.label->setVisible(m.sliceIndex == m_currentIndex && m_plane == 0);
    refreshMeasurementGraphics(m);
    selectMeasurement(index);
}

void ImageViewportWidget::addTextLabel(const QPointF& p)
{
    const QPointer<ImageViewportWidget> self(this);
    const std::optional<QString> text = CommentInputDialog::getText(this, QStringLiteral("Текстовая метка"), QString());
    if (!self || !text || m_slices.isEmpty())
        return;
    Measurement m;
    m.kind = 9;
    m.sliceIndex = m_currentIndex;
    m.colour = kindColour(9, QString(), QColor());
    m.points = {p};
    m.label = makeLabel(m_scene, m.colour, p, *text);
    m.label->setVisible(m_plane == 0);
    m.handles.append(createHandleItem(m_scene, p));
    m_measurements.append(m);
    selectMeasurement(m_measurements.size() - 1);
}

// ---------------------------------------------------------------------------------------------------
// Picks for other windows

void ImageViewportWidget::addCurvedMprPathPoint(const QPointF& p)
{
    const auto row = currentSlice();
    if (!row)
        return;
    if (!row->hasSpatialInfo) {
        showTopLeftMessage(QStringLiteral("Криволинейный MPR недоступен: у этой серии нет пространственной\n"
                                          "информации (ImagePositionPatient/ImageOrientationPatient)."));
        return;
    }
    // The second press of a double-click lands on the point just placed.
    if (!m_mouse.curvedPathMarkers.isEmpty() && m_mouse.curvedPathMarkers.last()->pos() == p
        && m_mouse.curvedPathSlices.last() == m_currentIndex)
        return;
    m_mouse.curvedPathPoints.append(imageToPatient(p));
    m_mouse.curvedPathSlices.append(m_currentIndex);
    m_mouse.curvedPathMarkers.append(makeMarker(m_scene, p, QColor(255, 200, 0)));
    m_mouse.curvedPathActive = true;
    showTopLeftMessage(QStringLiteral("Криволинейный MPR: точек — %1 (двойной клик — построить)")
                           .arg(m_mouse.curvedPathPoints.size()));
}

void ImageViewportWidget::finishCurvedMprPath()
{
    const QList<std::array<double, 3>> points = m_mouse.curvedPathPoints;
    for (QGraphicsItem* marker : m_mouse.curvedPathMarkers) {
        m_scene->removeItem(marker);
        delete marker;
    }
    m_mouse.curvedPathMarkers.clear();
    m_mouse.curvedPathPoints.clear();
    m_mouse.curvedPathSlices.clear();
    m_mouse.curvedPathActive = false;
    updateOverlayTexts();
    if (points.size() >= 2)
        emit curvedMprPathFinished(points);
}

void ImageViewportWidget::addVesselSeed(const QPointF& p)
{
    const auto row = currentSlice();
    if (!row)
        return;
    if (!row->hasSpatialInfo) {
        showTopLeftMessage(QStringLiteral("Автотрассировка сосуда недоступна: у этой серии нет пространственной\n"
                                          "информации (ImagePositionPatient/ImageOrientationPatient)."));
        return;
    }
    m_mouse.vesselSeeds.append(imageToPatient(p));
    m_mouse.vesselMarkers.append(makeMarker(m_scene, p, QColor(255, 120, 255)));
    if (m_mouse.vesselSeeds.size() < 2) {
        showTopLeftMessage(QStringLiteral("Автотрассировка сосуда: точка 1 из 2 отмечена — кликните ещё раз чуть "
                                          "дальше по ходу сосуда."));
        return;
    }
    const QList<std::array<double, 3>> seeds = m_mouse.vesselSeeds;
    for (QGraphicsItem* marker : m_mouse.vesselMarkers) {
        m_scene->removeItem(marker);
        delete marker;
    }
    m_mouse.vesselMarkers.clear();
    m_mouse.vesselSeeds.clear();
    updateOverlayTexts();
    emit vesselAutoTrackSeedPicked(seeds);
}

void ImageViewportWidget::pickLumenSeed(const QPointF& p)
{
    const auto row = currentSlice();
    if (row && row->hasSpatialInfo) {
        emit airwayAutoTraceSeedClicked(imageToPatient(p));
        return;
    }
    showTopLeftMessage(QStringLiteral("Автотрассировка просвета недоступна: у этой серии нет пространственной\n"
                                      "информации (ImagePositionPatient/ImageOrientationPatient)."));
}

// A reconstructed image has other pixels, spacing and geometry than the file's slice whose index the
// panel still holds: nothing is measured or picked on it.
void ImageViewportWidget::showReconstructionRefusal()
{
    const QString text = cornerText(m_topLeftLabel);
    if (text.endsWith(kReconstructionRefusal))
        return;
    showTopLeftMessage(text.isEmpty() ? kReconstructionRefusal : text + QLatin1Char('\n') + kReconstructionRefusal);
}

// ---------------------------------------------------------------------------------------------------
// Hit testing

int ImageViewportWidget::hitTestMeasurement(const QPointF& q) const
{
    if (m_plane != 0)
        return -1;
    // 6 screen pixels in scene units, whatever the zoom, rotation or flip of the view.
    const QTransform t = m_view->transform();
    const double scale = std::hypot(t.m11(), t.m12());
    const double tolerance = scale > 0.0 ? kHitTolerancePixels / scale : kHitTolerancePixels;

    for (int i = 0; i < m_measurements.size(); ++i) {
        const Measurement& m = m_measurements.at(i);
        const QList<QPointF>& p = m.points;
        if (m.sliceIndex != m_currentIndex || p.size() < 2 || m.kind < 3 || m.kind > 14)
            continue;
        bool hit = false;
        switch (m.kind) {
        case 3:
        case 10:
            hit = distanceToSegment(q, p.at(0), p.at(1)) <= tolerance;
            break;
        case 4:
            hit = p.size() >= 3
                  && (distanceToSegment(q, p.at(0), p.at(1)) <= tolerance
                      || distanceToSegment(q, p.at(1), p.at(2)) <= tolerance);
            break;
        case 5:
        case 13:
            hit = insideEllipse(q, p.at(0), p.at(1));
            break;
        case 7:
            for (qsizetype k = 0; k + 1 < p.size() && !hit; ++k)
                hit = distanceToSegment(q, p.at(k), p.at(k + 1)) <= tolerance;
            break;
        case 11:
        case 12:
            for (qsizetype k = 0; k < p.size() && !hit; ++k)
                hit = distanceToSegment(q, p.at(k), p.at((k + 1) % p.size())) <= tolerance;
            break;
        case 14:
            hit = distanceToSegment(q, p.at(0), p.at(1)) <= tolerance
                  || (p.size() >= 4 && distanceToSegment(q, p.at(2), p.at(3)) <= tolerance);
            break;
        default:
            break;
        }
        if (hit)
            return i;
    }
    return -1;
}

// ---------------------------------------------------------------------------------------------------
// Viewport mouse events

bool ImageViewportWidget::viewportMousePress(QMouseEvent* event)
{
    emit activated();
    setFocus(Qt::MouseFocusReason);
    ViewportMouseState& s = m_mouse;
    const QPoint pos = event->position().toPoint();
    const QPointF scenePos = m_view->mapToScene(pos);

    if (event->button() == Qt::MiddleButton) {
        s.windowLevelDrag = true;
        s.pressedButton = Qt::MiddleButton;
        s.lastPos = s.pressPos = pos;
        return true;
    }
    if (event->button() == Qt::RightButton) {
        const QWidget* viewport = m_view->viewport();
        const int w = viewport->width();
        const int h = viewport->height();
        const int bw = w / 4;
        const int bh = h / 4;
        const bool outerBand = pos.x() < bw || pos.y() < bh || pos.x() > w - bw || pos.y() > h - bh;
        (outerBand ? s.zoomDrag : s.panDrag) = true;
        s.pressedButton = Qt::RightButton;
        s.lastPos = s.pressPos = pos;
        return true;
    }
    if (event->button() != Qt::LeftButton)
        return false;

    if (m_mode == 2) {
        s.windowLevelDrag = true;
        s.lastPos = pos;
        return true;
    }
    const bool creates = (m_mode >= 3 && m_mode <= 14) || (m_mode >= 16 && m_mode <= 18);
    if (creates && m_plane != 0) {
        showReconstructionRefusal();
        return true;
    }
    if (m_mode == 6) {
        s.cursor3DDrag = true;
        emit cursor3DClicked(scenePos);
        return true;
    }
    if (s.contourInProgress) {
        addContourPoint(scenePos);
        return true;
    }
    if (m_mode == 16) {
        addCurvedMprPathPoint(scenePos);
        return true;
    }
    if (m_mode == 17) {
        addVesselSeed(scenePos);
        return true;
    }
    if (m_mode == 18) {
        pickLumenSeed(scenePos);
        return true;
    }

    // While an angle or Cobb angle waits for its second arm, the press starts that arm, even on the
    // first arm or its label (where the second arm naturally starts).
    if (!m_secondPhase) {
        if (selectedMeasurement >= 0 && selectedMeasurement < m_measurements.size()) {
            const Measurement& m = m_measurements.at(selectedMeasurement);
            if (m.sliceIndex == m_currentIndex) {
                for (int h = 0; h < m.handles.size(); ++h) {
                    if (manhattan(m_view->mapFromScene(m.handles.at(h)->pos()), pos) <= kHandleGrabDistance) {
                        s.handleDrag = true;
                        s.handleIndex = h;
                        activeMeasurement = selectedMeasurement;
                        return true;
                    }
                }
            }
        }
        for (int i = 0; i < m_measurements.size(); ++i) {
            const Measurement& m = m_measurements.at(i);
            if (m.sliceIndex != m_currentIndex || !m.label || !m.label->isVisible())
                continue;
            // The label keeps its screen size at any zoom: compare where it is drawn on the screen.
            const QRectF onScreen =
                m.label->deviceTransform(m_view->viewportTransform()).mapRect(m.label->boundingRect());
            if (!onScreen.contains(event->position()))
                continue;
            selectMeasurement(i);
            s.labelDrag = true;
            s.labelDragIndex = i;
            s.labelDragOffset = m.labelOffset;
            s.labelDragStart = scenePos;
            s.labelDragLabelPos = m.label->pos();
            return true;
        }
        const int hit = hitTestMeasurement(scenePos);
        if (hit >= 0) {
            selectMeasurement(hit);
            return true;
        }
        selectMeasurement(-1);
    }

    switch (m_mode) {
    case 0:
        return false;
    case 1:
        s.zoomDrag = true;
        s.lastPos = pos;
        return true;
    case 15:
        s.scrollDrag = true;
        s.scrollAccumulator = 0;
        s.lastPos = pos;
        return true;
    case 9:
        addTextLabel(scenePos);
        return true;
    case 11:
    case 12:
        addContourPoint(scenePos);
        return true;
    default:
        s.pendingCreation = true;
        s.pendingViewPos = pos;
        s.pendingScenePos = scenePos;
        return true;
    }
}

bool ImageViewportWidget::viewportMouseMove(QMouseEvent* event)
{
    ViewportMouseState& s = m_mouse;
    const QPoint pos = event->position().toPoint();
    const QPointF scenePos = m_view->mapToScene(pos);

    if (s.cursor3DDrag) {
        emit cursor3DClicked(scenePos);
        return true;
    }
    if (s.contourInProgress) {
        previewContour(scenePos);
        return true;
    }
    if (s.pendingCreation) {
        if (manhattan(pos, s.pendingViewPos) >= kCreateDistance) {
            s.pendingCreation = false;
            startMeasurement(s.pendingScenePos);
            updateActiveMeasurement(scenePos);
        }
        return true;
    }
    if (s.windowLevelDrag) {
        const QPoint d = pos - s.lastPos;
        s.lastPos = pos;
        m_windowWidth = std::max(1.0, m_windowWidth + 2.0 * d.x());
        m_windowCenter = m_windowCenter + 2.0 * d.y();
        m_userWindow = true;
        if (m_plane != 0)
            renderReconstruction();
        else
            showSlice(m_currentIndex);
        return true;
    }
    if (s.labelDrag) {
        if (s.labelDragIndex >= 0 && s.labelDragIndex < m_measurements.size()) {
            Measurement& m = m_measurements[s.labelDragIndex];
            const QPointF moved = scenePos - s.labelDragStart;
            m.labelOffset = moved + s.labelDragOffset;
            // A freehand ROI's label is not placed by the kind's geometry: move it by the drag itself.
            if (m.kind == 8 && m.label)
                m.label->setPos(s.labelDragLabelPos + moved);
            else
                refreshMeasurementGraphics(m);
        }
        return true;
    }
    if (s.handleDrag) {
        if (activeMeasurement >= 0 && activeMeasurement < m_measurements.size()) {
            Measurement& m = m_measurements[activeMeasurement];
            if (s.handleIndex >= 0 && s.handleIndex < m.points.size()) {
                m.points[s.handleIndex] = scenePos;
                refreshMeasurementGraphics(m);
                if (m.kind == 5 && m.label)
                    m.label->setText(QStringLiteral("отпустите для пересчёта HU…"));
            }
        }
        return true;
    }
    if (s.zoomDrag) {
        const double factor = std::pow(1.01, double(s.lastPos.y() - pos.y()));
        m_view->scale(factor, factor);
        s.lastPos = pos;
        m_userZoomed = true;
        hideScrollBars();
        return true;
    }
    if (s.panDrag) {
        const QPoint d = pos - s.lastPos;
        s.lastPos = pos;
        m_view->horizontalScrollBar()->setValue(m_view->horizontalScrollBar()->value() - d.x());
        m_view->verticalScrollBar()->setValue(m_view->verticalScrollBar()->value() - d.y());
        return true;
    }
    if (s.scrollDrag) {
        s.scrollAccumulator += pos.y() - s.lastPos.y();
        s.lastPos = pos;
        while (std::abs(s.scrollAccumulator) >= kScrollStepPixels) {
            const int step = s.scrollAccumulator > 0 ? 1 : -1;
            s.scrollAccumulator -= kScrollStepPixels * step;
            if (m_wheelStepsSeries)
                emit seriesStepRequested(step);
            else
                stepSlices(step);
        }
        return true;
    }
    if (activeMeasurement >= 0) {
        updateActiveMeasurement(scenePos);
        return true;
    }
    return false;
}

bool ImageViewportWidget::viewportMouseRelease(QMouseEvent* event)
{
    ViewportMouseState& s = m_mouse;
    const QPoint pos = event->position().toPoint();
    const QPointF scenePos = m_view->mapToScene(pos);

    if ((event->button() == Qt::RightButton || event->button() == Qt::MiddleButton)
        && int(event->button()) == s.pressedButton) {
        const int moved = manhattan(pos, s.pressPos);
        s.windowLevelDrag = false;
        s.panDrag = false;
        s.zoomDrag = false;
        s.pressedButton = 0;
        if (event->button() == Qt::RightButton && moved < kCreateDistance)
            emit seriesMenuRequested(m_view->viewport()->mapToGlobal(pos));
        return true;
    }
    if (event->button() != Qt::LeftButton)
        return false;

    s.pendingCreation = false;
    if (s.cursor3DDrag) {
        s.cursor3DDrag = false;
        emit cursor3DReleased();
        return true;
    }
    if (s.labelDrag) {
        s.labelDrag = false;
        s.labelDragIndex = -1;
        return true;
    }
    if (m_mode == 2 && s.windowLevelDrag) {
        s.windowLevelDrag = false;
        return true;
    }
    if (s.handleDrag) {
        s.handleDrag = false;
        s.handleIndex = -1;
        const int index = activeMeasurement;
        if (index >= 0 && index < m_measurements.size()) {
            Measurement& m = m_measurements[index];
            if (m.kind == 5)
                updateEllipseRoiStats(m);
            else
                refreshMeasurementGraphics(m);
            selectMeasurement(index);
        }
        activeMeasurement = -1;
        return true;
    }
    if (s.zoomDrag) {
        s.zoomDrag = false;
        return true;
    }
    if (s.scrollDrag) {
        s.scrollDrag = false;
        return true;
    }
    if (activeMeasurement >= 0) {
        finishMeasurement(scenePos);
        return true;
    }
    return false;
}

bool ImageViewportWidget::viewportDoubleClick(QMouseEvent*)
{
    if (m_mode == 0) {
        fitImageInView();
        return true;
    }
    if ((m_mode == 11 || m_mode == 12) && m_mouse.contourInProgress) {
        finishContour();
        return true;
    }
    if (m_mode == 16 && m_mouse.curvedPathActive) {
        finishCurvedMprPath();
        return true;
    }
    return false;
}
