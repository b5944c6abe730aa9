#pragma once

#include "db/StudyRecord.h"

#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace dicom {
struct DicomFileSummary;
}

namespace db {

// A file as index rows name it: where it is looked for now, the object it held and the version of it
// (dicom::FileIdentity) that was read when the rows were written or last found to hold it.
struct ListedFile
{
    QString path;
    QString sopInstanceUid; // the object's, not a frame's key
    QString seriesInstanceUid;
    QString studyInstanceUid;
    QString version; // empty: the rows record none (an earlier version's)
};

// The one look at the files of index rows before their paths are handed on: whether each still holds
// its rows' object. A file in the version listed does, by one stat and nothing read. Any other (changed
// since, or of rows that record no version) is read again, its summary only, several at a time, and
// holds the object when its UIDs are the rows'; one that holds another object does not, and is to be
// treated as a file that is not there; one that holds it gives that reading, for its rows to follow
// what it holds now (the object sent again under its UID may lie elsewhere, in more or fewer frames).
// One from which nothing can be read now (still being copied over, cut, no DICOM any more) holds no
// other image: like a file that is not there (or no plain file) it is left to whoever opens it, which
// proves it again and tells it as changed or damaged, never taking it.
// For the thread of the index that lists the rows: it remembers what it found in which versions of
// which files, so that these are not read again at every listing while they stay that version, also
// where the index cannot record the version (a data folder on a read-only disc).
class RowFileProof
{
public:
    enum class Holds {
        Listed,     // the object, in the version listed
        Again,      // the object, found in another version (version() gives it, for the rows to record)
        Other,      // another object, read from it
        Unreadable, // another version, from which no summary is read now
        NotThere,   // nothing under the path, or nothing a summary is read from (a pipe, a folder)
    };
    struct Found
    {
        Holds holds = Holds::NotThere;
        QString version; // the version looked at before it was read again (for the rows, Holds::Again)
        // Holds::Again: the summary read from that version, every value its rows are to take (its frames,
        // where each lies); none once its rows are known to give them (settled).
        std::shared_ptr<const dicom::DicomFileSummary> reading;
    };

    QList<Found> check(const QList<ListedFile>& files);
    // The file's rows give what its reading found (written from it, or found alike): the memory keeps the
    // finding without the reading, while the file stays that version.
    void settled(const ListedFile& file);

    // How many files every check so far has read again, in this process: a file in its listed version
    // is never read.
    static int filesReadAgain();
    // How many listings have been checked so far, in this process.
    static int listingsChecked();

    // How many files the memory keeps at most: past it, it starts again empty (those files are
    // read again once), so that a process listing a whole archive does not grow without end.
    static constexpr qsizetype kRemembered = 100000;

private:
    // Path and object -> what the last read found, and in which version (the object's kept here too: the
    // index may not record it).
    QHash<QString, Found> m_found;
};

// Names the study once, in Russian: how many of its files hold other images now than its rows name
// (the study's UID when it is not indexed).
QString replacedFilesText(const std::optional<StudyRecord>& study, const QString& studyUid, int files);

} // namespace db
