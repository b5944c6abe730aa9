#pragma once

#include "render/GpuFullscreenRenderer.h"

#include <QString>

namespace render {

class GpuDevice;

// One axial slice of the volume texture in grey, filling the device's square viewport.
class GpuSliceRenderer : public GpuFullscreenRenderer
{
public:
    bool initialize(GpuDevice* device, QString* error);

    void draw(GpuDevice* device, unsigned int volumeTexture, float sliceZ01, float windowCenter, float windowWidth);
};

} // namespace render
