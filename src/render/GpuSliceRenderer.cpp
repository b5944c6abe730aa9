#include "render/GpuSliceRenderer.h"

#include "render/GpuParamBlock.h"

#include <QOpenGLFunctions_3_3_Core>

namespace render {

namespace {

constexpr size_t kSliceParamsSize = 16;

} // namespace

bool GpuSliceRenderer::initialize(GpuDevice* device, QString* error)
{
    auto* gl = buildProgram(device, shaders::sliceShader, error);
    if (!gl)
        return false;
    if (!createParameters(gl, kSliceParamsSize, "SliceParams"))
        return fail(error, QStringLiteral("Не удалось создать uniform-буфер параметров среза."));
    if (!createVertexArray() || !addTextureUnit(gl, "VolumeTexture"))
        return fail(error, QStringLiteral("Не удалось создать sampler object."));
    return true;
}

void GpuSliceRenderer::draw(GpuDevice* device, unsigned int volumeTexture, float sliceZ01, float windowCenter,
                            float windowWidth)
{
    auto* gl = m_program.makeCurrentFor(device);
    if (!gl || !volumeTexture)
        return;
    GpuParamBlock block(kSliceParamsSize);
    block.putFloat(0, sliceZ01);
    block.putFloat(4, windowCenter);
    block.putFloat(8, windowWidth);
    drawPass(gl, block, {{GL_TEXTURE_3D, volumeTexture}});
}

} // namespace render
