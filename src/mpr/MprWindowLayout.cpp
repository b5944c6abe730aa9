// The panes, splitters and toolbar of the MPR window.

#include "mpr/MprViewportWidget.h"
#include "mpr/MprWindow.h"

#include "analysis3d/VolumeRenderWidget.h"
#include "viewer/ToolbarIcons.h"
#include "viewer/WindowPresets.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QMenu>
#include <QSplitter>
#include <QStackedLayout>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const QString kNoStyleArrow = QStringLiteral("QToolButton::menu-indicator { image: none; }");

} // namespace

void MprWindow::buildPanes()
{
    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);

    const std::array<QString, 3> captions{QStringLiteral("Axial"), QStringLiteral("Coronal"),
                                          QStringLiteral("Sagittal")};
    for (int plane = 0; plane < 3; ++plane) {
        m_panes[plane] = new MprViewportWidget(MprPlane(plane), captions[plane], central);
        m_panes[plane]->setPlaneSelectorVisible(true);
    }
    m_volumeView = new VolumeRenderWidget(central);

    using ClickSlot = void (MprWindow::*)(double, double);
    using WheelSlot = void (MprWindow::*)(int);
    const std::array<ClickSlot, 3> clickSlots{&MprWindow::onAxialClicked, &MprWindow::onCoronalClicked,
                                              &MprWindow::onSagittalClicked};
    const std::array<WheelSlot, 3> wheelSlots{&MprWindow::onAxialWheel, &MprWindow::onCoronalWheel,
                                              &MprWindow::onSagittalWheel};
    for (int plane = 0; plane < 3; ++plane) {
        MprViewportWidget* pane = m_panes[plane];
        connect(pane, &MprViewportWidget::positionClicked, this, clickSlots[plane]);
        connect(pane, &MprViewportWidget::wheelStepped, this, wheelSlots[plane]);
        connect(pane, &MprViewportWidget::windowLevelDragged, this, &MprWindow::onWindowLevelDragged);
        // A slider move is a wheel step of its own travel. The oblique planes leave the slider where the
        // user put it, so the step counts from its previous value, not from the crosshair index.
        connect(pane, &MprViewportWidget::sliceIndexRequested, this, [this, plane, wheel = wheelSlots[plane]](int index) {
            const int previous = m_sliderValues[plane];
            m_sliderValues[plane] = index;
            (this->*wheel)(index - previous);
        });
        connect(pane, &MprViewportWidget::axesRotateDelta, this,
                [this, plane](double deltaAngleDeg) { rotateAxes(plane, deltaAngleDeg); });
        connect(pane, &MprViewportWidget::planeSwapRequested, this,
                [this, pane](MprPlane target) { swapPanes(pane, target); });
        connect(pane, &MprViewportWidget::doubleClicked, this, [this, pane] { toggleMaximized(pane); });
    }
    connect(m_volumeView, &VolumeRenderWidget::doubleClicked, this, [this] { toggleMaximized(m_volumeView); });

    m_topRow = new QSplitter(Qt::Horizontal);
    m_bottomRow = new QSplitter(Qt::Horizontal);
    m_gridSplitter = new QSplitter(Qt::Vertical);
    m_gridSplitter->addWidget(m_topRow);
    m_gridSplitter->addWidget(m_bottomRow);
    m_rightColumn = new QSplitter(Qt::Vertical);
    m_mainSplitter = new QSplitter(Qt::Horizontal);
    m_mainSplitter->addWidget(m_rightColumn);
    m_stack = new QStackedLayout;
    m_stack->addWidget(m_gridSplitter);
    m_stack->addWidget(m_mainSplitter);
    centralLayout->addLayout(m_stack);
    setCentralWidget(central);
    setThreePaneLayout(true);
}

void MprWindow::setThreePaneLayout(bool on)
{
    if (m_threePaneLayout == on)
        return;
    m_threePaneLayout = on;
    if (m_maximized)
        toggleMaximized(m_maximized);
    if (on) {
        m_mainSplitter->insertWidget(0, m_panes[1]);
        m_rightColumn->addWidget(m_panes[2]);
        m_rightColumn->addWidget(m_panes[0]);
        m_volumeView->hide();
    } else {
        m_topRow->addWidget(m_panes[0]);
        m_topRow->addWidget(m_panes[1]);
        m_bottomRow->addWidget(m_panes[2]);
        m_bottomRow->addWidget(m_volumeView);
        m_volumeView->show();
    }
    m_stack->setCurrentIndex(on ? 1 : 0);
    equalizeSplitters();
    fitPanesLater();
}

