#include "platform/SingleInstanceLock.h"

#include "platform/OwnFileDoor.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

const qint64 kSettleMs = 2000;

QString runtimeFolder()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty())
        folder = QDir::tempPath();
    return folder;
}

// Why no file can be made where the lock goes: found by making one of the lock's size beside it, as
// the lock file itself does not tell.
QString creationFailure(const QString& path)
{
    const QString probe = QStringLiteral("%1.probe-%2").arg(path).arg(QCoreApplication::applicationPid());
    const int fd = ::open(QFile::encodeName(probe).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    int code = fd < 0 ? errno : 0;
    if (fd >= 0) {
        const QByteArray bytes(256, '\n');
        if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size() || ::fsync(fd) != 0)
            code = errno ? errno : EIO;
        const FileId made = FileId::ofOpen(fd);
        ::close(fd);
        OwnFileDoor({QFileInfo(probe).path()}).remove(probe, OwnProof::made(made));
    }
    switch (code) {
    case 0:
        return QStringLiteral("не удалось создать файл блокировки %1").arg(QDir::toNativeSeparators(path));
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("на диске с папкой %1 нет места").arg(QDir::toNativeSeparators(QFileInfo(path).path()));
    case EACCES:
    case EPERM:
        return QStringLiteral("нет прав на запись в папку %1").arg(QDir::toNativeSeparators(QFileInfo(path).path()));
    case ENOENT:
        return QStringLiteral("папки %1 нет").arg(QDir::toNativeSeparators(QFileInfo(path).path()));
    case ENOTDIR:
        return QStringLiteral("на месте папки %1 лежит файл").arg(QDir::toNativeSeparators(QFileInfo(path).path()));
    case EROFS:
        return QStringLiteral("папка %1 доступна только для чтения").arg(QDir::toNativeSeparators(QFileInfo(path).path()));
    default:
        return QStringLiteral("не удалось создать файл блокировки %1: %2")
            .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(std::strerror(code)));
    }
}

} // namespace

SingleInstanceLock::SingleInstanceLock(const QString& name)
    : m_path(QDir(runtimeFolder()).filePath(name))
{
}

SingleInstanceLock::SingleInstanceLock(const QString& name, const QString& folder)
    : m_path(QDir(folder).filePath(name))
{
}

SingleInstanceLock::~SingleInstanceLock() = default;

bool SingleInstanceLock::anotherInstanceRunning()
{
    if (isHeld())
        return false;
    m_failure.clear();
    m_lock = std::make_unique<QLockFile>(m_path);
    // Age alone must never make a live copy's lock look abandoned: with no stale time, QLockFile
    // takes a lock over only when the process id it recorded is gone.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return false;

    if (m_lock->error() != QLockFile::LockFailedError) {
        qWarning() << "SingleInstanceLock: cannot create" << m_path << "error" << int(m_lock->error());
        m_failure = creationFailure(m_path);
        m_lock.reset();
        return false;
    }

    // Something other than a file in the lock's place (a folder, a link to nowhere) was put there by no
    // copy of this program, and no lock can ever be made there.
    const QFileInfo info(m_path);
    if (!info.isFile() && (info.exists() || info.isSymLink())) {
        qWarning() << "SingleInstanceLock: cannot create" << m_path << "- something else is in its place";
        m_failure = QStringLiteral("на месте файла блокировки %1 лежит другое").arg(QDir::toNativeSeparators(m_path));
        m_lock.reset();
        return false;
    }

    // A file the killed copy left half-written, or whose process id now names another program, still
    // has to give way. The holder keeps an advisory lock on the open file for its whole life, and
    // removal takes that lock first, so it cannot remove a live copy's file. Young files are left
    // alone so as not to race a copy that is creating its lock right now.
    const bool settled = info.exists() && info.lastModified().msecsTo(QDateTime::currentDateTime()) > kSettleMs;
    if (settled && m_lock->removeStaleLockFile() && m_lock->tryLock(0))
        return false;

    m_lock.reset();
    return true;
}

bool SingleInstanceLock::isHeld() const
{
    return m_lock && m_lock->isLocked();
}

} // namespace platform
