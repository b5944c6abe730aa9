#include "render/CineStack.h"

#include "db/Database.h"
#include "db/PhaseGrouping.h"

#include <algorithm>
#include <cmath>

namespace render {

namespace {

int seriesNumberOf(const db::SeriesRecord& series)
{
    bool ok = false;
    const int number = series.seriesNumber.trimmed().toInt(&ok, 10);
    return ok ? number : 0;
}

QString descriptionOf(const db::SeriesRecord& series)
{
    return series.seriesDescription.isEmpty() ? QStringLiteral("без описания") : series.seriesDescription;
}

// Ascending with NaN last, so that a missing location cannot break the ordering the sort relies on.
bool locationLess(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return !std::isnan(a) && std::isnan(b);
    return a < b;
}

struct Member
{
    qsizetype seriesIndex = 0;
    QList<db::InstanceRecord> rows;
    double sliceLocation = 0.0;
    int seriesNumber = 0;
};

} // namespace

bool sortCinePhases(QList<db::InstanceRecord>& frames)
{
    const bool anyTrigger = std::any_of(frames.cbegin(), frames.cend(), [](const db::InstanceRecord& r) {
        return r.triggerTimeMs >= 0.0;
    });
    if (anyTrigger) {
        const auto key = [](const db::InstanceRecord& r) { return r.triggerTimeMs >= 0.0 ? r.triggerTimeMs : 1e18; };
        std::stable_sort(frames.begin(), frames.end(), [&key](const db::InstanceRecord& a, const db::InstanceRecord& b) {
            return key(a) < key(b);
        });
        return true;
    }
    std::stable_sort(frames.begin(), frames.end(), [](const db::InstanceRecord& a, const db::InstanceRecord& b) {
        return a.instanceNumber < b.instanceNumber;
    });
    return false;
}

CineStack groupCineSeries(QList<db::InstanceRecord> instances)
{
    CineStack stack;
    if (instances.isEmpty()) {
        stack.error = QStringLiteral("Пустая серия — нечего группировать");
        return stack;
    }
    std::stable_sort(instances.begin(), instances.end(), [](const db::InstanceRecord& a, const db::InstanceRecord& b) {
        return locationLess(a.sliceLocation, b.sliceLocation);
    });
    QList<CineSlice> slices;
    for (const db::InstanceRecord& row : instances) {
        if (slices.isEmpty() || std::fabs(row.sliceLocation - slices.last().sliceLocation) > 1.0) {
            CineSlice slice;
            slice.sliceLocation = row.sliceLocation;
            slices.append(slice);
        }
        slices.last().frames.append(row);
    }
    if (slices.size() < 2) {
        stack.error = QStringLiteral("Найден только один срез по SliceLocation в этой серии — похоже, здесь КАЖДЫЙ срез "
                                     "хранится ОТДЕЛЬНОЙ серией. Используйте общий поиск по исследованию.");
        return stack;
    }
    bool anyTriggerOrder = false;
    for (CineSlice& slice : slices)
        anyTriggerOrder = sortCinePhases(slice.frames) || anyTriggerOrder;
    if (slices.first().frames.size() < 3) {
        stack.error = QStringLiteral("На срез приходится всего %1 кадр(ов) — это не похоже на cine (обычно 15-30 фаз "
                                     "за сердечный цикл). Похоже, это не кардио-cine, а обычная многосрезовая серия.")
                          .arg(slices.first().frames.size());
        return stack;
    }
    stack.slices = std::move(slices);
    stack.phasesByInstanceNumber = !anyTriggerOrder;
    return stack;
}

QList<CineStack> findCardiacCineStacks(db::Database* database, const QString& studyInstanceUid)
{
    QList<CineStack> stacks;
    if (!database)
        return stacks;
    const QList<db::SeriesRecord> series = database->seriesForStudy(studyInstanceUid);
    QList<QList<db::InstanceRecord>> rows;
    rows.reserve(series.size());
    for (const db::SeriesRecord& s : series)
        rows.append(database->instancesForSeries(s.seriesInstanceUid));
    QList<bool> used(series.size(), false);

    // One series per slice position: series of equal count and geometry form one stack.
    for (qsizetype i = 0; i < series.size(); ++i) {
        if (used[i] || rows[i].size() < 3)
            continue;
        QList<Member> members;
        members.append({i, rows[i], rows[i].first().sliceLocation, seriesNumberOf(series[i])});
        for (qsizetype j = i + 1; j < series.size(); ++j) {
            if (used[j] || series[j].modality != series[i].modality || !haveSameStackGeometry(rows[i], rows[j]))
                continue;
            members.append({j, rows[j], rows[j].first().sliceLocation, seriesNumberOf(series[j])});
        }
        if (members.size() < 2)
            continue;
        for (const Member& m : members)
            used[m.seriesIndex] = true;

        const double firstLocation = members.first().sliceLocation;
        const bool oneLocation = std::all_of(members.cbegin(), members.cend(), [firstLocation](const Member& m) {
            return std::fabs(m.sliceLocation - firstLocation) <= 1.0;
        });
        if (oneLocation)
            std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
                return a.seriesNumber < b.seriesNumber;
            });
        else
            std::stable_sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
                return locationLess(a.sliceLocation, b.sliceLocation);
            });

        CineStack stack;
        bool anyTriggerOrder = false;
        for (Member& m : members) {
            CineSlice slice;
            slice.sliceLocation = m.sliceLocation;
            anyTriggerOrder = sortCinePhases(m.rows) || anyTriggerOrder;
            slice.frames = std::move(m.rows);
            stack.slices.append(std::move(slice));
        }
        stack.phasesByInstanceNumber = !anyTriggerOrder;
        stack.label = QStringLiteral("%1 срезов × %2 фаз — серии №%3.. (\"%4\")")
                          .arg(members.size())
                          .arg(rows[i].size())
                          .arg(members.first().seriesNumber)
                          .arg(descriptionOf(series[i]));
        stacks.append(std::move(stack));
    }

    // One series holding every slice position and phase.
    for (qsizetype i = 0; i < series.size(); ++i) {
        if (used[i])
            continue;
        CineStack grouped = groupCineSeries(rows[i]);
        if (grouped.slices.isEmpty() || !grouped.error.isEmpty())
            continue;
        used[i] = true;
        CineStack stack;
        stack.phasesByInstanceNumber = grouped.phasesByInstanceNumber;
        stack.label = QStringLiteral("%1 срезов × %2 фаз — одна серия №%3 (\"%4\")")
                          .arg(grouped.slices.size())
                          .arg(grouped.slices.first().frames.size())
                          .arg(series[i].seriesNumber)
                          .arg(descriptionOf(series[i]));
        stack.slices = std::move(grouped.slices);
        stacks.append(std::move(stack));
    }
    return stacks;
}

} // namespace render
