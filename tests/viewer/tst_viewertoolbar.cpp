// The viewer's toolbar on a real index filled from fixture series: the customisable actions and
// their stored layout, the right-click customisation, shortcuts from stored overrides, the tools on
// all nine panels, the panel commands, cine playback, reconstruction in a cell, the DCE and
// CTA-subtraction enable states and the reduced toolbar of the portable viewer.

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "support/ModalAnswer.h"

#include "clinical/CoronaryCalciumWindow.h"
#include "db/Database.h"
#include "dialogs/ToolbarCatalogue.h"
#include "dialogs/ToolbarCustomizeDialog.h"
#include "dicom/DicomFileSummary.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QListWidget>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include <memory>

namespace {

const QStringList CustomizableIds{
    QStringLiteral("backToList"), QStringLiteral("print"),       QStringLiteral("invert"),
    QStringLiteral("selectAll"),  QStringLiteral("compare"),     QStringLiteral("clearMeasurements"),
    QStringLiteral("syncSlices"), QStringLiteral("wheelSeries"), QStringLiteral("dicomTags"),
    QStringLiteral("calculators"), QStringLiteral("classifications")};

QStringList customizableOrder(ViewerWindow& w)
{
    QStringList out;
    for (QAction* a : w.toolBar()->actions())
        if (!a->objectName().isEmpty())
            out << a->objectName();
    return out;
}

// Indexes of the fixed entries (separators and buttons) in the toolbar.
QList<int> fixedPositions(ViewerWindow& w)
{
    QList<int> out;
    const QList<QAction*> actions = w.toolBar()->actions();
    for (int i = 0; i < actions.size(); ++i)
        if (actions[i]->objectName().isEmpty())
            out << i;
    return out;
}

QAction* toolbarAction(ViewerWindow& w, const QString& name)
{
    for (QAction* a : w.toolBar()->actions())
        if (a->objectName() == name)
            return a;
    return nullptr;
}

// A menu entry of any toolbar button, found by its text.
QAction* menuEntry(ViewerWindow& w, const QString& text)
{
    for (QToolButton* button : w.toolBar()->findChildren<QToolButton*>()) {
        if (!button->menu())
            continue;
        for (QAction* a : button->menu()->actions())
            if (a->text() == text)
                return a;
    }
    return nullptr;
}

void setToolbarSettings(const QVariant& order, const QVariant& hidden, bool resetDone = true)
{
    QSettings s;
    s.remove(QStringLiteral("toolbar"));
    if (order.isValid())
        s.setValue(QStringLiteral("toolbar/order"), order);
    if (hidden.isValid())
        s.setValue(QStringLiteral("toolbar/hidden"), hidden);
    if (resetDone)
        s.setValue(QStringLiteral("toolbar/resetToDefaultDone_v3"), true);
}

} // namespace

