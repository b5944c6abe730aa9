#pragma once
// A study whose retrieve has started and not yet ended well may be in the index with only part of
// its objects: killed, aborted by the server, cancelled, or cut short by a full disk. Such a study is
// marked by an empty file named after its UID, made before the first object is asked for and removed
// only when the retrieve succeeds, so that a kill leaves the mark standing. A marked study is
// retrieved again (what is already here stays) when it is next asked for.

#include <QString>
#include <QStringList>

namespace pacs {

// "unfinished_retrieves" in the per-user application data folder.
QString unfinishedRetrievesFolder();

bool markRetrieveUnfinished(const QString& studyUid);
void clearRetrieveUnfinished(const QString& studyUid);
bool isRetrieveUnfinished(const QString& studyUid);
QStringList unfinishedRetrieves();

// Temporary files of objects that were being received when the program last stopped (in the
// view-only folder and the system temporary folder; those in the store's download folder are the
// store's sweep's). Only at start, before any retrieve runs. Returns how many were removed.
int removeStaleReceiveFiles();

} // namespace pacs
