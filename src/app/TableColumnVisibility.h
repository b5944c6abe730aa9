#pragma once
// Lets the user hide and show the columns of a table from its header's context menu, remembering the
// hidden columns as "hiddenColumns" under the caller's settings group.

class QTableWidget;
class QString;

// Call once, after the table's columns and header items exist.
void installColumnVisibilityMenu(QTableWidget* table, const QString& settingsGroup);

// Writes the table's current hidden set (an empty list when every column is shown).
void saveHiddenColumns(QTableWidget* table, const QString& settingsGroup);
