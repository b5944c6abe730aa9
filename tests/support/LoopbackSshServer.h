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

#include "support/LoopbackPort.h"

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

// Standard output of a finished program, or empty when it failed.
inline QString runText(const QString& program, const QStringList& args, const QByteArray& input = {})
{
    QProcess process;
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// Empty when the server can run here; otherwise why not.
inline QString unavailableReason()
{
    if (geteuid() != 0)
        return "sshd checks passwords against /etc/shadow, which only root can read; the test stands its own "
               "password file in through a private mount namespace, which needs root";
    for (const char* tool : {"/usr/sbin/sshd", "unshare", "ssh-keygen", "openssl"})
        if (QStandardPaths::findExecutable(tool).isEmpty() && !QFile::exists(tool))
            return QString("%1 is missing").arg(tool);
    if (QProcess::execute("unshare", {"-m", "true"}) != 0)
        return "private mount namespaces are not allowed here (unshare -m failed)";
    return {};
}

class LoopbackSshServer
{
public:
    // Where the test's folder is seen inside the namespace; every path the server uses goes through it.
    static constexpr const char* inside = "/run/kt";

    ~LoopbackSshServer() { stop(); }

    bool start(const QString& password, QString* why)
    {
        const QDir dir(m_dir.path());
        for (const char* sub : {"bin", "home", "remotetmp"})
            dir.mkpath(sub);
        runText("ssh-keygen", {"-q", "-t", "ed25519", "-N", "", "-f", dir.filePath("hostkey")});
        const QString hash = runText("openssl", {"passwd", "-6", "-stdin"}, password.toUtf8() + '\n');
        if (!QFile::exists(dir.filePath("hostkey")) || hash.isEmpty())
            return fail(why, "ssh-keygen or openssl passwd failed");

        // The two password files with the test's logins, home folders inside the test folder.
        const QString home = QString("%1/home").arg(inside);
        QString passwd, shadow;
        for (const QString& line : readText("/etc/passwd").split('\n', Qt::SkipEmptyParts)) {
            QStringList f = line.split(':');
            if (f.size() == 7 && f[0] == "root")
                f[5] = home, f[6] = "/bin/bash";
            passwd += f.join(':') + '\n';
        }
        for (const QString& line : readText("/etc/shadow").split('\n', Qt::SkipEmptyParts)) {
            QStringList f = line.split(':');
            if (f.size() >= 2 && f[0] == "root")
                f[1] = hash;
            shadow += f.join(':') + '\n';
        }
        passwd += QString("kalvtest:x:0:0:test:%1:/bin/bash\n").arg(home);
        shadow += QString("kalvtest:%1:19000:0:99999:7:::\n").arg(hash);
        writeFile(dir.filePath("passwd"), passwd, 0644);
        writeFile(dir.filePath("shadow"), shadow, 0600);
        writeFile(dir.filePath("bin/uname"),
                  QString("#!/bin/sh\nif [ -f %1/arch ]; then cat %1/arch; else exec /bin/uname \"$@\"; fi\n").arg(inside),
                  0755);
        writeFile(dir.filePath("bin/sudo"),
                  QString("#!/bin/sh\nIFS= read -r line\nprintf '%s\\n' \"$line\" > %1/sudo-password\n"
                          "printf '%s\\n' \"$*\" > %1/sudo-args\n"
                          "while [ $# -gt 0 ]; do case \"$1\" in -S) shift;; -p) shift 2;; *) break;; esac; done\n"
                          "exec \"$@\"\n")
                      .arg(inside),
                  0755);

        for (int attempt = 0; attempt < 5; ++attempt) {
            m_port = fixtures::freeLoopbackPort();
            writeFile(dir.filePath("sshd_config"),
                      QString("ListenAddress 127.0.0.1:%1\nHostKey %2/hostkey\nPidFile none\nUsePAM no\n"
                              "PasswordAuthentication yes\nKbdInteractiveAuthentication no\nPubkeyAuthentication no\n"
                              "PermitRootLogin yes\nStrictModes no\nSubsystem sftp internal-sftp\n"
                              "SetEnv PATH=%2/bin:/usr/local/bin:/usr/bin:/bin\nLogLevel INFO\n")
                          .arg(m_port)
                          .arg(inside),
                      0644);
            const QString script =
                QString("mount -t tmpfs tmpfs /run && mkdir -p /run/sshd %2 && mount --bind '%1' %2 && "
                        "mount --bind %2/passwd /etc/passwd && mount --bind %2/shadow /etc/shadow && "
                        "mount --bind %2/remotetmp /tmp && exec /usr/sbin/sshd -D -e -f %2/sshd_config")
                    .arg(m_dir.path(), inside);
            m_process.setProcessChannelMode(QProcess::MergedChannels);
            m_process.setStandardOutputFile(dir.filePath("sshd.log"));
            // Without --fork unshare execs the shell, which execs sshd: one process id to stop. It dies with
            // the test even when the test crashes.
            m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
            m_process.start("unshare", {"-m", "--propagation", "private", "sh", "-c", script});
            QElapsedTimer timer;
            timer.start();
            while (timer.elapsed() < 20000 && m_process.waitForStarted(30000)) {
                // Its own listening, not another program's that took the port after it was chosen: sshd,
                // refused the port, ends, and is started again on another.
                QTcpSocket probe;
                probe.connectToHost("127.0.0.1", m_port);
                if (fixtures::listensOn(m_process.processId(), m_port) && probe.waitForConnected(200)
                    && probe.waitForReadyRead(2000) && probe.readAll().startsWith("SSH-"))
                    return true;
                if (m_process.waitForFinished(50))
                    break;
            }
            stop();
        }
        return fail(why, "sshd did not come up: " + readText(dir.filePath("sshd.log")));
    }

    void stop()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    quint16 port() const { return m_port; }
    // The folder that the server's sessions see as /tmp.
    QString remoteTmp() const { return m_dir.filePath("remotetmp"); }
    void setUnameAnswer(const QString& text) { writeFile(m_dir.filePath("arch"), text + '\n', 0644); }
    // The host key's SHA-256 fingerprint as OpenSSH prints it, without the "SHA256:" in front.
    QString hostKeyFingerprint() const
    {
        const QString line = runText("ssh-keygen", {"-l", "-E", "sha256", "-f", m_dir.filePath("hostkey.pub")});
        return line.section(' ', 1, 1).mid(7);
    }
    // How many password logins the server has seen, accepted or not.
    int passwordAttempts() const { return int(readText(m_dir.filePath("sshd.log")).count("password for")); }
    // What the stand-in sudo was given; empty when it did not run.
    QString sudoArguments() const { return readText(m_dir.filePath("sudo-args")).trimmed(); }
    QString sudoPasswordLine() const { return readText(m_dir.filePath("sudo-password")).trimmed(); }
    void clearSudoRecord() const
    {
        QFile::remove(m_dir.filePath("sudo-args"));
        QFile::remove(m_dir.filePath("sudo-password"));
    }

private:
    static bool fail(QString* why, const QString& text)
    {
        *why = text;
        return false;
    }
    static QString readText(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    static void writeFile(const QString& path, const QString& text, int mode)
    {
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write(text.toUtf8());
        f.close();
        ::chmod(QFile::encodeName(path).constData(), mode_t(mode));
    }

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
};

} // namespace sshpeer
