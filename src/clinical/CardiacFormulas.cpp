#include "clinical/CardiacFormulas.h"

#include <algorithm>
#include <cmath>

namespace clinical {

namespace {

// Myocardium density in g/ml.
constexpr double MyocardiumDensity = 1.05;

double discFactor(double thicknessMm, double gapPercent)
{
    return thicknessMm * (1.0 + gapPercent / 100.0) / 10.0;
}

struct Band
{
    double lowerFemale;
    double lowerMale;
    double upperFemale;
    double upperMale;
    const char* below;
    const char* middle;
    const char* above;
};

QString gradeInBand(double value, bool female, const Band& band)
{
    const double lower = female ? band.lowerFemale : band.lowerMale;
    const double upper = female ? band.upperFemale : band.upperMale;
    if (value < lower)
        return QString::fromUtf8(band.below);
    if (value > upper)
        return QString::fromUtf8(band.above);
    return QString::fromUtf8(band.middle);
}

} // namespace

double bodySurfaceAreaDuBois(double heightCm, double weightKg)
{
    if (!(heightCm > 0.0) || !(weightKg > 0.0))
        return 0.0;
    return 0.007184 * std::pow(heightCm, 0.725) * std::pow(weightKg, 0.425);
}

double discSummationVolume(const QList<double>& areasCm2, double thicknessMm, double gapPercent)
{
    double sum = 0.0;
    for (double area : areasCm2) {
        if (area > 0.0)
            sum += area;
    }
    return sum * discFactor(thicknessMm, gapPercent);
}

double myocardialMass(const QList<double>& epiAreasCm2, const QList<double>& endoAreasCm2, double thicknessMm,
                      double gapPercent)
{
    const qsizetype n = std::min(epiAreasCm2.size(), endoAreasCm2.size());
    double sum = 0.0;
    for (qsizetype i = 0; i < n; ++i) {
        if (epiAreasCm2.at(i) > 0.0 && endoAreasCm2.at(i) > 0.0)
            sum += epiAreasCm2.at(i) - endoAreasCm2.at(i);
    }
    return sum * MyocardiumDensity * discFactor(thicknessMm, gapPercent);
}

LvVolumetryResult lvVolumetry(const QList<double>& edEndoAreas, const QList<double>& edEpiAreas,
                              const QList<double>& esEndoAreas, double thicknessMm, double gapPercent,
                              double bsa)
{
    LvVolumetryResult r;
    if (edEndoAreas.isEmpty() || esEndoAreas.isEmpty())
        return r;
    r.edvMl = discSummationVolume(edEndoAreas, thicknessMm, gapPercent);
    r.esvMl = discSummationVolume(esEndoAreas, thicknessMm, gapPercent);
    r.svMl = r.edvMl - r.esvMl;
    r.efPercent = r.edvMl > 0.0 ? r.svMl / r.edvMl * 100.0 : 0.0;
    r.massG = myocardialMass(edEpiAreas, edEndoAreas, thicknessMm, gapPercent);
    r.myocardiumToEdvRatio = r.edvMl > 0.0 ? r.massG / (r.edvMl * MyocardiumDensity) : 0.0;
    if (bsa > 0.0) {
        r.edvIndex = r.edvMl / bsa;
        r.esvIndex = r.esvMl / bsa;
        r.svIndex = r.svMl / bsa;
        r.massIndex = r.massG / bsa;
    }
    r.valid = r.edvMl > 0.0;
    return r;
}

RvVolumetryResult rvVolumetry(const QList<double>& edAreas, const QList<double>& esAreas, double thicknessMm,
                              double gapPercent, double bsa)
{
    RvVolumetryResult r;
    if (edAreas.isEmpty() || esAreas.isEmpty())
        return r;
    r.edvMl = discSummationVolume(edAreas, thicknessMm, gapPercent);
    r.esvMl = discSummationVolume(esAreas, thicknessMm, gapPercent);
    r.svMl = r.edvMl - r.esvMl;
    r.efPercent = r.edvMl > 0.0 ? r.svMl / r.edvMl * 100.0 : 0.0;
    if (bsa > 0.0) {
        r.edvIndex = r.edvMl / bsa;
        r.esvIndex = r.esvMl / bsa;
        r.svIndex = r.svMl / bsa;
    }
    r.valid = r.edvMl > 0.0;
    return r;
}

MmodeLvResult mmodeLvMetrics(double lvidD, double lvidS, double ivsD, double pwD, double bsa)
{
    MmodeLvResult r;
    if (!(lvidD > 0.0) || !(ivsD > 0.0) || !(pwD > 0.0))
        return r;
    r.fractionalShorteningPercent = lvidS > 0.0 ? (lvidD - lvidS) / lvidD * 100.0 : 0.0;
    const double k = 0.8 * 1.04;
    const double outer = lvidD + ivsD + pwD;
    r.cubeMassG = k * (outer * outer * outer - lvidD * lvidD * lvidD) / 1000.0 + 0.6;
    r.cubeMassIndex = bsa > 0.0 ? r.cubeMassG / bsa : 0.0;
    r.valid = true;
    return r;
}

QString lvEdDiameterGrade(double mm, bool female)
{
    static const Band band{38, 42, 52, 58, "уменьшен", "норма", "ДИЛАТАЦИЯ"};
    return gradeInBand(mm, female, band);
}

QString lvEsDiameterGrade(double mm, bool female)
{
    static const Band band{22, 25, 35, 40, "уменьшен", "норма", "увел."};
    return gradeInBand(mm, female, band);
}

// LV volumes on cine SSFP MRI (J Cardiovasc Magn Reson, 2015): mean ± 1.96 SD of EDV 132 ± 23 ml for
// women and 160 ± 27 ml for men, ESV 44 ± 11 ml and 54 ± 14 ml. Echocardiography reads smaller volumes;
// its limits would call an average MRI ventricle enlarged.
QString lvEdVolumeGrade(double ml, bool female)
{
    static const Band band{87, 107, 177, 213, "уменьшен", "норма", "УВЕЛИЧЕН"};
    return gradeInBand(ml, female, band);
}

QString lvEsVolumeGrade(double ml, bool female)
{
    static const Band band{22, 27, 66, 81, "уменьшен", "норма", "УВЕЛИЧЕН"};
    return gradeInBand(ml, female, band);
}

QString rvEdVolumeGrade(double ml, bool female)
{
    static const Band band{63, 80, 164, 210, "уменьшен", "норма", "УВЕЛИЧЕН"};
    return gradeInBand(ml, female, band);
}

QString lvMassGrade(double grams, bool female)
{
    static const Band band{53, 88, 141, 224, "ниже нормы", "норма", "ВЫШЕ нормы"};
    return gradeInBand(grams, female, band);
}

QString fractionalShorteningGrade(double percent)
{
    static const Band band{25, 25, 45, 45, "СНИЖЕНА", "норма", "повышена"};
    return gradeInBand(percent, false, band);
}

QString lvEfGrade(double percent)
{
    if (percent >= 55.0)
        return QStringLiteral("НОРМА (≥55%)");
    if (percent >= 40.0)
        return QStringLiteral("умеренно снижена (40-54%)");
    if (percent >= 30.0)
        return QStringLiteral("значительно снижена (30-39%)");
    return QStringLiteral("тяжёлая дисфункция (<30%)");
}

QString rvEfGrade(double percent)
{
    if (percent >= 45.0)
        return QStringLiteral("НОРМА (≥45%)");
    if (percent >= 35.0)
        return QStringLiteral("умеренно снижена (35-44%)");
    return QStringLiteral("значительно снижена (<35%)");
}

// Upper limit (mean + 1.96 SD) of the LV mass index on cine SSFP MRI with the papillary muscles counted
// in the cavity, as the endocardial contour here encloses them: 42 ± 7 g/m² for women, 53 ± 9 g/m² for
// men (J Cardiovasc Magn Reson, 2017).
QString lvMassIndexGrade(double gramsPerM2, bool female)
{
    if (gramsPerM2 <= (female ? 56.0 : 71.0))
        return QStringLiteral("масса ЛЖ норма");
    return QStringLiteral("ГИПЕРТРОФИЯ ЛЖ");
}

QString wallThicknessGrade(double mm)
{
    if (mm <= 10.0)
        return QStringLiteral("норма");
    if (mm <= 13.0)
        return QStringLiteral("умеренная ГЛЖ");
    return QStringLiteral("значительная ГЛЖ");
}

// Maximal LA volume on cine SSFP MRI of healthy adults (J Cardiovasc Magn Reson, 2005): 89 ± 21 ml for women
// and 103 ± 30 ml for men; the upper limit is mean + 1.96 SD. MRI reads larger atria than echocardiography,
// whose 34 ml/m² would call the average MRI atrium dilated.
QString laVolumeGrade(double ml, bool female)
{
    if (ml <= (female ? 130.0 : 162.0))
        return QStringLiteral("норма");
    return QStringLiteral("ДИЛАТАЦИЯ ЛП");
}

QString raVolumeGrade(double mlPerM2, bool female)
{
    if (mlPerM2 <= (female ? 36.0 : 40.0))
        return QStringLiteral("норма");
    return QStringLiteral("ДИЛАТАЦИЯ ПП");
}

double relativeWallThickness(double posteriorWallMm, double lvInternalDiameterMm)
{
    if (!(posteriorWallMm > 0.0) || !(lvInternalDiameterMm > 0.0))
        return 0.0;
    return 2.0 * posteriorWallMm / lvInternalDiameterMm;
}

QString rwtGrade(double rwt)
{
    if (rwt <= 0.42)
        return QStringLiteral("норма");
    return QStringLiteral("концентрическая геометрия (RWT повышен)");
}

} // namespace clinical
