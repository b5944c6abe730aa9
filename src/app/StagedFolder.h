#pragma once
// A folder written beside its final place under a hidden name and moved there whole once complete, so
// that an export cut short (the program killed, the disk full) never stands under the final name where
// it would pass for a finished one. Such a hidden folder carries a mark made with it, which says which
// folder it is and, locked, that an export still writes it: one left behind (the drive pulled out, the
// program killed) is removed by the next export beside it, never a folder that merely looks like one.

#include <QString>

#include <filesystem>

// A failure of the standard library's file operations in the user's words: what the system refused
// and where ("Ошибка копирования: …").
QString fileCopyFailure(const std::filesystem::filesystem_error& e);

class StagedFolder
{
public:
    // Creates the hidden staging folder next to target, once the ones left there are gone; target's
    // parent must exist.
    explicit StagedFolder(const QString& target);
    // A staging folder that was not committed is removed with everything in it.
    ~StagedFolder();
    StagedFolder(const StagedFolder&) = delete;
    StagedFolder& operator=(const StagedFolder&) = delete;

    // False with error() when the staging folder could not be created.
    bool isValid() const { return !m_staging.isEmpty(); }
    QString error() const { return m_error; }
    // Where the content is written.
    QString path() const { return m_staging; }

    // Puts the staged content at the target, and its name on the disk (the content itself is the
    // caller's to sync first). replaceTarget: a folder already there is replaced whole, so that the
    // target holds exactly the new content. Otherwise the staged entries join a folder already there
    // (one whose entries were all hidden), and an entry of the same name in it is not replaced. False
    // with *error when the content could not be put there, or it is there but its name may not have
    // reached the disk (the sync failed): no export is told done then.
    bool commit(bool replaceTarget, QString* error);

private:
    QString m_target;
    QString m_staging;
    QString m_error;
    bool m_committed = false;
    int m_mark = -1; // the mark, held locked while the folder is written
};
