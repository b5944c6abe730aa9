#pragma once

#include "platform/OwnFileDoor.h"

#include <QString>

namespace db {

// The file a path names at the moment it is looked at. An index file replaced under the same name (a
// copy restored, an index made anew) is another file, however alike the two are.
struct FileIdentity : platform::FileId
{
    // Unknown when nothing is at the path.
    static FileIdentity of(const QString& path) { return {platform::FileId::reachedBy(path)}; }
};

} // namespace db
