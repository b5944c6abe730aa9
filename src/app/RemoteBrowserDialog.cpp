#include "app/RemoteBrowserDialog.h"

#include "dialogs/WindowPlacement.h"
#include "remote/PrivateSettingsFile.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSettings>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const QString kConnectionGroup = QStringLiteral("remoteBrowserConnection");
const QString kLastServerKey = QStringLiteral("remoteBrowserConnection/lastServerName");
const QString kServersArray = QStringLiteral("remoteServers");
constexpr int kDefaultPort = 8443;
constexpr int kConnectTimeoutMs = 15000;
constexpr int kListTimeoutMs = 15000;

} // namespace

RemoteBrowserDialog::RemoteBrowserDialog(db::Database* db, QWidget* parent)
    : QDialog(parent)
    , db(db)
{
    setWindowTitle(QStringLiteral("Подключиться к удалённому компьютеру"));
    buildUi();
    loadConnectionSettings();
    reloadSavedServers(QString());
    setParametersVisible(hostEdit->text().trimmed().isEmpty());
    client = new RemoteAccessClient(this);
    connect(client, &RemoteAccessClient::disconnectedUnexpectedly, this, &RemoteBrowserDialog::onConnectionLost);
}

RemoteBrowserDialog::~RemoteBrowserDialog() = default;

