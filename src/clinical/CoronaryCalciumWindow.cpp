#include "clinical/CoronaryCalciumWindow.h"

#include "clinical/CalciumFormulas.h"
#include "clinical/MeasurementReport.h"
#include "clinical/SeriesGeometry.h"
#include "dialogs/WindowPlacement.h"

#include "render/RoiComponent.h"
#include "render/RoiMask.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMap>
#include <QMessageBox>
#include <QPainterPath>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>
#include <optional>

namespace {

constexpr double CalciumThresholdHu = 130.0;

bool isSearchRegion(const ImageViewportWidget::MeasurementInfo& info)
{
    return (info.kind == 11 || info.kind == 12 || info.kind == 13) && !info.name.isEmpty();
}

QList<ImageViewportWidget::MeasurementInfo> searchRegions(const ImageViewportWidget* viewport, int slice)
{
    QList<ImageViewportWidget::MeasurementInfo> regions;
    for (const auto& info : viewport->measurementsForSlice(slice)) {
        if (isSearchRegion(info))
            regions.append(info);
    }
    return regions;
}

// Missing or zero spacing counts as 1 mm on that axis.
double pixelAreaOf(const db::InstanceRecord& record)
{
    const double sx = record.pixelSpacingX > 0.0 ? record.pixelSpacingX : 1.0;
    const double sy = record.pixelSpacingY > 0.0 ? record.pixelSpacingY : 1.0;
    return sx * sy;
}

// The series' slice thickness: the median of the slices that state one, 0 when none does.
double seriesSliceThicknessMm(const QList<db::InstanceRecord>& slices)
{
    QList<double> thicknesses;
    for (const db::InstanceRecord& slice : slices) {
        if (slice.sliceThickness > 0.0)
            thicknesses.append(slice.sliceThickness);
    }
    return clinical::median(thicknesses);
}

} // namespace

const QList<CoronaryArtery>& coronaryArteries()
{
    static const QList<CoronaryArtery> table = {
        {QStringLiteral("LM"), QStringLiteral("ЛКА (LM)"), QColor(255, 80, 80, 255)},
        {QStringLiteral("LAD"), QStringLiteral("ПНА (LAD)"), QColor(255, 200, 0, 255)},
        {QStringLiteral("LCX"), QStringLiteral("ОА (LCx)"), QColor(80, 200, 255, 255)},
        {QStringLiteral("RCA"), QStringLiteral("ПКА (RCA)"), QColor(120, 255, 120, 255)},
        {QStringLiteral("OTHER"), QStringLiteral("Другое"), QColor(220, 220, 220, 255)},
    };
    return table;
}

QList<CalciumLesion> findCalciumLesions(const render::HuImage& image, const ImageViewportWidget::MeasurementInfo& region,
                                        double pixelAreaMm2, double thresholdHu)
{
    QList<CalciumLesion> lesions;
    for (const ArteryCalciumLesion& found : findSliceCalciumLesions(image, {region}, pixelAreaMm2, thresholdHu))
        lesions.append(found.lesion);
    return lesions;
}

