#include "db/Database.h"

#include "dicom/DicomFileSummary.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUuid>
#include <QVariant>

#include <array>
#include <cmath>
#include <map>
#include <memory>

#include <sys/stat.h>

namespace db {

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
    "in_store INTEGER NOT NULL DEFAULT 0);",
};

// The program's own bookkeeping beside the rows. Added to index files of earlier versions at their
// first open; a file that cannot be written then opens without them (it cannot be changed anyway).
// pending_removals: store files whose rows are gone and which are still to be deleted, written in
// the same transaction as the removal of their rows, so that a kill before the files go loses
// nothing. unfinished_edits: studies whose files a tag edit was writing when it was cut short.
// store_folders: the folders of the program's own copies (setStoreFolders), each with its final "/".
const char* const kCreateBookkeeping[] = {
    "CREATE TABLE IF NOT EXISTS pending_removals (path TEXT PRIMARY KEY);",
    "CREATE TABLE IF NOT EXISTS unfinished_edits (study_instance_uid TEXT PRIMARY KEY, started_at TEXT);",
    "CREATE TABLE IF NOT EXISTS store_folders (folder TEXT PRIMARY KEY);",
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
};

// PRAGMA user_version from which the studies' totals are kept by the triggers below.
constexpr int kTotalsVersion = 1;

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

// Every study's totals counted from its rows, once, when an index of an earlier version gains them.
const char* const kCountStudyTotals =
    "UPDATE studies SET "
    "series_count = (SELECT COUNT(*) FROM series se WHERE se.study_instance_uid = studies.study_instance_uid), "
    "instance_count = (SELECT COUNT(*) FROM series se JOIN instances i ON i.series_instance_uid = "
    "se.series_instance_uid WHERE se.study_instance_uid = studies.study_instance_uid), "
    "modalities = " KALVENOR_MODALITIES("studies.study_instance_uid") ", "
    "store_bytes = (SELECT COALESCE(SUM(" KALVENOR_ROW_BYTES("i") "), 0) FROM series se JOIN instances i ON "
    "i.series_instance_uid = se.series_instance_uid WHERE se.study_instance_uid = studies.study_instance_uid);";

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

// A file's patient: its ID, name and birth date find the row; the latest file decides sex, weight
// and height.
const char* const kPatientUpsert =
    "INSERT INTO patients (patient_id, patient_name, birth_date, sex, weight_kg, height_cm, sole_study_uid) "
    "VALUES (:id, :name, :birth, :sex, :weight, :height, :sole) "
    "ON CONFLICT(patient_id, patient_name, birth_date, sole_study_uid) DO UPDATE SET sex = excluded.sex, "
    "weight_kg = excluded.weight_kg, height_cm = excluded.height_cm;";

const char* const kPatientKey =
    "SELECT patient_key FROM patients WHERE patient_id = :id AND patient_name = :name AND birth_date = :birth "
    "AND sole_study_uid = :sole;";

const char* const kStudyPatient = "SELECT patient_key FROM studies WHERE study_instance_uid = :uid;";

// The study goes with the patient of the file indexed last (a corrected name or ID moves it); its
// protection is never written here, and its import time only by its first file.
const char* const kStudyUpsert =
    "INSERT INTO studies (study_instance_uid, patient_key, study_date, study_time, study_description, "
    "accession_number, referring_physician, imported_at) "
    "VALUES (:uid, :patient_key, :date, :time, :desc, :acc, :ref, :imported) "
    "ON CONFLICT(study_instance_uid) DO UPDATE SET patient_key = excluded.patient_key, "
    "study_date = excluded.study_date, study_time = excluded.study_time, "
    "study_description = excluded.study_description, accession_number = excluded.accession_number, "
    "referring_physician = excluded.referring_physician;";

// A file indexed again is wanted: a removal still pending for its path must not take it.
const char* const kKeepPath = "DELETE FROM pending_removals WHERE path = :path;";

const char* const kPrunePatient =
    "DELETE FROM patients WHERE patient_key = :key AND NOT EXISTS "
    "(SELECT 1 FROM studies WHERE patient_key = :key);";

// A series stays with the study it was first indexed under; only an edit (reindexEditedFile) moves it.
const char* const kSeriesUpsert =
    "INSERT INTO series (series_instance_uid, study_instance_uid, series_number, series_description, "
    "modality, body_part_examined, laterality) "
    "VALUES (:uid, :study_uid, :num, :desc, :modality, :body_part, :laterality) "
    "ON CONFLICT(series_instance_uid) DO UPDATE SET series_number = excluded.series_number, "
    "series_description = excluded.series_description, modality = excluded.modality, "
    "body_part_examined = excluded.body_part_examined, laterality = excluded.laterality;";

// A file indexed again (edited, moved, or imported twice) gives its rows every new value; only the
// series they belong to stays (an edit moves them explicitly).
const char* const kInstanceUpsert =
    "INSERT INTO instances (sop_instance_uid, series_instance_uid, instance_number, rows, columns, "
    "number_of_frames, pixel_spacing_x, pixel_spacing_y, slice_thickness, slice_location, window_center, "
    "window_width, rescale_slope, rescale_intercept, repetition_time, echo_time, image_position_x, "
    "image_position_y, image_position_z, orientation_row_x, orientation_row_y, orientation_row_z, "
    "orientation_col_x, orientation_col_y, orientation_col_z, has_spatial_info, frame_index, "
    "acquisition_time_seconds, temporal_position_index, frame_of_reference_uid, trigger_time_ms, "
    "cardiac_number_of_images, file_path, file_size, in_store) "
    "VALUES (:uid, :series_uid, :inum, :rows, :cols, :frames, :psx, :psy, :thick, :loc, :wc, :ww, :slope, "
    ":intercept, :tr, :te, :ipx, :ipy, :ipz, :orx, :ory, :orz, :ocx, :ocy, :ocz, :hasspatial, :frameidx, "
    ":acqtime, :temporalidx, :forUid, :triggertime, :cardiacnimages, :path, :size, :instore) "
    "ON CONFLICT(sop_instance_uid) DO UPDATE SET instance_number = excluded.instance_number, "
    "rows = excluded.rows, columns = excluded.columns, number_of_frames = excluded.number_of_frames, "
    "pixel_spacing_x = excluded.pixel_spacing_x, pixel_spacing_y = excluded.pixel_spacing_y, "
    "slice_thickness = excluded.slice_thickness, slice_location = excluded.slice_location, "
    "window_center = excluded.window_center, window_width = excluded.window_width, "
    "rescale_slope = excluded.rescale_slope, rescale_intercept = excluded.rescale_intercept, "
    "repetition_time = excluded.repetition_time, echo_time = excluded.echo_time, "
    "image_position_x = excluded.image_position_x, image_position_y = excluded.image_position_y, "
    "image_position_z = excluded.image_position_z, orientation_row_x = excluded.orientation_row_x, "
    "orientation_row_y = excluded.orientation_row_y, orientation_row_z = excluded.orientation_row_z, "
    "orientation_col_x = excluded.orientation_col_x, orientation_col_y = excluded.orientation_col_y, "
    "orientation_col_z = excluded.orientation_col_z, has_spatial_info = excluded.has_spatial_info, "
    "frame_index = excluded.frame_index, acquisition_time_seconds = excluded.acquisition_time_seconds, "
    "temporal_position_index = excluded.temporal_position_index, "
    "frame_of_reference_uid = excluded.frame_of_reference_uid, trigger_time_ms = excluded.trigger_time_ms, "
    "cardiac_number_of_images = excluded.cardiac_number_of_images, file_path = excluded.file_path, "
    "file_size = excluded.file_size, in_store = excluded.in_store;";

