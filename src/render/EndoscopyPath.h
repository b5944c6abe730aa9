#pragma once

#include "render/FusionVolume.h"

#include <QList>
#include <QString>

#include <array>
#include <vector>

namespace render {

// Slice k of a fusion volume as a 2D view; owns nothing. Pixel (x, y) is voxels[y * width + x].
struct AirSlice
{
    const float* voxels = nullptr;
    qint32 width = 0;
    qint32 height = 0;
};

struct AirRegion
{
    double centroidX = 0.0;
    double centroidY = 0.0;
    qint32 pixelCount = 0;
};

struct LumenTrace
{
    QList<std::array<double, 3>> points; // accepted region centres, patient mm, away from the start
    bool split = false;
    qint32 splitSlice = -1;
    AirRegion branchA; // largest region at the split
    AirRegion branchB; // second largest
};

struct EndoscopyPathResult
{
    bool ok = false;
    QString message;
    QList<std::array<double, 3>> points; // smoothed, from the lowest slice index to the highest
    qint32 seedIndex = -1;
    bool hasBranches = false;
    QList<std::array<double, 3>> branchA; // the branch whose first point has the larger patient x
    QList<std::array<double, 3>> branchB;
};

// Slice k of the volume; an empty slice (null voxels) when k or the volume is out of range.
AirSlice airSliceOf(const FusionVolume& volume, int k);

// A flight path through the air-filled lumen around a click (patient mm), with branches at a split.
EndoscopyPathResult buildEndoscopyPath(const FusionVolume& volume, const double seedMm[3]);

LumenTrace traceAirLumen(const FusionVolume& volume, int startSlice, double centreX, double centreY, int startArea,
                         int direction, bool allowSplit);
bool findAirPixelNear(const AirSlice& slice, int x, int y, int radius, int* outX, int* outY);
// Fills the air region from (x, y), marking `mask` (width x height, kept marked in every case).
// False when the start is not an unmarked air pixel, or the region has fewer than 3 or more than
// 20000 pixels.
bool floodAirRegion(const AirSlice& slice, int x, int y, std::vector<uchar>& mask, double* centroidX,
                    double* centroidY, int* pixelCount);
bool measureAirRegionAt(const AirSlice& slice, int x, int y, double* centroidX, double* centroidY, int* pixelCount);
QList<AirRegion> findAirRegionsNear(const AirSlice& slice, int x, int y, int radius);
QList<std::array<double, 3>> smoothPath3(const QList<std::array<double, 3>>& path);

} // namespace render
