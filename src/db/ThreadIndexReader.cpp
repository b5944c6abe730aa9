#include "db/Database.h"
#include "db/DatabaseSql.h"

#include <QFile>
#include <QSqlQuery>
#include <QUuid>

#include <map>
#include <memory>

#include <sys/stat.h>

namespace db {

using namespace sql;

namespace {

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
        reader->connectionName =
            QStringLiteral("vavovivirur_reader_%1").arg(QUuid::createUuid().toString(QUuid::Id128));
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

std::optional<InstancePlace> Database::instancePlaceFromThread(const QString& indexPath,
                                                               const QString& sopInstanceUid)
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
    return queryStudiesIn(threadReader(indexPath),
                          QString::fromLatin1(kStudySelect) + QLatin1String(kAllStudiesOrder), {});
}

} // namespace db
