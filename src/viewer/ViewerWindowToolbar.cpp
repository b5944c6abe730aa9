// The viewer's toolbar "Инструменты": its entries, the tool modes, cine playback, the enable states of
// the DCE and CTA-subtraction entries, and the user's order and visibility of the customisable actions.

#include "viewer/ViewerWindow.h"

#include "viewer/GridLayoutPicker.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ToolbarIcons.h"
#include "viewer/WindowPresets.h"

#include "app/MainWindow.h"
#include "clinical/ClassificationHub.h"
#include "clinical/RadiologyCalculatorHub.h"
#include "db/PhaseGrouping.h"
#include "dialogs/BugReportDialog.h"
#include "dialogs/HotkeyRegistry.h"
#include "dialogs/ToolbarCatalogue.h"
#include "dialogs/ToolbarCustomizeDialog.h"
#include "render/CtaSubtraction.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScrollBar>
#include <QSet>
#include <QSettings>
#include <QSpinBox>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWidgetAction>

#include <algorithm>
#include <utility>

namespace {

const QString OrderKey = QStringLiteral("toolbar/order");
const QString HiddenKey = QStringLiteral("toolbar/hidden");
const QString ResetDoneKey = QStringLiteral("toolbar/resetToDefaultDone_v3");

// An entry that starts greyed out until the active panel's series qualifies for it.
QAction* addDisabled(QMenu* menu, const QString& text, const QIcon& icon)
{
    QAction* action = menu->addAction(icon, text);
    action->setEnabled(false);
    return action;
}

// The measuring tools' button: it opens its menu on a click, starts out as the ruler, and its menu
// entries form one exclusive group owned by groupOwner.
std::pair<QMenu*, QActionGroup*> setUpToolButton(QToolButton* button, QObject* groupOwner)
{
    button->setPopupMode(QToolButton::MenuButtonPopup);
    button->setIcon(measureIcon());
    button->setToolTip(QStringLiteral("Линейка"));
    auto* menu = new QMenu(button);
    button->setMenu(menu);
    QObject::connect(button, &QToolButton::clicked, button, &QToolButton::showMenu);
    auto* group = new QActionGroup(groupOwner);
    group->setExclusive(true);
    return {menu, group};
}

} // namespace

QToolButton* ViewerWindow::addMenuButton(const QIcon& icon, const QString& toolTip)
{
    auto* button = new QToolButton(m_toolbar);
    button->setIcon(icon);
    button->setToolTip(toolTip);
    button->setPopupMode(QToolButton::InstantPopup);
    button->setMenu(new QMenu(button));
    m_toolbar->addWidget(button);
    return button;
}

void ViewerWindow::addShortcut(QAction* action, const QString& hotkeyId)
{
    action->setShortcut(hotkeySequence(hotkeyId));
    // Actions that live only in a button's menu are not on screen until the menu opens; held by the
    // window as well, their shortcuts work whenever the viewer has the focus.
    addAction(action);
}

void ViewerWindow::addToolModeAction(QActionGroup* group, QMenu* menu, const QIcon& icon, const QString& label,
                                     int mode, const QString& toolTip)
{
    QAction* action = menu->addAction(icon, label);
    action->setCheckable(true);
    action->setActionGroup(group);
    if (!toolTip.isEmpty())
        action->setToolTip(toolTip);
    connect(action, &QAction::triggered, this, [this, action, mode] {
        applyToolToAllViewports(mode);
        m_toolButton->setIcon(action->icon());
        m_toolButton->setToolTip(action->text());
    });
}

