#include "clinical/LungNoduleWindow.h"

#include "clinical/LungNoduleFormulas.h"
#include "dialogs/WindowPlacement.h"

#include "dicom/FrameDecoder.h"
#include "mpr/MprViewportWidget.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

namespace {

constexpr int RoiHuTool = 7;

} // namespace

LungNoduleWindow::LungNoduleWindow(const QList<db::InstanceRecord>& slices, int currentIndex,
                                   const QString& title, QWidget* parent, double windowCenter,
                                   double windowWidth)
    : QMainWindow(parent), m_slices(slices),
      m_currentIndex(std::clamp(currentIndex, 0, std::max(int(slices.size()) - 1, 0))),
      m_windowCenter(windowCenter), m_windowWidth(windowWidth), m_title(title)
{
    setWindowFlags(windowFlags() | Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Узел в лёгком — %1").arg(title));
    resizeWithinScreen(this, QSize(900, 750));
    setupUi();
    showCurrentSlice();
}

void LungNoduleWindow::setupUi()
{
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* hint =
        new QLabel(QStringLiteral("Пролистайте срезы (колесо мыши) до узла и обведите его инструментом "
                                  "«ROI (HU)» (эллипс) — "
                                  "диаметр, оценочный объём и категория Lung-RADS посчитаются "
                                  "автоматически. Только солидные "
                                  "узлы (v1) — без отдельного учёта частично-солидного компонента."),
                   central);
    hint->setWordWrap(true);
    hint->setStyleSheet(QStringLiteral("color: #aaa; padding: 4px;"));
    layout->addWidget(hint);

    m_viewport = new MprViewportWidget(MprPlane::Axial, QStringLiteral("Узел"), central);
    m_viewport->setMeasurementMode(RoiHuTool);
    m_viewport->setRoiStatsProvider([this](int, QRectF rect, int) { return roiLabel(rect); });
    connect(m_viewport, &MprViewportWidget::sliceIndexRequested, this, [this](int index) {
        m_currentIndex = index;
        showCurrentSlice();
    });
    // The hint promises the wheel over the image steps through the slices too.
    connect(m_viewport, &MprViewportWidget::wheelStepped, this, [this](int step) {
        m_currentIndex += step > 0 ? 1 : -1;
        showCurrentSlice();
    });
    layout->addWidget(m_viewport, 1);

    auto* row = new QWidget(central);
    auto* rowLayout = new QHBoxLayout(row);
    m_followUpCheck = new QCheckBox(QStringLiteral("Контрольное исследование (узел впервые "
                                                   "замечен сейчас, не на базовом)"),
                                    row);
    m_followUpCheck->setToolTip(
        QStringLiteral("Lung-RADS использует более строгие пороги размера для узлов, ВПЕРВЫЕ "
                       "обнаруженных на контрольном исследовании, чем на базовом скрининге."));
    rowLayout->addWidget(m_followUpCheck);
    rowLayout->addStretch();
    connect(m_followUpCheck, &QCheckBox::toggled, this, [this] { updateResult(); });
    layout->addWidget(row);

    m_resultLabel = new QLabel(central);
    m_resultLabel->setWordWrap(true);
    m_resultLabel->setTextFormat(Qt::RichText);
    m_resultLabel->setContentsMargins(10, 6, 10, 10);
    layout->addWidget(m_resultLabel);

    setCentralWidget(central);
    updateResult();
}

void LungNoduleWindow::showCurrentSlice()
{
    if (m_slices.isEmpty())
        return;
    const int count = int(m_slices.size());
    m_currentIndex = std::clamp(m_currentIndex, 0, count - 1);
    const db::InstanceRecord& slice = m_slices.at(m_currentIndex);
    std::optional<render::WindowLevel> window;
    if (m_windowWidth > 0.0)
        window = render::WindowLevel{m_windowCenter, m_windowWidth};
    const auto frame = dicom::decodeFrame(slice.filePath, slice.frameIndex, window, nullptr, slice.object());
    if (!frame)
        return;
    m_viewport->setSliceCount(count);
    m_viewport->setSliderValue(m_currentIndex);
    m_viewport->setSliceIndex(m_currentIndex);
    m_viewport->setImage(frame->image);
    const bool spaced = slice.pixelSpacingX > 0.0 && slice.pixelSpacingY > 0.0;
    m_viewport->setPixelSpacing(spaced ? (slice.pixelSpacingX + slice.pixelSpacingY) / 2.0 : 1.0);
}

QString LungNoduleWindow::roiLabel(const QRectF& rect)
{
    if (m_slices.isEmpty())
        return QStringLiteral("Нет данных");
    const db::InstanceRecord& slice = m_slices.at(std::clamp(m_currentIndex, 0, int(m_slices.size()) - 1));
    const clinical::NoduleEstimate estimate =
        clinical::noduleFromOutline(rect.width(), rect.height(), slice.pixelSpacingX, slice.pixelSpacingY);
    if (!estimate.valid) {
        m_hasMeasurement = false;
        updateResult();
        return QStringLiteral("ROI пуст");
    }
    m_diameterMm = estimate.diameterMm;
    m_meanDiameterMm = estimate.meanDiameterMm;
    m_volumeMm3 = estimate.volumeMm3;
    m_hasMeasurement = true;
    updateResult();
    return QStringLiteral("Узел: %1 мм").arg(m_diameterMm, 0, 'f', 1);
}

void LungNoduleWindow::updateResult()
{
    if (!m_hasMeasurement) {
        m_resultLabel->setText(
            QStringLiteral("<span style='color:#888'>Обведите узел инструментом «ROI (HU)», чтобы "
                           "увидеть автоматическую оценку.</span>"));
        return;
    }
    m_resultLabel->setText(
        QStringLiteral("<b>Диаметр (наибольший):</b> %1 мм<br><b>Средний диаметр</b> (по нему "
                       "категория Lung-RADS): %4 мм<br><b>Оценочный "
                       "объём</b> (приближение эллипсоидом): %2 "
                       "см³<br><b>Lung-RADS:</b> %3<br><span "
                       "style='color:#888'>Автоматическая оценка по ROI на одном "
                       "срезе — ориентировочная (объём НЕ учитывает форму узла в "
                       "3D), финальная оценка и категория — "
                       "за врачом. Только солидные узлы (v1).</span>")
            .arg(QString::number(m_diameterMm, 'f', 1), QString::number(m_volumeMm3 / 1000.0, 'f', 2),
                 clinical::lungRadsCategoryText(m_meanDiameterMm, m_followUpCheck->isChecked()).toHtmlEscaped(),
                 QString::number(m_meanDiameterMm, 'f', 1)));
}

void LungNoduleWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    // A top-level Qt::Window already has its own taskbar entry here; the image
    // only needs fitting once the panel has its real size.
    m_viewport->fitImageInView();
}
