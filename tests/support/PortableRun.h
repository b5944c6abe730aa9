#pragma once
// Portable mode run on a folder as the program runs it, with a look at the viewer it puts on screen.

#include "support/VisibleViewer.h"

#include "app/PortableSession.h"

#include <QApplication>
#include <QTimer>

#include <functional>

namespace fixtures {

// Runs portable mode on the folder and returns its exit code. `look` sees the visible viewer at every
// tick until it returns true; the viewer is then closed as a user would, which ends the run. A run
// that has not ended after 30 seconds ends with code 99.
inline int runPortableWatching(const QString& folder, const std::function<bool(ViewerWindow*)>& look)
{
    QTimer probe;
    probe.setInterval(20);
    QObject::connect(&probe, &QTimer::timeout, qApp, [&] {
        ViewerWindow* viewer = visibleViewer();
        if (!viewer || !look(viewer))
            return;
        probe.stop();
        viewer->close();
    });
    probe.start();
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
    guard.start(30000);
    return runPortableMode(*qApp, folder);
}

} // namespace fixtures