void ViewerWindow::buildToolbar()
{
    m_toolbar = new QToolBar(QStringLiteral("Инструменты"), this);
    m_toolbar->setMovable(false);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_toolbar->setIconSize(QSize(40, 40));
    addToolBar(m_toolbar);
    if (m_portableMode) {
        buildPortableToolbar();
        return;
    }

    // 1. Back to the study list.
    QAction* back = m_toolbar->addAction(databaseIcon(), QStringLiteral("К списку исследований"));
    back->setObjectName(QStringLiteral("backToList"));
    connect(back, &QAction::triggered, this, &ViewerWindow::onBackToList);

    // 2. Export and clipboard.
    {
        QToolButton* button = addMenuButton(saveIcon(), QStringLiteral("Сохранить/Экспорт"));
        QMenu* menu = button->menu();
        QAction* exportAction = menu->addAction(exportIcon(), QStringLiteral("Экспортировать изображения…"));
        addShortcut(exportAction, QStringLiteral("viewer.export"));
        connect(exportAction, &QAction::triggered, this, &ViewerWindow::openExportDialog);
        menu->addSeparator();
        QAction* copyOne = menu->addAction(QStringLiteral("Копировать в буфер обмена"));
        addShortcut(copyOne, QStringLiteral("viewer.copyOne"));
        connect(copyOne, &QAction::triggered, this,
                [this] { QApplication::clipboard()->setPixmap(m_panels[m_activePanel]->grab()); });
        QAction* copyAll = menu->addAction(QStringLiteral("Копировать всё в буфер обмена"));
        addShortcut(copyAll, QStringLiteral("viewer.copyAll"));
        connect(copyAll, &QAction::triggered, this,
                [this] { QApplication::clipboard()->setPixmap(m_panelContainer->grab()); });
    }
    m_toolbar->addSeparator();

    // 3. Window/level presets.
    m_toolbar->addWidget(createWindowPresetButton(this, m_toolbar));

    // 4. Annotations.
    {
        QToolButton* button = addMenuButton(textIcon(), QStringLiteral("Аннотации"));
        QMenu* menu = button->menu();
        QAction* tags = menu->addAction(QStringLiteral("Данные пациента/серии на снимке"));
        tags->setCheckable(true);
        tags->setChecked(true);
        connect(tags, &QAction::toggled, this, [this](bool on) {
            for (ImageViewportWidget* panel : std::as_const(m_panels))
                panel->setTagsDisplayMode(on ? 0 : 1);
        });
        QAction* lines = menu->addAction(QStringLiteral("Референсные линии"));
        lines->setCheckable(true);
        lines->setChecked(m_referenceLinesEnabled);
        lines->setToolTip(QStringLiteral("Показывать в каждой панели линию пересечения с плоскостью среза в других "
                                         "панелях (нужны координаты ImagePositionPatient/Orientation в файлах)"));
        connect(lines, &QAction::toggled, this, &ViewerWindow::setReferenceLinesEnabled);
    }
    m_toolbar->addSeparator();

    // 5. Rotation and flips of the active panel.
    {
        QToolButton* button = addMenuButton(rotateIcon(), QStringLiteral("Повернуть/Отразить"));
        QMenu* menu = button->menu();
        auto addPanelCommand = [this, menu](const QString& text, const QString& hotkeyId, auto command) {
            QAction* action = menu->addAction(text);
            if (!hotkeyId.isEmpty())
                addShortcut(action, hotkeyId);
            connect(action, &QAction::triggered, this, [this, command] { command(m_panels[m_activePanel]); });
        };
        addPanelCommand(QStringLiteral("Повернуть на 90° против часовой стрелки"), QStringLiteral("viewer.rotateCcw"),
                        [](ImageViewportWidget* p) { p->rotateBy(-90); });
        addPanelCommand(QStringLiteral("Повернуть на 90° по часовой стрелке"), QStringLiteral("viewer.rotateCw"),
                        [](ImageViewportWidget* p) { p->rotateBy(90); });
        addPanelCommand(QStringLiteral("Повернуть на 180°"), QString(),
                        [](ImageViewportWidget* p) { p->rotateBy(180); });
        menu->addSeparator();
        addPanelCommand(QStringLiteral("Отразить горизонтально"), QStringLiteral("viewer.flipH"),
                        [](ImageViewportWidget* p) { p->toggleFlipHorizontal(); });
        addPanelCommand(QStringLiteral("Отразить вертикально"), QStringLiteral("viewer.flipV"),
                        [](ImageViewportWidget* p) { p->toggleFlipVertical(); });
        menu->addSeparator();
        addPanelCommand(QStringLiteral("Очистить преобразования"), QStringLiteral("viewer.clearTransform"),
                        [](ImageViewportWidget* p) { p->resetViewTransform(); });
    }

    // 6. Print.
    {
        QAction* print = m_toolbar->addAction(printIcon(), QStringLiteral("Печать"));
        print->setObjectName(QStringLiteral("print"));
        connect(print, &QAction::triggered, this, &ViewerWindow::printActivePanel);
        print->setToolTip(QStringLiteral("Печать снимков — отмеченные чекбоксом, либо автоматический отбор по всей серии "
                                            "(каждый N-й / заданное итоговое число кадров)."));
    }
    m_toolbar->addSeparator();

    // 7. Inversion of the active panel.
    QAction* invert = m_toolbar->addAction(invertIcon(), QStringLiteral("Инверсия"));
    invert->setObjectName(QStringLiteral("invert"));
    invert->setCheckable(true);
    invert->setToolTip(QStringLiteral("Инверсия чёрно-белого (негатив)"));
    connect(invert, &QAction::triggered, this, [this](bool on) { m_panels[m_activePanel]->setInverted(on); });
    m_toolbar->addSeparator();

    // 8. Mark every slice of the active panel, or clear the marks.
    QAction* selectAll = m_toolbar->addAction(selectAllToggleIcon(), QStringLiteral("Выбрать все"));
    selectAll->setObjectName(QStringLiteral("selectAll"));
    selectAll->setToolTip(
        QStringLiteral("Отметить все срезы текущей серии — повторное нажатие снимает выбор со всех"));
    connect(selectAll, &QAction::triggered, this, [this] {
        ImageViewportWidget* panel = m_panels[m_activePanel];
        if (panel->sliceCount() == 0 || panel->selectedSlices().size() < panel->sliceCount())
            panel->selectAllSlices();
        else
            panel->clearSliceSelection();
    });
    m_toolbar->addSeparator();

    // 9. Comparison with another study.
    QAction* compare = m_toolbar->addAction(compareStudiesIcon(), QStringLiteral("Сравнить с…"));
    compare->setObjectName(QStringLiteral("compare"));
    compare->setToolTip(QStringLiteral("Открыть другое исследование этого же пациента рядом, для сравнения"));
    connect(compare, &QAction::triggered, this, &ViewerWindow::showCompareMenu);

    // 10. Tools.
    {
        m_toolButton = new QToolButton(m_toolbar);
        const auto [menu, group] = setUpToolButton(m_toolButton, this);
        addToolModeAction(group, menu, panIcon(), QStringLiteral("Обзор"), 0, {});
        addToolModeAction(group, menu, zoomIcon(), QStringLiteral("Zoom"), 1, {});
        addToolModeAction(group, menu, windowLevelIcon(), QStringLiteral("Яркость (ЛКМ)"), 2, {});
        addToolModeAction(group, menu, measureIcon(), QStringLiteral("Линейка"), 3, {});
        addToolModeAction(group, menu, angleIcon(), QStringLiteral("Угол"), 4, {});
        addToolModeAction(group, menu, roiIcon(), QStringLiteral("ROI (HU)"), 5, {});
        addToolModeAction(group, menu, freehandRoiIcon(), QStringLiteral("Произвольная ROI (HU)"), 8,
                          QStringLiteral("Обвести область произвольной формы от руки — расчёт HU внутри контура, "
                                         "как у обычной ROI"));
        addToolModeAction(group, menu, crosslinesIcon(), QStringLiteral("3D-курсор"), 6,
                          QStringLiteral("Клик по снимку ставит точку, видимую на остальных панелях с другими "
                                         "сериями/плоскостями — удобно для сопоставления находки между сериями."));
        addToolModeAction(group, menu, scrollSeriesDragIcon(), QStringLiteral("Пролистывание (ЛКМ)"), 15,
                          QStringLiteral("Протяжка левой кнопкой мыши вверх-вниз пролистывает срезы — то же самое, "
                                         "что колесо мыши, но для планшетов и мышей без колеса"));
        addToolModeAction(group, menu, drawIcon(), QStringLiteral("Рисование"), 7,
                          QStringLiteral("Свободное рисование от руки — для обводки областей, не измерение"));
        addToolModeAction(group, menu, textIcon(), QStringLiteral("Текст"), 9,
                          QStringLiteral("Клик ставит текстовую метку — сразу спросит текст"));
        addToolModeAction(group, menu, arrowIcon(), QStringLiteral("Стрелка"), 10,
                          QStringLiteral("Стрелка-указатель — как линейка, но без цифры и со стрелкой на конце"));
        addToolModeAction(group, menu, polygonIcon(), QStringLiteral("Многоугольник"), 11,
                          QStringLiteral("Клики добавляют вершины, двойной клик завершает — считает площадь и "
                                         "периметр"));
        addToolModeAction(group, menu, smoothContourIcon(), QStringLiteral("Сглаженный контур"), 12,
                          QStringLiteral("То же самое, но контур сглаживается и закругляется (не ломаные прямые "
                                         "стороны)"));
        addToolModeAction(group, menu, ellipseAreaIcon(), QStringLiteral("Эллипс (площадь)"), 13,
                          QStringLiteral("Как ROI, но считает только площадь и периметр, без HU"));
        addToolModeAction(group, menu, angleIcon(), QStringLiteral("Угол Кобба"), 14,
                          QStringLiteral("Между двумя независимыми отрезками (не общая вершина, как у обычного "
                                         "угла) — для оценки сколиоза и т.п."));
        // The panels start with the ruler; checking it here changes nothing on them.
        group->actions().at(3)->setChecked(true);
        m_toolbar->addWidget(m_toolButton);
    }

    // 11. Clear the active panel's measurements on every slice.
    QAction* clear = m_toolbar->addAction(eraserIcon(), QStringLiteral("Очистить измерения"));
    clear->setObjectName(QStringLiteral("clearMeasurements"));
    connect(clear, &QAction::triggered, this, [this] { m_panels[m_activePanel]->clearMeasurements(false); });
    m_toolbar->addSeparator();

    // 12. Panel layout.
    m_layoutButton = new QToolButton(m_toolbar);
    m_layoutButton->setIcon(layoutIcon());
    m_layoutButton->setText(QStringLiteral("Раскладка"));
    m_layoutButton->setToolTip(QStringLiteral("Раскладка панелей (перетаскиваемые границы)"));
    connect(m_layoutButton, &QToolButton::clicked, this, &ViewerWindow::openGridLayoutPicker);
    m_toolbar->addWidget(m_layoutButton);

    // 13. Synchronised scrolling.
    QAction* sync = m_toolbar->addAction(syncScrollIcon(), QStringLiteral("Синхронизация срезов"));
    sync->setObjectName(QStringLiteral("syncSlices"));
    sync->setCheckable(true);
    sync->setChecked(m_syncSlices);
    connect(sync, &QAction::toggled, this, [this](bool on) { m_syncSlices = on; });

    // 14. Further functions; rows 14b to 14h follow once button 18 is built.
    QToolButton* extraButton = addMenuButton(extraFunctionsIcon(), QStringLiteral("Дополнительные функции"));
    extraButton->setToolButtonStyle(Qt::ToolButtonIconOnly);
    QMenu* extraMenu = extraButton->menu();
    QAction* fusion = extraMenu->addAction(fusionIcon(), QStringLiteral("Fusion"));
    connect(fusion, &QAction::triggered, this, &ViewerWindow::toggleFusionOverlay);
    fusion->setToolTip(QStringLiteral("Наложить другую серию этого исследования цветным полупрозрачным слоем поверх "
                                    "текущей (например ПЭТ поверх КТ) — по физическому положению срезов.\n"
                                    "Повторное нажатие при уже активном наложении — снимает его."));
    m_toolbar->addSeparator();

    // 15. The mouse wheel steps series instead of slices.
    QAction* wheel = m_toolbar->addAction(wheelSeriesIcon(), QStringLiteral("Колесо: серии"));
    wheel->setObjectName(QStringLiteral("wheelSeries"));
    wheel->setCheckable(true);
    wheel->setToolTip(QStringLiteral("Когда включено — колесо мыши переключает серии вместо срезов (листать срезы "
                                     "по-прежнему можно клавишами ↑/↓ или полосой прокрутки)"));
    connect(wheel, &QAction::toggled, this, [this](bool on) {
        for (ImageViewportWidget* panel : std::as_const(m_panels))
            panel->setWheelStepsSeries(on);
    });

    // 16. Cine playback.
    buildCineButton();
    m_toolbar->addSeparator();

    // 17. DICOM tags.
    QAction* dicomTags = m_toolbar->addAction(dicomTagsIcon(), QStringLiteral("DICOM-теги"));
    dicomTags->setObjectName(QStringLiteral("dicomTags"));
    dicomTags->setToolTip(QStringLiteral("Просмотреть и отредактировать все сырые DICOM-теги текущего снимка"));
    connect(dicomTags, &QAction::triggered, this, &ViewerWindow::showDicomTags);
    m_toolbar->addSeparator();

    // 18. Reconstructions.
    {
        auto* button = new QToolButton(m_toolbar);
        button->setPopupMode(QToolButton::MenuButtonPopup);
        button->setIcon(mprIcon());
        button->setToolTip(QStringLiteral("Построить axial/coronal/sagittal реконструкцию из серии активной панели"));
        auto* menu = new QMenu(button);
        button->setMenu(menu);
        connect(button, &QToolButton::clicked, this, &ViewerWindow::openMprWindow);
        QAction* mprWindow = menu->addAction(mprIcon(), QStringLiteral("3D МногоПлоскостная Реконструкция"));
        addShortcut(mprWindow, QStringLiteral("viewer.mprWindow"));
        connect(mprWindow, &QAction::triggered, button, &QToolButton::click);
        connect(menu->addAction(QStringLiteral("3D VRT — объёмный рендеринг")), &QAction::triggered, this,
                &ViewerWindow::openVrtWindow);
        menu->addSeparator();
        connect(menu->addAction(QStringLiteral("Корональная (Фронтальная) — в этой ячейке")), &QAction::triggered,
                this, [this] { reconstructInActivePanel(2); });
        connect(menu->addAction(QStringLiteral("Сагиттальная — в этой ячейке")), &QAction::triggered, this,
                [this] { reconstructInActivePanel(1); });
        connect(menu->addAction(QStringLiteral("Аксиальная (Трансверзальная) — в этой ячейке")),
                &QAction::triggered, this, [this] { reconstructInActivePanel(3); });
        connect(menu->addAction(QStringLiteral("↩ Исходные срезы (отменить реконструкцию)")), &QAction::triggered,
                this, [this] {
                    m_panels[m_activePanel]->showOriginalSlices();
                    updateReferenceLines();
                });
        menu->addSeparator();
        // Curved reconstructions arm a picking tool on the active panel; its finished path or seed pair
        // comes back through the panel's signals.
        auto addCurvedEntry = [this, menu](const QString& text, const QString& toolTip, auto arm) {
            QAction* action = menu->addAction(curvedMprIcon(), text);
            action->setToolTip(toolTip);
            connect(action, &QAction::triggered, this, arm);
        };
        addCurvedEntry(
            QStringLiteral("Криволинейный MPR — по точкам"),
            QStringLiteral("Кликами отметьте ход сосуда в активной панели (можно листать срезы между "
                           "кликами — точки запоминаются в 3D) — двойной клик строит развёрнутую "
                           "реконструкцию вдоль кривой в отдельном окне"),
            [this] {
                m_vesselAnalysisMode = false;
                m_panoramicMode = false;
                armActivePanelTool(16);
            });
        addCurvedEntry(QStringLiteral("Сосудистый анализ"),
                       QStringLiteral("То же самое, что «Криволинейный MPR — по точкам», но с дополнительной "
                                      "боковой панелью увеличенных перпендикулярных срезов сосуда (±1 см от "
                                      "текущей позиции, шаг 1 мм)."),
                       [this] {
                           m_vesselAnalysisMode = true;
                           m_panoramicMode = false;
                           armActivePanelTool(16);
                       });
        addCurvedEntry(
            QStringLiteral("Ортопантомограмма"),
            QStringLiteral("Панорамная реконструкция зубной дуги (кликами обведите дугу на аксиальном "
                           "срезе, двойной клик завершает) — приближение через криволинейный MPR (MIP "
                           "по толщине), НЕ замена диагностического ОПТГ."),
            [this] {
                m_vesselAnalysisMode = false;
                m_panoramicMode = true;
                armActivePanelTool(16);
            });
        addCurvedEntry(
            QStringLiteral("Автоматически по ходу сосуда"),
            QStringLiteral("Кликните ДВАЖДЫ внутри просвета контрастированного сосуда — первый клик "
                           "задаёт точку, второй (чуть дальше по ходу сосуда) — направление. Программа "
                           "попробует автоматически проследить центральную линию в обе стороны. "
                           "Результат нужно проверить: алгоритм эвристический и может остановиться "
                           "раньше времени"),
            [this] {
                m_vesselAnalysisMode = true;
                armActivePanelTool(17);
            });
        m_toolbar->addWidget(button);
    }

    // 14b to 14h, appended to the menu of button 14.
    m_dceAction = addDisabled(extraMenu, QStringLiteral("Динамика накопления контраста (DCE)"), dceCurveIcon());
    connect(m_dceAction, &QAction::triggered, this, &ViewerWindow::openDceWindow);
    m_dceAction->setToolTip(QStringLiteral("Построить кривую накопления контраста по ROI для динамической серии "
                                           "(несколько временных фаз одного и того же среза).\nНедоступно, если в "
                                           "активной панели не динамическая серия."));
    m_ctaSubtractionAction = addDisabled(extraMenu, QStringLiteral("Субтракция КТ-ангиографии"), fusionIcon());
    connect(m_ctaSubtractionAction, &QAction::triggered, this, &ViewerWindow::openCtaSubtractionWindow);
    m_ctaSubtractionAction->setToolTip(
        QStringLiteral("Вычесть нативную (бесконтрастную) фазу из постконтрастной и показать разностный объём в 3D "
                       "VRT — остаются в основном контрастированные сосуды.\nНедоступно, если в исследовании нет "
                       "пары КТ-серий одинаковой геометрии."));
    QAction* lungNodule = extraMenu->addAction(roiIcon(), QStringLiteral("Узел в лёгком"));
    connect(lungNodule, &QAction::triggered, this, &ViewerWindow::openLungNoduleWindow);
    lungNodule->setToolTip(QStringLiteral("Автоматический замер узла в лёгком: обведите его ROI-эллипсом — диаметр, "
                                    "оценочный объём и категория Lung-RADS посчитаются сами (только солидные узлы, "
                                    "v1)."));
    QAction* cardiacMri = extraMenu->addAction(QStringLiteral("Кардио-МРТ (SAX)"));
    connect(cardiacMri, &QAction::triggered, this, &ViewerWindow::openCardiacMriWindow);
    cardiacMri->setToolTip(QStringLiteral("Функция левого желудочка по короткой оси (cine SAX): отметьте конечно-"
                                    "диастолическую и конечно-систолическую фазы, обведите эндокард и эпикард — "
                                    "объёмы, фракция выброса и масса миокарда посчитаются сами; стек ищется во всём "
                                    "исследовании."));
    QAction* coronaryCalcium = extraMenu->addAction(QStringLiteral("Индекс коронарного кальция (Agatston)"));
    connect(coronaryCalcium, &QAction::triggered, this, &ViewerWindow::openCoronaryCalciumWindow);
    coronaryCalcium->setToolTip(QStringLiteral("Обведите каждый кальцинированный очаг на нативной РКТ (эллипс или контур), "
                                    "укажите артерию — индекс Agatston и категория риска посчитаются автоматически по "
                                    "площади и плотности очагов (≥130 HU)."));
    QAction* endoscopy = extraMenu->addAction(QStringLiteral("Виртуальная эндоскопия/колоноскопия"));
    connect(endoscopy, &QAction::triggered, this, [this] {
        m_vesselAnalysisMode = false;
        m_panoramicMode = false;
        armActivePanelTool(18);
    });
    endoscopy->setToolTip(QStringLiteral("Один клик внутри заполненного воздухом просвета (толстая кишка или бронх) в "
                                    "активной панели — путь камеры пойдёт по просвету автоматически. Отрисовка "
                                    "только на видеокарте с OpenGL 3.3; путь точен для аксиальных серий и "
                                    "приблизителен для сагиттальных и корональных."));
    extraMenu->addSeparator();
    connect(extraMenu->addAction(QStringLiteral("Сообщить об ошибке…")), &QAction::triggered, this, [this] {
        BugReportDialog dialog(this);
        dialog.exec();
    });
    m_toolbar->addSeparator();

    // 19, 20. Calculators and classifications.
    QAction* calculators = m_toolbar->addAction(calculatorIcon(), QStringLiteral("Расчёты"));
    calculators->setObjectName(QStringLiteral("calculators"));
    connect(calculators, &QAction::triggered, this, [this] {
        auto* hub = new RadiologyCalculatorHub(this, m_db, m_studyUid);
        hub->setAttribute(Qt::WA_DeleteOnClose);
        hub->show();
    });
    QAction* classifications = m_toolbar->addAction(QIcon(QStringLiteral(":/icons/classifications.png")),
                                                    QStringLiteral("Классификации"));
    classifications->setObjectName(QStringLiteral("classifications"));
    connect(classifications, &QAction::triggered, this, [this] {
        auto* hub = new ClassificationHub(this);
        hub->setAttribute(Qt::WA_DeleteOnClose);
        hub->show();
    });
    classifications->setToolTip(QStringLiteral("RADS и другие системы отчётности: BI-RADS, LI-RADS, PI-RADS, Lung-RADS, TI-RADS, "
                                    "CAD-RADS, Bosniak и др."));

    for (QAction* action : m_toolbar->actions()) {
        if (!action->objectName().isEmpty())
            m_customizableActions.append(action);
    }
    applyToolbarLayout();
    m_toolbar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_toolbar, &QWidget::customContextMenuRequested, this, [this] {
        showToolbarCustomizeDialog(this);
        applyToolbarLayout();
    });
    updateDceActionState();
    updateCtaSubtractionActionState();
}

