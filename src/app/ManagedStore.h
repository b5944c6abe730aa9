#pragma once
// The three folders of the application data folder whose files the program writes itself:
// "imported_from_zip" (archive imports, as <MD5 of series UID>/<MD5 of SOP UID>[_n].dcm),
// "pacs_downloads" (retrieves, as <study UID>/<SOP UID>[_n].dcm) and "remote_downloads" (downloads
// from another workstation, as <study UID>/<name>.dcm, the name the download gives the object's file,
// each marked complete by "<name>.dcm.done", which goes with the file). A file is removed only when the
// index recorded that the program wrote it (the rows of its copy, or the pending removal that
// replaced them) and the file is that one: its bytes those the record's digest names (for records of
// an earlier version, which keep none: its own UIDs give its name and it is of the recorded size). It
// must lie in one of the folders as they are now, each a folder (no link) inside the data folder,
// under a name the program gives there. Nothing else is ever deleted: files imported where they lay,
// wherever they lie, a user's own files and whatever a link leads to stay. A copy that no index row
// names is indexed again rather than deleted (as the program's only when its mark proves it so; a
// download's by its retry), unless the user removed it from the list.

#include "platform/OwnFileDoor.h"

#include <QDateTime>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <tuple>

namespace db {
class Database;
struct IndexedFile;
struct PendingRemoval;
}

class ManagedStore
{
public:
    // dataFolder: the application data folder, as the program writes its paths.
    explicit ManagedStore(const QString& dataFolder = defaultDataFolder());

    static QString defaultDataFolder();
    // The three folders, as the program writes its paths: what the index counts as the store. The
    // archive imports' first.
    QStringList folders() const { return {m_archiveFolder, m_downloadFolder, m_remoteFolder}; }
    // Where a download from another workstation puts each study's folder.
    QString remoteDownloadsFolder() const { return m_remoteFolder; }
    // A study UID another workstation gave that may name a folder there: a plain name.
    static bool isRemoteStudyFolderName(const QString& name);
    // Stands while a session of the study list runs, and after one that was cut short or left work
    // for the next start; its modification time is when the session that laid it began.
    static QString sessionMarkPath(const QString& dataFolder = defaultDataFolder());
    // The lock file, in the data folder, of the session that may change the store at start.
    static constexpr const char* kSessionLockName = "store_session.lock";

    // Where the program keeps its copies: an existing entry (not a link) in one of the folders, named
    // as the program names its copies there. Only with the index's record of the program writing it
    // is such a file its own (isOwnCopy).
    bool isCopyPlace(const QString& path) const;

    // What a file the index names is to a deletion.
    enum class Standing {
        Users,     // not recorded as the program's copy: it stays, and nothing is said of it
        Own,       // the program's copy, where it keeps its copies: removed once the file proves it
        Missing,   // recorded as the program's copy, nothing at its place
        Elsewhere, // recorded as the program's copy, reached outside where it keeps its copies
    };
    // Recorded as the program's copy: its rows say so (rows of an earlier version, which do not say,
    // when its place bears the very folder and name the program gives a file of the rows' own UIDs).
    Standing standingOf(const db::IndexedFile& file) const;
    bool isOwnCopy(const db::IndexedFile& file) const { return standingOf(file) == Standing::Own; }
    // Recorded as not the program's, yet lying where and under the name the program gives its copy of
    // this very object: a copy whose mark went (the data folder copied without the marks, an import cut
    // short under an earlier version) or a user's file put there. It stays, and a removal tells of it.
    bool liesAsCopy(const db::IndexedFile& file) const;
    // A temporary file that the program writes in the store and leaves behind when it is killed.
    bool isOwnTemporary(const QString& path) const;

    // done of total (0: not known), for a window that shows how far long work got.
    using Progress = std::function<void(int done, int total)>;

    // Files recorded as the program's copies that a removal left, by why; none of them is listed
    // again. Counted, and the first few of each kind named: a clean-up may leave hundreds of thousands.
    struct LeftFiles
    {
        enum Why {
            Missing,   // nothing at their place (the data folder moved, or removed by hand)
            Replaced,  // another file lies under the copy's name than the one the program wrote
            Elsewhere, // reached outside where it keeps its copies (a store folder made a link)
            Unproven,  // no record tells the file the program wrote (an earlier version's)
            Unmarked,  // where and as the program keeps its copy, recorded as not its own (liesAsCopy)
        };
        static constexpr int kReasons = Unmarked + 1;
        static constexpr int kNamed = 10;
        std::array<qsizetype, kReasons> counts{};
        std::array<QStringList, kReasons> named{};

        void add(Why why, const QString& path);
        void add(const LeftFiles& other);
        qsizetype count() const;
        // Each reason that holds with its count, joined by separator.
        QString reasons(const QString& separator) const;
        // The files named, of every reason.
        QStringList names() const;
    };

