#include "analysis3d/Vrt3DWindow.h"

#include "analysis3d/D3DVolumeRenderWidget.h"
#include "analysis3d/TransferFunctionEditorDialog.h"
#include "dialogs/WaitingBox.h"
#include "analysis3d/Vrt3DIcons.h"
#include "analysis3d/Vrt3DVolumeBuildWorker.h"
#include "analysis3d/VolumeRenderWidget.h"
#include "analysis3d/VolumeWarningLabel.h"
#include "dialogs/WindowPlacement.h"

#include "render/SliceSources.h"

#include <QAction>
#include <QActionGroup>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include "dicom/WindowLevel.h"

namespace {

// Every open 3D window, for camera synchronisation; GUI thread only.
QList<QPointer<Vrt3DWindow>>& openVrtWindows()
{
    static QList<QPointer<Vrt3DWindow>> windows;
    return windows;
}

const render::TransferFunctionPreset* builtInPreset(const QString& name)
{
    for (const auto& preset : render::transferFunctionPresets())
        if (preset.name == name)
            return &preset;
    return nullptr;
}

const char* const kToolbarStyle =
    "QToolBar { spacing: 4px; }"
    "QToolButton { background: transparent; border: none; border-radius: 6px; padding: 4px; }"
    "QToolButton:hover { background: rgba(128, 128, 128, 40); }"
    "QToolButton:pressed { background: rgba(128, 128, 128, 60); }"
    "QToolButton:checked { background: rgba(90, 170, 255, 60); color: palette(button-text); }"
    "QToolButton::menu-indicator { image: none; }"
    // The overflow button is 12 px wide, too narrow for the padding above, and its dark arrow needs a
    // light ground to be seen.
    "QToolButton#qt_toolbar_ext_button { padding: 0px; background: #a0a0a6; }";

} // namespace

Vrt3DWindow::Vrt3DWindow(const QList<db::InstanceRecord>& slices, const QString& title, QWidget* parent,
                         double windowCenter, double windowWidth, const QString& syncKey)
    : QMainWindow(parent)
    , m_requestedWindowCenter(windowCenter)
    , m_requestedWindowWidth(windowWidth)
    , m_syncKey(syncKey)
{
    setupUi(title);
    setEnabled(false);
    statusBar()->showMessage(QStringLiteral("Строится объём для 3D-реконструкции… (%1 срез.)").arg(slices.size()));
    startBuild(slices, title);
}

Vrt3DWindow::Vrt3DWindow(render::Volume&& volume, const QString& title, QWidget* parent, double windowCenter,
                         double windowWidth, const QString& initialPresetName, const QString& syncKey,
                         const QString& warnings)
    : QMainWindow(parent)
    , m_requestedWindowCenter(windowCenter)
    , m_requestedWindowWidth(windowWidth)
    , m_initialPresetName(initialPresetName)
    , m_syncKey(syncKey)
{
    setupUi(title);
    m_volume = std::move(volume);
    onVolumeBuilt(warnings);
}

Vrt3DWindow::~Vrt3DWindow()
{
    auto& windows = openVrtWindows();
    windows.removeIf([this](const QPointer<Vrt3DWindow>& w) { return w.isNull() || w.data() == this; });
    if (m_buildThread) {
        // The build is told to stop and its result is dropped. The thread leaves the window and is told
        // to quit now, which ends it right after the worker's run; its finished signal then deletes the
        // worker and the thread.
        m_stop->store(true);
        disconnect(m_buildWorker, nullptr, this, nullptr);
        m_buildThread->setParent(nullptr);
        m_buildThread->quit();
    }
}

