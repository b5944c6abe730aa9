#include "app/PacsDownloadDialog.h"
#include "app/StudyFilters.h"

#include "app/MainWindow.h"
#include "app/ModalityFilterButton.h"
#include "app/TableColumnVisibility.h"
#include "db/Database.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/UnfinishedRetrieves.h"
#include "dicom/DicomDateTime.h"
#include "dialogs/WaitingBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

QList<PacsDownloadDialog::ResultRow> PacsDownloadDialog::s_lastSearchResults;

namespace {

constexpr int kColumns = 9;
constexpr int ServerIndexRole = Qt::UserRole + 1;
constexpr int RowIdRole = Qt::UserRole + 2;

QString methodWord(const pacs::PacsServer& server)
{
    return server.retrieveMode == 1 ? QStringLiteral("C-GET") : QStringLiteral("C-MOVE");
}

bool sameServer(const pacs::PacsServer& a, const pacs::PacsServer& b)
{
    return a.host.compare(b.host, Qt::CaseInsensitive) == 0 && a.port == b.port
        && a.aeTitle.compare(b.aeTitle, Qt::CaseInsensitive) == 0;
}

struct SearchResult
{
    QList<pacs::StudyQueryRow> rows;
    QString error;
};

} // namespace

PacsDownloadDialog::PacsDownloadDialog(db::Database* index, QWidget* parent)
    : QDialog(parent)
    , m_index(index)
{
    setWindowTitle(QStringLiteral("Поиск и загрузка исследований с PACS"));
    setWindowFlags(windowFlags() | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    resize(860, 580);
    setupUi();
    loadServers();
    loadSettings();
    loadColumnWidths();
    m_coordinator = new pacs::PacsOpenCoordinator(m_index, this);
    connect(m_coordinator, &pacs::PacsOpenCoordinator::fileReceived, this, &PacsDownloadDialog::onCoordinatorFileReceived);
    connect(m_coordinator, &pacs::PacsOpenCoordinator::finished, this, &PacsDownloadDialog::onCoordinatorFinished);
    connect(m_coordinator, &pacs::PacsOpenCoordinator::waitingForPort, this, &PacsDownloadDialog::showStatus);
    connect(m_coordinator, &pacs::PacsOpenCoordinator::portWaitEnded, this, [this] {
        if (m_coordinator->isRunning())
            showStatus(QStringLiteral("Порт открыт, загрузка идёт…"));
    });
    connect(m_coordinator, &pacs::PacsOpenCoordinator::waitingForStudy, this, [this] {
        showStatus(QStringLiteral("Это исследование сейчас принимает другая загрузка с PACS-сервера; эта продолжится "
                                  "сама, когда та закончится."));
    });
    connect(m_coordinator, &pacs::PacsOpenCoordinator::studyWaitEnded, this,
            [this] { showStatus(QStringLiteral("Другая загрузка закончилась, загрузка идёт…")); });
    if (!s_lastSearchResults.isEmpty()) {
        populateResults(s_lastSearchResults);
        setBusy(false, QStringLiteral("Показаны результаты предыдущего поиска — %1").arg(s_lastSearchResults.size()));
    }
}

PacsDownloadDialog::~PacsDownloadDialog()
{
    if (m_searchAbandoned)
        *m_searchAbandoned = true;
    saveColumnWidths();
}

void PacsDownloadDialog::setupUi()
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 6, 8, 6);
    layout->setSpacing(4);

    auto* form = new QFormLayout;
    form->setVerticalSpacing(3);
    form->setContentsMargins(0, 0, 0, 0);

    auto* serversRow = new QHBoxLayout;
    auto* serverColumn = new QVBoxLayout;
    m_serverList = new QListWidget(this);
    m_serverList->setSelectionMode(QAbstractItemView::NoSelection);
    m_serverList->setMaximumHeight(104);
    m_serverList->setMaximumWidth(260);
    m_serverList->setStyleSheet(QStringLiteral(
        "QListWidget::indicator { width: 18px; height: 18px; }"
        "QListWidget::indicator:unchecked { border: 2px solid #999; background: #2a2a2a; border-radius: 3px; }"
        "QListWidget::indicator:checked { border: 2px solid #33aaff; background: #33aaff; border-radius: 3px; }"
        "QListWidget::item { padding: 3px; }"));
    m_selectAll = new QCheckBox(QStringLiteral("Выбрать все серверы"), this);
    serverColumn->addWidget(m_serverList);
    serverColumn->addWidget(m_selectAll);
    serversRow->addLayout(serverColumn);
    m_modality = new ModalityFilterButton(this);
    serversRow->addWidget(m_modality, 0, Qt::AlignTop);
    auto* dateColumn = new QVBoxLayout;
    m_period = new QComboBox(this);
    m_period->addItems({QStringLiteral("Любая дата"), QStringLiteral("Сегодня"), QStringLiteral("Вчера"),
                        QStringLiteral("Последние 10 дней"), QStringLiteral("Последний месяц"),
                        QStringLiteral("Диапазон дат…"), QStringLiteral("Точная дата")});
    m_dateFrom = new QDateEdit(QDate::currentDate(), this);
    m_dateTo = new QDateEdit(QDate::currentDate(), this);
    for (QDateEdit* edit : {m_dateFrom, m_dateTo}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
        edit->setEnabled(false);
    }
    dateColumn->addWidget(m_period);
    dateColumn->addWidget(m_dateFrom);
    dateColumn->addWidget(m_dateTo);
    dateColumn->addStretch();
    serversRow->addLayout(dateColumn, 1);
    form->addRow(QStringLiteral("Серверы:"), serversRow);

    auto* patientRow = new QHBoxLayout;
    m_patientName = new QLineEdit(this);
    m_patientName->setPlaceholderText(QStringLiteral("Фамилия Имя (можно с * — например Иванов*)"));
    m_patientId = new QLineEdit(this);
    m_patientId->setPlaceholderText(QStringLiteral("ID пациента"));
    patientRow->addWidget(m_patientName, 2);
    patientRow->addWidget(m_patientId, 1);
    form->addRow(QStringLiteral("Пациент:"), patientRow);
    layout->addLayout(form);

    auto* findRow = new QHBoxLayout;
    m_findButton = new QPushButton(QStringLiteral("Найти (C-FIND)"), this);
    m_backButton = new QPushButton(QStringLiteral("К локальному архиву"), this);
    findRow->addWidget(m_findButton, 1);
    findRow->addWidget(m_backButton);
    layout->addLayout(findRow);

    m_table = new QTableWidget(0, kColumns, this);
    m_table->setHorizontalHeaderLabels({QStringLiteral("Пациент"), QStringLiteral("ID"), QStringLiteral("Дата и время"),
                                        QStringLiteral("Описание"), QStringLiteral("Модальности"), QStringLiteral("Серий"),
                                        QStringLiteral("Снимков"), QStringLiteral("Accession"), QStringLiteral("Сервер")});
    m_table->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_table->horizontalHeader()->setSortIndicatorShown(true);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSortingEnabled(true);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    m_table->setWordWrap(false);
    installColumnVisibilityMenu(m_table, QStringLiteral("pacsDownloadDialog/resultsColumnVisibility"));
    layout->addWidget(m_table, 1);

    auto* downloadRow = new QHBoxLayout;
    m_downloadButton = new QPushButton(QStringLiteral("Скачать"), this);
    m_downloadButton->setToolTip(QStringLiteral("Сохранить в локальный архив, без автооткрытия окна просмотра"));
    m_downloadOpenButton = new QPushButton(QStringLiteral("Скачать и открыть"), this);
    m_viewButton = new QPushButton(QStringLiteral("Открыть"), this);
    m_viewButton->setToolTip(QStringLiteral("Только посмотреть — БЕЗ сохранения в локальный архив. Файлы во временной "
                                            "папке, запись и файлы удаляются сами при закрытии окна просмотра."));
    downloadRow->addWidget(m_downloadButton);
    downloadRow->addWidget(m_downloadOpenButton);
    downloadRow->addWidget(m_viewButton);
    layout->addLayout(downloadRow);

    m_searchProblemsLabel = new QLabel(this);
    m_searchProblemsLabel->setWordWrap(true);
    m_searchProblemsLabel->setStyleSheet(QStringLiteral("color: #e0a030;"));
    m_searchProblemsLabel->hide();
    layout->addWidget(m_searchProblemsLabel);

    auto* statusRow = new QHBoxLayout;
    m_status = new QLabel(QStringLiteral("Готово"), this);
    m_status->setStyleSheet(QStringLiteral("color: #999;"));
    // A status as long as the port-wait notice, or one naming a long path, must not widen the dialog
    // past the screen: it wraps within the width the dialog has, and what an unbroken word cuts off is
    // in the tooltip.
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_status->setWordWrap(true); // after the policy, which it gives its height for a width
    m_busyBar = new QProgressBar(this);
    m_busyBar->setRange(0, 0);
    m_busyBar->setFixedWidth(160);
    m_busyBar->hide();
    statusRow->addWidget(m_status, 1);
    statusRow->addWidget(m_busyBar);
    layout->addLayout(statusRow);

    connect(m_selectAll, &QCheckBox::toggled, this, [this](bool on) {
        for (int i = 0; i < m_serverList->count(); ++i)
            m_serverList->item(i)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    });
    connect(m_period, &QComboBox::currentIndexChanged, this, &PacsDownloadDialog::onPeriodChanged);
    connect(m_findButton, &QPushButton::clicked, this, &PacsDownloadDialog::onFindClicked);
    connect(m_backButton, &QPushButton::clicked, this, &QDialog::close);
    connect(m_table, &QTableWidget::cellDoubleClicked, this, [this](int row, int) {
        m_table->selectRow(row);
        startDownload(DownloadAndOpen);
    });
    connect(m_table, &QTableWidget::customContextMenuRequested, this, &PacsDownloadDialog::showResultsContextMenu);
    connect(m_downloadButton, &QPushButton::clicked, this, [this] { startDownload(ToArchive); });
    connect(m_downloadOpenButton, &QPushButton::clicked, this, [this] { startDownload(DownloadAndOpen); });
    connect(m_viewButton, &QPushButton::clicked, this, [this] { startDownload(ViewOnly); });
}

