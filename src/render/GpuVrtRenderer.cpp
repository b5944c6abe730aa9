#include "GpuVrtRenderer.h"

#include "GpuDevice.h"
#include "GpuKeepAllMask.h"
#include "GpuParamBlock.h"
#include "GpuTextureHandle.h"

#include <QOpenGLFunctions_3_3_Core>

#include <algorithm>

namespace render {

namespace {

constexpr size_t kVrtParamsSize = 544;
constexpr size_t kCropBlocksOffset = 160;
constexpr int kFirstCropUnit = 2;

} // namespace

void GpuVrtRenderer::release()
{
    m_program.release();
    m_parameters = m_vertexArray = m_volumeSampler = m_tableSampler = m_cropSampler = m_keepAllMask = 0;
}

bool GpuVrtRenderer::initialize(GpuDevice* device, QString* error)
{
    release();
    if (!m_program.build(device, shaders::vrtShader, QString(), error))
        return false;
    auto* gl = m_program.makeCurrentFor(device);
    auto fail = [&](const QString& text) {
        release();
        if (error)
            *error = text;
        return false;
    };
    drainGlErrors(gl);
    m_parameters = m_program.createBuffer();
    if (m_parameters) {
        gl->glBindBuffer(GL_UNIFORM_BUFFER, m_parameters);
        gl->glBufferData(GL_UNIFORM_BUFFER, kVrtParamsSize, nullptr, GL_DYNAMIC_DRAW);
        gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);
    }
    m_vertexArray = m_program.createVertexArray();
    if (!m_parameters || !m_vertexArray || gl->glGetError() != GL_NO_ERROR)
        return fail(QStringLiteral("Не удалось создать uniform-буфер параметров VRT."));
    if (!(m_volumeSampler = m_program.createSampler()))
        return fail(QStringLiteral("Не удалось создать sampler object объёма."));
    if (!(m_tableSampler = m_program.createSampler()))
        return fail(QStringLiteral("Не удалось создать sampler object transfer function."));
    m_cropSampler = m_program.createSampler();
    m_keepAllMask = m_program.createTexture();
    if (!m_cropSampler || !m_keepAllMask)
        return fail(QStringLiteral("Не удалось создать sampler object маски обрезки."));
    configureLinearClampSampler(gl, m_volumeSampler);
    configureLinearClampSampler(gl, m_tableSampler);
    configureLinearClampSampler(gl, m_cropSampler);
    fillKeepAllMask(gl, m_keepAllMask);
    m_program.bindBlock("VrtParams");
    m_program.bindSamplerUnit("VolumeTexture", 0);
    m_program.bindSamplerUnit("TransferFunction", 1);
    for (int k = 0; k < kMaxCropSlots; ++k)
        m_program.bindSamplerUnit(QByteArray("CropMask" + QByteArray::number(k)).constData(), kFirstCropUnit + k);
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
    gl->glBindBuffer(GL_UNIFORM_BUFFER, m_parameters);
    gl->glBufferData(GL_UNIFORM_BUFFER, GLsizeiptr(block.size()), block.data(), GL_DYNAMIC_DRAW);
    gl->glBindBuffer(GL_UNIFORM_BUFFER, 0);

    gl->glUseProgram(m_program.program());
    gl->glBindVertexArray(m_vertexArray);
    gl->glActiveTexture(GL_TEXTURE0);
    gl->glBindTexture(GL_TEXTURE_3D, volumeTexture);
    gl->glBindSampler(0, m_volumeSampler);
    gl->glActiveTexture(GL_TEXTURE1);
    gl->glBindTexture(GL_TEXTURE_1D, transferFunctionTexture);
    gl->glBindSampler(1, m_tableSampler);
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
