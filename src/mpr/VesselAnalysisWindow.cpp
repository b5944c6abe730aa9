#include "mpr/VesselAnalysisWindow.h"

#include "mpr/CrossSectionPanel.h"
#include "mpr/VesselProfileChartWidget.h"

#include "clinical/StenosisGrading.h"
#include "platform/FreeNameWrite.h"

#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRegularExpression>
#include <QSplitter>
#include <QStatusBar>
#include <QThread>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

// The measurement worker: owns copies of everything it reads, the volume through its own share.
class VesselProfileWorker : public QObject
{
    Q_OBJECT

public:
    std::shared_ptr<render::FusionVolume> volume;
    QList<std::array<double, 3>> curve;
    double windowCenter = 0.0;
    double windowWidth = 1.0;
    render::LumenSettings settings;
    std::shared_ptr<std::atomic_bool> stop;
    render::LumenProfile result;

public slots:
    void run()
    {
        if (!volume)
            result.message = QStringLiteral("Объём недоступен");
        else
            result = render::analyzeVesselLumen(*volume, curve, windowCenter, windowWidth, &settings, stop.get());
        emit finished();
    }

signals:
    void finished();
};

namespace {

const char* const kHelpText =
    "<b>Как пользоваться:</b> кривая берётся с аксиальной панели окна «Сосудистый анализ» — поправьте её там "
    "(перетаскиванием узлов), ЗАХВАТИВ здоровый (не суженный) участок сосуда минимум на 5 мм с КАЖДОЙ стороны — "
    "по ним считается «референсный» (нормальный) диаметр для % стеноза. Затем здесь настройте диапазон HU просвета "
    "под контрастность конкретного исследования (по умолчанию 100–500 — типичная артериальная фаза КТА; если "
    "график пустой, просвет не найден — попробуйте расширить диапазон) и нажмите «Пересчитать». На графике: синяя "
    "линия — диаметр вдоль сосуда, ОРАНЖЕВАЯ — сосуд шире «Окна среза» (значение занижено, увеличьте «Окно среза»), "
    "красная пунктирная — место минимального диаметра (среди надёжных точек), зелёная пунктирная — референсный "
    "диаметр, красные засечки снизу — кальцинаты. КЛИКНИТЕ по графику — справа появится увеличенный поперечный "
    "срез сосуда в этой точке (± 1см соседних срезов) — помогает отличить настоящее сужение от артефакта.";

QDoubleSpinBox* addSpin(QHBoxLayout* row, QWidget* parent, const QString& label, double lo, double hi, double step,
                        double value, const QString& suffix)
{
    row->addWidget(new QLabel(label, parent));
    auto* spin = new QDoubleSpinBox(parent);
    spin->setRange(lo, hi);
    spin->setSingleStep(step);
    spin->setValue(value);
    spin->setSuffix(suffix);
    row->addWidget(spin);
    return spin;
}

} // namespace

QString vesselReportFileName(const QString& title, const QDateTime& when)
{
    static const QRegularExpression disallowed(QStringLiteral("[^A-Za-zА-Яа-я0-9_-]+"));
    QString safe = title;
    safe.replace(disallowed, QStringLiteral("_"));
    return QStringLiteral("VesselProfile_%1_%2.png").arg(safe, when.toString(QStringLiteral("yyyyMMdd_HHmmss")));
}

