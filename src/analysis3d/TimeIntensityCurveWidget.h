#pragma once
// The chart of the DCE window: one coloured polyline with point markers per ROI over a shared time
// axis and a shared intensity axis, with a legend naming each curve and its enhancement type.

#include "render/TimeIntensityCurve.h"

#include <QColor>
#include <QList>
#include <QWidget>

// One curve as the chart receives it: its colour and the computed time-intensity curve.
struct TimeIntensitySeries
{
    QColor color;
    render::TimeIntensityCurve curve;
};

class TimeIntensityCurveWidget : public QWidget
{
    Q_OBJECT

public:
    explicit TimeIntensityCurveWidget(QWidget* parent = nullptr);

    void setCurves(const QList<TimeIntensitySeries>& curves);
    void clearCurves();
    const QList<TimeIntensitySeries>& curves() const { return m_curves; }

    // Legend text of curve number `oneBased`: "ROI n", with " · Тип I/II/III" for a classified curve.
    static QString legendText(int oneBased, int curveType);
    // Label under the time axis for one sample time.
    static QString timeLabel(double time, bool numbered);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QList<TimeIntensitySeries> m_curves;
};
