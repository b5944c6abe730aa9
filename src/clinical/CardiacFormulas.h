#pragma once
// Left- and right-ventricular volumetry on short-axis contours (disc summation), M-mode linear metrics
// and the sex-specific grading texts of the cardiac MRI report. Areas in cm², lengths in mm, volumes in
// ml, mass in g, indices per m² of body-surface area.

#include <QList>
#include <QString>

namespace clinical {

struct LvVolumetryResult
{
    double edvMl = 0.0;
    double esvMl = 0.0;
    double svMl = 0.0;
    double efPercent = 0.0;
    double massG = 0.0;
    double edvIndex = 0.0;
    double esvIndex = 0.0;
    double svIndex = 0.0;
    double massIndex = 0.0;
    double myocardiumToEdvRatio = 0.0;
    bool valid = false;
};

struct RvVolumetryResult
{
    double edvMl = 0.0;
    double esvMl = 0.0;
    double svMl = 0.0;
    double efPercent = 0.0;
    double edvIndex = 0.0;
    double esvIndex = 0.0;
    double svIndex = 0.0;
    bool valid = false;
};

struct MmodeLvResult
{
    double fractionalShorteningPercent = 0.0;
    double cubeMassG = 0.0;
    double cubeMassIndex = 0.0;
    bool valid = false;
};

// DuBois formula; 0 when either input is not positive.
double bodySurfaceAreaDuBois(double heightCm, double weightKg);
// Sum of the positive areas, each a disc of the slice thickness plus the gap between slices.
double discSummationVolume(const QList<double>& areasCm2, double thicknessMm, double gapPercent);
// Myocardial volume (epicardial minus endocardial area on slices that have both) × 1.05 g/ml.
double myocardialMass(const QList<double>& epiAreasCm2, const QList<double>& endoAreasCm2, double thicknessMm,
                      double gapPercent);
LvVolumetryResult lvVolumetry(const QList<double>& edEndoAreas, const QList<double>& edEpiAreas,
                              const QList<double>& esEndoAreas, double thicknessMm, double gapPercent,
                              double bsa);
RvVolumetryResult rvVolumetry(const QList<double>& edAreas, const QList<double>& esAreas, double thicknessMm,
                              double gapPercent, double bsa);
// Fractional shortening and the cube (Devereux) LV mass from the diastolic diameter and wall thicknesses.
MmodeLvResult mmodeLvMetrics(double lvidD, double lvidS, double ivsD, double pwD, double bsa);

// Grading texts; the middle band includes both of its limits. The "норма" and "масса ЛЖ норма" texts are
// compared by the report to decide what enters the conclusion.
QString lvEdDiameterGrade(double mm, bool female);
QString lvEsDiameterGrade(double mm, bool female);
QString lvEdVolumeGrade(double ml, bool female);
QString lvEsVolumeGrade(double ml, bool female);
QString rvEdVolumeGrade(double ml, bool female);
QString lvMassGrade(double grams, bool female);
QString fractionalShorteningGrade(double percent);
QString lvEfGrade(double percent);
QString rvEfGrade(double percent);
QString lvMassIndexGrade(double gramsPerM2, bool female);
QString wallThicknessGrade(double mm);
// Maximal left atrial volume, ml, on the MRI range of the patient's sex.
QString laVolumeGrade(double ml, bool female);
QString raVolumeGrade(double mlPerM2, bool female);
// Relative wall thickness, 2 × posterior wall / LV internal diameter, both in diastole; 0 without either.
double relativeWallThickness(double posteriorWallMm, double lvInternalDiameterMm);
// Concentric geometry above 0.42 for women and men alike.
QString rwtGrade(double rwt);

} // namespace clinical
