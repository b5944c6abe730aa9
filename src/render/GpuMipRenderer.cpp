#include "GpuMipRenderer.h"

#include "GpuDevice.h"
#include "GpuKeepAllMask.h"
#include "GpuParamBlock.h"
#include "GpuTextureHandle.h"

#include <QOpenGLFunctions_3_3_Core>

#include <algorithm>

namespace render {

namespace {

constexpr size_t kCameraParamsSize = 496;
constexpr size_t kCropBlocksOffset = 112;
constexpr int kFirstCropUnit = 1;

} // namespace

void GpuMipRenderer::release()
{
    m_program.release();
    m_parameters = m_vertexArray = m_volumeSampler = m_cropSampler = m_keepAllMask = 0;
}

bool GpuMipRenderer::initialize(GpuDevice* device, QString* error)
{
    release();
    if (!m_program.build(device, shaders::mipShader, QString(), error))
        return false;
    auto* gl = m_program.makeCurrentFor(device);
    drainGlErrors(gl);
    m_parameters = m_program.createBuffer();
    if (m_parameters) {
        gl->glBindBuffer(GL_UNIFORM_BUFFER, m_parameters);
        gl->glBufferData(GL_UNIFORM_BUFFER, kCameraParamsSize, nullptr, GL_DYNAMIC_DRAW);
        gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);
    }
    m_vertexArray = m_program.createVertexArray();
    if (!m_parameters || !m_vertexArray || gl->glGetError() != GL_NO_ERROR) {
        release();
        if (error)
            *error = QStringLiteral("Не удалось создать uniform-буфер параметров камеры.");
        return false;
    }
    m_volumeSampler = m_program.createSampler();
    if (!m_volumeSampler) {
        release();
        if (error)
            *error = QStringLiteral("Не удалось создать sampler object.");
        return false;
    }
    m_cropSampler = m_program.createSampler();
    m_keepAllMask = m_program.createTexture();
    if (!m_cropSampler || !m_keepAllMask) {
        release();
        if (error)
            *error = QStringLiteral("Не удалось создать sampler object маски обрезки.");
        return false;
    }
    configureLinearClampSampler(gl, m_volumeSampler);
    configureLinearClampSampler(gl, m_cropSampler);
    fillKeepAllMask(gl, m_keepAllMask);
    m_program.bindBlock("CameraParams");
    m_program.bindSamplerUnit("VolumeTexture", 0);
    for (int k = 0; k < kMaxCropSlots; ++k)
        m_program.bindSamplerUnit(QByteArray("CropMask" + QByteArray::number(k)).constData(), kFirstCropUnit + k);
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
    gl->glBindBuffer(GL_UNIFORM_BUFFER, m_parameters);
    gl->glBufferData(GL_UNIFORM_BUFFER, GLsizeiptr(block.size()), block.data(), GL_DYNAMIC_DRAW);
    gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);

    gl->glUseProgram(m_program.program());
    gl->glBindVertexArray(m_vertexArray);
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glBindTexture(GL_TEXTURE_3D, volumeTexture);
    gl->glBindSampler(0, m_volumeSampler);
    for (int k = 0; k < kMaxCropSlots; ++k) {
        const unsigned int mask = k < activeCrops && crops[size_t(k)].maskTexture ? crops[size_t(k)].maskTexture
                                                                                   : m_keepAllMask;
        gl->glActiveTexture(GLenum(GL_TEXTURE0 + kFirstCropUnit + k));
        gl->glBindTexture(GL_TEXTURE_2D, mask);
        gl->glBindSampler(GLuint(kFirstCropUnit + k), m_cropSampler);
    }
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glBindBufferBase(GL_UNIFORM_BUFFER, 0, m_parameters);
    gl->glDrawArrays(GL_TRIANGLES, 0, 3);
    gl->glBindVertexArray(0);
    gl->glUseProgram(0);
}

} // namespace render
