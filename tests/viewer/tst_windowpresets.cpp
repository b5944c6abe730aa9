// Window/level presets on a real viewer over a real index: the built-in table, the settings array,
// the preset menu as it is rebuilt on every opening, saving and deleting through the input dialogs,
// and which panel a preset reaches, including a panel that shows a reconstruction plane.

#include "support/DicomFixtures.h"
#include "support/ModalAnswer.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "render/MprSlices.h"
#include "render/SliceSources.h"
#include "render/Volume.h"
#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"
#include "viewer/WindowPresets.h"

#include <QAction>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QInputDialog>
#include <QMenu>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <memory>
#include <thread>

namespace {

const QStringList BuiltInNames = {QStringLiteral("Лёгкие"),      QStringLiteral("Кость"),
                                  QStringLiteral("Мозг"),        QStringLiteral("Средостение"),
                                  QStringLiteral("Брюшная пол."), QStringLiteral("Мягкие ткани")};
const QString SaveText = QStringLiteral("Сохранить текущий как пресет…");
const QString DeleteText = QStringLiteral("Удалить пользовательский пресет…");

// Menu texts with "|" for a separator.
QStringList menuTexts(QMenu* menu)
{
    QStringList out;
    for (QAction* a : menu->actions())
        out << (a->isSeparator() ? QStringLiteral("|") : a->text());
    return out;
}

QAction* menuAction(QMenu* menu, const QString& text, int occurrence = 0)
{
    for (QAction* a : menu->actions())
        if (!a->isSeparator() && a->text() == text && occurrence-- == 0)
            return a;
    return nullptr;
}

QStringList storedNames()
{
    QStringList names;
    for (const WindowPreset& p : loadCustomWindowPresets())
        names << p.name;
    return names;
}

// Opens and closes the menu the way a click does, so that aboutToShow runs.
void openMenu(QMenu* menu)
{
    menu->popup(QPoint(10, 10));
    QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible(), 30000);
    menu->hide();
}

QImage shownImage(ImageViewportWidget* panel)
{
    for (QGraphicsItem* item : panel->graphicsScene()->items())
        if (auto* pix = dynamic_cast<QGraphicsPixmapItem*>(item); pix && !pix->pixmap().isNull())
            return pix->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
    return {};
}

// Answers the name dialog: types the text and accepts, or cancels.
std::unique_ptr<fixtures::ModalAnswer> answerName(const QString& text, bool accept)
{
    auto answer = std::make_unique<fixtures::ModalAnswer>(QMessageBox::Ok, accept ? QDialog::Accepted : QDialog::Rejected);
    answer->setDialogHandler([text](QDialog* dialog) {
        auto* input = qobject_cast<QInputDialog*>(dialog);
        if (!input)
            return true;
        input->setTextValue(text);
        return true;
    });
    return answer;
}

} // namespace

