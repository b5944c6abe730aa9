#include "viewer/MeasurementGraphics.h"

#include <QBrush>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsEllipseItem>
#include <QGraphicsScene>
#include <QPen>
#include <QRectF>
#include <QWidget>

#include <cmath>

QGraphicsEllipseItem* createHandleItem(QGraphicsScene* scene, const QPointF& pos)
{
    auto* handle = new QGraphicsEllipseItem(QRectF(-4.0, -4.0, 8.0, 8.0));
    handle->setPos(pos);
    handle->setFlag(QGraphicsItem::ItemIgnoresTransformations, true);
    handle->setBrush(QBrush(Qt::white, Qt::SolidPattern));
    handle->setPen(QPen(QBrush(Qt::black), 1));
    handle->setZValue(1000);
    handle->setVisible(false);
    if (scene)
        scene->addItem(handle);
    return handle;
}

namespace {

QGraphicsDropShadowEffect* labelShadow()
{
    auto* shadow = new QGraphicsDropShadowEffect;
    shadow->setColor(QColor(0, 0, 0, 235));
    shadow->setBlurRadius(5);
    shadow->setOffset(0, 0);
    return shadow;
}

} // namespace

void applyLabelShadow(QGraphicsItem* item)
{
    if (item)
        item->setGraphicsEffect(labelShadow());
}

void applyLabelShadow(QWidget* label)
{
    if (label)
        label->setGraphicsEffect(labelShadow());
}

double distanceToSegment(const QPointF& p, const QPointF& a, const QPointF& b)
{
    const QPointF ab = b - a;
    const double lengthSquared = ab.x() * ab.x() + ab.y() * ab.y();
    double t = 0.0;
    if (lengthSquared > 0.0) {
        const QPointF ap = p - a;
        t = (ap.x() * ab.x() + ap.y() * ab.y()) / lengthSquared;
        t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
    }
    const QPointF nearest = a + t * ab;
    return std::hypot(p.x() - nearest.x(), p.y() - nearest.y());
}

bool insideEllipse(const QPointF& p, const QPointF& corner1, const QPointF& corner2)
{
    const QRectF r = QRectF(corner1, corner2).normalized();
    const double a = r.width() / 2.0;
    const double b = r.height() / 2.0;
    if (a <= 0.0 || b <= 0.0)
        return false;
    const double u = (p.x() - r.center().x()) / a;
    const double v = (p.y() - r.center().y()) / b;
    return u * u + v * v <= 1.0;
}

QPainterPath polylinePath(const QList<QPointF>& points, bool closed)
{
    QPainterPath path;
    if (points.isEmpty())
        return path;
    path.moveTo(points.first());
    for (qsizetype i = 1; i < points.size(); ++i)
        path.lineTo(points.at(i));
    if (closed)
        path.closeSubpath();
    return path;
}

QPainterPath smoothClosedPath(const QList<QPointF>& points)
{
    QPainterPath path;
    const qsizetype n = points.size();
    if (n < 3)
        return polylinePath(points, true);
    auto at = [&](qsizetype i) { return points.at(((i % n) + n) % n); };
    path.moveTo(points.first());
    for (qsizetype i = 0; i < n; ++i) {
        const QPointF c1 = at(i) + (at(i + 1) - at(i - 1)) / 6.0;
        const QPointF c2 = at(i + 1) - (at(i + 2) - at(i)) / 6.0;
        path.cubicTo(c1, c2, at(i + 1));
    }
    path.closeSubpath();
    return path;
}

QPainterPath smoothOpenPath(const QList<QPointF>& points)
{
    QPainterPath path;
    const qsizetype n = points.size();
    if (n == 0)
        return path;
    path.moveTo(points.first());
    if (n == 2) {
        path.lineTo(points.at(1));
        return path;
    }
    for (qsizetype i = 0; i + 1 < n; ++i) {
        const QPointF before = points.at(i == 0 ? 0 : i - 1);
        const QPointF after = points.at(i + 2 < n ? i + 2 : n - 1);
        const QPointF c1 = points.at(i) + (points.at(i + 1) - before) / 6.0;
        const QPointF c2 = points.at(i + 1) - (after - points.at(i)) / 6.0;
        path.cubicTo(c1, c2, points.at(i + 1));
    }
    return path;
}
