#pragma once

#include <QString>

namespace dicom {

// What tells one version of a file from another for the decode caches and the readers. Size and
// modification time alone miss a same-size rewrite within one file-system clock tick; our writers
// replace files by renaming a new one over them, which always changes the inode. The time of the
// last change of the file's status also moves when the file loses its name (another renamed over
// it) or is touched, and when a copy keeps size and modification time (cp -p): no program sets it
// back. A file system that numbers its files anew (a stick plugged in again) gives another identity
// to the same bytes, which costs a reader a read, never a wrong answer.
struct FileIdentity
{
    qint64 size = -1;
    qint64 modifiedNs = 0;
    quint64 inode = 0;
    quint64 device = 0;
    qint64 statusChangedNs = 0;
    bool regular = false; // a plain file, not a pipe, device or folder

    bool exists() const { return size >= 0; }
    // As it is kept beside a file's index row; empty for a missing file.
    QString text() const;
    bool operator==(const FileIdentity&) const = default;
};

// Thread-safe (no time-zone conversion, unlike QFileInfo). A missing file gives size -1.
FileIdentity fileIdentity(const QString& path);
// The same of a file already open; size -1 when the descriptor cannot be asked.
FileIdentity fileIdentity(int fd);

// Both are plain files (no link) of the very same bytes.
bool sameFileBytes(const QString& a, const QString& b);

} // namespace dicom
