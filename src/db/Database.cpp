#include "db/Database.h"
#include "db/DatabaseSql.h"

#include <QDateTime>
#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <QVariant>

#include <atomic>
#include <chrono>
#include <thread>

namespace db {

using namespace sql;

namespace {

// A patient row stands for one Patient ID together with one name and birth date: institutions reuse
// IDs ("1", "12345") and anonymisation gives many people one ID, so the ID alone would put one
// person's name on another's studies. A patient without an ID is never shared: sole_study_uid then
// names the one study it belongs to (empty for every patient with an ID).
const char* const kPatientColumns = "patient_key INTEGER PRIMARY KEY, "
                                    "patient_id TEXT NOT NULL DEFAULT '', "
                                    "patient_name TEXT NOT NULL DEFAULT '', "
                                    "birth_date TEXT NOT NULL DEFAULT '', "
                                    "sex TEXT, "
                                    "weight_kg REAL, "
                                    "height_cm REAL, "
                                    "sole_study_uid TEXT NOT NULL DEFAULT ''";

// The study's totals (series_count to store_bytes) follow its series and instance rows by the
// triggers of kStudyTotalsTriggers, in the transaction that changes those rows: the study list and
// the clean-up read them instead of walking every instance row.
const char* const kStudyColumns = "study_instance_uid TEXT PRIMARY KEY, "
                                  "patient_key INTEGER REFERENCES patients(patient_key), "
                                  "study_date TEXT, "
                                  "study_time TEXT, "
                                  "study_description TEXT, "
                                  "accession_number TEXT, "
                                  "referring_physician TEXT, "
                                  "is_protected INTEGER DEFAULT 0, "
                                  "imported_at TEXT, "
                                  "series_count INTEGER NOT NULL DEFAULT 0, "
                                  "instance_count INTEGER NOT NULL DEFAULT 0, "
                                  "modalities TEXT, "
                                  "store_bytes INTEGER NOT NULL DEFAULT 0";

QString createTable(const char* name, const char* columns)
{
    return QStringLiteral("CREATE TABLE IF NOT EXISTS %1 (%2);").arg(QLatin1String(name), QLatin1String(columns));
}

// After patients and studies (createTable with their columns).
const char* const kCreateOtherTables[] = {
    "CREATE TABLE IF NOT EXISTS series ("
    "series_instance_uid TEXT PRIMARY KEY, "
    "study_instance_uid TEXT REFERENCES studies(study_instance_uid), "
    "series_number TEXT, "
    "series_description TEXT, "
    "modality TEXT, "
    "body_part_examined TEXT, "
    "laterality TEXT);",

    "CREATE TABLE IF NOT EXISTS instances ("
    "sop_instance_uid TEXT PRIMARY KEY, "
    "series_instance_uid TEXT REFERENCES series(series_instance_uid), "
    "instance_number INTEGER, "
    "rows INTEGER, "
    "columns INTEGER, "
    "number_of_frames INTEGER, "
    "pixel_spacing_x REAL, "
    "pixel_spacing_y REAL, "
    "slice_thickness REAL, "
    "slice_location REAL, "
    "window_center REAL, "
    "window_width REAL, "
    "rescale_slope REAL, "
    "rescale_intercept REAL, "
    "repetition_time REAL, "
    "echo_time REAL, "
    "image_position_x REAL, "
    "image_position_y REAL, "
    "image_position_z REAL, "
    "orientation_row_x REAL, "
    "orientation_row_y REAL, "
    "orientation_row_z REAL, "
    "orientation_col_x REAL, "
    "orientation_col_y REAL, "
    "orientation_col_z REAL, "
    "has_spatial_info INTEGER, "
    "frame_index INTEGER DEFAULT 0, "
    "acquisition_time_seconds REAL, "
    "temporal_position_index INTEGER DEFAULT 0, "
    "frame_of_reference_uid TEXT, "
    "trigger_time_ms REAL, "
    "cardiac_number_of_images INTEGER DEFAULT 0, "
    "file_path TEXT NOT NULL, "
    "file_size INTEGER, "
    "in_store INTEGER NOT NULL DEFAULT 0, "
    "own_copy INTEGER, "
    "content_digest BLOB, "
    "file_version TEXT);",
};

// The program's own bookkeeping beside the rows. Added to index files of earlier versions at their
// first open; a file that cannot be written then opens without them (it cannot be changed anyway).
// pending_removals: store files whose rows are gone and which are still to be deleted, written in
// the same transaction as the removal of their rows, so that a kill before the files go loses
// nothing; recorded is 1 for a removal planned by the record of who wrote the file, 0 for one an
// earlier version planned by the file's name alone; file_size and content_digest are what the rows
// recorded of the file (NULL when they did not say); the path is recorded as the rows recorded it
// (relative to its store folder for a store file). unfinished_edits: studies whose files a tag edit was
// writing when it was cut short. store_folders: the folders of the program's own copies
// (setStoreFolders), each with its final "/". left_unlisted: store files whose rows the user removed
// while the files stay, which are not to be listed again unless they are indexed anew.
const char* const kCreateBookkeeping[] = {
    "CREATE TABLE IF NOT EXISTS pending_removals (path TEXT PRIMARY KEY, recorded INTEGER NOT NULL DEFAULT "
    "0, "
    "file_size INTEGER, content_digest BLOB);",
    "CREATE TABLE IF NOT EXISTS unfinished_edits (study_instance_uid TEXT PRIMARY KEY, started_at TEXT);",
    "CREATE TABLE IF NOT EXISTS store_folders (folder TEXT PRIMARY KEY);",
    "CREATE TABLE IF NOT EXISTS left_unlisted (path TEXT PRIMARY KEY);",
};

// Columns that the bookkeeping of earlier versions lacks, added as kMigrations adds theirs.
const char* const kBookkeepingMigrations[] = {
    "ALTER TABLE pending_removals ADD COLUMN recorded INTEGER NOT NULL DEFAULT 0;",
    "ALTER TABLE pending_removals ADD COLUMN file_size INTEGER;",
    "ALTER TABLE pending_removals ADD COLUMN content_digest BLOB;",
};

// After the tables and their migrations: an index file of an earlier version has
// idx_studies_patient on the old column until its patients are keyed anew.
const char* const kCreateIndexes[] = {
    "CREATE UNIQUE INDEX IF NOT EXISTS idx_patients_identity "
    "ON patients(patient_id, patient_name, birth_date, sole_study_uid);",
    "CREATE INDEX IF NOT EXISTS idx_studies_patient ON studies(patient_key);",
    "CREATE INDEX IF NOT EXISTS idx_series_study ON series(study_instance_uid);",
    "CREATE INDEX IF NOT EXISTS idx_instances_series ON instances(series_instance_uid);",
    // Store files whose size is not known yet (rows of an earlier version): empty once they are
    // measured, as every row written since carries its size.
    "CREATE INDEX IF NOT EXISTS instances_unsized ON instances(in_store) WHERE file_size IS NULL AND in_store = 1;",
    // A file indexed again finds the rows of the object it held before, which it may have replaced.
    "CREATE INDEX IF NOT EXISTS instances_by_path ON instances(file_path);",
};

// Columns that index files of earlier versions lack. On an up-to-date file each of these fails with
// a duplicate-column error, which is expected and ignored.
const char* const kMigrations[] = {
    "ALTER TABLE instances ADD COLUMN repetition_time REAL;",
    "ALTER TABLE instances ADD COLUMN echo_time REAL;",
    "ALTER TABLE instances ADD COLUMN image_position_x REAL;",
    "ALTER TABLE instances ADD COLUMN image_position_y REAL;",
    "ALTER TABLE instances ADD COLUMN image_position_z REAL;",
    "ALTER TABLE instances ADD COLUMN orientation_row_x REAL;",
    "ALTER TABLE instances ADD COLUMN orientation_row_y REAL;",
    "ALTER TABLE instances ADD COLUMN orientation_row_z REAL;",
    "ALTER TABLE instances ADD COLUMN orientation_col_x REAL;",
    "ALTER TABLE instances ADD COLUMN orientation_col_y REAL;",
    "ALTER TABLE instances ADD COLUMN orientation_col_z REAL;",
    "ALTER TABLE instances ADD COLUMN has_spatial_info INTEGER;",
    "ALTER TABLE studies ADD COLUMN is_protected INTEGER DEFAULT 0;",
    "ALTER TABLE series ADD COLUMN laterality TEXT;",
    "ALTER TABLE instances ADD COLUMN frame_index INTEGER DEFAULT 0;",
    "ALTER TABLE instances ADD COLUMN acquisition_time_seconds REAL;",
    "ALTER TABLE instances ADD COLUMN temporal_position_index INTEGER DEFAULT 0;",
    "ALTER TABLE instances ADD COLUMN frame_of_reference_uid TEXT;",
    "ALTER TABLE instances ADD COLUMN trigger_time_ms REAL;",
    "ALTER TABLE instances ADD COLUMN cardiac_number_of_images INTEGER DEFAULT 0;",
    "ALTER TABLE patients ADD COLUMN weight_kg REAL;",
    "ALTER TABLE patients ADD COLUMN height_cm REAL;",
    "ALTER TABLE studies ADD COLUMN imported_at TEXT;",
    "ALTER TABLE studies ADD COLUMN series_count INTEGER NOT NULL DEFAULT 0;",
    "ALTER TABLE studies ADD COLUMN instance_count INTEGER NOT NULL DEFAULT 0;",
    "ALTER TABLE studies ADD COLUMN modalities TEXT;",
    "ALTER TABLE studies ADD COLUMN store_bytes INTEGER NOT NULL DEFAULT 0;",
    "ALTER TABLE instances ADD COLUMN file_size INTEGER;",
    "ALTER TABLE instances ADD COLUMN in_store INTEGER NOT NULL DEFAULT 0;",
    "ALTER TABLE instances ADD COLUMN own_copy INTEGER;",
    "ALTER TABLE instances ADD COLUMN content_digest BLOB;",
};

// After kMigrations. Rows written before it carry none: their files are read again once, as changed
// ones are. An index without it that cannot be written (a data folder on a read-only disc) is read
// as it is, every row as one that carries no version, until an open that can write it adds it.
const char* const kAddFileVersions = "ALTER TABLE instances ADD COLUMN file_version TEXT;";

// What one instance row adds to its study's store_bytes: the size of a program's own copy, once per
// file (the rows of a multi-frame file after its first carry 0).
#define KALVENOR_ROW_BYTES(row) "(CASE WHEN " row ".in_store = 1 THEN COALESCE(" row ".file_size, 0) ELSE 0 END)"
#define KALVENOR_STUDY_OF(row) "(SELECT study_instance_uid FROM series WHERE series_instance_uid = " row ".series_instance_uid)"
#define KALVENOR_MODALITIES(study) \
    "(SELECT GROUP_CONCAT(DISTINCT se.modality) FROM series se WHERE se.study_instance_uid = " study ")"
#define KALVENOR_SERIES_ROWS(what, series) "(SELECT " what " FROM instances WHERE series_instance_uid = " series ")"

// The studies' totals, changed with every instance and series row in the statement that changes it.
// A row that moves (an edit) leaves one study and joins another; a series that moves takes its rows.
const char* const kStudyTotalsTriggers[] = {
    "CREATE TRIGGER IF NOT EXISTS study_totals_instance_added AFTER INSERT ON instances BEGIN "
    "UPDATE studies SET instance_count = instance_count + 1, store_bytes = store_bytes + " KALVENOR_ROW_BYTES("NEW")
    " WHERE study_instance_uid = " KALVENOR_STUDY_OF("NEW") "; END;",
    "CREATE TRIGGER IF NOT EXISTS study_totals_instance_removed AFTER DELETE ON instances BEGIN "
    "UPDATE studies SET instance_count = instance_count - 1, store_bytes = store_bytes - " KALVENOR_ROW_BYTES("OLD")
    " WHERE study_instance_uid = " KALVENOR_STUDY_OF("OLD") "; END;",
    "CREATE TRIGGER IF NOT EXISTS study_totals_instance_changed AFTER UPDATE OF series_instance_uid, file_size, "
    "in_store ON instances WHEN OLD.series_instance_uid IS NOT NEW.series_instance_uid OR "
    KALVENOR_ROW_BYTES("OLD") " != " KALVENOR_ROW_BYTES("NEW") " BEGIN "
    "UPDATE studies SET instance_count = instance_count - 1, store_bytes = store_bytes - " KALVENOR_ROW_BYTES("OLD")
    " WHERE study_instance_uid = " KALVENOR_STUDY_OF("OLD") "; "
    "UPDATE studies SET instance_count = instance_count + 1, store_bytes = store_bytes + " KALVENOR_ROW_BYTES("NEW")
    " WHERE study_instance_uid = " KALVENOR_STUDY_OF("NEW") "; END;",
    "CREATE TRIGGER IF NOT EXISTS study_totals_series_added AFTER INSERT ON series BEGIN "
    "UPDATE studies SET series_count = series_count + 1, modalities = " KALVENOR_MODALITIES("NEW.study_instance_uid")
    " WHERE study_instance_uid = NEW.study_instance_uid; END;",
    "CREATE TRIGGER IF NOT EXISTS study_totals_series_removed AFTER DELETE ON series BEGIN "
    "UPDATE studies SET series_count = series_count - 1, modalities = " KALVENOR_MODALITIES("OLD.study_instance_uid")
    " WHERE study_instance_uid = OLD.study_instance_uid; END;",
    "CREATE TRIGGER IF NOT EXISTS study_totals_series_changed AFTER UPDATE OF study_instance_uid, modality ON series "
    "WHEN OLD.study_instance_uid IS NOT NEW.study_instance_uid OR OLD.modality IS NOT NEW.modality BEGIN "
    "UPDATE studies SET series_count = series_count - 1, "
    "instance_count = instance_count - " KALVENOR_SERIES_ROWS("COUNT(*)", "OLD.series_instance_uid") ", "
    "store_bytes = store_bytes - " KALVENOR_SERIES_ROWS("COALESCE(SUM(" KALVENOR_ROW_BYTES("instances") "), 0)",
                                                        "OLD.series_instance_uid") ", "
    "modalities = " KALVENOR_MODALITIES("OLD.study_instance_uid") " WHERE study_instance_uid = OLD.study_instance_uid; "
    "UPDATE studies SET series_count = series_count + 1, "
    "instance_count = instance_count + " KALVENOR_SERIES_ROWS("COUNT(*)", "NEW.series_instance_uid") ", "
    "store_bytes = store_bytes + " KALVENOR_SERIES_ROWS("COALESCE(SUM(" KALVENOR_ROW_BYTES("instances") "), 0)",
                                                        "NEW.series_instance_uid") ", "
    "modalities = " KALVENOR_MODALITIES("NEW.study_instance_uid") " WHERE study_instance_uid = NEW.study_instance_uid; "
    "END;",
};

} // namespace

QList<std::pair<QLatin1String, QString>> sql::studyTotalsCounted(const QString& studyUid)
{
    return {
        {QLatin1String("series_count"),
         QStringLiteral("(SELECT COUNT(*) FROM series se WHERE se.study_instance_uid = %1)").arg(studyUid)},
        {QLatin1String("instance_count"),
         QStringLiteral("(SELECT COUNT(*) FROM series se JOIN instances i ON i.series_instance_uid = "
                        "se.series_instance_uid WHERE se.study_instance_uid = %1)")
             .arg(studyUid)},
        {QLatin1String("modalities"), QStringLiteral(KALVENOR_MODALITIES("%1")).arg(studyUid)},
        {QLatin1String("store_bytes"),
         QStringLiteral("(SELECT COALESCE(SUM(" KALVENOR_ROW_BYTES("i") "), 0) FROM series se JOIN instances i ON "
                        "i.series_instance_uid = se.series_instance_uid WHERE se.study_instance_uid = %1)")
             .arg(studyUid)},
    };
}

namespace {

// Every study's totals counted from its rows, once, when an index of an earlier version gains them.
QString countStudyTotalsStatement()
{
    QStringList set;
    for (const auto& [column, counted] : sql::studyTotalsCounted(QStringLiteral("studies.study_instance_uid")))
        set << column + QStringLiteral(" = ") + counted;
    return QStringLiteral("UPDATE studies SET %1;").arg(set.join(QStringLiteral(", ")));
}

#undef KALVENOR_ROW_BYTES
#undef KALVENOR_STUDY_OF
#undef KALVENOR_MODALITIES
#undef KALVENOR_SERIES_ROWS

// Studies indexed before the index kept import times count as imported at the first open that keeps
// them: the clean-up by age removes none of them before its limit has passed from then.
const char* const kStampImportTimes = "UPDATE studies SET imported_at = :now WHERE imported_at IS NULL;";

// Index files of earlier versions keyed patients by Patient ID alone, and studies named their patient
// by that ID. Each such patient becomes one patient row as it stood (its studies cannot be told apart
// without reading their files again; indexing a file again puts its study under its own patient),
// except that studies without a Patient ID each get a patient of their own. Studies keep every other
// column, their protection included. Run in one transaction with foreign keys off, so that a failure
// leaves the file as it was.
QStringList rekeyPatientsStatements()
{
    return {
        createTable("patients_rekeyed", kPatientColumns),
        QStringLiteral(
            "INSERT INTO patients_rekeyed (patient_id, patient_name, birth_date, sex, weight_kg, height_cm) "
            "SELECT p.patient_id, COALESCE(p.patient_name, ''), COALESCE(p.birth_date, ''), p.sex, p.weight_kg, "
            "p.height_cm FROM patients p WHERE COALESCE(p.patient_id, '') != '' "
            "AND EXISTS (SELECT 1 FROM studies st WHERE st.patient_id = p.patient_id);"),
        QStringLiteral(
            "INSERT INTO patients_rekeyed (patient_id, patient_name, birth_date, sex, weight_kg, height_cm, "
            "sole_study_uid) "
            "SELECT '', COALESCE(p.patient_name, ''), COALESCE(p.birth_date, ''), p.sex, p.weight_kg, "
            "p.height_cm, st.study_instance_uid FROM studies st LEFT JOIN patients p ON p.patient_id = "
            "st.patient_id WHERE COALESCE(st.patient_id, '') = '';"),
        QStringLiteral("CREATE INDEX patients_rekeyed_lookup ON patients_rekeyed(patient_id, sole_study_uid);"),
        createTable("studies_rekeyed", kStudyColumns),
        QStringLiteral(
            "INSERT INTO studies_rekeyed (study_instance_uid, patient_key, study_date, study_time, "
            "study_description, accession_number, referring_physician, is_protected) "
            "SELECT st.study_instance_uid, (SELECT p.patient_key FROM patients_rekeyed p WHERE "
            "p.patient_id = COALESCE(st.patient_id, '') AND p.sole_study_uid = "
            "CASE WHEN COALESCE(st.patient_id, '') = '' THEN st.study_instance_uid ELSE '' END), "
            "st.study_date, st.study_time, st.study_description, st.accession_number, st.referring_physician, "
            "st.is_protected FROM studies st;"),
        QStringLiteral("DROP INDEX patients_rekeyed_lookup;"),
        QStringLiteral("DROP TABLE studies;"),
        QStringLiteral("DROP TABLE patients;"),
        QStringLiteral("ALTER TABLE patients_rekeyed RENAME TO patients;"),
        QStringLiteral("ALTER TABLE studies_rekeyed RENAME TO studies;"),
    };
}

// While the index opens, a file held by another program fails fast instead of making each statement
// wait in turn; afterwards a write waits as long as a short lock by another reader may last.
constexpr int kOpenBusyMs = 1000;
constexpr int kBusyMs = 5000;

} // namespace

QStringList sql::tableStatements()
{
    QStringList statements{createTable("patients", kPatientColumns), createTable("studies", kStudyColumns)};
    for (const char* sql : kCreateOtherTables)
        statements << QString::fromLatin1(sql);
    for (const char* sql : kCreateBookkeeping)
        statements << QString::fromLatin1(sql);
    return statements;
}

Database::Database(QObject* parent)
    : QObject(parent)
    , m_connectionName(QStringLiteral("vavovivirur_%1").arg(QUuid::createUuid().toString(QUuid::WithBraces)))
{
}

Database::~Database()
{
    closeConnection();
}

void Database::closeConnection()
{
    m_write.reset();
    if (!m_db.isValid())
        return;
    if (m_db.isOpen())
        m_db.close();
    // Our own handle must go first, or Qt warns that the connection is still in use.
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool Database::open(const QString& path)
{
    // A second open replaces the first connection rather than leaking it.
    closeConnection();
    m_writable = false;
    m_readAsEarlier = false;
    m_readOnlyReason.clear();
    m_openFailure.clear();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(path);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kOpenBusyMs));
    m_openedFile = {};
    if (!m_db.open()) {
        m_lastError = describe(m_db.lastError());
        return false;
    }
    // SQLite holds the file from the open on: the path's file right after it is the one read.
    if (path != QLatin1String(":memory:"))
        m_openedFile = FileIdentity::of(path);
    {
        // Their results matter only when the file is held by another program: nothing else will work.
        QSqlQuery pragma(m_db);
        // Deleted rows are still zeroed where their pages are written anyway, but pages that deletion frees
        // are no longer zeroed, journaled and written one by one: removing thousands of studies would
        // otherwise write the whole index twice over. The rollback journal is emptied after each commit,
        // not deleted: a file made and deleted per commit costs the file system a new inode each time,
        // which on a busy disk took longer than the commit itself and held up the receive of a retrieve.
        for (const char* sql : {"PRAGMA journal_mode=TRUNCATE;", "PRAGMA synchronous=NORMAL;", "PRAGMA foreign_keys=ON;",
                                "PRAGMA secure_delete=FAST;"}) {
            if (!pragma.exec(QString::fromLatin1(sql)) && isBusy(pragma.lastError())) {
                m_lastError = m_openFailure = inUseText(path);
                return false;
            }
        }
    }
    if (!createSchema()) {
        m_openFailure = m_lastError;
        return false;
    }
    findWhetherWritable();
    // A file that refused a step of its upgrade as read-only is not written this session, whatever a
    // write would meet now: its tables are read through the views that stand in for them.
    if (m_readAsEarlier && m_writable) {
        m_writable = false;
        m_readOnlyReason = readOnlyText();
    }
    QSqlQuery(m_db).exec(QStringLiteral("PRAGMA busy_timeout=%1;").arg(kBusyMs));
    return true;
}

