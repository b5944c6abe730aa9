#pragma once

#include <QString>

namespace clinical {

struct NephrometryResult
{
    QString complexity;
    QString advice;
};

double ellipsoidVolume(double a, double b, double c);
double prostateVolume(double aMm, double bMm, double cMm);
QString ovarianVolumeText(double cm3);
QString prostateVolumeText(double cm3);
QString psaDensityText(double density);
NephrometryResult paduaScoreText(int sum);
NephrometryResult renalScoreText(int sum);

} // namespace clinical
