#pragma once

#include "render/GpuCropSlot.h"
#include "render/GpuFullscreenRenderer.h"

#include <QString>
#include <QVector3D>

namespace render {

class GpuDevice;

// Orthographic maximum (mode 0 and any unknown mode), minimum (1) or mean (2) intensity projection of
// the volume texture in grey, with up to six crop masks.
class GpuMipRenderer : public GpuFullscreenRenderer
{
public:
    bool initialize(GpuDevice* device, QString* error);

    void draw(GpuDevice* device, unsigned int volumeTexture, const QVector3D& cameraDir, const QVector3D& cameraRight,
              const QVector3D& cameraUp, const QVector3D& volumeExtentMm, float halfDiagonalMm, float zoom,
              float panU, float panV, float windowCenter, float windowWidth, int steps, int mode,
              const CropSlots& crops, int cropCount);
};

} // namespace render
