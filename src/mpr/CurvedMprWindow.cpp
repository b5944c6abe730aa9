#include "mpr/CurvedMprWindow.h"

#include "dialogs/WindowPlacement.h"
#include "mpr/CrossSectionPanel.h"
#include "mpr/CurveEditorWidget.h"
#include "mpr/MprViewportWidget.h"

#include "render/RoiMask.h"
#include "render/VolumeGeometryWarnings.h"

#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kSectionSizeMm = 40.0;

QString initialTitle(CurvedMprWindow::PresentationMode mode)
{
    if (mode == CurvedMprWindow::VesselAnalysis)
        return QStringLiteral("Сосудистый анализ (тестовая версия)");
    if (mode == CurvedMprWindow::Panoramic)
        return QStringLiteral("Ортопантомограмма (панорамная реконструкция) — не заменяет диагностический ОПТГ");
    return QStringLiteral("Криволинейный MPR (тестовая версия)");
}

const QString kRenderFailedText =
    QStringLiteral("Не удалось перестроить — проверьте, что точки не выходят за пределы серии.");

QString bannerText(CurvedMprWindow::PresentationMode mode)
{
    if (mode == CurvedMprWindow::VesselAnalysis)
        return QStringLiteral("⚠ Сосудистый анализ — тестовая (beta) функция. Возможны неточности в геометрии и "
                              "построении реконструкции.");
    if (mode == CurvedMprWindow::Panoramic)
        return QStringLiteral("⚠ Панорамная реконструкция — приближение через криволинейный MPR (MIP-свёртка по "
                              "толщине), НЕ настоящая коническая геометрия ортопантомографа. Ориентировочно, не "
                              "заменяет диагностический ОПТГ.");
    return QStringLiteral("⚠ Криволинейный MPR — тестовая (beta) функция. Возможны неточности в геометрии и "
                          "построении реконструкции.");
}

} // namespace

QString curvedMprEllipseStats(const QList<float>& samples, int gridWidth, int gridHeight, const QRectF& rect)
{
    const QPointF c = rect.center();
    const render::RoiStats stats = render::ellipseRoiStats(samples, gridWidth, gridHeight,
                                                           {c.x(), c.y(), rect.width() / 2.0, rect.height() / 2.0});
    if (stats.count == 0)
        return QStringLiteral("ROI пуст");
    return QStringLiteral("Mean %1  Min %2  Max %3  SD %4  (n=%5)")
        .arg(stats.mean, 0, 'f', 1)
        .arg(stats.min, 0, 'f', 0)
        .arg(stats.max, 0, 'f', 0)
        .arg(stats.stdDev, 0, 'f', 1)
        .arg(stats.count);
}

