// HU statistics of the two ROI tools of a viewing panel, written into the measurement's label.

#include "viewer/ImageViewportWidget.h"

#include "render/HuImage.h"

#include <QGraphicsEllipseItem>
#include <QGraphicsSimpleTextItem>

namespace {

QString statsText(const render::RoiStats& stats)
{
    if (stats.count < 1)
        return QStringLiteral("ROI пуст");
    return QStringLiteral("Mean %1  Min %2  Max %3  SD %4  (n=%5)")
        .arg(QString::number(stats.mean, 'f', 1), QString::number(stats.min, 'f', 0),
             QString::number(stats.max, 'f', 0), QString::number(stats.stdDev, 'f', 1),
             QString::number(stats.count));
}

QString unavailableText(const render::HuImage& image)
{
    return QStringLiteral("HU недоступно: %1").arg(image.error);
}

} // namespace

void ImageViewportWidget::updateEllipseRoiStats(Measurement& measurement)
{
    QRectF rect;
    auto* ellipse = measurement.items.isEmpty() ? nullptr
                                                : qgraphicsitem_cast<QGraphicsEllipseItem*>(measurement.items.first());
    if (ellipse)
        rect = ellipse->rect();
    else if (measurement.points.size() >= 2)
        rect = QRectF(measurement.points.at(0), measurement.points.at(1)).normalized();

    ensureHuFrameLoaded();
    QString text;
    if (!m_huImage.valid) {
        text = unavailableText(m_huImage);
    } else {
        const QPointF c = rect.center();
        text = statsText(render::ellipseRoiStats(m_huImage, c.x(), c.y(), rect.width() / 2.0, rect.height() / 2.0));
    }
    if (measurement.label) {
        measurement.label->setText(text);
        measurement.label->setPos(rect.topLeft() + measurement.labelOffset);
    }
}

void ImageViewportWidget::updateFreehandRoiStats(Measurement& measurement, const QPointF& releasePoint)
{
    ensureHuFrameLoaded();
    const QString text = m_huImage.valid ? statsText(render::polygonRoiStats(m_huImage, measurement.points))
                                         : unavailableText(m_huImage);
    if (measurement.label) {
        measurement.label->setText(text);
        measurement.label->setPos(releasePoint + measurement.labelOffset);
    }
}
