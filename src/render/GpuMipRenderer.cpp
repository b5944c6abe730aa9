#include "render/GpuMipRenderer.h"

#include "render/GpuParamBlock.h"

#include <QOpenGLFunctions_3_3_Core>

#include <algorithm>

namespace render {

namespace {

constexpr size_t kCameraParamsSize = 496;
constexpr size_t kCropBlocksOffset = 112;

} // namespace

bool GpuMipRenderer::initialize(GpuDevice* device, QString* error)
{
    auto* gl = buildProgram(device, shaders::mipShader, error);
    if (!gl)
        return false;
    if (!createParameters(gl, kCameraParamsSize, "CameraParams") || !createVertexArray())
        return fail(error, QStringLiteral("Не удалось создать uniform-буфер параметров камеры."));
    if (!addTextureUnit(gl, "VolumeTexture"))
        return fail(error, QStringLiteral("Не удалось создать sampler object."));
    if (!addCropUnits(gl))
        return fail(error, QStringLiteral("Не удалось создать sampler object маски обрезки."));
    return true;
}

void GpuMipRenderer::draw(GpuDevice* device, unsigned int volumeTexture, const QVector3D& cameraDir,
                          const QVector3D& cameraRight, const QVector3D& cameraUp, const QVector3D& volumeExtentMm,
                          float halfDiagonalMm, float zoom, float panU, float panV, float windowCenter,
                          float windowWidth, int steps, int mode, const CropSlots& crops, int cropCount)
{
    auto* gl = m_program.makeCurrentFor(device);
    if (!gl || !volumeTexture)
        return;
    const int activeCrops = clampCropCount(cropCount);
    GpuParamBlock block(kCameraParamsSize);
    block.putVec3(0, cameraDir);
    block.putVec3(16, cameraRight);
    block.putVec3(32, cameraUp);
    block.putVec3(48, volumeExtentMm);
    block.putFloat(64, std::max(zoom, 0.1f) * halfDiagonalMm);
    block.putFloat(68, -1.2f * halfDiagonalMm);
    block.putFloat(72, 2.4f * halfDiagonalMm);
    block.putInt(76, std::max(steps, 2));
    block.putFloat(80, panU);
    block.putFloat(84, panV);
    block.putFloat(88, windowCenter);
    block.putFloat(92, windowWidth);
    block.putInt(96, mode);
    block.putInt(100, activeCrops);
    putCropBlocks(block, kCropBlocksOffset, crops, activeCrops);
    drawPass(gl, block, {{GL_TEXTURE_3D, volumeTexture}}, &crops, activeCrops);
}

} // namespace render