QList<ArteryCalciumLesion> findSliceCalciumLesions(const render::HuImage& image,
                                                   const QList<ImageViewportWidget::MeasurementInfo>& regions,
                                                   double pixelAreaMm2, double thresholdHu)
{
    // An ellipse region's first two points are opposite corners of its box; the others are polygons.
    struct Shape
    {
        const ImageViewportWidget::MeasurementInfo* region = nullptr;
        std::optional<render::EllipseRoi> ellipse;
        bool contains(int x, int y) const
        {
            return ellipse ? ellipse->contains(x, y) : render::PolygonRoi{region->points}.contains(x, y);
        }
    };
    QList<Shape> shapes;
    render::RoiBox box{std::numeric_limits<int>::max(), std::numeric_limits<int>::min(),
                       std::numeric_limits<int>::max(), std::numeric_limits<int>::min()};
    for (const auto& region : regions) {
        Shape shape{&region, std::nullopt};
        render::RoiBox own;
        if (region.kind == 13) {
            if (region.points.size() < 2)
                continue;
            const QRectF rect = QRectF(region.points.at(0), region.points.at(1)).normalized();
            shape.ellipse =
                render::EllipseRoi{rect.center().x(), rect.center().y(), rect.width() / 2.0, rect.height() / 2.0};
            own = render::roiBox(image, *shape.ellipse);
        } else {
            own = render::roiBox(image, render::PolygonRoi{region.points});
        }
        if (own.isEmpty())
            continue;
        box = {std::min(box.x0, own.x0), std::max(box.x1, own.x1), std::min(box.y0, own.y0), std::max(box.y1, own.y1)};
        shapes.append(shape);
    }
    if (shapes.isEmpty())
        return {};

    const auto insideAny = [&shapes](int x, int y) {
        return std::any_of(shapes.begin(), shapes.end(), [x, y](const Shape& shape) { return shape.contains(x, y); });
    };
    QList<ArteryCalciumLesion> lesions;
    for (const auto& component :
         render::floodFillRoiComponents(image, box.x0, box.x1, box.y0, box.y1, insideAny, thresholdHu)) {
        const double area = component.pixelCount * pixelAreaMm2;
        if (area < 1.0)
            continue;
        const auto owner = std::find_if(shapes.begin(), shapes.end(), [&component](const Shape& shape) {
            return std::any_of(component.pixels.begin(), component.pixels.end(),
                               [&shape](const QPoint& p) { return shape.contains(p.x(), p.y()); });
        });
        lesions.append({owner->region->name, {area, component.maxValue, component.pixels}});
    }
    return lesions;
}

CoronaryCalciumWindow::CoronaryCalciumWindow(const QList<db::InstanceRecord>& slices, int currentIndex,
                                             const QString& title, QWidget* parent, double windowCenter,
                                             double windowWidth)
    : QMainWindow(parent)
    , m_slices(slices)
    , m_title(title)
    , m_windowCenter(windowCenter)
    , m_windowWidth(windowWidth)
{
    setWindowFlags(windowFlags() | Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Индекс коронарного кальция (Agatston) — %1").arg(title));
    resizeWithinScreen(this, QSize(1100, 850));
    setupUi();
    connect(m_viewport, &ImageViewportWidget::sliceChanged, this, [this] { refreshLesionOverlay(); });

    SeriesOverlayInfo info;
    info.seriesDescription = title;
    m_viewport->showSeries(m_slices, info);
    int index = std::min(currentIndex, int(m_slices.size()) - 1);
    index = std::max(index, 0);
    m_viewport->showSlice(index);
    if (windowWidth > 0.0)
        m_viewport->setWindowPreset(render::WindowLevel{windowCenter, windowWidth});
}

void CoronaryCalciumWindow::setupUi()
{
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 4);

    auto* hint = new QLabel(
        QStringLiteral("Пролистайте срезы (колесо мыши). Выберите артерию и метод, включите «Обводить очаги» и "
                       "обведите ШИРОКУЮ область вокруг предполагаемого кальцината — программа САМА найдёт внутри "
                       "неё отдельные очаги (≥130 HU, площадь ≥1 мм²) и обведёт их пунктиром (виден сразу после "
                       "«Пересчитать» или при возврате на уже размеченный срез); не нужно обводить точно по краю "
                       "самого кальцината. Один и тот же физический очаг на нескольких срезах — на КАЖДОМ срезе "
                       "отдельным контуром, так и считает сам метод Agatston."),
        central);
    hint->setWordWrap(true);
    hint->setStyleSheet(QStringLiteral("color:#aaa; padding:2px;"));
    layout->addWidget(hint);

    m_viewport = new ImageViewportWidget(central);
    layout->addWidget(m_viewport, 1);

    auto* row = new QWidget(central);
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    rowLayout->addWidget(new QLabel(QStringLiteral("Артерия:"), row));
    m_arteryCombo = new QComboBox(row);
    for (const auto& artery : coronaryArteries())
        m_arteryCombo->addItem(artery.label);
    rowLayout->addWidget(m_arteryCombo);
    rowLayout->addWidget(new QLabel(QStringLiteral("Метод:"), row));
    m_methodCombo = new QComboBox(row);
    m_methodCombo->addItems({QStringLiteral("Эллипс"), QStringLiteral("Сглаженный контур")});
    rowLayout->addWidget(m_methodCombo);
    m_drawButton = new QPushButton(QStringLiteral("Обводить очаги"), row);
    m_drawButton->setCheckable(true);
    rowLayout->addWidget(m_drawButton);
    m_recalcButton = new QPushButton(QStringLiteral("Пересчитать"), row);
    rowLayout->addWidget(m_recalcButton);
    m_clearButton = new QPushButton(QStringLiteral("Очистить все контуры"), row);
    rowLayout->addWidget(m_clearButton);
    rowLayout->addStretch();
    layout->addWidget(row);

    setCentralWidget(central);
    statusBar()->showMessage(QStringLiteral("Серия: %1 срезов").arg(m_slices.size()));

    connect(m_arteryCombo, &QComboBox::currentIndexChanged, this, [this] { applyDrawTool(); });
    connect(m_methodCombo, &QComboBox::currentIndexChanged, this, [this] { applyDrawTool(); });
    connect(m_drawButton, &QPushButton::toggled, this, [this](bool checked) { onDrawToggled(checked); });
    connect(m_recalcButton, &QPushButton::clicked, this, [this] { recalculate(); });
    connect(m_clearButton, &QPushButton::clicked, this, [this] { clearAllRegions(); });
}

