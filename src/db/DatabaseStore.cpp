#include "db/Database.h"
#include "db/DatabaseSql.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace db {

using namespace sql;

bool Database::setStudyProtected(const QString& studyInstanceUid, bool isProtected)
{
    if (!requireOpen())
        return false;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE studies SET is_protected = :prot WHERE study_instance_uid = :uid;"));
    q.bindValue(QStringLiteral(":prot"), isProtected ? 1 : 0);
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec()) {
        m_lastError = errorText(q);
        return false;
    }
    emit studiesWritten({studyInstanceUid});
    return true;
}

bool Database::deleteStudy(const QString& studyInstanceUid)
{
    if (!requireOpen())
        return false;
    QSqlQuery q(m_db);
    q.prepare(QString::fromLatin1(kStudyPatient));
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec() || !q.next()) {
        m_lastError = q.lastError().isValid() ? errorText(q) : QString();
        return false;
    }
    q.finish();
    return deleteStudies({studyInstanceUid});
}

bool Database::deleteStudies(const QStringList& studyInstanceUids, QStringList* filePaths,
                             const std::function<bool(const IndexedFile&)>& removeLater,
                             const std::function<void(const IndexedFile&)>& notWritten)
{
    if (filePaths)
        filePaths->clear();
    if (!requireOpen() || !beginWrite())
        return false;
    QSqlQuery q(m_db);
    auto fail = [this, &q, filePaths] {
        m_lastError = errorText(q);
        q.finish();
        m_db.rollback();
        if (filePaths)
            filePaths->clear();
        return false;
    };
    // The studies, their series and their patients go by way of temporary tables, so that the
    // deletions are a few statements whatever their number.
    const char* const setUp[] = {
        "CREATE TEMP TABLE IF NOT EXISTS doomed_studies (uid TEXT PRIMARY KEY);",
        "CREATE TEMP TABLE IF NOT EXISTS doomed_series (uid TEXT PRIMARY KEY);",
        "CREATE TEMP TABLE IF NOT EXISTS doomed_patients (patient_key INTEGER PRIMARY KEY);",
        "DELETE FROM temp.doomed_studies;",
        "DELETE FROM temp.doomed_series;",
        "DELETE FROM temp.doomed_patients;",
    };
    for (const char* sql : setUp) {
        if (!q.exec(QString::fromLatin1(sql)))
            return fail();
    }
    if (!q.prepare(QStringLiteral("INSERT OR IGNORE INTO temp.doomed_studies (uid) VALUES (:uid);")))
        return fail();
    for (const QString& uid : studyInstanceUids) {
        q.bindValue(QStringLiteral(":uid"), uid);
        if (!q.exec())
            return fail();
    }
    {
        // A file whose rows record that the program did not write it is never planned for removal;
        // the files of the store that stay, stay off the list. Read once, row by row: the clean-up
        // of a large archive reads hundreds of thousands.
        q.setForwardOnly(true);
        if (!q.exec(QString::fromLatin1(kIndexedFileSelect)
                    + QStringLiteral("WHERE se.study_instance_uid IN (SELECT uid FROM temp.doomed_studies) "
                                     "GROUP BY i.file_path;")))
            return fail();
        // Paths as the rows record them: a removal a kill cuts short is finished where the store is
        // at the next start, however the data folder is reached then.
        QStringList paths, pending, kept;
        QList<QVariant> pendingSizes, pendingDigests;
        while (q.next()) {
            bool inStore = false;
            const IndexedFile file = indexedFile(q, &inStore);
            const QString recorded = textOf(q.value(0));
            if (filePaths)
                paths.append(file.filePath);
            if (notWritten && file.ownCopy == false)
                notWritten(file);
            // Rows of an earlier version say nothing: the caller knows the program's copies by name.
            if (file.ownCopy.value_or(true) && removeLater && removeLater(file)) {
                pending << recorded;
                // What the index knew of the file written, for the removal to prove it that file.
                pendingSizes << (file.fileSize ? QVariant(qlonglong(*file.fileSize)) : QVariant());
                pendingDigests << (file.contentDigest.isEmpty() ? QVariant() : QVariant(file.contentDigest));
            } else if (inStore && QFileInfo::exists(file.filePath)) {
                kept << recorded;
            }
        }
        q.finish();
        for (const auto& [list, sql] :
             {std::pair{&pending,
                        "INSERT OR REPLACE INTO pending_removals (path, recorded, file_size, content_digest) "
                        "VALUES (:path, 1, :size, :digest);"},
              std::pair{&kept, "INSERT OR IGNORE INTO left_unlisted (path) VALUES (:path);"}}) {
            if (list->isEmpty())
                continue;
            if (!q.prepare(QString::fromLatin1(sql)))
                return fail();
            for (qsizetype i = 0; i < list->size(); ++i) {
                q.bindValue(QStringLiteral(":path"), list->at(i));
                if (list == &pending) {
                    q.bindValue(QStringLiteral(":size"), pendingSizes.at(i));
                    q.bindValue(QStringLiteral(":digest"), pendingDigests.at(i));
                }
                if (!q.exec())
                    return fail();
            }
        }
        if (filePaths)
            *filePaths = paths;
    }
    // The study rows go first, so that the triggers that keep their totals find nothing left to count
    // as the instance rows go; the foreign keys are checked at the commit, when the children are gone
    // too.
    const char* const deletions[] = {
        "INSERT OR IGNORE INTO temp.doomed_patients (patient_key) SELECT patient_key FROM studies "
        "WHERE study_instance_uid IN (SELECT uid FROM temp.doomed_studies) AND patient_key IS NOT NULL;",
        "INSERT OR IGNORE INTO temp.doomed_series (uid) SELECT series_instance_uid FROM series "
        "WHERE study_instance_uid IN (SELECT uid FROM temp.doomed_studies);",
        "PRAGMA defer_foreign_keys = ON;",
        "DELETE FROM studies WHERE study_instance_uid IN (SELECT uid FROM temp.doomed_studies);",
        "DELETE FROM series WHERE series_instance_uid IN (SELECT uid FROM temp.doomed_series);",
        "DELETE FROM instances WHERE series_instance_uid IN (SELECT uid FROM temp.doomed_series);",
        "DELETE FROM patients WHERE patient_key IN (SELECT patient_key FROM temp.doomed_patients) "
        "AND NOT EXISTS (SELECT 1 FROM studies st WHERE st.patient_key = patients.patient_key);",
        "DELETE FROM temp.doomed_studies;",
        "DELETE FROM temp.doomed_series;",
        "DELETE FROM temp.doomed_patients;",
    };
    for (const char* sql : deletions) {
        if (!q.exec(QString::fromLatin1(sql)))
            return fail();
    }
    q.finish();
    if (!m_db.commit()) {
        m_lastError = describe(m_db.lastError());
        m_db.rollback();
        if (filePaths)
            filePaths->clear();
        return false;
    }
    for (const QString& uid : studyInstanceUids)
        emit studyChanged(uid);
    emit studiesWritten(studyInstanceUids);
    return true;
}

