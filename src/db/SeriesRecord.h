#pragma once

#include <QString>

namespace db {

// One series of the index.
struct SeriesRecord
{
    QString seriesInstanceUid;
    QString studyInstanceUid;
    QString modality;
    QString seriesDescription;
    QString seriesNumber; // kept as text, as the file gives it
    int instanceCount = 0;
    QString bodyPartExamined;
    QString laterality;
};

} // namespace db
