#pragma once

#include <QString>

class QWidget;

// Fetches the vendor's "version.json" ({"version": "…", "url": "…"}) and offers the download page when
// the version in it is newer than this build's. Returns at once; the answer is handled on the GUI
// thread. The request objects live under `parent`: destroying it drops an unanswered check.
// In start-up mode only a newer version is announced; every failure stays silent.
void checkForUpdates(QWidget* parent, bool startupMode);

// True when `remote` is a later dotted version than `current`: parts compared as integers from the
// left, a missing or non-numeric part counting 0.
bool isNewerVersion(const QString& remote, const QString& current);

// A check that has received nothing for this long gives up as a network error (15 s unless changed;
// tests shorten it).
void setUpdateCheckTimeout(int milliseconds);
