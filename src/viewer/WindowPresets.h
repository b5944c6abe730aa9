#pragma once

#include <QList>
#include <QString>

class QMenu;
class QToolButton;
class QWidget;
class ViewerWindow;

// A named window centre and width (HU for CT).
struct WindowPreset
{
    QString name;
    double center = 0.0;
    double width = 0.0;
};

// The six built-in presets, one read-only table for the whole program.
const QList<WindowPreset>& builtInWindowPresets();

// User presets live only in the settings array "customWindowPresets"; every call reads or writes
// the whole array, so several open viewers never overwrite each other's fresh entries from a cache.
QList<WindowPreset> loadCustomWindowPresets();
void saveCustomWindowPresets(const QList<WindowPreset>& presets);

// Fills the preset menu: built-in presets, the user presets, "save current" and, when there are
// user presets, "delete". Each preset entry applies to the panel that is active when it fires.
void rebuildWindowPresetMenu(ViewerWindow* viewer, QMenu* menu);
// The built-in presets only, for the reduced toolbar of the portable viewer.
void fillBuiltInWindowPresetMenu(ViewerWindow* viewer, QMenu* menu);

// Asks for a name and stores the active panel's current window under it.
void saveCurrentWindowAsPreset(ViewerWindow* viewer);
// Asks which user preset to remove and removes every entry of that name.
void deleteCustomWindowPreset(ViewerWindow* viewer);
// Gives the viewer's active panel this window; an empty panel ignores it.
void applyWindowToActivePanel(ViewerWindow* viewer, double center, double width);

// The toolbar button "Window/Level presets" with its instant-popup menu, rebuilt before every
// showing. builtInOnly gives the portable viewer's fixed list of built-in presets.
QToolButton* createWindowPresetButton(ViewerWindow* viewer, QWidget* parent, bool builtInOnly = false);
