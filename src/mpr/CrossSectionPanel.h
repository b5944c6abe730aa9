#pragma once

#include "render/CurvedMprRenderer.h"
#include "render/FusionVolume.h"

#include <QList>
#include <QWidget>

class MprViewportWidget;
class QAction;
class QLabel;
class QScrollArea;
class QToolBar;
class QToolButton;
class QVBoxLayout;

// One section of the column: a frame with its offset label and a small reconstruction panel.
struct CrossSectionCell
{
    MprViewportWidget* view = nullptr;
    QLabel* label = nullptr;
    QWidget* frame = nullptr;
    double offset = 0.0;
};

// A column of 21 square sections perpendicular to a curved reconstruction's centreline, one per
// millimetre from 10 mm before to 10 mm after the current position, each with the ruler, ROI, window
// and two-step stenosis tools. Dragging the window in any section re-renders all of them.
class CrossSectionPanel : public QWidget
{
    Q_OBJECT

public:
    explicit CrossSectionPanel(QWidget* parent = nullptr);

    // The volume must outlive the panel's use of it; the result is copied.
    void rebuild(const render::FusionVolume& volume, const render::CurvedMprResult& result, double centreMm,
                 double sizeMm, double windowCenter, double windowWidth);
    void clear();

    void setTool(int mode);
    int toolMode() const { return m_toolMode; }
    const QList<CrossSectionCell>& cells() const { return m_cells; }
    QLabel* stenosisResultLabel() const { return m_resultLabel; }
    QScrollArea* scrollArea() const { return m_scrollArea; }
    double windowCenter() const { return m_windowCenter; }
    double windowWidth() const { return m_windowWidth; }
    double centreMm() const { return m_centreMm; }

signals:
    // A cell was picked (double-click, or a click in a crosshair tool): its offset in mm, -10 to +10.
    void sliceActivated(double offsetMm);

private:
    void buildCells();
    void refreshImages();
    void onWindowLevelDragged(double deltaCenter, double deltaWidth);
    void showEmpty(CrossSectionCell& cell);
    bool renderCell(const CrossSectionCell& cell, QImage* image, QList<float>* values, int* side,
                    double* mmPerPixel) const;
    void scrollToCentreLater();

    QToolBar* m_toolBar = nullptr;
    QLabel* m_resultLabel = nullptr;
    QToolButton* m_stenosisButton = nullptr;
    QList<QAction*> m_toolActions;
    int m_toolMode = 4;
    QScrollArea* m_scrollArea = nullptr;
    QWidget* m_content = nullptr;
    QVBoxLayout* m_contentLayout = nullptr;
    QList<CrossSectionCell> m_cells;
    bool m_cellsBuilt = false;
    const render::FusionVolume* m_volume = nullptr;
    render::CurvedMprResult m_result;
    double m_centreMm = 0.0;
    double m_sizeMm = 40.0;
    double m_windowCenter = 0.0;
    double m_windowWidth = 1.0;
};

// ROI text of a cross-section cell: statistics of an HU grid over the ellipse drawn in the rectangle, by
// the pixel rule of every other ROI, so that the corners outside a vessel's lumen do not count.
QString crossSectionEllipseStats(const QList<float>& values, int width, int height, const QRectF& rect);
