#include "app/RemoteAccessDialog.h"
#include "dialogs/WaitingBox.h"

#include "app/MainWindow.h"

#include "remote/PrivateSettingsFile.h"
#include "remote/RemoteAccessProvisioner.h"
#include "remote/RemoteAccessServer.h"
#include "remote/RemoteTunnelSocket.h"

#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {

const char* const kGroup = "remoteAccess";
constexpr int kDefaultSshPort = 22;
constexpr int kDefaultServicePort = 8443;

QString key(const char* name)
{
    return QStringLiteral("%1/%2").arg(QLatin1String(kGroup), QLatin1String(name));
}

RemoteAccessServer* hostingServer()
{
    return MainWindow::s_instance ? MainWindow::s_instance->remoteAccessServer() : nullptr;
}

} // namespace

RemoteAccessDialog::RemoteAccessDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Удалённый доступ"));
    setupUi();
    loadState();
    m_provisioner = new RemoteAccessProvisioner(this);
    connect(m_provisioner, &RemoteAccessProvisioner::stepStarted, this, &RemoteAccessDialog::onStepStarted);
    connect(m_provisioner, &RemoteAccessProvisioner::finished, this, &RemoteAccessDialog::onFinished);
    connect(m_provisioner, &RemoteAccessProvisioner::hostKeyUnknown, this, &RemoteAccessDialog::onHostKeyUnknown);
    if (RemoteAccessServer* server = hostingServer())
        connect(server, &RemoteAccessServer::statusChanged, this, &RemoteAccessDialog::onStepStarted);
}

