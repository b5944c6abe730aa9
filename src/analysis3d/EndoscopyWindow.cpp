#include "analysis3d/EndoscopyWindow.h"

#include "analysis3d/D3DVolumeRenderWidget.h"
#include "dialogs/WindowPlacement.h"

#include "render/MprSlices.h"
#include "render/TransferFunction.h"
#include "render/VolumeGeometryWarnings.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSplitter>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

const QString kFlyForwardText = QStringLiteral("▶ Полёт");
const QString kFlyBackwardText = QStringLiteral("◀◀ Назад");
const QString kPauseText = QStringLiteral("⏸ Пауза");
constexpr int kSliderMax = 1000;
constexpr double kLookAheadMm = 15.0;
constexpr float kFieldOfView = 100.0f;

const QString kMeasurementTip = QStringLiteral(
    "Измерение расстояния (например, размера полипа/образования) — как обычный инструмент \"Линейка\": нажмите "
    "ЛКМ на стенке просвета и, не отпуская, протяните — рисуется линия; отпустите кнопку — рядом появится "
    "цифра в мм. Клик по уже нарисованному измерению выделяет его (можно удалить кнопкой ниже), "
    "перетаскивание за один из концов — изменяет его длину. ОРИЕНТИРОВОЧНАЯ оценка (зависит от порога "
    "непрозрачности активного пресета), не точный клинический инструмент.");

// Halves away from zero, as everywhere in this window.
int nearest(double v)
{
    return int(std::lround(v));
}

bool hasVolume(const render::Volume& v)
{
    return v.nx >= 1 && v.ny >= 1 && v.nz >= 1;
}

// An axial image is rescaled to square pixels when its spacings differ; the factors undo that.
void axialPixelScale(const render::Volume& v, const QImage& image, double* fx, double* fy)
{
    *fx = *fy = 1.0;
    if (image.isNull() || (image.width() == v.nx && image.height() == v.ny))
        return;
    const double m = std::min(v.spacingX, v.spacingY);
    if (m > 0) {
        *fx = v.spacingX / m;
        *fy = v.spacingY / m;
    }
}

} // namespace