bool Database::createSchema()
{
    // The first failure ends the opening: a later statement would meet the same lock or file again.
    QSqlQuery q(m_db);
    auto failed = [this](const QSqlError& error) {
        m_lastError = isBusy(error) ? inUseText(m_db.databaseName()) : describe(error);
        return false;
    };
    m_readAsEarlier = false;
    QStringList statements{createTable("patients", kPatientColumns), createTable("studies", kStudyColumns)};
    for (const char* sql : kCreateOtherTables)
        statements << QString::fromLatin1(sql);
    for (const QString& sql : std::as_const(statements)) {
        if (!q.exec(sql))
            return failed(q.lastError());
    }
    // On an up-to-date file every migration is refused as a duplicate column, which is the normal case.
    const auto duplicateColumn = [&q] {
        return q.lastError().databaseText().contains(QLatin1String("duplicate column"), Qt::CaseInsensitive);
    };
    for (const char* sql : kMigrations) {
        if (!q.exec(QString::fromLatin1(sql)) && !duplicateColumn() && !passOver(q.lastError())) {
            m_lastError = formatChangeFailure(q.lastError());
            return false;
        }
    }
    if (!q.exec(QString::fromLatin1(kAddFileVersions)) && !duplicateColumn() && !passOver(q.lastError())) {
        m_lastError = formatChangeFailure(q.lastError());
        return false;
    }
    QString failure;
    // Each later step changes the file too: one that cannot be written is read as it is from here on,
    // the steps it lacks passed over (an index over a column it lacks could not even be made).
    if (!m_readAsEarlier && !keyPatientsByIdentity(&failure)) {
        m_lastError = failure;
        return false;
    }
    if (!m_readAsEarlier) {
        // A file that cannot be written keeps its studies without a time; the clean-up then skips them.
        QSqlQuery stamp(m_db);
        stamp.prepare(QString::fromLatin1(kStampImportTimes));
        stamp.bindValue(QStringLiteral(":now"), importTimeText(QDateTime::currentDateTimeUtc()));
        stamp.exec();
    }
    // One that cannot be written is read without those it lacks, to the same rows.
    for (const char* sql : kCreateIndexes) {
        if (!m_readAsEarlier && !q.exec(QString::fromLatin1(sql)) && sqliteCode(q.lastError()) != 8 /* SQLITE_READONLY */)
            return failed(q.lastError());
    }
    // After the indexes: counting walks every study's rows through them.
    if (!m_readAsEarlier && !keepStudyTotals(&failure)) {
        m_lastError = failure;
        return false;
    }
    for (const char* sql : kCreateBookkeeping) {
        if (!m_readAsEarlier && !q.exec(QString::fromLatin1(sql)) && !passOver(q.lastError()))
            return failed(q.lastError());
    }
    for (const char* sql : kBookkeepingMigrations) {
        if (!m_readAsEarlier && !q.exec(QString::fromLatin1(sql)) && !duplicateColumn() && !passOver(q.lastError()))
            return failed(q.lastError());
    }
    if (m_readAsEarlier && !readEarlierShapeAsCurrent(m_db, &failure)) {
        m_lastError = failure;
        return false;
    }
    m_storeFolders = readStoreFolders(m_db);
    m_placesRecorded = q.exec(QStringLiteral("PRAGMA user_version;")) && q.next() &&
                       q.value(0).toInt() >= kStorePlacesVersion;
    return true;
}

