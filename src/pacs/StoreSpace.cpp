#include "pacs/StoreSpace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <sys/statvfs.h>

namespace pacs {

namespace {

QMutex g_probeMutex;
std::function<qint64(const QString&)> g_probe;

// statvfs of the folder or, while it does not exist yet, of its nearest parent: one system call per
// object received, where a mount table lookup would cost a file read each time.
qint64 freeBytesOnDisk(const QString& folder)
{
    // Asked for each object received, of the same folder as a rule: its path is made once.
    struct Asked
    {
        QString folder;
        QByteArray path;
    };
    thread_local Asked last;
    if (folder == last.folder) {
        struct statvfs info = {};
        if (::statvfs(last.path.constData(), &info) == 0)
            return qint64(info.f_bavail) * qint64(info.f_frsize);
    }
    QString path = QDir::cleanPath(QDir(folder).absolutePath());
    last = {folder, QFile::encodeName(path)};
    for (;;) {
        struct statvfs info = {};
        if (::statvfs(QFile::encodeName(path).constData(), &info) == 0)
            return qint64(info.f_bavail) * qint64(info.f_frsize);
        const QString parent = QFileInfo(path).absolutePath();
        if (errno != ENOENT || parent == path)
            return -1;
        path = parent;
    }
}

} // namespace

qint64 storeFreeBytes(const QString& folder)
{
    std::function<qint64(const QString&)> probe;
    {
        QMutexLocker lock(&g_probeMutex);
        probe = g_probe;
    }
    if (probe)
        return probe(folder);
    return freeBytesOnDisk(folder);
}

bool storeBelowReserve(const QString& folder)
{
    const qint64 free = storeFreeBytes(folder);
    return free >= 0 && free < kStoreFreeSpaceReserve;
}

void setStoreFreeSpaceProbe(std::function<qint64(const QString& folder)> probe)
{
    QMutexLocker lock(&g_probeMutex);
    g_probe = std::move(probe);
}

QString localDiskFullText(const QString& folder, int arrived, int sent)
{
    const QString disk = QStringLiteral("Недостаточно места на локальном диске (%1, свободно %2 МБ)")
                             .arg(QDir::toNativeSeparators(folder))
                             .arg(qMax<qint64>(0, storeFreeBytes(folder)) / (1024 * 1024));
    if (sent < 0)
        return disk + QStringLiteral(" — загрузка не начата.");
    return disk + QStringLiteral(": получено объектов — %1 из %2.").arg(arrived).arg(qMax(sent, arrived));
}

} // namespace pacs
