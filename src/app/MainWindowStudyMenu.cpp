// The study list's context menu, protection, removal and the start-up clean-up.

#include "app/MainWindow.h"

#include "app/ManagedStore.h"
#include "app/StartupProgress.h"
#include "db/CleanupSettings.h"
#include "db/Database.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/UnfinishedRetrieves.h"
#include "platform/OwnFileDoor.h"
#include "platform/SingleInstanceLock.h"
#include "platform/TerminationSignals.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSet>
#include <QTableWidget>

#include <algorithm>
#include <utility>

namespace {

// Studies removed in one transaction with their pending removals, before their files go: the
// clean-up of a large archive neither holds every path at once nor one transaction for all.
constexpr int kStudiesRemovedTogether = 2000;
// Store files of rows written by an earlier version measured in one transaction: few transactions
// (each written out and synced) rather than short ones, as this runs before the list is shown.
constexpr int kFilesMeasuredTogether = 50000;

struct ManagedFiles
{
    QStringList files;
    qint64 bytes = 0;
};

// The study's files that a removal would delete.
ManagedFiles managedFilesOf(db::Database* index, const ManagedStore& store, const QString& studyUid)
{
    ManagedFiles out;
    for (const db::IndexedFile& file : index->studyFiles(studyUid)) {
        if (store.isOwnCopy(file)) {
            out.files << file.filePath;
            out.bytes += QFileInfo(file.filePath).size();
        }
    }
    return out;
}

// The files that could not be removed, by name: the first few and how many more.
// total: how many there are, of which paths names the first.
QString namedFiles(const QStringList& paths, const QString& separator, qsizetype total = -1)
{
    constexpr int kNamed = 10;
    QStringList lines;
    for (const QString& path : paths.mid(0, kNamed))
        lines << QDir::toNativeSeparators(path);
    if (total < 0)
        total = paths.size();
    if (total > lines.size())
        lines << QStringLiteral("… и ещё %1").arg(total - lines.size());
    return lines.join(separator);
}

QString namedFiles(const ManagedStore::LeftFiles& left, const QString& separator)
{
    return namedFiles(left.names(), separator, left.count());
}

// Those left lying as the program's copies without its record of writing them, taken out of left.
ManagedStore::LeftFiles takeUnmarked(ManagedStore::LeftFiles* left)
{
    constexpr auto unmarked = ManagedStore::LeftFiles::Unmarked;
    ManagedStore::LeftFiles taken;
    taken.counts[unmarked] = std::exchange(left->counts[unmarked], 0);
    taken.named[unmarked] = std::exchange(left->named[unmarked], {});
    return taken;
}

// A study being retrieved keeps its rows: removed now, it would be listed again with only what
// arrives after, and its retrieve would report it whole. True when the user was told so.
bool refusedWhileReceived(QWidget* parent, const QStringList& studyUids, const QString& title)
{
    const auto receiving =
        std::count_if(studyUids.begin(), studyUids.end(), &pacs::PacsRetrieveSession::isReceiving);
    if (receiving == 0)
        return false;
    QMessageBox::warning(
        parent, title,
        studyUids.size() < 2
            ? QStringLiteral("Исследование сейчас загружается с PACS-сервера и не удалено. Удалите его после "
                             "окончания загрузки или после её отмены.")
            : QStringLiteral("Из выбранных исследований сейчас загружаются с PACS-сервера: %1. Ничего не "
                             "удалено. Удалите их после окончания загрузки или после её отмены.")
                  .arg(receiving));
    return true;
}

} // namespace

bool MainWindow::isManagedStudyFile(const QString& path)
{
    return ManagedStore().isCopyPlace(path);
}

