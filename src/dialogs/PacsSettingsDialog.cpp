#include "dialogs/PacsSettingsDialog.h"

#include "dialogs/PacsEchoWorker.h"
#include "dialogs/SettingsWriteCheck.h"

#include "pacs/PacsRequestChecks.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include <utility>

namespace {

enum Column { HostColumn = 0, PortColumn, AeColumn, DescriptionColumn, RetrieveColumn, StatusColumn, ColumnCount };

const QColor kGrey(153, 153, 153);
const QColor kGreen(60, 160, 60);
const QColor kRed(200, 60, 60);

// Why the title (trimmed) cannot be saved, naming the field; empty when it can. Only the C-MOVE
// destination may stay empty: it then is the node's own title. where: the server row, for the fields
// of the table.
QString aeTitleRefusal(const QString& title, const QString& field, bool mayBeEmpty, const QString& where = {})
{
    if ((mayBeEmpty && title.isEmpty()) || pacs::isValidAeTitle(title))
        return {};
    const QString place = where.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(where);
    if (title.isEmpty())
        return QStringLiteral("Поле «%1»%2: AE-заголовок не может быть пустым.").arg(field, place);
    return QStringLiteral("Поле «%1»%2: AE-заголовок — не длиннее 16 латинских букв, цифр и знаков ASCII, "
                          "без обратной косой черты и управляющих символов.")
        .arg(field, place);
}

} // namespace

PacsSettingsDialog::PacsSettingsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Конфигурация PACS"));
    resize(820, 460);
    buildUi();

    QStringList notices;
    const pacs::PacsConfig config = pacs::loadPacsConfig(&notices);
    storedNotice->setText(notices.join(QLatin1Char('\n')));
    storedNotice->setVisible(!notices.isEmpty());
    localPortSpin->setValue(config.localPort);
    localAeEdit->setText(config.localAeTitle);
    moveDestAeEdit->setText(config.moveDestinationAeTitle);
    serverTable->setRowCount(0);
    for (const pacs::PacsServer& server : config.servers)
        addServerRow(server);
}

