#include "clinical/AbdominalFormulas.h"

#include "clinical/CalculatorPageKit.h"

namespace clinical {

double liverVolumeEstimate(double lMm, double dMm, double tMm)
{
    return (lMm / 10.0) * (dMm / 10.0) * (tMm / 10.0) * 0.31;
}

SpleenEstimate spleenIndex(double lCm, double dCm, double hCm)
{
    SpleenEstimate e;
    e.index = lCm * dCm * hCm;
    e.volume = e.index * 0.58 + 30.0;
    e.weight = e.volume * 1.05;
    return e;
}

AdrenalWashoutResult adrenalWashout(double unenhancedHu, double venousHu, double delayedHu)
{
    AdrenalWashoutResult r;
    r.absolutePercent = (venousHu - delayedHu) * 100.0 / (venousHu - unenhancedHu);
    r.relativePercent = (venousHu - delayedHu) * 100.0 / venousHu;
    // Adenoma thresholds of the incidental adrenal mass white paper (JACR 2017): ≥ 60 % absolute,
    // ≥ 40 % relative, taken on the percentages as the page prints them, with one decimal.
    r.absoluteAdenoma = shownValue(r.absolutePercent, 1) >= 60.0;
    r.relativeAdenoma = shownValue(r.relativePercent, 1) >= 40.0;
    r.absoluteText = r.absoluteAdenoma ? QStringLiteral("✅ Аденома") : QStringLiteral("❌ Не аденома");
    r.relativeText = r.relativeAdenoma ? QStringLiteral("✅ Аденома") : QStringLiteral("❌ Не аденома");
    return r;
}

QString aaaDiameterText(double d, bool female)
{
    const double threshold = female ? 5.0 : 5.5;
    if (d < 3.0)
        return QStringLiteral("Норма (< 3.0 см) — аневризма не диагностируется");
    if (d < 4.0)
        return QStringLiteral("Малая аневризма (3.0–3.9 см) — УЗИ-контроль обычно раз в 2–3 года");
    if (d < 4.5)
        return QStringLiteral("Аневризма 4.0–4.4 см — контроль ежегодно");
    if (d < threshold)
        return QStringLiteral("Аневризма 4.5 см — %1 см — контроль каждые 6 мес.").arg(threshold, 0, 'f', 1);
    return QStringLiteral("≥ %1 см (порог для %2) — рассмотреть плановое оперативное лечение (также — при росте > 1 "
                          "см/год или симптоматике, независимо от диаметра)")
        .arg(QString::number(threshold, 'f', 1), female ? QStringLiteral("женщин") : QStringLiteral("мужчин"));
}

ChildPughResult childPugh(int bilirubinPoints, int albuminPoints, int inrPoints, int ascitesPoints,
                          int encephalopathyPoints)
{
    ChildPughResult r;
    r.total = bilirubinPoints + albuminPoints + inrPoints + ascitesPoints + encephalopathyPoints;
    if (r.total <= 6) {
        r.childClass = QStringLiteral("A");
        r.survival = QStringLiteral("1-годичная выживаемость ≈100%");
    } else if (r.total <= 9) {
        r.childClass = QStringLiteral("B");
        r.survival = QStringLiteral("1-годичная выживаемость ≈80%");
    } else {
        r.childClass = QStringLiteral("C");
        r.survival = QStringLiteral("1-годичная выживаемость ≈45%");
    }
    return r;
}

} // namespace clinical
