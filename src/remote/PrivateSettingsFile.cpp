#include "remote/PrivateSettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString causeText(int code)
{
    switch (code) {
    case EPERM:
        return QStringLiteral("владелец — другой пользователь");
    case EACCES:
        return QStringLiteral("нет доступа к папке");
    case EROFS:
        return QStringLiteral("диск доступен только для чтения");
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("на диске нет места");
    case ENOENT:
    case ENOTDIR:
        return QStringLiteral("путь не найден");
    default:
        return QStringLiteral("системная ошибка %1").arg(code);
    }
}

bool fail(QString* error, const QString& path, int code)
{
    if (error)
        *error = QStringLiteral("Файл настроек с параметрами удалённого доступа может быть доступен другим "
                                "пользователям компьютера: не удалось закрыть доступ к %1 (%2).")
                     .arg(QDir::toNativeSeparators(path), causeText(code));
    return false;
}

} // namespace

bool keepSettingsFilePrivate(const QSettings& settings, QString* error)
{
    const QString path = settings.fileName();
    const QString folder = QFileInfo(path).absolutePath();
    errno = 0;
    if (!QDir().mkpath(folder))
        return fail(error, folder, errno ? errno : EACCES);
    const QByteArray file = QFile::encodeName(path);
    struct stat info {};
    if (::stat(file.constData(), &info) != 0) {
        if (errno != ENOENT)
            return fail(error, path, errno);
        // Made here, with owner-only rights from the start: the settings writer gives a new file those
        // of the umask.
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd < 0 && errno != EEXIST)
            return fail(error, path, errno);
        if (fd >= 0)
            ::close(fd);
    }
    // Only the rights are changed, by path: a file left read-only (0444) is narrowed as well, which
    // opening it for writing first could not.
    if (::chmod(QFile::encodeName(folder).constData(), S_IRWXU) != 0)
        return fail(error, folder, errno);
    if (::chmod(file.constData(), S_IRUSR | S_IWUSR) != 0)
        return fail(error, path, errno);
    return true;
}

bool keepConnectionSettingsPrivate(QString* error)
{
    const QSettings settings;
    const QStringList groups = settings.childGroups();
    for (const char* group : {"remoteAccess", "remoteBrowserConnection", "remoteServers"}) {
        if (groups.contains(QLatin1String(group)))
            return keepSettingsFilePrivate(settings, error);
    }
    return true;
}
