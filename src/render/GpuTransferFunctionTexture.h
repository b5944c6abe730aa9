#pragma once

#include "render/GpuTextureHandle.h"
#include "render/TransferFunction.h"

#include <QString>

#include <array>

namespace render {

class GpuDevice;

// A transfer function as a 256-texel RGBA table over [huMin, huMax]; the VRT renderer must be handed
// the same range to map its samples into the table.
class GpuTransferFunctionTexture
{
public:
    bool upload(GpuDevice* device, const TransferFunctionPreset& function, double huMin, double huMax,
                QString* error);
    void release();
    unsigned int texture() const { return m_handle.texture(); }

    // Entry i is the function at huMin + i / 255 * max(huMax - huMin, 1e-6): red, green, blue, opacity.
    static std::array<unsigned char, 1024> buildTable(const TransferFunctionPreset& function, double huMin,
                                                      double huMax);

private:
    GpuTextureHandle m_handle;
};

} // namespace render
