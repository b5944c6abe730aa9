#pragma once

#include "render/GpuCropSlot.h"
#include "render/GpuShaderProgram.h"

#include <QString>

#include <initializer_list>
#include <vector>

class QOpenGLFunctions_3_3_Core;

namespace render {

class GpuDevice;

// What the slice, MIP and VRT renderers share: a program drawn as one triangle over the viewport, its
// std140 parameter block at binding point 0, one trilinear clamped sampler per texture unit and, for
// the projections, the six crop mask units after the renderer's own textures.
class GpuFullscreenRenderer
{
public:
    void release();
    bool isInitialized() const { return m_program.isBuilt(); }
    unsigned int program() const { return m_program.program(); }
    unsigned int parameterBuffer() const { return m_parameters; }

protected:
    GpuFullscreenRenderer() = default;
    ~GpuFullscreenRenderer() = default;

    // Releases what an earlier initialisation made and compiles `source`; null when that failed.
    QOpenGLFunctions_3_3_Core* buildProgram(GpuDevice* device, const shaders::ShaderSource& source, QString* error);
    // The parameter buffer of `size` bytes bound to the named block, and the triangle's vertex array.
    bool createParameters(QOpenGLFunctions_3_3_Core* gl, size_t size, const char* blockName);
    bool createVertexArray();
    // The next texture unit, read by the named sampler of the program.
    bool addTextureUnit(QOpenGLFunctions_3_3_Core* gl, const char* samplerName);
    // CropMask0..5 on the units after the texture units; slots without a mask read a keep-all mask.
    bool addCropUnits(QOpenGLFunctions_3_3_Core* gl);
    // Releases everything and reports `text`; always false.
    bool fail(QString* error, const QString& text);

    struct UnitTexture
    {
        unsigned int target; // GL_TEXTURE_1D, GL_TEXTURE_3D…
        unsigned int texture;
    };
    // Uploads the parameters and draws with `textures` on units 0, 1… and the active crops' masks.
    void drawPass(QOpenGLFunctions_3_3_Core* gl, const GpuParamBlock& block, std::initializer_list<UnitTexture> textures,
                  const CropSlots* crops = nullptr, int activeCrops = 0);

    GpuShaderProgram m_program;

private:
    unsigned int m_parameters = 0;
    unsigned int m_vertexArray = 0;
    std::vector<unsigned int> m_unitSamplers;
    unsigned int m_cropSampler = 0;
    unsigned int m_keepAllMask = 0;
};

} // namespace render
