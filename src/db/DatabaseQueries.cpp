#include "db/Database.h"
#include "db/DatabaseSql.h"
#include "db/FrameRows.h"
#include "db/ObjectKeys.h"
#include "dicom/DicomFileSummary.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace db {

using namespace sql;

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

// What an InstanceRecord is read from, in the order instanceRecord reads it.
const char* const kInstanceColumns =
    "file_path, instance_number, pixel_spacing_x, pixel_spacing_y, slice_thickness, slice_location, "
    "repetition_time, echo_time, image_position_x, image_position_y, image_position_z, orientation_row_x, "
    "orientation_row_y, orientation_row_z, orientation_col_x, orientation_col_y, orientation_col_z, "
    "has_spatial_info, frame_index, acquisition_time_seconds, temporal_position_index, "
    "frame_of_reference_uid, trigger_time_ms, cardiac_number_of_images, own_copy";
constexpr int kInstanceColumnCount = 25;

} // namespace

QString Database::placedPath(const QString& written, const QVariant& ownCopy) const
{
    return placeRecorded(written, ownCopy, m_storeFolders);
}

QString Database::recordedPath(const QString& path) const
{
    return recordedForm(path, m_storeFolders);
}

IndexedFile Database::indexedFile(const QSqlQuery& q, bool* placedInStore) const
{
    IndexedFile file = indexedFileOf(q);
    file.filePath = placedPath(file.filePath, q.value(1));
    if (placedInStore)
        *placedInStore = q.value(kIndexedFileInStore).toInt() == 1 || file.filePath != textOf(q.value(0));
    return file;
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

QList<InstanceRecord> Database::instancesForSeries(const QString& seriesInstanceUid, int* replacedFiles) const
{
    if (replacedFiles)
        *replacedFiles = 0;
    if (!m_db.isOpen())
        return {};
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT %1, sop_instance_uid, file_version, rowid, number_of_frames "
                                  "FROM instances "
                                  "WHERE series_instance_uid = :uid ORDER BY instance_number ASC;")
                       .arg(QLatin1String(kInstanceColumns))))
        return {};
    q.bindValue(QStringLiteral(":uid"), seriesInstanceUid);
    if (!q.exec())
        return {};
    ListedRows rows;
    while (q.next())
        rows.add(instanceRecord(q), q);
    return rowsWhoseFilesHoldThem(rows, seriesInstanceUid, replacedFiles);
}

QList<InstanceRecord> Database::instancesOfObjects(const QString& seriesInstanceUid,
                                                   const QStringList& sopInstanceUids) const
{
    if (!m_db.isOpen() || sopInstanceUids.isEmpty())
        return {};
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // A frame's row is keyed "<SOP UID>#f<frame>": one range of the key's own index holds the object's
    // rows, however large its series. The series is only checked ("+"): SQLite would otherwise walk the
    // whole series by its index, which it takes for the narrower one.
    if (!q.prepare(QStringLiteral("SELECT %1, sop_instance_uid, file_version, rowid, number_of_frames "
                                  "FROM instances "
                                  "WHERE sop_instance_uid >= :first AND sop_instance_uid < :past "
                                  "AND +series_instance_uid = :series;")
                       .arg(QLatin1String(kInstanceColumns))))
        return {};
    ListedRows rows;
    for (const QString& uid : sopInstanceUids) {
        q.bindValue(QStringLiteral(":first"), uid);
        q.bindValue(QStringLiteral(":past"), uid + QStringLiteral("#g"));
        q.bindValue(QStringLiteral(":series"), seriesInstanceUid);
        if (!q.exec())
            return {};
        while (q.next()) {
            // The range also holds keys of other objects that only begin with this UID.
            const InstanceRecord record = instanceRecord(q);
            if (ObjectKeys::objectOfKey(textOf(q.value(kInstanceColumnCount)), record.frameIndex) == uid)
                rows.add(record, q);
        }
    }
    QList<InstanceRecord> out = rowsWhoseFilesHoldThem(rows, seriesInstanceUid, nullptr);
    std::stable_sort(out.begin(), out.end(), [](const InstanceRecord& a, const InstanceRecord& b) {
        return a.instanceNumber < b.instanceNumber;
    });
    return out;
}

