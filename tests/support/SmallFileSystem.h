#pragma once
// A small file system of its own for what a full disk does to the program: a tmpfs of a given size,
// mounted in a mount namespace that only this test process sees, so nothing outlives the process
// whatever its end. Needs root (as `make test` runs here and in CI); elsewhere the cases that need it
// are skipped with the reason.
//
//     KALVENOR_TEST_MAIN_WITH_OWN_MOUNTS(TestClass)   // in place of QTEST_MAIN: the namespace comes first
//     fixtures::SmallFileSystem disk(folder, 4 << 20);
//     if (!disk.isMounted()) QSKIP(qPrintable(disk.why()));
//     QVERIFY(disk.fillLeaving(64 * 1024));

#include <QDir>
#include <QFile>
#include <QString>

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fixtures {

namespace detail {
inline QString& mountNamespaceFailure()
{
    static QString why = QStringLiteral("the test did not ask for a mount namespace of its own");
    return why;
}
} // namespace detail

// Before any thread starts: a namespace of its own in which mounts stay private to this process.
inline void enterOwnMountNamespace()
{
    if (::geteuid() != 0) {
        detail::mountNamespaceFailure() = QStringLiteral("a file system of limited size needs root to be mounted");
        return;
    }
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        detail::mountNamespaceFailure() =
            QStringLiteral("no mount namespace of its own: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    detail::mountNamespaceFailure().clear();
}

class SmallFileSystem
{
public:
    SmallFileSystem(const QString& folder, qint64 bytes) : m_folder(QDir::cleanPath(folder))
    {
        if (!detail::mountNamespaceFailure().isEmpty()) {
            m_why = detail::mountNamespaceFailure();
            return;
        }
        const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0755";
        if (!QDir().mkpath(m_folder)
            || ::mount("tmpfs", QFile::encodeName(m_folder).constData(), "tmpfs", 0, options.constData()) != 0) {
            m_why = QStringLiteral("tmpfs not mounted: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        m_mounted = true;
    }
    ~SmallFileSystem()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool isMounted() const { return m_mounted; }
    QString why() const { return m_why; }
    qint64 freeBytes() const
    {
        struct statvfs info {};
        return ::statvfs(QFile::encodeName(m_folder).constData(), &info) == 0 ? qint64(info.f_bavail) * info.f_frsize : -1;
    }
    // Fills the file system with one ballast file until at most `bytes` stay free.
    bool fillLeaving(qint64 bytes)
    {
        QFile ballast(QDir(m_folder).filePath(QStringLiteral(".ballast")));
        if (!ballast.open(QIODevice::WriteOnly | QIODevice::Append))
            return false;
        for (qint64 free = freeBytes(); free > bytes; free = freeBytes()) {
            const QByteArray block(int(qMin<qint64>(64 * 1024, free - bytes)), 'b');
            if (ballast.write(block) != block.size() || !ballast.flush())
                return false;
        }
        return true;
    }
    // Frees the space the ballast took.
    void empty() { QFile::remove(QDir(m_folder).filePath(QStringLiteral(".ballast"))); }

private:
    QString m_folder;
    QString m_why;
    bool m_mounted = false;
};

// A folder reached at a second place, as a bind mount, in the test process's own mount namespace
// (enterOwnMountNamespace first); root only, elsewhere why() says why not.
class BindMount
{
public:
    BindMount(const QString& folder, const QString& at) : m_at(QDir::cleanPath(at))
    {
        if (!detail::mountNamespaceFailure().isEmpty()) {
            m_why = detail::mountNamespaceFailure();
            return;
        }
        if (!QDir().mkpath(m_at)
            || ::mount(QFile::encodeName(folder).constData(), QFile::encodeName(m_at).constData(), nullptr, MS_BIND,
                       nullptr) != 0) {
            m_why = QStringLiteral("no bind mount: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        m_mounted = true;
    }
    ~BindMount() { unmount(); }
    BindMount(const BindMount&) = delete;
    BindMount& operator=(const BindMount&) = delete;

    bool isMounted() const { return m_mounted; }
    QString why() const { return m_why; }
    // The folder is no longer reached there (an empty folder stays at the place).
    bool unmount()
    {
        if (m_mounted && ::umount2(QFile::encodeName(m_at).constData(), MNT_DETACH) == 0)
            m_mounted = false;
        return !m_mounted;
    }

private:
    QString m_at;
    QString m_why;
    bool m_mounted = false;
};

} // namespace fixtures

// QTEST_MAIN for a widget test that mounts small file systems: the mount namespace is entered before
// the application object starts any thread.
#define KALVENOR_TEST_MAIN_WITH_OWN_MOUNTS(TestObject)                                                       \
    int main(int argc, char** argv)                                                                        \
    {                                                                                                      \
        fixtures::enterOwnMountNamespace();                                                                \
        QApplication app(argc, argv);                                                                      \
        app.setAttribute(Qt::AA_Use96Dpi, true); /* as QTEST_MAIN has it */                                \
        TestObject test;                                                                                   \
        return QTest::qExec(&test, argc, argv);                                                            \
    }
