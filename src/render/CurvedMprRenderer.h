#pragma once

#include "render/FusionVolume.h"
#include "render/VectorMath.h"

#include <QImage>
#include <QList>

#include <array>

namespace render {

using CurvePoints = QList<std::array<double, 3>>;

// A straightened reconstruction along a curve. Curve sample c is image column c (row c when
// `vertical`); `samples` holds the value behind every pixel, row-major over the image as stored.
struct CurvedMprResult
{
    QImage image; // Format_Grayscale8; null when nothing could be rendered
    QList<float> samples;
    qint32 gridWidth = 0;
    qint32 gridHeight = 0;
    double lengthMm = 0.0;
    double stepMm = 1.0;
    CurvePoints points;
    CurvePoints normals;   // across-curve axis of the image
    CurvePoints binormals; // depth axis (tangent x normal), along which a slab is taken
    double widthMm = 0.0;
    bool vertical = false;
};

enum CurvedMprSlabMode : qint32 {
    CurvedMprSlabNone = 0,
    CurvedMprSlabMaximum = 1,
    CurvedMprSlabMinimum = 2,
    CurvedMprSlabMean = 3,
};

// Curve samples at a fixed arc-length step with twist-free frames.
struct CurveFrames
{
    CurvePoints points;
    CurvePoints tangents;
    CurvePoints normals;
    CurvePoints binormals;
    double lengthMm = 0.0;
};

class CurvedMprRenderer
{
public:
    // Renders the volume along the curve (control points in patient mm). Blocks until the image is
    // complete; the rows are shared with the global thread pool, and the calling thread works on
    // rows itself, so the call also finishes from a pool task while the pool is busy. An impossible
    // request gives the default result.
    static CurvedMprResult render(const FusionVolume& volume, const CurvePoints& curve, double widthMm,
                                  double stepMm, double windowCenter, double windowWidth, double rotationDeg,
                                  double offsetMm, double thicknessMm, CurvedMprSlabMode slabMode,
                                  double smoothing, bool vertical);
};

CurveFrames computeCurveFrames(const CurvePoints& curve, double stepMm, double rotationDeg, double offsetMm,
                               double smoothing);

// Frame of the rendered curve at arc length s (mm); false outside [0, lengthMm] or for an empty result.
bool curvedMprFrameAt(const CurvedMprResult& result, double s, double point[3], double normal[3],
                      double binormal[3]);

// The control points shifted by `offsetMm` along patient +y (the middle argument is not used).
CurvePoints offsetCurve(const CurvePoints& curve, double rotationDeg, double offsetMm);

// True when more than half of the points leave the first point's z by more than 1 mm.
bool isCurveOutOfPlane(const CurvePoints& curve);

} // namespace render
