#pragma once

#include "db/FileIdentity.h"
#include "db/InstanceRecord.h"
#include "db/ObjectKeys.h"
#include "db/PatientBodyInfo.h"
#include "db/RowFileProof.h"
#include "db/SeriesRecord.h"
#include "db/StudyRecord.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class QSqlQuery;

namespace dicom {
struct DicomFileSummary;
}

namespace db {

// A file still to be removed after its rows went, with what the index knew of it.
struct PendingRemoval
{
    QString filePath;
    std::optional<qint64> fileSize;
    QByteArray contentDigest; // empty: planned by an earlier version, which kept none
    // Planned by the record of who wrote the file; false: by its name alone (an earlier version).
    bool recorded = false;
};

// Where an instance is indexed.
struct InstancePlace
{
    QString seriesInstanceUid;
    QString studyInstanceUid;
};

// A file the index names, as a deletion looks at it.
struct IndexedFile
{
    QString filePath;
    // Whether the program wrote it, as its rows record: nothing for rows an earlier version wrote,
    // which do not say (the program's copies are then known by their folders and names alone).
    std::optional<bool> ownCopy;
    // The size the index recorded of the file when it was indexed: nothing when its rows (of an
    // earlier version) do not say.
    std::optional<qint64> fileSize;
    // The digest (platform::ContentDigest) of the bytes the program wrote, for a copy of its own:
    // empty when its rows do not say (an earlier version's, or a file the program did not write).
    QByteArray contentDigest;
    QString sopInstanceUid; // of the file (not a frame's key)
    QString seriesInstanceUid;
    QString studyInstanceUid;
};

// The local index of patients, studies, series and instances in one SQLite database ("index.sqlite3"
// or ":memory:"). Every other module reads and changes the index only through these operations.
// The object and its connection belong to the thread that opened it (the GUI thread); work on other
// threads reads the index through a db::IndexReader of its own.
class Database : public QObject
{
    Q_OBJECT

public:
    explicit Database(QObject* parent = nullptr);
    ~Database() override;

    // Opens the index at a file path or ":memory:" and makes sure the schema stands.
    // False with lastError() set when the file cannot be opened, is held by another program (at once,
    // with a message that says so) or the schema cannot be created or brought up to date.
    bool open(const QString& path);
    // After a successful open: false when the index can be read but not written (a read-only file, or
    // another program reading it), with the cause in readOnlyReason().
    bool isWritable() const;
    QString readOnlyReason() const;
    // After a successful open: true when the index is of an earlier version that could not be brought
    // up to date, as it cannot be written. It is read as it is (its files proven by reading them), and
    // brought up to date at the first open that can write it.
    bool isOfEarlierVersion() const;
    // Creates the tables and indexes and adds the columns that older index files lack.
    bool createSchema();
    // Text of the most recent SQL error met by this object; a later success does not clear it.
    QString lastError() const;
    // Name of the Qt SQL connection, unique per object.
    QString connectionName() const;

    // Writes the patient, study, series and one instance row per frame of one file, all or nothing.
    // A file indexed again gives its rows, series, study and patient the values it now holds: a study
    // goes to the patient (ID, name and birth date) of the file indexed last. A file whose SOP Instance
    // UID the index holds under another series or study is refused: the object there stays. The
    // file's size and whether it lies in the store (setStoreFolders) are kept with its rows, and so is
    // whether the program wrote it (the summary's ownCopy): a file indexed again at the same path
    // keeps that record, one that moved takes the new one.
    bool indexFile(const dicom::DicomFileSummary& summary);
    // Indexes the files as indexFile does, in one transaction: each file's rows land whole or not at
    // all, a file refused leaves the others in, and no other connection sees any of them before the
    // commit. One text per file: empty for a file indexed, else why it is not (every file carries the
    // cause when the transaction could not be committed).
    QStringList indexFiles(const QList<dicom::DicomFileSummary>& summaries);
    // Indexes a file again after its tags were edited in place (before: its summary as it was): its
    // rows follow the new UIDs and patient ID, keeping their place in the study's file order unless
    // the SOP Instance UID changed, and a series, study or patient left without rows goes. A study
    // keeps its protection under a new UID.
    bool reindexEditedFile(const dicom::DicomFileSummary& before, const dicom::DicomFileSummary& after);