void RemoteAccessDialog::setupUi()
{
    resize(520, 480);
    auto* layout = new QVBoxLayout(this);

    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    m_statusLabel->setWordWrap(true);
    m_statusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_statusLabel);

    m_copyButton = new QPushButton(QStringLiteral("Скопировать код подключения"), this);
    m_copyButton->setToolTip(QStringLiteral(
        "Скопирует адрес/порт/токен/отпечаток сертификата (и ID узла, если задан) в буфер обмена — вставьте это в "
        "диалог \"Подключиться к удалённому компьютеру\" на ДРУГОМ компьютере."));
    layout->addWidget(m_copyButton);

    m_deleteButton = new QPushButton(QStringLiteral("Удалить настройку удалённого доступа на этом компьютере"), this);
    m_deleteButton->setToolTip(QStringLiteral(
        "Выключает приём подключений и полностью стирает host/токен/отпечаток сертификата, сохранённые НА ЭТОМ "
        "компьютере (сам relay-сервис на VPS не трогается и продолжает работать — удаляется только локальная "
        "настройка клиента этого сервиса). Используйте, если этот компьютер по ошибке тоже настроен на приём "
        "подключений — например, если один и тот же код подключения был введён на двух разных компьютерах: тогда "
        "оба пытаются ПРИНИМАТЬ подключения одним и тем же relay-id и могут мешать друг другу — приём должен быть "
        "включён только на ОДНОМ (рабочем) компьютере, остальные подключаются к нему через \"Remote PACS\"."));
    layout->addWidget(m_deleteButton);

    auto* explanation = new QLabel(
        QStringLiteral("Чтобы открывать исследования удалённо (из другой сети, без статического IP), разверните лёгкий "
                       "служебный сервис на своей VPS — введите ниже её адрес и данные для входа по SSH. Дальше всё "
                       "делается автоматически, пароль от VPS никуда не сохраняется и используется только для этой "
                       "установки."),
        this);
    explanation->setWordWrap(true);
    layout->addWidget(explanation);

    auto* form = new QFormLayout;
    m_addressEdit = new QLineEdit(this);
    m_addressEdit->setObjectName(QStringLiteral("addressEdit"));
    m_addressEdit->setPlaceholderText(QStringLiteral("например, 203.0.113.10 или vps.example.com"));
    form->addRow(QStringLiteral("Адрес VPS:"), m_addressEdit);
    m_sshPortSpin = new QSpinBox(this);
    m_sshPortSpin->setObjectName(QStringLiteral("sshPortSpin"));
    m_sshPortSpin->setRange(1, 65535);
    m_sshPortSpin->setValue(kDefaultSshPort);
    form->addRow(QStringLiteral("SSH-порт:"), m_sshPortSpin);
    m_loginEdit = new QLineEdit(QStringLiteral("root"), this);
    m_loginEdit->setObjectName(QStringLiteral("loginEdit"));
    form->addRow(QStringLiteral("Логин:"), m_loginEdit);
    m_passwordEdit = new QLineEdit(this);
    m_passwordEdit->setObjectName(QStringLiteral("passwordEdit"));
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Пароль:"), m_passwordEdit);
    m_servicePortSpin = new QSpinBox(this);
    m_servicePortSpin->setObjectName(QStringLiteral("servicePortSpin"));
    m_servicePortSpin->setRange(1, 65535);
    m_servicePortSpin->setValue(kDefaultServicePort);
    m_servicePortSpin->setToolTip(QStringLiteral("Порт, на котором сервис будет слушать на самой VPS"));
    form->addRow(QStringLiteral("Порт сервиса:"), m_servicePortSpin);
    layout->addLayout(form);

    auto* idForm = new QFormLayout;
    m_hostIdEdit = new QLineEdit(this);
    m_hostIdEdit->setObjectName(QStringLiteral("hostIdEdit"));
    m_hostIdEdit->setPlaceholderText(QStringLiteral("primary (по умолчанию)"));
    m_hostIdEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[A-Za-z0-9_-]*")), m_hostIdEdit));
    m_hostIdEdit->setToolTip(QStringLiteral(
        "Оставьте пустым, если на этой VPS/relay принимает подключения только ОДИН компьютер (обычный случай). Если вы "
        "используете ОДИН личный VPS для подключения к НЕСКОЛЬКИМ РАЗНЫМ компьютерам (например, к архивам разных "
        "клиник), задайте здесь на КАЖДОМ из них своё уникальное имя (латиница/цифры/дефис/подчёркивание) — иначе они "
        "будут мешать друг другу, пытаясь принимать подключения под одним и тем же именем. Это же имя нужно указать при "
        "подключении к ЭТОМУ компьютеру (см. \"Скопировать код подключения\")."));
    idForm->addRow(QStringLiteral("ID узла (если их несколько на одной VPS):"), m_hostIdEdit);
    layout->addLayout(idForm);

    m_configureButton = new QPushButton(QStringLiteral("Настроить сервер"), this);
    layout->addWidget(m_configureButton);

    m_hostingBox = new QCheckBox(QStringLiteral("Принимать удалённые подключения"), this);
    m_hostingBox->setToolTip(QStringLiteral(
        "Пока включено, эта программа постоянно ждёт подключения через relay — выключите, если сейчас не нужно, чтобы "
        "кто-то мог посмотреть исследования удалённо."));
    layout->addWidget(m_hostingBox);

    m_busyBar = new QProgressBar(this);
    m_busyBar->setRange(0, 0);
    m_busyBar->hide();
    layout->addWidget(m_busyBar);

    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("stepLog"));
    m_log->setReadOnly(true);
    m_log->setMaximumBlockCount(500);
    m_log->setPlaceholderText(QStringLiteral("Здесь появится ход установки…"));
    layout->addWidget(m_log, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);

    connect(m_copyButton, &QPushButton::clicked, this, &RemoteAccessDialog::copyConnectionCode);
    connect(m_deleteButton, &QPushButton::clicked, this, &RemoteAccessDialog::onDeleteConfigClicked);
    connect(m_hostIdEdit, &QLineEdit::editingFinished, this, &RemoteAccessDialog::onHostIdEditingFinished);
    connect(m_configureButton, &QPushButton::clicked, this, &RemoteAccessDialog::onConfigureClicked);
    connect(m_hostingBox, &QCheckBox::toggled, this, &RemoteAccessDialog::onHostingToggled);
}

void RemoteAccessDialog::loadState()
{
    refreshStatusLabel();
    QSettings settings;
    QString exposure;
    if (!keepConnectionSettingsPrivate(&exposure)) // written by a version that left it readable to all
        m_log->appendPlainText(exposure);
    const bool enabled = settings.value(key("hostingEnabled"), false).toBool();
    const bool configured = !settings.value(key("host")).toString().isEmpty();
    m_hostIdEdit->setText(settings.value(key("hostId")).toString());
    {
        const QSignalBlocker blocker(m_hostingBox);
        m_hostingBox->setChecked(enabled && configured);
    }
    m_hostingBox->setEnabled(configured);
    m_copyButton->setEnabled(configured);
    m_deleteButton->setEnabled(configured);
}