QStringList MainWindow::selectedStudyUids(bool* anyProtected) const
{
    // Rows, not column-0 items: the name column may be hidden by the user. A selection of all rows, or
    // of a span, takes in the rows the filter hides too: the menu acts only on what the list shows.
    QStringList uids;
    bool protectedFound = false;
    const QModelIndexList rows = m_studyTable->selectionModel()->selectedRows();
    for (const QModelIndex& index : rows) {
        QTableWidgetItem* item = m_studyTable->item(index.row(), 0);
        if (!item || m_studyTable->isRowHidden(index.row()))
            continue;
        uids << item->data(StudyUidRole).toString();
        protectedFound = protectedFound || item->data(StudyProtectedRole).toBool();
    }
    if (anyProtected)
        *anyProtected = protectedFound;
    return uids;
}

QMenu* MainWindow::buildStudyContextMenu(const QPoint& pos)
{
    QTableWidgetItem* clicked = m_studyTable->itemAt(pos);
    if (!clicked)
        return nullptr;
    if (!m_studyTable->selectionModel()->isRowSelected(clicked->row(), QModelIndex())) {
        m_studyTable->clearSelection();
        m_studyTable->selectRow(clicked->row());
    }
    bool anyProtected = false;
    const QStringList uids = selectedStudyUids(&anyProtected);
    if (uids.isEmpty())
        return nullptr;
    const QString suffix = uids.size() > 1 ? QStringLiteral(" (%1 шт.)").arg(uids.size()) : QString();

    auto* menu = new QMenu(this);
    QAction* exportArchive =
        menu->addAction(QStringLiteral("Экспортировать во внешний архив (без просмотрщика)%1…").arg(suffix));
    exportArchive->setObjectName(QStringLiteral("exportArchiveAction"));
    connect(exportArchive, &QAction::triggered, this, [this, uids] { exportStudiesToArchive(uids); });
    if (uids.size() == 1) {
        const QString uid = uids.first();
        QAction* exportFlash =
            menu->addAction(QStringLiteral("Экспортировать для флеш-накопителя (со встроенным просмотрщиком)…"));
        exportFlash->setObjectName(QStringLiteral("exportFlashAction"));
        connect(exportFlash, &QAction::triggered, this, [this, uid] { exportStudiesToFlashDrive(uid); });
        QAction* burnDisc = menu->addAction(QStringLiteral("Записать на CD/DVD (со встроенным просмотрщиком)…"));
        burnDisc->setObjectName(QStringLiteral("burnDiscAction"));
        connect(burnDisc, &QAction::triggered, this, [this, uid] { burnStudiesToDisc(uid); });
        QAction* sendToPacs = menu->addAction(QStringLiteral("Отправить на PACS-сервер…"));
        sendToPacs->setObjectName(QStringLiteral("sendToPacsAction"));
        connect(sendToPacs, &QAction::triggered, this, [this, uid] { sendStudyToPacs(uid); });
        QAction* sendByEmail = menu->addAction(QStringLiteral("Отправить по email…"));
        sendByEmail->setObjectName(QStringLiteral("sendByEmailAction"));
        connect(sendByEmail, &QAction::triggered, this, [this, uid] { sendStudyByEmail(uid); });
        menu->addSeparator();
        QTableWidgetItem* item = m_studyTable->item(clicked->row(), 0);
        const bool isProtected = item && item->data(StudyProtectedRole).toBool();
        QAction* protect = menu->addAction(isProtected ? QStringLiteral("Снять защиту от удаления")
                                                       : QStringLiteral("Защитить от удаления"));
        protect->setObjectName(QStringLiteral("protectAction"));
        connect(protect, &QAction::triggered, this, [this, uid, isProtected] { setStudyProtection(uid, isProtected); });
    }
    menu->addSeparator();
    QAction* removeFromList = menu->addAction(QStringLiteral("Удалить только запись из списка%1").arg(suffix));
    removeFromList->setObjectName(QStringLiteral("removeFromListAction"));
    connect(removeFromList, &QAction::triggered, this, [this, uids] { removeStudiesFromList(uids); });
    QAction* deleteAll = menu->addAction(QStringLiteral("Удалить полностью (запись + файлы)%1").arg(suffix));
    deleteAll->setObjectName(QStringLiteral("deleteCompletelyAction"));
    connect(deleteAll, &QAction::triggered, this, [this, uids] { deleteStudiesCompletely(uids); });
    if (anyProtected) {
        for (QAction* a : {removeFromList, deleteAll}) {
            a->setEnabled(false);
            a->setToolTip(QStringLiteral("В выделении есть защищённые от удаления исследования"));
        }
        menu->setToolTipsVisible(true);
    }
    return menu;
}