void PacsDownloadDialog::loadServers()
{
    m_servers = pacs::loadPacsConfig().servers;
    m_serverList->clear();
    for (const pacs::PacsServer& server : m_servers) {
        const QString label = server.description.isEmpty()
                                  ? QStringLiteral("%1:%2 (%3) — %4")
                                        .arg(server.host)
                                        .arg(server.port)
                                        .arg(server.aeTitle, methodWord(server))
                                  : QStringLiteral("%1 — %2").arg(server.description, methodWord(server));
        auto* item = new QListWidgetItem(label, m_serverList);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    if (m_servers.size() == 1)
        m_serverList->item(0)->setCheckState(Qt::Checked);
    if (m_servers.isEmpty()) {
        showStatus(QStringLiteral("Список серверов пуст — сначала добавьте сервер в «PACS… → Конфигурация»."));
        for (QPushButton* b : {m_findButton, m_downloadButton, m_downloadOpenButton, m_viewButton})
            b->setEnabled(false);
    }
}

void PacsDownloadDialog::loadSettings()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("pacsDialog"));
    const QVariantList indices = settings.value(QStringLiteral("checkedServerIndices")).toList();
    for (const QVariant& v : indices) {
        const int i = v.toInt();
        if (i >= 0 && i < m_serverList->count())
            m_serverList->item(i)->setCheckState(Qt::Checked);
    }
    if (settings.contains(QStringLiteral("checkedModalities")))
        m_modality->setSelectedModalities(settings.value(QStringLiteral("checkedModalities")).toStringList());
    if (settings.contains(QStringLiteral("periodIndex"))) {
        const QSignalBlocker block(m_period);
        m_period->setCurrentIndex(settings.value(QStringLiteral("periodIndex")).toInt());
    }
    if (settings.contains(QStringLiteral("dateFrom")))
        m_dateFrom->setDate(settings.value(QStringLiteral("dateFrom")).toDate());
    if (settings.contains(QStringLiteral("dateTo")))
        m_dateTo->setDate(settings.value(QStringLiteral("dateTo")).toDate());
    const int period = m_period->currentIndex();
    m_dateFrom->setEnabled(period == 5 || period == 6);
    m_dateTo->setEnabled(period == 5);
}