bool Database::passOver(const QSqlError& error)
{
    if (sqliteCode(error) != 8 /* SQLITE_READONLY */)
        return false;
    m_readAsEarlier = true;
    return true;
}

bool Database::keepStudyTotals(QString* failure)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("PRAGMA user_version;")) || !q.next()) {
        *failure = formatChangeFailure(q.lastError());
        return false;
    }
    const int version = q.value(0).toInt();
    q.finish();
    if (version >= kTotalsVersion) {
        // Already there on a file of this version, which may be one that cannot be written.
        for (const char* sql : kStudyTotalsTriggers)
            if (!q.exec(QString::fromLatin1(sql)) && sqliteCode(q.lastError()) != 8 /* SQLITE_READONLY */) {
                *failure = formatChangeFailure(q.lastError());
                return false;
            }
        return true;
    }
    // The totals are counted once, in the transaction that sets up the triggers that keep them.
    QStringList statements;
    for (const char* sql : kStudyTotalsTriggers)
        statements << QString::fromLatin1(sql);
    statements << countStudyTotalsStatement()
               << QStringLiteral("PRAGMA user_version = %1;").arg(kTotalsVersion);
    const QSqlError error = runInOneTransaction(statements);
    if (error.isValid() && !passOver(error)) {
        *failure = formatChangeFailure(error);
        return false;
    }
    return true;
}

