#include "GpuShaderSources.h"

namespace render::shaders {

const ShaderSource vrtShader = {"GpuVrtRenderer.hlsl", R"glsl(
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
    vec3 CropDir0;             // 160
    float _padCropDir0;
    vec3 CropRight0;
    float _padCropRight0;
    vec3 CropUp0;
    float _padCropUp0;
    float CropHalfExtentMm0;
    float CropPanU0;
    float CropPanV0;
    float _padCrop0;
    vec3 CropDir1;             // 224
    float _padCropDir1;
    vec3 CropRight1;
    float _padCropRight1;
    vec3 CropUp1;
    float _padCropUp1;
    float CropHalfExtentMm1;
    float CropPanU1;
    float CropPanV1;
    float _padCrop1;
    vec3 CropDir2;             // 288
    float _padCropDir2;
    vec3 CropRight2;
    float _padCropRight2;
    vec3 CropUp2;
    float _padCropUp2;
    float CropHalfExtentMm2;
    float CropPanU2;
    float CropPanV2;
    float _padCrop2;
    vec3 CropDir3;             // 352
    float _padCropDir3;
    vec3 CropRight3;
    float _padCropRight3;
    vec3 CropUp3;
    float _padCropUp3;
    float CropHalfExtentMm3;
    float CropPanU3;
    float CropPanV3;
    float _padCrop3;
    vec3 CropDir4;             // 416
    float _padCropDir4;
    vec3 CropRight4;
    float _padCropRight4;
    vec3 CropUp4;
    float _padCropUp4;
    float CropHalfExtentMm4;
    float CropPanU4;
    float CropPanV4;
    float _padCrop4;
    vec3 CropDir5;             // 480
    float _padCropDir5;
    vec3 CropRight5;
    float _padCropRight5;
    vec3 CropUp5;
    float _padCropUp5;
    float CropHalfExtentMm5;
    float CropPanU5;
    float CropPanV5;
    float _padCrop5;
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
uniform sampler3D VolumeTexture;    // unit 0
uniform sampler1D TransferFunction; // unit 1
uniform sampler2D CropMask0; // unit 2
uniform sampler2D CropMask1; // unit 3
uniform sampler2D CropMask2; // unit 4
uniform sampler2D CropMask3; // unit 5
uniform sampler2D CropMask4; // unit 6
uniform sampler2D CropMask5; // unit 7

// A crop cuts only inside its own screen square, where its mask is below one half.
bool keptByCrop(vec3 p, vec3 right, vec3 up, float halfExtent, float panU, float panV, sampler2D mask)
{
    float x = (dot(p, right) - panU) / halfExtent;
    float y = (dot(p, up) - panV) / halfExtent;
    if (x < -1.0 || x > 1.0 || y < -1.0 || y > 1.0)
        return true;
    return textureLod(mask, vec2((x + 1.0) * 0.5, (1.0 - y) * 0.5), 0.0).r >= 0.5;
}

// Crops add up: a point is drawn only when every active crop keeps it.
bool visible(vec3 p)
{
    if (CropCount > 0 && !keptByCrop(p, CropRight0, CropUp0, CropHalfExtentMm0, CropPanU0, CropPanV0, CropMask0))
        return false;
    if (CropCount > 1 && !keptByCrop(p, CropRight1, CropUp1, CropHalfExtentMm1, CropPanU1, CropPanV1, CropMask1))
        return false;
    if (CropCount > 2 && !keptByCrop(p, CropRight2, CropUp2, CropHalfExtentMm2, CropPanU2, CropPanV2, CropMask2))
        return false;
    if (CropCount > 3 && !keptByCrop(p, CropRight3, CropUp3, CropHalfExtentMm3, CropPanU3, CropPanV3, CropMask3))
        return false;
    if (CropCount > 4 && !keptByCrop(p, CropRight4, CropUp4, CropHalfExtentMm4, CropPanU4, CropPanV4, CropMask4))
        return false;
    if (CropCount > 5 && !keptByCrop(p, CropRight5, CropUp5, CropHalfExtentMm5, CropPanU5, CropPanV5, CropMask5))
        return false;
    return true;
}

in vec2 vUv;
out vec4 PSOutput;

void PSMain()
{
    vec2 ndc = vUv * 2.0 - 1.0;
    ndc.y = -ndc.y;
    vec3 origin;
    vec3 direction;
    if (PerspectiveEnabled > 0.5) {
        float spread = tan(radians(FovDeg) * 0.5);
        origin = CameraPosMm;
        direction = normalize(CameraDir + CameraRight * (ndc.x * spread) + CameraUp * (ndc.y * spread));
    } else {
        origin = CameraRight * (ndc.x * HalfExtentMm + PanU) + CameraUp * (ndc.y * HalfExtentMm + PanV);
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
        float t = RayStartMm + RayLengthMm * float(i) / float(steps - 1);
        vec3 p = origin + direction * t;
        vec3 uvw = p / VolumeExtentMm + 0.5;
        if (any(lessThan(uvw, vec3(0.0))) || any(greaterThan(uvw, vec3(1.0))))
            continue;
        if (!visible(p))
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
)glsl"};

} // namespace render::shaders
