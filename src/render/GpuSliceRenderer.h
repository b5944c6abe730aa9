#pragma once

#include "GpuShaderProgram.h"

#include <QString>

namespace render {

class GpuDevice;

// One axial slice of the volume texture in grey, filling the device's square viewport.
class GpuSliceRenderer
{
public:
    bool initialize(GpuDevice* device, QString* error);
    void release() { m_program.release(); m_parameters = m_vertexArray = m_sampler = 0; }
    bool isInitialized() const { return m_program.isBuilt(); }

    void draw(GpuDevice* device, unsigned int volumeTexture, float sliceZ01, float windowCenter, float windowWidth);

    unsigned int program() const { return m_program.program(); }
    unsigned int parameterBuffer() const { return m_parameters; }

private:
    GpuShaderProgram m_program;
    unsigned int m_parameters = 0;
    unsigned int m_vertexArray = 0;
    unsigned int m_sampler = 0;
};

} // namespace render
