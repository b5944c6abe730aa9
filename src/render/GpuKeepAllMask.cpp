#include "render/GpuKeepAllMask.h"

#include "render/GpuTextureHandle.h"

#include <QOpenGLFunctions_3_3_Core>

namespace render {

void fillKeepAllMask(QOpenGLFunctions_3_3_Core* gl, unsigned int texture)
{
    const unsigned char keep[4] = {255, 255, 255, 255};
    bindSingleLevelTexture(gl, GL_TEXTURE_2D, texture);
    gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, 1, 1, 0, GL_RED, GL_UNSIGNED_BYTE, keep);
    gl->glBindTexture(GL_TEXTURE_2D, 0);
}

} // namespace render
