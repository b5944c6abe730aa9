#include "CalciumFormulas.h"

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

} // namespace clinical
