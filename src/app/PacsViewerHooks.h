#pragma once
// Lets the PACS open coordinator, which lives below the windows, open and refresh viewers, and
// connects the start-up's coordinator to the requests of web pages and second instances.

class MainWindow;

namespace kalvenor {
class LocalApiServer;
}
namespace pacs {
class PacsOpenCoordinator;
}

// Installs the hooks: a new viewer goes to the study list's place for it when the study list
// exists, and is shown maximised otherwise. Called once at start-up.
void installPacsViewerHooks();

// The coordinator of start-up (a child of the study list): installs the viewer hooks, takes the
// server's open requests, refreshes the study list when a retrieve ends, and shows what requests
// from outside have to tell or ask the user, one box at a time.
pacs::PacsOpenCoordinator* createStartupPacsCoordinator(MainWindow* list, kalvenor::LocalApiServer* server);
