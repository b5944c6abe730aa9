#pragma once
// Cardiac cine stacks: slice positions of a short-axis study, each imaged at the phases of the heart
// cycle, stored either as one series per slice position or as one series holding them all.

#include "db/InstanceRecord.h"

#include <QList>
#include <QString>

namespace db {
class Database;
}

namespace render {

struct CineSlice
{
    double sliceLocation = 0.0; // of the row that opened the slice
    QList<db::InstanceRecord> frames; // phases in phase order
};

struct CineStack
{
    QList<CineSlice> slices; // in slice order
    bool phasesByInstanceNumber = false; // no frame had a trigger time
    QString error; // groupCineSeries reports its failures here; empty in every stack the finder returns
    QString label;
};

// Every cine stack of the study: stacks of one series per slice position first, then single series that
// hold a whole grid. Empty without a database or when nothing qualifies.
QList<CineStack> findCardiacCineStacks(db::Database* database, const QString& studyInstanceUid);
// Splits one series into slice positions (locations more than 1 mm apart); `slices` empty and `error`
// set when it is no cine grid.
CineStack groupCineSeries(QList<db::InstanceRecord> instances);
// Orders one slice's frames by trigger time (frames without one last) when any frame has one, else by
// instance number. True when trigger times were used. Ties keep their order.
bool sortCinePhases(QList<db::InstanceRecord>& frames);

} // namespace render