void CoronaryCalciumWindow::applyDrawTool()
{
    if (!m_drawButton->isChecked())
        return;
    const auto& arteries = coronaryArteries();
    const int index = m_arteryCombo->currentIndex();
    if (index < 0 || index >= arteries.size())
        return;
    m_viewport->setRoiLabel(arteries.at(index).id, arteries.at(index).colour);
    m_viewport->setMeasurementMode(m_methodCombo->currentIndex() == 0 ? 13 : 12);
}

void CoronaryCalciumWindow::onDrawToggled(bool checked)
{
    if (checked) {
        applyDrawTool();
        return;
    }
    m_viewport->setRoiLabel(QString(), QColor());
    m_viewport->setMeasurementMode(0);
}

void CoronaryCalciumWindow::recalculate()
{
    int regionCount = 0;
    int lesionCount = 0;
    double total = 0.0;
    QMap<QString, double> scores;
    QMap<QString, int> counts;

    for (int s = 0; s < m_slices.size(); ++s) {
        const auto regions = searchRegions(m_viewport, s);
        if (regions.isEmpty())
            continue;
        regionCount += int(regions.size());
        render::HuImage image;
        QString error;
        if (!render::loadHuFrame(image, m_slices.at(s).filePath, m_slices.at(s).frameIndex, &error,
                                 m_slices.at(s).object()))
            continue;
        const double pixelArea = pixelAreaOf(m_slices.at(s));
        for (const auto& found : findSliceCalciumLesions(image, regions, pixelArea, CalciumThresholdHu)) {
            const double score = clinical::agatstonLesionScore(found.lesion.areaMm2, found.lesion.peakHu);
            if (score <= 0.0)
                continue;
            scores[found.artery] += score;
            counts[found.artery] += 1;
            total += score;
            ++lesionCount;
        }
    }

    if (lesionCount == 0) {
        const QString text =
            regionCount > 0
                ? QStringLiteral("Внутри размеченных областей не найдено ни одного очага, отвечающего критериям "
                                 "метода Agatston (плотность ≥130 HU, площадь очага ≥1 мм²). Проверьте область "
                                 "поиска или срез — возможно, кальцинат за её пределами.")
                : QStringLiteral("Не размечено ни одной области поиска. Включите «Обводить очаги» и обведите "
                                 "широкую область вокруг предполагаемого кальцината — сами очаги программа найдёт "
                                 "внутри неё автоматически.");
        QMessageBox::information(this, QStringLiteral("Индекс коронарного кальция"), text);
        refreshLesionOverlay();
        return;
    }

    QString html = QStringLiteral("<b>Очагов найдено автоматически:</b> %1 (в %2 областях поиска)<br><br>")
                       .arg(lesionCount)
                       .arg(regionCount);
    html += QStringLiteral("<table cellspacing='4'>");
    html += QStringLiteral("<tr><td><b>Артерия</b></td><td><b>Очагов</b></td><td><b>Индекс</b></td></tr>");
    for (const auto& artery : coronaryArteries()) {
        if (!counts.contains(artery.id))
            continue;
        html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>")
                    .arg(artery.label)
                    .arg(counts.value(artery.id))
                    .arg(scores.value(artery.id, 0.0), 0, 'f', 1);
    }
    html += QStringLiteral("</table><br>");
    html += clinical::calciumTotalHtml(total);
    const QString sliceWarning = clinical::agatstonSliceWarning(seriesSliceThicknessMm(m_slices),
                                                                 clinical::medianSliceSpacingMm(m_slices));
    if (!sliceWarning.isEmpty())
        html += QStringLiteral("<br><span style='color:#c55'><b>%1</b></span><br>")
                    .arg(sliceWarning.toHtmlEscaped());
    html += QStringLiteral(
        "<br><span style='color:#888'>Метод Agatston (J Am Coll Cardiol, 1990; 15(4): 827-832): площадь каждого "
        "ОТДЕЛЬНОГО очага (≥130 HU, ≥1 мм² — найден автоматически внутри размеченных областей) на КАЖДОМ срезе "
        "умножается на весовой коэффициент по максимальной плотности ЭТОГО очага (130-199→×1, 200-299→×2, "
        "300-399→×3, ≥400→×4) и суммируется по всем очагам всех срезов. Автоматический расчёт, финальная оценка — "
        "за врачом.</span>");
    showResult(html);
    refreshLesionOverlay();
}

