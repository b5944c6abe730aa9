#pragma once
// Where an instance is indexed, looked up for each object a retrieve receives, on whichever thread
// receives it. One read-only SQLite connection for all of a retrieve's objects, kept outside Qt's
// registry of connections, which ties a connection to the thread that opened it and must not be
// touched once the application is gone: its users take turns (the caller serialises the calls) from
// any thread, and any thread may close it, so that the program's end closes it while a receiving
// thread is still stuck in a network wait.

#include "db/Database.h"
#include "db/FileIdentity.h"

#include <QString>

#include <functional>
#include <optional>

struct sqlite3;
struct sqlite3_stmt;

namespace db {

class InstancePlaceLookup
{
public:
    // Nothing is opened before the first lookup; no lookup for an empty path or ":memory:".
    explicit InstancePlaceLookup(QString indexPath);
    ~InstancePlaceLookup();
    InstancePlaceLookup(const InstancePlaceLookup&) = delete;
    InstancePlaceLookup& operator=(const InstancePlaceLookup&) = delete;

    // Where the instance is indexed; nothing when it is not, or the index cannot be read now. The file
    // at the path is opened at the first lookup, and again once it was replaced (a copy restored).
    std::optional<InstancePlace> instancePlace(const QString& sopInstanceUid);
    // What the rows under the object's keys mean for writing it, as the index's writer will judge them
    // (None when the index cannot be read now).
    KeyClash keyClash(const ObjectKeys& keys);
    // Until the next lookup, if any.
    void close();
    bool isOpen() const { return m_db != nullptr; }

private:
    bool open();
    // Calls row(key, frame index, series, study) for each row under the keys, until it returns false.
    void visitKeyRows(const ObjectKeys& keys,
                      const std::function<bool(const QString&, int, const QString&, const QString&)>& row);

    QString m_indexPath;
    FileIdentity m_file;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_query = nullptr;
};

} // namespace db