void MprWindow::equalizeSplitters()
{
    const QList<int> equal{1000, 1000};
    const QList<QSplitter*> splitters = m_threePaneLayout ? QList<QSplitter*>{m_mainSplitter, m_rightColumn}
                                                          : QList<QSplitter*>{m_topRow, m_bottomRow, m_gridSplitter};
    for (QSplitter* splitter : splitters)
        splitter->setSizes(equal);
}

void MprWindow::fitPanesLater()
{
    QTimer::singleShot(0, this, [this] {
        for (MprViewportWidget* pane : m_panes) {
            if (!m_maximized || m_maximized == pane)
                pane->fitImageInView();
        }
    });
}

void MprWindow::toggleMaximized(QWidget* widget)
{
    m_maximized = m_maximized == widget ? nullptr : widget;
    const QList<QWidget*> all{m_panes[0], m_panes[1], m_panes[2], m_volumeView};
    for (QWidget* w : all)
        w->setVisible(!m_maximized || w == m_maximized);
    if (m_maximized) {
        QWidget* child = m_maximized;
        auto* splitter = qobject_cast<QSplitter*>(child->parentWidget());
        while (splitter) {
            QList<int> sizes(splitter->count(), 0);
            const int index = splitter->indexOf(child);
            if (index >= 0)
                sizes[index] = 1;
            splitter->setSizes(sizes);
            child = splitter;
            splitter = qobject_cast<QSplitter*>(splitter->parentWidget());
        }
    } else {
        // The 3D view belongs to the 2 x 2 arrangement only.
        if (m_threePaneLayout)
            m_volumeView->hide();
        equalizeSplitters();
    }
    fitPanesLater();
}

void MprWindow::swapPanes(MprViewportWidget* source, MprPlane targetPlane)
{
    const int t = int(targetPlane);
    if (!source || t < 0 || t > 2)
        return;
    MprViewportWidget* target = m_panes[t];
    if (!target || target == source)
        return;
    auto* sourceSplitter = qobject_cast<QSplitter*>(source->parentWidget());
    auto* targetSplitter = qobject_cast<QSplitter*>(target->parentWidget());
    if (!sourceSplitter || !targetSplitter)
        return;
    const int sourceIndex = sourceSplitter->indexOf(source);
    const int targetIndex = targetSplitter->indexOf(target);
    if (sourceIndex < 0 || targetIndex < 0)
        return;
    const QList<int> sourceSizes = sourceSplitter->sizes();
    const QList<int> targetSizes = targetSplitter->sizes();
    sourceSplitter->insertWidget(sourceIndex, target);
    targetSplitter->insertWidget(targetIndex, source);
    sourceSplitter->setSizes(sourceSizes);
    if (targetSplitter != sourceSplitter)
        targetSplitter->setSizes(targetSizes);
}

void MprWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!m_firstShowDone) {
        // A top-level Qt::Window already has a taskbar entry of its own on this platform; nothing to restyle.
        m_firstShowDone = true;
    }
    QTimer::singleShot(0, this, [this] {
        for (MprViewportWidget* pane : m_panes)
            pane->fitImageInView();
    });
}

void MprWindow::setToolMode(int mode)
{
    for (MprViewportWidget* pane : m_panes)
        pane->setMeasurementMode(mode);
    updateCrosshairs();
}