EndoscopyWindow::EndoscopyWindow(const QList<db::InstanceRecord>& slices, const double seedPointMm[3],
                                 double windowCenter, double windowWidth, const QString& title, QWidget* parent)
    : QMainWindow(parent)
    , m_slices(slices)
    , m_windowCenter(windowCenter)
    , m_windowWidth(windowWidth)
    , m_title(title)
{
    for (int a = 0; a < 3; ++a)
        m_seed[a] = seedPointMm[a];
    setWindowFlags(windowFlags() | Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Виртуальная эндоскопия — %1").arg(title));
    resizeWithinScreen(this, QSize(1150, 750));
    buildUi();
    startVolumeBuild();
}

EndoscopyWindow::~EndoscopyWindow()
{
    m_flyTimer->stop();
    // Every build still running ends early; its result has nowhere to go.
    m_stop->store(true);
    for (QThread* thread : findChildren<QThread*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (!thread->isRunning())
            continue;
        // The handler that would end the thread goes with the window; a quit asked before the worker
        // returns still ends the thread's event loop at once. A volume worker owns copies of what it
        // reads and may finish on its own; a path worker reads the window's render volume, which must
        // outlive it, so the window waits for it to stop.
        thread->quit();
        if (thread->objectName() == QStringLiteral("endoscopyVolumeBuild"))
            thread->setParent(nullptr);
        else
            thread->wait();
    }
}

void EndoscopyWindow::buildUi()
{
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_warning = new QLabel(central);
    m_warning->setWordWrap(true);
    m_warning->setStyleSheet(QStringLiteral("color: #ffd966; background-color: #5a4a00; padding: 6px;"));
    m_warning->hide();
    layout->addWidget(m_warning);

    auto* splitter = new QSplitter(Qt::Horizontal, central);
    m_view = new D3DVolumeRenderWidget(splitter);
    m_panel = new EndoscopyReferencePanel(splitter);
    splitter->addWidget(m_view);
    splitter->addWidget(m_panel);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    splitter->setSizes({800, 280});
    layout->addWidget(splitter, 1);

    auto* row = new QWidget(central);
    auto* rowLayout = new QHBoxLayout(row);
    auto button = [row, rowLayout](const QString& text, const QString& tip, bool checkable) {
        auto* b = new QPushButton(text, row);
        if (!tip.isEmpty())
            b->setToolTip(tip);
        b->setCheckable(checkable);
        rowLayout->addWidget(b);
        return b;
    };
    m_stepBack = button(QStringLiteral("◀ Шаг"), QStringLiteral("Один шаг назад по пути (без автоматического полёта)"),
                        false);
    m_flyBackward = button(kFlyBackwardText, QStringLiteral("Автоматический полёт НАЗАД по пути"), true);
    m_flyForward = button(kFlyForwardText, QStringLiteral("Автоматический полёт ВПЕРЁД по пути"), true);
    m_stepForward = button(QStringLiteral("Шаг ▶"),
                           QStringLiteral("Один шаг вперёд по пути (без автоматического полёта)"), false);
    rowLayout->addWidget(new QLabel(QStringLiteral("Скорость:"), row));
    m_speedSlider = new QSlider(Qt::Horizontal, row);
    m_speedSlider->setRange(1, 10);
    m_speedSlider->setValue(m_flySpeed);
    m_speedSlider->setFixedWidth(80);
    m_speedSlider->setToolTip(QStringLiteral("Скорость автоматического полёта (режим «Полёт»)"));
    rowLayout->addWidget(m_speedSlider);
    m_positionSlider = new QSlider(Qt::Horizontal, row);
    m_positionSlider->setRange(0, kSliderMax);
    m_positionSlider->setValue(0);
    rowLayout->addWidget(m_positionSlider, 1);
    auto* resetLook = button(
        QStringLiteral("Сброс обзора"),
        QStringLiteral("Вернуть направление взгляда и приближение (зум) к исходным — на случай, если увлеклись "
                       "осмотром по сторонам (ЛКМ-перетаскивание — осмотр, колесо мыши — зум)."),
        false);
    m_measurement = button(QStringLiteral("Измерение"), kMeasurementTip, true);
    m_deleteMeasurement = button(QStringLiteral("Удалить измерение"), QString(), false);
    m_deleteMeasurement->setEnabled(false);
    m_leftBronchus = button(QStringLiteral("→ Левый бронх"), QString(), false);
    m_leftBronchus->hide();
    m_rightBronchus = button(QStringLiteral("→ Правый бронх"), QString(), false);
    m_rightBronchus->hide();
    layout->addWidget(row);
    setCentralWidget(central);

    m_flyTimer = new QTimer(this);
    m_flyTimer->setInterval(60);

    connect(m_view, &D3DVolumeRenderWidget::initializationFailed, this, [this](const QString& message) {
        showWarning(QStringLiteral("⚠ Виртуальная эндоскопия рисуется только на видеокарте с OpenGL 3.3, а она "
                                   "недоступна: %1").arg(message));
        setPathControlsEnabled(false);
    });
    connect(m_view, &D3DVolumeRenderWidget::measurementSelectionChanged, m_deleteMeasurement,
            &QPushButton::setEnabled);
    connect(m_panel, &EndoscopyReferencePanel::sliceClicked, this, [this](QPointF p) { onSliceClicked(p); });
    connect(m_panel, &EndoscopyReferencePanel::sliceScrollRequested, this, [this](int d) { onSliceScroll(d); });
    connect(m_panel, &EndoscopyReferencePanel::slicePlaneChangeRequested, this,
            [this](EndoscopyReferencePanel::SlicePlane plane) { onPlaneChange(plane); });
    connect(m_flyTimer, &QTimer::timeout, this, [this] { onFlyTick(); });

    connect(m_stepBack, &QPushButton::clicked, this, [this] { stepBy(-1); });
    connect(m_stepForward, &QPushButton::clicked, this, [this] { stepBy(+1); });
    connect(m_flyForward, &QPushButton::toggled, this, [this](bool on) { onFlyToggled(m_flyForward, on); });
    connect(m_flyBackward, &QPushButton::toggled, this, [this](bool on) { onFlyToggled(m_flyBackward, on); });
    connect(m_speedSlider, &QSlider::valueChanged, this, [this](int v) { m_flySpeed = v; });
    connect(m_positionSlider, &QSlider::valueChanged, this, [this](int v) { showPathPosition(v); });
    connect(resetLook, &QPushButton::clicked, m_view, &D3DVolumeRenderWidget::resetEndoscopyLook);
    connect(m_measurement, &QPushButton::toggled, m_view, &D3DVolumeRenderWidget::setMeasurementMode);
    connect(m_deleteMeasurement, &QPushButton::clicked, m_view, &D3DVolumeRenderWidget::deleteSelectedMeasurement);
    connect(m_leftBronchus, &QPushButton::clicked, this, [this] { chooseBranch(true); });
    connect(m_rightBronchus, &QPushButton::clicked, this, [this] { chooseBranch(false); });
}

void EndoscopyWindow::showWarning(const QString& text)
{
    m_warning->setText(m_volumeWarnings.isEmpty() || text.isEmpty()
                           ? m_volumeWarnings + text
                           : m_volumeWarnings + QLatin1Char('\n') + text);
    m_warning->show();
}

void EndoscopyWindow::setPathControlsEnabled(bool enabled)
{
    for (QWidget* w : {static_cast<QWidget*>(m_positionSlider), static_cast<QWidget*>(m_stepBack),
                       static_cast<QWidget*>(m_flyBackward), static_cast<QWidget*>(m_flyForward),
                       static_cast<QWidget*>(m_stepForward)})
        w->setEnabled(enabled);
}

bool EndoscopyWindow::isBuilding() const
{
    return (m_volumeThread && m_volumeThread->isRunning()) || (m_pathThread && m_pathThread->isRunning());
}

bool EndoscopyWindow::volumesReady() const
{
    return m_pathVolume && !m_pathVolume->isEmpty() && hasVolume(m_renderVolume);
}

void EndoscopyWindow::startVolumeBuild()
{
    statusBar()->showMessage(QStringLiteral("Строится объём серии…"));
    setEnabled(false);
    auto* thread = new QThread(this);
    thread->setObjectName(QStringLiteral("endoscopyVolumeBuild"));
    auto* worker = new EndoscopyVolumeBuildWorker(m_slices, m_title);
    worker->stop = m_stop;
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &EndoscopyVolumeBuildWorker::run);
    connect(worker, &EndoscopyVolumeBuildWorker::finished, this, [this, worker, thread] {
        // The results are taken before the thread may end: its end deletes the worker on that thread.
        std::shared_ptr<render::FusionVolume> pathVolume = std::move(worker->pathVolume);
        render::Volume renderVolume = std::move(worker->renderVolume);
        const bool nonAxial = worker->nonAxial;
        QImage overview = std::move(worker->overviewImage);
        QString error = std::move(worker->errorText);
        thread->quit();
        onVolumeBuilt(std::move(pathVolume), std::move(renderVolume), nonAxial, std::move(overview), std::move(error));
    });
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_volumeThread = thread;
    thread->start(QThread::InheritPriority);
}