namespace {

// A path that a row names again was indexed anew after its removal was planned.
const char* const kPendingRemovals = "SELECT path, file_size, content_digest, recorded FROM pending_removals "
                                     "WHERE path NOT IN (SELECT file_path FROM instances)";

} // namespace

QList<PendingRemoval> Database::pendingRemovalRecords() const
{
    QList<PendingRemoval> out;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!m_db.isOpen() || !q.exec(QString::fromLatin1(kPendingRemovals) + QLatin1Char(';')))
        return out;
    while (q.next()) {
        PendingRemoval removal;
        // Recorded whole by an earlier version: as it is, looked for nowhere else.
        removal.filePath = placeRecorded(textOf(q.value(0)), QVariant(), m_storeFolders, false);
        if (!q.value(1).isNull())
            removal.fileSize = q.value(1).toLongLong();
        removal.contentDigest = q.value(2).toByteArray();
        removal.recorded = q.value(3).toInt() == 1;
        if (!removal.filePath.isEmpty())
            out.append(removal);
    }
    return out;
}

QStringList Database::pendingRemovals() const
{
    QStringList paths;
    for (const PendingRemoval& removal : pendingRemovalRecords())
        paths << removal.filePath;
    return paths;
}

QStringList Database::unrecordedRemovals() const
{
    QStringList paths;
    for (const PendingRemoval& removal : pendingRemovalRecords())
        if (!removal.recorded)
            paths << removal.filePath;
    return paths;
}

