#include "clinical/ChestFormulas.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace clinical {

const QStringList lungLobeNames{
    QStringLiteral("Верхняя доля правого лёгкого"), QStringLiteral("Средняя доля правого лёгкого"),
    QStringLiteral("Нижняя доля правого лёгкого"),  QStringLiteral("Верхняя доля левого лёгкого"),
    QStringLiteral("Нижняя доля левого лёгкого"),
};

namespace {
constexpr std::array<double, 5> LobeWeights{0.2, 0.1, 0.25, 0.2, 0.25};
constexpr std::array<double, 6> ScoreMidpoints{0.0, 2.5, 15.0, 37.5, 62.5, 87.5};
} // namespace

QString cardiothoracicIndexText(double cti)
{
    if (cti < 0.5)
        return QStringLiteral("✅ Норма (КТИ < 0.5, для PA-проекции взрослого)");
    if (cti < 0.55)
        return QStringLiteral("⚠️ Погранично увеличен (0.50–0.55) — на AP/портативном снимке может быть ложным "
                              "завышением из-за проекции, сверить с PA-снимком");
    return QStringLiteral("🚨 Кардиомегалия (КТИ ≥ 0.55) на PA-проекции");
}

double lobeScoreMidpointPercent(int score)
{
    if (score < 0 || score > 5)
        return 0.0;
    return ScoreMidpoints[std::size_t(score)];
}

LungInvolvementResult ctLungInvolvement(const QList<int>& scores)
{
    double x = 0.0;
    const qsizetype n = std::min<qsizetype>(scores.size(), 5);
    for (qsizetype i = 0; i < n; ++i)
        x += LobeWeights[std::size_t(i)] * lobeScoreMidpointPercent(scores.at(i));
    LungInvolvementResult r;
    if (x == 0.0)
        r.text = QStringLiteral("✅ Лёгкие без патологических изменений");
    else if (x < 25)
        r.text = QStringLiteral("⚠️ Лёгкое поражение (<25%)");
    else if (x < 50)
        r.text = QStringLiteral("⚠️ Умеренное поражение (25–50%)");
    else if (x < 75)
        r.text = QStringLiteral("🚨 Тяжёлое поражение (50–75%)");
    else
        r.text = QStringLiteral("🚨 Критическое поражение (>75%)");
    r.percent = std::round(x * 10.0) / 10.0;
    return r;
}

QString fleischnerRecommendation(int noduleType, double diameterMm, bool multiple, bool highRisk)
{
    // The guideline's size bands (< 6, 6–8, > 8 mm) apply to the mean diameter rounded to a whole
    // millimetre, so 8.4 mm is still 6–8 and 5.5 mm already 6.
    const double d = std::round(diameterMm);
    if (noduleType == 0) {
        if (!multiple) {
            if (d < 6.0)
                return highRisk ? QStringLiteral("Солидный узел <6 мм, единичный, высокий риск — контрольная КТ через 12 "
                                                 "мес. по усмотрению врача")
                                : QStringLiteral(
                                      "Солидный узел <6 мм, единичный, низкий риск — рутинное наблюдение НЕ требуется");
            if (d <= 8.0)
                return highRisk
                           ? QStringLiteral("Солидный узел 6–8 мм, единичный, высокий риск — КТ через "
                                            "6–12 мес., затем КТ через 18–24 мес.")
                           : QStringLiteral("Солидный узел 6–8 мм, единичный — КТ через 6–12 мес., затем "
                                            "при стабильности рассмотреть КТ через 18–24 мес.");
            return QStringLiteral(
                "Солидный узел >8 мм, единичный — рассмотреть КТ через 3 мес., ПЭТ/КТ или гистологическую верификацию");
        }
        if (d < 6.0)
            return highRisk ? QStringLiteral("Солидные узлы <6 мм, множественные, высокий риск — контрольная КТ через 12 "
                                             "мес. по усмотрению врача")
                            : QStringLiteral(
                                  "Солидные узлы <6 мм, множественные, низкий риск — рутинное наблюдение НЕ требуется");
        return highRisk
                   ? QStringLiteral("Солидные узлы ≥6 мм, множественные, высокий риск — КТ через 3–6 мес. "
                                    "(ориентируясь на самый крупный/подозрительный узел), затем КТ "
                                    "через 18–24 мес.")
                   : QStringLiteral("Солидные узлы ≥6 мм, множественные — КТ через 3–6 мес. (ориентируясь "
                                    "на самый крупный/подозрительный узел), затем при стабильности "
                                    "рассмотреть КТ через 18–24 мес.");
    }
    if (noduleType == 2) {
        if (!multiple)
            return d < 6.0 ? QStringLiteral(
                                 "Единичный узел по типу \"матового стекла\" <6 мм — рутинное наблюдение НЕ требуется")
                           : QStringLiteral("Единичный узел по типу \"матового стекла\" ≥6 мм — КТ через 6–12 мес. для "
                                            "подтверждения персистенции, затем КТ каждые 2 года до 5 лет наблюдения");
        return d < 6.0 ? QStringLiteral(
                             "Множественные узлы \"матового стекла\" <6 мм — КТ через 3–6 мес.; при стабильности — КТ на 2 "
                             "и 4 году")
                       : QStringLiteral("Множественные узлы \"матового стекла\" ≥6 мм — КТ через 3–6 мес.; дальнейшая "
                                        "тактика — по самому подозрительному узлу");
    }
    if (!multiple)
        return d < 6.0 ? QStringLiteral("Единичный частично-солидный узел <6 мм — рутинное наблюдение НЕ требуется "
                                        "(внимательно оценить наличие солидного компонента)")
                       : QStringLiteral("Единичный частично-солидный узел ≥6 мм — КТ через 3–6 мес. для подтверждения "
                                        "персистенции; если сохраняется и солидный компонент <6 мм — ежегодная КТ в "
                                        "течение 5 лет");
    return d < 6.0 ? QStringLiteral(
                         "Множественные частично-солидные узлы <6 мм — КТ через 3–6 мес.; при стабильности — КТ на 2 и 4 "
                         "году")
                   : QStringLiteral("Множественные частично-солидные узлы ≥6 мм — КТ через 3–6 мес.; дальнейшая тактика "
                                    "— по самому подозрительному узлу (солидному компоненту)");
}