void ViewerWindow::buildPortableToolbar()
{
    m_toolbar->addWidget(createWindowPresetButton(this, m_toolbar, true));
    m_toolbar->addSeparator();

    m_toolButton = new QToolButton(m_toolbar);
    const auto [menu, group] = setUpToolButton(m_toolButton, this);
    addToolModeAction(group, menu, panIcon(), QStringLiteral("Обзор"), 0, {});
    addToolModeAction(group, menu, zoomIcon(), QStringLiteral("Zoom"), 1, {});
    addToolModeAction(group, menu, windowLevelIcon(), QStringLiteral("Яркость (ЛКМ)"), 2, {});
    addToolModeAction(group, menu, measureIcon(), QStringLiteral("Линейка"), 3, {});
    addToolModeAction(group, menu, roiIcon(), QStringLiteral("ROI (HU)"), 5, {});
    group->actions().at(3)->setChecked(true);
    m_toolbar->addWidget(m_toolButton);
}

void ViewerWindow::buildCineButton()
{
    m_cineTimer = new QTimer(this);
    connect(m_cineTimer, &QTimer::timeout, this, &ViewerWindow::advanceCine);

    m_cineButton = new QToolButton(m_toolbar);
    m_cineButton->setCheckable(true);
    m_cineButton->setPopupMode(QToolButton::MenuButtonPopup);
    m_cineButton->setIcon(cineIcon());
    m_cineButton->setToolTip(QStringLiteral("Cine — автоматическое листание срезов"));
    connect(m_cineButton, &QToolButton::toggled, this, [this](bool on) {
        if (on)
            m_cineTimer->start(1000 / std::max(1, m_cineFramesPerSecond));
        else
            m_cineTimer->stop();
    });

    auto* menu = new QMenu(m_cineButton);
    auto* row = new QWidget(menu);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->addWidget(new QLabel(QStringLiteral("Скорость:"), row));
    auto* speed = new QSpinBox(row);
    speed->setObjectName(QStringLiteral("cineSpeed"));
    speed->setRange(1, 60);
    speed->setValue(m_cineFramesPerSecond);
    speed->setSuffix(QStringLiteral(" кадр/сек"));
    layout->addWidget(speed);
    connect(speed, &QSpinBox::valueChanged, this, &ViewerWindow::setCineFramesPerSecond);
    auto* entry = new QWidgetAction(menu);
    entry->setDefaultWidget(row);
    menu->addAction(entry);
    m_cineButton->setMenu(menu);
    m_toolbar->addWidget(m_cineButton);
}

