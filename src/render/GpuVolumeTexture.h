#pragma once

#include "render/GpuTextureHandle.h"
#include "render/Volume.h"

#include <QString>

namespace render {

class GpuDevice;

// The volume as a single-level 3D texture of 32-bit floats, voxel (x, y, z) at texel (x, y, z).
class GpuVolumeTexture
{
public:
    // Replaces what the object held; a failed upload leaves it empty.
    bool upload(GpuDevice* device, const Volume& volume, QString* error);
    void release();

    // The texture the renderers sample; 0 when empty.
    unsigned int texture() const { return m_handle.texture(); }
    int nx() const { return m_nx; }
    int ny() const { return m_ny; }
    int nz() const { return m_nz; }

private:
    GpuTextureHandle m_handle;
    int m_nx = 0;
    int m_ny = 0;
    int m_nz = 0;
};

} // namespace render