class TestWindowPresets : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<db::Database> m_db;
    QString m_studyUid;
    QString m_axialUid;
    QString m_otherUid;

    std::unique_ptr<ViewerWindow> openViewer()
    {
        auto w = std::make_unique<ViewerWindow>(m_db.get(), m_studyUid, m_axialUid);
        w->setAttribute(Qt::WA_DeleteOnClose, false);
        return w;
    }

    QMenu* presetMenu(ViewerWindow& w, QToolButton** buttonOut = nullptr)
    {
        QToolButton* button = createWindowPresetButton(&w, &w);
        if (buttonOut)
            *buttonOut = button;
        return button->menu();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
        QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
        // Settings go to this run's own folder whatever the environment says.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.filePath(QStringLiteral("config")));
        dicom::registerMetaTypes();

        fixtures::SeriesLayout axial;
        axial.seriesDescription = QStringLiteral("Axial");
        axial.slices = 12;
        fixtures::completeUids(axial);
        m_studyUid = axial.studyUid;
        m_axialUid = axial.seriesUid;
        fixtures::SeriesLayout other = axial;
        other.seriesUid.clear();
        other.seriesNumber = QStringLiteral("2");
        other.seriesDescription = QStringLiteral("Second");
        other.slices = 3;
        fixtures::completeUids(other);
        m_otherUid = other.seriesUid;

        QStringList files = fixtures::writeSeries(m_dir.filePath(QStringLiteral("s1")), axial);
        files += fixtures::writeSeries(m_dir.filePath(QStringLiteral("s2")), other);
        m_db = std::make_unique<db::Database>();
        QVERIFY(m_db->open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        for (const QString& f : files) {
            const std::optional<dicom::DicomFileSummary> s = dicom::readFileSummary(f);
            QVERIFY(s.has_value());
            QVERIFY(m_db->indexFile(*s));
        }
    }

    void init() { QSettings().remove(QStringLiteral("customWindowPresets")); }

    void builtInTableIsOneSharedList()
    {
        const QList<WindowPreset>& presets = builtInWindowPresets();
        QStringList names;
        for (const WindowPreset& p : presets)
            names << p.name;
        QCOMPARE(names, BuiltInNames);
        const double expected[6][2] = {{-600, 1500}, {300, 1500}, {40, 80}, {50, 350}, {60, 400}, {40, 400}};
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(presets[i].center, expected[i][0]);
            QCOMPARE(presets[i].width, expected[i][1]);
        }
        const QList<WindowPreset>* fromThread = nullptr;
        std::thread t([&fromThread] { fromThread = &builtInWindowPresets(); });
        t.join();
        QCOMPARE(fromThread, &presets);
    }

    void settingsArrayRoundTrip()
    {
        QCOMPARE(loadCustomWindowPresets().size(), 0);
        saveCustomWindowPresets({{QStringLiteral("Печень"), 80, 150}, {QStringLiteral("Печень"), 90, 160},
                                 {QStringLiteral("Кость"), 500, 2000}});
        {
            QSettings s;
            QCOMPARE(s.value(QStringLiteral("customWindowPresets/size")).toInt(), 3);
            QCOMPARE(s.value(QStringLiteral("customWindowPresets/2/name")).toString(), QStringLiteral("Печень"));
            QCOMPARE(s.value(QStringLiteral("customWindowPresets/3/width")).toDouble(), 2000.0);
        }
        const QList<WindowPreset> loaded = loadCustomWindowPresets();
        QCOMPARE(loaded.size(), 3);
        QCOMPARE(loaded[1].center, 90.0);
        QCOMPARE(loaded[2].name, QStringLiteral("Кость"));

        // A shorter list leaves no old entry behind; a missing key reads as empty or 0.
        saveCustomWindowPresets({{QStringLiteral("Один"), 1, 2}});
        {
            QSettings s;
            QVERIFY(!s.contains(QStringLiteral("customWindowPresets/2/name")));
            s.setValue(QStringLiteral("customWindowPresets/size"), 2);
            s.setValue(QStringLiteral("customWindowPresets/2/center"), 7);
        }
        const QList<WindowPreset> partial = loadCustomWindowPresets();
        QCOMPARE(partial.size(), 2);
        QCOMPARE(partial[1].name, QString());
        QCOMPARE(partial[1].center, 7.0);
        QCOMPARE(partial[1].width, 0.0);
    }

    void menuEntries_data()
    {
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("built-in only") << QStringList() << (BuiltInNames + QStringList{"|", SaveText});
        QTest::newRow("with user presets")
            << QStringList{"Печень", "Лёгкие"}
            << (BuiltInNames + QStringList{"|", "Печень", "Лёгкие", "|", SaveText, DeleteText});
    }

    void menuEntries()
    {
        QFETCH(QStringList, stored);
        QFETCH(QStringList, expected);
        QList<WindowPreset> presets;
        for (const QString& name : stored)
            presets.append({name, 10, 20});
        saveCustomWindowPresets(presets);

        auto w = openViewer();
        QToolButton* button = nullptr;
        QMenu* menu = presetMenu(*w, &button);
        QCOMPARE(button->toolTip(), QStringLiteral("Window/Level presets"));
        QCOMPARE(button->popupMode(), QToolButton::InstantPopup);
        QVERIFY(!button->icon().isNull());
        QCOMPARE(menuTexts(menu), expected);
        openMenu(menu);
        QCOMPARE(menuTexts(menu), expected); // rebuilt, not appended to

        menu->popup(QPoint(10, 10));
        QTRY_VERIFY_WITH_TIMEOUT(menu->isVisible(), 30000);
        const QImage grab = menu->grab().toImage();
        QVERIFY(grab.width() > 100 && grab.height() > 20 * expected.size() / 2);
        menu->hide();
    }

    void portableButtonHoldsBuiltInsOnly()
    {
        saveCustomWindowPresets({{QStringLiteral("Печень"), 80, 150}});
        auto w = openViewer();
        QToolButton* button = createWindowPresetButton(w.get(), w.get(), true);
        QCOMPARE(button->toolTip(), QStringLiteral("Window/Level presets"));
        openMenu(button->menu());
        QCOMPARE(menuTexts(button->menu()), BuiltInNames);
        menuAction(button->menu(), QStringLiteral("Кость"))->trigger();
        QCOMPARE(w->panel(0)->windowCenter(), 300.0);
        QCOMPARE(w->panel(0)->windowWidth(), 1500.0);
    }

    void saveName_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("blank") << QString() << true << QStringList();
        QTest::newRow("whitespace only") << QStringLiteral("   \t ") << true << QStringList();
        QTest::newRow("cancelled") << QStringLiteral("Печень") << false << QStringList();
        QTest::newRow("trimmed") << QStringLiteral("  Печень  ") << true << QStringList{"Печень"};
        QTest::newRow("built-in name") << QStringLiteral("Мозг") << true << QStringList{"Мозг"};
    }

    void saveName()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accept);
        QFETCH(QStringList, expected);
        auto w = openViewer();
        ImageViewportWidget* panel = w->panel(0);
        QVERIFY(panel->sliceCount() > 0);
        panel->setWindowPreset(render::WindowLevel{123.0, 456.0});

        QMenu* menu = presetMenu(*w);
        auto answer = answerName(typed, accept);
        menuAction(menu, SaveText)->trigger();
        QCOMPARE(answer->titles(), QStringList{QStringLiteral("Новый пресет W/L")});
        QCOMPARE(storedNames(), expected);
        if (!expected.isEmpty()) {
            QCOMPARE(loadCustomWindowPresets().first().center, 123.0);
            QCOMPARE(loadCustomWindowPresets().first().width, 456.0);
        }
    }

    void saveTakesTheSliceWindowWithoutUserWindow()
    {
        auto w = openViewer();
        ImageViewportWidget* panel = w->panel(0);
        QVERIFY(!panel->hasUserWindow());
        QVERIFY(panel->windowWidth() > 0.0);
        const double centre = panel->windowCenter();
        const double width = panel->windowWidth();
        QMenu* menu = presetMenu(*w);
        auto answer = answerName(QStringLiteral("Файл"), true);
        menuAction(menu, SaveText)->trigger();
        const QList<WindowPreset> stored = loadCustomWindowPresets();
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored[0].center, centre);
        QCOMPARE(stored[0].width, width);
    }

    void saveFromEmptyPanelIsRefused()
    {
        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(1);
        QCOMPARE(w->panel(1)->sliceCount(), 0);
        QMenu* menu = presetMenu(*w);
        auto answer = answerName(QStringLiteral("Пусто"), true);
        menuAction(menu, SaveText)->trigger();
        QCOMPARE(answer->texts(), QStringList{QStringLiteral("В активной панели нет изображения: сохранять нечего.")});
        QCOMPARE(storedNames(), QStringList());

        // A preset on the empty panel changes nothing, not even the stored window.
        menuAction(menu, QStringLiteral("Мозг"))->trigger();
        QCOMPARE(w->panel(1)->windowWidth(), 0.0);
        QVERIFY(!w->panel(1)->hasUserWindow());
    }

    void sameNameTwiceThenDeleteBoth()
    {
        saveCustomWindowPresets({{QStringLiteral("Первый"), 1, 10}, {QStringLiteral("печень"), 2, 20}});
        auto w = openViewer();
        QToolButton* button = nullptr;
        QMenu* menu = presetMenu(*w, &button);
        for (int i = 0; i < 2; ++i) {
            auto answer = answerName(QStringLiteral("Печень"), true);
            menuAction(menu, SaveText)->trigger();
        }
        saveCustomWindowPresets(loadCustomWindowPresets() << WindowPreset{QStringLiteral("Последний"), 3, 30});
        openMenu(menu);
        QCOMPARE(menuTexts(menu), (BuiltInNames + QStringList{"|", "Первый", "печень", "Печень", "Печень", "Последний",
                                                              "|", SaveText, DeleteText}));

        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        QStringList offered;
        QString preselected;
        QString label;
        bool editable = true;
        answer.setDialogHandler([&](QDialog* dialog) {
            auto* input = qobject_cast<QInputDialog*>(dialog);
            if (!input)
                return true;
            offered = input->comboBoxItems();
            preselected = input->textValue();
            editable = input->isComboBoxEditable();
            label = input->labelText();
            input->setTextValue(QStringLiteral("Печень"));
            return true;
        });
        menuAction(menu, DeleteText)->trigger();
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Удалить пресет")});
        QCOMPARE(offered, (QStringList{"Первый", "печень", "Печень", "Печень", "Последний"}));
        QCOMPARE(preselected, QStringLiteral("Первый"));
        QCOMPARE(label, QStringLiteral("Выберите пресет для удаления:"));
        QVERIFY(!editable);
        // Exact, case-sensitive match; the rest keep their order and values.
        QCOMPARE(storedNames(), (QStringList{"Первый", "печень", "Последний"}));
        QCOMPARE(loadCustomWindowPresets().at(2).width, 30.0);
        openMenu(menu);
        QCOMPARE(menuTexts(menu),
                 (BuiltInNames + QStringList{"|", "Первый", "печень", "Последний", "|", SaveText, DeleteText}));
    }

    void cancelledDeleteKeepsEverything()
    {
        saveCustomWindowPresets({{QStringLiteral("А"), 1, 10}, {QStringLiteral("Б"), 2, 20}});
        auto w = openViewer();
        QMenu* menu = presetMenu(*w);
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Rejected);
        menuAction(menu, DeleteText)->trigger();
        QCOMPARE(answer.count(), 1);
        QCOMPARE(storedNames(), (QStringList{"А", "Б"}));
    }

    void deletingTheLastWritesSizeZero()
    {
        saveCustomWindowPresets({{QStringLiteral("Единственный"), 1, 10}});
        auto w = openViewer();
        QMenu* menu = presetMenu(*w);
        fixtures::ModalAnswer answer(QMessageBox::Ok, QDialog::Accepted);
        menuAction(menu, DeleteText)->trigger();
        QCOMPARE(answer.count(), 1);
        {
            QSettings s;
            QVERIFY(s.contains(QStringLiteral("customWindowPresets/size")));
            QCOMPARE(s.value(QStringLiteral("customWindowPresets/size")).toInt(), 0);
            QVERIFY(!s.contains(QStringLiteral("customWindowPresets/1/name")));
        }
        openMenu(menu);
        QCOMPARE(menuTexts(menu), (BuiltInNames + QStringList{"|", SaveText}));
    }

    void presetSavedWhileClosedShowsAtNextOpening()
    {
        saveCustomWindowPresets({{QStringLiteral("Старый"), 1, 10}});
        auto w = openViewer();
        QMenu* menu = presetMenu(*w);
        openMenu(menu);
        // Another viewer (or this one's dialog) stores a preset while the menu is closed.
        saveCustomWindowPresets(loadCustomWindowPresets() << WindowPreset{QStringLiteral("Новый"), 70, 700});
        QVERIFY(!menuAction(menu, QStringLiteral("Новый")));
        openMenu(menu);
        const QStringList texts = menuTexts(menu);
        QCOMPARE(texts.indexOf(QStringLiteral("Новый")), texts.indexOf(SaveText) - 2);
        menuAction(menu, QStringLiteral("Новый"))->trigger();
        QCOMPARE(w->panel(0)->windowCenter(), 70.0);
        QCOMPARE(w->panel(0)->windowWidth(), 700.0);
    }

    void presetReachesThePanelActiveWhenItFires()
    {
        saveCustomWindowPresets({{QStringLiteral("Печень"), 85, 170}});
        auto w = openViewer();
        w->onGridLayoutChosen(1, 2);
        w->setActiveViewport(1);
        w->showSeriesInActivePanel(m_otherUid);
        QCOMPARE(w->panel(1)->sliceCount(), 3);
        w->setActiveViewport(0);

        // The menu is built while panel 0 is active; panel 1 is active when the entries fire.
        QMenu* menu = presetMenu(*w);
        openMenu(menu);
        const double centre0 = w->panel(0)->windowCenter();
        const double width0 = w->panel(0)->windowWidth();
        w->setActiveViewport(1);
        menuAction(menu, QStringLiteral("Печень"))->trigger();
        QCOMPARE(w->panel(1)->windowCenter(), 85.0);
        QCOMPARE(w->panel(1)->windowWidth(), 170.0);
        QVERIFY(w->panel(1)->hasUserWindow());
        QCOMPARE(w->panel(0)->windowCenter(), centre0);
        QCOMPARE(w->panel(0)->windowWidth(), width0);
        QVERIFY(!w->panel(0)->hasUserWindow());

        w->setActiveViewport(0);
        menuAction(menu, QStringLiteral("Средостение"))->trigger();
        QCOMPARE(w->panel(0)->windowCenter(), 50.0);
        QCOMPARE(w->panel(0)->windowWidth(), 350.0);
        QCOMPARE(w->panel(1)->windowWidth(), 170.0);
    }

    void presetRedrawsTheReconstructionPlane()
    {
        auto w = openViewer();
        ImageViewportWidget* panel = w->panel(0);
        panel->enterReconstructionPlane(2);
        QCOMPARE(panel->reconstructionPlane(), 2);
        const QImage before = shownImage(panel);
        QVERIFY(!before.isNull());

        QMenu* menu = presetMenu(*w);
        menuAction(menu, QStringLiteral("Мозг"))->trigger();
        QCOMPARE(panel->reconstructionPlane(), 2);
        const QImage after = shownImage(panel);

        // The same coronal plane, drawn again with the preset's window.
        QString error;
        const render::Volume volume = render::buildVolume(render::sliceSourcesFromInstances(panel->slices()), &error,
                                                          render::guessAcquisitionPlane(QStringLiteral("Axial")));
        QVERIFY2(!volume.isEmpty(), qPrintable(error));
        const QImage expected = render::renderCoronalSlice(volume, panel->reconstructedSliceIndex(), 40.0, 80.0,
                                                           panel->slabHalfWidth(), panel->slabMode())
                                    .convertToFormat(QImage::Format_RGB32);
        QCOMPARE(after.size(), expected.size());
        QCOMPARE(after, expected);
        QVERIFY(after != before);
    }
};

QTEST_MAIN(TestWindowPresets)
#include "tst_windowpresets.moc"
