// The small study-list pieces that other windows reuse: column visibility, theme, modality filter.
#include "TestBench.h"
#include "ModalityFilterButton.h"
#include "TableColumnVisibility.h"
#include "Theme.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStyle>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>

namespace {

const QString kGroup = QStringLiteral("mainWindow/studyColumnVisibility");
const QString kKey = kGroup + QStringLiteral("/hiddenColumns");

QTableWidget* makeTable(int columns, QWidget* parent = nullptr, bool headerItems = true)
{
    auto* table = new QTableWidget(3, columns, parent);
    static const QStringList titles = {QStringLiteral("Пациент"), QStringLiteral("Дата рождения"),
                                       QStringLiteral("Дата исследования"), QStringLiteral("Описание"),
                                       QStringLiteral("Модальность"), QStringLiteral("Снимков")};
    if (headerItems) {
        for (int c = 0; c < columns; ++c)
            table->setHorizontalHeaderItem(c, new QTableWidgetItem(titles.value(c, QString::number(c))));
    }
    const QStringList names = {QStringLiteral("Иванов Иван Иванович"), QStringLiteral("Петрова Анна"),
                               QStringLiteral("Сидоров П. А.")};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < columns; ++c)
            table->setItem(r, c, new QTableWidgetItem(c == 0 ? names[r] : QStringLiteral("КТ %1.%2").arg(r).arg(c)));
    }
    return table;
}

QList<int> hiddenColumns(const QTableWidget* table)
{
    QList<int> hidden;
    for (int c = 0; c < table->columnCount(); ++c) {
        if (table->isColumnHidden(c))
            hidden.append(c);
    }
    return hidden;
}

// Opens the header menu as a right-click would and runs `act` on it while it is shown.
void withHeaderMenu(QTableWidget* table, const std::function<void(QMenu*)>& act)
{
    bool ran = false;
    QTimer::singleShot(0, table, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu);
        act(menu);
        ran = true;
        menu->close();
    });
    emit table->horizontalHeader()->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(ran);
}

QStringList storedHidden()
{
    QStringList out;
    for (const QVariant& v : QSettings().value(kKey).toList())
        out.append(v.toString());
    return out;
}

QList<QListWidgetItem*> items(ModalityFilterButton* button)
{
    auto* list = button->menu()->findChild<QListWidget*>();
    QList<QListWidgetItem*> out;
    for (int i = 0; list && i < list->count(); ++i)
        out.append(list->item(i));
    return out;
}

QListWidgetItem* entry(ModalityFilterButton* button, const QString& text)
{
    for (QListWidgetItem* item : items(button)) {
        if (item->text() == text)
            return item;
    }
    return nullptr;
}

} // namespace

