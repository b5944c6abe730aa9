#pragma once
// CT angiography subtraction: finding the native and the post-contrast series of one study, and the
// volume post-contrast minus native.

#include "render/SliceSources.h"
#include "render/Volume.h"

#include "db/InstanceRecord.h"
#include "db/PhaseGrouping.h"

#include <QList>
#include <QString>

namespace db {
class Database;
}

namespace render {

struct CtaSubtractionPair
{
    QList<db::InstanceRecord> nativeInstances; // instance-number order, as the index returns them
    QList<db::InstanceRecord> contrastInstances;
    QString nativeLabel; // series description, or "Серия <number>" without one
    QString contrastLabel;
    bool orderIsApproximate = false; // roles decided by series number alone
    QString error; // empty on success

    bool isValid() const { return error.isEmpty() && !nativeInstances.isEmpty() && !contrastInstances.isEmpty(); }
};

// Finds the two CT series of the study that share the reference series' geometry and coverage and
// decides which of them is native (acquisition time, then description keywords, then series number).
// The series' rows come through rowsOf when given.
CtaSubtractionPair findCtaSubtractionPair(db::Database* database, const QString& studyInstanceUid,
                                          const QString& referenceSeriesUid, const db::SeriesRows& rowsOf = {});

// Builds both volumes as buildVolume orients them and returns post-contrast minus native voxel by voxel;
// an empty volume and a Russian message on failure. Beside a built volume `error` holds the two builds'
// warnings, one a line and each once (slices left out, uneven steps, a tilted or slid stack): the
// difference lies where the native volume places it.
Volume buildSubtractionVolume(const QList<db::InstanceRecord>& nativeInstances,
                              const QList<db::InstanceRecord>& contrastInstances, QString* error);

} // namespace render