void MainWindow::showStudyContextMenu(const QPoint& pos)
{
    QMenu* menu = buildStudyContextMenu(pos);
    if (!menu)
        return;
    menu->exec(m_studyTable->viewport()->mapToGlobal(pos));
    menu->deleteLater();
}

void MainWindow::setStudyProtection(const QString& studyUid, bool currentlyProtected)
{
    if (!m_db->setStudyProtected(studyUid, !currentlyProtected)) {
        QMessageBox::warning(this, QStringLiteral("Ошибка"),
                             QStringLiteral("Не удалось изменить защиту:\n%1").arg(m_db->lastError()));
        return;
    }
    refreshStudyTable();
}

void MainWindow::forgetSelectedStudy(const QString& studyUid)
{
    if (m_selectedStudyUid == studyUid) {
        m_selectedStudyUid.clear();
        m_seriesTable->setRowCount(0);
    }
}

void MainWindow::removeStudiesFromList(const QStringList& studyUids)
{
    const QString title = QStringLiteral("Удалить запись");
    if (refusedWhileReceived(this, studyUids, title))
        return;
    const QString text =
        studyUids.size() < 2
            ? QStringLiteral("Удалить исследование из списка?\n\nФайлы на диске останутся нетронутыми — удаляется "
                             "только запись в локальной базе.")
            : QStringLiteral("Удалить %1 исследований из списка?\n\nФайлы на диске останутся нетронутыми — удаляются "
                             "только записи в локальной базе.")
                  .arg(studyUids.size());
    // A retrieve may have begun while the question was open.
    if (QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes
        || refusedWhileReceived(this, studyUids, title))
        return;
    for (const QString& uid : studyUids)
        removeStudyFromList(uid);
    refreshStudyTable();
}

QString MainWindow::readOnlyIndexAdvice()
{
    return QStringLiteral("Чтобы работать с базой полностью, закройте программу, дайте права на запись в папку %1 "
                          "(или закройте другую программу, которая держит базу) и запустите программу снова.")
        .arg(QDir::toNativeSeparators(ManagedStore::defaultDataFolder()));
}

void MainWindow::removeStudyFromList(const QString& studyUid)
{
    if (!m_db->deleteStudy(studyUid)) {
        QMessageBox::warning(this, QStringLiteral("Ошибка"),
                             QStringLiteral("Не удалось удалить исследование:\n%1").arg(m_db->lastError())
                                 + (m_db->isWritable() ? QString() : QStringLiteral("\n\n") + readOnlyIndexAdvice()));
        return;
    }
    // Its rows gone, a mark of a retrieve cut short names nothing: the study, imported again, is whole.
    pacs::clearRetrieveUnfinished(studyUid);
    forgetSelectedStudy(studyUid);
}

void MainWindow::deleteStudiesCompletely(const QStringList& studyUids)
{
    const QString title = QStringLiteral("Удалить полностью");
    if (refusedWhileReceived(this, studyUids, title))
        return;
    const QString text =
        studyUids.size() < 2
            ? QStringLiteral("Удалить исследование полностью (запись + файлы в управляемом хранилище)?")
            : QStringLiteral("Удалить полностью %1 исследований (запись + файлы в управляемом хранилище)?")
                  .arg(studyUids.size());
    if (QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes
        || refusedWhileReceived(this, studyUids, title))
        return;
    deleteStudiesWithManagedFiles(studyUids);
    refreshStudyTable();
}

