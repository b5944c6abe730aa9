// Distances between picked points of the visible surface, measured in the perspective (endoscopy)
// camera of the GPU 3D view.
#include "analysis3d/D3DVolumeRenderWidget.h"

#include "render/MprSlices.h"
#include "render/TransferFunction.h"

#include <QLabel>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kEndHitPixels = 10;
constexpr double kSegmentHitPixels = 6.0;
const QString kSelectedLabelStyle = QStringLiteral(
    "color: white; background-color: rgba(230,70,60,220); padding: 1px 4px; border: 1px solid white; "
    "border-radius: 3px;");
const QString kLabelStyle =
    QStringLiteral("color: black; background-color: rgba(255,235,60,220); padding: 1px 4px; border-radius: 3px;");


double distanceToSegment(const QPointF& p, const QPointF& a, const QPointF& b)
{
    const QPointF ab = b - a;
    const double len2 = ab.x() * ab.x() + ab.y() * ab.y();
    if (len2 < 1e-6)
        return std::hypot(p.x() - a.x(), p.y() - a.y());
    const double t = std::clamp(((p.x() - a.x()) * ab.x() + (p.y() - a.y()) * ab.y()) / len2, 0.0, 1.0);
    const QPointF nearest = a + t * ab;
    return std::hypot(p.x() - nearest.x(), p.y() - nearest.y());
}

} // namespace

void D3DVolumeRenderWidget::setMeasurementMode(bool enabled)
{
    m_measurementMode = enabled;
    m_drawingMeasurement = false;
    m_dragIndex = -1;
    update();
}

void D3DVolumeRenderWidget::deleteSelectedMeasurement()
{
    if (m_selectedIndex < 0 || m_selectedIndex >= m_measurements.size())
        return;
    delete m_measurements[m_selectedIndex].label;
    m_measurements.removeAt(m_selectedIndex);
    m_selectedIndex = -1;
    emit measurementSelectionChanged(false);
    update();
}

QVector3D D3DVolumeRenderWidget::perspectiveRay(const QPoint& point) const
{
    const Basis b = cameraBasis();
    const double s = std::min(width(), height());
    if (s <= 0)
        return b.dir;
    const double u = (point.x() - (width() - s) / 2.0) / s;
    const double v = (point.y() - (height() - s) / 2.0) / s;
    const double t = std::tan(qDegreesToRadians(double(m_fovDeg)) / 2.0);
    return (b.dir + b.right * float((2.0 * u - 1.0) * t) - b.up * float((2.0 * v - 1.0) * t)).normalized();
}

bool D3DVolumeRenderWidget::pickSurface(const QVector3D& originMm, const QVector3D& direction, QVector3D* hit) const
{
    const render::Volume* volume = m_pickVolume;
    if (!volume || volume->isEmpty())
        return false;
    const QVector3D dir = direction.lengthSquared() <= 1e-9f ? QVector3D(0, 0, 1) : direction.normalized();
    // The half diagonal of the picked volume itself: the same as the uploaded one's, and known even
    // before the device exists.
    const double halfDiagonal = std::sqrt(std::pow(volume->nx * volume->spacingX, 2)
                                          + std::pow(volume->ny * volume->spacingY, 2)
                                          + std::pow(volume->nz * volume->spacingZ, 2))
                                / 2.0;
    const double length = std::max(10.0, 2.5 * halfDiagonal);
    const int n = int(2.0 * length);
    if (n < 1)
        return false;
    const double spacing[3] = {volume->spacingX, volume->spacingY, volume->spacingZ};
    const int dims[3] = {volume->nx, volume->ny, volume->nz};
    bool entered = false;
    double alpha = 0.0;
    for (int k = 0; k < n; ++k) {
        const QVector3D p = originMm + dir * float(0.5 * k);
        double c[3];
        bool inside = true;
        for (int a = 0; a < 3; ++a) {
            c[a] = double(p[a]) / spacing[a] + dims[a] / 2.0;
            inside = inside && c[a] >= 0.0 && c[a] < dims[a] - 1;
        }
        if (!inside) {
            if (entered)
                return false;
            continue;
        }
        entered = true;
        const double density = render::sampleTrilinear(*volume, c[0], c[1], c[2]);
        const double opacity = render::sampleTransferFunctionOpacity(m_currentPreset, density);
        alpha += (1.0 - alpha) * opacity;
        if (alpha >= 0.5) {
            *hit = p;
            return true;
        }
    }
    return false;
}

bool D3DVolumeRenderWidget::pickAt(const QPoint& pos, QVector3D* hit) const
{
    return pickSurface(m_cameraPosMm, perspectiveRay(pos), hit);
}

