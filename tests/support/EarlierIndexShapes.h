#pragma once
// An index file as the program's earlier versions wrote it: an index written by this version, taken
// back step by step to the tables, columns and keys of an earlier one, its rows kept as that version
// would have kept them.

#include <QString>
#include <QStringList>

namespace fixtures {

// The earlier versions, newest first, each named by what came after it ("before file versions": the
// version before the rows kept their files' versions), down to "earliest".
QStringList earlierIndexVersions();

// Takes the index file (of this version, not open elsewhere) back to the shape the named earlier
// version wrote; empty on success, else what failed.
QString shapeAsEarlierIndex(const QString& indexPath, const QString& version);

} // namespace fixtures
