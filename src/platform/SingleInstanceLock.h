#pragma once
// Stand-in for the per-user named mutex that keeps one normal-mode copy of the program running: a lock
// file in the user's runtime folder, taken without waiting and held for the life of the object.

#include <QLockFile>
#include <QString>

#include <memory>

namespace platform {

class SingleInstanceLock
{
public:
    static constexpr const char* kDefaultName = "KalvenorSingleInstanceMutex_v1";

    explicit SingleInstanceLock(const QString& name = QString::fromLatin1(kDefaultName));
    // The same lock file in the given folder (for example one that copies on other machines share).
    SingleInstanceLock(const QString& name, const QString& folder);
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // Tries once, without waiting. True when another live copy holds the lock. A lock left by a copy
    // that died is taken over; a lock that cannot be created at all counts as no other copy running
    // (isHeld() then tells that this copy does not hold it either).
    bool anotherInstanceRunning();

    bool isHeld() const;
    QString filePath() const { return m_path; }
    // Why the lock could not be created at all (a full disk, no permission, a folder in its place),
    // in Russian; empty when it is held, or held by another copy.
    QString failure() const { return m_failure; }

private:
    QString m_path;
    QString m_failure;
    std::unique_ptr<QLockFile> m_lock;
};

} // namespace platform