void MprWindow::buildToolbar()
{
    QToolBar* bar = addToolBar(QStringLiteral("3D"));
    bar->setMovable(false);
    bar->setIconSize(QSize(40, 40));

    auto* presetButton = new QToolButton(bar);
    presetButton->setText(QStringLiteral("W/L ▾"));
    presetButton->setToolTip(QStringLiteral("Window/Level presets"));
    presetButton->setPopupMode(QToolButton::InstantPopup);
    // This text and "Ориентация ▾" carry their own arrow; the style's would be a second one.
    presetButton->setStyleSheet(kNoStyleArrow);
    auto* presetMenu = new QMenu(presetButton);
    for (const WindowPreset& preset : builtInWindowPresets()) {
        presetMenu->addAction(preset.name, this, [this, preset] {
            m_windowCenter = preset.center;
            m_windowWidth = preset.width;
            updateViews();
        });
    }
    presetButton->setMenu(presetMenu);
    bar->addWidget(presetButton);
    bar->addSeparator();

    bar->addWidget(new QLabel(QStringLiteral(" Толщина среза: "), bar));
    auto* slabSpin = new QDoubleSpinBox(bar);
    slabSpin->setObjectName(QStringLiteral("slabThickness"));
    slabSpin->setRange(0.0, 50.0);
    slabSpin->setSingleStep(1.0);
    slabSpin->setDecimals(1);
    slabSpin->setSuffix(QStringLiteral(" мм"));
    slabSpin->setValue(0.0);
    slabSpin->setToolTip(QStringLiteral(
        "0 — обычный тонкий срез. Больше нуля — MIP/MinIP/среднее в пределах этой толщины (половина в каждую "
        "сторону от текущего среза)."));
    connect(slabSpin, &QDoubleSpinBox::valueChanged, this, [this](double value) {
        m_slabThickness = value;
        updateViews();
    });
    bar->addWidget(slabSpin);

    auto* slabCombo = new QComboBox(bar);
    slabCombo->setObjectName(QStringLiteral("slabMode"));
    slabCombo->addItems({QStringLiteral("MIP"), QStringLiteral("MinIP"), QStringLiteral("Среднее")});
    slabCombo->setToolTip(QStringLiteral("Способ свёртки утолщённого среза (действует, только если толщина > 0)"));
    connect(slabCombo, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_slabMode = std::clamp(index, 0, 2) + 1;
        updateViews();
    });
    bar->addWidget(slabCombo);
    bar->addSeparator();

    // The button names the layout a click switches to (the window opens with three panes, no 3D).
    QAction* layoutAction = bar->addAction(QString());
    const auto nameNextLayout = [this, layoutAction] {
        layoutAction->setText(m_threePaneLayout ? QStringLiteral("4 окна (с 3D)")
                                                : QStringLiteral("3 окна (без 3D)"));
    };
    nameNextLayout();
    layoutAction->setToolTip(QStringLiteral(
        "Большая ячейка (коронарная) слева на всю высоту + сагиттальная/аксиальная поменьше друг под другом "
        "справа, без 3D. Повторный клик возвращает обычную раскладку 2×2 из четырёх ячеек."));
    connect(layoutAction, &QAction::triggered, this, [this, nameNextLayout] {
        setThreePaneLayout(!m_threePaneLayout);
        nameNextLayout();
    });
    bar->addSeparator();

    m_toolButton = new QToolButton(bar);
    m_toolButton->setPopupMode(QToolButton::MenuButtonPopup);
    m_toolButton->setIcon(measureIcon());
    m_toolButton->setToolTip(QStringLiteral("Линейка"));
    auto* toolMenu = new QMenu(m_toolButton);
    auto* toolGroup = new QActionGroup(toolMenu);
    toolGroup->setExclusive(true);
    struct Tool
    {
        int mode;
        QString label;
        QIcon icon;
        QString tip;
    };
    const QList<Tool> tools{
        {0, QStringLiteral("Обзор"), crosslinesIcon(), QStringLiteral("Клик переставляет перекрестие в другие плоскости")},
        {1, QStringLiteral("Панорама"), panIcon(),
         QStringLiteral("Перетаскивание сдвигает картинку, не переставляя перекрестие")},
        {2, QStringLiteral("Zoom"), zoomIcon(), QString()},
        {3, QStringLiteral("Яркость (ЛКМ)"), windowLevelIcon(), QString()},
        {4, QStringLiteral("Линейка"), measureIcon(), QString()},
        {6, QStringLiteral("Угол"), angleIcon(), QString()},
        {7, QStringLiteral("ROI (HU)"), roiIcon(), QString()},
        {9, QStringLiteral("Рисование"), drawIcon(),
         QStringLiteral("Свободное рисование от руки — для обводки областей, не измерение")},
        {10, QStringLiteral("Текст"), textIcon(), QStringLiteral("Клик ставит текстовую метку — сразу спросит текст")},
        {11, QStringLiteral("Стрелка"), arrowIcon(),
         QStringLiteral("Стрелка-указатель — как линейка, но без цифры и со стрелкой на конце")},
        {12, QStringLiteral("Многоугольник"), polygonIcon(),
         QStringLiteral("Клики добавляют вершины, двойной клик завершает — считает площадь и периметр")},
        {13, QStringLiteral("Сглаженный контур"), smoothContourIcon(),
         QStringLiteral("То же самое, но контур сглаживается и закругляется")},
        {14, QStringLiteral("Эллипс (площадь)"), ellipseAreaIcon(),
         QStringLiteral("Как ROI, но считает только площадь и периметр, без HU")},
        {8, QStringLiteral("Захват осей"), axesGrabIcon(),
         QStringLiteral("Перетаскивание за линию перекрестия поворачивает плоскости в 3D — настоящий пересчёт "
                        "вокселей, не просто поворот картинки.")},
    };
    for (const Tool& tool : tools) {
        QAction* action = toolMenu->addAction(tool.icon, tool.label);
        action->setCheckable(true);
        action->setData(tool.mode);
        if (!tool.tip.isEmpty())
            action->setToolTip(tool.tip);
        action->setChecked(tool.mode == 4);
        toolGroup->addAction(action);
        connect(action, &QAction::triggered, this, [this, action, mode = tool.mode] {
            setToolMode(mode);
            m_toolButton->setIcon(action->icon());
            m_toolButton->setToolTip(action->text());
        });
    }
    m_toolButton->setMenu(toolMenu);
    bar->addWidget(m_toolButton);

    bar->addAction(QStringLiteral("Сброс поворота"), this, [this] { resetRotation(); });
    bar->addSeparator();
    bar->addAction(eraserIcon(), QStringLiteral("Очистить измерения"), this, [this] {
        for (MprViewportWidget* pane : m_panes)
            pane->clearMeasurements();
    });
    bar->addSeparator();

    auto* rotationGroup = new QActionGroup(bar);
    rotationGroup->setExclusive(true);
    QAction* freeRotation = bar->addAction(QStringLiteral("Свободный поворот"));
    freeRotation->setCheckable(true);
    freeRotation->setChecked(true);
    freeRotation->setToolTip(QStringLiteral("ЛКМ вращает камеру во всех плоскостях (азимут + наклон)"));
    rotationGroup->addAction(freeRotation);
    connect(freeRotation, &QAction::triggered, this, [this] { m_volumeView->setRotationMode(FreeRotation); });
    QAction* inPlane = bar->addAction(QStringLiteral("Поворот в плоскости"));
    inPlane->setCheckable(true);
    inPlane->setToolTip(
        QStringLiteral("ЛКМ крутит изображение вокруг центра, как стрелку часов — камера не двигается"));
    rotationGroup->addAction(inPlane);
    connect(inPlane, &QAction::triggered, this, [this] { m_volumeView->setRotationMode(InPlaneRotation); });
    bar->addSeparator();
    bar->addAction(QStringLiteral("Сбросить вид 3D"), this, [this] { m_volumeView->resetView(); });
    bar->addSeparator();

    auto* orientationButton = new QToolButton(bar);
    orientationButton->setText(QStringLiteral("Ориентация ▾"));
    orientationButton->setPopupMode(QToolButton::InstantPopup);
    orientationButton->setStyleSheet(kNoStyleArrow);
    auto* orientationMenu = new QMenu(orientationButton);
    const QStringList views{QStringLiteral("Спереди"), QStringLiteral("Сзади"), QStringLiteral("Справа"),
                            QStringLiteral("Слева"), QStringLiteral("Сверху"), QStringLiteral("Снизу")};
    for (int i = 0; i < views.size(); ++i) {
        orientationMenu->addAction(views.at(i), this,
                                   [this, i] { m_volumeView->setViewPreset(render::VolumeViewPreset(i)); });
    }
    orientationButton->setMenu(orientationMenu);
    bar->addWidget(orientationButton);

    setToolMode(4);
}
