#include "GpuShaderSources.h"
#include "GpuShaderSnippets.h"

namespace render::shaders {

namespace {

constexpr auto kSliceText = snippets::join(R"glsl(
// One axial slice of the volume in grey through a window.
layout(std140) uniform SliceParams
{
    float SliceZ01;     // 0
    float WindowCenter; // 4
    float WindowWidth;  // 8
    float _Padding;     // 12
};
)glsl", snippets::viewportTriangle, R"glsl(uniform sampler3D VolumeTexture; // unit 0

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
)glsl");

} // namespace

const ShaderSource sliceShader = {"GpuSliceRenderer.hlsl", kSliceText.data()};

} // namespace render::shaders
