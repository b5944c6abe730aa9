#pragma once
// Finds the viewer window the program has put on screen (the portable launch and study opening
// flows show one without handing it back).

#include "viewer/ViewerWindow.h"

#include <QApplication>
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

} // namespace fixtures
