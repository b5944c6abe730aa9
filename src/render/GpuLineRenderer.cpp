#include "render/GpuLineRenderer.h"

#include "render/GpuDevice.h"
#include "render/GpuTextureHandle.h"

#include <QOpenGLFunctions_3_3_Core>

#include <algorithm>
#include <vector>

namespace render {

namespace {

constexpr int kMinimumCapacity = 256;

} // namespace

void GpuLineRenderer::release()
{
    m_program.release();
    m_vertexArray = m_vertexBuffer = 0;
    m_capacity = 0;
}

bool GpuLineRenderer::initialize(GpuDevice* device, QString* error)
{
    release();
    if (!m_program.build(device, shaders::lineShader, QStringLiteral(" линии"), error))
        return false;
    m_vertexArray = m_program.createVertexArray();
    if (!m_vertexArray) {
        release();
        if (error)
            *error = QStringLiteral("Не удалось создать vertex array object линии.");
        return false;
    }
    return true;
}

QPointF GpuLineRenderer::toViewport(const QPoint& point, int width, int height)
{
    // The same whole-pixel square as the device's viewport.
    const QRect square = GpuDevice::squareViewport(width, height);
    const double side = std::max(1, square.width());
    return {2.0 * (point.x() - square.x()) / side - 1.0, 1.0 - 2.0 * (point.y() - square.y()) / side};
}

void GpuLineRenderer::draw(GpuDevice* device, const QList<QPoint>& points, int width, int height)
{
    if (points.size() < 2 || width <= 0 || height <= 0)
        return;
    auto* gl = m_program.makeCurrentFor(device);
    if (!gl)
        return;
    const int count = int(std::min<qsizetype>(points.size(), 1 << 24));

    if (!m_vertexBuffer || m_capacity < count) {
        // Grows only when a longer polyline arrives; a failed growth draws nothing until the next try.
        const int capacity = std::max(count, kMinimumCapacity);
        if (!m_vertexBuffer)
            m_vertexBuffer = m_program.createBuffer();
        m_capacity = 0;
        if (!m_vertexBuffer)
            return;
        drainGlErrors(gl);
        gl->glBindBuffer(GL_ARRAY_BUFFER, m_vertexBuffer);
        gl->glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(capacity) * 8, nullptr, GL_DYNAMIC_DRAW);
        const bool created = gl->glGetError() == GL_NO_ERROR;
        gl->glBindBuffer(GL_ARRAY_BUFFER, 0);
        if (!created)
            return;
        m_capacity = capacity;
        gl->glBindVertexArray(m_vertexArray);
        gl->glBindBuffer(GL_ARRAY_BUFFER, m_vertexBuffer);
        gl->glEnableVertexAttribArray(0);
        gl->glVertexAttribPointer(0, 2, GL_FLOAT, GL_FALSE, 8, nullptr);
        gl->glBindVertexArray(0);
        gl->glBindBuffer(GL_ARRAY_BUFFER, 0);
    }

    std::vector<float> vertices(size_t(count) * 2);
    for (int i = 0; i < count; ++i) {
        const QPointF p = toViewport(points[i], width, height);
        vertices[2 * size_t(i)] = float(p.x());
        vertices[2 * size_t(i) + 1] = float(p.y());
    }
    gl->glBindBuffer(GL_ARRAY_BUFFER, m_vertexBuffer);
    gl->glBufferSubData(GL_ARRAY_BUFFER, 0, GLsizeiptr(vertices.size() * sizeof(float)), vertices.data());
    gl->glBindBuffer(GL_ARRAY_BUFFER, 0);

    gl->glUseProgram(m_program.program());
    gl->glBindVertexArray(m_vertexArray);
    gl->glEnable(GL_BLEND);
    gl->glBlendEquationSeparate(GL_FUNC_ADD, GL_FUNC_ADD);
    gl->glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ZERO);
    gl->glBlendColor(0.0f, 0.0f, 0.0f, 0.0f);
    gl->glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    gl->glDrawArrays(GL_LINE_STRIP, 0, count);
    gl->glDisable(GL_BLEND);
    gl->glBindVertexArray(0);
    gl->glUseProgram(0);
}

} // namespace render
