#include "render/GpuVolumeTexture.h"

#include "render/GpuDevice.h"

#include "platform/GlOffscreenContext.h"

#include <QOpenGLFunctions_3_3_Core>

namespace render {

namespace {

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

} // namespace

void GpuVolumeTexture::release()
{
    m_handle.reset();
    m_nx = m_ny = m_nz = 0;
}

bool GpuVolumeTexture::upload(GpuDevice* device, const Volume& volume, QString* error)
{
    release();
    QOpenGLFunctions_3_3_Core* gl = device ? device->makeCurrent() : nullptr;
    if (!gl || volume.nx <= 0 || volume.ny <= 0 || volume.nz <= 0) {
        setError(error, QStringLiteral("Объём пуст или контекст OpenGL не готов."));
        return false;
    }
    const int limit = device->maxVolumeSide();
    if (volume.nx > limit || volume.ny > limit || volume.nz > limit) {
        setError(error, QStringLiteral("Объём %1×%2×%3 превышает максимальный размер 3D-текстуры OpenGL "
                                       "(%4 по каждой стороне).")
                            .arg(volume.nx)
                            .arg(volume.ny)
                            .arg(volume.nz)
                            .arg(limit));
        return false;
    }
    // The driver reads nx * ny * nz floats whatever the vector holds.
    const quint64 needed = quint64(volume.nx) * quint64(volume.ny) * quint64(volume.nz);
    if (quint64(volume.voxels.size()) < needed) {
        setError(error, QStringLiteral("Данные объёма %1×%2×%3 неполны: %4 вокселей вместо %5.")
                            .arg(volume.nx)
                            .arg(volume.ny)
                            .arg(volume.nz)
                            .arg(quint64(volume.voxels.size()))
                            .arg(needed));
        return false;
    }

    drainGlErrors(gl);
    GLuint texture = 0;
    gl->glGenTextures(1, &texture);
    bindSingleLevelTexture(gl, GL_TEXTURE_3D, texture);
    gl->glTexImage3D(GL_TEXTURE_3D, 0, GL_R32F, volume.nx, volume.ny, volume.nz, 0, GL_RED, GL_FLOAT,
                     volume.voxels.data());
    const GLenum code = gl->glGetError();
    gl->glBindTexture(GL_TEXTURE_3D, 0);
    if (code != GL_NO_ERROR) {
        gl->glDeleteTextures(1, &texture);
        setError(error, QStringLiteral("Не удалось создать 3D-текстуру объёма %1×%2×%3 (код %4) — возможно, не "
                                       "хватает видеопамяти.")
                            .arg(volume.nx)
                            .arg(volume.ny)
                            .arg(volume.nz)
                            .arg(platform::glCodeText(code)));
        return false;
    }
    m_handle.reset(device->context(), texture);
    m_nx = volume.nx;
    m_ny = volume.ny;
    m_nz = volume.nz;
    return true;
}

} // namespace render
