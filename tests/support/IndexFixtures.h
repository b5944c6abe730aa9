#pragma once
// Fixture files that go straight into a real index, as an import would put them there.

#include "support/DicomFixtures.h"

#include <QString>
#include <QStringList>

namespace db {
class Database;
}

namespace fixtures {

// Reads the summary of every file and indexes it; false at the first file that fails (or for none).
// ownCopies: indexed as copies the program wrote itself (an archive import, a retrieve), with the
// digest of their bytes.
bool indexFiles(db::Database& index, const QStringList& paths, bool ownCopies = false);

// Writes the described series into `dir` (created when missing) and indexes it. UIDs left empty in
// `layout` are generated and written back, so the caller learns the study and series UIDs.
bool writeAndIndexSeries(db::Database& index, const QString& dir, SeriesLayout& layout);

} // namespace fixtures