void Database::ListedRows::add(const InstanceRecord& record, const QSqlQuery& q)
{
    objects.append(ObjectKeys::objectOfKey(textOf(q.value(kInstanceColumnCount)), record.frameIndex));
    versions.append(textOf(q.value(kInstanceColumnCount + 1)));
    rowIds.append(q.value(kInstanceColumnCount + 2).toLongLong());
    framesWritten.append(q.value(kInstanceColumnCount + 3).toInt());
    records.append(record);
}

QList<InstanceRecord> Database::rowsWhoseFilesHoldThem(const ListedRows& rows,
                                                       const QString& seriesInstanceUid,
                                                       int* replacedFiles) const
{
    QString studyUid;
    {
        QSqlQuery study(m_db);
        study.prepare(
            QStringLiteral("SELECT study_instance_uid FROM series WHERE series_instance_uid = :uid;"));
        study.bindValue(QStringLiteral(":uid"), seriesInstanceUid);
        if (study.exec() && study.next())
            studyUid = textOf(study.value(0));
    }
    // The rows' files, one for each file and object, and which of them each row names.
    QList<ListedFile> files;
    QHash<QString, qsizetype> fileOf;
    QList<qsizetype> rowFile;
    for (qsizetype row = 0; row < rows.records.size(); ++row) {
        const QString& path = rows.records.at(row).filePath;
        const QString key = path + QLatin1Char('\n') + rows.objects.at(row);
        auto it = fileOf.constFind(key);
        if (it == fileOf.constEnd()) {
            it = fileOf.insert(key, files.size());
            files.append({path, rows.objects.at(row), seriesInstanceUid, studyUid, rows.versions.at(row)});
        }
        rowFile.append(it.value());
    }
    const QList<RowFileProof::Found> found = m_rowFiles.check(files);
    // A file read again that holds its rows' object gives them as it holds it now: every frame it has,
    // each with the values read (its frames may lie elsewhere now, or be more or fewer), never a row's
    // old value beside its new pixels.
    QList<QList<InstanceRecord>> readRows(files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        const RowFileProof::Found& file = found.at(i);
        if (file.holds != RowFileProof::Holds::Again || !file.reading)
            continue;
        const FrameRows frames(*file.reading);
        for (int f = 0; f < frames.count(); ++f) {
            InstanceRecord record = frames.frame(f);
            record.filePath = files.at(i).path;
            record.sopInstanceUid = files.at(i).sopInstanceUid;
            record.fileVersion = file.version;
            readRows[i].append(record);
        }
    }
    // The frames each file not read again holds, as its object's first row was last written (an earlier
    // version indexing a file again with fewer frames left the rows of the others behind). A series of
    // one-frame files (most of them) has no row past a file's last, and is not looked at.
    const bool laterFrames = std::any_of(rows.records.cbegin(), rows.records.cend(),
                                         [](const InstanceRecord& record) { return record.frameIndex > 0; });
    QList<int> framesHeld(laterFrames ? files.size() : 0, 0);
    for (qsizetype row = 0; laterFrames && row < rows.records.size(); ++row)
        if (rows.records.at(row).frameIndex == 0)
            framesHeld[rowFile.at(row)] = rows.framesWritten.at(row);
    Findings findings;
    QList<QList<InstanceRecord>> listedRows(files.size()); // of the files read again, as listed
    int other = 0;
    for (const RowFileProof::Found& file : found)
        other += file.holds == RowFileProof::Holds::Other ? 1 : 0;
    QList<InstanceRecord> held;
    held.reserve(rows.records.size());
    for (qsizetype row = 0; row < rows.records.size(); ++row) {
        const qsizetype fileIndex = rowFile.at(row);
        const RowFileProof::Found& file = found.at(fileIndex);
        if (file.holds == RowFileProof::Holds::Other)
            continue;
        if (!readRows.at(fileIndex).isEmpty()) {
            // In the place of the file's first row; the order by instance number is made again below.
            if (listedRows.at(fileIndex).isEmpty())
                held.append(readRows.at(fileIndex));
            InstanceRecord record = rows.records.at(row);
            record.sopInstanceUid = rows.objects.at(row);
            record.fileVersion = file.version;
            listedRows[fileIndex].append(record);
            continue;
        }
        // Left out, never listed to be drawn as the file's last frame; it goes where the object's first
        // row stays in the series, so that no series is left without rows by it.
        if (laterFrames && framesHeld.at(fileIndex) > 0
            && rows.records.at(row).frameIndex >= framesHeld.at(fileIndex)) {
            findings.pastLast.append(rows.rowIds.at(row));
            continue;
        }
        if (file.holds == RowFileProof::Holds::Again)
            findings.versions.append({rows.rowIds.at(row), file.version});
        InstanceRecord record = rows.records.at(row);
        record.sopInstanceUid = rows.objects.at(row);
        if (file.holds == RowFileProof::Holds::Listed)
            record.fileVersion = rows.versions.at(row);
        else if (file.holds == RowFileProof::Holds::Again)
            record.fileVersion = file.version;
        held.append(record);
    }
    QList<qsizetype> reread; // the files whose rows are given as read
    for (qsizetype i = 0; i < files.size(); ++i) {
        if (listedRows.at(i).isEmpty())
            continue;
        reread.append(i);
        findings.readings.append(
            {found.at(i).reading.get(), files.at(i).path, found.at(i).version, files.at(i).version,
             int(listedRows.at(i).size())});
    }
    if (!reread.isEmpty())
        std::stable_sort(held.begin(), held.end(), [](const InstanceRecord& a, const InstanceRecord& b) {
            return a.instanceNumber < b.instanceNumber;
        });
    if (replacedFiles)
        *replacedFiles = other;
    // The listing's interface reads; the index it lists is never a const object, and records what it found.
    QList<bool> written;
    if (const_cast<Database*>(this)->recordFindings(findings, &written) && !studyUid.isEmpty())
        emit const_cast<Database*>(this)->studiesWritten({studyUid});
    // Rows that give what the reading found need it no longer, also where they could not be written (a
    // read-only index) while they were alike: the memory keeps the readings of the others only.
    for (qsizetype k = 0; k < reread.size(); ++k) {
        const qsizetype i = reread.at(k);
        if (written.value(k) || listedRows.at(i) == readRows.at(i))
            m_rowFiles.settled(files.at(i));
    }
    return held;
}

