#include "db/Database.h"
#include "db/DatabaseSql.h"
#include "db/FrameRows.h"

#include "dicom/DicomFileSummary.h"
#include "dicom/FileIdentity.h"

#include <QFileInfo>
#include <QHash>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace db {

using namespace sql;

namespace {

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

// A file indexed again is wanted: a removal still pending for its path must not take it, and a
// removal from the list no longer holds for it.
const char* const kKeepPath = "DELETE FROM pending_removals WHERE path = :path;";
const char* const kKeepListed = "DELETE FROM left_unlisted WHERE path = :path;";

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
    "cardiac_number_of_images, file_path, file_size, in_store, own_copy, content_digest, file_version) "
    "VALUES (:uid, :series_uid, :inum, :rows, :cols, :frames, :psx, :psy, :thick, :loc, :wc, :ww, :slope, "
    ":intercept, :tr, :te, :ipx, :ipy, :ipz, :orx, :ory, :orz, :ocx, :ocy, :ocz, :hasspatial, :frameidx, "
    ":acqtime, :temporalidx, :forUid, :triggertime, :cardiacnimages, :path, :size, :instore, :own, :digest, "
    ":version) "
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
    "cardiac_number_of_images = excluded.cardiac_number_of_images, "
    // The same file found again (a folder imported that holds the program's copies) is still the
    // program's, known by the bytes it wrote; a row that moves to another file takes what is known of
    // that one.
    "own_copy = CASE WHEN instances.file_path = excluded.file_path AND COALESCE(excluded.own_copy, 0) = 0 "
    "THEN instances.own_copy ELSE excluded.own_copy END, "
    "content_digest = CASE WHEN instances.file_path = excluded.file_path AND COALESCE(excluded.own_copy, 0) "
    "= 0 "
    "THEN instances.content_digest ELSE excluded.content_digest END, "
    "file_path = excluded.file_path, file_size = excluded.file_size, in_store = excluded.in_store, "
    "file_version = excluded.file_version;";

// The rows that name a file, with the series and study of each: those of another object than the one
// the file is indexed with now are rows of an object the file no longer holds.
const char* const kRowsAtPath =
    "SELECT i.sop_instance_uid, i.series_instance_uid, se.study_instance_uid, i.frame_index FROM instances i "
    "LEFT JOIN series se ON se.series_instance_uid = i.series_instance_uid WHERE i.file_path = :path;";
const char* const kDropRow = "DELETE FROM instances WHERE sop_instance_uid = :key;";

} // namespace

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
    if (!requireOpen() || !prepareWriteStatements() || !beginWrite())
        return failAll(m_lastError);
    // Each file's rows land together or not at all; a file refused in a batch leaves the others in.
    const bool batch = summaries.size() > 1;
    QSqlQuery savepoint(m_db);
    QStringList written;
    ParentsWritten parents;
    ReplacedRows replaced;
    for (const dicom::DicomFileSummary& s : summaries) {
        if (batch && !savepoint.exec(QStringLiteral("SAVEPOINT one_file;"))) {
            const QString why = errorText(savepoint);
            m_db.rollback();
            return failAll(why);
        }
        ReplacedRows replacedHere;
        const bool ok = writeFileRows(s, nullptr, &parents, &replacedHere);
        errors << (ok ? QString() : m_lastError);
        if (ok) {
            replaced.files << replacedHere.files;
            replaced.studies << replacedHere.studies;
            written << s.studyInstanceUid;
            // A file refused is rolled back to its savepoint: the rows stay as the last one left them.
            parents.file = &s;
            parents.patientKey = parents.writtenKey;
        }
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
    written << replaced.studies;
    written.removeDuplicates();
    announceReplaced(replaced);
    emit studiesWritten(written);
    return errors;
}

void Database::announceReplaced(ReplacedRows replaced)
{
    if (replaced.files.isEmpty())
        return;
    replaced.studies.removeDuplicates();
    for (const QString& study : std::as_const(replaced.studies))
        emit studyChanged(study);
    emit replacedFilesIndexed(replaced.files);
}

