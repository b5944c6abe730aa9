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
        || sqlite3_prepare_v2(m_db, sql::kObjectKeyRows, -1, &m_query, nullptr) != SQLITE_OK) {
        close();
        return false;
    }
    // SQLite holds the file from the open on: the path's file right after it is the one read.
    m_file = FileIdentity::of(m_indexPath);
    return true;
}

std::optional<InstancePlace> InstancePlaceLookup::instancePlace(const QString& sopInstanceUid)
{
    std::optional<InstancePlace> place;
    visitKeyRows(ObjectKeys(sopInstanceUid, 1, {}, {}),
                 [&](const QString& key, int frame, const QString& series, const QString& study) {
                     if (key == sopInstanceUid && frame == 0)
                         place = InstancePlace{series, study};
                     return !place;
                 });
    return place;
}

KeyClash InstancePlaceLookup::keyClash(const ObjectKeys& keys)
{
    KeyClash clash = KeyClash::None;
    visitKeyRows(keys, [&](const QString& key, int frame, const QString& series, const QString& study) {
        const KeyClash row = keys.clashWith(key, frame, series, study);
        if (row != KeyClash::None && clash != KeyClash::OtherObject)
            clash = row;
        return clash != KeyClash::OtherObject;
    });
    return clash;
}

void InstancePlaceLookup::visitKeyRows(
    const ObjectKeys& keys, const std::function<bool(const QString&, int, const QString&, const QString&)>& row)
{
    if (m_indexPath.isEmpty() || m_indexPath == QLatin1String(":memory:") || !open())
        return;
    const QByteArray first = keys.first().toUtf8();
    const QByteArray past = keys.past().toUtf8();
    if (sqlite3_bind_text(m_query, 1, first.constData(), int(first.size()), SQLITE_TRANSIENT) == SQLITE_OK
        && sqlite3_bind_text(m_query, 2, past.constData(), int(past.size()), SQLITE_TRANSIENT) == SQLITE_OK) {
        const auto text = [this](int column) {
            return QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(m_query, column)),
                                     sqlite3_column_bytes(m_query, column));
        };
        while (sqlite3_step(m_query) == SQLITE_ROW)
            if (!row(text(0), sqlite3_column_int(m_query, 1), text(2), text(3)))
                break;
    }
    // Holds no lock between two lookups.
    sqlite3_reset(m_query);
    sqlite3_clear_bindings(m_query);
}

} // namespace db
