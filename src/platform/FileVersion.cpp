#include "platform/FileVersion.h"

#include <QFile>

#include <sys/stat.h>

namespace platform {

FileVersion FileVersion::of(const QString& path)
{
    FileVersion version;
    struct stat st {};
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &st) != 0)
        return version;
    version.device = quint64(st.st_dev);
    version.inode = quint64(st.st_ino);
    version.size = qint64(st.st_size);
    version.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000ll + qint64(st.st_mtim.tv_nsec);
    version.changedNs = qint64(st.st_ctim.tv_sec) * 1000000000ll + qint64(st.st_ctim.tv_nsec);
    version.known = true;
    version.regular = S_ISREG(st.st_mode);
    return version;
}

QString FileVersion::text() const
{
    if (!known)
        return {};
    return QStringLiteral("%1:%2:%3:%4:%5").arg(device).arg(inode).arg(size).arg(modifiedNs).arg(changedNs);
}

} // namespace platform
