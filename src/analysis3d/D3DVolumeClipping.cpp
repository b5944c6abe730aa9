// Free-hand crops of the GPU 3D view: an outline drawn over the picture cuts away everything inside it
// through the whole depth of the volume, along the viewing direction of the moment it was drawn.
#include "analysis3d/D3DVolumeRenderWidget.h"

#include <QPainter>
#include <QPolygon>

#include <algorithm>
#include <cmath>

void D3DVolumeRenderWidget::setCropDrawingEnabled(bool enabled)
{
    m_cropDrawingEnabled = enabled;
    m_outline.clear();
    m_drawingOutline = false;
}

void D3DVolumeRenderWidget::removeLastCrop()
{
    if (m_cropCount >= 1) {
        // The slot's mask stays until a later crop overwrites it.
        --m_cropCount;
        update();
    }
}

void D3DVolumeRenderWidget::clearCrops()
{
    for (auto& mask : m_cropMasks)
        mask.release();
    m_cropCount = 0;
    update();
}

QImage D3DVolumeRenderWidget::cropMask(const QList<QPoint>& outline, const QSize& viewSize)
{
    const double w = viewSize.width(), h = viewSize.height();
    const int side = std::max(1, int(std::lround(std::min(w, h))));
    const double ox = (w - side) / 2.0, oy = (h - side) / 2.0;
    QPolygon polygon;
    polygon.reserve(outline.size());
    for (const QPoint& p : outline)
        polygon.append(QPoint(int(std::lround(p.x() - ox)), int(std::lround(p.y() - oy))));

    QImage mask(side, side, QImage::Format_Grayscale8);
    mask.fill(255);
    QPainter painter(&mask);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawPolygon(polygon, Qt::OddEvenFill);
    return mask;
}

void D3DVolumeRenderWidget::finishCropOutline()
{
    m_drawingOutline = false;
    if (m_outline.size() < 3) {
        m_outline.clear();
        update();
        return;
    }
    if (m_cropCount >= render::kMaxCropSlots) {
        m_outline.clear();
        emit statusMessage(QStringLiteral("Достигнут предел одновременных обрезок (%1) — сначала уберите одну "
                                          "кнопкой «Убрать обрезку».")
                               .arg(render::kMaxCropSlots));
        update();
        return;
    }
    const int slot = m_cropCount;
    const Basis b = cameraBasis();
    CropState& crop = m_crops[size_t(slot)];
    crop.dir = b.dir;
    crop.right = b.right;
    crop.up = b.up;
    crop.halfExtentMm = std::max(m_zoom, 0.1f) * m_halfDiagonalMm;
    crop.panU = m_panX;
    crop.panV = m_panY;

    const QImage mask = cropMask(m_outline, size());
    if (m_initialized) {
        QString error;
        if (m_cropMasks[size_t(slot)].upload(&m_device, mask, &error))
            ++m_cropCount;
        else
            emit initializationFailed(error);
    }
    m_outline.clear();
    update();
}
