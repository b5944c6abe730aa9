#include "render/GpuFullscreenRenderer.h"

#include "render/GpuDevice.h"
#include "render/GpuKeepAllMask.h"
#include "render/GpuParamBlock.h"
#include "render/GpuTextureHandle.h"

#include <QByteArray>
#include <QOpenGLFunctions_3_3_Core>

namespace render {

void GpuFullscreenRenderer::release()
{
    m_program.release();
    m_parameters = m_vertexArray = m_cropSampler = m_keepAllMask = 0;
    m_unitSamplers.clear();
}

QOpenGLFunctions_3_3_Core* GpuFullscreenRenderer::buildProgram(GpuDevice* device, const shaders::ShaderSource& source,
                                                               QString* error)
{
    release();
    if (!m_program.build(device, source, QString(), error))
        return nullptr;
    auto* gl = m_program.makeCurrentFor(device);
    if (!gl)
        fail(error, QStringLiteral("Контекст OpenGL не готов."));
    return gl;
}

bool GpuFullscreenRenderer::createParameters(QOpenGLFunctions_3_3_Core* gl, size_t size, const char* blockName)
{
    drainGlErrors(gl);
    m_parameters = m_program.createBuffer();
    if (!m_parameters)
        return false;
    gl->glBindBuffer(GL_UNIFORM_BUFFER, m_parameters);
    gl->glBufferData(GL_UNIFORM_BUFFER, GLsizeiptr(size), nullptr, GL_DYNAMIC_DRAW);
    gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);
    if (gl->glGetError() != GL_NO_ERROR)
        return false;
    m_program.bindBlock(blockName);
    return true;
}

bool GpuFullscreenRenderer::createVertexArray()
{
    m_vertexArray = m_program.createVertexArray();
    return m_vertexArray != 0;
}

bool GpuFullscreenRenderer::addTextureUnit(QOpenGLFunctions_3_3_Core* gl, const char* samplerName)
{
    const unsigned int sampler = m_program.createSampler();
    if (!sampler)
        return false;
    configureLinearClampSampler(gl, sampler);
    m_program.bindSamplerUnit(samplerName, int(m_unitSamplers.size()));
    m_unitSamplers.push_back(sampler);
    return true;
}

bool GpuFullscreenRenderer::addCropUnits(QOpenGLFunctions_3_3_Core* gl)
{
    m_cropSampler = m_program.createSampler();
    m_keepAllMask = m_program.createTexture();
    if (!m_cropSampler || !m_keepAllMask)
        return false;
    configureLinearClampSampler(gl, m_cropSampler);
    fillKeepAllMask(gl, m_keepAllMask);
    const int firstUnit = int(m_unitSamplers.size());
    for (int k = 0; k < kMaxCropSlots; ++k)
        m_program.bindSamplerUnit(QByteArray("CropMask" + QByteArray::number(k)).constData(), firstUnit + k);
    return true;
}

bool GpuFullscreenRenderer::fail(QString* error, const QString& text)
{
    release();
    if (error)
        *error = text;
    return false;
}

void GpuFullscreenRenderer::drawPass(QOpenGLFunctions_3_3_Core* gl, const GpuParamBlock& block,
                                     std::initializer_list<UnitTexture> textures, const CropSlots* crops,
                                     int activeCrops)
{
    gl->glBindBuffer(GL_UNIFORM_BUFFER, m_parameters);
    gl->glBufferData(GL_UNIFORM_BUFFER, GLsizeiptr(block.size()), block.data(), GL_DYNAMIC_DRAW);
    gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);

    gl->glUseProgram(m_program.program());
    gl->glBindVertexArray(m_vertexArray);
    GLuint unit = 0;
    for (const UnitTexture& t : textures) {
        gl->glActiveTexture(GL_TEXTURE0 + unit);
        gl->glBindTexture(t.target, t.texture);
        gl->glBindSampler(unit, unit < m_unitSamplers.size() ? m_unitSamplers[unit] : 0);
        ++unit;
    }
    if (crops && m_cropSampler) {
        for (int k = 0; k < kMaxCropSlots; ++k) {
            const unsigned int mask = k < activeCrops && (*crops)[size_t(k)].maskTexture
                                          ? (*crops)[size_t(k)].maskTexture
                                          : m_keepAllMask;
            gl->glActiveTexture(GL_TEXTURE0 + unit + GLuint(k));
            gl->glBindTexture(GL_TEXTURE_2D, mask);
            gl->glBindSampler(unit + GLuint(k), m_cropSampler);
        }
    }
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glBindBufferBase(GL_UNIFORM_BUFFER, 0, m_parameters);
    gl->glDrawArrays(GL_TRIANGLES, 0, 3);
    gl->glBindVertexArray(0);
    gl->glUseProgram(0);
}

} // namespace render
