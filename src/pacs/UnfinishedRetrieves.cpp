#include "pacs/UnfinishedRetrieves.h"

#include "pacs/PacsRequestChecks.h"
#include "platform/OwnFileDoor.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace pacs {

namespace {

QString markPath(const QString& studyUid)
{
    // The UID becomes a file name: only a plain one.
    return isValidDicomUid(studyUid) ? QDir(unfinishedRetrievesFolder()).filePath(studyUid) : QString();
}

// The names the receive gives its files while an object arrives and while it is written.
const QStringList& receiveFilePatterns()
{
    static const QStringList patterns{QStringLiteral(".receiving-*.part"), QStringLiteral(".writing-*.part")};
    return patterns;
}

int removeReceiveFiles(const QString& root, QDirIterator::IteratorFlags flags)
{
    int removed = 0;
    QDirIterator it(root, receiveFilePatterns(), QDir::Files | QDir::Hidden | QDir::NoSymLinks, flags);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QFile::remove(path))
            ++removed;
    }
    return removed;
}

} // namespace

QString unfinishedRetrievesFolder()
{
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
        .filePath(QStringLiteral("unfinished_retrieves"));
}

bool markRetrieveUnfinished(const QString& studyUid)
{
    const QString path = markPath(studyUid);
    if (path.isEmpty() || !QDir().mkpath(unfinishedRetrievesFolder()))
        return false;
    QFile mark(path);
    return mark.exists() || mark.open(QIODevice::WriteOnly);
}

void clearRetrieveUnfinished(const QString& studyUid)
{
    const QString path = markPath(studyUid);
    if (!path.isEmpty())
        platform::OwnFileDoor({unfinishedRetrievesFolder()}).remove(path, platform::OwnProof::ownName());
}

bool isRetrieveUnfinished(const QString& studyUid)
{
    const QString path = markPath(studyUid);
    return !path.isEmpty() && QFileInfo::exists(path);
}

QStringList unfinishedRetrieves()
{
    QStringList uids;
    for (const QString& name : QDir(unfinishedRetrievesFolder()).entryList(QDir::Files, QDir::Name))
        if (isValidDicomUid(name))
            uids << name;
    return uids;
}

int removeStaleReceiveFiles()
{
    // The storage listener receives beside the study folders, a C-GET inside its study's folder. The
    // store's own ("pacs_downloads") go with the start-up sweep of the store, which knows whether
    // another copy of the program may be receiving into it.
    int removed = removeReceiveFiles(viewOnlyRoot(), QDirIterator::Subdirectories);
    removed += removeReceiveFiles(QDir::tempPath(), QDirIterator::NoIteratorFlags);
    return removed;
}

} // namespace pacs
