#include "platform/SingleInstanceLock.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtDebug>

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
    m_lock = std::make_unique<QLockFile>(m_path);
    // Age alone must never make a live copy's lock look abandoned: with no stale time, QLockFile
    // takes a lock over only when the process id it recorded is gone.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0))
        return false;

    if (m_lock->error() != QLockFile::LockFailedError) {
        qWarning() << "SingleInstanceLock: cannot create" << m_path << "error" << int(m_lock->error());
        m_lock.reset();
        return false;
    }

    // Something other than a file in the lock's place (a folder, a link to nowhere) was put there by no
    // copy of this program, and no lock can ever be made there.
    const QFileInfo info(m_path);
    if (!info.isFile() && (info.exists() || info.isSymLink())) {
        qWarning() << "SingleInstanceLock: cannot create" << m_path << "- something else is in its place";
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
