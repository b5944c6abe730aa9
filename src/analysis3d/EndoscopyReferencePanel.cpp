#include "analysis3d/EndoscopyReferencePanel.h"

#include <QActionGroup>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPolygonF>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kDragThreshold = 4.0;
constexpr int kPixelsPerSlice = 4;
constexpr double kMinZoom = 1.0;
constexpr double kMaxZoom = 6.0;
constexpr double kWheelFactor = 1.15;

double distance(const QPointF& a, const QPointF& b)
{
    return std::hypot(a.x() - b.x(), a.y() - b.y());
}

} // namespace

EndoscopyReferencePanel::Placement EndoscopyReferencePanel::placement(const QSize& imageSize, const QRect& rect,
                                                                      double zoom, double panX, double panY)
{
    Placement out;
    if (imageSize.isEmpty() || rect.isEmpty()) {
        out.offset = QPointF(rect.topLeft());
        out.scale = 1.0;
        return out;
    }
    const double s = std::min(double(rect.height()) / imageSize.height(), double(rect.width()) / imageSize.width());
    const double x0 = rect.x() + (rect.width() - imageSize.width() * s) / 2.0;
    const double y0 = rect.y() + (rect.height() - imageSize.height() * s) / 2.0;
    const QPointF c(rect.center());
    out.offset = QPointF((x0 - c.x()) * zoom + c.x() + panX, (y0 - c.y()) * zoom + c.y() + panY);
    out.scale = s * zoom;
    return out;
}

EndoscopyReferencePanel::EndoscopyReferencePanel(QWidget* parent)
    : QWidget(parent)
{
    setMinimumWidth(220);
    setMouseTracking(false);
}

void EndoscopyReferencePanel::setCurrentSlice(const QImage& image, const QPointF& cameraPixel,
                                              const QPointF& lookAtPixel)
{
    m_slice.image = image;
    m_slice.markerShown = true;
    m_slice.camera = cameraPixel;
    m_slice.lookAt = lookAtPixel;
    update();
}

void EndoscopyReferencePanel::setSliceImage(const QImage& image)
{
    m_slice.image = image;
    m_slice.markerShown = false;
    update();
}

void EndoscopyReferencePanel::setOverviewImage(const QImage& image)
{
    m_overview.image = image;
    m_overview.zoom = 1.0;
    m_overview.panX = 0.0;
    m_overview.panY = 0.0;
    update();
}

void EndoscopyReferencePanel::setOverviewPath(const QList<QPointF>& path)
{
    m_overviewPath = path;
    m_travelled = 0;
    m_overview.markerShown = false;
    update();
}

void EndoscopyReferencePanel::setOverviewMarker(int index, const QPointF& position, const QPointF& lookAt)
{
    m_overview.markerShown = true;
    m_overview.camera = position;
    m_overview.lookAt = lookAt;
    m_travelled = std::clamp(index, 0, int(m_overviewPath.size()));
    update();
}

void EndoscopyReferencePanel::layoutViews()
{
    const int w = width(), h = height();
    const QRect top(6, 6, w - 12, (2 * h - 36) / 3);
    const QRect bottom(6, top.bottom() + 6, w - 12, h - 12 - top.bottom());
    // The slice caption is long: two lines leave room for it in a narrow panel.
    m_slice.rect = top.adjusted(0, 36, 0, 0);
    m_overview.rect = bottom.adjusted(0, 20, 0, 0);
}

void EndoscopyReferencePanel::drawMarker(QPainter& p, const QPointF& a, const QPointF& b)
{
    const QColor green(80, 220, 120);
    p.setPen(Qt::NoPen);
    p.setBrush(green);
    p.drawEllipse(a, 4.0, 4.0);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(green, 2.0));
    p.drawLine(a, b);
    if (distance(a, b) > 1.0) {
        const double angle = std::atan2(-(b.y() - a.y()), b.x() - a.x());
        p.drawLine(b, QPointF(b.x() - 6 * std::cos(angle - 0.5), b.y() + 6 * std::sin(angle - 0.5)));
        p.drawLine(b, QPointF(b.x() - 6 * std::cos(angle + 0.5), b.y() + 6 * std::sin(angle + 0.5)));
    }
}

