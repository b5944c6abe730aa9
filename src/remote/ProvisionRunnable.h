#pragma once
// The worker behind RemoteAccessProvisioner: one SSH session that installs the relay. It lives on the
// provisioner's thread; `run` emits the step texts in order and always ends with one `finished`.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QSemaphore>
#include <QString>

#include <atomic>
#include <limits>
#include <memory>

class QTcpSocket;
struct _LIBSSH2_SESSION;
struct _LIBSSH2_SFTP;

struct RemoteCommandResult
{
    bool ok = false;   // the command ran and its exit status was 0
    QByteArray output; // standard output, then standard error; or why the command did not start
};

// The user's answer to an SSH host key seen for the first time, handed from the window's thread to the
// worker waiting for it.
class HostKeyAnswer
{
public:
    enum class Reply { Accepted, Refused, Unanswered };

    void give(bool accepted)
    {
        if (given.exchange(true))
            return;
        this->accepted = accepted;
        ready.release();
    }
    // The run's deadline has come while the question waits: no answer can come in time any more.
    void passDeadline()
    {
        if (given.exchange(true))
            return;
        late = true;
        ready.release();
    }
    // Unanswered when nothing is given before the deadline.
    Reply wait(const QDeadlineTimer& deadline)
    {
        const qint64 left = deadline.remainingTime(); // -1: no deadline
        if (!ready.tryAcquire(1, int(qMin<qint64>(left, std::numeric_limits<int>::max()))) || late)
            return Reply::Unanswered;
        return accepted ? Reply::Accepted : Reply::Refused;
    }

private:
    QSemaphore ready;
    std::atomic_bool given{false};
    std::atomic_bool accepted{false};
    std::atomic_bool late{false};
};

// The host keys the user has accepted, by "host:port", as "SHA256:" and the base64 digest (the form
// OpenSSH prints). They live in a settings group of their own, which outlives the remote-access one.
QString knownSshHostKey(const QString& host, quint16 port);
void rememberSshHostKey(const QString& host, quint16 port, const QString& fingerprint);

class ProvisionRunnable : public QObject
{
    Q_OBJECT

public:
    ProvisionRunnable(const QString& host, quint16 sshPort, const QString& login, const QString& password,
                      quint16 relayPort, const QString& installFolder, int deadlineMs,
                      std::shared_ptr<HostKeyAnswer> hostKeyAnswer);
    ~ProvisionRunnable() override;

public slots:
    void run();

signals:
    void stepStarted(const QString& description);
    // A key not seen before: nothing goes on until the answer is given (or the deadline passes).
    void hostKeyUnknown(const QString& host, int port, const QString& fingerprint);
    void finished(bool ok, const QString& errorMessage, const QString& host, int port, const QString& token,
                  const QString& certFingerprint);

private:
    bool provision();
    bool checkHostKey();
    // Reports the failure; after the deadline, the deadline's text instead of the step's own.
    void fail(const QString& message);
    // Reports the failure in these words whenever it comes.
    void end(const QString& message);
    void closeSession();
    // Blocking library calls wait no longer than the rest of the run.
    void limitBlockingCalls();

    QString host;
    quint16 sshPort = 22;
    QString login;
    QString password;
    quint16 relayPort = 0;
    QString installFolder;
    int deadlineMs = 0;
    QDeadlineTimer deadline;
    std::shared_ptr<HostKeyAnswer> hostKeyAnswer;

    std::unique_ptr<QTcpSocket> socket;
    _LIBSSH2_SESSION* session = nullptr;
    bool libraryUp = false;
    // The private folder on the server, removed when the session ends.
    QString remoteFolder;
};

// One remote command on an authenticated session: `input`, when given, goes to its standard input,
// then end of file. Standard output and standard error are read as they come, so a command that fills
// either one cannot stall; at the deadline the command is given up.
RemoteCommandResult runRemoteCommand(_LIBSSH2_SESSION* session, qintptr socketDescriptor, const QByteArray& command,
                                     const QByteArray& input, const QDeadlineTimer& deadline);
bool uploadFileOverSftp(_LIBSSH2_SFTP* sftp, const QString& localPath, const QString& remotePath, long mode,
                        QString* error);
// The library's last error text, or "неизвестная ошибка".
QString sshLastError(_LIBSSH2_SESSION* session);
