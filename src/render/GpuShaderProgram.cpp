#include "render/GpuShaderProgram.h"

#include "render/GpuDevice.h"
#include "render/GpuTextureHandle.h"

#include "platform/GlOffscreenContext.h"

#include <QOpenGLFunctions_3_3_Core>
#include <QStringList>

#include <cfloat>

namespace render {

namespace {

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QString infoLog(QOpenGLFunctions_3_3_Core* gl, GLuint object, bool isProgram)
{
    GLint length = 0;
    if (isProgram)
        gl->glGetProgramiv(object, GL_INFO_LOG_LENGTH, &length);
    else
        gl->glGetShaderiv(object, GL_INFO_LOG_LENGTH, &length);
    if (length <= 1)
        return {};
    QByteArray text(length, '\0');
    GLsizei written = 0;
    if (isProgram)
        gl->glGetProgramInfoLog(object, length, &written, text.data());
    else
        gl->glGetShaderInfoLog(object, length, &written, text.data());
    text.truncate(written);
    return QString::fromLocal8Bit(text).trimmed();
}

// Every line of the compiler's output names the shader text it speaks of.
QString withSourceName(const QString& log, const char* sourceName)
{
    QStringList lines = log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& line : lines)
        line = QStringLiteral("%1: %2").arg(QLatin1String(sourceName), line.trimmed());
    return lines.join(QLatin1Char('\n'));
}

GLuint compileStage(QOpenGLFunctions_3_3_Core* gl, GLenum stage, const shaders::ShaderSource& source,
                    const QString& objectSuffix, QString* error)
{
    const bool vertex = stage == GL_VERTEX_SHADER;
    const char* entry = vertex ? "VSMain" : "PSMain";
    const GLuint shader = gl->glCreateShader(stage);
    if (!shader) {
        setError(error, vertex ? QStringLiteral("Не удалось создать вершинный шейдер%1.").arg(objectSuffix)
                               : QStringLiteral("Не удалось создать пиксельный шейдер%1.").arg(objectSuffix));
        return 0;
    }
    // The entry point becomes main; #line keeps the compiler's line numbers those of the text itself.
    const char* prelude = vertex ? "#version 330 core\n#define VERTEX_STAGE 1\n#define VSMain main\n#line 1\n"
                                 : "#version 330 core\n#define PIXEL_STAGE 1\n#define PSMain main\n#line 1\n";
    const char* parts[2] = {prelude, source.text};
    gl->glShaderSource(shader, 2, parts, nullptr);
    gl->glCompileShader(shader);
    GLint ok = GL_FALSE;
    gl->glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (ok != GL_TRUE) {
        const QString log = infoLog(gl, shader, false);
        setError(error, QStringLiteral("Ошибка компиляции шейдера \"%1\": %2")
                            .arg(QLatin1String(entry),
                                 log.isEmpty() ? QStringLiteral("(нет подробностей от компилятора шейдеров)")
                                               : withSourceName(log, source.name)));
        gl->glDeleteShader(shader);
        return 0;
    }
    return shader;
}

} // namespace

