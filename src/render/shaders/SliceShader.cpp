#include "render/shaders/GpuShaderSources.h"
#include "render/shaders/GpuShaderSnippets.h"

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
)glsl", snippets::windowGrey, R"glsl(
void PSMain()
{
    float value = texture(VolumeTexture, vec3(vUv, SliceZ01)).r;
    PSOutput = windowGrey(value);
}
#endif
)glsl");

} // namespace

const ShaderSource sliceShader = {"GpuSliceRenderer.hlsl", kSliceText.data()};

} // namespace render::shaders
