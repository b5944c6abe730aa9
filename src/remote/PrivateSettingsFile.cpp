#include "remote/PrivateSettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool keepSettingsFilePrivate(const QSettings& settings)
{
    const QString path = settings.fileName();
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return false;
    const QByteArray file = QFile::encodeName(path);
    // Made here, with owner-only rights from the start: the settings writer keeps the rights of a file
    // that exists, and gives a new one those of the umask.
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0)
        return false;
    ::close(fd);
    return ::chmod(QFile::encodeName(folder).constData(), S_IRWXU) == 0
           && ::chmod(file.constData(), S_IRUSR | S_IWUSR) == 0;
}

bool keepConnectionSettingsPrivate()
{
    const QSettings settings;
    const QStringList groups = settings.childGroups();
    for (const char* group : {"remoteAccess", "remoteBrowserConnection", "remoteServers"}) {
        if (groups.contains(QLatin1String(group)))
            return keepSettingsFilePrivate(settings);
    }
    return true;
}