void ViewerWindow::setCineFramesPerSecond(int framesPerSecond)
{
    m_cineFramesPerSecond = framesPerSecond;
    if (m_cineTimer->isActive())
        m_cineTimer->start(1000 / std::max(1, m_cineFramesPerSecond));
}

void ViewerWindow::advanceCine()
{
    ImageViewportWidget* panel = m_panels.value(m_activePanel);
    if (!panel)
        return;
    if (panel->reconstructionPlane() != 0) {
        // A reconstruction plays its own slices; showing a file's slice would replace the plane's
        // image while the panel still says it shows the plane.
        const int n = panel->reconstructionSliceCount();
        if (n > 1)
            panel->sliceScrollBar()->setValue((panel->reconstructedSliceIndex() + 1) % n);
        return;
    }
    const int n = panel->sliceCount();
    if (n > 1)
        panel->showSlice((panel->currentSliceIndex() + 1) % n);
}

void ViewerWindow::reconstructInActivePanel(int plane)
{
    ImageViewportWidget* panel = m_panels[m_activePanel];
    if (panel->sliceCount() == 0) {
        QMessageBox::information(this, QStringLiteral("Реконструкция"),
                                 QStringLiteral("В активной панели нет загруженной серии."));
        return;
    }
    panel->enterReconstructionPlane(plane);
    updateReferenceLines();
}