QStringList Database::leftUnlisted() const
{
    QStringList paths;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (m_db.isOpen() && q.exec(QStringLiteral("SELECT path FROM left_unlisted;")))
        while (q.next())
            if (const QString placed = placeRecorded(textOf(q.value(0)), QVariant(), m_storeFolders, false);
                !placed.isEmpty())
                paths << placed;
    return paths;
}

bool Database::runForEachPath(const char* sql, const QStringList& paths)
{
    if (paths.isEmpty())
        return true;
    if (!requireOpen() || !beginWrite())
        return false;
    QSqlQuery q(m_db);
    bool ok = true;
    // :path as the rows record it now, :whole as given (an earlier version's record of a store file,
    // while it could not be recorded anew).
    for (const QString& statement : QString::fromLatin1(sql).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        ok = ok && q.prepare(statement);
        for (const QString& path : paths) {
            if (!ok)
                break;
            q.bindValue(QStringLiteral(":path"), recordedPath(path));
            if (statement.contains(QLatin1String(":whole")))
                q.bindValue(QStringLiteral(":whole"), path);
            ok = q.exec();
        }
    }
    if (!ok)
        m_lastError = errorText(q);
    q.finish();
    return endTransaction(ok);
}

bool Database::forgetPendingRemovals(const QStringList& paths)
{
    return runForEachPath("DELETE FROM pending_removals WHERE path IN (:path, :whole);", paths);
}

bool Database::leavePendingUnlisted(const QStringList& paths)
{
    return runForEachPath("DELETE FROM pending_removals WHERE path IN (:path, :whole);"
                          "INSERT OR IGNORE INTO left_unlisted (path) VALUES (:path);",
                          paths);
}

namespace {

// Rows placed in one statement: a million rows take seconds, and progress tells how far it got.
constexpr qint64 kRowsAtOnce = 100000;

// A store file an earlier version recorded whole: where it lies relative to its store folder, or
// empty. Below one of the folders it is known by (the index's own, or the ones now), whoever wrote it;
// elsewhere, below a folder of a store's name (the data folder reached by a path that is gone since),
// only the program's copy (own 1) or, for rows that do not say (own NULL), a copy that is nowhere else
// to be found: a user's folder of that name, imported where it lay, stays where it is.
QString storePlace(const QString& written, const QStringList& folders, const QStringList& names,
                   const QVariant& own)
{
    const QString clean = QDir::cleanPath(written);
    for (const QString& folder : folders) {
        const QString placed = recordedForm(clean, {folder});
        if (placed != clean)
            return names.contains(placed.section(QLatin1Char('/'), 0, 0)) ? placed : QString();
    }
    if (own.isNull() ? QFileInfo::exists(written) || QFileInfo(written).isSymLink() : own.toInt() != 1)
        return {};
    for (const QString& name : names) {
        const qsizetype at = clean.lastIndexOf(QLatin1Char('/') + name + QLatin1Char('/'));
        const QString placed = at < 0 ? clean : recordedForm(clean, {clean.left(at + name.size() + 2)});
        if (placed != clean)
            return placed;
    }
    return {};
}

} // namespace