void Vrt3DWindow::startBuild(const QList<db::InstanceRecord>& slices, const QString& title)
{
    // The slices' orientation turns the volume onto the patient's axes; the plane named in the title
    // is only for a series without orientation.
    const QList<render::SliceSource> sources = render::sliceSourcesFromInstances(slices);
    m_buildThread = new QThread(this);
    const int planeHint = render::guessAcquisitionPlane(title);
    m_buildWorker = new Vrt3DVolumeBuildWorker(std::move(sources), planeHint, m_stop);
    m_buildWorker->moveToThread(m_buildThread);
    connect(m_buildThread, &QThread::started, m_buildWorker, &Vrt3DVolumeBuildWorker::run);
    connect(m_buildWorker, &Vrt3DVolumeBuildWorker::finished, this, [this] {
        Vrt3DVolumeBuildWorker* worker = m_buildWorker;
        QThread* thread = m_buildThread;
        m_buildWorker = nullptr;
        m_buildThread = nullptr;
        m_volume = std::move(worker->volume);
        worker->volume.voxels = {};
        const QString message = worker->errorMessage;
        // The worker has returned from its run: the thread ends at once. Waiting for it keeps a window
        // closed right after the build from destroying a thread that is still running.
        thread->quit();
        thread->wait();
        onVolumeBuilt(message);
    }, Qt::QueuedConnection);
    connect(m_buildThread, &QThread::finished, m_buildWorker, &QObject::deleteLater);
    connect(m_buildThread, &QThread::finished, m_buildThread, &QObject::deleteLater);
    m_buildThread->start(QThread::InheritPriority);
}

void Vrt3DWindow::setupUi(const QString& title)
{
    setWindowFlags(windowFlags() | Qt::Window);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("3D VRT — %1").arg(title));
    resizeWithinScreen(this, QSize(900, 800));

    m_cpuView = new VolumeRenderWidget(this);
    m_gpuView = new D3DVolumeRenderWidget(this);
    // Queued: the GPU view fails inside its first show, while the stack is still switching pages.
    connect(m_gpuView, &D3DVolumeRenderWidget::initializationFailed, this, [this](const QString& error) {
        showCpuView(QStringLiteral("OpenGL недоступен: %1").arg(error));
    }, Qt::QueuedConnection);
    connect(m_gpuView, &D3DVolumeRenderWidget::statusMessage, this,
            [this](const QString& message) { statusBar()->showMessage(message, 5000); });
    connect(m_cpuView, &VolumeRenderWidget::cameraSettled, this, &Vrt3DWindow::onCameraSettled);
    connect(m_gpuView, &D3DVolumeRenderWidget::cameraSettled, this, &Vrt3DWindow::onCameraSettled);

    openVrtWindows().append(QPointer<Vrt3DWindow>(this));

    m_statusNote = new QLabel(statusBar());
    m_statusNote->setWordWrap(true);
    m_statusNote->hide();
    statusBar()->addWidget(m_statusNote, 1);
    m_volumeWarning = new VolumeWarningLabel(statusBar());
    m_statusNoteTimer = new QTimer(this);
    m_statusNoteTimer->setSingleShot(true);
    connect(m_statusNoteTimer, &QTimer::timeout, this, &Vrt3DWindow::hideStatusNote);

    m_viewStack = new QStackedWidget(this);
    m_placeholderPage = new QWidget(m_viewStack);
    auto* layout = new QVBoxLayout(m_placeholderPage);
    auto* label = new QLabel(QStringLiteral("Строится объём для 3D-реконструкции…"), m_placeholderPage);
    label->setAlignment(Qt::AlignCenter);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() + 2);
    label->setFont(font);
    layout->addWidget(label);
    m_placeholderPage->setStyleSheet(QStringLiteral("background-color: black; color: #cccccc;"));
    m_viewStack->addWidget(m_placeholderPage);
    m_viewStack->addWidget(m_gpuView);
    m_viewStack->addWidget(m_cpuView);
    m_viewStack->setCurrentWidget(m_placeholderPage);
    setCentralWidget(m_viewStack);

    buildToolbar();
}