// Every member widget carries its member's name as object name, so tests and automation find it.
void RemoteBrowserDialog::buildUi()
{
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(4);

    auto* serverRow = new QHBoxLayout;
    serverRow->addWidget(new QLabel(QStringLiteral("Сервер:"), this));
    savedServerCombo = new QComboBox(this);
    savedServerCombo->setObjectName(QStringLiteral("savedServerCombo"));
    serverRow->addWidget(savedServerCombo, 1);
    saveServerButton = new QPushButton(QStringLiteral("Сохранить…"), this);
    saveServerButton->setObjectName(QStringLiteral("saveServerButton"));
    serverRow->addWidget(saveServerButton);
    deleteServerButton = new QPushButton(QStringLiteral("Удалить"), this);
    deleteServerButton->setObjectName(QStringLiteral("deleteServerButton"));
    serverRow->addWidget(deleteServerButton);
    parametersToggle = new QToolButton(this);
    parametersToggle->setObjectName(QStringLiteral("parametersToggle"));
    parametersToggle->setCheckable(true);
    parametersToggle->setToolTip(QStringLiteral("Показать/скрыть адрес, порт, токен и отпечаток сертификата — обычно "
                                                "нужны только один раз, при первом вводе кода подключения."));
    serverRow->addWidget(parametersToggle);
    layout->addLayout(serverRow);

    parametersPanel = new QWidget(this);
    parametersPanel->setObjectName(QStringLiteral("parametersPanel"));
    auto* grid = new QGridLayout(parametersPanel);
    grid->setContentsMargins(0, 4, 0, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    hostEdit = new QLineEdit(parametersPanel);
    hostEdit->setObjectName(QStringLiteral("hostEdit"));
    hostEdit->setPlaceholderText(QStringLiteral("адрес VPS, например 203.0.113.10"));
    portSpin = new QSpinBox(parametersPanel);
    portSpin->setObjectName(QStringLiteral("portSpin"));
    portSpin->setRange(1, 65535);
    portSpin->setValue(kDefaultPort);
    portSpin->setMaximumWidth(80);
    tokenEdit = new QLineEdit(parametersPanel);
    tokenEdit->setObjectName(QStringLiteral("tokenEdit"));
    tokenEdit->setEchoMode(QLineEdit::Password);
    fingerprintEdit = new QLineEdit(parametersPanel);
    fingerprintEdit->setObjectName(QStringLiteral("fingerprintEdit"));
    fingerprintEdit->setPlaceholderText(QStringLiteral("AA:BB:CC:..."));
    e2eSecretEdit = new QLineEdit(parametersPanel);
    e2eSecretEdit->setObjectName(QStringLiteral("e2eSecretEdit"));
    e2eSecretEdit->setEchoMode(QLineEdit::Password);
    hostIdEdit = new QLineEdit(parametersPanel);
    hostIdEdit->setObjectName(QStringLiteral("hostIdEdit"));
    hostIdEdit->setPlaceholderText(QStringLiteral("оставьте пустым, если не указан в коде подключения"));
    hostIdEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[A-Za-z0-9_-]*")), hostIdEdit));
    grid->addWidget(new QLabel(QStringLiteral("Адрес:"), parametersPanel), 0, 0);
    grid->addWidget(hostEdit, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Порт:"), parametersPanel), 0, 2);
    grid->addWidget(portSpin, 0, 3);
    grid->addWidget(new QLabel(QStringLiteral("Токен:"), parametersPanel), 1, 0);
    grid->addWidget(tokenEdit, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Отпечаток:"), parametersPanel), 1, 2);
    grid->addWidget(fingerprintEdit, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Ключ шифрования:"), parametersPanel), 2, 0);
    grid->addWidget(e2eSecretEdit, 2, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("ID узла:"), parametersPanel), 3, 0);
    grid->addWidget(hostIdEdit, 3, 1, 1, 3);
    layout->addWidget(parametersPanel);

    auto* connectRow = new QHBoxLayout;
    connectButton = new QPushButton(QStringLiteral("Подключиться"), this);
    connectButton->setObjectName(QStringLiteral("connectButton"));
    connectRow->addWidget(connectButton);
    statusLabel = new QLabel(QStringLiteral("Не подключено"), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setStyleSheet(QStringLiteral("color: #999;"));
    connectRow->addWidget(statusLabel, 1);
    layout->addLayout(connectRow);

    tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("tabs"));
    tabs->addTab(buildArchiveTab(), QStringLiteral("Локальный архив"));
    tabs->addTab(buildPacsTab(), QStringLiteral("PACS"));
    layout->addWidget(tabs, 1);

    resizeWithinScreen(this, QSize(900, 720));

    connect(savedServerCombo, &QComboBox::currentIndexChanged, this, &RemoteBrowserDialog::onSavedServerSelected);
    connect(saveServerButton, &QPushButton::clicked, this, &RemoteBrowserDialog::onSaveServerClicked);
    connect(deleteServerButton, &QPushButton::clicked, this, &RemoteBrowserDialog::onDeleteServerClicked);
    connect(parametersToggle, &QToolButton::toggled, this, &RemoteBrowserDialog::setParametersVisible);
    connect(connectButton, &QPushButton::clicked, this, &RemoteBrowserDialog::onConnectClicked);
}

void RemoteBrowserDialog::setParametersVisible(bool shown)
{
    parametersPanel->setVisible(shown);
    const QSignalBlocker blocker(parametersToggle);
    parametersToggle->setChecked(shown);
    parametersToggle->setText(shown ? QStringLiteral("▲ Параметры") : QStringLiteral("▾ Параметры"));
}

QString RemoteBrowserDialog::effectiveHostId() const
{
    const QString id = hostIdEdit->text().trimmed();
    return id.isEmpty() ? QStringLiteral("primary") : id;
}

bool RemoteBrowserDialog::ensureConnected(QString* error)
{
    if (client->isConnected())
        return true;
    return client->connectToServer(hostEdit->text().trimmed(), portSpin->value(), tokenEdit->text().trimmed(),
                                   fingerprintEdit->text().trimmed(), e2eSecretEdit->text().trimmed(), error,
                                   kConnectTimeoutMs, effectiveHostId());
}

void RemoteBrowserDialog::onConnectClicked()
{
    const QString host = hostEdit->text().trimmed();
    const QString token = tokenEdit->text().trimmed();
    const QString fingerprint = fingerprintEdit->text().trimmed();
    const QString secret = e2eSecretEdit->text().trimmed();
    if (host.isEmpty() || token.isEmpty() || fingerprint.isEmpty() || secret.isEmpty()) {
        QMessageBox::information(this, windowTitle(), QStringLiteral("Заполните все поля кода подключения."));
        return;
    }
    connectButton->setEnabled(false);
    statusLabel->setText(QStringLiteral("Подключение…"));
    QApplication::processEvents();

    QString error;
    const bool ok =
        client->connectToServer(host, portSpin->value(), token, fingerprint, secret, &error, kConnectTimeoutMs,
                                effectiveHostId());
    connectButton->setEnabled(true);
    if (!ok) {
        statusLabel->setText(QStringLiteral("Не удалось подключиться"));
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }

    saveConnectionSettings();
    refreshRemoteStudies();

    pacsServerCombo->clear();
    QList<RemotePacsServerEntry> servers;
    QString listError;
    if (!client->listPacsServers(&servers, &listError, kListTimeoutMs)) {
        pacsStatusLabel->setText(QStringLiteral("Не удалось получить список PACS-серверов: %1").arg(listError));
        pacsFindButton->setEnabled(false);
        return;
    }
    pacsServers = servers;
    for (const RemotePacsServerEntry& server : std::as_const(pacsServers))
        pacsServerCombo->addItem(server.name, server.index);
    pacsStatusLabel->setText(pacsServers.isEmpty()
                                 ? QStringLiteral("У удалённого компьютера не настроено ни одного PACS-сервера.")
                                 : QStringLiteral("Выберите сервер и нажмите \"Найти\"."));
    pacsFindButton->setEnabled(!pacsServers.isEmpty());
}

void RemoteBrowserDialog::onConnectionLost(const QString& reason)
{
    statusLabel->setText(QStringLiteral("Соединение прервано: %1").arg(reason));
    downloadOpenButton->setEnabled(false);
    archiveTable->setRowCount(0);
}

void RemoteBrowserDialog::warnIfExposed(bool keptPrivate, const QString& exposure)
{
    if (!keptPrivate)
        QMessageBox::warning(this, windowTitle(), exposure);
}

void RemoteBrowserDialog::saveConnectionSettings()
{
    QSettings settings;
    QString exposure;
    warnIfExposed(keepSettingsFilePrivate(settings, &exposure), exposure);
    settings.beginGroup(kConnectionGroup);
    settings.setValue(QStringLiteral("host"), hostEdit->text().trimmed());
    settings.setValue(QStringLiteral("port"), portSpin->value());
    settings.setValue(QStringLiteral("token"), tokenEdit->text().trimmed());
    settings.setValue(QStringLiteral("certFingerprint"), fingerprintEdit->text().trimmed());
    settings.setValue(QStringLiteral("e2eSecret"), e2eSecretEdit->text().trimmed());
    settings.setValue(QStringLiteral("hostId"), hostIdEdit->text().trimmed());
}

void RemoteBrowserDialog::loadConnectionSettings()
{
    QSettings settings;
    QString exposure;
    // Written by a version that left it readable to all.
    warnIfExposed(keepConnectionSettingsPrivate(&exposure), exposure);
    settings.beginGroup(kConnectionGroup);
    hostEdit->setText(settings.value(QStringLiteral("host")).toString());
    portSpin->setValue(settings.value(QStringLiteral("port"), kDefaultPort).toInt());
    tokenEdit->setText(settings.value(QStringLiteral("token")).toString());
    fingerprintEdit->setText(settings.value(QStringLiteral("certFingerprint")).toString());
    e2eSecretEdit->setText(settings.value(QStringLiteral("e2eSecret")).toString());
    hostIdEdit->setText(settings.value(QStringLiteral("hostId")).toString());
}

QList<SavedRemoteServer> RemoteBrowserDialog::loadSavedServers()
{
    QSettings settings;
    QList<SavedRemoteServer> servers;
    const int size = settings.beginReadArray(kServersArray);
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        SavedRemoteServer s;
        s.name = settings.value(QStringLiteral("name")).toString();
        if (s.name.isEmpty())
            continue;
        s.host = settings.value(QStringLiteral("host")).toString();
        s.port = settings.value(QStringLiteral("port"), kDefaultPort).toInt();
        s.token = settings.value(QStringLiteral("token")).toString();
        s.certFingerprint = settings.value(QStringLiteral("certFingerprint")).toString();
        s.hostId = settings.value(QStringLiteral("hostId")).toString();
        s.e2eSecret = settings.value(QStringLiteral("e2eSecret")).toString();
        servers.append(s);
    }
    settings.endArray();
    return servers;
}

void RemoteBrowserDialog::storeSavedServers(const QList<SavedRemoteServer>& servers)
{
    QSettings settings;
    QString exposure;
    warnIfExposed(keepSettingsFilePrivate(settings, &exposure), exposure);
    settings.remove(kServersArray); // elements beyond the new size must not linger
    settings.beginWriteArray(kServersArray, int(servers.size()));
    for (int i = 0; i < servers.size(); ++i) {
        const SavedRemoteServer& s = servers.at(i);
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("name"), s.name.trimmed());
        settings.setValue(QStringLiteral("host"), s.host.trimmed());
        settings.setValue(QStringLiteral("port"), s.port);
        settings.setValue(QStringLiteral("token"), s.token.trimmed());
        settings.setValue(QStringLiteral("certFingerprint"), s.certFingerprint.trimmed());
        settings.setValue(QStringLiteral("hostId"), s.hostId.trimmed());
        settings.setValue(QStringLiteral("e2eSecret"), s.e2eSecret.trimmed());
    }
    settings.endArray();
}

void RemoteBrowserDialog::reloadSavedServers(const QString& nameToSelect)
{
    const QList<SavedRemoteServer> servers = loadSavedServers();
    const QSignalBlocker blocker(savedServerCombo);
    savedServerCombo->clear();
    savedServerCombo->addItem(QStringLiteral("— выберите сохранённый сервер —"));
    for (const SavedRemoteServer& s : servers)
        savedServerCombo->addItem(s.name);
    const QString name = nameToSelect.isEmpty() ? QSettings().value(kLastServerKey).toString() : nameToSelect;
    int index = 0;
    if (!name.isEmpty()) {
        for (int i = 1; i < savedServerCombo->count(); ++i) {
            if (savedServerCombo->itemText(i) == name) {
                index = i;
                break;
            }
        }
    }
    savedServerCombo->setCurrentIndex(index);
    deleteServerButton->setEnabled(index != 0);
}

void RemoteBrowserDialog::onSavedServerSelected(int index)
{
    deleteServerButton->setEnabled(index != 0);
    if (index <= 0)
        return;
    const QString name = savedServerCombo->itemText(index);
    for (const SavedRemoteServer& s : loadSavedServers()) {
        if (s.name != name)
            continue;
        hostEdit->setText(s.host);
        portSpin->setValue(s.port);
        tokenEdit->setText(s.token);
        fingerprintEdit->setText(s.certFingerprint);
        e2eSecretEdit->setText(s.e2eSecret);
        hostIdEdit->setText(s.hostId);
        QSettings().setValue(kLastServerKey, s.name);
        return;
    }
}

void RemoteBrowserDialog::onSaveServerClicked()
{
    const QString host = hostEdit->text().trimmed();
    const QString token = tokenEdit->text().trimmed();
    const QString fingerprint = fingerprintEdit->text().trimmed();
    const QString secret = e2eSecretEdit->text().trimmed();
    if (host.isEmpty() || token.isEmpty() || fingerprint.isEmpty() || secret.isEmpty()) {
        QMessageBox::information(
            this, windowTitle(),
            QStringLiteral("Заполните адрес, токен, отпечаток сертификата и ключ шифрования перед сохранением."));
        return;
    }
    const QString suggestion = savedServerCombo->currentIndex() != 0 ? savedServerCombo->currentText() : QString();
    bool accepted = false;
    const QString answer = QInputDialog::getText(this, QStringLiteral("Сохранить сервер"),
                                                 QStringLiteral("Название сервера (например, название клиники):"),
                                                 QLineEdit::Normal, suggestion, &accepted)
                               .trimmed();
    if (!accepted || answer.isEmpty())
        return;

    const SavedRemoteServer server{answer, host, portSpin->value(), token, fingerprint,
                                   hostIdEdit->text().trimmed(), secret};
    QList<SavedRemoteServer> servers = loadSavedServers();
    bool replaced = false;
    for (SavedRemoteServer& s : servers) {
        if (s.name == answer) {
            s = server;
            replaced = true;
            break;
        }
    }
    if (!replaced)
        servers.append(server);
    storeSavedServers(servers);
    QSettings().setValue(kLastServerKey, answer);
    reloadSavedServers(answer);
}

void RemoteBrowserDialog::onDeleteServerClicked()
{
    if (savedServerCombo->currentIndex() == 0)
        return;
    const QString name = savedServerCombo->currentText();
    if (QMessageBox::question(this, windowTitle(), QStringLiteral("Удалить сохранённый сервер «%1»?").arg(name),
                              QMessageBox::Yes | QMessageBox::No)
        != QMessageBox::Yes)
        return;
    QList<SavedRemoteServer> servers = loadSavedServers();
    servers.removeIf([&](const SavedRemoteServer& s) { return s.name == name; });
    storeSavedServers(servers);
    QSettings().remove(kLastServerKey);
    reloadSavedServers(QString());
}