bool Database::recordStorePlaces(const QStringList& oldFolders, const QStringList& newFolders,
                                 const std::function<void(int, int)>& progress, QString* failure)
{
    QStringList folders = oldFolders + newFolders, names;
    folders.removeDuplicates();
    for (const QString& folder : newFolders)
        names << folder.section(QLatin1Char('/'), -2, -2);
    names.removeDuplicates();
    QStringList contains;
    for (qsizetype i = 0; i < names.size(); ++i)
        contains << QStringLiteral("instr(%2, :name%1) > 0").arg(i);
    // By table: the rows' files (own_copy), the pending removals (planned by the record of who wrote
    // the file, as own_copy 1, or by its name alone, as rows that do not say) and the files left
    // unlisted (by their folder alone: own_copy 0).
    struct Table
    {
        const char* select;
        const char* update;
    };
    const Table tables[] = {
        {"SELECT file_path, own_copy, rowid FROM instances WHERE substr(file_path, 1, 1) = '/' AND (%1);",
         "UPDATE instances SET file_path = :to WHERE rowid = :from;"},
        {"SELECT path, CASE WHEN recorded = 1 THEN 1 END, path FROM pending_removals WHERE substr(path, 1, "
         "1) = '/' "
         "AND (%1);",
         "UPDATE OR REPLACE pending_removals SET path = :to WHERE path = :from;"},
        {"SELECT path, 0, path FROM left_unlisted WHERE substr(path, 1, 1) = '/' AND (%1);",
         "UPDATE OR REPLACE left_unlisted SET path = :to WHERE path = :from;"},
    };
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    for (const Table& table : tables) {
        const QString column = QLatin1String(&table == tables ? "file_path" : "path");
        const QLatin1String name(&table == tables       ? "instances"
                                 : &table == tables + 1 ? "pending_removals"
                                                        : "left_unlisted");
        // Most are below a folder the store is known by, as the program writes them: recorded anew
        // by one statement for each stretch of rows, progress telling how far it got. The rest, one
        // by one.
        qint64 firstRow = 0, lastRow = 0;
        bool ok = q.exec(QStringLiteral("SELECT MIN(rowid) - 1, MAX(rowid) FROM %1;").arg(name)) && q.next();
        if (ok) {
            firstRow = q.value(0).toLongLong();
            lastRow = q.value(1).toLongLong();
        }
        const QString below = QStringLiteral("substr(%1, length(:folder) + 1)").arg(column);
        const QString file = QStringLiteral("substr(%1, instr(%1, '/') + 1)").arg(below);
        const QString folderName = QStringLiteral("substr(%1, 1, instr(%1, '/') - 1)").arg(below);
        ok = ok && q.prepare(QStringLiteral(
                                 "UPDATE OR REPLACE %1 SET %2 = :name || '/' || %3 WHERE rowid > :from "
                                 "AND rowid <= :to AND substr(%2, 1, length(:folder)) = :folder AND "
                                 "instr(%3, '/') > 1 AND instr(%4, '/') = 0 AND %4 NOT IN ('', '.', '..') "
                                 "AND %5 NOT IN ('.', '..');")
                                 .arg(name, column, below, file, folderName));
        for (qint64 from = firstRow; ok && from < lastRow; from += kRowsAtOnce) {
            if (progress && &table == tables)
                progress(int(from - firstRow), int(lastRow - firstRow));
            for (const QString& folder : std::as_const(folders)) {
                if (!ok || !names.contains(folder.section(QLatin1Char('/'), -2, -2)))
                    continue;
                q.bindValue(QStringLiteral(":name"), folder.section(QLatin1Char('/'), -2, -2));
                q.bindValue(QStringLiteral(":folder"), folder);
                q.bindValue(QStringLiteral(":from"), from);
                q.bindValue(QStringLiteral(":to"), from + kRowsAtOnce);
                ok = q.exec();
            }
        }
        ok = ok && !names.isEmpty() &&
             q.prepare(
                 QString::fromLatin1(table.select).arg(contains.join(QStringLiteral(" OR ")).arg(column)));
        for (qsizetype i = 0; ok && i < names.size(); ++i)
            q.bindValue(QStringLiteral(":name%1").arg(i), QLatin1Char('/') + names[i] + QLatin1Char('/'));
        // A row is named by its row id (the rows of a multi-frame file share their path), a pending or
        // left file by its path.
        QList<std::pair<QVariant, QString>> moves;
        QHash<QString, QString> placedPaths;
        ok = ok && q.exec();
        while (ok && q.next()) {
            const QString written = textOf(q.value(0));
            auto placed = placedPaths.find(written);
            if (placed == placedPaths.end())
                placed = placedPaths.insert(written, storePlace(written, folders, names, q.value(1)));
            if (!placed->isEmpty())
                moves.append({q.value(2), *placed});
        }
        ok = ok && !q.lastError().isValid() && q.prepare(QString::fromLatin1(table.update));
        for (const auto& [from, to] : std::as_const(moves)) {
            q.bindValue(QStringLiteral(":from"), from);
            q.bindValue(QStringLiteral(":to"), to);
            ok = ok && q.exec();
        }
        if (!ok && !names.isEmpty()) {
            *failure = errorText(q);
            return false;
        }
    }
    if (q.exec(QStringLiteral("PRAGMA user_version = %1;").arg(kStorePlacesVersion)))
        return true;
    *failure = errorText(q);
    return false;
}

