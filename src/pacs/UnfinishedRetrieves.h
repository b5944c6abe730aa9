#pragma once
// A study whose retrieve has started and not yet ended well may be in the index with only part of
// its objects: killed, aborted by the server, cancelled, or cut short by a full disk. Such a study is
// marked by a file named after its UID, made empty before the first object is asked for and removed
// only when the retrieve succeeds, so that a kill leaves the mark standing. A marked study is
// retrieved again (what is already here stays) when it is next asked for.
// A retrieve that ended without the whole study (refused objects, a failure, a cancel) and whose end
// the user was told of writes "ended" into its mark, which keeps the study retrieved again but not
// named at the next start as cut short. An empty mark, as every earlier version left it, is one that
// no told end reached: a kill, the program's own end, or an end after its window had gone.

#include <QString>
#include <QStringList>

namespace pacs {

// "unfinished_retrieves" in the per-user application data folder.
QString unfinishedRetrievesFolder();

bool markRetrieveUnfinished(const QString& studyUid);
// The retrieve that marked the study ended, and said so to the user, yet the study is not whole here.
void markRetrieveEndedIncomplete(const QString& studyUid);
void clearRetrieveUnfinished(const QString& studyUid);
// Marked, whether cut short or ended incomplete: to be retrieved again.
bool isRetrieveUnfinished(const QString& studyUid);
// Marked, and no told end of its retrieve was recorded: a kill, a crash, the program's exit, or an end
// that nobody heard cut it.
bool isRetrieveCut(const QString& studyUid);
QStringList unfinishedRetrieves();

// Temporary files of objects that were being received when the program last stopped (in the
// view-only folder and the system temporary folder; those in the store's download folder are the
// store's sweep's). Only at start, before any retrieve runs. Returns how many were removed.
int removeStaleReceiveFiles();

} // namespace pacs
