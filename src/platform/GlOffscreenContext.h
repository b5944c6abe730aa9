#pragma once

#include <QSurfaceFormat>
#include <QString>

#include <memory>

class QOffscreenSurface;
class QOpenGLContext;
class QOpenGLFunctions_3_3_Core;

namespace platform {

// An OpenGL 3.3 core context on an offscreen surface: the stand-in for a Direct3D 11 device on this
// platform. Textures and renderers keep a shared reference, so their GL objects can always be deleted
// in the context that made them, whatever order their owners are destroyed in. GUI thread only.
class GlOffscreenContext
{
public:
    // Null with a Russian message when no 3.3 core context can be made (no display, old driver,
    // no QGuiApplication, not the GUI thread).
    static std::shared_ptr<GlOffscreenContext> create(QString* error);
    ~GlOffscreenContext();

    GlOffscreenContext(const GlOffscreenContext&) = delete;
    GlOffscreenContext& operator=(const GlOffscreenContext&) = delete;

    // Makes the context current on its surface; null when that fails.
    QOpenGLFunctions_3_3_Core* makeCurrent();
    QSurfaceFormat format() const;

    // The GL tests, which run on Mesa's software renderer on purpose, say so here; nothing in the
    // program does, and no setting or environment reaches it.
    static void setSoftwareRendererAccepted(bool accepted);

    // True for a context of version 3.3 or later; otherwise the message names the version it has.
    static bool versionSupported(const QSurfaceFormat& format, QString* error);

private:
    GlOffscreenContext() = default;

    QOffscreenSurface* m_surface = nullptr;
    QOpenGLContext* m_context = nullptr;
    QOpenGLFunctions_3_3_Core* m_functions = nullptr;
};

// "0x" and eight lower-case hexadecimal digits, the form in which GL error and status codes are shown.
QString glCodeText(unsigned int code);

} // namespace platform
