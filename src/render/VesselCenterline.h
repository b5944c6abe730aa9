#pragma once

#include "render/FusionVolume.h"
#include "render/VectorMath.h"
#include "render/VesselLumen.h"

#include <QList>
#include <QString>

#include <array>
#include <vector>

namespace render {

struct CenterlineResult
{
    QList<std::array<double, 3>> points; // patient mm, from beyond the first click to beyond the second
    bool ok = false;
    QString message; // the failure reason, or the summary on success
    bool stoppedAtBifurcation = false;
    double windowCenter = 0.0;
    double windowWidth = 0.0;
};

// One connected region of a cross-section, in sample units.
struct LumenRegion
{
    qint32 count = 0;
    double meanColumn = 0.0;
    double meanRow = 0.0;
    bool touchesBorder = false;
};

struct LumenCentre
{
    std::array<double, 3> point{0.0, 0.0, 0.0};
    double areaMm2 = 0.0;
    bool found = false;
};

// What every step of a trace shares: the volume, the section side, the contrast range and the
// in-plane axes of the current section.
struct VesselTraceState
{
    const FusionVolume* volume = nullptr;
    double sectionMm = 20.0;
    double lo = 100.0;
    double hi = 700.0;
    Vec3d u{1.0, 0.0, 0.0};
    Vec3d v{0.0, 1.0, 0.0};
};

// Follows a contrast-filled vessel from two clicked points (patient mm) outwards in both directions.
CenterlineResult traceVesselCenterline(const FusionVolume& volume, const double a[3], const double b[3]);

// The contrast range [lo, hi] accepted around the value at the first click; false when that value
// itself does not look like contrast (below 100 or above 700 HU).
bool vesselContrastRange(double clickedHu, double* lo, double* hi);
// Side of the cross-sections for a lumen of the given equivalent diameter.
double vesselSectionSizeMm(double diameterMm);

void perpendicularAxes(const Vec3d& direction, Vec3d* u, Vec3d* v);
// Seed for a lumen near the centre of a section: the centre or the first in-range sample on the
// rings of radius 1 to 5. False when there is none.
bool findLumenSeed(const CrossSectionImage& grid, double lo, double hi, int* column, int* row);
// 4-connected flood fill from the seed over samples in [lo, hi], marking `visited` (w x h, shared
// between calls by the caller). A count of 0 means the seed was visited or out of range.
LumenRegion growLumenRegion(const CrossSectionImage& grid, int column, int row, double lo, double hi,
                            std::vector<uchar>& visited);
// All regions of at least 3 samples, in the row-major order of their first sample.
QList<LumenRegion> findLumenRegions(const CrossSectionImage& grid, double lo, double hi);
LumenCentre locateLumenCentre(const VesselTraceState& state, const Vec3d& point);
// Steps 1.5 mm at a time from `start` along `direction`, appending accepted lumen centres.
void marchAlongVessel(VesselTraceState state, const Vec3d& start, const Vec3d& direction, double referenceArea,
                      QList<std::array<double, 3>>& output, bool& bifurcation);
// Each point becomes the mean of the points at indices i - 2 to i + 2 that exist.
QList<std::array<double, 3>> smoothPath5(const QList<std::array<double, 3>>& path);

} // namespace render