bool Database::reindexEditedFile(const dicom::DicomFileSummary& before, const dicom::DicomFileSummary& after)
{
    bool written = requireOpen() && prepareWriteStatements() && beginWrite();
    ReplacedRows replaced;
    if (written) {
        written = writeFileRows(after, &before, nullptr, &replaced);
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
    if (written) {
        announceReplaced(replaced);
        emit studiesWritten(QStringList{before.studyInstanceUid, after.studyInstanceUid} + replaced.studies);
    }
    return written;
}

bool Database::isStorePath(const QString& path) const
{
    for (const QString& folder : m_storeFolders)
        if (path.startsWith(folder))
            return true;
    return false;
}

namespace {

// Whether a file writes its patient, study and series rows exactly as another did.
bool sameParents(const dicom::DicomFileSummary& a, const dicom::DicomFileSummary& b)
{
    return a.patientId == b.patientId && a.patientName == b.patientName && a.birthDate == b.birthDate
        && a.sex == b.sex && a.weightKg == b.weightKg && a.heightCm == b.heightCm
        && a.studyInstanceUid == b.studyInstanceUid && a.studyDate == b.studyDate && a.studyTime == b.studyTime
        && a.studyDescription == b.studyDescription && a.accessionNumber == b.accessionNumber
        && a.referringPhysician == b.referringPhysician && a.seriesInstanceUid == b.seriesInstanceUid
        && a.seriesNumber == b.seriesNumber && a.seriesDescription == b.seriesDescription
        && a.modality == b.modality && a.bodyPartExamined == b.bodyPartExamined && a.laterality == b.laterality;
}

} // namespace

bool Database::pruneLeftParents(const QStringList& series, const QStringList& studies,
                                QList<qint64>* leftPatients)
{
    auto run = [this](const char* sql, const QString& name, const QString& value) {
        QSqlQuery q(m_db);
        q.prepare(QString::fromLatin1(sql));
        q.bindValue(name, value);
        if (q.exec())
            return true;
        m_lastError = errorText(q);
        return false;
    };
    for (const QString& uid : series)
        if (!run("DELETE FROM series WHERE series_instance_uid = :series AND NOT EXISTS "
                 "(SELECT 1 FROM instances WHERE series_instance_uid = :series);",
                 QStringLiteral(":series"), uid))
            return false;
    for (const QString& uid : studies) {
        QSqlQuery q(m_db);
        q.prepare(QString::fromLatin1(kStudyPatient));
        q.bindValue(QStringLiteral(":uid"), uid);
        if (!q.exec()) {
            m_lastError = errorText(q);
            return false;
        }
        if (q.next() && !q.value(0).isNull())
            leftPatients->append(q.value(0).toLongLong());
        q.finish();
        if (!run("DELETE FROM studies WHERE study_instance_uid = :study AND NOT EXISTS "
                 "(SELECT 1 FROM series WHERE study_instance_uid = :study);",
                 QStringLiteral(":study"), uid))
            return false;
    }
    return true;
}

bool Database::writeFileRows(const dicom::DicomFileSummary& s, const dicom::DicomFileSummary* before,
                             ParentsWritten* parents, ReplacedRows* replaced)
{
    // Rows keyed by an empty UID would never conflict with their own re-indexing and pile up.
    if (s.studyInstanceUid.isEmpty() || s.seriesInstanceUid.isEmpty() || s.sopInstanceUid.isEmpty()) {
        m_lastError = QStringLiteral("В файле нет UID исследования, серии или изображения: %1").arg(s.filePath);
        return false;
    }
    const ObjectKeys keys = ObjectKeys::of(s);

    // An edited file's rows move with it to its new series, keeping their place in the study's file
    // order; under a new SOP Instance UID they name another object and go. The series, study and
    // patient they leave empty go once the new rows are written.
    bool wasProtected = false;
    // An edited copy of the program's stays its own, under whatever UIDs it now has.
    QVariant ownCopy = s.ownCopy ? 1 : 0;
    // The edited file's rows by their path as recorded, which names the file read (placedPath).
    QString beforeWritten = before ? recordedPath(before->filePath) : QString();
    if (before) {
        QSqlQuery q(m_db);
        {
            QSqlQuery written(m_db);
            written.prepare(QStringLiteral("SELECT file_path, own_copy FROM instances WHERE sop_instance_uid = :sop;"));
            written.bindValue(QStringLiteral(":sop"), before->sopInstanceUid);
            if (!written.exec())
                return failWrite(written);
            if (written.next() && placedPath(textOf(written.value(0)), written.value(1)) == before->filePath)
                beforeWritten = textOf(written.value(0));
        }
        if (!q.prepare(QStringLiteral("SELECT is_protected FROM studies WHERE study_instance_uid = :study;")))
            return failWrite(q);
        q.bindValue(QStringLiteral(":study"), before->studyInstanceUid);
        if (!q.exec())
            return failWrite(q);
        wasProtected = q.next() && q.value(0).toInt() != 0;
        q.finish();
        if (!s.ownCopy) {
            q.prepare(QStringLiteral("SELECT own_copy FROM instances WHERE series_instance_uid = :series "
                                     "AND file_path = :path ORDER BY frame_index LIMIT 1;"));
            q.bindValue(QStringLiteral(":series"), before->seriesInstanceUid);
            q.bindValue(QStringLiteral(":path"), beforeWritten);
            if (!q.exec())
                return failWrite(q);
            if (q.next() && before->filePath == s.filePath)
                ownCopy = q.value(0);
            q.finish();
        }
        if (before->sopInstanceUid != s.sopInstanceUid) {
            q.prepare(QStringLiteral(
                "DELETE FROM instances WHERE series_instance_uid = :series AND file_path = :path;"));
            q.bindValue(QStringLiteral(":series"), before->seriesInstanceUid);
            q.bindValue(QStringLiteral(":path"), beforeWritten);
            if (!q.exec())
                return failWrite(q);
        }
    }

    // Another file of this transaction left the patient, study and series rows as this one would
    // write them: the study keeps its patient, and none is left.
    const bool parentsAsWritten = !before && parents && parents->file && sameParents(*parents->file, s);
    // The patient the study had before this file: when the file moves the study to another patient,
    // a patient left without studies goes.
    QList<qint64> leftPatients;
    qint64 patientKey = parentsAsWritten ? parents->patientKey : 0;
    if (!parentsAsWritten) {
        QSqlQuery& q = m_write->studyPatient;
        q.bindValue(QStringLiteral(":uid"), s.studyInstanceUid);
        if (!q.exec())
            return failWrite(q);
        if (q.next() && !q.value(0).isNull())
            leftPatients << q.value(0).toLongLong();
        q.finish();
    }
    if (!parentsAsWritten) {
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
            return failWrite(q);
        QSqlQuery& key = m_write->patientKey;
        key.bindValue(QStringLiteral(":id"), nonNull(s.patientId));
        key.bindValue(QStringLiteral(":name"), nonNull(s.patientName));
        key.bindValue(QStringLiteral(":birth"), nonNull(s.birthDate));
        key.bindValue(QStringLiteral(":sole"), sole);
        if (!key.exec())
            return failWrite(key);
        if (!key.next()) {
            m_lastError = QStringLiteral("Запись пациента не найдена после записи: %1").arg(s.filePath);
            m_write->finish();
            return false;
        }
        patientKey = key.value(0).toLongLong();
        key.finish();
    }
    if (!parentsAsWritten) {
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
            return failWrite(q);
    }
    if (!parentsAsWritten) {
        QSqlQuery& q = m_write->series;
        q.bindValue(QStringLiteral(":uid"), nonNull(s.seriesInstanceUid));
        q.bindValue(QStringLiteral(":study_uid"), nonNull(s.studyInstanceUid));
        q.bindValue(QStringLiteral(":num"), nonNull(s.seriesNumber));
        q.bindValue(QStringLiteral(":desc"), nonNull(s.seriesDescription));
        q.bindValue(QStringLiteral(":modality"), nonNull(s.modality));
        q.bindValue(QStringLiteral(":body_part"), nonNull(s.bodyPartExamined));
        q.bindValue(QStringLiteral(":laterality"), nonNull(s.laterality));
        if (!q.exec())
            return failWrite(q);
    }
    if (before && before->sopInstanceUid == s.sopInstanceUid) {
        // Now that the new series has its row, the file's rows can point at it.
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("UPDATE instances SET series_instance_uid = :to "
                                 "WHERE series_instance_uid = :series AND file_path = :path;"));
        q.bindValue(QStringLiteral(":to"), s.seriesInstanceUid);
        q.bindValue(QStringLiteral(":series"), before->seriesInstanceUid);
        q.bindValue(QStringLiteral(":path"), beforeWritten);
        if (!q.exec())
            return failWrite(q);
    }

    const QString recorded = recordedPath(s.filePath);
    // The version of the file as it was before its summary was read: a file replaced since is another
    // one. A copy of the program's, which nothing else writes in its folders, is taken as it is now
    // when its summary was read off other bytes (as received, or before it was copied). Otherwise
    // none is kept, and the file is read again before its rows are believed.
    QString version;
    if (s.readFrom.path == s.filePath)
        version = s.readFrom.version.text();
    else if (ownCopy.toInt() == 1)
        version = dicom::fileIdentity(s.filePath).text();

    // Rows of another object that name this file name an object it no longer holds (another disc's
    // files copied over a folder's, which is imported again): they go, and so do a series, study and
    // patient they leave without rows.
    QStringList leftSeries;
    QStringList leftStudies;
    {
        QSqlQuery& atPath = m_write->rowsAtPath;
        atPath.bindValue(QStringLiteral(":path"), recorded);
        if (!atPath.exec())
            return failWrite(atPath);
        QStringList otherKeys;
        while (atPath.next()) {
            const QString key = textOf(atPath.value(0));
            if (ObjectKeys::objectOfKey(key, atPath.value(3).toInt()) == s.sopInstanceUid)
                continue;
            otherKeys << key;
            if (const QString series = textOf(atPath.value(1)); !leftSeries.contains(series))
                leftSeries << series;
            const QString study = textOf(atPath.value(2));
            if (!study.isEmpty() && !leftStudies.contains(study))
                leftStudies << study;
        }
        atPath.finish();
        if (!dropRows(otherKeys))
            return false;
    }

    // An object of another series or study under this UID is not written over: a sender that reused
    // a UID by mistake must not make one patient's image show in another's study. The same object
    // indexed again, or moved on purpose by an edit, keeps its UID and goes on. Nor is another object's
    // row under one of the object's keys: a UID from outside may equal another object's frame key
    // ("<UID>#f<n>"), or a frame key this object writes may equal another object's UID. Whichever came
    // first keeps its row. Judged once the file's own rows of another object went (above): those are of
    // an object the file no longer holds, not one the file's would be written over.
    FramesPastLast pastLast;
    {
        KeyClash clash = KeyClash::None;
        QString holder;
        if (!readKeyClash(m_write->keyRows, keys, &clash, &holder, &pastLast))
            return failWrite(m_write->keyRows);
        const bool sameObjectEdited = before && before->sopInstanceUid == s.sopInstanceUid;
        if (clash == KeyClash::OtherObject) {
            m_write->finish();
            m_lastError = QStringLiteral("Объект с UID %1 занял бы в базе запись другого объекта (UID %2); "
                                         "файл %3 не добавлен")
                              .arg(s.sopInstanceUid, holder, s.filePath);
            return false;
        }
        if (clash == KeyClash::OtherPlace && !sameObjectEdited) {
            m_write->finish();
            m_lastError = QStringLiteral("Объект с UID %1 уже есть в базе в другой серии или в другом исследовании; "
                                         "файл %2 не добавлен")
                              .arg(s.sopInstanceUid, s.filePath);
            return false;
        }
    }

    // Rows of frames its file held when written before (the object sent again with fewer) go with the
    // rows of the frames it holds now, so that no row names a frame its file does not have.
    if (!dropRows(pastLast.keys) || !writeFrameRows(s, ownCopy, version))
        return false;
    for (QSqlQuery* keep : {&m_write->keepPath, &m_write->keepListed}) {
        keep->bindValue(QStringLiteral(":path"), recorded);
        if (!keep->exec())
            return failWrite(*keep);
    }
    m_write->finish();
    if (before && !moveEditedParents(*before, s, wasProtected, &leftPatients))
        return false;
    if (!pruneLeftParents(leftSeries + pastLast.series, leftStudies + pastLast.studies, &leftPatients))
        return false;
    if (replaced && !leftSeries.isEmpty()) {
        replaced->files << s.filePath;
        for (const QString& study : std::as_const(leftStudies))
            if (!replaced->studies.contains(study))
                replaced->studies << study;
    }
    if (!pruneLeftPatients(leftPatients, patientKey))
        return false;
    if (parents)
        parents->writtenKey = patientKey;
    return true;
}

