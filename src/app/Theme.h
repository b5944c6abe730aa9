#pragma once
// The application-wide light and dark looks, chosen by the setting "theme/dark".

class QApplication;
class QString;

// Replaces the style (Fusion), the palette and the whole style sheet of the application.
void applyTheme(QApplication* app, bool dark);

// "theme/dark"; a first start (nothing stored) is dark.
bool loadDarkThemeSetting();
void saveDarkThemeSetting(bool dark);

// The application style sheet that applyTheme sets for the given theme.
QString themeStyleSheet(bool dark);