class TestListComponents : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void init() { m_bench.reset(); }

    // ---- column visibility ----

    void hiddenColumnsPersistAcrossWidgets()
    {
        {
            std::unique_ptr<QTableWidget> table(makeTable(5));
            installColumnVisibilityMenu(table.get(), kGroup);
            QVERIFY(!QSettings().contains(kKey)); // installation writes nothing
            withHeaderMenu(table.get(), [](QMenu* menu) {
                QCOMPARE(menu->actions().size(), 5);
                QCOMPARE(menu->actions().at(3)->text(), QStringLiteral("Описание"));
                QVERIFY(menu->actions().at(3)->isChecked());
                menu->actions().at(3)->setChecked(false);
                menu->actions().at(1)->setChecked(false);
            });
            QCOMPARE(hiddenColumns(table.get()), (QList<int>{1, 3}));
            QCOMPARE(storedHidden(), (QStringList{QStringLiteral("1"), QStringLiteral("3")}));
        }
        std::unique_ptr<QTableWidget> again(makeTable(5));
        installColumnVisibilityMenu(again.get(), kGroup);
        QCOMPARE(hiddenColumns(again.get()), (QList<int>{1, 3}));
        withHeaderMenu(again.get(), [](QMenu* menu) {
            QVERIFY(!menu->actions().at(1)->isChecked());
            QVERIFY(!menu->actions().at(3)->isChecked());
            QVERIFY(menu->actions().at(0)->isChecked());
        });

        // A table of another window keeps its own set.
        std::unique_ptr<QTableWidget> other(makeTable(5));
        installColumnVisibilityMenu(other.get(), QStringLiteral("pacsDownloadDialog/resultsColumnVisibility"));
        QVERIFY(hiddenColumns(other.get()).isEmpty());
    }

    void storedValuesAreChecked_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QList<int>>("hidden");
        QTest::newRow("valid") << QVariant(QVariantList{2, 4}) << QList<int>{2, 4};
        QTest::newRow("out of range") << QVariant(QVariantList{-1, 5, 17, 3}) << QList<int>{3};
        QTest::newRow("not numbers") << QVariant(QVariantList{QStringLiteral("abc"), QStringLiteral("")}) << QList<int>{};
        QTest::newRow("single garbage string") << QVariant(QStringLiteral("x1")) << QList<int>{};
        QTest::newRow("garbage beside valid") << QVariant(QVariantList{QStringLiteral("?"), 2}) << QList<int>{2};
        QTest::newRow("every column") << QVariant(QVariantList{0, 1, 2, 3, 4}) << QList<int>{1, 2, 3, 4};
        QTest::newRow("duplicates") << QVariant(QVariantList{4, 4, 0}) << QList<int>{0, 4};
    }
    void storedValuesAreChecked()
    {
        QFETCH(QVariant, stored);
        QFETCH(QList<int>, hidden);
        QSettings().setValue(kKey, stored);
        std::unique_ptr<QTableWidget> table(makeTable(5));
        installColumnVisibilityMenu(table.get(), kGroup);
        QCOMPARE(hiddenColumns(table.get()), hidden);
    }

    void lastVisibleColumnCannotBeHidden()
    {
        QSettings().setValue(kKey, QVariantList{0, 2});
        std::unique_ptr<QTableWidget> table(makeTable(3));
        installColumnVisibilityMenu(table.get(), kGroup);
        QCOMPARE(hiddenColumns(table.get()), (QList<int>{0, 2}));
        QSettings().remove(kKey);
        withHeaderMenu(table.get(), [](QMenu* menu) {
            QAction* only = menu->actions().at(1);
            QSignalSpy toggled(only, &QAction::toggled);
            only->setChecked(false);
            QCOMPARE(toggled.size(), 1);
            QVERIFY(only->isChecked());
        });
        QCOMPARE(hiddenColumns(table.get()), (QList<int>{0, 2}));
        QVERIFY(!QSettings().contains(kKey)); // nothing written for a refused toggle
    }

    void showingAllLeavesEmptyList()
    {
        QSettings().setValue(kKey, QVariantList{1});
        std::unique_ptr<QTableWidget> table(makeTable(3, nullptr, false));
        installColumnVisibilityMenu(table.get(), kGroup);
        withHeaderMenu(table.get(), [](QMenu* menu) {
            // Without header items the entries are the zero-based numbers.
            QStringList texts;
            for (QAction* a : menu->actions())
                texts.append(a->text());
            QCOMPARE(texts, (QStringList{QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2")}));
            menu->actions().at(1)->setChecked(true);
        });
        QVERIFY(hiddenColumns(table.get()).isEmpty());
        QVERIFY(QSettings().contains(kKey));
        QVERIFY(QSettings().value(kKey).toList().isEmpty());
        std::unique_ptr<QTableWidget> again(makeTable(3));
        installColumnVisibilityMenu(again.get(), kGroup);
        QVERIFY(hiddenColumns(again.get()).isEmpty());
    }

    void menuListsColumnsAddedLater()
    {
        std::unique_ptr<QTableWidget> table(makeTable(2));
        installColumnVisibilityMenu(table.get(), kGroup);
        table->setColumnCount(4);
        withHeaderMenu(table.get(), [](QMenu* menu) { QCOMPARE(menu->actions().size(), 4); });
    }

    // ---- theme ----

    void themeDefaultsToDarkAndPersists()
    {
        QCOMPARE(loadDarkThemeSetting(), true);
        saveDarkThemeSetting(false);
        QCOMPARE(QSettings().value(QStringLiteral("theme/dark")).toBool(), false);
        QCOMPARE(loadDarkThemeSetting(), false);
        saveDarkThemeSetting(true);
        QCOMPARE(loadDarkThemeSetting(), true);
    }

    void themePaletteAndSheet_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::addColumn<QColor>("window");
        QTest::addColumn<QColor>("text");
        QTest::addColumn<QColor>("disabledText");
        QTest::addColumn<QColor>("link");
        QTest::addColumn<QString>("header");
        QTest::newRow("dark") << true << QColor(45, 45, 48) << QColor(220, 220, 220) << QColor(120, 120, 120)
                              << QColor(90, 160, 220)
                              << QStringLiteral("QHeaderView::section { background: #3a3a3e; padding: 4px; border: none;  border-bottom: 1px solid #222; }");
        QTest::newRow("light") << false << QColor(240, 240, 242) << QColor(20, 20, 20) << QColor(160, 160, 160)
                               << QColor(30, 100, 180)
                               << QStringLiteral("QHeaderView::section { background: #e8e8ea; padding: 4px; border: none;  border-bottom: 1px solid #ccc; color: #222; }");
    }
    void themePaletteAndSheet()
    {
        QFETCH(bool, dark);
        QFETCH(QColor, window);
        QFETCH(QColor, text);
        QFETCH(QColor, disabledText);
        QFETCH(QColor, link);
        QFETCH(QString, header);

        applyTheme(qApp, !dark); // start from the other look so the switch is seen
        applyTheme(qApp, dark);
        const QString sheet = qApp->styleSheet();
        {
            // The style sheet wraps the style in a proxy without a name; look beneath it.
            qApp->setStyleSheet(QString());
            QCOMPARE(QApplication::style()->name().toLower(), QStringLiteral("fusion"));
            qApp->setStyleSheet(sheet);
        }
        const QPalette p = QApplication::palette();
        QCOMPARE(p.color(QPalette::Active, QPalette::Window), window);
        QCOMPARE(p.color(QPalette::Inactive, QPalette::Text), text);
        QCOMPARE(p.color(QPalette::Disabled, QPalette::Text), disabledText);
        QCOMPARE(p.color(QPalette::Disabled, QPalette::WindowText), disabledText);
        QCOMPARE(p.color(QPalette::Disabled, QPalette::ButtonText), disabledText); // a disabled button looks it
        QCOMPARE(p.color(QPalette::Active, QPalette::Link), link);
        QCOMPARE(p.color(QPalette::Active, QPalette::Highlight), QColor(51, 119, 187));
        QCOMPARE(p.color(QPalette::Active, QPalette::HighlightedText), QColor(Qt::white));
        QCOMPARE(p.color(QPalette::Active, QPalette::BrightText), QColor(Qt::red));

        QVERIFY(sheet.startsWith(QStringLiteral(
            "QToolButton { padding: 4px 8px; border-radius: 3px; border: none; background: transparent; }"
            "QToolButton::menu-button { border: none; background: transparent; width: 14px; }")));
        QVERIFY(sheet.contains(header));
        QVERIFY(sheet.endsWith(dark ? QStringLiteral("QListWidget::item:selected { background: #3377bb; border-radius: 4px; }")
                                    : QStringLiteral("QListWidget::item:selected { background: #3377bb; border-radius: 4px; color: white; }")));
        QCOMPARE(sheet.count(QStringLiteral(" }")), 16);

        // A widget created now renders in the theme's colours.
        std::unique_ptr<QTableWidget> table(makeTable(3));
        QCOMPARE(table->palette().color(QPalette::Base), dark ? QColor(30, 30, 32) : QColor(255, 255, 255));
    }

    // ---- modality filter ----

    void modalityInitialState()
    {
        ModalityFilterButton button;
        QCOMPARE(button.popupMode(), QToolButton::InstantPopup);
        QCOMPARE(button.text(), QStringLiteral("Любая модальность"));
        QVERIFY(button.selectedModalities().isEmpty());
        QStringList texts;
        for (QListWidgetItem* item : items(&button)) {
            texts.append(item->text());
            QVERIFY(item->flags() & Qt::ItemIsUserCheckable);
        }
        QCOMPARE(texts, (QStringList{QStringLiteral("Любая модальность"), "CT", "MR", "US", "CR", "DX", "MG", "XA", "PT", "NM", "SC"}));
        QCOMPARE(items(&button).first()->checkState(), Qt::Checked);
        QCOMPARE(button.menu()->findChild<QListWidget*>()->selectionMode(), QAbstractItemView::NoSelection);
    }

    void modalityUserToggles()
    {
        ModalityFilterButton button;
        QSignalSpy changed(&button, &ModalityFilterButton::selectionChanged);
        QListWidgetItem* any = items(&button).first();

        entry(&button, "MR")->setCheckState(Qt::Checked);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(any->checkState(), Qt::Unchecked);
        QCOMPARE(button.text(), QStringLiteral("MR"));

        entry(&button, "CT")->setCheckState(Qt::Checked);
        QCOMPARE(button.text(), QStringLiteral("CT, MR"));
        QCOMPARE(button.selectedModalities(), (QStringList{"CT", "MR"}));
        entry(&button, "PT")->setCheckState(Qt::Checked);
        QCOMPARE(button.text(), QStringLiteral("CT, MR, PT"));
        QCOMPARE(changed.size(), 3);

        // "Any" wipes the three codes.
        any->setCheckState(Qt::Checked);
        QCOMPARE(changed.size(), 4);
        QVERIFY(button.selectedModalities().isEmpty());
        QCOMPARE(button.text(), QStringLiteral("Любая модальность"));

        // Unchecking the last code brings "any" back.
        entry(&button, "US")->setCheckState(Qt::Checked);
        QCOMPARE(any->checkState(), Qt::Unchecked);
        entry(&button, "US")->setCheckState(Qt::Unchecked);
        QCOMPARE(any->checkState(), Qt::Checked);
        QCOMPARE(button.text(), QStringLiteral("Любая модальность"));

        // Unchecking "any" by hand leaves nothing checked and no restriction.
        any->setCheckState(Qt::Unchecked);
        QVERIFY(button.selectedModalities().isEmpty());
        QCOMPARE(button.text(), QStringLiteral("Любая модальность"));
        QCOMPARE(changed.size(), 7);

        for (const char* code : {"CT", "MR", "US", "CR", "SC"})
            entry(&button, code)->setCheckState(Qt::Checked);
        QCOMPARE(button.text(), QStringLiteral("Модальностей: 5"));
    }

    void modalitySetSelected_data()
    {
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QStringList>("selected");
        QTest::addColumn<Qt::CheckState>("any");
        QTest::addColumn<QString>("text");
        QTest::newRow("two") << QStringList{"MR", "CT"} << QStringList{"CT", "MR"} << Qt::Unchecked << "CT, MR";
        QTest::newRow("lower case") << QStringList{"ct"} << QStringList{} << Qt::Unchecked << "Любая модальность";
        QTest::newRow("unknown") << QStringList{"OT", "XX"} << QStringList{} << Qt::Unchecked << "Любая модальность";
        QTest::newRow("empty") << QStringList{} << QStringList{} << Qt::Checked << "Любая модальность";
        QTest::newRow("four") << QStringList{"SC", "NM", "DX", "CR"} << QStringList{"CR", "DX", "NM", "SC"} << Qt::Unchecked
                              << "Модальностей: 4";
    }
    void modalitySetSelected()
    {
        QFETCH(QStringList, codes);
        QFETCH(QStringList, selected);
        QFETCH(Qt::CheckState, any);
        QFETCH(QString, text);
        ModalityFilterButton button;
        button.setSelectedModalities({"US", "XA"});
        QSignalSpy changed(&button, &ModalityFilterButton::selectionChanged);
        button.setSelectedModalities(codes);
        QCOMPARE(changed.size(), 0);
        QCOMPARE(button.selectedModalities(), selected);
        QCOMPARE(items(&button).first()->checkState(), any);
        QCOMPARE(button.text(), text);
    }

    // ---- what the user sees ----

};

QTEST_MAIN(TestListComponents)
#include "tst_listcomponents.moc"
