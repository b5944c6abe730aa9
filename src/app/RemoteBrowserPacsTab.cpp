// The "PACS" tab of the remote browser: the other workstation searches its own PACS servers and, on
// request, retrieves a study into its own archive, from where the archive tab downloads it.

#include "app/RemoteBrowserDialog.h"
#include "app/StudyFilters.h"

#include "app/ModalityFilterButton.h"
#include "dicom/DicomDateTime.h"
#include "pacs/PacsNetworkClient.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

constexpr int kServerIndexRole = Qt::UserRole + 1;

QTableWidgetItem* readOnlyItem(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

QString countOrQuestion(const QString& count)
{
    return count.isEmpty() ? QStringLiteral("?") : count;
}

} // namespace

QWidget* RemoteBrowserDialog::buildPacsTab()
{
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 6, 0, 0);
    layout->setSpacing(4);

    auto* searchRow = new QHBoxLayout;
    searchRow->setSpacing(4);
    pacsServerCombo = new QComboBox(page);
    pacsServerCombo->setObjectName(QStringLiteral("pacsServerCombo"));
    pacsServerCombo->setMinimumWidth(140);
    pacsServerCombo->setToolTip(QStringLiteral("Поиск идёт по PACS-серверам УДАЛЁННОГО компьютера — он сам выполняет "
                                               "запрос своими настройками PACS. Список появится сразу после подключения."));
    searchRow->addWidget(pacsServerCombo);
    pacsNameEdit = new QLineEdit(page);
    pacsNameEdit->setObjectName(QStringLiteral("pacsNameEdit"));
    pacsNameEdit->setPlaceholderText(QStringLiteral("ФИО пациента…"));
    searchRow->addWidget(pacsNameEdit, 1);
    pacsIdEdit = new QLineEdit(page);
    pacsIdEdit->setObjectName(QStringLiteral("pacsIdEdit"));
    pacsIdEdit->setPlaceholderText(QStringLiteral("ID пациента"));
    pacsIdEdit->setMaximumWidth(120);
    searchRow->addWidget(pacsIdEdit);
    pacsFindButton = new QPushButton(QStringLiteral("Найти"), page);
    pacsFindButton->setObjectName(QStringLiteral("pacsFindButton"));
    searchRow->addWidget(pacsFindButton);
    layout->addLayout(searchRow);

    auto* filterRow = new QHBoxLayout;
    filterRow->setSpacing(4);
    pacsModalityButton = new ModalityFilterButton(page);
    pacsModalityButton->setObjectName(QStringLiteral("pacsModalityButton"));
    filterRow->addWidget(pacsModalityButton);
    pacsPeriodCombo = new QComboBox(page);
    pacsPeriodCombo->setObjectName(QStringLiteral("pacsPeriodCombo"));
    pacsPeriodCombo->setMaximumWidth(140);
    pacsPeriodCombo->addItems({QStringLiteral("Любая дата"), QStringLiteral("Сегодня"), QStringLiteral("Вчера"),
                               QStringLiteral("Последние 10 дней"), QStringLiteral("Последний месяц"),
                               QStringLiteral("Диапазон дат"), QStringLiteral("Точная дата")});
    filterRow->addWidget(pacsPeriodCombo);
    for (QDateEdit** edit : {&pacsDateFrom, &pacsDateTo}) {
        *edit = new QDateEdit(QDate::currentDate(), page);
        (*edit)->setObjectName(edit == &pacsDateFrom ? QStringLiteral("pacsDateFrom") : QStringLiteral("pacsDateTo"));
        (*edit)->setCalendarPopup(true);
        (*edit)->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
        (*edit)->setMaximumWidth(100);
        (*edit)->setVisible(false);
        filterRow->addWidget(*edit);
    }
    pacsStatusLabel = new QLabel(QStringLiteral("Сначала подключитесь к удалённому компьютеру."), page);
    pacsStatusLabel->setObjectName(QStringLiteral("pacsStatusLabel"));
    pacsStatusLabel->setStyleSheet(QStringLiteral("color: #999;"));
    filterRow->addWidget(pacsStatusLabel, 1);
    layout->addLayout(filterRow);

    pacsResultsTable = new QTableWidget(0, 6, page);
    pacsResultsTable->setObjectName(QStringLiteral("pacsResultsTable"));
    pacsResultsTable->setHorizontalHeaderLabels({QStringLiteral("Пациент"), QStringLiteral("ID"), QStringLiteral("Дата"),
                                                 QStringLiteral("Описание"), QStringLiteral("Модальности"),
                                                 QStringLiteral("Серий/Снимков")});
    pacsResultsTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    pacsResultsTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    pacsResultsTable->setSelectionMode(QAbstractItemView::SingleSelection);
    pacsResultsTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    pacsResultsTable->setSortingEnabled(false);
    layout->addWidget(pacsResultsTable, 1);

    pacsDownloadButton = new QPushButton(QStringLiteral("Скачать в архив удалённого компьютера"), page);
    pacsDownloadButton->setObjectName(QStringLiteral("pacsDownloadButton"));
    pacsDownloadButton->setEnabled(false);
    pacsDownloadButton->setToolTip(
        QStringLiteral("Получает исследование с PACS В ЛОКАЛЬНЫЙ АРХИВ удалённого компьютера (как обычный "
                       "C-MOVE/C-GET retrieve). Это НЕ скачивает его к вам и не открывает — после получения "
                       "переключитесь на вкладку \"Локальный архив\" и скачайте/откройте оттуда."));
    layout->addWidget(pacsDownloadButton);

    connect(pacsFindButton, &QPushButton::clicked, this, &RemoteBrowserDialog::onPacsFindClicked);
    connect(pacsPeriodCombo, &QComboBox::currentIndexChanged, this, &RemoteBrowserDialog::onPacsPeriodChanged);
    connect(pacsResultsTable, &QTableWidget::cellDoubleClicked, this, &RemoteBrowserDialog::onPacsDownloadClicked);
    connect(pacsDownloadButton, &QPushButton::clicked, this, &RemoteBrowserDialog::onPacsDownloadClicked);
    return page;
}

