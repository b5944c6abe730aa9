#include "render/shaders/GpuShaderSources.h"

namespace render::shaders {

const ShaderSource lineShader = {"GpuLineRenderer.hlsl", R"glsl(
// A yellow polyline over the rendered frame; points arrive in viewport coordinates.
#ifdef VERTEX_STAGE
layout(location = 0) in vec2 POSITION;

void VSMain()
{
    gl_Position = vec4(POSITION, 0.0, 1.0);
}
#else
out vec4 PSOutput;

void PSMain()
{
    PSOutput = vec4(1.0, 0.92, 0.1, 0.95);
}
#endif
)glsl"};

} // namespace render::shaders