void EndoscopyWindow::onVolumeBuilt(std::shared_ptr<render::FusionVolume> pathVolume, render::Volume renderVolume,
                                    bool nonAxial, QImage overviewImage, QString errorText)
{
    setEnabled(true);
    m_pathVolume = std::move(pathVolume);
    m_renderVolume = std::move(renderVolume);
    m_nonAxial = nonAxial;
    if (!volumesReady()) {
        statusBar()->showMessage(QStringLiteral("Построение не удалось"), 8000);
        showWarning(QStringLiteral("⚠ %1").arg(errorText.isEmpty() ? QStringLiteral("неизвестная ошибка") : errorText));
        setPathControlsEnabled(false);
        return;
    }
    m_panel->setOverviewImage(overviewImage);
    m_view->setVolume(&m_renderVolume, m_windowCenter, m_windowWidth);
    const QList<render::TransferFunctionPreset>& presets = render::transferFunctionPresets();
    const auto preset = std::find_if(presets.begin(), presets.end(), [](const render::TransferFunctionPreset& p) {
        return p.name == QStringLiteral("Эндоскопия (внутренняя поверхность просвета)");
    });
    if (preset != presets.end())
        m_view->setVrtPreset(*preset);
    else if (!presets.isEmpty())
        m_view->setVrtPreset(presets.first());
    // Beside built volumes the text is the builder's warnings about them: they stay above any later one.
    m_volumeWarnings = render::markedWarnings(errorText);
    if (m_nonAxial)
        showWarning(QStringLiteral(
            "⚠ Исходная серия НЕ аксиальная — путь камеры построен ПРИБЛИЖЁННО (точная привязка физических "
            "координат кривой к системе координат объёма гарантирована только для аксиальных серий). "
            "Проверяйте результат визуально."));
    else if (!m_volumeWarnings.isEmpty())
        showWarning(QString());
    buildPathFromSeed(m_seed);
}

