#include "mpr/CurvedMprWindow.h"

#include "mpr/CurveEditorWidget.h"
#include "mpr/MprViewportWidget.h"
#include "mpr/VesselAnalysisWindow.h"

#include "viewer/ToolbarIcons.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSlider>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

QAction* CurvedMprWindow::addToolAction(const QIcon& icon, const QString& text, int toolMode)
{
    QAction* action = m_toolsBar->addAction(icon, text);
    action->setCheckable(true);
    // One tool at a time, so the check mark always names the tool the pane is in.
    if (!m_toolGroup)
        m_toolGroup = new QActionGroup(this);
    m_toolGroup->addAction(action);
    connect(action, &QAction::triggered, this, [this, toolMode] {
        if (m_resultPane)
            m_resultPane->setMeasurementMode(toolMode);
    });
    m_toolActions.append(action);
    return action;
}

QAction* CurvedMprWindow::addWindowPreset(const QString& name, double center, double width)
{
    QAction* action = m_windowMenu->addAction(name);
    connect(action, &QAction::triggered, this, [this, center, width] { setWindowLevel(center, width); });
    return action;
}

QSlider* CurvedMprWindow::addParameterSlider(QToolBar* bar, const QString& label, int lo, int hi, int value,
                                             const QString& text, int sliderWidth, int labelWidth,
                                             const QString& tip, QLabel** valueLabel)
{
    bar->addWidget(new QLabel(label, bar));
    auto* slider = new QSlider(Qt::Horizontal, bar);
    slider->setRange(lo, hi);
    slider->setValue(value);
    slider->setMinimumWidth(sliderWidth);
    slider->setToolTip(tip);
    bar->addWidget(slider);
    auto* valueText = new QLabel(text, bar);
    valueText->setMinimumWidth(labelWidth);
    bar->addWidget(valueText);
    *valueLabel = valueText;
    return slider;
}

