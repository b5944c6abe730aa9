#include "clinical/CtDoseFormulas.h"

#include "clinical/SeriesGeometry.h"
#include "render/VectorMath.h"

#include <QStringList>

#include <algorithm>

#include <cmath>
#include <limits>
#include <numeric>

namespace clinical {

namespace {

constexpr double NA = std::numeric_limits<double>::quiet_NaN();

bool inRange(int region, int ageGroup)
{
    return region >= 0 && region <= 10 && ageGroup >= 0 && ageGroup <= 5;
}

bool containsAny(const QString& text, const QStringList& keywords)
{
    for (const QString& k : keywords) {
        if (text.contains(k))
            return true;
    }
    return false;
}

} // namespace

QString bodyRegionName(int region)
{
    static const QStringList names{
        QStringLiteral("Голова"),
        QStringLiteral("Шея"),
        QStringLiteral("Голова и шея"),
        QStringLiteral("Грудная клетка"),
        QStringLiteral("Брюшная полость"),
        QStringLiteral("Таз"),
        QStringLiteral("Нижние конечности"),
        QStringLiteral("Грудная клетка + брюшная полость"),
        QStringLiteral("Брюшная полость + таз"),
        QStringLiteral("Грудная клетка + брюшная полость + таз"),
        QStringLiteral("Всё тело"),
    };
    if (region < 0 || region >= names.size())
        return QString();
    return names.at(region);
}

const EdlpTable& edlpTable16cm()
{
    static const EdlpTable table{{
        {0.0059, 0.0048, 0.0035, 0.0027, 0.0018, 0.0014},
        {0.022, 0.018, 0.013, 0.011, 0.0073, 0.006},
        {0.0078, 0.0066, 0.0051, 0.0043, 0.003, 0.0025},
        {0.026, 0.02, 0.014, 0.011, 0.0069, NA},
        {0.031, 0.024, 0.017, 0.013, 0.0079, NA},
        {0.034, 0.027, 0.019, 0.014, 0.0087, NA},
        {0.0015, 0.00099, 0.00055, 0.00036, 0.00016, NA},
        {0.028, 0.022, 0.016, 0.012, 0.0073, NA},
        {0.032, 0.026, 0.018, 0.014, 0.0083, NA},
        {0.03, 0.024, 0.017, 0.013, 0.0078, NA},
        {0.019, 0.016, 0.013, 0.012, 0.0087, NA},
    }};
    return table;
}

const EdlpTable& edlpTable32cm()
{
    static const EdlpTable table{{
        {NA, NA, NA, NA, NA, NA},
        {NA, NA, NA, NA, NA, NA},
        {NA, NA, NA, NA, NA, NA},
        {0.059, 0.047, 0.033, 0.026, 0.016, 0.012},
        {0.072, 0.056, 0.039, 0.03, 0.018, 0.014},
        {0.077, 0.06, 0.042, 0.033, 0.02, 0.015},
        {0.0027, 0.0018, 0.001, 0.00068, 0.0003, 0.0002},
        {0.065, 0.051, 0.036, 0.028, 0.017, 0.013},
        {0.075, 0.059, 0.041, 0.031, 0.019, 0.015},
        {0.069, 0.054, 0.038, 0.029, 0.018, 0.014},
        {0.043, 0.038, 0.031, 0.027, 0.02, 0.017},
    }};
    return table;
}

std::optional<double> doseKFactor(int phantom, int region, int ageGroup)
{
    // Out-of-range indices would read past the tables; they give no factor instead.
    if (!inRange(region, ageGroup))
        return std::nullopt;
    const EdlpTable& table = phantom != 0 ? edlpTable32cm() : edlpTable16cm();
    const double k = table[region][ageGroup];
    if (std::isnan(k))
        return std::nullopt;
    return k;
}

std::optional<double> effectiveDoseFromDlp(double dlp, int phantom, int region, int ageGroup)
{
    const std::optional<double> k = doseKFactor(phantom, region, ageGroup);
    if (!k)
        return std::nullopt;
    return *k * dlp;
}

QList<int> regionsWithKFactors(int phantom)
{
    const EdlpTable& table = phantom != 0 ? edlpTable32cm() : edlpTable16cm();
    QList<int> regions;
    for (int region = 0; region <= 10; ++region) {
        for (double k : table[region]) {
            if (!std::isnan(k)) {
                regions.append(region);
                break;
            }
        }
    }
    return regions;
}

QString backgroundDoseText(double mSv)
{
    return QStringLiteral("≈ %1 лет среднегодового природного фона (~%2 мЗв/год, UNSCEAR)")
        .arg(mSv / 2.4, 0, 'f', 2)
        .arg(2.4, 0, 'f', 1);
}

BodyRegionGuess detectBodyRegion(const QString& bodyPart, const QString& protocolName,
                                 const QString& seriesDescription, const QString& studyDescription)
{
    static const QStringList head{QStringLiteral("head"), QStringLiteral("brain"), QStringLiteral("skull"),
                                  QStringLiteral("голов"), QStringLiteral("мозг")};
    static const QStringList neck{QStringLiteral("neck"), QStringLiteral("шея"), QStringLiteral("шейн")};
    static const QStringList chest{QStringLiteral("chest"), QStringLiteral("thorax"), QStringLiteral("lung"),
                                   QStringLiteral("грудн"), QStringLiteral("легк"), QStringLiteral("груд")};
    static const QStringList abdomen{QStringLiteral("abdomen"), QStringLiteral("живот"), QStringLiteral("брюш")};
    static const QStringList pelvis{QStringLiteral("pelvis"), QStringLiteral("таз")};
    static const QStringList legs{QStringLiteral("leg"),       QStringLiteral("femur"),  QStringLiteral("knee"),
                                  QStringLiteral("ankle"),     QStringLiteral("конечност"), QStringLiteral("бедр"),
                                  QStringLiteral("голен"),     QStringLiteral("стоп"),   QStringLiteral("колен")};
    static const QStringList wholeBody{QStringLiteral("whole body"), QStringLiteral("wholebody"),
                                       QStringLiteral("всё тело"), QStringLiteral("все тело")};

    for (const QString& input : {bodyPart, protocolName, seriesDescription, studyDescription}) {
        const QString text = input.toLower();
        if (text.isEmpty())
            continue;
        const bool isHead = containsAny(text, head);
        const bool isNeck = containsAny(text, neck);
        const bool isChest = containsAny(text, chest);
        const bool isAbdomen = containsAny(text, abdomen);
        const bool isPelvis = containsAny(text, pelvis);
        const bool isLegs = containsAny(text, legs);
        const bool isWhole = containsAny(text, wholeBody);

        int region = -1;
        if (isWhole)
            region = 10;
        else if (isChest && isAbdomen && isPelvis)
            region = 9;
        else if (isAbdomen && isPelvis)
            region = 8;
        else if (isChest && isAbdomen)
            region = 7;
        else if (isHead && isNeck)
            region = 2;
        else if (isLegs)
            region = 6;
        else if (isChest)
            region = 3;
        else if (isAbdomen)
            region = 4;
        else if (isPelvis)
            region = 5;
        else if (isNeck)
            region = 1;
        else if (isHead)
            region = 0;
        if (region < 0)
            continue;
        return BodyRegionGuess{region, region >= 3 ? 1 : 0, true};
    }
    return BodyRegionGuess{};
}

double scannedLengthMm(const QList<db::InstanceRecord>& instances)
{
    if (instances.isEmpty())
        return 0.0;
    const QList<double> positions = stackPositionsMm(instances);
    const auto [low, high] = std::minmax_element(positions.begin(), positions.end());
    return *high - *low + instances.first().sliceThickness;
}

std::optional<TableExtent> tableExtentMm(const QList<db::InstanceRecord>& instances, int rows, int columns)
{
    std::optional<TableExtent> extent;
    for (const db::InstanceRecord& instance : instances) {
        if (!instance.hasSpatialInfo)
            continue;
        const render::Vec3d normal =
            render::normalizedOrZero(render::cross(instance.orientationRow, instance.orientationCol));
        // The head–foot axis is the third patient coordinate; a row runs over the columns and back.
        const double rowLength = std::max(columns - 1, 0) * instance.pixelSpacingX;
        const double columnLength = std::max(rows - 1, 0) * instance.pixelSpacingY;
        const double alongRow = instance.orientationRow[2] * rowLength;
        const double alongColumn = instance.orientationCol[2] * columnLength;
        const double halfSlab = std::abs(normal[2]) * std::max(instance.sliceThickness, 0.0) / 2.0;
        const double z = instance.imagePosition[2];
        const double low = z + std::min(alongRow, 0.0) + std::min(alongColumn, 0.0) - halfSlab;
        const double high = z + std::max(alongRow, 0.0) + std::max(alongColumn, 0.0) + halfSlab;
        if (!extent)
            extent = TableExtent{low, high};
        extent->fromMm = std::min(extent->fromMm, low);
        extent->toMm = std::max(extent->toMm, high);
    }
    return extent;
}

QList<QStringList> likelyReconstructionGroups(const QList<CountedDoseSeries>& series)
{
    const auto overlapping = [](const CountedDoseSeries& a, const CountedDoseSeries& b) {
        if (a.frameOfReferenceUid.isEmpty() || a.frameOfReferenceUid != b.frameOfReferenceUid)
            return false;
        if (!a.extent || !b.extent)
            return false;
        const TableExtent& x = *a.extent;
        const TableExtent& y = *b.extent;
        const double shorter = std::min(x.toMm - x.fromMm, y.toMm - y.fromMm);
        const double common = std::min(x.toMm, y.toMm) - std::max(x.fromMm, y.fromMm);
        return shorter > 0.0 && common > shorter / 2.0;
    };
    // Overlap is not transitive, so series are joined into groups: every group is named by its first series.
    QList<qsizetype> root(series.size());
    std::iota(root.begin(), root.end(), qsizetype(0));
    const auto find = [&root](qsizetype i) {
        while (root[i] != i)
            i = root[i];
        return i;
    };
    for (qsizetype i = 1; i < series.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            if (overlapping(series.at(i), series.at(j)))
                root[std::max(find(i), find(j))] = std::min(find(i), find(j));
        }
    }
    QList<QStringList> groups;
    for (qsizetype i = 0; i < series.size(); ++i) {
        if (find(i) != i)
            continue;
        QStringList labels;
        for (qsizetype k = i; k < series.size(); ++k) {
            if (find(k) == i)
                labels.append(series.at(k).label);
        }
        if (labels.size() >= 2)
            groups.append(labels);
    }
    return groups;
}

QString reconstructionGroupWarning(const QStringList& labels)
{
    QStringList quoted;
    for (const QString& label : labels)
        quoted.append(QStringLiteral("«%1»").arg(label));
    return QStringLiteral("⚠️ Серии %1 — одна система координат (Frame of Reference) и одна и та же зона по "
                          "длине стола: возможно, это реконструкции одного сканирования, и их доза учтена в "
                          "сумме несколько раз.")
        .arg(quoted.join(QStringLiteral(", ")));
}

} // namespace clinical