// The counts, modalities and store size are the study row's own totals: a listing reads one row
// per study, however many instance rows the index holds.
const char* const kStudySelect =
    "SELECT st.study_instance_uid, p.patient_id, p.patient_name, p.birth_date, p.sex, p.weight_kg, "
    "st.study_date, st.study_time, st.study_description, st.accession_number, st.series_count, "
    "st.instance_count, st.is_protected, st.modalities, st.imported_at, st.store_bytes "
    "FROM studies st LEFT JOIN patients p ON p.patient_key = st.patient_key ";

// The series and study of an instance as the query's one row (none when not indexed).
const char* const kInstancePlace = "SELECT i.series_instance_uid, se.study_instance_uid FROM instances i "
                                   "LEFT JOIN series se ON se.series_instance_uid = i.series_instance_uid "
                                   "WHERE i.sop_instance_uid = :sop;";

bool readInstancePlace(QSqlQuery& q, const QString& sopInstanceUid)
{
    q.bindValue(QStringLiteral(":sop"), sopInstanceUid);
    return q.exec();
}

// While the index opens, a file held by another program fails fast instead of making each statement
// wait in turn; afterwards a write waits as long as a short lock by another reader may last.
constexpr int kOpenBusyMs = 1000;
constexpr int kBusyMs = 5000;

// SQLite's primary result code of a failure (extended codes carry it in their low byte). Qt reports a
// failed commit without the code; SQLite's own words for the code tell it then. 0 if neither does.
int sqliteCode(const QSqlError& error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    if (ok && code != 0)
        return code & 0xff;
    static const std::pair<int, const char*> words[] = {
        {5, "database is locked"},        {6, "database table is locked"},
        {8, "readonly database"},         {10, "disk I/O error"},
        {11, "disk image is malformed"},  {13, "database or disk is full"},
        {14, "unable to open database"},  {26, "file is not a database"},
    };
    const QString text = error.databaseText();
    for (const auto& [value, phrase] : words)
        if (text.contains(QLatin1String(phrase), Qt::CaseInsensitive))
            return value;
    return 0;
}

bool isBusy(const QSqlError& error)
{
    const int code = sqliteCode(error);
    return code == 5 /* SQLITE_BUSY */ || code == 6 /* SQLITE_LOCKED */;
}

// The driver's own words, after the cause in Russian wherever SQLite names one the user can act on.
QString describe(const QSqlError& error)
{
    const char* cause = nullptr;
    switch (sqliteCode(error)) {
    case 5:
    case 6:
        cause = "локальная база исследований занята другой программой";
        break;
    case 8:
        cause = "файл локальной базы исследований доступен только для чтения";
        break;
    case 10:
        cause = "ошибка чтения или записи диска с локальной базой исследований";
        break;
    case 11:
    case 26:
        cause = "файл локальной базы исследований повреждён";
        break;
    case 13:
        cause = "на диске нет места для локальной базы исследований";
        break;
    case 14:
        cause = "файл локальной базы исследований не открывается";
        break;
    default:
        break;
    }
    const QString text = error.text().trimmed();
    return cause ? QStringLiteral("%1 (%2)").arg(QString::fromUtf8(cause), text) : text;
}

QString errorText(const QSqlQuery& query)
{
    return describe(query.lastError());
}

QString inUseText(const QString& path)
{
    return QStringLiteral("Локальная база исследований используется другой программой: файл %1 заблокирован. "
                          "Закройте программу, которая его держит, и запустите Kalvenor снова.")
        .arg(QDir::toNativeSeparators(path));
}

// Frames of a file with neither per-frame positions nor a usable orientation have no geometry of
// their own; stacking them would turn a cine loop or an ultrasound clip into a fake volume.
bool sliceNormal(const dicom::DicomFileSummary& s, std::array<double, 3>& normal)
{
    const auto& r = s.orientationRow;
    const auto& c = s.orientationCol;
    const double rr = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
    const double cc = c[0] * c[0] + c[1] * c[1] + c[2] * c[2];
    if (!(rr > 1e-6) || !(cc > 1e-6))
        return false;
    std::array<double, 3> n{r[1] * c[2] - r[2] * c[1], r[2] * c[0] - r[0] * c[2], r[0] * c[1] - r[1] * c[0]};
    const double nn = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
    if (!(nn > 1e-6))
        return false;
    const double len = std::sqrt(nn);
    normal = {n[0] / len, n[1] / len, n[2] / len};
    return true;
}

