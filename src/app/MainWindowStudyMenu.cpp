// The study list's context menu, protection, removal and the start-up clean-up.

#include "app/MainWindow.h"

#include "db/CleanupSettings.h"
#include "db/Database.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTableWidget>

#include <algorithm>
#include <vector>

namespace {

// The folders of the application data folder whose files the program stored itself and may therefore
// delete.
const char* const kManagedFolderNames[] = {"imported_from_zip", "pacs_downloads"};

QString managedFolder(const char* name)
{
    return QDir::cleanPath(
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath(QLatin1String(name)));
}

// The managed folders with a trailing separator, so that ".../imported_from_zip_backup" is not taken
// for ".../imported_from_zip".
const QStringList& managedFolderPrefixes()
{
    static const QStringList prefixes = [] {
        QStringList out;
        for (const char* name : kManagedFolderNames)
            out << managedFolder(name) + QLatin1Char('/');
        return out;
    }();
    return prefixes;
}

// A managed file's place in the store, from the managed folder's name on ("imported_from_zip/…"): rows
// written before the data folder moved still claim their files by it. Empty for other paths.
QString storeKey(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    for (const char* name : kManagedFolderNames) {
        const qsizetype at = clean.lastIndexOf(QStringLiteral("/%1/").arg(QLatin1String(name)));
        if (at >= 0)
            return clean.mid(at + 1);
    }
    return {};
}

struct ManagedFiles
{
    QStringList files;
    qint64 bytes = 0;
};

ManagedFiles managedFilesOf(db::Database* index, const QString& studyUid)
{
    ManagedFiles out;
    for (const QString& path : index->studyFilePaths(studyUid)) {
        if (MainWindow::isManagedStudyFile(path)) {
            out.files << path;
            out.bytes += QFileInfo(path).size();
        }
    }
    return out;
}

} // namespace

bool MainWindow::isManagedStudyFile(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    for (const QString& prefix : managedFolderPrefixes())
        if (clean.startsWith(prefix))
            return true;
    return false;
}

