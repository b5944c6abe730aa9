#pragma once
// Points the program's QSettings at a test's own folder and empties it between cases, so a test
// never reads or writes the user's real settings and every case starts from the defaults.

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QString>

#include <sys/stat.h>

namespace fixtures {

// Names the program as it runs in the field, so settings and data folders are found where it keeps them.
inline void useProgramNames()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
    QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
}

// The program's names, with both native and INI user settings stored under dir.
inline void useSettingsFolder(const QString& dir)
{
    useProgramNames();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir);
}

// Removes every stored key and writes the empty file back.
inline void clearSettings()
{
    QSettings settings;
    settings.clear();
    settings.sync();
}

// The permission bits of a file or folder (0644, 0700 …); -1 when it cannot be read.
inline int fileMode(const QString& path)
{
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace fixtures