namespace {

std::function<void()>& beforeFindingsRecorded()
{
    static std::function<void()> call;
    return call;
}

} // namespace

void Database::beforeFindingsRecordedForTest(std::function<void()> call)
{
    beforeFindingsRecorded() = std::move(call);
}

bool Database::recordFindings(const Findings& findings, QList<bool>* written)
{
    written->fill(false, findings.readings.size());
    // Only what saves reading the files again at the next listing of another process (RowFileProof
    // remembers them for this one), and the rows of files read again as they were read: an index that
    // cannot be written now (read-only, or inside a transaction of its own) reads them again then, and
    // meanwhile gives them as read, and leaves the rows past a file's last frame out of every listing
    // until it can drop them.
    if (findings.isEmpty() || m_readAsEarlier)
        return false;
    if (const std::function<void()> call = beforeFindingsRecorded()) // a copy: the call may replace it
        call();
    // Nor is a listing held up by another connection's lock: it gives up at once.
    QSqlQuery q(m_db);
    const int busyMs = q.exec(QStringLiteral("PRAGMA busy_timeout;")) && q.next() ? q.value(0).toInt() : 0;
    q.finish();
    const auto restoreBusy = qScopeGuard([this, busyMs] {
        QSqlQuery(m_db).exec(QStringLiteral("PRAGMA busy_timeout=%1;").arg(busyMs));
    });
    q.exec(QStringLiteral("PRAGMA busy_timeout=0;"));
    if (!q.exec(QStringLiteral("BEGIN IMMEDIATE;")))
        return false;
    // A listing tells nothing through lastError: a failure here only leaves the rows as they were.
    const QString lastError = m_lastError;
    const auto keepLastError = qScopeGuard([this, lastError] { m_lastError = lastError; });
    bool ok = q.prepare(QStringLiteral("UPDATE instances SET file_version = :version WHERE rowid = :row;"));
    for (const auto& [row, version] : findings.versions) {
        q.bindValue(QStringLiteral(":version"), version);
        q.bindValue(QStringLiteral(":row"), qlonglong(row));
        ok = ok && q.exec();
    }
    ok = ok && q.prepare(QStringLiteral("DELETE FROM instances WHERE rowid = :row;"));
    for (const qint64 row : findings.pastLast) {
        q.bindValue(QStringLiteral(":row"), qlonglong(row));
        ok = ok && q.exec();
    }
    q.finish();
    bool countsChanged = !findings.pastLast.isEmpty();
    ok = ok && (findings.readings.isEmpty() || prepareWriteStatements());
    for (qsizetype k = 0; ok && k < findings.readings.size(); ++k) {
        const Findings::Reading& reading = findings.readings.at(k);
        bool wrote = false;
        ok = writeRowsAgain(reading, &wrote);
        (*written)[k] = wrote;
        countsChanged = countsChanged || (wrote && FrameRows(*reading.summary).count() != reading.rowsBefore);
    }
    if (!ok || !QSqlQuery(m_db).exec(QStringLiteral("COMMIT;"))) {
        QSqlQuery(m_db).exec(QStringLiteral("ROLLBACK;"));
        written->fill(false);
        return false;
    }
    return countsChanged;
}