void CurvedMprWindow::buildToolBars()
{
    m_toolsBar = addToolBar(QStringLiteral("Инструменты"));
    m_toolsBar->setMovable(false);

    QAction* cursor = addToolAction(crosslinesIcon(), QStringLiteral("Курсор"), 0);
    cursor->setChecked(true);
    cursor->setToolTip(QStringLiteral("Клик на изображении показывает соответствующую точку на всех трёх "
                                      "референсных панелях (Аксиальный/Спереди/Сбоку) зелёным перекрестием."));
    addToolAction(zoomIcon(), QStringLiteral("Zoom"), 2);
    addToolAction(measureIcon(), QStringLiteral("Линейка"), 4);
    addToolAction(measureIcon(), QStringLiteral("Диаметр сосуда"), 5)
        ->setToolTip(QStringLiteral("Измерение диаметра строго перпендикулярно centerline — линия всегда вертикальна "
                                    "(ось X изображения — положение вдоль кривой, ось Y — поперечное смещение), "
                                    "поэтому случайно измерить по диагонали и завысить результат невозможно."));
    addToolAction(roiIcon(), QStringLiteral("ROI (HU)"), 7);
    m_toolsBar->addSeparator();

    m_rebuildAction = m_toolsBar->addAction(QStringLiteral("Перестроить"));
    m_rebuildAction->setToolTip(QStringLiteral("Пересобрать изображение заново (обычно не требуется — перестроение "
                                               "уже происходит автоматически при перетаскивании точек)"));
    connect(m_rebuildAction, &QAction::triggered, this, [this] { rebuild(false); });
    m_undoAction = m_toolsBar->addAction(QStringLiteral("Отменить"));
    m_undoAction->setShortcut(QKeySequence::Undo);
    m_undoAction->setEnabled(false);
    m_undoAction->setToolTip(QStringLiteral("Отменить последнее изменение кривой на аксиальной панели (Ctrl+Z). У "
                                            "каждой из трёх референсных панелей своя история — эта кнопка "
                                            "управляет аксиальной."));
    connect(m_undoAction, &QAction::triggered, this, [this] {
        if (m_axialEditor)
            m_axialEditor->undo();
    });
    m_redoAction = m_toolsBar->addAction(QStringLiteral("Повторить"));
    m_redoAction->setShortcut(QKeySequence::Redo);
    m_redoAction->setEnabled(false);
    m_redoAction->setToolTip(
        QStringLiteral("Вернуть отменённое изменение кривой на аксиальной панели (Ctrl+Y)"));
    connect(m_redoAction, &QAction::triggered, this, [this] {
        if (m_axialEditor)
            m_axialEditor->redo();
    });
    m_toolsBar->addSeparator();

    m_saveAction = m_toolsBar->addAction(QStringLiteral("Сохранить"));
    m_saveAction->setToolTip(QStringLiteral(
        "Сохранить параметры реконструкции (точки, толщину, режим, поворот, смещение, окно) и измерения (линейка, "
        "диаметр сосуда, ROI-HU, угол, стрелка, эллипс) в файл. Полигоны, свободное рисование и текстовые метки "
        "пока не сохраняются."));
    connect(m_saveAction, &QAction::triggered, this, &CurvedMprWindow::saveState);
    m_loadAction = m_toolsBar->addAction(QStringLiteral("Загрузить"));
    m_loadAction->setToolTip(QStringLiteral("Загрузить ранее сохранённые параметры реконструкции и измерения — "
                                            "предполагается тот же объём/серия, что и при сохранении."));
    connect(m_loadAction, &QAction::triggered, this, &CurvedMprWindow::loadState);

    if (m_mode == VesselAnalysis) {
        m_toolsBar->addSeparator();
        m_profileAction = m_toolsBar->addAction(QStringLiteral("Профиль сосуда"));
        m_profileAction->setToolTip(QStringLiteral(
            "Автоматический профиль диаметра/площади просвета вдоль текущей кривой (аксиальная панель), с оценкой % "
            "стеноза и подсветкой кальцинатов по HU-порогу.\nСовет: проведите кривую с запасом в здоровый (не "
            "суженный) сосуд минимум на 5 мм с каждой стороны от места интереса — по этим концам считается "
            "референсный диаметр для % стеноза."));
        connect(m_profileAction, &QAction::triggered, this, &CurvedMprWindow::openVesselProfile);
    }
    m_toolsBar->addSeparator();

    m_toolsBar->addWidget(new QLabel(QStringLiteral(" Раскладка: "), m_toolsBar));
    m_layoutCombo = new QComboBox(m_toolsBar);
    m_layoutCombo->addItem(QStringLiteral("Авто"), 0);
    m_layoutCombo->addItem(QStringLiteral("Горизонтально"), 1);
    m_layoutCombo->addItem(QStringLiteral("Вертикально"), 2);
    m_layoutCombo->setToolTip(QStringLiteral(
        "Раскладка результата. «Авто» (по умолчанию) — определяется по самим контрольным точкам: если разброс между "
        "срезами больше горизонтального разброса (точки в основном на разных срезах — типично для сосудов), "
        "выбирается вертикальная раскладка (вдоль кривой идёт высота, как в коронарной КТ-ангиографии); иначе — "
        "горизонтальная (вдоль кривой идёт ширина, как в панорамном стоматологическом снимке). "
        "«Горизонтально»/«Вертикально» — принудительно зафиксировать раскладку, игнорируя автоопределение."));
    const int layoutIndex = m_layoutCombo->findData(m_orientationChoice);
    if (layoutIndex >= 0)
        m_layoutCombo->setCurrentIndex(layoutIndex);
    connect(m_layoutCombo, &QComboBox::currentIndexChanged, this, [this] {
        m_orientationChoice = m_layoutCombo->currentData().toInt();
        rebuild(false);
    });
    m_toolsBar->addWidget(m_layoutCombo);

    addToolBarBreak(Qt::TopToolBarArea);
    m_paramsBar = addToolBar(QStringLiteral("Параметры реконструкции"));
    m_paramsBar->setMovable(false);

    m_widthSlider = addParameterSlider(
        m_paramsBar, QStringLiteral(" Ширина: "), 20, 300, int(std::lround(m_widthMm)),
        QStringLiteral("%1 мм").arg(qint64(m_widthMm)), 120, 45,
        QStringLiteral("Ширина реконструкции (поперечный охват вправо+влево от центральной линии)"), &m_widthLabel);
    connect(m_widthSlider, &QSlider::valueChanged, this, [this](int v) {
        m_widthMm = v;
        m_widthLabel->setText(QStringLiteral("%1 мм").arg(v));
        rebuild(false);
    });

    m_paramsBar->addSeparator();
    m_windowButton = new QToolButton(m_paramsBar);
    m_windowButton->setText(QStringLiteral("Окно/уровень"));
    m_windowButton->setPopupMode(QToolButton::InstantPopup);
    m_windowButton->setToolTip(QStringLiteral(
        "Быстрые пресеты яркости/контраста для всех панелей сразу. Точную подстройку можно сделать перетаскиванием "
        "СРЕДНЕЙ кнопкой мыши по любой панели (горизонталь — ширина окна, вертикаль — центр)."));
    m_windowMenu = new QMenu(m_windowButton);
    addWindowPreset(QStringLiteral("Мягкие ткани"), 40, 400);
    addWindowPreset(QStringLiteral("Сосуды (контраст)"), 300, 700);
    addWindowPreset(QStringLiteral("Кости"), 500, 2000);
    addWindowPreset(QStringLiteral("Лёгкие"), -600, 1500);
    m_windowMenu->addSeparator();
    addWindowPreset(QStringLiteral("Как при разметке (исходное)"), m_initialCenter, m_initialWidth);
    if (m_traceWindow)
        addWindowPreset(QStringLiteral("Сосуды (по трассе)"), m_traceWindow->center, m_traceWindow->width);
    m_windowMenu->addSeparator();
    connect(m_windowMenu->addAction(QStringLiteral("Свои значения…")), &QAction::triggered, this,
            &CurvedMprWindow::showCustomWindowLevelDialog);
    m_windowButton->setMenu(m_windowMenu);
    m_paramsBar->addWidget(m_windowButton);
    m_paramsBar->addSeparator();

    m_rotationSlider = addParameterSlider(
        m_paramsBar, QStringLiteral(" Поворот вокруг оси: "), 0, 359, 0, QStringLiteral("0°"), 140, 30,
        QStringLiteral("Поворачивает поперечное сечение вокруг оси сосуда — посмотреть находку с другой стороны"),
        &m_rotationLabel);
    connect(m_rotationSlider, &QSlider::valueChanged, this, [this](int v) {
        m_rotationDeg = v;
        m_rotationLabel->setText(QStringLiteral("%1°").arg(v));
        rebuild(false);
    });

    m_paramsBar->addSeparator();
    m_offsetSlider = addParameterSlider(
        m_paramsBar, QStringLiteral(" Смещение оси: "), -30, 30, 0, QStringLiteral("0 мм"), 140, 45,
        QStringLiteral("Сдвигает саму ось реконструкции параллельно себе (не меняя формы кривой) — как полистать "
                       "несколько соседних плоскостей через сосуд"),
        &m_offsetLabel);
    connect(m_offsetSlider, &QSlider::valueChanged, this, [this](int v) {
        m_offsetMm = v;
        m_offsetLabel->setText(QStringLiteral("%1 мм").arg(v));
        rebuild(false);
    });

    m_paramsBar->addSeparator();
    m_thicknessSlider = addParameterSlider(
        m_paramsBar, QStringLiteral(" Толщина: "), 0, 400, int(std::lround(m_thicknessMm * 10.0)),
        QStringLiteral("%1 мм").arg(m_thicknessMm, 0, 'f', 1), 120, 55,
        QStringLiteral("Толщина объёмной реконструкции (Thick CPR) — 0 означает обычный тонкий срез. Режим свёртки "
                       "нескольких слоёв толщины выбирается кнопкой правее."),
        &m_thicknessLabel);
    connect(m_thicknessSlider, &QSlider::valueChanged, this, [this](int v) {
        m_thicknessMm = v / 10.0;
        m_thicknessLabel->setText(QStringLiteral("%1 мм").arg(m_thicknessMm, 0, 'f', 1));
        rebuild(false);
    });

    m_slabCombo = new QComboBox(m_paramsBar);
    m_slabCombo->addItem(QStringLiteral("Максимум (MIP)"), 1);
    m_slabCombo->addItem(QStringLiteral("Минимум (MinIP)"), 2);
    m_slabCombo->addItem(QStringLiteral("Среднее"), 3);
    m_slabCombo->setToolTip(QStringLiteral("Как объединять несколько слоёв внутри толщины реконструкции (действует "
                                           "только при толщине > 0)"));
    connect(m_slabCombo, &QComboBox::currentIndexChanged, this, [this] {
        m_slabMode = m_slabCombo->currentData().toInt();
        if (m_thicknessMm > 0.0)
            rebuild(false);
    });
    m_paramsBar->addWidget(m_slabCombo);

    m_paramsBar->addSeparator();
    m_smoothingSlider = addParameterSlider(
        m_paramsBar, QStringLiteral(" Гладкость: "), -100, 100, 0, QStringLiteral("0.00"), 120, 40,
        QStringLiteral("Натяжение сплайна центральной линии — 0 соответствует обычному Catmull-Rom (по умолчанию). "
                       "Положительные значения стягивают кривую ближе к самим точкам (меньше выброса на резких "
                       "изгибах), отрицательные — делают её более плавной, чуть дальше уходящей от прямых отрезков "
                       "между точками."),
        &m_smoothingLabel);
    connect(m_smoothingSlider, &QSlider::valueChanged, this, [this](int v) {
        m_smoothing = v / 100.0;
        m_smoothingLabel->setText(QString::number(m_smoothing, 'f', 2));
        rebuild(false);
    });
}