void PacsDownloadDialog::saveSettings()
{
    QVariantList indices;
    for (int i = 0; i < m_serverList->count(); ++i)
        if (m_serverList->item(i)->checkState() == Qt::Checked)
            indices << i;
    QSettings settings;
    settings.beginGroup(QStringLiteral("pacsDialog"));
    settings.setValue(QStringLiteral("checkedServerIndices"), indices);
    settings.setValue(QStringLiteral("checkedModalities"), m_modality->selectedModalities());
    settings.setValue(QStringLiteral("periodIndex"), m_period->currentIndex());
    settings.setValue(QStringLiteral("dateFrom"), m_dateFrom->date());
    settings.setValue(QStringLiteral("dateTo"), m_dateTo->date());
}

void PacsDownloadDialog::loadColumnWidths()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("pacsDialog/columnWidths"));
    for (int c = 0; c < kColumns; ++c) {
        const QString key = QString::number(c);
        if (settings.contains(key))
            m_table->setColumnWidth(c, settings.value(key).toInt());
    }
}

void PacsDownloadDialog::saveColumnWidths()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("pacsDialog/columnWidths"));
    for (int c = 0; c < kColumns; ++c)
        settings.setValue(QString::number(c), m_table->columnWidth(c));
}

void PacsDownloadDialog::onPeriodChanged(int index)
{
    m_dateFrom->setEnabled(index == 5 || index == 6);
    m_dateTo->setEnabled(index == 5);
}