void PacsSettingsDialog::buildUi()
{
    auto* layout = new QVBoxLayout(this);

    // What the stored configuration held that could not be used as it was.
    storedNotice = new QLabel(this);
    storedNotice->setObjectName(QStringLiteral("storedNotice"));
    storedNotice->setWordWrap(true);
    storedNotice->setStyleSheet(QStringLiteral("color: #c83c3c;"));
    layout->addWidget(storedNotice);

    auto* localGroup = new QGroupBox(QStringLiteral("Локальный узел"), this);
    auto* localForm = new QFormLayout(localGroup);
    localPortSpin = new QSpinBox(localGroup);
    localPortSpin->setObjectName(QStringLiteral("localPortSpin"));
    localPortSpin->setRange(1, 65535);
    localAeEdit = new QLineEdit(localGroup);
    localAeEdit->setObjectName(QStringLiteral("localAeEdit"));
    moveDestAeEdit = new QLineEdit(localGroup);
    moveDestAeEdit->setObjectName(QStringLiteral("moveDestAeEdit"));
    moveDestAeEdit->setPlaceholderText(QStringLiteral("пусто = тот же, что «Мой AE-заголовок»"));
    localForm->addRow(QStringLiteral("Принимающий порт:"), localPortSpin);
    localForm->addRow(QStringLiteral("Мой AE-заголовок:"), localAeEdit);
    localForm->addRow(QStringLiteral("AE-заголовок назначения для C-MOVE:"), moveDestAeEdit);
    layout->addWidget(localGroup);

    auto* serversGroup = new QGroupBox(QStringLiteral("Расположение PACS"), this);
    auto* serversLayout = new QVBoxLayout(serversGroup);
    serverTable = new QTableWidget(0, ColumnCount, serversGroup);
    serverTable->setObjectName(QStringLiteral("serverTable"));
    serverTable->setHorizontalHeaderLabels({QStringLiteral("IP-адрес"), QStringLiteral("Порт"),
                                            QStringLiteral("AE-заголовок"), QStringLiteral("Описание"),
                                            QStringLiteral("Способ скачивания"), QStringLiteral("Статус (C-ECHO)")});
    // An echo's failure names its cause in a sentence: the status takes the width the other columns
    // leave, and its row grows to show the sentence whole, wrapped.
    QHeaderView* columns = serverTable->horizontalHeader();
    columns->setSectionResizeMode(QHeaderView::Interactive);
    columns->setSectionResizeMode(StatusColumn, QHeaderView::Stretch);
    for (const auto& [column, width] : {std::pair{HostColumn, 110}, {PortColumn, 60}, {AeColumn, 110},
                                        {DescriptionColumn, 100}, {RetrieveColumn, 135}})
        columns->resizeSection(column, width);
    serverTable->setWordWrap(true);
    // Heights follow the widths, which change once the dialog is laid out and whenever it is resized.
    connect(columns, &QHeaderView::sectionResized, serverTable, &QTableView::resizeRowsToContents,
            Qt::QueuedConnection);
    serverTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    serverTable->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    serversLayout->addWidget(serverTable);

    auto* checkRow = new QHBoxLayout;
    checkSelectedButton = new QPushButton(QStringLiteral("Проверить выбранный (C-ECHO)"), serversGroup);
    checkSelectedButton->setToolTip(QStringLiteral(
        "Отправляет DICOM C-ECHO (Verification) выбранному серверу и показывает результат/задержку ответа "
        "в столбце \"Статус\" — проверяется то, что СЕЙЧАС введено в строке, даже если изменения ещё не сохранены."));
    checkAllButton = new QPushButton(QStringLiteral("Проверить все серверы"), serversGroup);
    checkRow->addWidget(checkSelectedButton);
    checkRow->addWidget(checkAllButton);
    checkRow->addStretch();
    serversLayout->addLayout(checkRow);

    auto* addRow = new QHBoxLayout;
    newHostEdit = new QLineEdit(serversGroup);
    newHostEdit->setObjectName(QStringLiteral("newHostEdit"));
    newHostEdit->setPlaceholderText(QStringLiteral("IP-адрес"));
    newPortSpin = new QSpinBox(serversGroup);
    newPortSpin->setObjectName(QStringLiteral("newPortSpin"));
    newPortSpin->setRange(1, 65535);
    newPortSpin->setValue(104);
    newAeEdit = new QLineEdit(serversGroup);
    newAeEdit->setObjectName(QStringLiteral("newAeEdit"));
    newAeEdit->setPlaceholderText(QStringLiteral("AE-заголовок"));
    newDescriptionEdit = new QLineEdit(serversGroup);
    newDescriptionEdit->setObjectName(QStringLiteral("newDescriptionEdit"));
    newDescriptionEdit->setPlaceholderText(QStringLiteral("Описание"));
    auto* addButton = new QPushButton(QStringLiteral("Добавить"), serversGroup);
    auto* removeButton = new QPushButton(QStringLiteral("Удалить выбранный"), serversGroup);
    addRow->addWidget(newHostEdit, 2);
    addRow->addWidget(newPortSpin, 1);
    addRow->addWidget(newAeEdit, 2);
    addRow->addWidget(newDescriptionEdit, 2);
    addRow->addWidget(addButton);
    addRow->addWidget(removeButton);
    serversLayout->addLayout(addRow);
    layout->addWidget(serversGroup, 1);

    auto* note = new QLabel(QStringLiteral(
        "C-GET не требует встречного соединения от сервера (обычно чинит проблему с firewall/NAT при C-MOVE), "
        "но поддерживается не всеми PACS. Поиск и скачивание — в отдельном окне «Загрузить с PACS…»."), this);
    note->setWordWrap(true);
    note->setStyleSheet(QStringLiteral("color: #999; font-size: 11px;"));
    layout->addWidget(note);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::accepted, this, &PacsSettingsDialog::onSaveClicked);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(checkSelectedButton, &QPushButton::clicked, this, &PacsSettingsDialog::onCheckSelectedClicked);
    connect(checkAllButton, &QPushButton::clicked, this, &PacsSettingsDialog::onCheckAllClicked);
    connect(addButton, &QPushButton::clicked, this, &PacsSettingsDialog::onAddServerClicked);
    connect(removeButton, &QPushButton::clicked, this, &PacsSettingsDialog::onRemoveServerClicked);
}