void EndoscopyWindow::startPathWorker(EndoscopyPathBuildWorker* worker, bool seedMode)
{
    setEnabled(false);
    worker->stop = m_stop;
    auto* thread = new QThread(this);
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &EndoscopyPathBuildWorker::run);
    connect(worker, &EndoscopyPathBuildWorker::finished, this, [this, worker, thread, seedMode] {
        if (seedMode) {
            m_branchDetected = worker->branchDetected;
            m_pathPoints = worker->pathPoints;
            m_leftBranch = worker->leftBranch;
            m_rightBranch = worker->rightBranch;
        }
        QList<EndoscopyCameraFrame> frames = std::move(worker->frames);
        QList<QPointF> overview = std::move(worker->overviewPath);
        const double startDistance = worker->startDistanceMm;
        QString error = std::move(worker->errorText);
        thread->quit();
        onPathBuilt(std::move(frames), std::move(overview), startDistance, std::move(error));
        if (seedMode && m_branchDetected) {
            m_leftBronchus->show();
            m_rightBronchus->show();
            showWarning(QStringLiteral(
                "⚠ Обнаружено ветвление просвета (похоже на бифуркацию главных бронхов) — путь построен только "
                "до развилки. Выберите сторону кнопками ниже, чтобы продолжить."));
        }
    });
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    m_pathThread = thread;
    thread->start(QThread::InheritPriority);
}

void EndoscopyWindow::buildPathFromSeed(const double pointMm[3])
{
    if (!m_pathVolume || m_pathVolume->isEmpty())
        return;
    for (int a = 0; a < 3; ++a)
        m_seed[a] = pointMm[a];
    m_branchDetected = false;
    m_pathPoints.clear();
    m_leftBranch.clear();
    m_rightBranch.clear();
    m_leftBronchus->hide();
    m_rightBronchus->hide();
    statusBar()->showMessage(QStringLiteral("Строится путь по воздушному просвету…"));
    startPathWorker(new EndoscopyPathBuildWorker(m_pathVolume, &m_renderVolume, m_seed, m_windowCenter, m_windowWidth),
                    true);
}

void EndoscopyWindow::rebuildPathAlongCurve(const QList<std::array<double, 3>>& curve, int startIndex)
{
    if (!m_pathVolume || m_pathVolume->isEmpty())
        return;
    statusBar()->showMessage(QStringLiteral("Путь перестраивается…"));
    startPathWorker(new EndoscopyPathBuildWorker(m_pathVolume, &m_renderVolume, curve, startIndex, m_windowCenter,
                                                 m_windowWidth),
                    false);
}

void EndoscopyWindow::chooseBranch(bool left)
{
    if (m_pathPoints.isEmpty())
        return;
    QList<std::array<double, 3>> curve = m_pathPoints;
    curve.append(left ? m_leftBranch : m_rightBranch);
    rebuildPathAlongCurve(curve, std::max(int(m_pathPoints.size()) - 1, 0));
}

void EndoscopyWindow::onPathBuilt(QList<EndoscopyCameraFrame> frames, QList<QPointF> overviewPoints,
                                  double startDistanceMm, QString errorText)
{
    setEnabled(true);
    m_frames = std::move(frames);
    m_overviewPath = std::move(overviewPoints);
    m_axialShown = -1;
    if (m_frames.size() < 2) {
        statusBar()->showMessage(QStringLiteral("Построение пути не удалось"), 8000);
        showWarning(QStringLiteral("⚠ %1").arg(errorText.isEmpty() ? QStringLiteral("неизвестная ошибка") : errorText));
        setPathControlsEnabled(false);
        m_panel->setOverviewPath({});
        return;
    }
    setPathControlsEnabled(true);
    m_panel->setOverviewPath(m_overviewPath);
    m_view->resetEndoscopyLook();
    const int count = int(m_frames.size());
    const int start = std::clamp(nearest(startDistanceMm), 0, count - 1);
    const int value = nearest(double(m_positionSlider->maximum()) * start / (count - 1));
    const EndoscopyCameraFrame& f = m_frames[start];
    m_view->setPerspectiveCamera(true, f.position, f.forward, f.up, kFieldOfView);
    {
        const QSignalBlocker block(m_positionSlider);
        m_positionSlider->setValue(value);
    }
    showPathPosition(value);
    statusBar()->showMessage(QStringLiteral("Готово: путь построен автоматически, %1 точек").arg(count), 5000);
}

