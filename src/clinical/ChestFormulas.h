#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace clinical {

extern const QStringList lungLobeNames;

struct LungInvolvementResult
{
    double percent = 0.0;
    QString text;
};

struct WellsScoreResult
{
    double score = 0.0;
    QString text;
};

QString cardiothoracicIndexText(double cti);
double lobeScoreMidpointPercent(int score);
LungInvolvementResult ctLungInvolvement(const QList<int>& scores);
// noduleType: 0 solid, 2 ground glass, anything else part-solid; diameterMm is the mean diameter.
QString fleischnerRecommendation(int noduleType, double diameterMm, bool multiple, bool highRisk);
double pleuralEffusionVolume(double thicknessMm);
double percentOf(double a, double b);
QString effusionPercentText(double percent);
QString rvLvRatioText(double ratio);
WellsScoreResult wellsPeScore(bool dvtSigns, bool peMostLikely, bool heartRateOver100, bool immobilisationOrSurgery,
                              bool previousDvtPe, bool haemoptysis, bool activeCancer);

} // namespace clinical