// Qt binds a null QString as SQL NULL. NULL never matches in "=" and never conflicts on a primary
// key, so a file without a Patient ID would add a new patient row at every indexing; bind '' instead.
QString nonNull(const QString& text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

QString textOf(const QVariant& v)
{
    return v.isNull() ? QString() : v.toString();
}

double realOf(const QVariant& v, double whenNull = 0.0)
{
    return v.isNull() ? whenNull : v.toDouble();
}

// Import times are stored as UTC in ISO 8601 text, which sorts and compares as time does.
QString importTimeText(const QDateTime& utc)
{
    return utc.toUTC().toString(Qt::ISODate);
}

QDateTime importTimeOf(const QVariant& v)
{
    return v.isNull() ? QDateTime() : QDateTime::fromString(v.toString(), Qt::ISODate);
}

StudyRecord studyFromQuery(const QSqlQuery& q)
{
    StudyRecord r;
    r.studyInstanceUid = textOf(q.value(0));
    r.patientId = textOf(q.value(1));
    r.patientName = textOf(q.value(2));
    r.birthDate = textOf(q.value(3));
    r.sex = textOf(q.value(4));
    r.weightKg = realOf(q.value(5));
    r.studyDate = textOf(q.value(6));
    r.studyTime = textOf(q.value(7));
    r.studyDescription = textOf(q.value(8));
    r.accessionNumber = textOf(q.value(9));
    r.seriesCount = q.value(10).toInt();
    r.instanceCount = q.value(11).toInt();
    r.isProtected = q.value(12).toLongLong() != 0;
    r.modalities = textOf(q.value(13));
    r.importedAt = importTimeOf(q.value(14));
    r.storeBytes = q.value(15).toLongLong();
    return r;
}

// Equal dates keep one order from run to run, whatever order they were indexed in.
const char* const kAllStudiesOrder =
    "ORDER BY st.study_date ASC, st.study_time ASC, p.patient_name ASC, st.study_instance_uid ASC;";

// Nothing when the query fails, or the index cannot be read to its end.
std::optional<QList<StudyRecord>> queryStudiesIn(const QSqlDatabase& db, const QString& sql,
                                                 const QList<std::pair<QString, QString>>& bindings)
{
    if (!db.isOpen())
        return std::nullopt;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.prepare(sql))
        return std::nullopt;
    for (const auto& [name, value] : bindings)
        q.bindValue(name, value);
    if (!q.exec())
        return std::nullopt;
    QList<StudyRecord> out;
    while (q.next())
        out.append(studyFromQuery(q));
    if (q.lastError().isValid())
        return std::nullopt;
    return out;
}

} // namespace

struct Database::WriteStatements
{
    explicit WriteStatements(const QSqlDatabase& db)
        : patient(db)
        , patientKey(db)
        , studyPatient(db)
        , study(db)
        , series(db)
        , instance(db)
        , prunePatient(db)
        , instancePlace(db)
        , keepPath(db)
    {
    }
    // Leaves every statement reset, so that none keeps a transaction or a lock alive.
    void finish()
    {
        for (QSqlQuery* q : all())
            q->finish();
    }
    std::array<QSqlQuery*, 9> all()
    {
        return {&patient,  &patientKey,   &studyPatient,  &study,   &series,
                &instance, &prunePatient, &instancePlace, &keepPath};
    }

    QSqlQuery patient;
    QSqlQuery patientKey;
    QSqlQuery studyPatient;
    QSqlQuery study;
    QSqlQuery series;
    QSqlQuery instance;
    QSqlQuery prunePatient;
    QSqlQuery instancePlace;
    QSqlQuery keepPath;
};

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
    m_readOnlyReason.clear();
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(path);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kOpenBusyMs));
    if (!m_db.open()) {
        m_lastError = describe(m_db.lastError());
        return false;
    }
    {
        // Their results matter only when the file is held by another program: nothing else will work.
        QSqlQuery pragma(m_db);
        // Deleted rows are still zeroed where their pages are written anyway, but pages that deletion frees
        // are no longer zeroed, journaled and written one by one: removing thousands of studies would
        // otherwise write the whole index twice over.
        for (const char* sql : {"PRAGMA journal_mode=DELETE;", "PRAGMA synchronous=NORMAL;", "PRAGMA foreign_keys=ON;",
                                "PRAGMA secure_delete=FAST;"}) {
            if (!pragma.exec(QString::fromLatin1(sql)) && isBusy(pragma.lastError())) {
                m_lastError = inUseText(path);
                return false;
            }
        }
    }
    if (!createSchema())
        return false;
    findWhetherWritable();
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
    QStringList statements{createTable("patients", kPatientColumns), createTable("studies", kStudyColumns)};
    for (const char* sql : kCreateOtherTables)
        statements << QString::fromLatin1(sql);
    for (const QString& sql : std::as_const(statements)) {
        if (!q.exec(sql))
            return failed(q.lastError());
    }
    // On an up-to-date file every migration is refused as a duplicate column, which is the normal case.
    for (const char* sql : kMigrations) {
        if (!q.exec(QString::fromLatin1(sql))
            && !q.lastError().databaseText().contains(QLatin1String("duplicate column"), Qt::CaseInsensitive)) {
            m_lastError = formatChangeFailure(q.lastError());
            return false;
        }
    }
    QString failure;
    if (!keyPatientsByIdentity(&failure)) {
        m_lastError = failure;
        return false;
    }
    {
        // A file that cannot be written keeps its studies without a time; the clean-up then skips them.
        QSqlQuery stamp(m_db);
        stamp.prepare(QString::fromLatin1(kStampImportTimes));
        stamp.bindValue(QStringLiteral(":now"), importTimeText(QDateTime::currentDateTimeUtc()));
        stamp.exec();
    }
    for (const char* sql : kCreateIndexes) {
        if (!q.exec(QString::fromLatin1(sql)))
            return failed(q.lastError());
    }
    // After the indexes: counting walks every study's rows through them.
    if (!keepStudyTotals(&failure)) {
        m_lastError = failure;
        return false;
    }
    for (const char* sql : kCreateBookkeeping) {
        if (!q.exec(QString::fromLatin1(sql)) && sqliteCode(q.lastError()) != 8 /* SQLITE_READONLY */)
            return failed(q.lastError());
    }
    m_storeFolders.clear();
    if (q.exec(QStringLiteral("SELECT folder FROM store_folders ORDER BY folder;")))
        while (q.next())
            m_storeFolders << textOf(q.value(0));
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
    statements << QString::fromLatin1(kCountStudyTotals)
               << QStringLiteral("PRAGMA user_version = %1;").arg(kTotalsVersion);
    const QSqlError error = runInOneTransaction(statements);
    if (error.isValid())
        *failure = formatChangeFailure(error);
    return !error.isValid();
}

