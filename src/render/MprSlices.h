#pragma once

#include "render/ProjectionMode.h"
#include "render/Volume.h"

#include <QImage>
#include <QVector3D>

namespace render {

// Slab modes of the orthogonal and oblique slices: 0 single slice, 1 maximum, 2 minimum, 3 mean.
// A slab is used only with a half-thickness of at least 1 and a mode other than 0.

QImage renderAxialSlice(const Volume& volume, int z, double windowCentre, double windowWidth, int slabHalf,
                        int mode);
QImage renderCoronalSlice(const Volume& volume, int y, double windowCentre, double windowWidth, int slabHalf,
                          int mode);
QImage renderSagittalSlice(const Volume& volume, int x, double windowCentre, double windowWidth, int slabHalf,
                           int mode);
// A square slice through `centre` (mm in the volume's frame, voxel (i, j, k) centred at
// (i * spacingX, j * spacingY, k * spacingZ)); axisU runs along the image columns, axisV down the rows.
QImage renderObliqueSlice(const Volume& volume, const QVector3D& centre, const QVector3D& axisU,
                          const QVector3D& axisV, int size, double pixelSpacing, double windowCentre,
                          double windowWidth, int slabHalf, int mode);

// Voxel value, 0 outside the volume.
float voxelAt(const Volume& volume, int x, int y, int z);
// Trilinear interpolation at continuous voxel coordinates; neighbours outside the volume count as 0.
float sampleTrilinear(const Volume& volume, double x, double y, double z);

QImage toGrayscaleImage(const float* values, int width, int height, double windowCentre, double windowWidth);
QImage applyPixelAspect(const QImage& image, double horizontalSpacing, double verticalSpacing);

} // namespace render
