#include "analysis3d/TimeIntensityCurveWidget.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

bool isValidSample(const render::TimeIntensitySample& s)
{
    return s.count > 0;
}

} // namespace

TimeIntensityCurveWidget::TimeIntensityCurveWidget(QWidget* parent)
    : QWidget(parent)
{
    setMinimumHeight(180);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setBrush(QPalette::All, QPalette::Window, QColor(20, 20, 24));
    setPalette(pal);
}

void TimeIntensityCurveWidget::setCurves(const QList<TimeIntensitySeries>& curves)
{
    m_curves = curves;
    update();
}

void TimeIntensityCurveWidget::clearCurves()
{
    m_curves.clear();
    update();
}

QString TimeIntensityCurveWidget::legendText(int oneBased, int curveType)
{
    static const char* const kTypes[] = {"Тип I", "Тип II", "Тип III"};
    if (curveType < 1 || curveType > 3)
        return QStringLiteral("ROI %1").arg(oneBased);
    return QStringLiteral("ROI %1 · %2").arg(oneBased).arg(QString::fromUtf8(kTypes[curveType - 1]));
}

QString TimeIntensityCurveWidget::timeLabel(double time, bool numbered)
{
    if (numbered)
        return QString::number(qint64(std::trunc(time)) + 1);
    return QString::number(time, 'f', 0);
}

void TimeIntensityCurveWidget::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    const QRect r = rect();

    if (m_curves.isEmpty()) {
        p.setPen(QColor(150, 150, 150));
        p.drawText(r, Qt::AlignCenter, QStringLiteral("Нарисуйте ROI на изображении, чтобы увидеть кривую"));
        return;
    }

    const QRect plot(55, 15, std::max(r.width() - 70, 10), std::max(r.height() - 50, 10));

    double yMin = std::numeric_limits<double>::max(), yMax = std::numeric_limits<double>::lowest();
    double xMin = std::numeric_limits<double>::max(), xMax = std::numeric_limits<double>::lowest();
    bool numbered = false;
    bool anyValid = false;
    for (const TimeIntensitySeries& series : m_curves) {
        numbered = numbered || series.curve.timeIsPhaseIndex;
        for (const render::TimeIntensitySample& s : series.curve.samples) {
            if (!isValidSample(s))
                continue;
            anyValid = true;
            yMin = std::min(yMin, s.mean);
            yMax = std::max(yMax, s.mean);
            xMin = std::min(xMin, s.time);
            xMax = std::max(xMax, s.time);
        }
    }
    if (!anyValid) {
        p.setPen(QColor(210, 90, 90));
        p.drawText(r, Qt::AlignCenter, QStringLiteral("Не удалось прочитать ни одной фазы для этих ROI"));
        return;
    }

    if (yMax - yMin < 1e-6) {
        yMax += 1.0;
        yMin -= 1.0;
    }
    if (xMax - xMin < 1e-6)
        xMax += 1.0;
    const double pad = (yMax - yMin) * 0.1;
    yMin -= pad;
    yMax += pad;

    const double left = plot.left(), bottom = plot.bottom(), width = plot.width(), height = plot.height();
    auto mapX = [&](double t) { return left + width * (t - xMin) / (xMax - xMin); };
    auto mapY = [&](double v) { return bottom - height * (v - yMin) / (yMax - yMin); };

    const QColor labelColor(165, 165, 165);
    for (int i = 0; i <= 4; ++i) {
        const double f = i * 0.25;
        const double y = bottom - height * f;
        p.setPen(QColor(55, 55, 62));
        p.drawLine(QPointF(left, y), QPointF(plot.right(), y));
        p.setPen(labelColor);
        p.drawText(QRectF(0, y - 8, 49, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(yMin + (yMax - yMin) * f, 'f', 0));
    }

    p.setPen(labelColor);
    const QList<render::TimeIntensitySample>& first = m_curves.first().curve.samples;
    const qsizetype n = first.size();
    const qsizetype step = std::max<qsizetype>(n / 8, 1);
    for (qsizetype k = 0; k < n; k += step) {
        const double px = mapX(first[k].time);
        p.drawText(QRectF(px - 20, bottom + 4, 40, 16), Qt::AlignCenter, timeLabel(first[k].time, numbered));
    }
    p.drawText(QRectF(left, r.height() - 18, width, 16), Qt::AlignCenter,
               numbered ? QStringLiteral("Номер фазы") : QStringLiteral("Время, с"));

    for (const TimeIntensitySeries& series : m_curves) {
        p.setPen(QPen(series.color, 2));
        bool previousValid = false;
        QPointF previous;
        for (const render::TimeIntensitySample& s : series.curve.samples) {
            if (!isValidSample(s)) {
                previousValid = false;
                continue;
            }
            const QPointF pt(mapX(s.time), mapY(s.mean));
            if (previousValid)
                p.drawLine(previous, pt);
            previous = pt;
            previousValid = true;
        }
    }

    p.setPen(Qt::NoPen);
    for (const TimeIntensitySeries& series : m_curves) {
        p.setBrush(series.color);
        for (const render::TimeIntensitySample& s : series.curve.samples)
            if (isValidSample(s))
                p.drawEllipse(QPointF(mapX(s.time), mapY(s.mean)), 3.5, 3.5);
    }

    const double x0 = plot.right() - 120;
    double y = 17;
    for (qsizetype c = 0; c < m_curves.size(); ++c) {
        const TimeIntensitySeries& series = m_curves[c];
        p.setPen(Qt::NoPen);
        p.setBrush(series.color);
        p.drawRect(QRectF(x0, y, 10, 10));
        p.setPen(QColor(220, 220, 220));
        p.drawText(QRectF(x0 + 15, y - 3, 110, 16), Qt::AlignLeft | Qt::AlignVCenter,
                   legendText(int(c + 1), series.curve.shape));
        y += 16;
    }
}
