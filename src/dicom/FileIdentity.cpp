#include "dicom/FileIdentity.h"

#include <QFile>

#include <sys/stat.h>

namespace dicom {

FileIdentity fileIdentity(const QString& path)
{
    FileIdentity identity;
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return identity;
    identity.size = qint64(info.st_size);
    identity.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000ll + qint64(info.st_mtim.tv_nsec);
    identity.inode = quint64(info.st_ino);
    identity.device = quint64(info.st_dev);
    return identity;
}

} // namespace dicom