void Vrt3DWindow::buildToolbar()
{
    auto* bar = addToolBar(QStringLiteral("3D VRT"));
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    bar->setIconSize(QSize(48, 48));
    bar->setStyleSheet(QString::fromLatin1(kToolbarStyle));

    const auto menuButton = [bar](const QString& text, const QIcon& icon, QMenu* menu) {
        auto* button = new QToolButton(bar);
        button->setText(text);
        button->setIcon(icon);
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setPopupMode(QToolButton::InstantPopup);
        button->setMenu(menu);
        bar->addWidget(button);
        return button;
    };

    // 1: presets, built-in then the user's own.
    m_presetsMenu = new QMenu(this);
    addPresetActions(m_presetsMenu, render::transferFunctionPresets());
    const QList<render::TransferFunctionPreset> custom = loadCustomPresets();
    if (!custom.isEmpty()) {
        m_presetsMenu->addSeparator();
        addPresetActions(m_presetsMenu, custom);
    }
    menuButton(QStringLiteral("Пресеты VRT"), vrt3dicons::presetsIcon(), m_presetsMenu);

    // 2: the curve editor.
    QAction* editor = bar->addAction(vrt3dicons::presetsIcon(), QStringLiteral("Редактор кривой…"));
    editor->setToolTip(QStringLiteral("Ручное редактирование кривой прозрачности (цвет/непрозрачность от плотности) — "
                                      "вместо выбора готового пресета из списка выше."));
    connect(editor, &QAction::triggered, this, &Vrt3DWindow::openTransferFunctionEditor);

    // 3: density cut.
    QToolButton* cut = menuButton(QStringLiteral("Вырез по плотности"), vrt3dicons::densityCutIcon(),
                                  buildDensityCutMenu());
    cut->setToolTip(QStringLiteral(
        "Ограничивает видимый диапазон плотности НЕЗАВИСИМО от кривой/пресета. Готовые пункты ниже заодно "
        "переключают подходящий пресет, чтобы результат сразу выглядел ожидаемо — при необходимости пресет можно "
        "сменить отдельно кнопкой «Пресеты VRT».\nДиапазоны кости/контраста на КТ физически ПЕРЕКРЫВАЮТСЯ (губчатая "
        "кость и контрастированная кровь могут иметь близкую плотность) — точное разделение одним HU-порогом не "
        "всегда возможно; для точного выделения только сосудов используйте «Субтракция КТ-ангиографии»."));
    bar->addSeparator();

    // 5, 6: rotation modes.
    auto* rotationGroup = new QActionGroup(this);
    rotationGroup->setExclusive(true);
    QAction* free = bar->addAction(vrt3dicons::freeRotationIcon(), QStringLiteral("Свободный поворот"));
    free->setCheckable(true);
    free->setChecked(true);
    free->setToolTip(QStringLiteral("ЛКМ вращает камеру во всех плоскостях (азимут + наклон)"));
    rotationGroup->addAction(free);
    connect(free, &QAction::triggered, this, [this] {
        m_cpuView->setRotationMode(FreeRotation);
        m_gpuView->setRotationMode(FreeRotation);
    });
    m_inPlaneAction = bar->addAction(vrt3dicons::inPlaneRotationIcon(), QStringLiteral("Поворот в плоскости"));
    m_inPlaneAction->setCheckable(true);
    m_inPlaneAction->setToolTip(
        QStringLiteral("ЛКМ крутит изображение вокруг центра, как стрелку часов — камера не двигается"));
    rotationGroup->addAction(m_inPlaneAction);
    connect(m_inPlaneAction, &QAction::triggered, this, [this] {
        m_cpuView->setRotationMode(InPlaneRotation);
        m_gpuView->setRotationMode(InPlaneRotation);
    });
    bar->addSeparator();

    // 8: reset view.
    QAction* reset = bar->addAction(vrt3dicons::resetViewIcon(), QStringLiteral("Сбросить вид"));
    connect(reset, &QAction::triggered, this, [this] {
        m_cpuView->resetView();
        m_gpuView->resetView();
    });
    bar->addSeparator();

    // 10: the six view directions.
    auto* orientation = new QMenu(this);
    const QStringList directions = {QStringLiteral("Спереди"), QStringLiteral("Сзади"),  QStringLiteral("Справа"),
                                    QStringLiteral("Слева"),   QStringLiteral("Сверху"), QStringLiteral("Снизу")};
    for (int i = 0; i < directions.size(); ++i) {
        QAction* a = orientation->addAction(directions[i]);
        connect(a, &QAction::triggered, this, [this, i] {
            m_cpuView->setViewPreset(render::VolumeViewPreset(i));
            m_gpuView->setViewPreset(render::VolumeViewPreset(i));
        });
    }
    menuButton(QStringLiteral("Ориентация"), vrt3dicons::orientationIcon(), orientation);
    bar->addSeparator();

    // 12-14: crops on the GPU view.
    m_cropDrawAction = bar->addAction(vrt3dicons::cropDrawIcon(), QStringLiteral("Обрезка (рисование)"));
    m_cropDrawAction->setCheckable(true);
    m_cropDrawAction->setToolTip(QStringLiteral("Обведите ЛКМ замкнутую область прямо на изображении — всё, что "
                                                "снаружи, будет скрыто. Доступно только в режиме GPU."));
    connect(m_cropDrawAction, &QAction::toggled, this,
            [this](bool checked) { m_gpuView->setCropDrawingEnabled(checked); });
    m_cropUndoAction = bar->addAction(vrt3dicons::cropUndoIcon(), QStringLiteral("Отменить шаг"));
    m_cropUndoAction->setToolTip(QStringLiteral("Убирает только ПОСЛЕДНЮЮ нарисованную обрезку — постепенный возврат "
                                                "к исходному виду, не всё сразу (для этого — «Убрать обрезку»)."));
    connect(m_cropUndoAction, &QAction::triggered, this, [this] { m_gpuView->removeLastCrop(); });
    m_cropClearAction = bar->addAction(vrt3dicons::densityCutIcon(), QStringLiteral("Убрать обрезку"));
    m_cropClearAction->setToolTip(QStringLiteral("Вернуть полный объём — отменить всю обрезку разом"));
    connect(m_cropClearAction, &QAction::triggered, this, [this] { m_gpuView->clearCrops(); });
    bar->addSeparator();

    // 16: the CPU fallback.
    m_cpuModeAction = bar->addAction(vrt3dicons::cpuIcon(), QStringLiteral("Режим CPU (запасной)"));
    m_cpuModeAction->setCheckable(true);
    m_cpuModeAction->setToolTip(QStringLiteral(
        "По умолчанию используется GPU (OpenGL). Эта кнопка переключает на обычный программный рендерер — "
        "например, чтобы сверить картинку, или если GPU работает нестабильно на вашей видеокарте."));
    connect(m_cpuModeAction, &QAction::toggled, this, [this](bool checked) {
        if (checked)
            showCpuView(QString());
        else
            showGpuView();
    });
    bar->addSeparator();

    // 18: camera synchronisation.
    m_syncAction = bar->addAction(vrt3dicons::orientationIcon(), QStringLiteral("Синхронизировать окна"));
    m_syncAction->setCheckable(true);
    m_syncAction->setChecked(false);
    m_syncAction->setEnabled(!m_syncKey.isEmpty());
    m_syncAction->setToolTip(QStringLiteral(
        "Синхронизирует поворот/масштаб/панораму камеры с ДРУГИМИ открытыми окнами 3D VRT ЭТОГО ЖЕ пациента (у "
        "которых эта кнопка тоже включена). Пресет/вырез по плотности НЕ синхронизируются — у каждого окна может "
        "быть свой анатомический акцент при общей точке обзора.\nНедоступно, если это окно не связано с конкретным "
        "исследованием."));
}