    QList<StudyRecord> allStudies() const;                                                  // oldest first
    // The one study with that UID, with the same fields and counts as allStudies gives for it, read
    // without listing the others; nothing when the index does not hold it.
    std::optional<StudyRecord> studyRecord(const QString& studyInstanceUid) const;
    // The other studies of the patient who owns excludeStudyUid (of the patient ID when that study is not
    // indexed); newest first.
    QList<StudyRecord> otherStudiesOfPatient(const QString& patientId, const QString& excludeStudyUid) const;
    QList<SeriesRecord> seriesForStudy(const QString& studyInstanceUid) const;              // by series number
    // By instance number, the rows whose files hold their objects (RowFileProof): the rows of a file
    // that holds another object now are left out, and replacedFiles, when given, counts those files. A
    // file not there, or one nothing can be read from now, keeps its rows, for whoever opens it to say so.
    // A file changed since its rows were written that still holds their object gives its rows as read
    // now (every frame it holds, each with its own values), written in their place when the index can
    // be written at once.
    QList<InstanceRecord> instancesForSeries(const QString& seriesInstanceUid,
                                             int* replacedFiles = nullptr) const;
    // Tests only: called as a listing is about to record what it found, once its files are proven, so
    // that a test can write through another connection in between.
    static void beforeFindingsRecordedForTest(std::function<void()> call);
    // The rows of these objects (every frame of each) that the series holds, as instancesForSeries gives
    // them: what a viewer of a growing series lacks, read at the cost of these objects, not the series.
    QList<InstanceRecord> instancesOfObjects(const QString& seriesInstanceUid,
                                             const QStringList& sopInstanceUids) const;
    QStringList studyFilePaths(const QString& studyInstanceUid) const;                      // distinct paths
    // The distinct files of the study, with what their rows record of who wrote them.
    QList<IndexedFile> studyFiles(const QString& studyInstanceUid) const;
    // The file of the object with this SOP Instance UID, with what its rows record of who wrote it.
    std::optional<IndexedFile> objectFile(const QString& sopInstanceUid) const;
    // The file of each object of the study, by SOP Instance UID.
    QHash<QString, QString> studyObjectFiles(const QString& studyInstanceUid) const;
    PatientBodyInfo patientBodyInfo(const QString& studyInstanceUid) const;
    bool studyExists(const QString& studyInstanceUid) const;
    // The series and study an instance is indexed under; nothing when it is not indexed.
    std::optional<InstancePlace> instancePlace(const QString& sopInstanceUid) const;
    // What the rows already under the object's keys mean for writing it (None also when the index cannot
    // be read).
    KeyClash keyClash(const ObjectKeys& keys) const;
    // The index file; empty for an index held in memory.
    QString filePath() const;
    // The file this object opened at filePath(): another file there now (a copy restored under the
    // same name while the program ran) is not the one it reads and writes. Unknown in memory.
    const FileIdentity& openedFile() const { return m_openedFile; }