void ViewerWindow::armActivePanelTool(int mode)
{
    if (ImageViewportWidget* panel = m_panels.value(m_activePanel))
        panel->setMeasurementMode(mode);
}

void ViewerWindow::applyToolToAllViewports(int mode)
{
    for (ImageViewportWidget* panel : std::as_const(m_panels))
        panel->setMeasurementMode(mode);
}

void ViewerWindow::applyToolbarLayout()
{
    if (!m_toolbar || m_customizableActions.isEmpty())
        return;

    QSettings settings;
    if (!settings.value(ResetDoneKey, false).toBool()) {
        QStringList ids;
        for (const ToolbarActionEntry& entry : viewerToolbarActionCatalogue())
            ids << entry.id;
        settings.setValue(OrderKey, ids);
        settings.remove(HiddenKey);
        settings.setValue(ResetDoneKey, true);
    }
    const QStringList order = settings.value(OrderKey).toStringList();
    const QStringList hidden = settings.value(HiddenKey).toStringList();
    if (order.isEmpty())
        return;

    QHash<QString, QAction*> byName;
    for (QAction* action : std::as_const(m_customizableActions))
        byName.insert(action->objectName(), action);
    const QSet<QAction*> customizable(m_customizableActions.cbegin(), m_customizableActions.cend());

    // A block is a run of customisable actions and the fixed entry after it; actions move only
    // within their block, so fixed entries keep their places.
    struct Block
    {
        QList<QAction*> actions;
        QAction* following = nullptr;
    };
    QList<Block> blocks;
    Block current;
    for (QAction* action : m_toolbar->actions()) {
        if (customizable.contains(action)) {
            current.actions.append(action);
        } else if (!current.actions.isEmpty()) {
            current.following = action;
            blocks.append(current);
            current = Block();
        }
    }
    if (!current.actions.isEmpty())
        blocks.append(current);

    for (QAction* action : std::as_const(m_customizableActions))
        m_toolbar->removeAction(action);

    for (const Block& block : std::as_const(blocks)) {
        QSet<QAction*> placed;
        for (const QString& id : order) {
            QAction* action = byName.value(id);
            if (!action || placed.contains(action) || !block.actions.contains(action))
                continue;
            m_toolbar->insertAction(block.following, action);
            action->setVisible(!hidden.contains(id));
            placed.insert(action);
        }
        for (QAction* action : block.actions) {
            if (!placed.contains(action))
                m_toolbar->insertAction(block.following, action);
        }
    }
}