QMenu* Vrt3DWindow::buildDensityCutMenu()
{
    auto* menu = new QMenu(this);
    struct Entry
    {
        QString text;
        DensityCut cut;
        QString preset;
    };
    const QList<Entry> entries = {
        {QStringLiteral("Выключить (показать всё)"), {false, -1024, 3071}, QString()},
        {QStringLiteral("Убрать кости (мягкие ткани)"), {true, -1024, 200}, QStringLiteral("Мягкие ткани")},
        {QStringLiteral("Только кости"), {true, 200, 3071}, QStringLiteral("Кости")},
        {QStringLiteral("Только сосуды (контраст)"), {true, 80, 500}, QStringLiteral("Сосуды (контраст)")},
    };
    for (const Entry& entry : entries) {
        QAction* a = menu->addAction(entry.text);
        connect(a, &QAction::triggered, this, [this, entry] { chooseDensityCut(entry.cut, entry.preset); });
    }
    menu->addSeparator();
    QAction* custom = menu->addAction(QStringLiteral("Свой диапазон…"));
    connect(custom, &QAction::triggered, this, &Vrt3DWindow::openCustomDensityRangeDialog);
    return menu;
}

void Vrt3DWindow::addPresetActions(QMenu* menu, const QList<render::TransferFunctionPreset>& presets)
{
    for (const render::TransferFunctionPreset& preset : presets) {
        QAction* a = menu->addAction(preset.name);
        connect(a, &QAction::triggered, this, [this, preset] { setCurrentPreset(preset); });
    }
}

