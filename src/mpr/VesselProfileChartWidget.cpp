#include "mpr/VesselProfileChartWidget.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

VesselProfileChartWidget::VesselProfileChartWidget(QWidget* parent) : QWidget(parent)
{
    setMinimumHeight(200);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::All, QPalette::Window, QColor(20, 20, 24));
    setPalette(pal);
    setCursor(Qt::PointingHandCursor);
    setToolTip(QStringLiteral("Кликните по графику, чтобы посмотреть увеличенный поперечный срез сосуда в этой "
                              "точке — помогает отличить настоящее сужение от артефакта."));
}

void VesselProfileChartWidget::setProfile(const render::LumenProfile& profile)
{
    m_profile = profile;
    m_hasSelection = false;
    update();
}

bool VesselProfileChartWidget::isEmptyState() const
{
    return !m_profile.message.isEmpty() || m_profile.sections.isEmpty();
}

VesselProfileChartWidget::PlotArea VesselProfileChartWidget::plotArea() const
{
    PlotArea area;
    area.rect = QRectF(55, 15, std::max(width() - 70, 10), std::max(height() - 50, 10));
    double xMax = 0.0;
    double dMax = 0.0, dMin = 0.0;
    bool anyValid = false;
    for (const render::LumenSample& s : m_profile.sections) {
        xMax = std::max(xMax, s.arcMm);
        if (!s.valid)
            continue;
        if (!anyValid) {
            dMax = dMin = s.diameterMm;
            anyValid = true;
        } else {
            dMax = std::max(dMax, s.diameterMm);
            dMin = std::min(dMin, s.diameterMm);
        }
    }
    area.xMax = xMax < 1e-6 ? 1.0 : xMax;
    double yMax = 1.0;
    if (anyValid)
        yMax = (dMax - dMin < 1e-6) ? dMax + 1.0 : dMax;
    area.yTop = 1.15 * yMax;
    return area;
}

void VesselProfileChartWidget::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);

    if (isEmptyState()) {
        const QString text = m_profile.message.isEmpty()
                                 ? QStringLiteral("Постройте кривую и нажмите «Пересчитать»")
                                 : m_profile.message;
        p.setPen(QColor(210, 90, 90));
        p.drawText(rect().adjusted(20, 20, -20, -20), Qt::AlignCenter | Qt::TextWordWrap, text);
        return;
    }

    const PlotArea area = plotArea();
    const QRectF& r = area.rect;
    const double left = r.left(), right = r.left() + r.width(), top = r.top(), bottom = r.top() + r.height();
    auto X = [&](double s) { return left + r.width() * s / area.xMax; };
    auto Y = [&](double d) { return bottom - r.height() * d / area.yTop; };
    const QColor labelColor(165, 165, 165);

    for (double f : {0.0, 0.25, 0.5, 0.75, 1.0}) {
        const double y = bottom - r.height() * f;
        p.setPen(QColor(55, 55, 62));
        p.drawLine(QPointF(left, y), QPointF(right, y));
        p.setPen(labelColor);
        p.drawText(QRectF(0, y - 8, left - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(area.yTop * f, 'f', 1));
    }
    p.setPen(labelColor);
    p.drawText(QRectF(left, height() - 18, r.width(), 16), Qt::AlignCenter,
               QStringLiteral("Расстояние вдоль кривой, мм"));

    if (m_profile.referenceDiameterMm > 0.0) {
        const double y = Y(m_profile.referenceDiameterMm);
        QColor c(120, 180, 120, 150);
        p.setPen(QPen(c, 1.5, Qt::DashLine));
        p.drawLine(QPointF(left, y), QPointF(right, y));
        p.setPen(QColor(120, 180, 120));
        // Long labels may reach past their box rather than be cut off.
        p.drawText(QRectF(right - 90, y - 18, 90, 16), Qt::AlignRight | Qt::AlignVCenter | Qt::TextDontClip,
                   QStringLiteral("референс %1 мм").arg(m_profile.referenceDiameterMm, 0, 'f', 1));
    }

    const QPen blue(QColor(90, 170, 255), 2.0);
    const QPen orange(QColor(230, 160, 60), 2.0);
    bool previousValid = false;
    QPointF previous;
    for (const render::LumenSample& s : m_profile.sections) {
        if (!s.valid) {
            previousValid = false;
            continue;
        }
        const QPointF current(X(s.arcMm), Y(s.diameterMm));
        if (previousValid) {
            p.setPen(s.touchesBorder ? orange : blue);
            p.drawLine(previous, current);
        }
        previous = current;
        previousValid = true;
    }

    p.setPen(QPen(QColor(230, 90, 90), 2.0));
    for (const render::LumenSample& s : m_profile.sections) {
        if (s.calcified)
            p.drawLine(QPointF(X(s.arcMm), bottom), QPointF(X(s.arcMm), bottom + 6));
    }

    if (m_profile.minDiameterMm > 0.0) {
        const double x = X(m_profile.minDiameterArcMm);
        p.setPen(QPen(QColor(230, 90, 90, 180), 1.5, Qt::DashLine));
        p.drawLine(QPointF(x, top), QPointF(x, bottom));
        p.setPen(QColor(230, 90, 90));
        p.drawText(QRectF(x - 60, top - 2, 120, 16), Qt::AlignCenter | Qt::TextDontClip,
                   QStringLiteral("мин. %1 мм").arg(m_profile.minDiameterMm, 0, 'f', 1));
    }

    if (m_hasSelection) {
        const double x = X(m_selectedDistanceMm);
        p.setPen(QPen(QColor(240, 240, 240, 200), 1.5));
        p.drawLine(QPointF(x, top), QPointF(x, bottom));
    }
}

void VesselProfileChartWidget::mousePressEvent(QMouseEvent* event)
{
    const PlotArea area = plotArea();
    const QPoint pos = event->position().toPoint();
    if (event->button() != Qt::LeftButton || isEmptyState() || !area.rect.contains(pos)) {
        QWidget::mousePressEvent(event);
        return;
    }
    const double t = std::clamp((pos.x() - area.rect.left()) / area.rect.width(), 0.0, 1.0);
    const double target = t * area.xMax;
    int best = 0;
    double bestDiff = std::abs(m_profile.sections[0].arcMm - target);
    for (int i = 1; i < m_profile.sections.size(); ++i) {
        const double diff = std::abs(m_profile.sections[i].arcMm - target);
        if (diff < bestDiff) {
            best = i;
            bestDiff = diff;
        }
    }
    m_selectedDistanceMm = m_profile.sections[best].arcMm;
    m_hasSelection = true;
    update();
    emit pointClicked(m_selectedDistanceMm);
}
