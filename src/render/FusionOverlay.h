#pragma once

#include "render/FusionVolume.h"

#include "db/InstanceRecord.h"

#include <QColor>
#include <QImage>

namespace render {

// Colour map numbers of the fusion overlay; any other number acts as heat.
enum FusionColorMap : qint32 { HeatColorMap = 0, RainbowColorMap = 1, GrayColorMap = 2 };

// Lays the overlay volume over one displayed slice: each pixel samples the overlay at its patient
// position, the value is mapped through the overlay's window and blended in with a weight that grows
// with the value up to `opacity`. Returns RGB32, or the base image unchanged when there is nothing
// to blend (null image, empty overlay, slice without geometry).
QImage blendFusionOverlay(const QImage& base, const db::InstanceRecord& slice, const FusionVolume& overlay,
                          double windowCentre, double windowWidth, int colorMap, double opacity);

// Colour of t (clamped to 0..1) in the given map, alpha 255.
QColor colorMap(double t, int colorMap);

// Plain gray slices along the voxel axes (no aspect correction); a negative index means the middle
// slice, other indices are clamped. Sagittal and coronal images put the highest k in the first row.
QImage renderFusionAxialSlice(const FusionVolume& volume, double windowCentre, double windowWidth, int k);
QImage renderFusionSagittalSlice(const FusionVolume& volume, double windowCentre, double windowWidth, int i);
QImage renderFusionCoronalSlice(const FusionVolume& volume, double windowCentre, double windowWidth, int j);

} // namespace render
