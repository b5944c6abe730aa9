#pragma once
// Finds a study's row in the main window's study table by its Study Instance UID, as the tests
// that click or open a study need to.

#include "app/MainWindow.h"

#include <QString>
#include <QTableWidget>

namespace fixtures {

// The row whose first cell carries the study's UID, or -1 when the table does not list it.
inline int studyRow(const QTableWidget* table, const QString& studyUid)
{
    for (int r = 0; r < table->rowCount(); ++r)
        if (table->item(r, 0) && table->item(r, 0)->data(StudyUidRole).toString() == studyUid)
            return r;
    return -1;
}

} // namespace fixtures
