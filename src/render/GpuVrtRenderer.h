#pragma once

#include "render/GpuCropSlot.h"
#include "render/GpuFullscreenRenderer.h"

#include <QString>
#include <QVector3D>

namespace render {

class GpuDevice;

// A camera inside the volume for virtual endoscopy: rays fan out from the position over the field of view.
struct PerspectiveCamera
{
    bool enabled = false;
    QVector3D positionMm; // relative to the volume centre
    float fovDeg = 60.0f; // full field of view
};

// Front-to-back volume rendering through the transfer-function texture, optionally shaded, with up to
// six crop masks and an optional perspective camera.
class GpuVrtRenderer : public GpuFullscreenRenderer
{
public:
    bool initialize(GpuDevice* device, QString* error);

    // huMin and huMax must be the range the transfer-function texture was built for.
    void draw(GpuDevice* device, unsigned int volumeTexture, unsigned int transferFunctionTexture,
              const QVector3D& cameraDir, const QVector3D& cameraRight, const QVector3D& cameraUp,
              const QVector3D& volumeExtentMm, const QVector3D& voxelSizeMm, float halfDiagonalMm, float zoom,
              float panU, float panV, float huMin, float huMax, bool shading, int steps, const CropSlots& crops,
              int cropCount, const PerspectiveCamera& perspective);
};

} // namespace render