QSqlError Database::runInOneTransaction(const QStringList& statements)
{
    if (!m_db.transaction()) {
        const QSqlError error = m_db.lastError();
        return error.isValid() ? error
                               : QSqlError(QStringLiteral("BEGIN"), QString(), QSqlError::TransactionError);
    }
    QSqlQuery q(m_db);
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
    if (error.isValid())
        *failure = formatChangeFailure(error);
    return !error.isValid();
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

bool Database::indexFile(const dicom::DicomFileSummary& s)
{
    return indexFiles({s}).constFirst().isEmpty();
}

QStringList Database::indexFiles(const QList<dicom::DicomFileSummary>& summaries)
{
    QStringList errors;
    const auto failAll = [this, &summaries, &errors](const QString& why) {
        m_lastError = why;
        errors.clear();
        for (qsizetype i = 0; i < summaries.size(); ++i)
            errors << why;
        return errors;
    };
    if (summaries.isEmpty())
        return errors;
    if (!requireOpen() || !prepareWriteStatements())
        return failAll(m_lastError);
    if (!m_db.transaction())
        return failAll(describe(m_db.lastError()));
    // Each file's rows land together or not at all; a file refused in a batch leaves the others in.
    const bool batch = summaries.size() > 1;
    QSqlQuery savepoint(m_db);
    QStringList written;
    for (const dicom::DicomFileSummary& s : summaries) {
        if (batch && !savepoint.exec(QStringLiteral("SAVEPOINT one_file;"))) {
            const QString why = errorText(savepoint);
            m_db.rollback();
            return failAll(why);
        }
        const bool ok = writeFileRows(s, nullptr);
        errors << (ok ? QString() : m_lastError);
        if (ok)
            written << s.studyInstanceUid;
        if (batch && !ok)
            savepoint.exec(QStringLiteral("ROLLBACK TO one_file;"));
        if (batch && !savepoint.exec(QStringLiteral("RELEASE one_file;"))) {
            const QString why = errorText(savepoint);
            m_db.rollback();
            return failAll(why);
        }
    }
    savepoint.finish();
    if (written.isEmpty()) {
        m_db.rollback();
        return errors;
    }
    if (!m_db.commit()) {
        const QString why = describe(m_db.lastError());
        m_db.rollback();
        return failAll(why);
    }
    written.removeDuplicates();
    emit studiesWritten(written);
    return errors;
}

bool Database::reindexEditedFile(const dicom::DicomFileSummary& before, const dicom::DicomFileSummary& after)
{
    bool written = requireOpen() && prepareWriteStatements();
    if (written && !m_db.transaction()) {
        m_lastError = describe(m_db.lastError());
        written = false;
    }
    if (written) {
        written = writeFileRows(after, &before);
        if (written && !m_db.commit()) {
            m_lastError = describe(m_db.lastError());
            written = false;
        }
        if (!written)
            m_db.rollback();
    }
    emit studyChanged(before.studyInstanceUid);
    if (after.studyInstanceUid != before.studyInstanceUid)
        emit studyChanged(after.studyInstanceUid);
    if (written)
        emit studiesWritten(QStringList{before.studyInstanceUid, after.studyInstanceUid});
    return written;
}

bool Database::isStorePath(const QString& path) const
{
    for (const QString& folder : m_storeFolders)
        if (path.startsWith(folder))
            return true;
    return false;
}

bool Database::writeFileRows(const dicom::DicomFileSummary& s, const dicom::DicomFileSummary* before)
{
    // Rows keyed by an empty UID would never conflict with their own re-indexing and pile up.
    if (s.studyInstanceUid.isEmpty() || s.seriesInstanceUid.isEmpty() || s.sopInstanceUid.isEmpty()) {
        m_lastError = QStringLiteral("В файле нет UID исследования, серии или изображения: %1").arg(s.filePath);
        return false;
    }
    // The caller's transaction is rolled back, or rolled back to the file's savepoint, on failure.
    auto fail = [this](const QSqlQuery& q) {
        m_lastError = errorText(q);
        m_write->finish();
        return false;
    };

    // An object of another series or study under this UID is not written over: a sender that reused
    // a UID by mistake must not make one patient's image show in another's study. The same object
    // indexed again, or moved on purpose by an edit, keeps its UID and goes on.
    if (!before || before->sopInstanceUid != s.sopInstanceUid) {
        QSqlQuery& q = m_write->instancePlace;
        if (!readInstancePlace(q, s.sopInstanceUid))
            return fail(q);
        const bool elsewhere = q.next() && (q.value(0).toString() != s.seriesInstanceUid
                                            || q.value(1).toString() != s.studyInstanceUid);
        q.finish();
        if (elsewhere) {
            m_write->finish();
            m_lastError = QStringLiteral("Объект с UID %1 уже есть в базе в другой серии или в другом исследовании; "
                                         "файл %2 не добавлен")
                              .arg(s.sopInstanceUid, s.filePath);
            return false;
        }
    }

    // An edited file's rows move with it to its new series, keeping their place in the study's file
    // order; under a new SOP Instance UID they name another object and go. The series, study and
    // patient they leave empty go once the new rows are written.
    bool wasProtected = false;
    if (before) {
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("SELECT is_protected FROM studies WHERE study_instance_uid = :study;"));
        q.bindValue(QStringLiteral(":study"), before->studyInstanceUid);
        if (!q.exec())
            return fail(q);
        wasProtected = q.next() && q.value(0).toInt() != 0;
        q.finish();
        if (before->sopInstanceUid != s.sopInstanceUid) {
            q.prepare(QStringLiteral(
                "DELETE FROM instances WHERE series_instance_uid = :series AND file_path = :path;"));
            q.bindValue(QStringLiteral(":series"), before->seriesInstanceUid);
            q.bindValue(QStringLiteral(":path"), before->filePath);
            if (!q.exec())
                return fail(q);
        }
    }

    // The patient the study had before this file: when the file moves the study to another patient,
    // a patient left without studies goes.
    QList<qint64> leftPatients;
    {
        QSqlQuery& q = m_write->studyPatient;
        q.bindValue(QStringLiteral(":uid"), s.studyInstanceUid);
        if (!q.exec())
            return fail(q);
        if (q.next() && !q.value(0).isNull())
            leftPatients << q.value(0).toLongLong();
        q.finish();
    }
    qint64 patientKey = 0;
    {
        // Without a Patient ID nothing tells two people apart: such a patient belongs to one study.
        const QString sole = s.patientId.trimmed().isEmpty() ? s.studyInstanceUid : QStringLiteral("");
        QSqlQuery& q = m_write->patient;
        q.bindValue(QStringLiteral(":id"), nonNull(s.patientId));
        q.bindValue(QStringLiteral(":name"), nonNull(s.patientName));
        q.bindValue(QStringLiteral(":birth"), nonNull(s.birthDate));
        q.bindValue(QStringLiteral(":sex"), nonNull(s.sex));
        q.bindValue(QStringLiteral(":weight"), s.weightKg);
        q.bindValue(QStringLiteral(":height"), s.heightCm);
        q.bindValue(QStringLiteral(":sole"), sole);
        if (!q.exec())
            return fail(q);
        QSqlQuery& key = m_write->patientKey;
        key.bindValue(QStringLiteral(":id"), nonNull(s.patientId));
        key.bindValue(QStringLiteral(":name"), nonNull(s.patientName));
        key.bindValue(QStringLiteral(":birth"), nonNull(s.birthDate));
        key.bindValue(QStringLiteral(":sole"), sole);
        if (!key.exec())
            return fail(key);
        if (!key.next()) {
            m_lastError = QStringLiteral("Запись пациента не найдена после записи: %1").arg(s.filePath);
            m_write->finish();
            return false;
        }
        patientKey = key.value(0).toLongLong();
        key.finish();
    }
    {
        QSqlQuery& q = m_write->study;
        q.bindValue(QStringLiteral(":uid"), nonNull(s.studyInstanceUid));
        q.bindValue(QStringLiteral(":patient_key"), qlonglong(patientKey));
        q.bindValue(QStringLiteral(":date"), nonNull(s.studyDate));
        q.bindValue(QStringLiteral(":time"), nonNull(s.studyTime));
        q.bindValue(QStringLiteral(":desc"), nonNull(s.studyDescription));
        q.bindValue(QStringLiteral(":acc"), nonNull(s.accessionNumber));
        q.bindValue(QStringLiteral(":ref"), nonNull(s.referringPhysician));
        q.bindValue(QStringLiteral(":imported"), importTimeText(QDateTime::currentDateTimeUtc()));
        if (!q.exec())
            return fail(q);
    }
    {
        QSqlQuery& q = m_write->series;
        q.bindValue(QStringLiteral(":uid"), nonNull(s.seriesInstanceUid));
        q.bindValue(QStringLiteral(":study_uid"), nonNull(s.studyInstanceUid));
        q.bindValue(QStringLiteral(":num"), nonNull(s.seriesNumber));
        q.bindValue(QStringLiteral(":desc"), nonNull(s.seriesDescription));
        q.bindValue(QStringLiteral(":modality"), nonNull(s.modality));
        q.bindValue(QStringLiteral(":body_part"), nonNull(s.bodyPartExamined));
        q.bindValue(QStringLiteral(":laterality"), nonNull(s.laterality));
        if (!q.exec())
            return fail(q);
    }
    if (before && before->sopInstanceUid == s.sopInstanceUid) {
        // Now that the new series has its row, the file's rows can point at it.
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("UPDATE instances SET series_instance_uid = :to "
                                 "WHERE series_instance_uid = :series AND file_path = :path;"));
        q.bindValue(QStringLiteral(":to"), s.seriesInstanceUid);
        q.bindValue(QStringLiteral(":series"), before->seriesInstanceUid);
        q.bindValue(QStringLiteral(":path"), before->filePath);
        if (!q.exec())
            return fail(q);
    }

    const int frames = s.numberOfFrames < 1 ? 1 : s.numberOfFrames;
    const double step = s.sliceThickness > 0.0 ? s.sliceThickness : 1.0;
    const qsizetype perFrameCount = s.perFrameSliceLocation.size();
    std::array<double, 3> normal{0.0, 0.0, 0.0};
    // A multi-frame file without per-frame positions is stacked along its slice normal, and only
    // when its orientation is known.
    const bool synthesise = perFrameCount == 0 && frames >= 2 && sliceNormal(s, normal);
    const bool spatial = s.hasSpatialInfo || synthesise;
    // The file's size goes with its first row only, so that its study's total counts it once.
    const qint64 fileSize = QFileInfo(s.filePath).size();
    const int inStore = isStorePath(s.filePath) ? 1 : 0;

    QSqlQuery& q = m_write->instance;
    for (int f = 0; f < frames; ++f) {
        double location = s.sliceLocation;
        std::array<double, 3> position = s.imagePosition;
        if (f < perFrameCount) {
            location = s.perFrameSliceLocation.at(f);
            // The lists are filled together; a shorter one must not be read past its end.
            position = {s.perFramePositionX.value(f, s.imagePosition[0]),
                        s.perFramePositionY.value(f, s.imagePosition[1]),
                        s.perFramePositionZ.value(f, s.imagePosition[2])};
        } else if (synthesise) {
            location = f * step;
            for (int k = 0; k < 3; ++k)
                position[k] += f * step * normal[k];
        }
        const int temporal = f < s.perFrameTemporalPositionIndex.size() ? s.perFrameTemporalPositionIndex.at(f)
                                                                         : s.temporalPositionIndex;
        const QString key = f == 0 ? s.sopInstanceUid : QStringLiteral("%1#f%2").arg(s.sopInstanceUid).arg(f);
        const qint64 instanceNumber = qint64(s.instanceNumber) * 100000 + f;

        q.bindValue(QStringLiteral(":uid"), key);
        q.bindValue(QStringLiteral(":series_uid"), nonNull(s.seriesInstanceUid));
        q.bindValue(QStringLiteral(":inum"), qlonglong(instanceNumber));
        q.bindValue(QStringLiteral(":rows"), s.rows);
        q.bindValue(QStringLiteral(":cols"), s.columns);
        q.bindValue(QStringLiteral(":frames"), s.numberOfFrames);
        q.bindValue(QStringLiteral(":psx"), s.pixelSpacingX);
        q.bindValue(QStringLiteral(":psy"), s.pixelSpacingY);
        q.bindValue(QStringLiteral(":thick"), s.sliceThickness);
        q.bindValue(QStringLiteral(":loc"), location);
        q.bindValue(QStringLiteral(":wc"), s.windowCenter);
        q.bindValue(QStringLiteral(":ww"), s.windowWidth);
        q.bindValue(QStringLiteral(":slope"), s.rescaleSlope);
        q.bindValue(QStringLiteral(":intercept"), s.rescaleIntercept);
        q.bindValue(QStringLiteral(":tr"), s.repetitionTime);
        q.bindValue(QStringLiteral(":te"), s.echoTime);
        q.bindValue(QStringLiteral(":ipx"), position[0]);
        q.bindValue(QStringLiteral(":ipy"), position[1]);
        q.bindValue(QStringLiteral(":ipz"), position[2]);
        q.bindValue(QStringLiteral(":orx"), s.orientationRow[0]);
        q.bindValue(QStringLiteral(":ory"), s.orientationRow[1]);
        q.bindValue(QStringLiteral(":orz"), s.orientationRow[2]);
        q.bindValue(QStringLiteral(":ocx"), s.orientationCol[0]);
        q.bindValue(QStringLiteral(":ocy"), s.orientationCol[1]);
        q.bindValue(QStringLiteral(":ocz"), s.orientationCol[2]);
        q.bindValue(QStringLiteral(":hasspatial"), spatial ? 1 : 0);
        q.bindValue(QStringLiteral(":frameidx"), f);
        q.bindValue(QStringLiteral(":acqtime"), s.acquisitionTimeSeconds);
        q.bindValue(QStringLiteral(":temporalidx"), temporal);
        q.bindValue(QStringLiteral(":forUid"), nonNull(s.frameOfReferenceUid));
        q.bindValue(QStringLiteral(":triggertime"), s.triggerTimeMs);
        q.bindValue(QStringLiteral(":cardiacnimages"), s.cardiacNumberOfImages);
        q.bindValue(QStringLiteral(":path"), s.filePath); // a file without a path is refused (NOT NULL)
        q.bindValue(QStringLiteral(":size"), qlonglong(f == 0 ? fileSize : 0));
        q.bindValue(QStringLiteral(":instore"), inStore);
        if (!q.exec())
            return fail(q);
    }
    {
        QSqlQuery& keep = m_write->keepPath;
        keep.bindValue(QStringLiteral(":path"), s.filePath);
        if (!keep.exec())
            return fail(keep);
    }
    m_write->finish();
    if (before && !moveEditedParents(*before, s, wasProtected, &leftPatients))
        return false;
    for (const qint64 key : std::as_const(leftPatients)) {
        if (key == patientKey)
            continue;
        QSqlQuery& q = m_write->prunePatient;
        q.bindValue(QStringLiteral(":key"), qlonglong(key));
        if (!q.exec())
            return fail(q);
    }
    return true;
}