std::pair<QString, QString> PacsDownloadDialog::selectedDateRange() const
{
    const auto [from, to] = studyfilters::periodDates(m_period->currentIndex(), 6, QDate::currentDate(), m_dateFrom->date(), m_dateTo->date());
    if (!from.isValid() || !to.isValid())
        return {};
    const QString format = QStringLiteral("yyyyMMdd");
    return {from.toString(format), to.toString(format)};
}

void PacsDownloadDialog::onFindClicked()
{
    if (m_pendingSearches > 0)
        return;
    saveSettings();
    QList<int> ticked;
    for (int i = 0; i < m_serverList->count(); ++i)
        if (m_serverList->item(i)->checkState() == Qt::Checked)
            ticked << i;
    if (ticked.isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Поиск"), QStringLiteral("Отметьте хотя бы один сервер."));
        return;
    }
    const pacs::PacsConfig config = pacs::loadPacsConfig();
    // The list the ticks refer to is the one shown; the fresh configuration gives the identity.
    pacs::StudyQuery query;
    query.patientName = m_patientName->text().trimmed();
    if (!query.patientName.isEmpty() && !query.patientName.contains(QLatin1Char('*'))
        && !query.patientName.contains(QLatin1Char('?')))
        query.patientName = QStringLiteral("*%1*").arg(query.patientName);
    query.patientId = m_patientId->text().trimmed();
    query.modalities = m_modality->selectedModalities().join(QLatin1Char('\\'));
    const auto [from, to] = selectedDateRange();
    query.dateFrom = from;
    query.dateTo = to;
    m_lastQuery = query;

    setBusy(true, QStringLiteral("Выполняется C-FIND по %1 серверам…").arg(ticked.size()));
    m_busyBar->show();
    m_searchRows.clear();
    m_searchFailures.clear();
    m_searchCuts.clear();
    m_searchProblemsLabel->clear();
    m_searchProblemsLabel->hide();
    m_searchedServers = static_cast<int>(ticked.size());
    m_pendingSearches = static_cast<int>(ticked.size());
    populateResults({});
    m_searchAbandoned = std::make_shared<std::atomic_bool>(false);
    // Each server is asked on a pool thread of its own: a server that does not answer holds up
    // neither the window nor the others' results.
    for (int serverIndex : ticked) {
        const pacs::PacsServer server = m_servers.at(serverIndex);
        auto* watcher = new QFutureWatcher<SearchResult>(this);
        connect(watcher, &QFutureWatcher<SearchResult>::finished, this, [this, watcher, serverIndex] {
            const SearchResult result = watcher->result();
            watcher->deleteLater();
            onServerSearched(serverIndex, result.rows, result.error);
        });
        watcher->setFuture(QtConcurrent::run([server, config, query, abandoned = m_searchAbandoned] {
            SearchResult result;
            result.rows = pacs::findStudies(server, config, query, &result.error, nullptr, abandoned.get());
            return result;
        }));
    }
}

