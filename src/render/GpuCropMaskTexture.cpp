#include "render/GpuCropMaskTexture.h"

#include "render/GpuDevice.h"

#include "platform/GlOffscreenContext.h"

#include <QOpenGLFunctions_3_3_Core>

namespace render {

void GpuCropMaskTexture::release()
{
    m_handle.reset();
}

bool GpuCropMaskTexture::upload(GpuDevice* device, const QImage& mask, QString* error)
{
    release();
    QOpenGLFunctions_3_3_Core* gl = device ? device->makeCurrent() : nullptr;
    if (!gl || mask.isNull()) {
        if (error)
            *error = QStringLiteral("Контекст OpenGL не готов или маска пуста.");
        return false;
    }
    const QImage grey = mask.convertToFormat(QImage::Format_Grayscale8);

    drainGlErrors(gl);
    GLuint texture = 0;
    gl->glGenTextures(1, &texture);
    bindSingleLevelTexture(gl, GL_TEXTURE_2D, texture);
    // Rows are the image's own lines, padded to four bytes.
    gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, GLint(grey.bytesPerLine()));
    gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, grey.width(), grey.height(), 0, GL_RED, GL_UNSIGNED_BYTE,
                     grey.constBits());
    const GLenum code = gl->glGetError();
    gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl->glBindTexture(GL_TEXTURE_2D, 0);
    if (code != GL_NO_ERROR) {
        gl->glDeleteTextures(1, &texture);
        if (error)
            *error = QStringLiteral("Не удалось создать текстуру маски обрезки (код %1).")
                         .arg(platform::glCodeText(code));
        return false;
    }
    m_handle.reset(device->context(), texture);
    return true;
}

} // namespace render