void RemoteAccessDialog::refreshStatusLabel()
{
    QSettings settings;
    const QString host = settings.value(key("host")).toString();
    const int port = settings.value(key("port"), 0).toInt();
    const QString hostId = settings.value(key("hostId")).toString().trimmed();
    if (host.isEmpty()) {
        m_statusLabel->setText(QStringLiteral("Удалённый доступ пока не настроен."));
        return;
    }
    QString text = QStringLiteral("Уже настроено: %1:%2. Повторная настройка ниже перезапишет текущую (например, после "
                                  "смены VPS или подозрения на компрометацию токена).")
                       .arg(host, QString::number(port));
    if (!hostId.isEmpty())
        text += QStringLiteral(" ID узла: «%1».").arg(hostId);
    m_statusLabel->setText(text);
}

void RemoteAccessDialog::onConfigureClicked()
{
    const QString address = m_addressEdit->text().trimmed();
    const QString login = m_loginEdit->text().trimmed();
    const QString password = m_passwordEdit->text();
    if (address.isEmpty() || login.isEmpty() || password.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Удалённый доступ"),
                                 QStringLiteral("Заполните адрес VPS, логин и пароль."));
        return;
    }
    m_log->clear();
    m_busyBar->show();
    m_configureButton->setEnabled(false);
    m_provisioner->start(address, quint16(m_sshPortSpin->value()), login, password,
                         quint16(m_servicePortSpin->value()));
    m_passwordEdit->clear();
}

void RemoteAccessDialog::onHostKeyUnknown(const QString& host, int port, const QString& fingerprint)
{
    // The run waits for the answer on its own thread, and may end meanwhile (its deadline): its end
    // is told in the main loop, not inside this question.
    m_keyQuestion = askWaitingBox(
        this, QMessageBox::Question, QStringLiteral("Удалённый доступ"),
        QStringLiteral("Подтвердите ключ SSH-сервера %1:%2:\nSHA256:%3\n\nПродолжайте, только если он "
                       "совпадает с ключом вашего сервера.")
            .arg(host, QString::number(port), fingerprint),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No, this,
        [this](QMessageBox::StandardButton answer) { m_provisioner->answerHostKey(answer == QMessageBox::Yes); });
}

void RemoteAccessDialog::onStepStarted(const QString& description)
{
    m_log->appendPlainText(description);
}

void RemoteAccessDialog::onFinished(bool ok, const QString& errorMessage, const QString& host, int port,
                                    const QString& token, const QString& certFingerprint)
{
    m_busyBar->hide();
    m_configureButton->setEnabled(true);
    // A run that ended at its deadline leaves no question to answer: it goes with the run.
    if (m_keyQuestion && m_keyQuestion->isVisible())
        m_keyQuestion->reject();
    if (!ok) {
        m_log->appendPlainText(QStringLiteral("ОШИБКА: %1").arg(errorMessage));
        tellEnd(QMessageBox::Warning, errorMessage);
        return;
    }
    m_log->appendPlainText(QStringLiteral("Готово."));
    // A new installation gets a new secret, so a connection code given out before stops working.
    saveRelayConfig(host, port, token, certFingerprint, newTunnelSecret());
    refreshStatusLabel();
    m_hostingBox->setEnabled(true);
    m_copyButton->setEnabled(true);
    // A configuration now exists, so it can be deleted as well without reopening the dialog.
    m_deleteButton->setEnabled(true);
    // Hosting that was already on restarts as well, under the new token and port: the old ones stopped
    // working with the reinstallation.
    const bool wasHosting = m_hostingBox->isChecked();
    m_hostingBox->setChecked(true);
    if (wasHosting)
        onHostingToggled(true);
    tellEnd(QMessageBox::Information,
            QStringLiteral("Сервис успешно установлен и запущен на %1:%2.\n\nПриём удалённых подключений "
                           "включён. Код для подключения с другого компьютера (host:port + токен + отпечаток "
                           "сертификата) можно посмотреть в этом же окне при следующем открытии.")
                .arg(host, QString::number(port)));
}

