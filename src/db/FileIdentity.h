#pragma once

#include <QString>

namespace db {

// The file a path names at the moment it is looked at. An index file replaced under the same name (a
// copy restored, an index made anew) is another file, however alike the two are.
struct FileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    bool known = false;

    // Unknown when nothing is at the path.
    static FileIdentity of(const QString& path);
    friend bool operator==(const FileIdentity& a, const FileIdentity& b)
    {
        return a.known == b.known && a.device == b.device && a.inode == b.inode;
    }
    friend bool operator!=(const FileIdentity& a, const FileIdentity& b) { return !(a == b); }
};

} // namespace db
