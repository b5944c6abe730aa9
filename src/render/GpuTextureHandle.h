#pragma once

#include <memory>

class QOpenGLFunctions_3_3_Core;

namespace platform {
class GlOffscreenContext;
}

namespace render {

// One GL texture together with the context it lives in; deleting it makes that context current first.
class GpuTextureHandle
{
public:
    GpuTextureHandle() = default;
    ~GpuTextureHandle() { reset(); }
    GpuTextureHandle(const GpuTextureHandle&) = delete;
    GpuTextureHandle& operator=(const GpuTextureHandle&) = delete;

    void reset(std::shared_ptr<platform::GlOffscreenContext> context = {}, unsigned int texture = 0);
    unsigned int texture() const { return m_texture; }
    bool isEmpty() const { return m_texture == 0; }

private:
    std::shared_ptr<platform::GlOffscreenContext> m_context;
    unsigned int m_texture = 0;
};

// Clears errors left by earlier calls, so that the next glGetError speaks of the call that follows.
void drainGlErrors(QOpenGLFunctions_3_3_Core* gl);

// Binds `texture` to `target` (GL_TEXTURE_1D, _2D or _3D) with one level only — without MAX_LEVEL 0 a
// mip-filtered sampler would see an incomplete texture — and sets the unpack state of tightly packed rows
// aligned to four bytes, ready for the upload.
void bindSingleLevelTexture(QOpenGLFunctions_3_3_Core* gl, unsigned int target, unsigned int texture);

} // namespace render