void PacsSettingsDialog::addServerRow(const pacs::PacsServer& server)
{
    const int row = serverTable->rowCount();
    serverTable->insertRow(row);
    serverTable->setItem(row, HostColumn, new QTableWidgetItem(server.host));
    serverTable->setItem(row, PortColumn, new QTableWidgetItem(QString::number(server.port)));
    serverTable->setItem(row, AeColumn, new QTableWidgetItem(server.aeTitle));
    serverTable->setItem(row, DescriptionColumn, new QTableWidgetItem(server.description));

    auto* mode = new QComboBox(serverTable);
    mode->addItems({QStringLiteral("C-MOVE"), QStringLiteral("C-GET")});
    mode->setCurrentIndex(server.retrieveMode == 1 ? 1 : 0);
    serverTable->setCellWidget(row, RetrieveColumn, mode);

    auto* status = new QTableWidgetItem(QStringLiteral("— не проверялось —"));
    status->setFlags(status->flags() & ~Qt::ItemIsEditable);
    status->setForeground(kGrey);
    serverTable->setItem(row, StatusColumn, status);
}

pacs::PacsServer PacsSettingsDialog::serverFromRow(int row) const
{
    pacs::PacsServer server;
    const QTableWidgetItem* host = serverTable->item(row, HostColumn);
    server.host = host ? host->text().trimmed() : QString();
    if (const QTableWidgetItem* port = serverTable->item(row, PortColumn))
        server.port = port->text().toInt(); // text that is not a number gives 0
    else
        server.port = 104;
    const QTableWidgetItem* ae = serverTable->item(row, AeColumn);
    server.aeTitle = ae ? ae->text().trimmed() : QString();
    const QTableWidgetItem* description = serverTable->item(row, DescriptionColumn);
    server.description = description ? description->text() : QString();
    const auto* mode = qobject_cast<QComboBox*>(serverTable->cellWidget(row, RetrieveColumn));
    server.retrieveMode = mode && mode->currentIndex() == 1 ? 1 : 0;
    return server;
}

pacs::PacsConfig PacsSettingsDialog::collectConfig() const
{
    pacs::PacsConfig config;
    config.localPort = localPortSpin->value();
    config.localAeTitle = localAeEdit->text().trimmed();
    config.moveDestinationAeTitle = moveDestAeEdit->text().trimmed();
    for (int row = 0; row < serverTable->rowCount(); ++row) {
        pacs::PacsServer server = serverFromRow(row);
        if (!server.host.isEmpty())
            config.servers.append(std::move(server));
    }
    return config;
}

QString PacsSettingsDialog::refusal() const
{
    if (QString why = aeTitleRefusal(localAeEdit->text().trimmed(), QStringLiteral("Мой AE-заголовок"), false);
        !why.isEmpty())
        return why;
    if (QString why = aeTitleRefusal(moveDestAeEdit->text().trimmed(),
                                     QStringLiteral("AE-заголовок назначения для C-MOVE"), true);
        !why.isEmpty())
        return why;
    for (int row = 0; row < serverTable->rowCount(); ++row) {
        const pacs::PacsServer server = serverFromRow(row);
        if (server.host.isEmpty())
            continue; // not saved
        const QString where = QStringLiteral("%1, строка %2").arg(server.host).arg(row + 1);
        const QTableWidgetItem* port = serverTable->item(row, PortColumn);
        bool number = true;
        if (port)
            port->text().trimmed().toInt(&number);
        if (!number || !pacs::isValidPort(server.port))
            return QStringLiteral("Поле «Порт» (%1): нужно число от 1 до 65535, введено «%2».")
                .arg(where, port ? port->text() : QString());
        if (QString why = aeTitleRefusal(server.aeTitle, QStringLiteral("AE-заголовок"), false, where);
            !why.isEmpty())
            return why;
    }
    return {};
}