bool Database::prepareWriteStatements()
{
    if (m_write)
        return true;
    auto statements = std::make_unique<WriteStatements>(m_db);
    const std::pair<QSqlQuery*, const char*> toPrepare[] = {
        {&statements->patient, kPatientUpsert},       {&statements->patientKey, kPatientKey},
        {&statements->studyPatient, kStudyPatient},   {&statements->study, kStudyUpsert},
        {&statements->series, kSeriesUpsert},         {&statements->instance, kInstanceUpsert},
        {&statements->prunePatient, kPrunePatient},   {&statements->instancePlace, kInstancePlace},
        {&statements->keepPath, kKeepPath}};
    for (const auto& [query, sql] : toPrepare) {
        if (!query->prepare(QString::fromLatin1(sql))) {
            // An index of an earlier version that could not be brought up to date for lack of
            // write access names that, not the table it lacks.
            m_lastError = m_writable || m_readOnlyReason.isEmpty() ? errorText(*query) : m_readOnlyReason;
            return false;
        }
    }
    m_write = std::move(statements);
    return true;
}

bool Database::moveEditedParents(const dicom::DicomFileSummary& before, const dicom::DicomFileSummary& after,
                                 bool wasProtected, QList<qint64>* leftPatients)
{
    auto run = [this](const char* sql, const QList<std::pair<QString, QString>>& bindings) {
        QSqlQuery q(m_db);
        q.prepare(QString::fromLatin1(sql));
        for (const auto& [name, value] : bindings)
            q.bindValue(name, nonNull(value));
        if (q.exec())
            return true;
        m_lastError = errorText(q);
        return false;
    };
    const QString series = QStringLiteral(":series");
    const QString study = QStringLiteral(":study");
    if (before.studyInstanceUid != after.studyInstanceUid) {
        // The study the file leaves may go below; its patient then goes too unless another study has it.
        QSqlQuery q(m_db);
        q.prepare(QString::fromLatin1(kStudyPatient));
        q.bindValue(QStringLiteral(":uid"), before.studyInstanceUid);
        if (!q.exec()) {
            m_lastError = errorText(q);
            return false;
        }
        if (q.next() && !q.value(0).isNull())
            leftPatients->append(q.value(0).toLongLong());
    }
    // The series upsert keeps a series with the study it was first indexed under; an edited study
    // UID moves it. A protected study stays protected under a new UID.
    return run("UPDATE series SET study_instance_uid = :study WHERE series_instance_uid = :series;",
               {{study, after.studyInstanceUid}, {series, after.seriesInstanceUid}})
        && (!wasProtected
            || run("UPDATE studies SET is_protected = 1 WHERE study_instance_uid = :study;",
                   {{study, after.studyInstanceUid}}))
        && run("DELETE FROM series WHERE series_instance_uid = :series AND NOT EXISTS "
               "(SELECT 1 FROM instances WHERE series_instance_uid = :series);",
               {{series, before.seriesInstanceUid}})
        && run("DELETE FROM studies WHERE study_instance_uid = :study AND NOT EXISTS "
               "(SELECT 1 FROM series WHERE study_instance_uid = :study);",
               {{study, before.studyInstanceUid}});
}