CurvedMprWindow::CurvedMprWindow(std::shared_ptr<render::FusionVolume> volume,
                                 const QList<std::array<double, 3>>& points, double windowCenter, double windowWidth,
                                 QWidget* parent, PresentationMode mode,
                                 std::optional<render::WindowLevel> traceWindow)
    : QMainWindow(parent), m_mode(mode), m_volume(std::move(volume)), m_initialCenter(windowCenter),
      m_initialWidth(windowWidth), m_traceWindow(traceWindow), m_windowCenter(windowCenter),
      m_windowWidth(windowWidth)
{
    if (m_mode == Panoramic) {
        m_thicknessMm = 25.0;
        m_slabMode = 1;
        m_orientationChoice = 1;
    }
    setWindowTitle(initialTitle(m_mode));
    setAttribute(Qt::WA_DeleteOnClose);
    resizeWithinScreen(this, QSize(1400, 800));

    buildToolBars();

    m_axialEditor = new CurveEditorWidget(this);
    m_frontEditor = new CurveEditorWidget(this);
    m_sideEditor = new CurveEditorWidget(this);
    m_frontEditor->setOrientation(1);
    m_sideEditor->setOrientation(2);
    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
        e->setPlaneSelectorVisible(false);

    m_resultPane = new MprViewportWidget(MprPlane::Axial, QStringLiteral("Развёрнутое изображение"), this);

    m_topSplitter = new QSplitter(Qt::Horizontal);
    m_topSplitter->addWidget(m_axialEditor);
    m_topSplitter->addWidget(m_frontEditor);
    m_topSplitter->setSizes({700, 700});
    m_bottomSplitter = new QSplitter(Qt::Horizontal);
    m_bottomSplitter->addWidget(m_sideEditor);
    m_bottomSplitter->addWidget(m_resultPane);
    m_bottomSplitter->setSizes({700, 700});
    m_verticalSplitter = new QSplitter(Qt::Vertical);
    m_verticalSplitter->addWidget(m_topSplitter);
    m_verticalSplitter->addWidget(m_bottomSplitter);
    m_verticalSplitter->setSizes({400, 400});
    QWidget* mainPane = m_verticalSplitter;
    if (m_mode == VesselAnalysis) {
        m_crossSectionPanel = new CrossSectionPanel(this);
        m_crossSectionPanel->setMinimumWidth(210);
        m_outerSplitter = new QSplitter(Qt::Horizontal);
        m_outerSplitter->addWidget(m_verticalSplitter);
        m_outerSplitter->addWidget(m_crossSectionPanel);
        m_outerSplitter->setSizes({1400, 220});
        mainPane = m_outerSplitter;
    }

    auto* banner = new QLabel(bannerText(m_mode));
    banner->setAlignment(Qt::AlignCenter);
    // The panoramic warning is wider than a small screen: it wraps rather than widen the window.
    banner->setWordWrap(true);
    banner->setStyleSheet(
        QStringLiteral("background-color: #5a4a00; color: #ffd966; padding: 6px; font-weight: bold;"));
    m_volumeWarning = new QLabel;
    m_volumeWarning->setWordWrap(true);
    m_volumeWarning->setStyleSheet(QStringLiteral("background-color: #5a4a00; color: #ffd966; padding: 6px;"));
    m_volumeWarning->hide();
    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);
    centralLayout->addWidget(banner, 0);
    centralLayout->addWidget(m_volumeWarning, 0);
    centralLayout->addWidget(mainPane, 1);
    setCentralWidget(central);

    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor}) {
        connect(e, &CurveEditorWidget::pointsChangedDraft, this, [this, e] { mirrorPoints(e, true); });
        connect(e, &CurveEditorWidget::pointsChangedFinal, this, [this, e] { mirrorPoints(e, false); });
    }
    connect(m_axialEditor, &CurveEditorWidget::undoRedoAvailabilityChanged, this, [this](bool canUndo, bool canRedo) {
        m_undoAction->setEnabled(canUndo);
        m_redoAction->setEnabled(canRedo);
    });
    connect(m_resultPane, &MprViewportWidget::positionClicked, this, &CurvedMprWindow::onResultPositionClicked);
    connect(m_resultPane, &MprViewportWidget::crosshairDragFinished, this, &CurvedMprWindow::refreshCrossSections);
    if (m_crossSectionPanel)
        connect(m_crossSectionPanel, &CrossSectionPanel::sliceActivated, this,
                &CurvedMprWindow::activateCrossSectionOffset);
    connect(m_resultPane, &MprViewportWidget::doubleClicked, this, [this] { toggleMaximizedPane(m_resultPane); });
    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
        connect(e, &CurveEditorWidget::doubleClicked, this, [this, e] { toggleMaximizedPane(e); });
    connect(m_resultPane, &MprViewportWidget::windowLevelDragged, this, [this](double dc, double dw) {
        m_windowCenter += dc;
        m_windowWidth = std::max(m_windowWidth + dw, 1.0);
        renderResultImage();
    });

    if (!hasValidVolume())
        return;
    QList<std::array<double, 3>> curve = points;
    if (curve.size() >= 2) {
        double k0 = 0.0, k1 = 0.0;
        const auto& a = curve.first();
        const auto& b = curve.last();
        if (render::worldToVoxel(*m_volume, a[0], a[1], a[2], nullptr, nullptr, &k0)
            && render::worldToVoxel(*m_volume, b[0], b[1], b[2], nullptr, nullptr, &k1) && k1 > k0)
            std::reverse(curve.begin(), curve.end());
    }
    const auto reference = render::offsetCurve(curve, double(m_rotationDeg), m_offsetMm);
    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor}) {
        e->setWindowLevel(m_windowCenter, m_windowWidth);
        e->setVolume(m_volume.get(), curve);
        e->setReferenceCurve(reference);
    }
    m_verticalLayout = m_orientationChoice == 1 ? false
                       : m_orientationChoice == 2 ? true
                                                  : render::isCurveOutOfPlane(curve);
    m_resultPane->setCenterlineHorizontal(!m_verticalLayout);
    double step = std::min(m_volume->spacing[0], m_volume->spacing[1]);
    if (!(step > 0.1))
        step = 0.1;
    const auto result = render::CurvedMprRenderer::render(
        *m_volume, curve, m_widthMm, step, m_windowCenter, m_windowWidth, double(m_rotationDeg), m_offsetMm,
        m_thicknessMm, render::CurvedMprSlabMode(m_slabMode), m_smoothing, m_verticalLayout);
    applyResult(result, true);
    // A curve that cannot be rendered leaves the result pane empty: say why, once the window is up, as
    // a failed render after an edit does.
    if (result.image.isNull())
        QTimer::singleShot(0, this, [this] { showWarning(QStringLiteral("Криволинейный MPR"), kRenderFailedText); });
    if (m_mode == VesselAnalysis && !m_result.image.isNull()) {
        m_positionMm = 0.0;
        m_crossSectionPanel->rebuild(*m_volume, m_result, 0.0, kSectionSizeMm, m_windowCenter, m_windowWidth);
        updatePositionMarker(0.0);
    }
}

