#include "analysis3d/DceAnalysisWindow.h"

#include "clinical/MeasurementReport.h"
#include "dialogs/WindowPlacement.h"
#include "dicom/FrameDecoder.h"
#include "mpr/MprViewportWidget.h"
#include "platform/FreeNameWrite.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

namespace {

constexpr int kRoiMode = 7;

} // namespace

const QList<QColor>& DceAnalysisWindow::dceRoiPalette()
{
    static const QList<QColor> palette = {
        QColor(0, 200, 255),   QColor(255, 165, 0),   QColor(120, 220, 120),
        QColor(230, 210, 60),  QColor(220, 120, 220), QColor(140, 160, 255),
    };
    return palette;
}

DceAnalysisWindow::DceAnalysisWindow(const PhaseGrouping& phases, const QString& title, QWidget* parent,
                                     double windowCenter, double windowWidth)
    : QMainWindow(parent)
    , m_phases(phases)
    , m_title(title)
    , m_windowCenter(windowCenter)
    , m_windowWidth(windowWidth)
{
    setWindowFlag(Qt::Window, true);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("DCE — %1").arg(title));
    resizeWithinScreen(this, QSize(1100, 800));
    setupUi();
    updateRoiColor();
    showCurrentPhase();
}

void DceAnalysisWindow::setupUi()
{
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* bar = new QWidget(central);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->addWidget(new QLabel(QStringLiteral("Фаза:"), bar));
    m_phaseSlider = new QSlider(Qt::Horizontal, bar);
    m_phaseSlider->setRange(0, std::max(int(m_phases.phases.size()) - 1, 0));
    barLayout->addWidget(m_phaseSlider, 1);
    m_phaseLabel = new QLabel(bar);
    barLayout->addWidget(m_phaseLabel);
    barLayout->addSpacing(20);
    auto* clearButton = new QPushButton(QStringLiteral("Очистить ROI"), bar);
    clearButton->setToolTip(QStringLiteral("Убрать все нарисованные ROI и их кривые с графика"));
    barLayout->addWidget(clearButton);
    auto* exportButton = new QPushButton(QStringLiteral("Экспорт…"), bar);
    exportButton->setToolTip(
        QStringLiteral("Сохранить изображение среза с ROI и график кривых одним файлом (PNG)"));
    barLayout->addWidget(exportButton);

    auto* splitter = new QSplitter(Qt::Vertical, central);
    m_viewport = new MprViewportWidget(MprPlane::Axial, QStringLiteral("DCE"), splitter);
    m_chart = new TimeIntensityCurveWidget(splitter);
    splitter->addWidget(m_viewport);
    splitter->addWidget(m_chart);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);

    layout->addWidget(bar, 0);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);

    m_viewport->setMeasurementMode(kRoiMode);
    m_viewport->setRoiStatsProvider(
        [this](int slice, QRectF rect, int measurementIndex) { return roiLabel(slice, rect, measurementIndex); });
    connect(m_viewport, &MprViewportWidget::sliceIndexRequested, this, [this](int value) {
        m_currentSlice = value;
        showCurrentPhase();
    });
    connect(m_viewport, &MprViewportWidget::measurementRemoved, this,
            [this](int index) { onMeasurementRemoved(index); });
    connect(m_phaseSlider, &QSlider::valueChanged, this, [this](int value) {
        m_currentPhase = value;
        updatePhaseLabel();
        showCurrentPhase();
    });
    connect(clearButton, &QPushButton::clicked, this, [this] { clearRois(); });
    connect(exportButton, &QPushButton::clicked, this, [this] { exportSnapshot(); });

    updatePhaseLabel();
}

void DceAnalysisWindow::showCurrentPhase()
{
    if (m_currentPhase < 0 || m_currentPhase >= m_phases.phases.size())
        return;
    const QList<db::InstanceRecord>& rows = m_phases.phases[m_currentPhase].instances;
    const int n = int(rows.size());
    if (n == 0)
        return;
    m_currentSlice = std::clamp(m_currentSlice, 0, n - 1);
    const db::InstanceRecord& row = rows[m_currentSlice];
    std::optional<render::WindowLevel> window;
    if (m_windowWidth > 0)
        window = render::WindowLevel{m_windowCenter, m_windowWidth};
    const std::optional<dicom::DecodedFrame> frame =
        dicom::decodeFrame(row.filePath, row.frameIndex, window, nullptr, row.object());
    if (!frame)
        return;
    m_viewport->setSliceCount(n);
    m_viewport->setSliderValue(m_currentSlice);
    m_viewport->setSliceIndex(m_currentSlice);
    m_viewport->setImage(frame->image);
    const bool spaced = row.pixelSpacingX > 0 && row.pixelSpacingY > 0;
    m_viewport->setPixelSpacing(spaced ? (row.pixelSpacingX + row.pixelSpacingY) / 2.0 : 1.0);
    refreshChart();
}

void DceAnalysisWindow::updatePhaseLabel()
{
    if (m_phases.phases.isEmpty()) {
        m_phaseLabel->setText(QStringLiteral("—"));
        return;
    }
    const int index = std::clamp(m_currentPhase, 0, int(m_phases.phases.size()) - 1);
    const TemporalPhase& phase = m_phases.phases[index];
    const QString text = m_phases.timeIsPhaseIndex ? QStringLiteral("фаза №%1").arg(phase.index)
                                                   : QStringLiteral("t = %1 с").arg(phase.time, 0, 'f', 1);
    m_phaseLabel->setText(
        QStringLiteral("%1 / %2 (%3)").arg(m_currentPhase + 1).arg(m_phases.phases.size()).arg(text));
}

