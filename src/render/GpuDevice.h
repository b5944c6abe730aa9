#pragma once

#include <QImage>
#include <QRect>
#include <QString>

#include <memory>

class QOpenGLFunctions_3_3_Core;

namespace platform {
class GlOffscreenContext;
}

namespace render {

// The GPU context of the 3D view: an OpenGL 3.3 core context with an offscreen frame of the view's
// size. A frame is drawn between beginFrame and present; present reads it back into an image that
// the view paints. Either empty or complete: every failure leaves it empty. GUI thread only.
class GpuDevice
{
public:
    GpuDevice();
    ~GpuDevice();
    GpuDevice(const GpuDevice&) = delete;
    GpuDevice& operator=(const GpuDevice&) = delete;

    bool initialize(int width, int height, QString* error);
    void resize(int width, int height);
    // Binds the frame, clears it to the colour and sets the centred square viewport.
    void beginFrame(float r, float g, float b, float a);
    // The frame, top row first; a null image on an empty device.
    QImage present();
    QImage clearAndPresent(float r, float g, float b, float a);
    void release();

    bool isInitialized() const { return m_framebuffer != 0; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    // The largest centred square of a width x height frame, in whole pixels from the top-left corner.
    static QRect squareViewport(int width, int height);
    // Side limit of 3D textures: 2048, or less when the context allows less.
    int maxVolumeSide() const { return m_maxVolumeSide; }

    // Makes the context current and gives its functions; null on an empty device.
    QOpenGLFunctions_3_3_Core* makeCurrent() const;
    // The context that textures and renderers keep alive while they hold GL objects.
    std::shared_ptr<platform::GlOffscreenContext> context() const { return m_context; }

private:
    bool createFrameTarget(QString* error);

    std::shared_ptr<platform::GlOffscreenContext> m_context;
    unsigned int m_framebuffer = 0;
    unsigned int m_colorBuffer = 0;
    int m_width = 0;
    int m_height = 0;
    int m_maxVolumeSide = 2048;
};

} // namespace render
