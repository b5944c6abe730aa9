#pragma once
// The phases of a dynamic (perfusion, contrast-enhanced) acquisition. Scanners store the repeated
// stacks either in one series, told apart by Temporal Position Index, or as one series per moment
// with identical geometry; both forms end up as one PhaseGrouping.

#include "db/InstanceRecord.h"

#include <QList>
#include <QString>

#include <functional>

namespace db {
class Database;
// The rows of a series as Database::instancesForSeries lists them, for a caller that listed them
// already to pass them on.
using SeriesRows = std::function<QList<InstanceRecord>(const QString& seriesInstanceUid)>;
}

struct TemporalPhase
{
    // By temporal index: the index minus the first phase's index. Across series: seconds after the
    // earliest series when every series has an acquisition time, else the ordinal minus 1.
    double time = 0.0;
    // By temporal index: the Temporal Position Index (at least 1). Across series: the 1-based ordinal.
    int index = 0;
    QList<db::InstanceRecord> instances;
};

struct PhaseGrouping
{
    QList<TemporalPhase> phases; // in time order; empty when grouping failed
    bool timeIsPhaseIndex = false; // the times count phases rather than seconds
    QString message; // Russian explanation when grouping failed or found a single phase

    bool isUsable() const { return !phases.isEmpty() && message.isEmpty(); }
};

// Groups the study's series that share the reference series' modality, slice count and geometry.
// One instance query per series of the study, through rowsOf when given.
PhaseGrouping groupPhasesAcrossSeries(db::Database* database, const QString& studyInstanceUid,
                                      const QString& referenceSeriesUid, const db::SeriesRows& rowsOf = {});

// Groups the rows of one series by Temporal Position Index; runs no query.
PhaseGrouping groupPhasesByTemporalIndex(const QList<db::InstanceRecord>& instances);

// Orders a phase's slices by slice location, ascending; keeps the given order when every slice lies
// within 0.01 mm of the first (the frames of one multi-frame file). Equal locations keep their order.
void sortSlicesByLocation(QList<db::InstanceRecord>& instances);

// Whether two series can be repetitions of one stack: the same number of rows, the same Frame of
// Reference when both first rows name one, pixel spacing within 0.01 mm and slice thickness within
// 0.15 mm between the first rows (a NaN on either side fails). Empty lists never match.
bool haveSameStackGeometry(const QList<db::InstanceRecord>& reference, const QList<db::InstanceRecord>& other);
