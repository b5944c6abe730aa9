#include "GpuKeepAllMask.h"

#include <QOpenGLFunctions_3_3_Core>

namespace render {

void fillKeepAllMask(QOpenGLFunctions_3_3_Core* gl, unsigned int texture)
{
    const unsigned char keep[4] = {255, 255, 255, 255};
    gl->glBindTexture(GL_TEXTURE_2D, texture);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_BASE_LEVEL, 0);
    gl->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    gl->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    gl->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    gl->glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, 1, 1, 0, GL_RED, GL_UNSIGNED_BYTE, keep);
    gl->glBindTexture(GL_TEXTURE_2D, 0);
}

} // namespace render