void PacsSettingsDialog::onAddServerClicked()
{
    const QString host = newHostEdit->text().trimmed();
    if (host.isEmpty())
        return;
    if (const QString why = aeTitleRefusal(newAeEdit->text().trimmed(), QStringLiteral("AE-заголовок"), false);
        !why.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), why);
        return;
    }
    pacs::PacsServer server;
    server.host = host;
    server.port = newPortSpin->value();
    server.aeTitle = newAeEdit->text().trimmed();
    server.description = newDescriptionEdit->text().trimmed();
    server.retrieveMode = 0;
    addServerRow(server);
    newHostEdit->clear();
    newAeEdit->clear();
    newDescriptionEdit->clear();
    newPortSpin->setValue(104);
}

void PacsSettingsDialog::onRemoveServerClicked()
{
    const int row = serverTable->currentRow();
    if (row < 0)
        return;
    serverTable->removeRow(row);
    // A check in progress must not put one server's answer on the row of another: the removed row
    // takes no result, the rows below it move up by one.
    for (int& pending : pendingRows) {
        if (pending == row)
            pending = -1;
        else if (pending > row)
            --pending;
    }
}

void PacsSettingsDialog::onSaveClicked()
{
    const QString why = refusal();
    if (!why.isEmpty()) {
        QMessageBox::warning(this, windowTitle(), why);
        return;
    }
    pacs::savePacsConfig(collectConfig());
    if (!confirmSettingsWritten(this, windowTitle()))
        return;
    accept();
}

void PacsSettingsDialog::onCheckSelectedClicked()
{
    const int row = serverTable->currentRow();
    if (row < 0) {
        QMessageBox::information(this, windowTitle(), QStringLiteral("Сначала выберите сервер в списке."));
        return;
    }
    startEchoCheck({row});
}

void PacsSettingsDialog::onCheckAllClicked()
{
    if (serverTable->rowCount() == 0) {
        QMessageBox::information(this, windowTitle(), QStringLiteral("Список серверов пуст."));
        return;
    }
    QList<int> rows;
    for (int row = 0; row < serverTable->rowCount(); ++row)
        rows.append(row);
    startEchoCheck(rows);
}

void PacsSettingsDialog::startEchoCheck(const QList<int>& rows)
{
    if (echoThread)
        return;

    QList<pacs::PacsServer> servers;
    for (int row : rows) {
        servers.append(serverFromRow(row));
        if (QTableWidgetItem* status = serverTable->item(row, StatusColumn)) {
            status->setText(QStringLiteral("⏳ Проверка…"));
            status->setForeground(kGrey);
        }
    }
    pendingRows = rows;
    pacs::PacsConfig config = collectConfig();
    checkSelectedButton->setEnabled(false);
    checkAllButton->setEnabled(false);

    echoThread = new QThread;
    echoWorker = new PacsEchoWorker(std::move(servers), std::move(config));
    echoWorker->moveToThread(echoThread);
    connect(echoThread, &QThread::started, echoWorker, &PacsEchoWorker::run);
    connect(echoWorker, &PacsEchoWorker::serverChecked, this, &PacsSettingsDialog::onEchoResult);
    connect(echoWorker, &PacsEchoWorker::finished, this, &PacsSettingsDialog::onEchoFinished);
    connect(echoWorker, &PacsEchoWorker::finished, echoThread, &QThread::quit);
    connect(echoThread, &QThread::finished, echoWorker, &QObject::deleteLater);
    connect(echoThread, &QThread::finished, echoThread, &QObject::deleteLater);
    echoThread->start();
}

void PacsSettingsDialog::onEchoResult(int index, bool ok, QString message, qint64 elapsedMs)
{
    if (index < 0 || index >= pendingRows.size() || pendingRows.at(index) < 0)
        return;
    QTableWidgetItem* status = serverTable->item(pendingRows.at(index), StatusColumn);
    if (!status)
        return;
    if (ok) {
        status->setText(QStringLiteral("✅ Отвечает (%1 мс)").arg(elapsedMs));
        status->setForeground(kGreen);
        status->setToolTip(QString());
    } else {
        status->setText(QStringLiteral("❌ %1").arg(message));
        status->setForeground(kRed);
        status->setToolTip(message);
    }
    serverTable->resizeRowToContents(pendingRows.at(index));
}

void PacsSettingsDialog::onEchoFinished()
{
    echoThread = nullptr;
    echoWorker = nullptr;
    pendingRows.clear();
    checkSelectedButton->setEnabled(true);
    checkAllButton->setEnabled(true);
}