void PacsDownloadDialog::onServerSearched(int serverIndex, const QList<pacs::StudyQueryRow>& rows, const QString& error)
{
    const pacs::PacsServer server = m_servers.value(serverIndex);
    for (const pacs::StudyQueryRow& r : rows) {
        ResultRow row{r, serverIndex, server};
        m_searchRows << row;
    }
    // An error after some matches (the server stopped early, broke off, went silent) leaves them
    // standing, and their list is incomplete; an error before any match is a failed search.
    const QString name = server.description.isEmpty() ? server.host : server.description;
    if (!error.isEmpty() && rows.isEmpty())
        m_searchFailures << QStringLiteral("%1: %2").arg(name, error);
    else if (!error.isEmpty())
        m_searchCuts << QStringLiteral("%1: %2 (%3)")
                            .arg(name, pacs::incompleteSearchText(int(rows.size())), error);
    --m_pendingSearches;
    populateResults(m_searchRows);
    if (m_pendingSearches > 0) {
        showStatus(QStringLiteral("Выполняется C-FIND… найдено исследований: %1, ждём ответа от %2 серверов")
                       .arg(m_searchRows.size())
                       .arg(m_pendingSearches));
        return;
    }
    finishSearch();
}

void PacsDownloadDialog::finishSearch()
{
    m_busyBar->hide();
    QString status;
    QStringList problems = m_searchCuts;
    if (m_searchRows.isEmpty() && m_searchFailures.size() == m_searchedServers) {
        status = QStringLiteral("Поиск не удался — %1").arg(m_searchFailures.join(QStringLiteral("; ")));
    } else {
        for (const QString& failure : std::as_const(m_searchFailures))
            problems << QStringLiteral("Поиск не удался — %1").arg(failure);
        if (!m_searchRows.isEmpty())
            status = QStringLiteral("Найдено исследований: %1 (по %2 серверам)")
                         .arg(m_searchRows.size())
                         .arg(m_searchedServers);
        else
            status = m_searchFailures.isEmpty() ? QStringLiteral("Ничего не найдено.")
                                                : QStringLiteral("Ничего не найдено на серверах, которые ответили.");
        if (!problems.isEmpty() && !m_searchRows.isEmpty())
            status += QStringLiteral(" — список неполный");
    }
    setBusy(false, status);
    m_searchProblemsLabel->setText(problems.join(QLatin1Char('\n')));
    m_searchProblemsLabel->setVisible(!problems.isEmpty());
    s_lastSearchResults = m_searchRows;
    if (!m_searchFailures.isEmpty() && m_searchRows.isEmpty())
        QMessageBox::warning(this, QStringLiteral("C-FIND"), m_searchFailures.join(QLatin1Char('\n')));
}

int PacsDownloadDialog::currentServerIndexOf(const ResultRow& row) const
{
    // Positions change when servers are added, removed or reordered; the row's own server counts.
    if (row.serverIndex >= 0 && row.serverIndex < m_servers.size() && sameServer(m_servers.at(row.serverIndex), row.server))
        return row.serverIndex;
    for (int i = 0; i < m_servers.size(); ++i)
        if (sameServer(m_servers.at(i), row.server))
            return i;
    return -1;
}

QString PacsDownloadDialog::serverLabel(const ResultRow& row) const
{
    const int i = currentServerIndexOf(row);
    if (i < 0)
        return QStringLiteral("?");
    const pacs::PacsServer& server = m_servers.at(i);
    return server.description.isEmpty() ? server.host : server.description;
}

