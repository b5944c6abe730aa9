#include "app/MainWindow.h"
#include "app/StudyFilters.h"
#include "dialogs/WaitingBox.h"
#include "dialogs/WindowPlacement.h"

#include "app/ModalityFilterButton.h"
#include "app/PacsDownloadDialog.h"
#include "app/RemoteAccessDialog.h"
#include "app/ManagedStore.h"
#include "app/RemoteBrowserDialog.h"
#include "app/StartupProgress.h"
#include "app/StudyTableItem.h"
#include "app/TableColumnVisibility.h"
#include "app/Theme.h"

#include "db/Database.h"
#include "db/IndexBatch.h"
#include "db/IndexReader.h"
#include "dialogs/AboutDialog.h"
#include "dialogs/BugReportDialog.h"
#include "dialogs/HelpDialog.h"
#include "dialogs/HotkeyRegistry.h"
#include "dialogs/HotkeySettingsDialog.h"
#include "dialogs/PacsSettingsDialog.h"
#include "dialogs/SettingsDialog.h"
#include "dialogs/ToolbarCustomizeDialog.h"
#include "dialogs/UpdateCheck.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomImporter.h"
#include "dicom/DicomNesting.h"
#include "dicom/FrameDecoder.h"
#include "dicom/ZipImportWorker.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/StoreSpace.h"
#include "platform/OpticalDrives.h"
#include "platform/OwnFileDoor.h"
#include "platform/SingleInstanceLock.h"
#include "remote/PrivateSettingsFile.h"
#include "remote/RemoteAccessServer.h"
#include "viewer/ToolbarIcons.h"
#include "viewer/ViewerWindow.h"
#include "dicom/DicomDateTime.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMutex>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSettings>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <utility>

MainWindow* MainWindow::s_instance = nullptr;

namespace {

const char* const kStudyWidthsGroup = "mainWindow/studyColumnWidths";
const char* const kSeriesWidthsGroup = "mainWindow/seriesColumnWidths";
const char* const kReadyText = "Готово — двойной клик по пациенту или серии открывает просмотр";
// More studies changed at once are shown by reading the whole list again, which is then quicker
// than finding and placing each row.
constexpr int kStudiesRefreshedAlone = 300;


QTableWidgetItem* textItem(const QString& text)
{
    return new QTableWidgetItem(text);
}

void loadWidths(QSettings& settings, const char* group, QTableWidget* table)
{
    settings.beginGroup(QLatin1String(group));
    for (int c = 0; c < table->columnCount(); ++c) {
        const QString key = QString::number(c);
        if (settings.contains(key))
            table->setColumnWidth(c, settings.value(key).toInt());
    }
    settings.endGroup();
}

void saveWidths(QSettings& settings, const char* group, QTableWidget* table)
{
    settings.beginGroup(QLatin1String(group));
    for (int c = 0; c < table->columnCount(); ++c)
        settings.setValue(QString::number(c), table->columnWidth(c));
    settings.endGroup();
}

} // namespace

bool hasOpticalDrive()
{
    return !platform::opticalDriveNames(platform::systemRoot()).isEmpty();
}

struct MainWindow::CopiesMade
{
    QMutex mutex;
    QHash<QString, platform::FileId> files;
};

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    s_instance = this;
    setWindowTitle(QStringLiteral("Kalvenor — исследования"));
    resizeWithinScreen(this, QSize(1000, 700));
    setAcceptDrops(true);

    m_startupProgress = std::make_unique<StartupProgress>();
    m_db = new db::Database(this);
    connect(m_db, &db::Database::studiesWritten, this, [this](const QStringList& uids) {
        for (const QString& uid : uids)
            if (!m_studiesToRefreshSet.contains(uid)) {
                m_studiesToRefreshSet.insert(uid);
                m_studiesToRefresh << uid;
            }
    });
    connect(m_db, &db::Database::replacedFilesIndexed, this, [this](const QStringList& files) {
        for (const QString& file : files)
            if (!m_folderImportRoot.isEmpty() && file.startsWith(m_folderImportRoot))
                ++m_folderFilesReplaced;
    });
    m_folderBatch = new db::IndexBatch(
        m_db,
        [this](const QList<dicom::DicomFileSummary>& files, const QStringList& errors) {
            countIndexed(files, errors, m_folderIndexFailures, m_folderUndecodable);
        },
        this);
    // A folder holding copies of objects the program keeps (a retrieved study copied elsewhere) does
    // not take their rows over: judged as its batch is written, so also against a retrieve's rows
    // written meanwhile. The program's copies stay listed as its own, never left unrecorded.
    m_folderBatch->setAdmit([this](const dicom::DicomFileSummary& summary) {
        const std::optional<db::IndexedFile> recorded = m_db->objectFile(summary.sopInstanceUid);
        if (!recorded || recorded->filePath == summary.filePath || !ManagedStore().isOwnCopy(*recorded))
            return true;
        ++m_folderCopiesKept;
        return false;
    });
    m_archiveBatch = new db::IndexBatch(
        m_db,
        [this](const QList<dicom::DicomFileSummary>& files, const QStringList& errors) {
            countIndexed(files, errors, m_archiveIndexFailures, m_archiveUndecodable);
        },
        this);
    // An object a retrieve listed after the archive import looked for it keeps the retrieve's copy:
    // the copy the import just made goes, through the door, as the file it made.
    m_archiveBatch->setAdmit([this](const dicom::DicomFileSummary& summary) {
        platform::FileId made;
        if (m_archiveCopiesMade) {
            const QMutexLocker lock(&m_archiveCopiesMade->mutex);
            made = m_archiveCopiesMade->files.take(summary.filePath);
        }
        if (!made.known)
            return true;
        const ManagedStore store;
        const std::optional<db::IndexedFile> recorded = m_db->objectFile(summary.sopInstanceUid);
        if (!recorded || platform::isSameFile(recorded->filePath, summary.filePath) || !store.isOwnCopy(*recorded))
            return true;
        platform::OwnFileDoor(store.folders(), ManagedStore::defaultDataFolder())
            .remove(summary.filePath, platform::OwnProof::made(made));
        if (m_archiveCopiesHeld)
            ++*m_archiveCopiesHeld;
        return false;
    });
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dataDir);
    QString placingFailure;
    if (!m_db->open(QDir(dataDir).filePath(QStringLiteral("index.sqlite3")))) {
        QMessageBox::critical(this, QStringLiteral("Ошибка базы данных"),
                              QStringLiteral("Не удалось открыть локальную базу исследований:\n%1").arg(m_db->lastError()));
    } else if (!m_db->isWritable()) {
        QString text = QStringLiteral("Локальная база исследований открыта только для чтения: %1.\n\n"
                                      "Исследования можно просматривать, но добавить, удалить или "
                                      "очистить их не получится, пока база не станет доступна для "
                                      "записи. Автоочистка при запуске пропущена.")
                           .arg(m_db->readOnlyReason());
        if (m_db->isOfEarlierVersion())
            text += QStringLiteral("\n\nБаза записана предыдущей версией программы и будет переведена на новый "
                                   "формат при первом запуске, когда её можно будет записать. До тех пор файлы "
                                   "серии при первом её открытии за сеанс читаются заново, и открытие идёт "
                                   "дольше.");
        QMessageBox::warning(this, QStringLiteral("Локальная база исследований"),
                             text + QStringLiteral("\n\n") + readOnlyIndexAdvice());
    } else if (!m_db->setStoreFolders(ManagedStore(dataDir).folders(), m_startupProgress->step([](int done, int total) {
                   return QStringLiteral("Обновление локальной базы исследований: обработано записей %1 из %2")
                       .arg(done)
                       .arg(total);
               }))) {
        // The clean-up by size sums what the index says of its rows in these folders: until they are
        // placed, it finds nothing to count. Done again at the next start.
        placingFailure = m_db->lastError();
    }

    setupUi();
    if (!placingFailure.isEmpty())
        addStartupNote(QStringLiteral("Не удалось обновить локальную базу исследований: %1 — автоочистка по размеру "
                                      "не учтёт файлы хранилища до следующего запуска")
                           .arg(placingFailure));
    loadColumnWidths();
    beginStoreSession();
    runAutoCleanup();
    reportUnfinishedRetrieves();
    sweepManagedStoreIfDue();
    reportUnfinishedEdits();
    removeOldUnpackFolders();
    refreshStudyTable();
    m_startupProgress.reset();
    startRemoteHostingIfConfigured();
    QTimer::singleShot(0, this, &MainWindow::runStartupAction);

    // A hidden About dialog owns the start-up update check: its request and any question live with it.
    auto* updateOwner = new AboutDialog(this);
    updateOwner->hide();
    checkForUpdates(updateOwner, true);
}