bool Database::setStoreFolders(const QStringList& folders, const std::function<void(int, int)>& progress)
{
    QStringList wanted;
    for (const QString& folder : folders)
        if (!folder.isEmpty())
            wanted << QDir::cleanPath(folder) + QLatin1Char('/');
    wanted.removeDuplicates();
    wanted.sort();
    if (wanted == m_storeFolders && m_placesRecorded)
        return true;
    if (!requireOpen() || !beginWrite())
        return false;
    QSqlQuery q(m_db);
    bool ok = q.exec(QStringLiteral("DELETE FROM store_folders;"))
              && q.prepare(QStringLiteral("INSERT INTO store_folders (folder) VALUES (:folder);"));
    for (const QString& folder : std::as_const(wanted)) {
        q.bindValue(QStringLiteral(":folder"), folder);
        ok = ok && q.exec();
    }
    // An earlier version's store rows are recorded anew first, and so are the rows below a store folder
    // of a name the index did not keep (one an earlier version did not count as its store, and recorded
    // whole); then a stretch of rows at a time, in the one transaction.
    QStringList newlyNamed = wanted;
    const auto nameOf = [](const QString& folder) { return folder.section(QLatin1Char('/'), -2, -2); };
    if (m_placesRecorded)
        newlyNamed.removeIf([&](const QString& folder) {
            return std::any_of(m_storeFolders.cbegin(), m_storeFolders.cend(),
                               [&](const QString& kept) { return nameOf(kept) == nameOf(folder); });
        });
    QString failure;
    ok = ok && ((m_placesRecorded && newlyNamed.isEmpty())
                || recordStorePlaces(m_storeFolders, newlyNamed, progress, &failure));
    qint64 firstRow = 0, lastRow = 0;
    if (ok && q.exec(QStringLiteral("SELECT MIN(rowid) - 1, MAX(rowid) FROM instances;")) && q.next()) {
        firstRow = q.value(0).toLongLong();
        lastRow = q.value(1).toLongLong();
    }
    // Every row is placed anew by its path as recorded; a study's store size follows by the triggers.
    QStringList tests{QStringLiteral("substr(file_path, 1, 1) != '/'")};
    for (qsizetype i = 0; i < wanted.size(); ++i)
        tests << QStringLiteral("substr(file_path, 1, length(:folder%1)) = :folder%1").arg(i);
    const QString inStore = QStringLiteral("(CASE WHEN %1 THEN 1 ELSE 0 END)").arg(tests.join(" OR "));
    ok = ok && q.prepare(QStringLiteral("UPDATE instances SET in_store = %1 WHERE rowid > :from AND rowid <= :to "
                                        "AND in_store != %1;")
                             .arg(inStore));
    for (qint64 from = firstRow; ok && from < lastRow; from += kRowsAtOnce) {
        if (progress)
            progress(int(from - firstRow), int(lastRow - firstRow));
        for (qsizetype i = 0; i < wanted.size(); ++i)
            q.bindValue(QStringLiteral(":folder%1").arg(i), wanted[i]);
        q.bindValue(QStringLiteral(":from"), from);
        q.bindValue(QStringLiteral(":to"), from + kRowsAtOnce);
        ok = q.exec();
    }
    if (!ok)
        m_lastError = failure.isEmpty() ? errorText(q) : failure;
    q.finish();
    if (!endTransaction(ok))
        return false;
    m_storeFolders = wanted;
    m_placesRecorded = true;
    return true;
}

