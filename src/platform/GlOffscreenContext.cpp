#include "platform/GlOffscreenContext.h"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLVersionFunctionsFactory>
#include <QThread>

#include <atomic>

namespace platform {

namespace {

const char* const kNoContextText = "Не удалось создать контекст OpenGL 3.3 core. Видеокарта или её драйвер могут "
                                   "не поддерживать OpenGL 3.3.";

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

// Mesa's rasterisers that run on the processor. A volume frame there takes seconds and would freeze
// the window, so such a context counts as no graphics card at all and the CPU renderer takes over.
bool isSoftwareRenderer(const QByteArray& renderer)
{
    const QByteArray name = renderer.toLower();
    return name.contains("llvmpipe") || name.contains("softpipe") || name.contains("swrast")
        || name.contains("software rasterizer");
}

std::atomic_bool g_softwareRendererAccepted{false};

} // namespace

void GlOffscreenContext::setSoftwareRendererAccepted(bool accepted)
{
    g_softwareRendererAccepted = accepted;
}

QString glCodeText(unsigned int code)
{
    return QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0'));
}

bool GlOffscreenContext::versionSupported(const QSurfaceFormat& format, QString* error)
{
    const auto version = format.version();
    if (version >= qMakePair(3, 3))
        return true;
    setError(error, QStringLiteral("Видеокарта поддерживает OpenGL только до версии %1.%2 — для 3D-рендеринга "
                                   "нужен минимум 3.3 core.")
                        .arg(version.first)
                        .arg(version.second));
    return false;
}

std::shared_ptr<GlOffscreenContext> GlOffscreenContext::create(QString* error)
{
    // Surfaces and contexts belong to the GUI thread of a QGuiApplication; anywhere else Qt aborts.
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread()) {
        setError(error, QString::fromUtf8(kNoContextText));
        return nullptr;
    }

    QSurfaceFormat format;
    format.setRenderableType(QSurfaceFormat::OpenGL);
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    format.setDepthBufferSize(0);
    format.setStencilBufferSize(0);

    std::shared_ptr<GlOffscreenContext> self(new GlOffscreenContext);
    self->m_surface = new QOffscreenSurface;
    self->m_surface->setFormat(format);
    self->m_surface->create();
    self->m_context = new QOpenGLContext;
    self->m_context->setFormat(format);
    if (!self->m_surface->isValid() || !self->m_context->create()) {
        setError(error, QString::fromUtf8(kNoContextText));
        return nullptr;
    }
    if (!versionSupported(self->m_context->format(), error))
        return nullptr;
    if (!self->m_context->makeCurrent(self->m_surface)) {
        setError(error, QString::fromUtf8(kNoContextText));
        return nullptr;
    }
    self->m_functions = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_3_3_Core>(self->m_context);
    if (!self->m_functions || !self->m_functions->initializeOpenGLFunctions()) {
        setError(error, QString::fromUtf8(kNoContextText));
        return nullptr;
    }
    const QByteArray renderer(reinterpret_cast<const char*>(self->m_functions->glGetString(GL_RENDERER)));
    if (isSoftwareRenderer(renderer) && !g_softwareRendererAccepted) {
        setError(error, QStringLiteral("Доступен только программный OpenGL (%1) — для 3D-рендеринга на видеокарте нужен "
                                       "драйвер с аппаратным ускорением.")
                            .arg(QString::fromLatin1(renderer)));
        return nullptr;
    }
    return self;
}

GlOffscreenContext::~GlOffscreenContext()
{
    // Once the application object is gone the platform connection is closed and Qt cannot tear a
    // context down any more; the process is ending, so the driver reclaims it instead.
    if (!QGuiApplication::instance())
        return;
    if (m_context && QOpenGLContext::currentContext() == m_context)
        m_context->doneCurrent();
    delete m_context;
    delete m_surface;
}

QOpenGLFunctions_3_3_Core* GlOffscreenContext::makeCurrent()
{
    if (!m_functions || !QGuiApplication::instance() || !m_context->makeCurrent(m_surface))
        return nullptr;
    return m_functions;
}

QSurfaceFormat GlOffscreenContext::format() const
{
    return m_context ? m_context->format() : QSurfaceFormat();
}

} // namespace platform
