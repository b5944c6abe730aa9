#include "support/IndexFixtures.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "platform/ContentDigest.h"

#include <QDir>

namespace fixtures {

bool indexFiles(db::Database& index, const QStringList& paths, bool ownCopies)
{
    for (const QString& path : paths) {
        auto summary = dicom::readFileSummary(path);
        if (!summary)
            return false;
        summary->ownCopy = ownCopies;
        // As the program's copy writers record their copies: by the bytes written.
        if (ownCopies)
            summary->contentDigest = platform::ContentDigest::of(path);
        if (!index.indexFile(*summary))
            return false;
    }
    return !paths.isEmpty();
}

bool writeAndIndexSeries(db::Database& index, const QString& dir, SeriesLayout& layout)
{
    completeUids(layout);
    if (!QDir().mkpath(dir))
        return false;
    return indexFiles(index, writeSeries(dir, layout));
}

} // namespace fixtures
