#include "mpr/CrossSectionPanel.h"

#include "mpr/MprViewportWidget.h"

#include "render/RoiMask.h"
#include "render/VesselLumen.h"
#include "viewer/ToolbarIcons.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {
constexpr int kCellCount = 21;
constexpr int kStenosisByDiameter = 15;
constexpr int kStenosisByArea = 16;
} // namespace

QString crossSectionEllipseStats(const QList<float>& values, int width, int height, const QRectF& rect)
{
    const QPointF c = rect.center();
    const render::RoiStats stats =
        render::ellipseRoiStats(values, width, height, {c.x(), c.y(), rect.width() / 2.0, rect.height() / 2.0});
    if (stats.count == 0)
        return QStringLiteral("HU недоступно");
    return QStringLiteral("Mean: %1  StdDev: %2\nMin: %3  Max: %4")
        .arg(stats.mean, 0, 'f', 1)
        .arg(stats.stdDev, 0, 'f', 1)
        .arg(stats.min, 0, 'f', 0)
        .arg(stats.max, 0, 'f', 0);
}

CrossSectionPanel::CrossSectionPanel(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* title = new QLabel(QStringLiteral("Перпендикулярные срезы (±1 см, шаг 1 мм)"), this);
    title->setStyleSheet(QStringLiteral("font-weight: bold; padding: 4px;"));
    title->setWordWrap(true);
    layout->addWidget(title);

    m_toolBar = new QToolBar(this);
    m_toolBar->setIconSize(QSize(18, 18));
    m_stenosisButton = new QToolButton(m_toolBar);
    m_stenosisButton->setIcon(measureIcon());
    m_stenosisButton->setCheckable(true);
    m_stenosisButton->setPopupMode(QToolButton::InstantPopup);
    m_stenosisButton->setToolTip(QStringLiteral(
        "Расчёт % стеноза: два последовательных измерения — сначала весь сосуд, затем остаточный просвет в том "
        "же месте (тот же принцип, что и на УЗИ)."));
    auto* menu = new QMenu(m_stenosisButton);
    connect(menu->addAction(QStringLiteral("По диаметру (два отрезка)")), &QAction::triggered, this,
            [this] { setTool(kStenosisByDiameter); });
    connect(menu->addAction(QStringLiteral("По площади (два контура)")), &QAction::triggered, this,
            [this] { setTool(kStenosisByArea); });
    m_stenosisButton->setMenu(menu);
    m_toolBar->addWidget(m_stenosisButton);

    const struct
    {
        QIcon icon;
        QString text;
        int mode;
    } tools[] = {{measureIcon(), QStringLiteral("Линейка"), 4},
                 {roiIcon(), QStringLiteral("ROI (HU)"), 7},
                 {windowLevelIcon(), QStringLiteral("Яркость (ЛКМ)"), 3}};
    for (const auto& t : tools) {
        QAction* a = m_toolBar->addAction(t.icon, t.text);
        a->setCheckable(true);
        a->setData(t.mode);
        a->setChecked(t.mode == m_toolMode);
        const int mode = t.mode;
        connect(a, &QAction::triggered, this, [this, mode] { setTool(mode); });
        m_toolActions.append(a);
    }
    layout->addWidget(m_toolBar);

    m_resultLabel = new QLabel(this);
    m_resultLabel->setWordWrap(true);
    m_resultLabel->setStyleSheet(QStringLiteral(
        "color: #ff9600; font-weight: bold; padding: 4px 6px; background: rgba(255,150,0,30);"));
    m_resultLabel->hide();
    layout->addWidget(m_resultLabel);

    m_scrollArea = new QScrollArea(this);
    m_scrollArea->setWidgetResizable(true);
    m_scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_content = new QWidget(m_scrollArea);
    m_contentLayout = new QVBoxLayout(m_content);
    m_contentLayout->setContentsMargins(4, 4, 4, 4);
    m_contentLayout->setSpacing(6);
    m_scrollArea->setWidget(m_content);
    layout->addWidget(m_scrollArea, 1);
}

void CrossSectionPanel::buildCells()
{
    if (m_cellsBuilt)
        return;
    m_cellsBuilt = true;
    for (int i = 0; i < kCellCount; ++i) {
        CrossSectionCell cell;
        cell.offset = double(i - 10);
        cell.frame = new QWidget(m_content);
        auto* frameLayout = new QVBoxLayout(cell.frame);
        frameLayout->setContentsMargins(2, 2, 2, 2);
        frameLayout->setSpacing(2);
        cell.label = new QLabel(cell.frame);
        cell.label->setAlignment(Qt::AlignCenter);
        cell.label->setStyleSheet(QStringLiteral("font-size: 11px;"));
        frameLayout->addWidget(cell.label);
        cell.view = new MprViewportWidget(MprPlane::Axial, QString(), cell.frame);
        cell.view->setFixedSize(180, 180);
        cell.view->setMeasurementMode(m_toolMode);
        cell.view->setStenosisLabelsHidden(true);
        frameLayout->addWidget(cell.view);
        cell.frame->setStyleSheet(std::abs(cell.offset) < 1e-6
                                      ? QStringLiteral("QWidget { border: 2px solid #ffd200; border-radius: 4px; }")
                                      : QStringLiteral("QWidget { border: 1px solid #555555; border-radius: 4px; }"));

        connect(cell.view, &MprViewportWidget::stenosisResultChanged, this, [this](const QString& text) {
            m_resultLabel->setText(text);
            m_resultLabel->show();
        });
        connect(cell.view, &MprViewportWidget::wheelStepped, this, [this](int direction) {
            QScrollBar* bar = m_scrollArea->verticalScrollBar();
            bar->setValue(bar->value() - bar->singleStep() * direction * 3);
        });
        connect(cell.view, &MprViewportWidget::windowLevelDragged, this, &CrossSectionPanel::onWindowLevelDragged);
        const double offset = cell.offset;
        // The cells carry no crosshair, so a double-click is the gesture that picks a section.
        connect(cell.view, &MprViewportWidget::positionClicked, this, [this, offset] { emit sliceActivated(offset); });
        connect(cell.view, &MprViewportWidget::doubleClicked, this, [this, offset] { emit sliceActivated(offset); });

        m_contentLayout->addWidget(cell.frame);
        m_cells.append(cell);
    }
    m_contentLayout->addStretch();
}

