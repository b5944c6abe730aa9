#pragma once
// The two folders of the application data folder whose files the program writes itself:
// "imported_from_zip" (archive imports, as <MD5 of series UID>/<MD5 of SOP UID>.dcm) and
// "pacs_downloads" (retrieves, as <study UID>/<SOP UID>[_n].dcm). A file is removed only when the
// index recorded that the program wrote it (the rows of its copy, or the pending removal that
// replaced them), its canonical path lies in one of the folders, the folder itself lies inside the
// data folder, and it bears a name the program gives there. Nothing else is ever deleted: files
// imported where they lay, wherever they lie, a user's own files and whatever a link leads to stay.
// A copy that no index row names is indexed again rather than deleted, unless the user removed it
// from the list.

#include "platform/OwnFileDoor.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>

namespace db {
class Database;
struct IndexedFile;
}

class ManagedStore
{
public:
    // dataFolder: the application data folder, as the program writes its paths.
    explicit ManagedStore(const QString& dataFolder = defaultDataFolder());

    static QString defaultDataFolder();
    // The two folders, as the program writes its paths: what the index counts as the store.
    QStringList folders() const { return {m_archiveFolder, m_downloadFolder}; }
    // Stands while a session of the study list runs, and after one that was cut short or left work
    // for the next start; its modification time is when the session that laid it began.
    static QString sessionMarkPath(const QString& dataFolder = defaultDataFolder());
    // The lock file, in the data folder, of the session that may change the store at start.
    static constexpr const char* kSessionLockName = "store_session.lock";

    // Where the program keeps its copies: an existing entry (not a link) in one of the folders, named
    // as the program names its copies there. Only with the index's record of the program writing it
    // is such a file its own (isOwnCopy).
    bool isCopyPlace(const QString& path) const;
    // The program's own copy, which a deletion may remove: its rows record that the program wrote it
    // (rows of an earlier version, which do not say, when its path as written bears the very folder and
    // name the program gives a file of the rows' own UIDs), and it lies where the program keeps its
    // copies.
    bool isOwnCopy(const db::IndexedFile& file) const;
    // A temporary file that the program writes in the store and leaves behind when it is killed.
    bool isOwnTemporary(const QString& path) const;

    // done of total (0: not known), for a window that shows how far long work got.
    using Progress = std::function<void(int done, int total)>;

    struct SweepReport
    {
        int removed = 0;    // temporaries and pending removals deleted
        int reindexed = 0;  // copies that no row named, listed again
        int spared = 0;     // left for a later start: changed while another session may have run
        QStringList failed; // could not be removed
        QStringList notOwn; // left, and taken off the pending list: another file than the program wrote
        int unlisted = 0;   // copies that no row names and that could not be listed (see cause)
        QString cause;      // why copies stay unlisted: the index's own words (a full disk, a busy index)
        bool stopped = false; // asked to end before it was through
        bool complete() const
        {
            return spared == 0 && failed.isEmpty() && unlisted == 0 && cause.isEmpty() && !stopped;
        }
    };
    // Finishes the index's pending removals (those an earlier version planned by the name alone only
    // for a file whose own UIDs give that name), removes the program's temporaries and indexes the
    // copies that no row names, except those the user removed from the list; every other file stays. Files
    // changed at or after sparedFrom (when valid) are not removed: a session that began then may
    // still be writing them. Only for an index that checkIntegrity accepts, by the one session that
    // holds the session lock. progress gets the copies found unlisted so far, and is called while the
    // store is read, found or not; once stop says so, the sweep ends where it is.
    SweepReport sweep(db::Database& index, const QDateTime& sparedFrom, const Progress& progress = {},
                      const std::function<bool()>& stop = {}) const;

    // Removes those of the index's pending removals (the program's copies by the record of their
    // rows) that lie where it keeps its copies, and their folders left empty, and takes every path
    // that is gone off the pending list. Returns the files that could not be removed; they stay
    // pending. notOwn gains those left because another file than the one the index recorded (its
    // size) lies under the name now.
    QStringList removeCopies(db::Database& index, const QStringList& paths, QStringList* notOwn = nullptr) const;

private:
    enum class Root { None, Archive, Download };
    struct Place
    {
        Root root = Root::None;
        QStringList parts; // below the folder
    };
    Place placeOf(const QString& path) const;
    // The place the path names as written, without looking at the disk.
    Place placeAsWritten(const QString& path) const;
    static bool isCopyName(const Place& place);
    static bool isTemporaryName(const Place& place);
    // The copy's folder and name are those the program gives a file of these UIDs.
    static bool copyNameFits(const Place& place, const QString& studyUid, const QString& seriesUid,
                             const QString& sopUid);
    // Removes a file that lies where it was expected, through the door.
    platform::OwnFileDoor::Outcome removeFile(const QString& path, const platform::OwnProof& proof,
                                              QStringList* emptiedFolders) const;
    void removeEmptiedFolders(QStringList folders) const;
    // Removes those of the paths that are the program's copies, unless changed at or after
    // sparedFrom; the paths that are gone, or never were its own, go off the pending list, and
    // waiting receives the others.
    void finishRemovals(db::Database& index, const QStringList& paths, const QDateTime& sparedFrom,
                        SweepReport& report, QStringList* emptiedFolders, QStringList* waiting) const;
    // Removes the temporaries and indexes the unlisted copies of both folders; waiting: pending
    // removals still to be done, and files the user removed from the list, neither indexed again.
    void walkStore(db::Database& index, const QStringList& waiting, const QDateTime& sparedFrom,
                   SweepReport& report, QStringList* emptiedFolders, const Progress& progress,
                   const std::function<bool()>& stop) const;

    QString m_archiveFolder; // as the program writes its paths (absolute)
    QString m_downloadFolder;
    QString m_archiveCanonical; // empty when missing or outside the data folder
    QString m_downloadCanonical;
    platform::OwnFileDoor m_door;
};
