#pragma once
// Showing a file to the user in the system's file manager. The desktop has no common way to select
// one file there, so the folder that holds it is opened.

#include <QString>

namespace platform {

// Opens the folder that holds `filePath` through the desktop services; false when nothing opened it.
bool showFileInFolder(const QString& filePath);

} // namespace platform