QPointF EndoscopyWindow::slicePixel(const render::Volume& v, EndoscopyReferencePanel::SlicePlane plane,
                                    const QImage& image, double x, double y, double z)
{
    switch (plane) {
    case EndoscopyReferencePanel::Coronal: {
        const double m = std::min(v.spacingX, v.spacingZ);
        return QPointF(x * v.spacingX / m, (v.nz - 1 - z) * v.spacingZ / m);
    }
    case EndoscopyReferencePanel::Sagittal: {
        const double m = std::min(v.spacingY, v.spacingZ);
        return QPointF(y * v.spacingY / m, (v.nz - 1 - z) * v.spacingZ / m);
    }
    case EndoscopyReferencePanel::Axial:
        break;
    }
    double fx = 1.0, fy = 1.0;
    axialPixelScale(v, image, &fx, &fy);
    return QPointF(x * fx, y * fy);
}

QImage EndoscopyWindow::renderReferenceSlice(EndoscopyReferencePanel::SlicePlane plane, int index) const
{
    switch (plane) {
    case EndoscopyReferencePanel::Coronal:
        return render::renderCoronalSlice(m_renderVolume, index, m_windowCenter, m_windowWidth, 0, 0);
    case EndoscopyReferencePanel::Sagittal:
        return render::renderSagittalSlice(m_renderVolume, index, m_windowCenter, m_windowWidth, 0, 0);
    case EndoscopyReferencePanel::Axial:
        break;
    }
    return render::renderAxialSlice(m_renderVolume, index, m_windowCenter, m_windowWidth, 0, 0);
}

void EndoscopyWindow::showPathPosition(int sliderValue)
{
    if (m_frames.size() < 2)
        return;
    m_manualSlice = -1;
    const int count = int(m_frames.size());
    const double t = std::clamp(double(sliderValue) / std::max(m_positionSlider->maximum(), 1), 0.0, 1.0);
    m_frameIndex = std::clamp(nearest((count - 1) * t), 0, count - 1);
    const EndoscopyCameraFrame& f = m_frames[m_frameIndex];
    m_view->setCameraPose(f.position, f.forward, f.up);
    if (!hasVolume(m_renderVolume))
        return;

    const render::Volume& v = m_renderVolume;
    const float look[3] = {float(f.position[0] + kLookAheadMm * f.forward[0]),
                           float(f.position[1] + kLookAheadMm * f.forward[1]),
                           float(f.position[2] + kLookAheadMm * f.forward[2])};
    auto voxel = [&v](const float c[3], double out[3]) {
        out[0] = c[0] / v.spacingX + v.nx / 2.0;
        out[1] = c[1] / v.spacingY + v.ny / 2.0;
        out[2] = c[2] / v.spacingZ + v.nz / 2.0;
    };
    double cam[3], ahead[3];
    voxel(f.position, cam);
    voxel(look, ahead);

    QImage image;
    if (m_plane == EndoscopyReferencePanel::Axial) {
        const int z = std::clamp(nearest(cam[2]), 0, v.nz - 1);
        if (z != m_axialShown || m_axialImage.isNull()) {
            m_axialImage = renderReferenceSlice(m_plane, z);
            m_axialShown = z;
        }
        image = m_axialImage;
    } else {
        const bool coronal = m_plane == EndoscopyReferencePanel::Coronal;
        const int index = coronal ? std::clamp(nearest(cam[1]), 0, v.ny - 1) : std::clamp(nearest(cam[0]), 0, v.nx - 1);
        if (index != m_otherShown || m_otherImage.isNull()) {
            m_otherImage = renderReferenceSlice(m_plane, index);
            m_otherShown = index;
        }
        image = m_otherImage;
    }
    m_panel->setCurrentSlice(image, slicePixel(v, m_plane, image, cam[0], cam[1], cam[2]),
                             slicePixel(v, m_plane, image, ahead[0], ahead[1], ahead[2]));
    if (m_frameIndex < m_overviewPath.size())
        m_panel->setOverviewMarker(m_frameIndex, m_overviewPath[m_frameIndex], projectToOverview(look, v));
}