bool Database::writeFrameRows(const dicom::DicomFileSummary& s, const QVariant& ownCopy, const QString& version)
{
    // The file's size goes with its first row only, so that its study's total counts it once; so does
    // the digest of a copy of the program's, by which its removal knows it.
    const qint64 fileSize = QFileInfo(s.filePath).size();
    const QString recorded = recordedPath(s.filePath);
    const int inStore = recorded != s.filePath || isStorePath(s.filePath) ? 1 : 0;
    const QVariant digest =
        ownCopy.toInt() == 1 && !s.contentDigest.isEmpty() ? QVariant(s.contentDigest) : QVariant();
    const ObjectKeys keys = ObjectKeys::of(s);
    const FrameRows frames(s);
    QSqlQuery& q = m_write->instance;
    for (int f = 0; f < frames.count(); ++f) {
        const InstanceRecord r = frames.frame(f);
        q.bindValue(QStringLiteral(":uid"), keys.key(f));
        q.bindValue(QStringLiteral(":series_uid"), nonNull(s.seriesInstanceUid));
        q.bindValue(QStringLiteral(":inum"), qlonglong(r.instanceNumber));
        q.bindValue(QStringLiteral(":rows"), s.rows);
        q.bindValue(QStringLiteral(":cols"), s.columns);
        q.bindValue(QStringLiteral(":frames"), s.numberOfFrames);
        q.bindValue(QStringLiteral(":psx"), r.pixelSpacingX);
        q.bindValue(QStringLiteral(":psy"), r.pixelSpacingY);
        q.bindValue(QStringLiteral(":thick"), r.sliceThickness);
        q.bindValue(QStringLiteral(":loc"), r.sliceLocation);
        q.bindValue(QStringLiteral(":wc"), s.windowCenter);
        q.bindValue(QStringLiteral(":ww"), s.windowWidth);
        q.bindValue(QStringLiteral(":slope"), s.rescaleSlope);
        q.bindValue(QStringLiteral(":intercept"), s.rescaleIntercept);
        q.bindValue(QStringLiteral(":tr"), r.repetitionTime);
        q.bindValue(QStringLiteral(":te"), r.echoTime);
        q.bindValue(QStringLiteral(":ipx"), r.imagePosition[0]);
        q.bindValue(QStringLiteral(":ipy"), r.imagePosition[1]);
        q.bindValue(QStringLiteral(":ipz"), r.imagePosition[2]);
        q.bindValue(QStringLiteral(":orx"), r.orientationRow[0]);
        q.bindValue(QStringLiteral(":ory"), r.orientationRow[1]);
        q.bindValue(QStringLiteral(":orz"), r.orientationRow[2]);
        q.bindValue(QStringLiteral(":ocx"), r.orientationCol[0]);
        q.bindValue(QStringLiteral(":ocy"), r.orientationCol[1]);
        q.bindValue(QStringLiteral(":ocz"), r.orientationCol[2]);
        q.bindValue(QStringLiteral(":hasspatial"), r.hasSpatialInfo ? 1 : 0);
        q.bindValue(QStringLiteral(":frameidx"), f);
        q.bindValue(QStringLiteral(":acqtime"), r.acquisitionTimeSeconds);
        q.bindValue(QStringLiteral(":temporalidx"), r.temporalPositionIndex);
        q.bindValue(QStringLiteral(":forUid"), nonNull(r.frameOfReferenceUid));
        q.bindValue(QStringLiteral(":triggertime"), r.triggerTimeMs);
        q.bindValue(QStringLiteral(":cardiacnimages"), r.cardiacNumberOfImages);
        q.bindValue(QStringLiteral(":path"), recorded); // a file without a path is refused (NOT NULL)
        q.bindValue(QStringLiteral(":size"), qlonglong(f == 0 ? fileSize : 0));
        q.bindValue(QStringLiteral(":instore"), inStore);
        q.bindValue(QStringLiteral(":own"), ownCopy);
        q.bindValue(QStringLiteral(":digest"), f == 0 ? digest : QVariant());
        q.bindValue(QStringLiteral(":version"), version);
        if (!q.exec())
            return failWrite(q);
    }
    return true;
}