int Database::fillStoreFileSizes(int limit)
{
    if (!requireOpen())
        return -1;
    QList<std::pair<qint64, qint64>> sizes; // row id, size
    {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("SELECT rowid, file_path, frame_index, own_copy FROM instances "
                                 "WHERE file_size IS NULL AND in_store = 1 LIMIT :limit;"));
        q.bindValue(QStringLiteral(":limit"), limit);
        if (!q.exec()) {
            m_lastError = errorText(q);
            return -1;
        }
        while (q.next())
            sizes.append(
                {q.value(0).toLongLong(),
                 q.value(2).toInt() == 0 ? QFileInfo(placedPath(textOf(q.value(1)), q.value(3))).size() : 0});
    }
    if (sizes.isEmpty())
        return 0;
    if (!beginWrite())
        return -1;
    QSqlQuery q(m_db);
    bool ok = q.prepare(QStringLiteral("UPDATE instances SET file_size = :size WHERE rowid = :row;"));
    for (const auto& [row, size] : std::as_const(sizes)) {
        q.bindValue(QStringLiteral(":size"), qlonglong(size));
        q.bindValue(QStringLiteral(":row"), qlonglong(row));
        ok = ok && q.exec();
    }
    if (!ok)
        m_lastError = errorText(q);
    q.finish();
    return endTransaction(ok) ? int(sizes.size()) : -1;
}

namespace {

int countOf(const QSqlDatabase& db, const char* sql)
{
    QSqlQuery q(db);
    return db.isOpen() && q.exec(QString::fromLatin1(sql)) && q.next() ? q.value(0).toInt() : 0;
}

} // namespace

int Database::storeFilesToMeasure() const
{
    return countOf(m_db, "SELECT COUNT(*) FROM instances WHERE file_size IS NULL AND in_store = 1;");
}

bool Database::markEditUnfinished(const QString& studyInstanceUid)
{
    if (!requireOpen())
        return false;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO unfinished_edits (study_instance_uid, started_at) "
                             "VALUES (:uid, :at);"));
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    q.bindValue(QStringLiteral(":at"), importTimeText(QDateTime::currentDateTimeUtc()));
    if (!q.exec()) {
        m_lastError = errorText(q);
        return false;
    }
    return true;
}

bool Database::clearEditUnfinished(const QString& studyInstanceUid)
{
    if (!requireOpen())
        return false;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("DELETE FROM unfinished_edits WHERE study_instance_uid = :uid;"));
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec()) {
        m_lastError = errorText(q);
        return false;
    }
    return true;
}

QStringList Database::unfinishedEdits() const
{
    QStringList uids;
    QSqlQuery q(m_db);
    if (m_db.isOpen() && q.exec(QStringLiteral("SELECT study_instance_uid FROM unfinished_edits ORDER BY started_at;")))
        while (q.next())
            uids << textOf(q.value(0));
    return uids;
}

} // namespace db