void EndoscopyReferencePanel::paintEvent(QPaintEvent*)
{
    layoutViews();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    p.fillRect(rect(), QColor(30, 30, 32));

    const QColor captionColor(200, 200, 205);
    const QColor placeholderColor(140, 140, 145);
    p.setPen(captionColor);
    p.drawText(QRect(m_slice.rect.x(), m_slice.rect.y() - 36, m_slice.rect.width(), 36),
               Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap,
               QStringLiteral("Текущий срез (клик — новая точка старта)"));
    p.drawText(QRect(m_overview.rect.x(), m_overview.rect.y() - 20, m_overview.rect.width(), 20),
               Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Путь целиком"));

    auto toWidget = [](const Placement& pl, const QPointF& pt) { return pl.offset + pl.scale * pt; };

    p.save();
    p.setClipRect(m_slice.rect);
    if (!m_slice.image.isNull() && m_slice.rect.width() > 4 && m_slice.rect.height() > 4) {
        const Placement pl = placement(m_slice.image.size(), m_slice.rect, m_slice.zoom, m_slice.panX, m_slice.panY);
        p.drawImage(QRectF(pl.offset, QSizeF(m_slice.image.size()) * pl.scale), m_slice.image);
        if (m_slice.markerShown)
            drawMarker(p, toWidget(pl, m_slice.camera), toWidget(pl, m_slice.lookAt));
    } else {
        p.setPen(placeholderColor);
        p.drawText(m_slice.rect, Qt::AlignCenter | Qt::TextWordWrap, QStringLiteral("Строится путь…"));
    }
    p.restore();

    p.save();
    p.setClipRect(m_overview.rect);
    if (!m_overview.image.isNull() && m_overview.rect.width() >= 5 && m_overview.rect.height() >= 5) {
        const Placement pl = placement(m_overview.image.size(), m_overview.rect, m_overview.zoom, m_overview.panX,
                                       m_overview.panY);
        p.drawImage(QRectF(pl.offset, QSizeF(m_overview.image.size()) * pl.scale), m_overview.image);
        QPolygonF line;
        for (const QPointF& pt : m_overviewPath)
            line.append(toWidget(pl, pt));
        p.setBrush(Qt::NoBrush);
        if (line.size() >= 2) {
            p.setPen(QPen(QColor(240, 200, 60), 2.0));
            p.drawPolyline(line);
        }
        const int travelled = std::min(m_travelled, int(line.size()));
        if (travelled >= 2) {
            p.setPen(QPen(QColor(230, 70, 60), 2.6));
            p.drawPolyline(line.constData(), travelled);
        }
        if (m_overview.markerShown)
            drawMarker(p, toWidget(pl, m_overview.camera), toWidget(pl, m_overview.lookAt));
    } else {
        p.setPen(placeholderColor);
        p.drawText(m_overview.rect, Qt::AlignCenter | Qt::TextWordWrap, QStringLiteral("Строится обзор…"));
    }
    p.restore();
}

EndoscopyReferencePanel::View* EndoscopyReferencePanel::viewAt(const QPointF& pos)
{
    layoutViews();
    const QPoint pixel = pos.toPoint();
    if (m_slice.rect.contains(pixel))
        return &m_slice;
    if (m_overview.rect.contains(pixel))
        return &m_overview;
    return nullptr;
}

void EndoscopyReferencePanel::zoomAt(View& view, const QPointF& cursor, double factor)
{
    if (view.image.size().isEmpty() || view.rect.isEmpty())
        return;
    const Placement now = placement(view.image.size(), view.rect, view.zoom, view.panX, view.panY);
    if (now.scale <= 0.0)
        return;
    const QPointF u = (cursor - now.offset) / now.scale;
    const double zoom = std::clamp(view.zoom * factor, kMinZoom, kMaxZoom);
    const Placement base = placement(view.image.size(), view.rect, 1.0, 0.0, 0.0);
    const QPointF c(view.rect.center());
    view.zoom = zoom;
    view.panX = cursor.x() - u.x() * zoom * base.scale - c.x() - (base.offset.x() - c.x()) * zoom;
    view.panY = cursor.y() - u.y() * zoom * base.scale - c.y() - (base.offset.y() - c.y()) * zoom;
}

void EndoscopyReferencePanel::mousePressEvent(QMouseEvent* event)
{
    const QPointF pos = event->position();
    View* view = viewAt(pos);
    if (!view)
        return;
    if (event->button() == Qt::LeftButton) {
        if (view == &m_slice) {
            m_sliceDrag = true;
            m_sliceDragMoved = false;
            m_slicePress = m_sliceLast = pos;
            m_scrollAccumulator = 0;
        } else {
            m_overviewDrag = true;
            m_overviewPress = pos;
            m_overviewPressPanX = m_overview.panX;
            m_overviewPressPanY = m_overview.panY;
        }
    } else if (event->button() == Qt::RightButton) {
        m_rightTarget = view == &m_slice ? 1 : 2;
        const int bw = view->rect.width() / 4;
        const int bh = view->rect.height() / 4;
        const QRect& r = view->rect;
        // Near the edges the right drag zooms, in the middle it pans.
        m_rightZoom = pos.x() - r.left() < bw || r.right() - pos.x() < bw || pos.y() - r.top() < bh
                      || r.bottom() - pos.y() < bh;
        m_rightMoved = false;
        m_rightPress = m_rightLast = pos;
    }
}

void EndoscopyReferencePanel::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF pos = event->position();
    if (m_rightTarget != 0) {
        if (distance(pos, m_rightPress) > kDragThreshold)
            m_rightMoved = true;
        View& view = m_rightTarget == 1 ? m_slice : m_overview;
        if (m_rightZoom) {
            const double dy = pos.y() - m_rightLast.y();
            if (!view.image.isNull())
                zoomAt(view, pos, std::pow(1.01, -dy));
        } else {
            view.panX += pos.x() - m_rightLast.x();
            view.panY += pos.y() - m_rightLast.y();
        }
        m_rightLast = pos;
        update();
        return;
    }
    if (m_sliceDrag) {
        if (!m_sliceDragMoved && distance(pos, m_slicePress) <= kDragThreshold) {
            m_sliceLast = pos;
            return;
        }
        m_sliceDragMoved = true;
        m_scrollAccumulator += int(pos.y() - m_sliceLast.y());
        while (std::abs(m_scrollAccumulator) >= kPixelsPerSlice) {
            const int sign = m_scrollAccumulator > 0 ? 1 : -1;
            m_scrollAccumulator -= sign * kPixelsPerSlice;
            emit sliceScrollRequested(sign);
        }
        m_sliceLast = pos;
        return;
    }
    if (m_overviewDrag) {
        m_overview.panX = m_overviewPressPanX + (pos.x() - m_overviewPress.x());
        m_overview.panY = m_overviewPressPanY + (pos.y() - m_overviewPress.y());
        update();
    }
}