bool Database::writeRowsAgain(const Findings::Reading& reading, bool* written)
{
    *written = false;
    // Its new frames' keys are looked at as any file's are before they are written: one of them may be
    // another object's (a UID from outside may equal a frame key).
    const ObjectKeys keys = ObjectKeys::of(*reading.summary);
    KeyClash clash = KeyClash::None;
    FramesPastLast pastLast;
    if (!readKeyClash(m_write->keyRows, keys, &clash, nullptr, &pastLast))
        return failWrite(m_write->keyRows);
    if (clash != KeyClash::None)
        return true;
    // Who wrote the file stays as its rows record it, the new frames' rows included; so does the digest
    // of the bytes the program wrote, which its bytes now are not.
    dicom::DicomFileSummary s = *reading.summary;
    s.filePath = reading.path; // recorded as its rows record it
    QVariant ownCopy;
    {
        QSqlQuery q(m_db);
        q.prepare(QStringLiteral("SELECT own_copy, content_digest, file_path, file_version FROM instances "
                                 "WHERE sop_instance_uid = :key;"));
        q.bindValue(QStringLiteral(":key"), keys.key(0));
        if (!q.exec())
            return failWrite(q);
        // Another connection may have written since the listing read them: removed (the study taken off
        // the list), or indexed again from another file or reading. Its rows are then that writer's, and
        // the listing gives the reading without writing it.
        if (!q.next() || textOf(q.value(2)) != recordedPath(reading.path)
            || textOf(q.value(3)) != reading.listedVersion)
            return true;
        ownCopy = q.value(0);
        s.contentDigest = q.value(1).toByteArray();
    }
    if (!dropRows(pastLast.keys) || !writeFrameRows(s, ownCopy, reading.version))
        return false;
    m_write->finish();
    // Rows past its last frame in another series than the listed one may leave it empty.
    QList<qint64> leftPatients;
    if (!pruneLeftParents(pastLast.series, pastLast.studies, &leftPatients) || !pruneLeftPatients(leftPatients))
        return false;
    *written = true;
    return true;
}