bool MainWindow::removeStudiesWithCopies(const QStringList& studyUids, QStringList* failedFiles, int* removed,
                                         ManagedStore::LeftFiles* leftFiles)
{
    // A batch's rows go in one transaction with the list of their files to remove, then the files:
    // a study is never listed without its files, and what a kill or a failure leaves behind is
    // removed at the next start.
    const ManagedStore store;
    failedFiles->clear();
    if (removed)
        *removed = 0;
    // By UID: the UIDs of a study's series and objects mostly share its own beginning, so each batch
    // rewrites its own stretch of the index's lookups rather than all of them again.
    QStringList ordered = studyUids;
    ordered.sort();
    for (qsizetype first = 0; first < ordered.size(); first += kStudiesRemovedTogether) {
        const QStringList batch = ordered.mid(first, kStudiesRemovedTogether);
        QStringList copies;
        ManagedStore::LeftFiles left;
        const auto isCopy = [&store, &copies, &left](const db::IndexedFile& file) {
            // Written by the program, yet nothing at its place, or reached outside where the program
            // keeps its copies now: wherever it is, it stays, and is named.
            switch (store.standingOf(file)) {
            case ManagedStore::Standing::Own:
                copies << file.filePath;
                return true;
            case ManagedStore::Standing::Missing:
                left.add(ManagedStore::LeftFiles::Missing, file.filePath);
                break;
            case ManagedStore::Standing::Elsewhere:
                left.add(ManagedStore::LeftFiles::Elsewhere, file.filePath);
                break;
            case ManagedStore::Standing::Users:
                break;
            }
            return false;
        };
        // Recorded as not the program's, yet lying as its copy: it stays, and the user is told how many.
        const auto notWritten = [&store, &left](const db::IndexedFile& file) {
            if (store.liesAsCopy(file))
                left.add(ManagedStore::LeftFiles::Unmarked, file.filePath);
        };
        if (!m_db->deleteStudies(batch, nullptr, isCopy, notWritten))
            return false;
        *failedFiles += store.removeCopies(*m_db, copies, &left);
        if (leftFiles)
            leftFiles->add(left);
        if (!failedFiles->isEmpty())
            keepStoreMark();
        for (const QString& uid : batch) {
            pacs::clearRetrieveUnfinished(uid);
            forgetSelectedStudy(uid);
        }
        if (removed)
            *removed += int(batch.size());
    }
    return true;
}

void MainWindow::deleteStudyCompletely(const QString& studyUid)
{
    deleteStudiesWithManagedFiles({studyUid});
}

