#pragma once
// Finds a toolbar button's action by its object name, the way a test presses what the user clicks.

#include <QAction>
#include <QString>
#include <QToolBar>

namespace fixtures {

// The last action of the toolbar named objectName, or nullptr when there is none.
inline QAction* toolBarAction(const QToolBar* toolBar, const QString& objectName)
{
    QAction* found = nullptr;
    for (QAction* a : toolBar->actions()) {
        if (a->objectName() == objectName)
            found = a;
    }
    return found;
}

} // namespace fixtures
