#pragma once
// Installs the relay program on the user's Linux server over SSH: connects with a login and password,
// finds the processor architecture, uploads the installer and the matching program file over SFTP,
// runs the installer and reads the connection parameters from its output. The SSH session is blocking,
// so all of it runs on a thread of its own; steps and the result come back as queued signals.

#include <QObject>
#include <QString>

#include <memory>

class HostKeyAnswer;
class QThread;

class RemoteAccessProvisioner : public QObject
{
    Q_OBJECT

public:
    explicit RemoteAccessProvisioner(QObject* parent = nullptr);
    // Asks the thread to quit and waits up to 5 s. A thread still blocked in SSH after that is left to
    // finish on its own and deletes itself; its late result reaches nobody.
    ~RemoteAccessProvisioner() override;

    // Starts provisioning and returns at once; does nothing while one runs.
    void start(const QString& host, quint16 sshPort, const QString& login, const QString& password,
               quint16 relayPort);
    bool isBusy() const { return busy; }

    // The folder holding "install.sh" and the program files; the program's own "relay" folder unless
    // set otherwise.
    void setInstallFilesFolder(const QString& folder) { installFolder = folder; }
    // How long a whole run may take, from the connection to the installer's end (10 minutes unless set).
    void setDeadline(int ms) { deadlineMs = ms; }

    // The answer to `hostKeyUnknown`: the run goes on with the password only after a yes.
    void answerHostKey(bool accepted);
    // Tests only: the deadline of a run whose host key question waits passes now, so that a test needs
    // not wait it out.
    void passDeadlineForTest();

signals:
    void stepStarted(const QString& description);
    // The SSH server's key is not known yet: the caller shows its fingerprint (the base64 SHA-256 digest
    // that OpenSSH prints after "SHA256:") and calls answerHostKey.
    void hostKeyUnknown(const QString& host, int port, const QString& fingerprint);
    void finished(bool ok, const QString& errorMessage, const QString& host, int port, const QString& token,
                  const QString& certFingerprint);

private:
    QThread* thread = nullptr;
    bool busy = false;
    QString installFolder;
    int deadlineMs = 600000;
    std::shared_ptr<HostKeyAnswer> hostKeyAnswer;
};
