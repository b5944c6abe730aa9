#pragma once
// Finds the viewer window the program has put on screen (the portable launch and study opening
// flows show one without handing it back).

#include "viewer/ViewerWindow.h"

#include <QApplication>
#include <QList>
#include <QWidget>

namespace fixtures {

// The first visible top-level viewer window, or nullptr when none is shown.
inline ViewerWindow* visibleViewer()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = qobject_cast<ViewerWindow*>(w); v && v->isVisible())
            return v;
    return nullptr;
}

// Every visible top-level viewer window, in the order Qt lists them.
inline QList<ViewerWindow*> visibleViewers()
{
    QList<ViewerWindow*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* v = qobject_cast<ViewerWindow*>(w); v && v->isVisible())
            out << v;
    return out;
}

} // namespace fixtures
