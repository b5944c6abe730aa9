#pragma once

#include "dicom/RowObject.h"

#include <QList>
#include <QString>
#include <QVector3D>

#include <array>
#include <atomic>
#include <vector>

namespace render {

// One slice handed to volume building, filled by the caller from an instance row of the index.
struct SliceSource
{
    QString filePath;
    double sliceLocation = 0.0; // mm; the sort key only when the slices carry no usable geometry
    double pixelSpacingX = 0.0; // column spacing, mm; 0 or less: unknown
    double pixelSpacingY = 0.0; // row spacing, mm; 0 or less: unknown
    double sliceThickness = 0.0; // fallback slice spacing, mm; 0 or less: unknown
    qint32 frameIndex = 0;
    std::array<double, 3> orientationRow{0.0, 0.0, 0.0};
    std::array<double, 3> orientationCol{0.0, 0.0, 0.0};
    bool hasSpatialInfo = false; // orientation (and position) are meaningful
    // Image Position (Patient) of the slice's first pixel, mm. With hasSpatialInfo on every slice the
    // stack is ordered by this position along the slice normal: Slice Location is optional and its
    // sign differs between vendors, so ordering by it alone can mirror the volume.
    std::array<double, 3> imagePosition{0.0, 0.0, 0.0};
    // The object the slice's index row names in the file: a file holding another one is left out.
    dicom::RowObject row;
};

// A dense block of single-precision rescaled values in axial order. Voxel (x, y, z) lies at index
// (ny * z + y) * nx + x. A volume with any dimension below 1 is empty.
struct Volume
{
    qint32 nx = 0;
    qint32 ny = 0;
    qint32 nz = 0;
    double spacingX = 1.0;
    double spacingY = 1.0;
    double spacingZ = 1.0;
    double minValue = 0.0;
    double maxValue = 0.0;
    std::vector<float> voxels;

    bool isEmpty() const { return nx < 1 || ny < 1 || nz < 1; }
    size_t index(int x, int y, int z) const
    {
        return (size_t(ny) * size_t(z) + size_t(y)) * size_t(nx) + size_t(x);
    }
};

// How the axes of a stack lie in the patient: the patient axis (0 x, 1 y, 2 z) that each stack axis
// follows, and whether it runs along the positive (+1) or negative (-1) direction.
struct AxisMapping
{
    std::array<qint32, 3> axis{0, 1, 2};
    std::array<qint32, 3> sign{1, 1, 1};
    bool valid = false;
};

enum AcquisitionPlane : qint32 { AxialPlane = 0, SagittalPlane = 1, CoronalPlane = 2 };

struct DominantAxis
{
    int axis = 0;
    int sign = 1;
};

struct PlaneGuess
{
    int plane = AxialPlane;
    bool valid = false;
};

// Both end early with an empty volume once `stop` is raised. Beside a volume, `message` may hold
// warnings, one a line: slices that could not be read, uneven steps between the slices and (building
// only) a stack tilted against the patient's axes and slices slid against each other within their
// planes (a tilted gantry).
Volume buildVolume(const QList<SliceSource>& slices, QString* message, int planeHint,
                   const std::atomic_bool* stop = nullptr);
Volume loadVolumeSlices(const QList<SliceSource>& slices, QString* message, const std::atomic_bool* stop = nullptr);
AxisMapping orientationAxes(double rx, double ry, double rz, double cx, double cy, double cz);
DominantAxis dominantAxis(const QVector3D& v);
Volume reorientVolume(const Volume& in, const std::array<qint32, 3>& axes, const std::array<qint32, 3>& signs);
Volume permuteByPlaneHint(const Volume& in, int planeHint);
int guessAcquisitionPlane(const QString& seriesDescription);
PlaneGuess acquisitionPlaneFromOrientation(double rx, double ry, double rz, double cx, double cy, double cz);
Volume makeVolumeFromVoxels(const Volume& layout, std::vector<float>&& voxels);
// The warning of a build that left out `slices` slices because their files hold other objects now than
// their rows name (another disc copied over the folder); empty for none.
QString otherObjectSlicesWarning(int slices);

// Checks that a volume of nx * ny * nz floats, held `copies` times at once, fits in this machine's
// memory; otherwise gives a Russian message. Sizes are computed in 64 bits.
bool volumeFitsInMemory(qint64 nx, qint64 ny, qint64 nz, int copies, QString* message);

} // namespace render
