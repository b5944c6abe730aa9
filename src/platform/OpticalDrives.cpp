#include "platform/OpticalDrives.h"

#include <QDir>
#include <QFile>
#include <QMutex>

namespace platform {

namespace {
QMutex g_rootMutex;
QString g_root = QStringLiteral("/");

QByteArray readSmallFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(64 * 1024);
}
} // namespace

QStringList opticalDriveNames(const QString& systemRoot)
{
    QStringList names;
    const QDir root(systemRoot);
    const QDir block(root.filePath(QStringLiteral("sys/block")));
    for (const QString& dev : block.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        // SCSI peripheral type 5 is a CD/DVD device.
        const QByteArray type = readSmallFile(block.filePath(dev + QStringLiteral("/device/type"))).trimmed();
        if (type == "5")
            names << dev;
    }
    // "drive name:	sr0	sr1" — drives that some kernels list only here.
    const QByteArray info = readSmallFile(root.filePath(QStringLiteral("proc/sys/dev/cdrom/info")));
    for (const QByteArray& line : info.split('\n')) {
        if (!line.startsWith("drive name:"))
            continue;
        for (const QByteArray& part : line.mid(11).simplified().split(' ')) {
            const QString name = QString::fromLatin1(part);
            if (!name.isEmpty() && !names.contains(name))
                names << name;
        }
    }
    return names;
}

QString systemRoot()
{
    QMutexLocker lock(&g_rootMutex);
    return g_root;
}

void setSystemRoot(const QString& root)
{
    QMutexLocker lock(&g_rootMutex);
    g_root = root.isEmpty() ? QStringLiteral("/") : root;
}

} // namespace platform