void CurvedMprWindow::setVolumeWarnings(const QString& warnings)
{
    m_volumeWarning->setText(render::markedWarnings(warnings));
    m_volumeWarning->setVisible(!warnings.isEmpty());
}

bool CurvedMprWindow::hasValidVolume() const
{
    return m_volume && !m_volume->isEmpty();
}

void CurvedMprWindow::mirrorPoints(CurveEditorWidget* source, bool preview)
{
    const auto pts = source->points();
    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
        if (e != source)
            e->setPoints(pts);
    rebuild(preview);
}

void CurvedMprWindow::rebuild(bool preview)
{
    if (!hasValidVolume())
        return;
    const auto points = m_axialEditor->points();
    if (points.size() < 2)
        return;
    m_verticalLayout = m_orientationChoice == 1 ? false
                       : m_orientationChoice == 2 ? true
                                                  : render::isCurveOutOfPlane(points);
    m_resultPane->setCenterlineHorizontal(!m_verticalLayout);
    const auto reference = render::offsetCurve(points, double(m_rotationDeg), m_offsetMm);
    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
        e->setReferenceCurve(reference);
    double step = std::min(m_volume->spacing[0], m_volume->spacing[1]);
    if (!(step > 0.1))
        step = 0.1;
    double thickness = m_thicknessMm;
    if (preview) {
        step *= 4.0;
        thickness = 0.0;
    }
    const auto result = render::CurvedMprRenderer::render(
        *m_volume, points, m_widthMm, step, m_windowCenter, m_windowWidth, double(m_rotationDeg), m_offsetMm,
        thickness, render::CurvedMprSlabMode(m_slabMode), m_smoothing, m_verticalLayout);
    if (!result.image.isNull()) {
        applyResult(result, !preview);
    } else if (!preview) {
        showWarning(QStringLiteral("Криволинейный MPR"), kRenderFailedText);
    }
}