void RemoteBrowserDialog::onPacsPeriodChanged(int index)
{
    pacsDateFrom->setVisible(index == 5 || index == 6);
    pacsDateTo->setVisible(index == 5);
}

std::pair<QString, QString> RemoteBrowserDialog::pacsDateRange() const
{
    const auto [from, to] = studyfilters::periodDates(pacsPeriodCombo->currentIndex(), 6, QDate::currentDate(),
                                                      pacsDateFrom->date(), pacsDateTo->date());
    if (!from.isValid() || !to.isValid())
        return {};
    const QString format = QStringLiteral("yyyyMMdd");
    return {from.toString(format), to.toString(format)};
}

void RemoteBrowserDialog::onPacsFindClicked()
{
    if (pacsServerCombo->currentIndex() < 0) {
        QMessageBox::information(this, windowTitle(), QStringLiteral("Нет доступных PACS-серверов."));
        return;
    }
    QString error;
    if (!ensureConnected(&error)) {
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }
    const int serverIndex = pacsServerCombo->currentData(Qt::UserRole).toInt();
    QString name = pacsNameEdit->text().trimmed();
    if (!name.isEmpty() && !name.contains(QLatin1Char('*')) && !name.contains(QLatin1Char('?')))
        name = QStringLiteral("*%1*").arg(name);
    const auto [from, to] = pacsDateRange();

    pacsFindButton->setEnabled(false);
    pacsStatusLabel->setText(QStringLiteral("Выполняется C-FIND на удалённом компьютере…"));
    QApplication::processEvents();

    const QString modality = pacsModalityButton->selectedModalities().join(QLatin1Char('\\'));
    QList<RemotePacsStudyRow> rows;
    bool incomplete = false;
    const bool ok = client->pacsFind(serverIndex, name, pacsIdEdit->text().trimmed(), modality, from, to, &rows,
                                     &error, 30000, &incomplete);
    pacsFindButton->setEnabled(true);
    if (!ok) {
        pacsStatusLabel->setText(QStringLiteral("Ошибка поиска"));
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }

    pacsResultsTable->setSortingEnabled(false);
    pacsResultsTable->setRowCount(int(rows.size()));
    for (int r = 0; r < rows.size(); ++r) {
        const RemotePacsStudyRow& row = rows.at(r);
        auto* patient = readOnlyItem(row.patientName);
        patient->setData(Qt::UserRole, row.uid);
        // The retrieve goes to the server that found the study, whatever the list shows by then.
        patient->setData(kServerIndexRole, serverIndex);
        pacsResultsTable->setItem(r, 0, patient);
        pacsResultsTable->setItem(r, 1, readOnlyItem(row.patientId));
        pacsResultsTable->setItem(r, 2, readOnlyItem(dicom::dicomDateText(row.studyDate, QStringLiteral("yyyy-MM-dd"))));
        pacsResultsTable->setItem(r, 3, readOnlyItem(row.studyDescription));
        pacsResultsTable->setItem(r, 4, readOnlyItem(row.modalities));
        pacsResultsTable->setItem(
            r, 5,
            readOnlyItem(QStringLiteral("%1 / %2").arg(countOrQuestion(row.numberOfSeries),
                                                        countOrQuestion(row.numberOfInstances))));
    }
    pacsResultsTable->setSortingEnabled(true);
    QString status = rows.isEmpty() ? QStringLiteral("Ничего не найдено.")
                                    : QStringLiteral("Найдено исследований: %1").arg(rows.size());
    if (incomplete)
        status += QLatin1Char(' ') + pacs::incompleteSearchText(int(rows.size()));
    pacsStatusLabel->setText(status);
    pacsDownloadButton->setEnabled(!rows.isEmpty());
}

