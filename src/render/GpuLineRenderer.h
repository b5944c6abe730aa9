#pragma once

#include "render/GpuShaderProgram.h"

#include <QList>
#include <QPoint>
#include <QPointF>
#include <QString>

namespace render {

class GpuDevice;

// A yellow polyline over the rendered frame, given in widget pixels and mapped into the centred square.
class GpuLineRenderer
{
public:
    bool initialize(GpuDevice* device, QString* error);
    void release();
    bool isInitialized() const { return m_program.isBuilt(); }

    void draw(GpuDevice* device, const QList<QPoint>& points, int width, int height);

    // Widget pixel -> viewport coordinates of the square: its top-left corner is (-1, 1).
    static QPointF toViewport(const QPoint& point, int width, int height);
    int vertexCapacity() const { return m_capacity; }
    unsigned int program() const { return m_program.program(); }

private:
    GpuShaderProgram m_program;
    unsigned int m_vertexArray = 0;
    unsigned int m_vertexBuffer = 0;
    int m_capacity = 0;
};

} // namespace render
