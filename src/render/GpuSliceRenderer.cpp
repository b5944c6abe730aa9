#include "GpuSliceRenderer.h"

#include "GpuDevice.h"
#include "GpuParamBlock.h"
#include "GpuTextureHandle.h"

#include <QOpenGLFunctions_3_3_Core>

namespace render {

namespace {

constexpr size_t kSliceParamsSize = 16;

} // namespace

bool GpuSliceRenderer::initialize(GpuDevice* device, QString* error)
{
    release();
    if (!m_program.build(device, shaders::sliceShader, QString(), error))
        return false;
    auto* gl = m_program.makeCurrentFor(device);
    drainGlErrors(gl);
    m_parameters = m_program.createBuffer();
    if (m_parameters) {
        gl->glBindBuffer(GL_UNIFORM_BUFFER, m_parameters);
        gl->glBufferData(GL_UNIFORM_BUFFER, kSliceParamsSize, nullptr, GL_DYNAMIC_DRAW);
        gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);
    }
    if (!m_parameters || gl->glGetError() != GL_NO_ERROR) {
        release();
        if (error)
            *error = QStringLiteral("Не удалось создать uniform-буфер параметров среза.");
        return false;
    }
    m_vertexArray = m_program.createVertexArray();
    m_sampler = m_program.createSampler();
    if (!m_vertexArray || !m_sampler) {
        release();
        if (error)
            *error = QStringLiteral("Не удалось создать sampler object.");
        return false;
    }
    configureLinearClampSampler(gl, m_sampler);
    m_program.bindBlock("SliceParams");
    m_program.bindSamplerUnit("VolumeTexture", 0);
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
    gl->glBindBuffer(GL_UNIFORM_BUFFER, m_parameters);
    gl->glBufferData(GL_UNIFORM_BUFFER, GLsizeiptr(block.size()), block.data(), GL_DYNAMIC_DRAW);
    gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);

    gl->glUseProgram(m_program.program());
    gl->glBindVertexArray(m_vertexArray);
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glBindTexture(GL_TEXTURE_3D, volumeTexture);
    gl->glBindSampler(0, m_sampler);
    gl->glBindBufferBase(GL_UNIFORM_BUFFER, 0, m_parameters);
    gl->glDrawArrays(GL_TRIANGLES, 0, 3);
    gl->glBindVertexArray(0);
    gl->glUseProgram(0);
}

} // namespace render
