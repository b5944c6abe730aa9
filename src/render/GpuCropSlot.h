#pragma once

#include "render/GpuParamBlock.h"

#include <QVector3D>

#include <algorithm>

#include <array>

namespace render {

// One drawn crop as the MIP and VRT renderers apply it: its mask and the camera it was drawn with,
// so that the crop stays fixed to the volume when the camera turns later.
struct CropSlot
{
    unsigned int maskTexture = 0; // GpuCropMaskTexture::texture(); 0: no mask
    QVector3D dir;
    QVector3D right;
    QVector3D up;
    float halfExtentMm = 1.0f;
    float panU = 0.0f;
    float panV = 0.0f;
};

constexpr int kMaxCropSlots = 6;
using CropSlots = std::array<CropSlot, kMaxCropSlots>;

inline int clampCropCount(int count)
{
    return std::clamp(count, 0, kMaxCropSlots);
}

// The active crops as 64-byte blocks from `base` on; blocks of inactive slots stay zero.
inline void putCropBlocks(GpuParamBlock& block, size_t base, const CropSlots& crops, int count)
{
    for (int k = 0; k < clampCropCount(count); ++k) {
        const CropSlot& crop = crops[size_t(k)];
        const size_t at = base + 64 * size_t(k);
        block.putVec3(at, crop.dir);
        block.putVec3(at + 16, crop.right);
        block.putVec3(at + 32, crop.up);
        block.putFloat(at + 48, std::max(crop.halfExtentMm, 0.1f));
        block.putFloat(at + 52, crop.panU);
        block.putFloat(at + 56, crop.panV);
    }
}

} // namespace render
