#include "clinical/NeuroMskFormulas.h"

#include <QStringList>

#include <cmath>

namespace clinical {

const std::array<std::pair<QString, QString>, 10>& aspectsRegions()
{
    static const std::array<std::pair<QString, QString>, 10> regions{{
        {QStringLiteral("C"), QStringLiteral("Хвостатое ядро")},
        {QStringLiteral("L"), QStringLiteral("Чечевицеобразное ядро")},
        {QStringLiteral("I"), QStringLiteral("Островковая кора")},
        {QStringLiteral("IC"), QStringLiteral("Внутренняя капсула")},
        {QStringLiteral("M1"), QStringLiteral("Передняя кора СМА")},
        {QStringLiteral("M2"), QStringLiteral("Средняя кора СМА")},
        {QStringLiteral("M3"), QStringLiteral("Задняя кора СМА")},
        {QStringLiteral("M4"), QStringLiteral("Передняя кора СМА (кортикальная)")},
        {QStringLiteral("M5"), QStringLiteral("Средняя кора СМА (кортикальная)")},
        {QStringLiteral("M6"), QStringLiteral("Задняя кора СМА (кортикальная)")},
    }};
    return regions;
}

double abcOver2Volume(double a, double b, double c)
{
    return a * b * c * 0.5;
}

double absoluteDifference(double a, double b)
{
    return std::abs(a - b);
}

QString evansIndexText(double v)
{
    // Enlargement is an index above 0.3: 0.30 itself is still normal. The page grades the index as it
    // prints it, so 37.2 / 124 (0.30000000000000004) arrives here as 0.30.
    return v <= 0.3 ? QStringLiteral("✅ Норма (EI ≤ 0.3)")
                    : QStringLiteral("⚠️ Расширение желудочков (гидроцефалия или НПГ)");
}

QString ichVolumeText(double v)
{
    if (v < 10)
        return QStringLiteral("✅ Малый объём (<10 мл) — консервативное лечение");
    if (v < 30)
        return QStringLiteral("⚠️ Средний объём (10–30 мл) — наблюдение, возможна нейрохирургия");
    if (v < 60)
        return QStringLiteral("⚠️ Большой объём (30–60 мл) — высокий риск, часто показана операция");
    return QStringLiteral("🚨 Критический объём (>60 мл) — жизнеугрожающий, хирургия");
}

QString sdhVolumeText(double v)
{
    if (v < 10)
        return QStringLiteral("✅ Малый объём (<10 мл) — консервативное лечение при стабильности");
    if (v < 25)
        return QStringLiteral("⚠️ Средний объём (10–25 мл) — наблюдение, контроль КТ");
    return QStringLiteral("🚨 Большой объём (≥25 мл) — показание к хирургическому дренированию");
}

QString sdhGradeText(double volume, double thicknessMm)
{
    // An acute subdural haematoma thicker than 10 mm is evacuated whatever its volume (Neurosurgery, 2006); a
    // volume of 25 ml or more already reads as surgical on its own.
    if (thicknessMm > 10 && volume < 25)
        return QStringLiteral("🚨 Толщина >10 мм — показание к хирургическому удалению гематомы независимо от "
                              "объёма");
    return sdhVolumeText(volume);
}

QString midlineShiftText(double v)
{
    if (v < 3)
        return QStringLiteral("✅ Нет значимого смещения (<3 мм)");
    if (v < 5)
        return QStringLiteral("⚠️ Незначительное смещение (3–5 мм) — динамический контроль");
    if (v < 10)
        return QStringLiteral("⚠️ Умеренное смещение (5–10 мм) — нейрохирургическая консультация");
    return QStringLiteral("🚨 Критическое смещение (≥10 мм) — риск вклинения, экстренная нейрохирургия");
}

QString carotidStenosisText(double v)
{
    if (v < 50)
        return QStringLiteral("Стеноз <50% — консервативное лечение");
    if (v < 70)
        return QStringLiteral("Стеноз 50–69% — ЭКЭ при симптомах");
    if (v < 90)
        return QStringLiteral("Стеноз 70–89% — показано ЭКЭ");
    // No residual lumen is an occlusion, which endarterectomy does not treat
    // (Eur J Vasc Endovasc Surg, 2023).
    if (v < 100)
        return QStringLiteral("Стеноз ≥90% — критический, показано ЭКЭ");
    return QStringLiteral("100% — окклюзия просвета");
}

QString onsdText(double v)
{
    if (v < 5.0)
        return QStringLiteral("< 5.0 мм — признаков повышения ВЧД не выявлено (ориентировочный общий порог — см. "
                              "оговорку ниже)");
    return QStringLiteral("≥ 5.0 мм — заподозрить повышение ВЧД, сопоставить с клиникой и другими признаками (отёк "
                          "диска зрительного нерва, смещение срединных структур и т.п.); точный порог варьирует по "
                          "модальности/методике измерения — ориентир, не самостоятельный диагностический критерий");
}

QString aspectsInterpretationText(int score)
{
    if (score == 10)
        return QStringLiteral("✅ Нет ранних ишемических изменений");
    if (score >= 8)
        return QStringLiteral("⚠️ Минимальные изменения (ASPECTS 8–9)");
    if (score < 6)
        return QStringLiteral("🚨 Обширная ишемия (ASPECTS <6)");
    return QStringLiteral("⚠️ Умеренные изменения (ASPECTS 6–7)");
}

QString aspectsReperfusionText(int score)
{
    if (score == 10)
        return QStringLiteral("Тромболизис/тромбэкстракция возможны при соответствии критериям");
    if (score >= 8)
        return QStringLiteral("Благоприятный прогноз для реперфузии");
    if (score < 6)
        return QStringLiteral("Реперфузия ассоциирована с высоким риском геморрагической трансформации");
    return QStringLiteral("Решение о реперфузии индивидуально");
}

QString phasesRiskText(int score)
{
    if (score <= 2)
        return QStringLiteral("✅ Низкий риск — консервативное наблюдение");
    if (score <= 4)
        return QStringLiteral("⚠️ Умеренно низкий риск — наблюдение с периодической нейровизуализацией");
    if (score <= 6)
        return QStringLiteral("⚠️ Умеренный риск — мультидисциплинарное обсуждение лечения");
    if (score <= 9)
        return QStringLiteral("⚠️ Умеренно высокий риск — рассмотреть хирургическое/эндоваскулярное лечение");
    return QStringLiteral("🚨 Высокий риск — рекомендовано активное лечение");
}

QString phasesFiveYearRisk(int score)
{
    static const QStringList table{QStringLiteral("0.4%"), QStringLiteral("0.4%"), QStringLiteral("0.4%"),
                                   QStringLiteral("0.7%"), QStringLiteral("0.9%"), QStringLiteral("1.3%"),
                                   QStringLiteral("1.7%"), QStringLiteral("2.4%"), QStringLiteral("3.2%"),
                                   QStringLiteral("4.3%"), QStringLiteral("5.3%"), QStringLiteral("7.2%")};
    if (score < 1)
        return table.first();
    if (score >= 12)
        return QStringLiteral("17.8%");
    return table.at(score);
}

QString insallSalvatiText(double v)
{
    if (v < 0.8)
        return QStringLiteral("🔵 Patella baja (низкое стояние надколенника), ИС < 0.8");
    if (v <= 1.2)
        return QStringLiteral("✅ Норма (ИС 0.8–1.2)");
    return QStringLiteral("🔴 Patella alta (высокое стояние надколенника), ИС > 1.2 — фактор риска "
                          "нестабильности/вывиха надколенника");
}

QString meyerdingGradeText(double v)
{
    if (v < 25)
        return QStringLiteral("Степень I (0–25%) — лёгкий спондилолистез");
    if (v < 50)
        return QStringLiteral("Степень II (25–50%)");
    if (v < 75)
        return QStringLiteral("Степень III (50–75%) — выраженный");
    if (v <= 100)
        return QStringLiteral("Степень IV (75–100%) — тяжёлый");
    return QStringLiteral("Степень V — спондилоптоз (полное смещение тела позвонка за пределы нижележащего)");
}

} // namespace clinical
