#include "clinical/LungNoduleFormulas.h"

#include <algorithm>
#include <cmath>

namespace clinical {

NoduleEstimate noduleFromOutline(double widthPx, double heightPx, double spacingX, double spacingY)
{
    const double sx = spacingX > 0.0 ? spacingX : 1.0;
    const double sy = spacingY > 0.0 ? spacingY : 1.0;
    const double a = widthPx * 0.5 * sx;
    const double b = heightPx * 0.5 * sy;
    NoduleEstimate estimate;
    if (!(a > 0.0) || !(b > 0.0))
        return estimate;
    const double c = (a + b) / 2.0;
    estimate.diameterMm = 2.0 * std::max(a, b);
    estimate.meanDiameterMm = std::round((a + b) * 10.0) / 10.0;
    estimate.volumeMm3 = 4.1887902047863905 * a * b * c;
    estimate.valid = true;
    return estimate;
}

QString lungRadsCategory(double meanDiameterMm, bool newOnFollowUp)
{
    if (meanDiameterMm < (newOnFollowUp ? 4.0 : 6.0))
        return QStringLiteral("2");
    if (meanDiameterMm < (newOnFollowUp ? 6.0 : 8.0))
        return QStringLiteral("3");
    if (meanDiameterMm < (newOnFollowUp ? 8.0 : 15.0))
        return QStringLiteral("4A");
    return QStringLiteral("4B");
}

QString lungRadsCategoryText(double meanDiameterMm, bool newOnFollowUp)
{
    const QString category = lungRadsCategory(meanDiameterMm, newOnFollowUp);
    if (category == QLatin1String("2"))
        return QStringLiteral("Категория 2 — доброкачественная находка. НДКТ через 12 мес.");
    if (category == QLatin1String("3"))
        return QStringLiteral("Категория 3 — вероятно доброкачественная. НДКТ через 6 мес.");
    if (category == QLatin1String("4A"))
        return QStringLiteral(
            "Категория 4A — подозрительная находка. НДКТ через 3 мес. (± ПЭТ/КТ при солидном "
            "компоненте ≥8 мм).");
    return QStringLiteral(
        "Категория 4B — весьма подозрительная находка. Диагностическая КТ, ПЭТ/КТ, гистологическая "
        "верификация.");
}

} // namespace clinical
