#pragma once
// What the tries of a study's download that never opened it whole brought into its download folder.
// A retry after the host's study changed must open the study as the host lists it now, so what such a
// try got of an object the host no longer lists is taken out; but a file the folder holds from a
// download that did open the study whole (from this host or another) or a file of the study from any
// other source is the user's study, and stays. Which is which is not told by where a file lies: before
// a try indexes any file, it records in the folder ("unfinished-tries.list", one line per file: its
// name and the object the host listed for it) the files it is to bring that the index does not hold
// yet, and the record is cleared once a try holds the host's study whole. A try killed at any moment
// thus leaves every file it indexed recorded.

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

namespace db {
class Database;
}

class RemoteDownloadTries
{
public:
    explicit RemoteDownloadTries(const QString& destDir);

    // Before the try indexes a file: records as the try's the files it is to bring (objects: the one
    // the host listed at each index, empty from a host that names none) whose objects the index does
    // not hold for the study yet, beside what earlier unfinished tries recorded, and notes the user's
    // files the study's objects are on. False with the cause.
    bool begin(const db::Database* index, const QString& studyUid, const QStringList& objects, int fileCount,
               QString* error) const;

    // The user's files (an import in place) the study's objects were on when a try began, by object, as
    // begin noted them: only a row on such a file may a try's copy take, for a retry that takes the
    // object out gives the row back to it.
    QHash<QString, QString> usersFilesNoted() const;

    // What settling a whole try did, for the user to be told.
    struct Outcome
    {
        int removed = 0;    // objects of unfinished tries the host no longer lists, taken out
        int partials = 0;   // files tries left unfinished of objects the host no longer lists, taken out
        QStringList stayed; // their files that could not be removed (their rows went)
        int unlisted = 0;   // objects the study keeps that the host does not list
        QString unsettled;  // why the record could not be cleared
        // Empty when there is nothing to tell.
        QString text() const;
    };
    // Once a try holds the host's study whole (current: the objects it holds): takes out of the index
    // and then out of the folder the objects that only unfinished tries brought and the host no longer
    // lists (an object a user's file held before keeps a row on that file), and the files tries left
    // unfinished of such objects that their records prove theirs; counts the study's other objects the
    // host does not list, and clears the record. False with the cause when the rows could not be taken
    // out.
    bool settle(db::Database* index, const QString& studyUid, const QSet<QString>& current, Outcome* outcome,
                QString* error) const;

    QString recordPath() const;

private:
    QString m_folder;
};
