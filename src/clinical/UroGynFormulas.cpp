#include "clinical/UroGynFormulas.h"

namespace clinical {

double ellipsoidVolume(double a, double b, double c)
{
    return a * 0.523 * b * c;
}

double prostateVolume(double aMm, double bMm, double cMm)
{
    return aMm * 0.52 * bMm * cMm / 1000.0;
}

QString ovarianVolumeText(double v)
{
    if (v < 8)
        return QStringLiteral("Норма (в т.ч. типично для постменопаузы)");
    if (v < 10)
        return QStringLiteral("Норма для репродуктивного возраста");
    return QStringLiteral("≥10 см³ — один из критериев поликистозных яичников (Роттердамские критерии) при "
                          "соответствующей клинико-лабораторной картине; изолированно объём диагноз не подтверждает");
}

QString prostateVolumeText(double v)
{
    if (v <= 30)
        return QStringLiteral("✅ Норма (≤30 см³)");
    if (v <= 50)
        return QStringLiteral("⚠️ Умеренная гиперплазия");
    if (v <= 80)
        return QStringLiteral("⚠️ Значительная гиперплазия");
    return QStringLiteral("🚨 Тяжёлая гиперплазия / возможная патология");
}

QString psaDensityText(double d)
{
    if (d < 0.15)
        return QStringLiteral("✅ Норма — низкий риск рака простаты");
    if (d < 0.25)
        return QStringLiteral("⚠️ Повышенная плотность — требует наблюдения");
    if (d < 0.4)
        return QStringLiteral("⚠️ Высокая плотность — рекомендована биопсия");
    return QStringLiteral("🚨 Очень высокая плотность — высокий риск рака простаты");
}

NephrometryResult paduaScoreText(int sum)
{
    if (sum <= 7)
        return {QStringLiteral("Низкая (Low)"),
                QStringLiteral("Простая анатомия — предпочтительна лапароскопическая/роботическая резекция почки, "
                               "низкий риск осложнений.")};
    if (sum <= 9)
        return {QStringLiteral("Умеренная (Intermediate)"),
                QStringLiteral("Резекция технически осуществима, но выше риск осложнений (кровотечение, повреждение "
                               "собирательной системы) — тщательное планирование доступа.")};
    return {QStringLiteral("Высокая (High)"),
            QStringLiteral("Сложная анатомия — резекция сопряжена с высоким риском осложнений, нефрэктомия может быть "
                           "более безопасным вариантом в зависимости от функции противоположной почки.")};
}

NephrometryResult renalScoreText(int sum)
{
    if (sum >= 4 && sum <= 6)
        return {QStringLiteral("Низкая (Low)"),
                QStringLiteral("Наиболее подходящий вариант — органосохраняющее лечение (лапароскопическая резекция). "
                               "Подходит для малоинвазивного подхода.")};
    if (sum >= 7 && sum <= 9)
        return {QStringLiteral("Умеренная (Moderate)"),
                QStringLiteral("Необходим индивидуальный подход. Возможно проведение резекции при благоприятной "
                               "анатомии. В противном случае — нефрэктомия.")};
    if (sum >= 10 && sum <= 12)
        return {QStringLiteral("Высокая (High)"),
                QStringLiteral("Часто требуется радикальная нефрэктомия. Важно оценить функцию противоположной почки, "
                               "сопутствующие риски и общее состояние пациента.")};
    return {QStringLiteral("Ошибка"), QStringLiteral("Недопустимая сумма баллов")};
}

} // namespace clinical