QSqlError Database::runInOneTransaction(const QStringList& statements)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE;")))
        return q.lastError();
    QSqlError error;
    for (const QString& sql : statements)
        if (!q.exec(sql)) {
            error = q.lastError();
            break;
        }
    q.finish();
    if (!error.isValid() && !m_db.commit())
        error = m_db.lastError();
    if (error.isValid())
        m_db.rollback();
    return error;
}

bool Database::beginWrite()
{
    // A deferred BEGIN that reads first and writes later is refused at once, without waiting out the
    // busy time-out, when another connection began writing meanwhile: the write lock is taken here,
    // where waiting for it is still allowed.
    QSqlQuery q(m_db);
    if (q.exec(QStringLiteral("BEGIN IMMEDIATE;")))
        return true;
    m_lastError = errorText(q);
    return false;
}

bool Database::endTransaction(bool ok)
{
    if (ok && !m_db.commit()) {
        m_lastError = describe(m_db.lastError());
        ok = false;
    }
    if (!ok)
        m_db.rollback();
    return ok;
}

void Database::findWhetherWritable()
{
    // Setting the user version to its own value changes nothing that is read, yet it needs the same
    // permission and locks as any write, the commit's included.
    QSqlQuery q(m_db);
    bool ok = q.exec(QStringLiteral("PRAGMA user_version;")) && q.next();
    const int version = ok ? q.value(0).toInt() : 0;
    q.finish();
    ok = ok && q.exec(QStringLiteral("BEGIN IMMEDIATE;"))
        && q.exec(QStringLiteral("PRAGMA user_version = %1;").arg(version)) && q.exec(QStringLiteral("COMMIT;"));
    m_writable = ok;
    if (!ok) {
        m_readOnlyReason = errorText(q);
        q.exec(QStringLiteral("ROLLBACK;"));
    }
}

