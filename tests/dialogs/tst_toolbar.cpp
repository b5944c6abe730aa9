// The viewer toolbar catalogue, the merge of the stored arrangement with it, and the customisation
// dialog's round trip through the settings (in a temporary folder).

#include "support/ModalAnswer.h"
#include "support/SettingsFileHelpers.h"
#include "dialogs/ToolbarCatalogue.h"
#include "dialogs/ToolbarCustomizeDialog.h"

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using fixtures::ModalAnswer;

namespace {

const QString kOrder = QStringLiteral("toolbar/order");
const QString kHidden = QStringLiteral("toolbar/hidden");

QStringList catalogueIds()
{
    QStringList ids;
    for (const ToolbarActionEntry& entry : viewerToolbarActionCatalogue())
        ids << entry.id;
    return ids;
}

// An arrangement written compactly: ids in order, a hidden one prefixed with "!".
QStringList describe(const QList<ToolbarActionEntry>& entries)
{
    QStringList out;
    for (const ToolbarActionEntry& entry : entries)
        out << (entry.visibleByDefault ? entry.id : QLatin1Char('!') + entry.id);
    return out;
}

QStringList describe(const QListWidget* list)
{
    QStringList out;
    for (int row = 0; row < list->count(); ++row) {
        const QListWidgetItem* item = list->item(row);
        const QString id = item->data(Qt::UserRole).toString();
        out << (item->checkState() == Qt::Checked ? id : QLatin1Char('!') + id);
    }
    return out;
}

QStringList hiddenAll(const QStringList& ids)
{
    QStringList out;
    for (const QString& id : ids)
        out << QLatin1Char('!') + id;
    return out;
}

void store(const QStringList& order, const QStringList& hidden)
{
    QSettings settings;
    settings.setValue(kOrder, order);
    settings.setValue(kHidden, hidden);
}

// Runs showToolbarCustomizeDialog, lets `act` work on the open dialog, then closes it with `result`.
void runDialog(int result, const std::function<void(ToolbarCustomizeDialog*)>& act)
{
    ModalAnswer answer(QMessageBox::Ok, result);
    bool seen = false;
    answer.setDialogHandler([&](QDialog* dialog) {
        auto* customize = qobject_cast<ToolbarCustomizeDialog*>(dialog);
        if (customize && !seen) {
            seen = true;
            act(customize);
        }
        return true;
    });
    QWidget parent;
    showToolbarCustomizeDialog(&parent);
    QVERIFY(seen);
}

} // namespace

class TestToolbar : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void catalogue();
    void merge_data();
    void merge();

    void noSettingsListsCatalogue();
    void reorderAndHideRoundTrip();
    void unknownIdLeavesSettings();
    void allUncheckedStoresAllHidden();
    void restoreThenCancelWritesNothing();
    void restoreThenAcceptStoresDefaults();

private:
    QTemporaryDir m_config;
};

void TestToolbar::initTestCase()
{
    QVERIFY(m_config.isValid());
    fixtures::useSettingsFolder(m_config.path());
    QVERIFY(QSettings().fileName().startsWith(m_config.path()));
}

void TestToolbar::init()
{
    fixtures::clearSettings();
}

void TestToolbar::catalogue()
{
    // Ids are the stored keys: they must be unique, and every entry shows by default.
    const QList<ToolbarActionEntry> entries = viewerToolbarActionCatalogue();
    const QStringList ids = catalogueIds();
    QCOMPARE(ids.size(), 11);
    QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), entries.size());
    for (const ToolbarActionEntry& entry : entries)
        QVERIFY2(entry.visibleByDefault && !entry.label.isEmpty(), qPrintable(entry.id));
}

void TestToolbar::merge_data()
{
    QTest::addColumn<QStringList>("order");
    QTest::addColumn<QStringList>("hidden");
    QTest::addColumn<QStringList>("expected");

    const QStringList all = catalogueIds();
    QStringList reversed(all.rbegin(), all.rend());
    QStringList withoutLast = all.mid(0, all.size() - 1);

    QTest::newRow("no settings") << QStringList() << QStringList() << all;
    QTest::newRow("hidden without order ignored") << QStringList() << QStringList{"print"} << all;
    QTest::newRow("stored order kept") << reversed << QStringList{"invert"}
                                       << QStringList(reversed).replaceInStrings(QRegularExpression("^invert$"), "!invert");
    QTest::newRow("unknown id dropped") << (QStringList{"ghost"} + all + QStringList{"alsoGone"})
                                        << QStringList{"ghost"} << all;
    QTest::newRow("missing id appended, shown although hidden")
        << QStringList{"print", "backToList"} << QStringList{"print", "classifications"}
        << (QStringList{"!print", "backToList"} + all.mid(2));
    QTest::newRow("last missing") << withoutLast << QStringList{"classifications"} << all;
    QTest::newRow("all hidden") << all << all << hiddenAll(all);
    QTest::newRow("repeated ids placed at first listing")
        << (QStringList{"invert", "print", "invert", "print"} + all) << QStringList{"invert"}
        << (QStringList{"!invert", "print", "backToList"} + all.mid(3));
    QTest::newRow("comparison is case-sensitive")
        << (QStringList{"Print"} + all.mid(2) + QStringList{"backToList"}) << QStringList{"CALCULATORS"}
        << (all.mid(2) + QStringList{"backToList", "print"});
}

