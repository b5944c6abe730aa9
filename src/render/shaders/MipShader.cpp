#include "render/shaders/GpuShaderSources.h"
#include "render/shaders/GpuShaderSnippets.h"

namespace render::shaders {

namespace {

constexpr auto kMipText = snippets::join(R"glsl(
// Orthographic maximum, minimum or mean intensity projection with crop masks.
layout(std140) uniform CameraParams
{
    vec3 CameraDir;         // 0
    float _padCameraDir;
    vec3 CameraRight;       // 16
    float _padCameraRight;
    vec3 CameraUp;          // 32
    float _padCameraUp;
    vec3 VolumeExtentMm;    // 48
    float _padVolumeExtent;
    float HalfExtentMm;     // 64
    float RayStartMm;       // 68
    float RayLengthMm;      // 72
    int NumSteps;           // 76
    float PanU;             // 80
    float PanV;             // 84
    float WindowCenter;     // 88
    float WindowWidth;      // 92
    int Mode;               // 96
    int CropCount;          // 100
    float _pad5;            // 104
    float _pad6;            // 108
    // crop blocks from 112 on)glsl", snippets::cropBlockMembers, snippets::viewportTriangle, R"glsl(
uniform sampler3D VolumeTexture; // unit 0, crop masks on units 1 to 6
)glsl", snippets::projectionRays, snippets::windowGrey, R"glsl(
void PSMain()
{
    vec3 origin = orthographicOrigin(viewportNdc());
    int steps = max(NumSteps, 2);

    float highest = -1e9;
    float lowest = 1e9;
    float sum = 0.0;
    int count = 0;
    for (int i = 0; i < steps; ++i) {
        vec3 uvw;
        if (!volumeSample(origin + CameraDir * rayDistance(i, steps), uvw))
            continue;
        float v = textureLod(VolumeTexture, uvw, 0.0).r;
        highest = max(highest, v);
        lowest = min(lowest, v);
        sum += v;
        ++count;
    }

    float value;
    if (count == 0)
        value = WindowCenter - WindowWidth; // below the window: black
    else if (Mode == 1)
        value = lowest;
    else if (Mode == 2)
        value = sum / float(count);
    else
        value = highest;

    PSOutput = windowGrey(value);
}
#endif
)glsl");

} // namespace

const ShaderSource mipShader = {"GpuMipRenderer.hlsl", kMipText.data()};

} // namespace render::shaders