QList<StudyRecord> Database::queryStudies(const QString& sql,
                                          const QList<std::pair<QString, QString>>& bindings) const
{
    return queryStudiesIn(m_db, sql, bindings).value_or(QList<StudyRecord>());
}

QList<StudyRecord> Database::allStudies() const
{
    return queryStudies(QString::fromLatin1(kStudySelect) + QLatin1String(kAllStudiesOrder), {});
}

std::optional<StudyRecord> Database::studyRecord(const QString& studyInstanceUid) const
{
    const QList<StudyRecord> found = queryStudies(QString::fromLatin1(kStudySelect) +
                                                      QStringLiteral("WHERE st.study_instance_uid = :uid;"),
                                                  {{QStringLiteral(":uid"), studyInstanceUid}});
    if (found.isEmpty())
        return std::nullopt;
    return found.first();
}

QList<StudyRecord> Database::otherStudiesOfPatient(const QString& patientId, const QString& excludeStudyUid) const
{
    if (patientId.isEmpty())
        return {};
    return queryStudies(QString::fromLatin1(kStudySelect)
                            + QStringLiteral("WHERE p.patient_id = :pid AND st.study_instance_uid != :exclude "
                                             "AND st.patient_key = COALESCE((SELECT x.patient_key FROM studies x "
                                             "WHERE x.study_instance_uid = :exclude), st.patient_key) "
                                             "ORDER BY st.study_date DESC, st.study_time DESC;"),
                        {{QStringLiteral(":pid"), patientId}, {QStringLiteral(":exclude"), nonNull(excludeStudyUid)}});
}

