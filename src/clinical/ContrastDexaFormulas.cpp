#include "clinical/ContrastDexaFormulas.h"

#include <algorithm>

namespace clinical {

ContrastDoseResult contrastDoseByGfr(double w, double g)
{
    ContrastDoseResult r;
    r.standardMl = 1.5 * w;
    if (g >= 60) {
        r.maxMl = std::min(150.0, 1.5 * w);
        r.risk = QStringLiteral("✅ Низкий риск КИН");
        r.advice = QStringLiteral("Стандартная доза без ограничений. Гидратация желательна.");
    } else if (g >= 45) {
        r.maxMl = std::min(100.0, 1.0 * w);
        r.risk = QStringLiteral("⚠️ Умеренный риск КИН (G3a)");
        r.advice = QStringLiteral("Ограничить до 1.0 мл/кг. Обязательная гидратация 0.9% NaCl.");
    } else if (g >= 30) {
        r.maxMl = std::min(60.0, 0.5 * w);
        r.risk = QStringLiteral("⚠️ Высокий риск КИН (G3b)");
        r.advice = QStringLiteral(
            "Снизить до 0.5 мл/кг. Предпочтителен изоосмолярный контраст. Гидратация обязательна.");
    } else if (g >= 15) {
        r.maxMl = std::min(40.0, 0.5 * w);
        r.risk = QStringLiteral("🚨 Очень высокий риск КИН (G4)");
        r.advice = QStringLiteral("Применять с осторожностью. Доза ≤ 0.5 мл/кг. Нефрологическая консультация.");
    } else {
        r.maxMl = std::min(30.0, 0.3 * w);
        r.risk = QStringLiteral("🚨 Терминальная ХБП (G5)");
        r.advice = QStringLiteral(
            "Введение контраста возможно только по жизненным показаниям. Консультация нефролога обязательна.");
    }
    return r;
}

QString tScoreText(double t)
{
    if (t >= -1.0)
        return QStringLiteral("✅ Норма (T ≥ −1.0)");
    if (t > -2.5)
        return QStringLiteral("⚠️ Остеопения (−2.5 < T < −1.0) — риск переломов повышен");
    return QStringLiteral("🚨 Остеопороз (T ≤ −2.5) — высокий риск переломов, показано лечение");
}

QString zScoreText(double z)
{
    // A Z-score of −2.0 or lower is below the expected range for age (ISCD official positions).
    if (z > -2.0)
        return QStringLiteral("✅ Соответствует возрастной норме (Z > −2.0)");
    return QStringLiteral("⚠️ Ниже возрастной нормы (Z ≤ −2.0) — возможна вторичная остеопения");
}

QString dexaFractureRiskText(double t, const QString& site)
{
    if (t >= -1.0)
        return QStringLiteral("Низкий риск перелома (%1)").arg(site);
    if (t > -2.5)
        return QStringLiteral("Умеренный риск перелома (%1)").arg(site);
    return QStringLiteral("Высокий риск перелома (%1) — рассмотреть антиостеопоротическую терапию").arg(site);
}

} // namespace clinical