class TestViewerToolbar : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<db::Database> m_db;
    QString m_studyA;      // CT native + CT arterial of one geometry, dynamic MR, one-slice scout
    QString m_studyB;      // one CT series alone
    QString m_native;      // 6 slices
    QString m_arterial;    // 6 slices, later acquisition
    QString m_dynamic;     // MR, 3 positions x 2 temporal phases
    QString m_scout;       // 1 slice
    QString m_lonely;      // study B

    std::unique_ptr<ViewerWindow> openViewer(const QString& seriesUid, const QString& study = {}, bool portable = false)
    {
        auto w = std::make_unique<ViewerWindow>(m_db.get(), study.isEmpty() ? m_studyA : study, seriesUid, nullptr,
                                                portable);
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        return w;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        dicom::registerMetaTypes();
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));

        fixtures::SeriesLayout native;
        native.seriesDescription = QStringLiteral("Native");
        native.slices = 6;
        native.acquisitionTimeStart = 36000.0;
        QVERIFY(fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(QStringLiteral("native")), native));
        m_studyA = native.studyUid;
        m_native = native.seriesUid;

        fixtures::SeriesLayout arterial = native;
        arterial.seriesUid.clear();
        arterial.seriesDescription = QStringLiteral("Arterial");
        arterial.seriesNumber = QStringLiteral("2");
        arterial.acquisitionTimeStart = 36060.0;
        QVERIFY(fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(QStringLiteral("arterial")), arterial));
        m_arterial = arterial.seriesUid;

        fixtures::SeriesLayout dynamic = native;
        dynamic.seriesUid.clear();
        dynamic.frameOfReferenceUid.clear();
        dynamic.modality = QStringLiteral("MR");
        dynamic.seriesDescription = QStringLiteral("Dynamic");
        dynamic.seriesNumber = QStringLiteral("3");
        dynamic.rescaleIntercept = 0.0;
        dynamic.slices = 6;
        dynamic.temporalPositionIndex = [](int slice) { return slice < 3 ? 1 : 2; };
        QVERIFY(fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(QStringLiteral("dynamic")), dynamic));
        m_dynamic = dynamic.seriesUid;

        fixtures::SeriesLayout scout = native;
        scout.seriesUid.clear();
        scout.frameOfReferenceUid.clear();
        scout.seriesDescription = QStringLiteral("Scout");
        scout.seriesNumber = QStringLiteral("4");
        scout.slices = 1;
        scout.rows = 24;
        QVERIFY(fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(QStringLiteral("scout")), scout));
        m_scout = scout.seriesUid;

        fixtures::SeriesLayout lonely;
        lonely.seriesDescription = QStringLiteral("Lonely");
        lonely.slices = 5;
        QVERIFY(fixtures::writeAndIndexSeries(*m_db, m_dir.filePath(QStringLiteral("lonely")), lonely));
        m_studyB = lonely.studyUid;
        m_lonely = lonely.seriesUid;
    }

    void init() { QSettings().clear(); }

    void buildsEveryEntry()
    {
        auto w = openViewer(m_native);
        QToolBar* bar = w->toolBar();
        QCOMPARE(bar->windowTitle(), QStringLiteral("Инструменты"));
        QVERIFY(!bar->isMovable());
        QCOMPARE(bar->iconSize(), QSize(40, 40));

        QStringList ids;
        for (QAction* a : w->customizableActions())
            ids << a->objectName();
        QCOMPARE(ids, CustomizableIds);
        // The catalogue and the toolbar name the same actions.
        QStringList catalogueIds;
        for (const ToolbarActionEntry& e : viewerToolbarActionCatalogue())
            catalogueIds << e.id;
        QCOMPARE(catalogueIds, CustomizableIds);

        // Every entry acts; only DCE and CTA subtraction wait for a series that qualifies.
        for (const QString& id : CustomizableIds)
            QVERIFY2(toolbarAction(*w, id)->isEnabled(), qPrintable(id));
        for (const QString& text :
             {QStringLiteral("3D МногоПлоскостная Реконструкция"), QStringLiteral("3D VRT — объёмный рендеринг"),
              QStringLiteral("Криволинейный MPR — по точкам"), QStringLiteral("Сосудистый анализ"),
              QStringLiteral("Ортопантомограмма"), QStringLiteral("Автоматически по ходу сосуда"),
              QStringLiteral("Узел в лёгком"), QStringLiteral("Кардио-МРТ (SAX)"),
              QStringLiteral("Виртуальная эндоскопия/колоноскопия")}) {
            QAction* a = menuEntry(*w, text);
            QVERIFY2(a && a->isEnabled(), qPrintable(text));
        }
        QVERIFY(menuEntry(*w, QStringLiteral("Сообщить об ошибке…"))->isEnabled());

        // The calcium entry opens a scoring window of its own on the active panel's series, anew each time.
        QAction* calcium = menuEntry(*w, QStringLiteral("Индекс коронарного кальция (Agatston)"));
        QVERIFY(calcium->isEnabled());
        {
            fixtures::ModalAnswer refusal(QMessageBox::Ok);
            calcium->trigger();
            calcium->trigger();
            QCOMPARE(refusal.count(), 0);
        }
        const auto calciumWindows = w->findChildren<CoronaryCalciumWindow*>();
        QCOMPARE(calciumWindows.size(), 2);
        QCOMPARE(calciumWindows.first()->viewport()->sliceCount(), w->panelSliceList(w->activePanelIndex()).size());
        qDeleteAll(calciumWindows);

        // One preset button, and the analysis menu in its documented order.
        QCOMPARE(bar->findChildren<QToolButton*>(QStringLiteral("windowPresetButton")).size(), 1);
        QStringList extraTexts;
        for (QToolButton* b : bar->findChildren<QToolButton*>())
            if (b->toolTip() == QStringLiteral("Дополнительные функции"))
                for (QAction* a : b->menu()->actions())
                    extraTexts << (a->isSeparator() ? QStringLiteral("|") : a->text());
        QCOMPARE(extraTexts, (QStringList{QStringLiteral("Fusion"), QStringLiteral("Динамика накопления контраста (DCE)"),
                                          QStringLiteral("Субтракция КТ-ангиографии"), QStringLiteral("Узел в лёгком"),
                                          QStringLiteral("Кардио-МРТ (SAX)"),
                                          QStringLiteral("Индекс коронарного кальция (Agatston)"),
                                          QStringLiteral("Виртуальная эндоскопия/колоноскопия"), QStringLiteral("|"),
                                          QStringLiteral("Сообщить об ошибке…")}));
    }

    // The first viewer after the key is absent puts the catalogue order back and shows everything.
    void oneTimeResetOfTheLayout()
    {
        setToolbarSettings(QStringList{QStringLiteral("invert")}, QStringList{QStringLiteral("invert")}, false);
        {
            auto w = openViewer(m_native);
            QVERIFY(toolbarAction(*w, QStringLiteral("invert"))->isVisible());
            QCOMPARE(customizableOrder(*w), CustomizableIds);
        }
        QSettings s;
        QCOMPARE(s.value(QStringLiteral("toolbar/order")).toStringList(), CustomizableIds);
        QVERIFY(!s.contains(QStringLiteral("toolbar/hidden")));
        QVERIFY(s.value(QStringLiteral("toolbar/resetToDefaultDone_v3")).toBool());

        // Later viewers keep what the user stores afterwards.
        s.setValue(QStringLiteral("toolbar/hidden"), QStringList{QStringLiteral("print")});
        auto w = openViewer(m_native);
        QVERIFY(!toolbarAction(*w, QStringLiteral("print"))->isVisible());
    }

    void layoutMovesOnlyWithinBlocks_data()
    {
        QTest::addColumn<QVariant>("order");
        QTest::addColumn<QVariant>("hidden");
        QTest::addColumn<QStringList>("expectedOrder");
        QTest::addColumn<QStringList>("expectedHidden");

        QStringList swapped = CustomizableIds;
        swapped.swapItemsAt(9, 10);
        QTest::newRow("classifications before calculators, back hidden")
            << QVariant(QStringList{QStringLiteral("classifications"), QStringLiteral("backToList")})
            << QVariant(QStringList{QStringLiteral("backToList")}) << swapped
            << QStringList{QStringLiteral("backToList")};
        QTest::newRow("empty order changes nothing")
            << QVariant(QStringList{}) << QVariant(QStringList{QStringLiteral("invert")}) << CustomizableIds
            << QStringList{};
        QTest::newRow("no order at all") << QVariant() << QVariant(QStringList{QStringLiteral("invert")})
                                         << CustomizableIds << QStringList{};
        QTest::newRow("unknown ids skipped, repeats placed once")
            << QVariant(QStringList{QStringLiteral("nothing"), QStringLiteral("classifications"),
                                    QStringLiteral("calculators"), QStringLiteral("classifications")})
            << QVariant(QStringList{QStringLiteral("calculators"), QStringLiteral("nothing")}) << swapped
            << QStringList{QStringLiteral("calculators")};
        QTest::newRow("everything hidden")
            << QVariant(CustomizableIds) << QVariant(CustomizableIds) << CustomizableIds << CustomizableIds;
    }

    void layoutMovesOnlyWithinBlocks()
    {
        QFETCH(QVariant, order);
        QFETCH(QVariant, hidden);
        QFETCH(QStringList, expectedOrder);
        QFETCH(QStringList, expectedHidden);

        setToolbarSettings(QStringList{}, QVariant());
        auto reference = openViewer(m_native);
        const QList<int> fixed = fixedPositions(*reference);
        const int count = reference->toolBar()->actions().size();

        setToolbarSettings(order, hidden);
        auto w = openViewer(m_native);
        QCOMPARE(w->toolBar()->actions().size(), count);
        QCOMPARE(fixedPositions(*w), fixed);
        QCOMPARE(customizableOrder(*w), expectedOrder);
        QStringList hiddenNow;
        for (QAction* a : w->customizableActions())
            if (!a->isVisible())
                hiddenNow << a->objectName();
        QCOMPARE(hiddenNow, expectedHidden);
    }

    void rightClickOpensTheCustomiseDialog()
    {
        setToolbarSettings(CustomizableIds, QVariant());
        auto w = openViewer(m_native);
        QAction* invert = toolbarAction(*w, QStringLiteral("invert"));
        QVERIFY(invert->isVisible());

        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        QStringList classes;
        answer.setDialogHandler([&classes](QDialog* dialog) {
            classes << QString::fromLatin1(dialog->metaObject()->className());
            auto* customise = qobject_cast<ToolbarCustomizeDialog*>(dialog);
            if (!customise)
                return true;
            QListWidget* list = customise->listWidget();
            for (int i = 0; i < list->count(); ++i)
                if (list->item(i)->data(Qt::UserRole).toString() == QStringLiteral("invert"))
                    list->item(i)->setCheckState(Qt::Unchecked);
            return true;
        });
        const QPoint pos = w->toolBar()->rect().center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, pos, w->toolBar()->mapToGlobal(pos));
        QApplication::sendEvent(w->toolBar(), &event);

        QCOMPARE(classes, QStringList{QStringLiteral("ToolbarCustomizeDialog")});
        QVERIFY(!QApplication::activePopupWidget());
        QVERIFY(!invert->isVisible());
        QVERIFY(QSettings().value(QStringLiteral("toolbar/hidden")).toStringList().contains(QStringLiteral("invert")));
    }

    void shortcutsFromStoredOverrides()
    {
        QSettings s;
        s.setValue(QStringLiteral("hotkeys/viewer.rotateCw"), QStringLiteral("Ctrl+R"));
        s.setValue(QStringLiteral("hotkeys/viewer.copyOne"), QString());
        s.sync();

        auto w = openViewer(m_native);
        QAction* rotateCw = menuEntry(*w, QStringLiteral("Повернуть на 90° по часовой стрелке"));
        QCOMPARE(rotateCw->shortcut(), QKeySequence(QStringLiteral("Ctrl+R")));
        QVERIFY(menuEntry(*w, QStringLiteral("Копировать в буфер обмена"))->shortcut().isEmpty());
        QCOMPARE(menuEntry(*w, QStringLiteral("Отразить горизонтально"))->shortcut(),
                 QKeySequence(QStringLiteral("Ctrl+Shift+["), QKeySequence::PortableText));
        QCOMPARE(menuEntry(*w, QStringLiteral("3D МногоПлоскостная Реконструкция"))->shortcut(),
                 QKeySequence(Qt::Key_F2));
        QCOMPARE(menuEntry(*w, QStringLiteral("Повернуть на 180°"))->shortcut(), QKeySequence());

        // The menu is closed, yet the keys reach the active panel.
        w->show();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        ImageViewportWidget* panel = w->panel(w->activePanelIndex());
        QTest::keyClick(panel, Qt::Key_R, Qt::ControlModifier);
        QCOMPARE(panel->rotation(), 90);
        QTest::keyClick(panel, Qt::Key_BracketLeft, Qt::ControlModifier);
        QCOMPARE(panel->rotation(), 0);
    }

    void toolsApplyToAllNinePanels()
    {
        auto w = openViewer(m_native);
        QToolButton* button = w->toolButton();
        QCOMPARE(button->popupMode(), QToolButton::MenuButtonPopup);
        QCOMPARE(button->toolTip(), QStringLiteral("Линейка"));
        const QList<QAction*> tools = button->menu()->actions();
        QCOMPARE(tools.size(), 16);
        QVERIFY(tools.at(3)->isChecked());
        const QList<int> modes{0, 1, 2, 3, 4, 5, 8, 6, 15, 7, 9, 10, 11, 12, 13, 14};
        for (int i = 0; i < tools.size(); ++i) {
            tools.at(i)->trigger();
            QVERIFY(tools.at(i)->isChecked());
            for (int p = 0; p < ViewerWindow::PanelCount; ++p)
                QCOMPARE(w->panel(p)->measurementMode(), modes.at(i));
            QCOMPARE(button->toolTip(), tools.at(i)->text());
        }
        QCOMPARE(tools.last()->text(), QStringLiteral("Угол Кобба"));
    }

    void panelCommandsActOnTheActivePanel()
    {
        auto w = openViewer(m_native);
        ImageViewportWidget* panel = w->panel(0);
        QCOMPARE(panel->sliceCount(), 6);

        menuEntry(*w, QStringLiteral("Повернуть на 90° против часовой стрелки"))->trigger();
        QCOMPARE(panel->rotation(), 270);
        menuEntry(*w, QStringLiteral("Повернуть на 180°"))->trigger();
        QCOMPARE(panel->rotation(), 90);
        menuEntry(*w, QStringLiteral("Отразить горизонтально"))->trigger();
        menuEntry(*w, QStringLiteral("Отразить вертикально"))->trigger();
        QVERIFY(panel->isFlippedHorizontally() && panel->isFlippedVertically());
        menuEntry(*w, QStringLiteral("Очистить преобразования"))->trigger();
        QVERIFY(!panel->isFlippedHorizontally() && !panel->isFlippedVertically());
        QCOMPARE(panel->rotation(), 0);

        toolbarAction(*w, QStringLiteral("invert"))->trigger();
        QVERIFY(panel->isInverted());
        toolbarAction(*w, QStringLiteral("invert"))->trigger();
        QVERIFY(!panel->isInverted());

        // One marked slice is fewer than all: the first press marks every slice, the second clears.
        panel->setCurrentSliceSelected(true);
        toolbarAction(*w, QStringLiteral("selectAll"))->trigger();
        QCOMPARE(panel->selectedSlices().size(), 6);
        toolbarAction(*w, QStringLiteral("selectAll"))->trigger();
        QVERIFY(panel->selectedSlices().isEmpty());

        menuEntry(*w, QStringLiteral("Данные пациента/серии на снимке"))->trigger();
        for (int p = 0; p < ViewerWindow::PanelCount; ++p)
            QCOMPARE(w->panel(p)->tagsDisplayMode(), 1);
        menuEntry(*w, QStringLiteral("Данные пациента/серии на снимке"))->trigger();
        QCOMPARE(w->panel(8)->tagsDisplayMode(), 0);

        QAction* lines = menuEntry(*w, QStringLiteral("Референсные линии"));
        QVERIFY(lines->isChecked());
        lines->trigger();
        QVERIFY(!w->referenceLinesEnabled());

        toolbarAction(*w, QStringLiteral("wheelSeries"))->trigger();
        for (int p = 0; p < ViewerWindow::PanelCount; ++p)
            QVERIFY(w->panel(p)->wheelStepsSeries());
        toolbarAction(*w, QStringLiteral("syncSlices"))->trigger();
        QVERIFY(w->syncSlices());

        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        QApplication::clipboard()->clear();
        menuEntry(*w, QStringLiteral("Копировать в буфер обмена"))->trigger();
        QCOMPARE(QApplication::clipboard()->pixmap().size(), panel->size() * panel->devicePixelRatio());
        menuEntry(*w, QStringLiteral("Копировать всё в буфер обмена"))->trigger();
        QCOMPARE(QApplication::clipboard()->pixmap().size(),
                 w->panelContainer()->size() * w->panelContainer()->devicePixelRatio());
    }

    void clearMeasurementsRemovesThoseOfEverySlice()
    {
        auto w = openViewer(m_native);
        ImageViewportWidget* panel = w->panel(0);
        panel->startMeasurement(QPointF(2, 2));
        panel->finishMeasurement(QPointF(20, 20));
        panel->showSlice(3);
        panel->startMeasurement(QPointF(4, 4));
        panel->finishMeasurement(QPointF(25, 10));
        QCOMPARE(panel->measurements().size(), 2);
        toolbarAction(*w, QStringLiteral("clearMeasurements"))->trigger();
        QVERIFY(panel->measurements().isEmpty());
    }

    void reconstructionInACell()
    {
        auto w = openViewer(m_native);
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(1);
        {
            fixtures::ModalAnswer answer(QMessageBox::Ok);
            menuEntry(*w, QStringLiteral("Корональная (Фронтальная) — в этой ячейке"))->trigger();
            QCOMPARE(answer.titles(), QStringList{QStringLiteral("Реконструкция")});
            QCOMPARE(answer.texts(), QStringList{QStringLiteral("В активной панели нет загруженной серии.")});
        }
        w->setActiveViewport(0);
        const QList<QPair<QString, int>> planes{
            {QStringLiteral("Корональная (Фронтальная) — в этой ячейке"), 2},
            {QStringLiteral("Сагиттальная — в этой ячейке"), 1},
            {QStringLiteral("Аксиальная (Трансверзальная) — в этой ячейке"), 3}};
        for (const auto& [text, plane] : planes) {
            menuEntry(*w, text)->trigger();
            QCOMPARE(w->panel(0)->reconstructionPlane(), plane);
        }
        menuEntry(*w, QStringLiteral("↩ Исходные срезы (отменить реконструкцию)"))->trigger();
        QCOMPARE(w->panel(0)->reconstructionPlane(), 0);
    }

    void cineInterval_data()
    {
        QTest::addColumn<int>("fps");
        QTest::addColumn<int>("interval");
        QTest::newRow("60") << 60 << 16;
        QTest::newRow("1") << 1 << 1000;
        QTest::newRow("default 10") << 10 << 100;
        QTest::newRow("7") << 7 << 142;
    }

    void cineInterval()
    {
        QFETCH(int, fps);
        QFETCH(int, interval);
        auto w = openViewer(m_native);
        QCOMPARE(w->cineFramesPerSecond(), 10);
        QToolButton* cine = w->cineButton();
        QVERIFY(cine->isCheckable());
        QCOMPARE(cine->popupMode(), QToolButton::MenuButtonPopup);
        auto* speed = cine->menu()->findChild<QSpinBox*>(QStringLiteral("cineSpeed"));
        QVERIFY(speed);
        QCOMPARE(speed->minimum(), 1);
        QCOMPARE(speed->maximum(), 60);
        QCOMPARE(speed->suffix(), QStringLiteral(" кадр/сек"));

        // Set before the start and changed while running: both give the same interval.
        speed->setValue(fps);
        cine->setChecked(true);
        QVERIFY(w->cineTimer()->isActive());
        QCOMPARE(w->cineTimer()->interval(), interval);
        speed->setValue(fps == 30 ? 31 : 30);
        QCOMPARE(w->cineTimer()->interval(), 1000 / speed->value());
        speed->setValue(fps);
        QCOMPARE(w->cineTimer()->interval(), interval);
        QVERIFY(w->cineTimer()->isActive());
        cine->setChecked(false);
        QVERIFY(!w->cineTimer()->isActive());
    }

    void cineWrapsAndFollowsTheActivePanel()
    {
        auto w = openViewer(m_native);
        ImageViewportWidget* first = w->panel(0);
        first->showSlice(5);
        QSignalSpy spy(first, &ImageViewportWidget::sliceChanged);
        w->cineButton()->setChecked(true);
        QVERIFY(spy.wait(10000));
        QCOMPARE(spy.first().at(0).toInt(), 0);
        QCOMPARE(spy.first().at(1).toInt(), 6);

        // Playback moves to the panel made active; the first one stays where it is.
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(1);
        w->showSeriesInActivePanel(m_arterial);
        ImageViewportWidget* second = w->panel(1);
        QSignalSpy secondSpy(second, &ImageViewportWidget::sliceChanged);
        QCoreApplication::processEvents();
        spy.clear();
        // Every tick steps the active panel only: after three of them the first has not moved.
        QTRY_VERIFY_WITH_TIMEOUT(secondSpy.size() >= 3, 10000);
        QVERIFY(spy.isEmpty());
        w->cineButton()->setChecked(false);
    }

    void cineOnOneSliceDoesNothing()
    {
        auto w = openViewer(m_scout);
        ImageViewportWidget* panel = w->panel(0);
        QCOMPARE(panel->sliceCount(), 1);
        QSignalSpy spy(panel, &ImageViewportWidget::sliceChanged);
        w->cineButton()->menu()->findChild<QSpinBox*>()->setValue(60);
        w->cineButton()->setChecked(true);
        if (w->cineTimer()->isActive()) {
            QSignalSpy ticks(w->cineTimer(), &QTimer::timeout);
            QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 3, 10000);
        }
        QVERIFY(spy.isEmpty());
        QCOMPARE(panel->currentSliceIndex(), 0);
    }

    void cineStepsAReconstructionPlane()
    {
        auto w = openViewer(m_native);
        ImageViewportWidget* panel = w->panel(0);
        menuEntry(*w, QStringLiteral("Корональная (Фронтальная) — в этой ячейке"))->trigger();
        QCOMPARE(panel->reconstructionPlane(), 2);
        const int start = panel->reconstructedSliceIndex();
        const int n = panel->reconstructionSliceCount();
        QVERIFY(n > 1);
        w->cineButton()->menu()->findChild<QSpinBox*>()->setValue(60);
        w->cineButton()->setChecked(true);
        QTRY_VERIFY_WITH_TIMEOUT(panel->reconstructedSliceIndex() != start, 30000);
        w->cineButton()->setChecked(false);
        // Still the plane: cine did not put a file's slice in its place.
        QCOMPARE(panel->reconstructionPlane(), 2);
    }

    void analysisEnableStates_data()
    {
        QTest::addColumn<QString>("study");
        QTest::addColumn<QString>("series");
        QTest::addColumn<bool>("dce");
        QTest::addColumn<bool>("cta");
        // Two CT series of one geometry: a subtraction pair and, across series, two phases.
        QTest::newRow("native CT") << QStringLiteral("A") << QStringLiteral("native") << true << true;
        QTest::newRow("arterial CT") << QStringLiteral("A") << QStringLiteral("arterial") << true << true;
        QTest::newRow("dynamic MR") << QStringLiteral("A") << QStringLiteral("dynamic") << true << false;
        QTest::newRow("scout") << QStringLiteral("A") << QStringLiteral("scout") << false << false;
        QTest::newRow("lonely CT") << QStringLiteral("B") << QStringLiteral("lonely") << false << false;
    }

    void analysisEnableStates()
    {
        QFETCH(QString, study);
        QFETCH(QString, series);
        QFETCH(bool, dce);
        QFETCH(bool, cta);
        const QHash<QString, QString> uids{{QStringLiteral("native"), m_native},
                                           {QStringLiteral("arterial"), m_arterial},
                                           {QStringLiteral("dynamic"), m_dynamic},
                                           {QStringLiteral("scout"), m_scout},
                                           {QStringLiteral("lonely"), m_lonely}};
        auto w = openViewer(uids.value(series), study == QStringLiteral("A") ? m_studyA : m_studyB);
        QCOMPARE(w->panelSeriesUid(0), uids.value(series));
        QCOMPARE(w->dceAction()->isEnabled(), dce);
        QCOMPARE(w->ctaSubtractionAction()->isEnabled(), cta);

        // An empty panel made active disables both; back on the series, they return.
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(1);
        QVERIFY(!w->dceAction()->isEnabled());
        QVERIFY(!w->ctaSubtractionAction()->isEnabled());
        w->setActiveViewport(0);
        QCOMPARE(w->dceAction()->isEnabled(), dce);
        QCOMPARE(w->ctaSubtractionAction()->isEnabled(), cta);
    }

    void statesFollowTheSeriesShown()
    {
        auto w = openViewer(m_scout);
        QVERIFY(!w->ctaSubtractionAction()->isEnabled());
        w->showSeriesInActivePanel(m_native);
        QVERIFY(w->ctaSubtractionAction()->isEnabled());
        QVERIFY(w->dceAction()->isEnabled());
        w->showSeriesInActivePanel(m_scout);
        QVERIFY(!w->ctaSubtractionAction()->isEnabled());
        QVERIFY(!w->dceAction()->isEnabled());
    }

    void portableToolbarIsReduced()
    {
        auto w = openViewer(m_native, {}, true);
        QToolBar* bar = w->toolBar();
        QCOMPARE(bar->windowTitle(), QStringLiteral("Инструменты"));
        const QList<QAction*> actions = bar->actions();
        QCOMPARE(actions.size(), 3);
        QVERIFY(actions.at(1)->isSeparator());
        QVERIFY(w->customizableActions().isEmpty());
        QVERIFY(!w->dceAction() && !w->ctaSubtractionAction() && !w->cineButton());

        auto* presets = qobject_cast<QToolButton*>(bar->widgetForAction(actions.at(0)));
        QVERIFY(presets);
        QCOMPARE(presets->toolTip(), QStringLiteral("Window/Level presets"));

        QStringList tools;
        for (QAction* a : w->toolButton()->menu()->actions())
            tools << a->text();
        QCOMPARE(tools, (QStringList{QStringLiteral("Обзор"), QStringLiteral("Zoom"), QStringLiteral("Яркость (ЛКМ)"),
                                     QStringLiteral("Линейка"), QStringLiteral("ROI (HU)")}));
        w->toolButton()->menu()->actions().at(4)->trigger();
        for (int p = 0; p < ViewerWindow::PanelCount; ++p)
            QCOMPARE(w->panel(p)->measurementMode(), 5);

        // Nothing of the layout is read or written.
        QVERIFY(!QSettings().contains(QStringLiteral("toolbar/resetToDefaultDone_v3")));
        QCOMPARE(bar->contextMenuPolicy(), Qt::DefaultContextMenu);
    }

};

QTEST_MAIN(TestViewerToolbar)
#include "tst_viewertoolbar.moc"
