#include "db/Database.h"
#include "db/DatabaseSql.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

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
                             const std::function<bool(const IndexedFile&)>& removeLater)
{
    if (!requireOpen())
        return false;
    if (filePaths)
        filePaths->clear();
    if (!beginWrite())
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
        // the files of the store that stay, stay off the list.
        if (!q.exec(QString::fromLatin1(kIndexedFileSelect)
                    + QStringLiteral("WHERE se.study_instance_uid IN (SELECT uid FROM temp.doomed_studies) "
                                     "GROUP BY i.file_path;")))
            return fail();
        QStringList paths, pending, kept;
        QList<QVariant> pendingSizes;
        while (q.next()) {
            bool inStore = false;
            const IndexedFile file = indexedFile(q, &inStore);
            paths.append(file.filePath);
            // Rows of an earlier version say nothing: the caller knows the program's copies by name.
            if (file.ownCopy.value_or(true) && removeLater && removeLater(file)) {
                pending << file.filePath;
                // What the index knew of the file written, for the removal to prove it that file.
                pendingSizes << (file.fileSize ? QVariant(qlonglong(*file.fileSize)) : QVariant());
            } else if (inStore && QFileInfo::exists(file.filePath)) {
                kept << file.filePath;
            }
        }
        q.finish();
        for (const auto& [list, sql] :
             {std::pair{&pending, "INSERT OR REPLACE INTO pending_removals (path, recorded, file_size) "
                                  "VALUES (:path, 1, :size);"},
              std::pair{&kept, "INSERT OR IGNORE INTO left_unlisted (path) VALUES (:path);"}}) {
            if (list->isEmpty())
                continue;
            if (!q.prepare(QString::fromLatin1(sql)))
                return fail();
            for (qsizetype i = 0; i < list->size(); ++i) {
                q.bindValue(QStringLiteral(":path"), list->at(i));
                if (list == &pending)
                    q.bindValue(QStringLiteral(":size"), pendingSizes.at(i));
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

QStringList pathsOf(const QSqlDatabase& db, const char* sql)
{
    QStringList paths;
    if (!db.isOpen())
        return paths;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (q.exec(QString::fromLatin1(sql)))
        while (q.next())
            paths << textOf(q.value(0));
    return paths;
}

} // namespace

QStringList Database::pendingRemovals() const
{
    // A path that a row names again was indexed anew after its removal was planned.
    return pathsOf(m_db, "SELECT path FROM pending_removals WHERE path NOT IN (SELECT file_path FROM instances);");
}

QHash<QString, qint64> Database::pendingRemovalSizes() const
{
    QHash<QString, qint64> sizes;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (m_db.isOpen() && q.exec(QStringLiteral("SELECT path, file_size FROM pending_removals WHERE file_size IS NOT NULL;")))
        while (q.next())
            sizes.insert(textOf(q.value(0)), q.value(1).toLongLong());
    return sizes;
}

QStringList Database::unrecordedRemovals() const
{
    return pathsOf(m_db, "SELECT path FROM pending_removals WHERE recorded = 0 "
                         "AND path NOT IN (SELECT file_path FROM instances);");
}

QStringList Database::leftUnlisted() const
{
    return pathsOf(m_db, "SELECT path FROM left_unlisted;");
}

bool Database::runForEachPath(const char* sql, const QStringList& paths)
{
    if (paths.isEmpty())
        return true;
    if (!requireOpen() || !beginWrite())
        return false;
    QSqlQuery q(m_db);
    bool ok = q.prepare(QString::fromLatin1(sql));
    for (const QString& path : paths) {
        if (!ok)
            break;
        q.bindValue(QStringLiteral(":path"), path);
        ok = q.exec();
    }
    if (!ok)
        m_lastError = errorText(q);
    q.finish();
    return endTransaction(ok);
}

bool Database::forgetPendingRemovals(const QStringList& paths)
{
    return runForEachPath("DELETE FROM pending_removals WHERE path = :path;", paths);
}

bool Database::setStoreFolders(const QStringList& folders, const std::function<void(int, int)>& progress)
{
    QStringList wanted;
    for (const QString& folder : folders)
        if (!folder.isEmpty())
            wanted << QDir::cleanPath(folder) + QLatin1Char('/');
    wanted.removeDuplicates();
    wanted.sort();
    if (wanted == m_storeFolders)
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
    // Every row is placed anew by its path as written; a study's store size follows by the triggers.
    QStringList tests;
    for (qsizetype i = 0; i < wanted.size(); ++i)
        tests << QStringLiteral("substr(file_path, 1, length(:folder%1)) = :folder%1").arg(i);
    const QString inStore = tests.isEmpty() ? QStringLiteral("0")
                                            : QStringLiteral("(CASE WHEN %1 THEN 1 ELSE 0 END)").arg(tests.join(" OR "));
    // A stretch of rows at a time, in the one transaction: an index of a million rows takes seconds,
    // and progress tells how far it got.
    constexpr qint64 kRowsAtOnce = 100000;
    qint64 firstRow = 0, lastRow = 0;
    if (ok && q.exec(QStringLiteral("SELECT MIN(rowid) - 1, MAX(rowid) FROM instances;")) && q.next()) {
        firstRow = q.value(0).toLongLong();
        lastRow = q.value(1).toLongLong();
    }
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
        m_lastError = errorText(q);
    q.finish();
    if (!endTransaction(ok))
        return false;
    m_storeFolders = wanted;
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
        q.prepare(QStringLiteral("SELECT rowid, file_path, frame_index FROM instances "
                                 "WHERE file_size IS NULL AND in_store = 1 LIMIT :limit;"));
        q.bindValue(QStringLiteral(":limit"), limit);
        if (!q.exec()) {
            m_lastError = errorText(q);
            return -1;
        }
        while (q.next())
            sizes.append({q.value(0).toLongLong(), q.value(2).toInt() == 0 ? QFileInfo(textOf(q.value(1))).size() : 0});
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
