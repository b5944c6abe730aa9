#include "render/GpuTextureHandle.h"

#include "platform/GlOffscreenContext.h"

#include <QOpenGLFunctions_3_3_Core>

namespace render {

void GpuTextureHandle::reset(std::shared_ptr<platform::GlOffscreenContext> context, unsigned int texture)
{
    if (m_texture && m_context) {
        if (auto* gl = m_context->makeCurrent())
            gl->glDeleteTextures(1, &m_texture);
    }
    m_context = std::move(context);
    m_texture = m_context ? texture : 0;
}

void drainGlErrors(QOpenGLFunctions_3_3_Core* gl)
{
    // Bounded: a lost context may report an error on every call.
    for (int i = 0; i < 32 && gl->glGetError() != GL_NO_ERROR; ++i) {
    }
}

void bindSingleLevelTexture(QOpenGLFunctions_3_3_Core* gl, unsigned int target, unsigned int texture)
{
    gl->glBindTexture(target, texture);
    gl->glTexParameteri(target, GL_TEXTURE_BASE_LEVEL, 0);
    gl->glTexParameteri(target, GL_TEXTURE_MAX_LEVEL, 0);
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl->glPixelStorei(GL_UNPACK_IMAGE_HEIGHT, 0);
}

} // namespace render