VesselAnalysisWindow::VesselAnalysisWindow(std::shared_ptr<render::FusionVolume> volume,
                                           const QList<std::array<double, 3>>& curve, double windowCenter,
                                           double windowWidth, const QString& title, QWidget* parent)
    : QMainWindow(parent), m_volume(std::move(volume)), m_curve(curve), m_windowCenter(windowCenter),
      m_windowWidth(windowWidth), m_title(title)
{
    setWindowFlags(windowFlags() | Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Профиль сосуда — %1").arg(title));
    resize(1180, 640);

    auto* toolBar = addToolBar(QStringLiteral("Параметры"));
    toolBar->setMovable(false);
    auto* controls = new QWidget(toolBar);
    auto* row = new QHBoxLayout(controls);
    row->setContentsMargins(6, 2, 6, 2);
    m_lumenFrom = addSpin(row, controls, QStringLiteral("Просвет от:"), -1024, 3071, 10, 100, QStringLiteral(" HU"));
    m_lumenTo = addSpin(row, controls, QStringLiteral("до:"), -1024, 3071, 10, 500, QStringLiteral(" HU"));
    m_calcium = addSpin(row, controls, QStringLiteral("Порог кальцината:"), 0, 3071, 10, 130, QStringLiteral(" HU"));
    m_sliceWindow = addSpin(row, controls, QStringLiteral("Окно среза:"), 5, 60, 1, 15, QStringLiteral(" мм"));
    m_recompute = new QPushButton(QStringLiteral("Пересчитать"), controls);
    row->addWidget(m_recompute);
    row->addStretch(1);
    auto* exportButton = new QPushButton(QStringLiteral("Экспорт отчёта (PNG)"), controls);
    row->addWidget(exportButton);
    toolBar->addWidget(controls);
    connect(m_recompute, &QPushButton::clicked, this, &VesselAnalysisWindow::startComputation);
    connect(exportButton, &QPushButton::clicked, this, &VesselAnalysisWindow::exportReport);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    auto* left = new QWidget(splitter);
    auto* leftLayout = new QVBoxLayout(left);
    auto* help = new QLabel(QString::fromUtf8(kHelpText), left);
    help->setWordWrap(true);
    help->setStyleSheet(QStringLiteral("color: #aaa; padding: 4px;"));
    leftLayout->addWidget(help);
    m_chart = new VesselProfileChartWidget(left);
    leftLayout->addWidget(m_chart, 1);
    m_summary = new QLabel(left);
    m_summary->setWordWrap(true);
    m_summary->setTextFormat(Qt::RichText);
    m_summary->setContentsMargins(10, 6, 10, 10);
    leftLayout->addWidget(m_summary);
    splitter->addWidget(left);
    m_crossSections = new CrossSectionPanel(splitter);
    splitter->addWidget(m_crossSections);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    setCentralWidget(splitter);
    connect(m_chart, &VesselProfileChartWidget::pointClicked, this, &VesselAnalysisWindow::onChartPointClicked);
    // A picked section becomes the middle of the column, as in the curved reconstruction window.
    connect(m_crossSections, &CrossSectionPanel::sliceActivated, this, [this](double offsetMm) {
        const double length = std::max(m_profile.curvedMpr.lengthMm, 0.0);
        if (std::isfinite(offsetMm))
            onChartPointClicked(std::clamp(m_crossSections->centreMm() + offsetMm, 0.0, length));
    });

    statusBar()->showMessage(QStringLiteral("Считается профиль сосуда…"));
    startComputation();
}

VesselAnalysisWindow::~VesselAnalysisWindow()
{
    // Threads are children of this window: each must have stopped before it is destroyed with it. A
    // running measurement is told to stop, so the wait for it is short.
    m_stop->store(true);
    for (QThread* thread : findChildren<QThread*>(Qt::FindDirectChildrenOnly)) {
        thread->quit();
        thread->wait();
    }
}

QString VesselAnalysisWindow::summaryText() const
{
    return m_summary->text();
}

void VesselAnalysisWindow::startComputation()
{
    if (m_busy)
        return;
    m_busy = true;
    m_recompute->setEnabled(false);
    statusBar()->showMessage(QStringLiteral("Считается профиль сосуда…"));

    auto* thread = new QThread(this);
    auto* worker = new VesselProfileWorker;
    worker->volume = m_volume;
    worker->curve = m_curve;
    worker->windowCenter = m_windowCenter;
    worker->windowWidth = m_windowWidth;
    worker->settings.sectionSizeMm = m_sliceWindow->value();
    worker->settings.stepMm = 1.0;
    worker->settings.lumenMinHu = m_lumenFrom->value();
    worker->settings.lumenMaxHu = m_lumenTo->value();
    worker->settings.calciumHu = m_calcium->value();
    worker->settings.referenceLengthMm = 5.0;
    worker->stop = m_stop;
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &VesselProfileWorker::run);
    connect(
        worker, &VesselProfileWorker::finished, this, [this, worker, thread] { onWorkerFinished(worker, thread); },
        Qt::QueuedConnection);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
}

void VesselAnalysisWindow::onWorkerFinished(VesselProfileWorker* worker, QThread* thread)
{
    render::LumenProfile profile = std::move(worker->result);
    thread->quit();
    m_busy = false;
    m_recompute->setEnabled(true);
    applyProfile(profile);
}

void VesselAnalysisWindow::applyProfile(const render::LumenProfile& profile)
{
    m_profile = profile;
    m_chart->setProfile(m_profile);
    m_crossSections->clear();
    updateSummary();
    if (!m_profile.message.isEmpty() || m_profile.sections.isEmpty())
        statusBar()->showMessage(QStringLiteral("Не удалось построить профиль"), 8000);
    else
        statusBar()->showMessage(QStringLiteral("Готово: %1 точек вдоль кривой").arg(m_profile.sections.size()), 5000);
}