void MainWindow::deleteStudiesWithManagedFiles(const QStringList& studyUids)
{
    QStringList failed;
    ManagedStore::LeftFiles left;
    if (!removeStudiesWithCopies(studyUids, &failed, nullptr, &left)) {
        QMessageBox::warning(this, QStringLiteral("Ошибка"),
                             (studyUids.size() < 2 ? QStringLiteral("Не удалось удалить исследование:\n%1")
                                                   : QStringLiteral("Не удалось удалить исследования:\n%1"))
                                     .arg(m_db->lastError())
                                 + (m_db->isWritable() ? QString() : QStringLiteral("\n\n") + readOnlyIndexAdvice()));
        return;
    }
    if (!failed.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Файлы не удалены"),
                             QStringLiteral("Исследования удалены из списка, но не удалось удалить файлов: %1. "
                                            "Программа попробует удалить их при следующем запуске.\n\n%2")
                                 .arg(failed.size())
                                 .arg(namedFiles(failed, QStringLiteral("\n"))));
    const ManagedStore::LeftFiles unmarked = takeUnmarked(&left);
    QStringList told;
    if (left.count() > 0)
        told << QStringLiteral("Исследования удалены из списка, но не удалены файлы, записанные "
                               "программой: %1. Программа удаляет только файлы, о которых знает, что "
                               "записала их сама:\n%2\n\n%3")
                    .arg(left.count())
                    .arg(left.reasons(QStringLiteral(";\n")))
                    .arg(namedFiles(left, QStringLiteral("\n")));
    if (unmarked.count() > 0)
        told << QStringLiteral("В хранилище программы оставлены файлы удалённых исследований: %1. "
                               "Они лежат там, где программа хранит свои копии, но не отмечены как "
                               "записанные ею (папка данных скопирована без отметок файлов, импорт "
                               "прерван в прежней версии программы, или это файлы пользователя), а "
                               "программа удаляет только файлы, о которых знает, что записала их сама. "
                               "Их больше нет в списке; удалите их вручную, если они не нужны:\n%2")
                    .arg(unmarked.count())
                    .arg(namedFiles(unmarked, QStringLiteral("\n")));
    if (!told.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Файлы не удалены"), told.join(QStringLiteral("\n\n")));
}

void MainWindow::runAutoCleanup()
{
    const CleanupSettings settings = loadCleanupSettings();
    if (!settings.byAgeEnabled && !settings.bySizeEnabled)
        return;
    // Removing files whose rows stay would list studies without their images at every start.
    if (!m_db->isWritable()) {
        m_statusLabel->setText(
            QStringLiteral("Автоочистка при запуске не выполнена: %1").arg(m_db->readOnlyReason()));
        return;
    }
    // Rows an earlier version wrote carry no size: their store files are measured once, here.
    if (settings.bySizeEnabled) {
        const int total = m_db->storeFilesToMeasure();
        for (int done = 0, measured = total > 0 ? 1 : 0; measured > 0; done += measured) {
            if (m_startupProgress)
                m_startupProgress->advance(
                    QStringLiteral("Подсчёт размера хранилища: измерено файлов %1 из %2").arg(done).arg(total), done,
                    total);
            measured = m_db->fillStoreFileSizes(kFilesMeasuredTogether);
        }
    }
    const QList<db::StudyRecord> studies = m_db->allStudies();

    QStringList chosen;
    QSet<QString> chosenByAge;
    if (settings.byAgeEnabled) {
        // Counted from the import, not the study date: a prior study brought in today for comparison
        // must not go at the next start, before anyone has read it.
        const QDate cutoff = today().addDays(-settings.maxAgeDays);
        for (const db::StudyRecord& s : studies) {
            const QDate imported = s.importedAt.isValid() ? s.importedAt.toLocalTime().date() : QDate();
            if (!s.isProtected && imported.isValid() && imported < cutoff) {
                chosen << s.studyInstanceUid;
                chosenByAge.insert(s.studyInstanceUid);
            }
        }
    }
    if (settings.bySizeEnabled) {
        // Only the managed store counts: deleting a study indexed where it lies frees no space, so
        // such studies are neither summed nor chosen. The index keeps each study's store size.
        qint64 total = 0;
        for (const db::StudyRecord& s : studies)
            if (!chosenByAge.contains(s.studyInstanceUid))
                total += s.storeBytes;
        const ManagedStore store;
        for (const db::StudyRecord& s : studies) {
            if (total <= settings.maxSizeBytes)
                break;
            if (s.isProtected || chosenByAge.contains(s.studyInstanceUid) || s.storeBytes <= 0)
                continue;
            // Only a study that has copies of the program's own to remove is chosen, as its removal
            // will tell them: by the files themselves.
            total -= s.storeBytes;
            if (managedFilesOf(m_db, store, s.studyInstanceUid).bytes > 0)
                chosen << s.studyInstanceUid;
        }
    }
    if (chosen.isEmpty())
        return;
    QString why;
    if (!startupDeletionsAllowed(&why)) {
        m_statusLabel->setText(QStringLiteral("Автоочистка при запуске не выполнена: %1").arg(why));
        return;
    }
    QStringList failed;
    ManagedStore::LeftFiles left;
    int removed = 0;
    const bool whole = removeStudiesWithCopies(chosen, &failed, &removed, &left);
    if (!whole && removed == 0) {
        m_statusLabel->setText(QStringLiteral("Автоочистка при запуске не выполнена: %1").arg(m_db->lastError()));
        return;
    }
    m_statusLabel->setText(QStringLiteral("Автоочистка при запуске: удалено исследований — %1").arg(removed));
    if (!whole)
        addStartupNote(QStringLiteral("остальные %1 не удалены: %2").arg(chosen.size() - removed).arg(m_db->lastError()));
    if (!failed.isEmpty())
        addStartupNote(QStringLiteral("Не удалось удалить файлов: %1 (%2)")
                           .arg(failed.size())
                           .arg(namedFiles(failed, QStringLiteral(", "))));
    const ManagedStore::LeftFiles unmarked = takeUnmarked(&left);
    if (left.count() > 0)
        addStartupNote(QStringLiteral("Не удалены файлы, записанные программой, которых нет в хранилище или "
                                      "которые заменены другими: %1 (%2: %3)")
                           .arg(left.count())
                           .arg(left.reasons(QStringLiteral(", ")))
                           .arg(namedFiles(left, QStringLiteral(", "))));
    if (unmarked.count() > 0)
        addStartupNote(QStringLiteral("Оставлены в хранилище файлы удалённых исследований, не отмеченные как "
                                      "записанные программой: %1 (%2)")
                           .arg(unmarked.count())
                           .arg(namedFiles(unmarked, QStringLiteral(", "))));
}

void MainWindow::beginStoreSession()
{
    const QString data = ManagedStore::defaultDataFolder();
    m_storeLock = std::make_unique<platform::SingleInstanceLock>(
        QString::fromLatin1(ManagedStore::kSessionLockName), data);
    m_storeLock->anotherInstanceRunning();
    const QString markPath = ManagedStore::sessionMarkPath(data);
    const QFileInfo standing(markPath);
    if (standing.exists())
        m_previousSessionStart = standing.lastModified();
    // Laid anew before anything changes, so that a kill at any later moment leaves it standing; its
    // time tells a later start which files this session may still have been writing.
    writeStoreMark();
    m_sessionMarkTime = QFileInfo(markPath).lastModified();
}

void MainWindow::writeStoreMark()
{
    QFile mark(ManagedStore::sessionMarkPath());
    if (mark.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        mark.write(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toLatin1());
        mark.close();
    }
}

void MainWindow::keepStoreMark()
{
    m_storeSweepDue = true;
    writeStoreMark();
}

bool MainWindow::startupDeletionsAllowed(QString* why)
{
    if (m_startupDeletionsChecked) {
        *why = m_noStartupDeletionsWhy;
        return why->isEmpty();
    }
    m_startupDeletionsChecked = true;
    QString problem;
    if (m_storeLock && !m_storeLock->failure().isEmpty()) {
        // No lock could be made at all (a full disk): no other copy is named for it.
        m_noStartupDeletionsWhy = m_storeLock->failure();
        addStartupNote(QStringLiteral("Очистка хранилища при запуске отложена: %1").arg(m_noStartupDeletionsWhy));
    } else if (!m_storeLock || !m_storeLock->isHeld()) {
        // Its imports, retrieves and deletions are under way: nothing of theirs is a leftover.
        m_noStartupDeletionsWhy = QStringLiteral("папку данных использует другая запущенная копия программы");
        addStartupNote(QStringLiteral("Очистка хранилища при запуске отложена: %1").arg(m_noStartupDeletionsWhy));
    } else if (!m_db->isWritable()) {
        m_noStartupDeletionsWhy = m_db->readOnlyReason().isEmpty() ? QStringLiteral("база не открыта")
                                                                   : m_db->readOnlyReason();
    } else if (!m_db->checkIntegrity(&problem, [this] {
                   // A large index takes a while to read through, after a session that was cut short.
                   if (m_startupProgress)
                       m_startupProgress->advance(QStringLiteral("Проверка локальной базы исследований…"), 0, 0);
               })) {
        // Rows that cannot be read name no files: every file would look unwanted.
        m_noStartupDeletionsWhy = QStringLiteral("локальная база исследований повреждена (%1)").arg(problem);
        QMessageBox::warning(this, QStringLiteral("Локальная база исследований"),
                             QStringLiteral("Локальная база исследований повреждена: %1.\n\nЧтобы не потерять "
                                            "исследования, программа не удаляет файлы хранилища и не выполняет "
                                            "автоочистку, пока база повреждена. Восстановите базу из резервной "
                                            "копии: исследования, добавленные после неё, снова появятся в "
                                            "списке.")
                                 .arg(problem));
    }
    if (!m_noStartupDeletionsWhy.isEmpty())
        m_storeSweepDue = true; // what was due stays due
    *why = m_noStartupDeletionsWhy;
    return why->isEmpty();
}

void MainWindow::sweepManagedStoreIfDue()
{
    if (!m_previousSessionStart.isValid() && m_db->pendingRemovals().isEmpty())
        return;
    QString why;
    if (!startupDeletionsAllowed(&why))
        return;
    ManagedStore::Progress progress;
    if (m_startupProgress)
        progress = m_startupProgress->step([](int found, int) {
            return QStringLiteral("Восстановление списка исследований: найдено файлов хранилища, не записанных в базу — %1")
                .arg(found);
        });
    // Logout or shutdown during the sweep: it ends where it is, and the next start goes on.
    const ManagedStore::SweepReport report =
        ManagedStore().sweep(*m_db, m_previousSessionStart, progress, &platform::TerminationSignals::requested);
    if (!report.complete())
        m_storeSweepDue = true;
    if (report.reindexed > 0)
        addStartupNote(QStringLiteral("Снова в списке файлов хранилища, не записанных в базу: %1").arg(report.reindexed));
    if (report.unlisted > 0 || !report.cause.isEmpty())
        addStartupNote(QStringLiteral("Не удалось снова внести в список файлов хранилища: %1 (%2) — они будут внесены "
                                      "при следующем запуске")
                           .arg(report.unlisted)
                           .arg(report.cause));
    if (!report.failed.isEmpty())
        addStartupNote(QStringLiteral("Не удалось удалить файлов хранилища: %1 (%2)")
                           .arg(report.failed.size())
                           .arg(namedFiles(report.failed, QStringLiteral(", "))));
    ManagedStore::LeftFiles others = report.left;
    const auto replaced = ManagedStore::LeftFiles::Replaced;
    if (others.counts[replaced] > 0)
        addStartupNote(
            QStringLiteral("Не удалены файлы хранилища, заменённые другими после записи программой: %1 (%2)")
                .arg(others.counts[replaced])
                .arg(namedFiles(others.named[replaced], QStringLiteral(", "), others.counts[replaced])));
    others.counts[replaced] = 0;
    others.named[replaced].clear();
    if (others.count() > 0)
        addStartupNote(QStringLiteral("Не удалены файлы хранилища, намеченные к удалению: %1 (%2: %3)")
                           .arg(others.count())
                           .arg(others.reasons(QStringLiteral(", ")))
                           .arg(namedFiles(others, QStringLiteral(", "))));
}

void MainWindow::endStoreSession()
{
    // Another copy that began later renewed the mark: its session still needs it. What this session
    // leaves for the next start stays marked, also when another copy took the mark away meanwhile.
    const QString markPath = ManagedStore::sessionMarkPath();
    if (m_storeSweepDue)
        writeStoreMark();
    else if (m_storeLock && m_storeLock->isHeld() && QFileInfo(markPath).lastModified() == m_sessionMarkTime)
        platform::OwnFileDoor({QFileInfo(markPath).path()}).remove(markPath, platform::OwnProof::ownName());
    m_storeLock.reset();
}

void MainWindow::removeOldUnpackFolders()
{
    // The archive import unpacks into a temporary folder of the default name ("<program>-XXXXXX"),
    // which a killed import leaves behind. An hour without change tells a left one from one in use.
    const QRegularExpression unpackName(
        QStringLiteral("^%1-[A-Za-z0-9]{6}$").arg(QRegularExpression::escape(QCoreApplication::applicationName())));
    const QDateTime stale = QDateTime::currentDateTime().addSecs(-3600);
    const QFileInfoList entries =
        QDir(QDir::tempPath()).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo& info : entries) {
        if (unpackName.match(info.fileName()).hasMatch() && info.lastModified() < stale)
            QDir(info.filePath()).removeRecursively();
    }
}
