#pragma once

#include <QString>

namespace platform {

// Which version of a file a path leads to, told by one look at it (no byte read): a file another
// program renamed over the name, or wrote anew in place, is another version, also when it kept the
// size and the modification time (a copy keeping times, two discs of same-sized slices). The inode's
// time of change, which no program sets back, moves with every such write; a file system that
// numbers its files anew (a stick plugged in again) gives another version of the same bytes, which
// costs the caller a read, never a wrong answer.
struct FileVersion
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    bool known = false;
    bool regular = false; // a plain file, not a pipe, device or folder

    // The file the path leads to (links followed) now; unknown when nothing can be looked at there.
    // Thread-safe.
    static FileVersion of(const QString& path);
    // As it is kept beside a file's index row; empty for an unknown version.
    QString text() const;
    bool operator==(const FileVersion&) const = default;
};

} // namespace platform