void configureLinearClampSampler(QOpenGLFunctions_3_3_Core* gl, unsigned int sampler)
{
    gl->glSamplerParameteri(sampler, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    gl->glSamplerParameteri(sampler, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl->glSamplerParameteri(sampler, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    gl->glSamplerParameteri(sampler, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    gl->glSamplerParameteri(sampler, GL_TEXTURE_WRAP_R, GL_CLAMP_TO_EDGE);
    gl->glSamplerParameterf(sampler, GL_TEXTURE_LOD_BIAS, 0.0f);
    gl->glSamplerParameterf(sampler, GL_TEXTURE_MIN_LOD, 0.0f);
    gl->glSamplerParameterf(sampler, GL_TEXTURE_MAX_LOD, FLT_MAX);
    const GLfloat border[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    gl->glSamplerParameterfv(sampler, GL_TEXTURE_BORDER_COLOR, border);
}

bool GpuShaderProgram::build(GpuDevice* device, const shaders::ShaderSource& source, const QString& objectSuffix,
                             QString* error)
{
    release();
    QOpenGLFunctions_3_3_Core* gl = device ? device->makeCurrent() : nullptr;
    if (!gl) {
        setError(error, QStringLiteral("Контекст OpenGL не готов."));
        return false;
    }
    const GLuint vertexShader = compileStage(gl, GL_VERTEX_SHADER, source, objectSuffix, error);
    if (!vertexShader)
        return false;
    const GLuint pixelShader = compileStage(gl, GL_FRAGMENT_SHADER, source, objectSuffix, error);
    if (!pixelShader) {
        gl->glDeleteShader(vertexShader);
        return false;
    }
    const GLuint program = gl->glCreateProgram();
    if (!program) {
        gl->glDeleteShader(vertexShader);
        gl->glDeleteShader(pixelShader);
        setError(error, QStringLiteral("Не удалось создать пиксельный шейдер%1.").arg(objectSuffix));
        return false;
    }
    gl->glAttachShader(program, vertexShader);
    gl->glAttachShader(program, pixelShader);
    gl->glLinkProgram(program);
    gl->glDetachShader(program, vertexShader);
    gl->glDetachShader(program, pixelShader);
    gl->glDeleteShader(vertexShader);
    gl->glDeleteShader(pixelShader);
    GLint ok = GL_FALSE;
    gl->glGetProgramiv(program, GL_LINK_STATUS, &ok);
    if (ok != GL_TRUE) {
        const QString log = infoLog(gl, program, true);
        gl->glDeleteProgram(program);
        setError(error, QStringLiteral("Не удалось связать шейдеры \"VSMain\" и \"PSMain\": %1")
                            .arg(log.isEmpty() ? QStringLiteral("(нет подробностей от компилятора шейдеров)")
                                               : withSourceName(log, source.name)));
        return false;
    }
    m_context = device->context();
    m_gl = gl;
    m_program = program;
    return true;
}

void GpuShaderProgram::release()
{
    if (m_context) {
        if (auto* gl = m_context->makeCurrent()) {
            if (!m_buffers.empty())
                gl->glDeleteBuffers(GLsizei(m_buffers.size()), m_buffers.data());
            if (!m_vertexArrays.empty())
                gl->glDeleteVertexArrays(GLsizei(m_vertexArrays.size()), m_vertexArrays.data());
            if (!m_samplers.empty())
                gl->glDeleteSamplers(GLsizei(m_samplers.size()), m_samplers.data());
            if (!m_textures.empty())
                gl->glDeleteTextures(GLsizei(m_textures.size()), m_textures.data());
            if (m_program)
                gl->glDeleteProgram(m_program);
        }
    }
    m_buffers.clear();
    m_vertexArrays.clear();
    m_samplers.clear();
    m_textures.clear();
    m_program = 0;
    m_gl = nullptr;
    m_context.reset();
}

QOpenGLFunctions_3_3_Core* GpuShaderProgram::makeCurrentFor(const GpuDevice* device) const
{
    if (!m_program || !device || !device->isInitialized() || device->context() != m_context)
        return nullptr;
    return m_context->makeCurrent();
}

unsigned int GpuShaderProgram::createBuffer()
{
    GLuint id = 0;
    if (m_gl && m_context->makeCurrent())
        m_gl->glGenBuffers(1, &id);
    if (id)
        m_buffers.push_back(id);
    return id;
}

unsigned int GpuShaderProgram::createVertexArray()
{
    GLuint id = 0;
    if (m_gl && m_context->makeCurrent())
        m_gl->glGenVertexArrays(1, &id);
    if (id)
        m_vertexArrays.push_back(id);
    return id;
}

unsigned int GpuShaderProgram::createSampler()
{
    GLuint id = 0;
    if (m_gl && m_context->makeCurrent())
        m_gl->glGenSamplers(1, &id);
    if (id)
        m_samplers.push_back(id);
    return id;
}

unsigned int GpuShaderProgram::createTexture()
{
    GLuint id = 0;
    if (m_gl && m_context->makeCurrent())
        m_gl->glGenTextures(1, &id);
    if (id)
        m_textures.push_back(id);
    return id;
}

void GpuShaderProgram::bindBlock(const char* blockName)
{
    if (!m_gl || !m_context->makeCurrent())
        return;
    const GLuint index = m_gl->glGetUniformBlockIndex(m_program, blockName);
    if (index != GL_INVALID_INDEX)
        m_gl->glUniformBlockBinding(m_program, index, 0);
}

void GpuShaderProgram::bindSamplerUnit(const char* samplerName, int unit)
{
    if (!m_gl || !m_context->makeCurrent())
        return;
    m_gl->glUseProgram(m_program);
    const GLint location = m_gl->glGetUniformLocation(m_program, samplerName);
    if (location >= 0)
        m_gl->glUniform1i(location, unit);
    m_gl->glUseProgram(0);
}

} // namespace render
