#include "render/CtaSubtraction.h"

#include "render/ParallelFor.h"

#include "db/Database.h"
#include "db/PhaseGrouping.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace render {

namespace {

const char* const kNativeKeywords[] = {"без контраст", "native", "nativ", "plain", "noncontrast", "non-contrast"};
const char* const kContrastKeywords[] = {"артери", "венозн", "arterial", "venous", "contrast", "ангио", "cta"};

template<size_t N>
bool matchesAny(const QString& description, const char* const (&keywords)[N])
{
    return std::any_of(std::begin(keywords), std::end(keywords), [&description](const char* keyword) {
        return description.contains(QString::fromUtf8(keyword), Qt::CaseInsensitive);
    });
}

struct Candidate
{
    db::SeriesRecord series;
    QList<db::InstanceRecord> rows;
    double earliestTime = -1.0;
};

double earliestAcquisitionTime(const QList<db::InstanceRecord>& rows)
{
    double earliest = -1.0;
    for (const db::InstanceRecord& row : rows) {
        if (row.acquisitionTimeSeconds >= 0.0 && (earliest < 0.0 || row.acquisitionTimeSeconds < earliest))
            earliest = row.acquisitionTimeSeconds;
    }
    return earliest;
}

int seriesNumberOf(const db::SeriesRecord& series)
{
    bool ok = false;
    const int number = series.seriesNumber.trimmed().toInt(&ok, 10);
    return ok ? number : 0;
}

QString labelOf(const db::SeriesRecord& series)
{
    return series.seriesDescription.isEmpty() ? QStringLiteral("Серия %1").arg(series.seriesNumber)
                                              : series.seriesDescription;
}

using Triple = std::array<double, 3>;

double dotProduct(const Triple& a, const Triple& b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Where a stack begins and ends in the patient: the positions of its lowest and highest slices along
// the slice normal, with the first slice's axes and the voxel size that measure a mismatch.
struct StackExtent
{
    bool known = false;
    Triple low{}, high{};
    Triple rowAxis{}, columnAxis{}, normal{};
    double halfVoxel[3] = {0.5, 0.5, 0.5};
};

StackExtent extentOf(const QList<db::InstanceRecord>& rows)
{
    StackExtent e;
    if (rows.isEmpty() || !std::all_of(rows.cbegin(), rows.cend(), [](const db::InstanceRecord& r) {
            return r.hasSpatialInfo;
        }))
        return e;
    const db::InstanceRecord& first = rows.first();
    const Triple& r = first.orientationRow;
    const Triple& c = first.orientationCol;
    Triple n{r[1] * c[2] - r[2] * c[1], r[2] * c[0] - r[0] * c[2], r[0] * c[1] - r[1] * c[0]};
    const double rowLength = std::sqrt(dotProduct(r, r));
    const double columnLength = std::sqrt(dotProduct(c, c));
    const double normalLength = std::sqrt(dotProduct(n, n));
    if (!(rowLength > 1e-6) || !(columnLength > 1e-6) || !(normalLength > 1e-6))
        return e;
    for (int i = 0; i < 3; ++i) {
        e.rowAxis[i] = r[i] / rowLength;
        e.columnAxis[i] = c[i] / columnLength;
        e.normal[i] = n[i] / normalLength;
    }
    qsizetype lowest = 0, highest = 0;
    for (qsizetype i = 1; i < rows.size(); ++i) {
        const double d = dotProduct(rows[i].imagePosition, e.normal);
        if (d < dotProduct(rows[lowest].imagePosition, e.normal))
            lowest = i;
        if (d > dotProduct(rows[highest].imagePosition, e.normal))
            highest = i;
    }
    e.low = rows[lowest].imagePosition;
    e.high = rows[highest].imagePosition;
    const double span = dotProduct(e.high, e.normal) - dotProduct(e.low, e.normal);
    double sliceSpacing = rows.size() > 1 ? span / double(rows.size() - 1) : 0.0;
    if (!(sliceSpacing > 0.0))
        sliceSpacing = first.sliceThickness > 0.0 ? first.sliceThickness : 1.0;
    e.halfVoxel[0] = 0.5 * (first.pixelSpacingX > 0.0 ? first.pixelSpacingX : 1.0);
    e.halfVoxel[1] = 0.5 * (first.pixelSpacingY > 0.0 ? first.pixelSpacingY : 1.0);
    e.halfVoxel[2] = 0.5 * sliceSpacing;
    e.known = true;
    return e;
}

// Equal counts, spacing and thickness do not make two series cover the same body: another z range
// or field-of-view centre would be subtracted voxel by voxel into a plausible-looking but
// misregistered volume. Without positions on both sides nothing can be checked.
bool sameCoverage(const StackExtent& reference, const StackExtent& other)
{
    if (!reference.known || !other.known)
        return true;
    const Triple* axes[3] = {&reference.rowAxis, &reference.columnAxis, &reference.normal};
    for (const auto& [a, b] : {std::pair{&reference.low, &other.low}, std::pair{&reference.high, &other.high}}) {
        const Triple d{(*b)[0] - (*a)[0], (*b)[1] - (*a)[1], (*b)[2] - (*a)[2]};
        for (int axis = 0; axis < 3; ++axis) {
            if (!(std::fabs(dotProduct(d, *axes[axis])) <= reference.halfVoxel[axis]))
                return false;
        }
    }
    return true;
}

// Where a built volume lies in the patient: the centre of voxel (0, 0, 0) and the patient direction of
// each volume axis, following the reorientation that the builder gives the stack.
struct VolumeFrame
{
    bool known = false;
    Triple origin{};
    std::array<Triple, 3> axis{};
};

VolumeFrame frameOf(const StackExtent& stack, const Volume& volume)
{
    VolumeFrame f;
    if (!stack.known)
        return f;
    AxisMapping m = orientationAxes(stack.rowAxis[0], stack.rowAxis[1], stack.rowAxis[2], stack.columnAxis[0],
                                    stack.columnAxis[1], stack.columnAxis[2]);
    if (!m.valid)
        m = AxisMapping();
    const std::array<int, 3> dims{volume.nx, volume.ny, volume.nz};
    const Triple spacing{volume.spacingX, volume.spacingY, volume.spacingZ};
    const Triple* stackAxes[3] = {&stack.rowAxis, &stack.columnAxis, &stack.normal};
    f.origin = stack.low;
    for (int a = 0; a < 3; ++a) {
        const int v = m.axis[size_t(a)];
        const double sign = m.sign[size_t(a)];
        for (int i = 0; i < 3; ++i)
            f.axis[size_t(v)][i] = sign * (*stackAxes[a])[i];
        // A reversed stack axis starts the volume at the stack's far end.
        if (sign < 0)
            for (int i = 0; i < 3; ++i)
                f.origin[i] += (dims[size_t(v)] - 1) * spacing[size_t(v)] * (*stackAxes[a])[i];
    }
    f.known = true;
    return f;
}

QString spacingText(const Volume& v)
{
    return QStringLiteral("%1×%2×%3").arg(v.spacingX, 0, 'f', 2).arg(v.spacingY, 0, 'f', 2).arg(v.spacingZ, 0, 'f', 2);
}

// Two volumes of equal size subtract voxel by voxel only when every voxel of one lies within half a
// voxel of the same voxel of the other. What differs beyond that, as Russian words, or nothing.
QStringList geometryDifferences(const Volume& a, const Volume& b, const VolumeFrame& fa, const VolumeFrame& fb)
{
    QStringList out;
    const std::array<int, 3> dims{a.nx, a.ny, a.nz};
    const Triple sa{a.spacingX, a.spacingY, a.spacingZ};
    const Triple sb{b.spacingX, b.spacingY, b.spacingZ};
    for (int v = 0; v < 3; ++v) {
        if (!(std::fabs(sa[v] - sb[v]) * std::max(dims[v] - 1, 1) <= 0.5 * sa[v])) {
            out << QStringLiteral("шаг вокселей %1 против %2 мм").arg(spacingText(a), spacingText(b));
            break;
        }
    }
    if (!fa.known || !fb.known)
        return out;
    // The farthest corner moves most when the axes turn.
    double drift = 0.0;
    for (int corner = 1; corner < 8; ++corner) {
        Triple d{};
        for (int v = 0; v < 3; ++v)
            if (corner & (1 << v))
                for (int i = 0; i < 3; ++i)
                    d[i] += (dims[v] - 1) * sa[v] * (fb.axis[v][i] - fa.axis[v][i]);
        drift = std::max(drift, std::sqrt(dotProduct(d, d)));
    }
    if (!(drift <= 0.5 * std::min({sa[0], sa[1], sa[2]})))
        out << QStringLiteral("ориентация срезов");
    const Triple shift{fb.origin[0] - fa.origin[0], fb.origin[1] - fa.origin[1], fb.origin[2] - fa.origin[2]};
    for (int v = 0; v < 3; ++v) {
        if (!(std::fabs(dotProduct(shift, fa.axis[v])) <= 0.5 * sa[v])) {
            out << QStringLiteral("положение (сдвиг %1 мм)").arg(std::sqrt(dotProduct(shift, shift)), 0, 'f', 1);
            break;
        }
    }
    return out;
}

CtaSubtractionPair failed(const QString& message)
{
    CtaSubtractionPair pair;
    pair.error = message;
    return pair;
}

} // namespace

CtaSubtractionPair findCtaSubtractionPair(db::Database* database, const QString& studyInstanceUid,
                                          const QString& referenceSeriesUid, const db::SeriesRows& rowsOf)
{
    if (!database)
        return failed(QStringLiteral("Нет подключения к базе данных"));
    const auto rowsOfSeries = [&](const QString& uid) {
        return rowsOf ? rowsOf(uid) : database->instancesForSeries(uid);
    };
    const QList<db::InstanceRecord> reference = rowsOfSeries(referenceSeriesUid);
    if (reference.isEmpty())
        return failed(QStringLiteral("Опорная серия пуста"));
    const QList<db::SeriesRecord> studySeries = database->seriesForStudy(studyInstanceUid);
    const auto referenceSeries = std::find_if(studySeries.cbegin(), studySeries.cend(),
                                              [&](const db::SeriesRecord& s) {
                                                  return s.seriesInstanceUid == referenceSeriesUid;
                                              });
    if (referenceSeries == studySeries.cend())
        return failed(QStringLiteral("Опорная серия не найдена в исследовании"));
    if (referenceSeries->modality != QLatin1String("CT"))
        return failed(QStringLiteral("Субтракция КТ-ангиографии применима только к КТ-сериям"));

    const StackExtent referenceExtent = extentOf(reference);
    QList<Candidate> candidates;
    for (const db::SeriesRecord& series : studySeries) {
        if (series.modality != QLatin1String("CT"))
            continue;
        QList<db::InstanceRecord> rows = rowsOfSeries(series.seriesInstanceUid);
        if (!haveSameStackGeometry(reference, rows) || !sameCoverage(referenceExtent, extentOf(rows)))
            continue;
        Candidate candidate;
        candidate.series = series;
        candidate.earliestTime = earliestAcquisitionTime(rows);
        candidate.rows = std::move(rows);
        candidates.append(std::move(candidate));
    }
    if (candidates.size() < 2)
        return failed(QStringLiteral("Не найдено пары КТ-серий с одинаковой геометрией в этом исследовании — нужны "
                                     "нативная и постконтрастная серии с одинаковым числом срезов."));
    if (candidates.size() > 2)
        return failed(QStringLiteral("Найдено больше двух серий с одинаковой геометрией — похоже на мультифазную "
                                     "КТ-ангиографию, субтракция для более чем двух фаз пока не поддерживается."));

    const Candidate& a = candidates[0];
    const Candidate& b = candidates[1];
    bool aIsNative = true;
    bool approximate = false;
    if (a.earliestTime >= 0.0 && b.earliestTime >= 0.0) {
        aIsNative = b.earliestTime >= a.earliestTime;
    } else if (matchesAny(a.series.seriesDescription, kNativeKeywords)
               && matchesAny(b.series.seriesDescription, kContrastKeywords)) {
        aIsNative = true;
    } else if (matchesAny(b.series.seriesDescription, kNativeKeywords)
               && matchesAny(a.series.seriesDescription, kContrastKeywords)) {
        aIsNative = false;
    } else {
        aIsNative = seriesNumberOf(a.series) <= seriesNumberOf(b.series);
        approximate = true;
    }

    const Candidate& native = aIsNative ? a : b;
    const Candidate& contrast = aIsNative ? b : a;
    CtaSubtractionPair pair;
    pair.nativeInstances = native.rows;
    pair.contrastInstances = contrast.rows;
    pair.nativeLabel = labelOf(native.series);
    pair.contrastLabel = labelOf(contrast.series);
    pair.orderIsApproximate = approximate;
    return pair;
}

Volume buildSubtractionVolume(const QList<db::InstanceRecord>& nativeInstances,
                              const QList<db::InstanceRecord>& contrastInstances, QString* error)
{
    QString nativeMessage;
    const Volume native = buildVolume(sliceSourcesFromInstances(nativeInstances), &nativeMessage, AxialPlane);
    if (native.isEmpty()) {
        if (error)
            *error = QStringLiteral("Не удалось построить нативный объём: %1").arg(nativeMessage);
        return {};
    }
    QString contrastMessage;
    Volume contrast = buildVolume(sliceSourcesFromInstances(contrastInstances), &contrastMessage, AxialPlane);
    if (contrast.isEmpty()) {
        if (error)
            *error = QStringLiteral("Не удалось построить постконтрастный объём: %1").arg(contrastMessage);
        return {};
    }
    if (native.nx != contrast.nx || native.ny != contrast.ny || native.nz != contrast.nz) {
        if (error)
            *error = QStringLiteral("Размеры объёмов не совпадают (%1x%2x%3 против %4x%5x%6) — субтракция невозможна")
                         .arg(native.nx).arg(native.ny).arg(native.nz)
                         .arg(contrast.nx).arg(contrast.ny).arg(contrast.nz);
        return {};
    }
    const QStringList differences = geometryDifferences(native, contrast, frameOf(extentOf(nativeInstances), native),
                                                        frameOf(extentOf(contrastInstances), contrast));
    if (!differences.isEmpty()) {
        if (error)
            *error = QStringLiteral("Геометрия серий не совпадает (%1) — субтракция невозможна")
                         .arg(differences.join(QStringLiteral("; ")));
        return {};
    }

    // The difference is written over the post-contrast voxels, which are not needed afterwards: the
    // result costs no third volume of memory.
    const size_t planeSize = size_t(native.nx) * size_t(native.ny);
    const float* nativeVoxels = native.voxels.data();
    float* differenceVoxels = contrast.voxels.data();
    parallelFor(native.nz, [=](int begin, int end) {
        const float* __restrict n = nativeVoxels + size_t(begin) * planeSize;
        float* __restrict d = differenceVoxels + size_t(begin) * planeSize;
        const size_t count = size_t(end - begin) * planeSize;
        for (size_t i = 0; i < count; ++i)
            d[i] -= n[i];
    });
    if (error) {
        // The two series share their geometry, so their warnings are mostly the same lines.
        QStringList warnings = nativeMessage.split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                               + contrastMessage.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        warnings.removeDuplicates();
        *error = warnings.join(QLatin1Char('\n'));
    }
    return makeVolumeFromVoxels(native, std::move(contrast.voxels));
}

} // namespace render
