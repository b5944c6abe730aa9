#pragma once
// What the disk was asked to sync while a job ran, in order: at each sync of a whole file system (asked
// through a folder's descriptor) the files then below a folder, so that a test sees which names were
// given before the last sync and whether the result came after it; it may refuse such a sync, as a
// failing or pulled-out drive does. One at a time: it takes the program's sync hook while it lives.
//
//     fixtures::SyncRecord syncs(folder);   // an empty folder: the folder synced is listed
//     answer.setBoxHandler([&](QMessageBox*) { syncs.note(); return true; });
//     ... the job ...
//     QVERIFY(syncs.namesSyncedBeforeResult());

#include "platform/FreeNameWrite.h"
#include "support/TestFiles.h"

#include <QFile>
#include <QMutex>
#include <QStringList>

#include <functional>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace fixtures {

class SyncRecord
{
public:
    // refuse: asked with the files at each sync of a whole file system; an error number refuses it.
    explicit SyncRecord(const QString& root = QString(),
                        std::function<int(const QStringList& files)> refuse = {})
        : m_root(root), m_refuse(std::move(refuse))
    {
        current() = this;
        platform::testing::setBeforeSyncHook(&SyncRecord::hook);
    }
    ~SyncRecord()
    {
        platform::testing::setBeforeSyncHook(nullptr);
        current() = nullptr;
    }
    SyncRecord(const SyncRecord&) = delete;
    SyncRecord& operator=(const SyncRecord&) = delete;

    // The files at each sync of a whole file system, in order: relative to the root (or to the folder
    // synced), hidden ones too, sorted.
    QList<QStringList> diskSyncs() const
    {
        const QMutexLocker locked(&m_lock);
        return m_disk;
    }
    int fileSyncs() const
    {
        const QMutexLocker locked(&m_lock);
        return m_files;
    }
    // The moment the result is shown: the syncs so far and the files then.
    void note()
    {
        const QMutexLocker locked(&m_lock);
        if (!m_noted)
            m_noted = Noted{int(m_disk.size()), filesBelow(m_root)};
    }
    // A result was shown after a sync of a whole file system that saw every file as the result found
    // them: no name was given between that sync and the result.
    bool namesSyncedBeforeResult() const
    {
        const QMutexLocker locked(&m_lock);
        return m_noted && m_noted->syncs > 0 && m_disk.at(m_noted->syncs - 1) == m_noted->files;
    }

private:
    struct Noted
    {
        int syncs;
        QStringList files;
    };

    static SyncRecord*& current()
    {
        static SyncRecord* record = nullptr;
        return record;
    }
    static QString pathOf(int fd)
    {
        char path[4096] = {};
        const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
        return ::readlink(link.constData(), path, sizeof path - 1) > 0 ? QFile::decodeName(path) : QString();
    }
    static int hook(int fd)
    {
        SyncRecord* record = current();
        struct stat info {};
        if (!record || ::fstat(fd, &info) != 0)
            return 0;
        const QMutexLocker locked(&record->m_lock);
        if (!S_ISDIR(info.st_mode)) {
            ++record->m_files;
            return 0;
        }
        const QStringList files = filesBelow(record->m_root.isEmpty() ? pathOf(fd) : record->m_root);
        record->m_disk << files;
        return record->m_refuse ? record->m_refuse(files) : 0;
    }

    QString m_root;
    std::function<int(const QStringList&)> m_refuse;
    mutable QMutex m_lock;
    QList<QStringList> m_disk;
    int m_files = 0;
    std::optional<Noted> m_noted;
};

} // namespace fixtures