void RemoteBrowserDialog::onPacsDownloadClicked()
{
    const int row = pacsResultsTable->currentRow();
    const QTableWidgetItem* item = row >= 0 ? pacsResultsTable->item(row, 0) : nullptr;
    if (!item) {
        QMessageBox::information(this, windowTitle(),
                                 QStringLiteral("Сначала выберите исследование в результатах поиска."));
        return;
    }
    const QString studyUid = item->data(Qt::UserRole).toString();
    const int serverIndex = item->data(kServerIndexRole).toInt();
    QString error;
    if (!ensureConnected(&error)) {
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }

    QProgressDialog progress(QStringLiteral("Удалённый компьютер получает исследование с PACS…"), QString(), 0, 0,
                             this);
    progress.setWindowTitle(QStringLiteral("Kalvenor"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setCancelButton(nullptr);
    progress.show();

    const bool ok = client->pacsRetrieve(
        serverIndex, studyUid,
        [&progress](int received) {
            progress.setLabelText(
                QStringLiteral("Удалённый компьютер получает исследование с PACS… (получено файлов: %1)").arg(received));
            QApplication::processEvents();
        },
        &error, 60000,
        [&progress](int position) {
            progress.setLabelText(
                QStringLiteral("Удалённый компьютер сейчас занят другим PACS-запросом — в очереди (место %1)…")
                    .arg(position));
            QApplication::processEvents();
        });
    progress.close();

    if (!ok) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("Не удалось получить исследование с PACS удалённого компьютера:\n%1").arg(error));
        return;
    }
    refreshRemoteStudies();
    tabs->setCurrentIndex(0);
    QMessageBox::information(this, windowTitle(),
                             QStringLiteral("Исследование получено и сохранено в локальном архиве удалённого компьютера."
                                            "\n\nТеперь можно скачать и открыть его на вкладке \"Локальный архив\"."));
}
