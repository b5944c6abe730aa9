#pragma once
// One running copy of the program per data folder, whatever login session, runtime folder or computer
// starts it: a record lock on a file in the data folder itself, taken without waiting and held for the
// life of the object. The kernel drops it at any end of the process, a kill included, and on a network
// share the file server keeps it for every computer that mounts the folder. The file names the computer
// and the process that hold it, so that a copy turned away can say where the other one runs.

#include <QString>
#include <QtGlobal>

namespace platform {

class DataFolderLock
{
public:
    static constexpr const char* kFileName = "KalvenorSingleInstanceMutex_v1";

    // The copy that holds the lock, as its file says; empty fields when it does not say (yet).
    struct Holder
    {
        QString host;
        qint64 pid = 0;
        // Runs on the computer that asks (or says nothing of where it runs).
        bool maybeThisComputer() const;
    };

    explicit DataFolderLock(const QString& folder);
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    // Tries once, without waiting. True when another live copy holds the lock (holder() then says which).
    // A lock that cannot be had at all (no folder, no right to write, a file system without locks) counts
    // as no other copy running: isHeld() is then false and failure() says why.
    bool anotherInstanceRunning();

    bool isHeld() const { return m_fd >= 0; }
    Holder holder() const { return m_holder; }
    QString folder() const { return m_folder; }
    QString filePath() const;
    QString failure() const { return m_failure; }

private:
    QString m_folder;
    int m_fd = -1;
    Holder m_holder;
    QString m_failure;
};

} // namespace platform