void Vrt3DWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_shownOnce)
        return;
    // As a top-level Qt::Window the window already has a taskbar entry of its own here.
    m_shownOnce = true;
}

void Vrt3DWindow::onVolumeBuilt(const QString& message)
{
    setEnabled(true);
    if (m_volume.isEmpty()) {
        // The build's thread ends, and its worker goes, while the user reads this.
        showWaitingBox(this, QMessageBox::Warning, QStringLiteral("3D VRT"),
                       QStringLiteral("Не удалось построить объём для реконструкции:\n%1")
                           .arg(message.isEmpty() ? QStringLiteral("неизвестная ошибка") : message));
        statusBar()->showMessage(QStringLiteral("Реконструкция не удалась"));
        return;
    }
    // Beside a volume the builder's text is a warning about it, kept in sight while the volume is shown.
    m_volumeWarning->showBuiltVolume(m_volume, message);

    if (m_requestedWindowWidth > 0.0) {
        m_effectiveWindowCenter = m_requestedWindowCenter;
        m_effectiveWindowWidth = m_requestedWindowWidth;
    } else {
        const render::WindowLevel whole = render::windowForRange(m_volume.minValue, m_volume.maxValue);
        m_effectiveWindowCenter = whole.center;
        m_effectiveWindowWidth = whole.width;
    }
    m_cpuView->setVolume(&m_volume, m_effectiveWindowCenter, m_effectiveWindowWidth);
    m_gpuView->setVolume(&m_volume, m_effectiveWindowCenter, m_effectiveWindowWidth);

    const render::TransferFunctionPreset* first =
        m_initialPresetName.isEmpty() ? nullptr : builtInPreset(m_initialPresetName);
    if (!first && !render::transferFunctionPresets().isEmpty())
        first = &render::transferFunctionPresets().first();
    if (first)
        setCurrentPreset(*first);
    m_cpuView->setViewPreset(render::ViewFront);
    m_gpuView->setViewPreset(render::ViewFront);
    showGpuView();
}

void Vrt3DWindow::setCurrentPreset(const render::TransferFunctionPreset& preset)
{
    m_currentPreset = preset;
    applyPreset();
}

void Vrt3DWindow::applyPreset()
{
    const render::TransferFunctionPreset effective = densityCutPreset(m_currentPreset, m_densityCut);
    m_cpuView->setVrtPreset(effective);
    m_gpuView->setVrtPreset(effective);
    m_gpuView->resetVrtWindow();
}

void Vrt3DWindow::chooseDensityCut(const DensityCut& cut, const QString& presetName)
{
    m_densityCut = cut;
    applyPreset();
    if (presetName.isEmpty())
        return;
    if (const render::TransferFunctionPreset* preset = builtInPreset(presetName))
        setCurrentPreset(*preset);
}

void Vrt3DWindow::onCameraSettled()
{
    if (!m_syncAction || !m_syncAction->isChecked() || m_applyingSync || m_syncKey.isEmpty())
        return;
    const render::VolumeCameraState state =
        m_viewStack->currentWidget() == m_gpuView ? m_gpuView->cameraState() : m_cpuView->cameraState();
    for (const QPointer<Vrt3DWindow>& other : openVrtWindows()) {
        if (other.isNull() || other.data() == this || other->m_syncKey != m_syncKey || !other->m_syncAction
            || !other->m_syncAction->isChecked())
            continue;
        other->m_applyingSync = true;
        other->m_cpuView->setCameraState(state);
        other->m_gpuView->setCameraState(state);
        other->m_applyingSync = false;
    }
}

void Vrt3DWindow::showCpuView(const QString& message)
{
    m_viewStack->setCurrentWidget(m_cpuView);
    {
        const QSignalBlocker block(m_cpuModeAction);
        m_cpuModeAction->setChecked(true);
    }
    m_cropDrawAction->setChecked(false);
    m_cropDrawAction->setEnabled(false);
    m_cropUndoAction->setEnabled(false);
    m_cropClearAction->setEnabled(false);
    if (!message.isEmpty())
        showStatusNote(message);
}

