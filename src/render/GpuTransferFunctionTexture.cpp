#include "render/GpuTransferFunctionTexture.h"

#include "render/GpuDevice.h"

#include "platform/GlOffscreenContext.h"

#include <QOpenGLFunctions_3_3_Core>

#include <algorithm>

namespace render {

namespace {

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

unsigned char toByte(double v)
{
    return static_cast<unsigned char>(std::clamp(v, 0.0, 1.0) * 255.0);
}

} // namespace

std::array<unsigned char, 1024> GpuTransferFunctionTexture::buildTable(const TransferFunctionPreset& function,
                                                                         double huMin, double huMax)
{
    std::array<unsigned char, 1024> table{};
    const double range = std::max(huMax - huMin, 1e-6);
    for (int i = 0; i < 256; ++i) {
        const double value = huMin + (i / 255.0) * range;
        float rgb[3] = {1.0f, 1.0f, 1.0f};
        sampleTransferFunctionColor(function, rgb, value);
        table[4 * i + 0] = toByte(rgb[0]);
        table[4 * i + 1] = toByte(rgb[1]);
        table[4 * i + 2] = toByte(rgb[2]);
        table[4 * i + 3] = toByte(sampleTransferFunctionOpacity(function, value));
    }
    return table;
}

void GpuTransferFunctionTexture::release()
{
    m_handle.reset();
}

bool GpuTransferFunctionTexture::upload(GpuDevice* device, const TransferFunctionPreset& function, double huMin,
                                        double huMax, QString* error)
{
    release();
    QOpenGLFunctions_3_3_Core* gl = device ? device->makeCurrent() : nullptr;
    if (!gl) {
        setError(error, QStringLiteral("Контекст OpenGL не готов."));
        return false;
    }
    const auto table = buildTable(function, huMin, huMax);

    drainGlErrors(gl);
    GLuint texture = 0;
    gl->glGenTextures(1, &texture);
    bindSingleLevelTexture(gl, GL_TEXTURE_1D, texture);
    gl->glTexImage1D(GL_TEXTURE_1D, 0, GL_RGBA8, 256, 0, GL_RGBA, GL_UNSIGNED_BYTE, table.data());
    const GLenum code = gl->glGetError();
    gl->glBindTexture(GL_TEXTURE_1D, 0);
    if (code != GL_NO_ERROR) {
        gl->glDeleteTextures(1, &texture);
        setError(error, QStringLiteral("Не удалось создать 1D-текстуру transfer function (код %1).")
                            .arg(platform::glCodeText(code)));
        return false;
    }
    m_handle.reset(device->context(), texture);
    return true;
}

} // namespace render