    bool setStudyProtected(const QString& studyInstanceUid, bool isProtected);
    // Removes the study's instance, series and study rows, and the patient when no study is left, all
    // or nothing. Files on disk are untouched. False with an empty lastError() when it is not indexed.
    bool deleteStudy(const QString& studyInstanceUid);
    // Removes the rows of all these studies (those not indexed are passed over) in one transaction, so
    // that many go in seconds and either all or none of them are gone. filePaths, when given, receives
    // the distinct files the removed rows named. Those for which removeLater is true (it is never
    // asked about a file whose rows record that the program did not write it) are kept as pending
    // removals in the same transaction, for the caller to delete once the rows are gone and for a
    // removal cut short by a kill to be finished at the next start. The other files in the store
    // stay left unlisted (they are not listed again unless they are indexed anew). notWritten, when
    // given, is called with each file whose rows record that the program did not write it, for the
    // caller to tell of those it leaves.
    bool deleteStudies(const QStringList& studyInstanceUids, QStringList* filePaths = nullptr,
                       const std::function<bool(const IndexedFile&)>& removeLater = {},
                       const std::function<void(const IndexedFile&)>& notWritten = {});
    // Removes the rows that name these files (every object and frame of each), and a series, study and
    // patient they leave without rows, in one transaction; the files themselves stay, for the caller to
    // remove once no row names them.
    bool forgetFiles(const QStringList& filePaths);
    // The pending removals that no row names (indexing a file again takes its path off the list).
    QStringList pendingRemovals() const;
    // The same, with what the index knew of each file.
    QList<PendingRemoval> pendingRemovalRecords() const;
    // Those of them that an earlier version planned by the file's name alone.
    QStringList unrecordedRemovals() const;
    // Takes the paths off the pending list: their files are gone.
    bool forgetPendingRemovals(const QStringList& paths);
    // Takes the paths off the pending list and keeps their files from being listed again (as
    // left_unlisted): they stay, not provably the program's copies, with the rows they had gone.
    bool leavePendingUnlisted(const QStringList& paths);
    // Store files whose rows were removed while the files stayed (left_unlisted), where they are now.
    QStringList leftUnlisted() const;
    // How many store files fillStoreFileSizes still has to measure.
    int storeFilesToMeasure() const;
    // Calls visit with the path of every instance row (a multi-frame file once per frame), a store
    // file's where it is now; false, having visited nothing or only part, when the index could not be
    // read to its end.
    bool visitFilePaths(const std::function<void(const QString&)>& visit) const;
    // The folders whose files are the program's own store: a file where the program keeps its copies
    // there is recorded relative to its folder (found below that folder wherever it lies now), and a
    // row of such a file, or whose path as written begins with one of them, counts toward its study's
    // storeBytes. Kept in the index, so that every connection to it places rows alike; a change
    // places every row anew. The first call on an index of an earlier version records its store
    // files relative, once, and so does the first call that names a store folder of a name the index
    // did not keep (its files were recorded whole until then). False when it cannot be written.
    // progress gets how far through the rows it got.
    bool setStoreFolders(const QStringList& folders, const std::function<void(int done, int total)>& progress = {});
    // Measures up to `limit` store files whose rows an earlier version wrote without their size, in
    // one transaction; how many it measured (0 when none is left), -1 when it could not write them.
    int fillStoreFileSizes(int limit);
    // True when SQLite finds every page of the index sound and every row names a file. Otherwise
    // false with what is wrong in problem: rows may then be missing or unreadable, and nothing may be
    // deleted for not being listed.
    // waiting, when given, is called every few milliseconds while the check reads the index (on a
    // connection and a thread of its own), so that a window may show that the program works.
    bool checkIntegrity(QString* problem = nullptr, const std::function<void()>& waiting = {}) const;

    // A tag edit of a study's files stands marked from before its first file is written until its
    // last one is: a mark found at start names an edit that was cut short.
    bool markEditUnfinished(const QString& studyInstanceUid);
    bool clearEditUnfinished(const QString& studyInstanceUid);
    QStringList unfinishedEdits() const; // study UIDs, the oldest edit first

    // Differs after any change of the index since the last call that returned it, made through this
    // object or any other connection to the same file; (0, 0) when it cannot be read.
    std::pair<qint64, qint64> changeStamp() const;

signals:
    // The study's rows were removed, or a file of it was indexed again after an edit: whatever was
    // made from its files before is stale.
    void studyChanged(const QString& studyInstanceUid);
    // Rows of these studies were written, changed or removed through this object, and committed: a
    // list of studies may bring just these up to date.
    void studiesWritten(const QStringList& studyInstanceUids);
    // Files indexed again that held another object than now (another disc's files copied over a
    // folder's): the rows of the object each held went with the transaction that indexed it.
    void replacedFilesIndexed(const QStringList& filePaths);

private:
    struct WriteStatements;