void RemoteAccessDialog::tellEnd(QMessageBox::Icon icon, const QString& text)
{
    // Opened from the main loop, not inside the provisioner's signal that told the end; the run's
    // thread ends, and its worker goes, while the user reads it.
    QMetaObject::invokeMethod(
        this, [this, icon, text] { showWaitingBox(this, icon, QStringLiteral("Удалённый доступ"), text); },
        Qt::QueuedConnection);
}

void RemoteAccessDialog::onHostingToggled(bool enabled)
{
    RemoteAccessServer* server = hostingServer();
    if (!server)
        return;
    QSettings settings;
    settings.setValue(key("hostingEnabled"), enabled);
    if (!enabled) {
        server->stop();
        return;
    }
    server->start(settings.value(key("host")).toString(), settings.value(key("port"), 0).toInt(),
                  settings.value(key("token")).toString(), settings.value(key("certFingerprint")).toString(),
                  settings.value(key("e2eSecret")).toString(), settings.value(key("hostId")).toString());
}

void RemoteAccessDialog::onHostIdEditingFinished()
{
    QSettings settings;
    settings.setValue(key("hostId"), m_hostIdEdit->text().trimmed());
    if (settings.value(key("hostingEnabled"), false).toBool())
        onHostingToggled(true);
}

void RemoteAccessDialog::onDeleteConfigClicked()
{
    const auto answer = QMessageBox::question(
        this, windowTitle(),
        QStringLiteral("Выключить приём подключений и удалить сохранённую настройку удалённого доступа НА ЭТОМ "
                       "компьютере?\n\nСам сервис на VPS не удаляется и продолжает работать — удаляется только локальная "
                       "настройка клиента (host/токен/отпечаток сертификата). Чтобы настроить заново, нужно будет "
                       "повторно ввести данные VPS или код подключения."),
        QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    if (RemoteAccessServer* server = hostingServer())
        server->stop();
    QSettings().remove(QLatin1String(kGroup));
    m_addressEdit->clear();
    m_loginEdit->setText(QStringLiteral("root"));
    m_passwordEdit->clear();
    m_sshPortSpin->setValue(kDefaultSshPort);
    m_servicePortSpin->setValue(kDefaultServicePort);
    m_hostIdEdit->clear();
    loadState();
    m_log->appendPlainText(QStringLiteral("Настройка удалённого доступа на этом компьютере удалена."));
}

void RemoteAccessDialog::saveRelayConfig(const QString& host, int port, const QString& token,
                                         const QString& certFingerprint, const QString& e2eSecret)
{
    QSettings settings;
    // Stored all the same: the installer gives the token once, and the user can narrow the rights by hand.
    QString exposure;
    if (!keepSettingsFilePrivate(settings, &exposure))
        m_log->appendPlainText(exposure);
    settings.setValue(key("host"), host);
    settings.setValue(key("port"), port);
    settings.setValue(key("token"), token);
    settings.setValue(key("certFingerprint"), certFingerprint);
    settings.setValue(key("e2eSecret"), e2eSecret);
}

void RemoteAccessDialog::copyConnectionCode()
{
    QSettings settings;
    const QString hostId = settings.value(key("hostId")).toString().trimmed();
    QString code = QStringLiteral("Адрес: %1\nПорт: %2\nТокен: %3\nОтпечаток сертификата: %4\nКлюч шифрования: %5")
                       // One call: a '%' inside a value is never taken for a later placeholder.
                       .arg(settings.value(key("host")).toString(),
                            QString::number(settings.value(key("port"), 0).toInt()),
                            settings.value(key("token")).toString(), settings.value(key("certFingerprint")).toString(),
                            settings.value(key("e2eSecret")).toString());
    if (!hostId.isEmpty())
        code += QStringLiteral("\nID узла: %1").arg(hostId);
    QGuiApplication::clipboard()->setText(code);
    QMessageBox::information(this, windowTitle(),
                             QStringLiteral("Код подключения скопирован в буфер обмена. Он даёт полный доступ к "
                                            "исследованиям — передавайте его так же осторожно, как пароль."));
}
