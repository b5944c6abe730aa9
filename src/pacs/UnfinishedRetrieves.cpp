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

// Written into a mark by a retrieve that ended; a torn write reads as cut short, which only tells more.
const QByteArray& endedWord()
{
    static const QByteArray word = QByteArrayLiteral("ended");
    return word;
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
    // Emptied when it stands from an earlier retrieve that ended: this one may yet be cut.
    QFile mark(path);
    return mark.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

void markRetrieveEndedIncomplete(const QString& studyUid)
{
    const QString path = markPath(studyUid);
    if (path.isEmpty() || !QFileInfo::exists(path))
        return;
    // Not truncated first: a failed write leaves the mark standing, empty, never gone.
    QFile mark(path);
    if (mark.open(QIODevice::ReadWrite))
        mark.write(endedWord());
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

bool isRetrieveCut(const QString& studyUid)
{
    const QString path = markPath(studyUid);
    if (path.isEmpty())
        return false;
    QFile mark(path);
    if (!mark.open(QIODevice::ReadOnly))
        return QFileInfo::exists(path);
    return mark.read(endedWord().size()) != endedWord();
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