void Vrt3DWindow::showStatusNote(const QString& text)
{
    // The reason the graphics card cannot be used is longer than one status line: it is shown wrapped,
    // for as long as a status message would stay, and then the line shows what it showed before.
    if (!m_statusNoteTimer->isActive())
        m_statusNoteRestores = statusBar()->currentMessage();
    statusBar()->clearMessage();
    m_statusNote->setText(text);
    m_statusNote->show();
    m_statusNoteTimer->start(kStatusNoteMs);
}

void Vrt3DWindow::hideStatusNote()
{
    m_statusNote->hide();
    if (statusBar()->currentMessage().isEmpty() && !m_statusNoteRestores.isEmpty())
        statusBar()->showMessage(m_statusNoteRestores);
}

void Vrt3DWindow::showGpuView()
{
    m_viewStack->setCurrentWidget(m_gpuView);
    {
        const QSignalBlocker block(m_cpuModeAction);
        m_cpuModeAction->setChecked(false);
    }
    m_cropDrawAction->setEnabled(true);
    m_cropUndoAction->setEnabled(true);
    m_cropClearAction->setEnabled(true);
}

void Vrt3DWindow::openCustomDensityRangeDialog()
{
    auto* dialog = new QDialog(this);
    dialog->setWindowTitle(QStringLiteral("Свой диапазон плотности"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(dialog);
    auto* note = new QLabel(
        QStringLiteral("Диапазон ограничивает видимую плотность, но НЕ меняет цвет/прозрачность — за это по-прежнему "
                       "отвечает активный пресет («Пресеты VRT»). Если сейчас выбран пресет, у которого нужный "
                       "диапазон и так почти не виден (например, «Кости» ниже ~150 HU), результат может выглядеть "
                       "пустым — смените пресет отдельно."),
        dialog);
    note->setWordWrap(true);
    layout->addWidget(note);
    auto* form = new QFormLayout;
    auto* from = new QDoubleSpinBox(dialog);
    auto* to = new QDoubleSpinBox(dialog);
    for (QDoubleSpinBox* box : {from, to}) {
        box->setRange(-4096, 8191);
        box->setSuffix(QStringLiteral(" HU"));
    }
    from->setValue(m_densityCut.minHu);
    to->setValue(m_densityCut.maxHu);
    from->setObjectName(QStringLiteral("densityFrom"));
    to->setObjectName(QStringLiteral("densityTo"));
    form->addRow(QStringLiteral("Показывать от:"), from);
    form->addRow(QStringLiteral("Показывать до:"), to);
    layout->addLayout(form);
    auto* buttons = new QHBoxLayout;
    auto* cancel = new QPushButton(QStringLiteral("Отмена"), dialog);
    auto* apply = new QPushButton(QStringLiteral("Применить"), dialog);
    apply->setDefault(true);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(apply);
    layout->addLayout(buttons);
    connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    connect(apply, &QPushButton::clicked, dialog, [this, dialog, from, to] {
        m_densityCut = {true, std::min(from->value(), to->value()), std::max(from->value(), to->value())};
        applyPreset();
        dialog->accept();
    });
    dialog->show();
}

void Vrt3DWindow::openTransferFunctionEditor()
{
    auto* dialog = new TransferFunctionEditorDialog(m_currentPreset, m_volume.minValue, m_volume.maxValue,
                                                    m_currentPreset.name, this);
    const render::TransferFunctionPreset atOpening = m_currentPreset;
    connect(dialog, &TransferFunctionEditorDialog::presetChangedDraft, this,
            [this](const render::TransferFunctionPreset& preset) {
                m_cpuView->setVrtPreset(preset);
                m_gpuView->setVrtPreset(preset);
            });
    connect(dialog, &TransferFunctionEditorDialog::presetChangedFinal, this,
            [this](const render::TransferFunctionPreset& preset) { setCurrentPreset(preset); });
    connect(dialog, &TransferFunctionEditorDialog::saveAsPresetRequested, this,
            [this, dialog](const render::TransferFunctionPreset& preset) {
                bool appended = false;
                QString error;
                if (!saveCustomPreset(preset, &appended, &error))
                    QMessageBox::warning(dialog, QStringLiteral("Пресеты VRT"), error);
                else if (appended)
                    addPresetActions(m_presetsMenu, {preset});
            });
    connect(dialog, &QDialog::rejected, this, [this, atOpening] { setCurrentPreset(atOpening); });
    dialog->show();
}
