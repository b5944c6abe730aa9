#pragma once

#include <QString>

class QWidget;

// The settings stores write through QSettings, which drops a failed write silently. A dialog that
// has just saved calls this before it closes: when the settings file could not be written it warns
// (titled `title`) and returns false, so the dialog stays open with the user's edits instead of
// closing as if they were kept.
bool confirmSettingsWritten(QWidget* parent, const QString& title);