InstanceRecord Database::instanceRecord(const QSqlQuery& q) const
{
    InstanceRecord r;
    r.filePath = placedPath(textOf(q.value(0)), q.value(24));
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
    return r;
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
    if (!q.prepare(QStringLiteral("SELECT i.file_path, MAX(i.own_copy) FROM instances i JOIN series se ON "
                                  "se.series_instance_uid = i.series_instance_uid WHERE se.study_instance_uid = :uid "
                                  "GROUP BY i.file_path ORDER BY MIN(i.rowid);")))
        return out;
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec())
        return out;
    while (q.next())
        out.append(placedPath(textOf(q.value(0)), q.value(1)));
    return out;
}

QList<IndexedFile> Database::studyFiles(const QString& studyInstanceUid) const
{
    QList<IndexedFile> out;
    if (!m_db.isOpen())
        return out;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QString::fromLatin1(kIndexedFileSelect)
                   + QStringLiteral("WHERE se.study_instance_uid = :uid GROUP BY i.file_path;")))
        return out;
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec())
        return out;
    while (q.next())
        out.append(indexedFile(q));
    return out;
}

std::optional<IndexedFile> Database::objectFile(const QString& sopInstanceUid) const
{
    if (!m_db.isOpen())
        return std::nullopt;
    QSqlQuery q(m_db);
    if (!selectObjectFile(q, sopInstanceUid))
        return std::nullopt;
    return indexedFile(q);
}

QHash<QString, QString> Database::studyObjectFiles(const QString& studyInstanceUid) const
{
    QHash<QString, QString> out;
    if (!m_db.isOpen())
        return out;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.prepare(QStringLiteral("SELECT i.sop_instance_uid, i.file_path, i.own_copy FROM instances i JOIN series se ON "
                                  "se.series_instance_uid = i.series_instance_uid WHERE se.study_instance_uid = :uid "
                                  "AND i.frame_index = 0;")))
        return out;
    q.bindValue(QStringLiteral(":uid"), studyInstanceUid);
    if (!q.exec())
        return out;
    while (q.next())
        out.insert(textOf(q.value(0)), placedPath(textOf(q.value(1)), q.value(2)));
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

std::optional<InstancePlace> Database::instancePlace(const QString& sopInstanceUid) const
{
    return instancePlaceIn(m_db, sopInstanceUid);
}

KeyClash Database::keyClash(const ObjectKeys& keys) const
{
    KeyClash clash = KeyClash::None;
    if (m_db.isOpen()) {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        if (!q.prepare(QString::fromLatin1(kObjectKeyRows)) || !readKeyClash(q, keys, &clash))
            return KeyClash::None;
    }
    return clash;
}

bool Database::visitFilePaths(const std::function<void(const QString&)>& visit) const
{
    if (!m_db.isOpen())
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT file_path FROM instances;")))
        return false;
    // Placed without looking at the disk: a million rows are visited at a start.
    while (q.next())
        visit(placeRecorded(textOf(q.value(0)), QVariant(), m_storeFolders, false));
    // A read that stopped early (a damaged page, a lock) ends like the last row; only the error tells.
    return !q.lastError().isValid();
}

} // namespace db