QString DceAnalysisWindow::roiLabel(int slice, const QRectF& rect, int measurementIndex)
{
    const double radiusX = rect.width() / 2.0;
    const double radiusY = rect.height() / 2.0;
    if (!(radiusX > 0) || !(radiusY > 0))
        return QStringLiteral("ROI пуст");

    auto found = m_roiByMeasurement.constFind(measurementIndex);
    int recordIndex = 0;
    if (found == m_roiByMeasurement.constEnd()) {
        DceRoi roi;
        roi.color = dceRoiPalette()[m_rois.size() % dceRoiPalette().size()];
        roi.sliceIndex = slice;
        m_rois.append(roi);
        recordIndex = int(m_rois.size()) - 1;
        m_roiByMeasurement.insert(measurementIndex, recordIndex);
        updateRoiColor();
    } else {
        recordIndex = found.value();
    }

    DceRoi& roi = m_rois[recordIndex];
    roi.centerX = rect.center().x();
    roi.centerY = rect.center().y();
    roi.radiusX = radiusX;
    roi.radiusY = radiusY;
    roi.curve = render::computeTimeIntensityCurve(m_phases, slice, roi.centerX, roi.centerY, radiusX, radiusY);
    const render::TimeIntensityCurve curve = roi.curve;
    refreshChart();

    if (!curve.samples.isEmpty() && curve.error.isEmpty()) {
        QString text = QStringLiteral("ROI %1 · n=%2").arg(recordIndex + 1).arg(curve.samples.size());
        if (!curve.warning.isEmpty())
            text += QStringLiteral(" ⚠");
        return text;
    }
    return curve.error.isEmpty() ? QStringLiteral("Кривая недоступна") : curve.error;
}

void DceAnalysisWindow::onMeasurementRemoved(int index)
{
    QMap<int, int> remapped;
    int removed = -1;
    for (auto it = m_roiByMeasurement.constBegin(); it != m_roiByMeasurement.constEnd(); ++it) {
        if (it.key() == index)
            removed = it.value();
        else if (it.key() > index)
            remapped.insert(it.key() - 1, it.value());
        else
            remapped.insert(it.key(), it.value());
    }
    m_roiByMeasurement = remapped;
    if (removed >= 0 && removed < m_rois.size()) {
        m_rois.removeAt(removed);
        for (auto it = m_roiByMeasurement.begin(); it != m_roiByMeasurement.end(); ++it)
            if (it.value() > removed)
                --it.value();
        refreshChart();
    }
    updateRoiColor();
}

void DceAnalysisWindow::clearRois()
{
    m_rois.clear();
    m_roiByMeasurement.clear();
    m_viewport->clearMeasurements();
    m_chart->clearCurves();
    updateRoiColor();
}

void DceAnalysisWindow::refreshChart()
{
    QList<TimeIntensitySeries> series;
    for (const DceRoi& roi : m_rois)
        if (roi.sliceIndex == m_currentSlice)
            series.append(TimeIntensitySeries{roi.color, roi.curve});
    m_chart->setCurves(series);
}

void DceAnalysisWindow::updateRoiColor()
{
    if (m_viewport)
        m_viewport->setRoiColor(dceRoiPalette()[m_rois.size() % dceRoiPalette().size()]);
}

QPixmap DceAnalysisWindow::snapshotPixmap() const
{
    const QPixmap panel = m_viewport->grab();
    const QPixmap chart = m_chart->grab();
    if (panel.isNull() && chart.isNull())
        return {};
    const int w = std::max(panel.width(), chart.width());
    const int h = panel.height() + 10 + chart.height();
    QPixmap out(w, h);
    out.fill(QColor(20, 20, 24));
    QPainter p(&out);
    p.drawPixmap((w - panel.width()) / 2, 0, panel);
    p.drawPixmap((w - chart.width()) / 2, panel.height() + 10, chart);
    p.end();
    return out;
}

void DceAnalysisWindow::exportSnapshot()
{
    const QPixmap pixmap = snapshotPixmap();
    if (pixmap.isNull())
        return;
    const QString proposed = measurementReportFileName(QStringLiteral("DCE"), m_title, QDateTime::currentDateTime());
    const QString fileName = QFileDialog::getSaveFileName(this, QStringLiteral("Экспорт снимка DCE"), proposed,
                                                          QStringLiteral("PNG изображение (*.png)"));
    if (fileName.isEmpty())
        return;
    QString why;
    if (!platform::writeImageOverChosenFile(fileName, pixmap.toImage(), "PNG", &why))
        QMessageBox::warning(
            this, QStringLiteral("Экспорт"),
            QStringLiteral("Не удалось сохранить файл %1: %2").arg(QDir::toNativeSeparators(fileName), why));
}

void DceAnalysisWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // A top-level Qt::Window already has a taskbar entry of its own here; the image only needs fitting
    // once the panel has its real size.
    m_viewport->fitImageInView();
}
