// The "Локальный архив" tab of the remote browser: the other workstation's studies, filtered here,
// and the parallel download of one study into "remote_downloads/<uid>", indexed and opened.

#include "app/RemoteBrowserDialog.h"
#include "app/StudyFilters.h"

#include "app/MainWindow.h"
#include "app/ManagedStore.h"
#include "app/ModalityFilterButton.h"
#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "platform/ContentDigest.h"
#include "remote/RemoteDownloadTries.h"
#include "remote/RemoteParallelDownloadWorker.h"
#include "viewer/ViewerWindow.h"
#include "dicom/DicomDateTime.h"

#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSet>
#include <QSpinBox>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace {

constexpr int kModalitiesRole = Qt::UserRole + 2;
constexpr int kMaxWorkers = 4;

QTableWidgetItem* textItem(const QString& text)
{
    auto* item = new QTableWidgetItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

} // namespace

QWidget* RemoteBrowserDialog::buildArchiveTab()
{
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 6, 0, 0);

    auto* filterRow = new QHBoxLayout;
    filterRow->setSpacing(4);
    archiveSearchEdit = new QLineEdit(page);
    archiveSearchEdit->setObjectName(QStringLiteral("archiveSearchEdit"));
    archiveSearchEdit->setPlaceholderText(QStringLiteral("ФИО/ID…"));
    filterRow->addWidget(archiveSearchEdit, 1);
    archiveModalityButton = new ModalityFilterButton(page);
    archiveModalityButton->setObjectName(QStringLiteral("archiveModalityButton"));
    filterRow->addWidget(archiveModalityButton);
    archivePeriodCombo = new QComboBox(page);
    archivePeriodCombo->setObjectName(QStringLiteral("archivePeriodCombo"));
    archivePeriodCombo->setMaximumWidth(140);
    archivePeriodCombo->addItems({QStringLiteral("Любая дата"), QStringLiteral("Сегодня"), QStringLiteral("Вчера"),
                                  QStringLiteral("Последние 10 дней"), QStringLiteral("Последний месяц"),
                                  QStringLiteral("Точная дата"), QStringLiteral("Диапазон дат")});
    filterRow->addWidget(archivePeriodCombo);
    for (QDateEdit** edit : {&archiveDateFrom, &archiveDateTo}) {
        *edit = new QDateEdit(QDate::currentDate(), page);
        (*edit)->setObjectName(edit == &archiveDateFrom ? QStringLiteral("archiveDateFrom") : QStringLiteral("archiveDateTo"));
        (*edit)->setCalendarPopup(true);
        (*edit)->setDisplayFormat(QStringLiteral("dd.MM.yyyy"));
        (*edit)->setMaximumWidth(100);
        (*edit)->setVisible(false);
        filterRow->addWidget(*edit);
    }
    layout->addLayout(filterRow);

    archiveTable = new QTableWidget(0, 5, page);
    archiveTable->setObjectName(QStringLiteral("archiveTable"));
    archiveTable->setHorizontalHeaderLabels({QStringLiteral("Пациент"), QStringLiteral("ID"), QStringLiteral("Дата"),
                                             QStringLiteral("Описание"), QStringLiteral("Модальности")});
    archiveTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    archiveTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    archiveTable->setSelectionMode(QAbstractItemView::SingleSelection);
    archiveTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    archiveTable->setSortingEnabled(true);
    layout->addWidget(archiveTable, 1);

    downloadOpenButton = new QPushButton(QStringLiteral("Скачать и открыть"), page);
    downloadOpenButton->setObjectName(QStringLiteral("downloadOpenButton"));
    downloadOpenButton->setEnabled(false);
    layout->addWidget(downloadOpenButton);

    connect(archiveSearchEdit, &QLineEdit::textChanged, this, &RemoteBrowserDialog::applyArchiveFilter);
    connect(archiveModalityButton, &ModalityFilterButton::selectionChanged, this,
            &RemoteBrowserDialog::applyArchiveFilter);
    connect(archiveDateFrom, &QDateEdit::dateChanged, this, &RemoteBrowserDialog::applyArchiveFilter);
    connect(archiveDateTo, &QDateEdit::dateChanged, this, &RemoteBrowserDialog::applyArchiveFilter);
    connect(archivePeriodCombo, &QComboBox::currentIndexChanged, this, [this](int index) {
        archiveDateFrom->setVisible(index == 5 || index == 6);
        archiveDateTo->setVisible(index == 6);
        applyArchiveFilter();
    });
    connect(archiveTable, &QTableWidget::cellDoubleClicked, this, &RemoteBrowserDialog::onDownloadAndOpenClicked);
    connect(downloadOpenButton, &QPushButton::clicked, this, &RemoteBrowserDialog::onDownloadAndOpenClicked);
    return page;
}

