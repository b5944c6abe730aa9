#include "app/TableColumnVisibility.h"

#include <QAction>
#include <QHeaderView>
#include <QMenu>
#include <QSet>
#include <QSettings>
#include <QTableWidget>

namespace {

const char* const kHiddenKey = "hiddenColumns";

int visibleColumnCount(const QTableWidget* table)
{
    int shown = 0;
    for (int i = 0; i < table->columnCount(); ++i) {
        if (!table->isColumnHidden(i))
            ++shown;
    }
    return shown;
}

void onColumnToggled(QTableWidget* table, int column, const QString& group, QAction* action, bool checked)
{
    if (checked) {
        table->setColumnHidden(column, false);
        saveHiddenColumns(table, group);
        return;
    }
    if (visibleColumnCount(table) > 1) {
        table->setColumnHidden(column, true);
        saveHiddenColumns(table, group);
        return;
    }
    // The last visible column stays: a table without columns would leave no header to right-click.
    const bool wasBlocked = action->blockSignals(true);
    action->setChecked(true);
    action->blockSignals(wasBlocked);
}

void showHeaderMenu(QTableWidget* table, const QString& group, const QPoint& pos)
{
    QMenu menu(table);
    for (int i = 0; i < table->columnCount(); ++i) {
        const QTableWidgetItem* header = table->horizontalHeaderItem(i);
        QAction* action = menu.addAction(header ? header->text() : QString::number(i));
        action->setCheckable(true);
        action->setChecked(!table->isColumnHidden(i));
        QObject::connect(action, &QAction::toggled, table, [table, i, group, action](bool checked) {
            onColumnToggled(table, i, group, action, checked);
        });
    }
    menu.exec(table->horizontalHeader()->mapToGlobal(pos));
}

} // namespace

void installColumnVisibilityMenu(QTableWidget* table, const QString& settingsGroup)
{
    if (!table)
        return;

    QSettings settings;
    settings.beginGroup(settingsGroup);
    const QVariantList stored = settings.value(QString::fromLatin1(kHiddenKey)).toList();
    settings.endGroup();

    const int columns = table->columnCount();
    QSet<int> hidden;
    for (const QVariant& entry : stored) {
        bool ok = false;
        const int index = entry.toInt(&ok);
        // A damaged entry hides nothing rather than silently hiding the first column.
        if (ok && index >= 0 && index < columns)
            hidden.insert(index);
    }
    // A stored set that covers every column would leave an empty table with no header to bring
    // the columns back from; the first column then stays shown.
    if (columns > 0 && hidden.size() == columns)
        hidden.remove(0);
    for (int index : std::as_const(hidden))
        table->setColumnHidden(index, true);

    QHeaderView* header = table->horizontalHeader();
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(header, &QHeaderView::customContextMenuRequested, table, [table, settingsGroup](const QPoint& pos) {
        showHeaderMenu(table, settingsGroup, pos);
    });
}

void saveHiddenColumns(QTableWidget* table, const QString& settingsGroup)
{
    if (!table)
        return;
    QVariantList hidden;
    for (int i = 0; i < table->columnCount(); ++i) {
        if (table->isColumnHidden(i))
            hidden.append(i);
    }
    QSettings settings;
    settings.beginGroup(settingsGroup);
    settings.setValue(QString::fromLatin1(kHiddenKey), hidden);
    settings.endGroup();
}
