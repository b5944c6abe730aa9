#include "db/InstancePlaceLookup.h"
#include "db/DatabaseSql.h"

#include <QFile>

#include <sqlite3.h>
#include <unistd.h>

namespace db {

namespace {

constexpr int kWaitStepUs = 200;
constexpr int kWaitSteps = 2000000 / kWaitStepUs;

// A commit of the index's writer is waited out in short steps: SQLite's own wait sleeps 1, 2, 5, 10 ms
// and more, and so held each object that came during a commit for longer than the commit took.
int waitForWriter(void*, int count)
{
    if (count >= kWaitSteps)
        return 0;
    ::usleep(kWaitStepUs);
    return 1;
}

} // namespace

InstancePlaceLookup::InstancePlaceLookup(QString indexPath)
    : m_indexPath(std::move(indexPath))
{
}

InstancePlaceLookup::~InstancePlaceLookup()
{
    close();
}

void InstancePlaceLookup::close()
{
    sqlite3_finalize(m_query);
    m_query = nullptr;
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool InstancePlaceLookup::open()
{
    const FileIdentity file = FileIdentity::of(m_indexPath);
    if (m_db && file == m_file)
        return true;
    close();
    if (!file.known)
        return false;
    // As the index's own readers: the index is read, never written, and a write of the window is
    // waited for rather than taken for a failure.
    if (sqlite3_open_v2(QFile::encodeName(m_indexPath).constData(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                        nullptr)
            != SQLITE_OK
        || sqlite3_busy_handler(m_db, waitForWriter, nullptr) != SQLITE_OK
        || sqlite3_prepare_v2(m_db, sql::kInstancePlace, -1, &m_query, nullptr) != SQLITE_OK) {
        close();
        return false;
    }
    // SQLite holds the file from the open on: the path's file right after it is the one read.
    m_file = FileIdentity::of(m_indexPath);
    return true;
}

std::optional<InstancePlace> InstancePlaceLookup::instancePlace(const QString& sopInstanceUid)
{
    if (m_indexPath.isEmpty() || m_indexPath == QLatin1String(":memory:") || !open())
        return std::nullopt;
    const QByteArray uid = sopInstanceUid.toUtf8();
    std::optional<InstancePlace> place;
    if (sqlite3_bind_text(m_query, 1, uid.constData(), int(uid.size()), SQLITE_TRANSIENT) == SQLITE_OK
        && sqlite3_step(m_query) == SQLITE_ROW) {
        const auto text = [this](int column) {
            return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(m_query, column)),
                                     sqlite3_column_bytes(m_query, column));
        };
        place = InstancePlace{text(0), text(1)};
    }
    // Holds no lock between two lookups.
    sqlite3_reset(m_query);
    sqlite3_clear_bindings(m_query);
    return place;
}

} // namespace db
