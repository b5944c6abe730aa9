#pragma once

#include "render/GpuTextureHandle.h"

#include <QImage>
#include <QString>

namespace render {

class GpuDevice;

// A drawn crop mask as an 8-bit grey texture: grey 128 and above keeps a point, lower values cut it.
class GpuCropMaskTexture
{
public:
    bool upload(GpuDevice* device, const QImage& mask, QString* error);
    void release();
    unsigned int texture() const { return m_handle.texture(); }

private:
    GpuTextureHandle m_handle;
};

} // namespace render