MainWindow::~MainWindow()
{
    saveColumnWidths();
    // Dialogs that outlive the window (hosting, remote browser) must not reach a destroyed one.
    if (s_instance == this)
        s_instance = nullptr;
    // Every copy this session wrote is listed before the session ends, or its mark stays for the
    // next start to list what is left. In this order:
    // 1. the imports stop between two files, having queued what they found to this thread;
    stopImports();
    // 2. the retrieves stop and list what they received;
    if (!pacs::PacsRetrieveSession::stopAllForExit())
        keepStoreMark();
    // 3. what the imports queued reaches their batches, and every batch is written;
    for (db::IndexBatch* batch : {m_folderBatch, m_archiveBatch}) {
        QCoreApplication::sendPostedEvents(batch, QEvent::MetaCall);
        batch->flush();
    }
    // 4. the session ends.
    endStoreSession();
    // Its sessions and retrieve use the index, which as the older child would otherwise go first.
    delete m_remoteAccessServer;
    m_remoteAccessServer = nullptr;
    // A burn still running here (the window was not closed first) is cancelled cleanly, not cut off.
    for (QThread* thread : std::as_const(m_burnThreads)) {
        thread->requestInterruption();
        thread->quit();
        thread->wait();
    }
}

void MainWindow::setupUi()
{
    QToolBar* toolbar = addToolBar(QStringLiteral("Основное"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolbar->setIconSize(QSize(40, 40));

    // "Открыть": the button itself imports a folder, its arrow offers the other sources.
    auto* openButton = new QToolButton(toolbar);
    openButton->setText(QStringLiteral("Открыть"));
    openButton->setIcon(openFolderIcon());
    openButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    openButton->setPopupMode(QToolButton::MenuButtonPopup);
    auto* openMenu = new QMenu(openButton);
    // A menu shows its entries' tooltips only when asked: the disc entry says why it is disabled.
    openMenu->setToolTipsVisible(true);
    QAction* openFolder = openMenu->addAction(openFolderIcon(),
                                              QStringLiteral("Открыть каталог DICOM"));
    openFolder->setObjectName(QStringLiteral("openFolderAction"));
    openFolder->setShortcut(hotkeySequence(QStringLiteral("mainwindow.openFolder")));
    openFolder->setShortcutContext(Qt::WindowShortcut);
    addAction(openFolder);
    connect(openFolder, &QAction::triggered, this, &MainWindow::onImportFolderClicked);
    QAction* openArchive = openMenu->addAction(importIcon(),
                                               QStringLiteral("Открыть архив (ZIP/7z)"));
    openArchive->setObjectName(QStringLiteral("openArchiveAction"));
    connect(openArchive, &QAction::triggered, this, &MainWindow::onImportZipClicked);
    m_opticalAction = openMenu->addAction(burnDiskIcon(), QStringLiteral("Загрузить с CD/DVD"));
    m_opticalAction->setObjectName(QStringLiteral("opticalAction"));
    connect(m_opticalAction, &QAction::triggered, this, &MainWindow::onImportFolderClicked);
    openButton->setMenu(openMenu);
    connect(openButton, &QToolButton::clicked, this, &MainWindow::onImportFolderClicked);
    toolbar->addWidget(openButton);

    updateOpticalDriveAction();
    auto* driveTimer = new QTimer(this);
    driveTimer->setInterval(3000);
    connect(driveTimer, &QTimer::timeout, this, &MainWindow::updateOpticalDriveAction);
    driveTimer->start();

    toolbar->addSeparator();
    QAction* pacsAction = toolbar->addAction(dicomIcon(), QStringLiteral("Загрузить с PACS…"));
    pacsAction->setObjectName(QStringLiteral("pacsDownloadAction"));
    connect(pacsAction, &QAction::triggered, this, &MainWindow::onPacsDownloadClicked);

    toolbar->addSeparator();
    QAction* remoteAction = toolbar->addAction(remotePacsIcon(), QStringLiteral("Remote PACS"));
    remoteAction->setObjectName(QStringLiteral("remotePacsAction"));
    remoteAction->setToolTip(QStringLiteral("Подключиться к удалённому компьютеру…"));
    connect(remoteAction, &QAction::triggered, this, &MainWindow::onRemotePacsClicked);

    toolbar->addSeparator();
    auto* settingsButton = new QToolButton(toolbar);
    settingsButton->setText(QStringLiteral("Настройки ▾"));
    settingsButton->setPopupMode(QToolButton::InstantPopup);
    settingsButton->setToolButtonStyle(Qt::ToolButtonTextOnly);
    // The text carries its own arrow; the style's would be a second one.
    settingsButton->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
    auto* settingsMenu = new QMenu(settingsButton);
    settingsMenu->setObjectName(QStringLiteral("settingsMenu"));
    settingsMenu->setToolTipsVisible(true);
    QAction* storageSettings = settingsMenu->addAction(QStringLiteral("Управление хранилищем…"));
    connect(storageSettings, &QAction::triggered, this, [this] {
        SettingsDialog dialog(this);
        dialog.exec();
    });
    QAction* pacsSettings = settingsMenu->addAction(QStringLiteral("Настройки PACS…"));
    connect(pacsSettings, &QAction::triggered, this, [this] {
        PacsSettingsDialog dialog(this);
        dialog.exec();
    });
    QAction* remoteAccess = settingsMenu->addAction(QStringLiteral("Удалённый доступ…"));
    remoteAccess->setObjectName(QStringLiteral("remoteAccessAction"));
    connect(remoteAccess, &QAction::triggered, this, &MainWindow::onRemoteAccessClicked);
    QAction* toolbarCustomize = settingsMenu->addAction(QStringLiteral("Панель инструментов окна просмотра…"));
    toolbarCustomize->setToolTip(QStringLiteral(
        "Изменить порядок кнопок или скрыть ненужные — применится при следующем открытии окна просмотра"));
    connect(toolbarCustomize, &QAction::triggered, this, [this] { showToolbarCustomizeDialog(this); });
    settingsMenu->addSeparator();
    QAction* lightTheme = settingsMenu->addAction(invertIcon(), QStringLiteral("Светлая тема"));
    lightTheme->setObjectName(QStringLiteral("lightThemeAction"));
    lightTheme->setCheckable(true);
    lightTheme->setChecked(!loadDarkThemeSetting());
    connect(lightTheme, &QAction::toggled, this, [](bool checked) {
        saveDarkThemeSetting(!checked);
        applyTheme(qApp, !checked);
    });
    QAction* hotkeys = settingsMenu->addAction(QStringLiteral("Горячие клавиши…"));
    connect(hotkeys, &QAction::triggered, this, [this] {
        HotkeySettingsDialog dialog(this);
        dialog.exec();
    });
    QMenu* startupMenu = settingsMenu->addMenu(QStringLiteral("При запуске программы"));
    startupMenu->setObjectName(QStringLiteral("startupMenu"));
    auto* startupGroup = new QActionGroup(startupMenu);
    startupGroup->setExclusive(true);
    const QString storedAction = QSettings().value(QStringLiteral("startup/action"), QStringLiteral("archive")).toString();
    const std::pair<const char*, const char*> startupEntries[] = {{"Локальный архив", "archive"},
                                                                  {"Загрузка с PACS", "pacs"},
                                                                  {"Последнее просмотренное исследование", "lastViewer"}};
    for (const auto& [label, value] : startupEntries) {
        QAction* a = startupMenu->addAction(QString::fromUtf8(label));
        a->setCheckable(true);
        a->setData(QString::fromLatin1(value));
        a->setChecked(storedAction == QLatin1String(value));
        startupGroup->addAction(a);
        connect(a, &QAction::triggered, this,
                [v = QString::fromLatin1(value)] { QSettings().setValue(QStringLiteral("startup/action"), v); });
    }
    settingsMenu->addSeparator();
    connect(settingsMenu->addAction(QStringLiteral("Помощь…")), &QAction::triggered, this, [this] {
        HelpDialog dialog(this);
        dialog.exec();
    });
    connect(settingsMenu->addAction(QStringLiteral("О программе…")), &QAction::triggered, this, [this] {
        AboutDialog dialog(this);
        dialog.exec();
    });
    connect(settingsMenu->addAction(QStringLiteral("Сообщить об ошибке…")), &QAction::triggered, this, [this] {
        BugReportDialog dialog(this);
        dialog.exec();
    });
    settingsButton->setMenu(settingsMenu);
    toolbar->addWidget(settingsButton);

    // Central area: studies with their filters on the left, the chosen study's series on the right.
    auto* splitter = new QSplitter(Qt::Horizontal, this);
    auto* left = new QWidget(splitter);
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(4, 4, 4, 4);
    leftLayout->setSpacing(4);

    auto* filterRow = new QHBoxLayout;
    m_textFilter = new QLineEdit(left);
    m_textFilter->setPlaceholderText(QStringLiteral("Фильтр: ФИО или ID пациента…"));
    m_modalityFilter = new ModalityFilterButton(left);
    m_datePreset = new QComboBox(left);
    m_datePreset->addItems({QStringLiteral("Любая дата"), QStringLiteral("Сегодня"), QStringLiteral("Вчера"),
                            QStringLiteral("Последние 10 дней"), QStringLiteral("Последний месяц"),
                            QStringLiteral("Точная дата"), QStringLiteral("Диапазон дат…")});
    m_dateFrom = new QDateEdit(QDate::currentDate(), left);
    m_dateTo = new QDateEdit(QDate::currentDate(), left);
    for (QDateEdit* edit : {m_dateFrom, m_dateTo}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
        edit->setEnabled(false);
    }
    filterRow->addWidget(m_textFilter, 2);
    filterRow->addWidget(m_modalityFilter, 1);
    filterRow->addWidget(m_datePreset, 1);
    filterRow->addWidget(m_dateFrom, 1);
    filterRow->addWidget(m_dateTo, 1);
    leftLayout->addLayout(filterRow);
    connect(m_textFilter, &QLineEdit::textChanged, this, &MainWindow::applyStudyFilter);
    connect(m_modalityFilter, &ModalityFilterButton::selectionChanged, this, &MainWindow::applyStudyFilter);
    connect(m_dateFrom, &QDateEdit::dateChanged, this, &MainWindow::applyStudyFilter);
    connect(m_dateTo, &QDateEdit::dateChanged, this, &MainWindow::applyStudyFilter);
    connect(m_datePreset, &QComboBox::currentIndexChanged, this, &MainWindow::onDatePresetChanged);

    m_studyTable = new QTableWidget(0, 6, left);
    m_studyTable->setObjectName(QStringLiteral("studyTable"));
    m_studyTable->setHorizontalHeaderLabels({QStringLiteral("Пациент"), QStringLiteral("ID пациента"),
                                             QStringLiteral("Дата и время"), QStringLiteral("Описание исследования"),
                                             QStringLiteral("Модальность"), QStringLiteral("Серий/срезов")});
    m_studyTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_studyTable->horizontalHeader()->setStretchLastSection(true);
    installColumnVisibilityMenu(m_studyTable, QStringLiteral("mainWindow/studyColumnVisibility"));
    m_studyTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_studyTable->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_studyTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_studyTable->setSortingEnabled(true);
    m_studyTable->setContextMenuPolicy(Qt::CustomContextMenu);
    // A click shows the study's series, unless it was a Ctrl-click that took the row out of the selection.
    connect(m_studyTable, &QTableWidget::cellClicked, this, [this](int row, int column) {
        if (m_studyTable->selectionModel()->isRowSelected(row, QModelIndex()))
            onStudySelected(row, column);
    });
    connect(m_studyTable->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::dropSeriesOfUnselectedStudy);
    connect(m_studyTable, &QTableWidget::cellDoubleClicked, this, &MainWindow::onStudyDoubleClicked);
    connect(m_studyTable, &QTableWidget::customContextMenuRequested, this, &MainWindow::showStudyContextMenu);
    leftLayout->addWidget(m_studyTable);

    m_seriesTable = new QTableWidget(0, 4, splitter);
    m_seriesTable->setObjectName(QStringLiteral("seriesTable"));
    m_seriesTable->setHorizontalHeaderLabels({QStringLiteral("№"), QStringLiteral("Модальность"),
                                              QStringLiteral("Описание серии"), QStringLiteral("Срезов")});
    m_seriesTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_seriesTable->horizontalHeader()->setStretchLastSection(true);
    m_seriesTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_seriesTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_seriesTable->setSortingEnabled(true);
    connect(m_seriesTable, &QTableWidget::cellDoubleClicked, this, &MainWindow::onSeriesDoubleClicked);

    // Widths that fit the usual texts; the user's own widths replace them (loadColumnWidths).
    const int studyWidths[] = {220, 110, 150, 240, 100};
    for (int c = 0; c < 5; ++c)
        m_studyTable->setColumnWidth(c, studyWidths[c]);
    const int seriesWidths[] = {50, 100, 240};
    for (int c = 0; c < 3; ++c)
        m_seriesTable->setColumnWidth(c, seriesWidths[c]);

    splitter->addWidget(left);
    splitter->addWidget(m_seriesTable);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    setCentralWidget(splitter);

    m_statusLabel = new QLabel(QString::fromUtf8(kReadyText), this);
    m_statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusBar()->addWidget(m_statusLabel, 1);
    m_busyBar = new QProgressBar(this);
    m_busyBar->setRange(0, 0);
    m_busyBar->setFixedWidth(160);
    m_busyBar->hide();
    statusBar()->addPermanentWidget(m_busyBar);
}

QString MainWindow::statusText() const
{
    return m_statusLabel->text();
}

void MainWindow::updateOpticalDriveAction()
{
    const bool present = hasOpticalDrive();
    m_opticalAction->setEnabled(present);
    m_opticalAction->setToolTip(present ? QString() : QStringLiteral("Привод CD/DVD не обнаружен"));
}

QDate MainWindow::today() const
{
    return s_todayOverride.isValid() ? s_todayOverride : QDate::currentDate();
}

void MainWindow::refreshStudyTable()
{
    // Changes made through another connection to the index (another copy of the program) are not
    // told to this window: only reading the whole list shows them.
    if (!m_studyListLoaded || m_db->changeStamp().second != m_studyListVersion
        || m_studiesToRefresh.size() > kStudiesRefreshedAlone) {
        reloadStudyTable();
        return;
    }
    const QStringList uids = std::exchange(m_studiesToRefresh, {});
    m_studiesToRefreshSet.clear();
    refreshStudyRows(uids);
}

void MainWindow::reloadStudyTable()
{
    // Read before the list: a change that lands in between shows as a new version next time.
    m_studyListVersion = m_db->changeStamp().second;
    m_studiesToRefresh.clear();
    m_studiesToRefreshSet.clear();
    const QList<db::StudyRecord> studies = m_db->allStudies();
    // The rows are filled anew in the index's order: the selection would stay on row numbers, now
    // other studies, so it is taken again by UID.
    QStringList selected;
    for (const QModelIndex& index : m_studyTable->selectionModel()->selectedRows())
        if (QTableWidgetItem* item = m_studyTable->item(index.row(), 0))
            selected << item->data(StudyUidRole).toString();
    m_fillingStudyTable = true;
    m_studyTable->clearSelection();
    m_studyTable->setSortingEnabled(false);
    m_studyTable->setRowCount(int(studies.size()));
    m_studyRows.clear();
    m_shownMissingIds.clear();
    m_missingIdCounter = 0;
    for (int i = 0; i < studies.size(); ++i)
        m_studyRows.insert(studies[i].studyInstanceUid, fillStudyRow(i, studies[i]));
    // Set before sorting is turned on, which sorts once by it.
    m_studyTable->horizontalHeader()->setSortIndicator(2, Qt::AscendingOrder);
    m_studyTable->setSortingEnabled(true);
    m_studyListLoaded = true;
    reselectStudyRows(selected);
    m_fillingStudyTable = false;
    applyStudyFilter();
}

void MainWindow::reselectStudyRows(const QStringList& studyUids)
{
    QList<int> rows;
    for (const QString& uid : studyUids)
        if (QTableWidgetItem* item = m_studyRows.value(uid))
            rows << item->row();
    std::sort(rows.begin(), rows.end());
    // Runs of neighbouring rows as one range each: a whole list selected stays one range, which the
    // table asks about for every cell it draws.
    QItemSelection selection;
    const int lastColumn = m_studyTable->columnCount() - 1;
    for (qsizetype i = 0; i < rows.size();) {
        qsizetype end = i + 1;
        while (end < rows.size() && rows[end] == rows[end - 1] + 1)
            ++end;
        selection.select(m_studyTable->model()->index(rows[i], 0),
                         m_studyTable->model()->index(rows[end - 1], lastColumn));
        i = end;
    }
    m_studyTable->selectionModel()->select(selection, QItemSelectionModel::Select);
}

void MainWindow::refreshStudyRows(const QStringList& studyUids)
{
    m_fillingStudyTable = true;
    const StudyFilter filter = currentStudyFilter();
    for (const QString& uid : studyUids) {
        const std::optional<db::StudyRecord> study = m_db->studyRecord(uid);
        QTableWidgetItem* first = m_studyRows.value(uid);
        if (!study) {
            if (first)
                m_studyTable->removeRow(first->row());
            m_studyRows.remove(uid);
            m_shownMissingIds.remove(uid);
            continue;
        }
        int row = first ? first->row() : m_studyTable->rowCount();
        if (!first)
            m_studyTable->insertRow(row);
        first = fillStudyRow(row, *study);
        m_studyRows.insert(uid, first);
        row = first->row();
        m_studyTable->setRowHidden(row, !studyRowShown(row, filter));
    }
    m_fillingStudyTable = false;
    dropSeriesOfUnselectedStudy();
}

QTableWidgetItem* MainWindow::fillStudyRow(int row, const db::StudyRecord& s)
{
    const QString name = s.patientName.isEmpty() ? QStringLiteral("No Name") : s.patientName;
    QString id = s.patientId;
    if (id.isEmpty()) {
        // Numbered in the order the list met them; a study keeps its number until the list is read again.
        QString& number = m_shownMissingIds[s.studyInstanceUid];
        if (number.isEmpty())
            number = QStringLiteral("%1").arg(++m_missingIdCounter, 4, 10, QLatin1Char('0'));
        id = number;
    } else {
        m_shownMissingIds.remove(s.studyInstanceUid);
    }
    const QString dateTime = dicom::dateTimeForTable(s.studyDate, s.studyTime);
    const std::array<QTableWidgetItem*, 6> items{
        new StudyTableItem(s.isProtected ? QStringLiteral("🔒 %1").arg(name) : name),
        new StudyTableItem(id),
        // Studies of one date and time keep the index's order: by patient name, then UID.
        new StudyTableItem(dateTime, dateTime + QChar(0) + s.patientName + QChar(0) + s.studyInstanceUid),
        new StudyTableItem(s.studyDescription),
        new StudyTableItem(s.modalities),
        new StudyTableItem(QStringLiteral("%1 / %2").arg(s.seriesCount).arg(s.instanceCount))};
    items[0]->setData(StudyUidRole, s.studyInstanceUid);
    items[0]->setData(StudyProtectedRole, s.isProtected);
    items[0]->setData(StudyModalitiesRole, s.modalities);
    const int sorted = m_studyTable->isSortingEnabled() ? m_studyTable->horizontalHeader()->sortIndicatorSection() : -1;
    for (int c = 0; c < int(items.size()); ++c)
        if (c != sorted)
            m_studyTable->setItem(row, c, items[c]);
    if (sorted >= 0 && sorted < int(items.size()))
        m_studyTable->setItem(row, sorted, items[sorted]);
    return items[0];
}

void MainWindow::onStudySelected(int row, int /*column*/)
{
    QTableWidgetItem* item = m_studyTable->item(row, 0);
    if (!item)
        return;
    // As a click does: the row shown is the one selected.
    if (!m_studyTable->selectionModel()->isRowSelected(row, QModelIndex()))
        m_studyTable->selectRow(row);
    m_selectedStudyUid = item->data(StudyUidRole).toString();
    const QList<db::SeriesRecord> series = m_db->seriesForStudy(m_selectedStudyUid);
    m_seriesTable->setSortingEnabled(false);
    m_seriesTable->setRowCount(int(series.size()));
    for (int i = 0; i < series.size(); ++i) {
        const db::SeriesRecord& s = series[i];
        auto* numberItem = textItem(s.seriesNumber);
        numberItem->setData(Qt::UserRole, s.seriesInstanceUid);
        m_seriesTable->setItem(i, 0, numberItem);
        m_seriesTable->setItem(i, 1, textItem(s.modality));
        m_seriesTable->setItem(i, 2, textItem(s.seriesDescription));
        m_seriesTable->setItem(i, 3, textItem(QString::number(s.instanceCount)));
    }
    m_seriesTable->setSortingEnabled(true);
}

void MainWindow::onStudyDoubleClicked(int row, int /*column*/)
{
    QTableWidgetItem* item = m_studyTable->item(row, 0);
    if (!item)
        return;
    const QString uid = item->data(StudyUidRole).toString();
    QSettings().setValue(QStringLiteral("startup/lastStudyUid"), uid);
    showViewerWindow(new ViewerWindow(m_db, uid, QString(), nullptr, false));
}

void MainWindow::onSeriesDoubleClicked(int row, int /*column*/)
{
    QTableWidgetItem* item = m_seriesTable->item(row, 0);
    if (!item || m_selectedStudyUid.isEmpty())
        return;
    const QString seriesUid = item->data(Qt::UserRole).toString();
    QSettings().setValue(QStringLiteral("startup/lastStudyUid"), m_selectedStudyUid);
    showViewerWindow(new ViewerWindow(m_db, m_selectedStudyUid, seriesUid, nullptr, false));
}

void MainWindow::showViewerWindow(ViewerWindow* viewer)
{
    // Viewers are top-level windows that nothing else owns: they go when they are closed.
    viewer->setAttribute(Qt::WA_DeleteOnClose);
    ViewerWindow* previous = m_viewer;
    m_viewer.clear();
    if (!previous) {
        viewer->showMaximized();
        return;
    }
    viewer->setGeometry(previous->geometry());
    if (previous->isMaximized())
        viewer->showMaximized();
    else
        viewer->showNormal();
    previous->close();
}

void MainWindow::returnFromViewer(ViewerWindow* viewer)
{
    m_viewer = viewer;
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::showDialogInPlace(QDialog* dialog)
{
    if (isMaximized()) {
        dialog->showMaximized();
    } else {
        dialog->setGeometry(geometry());
        dialog->show();
    }
    hide();
    connect(dialog, &QDialog::finished, this, [this, dialog] {
        if (dialog->isMaximized()) {
            showMaximized();
        } else {
            setGeometry(dialog->geometry());
            show();
        }
    });
}

void MainWindow::runStartupAction()
{
    const QString action = QSettings().value(QStringLiteral("startup/action"), QStringLiteral("archive")).toString();
    if (action == QLatin1String("lastViewer")) {
        const QString uid = QSettings().value(QStringLiteral("startup/lastStudyUid")).toString();
        if (uid.isEmpty() || !m_db->studyExists(uid))
            return;
        auto* viewer = new ViewerWindow(m_db, uid, QString(), nullptr, false);
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        viewer->showMaximized();
    }
    if (action == QLatin1String("pacs"))
        onPacsDownloadClicked();
}

void MainWindow::onPacsDownloadClicked()
{
    auto* dialog = new PacsDownloadDialog(m_db, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &PacsDownloadDialog::studiesImported, this, &MainWindow::refreshStudyTable);
    showDialogInPlace(dialog);
}

void MainWindow::onDatePresetChanged(int index)
{
    m_dateFrom->setEnabled(index == 5 || index == 6);
    m_dateTo->setEnabled(index == 6);
    applyStudyFilter();
}

MainWindow::StudyFilter MainWindow::currentStudyFilter() const
{
    StudyFilter filter{m_textFilter->text().trimmed(), m_modalityFilter->selectedModalities(), {}, {}};
    const auto [from, to] =
        studyfilters::periodDates(m_datePreset->currentIndex(), 5, today(), m_dateFrom->date(), m_dateTo->date());
    if (from.isValid() && to.isValid()) {
        filter.from = from;
        filter.to = to;
    }
    return filter;
}

bool MainWindow::studyRowShown(int row, const StudyFilter& filter) const
{
    QTableWidgetItem* nameItem = m_studyTable->item(row, 0);
    QTableWidgetItem* idItem = m_studyTable->item(row, 1);
    QTableWidgetItem* dateItem = m_studyTable->item(row, 2);
    if (!filter.text.isEmpty() && !(nameItem && nameItem->text().contains(filter.text, Qt::CaseInsensitive))
        && !(idItem && idItem->text().contains(filter.text, Qt::CaseInsensitive)))
        return false;
    if (!studyfilters::modalitiesMatch(nameItem ? nameItem->data(StudyModalitiesRole).toString() : QString(),
                                       filter.modalities))
        return false;
    if (!filter.from.isValid())
        return true;
    const QDate d = QDate::fromString(dateItem ? dateItem->text().left(10) : QString(), QStringLiteral("yyyy-MM-dd"));
    return d.isValid() && filter.from <= d && d <= filter.to;
}

void MainWindow::applyStudyFilter()
{
    const StudyFilter filter = currentStudyFilter();
    // Each row hidden or shown makes the table place every row anew, unless its updates are off:
    // with tens of thousands of studies the loop would then take a quadratic time. Rows that keep
    // their state are not touched at all.
    const bool updatesWereOn = m_studyTable->updatesEnabled();
    if (updatesWereOn)
        m_studyTable->setUpdatesEnabled(false);
    for (int row = 0; row < m_studyTable->rowCount(); ++row) {
        const bool show = studyRowShown(row, filter);
        if (m_studyTable->isRowHidden(row) == show)
            m_studyTable->setRowHidden(row, !show);
    }
    if (updatesWereOn)
        m_studyTable->setUpdatesEnabled(true);
    dropSeriesOfUnselectedStudy();
}

void MainWindow::dropSeriesOfUnselectedStudy()
{
    if (m_fillingStudyTable || m_selectedStudyUid.isEmpty())
        return;
    // A double click in the series table opens their study: it must be the one the list shows selected.
    QTableWidgetItem* item = m_studyRows.value(m_selectedStudyUid);
    const int row = item ? item->row() : -1;
    if (row < 0 || m_studyTable->isRowHidden(row) ||
        !m_studyTable->selectionModel()->isRowSelected(row, QModelIndex()))
        forgetSelectedStudy(m_selectedStudyUid);
}

void MainWindow::loadColumnWidths()
{
    QSettings settings;
    loadWidths(settings, kStudyWidthsGroup, m_studyTable);
    loadWidths(settings, kSeriesWidthsGroup, m_seriesTable);
}

void MainWindow::saveColumnWidths()
{
    QSettings settings;
    saveWidths(settings, kStudyWidthsGroup, m_studyTable);
    saveWidths(settings, kSeriesWidthsGroup, m_seriesTable);
}

void MainWindow::bringToFront()
{
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::startRemoteHostingIfConfigured()
{
    // Written by a version that left it readable to all: narrowed at once, on a workstation that hosts
    // and on one that only connects to others.
    QString exposure;
    if (!keepConnectionSettingsPrivate(&exposure))
        QMessageBox::warning(this, QStringLiteral("Удалённый доступ"), exposure);
    m_remoteAccessServer = new RemoteAccessServer(m_db, this);
    QSettings settings;
    settings.beginGroup(QStringLiteral("remoteAccess"));
    const bool enabled = settings.value(QStringLiteral("hostingEnabled"), false).toBool();
    const QString host = settings.value(QStringLiteral("host")).toString();
    const int port = settings.value(QStringLiteral("port"), 0).toInt();
    const QString token = settings.value(QStringLiteral("token")).toString();
    const QString fingerprint = settings.value(QStringLiteral("certFingerprint")).toString();
    const QString secret = settings.value(QStringLiteral("e2eSecret")).toString();
    const QString hostId = settings.value(QStringLiteral("hostId")).toString();
    if (enabled && !host.isEmpty() && port >= 1 && !token.isEmpty() && !fingerprint.isEmpty() && !secret.isEmpty())
        m_remoteAccessServer->start(host, port, token, fingerprint, secret, hostId);
}

void MainWindow::onRemotePacsClicked()
{
    // Over the study list, which stays shown behind it.
    auto* dialog = new RemoteBrowserDialog(m_db, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    if (isMaximized()) {
        dialog->showMaximized();
    } else {
        dialog->setGeometry(geometry());
        dialog->show();
    }
}

void MainWindow::onRemoteAccessClicked()
{
    auto* dialog = new RemoteAccessDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
}

void MainWindow::addStartupNote(const QString& text)
{
    const QString before = m_statusLabel->text();
    const bool first = before.isEmpty() || before == QString::fromUtf8(kReadyText);
    m_statusLabel->setText(first ? text : before + QStringLiteral("; ") + text);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Closing during a burn would cut it off and ruin the disc, and closing before its outcome is
    // shown would leave the user without it.
    if (!closeNowOrAfterBurns()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        QCoreApplication::quit();
}

void MainWindow::onImportFolderClicked()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Выберите папку с DICOM-исследованиями"), QString(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        startFolderImport(folder);
}

void MainWindow::onImportZipClicked()
{
    const QString file =
        QFileDialog::getOpenFileName(this, QStringLiteral("Выберите архив с DICOM-исследованием"), QString(),
                                     QStringLiteral("Архивы (*.zip *.7z);;ZIP-архивы (*.zip);;7z-архивы (*.7z)"));
    if (!file.isEmpty())
        startArchiveImport(file);
}

void MainWindow::countIndexed(const QList<dicom::DicomFileSummary>& files, const QStringList& errors,
                               int& failures, QMap<QString, int>& undecodable)
{
    for (qsizetype i = 0; i < files.size(); ++i) {
        const dicom::DicomFileSummary& summary = files[i];
        if (!errors.value(i).isEmpty()) {
            ++failures;
            m_lastIndexError = errors.value(i);
            // An archive import's copy that no row names is indexed again by the next start's sweep.
            if (summary.ownCopy || isManagedStudyFile(summary.filePath))
                keepStoreMark();
        } else if (const QString why = dicom::unsupportedCompressionText(summary.transferSyntaxUid);
                   !why.isEmpty()) {
            ++undecodable[why];
        }
    }
}

namespace {

// " (JPEG 2000 не поддерживается, файлов: 2)" for the files of an import whose images will not show.
QString undecodableNote(QMap<QString, int>& undecodable)
{
    QStringList parts;
    for (auto it = undecodable.cbegin(); it != undecodable.cend(); ++it)
        parts << QStringLiteral("%1, файлов: %2").arg(it.key()).arg(it.value());
    undecodable.clear();
    return parts.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(parts.join(QStringLiteral("; ")));
}

} // namespace

int MainWindow::reportIndexFailures(int& failures)
{
    const int count = failures;
    failures = 0;
    if (count > 0) {
        // A full disk or a locked index must not look like a clean import.
        tellImportError(QStringLiteral("Ошибка импорта"),
                        QStringLiteral("Не удалось записать в локальную базу файлов: %1\n%2")
                            .arg(count)
                            .arg(m_lastIndexError));
    }
    return count;
}

void MainWindow::tellImportError(const QString& title, const QString& text)
{
    // Opened from the main loop once the import's end is handled (its count line and the list show
    // it), never inside that end: the import's thread ends and its worker goes while the user reads,
    // and the box waits without a loop of its own. Boxes queued by one end open in the order told.
    QTimer::singleShot(0, this,
                       [this, title, text] { showWaitingBox(this, QMessageBox::Warning, title, text); });
}

void MainWindow::startArchiveImport(const QString& archivePath)
{
    if (m_zipThread || !m_archiveBatch->isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Импорт уже выполняется"),
                                 QStringLiteral("Дождитесь завершения текущего импорта."));
        return;
    }
    m_busyBar->show();
    m_statusLabel->setText(QStringLiteral("Распаковка и импорт архива: %1").arg(archivePath));
    const QString target = ManagedStore(ManagedStore::defaultDataFolder()).folders().constFirst();

    auto* thread = new QThread(this);
    thread->setStackSize(dicom::kParsingThreadStackSize);
    auto* worker = new dicom::ZipImportWorker(archivePath, target);
    // The store's free space is read one way for imports and retrieves alike.
    worker->setFreeSpaceProbe(pacs::storeFreeBytes);
    // Asked on the import's thread, through a connection of its own that goes with the probes there.
    auto listedFile = [indexPath = m_db->filePath(), reader = std::make_shared<std::unique_ptr<db::IndexReader>>()](
                                const QString& sopUid) {
        if (!*reader)
            *reader = std::make_unique<db::IndexReader>(indexPath);
        return (*reader)->instanceFile(sopUid);
    };
    worker->setListedProbe([listedFile](const QString& sopUid, const QString& path) {
        const std::optional<db::IndexedFile> listed = listedFile(sopUid);
        return listed && platform::isSameFile(listed->filePath, path);
    });
    // The program's copy elsewhere in the store (a retrieve's) is the object's, as long as it is there.
    m_archiveCopiesHeld = std::make_shared<std::atomic_int>(0);
    m_archiveCopiesMade = std::make_shared<CopiesMade>();
    worker->setCopyMadeNote([made = m_archiveCopiesMade](const QString& path, const platform::FileId& id) {
        const QMutexLocker lock(&made->mutex);
        made->files.insert(path, id);
    });
    worker->setHeldProbe([listedFile = std::move(listedFile), store = ManagedStore(), held = m_archiveCopiesHeld](const QString& sopUid,
                                                                                          const QString& path) {
        const std::optional<db::IndexedFile> listed = listedFile(sopUid);
        if (!listed || platform::isSameFile(listed->filePath, path) || !store.isOwnCopy(*listed))
            return false;
        ++*held;
        return true;
    });
    worker->moveToThread(thread);
    m_zipThread = thread;
    m_zipWorker = worker;
    m_archiveIndexFailures = 0;
    m_archiveUsersFilesKept = 0;
    m_archiveUndecodable.clear();

    connect(thread, &QThread::started, worker, &dicom::ZipImportWorker::run);
    // Queued to the batch, which takes what was found before the window goes.
    connect(worker, &dicom::ZipImportWorker::fileFound, m_archiveBatch, [this](dicom::DicomFileSummary summary) {
        if (takeFoundCopy(summary))
            m_archiveBatch->add(summary);
    });
    connect(worker, &dicom::ZipImportWorker::progress, this, [this](int processed) {
        m_statusLabel->setText(QStringLiteral("Распаковка и импорт: обработано файлов — %1").arg(processed));
    });
    connect(worker, &dicom::ZipImportWorker::finished, this, &MainWindow::onArchiveImportFinished);
    // Direct: the thread ends by itself, never waiting for this thread to pass its end on.
    connect(worker, &dicom::ZipImportWorker::finished, thread, &QThread::quit, Qt::DirectConnection);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, this, [this, thread] {
        thread->deleteLater();
        if (m_zipThread == thread) {
            m_zipThread = nullptr;
            m_zipWorker = nullptr;
        }
    });
    keepImportThread(thread);
    thread->start();
}

bool MainWindow::takeFoundCopy(dicom::DicomFileSummary& summary)
{
    if (summary.ownCopy)
        return true; // written by this import
    // Found at its copy's name with its own UIDs: which file that is, the index's record tells.
    const std::optional<db::IndexedFile> recorded = m_db->objectFile(summary.sopInstanceUid);
    if (recorded && platform::isSameFile(recorded->filePath, summary.filePath)) {
        // A user's file opened where it lies stays theirs, listed as it is.
        if (!recorded->ownCopy.value_or(true)) {
            ++m_archiveUsersFilesKept;
            return false;
        }
        // The program's copy from an earlier import, named as its rows name it and known by the
        // bytes they record.
        summary.filePath = recorded->filePath;
        summary.ownCopy = recorded->ownCopy.value_or(false);
        summary.contentDigest = recorded->contentDigest;
        return true;
    }
    // No row names it, and it holds the archive's very bytes that this import would copy there (the
    // copy of an earlier import whose rows went: removed from the list, or an import cut short).
    summary.ownCopy = true;
    return true;
}

void MainWindow::onArchiveImportFinished(int found, int skipped, const QString& error)
{
    // Its last files are counted before the end is reported, written a batch per turn as the folder
    // import's are.
    m_archiveBatch->flushThen([this, found, skipped, error] { reportArchiveImport(found, skipped, error); });
}

void MainWindow::reportArchiveImport(int found, int skipped, const QString& error)
{
    m_busyBar->hide();
    if (!error.isEmpty())
        tellImportError(QStringLiteral("Ошибка импорта архива"), error);
    const int failed = reportIndexFailures(m_archiveIndexFailures);
    const int kept = std::exchange(m_archiveUsersFilesKept, 0);
    const int held = m_archiveCopiesHeld ? std::exchange(m_archiveCopiesHeld, {})->load() : 0;
    m_archiveCopiesMade.reset();
    m_statusLabel->setText(QStringLiteral("Импорт из архива завершён%3: добавлено %1, пропущено %2%4%5")
                               .arg(found - failed - kept)
                               .arg(skipped + failed)
                               .arg(undecodableNote(m_archiveUndecodable))
                               .arg(kept > 0 ? QStringLiteral(", уже в списке как файлы пользователя (оставлены как есть) — %1")
                                                   .arg(kept)
                                             : QString())
                               .arg(held > 0 ? QStringLiteral(", уже в архиве как копии программы (оставлены как есть) — %1")
                                                   .arg(held)
                                             : QString()));
    refreshStudyTable();
}

namespace {

bool isArchivePath(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix();
    return suffix.compare(QLatin1String("zip"), Qt::CaseInsensitive) == 0 ||
           suffix.compare(QLatin1String("7z"), Qt::CaseInsensitive) == 0;
}

} // namespace

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!event->mimeData()->hasUrls())
        return;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile())
            continue;
        const QFileInfo info(url.toLocalFile());
        if ((info.exists() && info.isDir()) || (info.exists() && info.isFile() && isArchivePath(info.filePath()))) {
            event->acceptProposedAction();
            return;
        }
    }
}

