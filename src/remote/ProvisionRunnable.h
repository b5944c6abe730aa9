#pragma once
// The worker behind RemoteAccessProvisioner: one blocking SSH session that installs the relay. It lives
// on the provisioner's thread; `run` emits the step texts in order and always ends with one `finished`.

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QTcpSocket;
struct _LIBSSH2_SESSION;
struct _LIBSSH2_SFTP;

struct RemoteCommandResult
{
    bool ok = false;   // the command ran and its exit status was 0
    QByteArray output; // standard output, then standard error; or why the command did not start
};

class ProvisionRunnable : public QObject
{
    Q_OBJECT

public:
    ProvisionRunnable(const QString& host, quint16 sshPort, const QString& login, const QString& password,
                      quint16 relayPort, const QString& installFolder);
    ~ProvisionRunnable() override;

public slots:
    void run();

signals:
    void stepStarted(const QString& description);
    void finished(bool ok, const QString& errorMessage, const QString& host, int port, const QString& token,
                  const QString& certFingerprint);

private:
    bool provision();
    void fail(const QString& message);
    void closeSession();

    QString host;
    quint16 sshPort = 22;
    QString login;
    QString password;
    quint16 relayPort = 0;
    QString installFolder;

    std::unique_ptr<QTcpSocket> socket;
    _LIBSSH2_SESSION* session = nullptr;
    bool libraryUp = false;
};

// One remote command on an authenticated session: `input`, when given, goes to its standard input in
// one write; end of file is sent only after its output has ended.
RemoteCommandResult runRemoteCommand(_LIBSSH2_SESSION* session, const QByteArray& command,
                                     const QByteArray& input);
bool uploadFileOverSftp(_LIBSSH2_SFTP* sftp, const QString& localPath, const QString& remotePath, long mode,
                        QString* error);
// The library's last error text, or "неизвестная ошибка".
QString sshLastError(_LIBSSH2_SESSION* session);
