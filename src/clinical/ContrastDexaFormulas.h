#pragma once

#include <QString>

namespace clinical {

struct ContrastDoseResult
{
    double standardMl = 0.0;
    double maxMl = 0.0;
    QString risk;
    QString advice;
};

// Iodinated contrast volume limited by weight (kg) and eGFR (ml/min/1.73 m²).
ContrastDoseResult contrastDoseByGfr(double weightKg, double egfr);

QString tScoreText(double t);
QString zScoreText(double z);
QString dexaFractureRiskText(double t, const QString& site);

} // namespace clinical
