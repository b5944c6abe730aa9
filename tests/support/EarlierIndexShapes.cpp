#include "support/EarlierIndexShapes.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

#include <utility>

namespace fixtures {

namespace {

QStringList dropColumns(const char* table, const QStringList& columns)
{
    QStringList statements;
    for (const QString& column : columns)
        statements << QStringLiteral("ALTER TABLE %1 DROP COLUMN %2").arg(QLatin1String(table), column);
    return statements;
}

// What each version changed, newest first: the statements that take an index of the version after it
// back to it.
QList<std::pair<QString, QStringList>> steps()
{
    return {
        {QStringLiteral("before file versions"),
         {"DROP INDEX IF EXISTS instances_by_path", "ALTER TABLE instances DROP COLUMN file_version"}},
        // Store files were recorded whole, as written, before they were recorded relative to their folder.
        {QStringLiteral("before content digests"),
         QStringList{"ALTER TABLE instances DROP COLUMN content_digest",
                     "ALTER TABLE pending_removals DROP COLUMN content_digest",
                     "UPDATE instances SET file_path = (SELECT f.folder FROM store_folders f WHERE f.folder "
                     "LIKE '%/' || "
                     "substr(instances.file_path, 1, instr(instances.file_path, '/') - 1) || '/') || "
                     "substr(file_path, instr(file_path, '/') + 1) WHERE substr(file_path, 1, 1) != '/'",
                     "PRAGMA user_version = 1"}},
        {QStringLiteral("before pending sizes"), {"ALTER TABLE pending_removals DROP COLUMN file_size"}},
        {QStringLiteral("before own copies"),
         {"ALTER TABLE instances DROP COLUMN own_copy", "DROP TABLE left_unlisted",
          "ALTER TABLE pending_removals DROP COLUMN recorded"}},
        {QStringLiteral("before study totals"),
         QStringList{"DROP TRIGGER study_totals_instance_added", "DROP TRIGGER study_totals_instance_removed",
                     "DROP TRIGGER study_totals_instance_changed", "DROP TRIGGER study_totals_series_added",
                     "DROP TRIGGER study_totals_series_removed", "DROP TRIGGER study_totals_series_changed",
                     "DROP INDEX instances_unsized", "DROP TABLE store_folders"} +
             dropColumns("studies", {"series_count", "instance_count", "modalities", "store_bytes"}) +
             dropColumns("instances", {"file_size", "in_store"}) + QStringList{"PRAGMA user_version = 0"}},
        {QStringLiteral("before removal lists"),
         {"DROP TABLE pending_removals", "DROP TABLE unfinished_edits"}},
        {QStringLiteral("before import times"), {"ALTER TABLE studies DROP COLUMN imported_at"}},
        // One patient row per Patient ID, which every study without one shared.
        {QStringLiteral("before patient keys"),
         {"CREATE TABLE patients_by_id (patient_id TEXT PRIMARY KEY, patient_name TEXT, birth_date TEXT, sex "
          "TEXT, "
          "weight_kg REAL, height_cm REAL)",
          "INSERT OR IGNORE INTO patients_by_id SELECT patient_id, patient_name, birth_date, sex, weight_kg, "
          "height_cm "
          "FROM patients ORDER BY patient_key",
          "CREATE TABLE studies_by_id (study_instance_uid TEXT PRIMARY KEY, patient_id TEXT REFERENCES "
          "patients(patient_id), study_date TEXT, study_time TEXT, study_description TEXT, accession_number "
          "TEXT, "
          "referring_physician TEXT, is_protected INTEGER DEFAULT 0)",
          "INSERT INTO studies_by_id SELECT st.study_instance_uid, p.patient_id, st.study_date, "
          "st.study_time, "
          "st.study_description, st.accession_number, st.referring_physician, st.is_protected FROM studies "
          "st "
          "LEFT JOIN patients p ON p.patient_key = st.patient_key",
          "DROP TABLE studies", "DROP TABLE patients", "ALTER TABLE patients_by_id RENAME TO patients",
          "ALTER TABLE studies_by_id RENAME TO studies",
          "CREATE INDEX idx_studies_patient ON studies(patient_id)"}},
        {QStringLiteral("earliest"),
         QStringList{"DROP INDEX idx_instances_series"} +
             dropColumns("instances",
                         {"repetition_time", "echo_time", "image_position_x", "image_position_y",
                          "image_position_z", "orientation_row_x", "orientation_row_y", "orientation_row_z",
                          "orientation_col_x", "orientation_col_y", "orientation_col_z", "has_spatial_info",
                          "frame_index", "acquisition_time_seconds", "temporal_position_index",
                          "frame_of_reference_uid", "trigger_time_ms", "cardiac_number_of_images"}) +
             dropColumns("studies", {"is_protected"}) + dropColumns("series", {"laterality"}) +
             dropColumns("patients", {"weight_kg", "height_cm"})},
    };
}

} // namespace

QStringList earlierIndexVersions()
{
    QStringList versions;
    for (const auto& [version, statements] : steps())
        versions << version;
    return versions;
}

QString shapeAsEarlierIndex(const QString& indexPath, const QString& version)
{
    if (!earlierIndexVersions().contains(version))
        return QStringLiteral("no such version: ") + version;
    const QString name = QStringLiteral("earlier_%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(indexPath);
        QSqlQuery q(db);
        if (!db.open()) {
            failure = db.lastError().text();
        } else {
            for (const auto& [step, statements] : steps()) {
                for (const QString& sql : statements)
                    if (failure.isEmpty() && !q.exec(sql))
                        failure = q.lastError().text() + QStringLiteral(" in: ") + sql;
                if (step == version)
                    break;
            }
        }
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return failure;
}

} // namespace fixtures