void TestToolbar::merge()
{
    QFETCH(QStringList, order);
    QFETCH(QStringList, hidden);
    QFETCH(QStringList, expected);
    const QList<ToolbarActionEntry> merged = mergeToolbarArrangement(viewerToolbarActionCatalogue(), order, hidden);
    QCOMPARE(describe(merged), expected);
    // Labels travel with their ids.
    for (const ToolbarActionEntry& entry : merged) {
        for (const ToolbarActionEntry& original : viewerToolbarActionCatalogue()) {
            if (original.id == entry.id)
                QCOMPARE(entry.label, original.label);
        }
    }
}

void TestToolbar::noSettingsListsCatalogue()
{
    QStringList shown;
    runDialog(QDialog::Rejected, [&](ToolbarCustomizeDialog* dialog) { shown = describe(dialog->listWidget()); });
    QCOMPARE(shown, catalogueIds());
    QSettings settings;
    QVERIFY(!settings.contains(kOrder));
    QVERIFY(!settings.contains(kHidden));
}

void TestToolbar::reorderAndHideRoundTrip()
{
    runDialog(QDialog::Accepted, [](ToolbarCustomizeDialog* dialog) {
        QAbstractItemModel* model = dialog->listWidget()->model();
        // "classifications" to the top, "print" (now row 2) unchecked, "invert" down below "selectAll".
        QVERIFY(model->moveRow(QModelIndex(), 10, QModelIndex(), 0));
        QVERIFY(model->setData(model->index(2, 0), Qt::Unchecked, Qt::CheckStateRole));
        QVERIFY(model->moveRow(QModelIndex(), 3, QModelIndex(), 5));
        QVERIFY(model->setData(model->index(10, 0), Qt::Unchecked, Qt::CheckStateRole));
    });
    const QStringList expectedOrder{"classifications", "backToList", "print", "selectAll", "invert", "compare",
                                    "clearMeasurements", "syncSlices", "wheelSeries", "dicomTags", "calculators"};
    QSettings settings;
    QCOMPARE(settings.value(kOrder).toStringList(), expectedOrder);
    QCOMPARE(settings.value(kHidden).toStringList(), (QStringList{"print", "calculators"}));

    // The next opening shows what was stored.
    QStringList shown;
    runDialog(QDialog::Rejected, [&](ToolbarCustomizeDialog* dialog) { shown = describe(dialog->listWidget()); });
    QStringList expectedShown = expectedOrder;
    expectedShown[2] = "!print";
    expectedShown[10] = "!calculators";
    QCOMPARE(shown, expectedShown);
}

void TestToolbar::unknownIdLeavesSettings()
{
    store(QStringList{"retired"} + catalogueIds(), QStringList{"retired", "dicomTags"});
    QStringList shown;
    runDialog(QDialog::Accepted, [&](ToolbarCustomizeDialog* dialog) { shown = describe(dialog->listWidget()); });
    QVERIFY(!shown.contains("retired"));
    QSettings settings;
    QCOMPARE(settings.value(kOrder).toStringList(), catalogueIds());
    QCOMPARE(settings.value(kHidden).toStringList(), QStringList{"dicomTags"});
}

void TestToolbar::allUncheckedStoresAllHidden()
{
    runDialog(QDialog::Accepted, [](ToolbarCustomizeDialog* dialog) {
        for (int row = 0; row < dialog->listWidget()->count(); ++row)
            dialog->listWidget()->item(row)->setCheckState(Qt::Unchecked);
    });
    QSettings settings;
    QCOMPARE(settings.value(kOrder).toStringList(), catalogueIds());
    QCOMPARE(settings.value(kHidden).toStringList(), catalogueIds());
}

void TestToolbar::restoreThenCancelWritesNothing()
{
    const QStringList order{"wheelSeries", "print", "backToList"};
    store(order, QStringList{"print"});
    QStringList before;
    QStringList after;
    runDialog(QDialog::Rejected, [&](ToolbarCustomizeDialog* dialog) {
        before = describe(dialog->listWidget());
        QPushButton* restore = nullptr;
        for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
            if (button->text() == QStringLiteral("Восстановить порядок и видимость по умолчанию"))
                restore = button;
        }
        QVERIFY(restore);
        restore->click();
        after = describe(dialog->listWidget());
    });
    QCOMPARE(before.mid(0, 3), (QStringList{"wheelSeries", "!print", "backToList"}));
    QCOMPARE(after, catalogueIds());
    QSettings settings;
    QCOMPARE(settings.value(kOrder).toStringList(), order);
    QCOMPARE(settings.value(kHidden).toStringList(), QStringList{"print"});
}

void TestToolbar::restoreThenAcceptStoresDefaults()
{
    store(QStringList{"calculators", "dicomTags"}, catalogueIds());
    runDialog(QDialog::Accepted, [](ToolbarCustomizeDialog* dialog) {
        for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
            if (button->text() == QStringLiteral("Восстановить порядок и видимость по умолчанию"))
                button->click();
        }
    });
    QSettings settings;
    QCOMPARE(settings.value(kOrder).toStringList(), catalogueIds());
    QVERIFY(settings.contains(kHidden));
    QCOMPARE(settings.value(kHidden).toStringList(), QStringList());
}

QTEST_MAIN(TestToolbar)
#include "tst_toolbar.moc"
