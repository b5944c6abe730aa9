#pragma once

#include "shaders/GpuShaderSources.h"

#include <QString>

#include <memory>
#include <vector>

class QOpenGLFunctions_3_3_Core;

namespace platform {
class GlOffscreenContext;
}

namespace render {

class GpuDevice;

// A linked vertex + pixel program of one renderer, with the GL objects the renderer made for it
// (buffers, vertex arrays, samplers, textures), all deleted together in their own context.
class GpuShaderProgram
{
public:
    GpuShaderProgram() = default;
    ~GpuShaderProgram() { release(); }
    GpuShaderProgram(const GpuShaderProgram&) = delete;
    GpuShaderProgram& operator=(const GpuShaderProgram&) = delete;

    // Compiles VSMain and PSMain of the source and links them. `objectSuffix` names the renderer in
    // the creation messages (" линии" for the line renderer, empty for the others).
    bool build(GpuDevice* device, const shaders::ShaderSource& source, const QString& objectSuffix,
               QString* error);
    void release();

    bool isBuilt() const { return m_program != 0; }
    unsigned int program() const { return m_program; }
    // Makes the program's context current; null when the program is empty or `device` draws in
    // another context than the one the program was built in.
    QOpenGLFunctions_3_3_Core* makeCurrentFor(const GpuDevice* device) const;

    // GL objects owned from here on; 0 when creation failed.
    unsigned int createBuffer();
    unsigned int createVertexArray();
    unsigned int createSampler();
    unsigned int createTexture();

    // Binds the named uniform block to binding point 0 and the named samplers to their units.
    void bindBlock(const char* blockName);
    void bindSamplerUnit(const char* samplerName, int unit);

private:
    std::shared_ptr<platform::GlOffscreenContext> m_context;
    QOpenGLFunctions_3_3_Core* m_gl = nullptr;
    unsigned int m_program = 0;
    std::vector<unsigned int> m_buffers;
    std::vector<unsigned int> m_vertexArrays;
    std::vector<unsigned int> m_samplers;
    std::vector<unsigned int> m_textures;
};

// Sets the common state of the renderers' samplers: trilinear, clamped to the edge on every axis.
void configureLinearClampSampler(QOpenGLFunctions_3_3_Core* gl, unsigned int sampler);

} // namespace render