void CurvedMprWindow::applyResult(const render::CurvedMprResult& result, bool fit)
{
    if (result.image.isNull())
        return;
    const QString length = QString::number(result.lengthMm, 'f', 1);
    if (m_mode == VesselAnalysis)
        setWindowTitle(QStringLiteral("Сосудистый анализ (тестовая версия) — длина кривой %1 мм").arg(length));
    else if (m_mode == Panoramic)
        setWindowTitle(QStringLiteral("Ортопантомограмма (панорамная реконструкция) — не заменяет диагностический "
                                      "ОПТГ — длина дуги %1 мм")
                           .arg(length));
    else
        setWindowTitle(QStringLiteral("Криволинейный MPR (тестовая версия) — длина кривой %1 мм").arg(length));
    m_resultPane->setImage(result.image);
    m_resultPane->setSliceCount(1);
    m_resultPane->setSliceIndex(0);
    m_resultPane->setPixelSpacing(result.stepMm);
    m_result = result;
    const QList<float> samples = result.samples;
    const int w = result.gridWidth, h = result.gridHeight;
    m_resultPane->setRoiStatsProvider(
        [samples, w, h](int, QRectF rect, int) { return curvedMprEllipseStats(samples, w, h, rect); });
    if (fit)
        m_resultPane->fitImageInView();
}

void CurvedMprWindow::setWindowLevel(double center, double width)
{
    m_windowCenter = center;
    m_windowWidth = std::max(width, 1.0);
    renderResultImage();
    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
        e->setWindowLevel(m_windowCenter, m_windowWidth);
    if (m_crossSectionPanel && hasValidVolume() && !m_result.image.isNull())
        m_crossSectionPanel->rebuild(*m_volume, m_result, m_positionMm, kSectionSizeMm, m_windowCenter,
                                     m_windowWidth);
}

void CurvedMprWindow::renderResultImage()
{
    const int w = m_result.gridWidth, h = m_result.gridHeight;
    if (m_result.samples.isEmpty() || w < 1 || h < 1 || m_result.samples.size() < qsizetype(w) * h)
        return;
    QImage image(w, h, QImage::Format_Grayscale8);
    const double low = m_windowCenter - m_windowWidth / 2.0;
    const double range = std::max((m_windowCenter + m_windowWidth / 2.0) - low, 1e-6);
    for (int y = 0; y < h; ++y) {
        uchar* line = image.scanLine(y);
        const float* row = m_result.samples.constData() + qsizetype(y) * w;
        for (int x = 0; x < w; ++x) {
            const double t = (double(row[x]) - low) / range;
            // A sample outside the volume (not a number) shows black rather than an undefined grey.
            line[x] = uchar(std::isnan(t) ? 0 : int(std::clamp(t, 0.0, 1.0) * 255.0));
        }
    }
    m_resultPane->setImage(image);
}

void CurvedMprWindow::onResultPositionClicked(double normX, double normY)
{
    const auto& pts = m_result.points;
    if (pts.isEmpty() || m_result.gridWidth <= 0)
        return;
    const double along = m_verticalLayout ? normY : normX;
    const double across = m_verticalLayout ? normX : normY;
    const int extent = m_verticalLayout ? m_result.gridHeight : m_result.gridWidth;
    const double scaled = double(extent) * along;
    if (!std::isfinite(scaled) || !std::isfinite(across))
        return;
    const int index = int(std::clamp(std::trunc(scaled), 0.0, double(pts.size() - 1)));
    const auto& p = pts[index];
    const auto n = m_result.normals.value(index, {0.0, 0.0, 0.0});
    const double lateral = m_result.widthMm * across - m_result.widthMm * 0.5;
    const std::array<double, 3> world{p[0] + n[0] * lateral, p[1] + n[1] * lateral, p[2] + n[2] * lateral};
    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
        e->showPositionMarker(world);
    if (!m_result.image.isNull()) {
        m_positionMm = index * m_result.stepMm;
        updatePositionMarker(m_positionMm);
        refreshCrossSections();
    }
}