void VesselAnalysisWindow::updateSummary()
{
    const render::LumenProfile& p = m_profile;
    if (!p.message.isEmpty() || p.sections.isEmpty()) {
        const QString text = p.message.isEmpty() ? QStringLiteral("Профиль не построен") : p.message.toHtmlEscaped();
        m_summary->setText(QStringLiteral("<span style='color:#e05252'>%1</span>").arg(text));
        return;
    }
    QString html = QStringLiteral("<b>Минимальный диаметр:</b> %1 мм (на %2 мм от начала кривой) — площадь %3 мм²<br>")
                       .arg(p.minDiameterMm, 0, 'f', 1)
                       .arg(p.minDiameterArcMm, 0, 'f', 1)
                       .arg(p.minAreaMm2, 0, 'f', 1);
    if (p.referenceDiameterMm <= 0.0) {
        html += QStringLiteral(
            "<span style='color:#c9a227'>Не удалось определить референсный (здоровый) участок сосуда у концов "
            "кривой — % стеноза не рассчитан. Попробуйте провести кривую с запасом в здоровый сосуд по обе "
            "стороны.</span><br>");
    } else {
        html += QStringLiteral("<b>Референсный диаметр</b> (концы кривой): %1 мм — площадь %2 мм²<br>")
                    .arg(p.referenceDiameterMm, 0, 'f', 1)
                    .arg(p.referenceAreaMm2, 0, 'f', 1);
        // The grade goes with the whole percent the reader sees: 69.6 % reads "70 %" and is graded as 70.
        const auto stenosisLine = [](const QString& basis, double percent) {
            const double shown = std::round(percent);
            return QStringLiteral("<b>Стеноз по %1:</b> %2% — %3<br>")
                .arg(basis)
                .arg(shown, 0, 'f', 0)
                .arg(clinical::stenosisGradeText(shown).toHtmlEscaped());
        };
        html += stenosisLine(QStringLiteral("диаметру"), p.stenosisDiameterPercent);
        html += stenosisLine(QStringLiteral("площади"), p.stenosisAreaPercent);
    }
    if (p.borderContactCount > 0) {
        html += QStringLiteral(
                    "<span style='color:#c9a227'><b>Внимание:</b> в %1 из %2 точек профиля сосуд шире текущего "
                    "«Окна среза» (%3 мм) — диаметр там занижен обрезкой рамки (на графике эти участки выделены "
                    "оранжевым) и не учтён в минимуме/референсе выше. Увеличьте «Окно среза» и нажмите «Пересчитать» "
                    "для точной оценки.</span><br>")
                    .arg(p.borderContactCount)
                    .arg(p.sections.size())
                    .arg(m_sliceWindow->value(), 0, 'f', 0);
    }
    const auto calcified = std::count_if(p.sections.begin(), p.sections.end(),
                                         [](const render::LumenSample& s) { return s.calcified; });
    if (calcified == 0)
        html += QStringLiteral("<b>Кальцинаты:</b> не обнаружены");
    else
        html += QStringLiteral("<b>Кальцинаты:</b> обнаружены в %1 из %2 точек профиля")
                    .arg(qint64(calcified))
                    .arg(p.sections.size());
    html += QStringLiteral(
        "<br><span style='color:#888'>Автоматическая оценка по HU-порогу — ориентировочная, не заменяет визуальную "
        "оценку врачом. Пороги стеноза (50/70/90%) приблизительны — клиническая значимость зависит от конкретного "
        "сосудистого бассейна.</span>");
    m_summary->setText(html);
}

void VesselAnalysisWindow::onChartPointClicked(double distanceMm)
{
    if (!m_volume || !m_profile.message.isEmpty() || m_profile.sections.isEmpty() || m_profile.curvedMpr.image.isNull())
        return;
    m_crossSections->rebuild(*m_volume, m_profile.curvedMpr, distanceMm, std::max(1.5 * m_sliceWindow->value(), 20.0),
                             m_windowCenter, m_windowWidth);
}

void VesselAnalysisWindow::exportReport()
{
    if (centralWidget()->grab().isNull())
        return;
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Экспорт профиля сосуда"),
                                                      vesselReportFileName(m_title, QDateTime::currentDateTime()),
                                                      QStringLiteral("PNG изображение (*.png)"));
    if (!path.isEmpty())
        saveReportTo(path);
}

bool VesselAnalysisWindow::saveReportTo(const QString& path)
{
    const QPixmap pixmap = centralWidget()->grab();
    if (pixmap.isNull())
        return false;
    QString why;
    if (platform::writeImageOverChosenFile(path, pixmap.toImage(), "PNG", &why))
        return true;
    QMessageBox::warning(
        this, QStringLiteral("Экспорт"),
        QStringLiteral("Не удалось сохранить файл %1: %2").arg(QDir::toNativeSeparators(path), why),
        QMessageBox::Ok);
    return false;
}

#include "VesselAnalysisWindow.moc"
