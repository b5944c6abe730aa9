#include "db/PhaseGrouping.h"

#include "db/Database.h"

#include <QMap>

#include <algorithm>
#include <cmath>

namespace {

// A NaN difference compares false, so it fails the test as it should.
bool within(double a, double b, double tolerance)
{
    return std::fabs(a - b) <= tolerance;
}

struct Candidate
{
    QList<db::InstanceRecord> rows;
    int seriesNumber = 0;
    double acquisitionTime = -1.0;
};

int seriesNumberOf(const db::SeriesRecord& series)
{
    bool ok = false;
    const int number = series.seriesNumber.trimmed().toInt(&ok, 10);
    return ok ? number : 0;
}

double earliestAcquisitionTime(const QList<db::InstanceRecord>& rows)
{
    double earliest = -1.0;
    for (const db::InstanceRecord& row : rows) {
        if (row.acquisitionTimeSeconds >= 0.0 && (earliest < 0.0 || row.acquisitionTimeSeconds < earliest))
            earliest = row.acquisitionTimeSeconds;
    }
    return earliest;
}

} // namespace

bool haveSameStackGeometry(const QList<db::InstanceRecord>& reference, const QList<db::InstanceRecord>& other)
{
    if (reference.isEmpty() || other.size() != reference.size())
        return false;
    const db::InstanceRecord& a = reference.first();
    const db::InstanceRecord& b = other.first();
    if (!a.frameOfReferenceUid.isEmpty() && !b.frameOfReferenceUid.isEmpty()
        && a.frameOfReferenceUid != b.frameOfReferenceUid)
        return false;
    return within(a.pixelSpacingX, b.pixelSpacingX, 0.01) && within(a.pixelSpacingY, b.pixelSpacingY, 0.01)
        && within(a.sliceThickness, b.sliceThickness, 0.15);
}

void sortSlicesByLocation(QList<db::InstanceRecord>& instances)
{
    if (instances.size() < 2)
        return;
    const double first = instances.first().sliceLocation;
    const bool allAtFirst = std::all_of(instances.cbegin(), instances.cend(), [first](const db::InstanceRecord& r) {
        return within(r.sliceLocation, first, 0.01);
    });
    if (allAtFirst)
        return;
    // Stable, so slices at one location keep instance order; a NaN location sorts last instead of
    // breaking the ordering the sort relies on.
    std::stable_sort(instances.begin(), instances.end(), [](const db::InstanceRecord& a, const db::InstanceRecord& b) {
        if (std::isnan(a.sliceLocation) || std::isnan(b.sliceLocation))
            return !std::isnan(a.sliceLocation) && std::isnan(b.sliceLocation);
        return a.sliceLocation < b.sliceLocation;
    });
}

PhaseGrouping groupPhasesByTemporalIndex(const QList<db::InstanceRecord>& instances)
{
    PhaseGrouping grouping;
    if (instances.isEmpty()) {
        grouping.message = QStringLiteral("Пустая серия — нечего группировать");
        return grouping;
    }
    const bool anyIndexed = std::any_of(instances.cbegin(), instances.cend(), [](const db::InstanceRecord& r) {
        return r.temporalPositionIndex > 0;
    });
    if (!anyIndexed) {
        grouping.message = QStringLiteral(
            "У срезов этой серии нет Temporal Position Index — похоже, временные фазы хранятся как отдельные "
            "DICOM-серии (используйте поиск фаз по исследованию).");
        return grouping;
    }

    QMap<int, QList<db::InstanceRecord>> buckets; // ascending keys
    for (const db::InstanceRecord& row : instances)
        buckets[std::max(row.temporalPositionIndex, 1)].append(row);

    grouping.timeIsPhaseIndex = true;
    const int firstKey = buckets.firstKey();
    for (auto it = buckets.begin(); it != buckets.end(); ++it) {
        TemporalPhase phase;
        phase.index = it.key();
        phase.time = double(it.key() - firstKey);
        phase.instances = std::move(it.value());
        sortSlicesByLocation(phase.instances);
        grouping.phases.append(std::move(phase));
    }
    if (grouping.phases.size() < 2) {
        grouping.message = QStringLiteral("Найдена только одна временная фаза — динамика недоступна");
        grouping.phases.clear();
    }
    return grouping;
}

PhaseGrouping groupPhasesAcrossSeries(db::Database* database, const QString& studyInstanceUid,
                                      const QString& referenceSeriesUid, const db::SeriesRows& rowsOf)
{
    PhaseGrouping grouping;
    if (!database) {
        grouping.message = QStringLiteral("Нет подключения к базе данных");
        return grouping;
    }
    const auto rowsOfSeries = [&](const QString& uid) {
        return rowsOf ? rowsOf(uid) : database->instancesForSeries(uid);
    };
    const QList<db::InstanceRecord> reference = rowsOfSeries(referenceSeriesUid);
    if (reference.isEmpty()) {
        grouping.message = QStringLiteral("Опорная серия пуста");
        return grouping;
    }

    const QList<db::SeriesRecord> studySeries = database->seriesForStudy(studyInstanceUid);
    QString referenceModality;
    for (const db::SeriesRecord& series : studySeries) {
        if (series.seriesInstanceUid == referenceSeriesUid) {
            referenceModality = series.modality;
            break;
        }
    }

    QList<Candidate> candidates;
    for (const db::SeriesRecord& series : studySeries) {
        if (!referenceModality.isEmpty() && series.modality != referenceModality)
            continue;
        QList<db::InstanceRecord> rows = rowsOfSeries(series.seriesInstanceUid);
        if (!haveSameStackGeometry(reference, rows))
            continue;
        Candidate candidate;
        candidate.seriesNumber = seriesNumberOf(series);
        candidate.acquisitionTime = earliestAcquisitionTime(rows);
        candidate.rows = std::move(rows);
        candidates.append(std::move(candidate));
    }

    if (candidates.size() < 2) {
        grouping.message = QStringLiteral(
            "Не удалось найти несколько серий с одинаковой геометрией в этом исследовании — похоже, это не набор "
            "фаз динамической серии (если фазы хранятся в одном файле, используйте группировку по Temporal "
            "Position Index).");
        return grouping;
    }

    // Stable sorts: series with equal keys keep the index's series order, so phases are reproducible.
    const bool timesKnown = std::none_of(candidates.cbegin(), candidates.cend(), [](const Candidate& c) {
        return c.acquisitionTime < 0.0;
    });
    double start = 0.0;
    if (timesKnown) {
        std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
            return a.acquisitionTime < b.acquisitionTime;
        });
        start = candidates.first().acquisitionTime;
    } else {
        grouping.timeIsPhaseIndex = true;
        std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
            return a.seriesNumber < b.seriesNumber;
        });
    }

    for (qsizetype i = 0; i < candidates.size(); ++i) {
        TemporalPhase phase;
        phase.index = int(i + 1);
        phase.time = timesKnown ? candidates[i].acquisitionTime - start : double(i);
        phase.instances = std::move(candidates[i].rows);
        sortSlicesByLocation(phase.instances);
        grouping.phases.append(std::move(phase));
    }
    return grouping;
}