QList<SeriesRecord> Database::seriesForStudy(const QString& studyInstanceUid) const
{
    QList<SeriesRecord> out;
    if (!m_db.isOpen())
        return out;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral(
            "SELECT se.series_instance_uid, se.study_instance_uid, se.modality, se.series_description, "
            "se.series_number, "
            "(SELECT COUNT(*) FROM instances i WHERE i.series_instance_uid = se.series_instance_uid), "
            "se.body_part_examined, se.laterality "
            "FROM series se WHERE se.study_instance_uid = :uid "
            "ORDER BY CAST(se.series_number AS INTEGER) ASC;")))
        return out;
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec())
        return out;
    while (q.next()) {
        SeriesRecord r;
        r.seriesInstanceUid = textOf(q.value(0));
        r.studyInstanceUid = textOf(q.value(1));
        r.modality = textOf(q.value(2));
        r.seriesDescription = textOf(q.value(3));
        r.seriesNumber = textOf(q.value(4));
        r.instanceCount = q.value(5).toInt();
        r.bodyPartExamined = textOf(q.value(6));
        r.laterality = textOf(q.value(7));
        out.append(r);
    }
    return out;
}

QList<InstanceRecord> Database::instancesForSeries(const QString& seriesInstanceUid) const
{
    QList<InstanceRecord> out;
    if (!m_db.isOpen())
        return out;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral(
            "SELECT file_path, instance_number, pixel_spacing_x, pixel_spacing_y, slice_thickness, "
            "slice_location, repetition_time, echo_time, image_position_x, image_position_y, image_position_z, "
            "orientation_row_x, orientation_row_y, orientation_row_z, orientation_col_x, orientation_col_y, "
            "orientation_col_z, has_spatial_info, frame_index, acquisition_time_seconds, "
            "temporal_position_index, frame_of_reference_uid, trigger_time_ms, cardiac_number_of_images "
            "FROM instances WHERE series_instance_uid = :uid ORDER BY instance_number ASC;")))
        return out;
    q.bindValue(QStringLiteral(":uid"), seriesInstanceUid);
    if (!q.exec())
        return out;
    while (q.next()) {
        InstanceRecord r;
        r.filePath = textOf(q.value(0));
        r.instanceNumber = q.value(1).toLongLong();
        r.pixelSpacingX = realOf(q.value(2));
        r.pixelSpacingY = realOf(q.value(3));
        r.sliceThickness = realOf(q.value(4));
        r.sliceLocation = realOf(q.value(5));
        r.repetitionTime = realOf(q.value(6));
        r.echoTime = realOf(q.value(7));
        for (int k = 0; k < 3; ++k) {
            r.imagePosition[k] = realOf(q.value(8 + k));
            r.orientationRow[k] = realOf(q.value(11 + k));
            r.orientationCol[k] = realOf(q.value(14 + k));
        }
        r.hasSpatialInfo = q.value(17).toLongLong() != 0;
        r.frameIndex = q.value(18).toInt();
        r.acquisitionTimeSeconds = realOf(q.value(19), -1.0);
        r.temporalPositionIndex = q.value(20).toInt();
        r.frameOfReferenceUid = textOf(q.value(21));
        r.triggerTimeMs = realOf(q.value(22), -1.0);
        r.cardiacNumberOfImages = q.value(23).toInt();
        out.append(r);
    }
    return out;
}

QStringList Database::studyFilePaths(const QString& studyInstanceUid) const
{
    QStringList out;
    if (!m_db.isOpen())
        return out;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // In the order the files were first indexed: a file added later goes to the end, so the positions
    // of the others (remote downloads number files by them) do not shift between a download and its resume.
    if (!q.prepare(QStringLiteral("SELECT i.file_path FROM instances i JOIN series se ON "
                                  "se.series_instance_uid = i.series_instance_uid WHERE se.study_instance_uid = :uid "
                                  "GROUP BY i.file_path ORDER BY MIN(i.rowid);")))
        return out;
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec())
        return out;
    while (q.next())
        out.append(textOf(q.value(0)));
    return out;
}

PatientBodyInfo Database::patientBodyInfo(const QString& studyInstanceUid) const
{
    PatientBodyInfo info;
    if (!m_db.isOpen())
        return info;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT p.sex, p.weight_kg, p.height_cm FROM studies st JOIN patients p ON "
                                  "p.patient_key = st.patient_key WHERE st.study_instance_uid = :uid LIMIT 1")))
        return info;
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec() || !q.next())
        return info;
    info.sex = textOf(q.value(0));
    info.weightKg = realOf(q.value(1));
    info.heightCm = realOf(q.value(2));
    return info;
}

bool Database::studyExists(const QString& studyInstanceUid) const
{
    if (!m_db.isOpen())
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT 1 FROM studies WHERE study_instance_uid = :uid LIMIT 1")))
        return false;
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    return q.exec() && q.next();
}

namespace {

std::optional<InstancePlace> instancePlaceIn(const QSqlDatabase& db, const QString& sopInstanceUid)
{
    if (!db.isOpen())
        return std::nullopt;
    QSqlQuery q(db);
    if (!q.prepare(QString::fromLatin1(kInstancePlace)) || !readInstancePlace(q, sopInstanceUid) || !q.next())
        return std::nullopt;
    return InstancePlace{q.value(0).toString(), q.value(1).toString()};
}

// A read-only connection of one thread to one index file, closed as the thread ends.
struct ThreadIndexReader
{
    QString connectionName;
    // The file it was opened on: an index file replaced under the same name (restored from a copy,
    // made anew) is opened again, not read through the old file's handle.
    quint64 device = 0;
    quint64 inode = 0;
    // Looked up for every object a retrieve receives: prepared once.
    std::unique_ptr<QSqlQuery> instancePlace;
    ~ThreadIndexReader()
    {
        instancePlace.reset();
        QSqlDatabase::database(connectionName, false).close();
        QSqlDatabase::removeDatabase(connectionName);
    }
};

// The calling thread's reader of the index file; null for an index held in memory.
ThreadIndexReader* threadIndexReader(const QString& indexPath)
{
    if (indexPath.isEmpty() || indexPath == QLatin1String(":memory:"))
        return nullptr;
    struct stat st = {};
    const bool known = ::stat(QFile::encodeName(indexPath).constData(), &st) == 0;
    thread_local std::map<QString, std::unique_ptr<ThreadIndexReader>> readers;
    std::unique_ptr<ThreadIndexReader>& reader = readers[indexPath];
    if (reader && (!known || reader->device != st.st_dev || reader->inode != st.st_ino))
        reader.reset();
    if (!reader) {
        reader = std::make_unique<ThreadIndexReader>();
        reader->connectionName = QStringLiteral("vavovivirur_reader_%1").arg(QUuid::createUuid().toString(QUuid::Id128));
        reader->device = st.st_dev;
        reader->inode = st.st_ino;
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), reader->connectionName);
        db.setDatabaseName(indexPath);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        db.open();
    }
    return reader.get();
}