void ViewerWindow::updateDceActionState()
{
    if (!m_dceAction)
        return;
    const int index = m_activePanel;
    if (index < 0 || index >= PanelCount || m_panelSlices[index].isEmpty()) {
        m_dceAction->setEnabled(false);
        return;
    }
    if (groupPhasesByTemporalIndex(m_panelSlices[index]).isUsable()) {
        m_dceAction->setEnabled(true);
        return;
    }
    const QString seriesUid = m_panelSeriesUids[index];
    m_dceAction->setEnabled(!seriesUid.isEmpty() && m_db &&
                            groupPhasesAcrossSeries(m_db, m_studyUid, seriesUid, [this](const QString& uid) {
                                return seriesRows(uid);
                            }).isUsable());
}

void ViewerWindow::updateCtaSubtractionActionState()
{
    if (!m_ctaSubtractionAction)
        return;
    const int index = m_activePanel;
    const QString seriesUid = (index >= 0 && index < PanelCount) ? m_panelSeriesUids[index] : QString();
    m_ctaSubtractionAction->setEnabled(!seriesUid.isEmpty() && m_db &&
                                       render::findCtaSubtractionPair(m_db, m_studyUid, seriesUid,
                                                                      [this](const QString& uid) {
                                                                          return seriesRows(uid);
                                                                      })
                                           .isValid());
}

void ViewerWindow::openGridLayoutPicker()
{
    auto* picker = new GridLayoutPicker(m_layoutButton);
    // One popup per click; each goes away when it closes.
    picker->setAttribute(Qt::WA_DeleteOnClose);
    picker->move(m_layoutButton->mapToGlobal(QPoint(0, m_layoutButton->height())));
    connect(picker, &GridLayoutPicker::layoutChosen, this, &ViewerWindow::onGridLayoutChosen);
    picker->show();
}

void ViewerWindow::onBackToList()
{
    if (MainWindow::s_instance)
        MainWindow::s_instance->returnFromViewer(this);
}