void CurvedMprWindow::syncControlsToFields()
{
    const QSignalBlocker b1(m_rotationSlider), b2(m_offsetSlider), b3(m_widthSlider), b4(m_thicknessSlider),
        b5(m_smoothingSlider), b6(m_layoutCombo), b7(m_slabCombo);
    // Sliders clamp what lies outside their range; the rounding is done in double so that a huge
    // loaded value cannot overflow before the clamp.
    auto toSlider = [](QSlider* s, double v) {
        const double r = std::round(v);
        s->setValue(int(std::clamp(std::isnan(r) ? 0.0 : r, double(s->minimum()), double(s->maximum()))));
    };
    toSlider(m_rotationSlider, m_rotationDeg);
    m_rotationLabel->setText(QStringLiteral("%1°").arg(m_rotationDeg));
    toSlider(m_offsetSlider, m_offsetMm);
    m_offsetLabel->setText(QStringLiteral("%1 мм").arg(QString::number(std::round(m_offsetMm), 'f', 0)));
    toSlider(m_widthSlider, m_widthMm);
    m_widthLabel->setText(QStringLiteral("%1 мм").arg(QString::number(std::trunc(m_widthMm), 'f', 0)));
    toSlider(m_thicknessSlider, m_thicknessMm * 10.0);
    m_thicknessLabel->setText(QStringLiteral("%1 мм").arg(m_thicknessMm, 0, 'f', 1));
    toSlider(m_smoothingSlider, m_smoothing * 100.0);
    m_smoothingLabel->setText(QString::number(m_smoothing, 'f', 2));
    const int layoutIndex = m_layoutCombo->findData(m_orientationChoice);
    if (layoutIndex >= 0)
        m_layoutCombo->setCurrentIndex(layoutIndex);
    const int slabIndex = m_slabCombo->findData(m_slabMode);
    if (slabIndex >= 0)
        m_slabCombo->setCurrentIndex(slabIndex);
}

