#include "render/GpuDevice.h"

#include "render/GpuTextureHandle.h"

#include "platform/GlOffscreenContext.h"

#include <QOpenGLFunctions_3_3_Core>

#include <algorithm>
#include <vector>

namespace render {

namespace {

constexpr int kVolumeSideLimit = 2048;

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

} // namespace

GpuDevice::GpuDevice() = default;

GpuDevice::~GpuDevice()
{
    release();
}

QRect GpuDevice::squareViewport(int width, int height)
{
    const int side = std::max(0, std::min(width, height));
    // Whole pixels: an odd difference puts the extra pixel below and to the right of the square.
    return QRect((width - side) / 2, (height - side) / 2, side, side);
}

QOpenGLFunctions_3_3_Core* GpuDevice::makeCurrent() const
{
    return m_context ? m_context->makeCurrent() : nullptr;
}

void GpuDevice::release()
{
    if (m_context) {
        if (auto* gl = m_context->makeCurrent()) {
            if (m_framebuffer)
                gl->glDeleteFramebuffers(1, &m_framebuffer);
            if (m_colorBuffer)
                gl->glDeleteRenderbuffers(1, &m_colorBuffer);
        }
    }
    m_framebuffer = 0;
    m_colorBuffer = 0;
    m_context.reset();
}

bool GpuDevice::initialize(int width, int height, QString* error)
{
    release();
    m_width = width;
    m_height = height;

    m_context = platform::GlOffscreenContext::create(error);
    if (!m_context)
        return false;
    auto* gl = m_context->makeCurrent();
    if (!gl) {
        setError(error, QStringLiteral("Не удалось создать контекст OpenGL 3.3 core. Видеокарта или её драйвер "
                                       "могут не поддерживать OpenGL 3.3."));
        release();
        return false;
    }
    GLint max3d = 0;
    gl->glGetIntegerv(GL_MAX_3D_TEXTURE_SIZE, &max3d);
    m_maxVolumeSide = max3d > 0 ? std::min(max3d, kVolumeSideLimit) : kVolumeSideLimit;

    if (!createFrameTarget(error)) {
        release();
        return false;
    }
    return true;
}

bool GpuDevice::createFrameTarget(QString* error)
{
    auto* gl = m_context->makeCurrent();
    drainGlErrors(gl);
    if (!m_colorBuffer)
        gl->glGenRenderbuffers(1, &m_colorBuffer);
    gl->glBindRenderbuffer(GL_RENDERBUFFER, m_colorBuffer);
    gl->glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, m_width, m_height);
    const GLenum storageError = gl->glGetError();
    gl->glBindRenderbuffer(GL_RENDERBUFFER, 0);
    if (storageError != GL_NO_ERROR) {
        setError(error, QStringLiteral("Не удалось создать renderbuffer кадра (%1).")
                            .arg(platform::glCodeText(storageError)));
        return false;
    }
    if (!m_framebuffer)
        gl->glGenFramebuffers(1, &m_framebuffer);
    gl->glBindFramebuffer(GL_FRAMEBUFFER, m_framebuffer);
    gl->glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, m_colorBuffer);
    const GLenum status = gl->glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE) {
        setError(error,
                 QStringLiteral("Не удалось создать framebuffer object (%1).").arg(platform::glCodeText(status)));
        return false;
    }
    return true;
}

void GpuDevice::resize(int width, int height)
{
    if (!isInitialized() || width < 1 || height < 1 || (width == m_width && height == m_height))
        return;
    m_width = width;
    m_height = height;
    if (!createFrameTarget(nullptr))
        release();
}

void GpuDevice::beginFrame(float r, float g, float b, float a)
{
    if (!isInitialized())
        return;
    auto* gl = m_context->makeCurrent();
    if (!gl)
        return;
    gl->glBindFramebuffer(GL_FRAMEBUFFER, m_framebuffer);
    gl->glDrawBuffer(GL_COLOR_ATTACHMENT0);
    gl->glDisable(GL_SCISSOR_TEST);
    gl->glDisable(GL_DEPTH_TEST);
    gl->glDisable(GL_BLEND);
    gl->glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    gl->glClearColor(r, g, b, a);
    gl->glClear(GL_COLOR_BUFFER_BIT);
    // GL counts viewport rows from the bottom of the frame.
    const QRect square = squareViewport(m_width, m_height);
    gl->glViewport(square.x(), m_height - square.y() - square.height(), square.width(), square.height());
    gl->glDepthRange(0.0, 1.0);
}

QImage GpuDevice::present()
{
    if (!isInitialized())
        return {};
    auto* gl = m_context->makeCurrent();
    if (!gl)
        return {};
    gl->glBindFramebuffer(GL_FRAMEBUFFER, m_framebuffer);
    gl->glReadBuffer(GL_COLOR_ATTACHMENT0);
    gl->glPixelStorei(GL_PACK_ALIGNMENT, 4);
    gl->glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    std::vector<uchar> pixels(size_t(m_width) * size_t(m_height) * 4);
    gl->glReadPixels(0, 0, m_width, m_height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());

    // The frame is shown opaque, as a window's swap chain would show it, whatever alpha the draws wrote.
    QImage frame(m_width, m_height, QImage::Format_RGBX8888);
    const size_t rowBytes = size_t(m_width) * 4;
    for (int y = 0; y < m_height; ++y) {
        const uchar* src = pixels.data() + size_t(m_height - 1 - y) * rowBytes;
        uchar* dst = frame.scanLine(y);
        std::copy(src, src + rowBytes, dst);
        for (int x = 0; x < m_width; ++x)
            dst[4 * x + 3] = 0xff;
    }
    return frame;
}

QImage GpuDevice::clearAndPresent(float r, float g, float b, float a)
{
    beginFrame(r, g, b, a);
    return present();
}

} // namespace render
