#include "clinical/CalciumFormulas.h"

#include "clinical/CalculatorPageKit.h"

#include <cmath>

namespace clinical {

double agatstonLesionScore(double areaMm2, double peakHu)
{
    if (!(areaMm2 > 0.0))
        return 0.0;
    double weight = 0.0;
    // Comparisons are false for a NaN peak, which therefore weighs 0.
    if (peakHu >= 400.0)
        weight = 4.0;
    else if (peakHu >= 300.0)
        weight = 3.0;
    else if (peakHu >= 200.0)
        weight = 2.0;
    else if (peakHu >= 130.0)
        weight = 1.0;
    return areaMm2 * weight;
}

QString calciumScoreCategory(double agatston)
{
    if (agatston <= 0.0)
        return QStringLiteral("0 — кальциноза не выявлено, очень низкий риск");
    if (agatston <= 10.0)
        return QStringLiteral("минимальный (1-10)");
    if (agatston <= 100.0)
        return QStringLiteral("лёгкий (11-100)");
    if (agatston <= 400.0)
        return QStringLiteral("умеренный (101-400)");
    return QStringLiteral("выраженный (>400)");
}

QString calciumTotalHtml(double total)
{
    const double printed = shownValue(total, 1);
    return QStringLiteral("<b>Суммарный индекс коронарного кальция (Agatston):</b> %1<br>"
                          "<b>Категория риска:</b> %2<br>")
        .arg(QString::number(printed, 'f', 1), calciumScoreCategory(printed).toHtmlEscaped());
}

QString agatstonSliceWarning(double thicknessMm, double spacingMm)
{
    if (!(thicknessMm > 0.0))
        return {};
    // The limits themselves (2.5 and 3.5 mm, a spacing of 90 % of the thickness) still pass, also when the
    // decimal values land a hair beyond them in binary.
    constexpr double Slack = 1e-6;
    const bool offThickness = std::abs(thicknessMm - 3.0) > 0.5 + Slack;
    const bool overlapping = spacingMm > 0.0 && spacingMm < thicknessMm * 0.9 - Slack;
    if (!offThickness && !overlapping)
        return {};
    const QString spacing = spacingMm > 0.0 ? QStringLiteral("%1 мм").arg(QString::number(spacingMm, 'g', 4))
                                            : QStringLiteral("не определён");
    // Thin or overlapping slices count each calcification on more slices, so the total grows with them.
    return QStringLiteral("⚠️ Срезы серии: толщина %1 мм, шаг %2. Индекс Agatston и его категории риска "
                          "действительны для смежных срезов толщиной около 3 мм — на этой серии индекс может "
                          "быть искажён (на тонких или перекрывающихся срезах — завышен в несколько раз).")
        .arg(QString::number(thicknessMm, 'g', 4), spacing);
}

} // namespace clinical
