#include "db/DatabaseSql.h"

#include <QDir>
#include <QFileInfo>

namespace db::sql {

const char* const kStudyPatient = "SELECT patient_key FROM studies WHERE study_instance_uid = :uid;";

// The counts, modalities and store size are the study row's own totals: a listing reads one row
// per study, however many instance rows the index holds.
const char* const kStudySelect =
    "SELECT st.study_instance_uid, p.patient_id, p.patient_name, p.birth_date, p.sex, p.weight_kg, "
    "st.study_date, st.study_time, st.study_description, st.accession_number, st.series_count, "
    "st.instance_count, st.is_protected, st.modalities, st.imported_at, st.store_bytes "
    "FROM studies st LEFT JOIN patients p ON p.patient_key = st.patient_key ";

// The series and study of an instance as the query's one row (none when not indexed). The row keyed by
// the UID is the object's own only as a first frame: as a later one it is another object's frame.
const char* const kInstancePlace = "SELECT i.series_instance_uid, se.study_instance_uid FROM instances i "
                                   "LEFT JOIN series se ON se.series_instance_uid = i.series_instance_uid "
                                   "WHERE i.sop_instance_uid = :sop AND i.frame_index = 0;";

// The rows under an object's keys (ObjectKeys), bound by :first and :past, as ObjectKeys::clashWith
// reads them: key, frame index, series, study.
const char* const kObjectKeyRows = "SELECT i.sop_instance_uid, i.frame_index, i.series_instance_uid, "
                                   "se.study_instance_uid FROM instances i "
                                   "LEFT JOIN series se ON se.series_instance_uid = i.series_instance_uid "
                                   "WHERE i.sop_instance_uid >= :first AND i.sop_instance_uid < :past;";

// The file's object is its first frame's (a later frame's key is "<SOP Instance UID>#f<n>", which
// sorts after it).
const char* const kIndexedFileSelect =
    "SELECT i.file_path, MAX(i.own_copy), MIN(i.sop_instance_uid), i.series_instance_uid, "
    "se.study_instance_uid, "
    "MAX(i.in_store), MAX(CASE WHEN i.frame_index = 0 THEN i.file_size END), "
    "MAX(CASE WHEN i.frame_index = 0 THEN i.content_digest END) "
    "FROM instances i JOIN series se ON se.series_instance_uid = i.series_instance_uid ";

bool selectObjectFile(QSqlQuery& q, const QString& sopInstanceUid)
{
    q.setForwardOnly(true);
    if (!q.prepare(QString::fromLatin1(kIndexedFileSelect)
                   + QStringLiteral("WHERE i.sop_instance_uid = :sop AND i.frame_index = 0 GROUP BY i.file_path;")))
        return false;
    q.bindValue(QStringLiteral(":sop"), sopInstanceUid);
    return q.exec() && q.next();
}

IndexedFile indexedFileOf(const QSqlQuery& q)
{
    IndexedFile file;
    file.filePath = textOf(q.value(0));
    if (!q.value(1).isNull())
        file.ownCopy = q.value(1).toInt() == 1;
    file.sopInstanceUid = textOf(q.value(2));
    file.seriesInstanceUid = textOf(q.value(3));
    file.studyInstanceUid = textOf(q.value(4));
    if (!q.value(6).isNull())
        file.fileSize = q.value(6).toLongLong();
    file.contentDigest = q.value(7).toByteArray();
    return file;
}

namespace {

// The store folder's own name: "imported_from_zip" of ".../imported_from_zip/".
bool isFolderNamed(const QString& folder, QStringView name)
{
    const QStringView inner = QStringView(folder).chopped(1);
    return !name.isEmpty() && inner.endsWith(name) && inner.size() > name.size() &&
           inner.at(inner.size() - name.size() - 1) == QLatin1Char('/');
}

QStringView folderName(const QString& folder)
{
    const QStringView inner = QStringView(folder).chopped(1);
    return inner.mid(inner.lastIndexOf(QLatin1Char('/')) + 1);
}

bool isPlainName(QStringView name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..");
}

// Two plain names, "<folder>/<file>".
bool isCopyPlace(QStringView below)
{
    const qsizetype slash = below.indexOf(QLatin1Char('/'));
    return slash > 0 && below.indexOf(QLatin1Char('/'), slash + 1) < 0 && isPlainName(below.left(slash)) &&
           isPlainName(below.mid(slash + 1));
}

} // namespace

QString recordedForm(const QString& path, const QStringList& storeFolders)
{
    if (!path.startsWith(QLatin1Char('/')))
        return path;
    const QString clean = QDir::cleanPath(path);
    for (const QString& folder : storeFolders) {
        if (!clean.startsWith(folder) || !isCopyPlace(QStringView(clean).mid(folder.size())))
            continue;
        return folderName(folder).toString() + QLatin1Char('/') + clean.mid(folder.size());
    }
    return path;
}

QString placeRecorded(const QString& recorded, const QVariant& ownCopy, const QStringList& storeFolders,
                      bool withFallback)
{
    if (!recorded.startsWith(QLatin1Char('/'))) {
        const qsizetype slash = recorded.indexOf(QLatin1Char('/'));
        const QStringView name = QStringView(recorded).left(slash);
        for (const QString& folder : storeFolders)
            if (slash > 0 && isFolderNamed(folder, name))
                return folder + recorded.mid(slash + 1);
        return {};
    }
    // Only a copy of the program's (or of rows that do not say), only where nothing is at the path as
    // written: a file that is there is the one the rows name, wherever it lies.
    if (!withFallback || (!ownCopy.isNull() && ownCopy.toInt() != 1))
        return recorded;
    for (const QString& folder : storeFolders)
        if (recorded.startsWith(folder))
            return recorded;
    const QFileInfo asWritten(recorded);
    if (asWritten.exists() || asWritten.isSymLink())
        return recorded;
    // The program names its copies by two names below a store folder (a series or study folder and
    // the object's file): the same two names below the store folder of the same name as it is now.
    for (const QString& folder : storeFolders) {
        const QString name = QLatin1Char('/') + folderName(folder).toString() + QLatin1Char('/');
        const qsizetype at = recorded.lastIndexOf(name);
        if (name.size() < 3 || at < 0 || !isCopyPlace(QStringView(recorded).mid(at + name.size())))
            continue;
        const QString placed = folder + recorded.mid(at + name.size());
        const QFileInfo now(placed);
        if (now.isFile() && !now.isSymLink())
            return placed;
    }
    return recorded;
}

QStringList readStoreFolders(const QSqlDatabase& db)
{
    QStringList folders;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (db.isOpen() && q.exec(QStringLiteral("SELECT folder FROM store_folders ORDER BY folder;")))
        while (q.next())
            folders << textOf(q.value(0));
    return folders;
}

bool readInstancePlace(QSqlQuery& q, const QString& sopInstanceUid)
{
    q.bindValue(QStringLiteral(":sop"), sopInstanceUid);
    return q.exec();
}

bool readKeyClash(QSqlQuery& q, const ObjectKeys& keys, KeyClash* clash, QString* holder,
                  FramesPastLast* pastLast)
{
    *clash = KeyClash::None;
    q.bindValue(QStringLiteral(":first"), keys.first());
    q.bindValue(QStringLiteral(":past"), keys.past());
    if (!q.exec())
        return false;
    while (q.next() && *clash != KeyClash::OtherObject) {
        const QString key = textOf(q.value(0));
        const int frame = q.value(1).toInt();
        if (pastLast && keys.isFramePastLast(key, frame)) {
            pastLast->keys << key;
            if (const QString series = textOf(q.value(2)); !pastLast->series.contains(series))
                pastLast->series << series;
            if (const QString study = textOf(q.value(3)); !study.isEmpty() && !pastLast->studies.contains(study))
                pastLast->studies << study;
        }
        const KeyClash row = keys.clashWith(key, frame, textOf(q.value(2)), textOf(q.value(3)));
        if (row == KeyClash::None || (row == KeyClash::OtherPlace && *clash != KeyClash::None))
            continue;
        *clash = row;
        if (holder)
            *holder = ObjectKeys::objectOfKey(key, frame);
    }
    q.finish();
    return true;
}

// SQLite's primary result code of a failure (extended codes carry it in their low byte). Qt reports a
// failed commit without the code; SQLite's own words for the code tell it then. 0 if neither does.
int sqliteCode(const QSqlError& error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    if (ok && code != 0)
        return code & 0xff;
    static const std::pair<int, const char*> words[] = {
        {5, "database is locked"},       {6, "database table is locked"}, {8, "readonly database"},
        {10, "disk I/O error"},          {11, "disk image is malformed"}, {13, "database or disk is full"},
        {14, "unable to open database"}, {26, "file is not a database"},
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

// The cause in Russian wherever SQLite names one the user can act on, else the driver's own words:
// SQLite's English would only repeat, to a user who does not read it, what the cause says.
QString describe(const QSqlError& error)
{
    const char* cause = nullptr;
    switch (sqliteCode(error)) {
    case 5:
    case 6:
        cause = "локальная база исследований занята другой программой";
        break;
    case 8:
        return readOnlyText();
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
    return cause ? QString::fromUtf8(cause) : error.text().trimmed();
}

QString readOnlyText()
{
    return QStringLiteral("файл локальной базы исследований доступен только для чтения");
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

double realOf(const QVariant& v, double whenNull)
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

} // namespace db::sql