    struct SweepReport
    {
        int removed = 0;    // temporaries and pending removals deleted
        int reindexed = 0;  // copies that no row named, listed again
        int spared = 0;     // left for a later start: changed while another session may have run
        QStringList failed; // could not be removed
        LeftFiles left;     // pending removals left, and taken off the pending list
        int unlisted = 0;   // copies that no row names and that could not be listed (see cause)
        QString cause;      // why copies stay unlisted: the index's own words (a full disk, a busy index)
        bool stopped = false; // asked to end before it was through
        bool complete() const
        {
            return spared == 0 && failed.isEmpty() && unlisted == 0 && cause.isEmpty() && !stopped;
        }
    };
    // Finishes the index's pending removals of the files that prove the program's, removes the
    // program's temporaries and indexes the copies that no row names, except those the user removed
    // from the list, and never one whose object the index lists at a copy of the program's that is
    // there; every other file stays. A copy is indexed as the program's only when its mark proves it,
    // otherwise as a user's file, never to be removed. Files changed at or after sparedFrom (when
    // valid) are not removed: a session that began then may still be writing them. Only for an index that
    // checkIntegrity accepts, by the one session that holds the session lock. progress gets the copies found
    // unlisted so far, and is called while the store is read, found or not; once stop says so, the sweep ends
    // where it is.
    SweepReport sweep(db::Database& index, const QDateTime& sparedFrom, const Progress& progress = {},
                      const std::function<bool()>& stop = {}) const;

    // Removes those of the index's pending removals (the program's copies by the record of their
    // rows) that lie where it keeps its copies and prove the files it wrote, and their folders left
    // empty, and takes every path that is gone or left off the pending list. Returns the files that
    // could not be removed; they stay pending. left gains those left, by why.
    QStringList removeCopies(db::Database& index, const QStringList& paths, LeftFiles* left = nullptr) const;

  private:
    enum class Root { None, Archive, Download, Remote };
    struct Place
    {
        Root root = Root::None;
        QStringList parts; // below the folder
    };
    Place placeOf(const QString& path) const;
    Place placeOf(const QFileInfo& info) const;
    // The place the path names as written, without looking at the disk.
    Place placeAsWritten(const QString& path) const;
    static bool isCopyName(const Place& place);
    static bool isTemporaryName(const Place& place);
    // The copy's folder and name are those the program gives a file of these UIDs.
    static bool copyNameFits(const Place& place, const QString& studyUid, const QString& seriesUid,
                             const QString& sopUid);
    // What proves the pending removal's file the one the program wrote, once it lies where it keeps
    // its copies; no proof (a record of an earlier version without the file's size) when nothing can.
    platform::OwnProof proofOf(const db::PendingRemoval& removal) const;
    // Removes a file that lies where it was expected, through the door.
    platform::OwnFileDoor::Outcome removeFile(const QString& path, const platform::OwnProof& proof,
                                              QStringList* emptiedFolders) const;
    void removeEmptiedFolders(QStringList folders) const;
    // Once a download's file is gone, its mark of being complete goes too: a later download of the
    // study would take the file as got.
    void removeCompleteMarkOf(const QString& path) const;
    // Removes those of the removals that prove the program's copies, unless changed at or after
    // sparedFrom; the paths that are gone go off the pending list, those left go off it and stay
    // unlisted, and waiting receives the others.
    void finishRemovals(db::Database& index, const QList<db::PendingRemoval>& removals,
                        const QDateTime& sparedFrom, SweepReport& report, QStringList* emptiedFolders,
                        QStringList* waiting) const;
    // Removes the temporaries and indexes the unlisted copies of the archive imports' and retrieves'
    // folders (a download's files are listed by its retry, which knows what its tries brought; a
    // partial one lies under the file's own name); waiting: pending removals still to be done, and
    // files the user removed from the list, neither indexed again.
    void walkStore(db::Database& index, const QStringList& waiting, const QDateTime& sparedFrom,
                   SweepReport& report, QStringList* emptiedFolders, const Progress& progress,
                   const std::function<bool()>& stop) const;

    QString m_archiveFolder; // as the program writes its paths (absolute)
    QString m_downloadFolder;
    QString m_remoteFolder;
    QString m_archiveCanonical; // empty when missing or outside the data folder
    QString m_downloadCanonical;
    QString m_remoteCanonical;
    // Each folder with its root: as the program writes its paths, and links resolved.
    std::array<std::tuple<Root, QString, QString>, 3> roots() const
    {
        return {std::tuple{Root::Archive, m_archiveFolder, m_archiveCanonical},
                std::tuple{Root::Download, m_downloadFolder, m_downloadCanonical},
                std::tuple{Root::Remote, m_remoteFolder, m_remoteCanonical}};
    }
    platform::OwnFileDoor m_door;
};
