#pragma once
// A read-only connection to the index file for work done away from the index's own thread, such as a
// remote client's study list. It belongs to one piece of that work and to the thread that does it:
// opened there, used there and closed there before the work ends, so that no connection outlives its
// work, its thread or the application. (A retrieve's objects are looked up through
// InstancePlaceLookup, one connection for all of them.)

#include "db/Database.h"
#include "db/FileIdentity.h"
#include "db/StudyRecord.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace db {

class IndexReader
{
public:
    // Opens the index file at the path as it is now; not open for an empty path or ":memory:".
    explicit IndexReader(const QString& indexPath);
    ~IndexReader();
    IndexReader(const IndexReader&) = delete;
    IndexReader& operator=(const IndexReader&) = delete;

    bool isOpen() const;
    // The file the connection reads: the path's file when it was opened.
    const FileIdentity& file() const { return m_file; }

    // Where an instance is indexed; nothing when it is not, or the index cannot be read now.
    std::optional<InstancePlace> instancePlace(const QString& sopInstanceUid);
    // The file the index lists the instance at, as Database::objectFile gives it; nothing when it is
    // not listed, or cannot be read now.
    std::optional<IndexedFile> instanceFile(const QString& sopInstanceUid);
    // Every study with the fields and in the order of Database::allStudies. Read in short pages, each
    // its own read transaction, so that a writer waits for one page at most, never for the whole list;
    // a study written meanwhile may be listed as it was or as it is. Nothing when the index cannot be
    // read to its end, or when `stop` says so between two pages.
    std::optional<QList<StudyRecord>> allStudies(const std::function<bool()>& stop = {});

    // Studies read in one page.
    static constexpr int studiesPerPage = 200;

private:
    QString m_connectionName;
    FileIdentity m_file;
    QStringList m_storeFolders; // as the index keeps them, to place its store files
};

} // namespace db
