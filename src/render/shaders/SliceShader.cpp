#include "GpuShaderSources.h"

namespace render::shaders {

const ShaderSource sliceShader = {"GpuSliceRenderer.hlsl", R"glsl(
// One axial slice of the volume in grey through a window.
layout(std140) uniform SliceParams
{
    float SliceZ01;     // 0
    float WindowCenter; // 4
    float WindowWidth;  // 8
    float _Padding;     // 12
};

#ifdef VERTEX_STAGE
out vec2 vUv;

void VSMain()
{
    // (0, 0), (2, 0), (0, 2): one triangle that covers the viewport, uv (0, 0) at its top-left
    vec2 uv = vec2(float((gl_VertexID * 2) & 2), float(gl_VertexID & 2));
    vUv = uv;
    gl_Position = vec4(uv.x * 2.0 - 1.0, 1.0 - uv.y * 2.0, 0.0, 1.0);
}
#else
uniform sampler3D VolumeTexture; // unit 0

in vec2 vUv;
out vec4 PSOutput;

void PSMain()
{
    float value = texture(VolumeTexture, vec3(vUv, SliceZ01)).r;
    float lo = WindowCenter - WindowWidth * 0.5;
    float hi = WindowCenter + WindowWidth * 0.5;
    float grey = clamp((value - lo) / max(hi - lo, 1e-6), 0.0, 1.0);
    PSOutput = vec4(grey, grey, grey, 1.0);
}
#endif
)glsl"};

} // namespace render::shaders