bool Database::isWritable() const
{
    return m_writable;
}

QString Database::readOnlyReason() const
{
    return m_readOnlyReason;
}

bool Database::isOfEarlierVersion() const
{
    return m_db.isOpen() && m_readAsEarlier;
}

bool Database::keyPatientsByIdentity(QString* failure)
{
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM pragma_table_info('patients') WHERE name = 'patient_key';"))
        || !q.next()) {
        *failure = errorText(q);
        return false;
    }
    if (q.value(0).toInt() > 0)
        return true;
    q.finish();
    // Foreign keys cannot be switched inside a transaction, and the old tables must go before the new
    // ones take their names.
    q.exec(QStringLiteral("PRAGMA foreign_keys=OFF;"));
    const QSqlError error = runInOneTransaction(rekeyPatientsStatements());
    q.exec(QStringLiteral("PRAGMA foreign_keys=ON;"));
    if (error.isValid() && !passOver(error)) {
        *failure = formatChangeFailure(error);
        return false;
    }
    return true;
}

QString Database::formatChangeFailure(const QSqlError& error) const
{
    return isBusy(error) ? inUseText(m_db.databaseName())
                         : QStringLiteral("Не удалось перевести локальную базу исследований на новый формат: %1")
                               .arg(describe(error));
}

QString Database::lastError() const
{
    return m_lastError;
}

