#include "dicom/FileIdentity.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace dicom {

namespace {

FileIdentity identityOf(const struct stat& info)
{
    FileIdentity identity;
    identity.size = qint64(info.st_size);
    identity.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000ll + qint64(info.st_mtim.tv_nsec);
    identity.inode = quint64(info.st_ino);
    identity.device = quint64(info.st_dev);
    identity.statusChangedNs = qint64(info.st_ctim.tv_sec) * 1000000000ll + qint64(info.st_ctim.tv_nsec);
    identity.regular = S_ISREG(info.st_mode);
    return identity;
}

} // namespace

QString FileIdentity::text() const
{
    if (!exists())
        return {};
    return QStringLiteral("%1:%2:%3:%4:%5")
        .arg(device)
        .arg(inode)
        .arg(size)
        .arg(modifiedNs)
        .arg(statusChangedNs);
}

FileIdentity fileIdentity(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return identityOf(info);
}

FileIdentity fileIdentity(int fd)
{
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0)
        return {};
    return identityOf(info);
}

bool sameFileBytes(const QString& a, const QString& b)
{
    const QFileInfo infoA(a), infoB(b);
    if (infoA.isSymLink() || !infoA.isFile() || infoB.isSymLink() || !infoB.isFile() || infoA.size() != infoB.size())
        return false;
    QFile fileA(a), fileB(b);
    if (!fileA.open(QIODevice::ReadOnly) || !fileB.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 kChunk = 1 << 20;
    while (!fileA.atEnd()) {
        const QByteArray chunk = fileA.read(kChunk);
        if (chunk.isEmpty() || fileB.read(kChunk) != chunk)
            return false;
    }
    return fileB.atEnd();
}

} // namespace dicom