void CrossSectionPanel::showEmpty(CrossSectionCell& cell)
{
    cell.view->setImage(QImage());
    cell.label->setText(QStringLiteral("—"));
}

bool CrossSectionPanel::renderCell(const CrossSectionCell& cell, QImage* image, QList<float>* values, int* side,
                                   double* mmPerPixel) const
{
    const double s = std::clamp(m_centreMm + cell.offset, 0.0, std::max(m_result.lengthMm, 0.0));
    double point[3], first[3], second[3];
    if (!render::curvedMprFrameAt(m_result, s, point, first, second))
        return false;
    const render::CrossSectionImage section =
        render::renderCrossSection(*m_volume, point, first, second, m_sizeMm, m_windowCenter, m_windowWidth);
    if (section.image.isNull())
        return false;
    *image = section.image;
    if (values)
        *values = section.samples;
    if (side)
        *side = section.gridWidth;
    if (mmPerPixel)
        *mmPerPixel = section.pixelSpacingMm;
    return true;
}

void CrossSectionPanel::rebuild(const render::FusionVolume& volume, const render::CurvedMprResult& result,
                                double centreMm, double sizeMm, double windowCenter, double windowWidth)
{
    if (volume.isEmpty() || result.image.isNull()) {
        for (CrossSectionCell& cell : m_cells)
            showEmpty(cell);
        return;
    }
    buildCells();
    m_volume = &volume;
    m_result = result;
    m_centreMm = centreMm;
    m_sizeMm = sizeMm;
    m_windowCenter = windowCenter;
    m_windowWidth = windowWidth;

    for (CrossSectionCell& cell : m_cells) {
        QImage image;
        QList<float> values;
        int side = 0;
        double mmPerPixel = 1.0;
        if (!renderCell(cell, &image, &values, &side, &mmPerPixel)) {
            showEmpty(cell);
            continue;
        }
        MprViewportWidget* view = cell.view;
        view->setImage(image);
        view->setSliceCount(1);
        view->setSliceIndex(0);
        view->setPixelSpacing(mmPerPixel);
        QTimer::singleShot(0, view, [view] { view->fitImageInView(); });
        const int w = side, h = side;
        view->setRoiStatsProvider(
            [values, w, h](int, QRectF rect, int) { return crossSectionEllipseStats(values, w, h, rect); });
        cell.label->setText(QStringLiteral("%1%2 мм")
                                .arg(cell.offset > 1e-6 ? QStringLiteral("+") : QString())
                                .arg(cell.offset, 0, 'f', 0));
    }
    scrollToCentreLater();
}

void CrossSectionPanel::scrollToCentreLater()
{
    QTimer::singleShot(0, this, [this] {
        // Freshly built cells have no place yet: settle the column's layout and the scroll range
        // (setting the resizable flag again makes the area size its content and scroll bars now).
        m_contentLayout->activate();
        m_scrollArea->setWidgetResizable(true);
        for (const CrossSectionCell& cell : std::as_const(m_cells)) {
            if (std::abs(cell.offset) >= 1e-6)
                continue;
            const int value = cell.frame->y() + cell.frame->height() / 2 - m_scrollArea->viewport()->height() / 2;
            m_scrollArea->verticalScrollBar()->setValue(std::max(value, 0));
            break;
        }
    });
}

void CrossSectionPanel::clear()
{
    for (CrossSectionCell& cell : m_cells)
        showEmpty(cell);
}

void CrossSectionPanel::onWindowLevelDragged(double deltaCenter, double deltaWidth)
{
    if (!m_volume)
        return;
    m_windowCenter += deltaCenter;
    m_windowWidth = std::max(m_windowWidth + deltaWidth, 1.0);
    refreshImages();
}

void CrossSectionPanel::refreshImages()
{
    if (!m_volume)
        return;
    for (const CrossSectionCell& cell : std::as_const(m_cells)) {
        QImage image;
        if (renderCell(cell, &image, nullptr, nullptr, nullptr))
            cell.view->setImage(image);
    }
}

void CrossSectionPanel::setTool(int mode)
{
    m_toolMode = mode;
    for (const CrossSectionCell& cell : std::as_const(m_cells))
        cell.view->setMeasurementMode(mode);
    const bool stenosis = mode == kStenosisByDiameter || mode == kStenosisByArea;
    if (!stenosis)
        m_resultLabel->hide();
    for (QAction* a : std::as_const(m_toolActions))
        a->setChecked(a->data().toInt() == mode);
    m_stenosisButton->setChecked(stenosis);
}