bool Database::requireOpen()
{
    // Every write comes here first: the views that stand in for an earlier version's tables take none,
    // and SQLite's refusal would name the views rather than the file that cannot be written.
    if (m_readAsEarlier && m_db.isOpen()) {
        m_lastError = m_readOnlyReason.isEmpty() ? readOnlyText() : m_readOnlyReason;
        return false;
    }
    if (!m_openFailure.isEmpty()) {
        m_lastError = QStringLiteral("локальная база исследований не открылась: %1").arg(m_openFailure);
        return false;
    }
    if (m_db.isOpen())
        return true;
    // Repeat why opening failed, so that a later write explains itself too.
    m_lastError = m_db.isValid() ? describe(m_db.lastError()) : QString();
    if (m_lastError.isEmpty())
        m_lastError = QStringLiteral("База данных не открыта");
    return false;
}

QString Database::connectionName() const
{
    return m_connectionName;
}

QString Database::filePath() const
{
    const QString name = m_db.databaseName();
    return name == QLatin1String(":memory:") ? QString() : name;
}

namespace {

// What is wrong with the index the connection reads; empty when every page is sound and every row
// names a file.
QString integrityProblem(const QSqlDatabase& db)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    // Only a single "ok" says that every page and row could be read; anything else names a fault.
    if (!q.exec(QStringLiteral("PRAGMA quick_check;")))
        return errorText(q);
    QStringList said;
    while (q.next())
        said << textOf(q.value(0));
    if (q.lastError().isValid())
        return errorText(q);
    q.finish();
    if (said != QStringList{QStringLiteral("ok")})
        return said.isEmpty() ? QStringLiteral("проверка не дала ответа") : said.first();
    // A row whose path reads back empty names no file, so no file could be told to be unwanted.
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM instances WHERE file_path IS NULL OR file_path = '';"))
        || !q.next())
        return errorText(q);
    if (const qint64 empty = q.value(0).toLongLong(); empty > 0)
        return QStringLiteral("строк без пути к файлу: %1").arg(empty);
    return {};
}

} // namespace