void MainWindow::dropEvent(QDropEvent* event)
{
    if (!event->mimeData()->hasUrls())
        return;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        const QFileInfo info(path);
        if (info.isDir())
            startFolderImport(path);
        else if (info.isFile() && isArchivePath(path))
            startArchiveImport(path);
    }
    event->acceptProposedAction();
}

void MainWindow::startFolderImport(const QString& folder)
{
    // Until the last one's files are all written and counted, too: the counts would mix.
    if ((m_importThread && !m_importEnded) || !m_folderBatch->isEmpty()) {
        QMessageBox::information(this, QStringLiteral("Импорт уже выполняется"),
                                 QStringLiteral("Дождитесь завершения текущего импорта."));
        return;
    }
    // An import that has reported its end is only quitting its thread: a new one need not be refused,
    // nor wait for it (the window's close joins it).
    m_importEnded = false;
    m_busyBar->show();
    m_statusLabel->setText(QStringLiteral("Сканирование: %1").arg(folder));

    auto* thread = new QThread(this);
    thread->setStackSize(dicom::kParsingThreadStackSize);
    auto* importer = new dicom::DicomImporter;
    importer->moveToThread(thread);
    m_importThread = thread;
    m_importer = importer;
    m_folderIndexFailures = 0;
    m_folderCopiesKept = 0;
    m_folderFilesReplaced = 0;
    m_folderImportErrors.clear();
    m_folderImportRoot = QFileInfo(folder).absoluteFilePath();
    if (!m_folderImportRoot.endsWith(QLatin1Char('/')))
        m_folderImportRoot += QLatin1Char('/');
    m_folderUndecodable.clear();

    connect(thread, &QThread::started, importer, [importer, folder] { importer->importDirectory(folder); });
    connect(importer, &dicom::DicomImporter::fileFound, m_folderBatch, &db::IndexBatch::add);
    connect(importer, &dicom::DicomImporter::progress, this, &MainWindow::onImportProgress);
    connect(importer, &dicom::DicomImporter::finished, this, &MainWindow::onImportFinished);
    // Told with the import's end, which follows at once.
    connect(importer, &dicom::DicomImporter::errorOccurred, this,
            [this](const QString& message) { m_folderImportErrors << message; });
    // Direct: the thread ends by itself, never waiting for this thread to pass its end on.
    connect(importer, &dicom::DicomImporter::finished, thread, &QThread::quit, Qt::DirectConnection);
    connect(thread, &QThread::finished, importer, &QObject::deleteLater);
    // The pointers are cleared only once the thread has really finished, so that the destructor
    // still waits for a thread whose importer has already reported its end.
    connect(thread, &QThread::finished, this, [this, thread] {
        if (m_importThread == thread) {
            m_importThread = nullptr;
            m_importer = nullptr;
        }
        thread->deleteLater();
    });
    keepImportThread(thread);
    thread->start();
}

