#include "render/GpuVrtRenderer.h"

#include "render/GpuParamBlock.h"

#include <QOpenGLFunctions_3_3_Core>

#include <algorithm>

namespace render {

namespace {

constexpr size_t kVrtParamsSize = 544;
constexpr size_t kCropBlocksOffset = 160;

} // namespace

bool GpuVrtRenderer::initialize(GpuDevice* device, QString* error)
{
    auto* gl = buildProgram(device, shaders::vrtShader, error);
    if (!gl)
        return false;
    if (!createParameters(gl, kVrtParamsSize, "VrtParams") || !createVertexArray())
        return fail(error, QStringLiteral("Не удалось создать uniform-буфер параметров VRT."));
    if (!addTextureUnit(gl, "VolumeTexture"))
        return fail(error, QStringLiteral("Не удалось создать sampler object объёма."));
    if (!addTextureUnit(gl, "TransferFunction"))
        return fail(error, QStringLiteral("Не удалось создать sampler object transfer function."));
    if (!addCropUnits(gl))
        return fail(error, QStringLiteral("Не удалось создать sampler object маски обрезки."));
    return true;
}

void GpuVrtRenderer::draw(GpuDevice* device, unsigned int volumeTexture, unsigned int transferFunctionTexture,
                          const QVector3D& cameraDir, const QVector3D& cameraRight, const QVector3D& cameraUp,
                          const QVector3D& volumeExtentMm, const QVector3D& voxelSizeMm, float halfDiagonalMm,
                          float zoom, float panU, float panV, float huMin, float huMax, bool shading, int steps,
                          const CropSlots& crops, int cropCount, const PerspectiveCamera& perspective)
{
    auto* gl = m_program.makeCurrentFor(device);
    if (!gl || !volumeTexture || !transferFunctionTexture)
        return;
    const int activeCrops = clampCropCount(cropCount);
    GpuParamBlock block(kVrtParamsSize);
    block.putVec3(0, cameraDir);
    block.putVec3(16, cameraRight);
    block.putVec3(32, cameraUp);
    block.putVec3(48, volumeExtentMm);
    block.putVec3(64, voxelSizeMm);
    block.putFloat(80, std::max(zoom, 0.1f) * halfDiagonalMm);
    // The perspective camera starts its rays at its own position.
    block.putFloat(84, perspective.enabled ? 0.0f : -1.2f * halfDiagonalMm);
    block.putFloat(88, 2.4f * halfDiagonalMm);
    block.putInt(92, std::max(steps, 2));
    block.putFloat(96, panU);
    block.putFloat(100, panV);
    block.putFloat(104, huMin);
    block.putFloat(108, huMax);
    block.putFloat(112, shading ? 1.0f : 0.0f);
    block.putInt(116, activeCrops);
    block.putFloat(128, perspective.enabled ? 1.0f : 0.0f);
    block.putVec3(144, perspective.positionMm);
    block.putFloat(156, perspective.fovDeg);
    putCropBlocks(block, kCropBlocksOffset, crops, activeCrops);
    drawPass(gl, block, {{GL_TEXTURE_3D, volumeTexture}, {GL_TEXTURE_1D, transferFunctionTexture}}, &crops,
             activeCrops);
}

} // namespace render