D3DVolumeRenderWidget::MeasurementHit D3DVolumeRenderWidget::hitTestMeasurement(const QPoint& pos, int* index) const
{
    const auto near = [&](const QPoint& end) {
        return std::hypot(double(pos.x() - end.x()), double(pos.y() - end.y())) <= kEndHitPixels;
    };
    for (int i = 0; i < m_measurements.size(); ++i) {
        if (near(m_measurements[i].screenA)) {
            *index = i;
            return MeasurementHit::EndA;
        }
        if (near(m_measurements[i].screenB)) {
            *index = i;
            return MeasurementHit::EndB;
        }
    }
    for (int i = 0; i < m_measurements.size(); ++i) {
        if (distanceToSegment(pos, m_measurements[i].screenA, m_measurements[i].screenB) <= kSegmentHitPixels) {
            *index = i;
            return MeasurementHit::Segment;
        }
    }
    *index = -1;
    return MeasurementHit::None;
}

void D3DVolumeRenderWidget::setSelected(int index)
{
    m_selectedIndex = index;
    restyleLabels();
    emit measurementSelectionChanged(index >= 0);
}

bool D3DVolumeRenderWidget::measurementPress(const QPoint& pos)
{
    int index = -1;
    const MeasurementHit hit = hitTestMeasurement(pos, &index);
    if (hit == MeasurementHit::EndA || hit == MeasurementHit::EndB) {
        m_dragIndex = index;
        m_dragEndB = hit == MeasurementHit::EndB;
        if (index != m_selectedIndex)
            setSelected(index);
    } else if (hit == MeasurementHit::Segment) {
        setSelected(index);
    } else {
        QVector3D world;
        if (pickAt(pos, &world)) {
            m_drawingMeasurement = true;
            m_newStartScreen = m_newCurrentScreen = pos;
            m_newStartWorld = world;
        }
        if (m_selectedIndex >= 0)
            setSelected(-1);
    }
    update();
    return true;
}

bool D3DVolumeRenderWidget::measurementMove(const QPoint& pos)
{
    if (m_drawingMeasurement) {
        m_newCurrentScreen = pos;
    } else if (m_dragIndex >= 0 && m_dragIndex < m_measurements.size()) {
        SurfaceMeasurement& m = m_measurements[m_dragIndex];
        (m_dragEndB ? m.screenB : m.screenA) = pos;
    } else {
        return false;
    }
    update();
    return true;
}

void D3DVolumeRenderWidget::measurementRelease(const QPoint& pos)
{
    if (m_drawingMeasurement) {
        m_drawingMeasurement = false;
        QVector3D world;
        if (pickAt(pos, &world)) {
            m_measurements.append({m_newStartScreen, pos, m_newStartWorld, world, nullptr});
            placeLabel(m_measurements.last());
            setSelected(int(m_measurements.size()) - 1);
        }
        update();
    } else if (m_dragIndex >= 0) {
        if (m_dragIndex < m_measurements.size()) {
            SurfaceMeasurement& m = m_measurements[m_dragIndex];
            QVector3D world;
            if (pickAt(m_dragEndB ? m.screenB : m.screenA, &world)) {
                (m_dragEndB ? m.worldB : m.worldA) = world;
                placeLabel(m);
                restyleLabels();
            }
        }
        m_dragIndex = -1;
        update();
    }
}

void D3DVolumeRenderWidget::placeLabel(SurfaceMeasurement& measurement)
{
    if (!measurement.label) {
        measurement.label = new QLabel(this);
        measurement.label->setAttribute(Qt::WA_TransparentForMouseEvents, true);
        measurement.label->setStyleSheet(kLabelStyle);
    }
    const double mm = double((measurement.worldB - measurement.worldA).length());
    measurement.label->setText(QStringLiteral("%1 мм").arg(mm, 0, 'f', 1));
    measurement.label->adjustSize();
    const QPointF mid = (QPointF(measurement.screenA) + QPointF(measurement.screenB)) / 2.0;
    measurement.label->move(int(std::lround(mid.x())) + 6, int(std::lround(mid.y())) + 6);
    measurement.label->show();
    measurement.label->raise();
}

void D3DVolumeRenderWidget::restyleLabels()
{
    for (int i = 0; i < m_measurements.size(); ++i) {
        QLabel* label = m_measurements[i].label;
        if (!label)
            continue;
        label->setStyleSheet(i == m_selectedIndex ? kSelectedLabelStyle : kLabelStyle);
        // The padding and border of the style widen the label: fit it to its text again.
        label->adjustSize();
    }
}