void CoronaryCalciumWindow::refreshLesionOverlay()
{
    const int index = m_viewport->currentSliceIndex();
    if (m_slices.isEmpty() || index < 0 || index >= m_slices.size()) {
        m_viewport->clearContourOverlay();
        return;
    }
    const auto regions = searchRegions(m_viewport, index);
    if (regions.isEmpty()) {
        m_viewport->clearContourOverlay();
        return;
    }
    render::HuImage image;
    QString error;
    if (!render::loadHuFrame(image, m_slices.at(index).filePath, m_slices.at(index).frameIndex, &error,
                             m_slices.at(index).object())) {
        m_viewport->clearContourOverlay();
        return;
    }
    const double pixelArea = pixelAreaOf(m_slices.at(index));
    QMap<QString, QColor> colours;
    for (const auto& artery : coronaryArteries())
        colours.insert(artery.id, artery.colour);

    QList<QPolygonF> polygons;
    QList<QColor> polygonColours;
    for (const auto& found : findSliceCalciumLesions(image, regions, pixelArea, CalciumThresholdHu)) {
        const QColor colour = colours.value(found.artery, QColor(255, 255, 255, 255));
        QPainterPath path;
        for (const QPoint& p : found.lesion.pixels)
            path.addRect(QRectF(p.x(), p.y(), 1.0, 1.0));
        for (const QPolygonF& polygon : path.simplified().toSubpathPolygons(QTransform())) {
            polygons.append(polygon);
            polygonColours.append(colour);
        }
    }
    m_viewport->setContourOverlay(polygons, polygonColours);
}

void CoronaryCalciumWindow::showResult(const QString& html)
{
    if (!m_resultDialog) {
        const MeasurementReportDialog parts = createMeasurementReportDialog(
            this, QStringLiteral("Индекс коронарного кальция — результат"), 640, 700, [this] { exportPng(); });
        m_resultDialog = parts.dialog;
        m_resultLabel = parts.label;
    }
    showMeasurementReport({m_resultDialog, m_resultLabel}, html);
}

void CoronaryCalciumWindow::exportPng()
{
    exportMeasurementReportPng(this, m_resultLabel, QStringLiteral("Экспорт индекса коронарного кальция"),
                               QStringLiteral("CoronaryCalcium"), m_title);
}

void CoronaryCalciumWindow::clearAllRegions()
{
    const auto answer = QMessageBox::question(this, QStringLiteral("Очистить"),
                                              QStringLiteral("Удалить ВСЕ размеченные очаги на ВСЕХ срезах?"),
                                              QMessageBox::Yes | QMessageBox::No);
    if (answer == QMessageBox::Yes)
        m_viewport->clearMeasurements(false);
}

void CoronaryCalciumWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // Being a top-level Qt::Window already gives the window its own taskbar entry here; only the image
    // needs fitting once the panel has its real size.
    m_viewport->fitImageInView();
}