void MainWindow::keepImportThread(QThread* thread)
{
    m_importThreads.removeIf([](const QPointer<QThread>& t) { return t.isNull(); });
    m_importThreads << thread;
}

void MainWindow::stopImports()
{
    m_importThreads.removeIf([](const QPointer<QThread>& t) { return t.isNull(); });
    for (QThread* thread : std::as_const(m_importThreads))
        thread->requestInterruption();
    // Each thread quits by itself once its worker has returned: nothing here is needed for it to end.
    for (QThread* thread : std::as_const(m_importThreads)) {
        thread->quit();
        thread->wait();
    }
}

void MainWindow::onImportProgress(int scanned, int found)
{
    m_statusLabel->setText(QStringLiteral("Просканировано файлов: %1, найдено DICOM: %2").arg(scanned).arg(found));
}

void MainWindow::onImportFinished(int found, int skipped)
{
    // Its last files are counted before the end is reported. A scan that ran ahead of the index leaves
    // them to be written a batch per turn, the window answering in between.
    m_folderBatch->flushThen([this, found, skipped] { reportFolderImport(found, skipped); });
}

void MainWindow::reportFolderImport(int found, int skipped)
{
    m_importEnded = true;
    m_busyBar->hide();
    for (const QString& message : std::exchange(m_folderImportErrors, {}))
        tellImportError(QStringLiteral("Ошибка импорта"), message);
    const int failed = reportIndexFailures(m_folderIndexFailures);
    const int kept = std::exchange(m_folderCopiesKept, 0);
    const int replaced = std::exchange(m_folderFilesReplaced, 0);
    m_folderImportRoot.clear();
    m_statusLabel->setText(QStringLiteral("Импорт завершён%3: добавлено %1, пропущено %2%4%5")
                               .arg(found - failed - kept)
                               .arg(skipped + failed)
                               .arg(undecodableNote(m_folderUndecodable))
                               .arg(kept > 0 ? QStringLiteral(", уже в архиве как копии программы (оставлены как есть) — %1")
                                                   .arg(kept)
                                             : QString())
                               .arg(replaced > 0 ? QStringLiteral(", файлов с другими снимками, чем прежде "
                                                                  "(прежние строки убраны из списка) — %1")
                                                       .arg(replaced)
                                                 : QString()));
    refreshStudyTable();
}

ViewerWindow* MainWindow::rememberedViewer() const
{
    return m_viewer;
}