QStringList MainWindow::selectedStudyUids(bool* anyProtected) const
{
    // Rows, not column-0 items: the name column may be hidden by the user.
    QStringList uids;
    bool protectedFound = false;
    const QModelIndexList rows = m_studyTable->selectionModel()->selectedRows();
    for (const QModelIndex& index : rows) {
        QTableWidgetItem* item = m_studyTable->item(index.row(), 0);
        if (!item)
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
    const QString text =
        studyUids.size() < 2
            ? QStringLiteral("Удалить исследование из списка?\n\nФайлы на диске останутся нетронутыми — удаляется "
                             "только запись в локальной базе.")
            : QStringLiteral("Удалить %1 исследований из списка?\n\nФайлы на диске останутся нетронутыми — удаляются "
                             "только записи в локальной базе.")
                  .arg(studyUids.size());
    if (QMessageBox::question(this, QStringLiteral("Удалить запись"), text, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes)
        return;
    for (const QString& uid : studyUids)
        removeStudyFromList(uid);
    refreshStudyTable();
}

void MainWindow::removeStudyFromList(const QString& studyUid)
{
    if (!m_db->deleteStudy(studyUid)) {
        QMessageBox::warning(this, QStringLiteral("Ошибка"),
                             QStringLiteral("Не удалось удалить исследование:\n%1").arg(m_db->lastError()));
        return;
    }
    forgetSelectedStudy(studyUid);
}

void MainWindow::deleteStudiesCompletely(const QStringList& studyUids)
{
    const QString text =
        studyUids.size() < 2
            ? QStringLiteral("Удалить исследование полностью (запись + файлы в управляемом хранилище)?")
            : QStringLiteral("Удалить полностью %1 исследований (запись + файлы в управляемом хранилище)?")
                  .arg(studyUids.size());
    if (QMessageBox::question(this, QStringLiteral("Удалить полностью"), text, QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) != QMessageBox::Yes)
        return;
    deleteStudiesWithManagedFiles(studyUids);
    refreshStudyTable();
}

int MainWindow::removeManagedFiles(const QStringList& paths)
{
    QSet<QString> folders;
    int removed = 0;
    for (const QString& path : paths) {
        if (!isManagedStudyFile(path))
            continue;
        folders.insert(QFileInfo(path).absolutePath());
        if (QFile::remove(path))
            ++removed;
        else if (QFileInfo::exists(path))
            m_storeSweepDue = true; // its rows are gone: listed nowhere, it waits for the start-up sweep
    }
    // Only folders left empty go; parents (the managed roots among them) stay.
    for (const QString& folder : std::as_const(folders))
        QDir().rmdir(folder);
    return removed;
}

void MainWindow::deleteStudyCompletely(const QString& studyUid)
{
    deleteStudiesWithManagedFiles({studyUid});
}

void MainWindow::deleteStudiesWithManagedFiles(const QStringList& studyUids)
{
    // Rows first: a study must never stay listed with its files gone. Files that a failure or a kill
    // leaves after this point are listed nowhere, and the start-up sweep removes them.
    QStringList paths;
    if (!m_db->deleteStudies(studyUids, &paths)) {
        QMessageBox::warning(this, QStringLiteral("Ошибка"),
                             (studyUids.size() < 2 ? QStringLiteral("Не удалось удалить исследование:\n%1")
                                                   : QStringLiteral("Не удалось удалить исследования:\n%1"))
                                 .arg(m_db->lastError()));
        return;
    }
    removeManagedFiles(paths);
    for (const QString& uid : studyUids)
        forgetSelectedStudy(uid);
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
        // such studies are neither summed nor chosen.
        QHash<QString, qint64> managedBytes;
        qint64 total = 0;
        for (const db::StudyRecord& s : studies) {
            if (chosenByAge.contains(s.studyInstanceUid))
                continue;
            const qint64 bytes = managedFilesOf(m_db, s.studyInstanceUid).bytes;
            managedBytes.insert(s.studyInstanceUid, bytes);
            total += bytes;
        }
        for (const db::StudyRecord& s : studies) {
            if (total <= settings.maxSizeBytes)
                break;
            if (s.isProtected || chosenByAge.contains(s.studyInstanceUid))
                continue;
            const qint64 bytes = managedBytes.value(s.studyInstanceUid);
            if (bytes <= 0)
                continue;
            chosen << s.studyInstanceUid;
            total -= bytes;
        }
    }
    if (chosen.isEmpty())
        return;
    // All rows in one transaction, then the files: a study is either listed with its files or gone.
    QStringList paths;
    if (!m_db->deleteStudies(chosen, &paths)) {
        m_statusLabel->setText(QStringLiteral("Автоочистка при запуске не выполнена: %1").arg(m_db->lastError()));
        return;
    }
    removeManagedFiles(paths);
    m_statusLabel->setText(QStringLiteral("Автоочистка при запуске: удалено исследований — %1").arg(chosen.size()));
}

namespace {

// Stands while a session of the study list runs and after one that left unlisted files: a start that
// finds it sweeps the store. Walking the whole store at every start would cost seconds on a large one.
QString storeSessionMark()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("store_sweep_due"));
}

} // namespace

void MainWindow::sweepManagedStoreIfDue()
{
    QFile mark(storeSessionMark());
    if (!mark.exists()) {
        mark.open(QIODevice::WriteOnly);
        return;
    }
    if (m_db->isWritable())
        sweepManagedStore();
    else
        m_storeSweepDue = true; // not now: the next start that can write the index does it
}

void MainWindow::endStoreSession()
{
    if (!m_storeSweepDue)
        QFile::remove(storeSessionMark());
}

void MainWindow::sweepManagedStore()
{
    std::vector<size_t> claimed;
    qint64 rows = 0;
    const bool read = m_db->visitFilePaths([&claimed, &rows](const QString& path) {
        ++rows;
        const QString key = storeKey(path);
        if (!key.isEmpty())
            claimed.push_back(qHash(key));
    });
    // An index that could not be read to its end, or lists nothing (a new or replaced one), cannot tell
    // which files of the store are still wanted. Two keys of one hash only spare a file.
    if (!read || rows == 0)
        return;
    std::sort(claimed.begin(), claimed.end());
    QSet<QString> folders;
    for (const char* name : kManagedFolderNames) {
        const QDir root(managedFolder(name));
        // Hidden files are a running or broken transfer's own, and not this sweep's.
        QDirIterator it(root.path(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString key = QLatin1String(name) + QLatin1Char('/') + root.relativeFilePath(path);
            if (std::binary_search(claimed.begin(), claimed.end(), qHash(key)))
                continue;
            if (QFile::remove(path))
                folders.insert(QFileInfo(path).absolutePath());
        }
    }
    for (const QString& folder : std::as_const(folders))
        QDir().rmdir(folder);
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
