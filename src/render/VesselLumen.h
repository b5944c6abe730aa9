#pragma once

#include "render/CurvedMprRenderer.h"
#include "render/FusionVolume.h"

#include <QImage>
#include <QList>
#include <QString>

namespace render {

// A square oblique section with the value behind every pixel (row-major).
struct CrossSectionImage
{
    QImage image; // Format_Grayscale8, square; null when nothing was rendered
    QList<float> samples;
    qint32 gridWidth = 0;
    qint32 gridHeight = 0;
    double pixelSpacingMm = 1.0;
};

struct LumenSettings
{
    double sectionSizeMm = 15.0;
    double stepMm = 1.0;
    double lumenMinHu = 100.0;
    double lumenMaxHu = 500.0;
    double calciumHu = 130.0;
    double referenceLengthMm = 5.0;
};

struct LumenSample
{
    double arcMm = 0.0;
    double diameterMm = 0.0;
    double areaMm2 = 0.0;
    bool valid = false;
    bool calcified = false;
    bool touchesBorder = false;
};

struct LumenProfile
{
    QList<LumenSample> sections;
    double minDiameterMm = 0.0;
    double minDiameterArcMm = 0.0;
    double minAreaMm2 = 0.0;
    double referenceDiameterMm = 0.0;
    double referenceAreaMm2 = 0.0;
    double stenosisDiameterPercent = 0.0;
    double stenosisAreaPercent = 0.0;
    qint32 borderContactCount = 0;
    QString message;
    CurvedMprResult curvedMpr;
};

// Section through `centre` (patient mm); axisU runs along the columns, axisV down the rows.
CrossSectionImage renderCrossSection(const FusionVolume& volume, const double centre[3], const double axisU[3],
                                     const double axisV[3], double sizeMm, double windowCenter, double windowWidth);

// Finds the lumen region around the section's centre and fills the measurement fields of `sample`.
void measureLumen(const CrossSectionImage& section, const LumenSettings* settings, LumenSample& sample);

// Lumen along a whole centreline: one section per curve sample, the narrowest point, the reference
// lumen near both ends and the stenosis by diameter and by area. Raising `stop` ends it early with a
// profile that carries only a message.
LumenProfile analyzeVesselLumen(const FusionVolume& volume, const CurvePoints& curve, double windowCenter,
                                double windowWidth, const LumenSettings* settings,
                                const std::atomic_bool* stop = nullptr);

} // namespace render