double pleuralEffusionVolume(double thicknessMm)
{
    const double d = thicknessMm / 10.0;
    const double v = 0.365 * d * d * d - 4.529 * d * d + 159.723 * d - 88.377;
    return v < 0.0 ? 0.0 : v;
}

double percentOf(double a, double b)
{
    return a / b * 100.0;
}

QString effusionPercentText(double percent)
{
    if (percent < 25)
        return QStringLiteral("✅ Малый выпот (<25%) — компрессия лёгкого минимальна");
    if (percent < 50)
        return QStringLiteral("⚠️ Умеренный выпот (25–50%) — умеренная компрессия лёгкого");
    if (percent < 75)
        return QStringLiteral("⚠️ Большой выпот (50–75%) — значительная компрессия");
    return QStringLiteral("🚨 Массивный выпот (>75%) — тяжёлая компрессия, риск смещения средостения");
}

QString rvLvRatioText(double ratio)
{
    if (ratio < 1.0)
        return QStringLiteral("✅ RV/LV < 1.0 — без признаков перегрузки правых отделов на КТ");
    return QStringLiteral("⚠️ RV/LV ≥ 1.0 — признак перегрузки/дисфункции правого желудочка, ассоциирован с повышенным "
                          "риском неблагоприятного исхода при ТЭЛА (рассматривать вместе с клинической картиной, не "
                          "изолированно)");
}

WellsScoreResult wellsPeScore(bool dvtSigns, bool peMostLikely, bool heartRateOver100, bool immobilisationOrSurgery,
                              bool previousDvtPe, bool haemoptysis, bool activeCancer)
{
    WellsScoreResult r;
    r.score = (dvtSigns ? 3.0 : 0.0) + (peMostLikely ? 3.0 : 0.0) + (heartRateOver100 ? 1.5 : 0.0)
              + (immobilisationOrSurgery ? 1.5 : 0.0) + (previousDvtPe ? 1.5 : 0.0) + (haemoptysis ? 1.0 : 0.0)
              + (activeCancer ? 1.0 : 0.0);
    r.text = r.score <= 4 ? QStringLiteral("≤4 — ТЭЛА маловероятна (двухуровневая шкала) / ")
                          : QStringLiteral(">4 — ТЭЛА вероятна (двухуровневая шкала) / ");
    if (r.score < 2)
        r.text += QStringLiteral("низкая (трёхуровневая шкала)");
    else if (r.score <= 6)
        r.text += QStringLiteral("умеренная (трёхуровневая шкала)");
    else
        r.text += QStringLiteral("высокая (трёхуровневая шкала)");
    return r;
}

} // namespace clinical