void RemoteBrowserDialog::refreshRemoteStudies()
{
    statusLabel->setText(QStringLiteral("Получение списка исследований…"));
    QApplication::processEvents();
    QList<RemoteStudyEntry> studies;
    QString error;
    if (!client->listStudies(&studies, &error, 15000)) {
        statusLabel->setText(QStringLiteral("Ошибка получения списка"));
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }
    archiveTable->setSortingEnabled(false);
    archiveTable->setRowCount(int(studies.size()));
    for (int row = 0; row < studies.size(); ++row) {
        const RemoteStudyEntry& s = studies.at(row);
        auto* name = textItem(s.patientName);
        name->setData(Qt::UserRole, s.uid);
        name->setData(kModalitiesRole, s.modalities);
        archiveTable->setItem(row, 0, name);
        archiveTable->setItem(row, 1, textItem(s.patientId));
        archiveTable->setItem(row, 2, textItem(dicom::dicomDateText(s.studyDate, QStringLiteral("yyyy-MM-dd"))));
        archiveTable->setItem(row, 3, textItem(s.studyDescription));
        archiveTable->setItem(row, 4, textItem(s.modalities));
    }
    archiveTable->setSortingEnabled(true);
    archiveTable->sortItems(2, Qt::DescendingOrder);
    applyArchiveFilter();
    statusLabel->setText(QStringLiteral("Подключено: найдено исследований — %1").arg(studies.size()));
    downloadOpenButton->setEnabled(!studies.isEmpty());
}

void RemoteBrowserDialog::applyArchiveFilter()
{
    const QString search = archiveSearchEdit->text().trimmed();
    const QStringList modalities = archiveModalityButton->selectedModalities();
    const auto [from, to] = studyfilters::periodDates(archivePeriodCombo->currentIndex(), 5, QDate::currentDate(),
                                                      archiveDateFrom->date(), archiveDateTo->date());

    for (int row = 0; row < archiveTable->rowCount(); ++row) {
        const QTableWidgetItem* nameItem = archiveTable->item(row, 0);
        const QTableWidgetItem* idItem = archiveTable->item(row, 1);
        const QTableWidgetItem* dateItem = archiveTable->item(row, 2);
        bool visible = search.isEmpty() || (nameItem && nameItem->text().contains(search, Qt::CaseInsensitive))
                       || (idItem && idItem->text().contains(search, Qt::CaseInsensitive));
        if (visible)
            visible = studyfilters::modalitiesMatch(nameItem ? nameItem->data(kModalitiesRole).toString() : QString(), modalities);
        if (visible && from.isValid() && to.isValid()) {
            const QDate d =
                QDate::fromString(dateItem ? dateItem->text() : QString(), QStringLiteral("yyyy-MM-dd"));
            visible = d.isValid() && from <= d && d <= to;
        }
        archiveTable->setRowHidden(row, !visible);
    }
}

void RemoteBrowserDialog::onDownloadAndOpenClicked()
{
    const int row = archiveTable->currentRow();
    const QTableWidgetItem* item = row >= 0 ? archiveTable->item(row, 0) : nullptr;
    if (!item) {
        QMessageBox::information(this, windowTitle(), QStringLiteral("Сначала выберите исследование в списке."));
        return;
    }
    downloadAndOpenStudy(item->data(Qt::UserRole).toString());
}

