#pragma once

#include "render/VesselLumen.h"

#include <QRectF>
#include <QWidget>

// Lumen diameter against distance along the centreline, painted by hand: reference level, narrowest
// point, calcified points and the stretches where the section frame cut the lumen off. A click picks
// the nearest measured point.
class VesselProfileChartWidget : public QWidget
{
    Q_OBJECT

public:
    explicit VesselProfileChartWidget(QWidget* parent = nullptr);

    void setProfile(const render::LumenProfile& profile);
    const render::LumenProfile& profile() const { return m_profile; }
    bool hasSelection() const { return m_hasSelection; }
    double selectedDistanceMm() const { return m_selectedDistanceMm; }

    // Plot rectangle and axis ranges shared by painting and picking.
    struct PlotArea
    {
        QRectF rect;
        double xMax = 1.0;
        double yTop = 1.0;
    };
    PlotArea plotArea() const;

signals:
    void pointClicked(double distanceMm);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    bool isEmptyState() const;

    render::LumenProfile m_profile;
    double m_selectedDistanceMm = -1.0;
    bool m_hasSelection = false;
};
