#pragma once
// The HTML report and the automatic conclusion of the cardiac MRI calculation, built from measured
// volumes and the optional extra measurements; no widgets, so any caller can build it.

#include "clinical/CardiacFormulas.h"

#include <QString>
#include <QStringList>

namespace clinical {

// Values typed into the extra-measurements dialog; all 0 / unchecked when it was never opened.
struct CardiacExtraMeasurements
{
    double eddMm = 0.0;
    double esdMm = 0.0;
    double ivsdMm = 0.0;
    double ivssMm = 0.0;
    double lvpwdMm = 0.0;
    double lvpwsMm = 0.0;
    double laVolumeMl = 0.0;
    double raVolumeMl = 0.0;
    double rvd1Mm = 0.0;
    double rvd2Mm = 0.0;
    double rvotProximalMm = 0.0;
    double rvotDistalMm = 0.0;
    double rvWallMm = 0.0;
    bool effusion = false;
    QString effusionLocation;
    double effusionSeparationMm = 0.0;
    bool tamponade = false;
    bool thrombusLv = false;
    bool thrombusLa = false;
    bool thrombusRa = false;
    bool thrombusRv = false;
};

// Everything the report states: contour counts per list, the results and the patient and slice data.
struct CardiacReportInput
{
    int sliceCount = 0;
    int edEndoCount = 0;
    int edEpiCount = 0;
    int esEndoCount = 0;
    int edRvCount = 0;
    int esRvCount = 0;
    LvVolumetryResult lv;
    bool rvPresent = false;
    RvVolumetryResult rv;
    MmodeLvResult mmode;
    CardiacExtraMeasurements extra;
    double bsa = 0.0;
    bool female = false;
    double sliceThicknessMm = 8.0;
    double sliceGapPercent = 25.0;
};

// Plain-text conclusion, sentences each ending in a blank.
QString cardiacMriConclusion(const CardiacReportInput& input);
// The whole report, the conclusion box and the footer included.
QString cardiacMriReportHtml(const CardiacReportInput& input);

} // namespace clinical