    // The patient, study and series rows a file written earlier in the same transaction left, and its
    // patient's key: a file of the same patient, study and series would write them again as they are.
    struct ParentsWritten
    {
        const dicom::DicomFileSummary* file = nullptr;
        qint64 patientKey = 0;
        qint64 writtenKey = 0; // of the file being written
    };
    // Files whose rows of another object writeFileRows dropped, and the studies those rows were of.
    struct ReplacedRows
    {
        QStringList files;
        QStringList studies;
    };
    // before: the file's summary before an edit, or null for a plain indexing. Inside the caller's
    // transaction, which is to be rolled back (to the file's savepoint) when it fails. parents: the
    // rows the transaction's last file that was written left, which this one does not write again
    // when it would write them as they are. replaced gains the file when rows of another object that
    // named it went.
    bool writeFileRows(const dicom::DicomFileSummary& summary, const dicom::DicomFileSummary* before,
                       ParentsWritten* parents = nullptr, ReplacedRows* replaced = nullptr);
    // Removes the series and studies that are left without rows, and gives leftPatients the patients
    // of those studies. Inside the caller's transaction.
    bool pruneLeftParents(const QStringList& series, const QStringList& studies, QList<qint64>* leftPatients);
    // After the commit that dropped them.
    void announceReplaced(ReplacedRows replaced);
    bool isStorePath(const QString& path) const;
    // What a listing found of its rows' files, for the index to record.
    struct Findings
    {
        QList<std::pair<qint64, QString>> versions; // rows whose files hold them in this version
        QList<qint64> pastLast;                     // rows of frames past their files' last
        // Files read again whose rows are to be those of the reading, with the version read and how
        // many rows the file had.
        struct Reading
        {
            const dicom::DicomFileSummary* summary = nullptr;
            QString path; // where the rows' file was looked for
            QString version;
            QString listedVersion; // what its rows recorded as they were listed
            int rowsBefore = 0;
        };
        QList<Reading> readings;
        bool isEmpty() const { return versions.isEmpty() && pastLast.isEmpty() && readings.isEmpty(); }
    };
    // Records the findings when the index can be written now, in one short transaction: so that the files
    // are not read again, the rows past a file's last gone and the rows of a file read again written from
    // that reading. written gains, for each reading, whether its rows were. True when rows were added or
    // dropped (a study's counts changed).
    bool recordFindings(const Findings& findings, QList<bool>* written);
    // Writes the rows of a file read again from its reading, in the version read, over its rows; inside the
    // caller's transaction. *written: false, leaving its rows, where a key it would write is another
    // object's or its object is indexed elsewhere, or where its rows are no longer as listed.
    bool writeRowsAgain(const Findings::Reading& reading, bool* written);
    // Writes the file's rows, one per frame, every value from its summary (FrameRows), over the rows
    // under the same keys; ownCopy and version as the rows are to record them. Inside the caller's
    // transaction.
    bool writeFrameRows(const dicom::DicomFileSummary& s, const QVariant& ownCopy, const QString& version);
    // Takes the statement's error as the last one and resets the write statements, for the caller's
    // transaction (or the file's savepoint) to be rolled back; false.
    bool failWrite(const QSqlQuery& q);
    // Removes the rows under these keys; inside the caller's transaction.
    bool dropRows(const QStringList& keys);
    // Removes each of these patients that no study is left to (but the one kept); inside the caller's
    // transaction.
    bool pruneLeftPatients(const QList<qint64>& patientKeys, qint64 kept = 0);
    // Where a file the rows name is to be looked for now (sql::placeRecorded; ownCopy: the rows'
    // own_copy value).
    QString placedPath(const QString& written, const QVariant& ownCopy) const;
    // How a path is recorded (sql::recordedForm).
    QString recordedPath(const QString& path) const;
    // Records the store files recorded whole relative to the store folders of the names of newFolders:
    // those below the folders it kept (oldFolders) or below the new ones, and the program's copies
    // whole below a store folder of the same name elsewhere (for rows that do not say, only where
    // nothing is at the path as written). Inside the caller's transaction.
    bool recordStorePlaces(const QStringList& oldFolders, const QStringList& newFolders,
                           const std::function<void(int, int)>& progress, QString* failure);
    // A row of sql::kIndexedFileSelect, its path placed; *placedInStore: it lies in the store.
    IndexedFile indexedFile(const QSqlQuery& q, bool* placedInStore = nullptr) const;
    // Gives an index file of an earlier version its studies' totals, and the triggers that keep them.
    bool keepStudyTotals(QString* failure);
    // Runs the statements in one transaction, all or none; the error of the first that failed.
    QSqlError runInOneTransaction(const QStringList& statements);
    // Opens a write transaction, taking the write lock at once (waiting the busy time-out for it).
    bool beginWrite();
    // Runs the statement once for each path bound to :path, in one transaction.
    bool runForEachPath(const char* sql, const QStringList& paths);
    // Commits the open transaction when ok, else (or when the commit fails, naming why) rolls it back.
    bool endTransaction(bool ok);
    bool prepareWriteStatements();
    // leftPatients gains the patient of a study that the edited file leaves.
    bool moveEditedParents(const dicom::DicomFileSummary& before, const dicom::DicomFileSummary& after,
                           bool wasProtected, QList<qint64>* leftPatients);
    // Gives an index file of an earlier version its patients keyed by ID, name and birth date.
    bool keyPatientsByIdentity(QString* failure);
    QString formatChangeFailure(const QSqlError& error) const;
    // True, marking the index as read as it is, when the error says that the file cannot be written.
    bool passOver(const QSqlError& error);
    void findWhetherWritable();