void EndoscopyReferencePanel::mouseReleaseEvent(QMouseEvent* event)
{
    const QPointF pos = event->position();
    if (event->button() == Qt::RightButton) {
        const bool openMenu = !m_rightMoved && m_rightTarget == 1;
        m_rightTarget = 0;
        m_rightMoved = false;
        if (openMenu)
            openPlaneMenu(event->globalPosition().toPoint());
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    if (m_sliceDrag && !m_sliceDragMoved && !m_slice.image.isNull()) {
        layoutViews();
        const Placement pl = placement(m_slice.image.size(), m_slice.rect, m_slice.zoom, m_slice.panX, m_slice.panY);
        if (pl.scale > 0.0) {
            const QPointF pixel = (pos - pl.offset) / pl.scale;
            if (pixel.x() >= 0 && pixel.x() < m_slice.image.width() && pixel.y() >= 0
                && pixel.y() < m_slice.image.height())
                emit sliceClicked(pixel);
        }
    }
    m_sliceDrag = false;
    m_sliceDragMoved = false;
    m_overviewDrag = false;
}

void EndoscopyReferencePanel::mouseDoubleClickEvent(QMouseEvent* event)
{
    View* view = viewAt(event->position());
    if (!view)
        return;
    view->zoom = 1.0;
    view->panX = 0.0;
    view->panY = 0.0;
    update();
}

void EndoscopyReferencePanel::wheelEvent(QWheelEvent* event)
{
    View* view = viewAt(event->position());
    if (!view || view->image.isNull())
        return;
    zoomAt(*view, event->position(), event->angleDelta().y() >= 1 ? kWheelFactor : 1.0 / kWheelFactor);
    update();
}

void EndoscopyReferencePanel::openPlaneMenu(const QPoint& globalPos)
{
    QMenu menu(this);
    auto* group = new QActionGroup(&menu);
    group->setExclusive(true);
    const std::pair<SlicePlane, QString> entries[] = {
        {Axial, QStringLiteral("Аксиальный")},
        {Coronal, QStringLiteral("Корональный")},
        {Sagittal, QStringLiteral("Сагиттальный")},
    };
    for (const auto& [plane, text] : entries) {
        QAction* action = menu.addAction(text);
        action->setCheckable(true);
        action->setChecked(plane == m_plane);
        action->setData(int(plane));
        group->addAction(action);
    }
    QAction* chosen = menu.exec(globalPos);
    if (chosen)
        emit slicePlaneChangeRequested(SlicePlane(chosen->data().toInt()));
}