QSqlDatabase threadReader(const QString& indexPath)
{
    const ThreadIndexReader* reader = threadIndexReader(indexPath);
    return reader ? QSqlDatabase::database(reader->connectionName, false) : QSqlDatabase();
}

} // namespace

std::optional<InstancePlace> Database::instancePlaceFromThread(const QString& indexPath, const QString& sopInstanceUid)
{
    ThreadIndexReader* reader = threadIndexReader(indexPath);
    if (!reader)
        return std::nullopt;
    if (!reader->instancePlace) {
        const QSqlDatabase db = QSqlDatabase::database(reader->connectionName, false);
        auto query = std::make_unique<QSqlQuery>(db);
        if (!db.isOpen() || !query->prepare(QString::fromLatin1(kInstancePlace)))
            return std::nullopt;
        reader->instancePlace = std::move(query);
    }
    QSqlQuery& q = *reader->instancePlace;
    std::optional<InstancePlace> place;
    if (readInstancePlace(q, sopInstanceUid) && q.next())
        place = InstancePlace{q.value(0).toString(), q.value(1).toString()};
    // Reset, so that the reader holds no lock between lookups.
    q.finish();
    return place;
}

std::optional<QList<StudyRecord>> Database::allStudiesFromThread(const QString& indexPath)
{
    return queryStudiesIn(threadReader(indexPath), QString::fromLatin1(kStudySelect) + QLatin1String(kAllStudiesOrder),
                          {});
}

std::optional<InstancePlace> Database::instancePlace(const QString& sopInstanceUid) const
{
    return instancePlaceIn(m_db, sopInstanceUid);
}

QString Database::filePath() const
{
    const QString name = m_db.databaseName();
    return name == QLatin1String(":memory:") ? QString() : name;
}

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
                             const std::function<bool(const QString&)>& removeLater)
{
    if (!requireOpen())
        return false;
    if (filePaths)
        filePaths->clear();
    if (!m_db.transaction()) {
        m_lastError = describe(m_db.lastError());
        return false;
    }
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
    if (filePaths || removeLater) {
        if (!q.exec(QStringLiteral("SELECT DISTINCT i.file_path FROM instances i JOIN series se ON "
                                   "se.series_instance_uid = i.series_instance_uid WHERE se.study_instance_uid "
                                   "IN (SELECT uid FROM temp.doomed_studies);")))
            return fail();
        QStringList paths;
        while (q.next())
            paths.append(textOf(q.value(0)));
        q.finish();
        if (removeLater) {
            if (!q.prepare(QStringLiteral("INSERT OR IGNORE INTO pending_removals (path) VALUES (:path);")))
                return fail();
            for (const QString& path : std::as_const(paths)) {
                if (!removeLater(path))
                    continue;
                q.bindValue(QStringLiteral(":path"), path);
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

QStringList Database::pendingRemovals() const
{
    QStringList paths;
    if (!m_db.isOpen())
        return paths;
    // A path that a row names again was indexed anew after its removal was planned.
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (q.exec(QStringLiteral("SELECT path FROM pending_removals "
                              "WHERE path NOT IN (SELECT file_path FROM instances);")))
        while (q.next())
            paths << textOf(q.value(0));
    return paths;
}

bool Database::forgetPendingRemovals(const QStringList& paths)
{
    if (paths.isEmpty())
        return true;
    if (!requireOpen())
        return false;
    if (!m_db.transaction()) {
        m_lastError = describe(m_db.lastError());
        return false;
    }
    QSqlQuery q(m_db);
    bool ok = q.prepare(QStringLiteral("DELETE FROM pending_removals WHERE path = :path;"));
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

bool Database::setStoreFolders(const QStringList& folders)
{
    QStringList wanted;
    for (const QString& folder : folders)
        if (!folder.isEmpty())
            wanted << QDir::cleanPath(folder) + QLatin1Char('/');
    wanted.removeDuplicates();
    wanted.sort();
    if (wanted == m_storeFolders)
        return true;
    if (!requireOpen())
        return false;
    if (!m_db.transaction()) {
        m_lastError = describe(m_db.lastError());
        return false;
    }
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
    ok = ok && q.prepare(QStringLiteral("UPDATE instances SET in_store = %1 WHERE in_store != %1;").arg(inStore));
    for (qsizetype i = 0; ok && i < wanted.size(); ++i)
        q.bindValue(QStringLiteral(":folder%1").arg(i), wanted[i]);
    ok = ok && q.exec();
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
    if (!m_db.transaction()) {
        m_lastError = describe(m_db.lastError());
        return -1;
    }
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

bool Database::checkIntegrity(QString* problem) const
{
    auto damaged = [problem](const QString& why) {
        if (problem)
            *problem = why;
        return false;
    };
    if (!m_db.isOpen())
        return damaged(QStringLiteral("база не открыта"));
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // Only a single "ok" says that every page and row could be read; anything else names a fault.
    if (!q.exec(QStringLiteral("PRAGMA quick_check;")))
        return damaged(errorText(q));
    QStringList said;
    while (q.next())
        said << textOf(q.value(0));
    if (q.lastError().isValid())
        return damaged(errorText(q));
    q.finish();
    if (said != QStringList{QStringLiteral("ok")})
        return damaged(said.isEmpty() ? QStringLiteral("проверка не дала ответа") : said.first());
    // A row whose path reads back empty names no file, so no file could be told to be unwanted.
    if (!q.exec(QStringLiteral("SELECT COUNT(*) FROM instances WHERE file_path IS NULL OR file_path = '';"))
        || !q.next())
        return damaged(errorText(q));
    if (const qint64 empty = q.value(0).toLongLong(); empty > 0)
        return damaged(QStringLiteral("строк без пути к файлу: %1").arg(empty));
    return true;
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

bool Database::visitFilePaths(const std::function<void(const QString&)>& visit) const
{
    if (!m_db.isOpen())
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT file_path FROM instances;")))
        return false;
    while (q.next())
        visit(textOf(q.value(0)));
    // A read that stopped early (a damaged page, a lock) ends like the last row; only the error tells.
    return !q.lastError().isValid();
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
