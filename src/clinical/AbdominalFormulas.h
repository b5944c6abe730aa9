#pragma once

#include <QString>

namespace clinical {

struct AdrenalWashoutResult
{
    double absolutePercent = 0.0;
    double relativePercent = 0.0;
    bool absoluteAdenoma = false;
    bool relativeAdenoma = false;
    QString absoluteText;
    QString relativeText;
};

struct ChildPughResult
{
    int total = 0;
    QString childClass;
    QString survival;
};

struct SpleenEstimate
{
    double index = 0.0;  // cm³
    double volume = 0.0; // cm³
    double weight = 0.0; // g
};

double liverVolumeEstimate(double lMm, double dMm, double tMm);
SpleenEstimate spleenIndex(double lCm, double dCm, double hCm);
// The caller makes sure venous > unenhanced and venous > 0.
AdrenalWashoutResult adrenalWashout(double unenhancedHu, double venousHu, double delayedHu);
QString aaaDiameterText(double diameterCm, bool female);
ChildPughResult childPugh(int bilirubinPoints, int albuminPoints, int inrPoints, int ascitesPoints,
                          int encephalopathyPoints);

} // namespace clinical