bool Database::checkIntegrity(QString* problem, const std::function<void()>& waiting) const
{
    QString found;
    const QString path = filePath();
    if (!m_db.isOpen()) {
        found = QStringLiteral("база не открыта");
    } else if (!waiting || path.isEmpty()) {
        found = integrityProblem(m_db);
    } else {
        // Every page of a large index is read: on a connection of its own, on a thread of its own,
        // while the caller is told, again and again, that it waits.
        std::atomic_bool done{false};
        std::thread checker([&found, &done, &path] {
            const QString name = QStringLiteral("integrity_%1").arg(QUuid::createUuid().toString(QUuid::WithoutBraces));
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
                db.setDatabaseName(path);
                db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyMs));
                found = db.open() ? integrityProblem(db) : describe(db.lastError());
                db.close();
            }
            QSqlDatabase::removeDatabase(name);
            done = true;
        });
        while (!done.load()) {
            waiting();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        checker.join();
    }
    if (problem)
        *problem = found;
    return found.isEmpty();
}

std::pair<qint64, qint64> Database::changeStamp() const
{
    // total_changes() counts this connection's writes, data_version moves with every other one's.
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT total_changes(), data_version FROM pragma_data_version;"))
        || !q.next())
        return {0, 0};
    return {q.value(0).toLongLong(), q.value(1).toLongLong()};
}

} // namespace db