void RemoteBrowserDialog::downloadAndOpenStudy(const QString& studyUid)
{
    QString error;
    if (!ensureConnected(&error)) {
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }
    int fileCount = 0;
    QStringList objects; // what each file is, when the host names it
    if (!client->getFileList(studyUid, &fileCount, &error, 15000, &objects)) {
        QMessageBox::warning(this, windowTitle(), error);
        return;
    }
    if (fileCount < 1) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("В этом исследовании нет файлов."));
        return;
    }
    // The study UID comes from the other workstation and becomes a folder name: only plain names pass.
    if (!ManagedStore::isRemoteStudyFolderName(studyUid)) {
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("Удалённый компьютер передал недопустимый идентификатор исследования: %1")
                                 .arg(studyUid.left(80)));
        return;
    }
    // In the store, as it names its folders: the rows record the files relative to it, so that they
    // are found, proven and removed as the program's own wherever the data folder goes.
    const QString destDir = QDir(ManagedStore().remoteDownloadsFolder()).filePath(studyUid);
    if (!RemoteParallelDownloadWorker::findsOnlyItsOwnFiles(destDir, objects, fileCount, &error)) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Скачивание не начато: %1").arg(error));
        return;
    }
    // Before any file of this try is indexed, so that a retry after the host's study changed tells what
    // this try brought from what the study held already.
    error = QStringLiteral("не удалось создать папку %1").arg(QDir::toNativeSeparators(destDir));
    if (!QDir().mkpath(destDir) || !RemoteDownloadTries(destDir).begin(db, studyUid, objects, fileCount, &error)) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Скачивание не начато: %1").arg(error));
        return;
    }

    QProgressDialog progress(QStringLiteral("Скачивание исследования…"), QStringLiteral("Отмена"), 0, fileCount, this);
    progress.setWindowTitle(QStringLiteral("Kalvenor"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.setAutoClose(false);
    progress.setAutoReset(false);
    progress.setValue(0);
    progress.show();

    error.clear();
    bool notWhole = false;
    if (!downloadStudyParallel(studyUid, destDir, fileCount, objects, &progress, &error, &notWhole)) {
        progress.close();
        if (notWhole) {
            // What was got is indexed and stays, but it is never opened as the host's whole study.
            QMessageBox::warning(
                this, windowTitle(),
                QStringLiteral("%1\n\nИсследование не открыто как полное. %2")
                    .arg(error,
                         objects.isEmpty()
                             ? QStringLiteral("Удалённый компьютер работает с прежней версией "
                                              "программы и не называет объекты исследования, поэтому "
                                              "уже скачанное не докачать: чтобы скачать исследование "
                                              "заново, удалите его из списка исследований и папку %1.")
                                   .arg(QDir::toNativeSeparators(destDir))
                             : QStringLiteral("Уже скачанное сохранено в папке %1.")
                                   .arg(QDir::toNativeSeparators(destDir))));
        } else if (!error.isEmpty()) {
            QMessageBox::warning(this, windowTitle(),
                                 QStringLiteral("%1\n\nУже скачанное сохранено — при следующей попытке \"Скачать и "
                                                "открыть\" для этого же исследования скачивание продолжится с этого места.")
                                     .arg(error));
        }
        return;
    }
    progress.setValue(fileCount);
    progress.close();
    if (!error.isEmpty())
        QMessageBox::information(this, windowTitle(), error);

    if (!db || !db->studyExists(studyUid)) {
        QMessageBox::warning(this, windowTitle(), QStringLiteral("Не удалось импортировать ни одного файла исследования."));
        return;
    }
    if (MainWindow::s_instance)
        MainWindow::s_instance->refreshStudyTable();
    auto* viewer = new ViewerWindow(db, studyUid, QString(), nullptr, false);
    if (MainWindow::s_instance)
        MainWindow::s_instance->showViewerWindow(viewer);
    else
        viewer->showMaximized();
    hide();
}

bool RemoteBrowserDialog::runWorkers(const QString& studyUid, const QString& destDir, int fileCount,
                                     const QStringList& objects, bool compareOnly, QProgressDialog* progress,
                                     const std::function<void(int index, const QString& path)>& onFile,
                                     QString* error, bool* changed)
{
    const int workerCount = qMin(fileCount, kMaxWorkers);
    const QString host = hostEdit->text().trimmed();
    const QString token = tokenEdit->text().trimmed();
    const QString fingerprint = fingerprintEdit->text().trimmed();
    const QString secret = e2eSecretEdit->text().trimmed();
    const int port = portSpin->value();
    const int base = fileCount / workerCount;
    const int rem = fileCount % workerCount;

    QList<std::pair<QThread*, RemoteParallelDownloadWorker*>> pairs;
    int finishedCount = 0;
    bool failed = false;
    QString failure;
    QEventLoop loop;

    int first = 0;
    for (int i = 0; i < workerCount; ++i) {
        const int end = first + base + (i < rem ? 1 : 0);
        auto* thread = new QThread;
        auto* worker = new RemoteParallelDownloadWorker(host, port, token, fingerprint, secret, studyUid, destDir, first, end,
                                                        QStringLiteral("%1-w%2").arg(effectiveHostId()).arg(i));
        worker->expectObjects(objects.mid(first, end - first));
        if (compareOnly)
            worker->compareOnly();
        worker->moveToThread(thread);
        connect(thread, &QThread::started, worker, &RemoteParallelDownloadWorker::run);
        connect(worker, &RemoteParallelDownloadWorker::fileDownloaded, this, onFile, Qt::QueuedConnection);
        connect(
            worker, &RemoteParallelDownloadWorker::fileFailed, this,
            [&](const QString& message) {
                if (failed)
                    return;
                failed = true;
                failure = message;
                for (const auto& p : std::as_const(pairs))
                    p.second->requestStop();
            },
            Qt::QueuedConnection);
        connect(
            worker, &RemoteParallelDownloadWorker::finished, this,
            [&] {
                if (++finishedCount == workerCount)
                    loop.quit();
            },
            Qt::QueuedConnection);
        pairs.append({thread, worker});
        thread->start(QThread::InheritPriority);
        first = end;
    }

    QTimer cancelPoll;
    connect(&cancelPoll, &QTimer::timeout, this, [&] {
        if (progress->wasCanceled() && !failed) {
            for (const auto& p : std::as_const(pairs))
                p.second->requestStop();
        }
    });
    cancelPoll.start(200);
    loop.exec();
    cancelPoll.stop();

    for (const auto& [thread, worker] : std::as_const(pairs)) {
        thread->quit();
        thread->wait();
        *changed = *changed || worker->foundStudyChanged();
        delete worker;
        delete thread;
    }

    if (failed) {
        *error = failure;
        return false;
    }
    if (progress->wasCanceled()) {
        *changed = false;
        error->clear();
        return false;
    }
    return true;
}

bool RemoteBrowserDialog::downloadStudyParallel(const QString& studyUid, const QString& destDir,
                                                int fileCount, const QStringList& objects,
                                                QProgressDialog* progress, QString* error, bool* notWhole)
{
    *notWhole = false;
    int received = 0;
    // The study's objects the files received hold, each once, and the files that gave none: a host that
    // names no objects is asked by position, and a study it removed and took in again meanwhile gives
    // one object at two positions and another at none.
    QSet<QString> objectsHeld;
    int unreadable = 0;
    QString unreadableWhy; // the index's words for the last file it refused
    QStringList otherObjects; // files that hold another object than the host listed for them
    const RemoteDownloadTries tries(destDir);
    const QHash<QString, QString> usersFiles = tries.usersFilesNoted();
    const auto indexFile = [&](int index, const QString& path) {
        auto summary = dicom::readFileSummary(path);
        // A file asked for as an object enters the index only holding it: another patient's study never
        // comes in through a file copied over one of this study's at the host.
        const QString listed = objects.value(index);
        if (summary && !listed.isEmpty()
            && (summary->sopInstanceUid != listed || summary->studyInstanceUid != studyUid)) {
            otherObjects << QDir::toNativeSeparators(path);
        } else {
            // The object's row on a user's file (an import in place) is taken by this copy only when the
            // try noted that file as it began: a retry that takes the object out gives the row back to
            // it. Unnoted (imported since), the row stays on the user's file.
            const std::optional<db::IndexedFile> users =
                summary && db && summary->studyInstanceUid == studyUid ? db->objectFile(summary->sopInstanceUid)
                                                                      : std::nullopt;
            const bool keptOnUsers = users && users->ownCopy == false && users->studyInstanceUid == studyUid
                                     && users->filePath != path
                                     && usersFiles.value(summary->sopInstanceUid) != users->filePath;
            if (summary && db && !keptOnUsers) {
                summary->ownCopy = true; // the download's own file, known by the digest its worker marked
                summary->contentDigest = platform::ContentDigest::markOf(path);
                if (!db->indexFile(*summary)) {
                    unreadableWhy = db->lastError();
                    summary.reset();
                }
            }
            if (!summary)
                ++unreadable;
            else if (summary->studyInstanceUid == studyUid)
                objectsHeld.insert(summary->sopInstanceUid);
        }
        ++received;
        progress->setValue(received);
        progress->setLabelText(QStringLiteral("Скачано файлов: %1 из %2").arg(received).arg(fileCount));
    };
    if (!runWorkers(studyUid, destDir, fileCount, objects, false, progress, indexFile, error, notWhole))
        return false;
    // Every file came, yet the study is whole only when they hold as many of its objects as the host
    // listed files.
    if (objectsHeld.size() != fileCount) {
        *notWhole = true;
        const QString why = unreadableWhy.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(unreadableWhy);
        *error = !otherObjects.isEmpty()
                     ? QStringLiteral("Скачанные файлы содержат не те объекты, которые назвал удалённый "
                                      "компьютер, и не внесены в локальную базу: %1.")
                           .arg(otherObjects.join(QStringLiteral(", ")))
                 : unreadable > 0
                     ? QStringLiteral("Не удалось прочитать или внести в локальную базу скачанных файлов: "
                                      "%1 из %2%3.")
                           .arg(unreadable)
                           .arg(fileCount)
                           .arg(why)
                     : QStringLiteral("Исследование на удалённом компьютере изменилось во время скачивания: "
                                      "в %1 скачанных файлах разных объектов исследования — %2.")
                           .arg(fileCount)
                           .arg(objectsHeld.size());
        return false;
    }
    if (objects.isEmpty() && !stillOneVersion(studyUid, destDir, fileCount, progress, error, notWhole))
        return false;
    RemoteDownloadTries::Outcome settled;
    if (!tries.settle(db, studyUid, objectsHeld, &settled, error)) {
        *notWhole = true;
        return false;
    }
    *error = settled.text();
    return true;
}

bool RemoteBrowserDialog::stillOneVersion(const QString& studyUid, const QString& destDir, int fileCount,
                                          QProgressDialog* progress, QString* error, bool* notWhole)
{
    // Such a host answers each index from its list as it is when asked, so a study it removed and took
    // in again under the download may have given files of two versions, each object once. They are one
    // only when the host, asked again now, lists as many files and holds each of them at its index;
    // nothing but headers travels.
    progress->setValue(0);
    progress->setLabelText(QStringLiteral("Проверка скачанного…"));
    int countNow = 0;
    if (!ensureConnected(error) || !client->getFileList(studyUid, &countNow, error, 15000))
        return false;
    if (countNow != fileCount) {
        *notWhole = true;
        *error = QStringLiteral("Исследование на удалённом компьютере изменилось во время скачивания: файлов "
                                "в нём теперь %1, а было %2.")
                     .arg(countNow)
                     .arg(fileCount);
        return false;
    }
    int compared = 0;
    return runWorkers(
        studyUid, destDir, fileCount, {}, true, progress,
        [&](int, const QString&) {
            progress->setValue(++compared);
            progress->setLabelText(QStringLiteral("Проверено файлов: %1 из %2").arg(compared).arg(fileCount));
        },
        error, notWhole);
}