void CurvedMprWindow::openVesselProfile()
{
    auto* window = new VesselAnalysisWindow(m_volume, m_axialEditor->points(), m_windowCenter, m_windowWidth,
                                            QStringLiteral("Сосудистый анализ"), this);
    window->show();
}

void CurvedMprWindow::showCustomWindowLevelDialog()
{
    auto* dialog = new QDialog(this);
    dialog->setWindowTitle(QStringLiteral("Свои значения окна/уровня"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setMinimumWidth(340);
    auto* layout = new QVBoxLayout(dialog);
    auto* hint = new QLabel(
        QStringLiteral("Центр окна — примерная яркость интересующей ткани (HU), ширина — контрастность (шире — более "
                       "плавные переходы и виднее ткани разной плотности, уже — резче, но часть диапазона уходит в "
                       "чёрное/белое)."),
        dialog);
    hint->setWordWrap(true);
    layout->addWidget(hint);
    auto* form = new QFormLayout;
    auto* centre = new QDoubleSpinBox(dialog);
    centre->setSuffix(QStringLiteral(" HU"));
    centre->setRange(-4096, 8191);
    centre->setValue(m_windowCenter);
    auto* width = new QDoubleSpinBox(dialog);
    width->setSuffix(QStringLiteral(" HU"));
    width->setRange(1, 8191);
    width->setValue(m_windowWidth);
    form->addRow(QStringLiteral("Центр:"), centre);
    form->addRow(QStringLiteral("Ширина:"), width);
    layout->addLayout(form);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* apply = new QPushButton(QStringLiteral("Применить"), dialog);
    apply->setDefault(true);
    auto* close = new QPushButton(QStringLiteral("Закрыть"), dialog);
    buttons->addWidget(apply);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    auto follow = [this, centre, width] { setWindowLevel(centre->value(), width->value()); };
    connect(centre, &QDoubleSpinBox::valueChanged, this, follow);
    connect(width, &QDoubleSpinBox::valueChanged, this, follow);
    connect(apply, &QPushButton::clicked, dialog, &QDialog::accept);
    connect(close, &QPushButton::clicked, dialog, &QDialog::reject);
    dialog->show();
}