bool Database::failWrite(const QSqlQuery& q)
{
    m_lastError = errorText(q);
    m_write->finish();
    return false;
}

bool Database::dropRows(const QStringList& keys)
{
    QSqlQuery& drop = m_write->dropRow;
    for (const QString& key : keys) {
        drop.bindValue(QStringLiteral(":key"), key);
        if (!drop.exec())
            return failWrite(drop);
    }
    return true;
}

bool Database::pruneLeftPatients(const QList<qint64>& patientKeys, qint64 kept)
{
    QSqlQuery& prune = m_write->prunePatient;
    for (const qint64 key : patientKeys) {
        if (key == kept)
            continue;
        prune.bindValue(QStringLiteral(":key"), qlonglong(key));
        if (!prune.exec())
            return failWrite(prune);
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
        {&statements->prunePatient, kPrunePatient},   {&statements->keyRows, kObjectKeyRows},
        {&statements->keepPath, kKeepPath},           {&statements->keepListed, kKeepListed},
        {&statements->rowsAtPath, kRowsAtPath},       {&statements->dropRow, kDropRow}};
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

bool Database::forgetFiles(const QStringList& filePaths)
{
    if (filePaths.isEmpty())
        return true;
    if (!requireOpen() || !prepareWriteStatements() || !beginWrite())
        return false;
    QHash<QString, QString> studyOfSeries; // of the rows that go
    QSqlQuery drop(m_db);
    QSqlQuery* failed =
        drop.prepare(QStringLiteral("DELETE FROM instances WHERE file_path = :path;")) ? nullptr : &drop;
    for (const QString& path : filePaths) {
        if (failed)
            break;
        QSqlQuery& atPath = m_write->rowsAtPath;
        atPath.bindValue(QStringLiteral(":path"), recordedPath(path));
        if (!atPath.exec()) {
            failed = &atPath;
            break;
        }
        while (atPath.next())
            studyOfSeries.insert(textOf(atPath.value(1)), textOf(atPath.value(2)));
        atPath.finish();
        drop.bindValue(QStringLiteral(":path"), recordedPath(path));
        if (!drop.exec())
            failed = &drop;
    }
    if (failed)
        m_lastError = errorText(*failed);
    QStringList studies;
    for (const QString& study : std::as_const(studyOfSeries))
        if (!study.isEmpty() && !studies.contains(study))
            studies << study;
    QList<qint64> leftPatients;
    const bool ok =
        !failed && pruneLeftParents(studyOfSeries.keys(), studies, &leftPatients) && pruneLeftPatients(leftPatients);
    drop.finish();
    m_write->finish();
    if (!endTransaction(ok))
        return false;
    for (const QString& study : std::as_const(studies))
        emit studyChanged(study);
    emit studiesWritten(studies);
    return true;
}

} // namespace db
