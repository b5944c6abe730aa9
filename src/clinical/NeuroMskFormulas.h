#pragma once

#include <QString>

#include <array>
#include <utility>

namespace clinical {

// The ten ASPECTS regions {code, name} in score-sheet order.
const std::array<std::pair<QString, QString>, 10>& aspectsRegions();

double abcOver2Volume(double a, double b, double c);
double absoluteDifference(double a, double b);
QString evansIndexText(double index);
QString ichVolumeText(double volume);
QString sdhVolumeText(double volume);
// The volume grade, unless the thickness alone already makes the haematoma surgical.
QString sdhGradeText(double volume, double thicknessMm);
QString midlineShiftText(double shift);
QString carotidStenosisText(double stenosis);
QString onsdText(double diameter);
QString aspectsInterpretationText(int score);
QString aspectsReperfusionText(int score);
QString phasesRiskText(int score);
QString phasesFiveYearRisk(int score);
QString insallSalvatiText(double ratio);
QString meyerdingGradeText(double displacement);

} // namespace clinical
