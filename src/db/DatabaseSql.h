#pragma once

// What the files of db::Database share: the statements more than one of them runs, reading rows into
// records, and SQLite's failures said in Russian. Not for use outside the module.

#include "db/Database.h"
#include "db/StudyRecord.h"

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <array>
#include <optional>
#include <utility>

namespace db::sql {

// PRAGMA user_version from which the studies' totals are kept by triggers.
constexpr int kTotalsVersion = 1;
// PRAGMA user_version from which the index records its store files relative to their store folders.
constexpr int kStorePlacesVersion = 2;

// The statements that make every table of the index as this version has it.
QStringList tableStatements();
// Each total a study row keeps, by its column, counted from the study's series and instance rows;
// studyUid: the SQL that names the study's UID.
QList<std::pair<QLatin1String, QString>> studyTotalsCounted(const QString& studyUid);
// Makes the connection read an index of an earlier version, which it cannot bring up to date, as one
// of this version: each table that lacks something is read through a temporary view of its name that
// gives this version's columns (a column the file lacks reads as its default, the patients of an index
// keyed by Patient ID alone as its upgrade would key them, a study's totals counted from its rows), and
// a table the file lacks reads as empty. The file itself is not changed; the views take no writes.
// False, with what failed, when the file's tables cannot be read.
bool readEarlierShapeAsCurrent(const QSqlDatabase& db, QString* failure);

extern const char* const kStudyPatient;
extern const char* const kStudySelect;
extern const char* const kInstancePlace;
extern const char* const kObjectKeyRows;
extern const char* const kAllStudiesOrder;
// One row per file: its path as recorded, what its rows record of who wrote it, its object's UIDs,
// whether it lies in the store, its size as indexed and the digest its writer took; to be completed by
// a WHERE naming the rows and "GROUP BY i.file_path".
extern const char* const kIndexedFileSelect;
constexpr int kIndexedFileInStore = 5;
// The row as read, its path as recorded (placeRecorded places it).
IndexedFile indexedFileOf(const QSqlQuery& q);

// A file in the store where the program keeps its copies (two names below a store folder) is
// recorded relative to its store folder, as "<store folder's name>/<folder>/<file>", so that it is
// found below the store folder as it is now, wherever the data folder lies or is reached from. Every
// other path is recorded as it is. storeFolders: absolute and clean, each ending in "/".
QString recordedForm(const QString& path, const QStringList& storeFolders);
// Where a recorded path is to be looked for now: below the store folder of its name for a path
// recorded relative (empty when no such store folder is known); a path recorded whole as it is,
// except for the program's copy (ownCopy 1, or NULL for rows that do not say) that an earlier version
// recorded whole below a store folder reached by a path that is gone since: the same two names below
// the store folder of the same name as it is now. withFallback false: a path recorded whole as it is.
QString placeRecorded(const QString& recorded, const QVariant& ownCopy, const QStringList& storeFolders,
                      bool withFallback = true);
// The store folders the index keeps (Database::setStoreFolders), sorted, each ending in "/".
QStringList readStoreFolders(const QSqlDatabase& db);
// Runs kIndexedFileSelect for the one file of the object sopInstanceUid and moves to its row.
bool selectObjectFile(QSqlQuery& q, const QString& sopInstanceUid);

bool readInstancePlace(QSqlQuery& q, const QString& sopInstanceUid);
// The object's rows of frames past its last, with the series and study each is in.
struct FramesPastLast
{
    QStringList keys;
    QStringList series;
    QStringList studies;
};
// Runs kObjectKeyRows, prepared in q, for the object's keys; false when it fails. The clash of another
// object's row comes before the object's own row in another place; *holder: the object of that row.
bool readKeyClash(QSqlQuery& q, const ObjectKeys& keys, KeyClash* clash, QString* holder = nullptr,
                  FramesPastLast* pastLast = nullptr);
int sqliteCode(const QSqlError& error);
bool isBusy(const QSqlError& error);
QString describe(const QSqlError& error);
QString errorText(const QSqlQuery& query);
QString inUseText(const QString& path);
// Why nothing can be written: the index file is read-only.
QString readOnlyText();
QString nonNull(const QString& text);
QString textOf(const QVariant& v);
double realOf(const QVariant& v, double whenNull = 0.0);
QString importTimeText(const QDateTime& utc);
QDateTime importTimeOf(const QVariant& v);
StudyRecord studyFromQuery(const QSqlQuery& q);
std::optional<QList<StudyRecord>> queryStudiesIn(const QSqlDatabase& db, const QString& sql,
                                                 const QList<std::pair<QString, QString>>& bindings);

} // namespace db::sql

namespace db {

struct Database::WriteStatements
{
    explicit WriteStatements(const QSqlDatabase& db)
        : patient(db), patientKey(db), studyPatient(db), study(db), series(db), instance(db),
          prunePatient(db), keyRows(db), keepPath(db), keepListed(db), rowsAtPath(db), dropRow(db)
    {
    }
    // Leaves every statement reset, so that none keeps a transaction or a lock alive.
    void finish()
    {
        for (QSqlQuery* q : all())
            q->finish();
    }
    std::array<QSqlQuery*, 12> all()
    {
        return {&patient,      &patientKey,    &studyPatient, &study,      &series,     &instance,
                &prunePatient, &keyRows,       &keepPath,     &keepListed, &rowsAtPath, &dropRow};
    }

    QSqlQuery patient;
    QSqlQuery patientKey;
    QSqlQuery studyPatient;
    QSqlQuery study;
    QSqlQuery series;
    QSqlQuery instance;
    QSqlQuery prunePatient;
    QSqlQuery keyRows;
    QSqlQuery keepPath;
    QSqlQuery keepListed;
    QSqlQuery rowsAtPath;
    QSqlQuery dropRow;
};

} // namespace db
