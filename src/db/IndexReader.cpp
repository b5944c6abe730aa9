#include "db/IndexReader.h"
#include "db/DatabaseSql.h"

#include <QSqlQuery>
#include <QUuid>

#include <algorithm>
#include <array>
#include <iterator>
#include <vector>

namespace db {

using namespace sql;

namespace {

// SQLite orders text by its UTF-8 bytes, that is by code point; UTF-16 units put the characters above
// U+FFFF (surrogate pairs) before those from U+E000 on, so those two ranges change places here.
int compareAsSqlite(QStringView a, QStringView b)
{
    const qsizetype common = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x == y)
            continue;
        if (x >= 0xD800 && y >= 0xD800) {
            const auto place = [](char16_t u) { return char16_t(u < 0xE000 ? u + 0x2000 : u - 0x800); };
            x = place(x);
            y = place(y);
        }
        return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// A study of the list with what kAllStudiesOrder sorts it by: study date, study time, patient name and
// study UID, NULL before any text.
struct ListedStudy
{
    StudyRecord record;
    std::array<bool, 4> null{};

    std::array<QStringView, 4> keys() const
    {
        return {record.studyDate, record.studyTime, record.patientName, record.studyInstanceUid};
    }
    friend bool operator<(const ListedStudy& a, const ListedStudy& b)
    {
        const std::array<QStringView, 4> ka = a.keys(), kb = b.keys();
        for (size_t i = 0; i < ka.size(); ++i) {
            if (a.null[i] != b.null[i])
                return a.null[i];
            if (a.null[i])
                continue;
            if (const int order = compareAsSqlite(ka[i], kb[i]))
                return order < 0;
        }
        return false;
    }
};

// The columns of kStudySelect that kAllStudiesOrder sorts by, in its order.
constexpr std::array<int, 4> kSortColumns = {6, 7, 2, 0};

} // namespace

IndexReader::IndexReader(const QString& indexPath)
{
    if (indexPath.isEmpty() || indexPath == QLatin1String(":memory:"))
        return;
    m_connectionName = QStringLiteral("vavovivirur_reader_%1").arg(QUuid::createUuid().toString(QUuid::Id128));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    db.setDatabaseName(indexPath);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
    // SQLite holds the file from the open on: the path's file right after it is the one read.
    if (db.open()) {
        m_file = FileIdentity::of(indexPath);
        // An index of an earlier version on a folder that cannot be written stays as it was: it is read
        // as the index's own connection reads it.
        readEarlierShapeAsCurrent(db, nullptr);
        m_storeFolders = readStoreFolders(db);
    }
}

IndexReader::~IndexReader()
{
    if (m_connectionName.isEmpty())
        return;
    QSqlDatabase::database(m_connectionName, false).close();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool IndexReader::isOpen() const
{
    return !m_connectionName.isEmpty() && QSqlDatabase::database(m_connectionName, false).isOpen();
}

std::optional<InstancePlace> IndexReader::instancePlace(const QString& sopInstanceUid)
{
    if (!isOpen())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connectionName, false));
    if (!q.prepare(QString::fromLatin1(kInstancePlace)) || !readInstancePlace(q, sopInstanceUid) || !q.next())
        return std::nullopt;
    return InstancePlace{q.value(0).toString(), q.value(1).toString()};
}

std::optional<IndexedFile> IndexReader::instanceFile(const QString& sopInstanceUid)
{
    if (!isOpen())
        return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(m_connectionName, false));
    if (!selectObjectFile(q, sopInstanceUid))
        return std::nullopt;
    IndexedFile file = indexedFileOf(q);
    file.filePath = placeRecorded(file.filePath, q.value(1), m_storeFolders);
    return file;
}

std::optional<QList<StudyRecord>> IndexReader::allStudies(const std::function<bool()>& stop)
{
    if (!isOpen())
        return std::nullopt;
    const QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    // Pages follow the study UID, which is unique and never changes: a study is read once, even when
    // a write between two pages changes what the list is sorted by.
    const QString limit = QStringLiteral(" LIMIT %1;").arg(studiesPerPage);
    QSqlQuery first(db), next(db);
    first.setForwardOnly(true);
    next.setForwardOnly(true);
    if (!first.prepare(QString::fromLatin1(kStudySelect) + QStringLiteral("ORDER BY st.study_instance_uid") + limit)
        || !next.prepare(QString::fromLatin1(kStudySelect)
                         + QStringLiteral("WHERE st.study_instance_uid > :after ORDER BY st.study_instance_uid")
                         + limit))
        return std::nullopt;
    std::vector<ListedStudy> studies, rows;
    // Nothing but the rows themselves is done while a page is read: the whole list grows (and moves
    // in memory) between two pages, when no lock is held.
    rows.reserve(studiesPerPage);
    for (QSqlQuery* page = &first;; page = &next) {
        if (stop && stop())
            return std::nullopt;
        if (page == &next)
            next.bindValue(QStringLiteral(":after"), studies.back().record.studyInstanceUid);
        if (!page->exec())
            return std::nullopt;
        while (page->next()) {
            ListedStudy study{studyFromQuery(*page), {}};
            for (size_t i = 0; i < kSortColumns.size(); ++i)
                study.null[i] = page->value(kSortColumns[i]).isNull();
            rows.push_back(std::move(study));
        }
        const bool failed = page->lastError().isValid();
        // Ends the page's read transaction: a writer waits for no more than this page.
        page->finish();
        if (failed)
            return std::nullopt;
        const bool last = rows.size() < size_t(studiesPerPage);
        studies.insert(studies.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
        rows.clear();
        if (last)
            break;
        // No later page can follow a study without a UID.
        if (studies.back().null[3])
            return std::nullopt;
    }
    std::sort(studies.begin(), studies.end());
    QList<StudyRecord> out;
    out.reserve(qsizetype(studies.size()));
    for (ListedStudy& study : studies)
        out.append(std::move(study.record));
    return out;
}

} // namespace db