void EndoscopyWindow::onSliceClicked(const QPointF& p)
{
    if (!volumesReady())
        return;
    const render::Volume& v = m_renderVolume;
    double i = 0.0, j = 0.0, k = 0.0;
    if (m_plane == EndoscopyReferencePanel::Axial) {
        if (m_axialShown == -1)
            return;
        double fx = 1.0, fy = 1.0;
        axialPixelScale(v, m_axialImage, &fx, &fy);
        i = p.x() / fx;
        j = p.y() / fy;
        k = m_axialShown;
    } else {
        if (m_otherShown == -1)
            return;
        if (m_plane == EndoscopyReferencePanel::Coronal) {
            const double m = std::min(v.spacingX, v.spacingZ);
            i = m * p.x() / v.spacingX;
            j = m_otherShown;
            k = v.nz - 1 - m * p.y() / v.spacingZ;
        } else {
            const double m = std::min(v.spacingY, v.spacingZ);
            i = m_otherShown;
            j = m * p.x() / v.spacingY;
            k = v.nz - 1 - m * p.y() / v.spacingZ;
        }
    }
    const double clicked[3] = {i, j, k};
    double path[3];
    renderToPathIndices(*m_pathVolume, v, clicked, path);
    double seed[3];
    render::voxelToWorld(*m_pathVolume, path[0], path[1], path[2], &seed[0], &seed[1], &seed[2]);
    buildPathFromSeed(seed);
}

void EndoscopyWindow::onSliceScroll(int delta)
{
    if (!hasVolume(m_renderVolume))
        return;
    const bool axial = m_plane == EndoscopyReferencePanel::Axial;
    const int current = m_manualSlice != -1 ? m_manualSlice : (axial ? m_axialShown : m_otherShown);
    if (current == -1)
        return;
    const int n = axial ? m_renderVolume.nz
                        : (m_plane == EndoscopyReferencePanel::Coronal ? m_renderVolume.ny : m_renderVolume.nx);
    const int next = std::clamp(current + delta, 0, n - 1);
    if (next == m_manualSlice)
        return;
    m_manualSlice = next;
    const QImage image = renderReferenceSlice(m_plane, next);
    if (axial) {
        m_axialShown = next;
        m_axialImage = image;
    } else {
        m_otherShown = next;
        m_otherImage = image;
    }
    m_panel->setSliceImage(image);
}

void EndoscopyWindow::onPlaneChange(EndoscopyReferencePanel::SlicePlane plane)
{
    if (plane == m_plane || !hasVolume(m_renderVolume))
        return;
    m_plane = plane;
    m_panel->setSlicePlane(plane);
    m_otherShown = -1;
    m_manualSlice = -1;
    showPathPosition(m_positionSlider->value());
}

void EndoscopyWindow::onFlyToggled(QPushButton* button, bool checked)
{
    QPushButton* other = button == m_flyForward ? m_flyBackward : m_flyForward;
    auto labelOf = [this](QPushButton* b) { return b == m_flyForward ? kFlyForwardText : kFlyBackwardText; };
    button->setText(checked ? kPauseText : labelOf(button));
    if (checked) {
        {
            const QSignalBlocker block(other);
            other->setChecked(false);
        }
        other->setText(labelOf(other));
        m_flyTimer->start();
    } else if (!other->isChecked()) {
        m_flyTimer->stop();
    }
}

void EndoscopyWindow::onFlyTick()
{
    const int step = m_flyBackward->isChecked() ? -m_flySpeed : m_flySpeed;
    int v = m_positionSlider->value() + step;
    if (v > m_positionSlider->maximum())
        v = 0;
    else if (v < m_positionSlider->minimum())
        v = m_positionSlider->maximum();
    m_positionSlider->setValue(v);
}

void EndoscopyWindow::stepBy(int direction)
{
    m_flyForward->setChecked(false);
    m_flyBackward->setChecked(false);
    m_positionSlider->setValue(std::clamp(m_positionSlider->value() + direction * m_flySpeed,
                                          m_positionSlider->minimum(), m_positionSlider->maximum()));
}

void EndoscopyWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // A top-level Qt::Window already has a taskbar entry of its own here: nothing to restyle.
    m_shownOnce = true;
}