void PacsDownloadDialog::populateResults(const QList<ResultRow>& rows)
{
    m_rows = rows;
    m_table->setSortingEnabled(false);
    m_table->clearContents();
    m_table->setRowCount(static_cast<int>(rows.size()));
    for (int i = 0; i < rows.size(); ++i) {
        const ResultRow& r = rows.at(i);
        auto text = [](const QString& t) { return new QTableWidgetItem(t); };
        auto count = [](const QString& t) {
            auto* item = new QTableWidgetItem;
            if (t.isEmpty())
                item->setText(QStringLiteral("?"));
            else
                item->setData(Qt::EditRole, t.toInt());
            return item;
        };
        QTableWidgetItem* first = text(r.patientName);
        first->setData(Qt::UserRole, r.studyInstanceUid);
        first->setData(ServerIndexRole, currentServerIndexOf(r));
        first->setData(RowIdRole, i);
        m_table->setItem(i, 0, first);
        m_table->setItem(i, 1, text(r.patientId));
        m_table->setItem(i, 2, text(dicom::dateTimeForTable(r.studyDate, r.studyTime)));
        m_table->setItem(i, 3, text(r.studyDescription));
        m_table->setItem(i, 4, text(r.modalitiesInStudy));
        m_table->setItem(i, 5, count(r.numberOfSeries));
        m_table->setItem(i, 6, count(r.numberOfInstances));
        m_table->setItem(i, 7, text(r.accessionNumber));
        m_table->setItem(i, 8, text(serverLabel(r)));
    }
    m_table->setSortingEnabled(true);
    m_table->sortItems(2, Qt::DescendingOrder);
}

void PacsDownloadDialog::setBusy(bool busy, const QString& statusText)
{
    for (QWidget* w : std::initializer_list<QWidget*>{m_findButton, m_downloadButton, m_downloadOpenButton,
                                                      m_viewButton, m_serverList, m_table})
        w->setEnabled(!busy);
    if (!busy && m_servers.isEmpty())
        for (QPushButton* b : {m_findButton, m_downloadButton, m_downloadOpenButton, m_viewButton})
            b->setEnabled(false);
    showStatus(statusText);
}

void PacsDownloadDialog::showStatus(const QString& text)
{
    m_status->setText(text);
    m_status->setToolTip(text);
}

void PacsDownloadDialog::startDownload(DownloadMode mode)
{
    const int row = m_table->currentRow();
    if (row < 0) {
        QMessageBox::information(this, QStringLiteral("Загрузка"),
                                 QStringLiteral("Сначала выберите строку в результатах поиска."));
        m_pendingStudyAction = nullptr;
        return;
    }
    const QTableWidgetItem* first = m_table->item(row, 0);
    const int rowId = first ? first->data(RowIdRole).toInt() : -1;
    if (rowId < 0 || rowId >= m_rows.size()) {
        m_pendingStudyAction = nullptr;
        return;
    }
    const ResultRow& result = m_rows.at(rowId);
    const int serverIndex = currentServerIndexOf(result);
    if (serverIndex < 0) {
        // The server this row came from is no longer configured: nothing to download from, and
        // a stored action must not run after some later download.
        m_pendingStudyAction = nullptr;
        return;
    }
    const QString studyUid = result.studyInstanceUid;
    const pacs::PacsServer server = m_servers.at(serverIndex);
    const pacs::PacsConfig config = pacs::loadPacsConfig();
    const QString root = mode == ViewOnly
                             ? QDir(QStandardPaths::writableLocation(QStandardPaths::TempLocation)).filePath(QStringLiteral("vavovivirur_temp"))
                             : pacs::pacsDownloadsRoot();
    const QString target = QDir(root).filePath(studyUid);
    m_downloadMode = mode;
    m_downloadStudyUid = studyUid;
    const QString modeWord = mode == ToArchive         ? QStringLiteral("Скачивание")
                             : mode == DownloadAndOpen ? QStringLiteral("Скачивание с открытием")
                                                       : QStringLiteral("Открытие без сохранения");
    setBusy(true, QStringLiteral("%1 (%2)…").arg(modeWord, methodWord(server)));
    m_busyBar->show();
    // The coordinator checks the UID before it becomes a folder name and creates the folder.
    m_coordinator->startDownload(server, config, studyUid, target, mode);
}

void PacsDownloadDialog::onCoordinatorFileReceived(int totalReceivedSoFar)
{
    showStatus(QStringLiteral("Принято файлов: %1…").arg(totalReceivedSoFar));
    if (m_downloadMode != ViewOnly)
        emit studiesImported();
}

