#pragma once
// Makes this workstation reachable from other computers through a relay: installs the relay on the
// user's Linux server over SSH, keeps its address, port, token, certificate fingerprint and the
// end-to-end secret made at installation in the settings group "remoteAccess", switches hosting on
// and off through the study list's server, names this host on a shared relay, copies the connection
// code and deletes the local configuration. The server password is used for the installation only
// and never stored.

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QString>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class RemoteAccessProvisioner;

class RemoteAccessDialog : public QDialog
{
    Q_OBJECT

public:
    explicit RemoteAccessDialog(QWidget* parent = nullptr);

    RemoteAccessProvisioner* provisioner() const { return m_provisioner; }

private slots:
    void onConfigureClicked();
    void onStepStarted(const QString& description);
    void onHostKeyUnknown(const QString& host, int port, const QString& fingerprint);
    void onFinished(bool ok, const QString& errorMessage, const QString& host, int port, const QString& token,
                    const QString& certFingerprint);
    void onHostingToggled(bool enabled);
    void onDeleteConfigClicked();
    void onHostIdEditingFinished();

private:
    void setupUi();
    void loadState();
    void refreshStatusLabel();
    void saveRelayConfig(const QString& host, int port, const QString& token, const QString& certFingerprint,
                         const QString& e2eSecret);
    void copyConnectionCode();
    // Tells the run's end once control is back in the main loop, in a box that waits without a loop of
    // its own.
    void tellEnd(QMessageBox::Icon icon, const QString& text);

    QLabel* m_statusLabel = nullptr;
    QCheckBox* m_hostingBox = nullptr;
    QPushButton* m_copyButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    QLineEdit* m_hostIdEdit = nullptr;
    QLineEdit* m_addressEdit = nullptr;
    QSpinBox* m_sshPortSpin = nullptr;
    QLineEdit* m_loginEdit = nullptr;
    QLineEdit* m_passwordEdit = nullptr;
    QSpinBox* m_servicePortSpin = nullptr;
    QPushButton* m_configureButton = nullptr;
    QProgressBar* m_busyBar = nullptr;
    QPlainTextEdit* m_log = nullptr;
    RemoteAccessProvisioner* m_provisioner = nullptr;
    // The host key question while it waits for the user.
    QPointer<QMessageBox> m_keyQuestion;
};
