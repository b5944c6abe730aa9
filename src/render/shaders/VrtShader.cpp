#include "render/shaders/GpuShaderSources.h"
#include "render/shaders/GpuShaderSnippets.h"

namespace render::shaders {

namespace {

constexpr auto kVrtText = snippets::join(R"glsl(
// Front-to-back volume rendering through the transfer-function table, with optional shading, crop
// masks and a perspective camera for flights inside the volume.
layout(std140) uniform VrtParams
{
    vec3 CameraDir;          // 0
    float _padCameraDir;
    vec3 CameraRight;        // 16
    float _padCameraRight;
    vec3 CameraUp;           // 32
    float _padCameraUp;
    vec3 VolumeExtentMm;     // 48
    float _padVolumeExtent;
    vec3 VoxelSizeMm;        // 64
    float _padVoxelSize;
    float HalfExtentMm;      // 80
    float RayStartMm;        // 84
    float RayLengthMm;       // 88
    int NumSteps;            // 92
    float PanU;              // 96
    float PanV;              // 100
    float HuMin;             // 104
    float HuMax;             // 108
    float EnableShading;     // 112
    int CropCount;           // 116
    float _pad6;             // 120
    float _pad7;             // 124
    float PerspectiveEnabled; // 128
    float _padPersp0;        // 132
    float _padPersp1;        // 136
    float _padPersp2;        // 140
    vec3 CameraPosMm;        // 144
    float FovDeg;            // 156
    // crop blocks from 160 on)glsl", snippets::cropBlockMembers, snippets::viewportTriangle, R"glsl(
uniform sampler3D VolumeTexture;    // unit 0
uniform sampler1D TransferFunction; // unit 1, crop masks on units 2 to 7
)glsl", snippets::projectionRays, R"glsl(
void PSMain()
{
    vec2 ndc = viewportNdc();
    vec3 origin;
    vec3 direction;
    if (PerspectiveEnabled > 0.5) {
        float spread = tan(radians(FovDeg) * 0.5);
        origin = CameraPosMm;
        direction = normalize(CameraDir + CameraRight * (ndc.x * spread) + CameraUp * (ndc.y * spread));
    } else {
        origin = orthographicOrigin(ndc);
        direction = CameraDir;
    }
    int steps = max(NumSteps, 2);
    vec3 g = VoxelSizeMm * 0.5 / VolumeExtentMm;
    vec3 lightDir = normalize(-direction + CameraUp * 0.3);

    vec3 colourSum = vec3(0.0);
    float opacity = 0.0;
    for (int i = 0; i < steps; ++i) {
        if (opacity > 0.98)
            break;
        vec3 uvw;
        if (!volumeSample(origin + direction * rayDistance(i, steps), uvw))
            continue;
        float density = textureLod(VolumeTexture, uvw, 0.0).r;
        float h = clamp((density - HuMin) / max(HuMax - HuMin, 1e-6), 0.0, 1.0);
        vec4 entry = textureLod(TransferFunction, h, 0.0);
        if (entry.a <= 0.003)
            continue;
        vec3 colour = entry.rgb;
        if (EnableShading > 0.5) {
            vec3 gradient = vec3(
                textureLod(VolumeTexture, uvw + vec3(g.x, 0.0, 0.0), 0.0).r
                    - textureLod(VolumeTexture, uvw - vec3(g.x, 0.0, 0.0), 0.0).r,
                textureLod(VolumeTexture, uvw + vec3(0.0, g.y, 0.0), 0.0).r
                    - textureLod(VolumeTexture, uvw - vec3(0.0, g.y, 0.0), 0.0).r,
                textureLod(VolumeTexture, uvw + vec3(0.0, 0.0, g.z), 0.0).r
                    - textureLod(VolumeTexture, uvw - vec3(0.0, 0.0, g.z), 0.0).r);
            float len = length(gradient);
            if (len > 1e-5) {
                vec3 normal = -gradient / len; // surfaces face towards falling density
                float diffuse = max(0.0, dot(normal, lightDir));
                colour *= min(1.15, 0.35 + 0.65 * diffuse);
            }
        }
        colourSum += (1.0 - opacity) * colour * entry.a;
        opacity += (1.0 - opacity) * entry.a;
    }
    PSOutput = vec4(colourSum, 1.0); // what stays transparent shows the black background
}
#endif
)glsl");

} // namespace

const ShaderSource vrtShader = {"GpuVrtRenderer.hlsl", kVrtText.data()};

} // namespace render::shaders