void PacsDownloadDialog::onCoordinatorFinished(bool ok, const QString& errorMessage, int receivedFileCount)
{
    m_busyBar->hide();
    if (ok) {
        const QString status = m_downloadMode == ViewOnly
                                   ? QStringLiteral("Готово: открыто файлов — %1 (без сохранения в архив)").arg(receivedFileCount)
                                   : QStringLiteral("Готово: скачано и импортировано файлов — %1").arg(receivedFileCount);
        setBusy(false, errorMessage.isEmpty() ? status : status + QStringLiteral(". ") + errorMessage);
        if (m_downloadMode != ViewOnly)
            emit studiesImported();
        if (m_pendingStudyAction) {
            // Once the retrieve has let go of the study: the action takes its files whole. Its dialogs
            // wait for the user, so it starts from the main loop even when the retrieve's thread is
            // over already, never inside the retrieve's end that called this.
            auto action = std::move(m_pendingStudyAction);
            m_pendingStudyAction = nullptr;
            const QString uid = m_downloadStudyUid;
            QTimer::singleShot(0, this, [this, action, uid] {
                pacs::PacsRetrieveSession::whenReceived(uid, this, [action, uid] { action(uid); });
            });
        }
        return;
    }
    setBusy(false, QStringLiteral("Готово"));
    m_pendingStudyAction = nullptr;
    // Told from inside the retrieve's end, which goes on after this returns.
    showWaitingBox(this, QMessageBox::Warning, QStringLiteral("Скачивание"), errorMessage);
}

void PacsDownloadDialog::showResultsContextMenu(const QPoint& pos)
{
    const int row = m_table->rowAt(pos.y());
    if (row < 0)
        return;
    m_table->selectRow(row);
    if (!MainWindow::s_instance)
        return;
    QMenu menu(this);
    // The study list's export, disc, sending and e-mail operations; an entry stays disabled until
    // the study list offers its operation.
    const QStringList entries{QStringLiteral("Экспортировать во внешний архив…"),
                              QStringLiteral("Экспортировать для флеш-накопителя…"), QStringLiteral("Записать на CD/DVD…"),
                              QStringLiteral("Отправить на PACS-сервер…"), QStringLiteral("Отправить по email…")};
    for (const QString& entry : entries)
        menu.addAction(entry)->setEnabled(false);
    QAction* exportArchive = menu.actions().at(0);
    exportArchive->setEnabled(true);
    connect(exportArchive, &QAction::triggered, this, [this, row] {
        runStudyAction(row, [](const QString& uid) { MainWindow::s_instance->exportStudiesToArchive({uid}); });
    });
    QAction* exportFlash = menu.actions().at(1);
    exportFlash->setEnabled(true);
    connect(exportFlash, &QAction::triggered, this, [this, row] {
        runStudyAction(row, [](const QString& uid) { MainWindow::s_instance->exportStudiesToFlashDrive(uid); });
    });
    QAction* burnDisc = menu.actions().at(2);
    burnDisc->setEnabled(true);
    connect(burnDisc, &QAction::triggered, this, [this, row] {
        runStudyAction(row, [](const QString& uid) { MainWindow::s_instance->burnStudiesToDisc(uid); });
    });
    QAction* sendByEmail = menu.actions().at(4);
    sendByEmail->setEnabled(true);
    connect(sendByEmail, &QAction::triggered, this, [this, row] {
        runStudyAction(row, [](const QString& uid) { MainWindow::s_instance->sendStudyByEmail(uid); });
    });
    QAction* sendToPacs = menu.actions().at(3);
    sendToPacs->setEnabled(true);
    connect(sendToPacs, &QAction::triggered, this,
            [this, row] { runStudyAction(row, [](const QString& uid) { MainWindow::s_instance->sendStudyToPacs(uid); }); });
    menu.exec(m_table->viewport()->mapToGlobal(pos));
}

void PacsDownloadDialog::runStudyAction(int row, std::function<void(const QString&)> action)
{
    if (row < 0 || row >= m_table->rowCount() || !action)
        return;
    const QTableWidgetItem* first = m_table->item(row, 0);
    if (!first)
        return;
    const QString studyUid = first->data(Qt::UserRole).toString();
    if (m_index && m_index->studyExists(studyUid) && !pacs::isRetrieveUnfinished(studyUid)) {
        action(studyUid);
        return;
    }
    m_table->selectRow(row);
    m_pendingStudyAction = std::move(action);
    startDownload(ToArchive);
}

void PacsDownloadDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_firstShowDone)
        return;
    m_firstShowDone = true;
    // On Windows the dialog's native window is restyled here to get a taskbar button of its own;
    // X11 window managers already list a dialog shown in place of the hidden study list.
}
