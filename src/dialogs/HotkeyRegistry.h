#pragma once
// The user-assignable keyboard shortcuts of the study list and the 2D viewer. Windows ask
// hotkeySequence() for each action when they build it, so a change reaches windows opened later.

#include <QKeySequence>
#include <QList>
#include <QString>

struct HotkeyAction
{
    QString id;                   // identifier and key in the settings group "hotkeys"
    QString label;                // shown in the hotkey dialog
    QKeySequence defaultSequence; // in force while the user has stored no override
};

// Built once, kept for the life of the process, in the order the dialog lists it.
const QList<HotkeyAction>& hotkeyRegistry();

// The user's override when one is stored (an empty override means no shortcut), else the
// registry default, else an empty sequence for an unknown identifier.
QKeySequence hotkeySequence(const QString& actionId);

// The window an action belongs to ("viewer", "mainwindow"): shortcuts need to be distinct only
// among the actions of one window, since only those can be triggered together.
QString hotkeyWindowOf(const QString& actionId);