void CurvedMprWindow::activateCrossSectionOffset(double offsetMm)
{
    if (!hasValidVolume() || m_result.image.isNull() || !std::isfinite(offsetMm))
        return;
    const double s = std::clamp(m_positionMm + offsetMm, 0.0, std::max(m_result.lengthMm, 0.0));
    double point[3], first[3], second[3];
    if (render::curvedMprFrameAt(m_result, s, point, first, second)) {
        for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
            e->showPositionMarker({point[0], point[1], point[2]});
    }
    m_positionMm = s;
    m_crossSectionPanel->rebuild(*m_volume, m_result, s, kSectionSizeMm, m_windowCenter, m_windowWidth);
    updatePositionMarker(s);
}

void CurvedMprWindow::refreshCrossSections()
{
    if (hasValidVolume() && m_crossSectionPanel && !m_result.image.isNull())
        m_crossSectionPanel->rebuild(*m_volume, m_result, m_positionMm, kSectionSizeMm, m_windowCenter,
                                     m_windowWidth);
}

void CurvedMprWindow::updatePositionMarker(double positionMm)
{
    if (!m_crossSectionPanel || m_result.image.isNull() || !(m_result.lengthMm > 0.0))
        return;
    const double t = std::clamp(positionMm / m_result.lengthMm, 0.0, 1.0);
    const QColor colour(255, 0, 220, 255);
    if (m_verticalLayout)
        m_resultPane->setCrosshairLineA(QPointF(0.5, t), 0.0, colour, true);
    else
        m_resultPane->setCrosshairLineA(QPointF(t, 0.5), M_PI / 2.0, colour, true);
}

void CurvedMprWindow::toggleMaximizedPane(QWidget* pane)
{
    m_maximizedPane = m_maximizedPane == pane ? nullptr : pane;
    for (QWidget* w : std::initializer_list<QWidget*>{m_axialEditor, m_frontEditor, m_sideEditor, m_resultPane})
        w->setVisible(!m_maximizedPane || w == m_maximizedPane);
    if (!m_maximizedPane) {
        m_topSplitter->setSizes({1000, 1000});
        m_bottomSplitter->setSizes({1000, 1000});
        m_verticalSplitter->setSizes({1000, 1000});
    } else if (m_maximizedPane == m_axialEditor || m_maximizedPane == m_frontEditor) {
        m_verticalSplitter->setSizes({1, 0});
        m_topSplitter->setSizes(m_maximizedPane == m_axialEditor ? QList<int>{1, 0} : QList<int>{0, 1});
    } else {
        m_verticalSplitter->setSizes({0, 1});
        m_bottomSplitter->setSizes(m_maximizedPane == m_sideEditor ? QList<int>{1, 0} : QList<int>{0, 1});
    }
    QTimer::singleShot(0, this, [this] {
        if (!m_maximizedPane)
            fitAllViews();
        else if (m_maximizedPane == m_resultPane)
            m_resultPane->fitImageInView();
        else
            static_cast<CurveEditorWidget*>(m_maximizedPane)->fitView();
    });
}

void CurvedMprWindow::fitAllViews()
{
    m_resultPane->fitImageInView();
    for (CurveEditorWidget* e : {m_axialEditor, m_frontEditor, m_sideEditor})
        e->fitView();
}

void CurvedMprWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // A top-level Qt::Window already has a taskbar entry of its own here; the views only need fitting
    // once the panes have their real sizes.
    QTimer::singleShot(0, this, [this] { fitAllViews(); });
}

void CurvedMprWindow::showWarning(const QString& title, const QString& text)
{
    QMessageBox::warning(this, title, text, QMessageBox::Ok);
}
