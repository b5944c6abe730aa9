#include "platform/DataFolderLock.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSysInfo>
#include <QtDebug>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

// A host name is at most 253 characters; what the file says beyond that, or outside printable text,
// was not written by a copy of the program.
constexpr int kMaxHolderBytes = 512;

// Whole-file write lock, without waiting. Locks of the open file itself, not of the process: no other
// descriptor of this process that opens and closes the file can drop it, and a second lock taken in
// this process meets the first. Where the file system knows only the older per-process locks, those.
int lockWhole(int fd)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    const int rc = ::fcntl(fd, F_OFD_SETLK, &whole);
    if (rc == 0 || errno != EINVAL)
        return rc;
    whole.l_pid = 0;
    return ::fcntl(fd, F_SETLK, &whole);
}

DataFolderLock::Holder readHolder(int fd)
{
    QByteArray bytes(kMaxHolderBytes, '\0');
    const ssize_t got = ::pread(fd, bytes.data(), size_t(bytes.size()), 0);
    bytes.truncate(got > 0 ? qsizetype(got) : 0);
    const QList<QByteArray> lines = bytes.split('\n');
    DataFolderLock::Holder holder;
    holder.pid = lines.value(0).trimmed().toLongLong();
    const QString host = QString::fromUtf8(lines.value(1).trimmed());
    const bool printable = std::all_of(host.cbegin(), host.cend(), [](QChar c) { return c.isPrint(); });
    if (printable && host.size() <= 253)
        holder.host = host;
    return holder;
}

// Where the others read it, also from another computer: written through to the file server.
void writeHolder(int fd)
{
    const QByteArray bytes = QByteArray::number(QCoreApplication::applicationPid()) + '\n'
        + QSysInfo::machineHostName().toUtf8() + '\n';
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, bytes.constData(), size_t(bytes.size()), 0) != bytes.size()
        || ::fdatasync(fd) != 0)
        qWarning() << "DataFolderLock: cannot say who holds the lock:" << std::strerror(errno);
}

} // namespace

bool DataFolderLock::Holder::maybeThisComputer() const
{
    return host.isEmpty() || host == QSysInfo::machineHostName();
}

DataFolderLock::DataFolderLock(const QString& folder)
    : m_folder(folder)
{
}

DataFolderLock::~DataFolderLock()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString DataFolderLock::filePath() const
{
    return QDir(m_folder).filePath(QString::fromLatin1(kFileName));
}

bool DataFolderLock::anotherInstanceRunning()
{
    if (isHeld())
        return false;
    m_failure.clear();
    m_holder = {};
    const QString path = filePath();
    // The first start on a computer makes the data folder; a copy that finds it made changes nothing in it.
    if (!QDir().mkpath(m_folder)) {
        m_failure = QStringLiteral("не удалось создать папку данных %1").arg(QDir::toNativeSeparators(m_folder));
        return false;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        m_failure = QStringLiteral("не удалось открыть файл блокировки %1: %2")
                        .arg(QDir::toNativeSeparators(path), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (lockWhole(fd) == 0) {
        m_fd = fd;
        writeHolder(fd);
        return false;
    }
    const int code = errno;
    if (code == EAGAIN || code == EACCES) {
        m_holder = readHolder(fd);
        ::close(fd);
        return true;
    }
    m_failure = QStringLiteral("файловая система папки данных %1 не даёт блокировок: %2")
                    .arg(QDir::toNativeSeparators(m_folder), QString::fromLocal8Bit(std::strerror(code)));
    ::close(fd);
    return false;
}

} // namespace platform
