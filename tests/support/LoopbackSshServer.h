#pragma once
// A real OpenSSH server on a free 127.0.0.1 port, for the relay installation tests. It runs with its own
// host key and configuration in a temporary folder and accepts a password for "root" and for a second
// uid-0 login "kalvtest" (which makes the installer go through sudo).
//
// sshd checks passwords against the system's password files and can read them only as root. So the
// server runs as root inside a private mount namespace in which copies of /etc/passwd and /etc/shadow
// carrying the test password are mounted over the real ones, /run is a fresh tmpfs and /tmp is a folder
// of the test (the remote side's /tmp, visible here as remoteTmp()). Nothing outside the namespace
// changes. A test that runs without root gets the reason from unavailableReason() and skips.
//
// The sessions' PATH starts with a folder of stand-ins: "uname" answers what setUnameAnswer() wrote
// (the real one otherwise) and "sudo" records its arguments and the password line, then runs the
// command. Header-only: the support library does not link Qt Network.

#include "LoopbackPort.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <sys/prctl.h>
#include <sys/stat.h>

#include <csignal>
#include <unistd.h>

namespace sshpeer {

inline QString runText(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted(5000))
        return {};
    if (!input.isEmpty())
        process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(10000);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// Empty when the server can run here; otherwise why not.
inline QString unavailableReason()
{
    if (geteuid() != 0)
        return QStringLiteral("sshd checks passwords against /etc/shadow, which only root can read; the test "
                              "stands its own password file in through a private mount namespace, which needs root");
    if (!QFile::exists(QStringLiteral("/usr/sbin/sshd")))
        return QStringLiteral("/usr/sbin/sshd is not installed (openssh-server)");
    for (const char* tool : {"unshare", "ssh-keygen", "openssl"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return QStringLiteral("%1 is missing").arg(QString::fromLatin1(tool));
    QProcess probe;
    probe.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")});
    if (!probe.waitForFinished(5000) || probe.exitCode() != 0)
        return QStringLiteral("private mount namespaces are not allowed here (unshare -m failed)");
    return {};
}

class LoopbackSshServer
{
public:
    // Where the folder is seen inside the namespace; every path the server uses goes through it.
    static constexpr const char* inside = "/run/kt";

    ~LoopbackSshServer() { stop(); }

    bool start(const QString& password, QString* why)
    {
        if (!m_dir.isValid())
            return fail(why, QStringLiteral("no temporary folder"));
        const QDir dir(m_dir.path());
        for (const char* sub : {"bin", "home", "remotetmp"})
            dir.mkpath(QString::fromLatin1(sub));
        runText(QStringLiteral("ssh-keygen"), {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                                               QStringLiteral("-N"), QString(), QStringLiteral("-f"),
                                               dir.filePath(QStringLiteral("hostkey"))});
        if (!QFile::exists(dir.filePath(QStringLiteral("hostkey"))))
            return fail(why, QStringLiteral("ssh-keygen failed"));
        const QString hash = runText(QStringLiteral("openssl"), {QStringLiteral("passwd"), QStringLiteral("-6"),
                                                                 QStringLiteral("-stdin")},
                                     password.toUtf8() + '\n');
        if (hash.isEmpty())
            return fail(why, QStringLiteral("openssl passwd failed"));

        const QString home = QStringLiteral("%1/home").arg(QLatin1String(inside));
        QString passwd;
        for (const QString& line : readLines(QStringLiteral("/etc/passwd"))) {
            QStringList f = line.split(QLatin1Char(':'));
            if (f.size() == 7 && f[0] == QLatin1String("root"))
                f[5] = home, f[6] = QStringLiteral("/bin/bash");
            passwd += f.join(QLatin1Char(':')) + QLatin1Char('\n');
        }
        passwd += QStringLiteral("kalvtest:x:0:0:test:%1:/bin/bash\n").arg(home);
        QString shadow;
        for (const QString& line : readLines(QStringLiteral("/etc/shadow"))) {
            QStringList f = line.split(QLatin1Char(':'));
            if (f.size() >= 2 && f[0] == QLatin1String("root"))
                f[1] = hash;
            shadow += f.join(QLatin1Char(':')) + QLatin1Char('\n');
        }
        shadow += QStringLiteral("kalvtest:%1:19000:0:99999:7:::\n").arg(hash);
        writeFile(dir.filePath(QStringLiteral("passwd")), passwd.toUtf8(), 0644);
        writeFile(dir.filePath(QStringLiteral("shadow")), shadow.toUtf8(), 0600);

        writeFile(dir.filePath(QStringLiteral("bin/uname")),
                  QStringLiteral("#!/bin/sh\nif [ -f %1/arch ]; then cat %1/arch; else exec /bin/uname \"$@\"; fi\n")
                      .arg(QLatin1String(inside))
                      .toUtf8(),
                  0755);
        writeFile(dir.filePath(QStringLiteral("bin/sudo")),
                  QStringLiteral("#!/bin/sh\n"
                                 "IFS= read -r line\n"
                                 "printf '%s\\n' \"$line\" > %1/sudo-password\n"
                                 "printf '%s\\n' \"$*\" > %1/sudo-args\n"
                                 "while [ $# -gt 0 ]; do case \"$1\" in -S) shift;; -p) shift 2;; *) break;; esac; done\n"
                                 "exec \"$@\"\n")
                      .arg(QLatin1String(inside))
                      .toUtf8(),
                  0755);

        m_port = fixtures::freeLoopbackPort();
        if (m_port == 0)
            return fail(why, QStringLiteral("no free loopback port"));
        const QString config = QStringLiteral("ListenAddress 127.0.0.1:%1\n"
                                              "HostKey %2/hostkey\n"
                                              "PidFile none\n"
                                              "UsePAM no\n"
                                              "PasswordAuthentication yes\n"
                                              "KbdInteractiveAuthentication no\n"
                                              "PubkeyAuthentication no\n"
                                              "PermitRootLogin yes\n"
                                              "StrictModes no\n"
                                              "Subsystem sftp internal-sftp\n"
                                              "SetEnv PATH=%2/bin:/usr/local/bin:/usr/bin:/bin\n"
                                              "LogLevel ERROR\n")
                                   .arg(m_port)
                                   .arg(QLatin1String(inside));
        writeFile(dir.filePath(QStringLiteral("sshd_config")), config.toUtf8(), 0644);

        const QString script =
            QStringLiteral("mount -t tmpfs tmpfs /run && mkdir -p /run/sshd %2 && mount --bind '%1' %2 && "
                           "mount --bind %2/passwd /etc/passwd && mount --bind %2/shadow /etc/shadow && "
                           "mount --bind %2/remotetmp /tmp && exec /usr/sbin/sshd -D -e -f %2/sshd_config")
                .arg(m_dir.path(), QLatin1String(inside));
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(dir.filePath(QStringLiteral("sshd.log")));
        // Without --fork unshare execs the shell, which execs sshd: one process id to stop. It dies with
        // the test even when the test crashes.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("--propagation"),
                                                    QStringLiteral("private"), QStringLiteral("sh"),
                                                    QStringLiteral("-c"), script});
        if (!m_process.waitForStarted(5000))
            return fail(why, QStringLiteral("unshare did not start"));
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000) {
            if (m_process.state() == QProcess::NotRunning)
                return fail(why, QStringLiteral("sshd ended: %1").arg(QString::fromUtf8(log())));
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), m_port);
            if (probe.waitForConnected(200) && probe.waitForReadyRead(2000) && probe.readAll().startsWith("SSH-"))
                return true;
            QThread::msleep(50);
        }
        return fail(why, QStringLiteral("sshd did not answer: %1").arg(QString::fromUtf8(log())));
    }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    quint16 port() const { return m_port; }
    // The folder that the server's sessions see as /tmp.
    QString remoteTmp() const { return QDir(m_dir.path()).filePath(QStringLiteral("remotetmp")); }
    void setUnameAnswer(const QString& text)
    {
        writeFile(QDir(m_dir.path()).filePath(QStringLiteral("arch")), text.toUtf8() + '\n', 0644);
    }
    // What the stand-in sudo was given; empty when it did not run.
    QString sudoArguments() const { return readText(QStringLiteral("sudo-args")); }
    QString sudoPasswordLine() const { return readText(QStringLiteral("sudo-password")); }
    void clearSudoRecord() const
    {
        for (const char* name : {"sudo-args", "sudo-password"})
            QFile::remove(QDir(m_dir.path()).filePath(QString::fromLatin1(name)));
    }
    QByteArray log() const
    {
        QFile f(QDir(m_dir.path()).filePath(QStringLiteral("sshd.log")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private:
    static bool fail(QString* why, const QString& text)
    {
        if (why)
            *why = text;
        return false;
    }
    static QStringList readLines(const QString& path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    static void writeFile(const QString& path, const QByteArray& data, int mode)
    {
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(data);
        f.close();
        ::chmod(QFile::encodeName(path).constData(), mode_t(mode));
    }
    QString readText(const QString& name) const
    {
        QFile f(QDir(m_dir.path()).filePath(name));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).trimmed() : QString();
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace sshpeer