    bool requireOpen();
    void closeConnection();
    QList<StudyRecord> queryStudies(const QString& sql, const QList<std::pair<QString, QString>>& bindings) const;
    // A row of kInstanceColumns, its path placed.
    InstanceRecord instanceRecord(const QSqlQuery& q) const;
    // Rows as listed, with what proving their files needs: the object each names, the file version
    // kept beside it and its rowid (the three columns after kInstanceColumns).
    struct ListedRows
    {
        QList<InstanceRecord> records;
        QStringList objects;
        QStringList versions;
        QList<qint64> rowIds;
        QList<int> framesWritten; // the number of frames of its file when the row was written
        void add(const InstanceRecord& record, const QSqlQuery& q);
    };
    // The rows whose files hold their objects and frames (RowFileProof), in their order, those of a file
    // read again as it was read (FrameRows); replacedFiles, when given, counts the files found holding
    // another object.
    QList<InstanceRecord> rowsWhoseFilesHoldThem(const ListedRows& rows, const QString& seriesInstanceUid,
                                                 int* replacedFiles) const;

    QSqlDatabase m_db;
    QString m_connectionName;
    QString m_lastError;
    // Why the last open failed once the connection stood (the schema could not be made: a full
    // disk, a lock): every change names it rather than SQLite's words for the missing tables.
    QString m_openFailure;
    bool m_writable = false;
    QString m_readOnlyReason;
    // An earlier version's index that refused its upgrade as it cannot be written: read as it is,
    // through temporary views of this version's tables over its own (sql::readEarlierShapeAsCurrent),
    // and never written.
    bool m_readAsEarlier = false;
    FileIdentity m_openedFile;
    QStringList m_storeFolders; // sorted, each ending in "/"
    // Whether the index records its store files relative to their folders (an earlier version's
    // until its first setStoreFolders).
    bool m_placesRecorded = false;
    // Which files of listed rows hold their objects; it remembers the files found holding others.
    mutable RowFileProof m_rowFiles;
    // The upserts of indexFile, prepared once per connection: preparing them anew for every file
    // costs as much as writing the rows.
    std::unique_ptr<WriteStatements> m_write;
};

} // namespace db
