#include "GpuShaderSources.h"

namespace render::shaders {

const ShaderSource mipShader = {"GpuMipRenderer.hlsl", R"glsl(
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
    vec3 CropDir0;             // 112
    float _padCropDir0;
    vec3 CropRight0;
    float _padCropRight0;
    vec3 CropUp0;
    float _padCropUp0;
    float CropHalfExtentMm0;
    float CropPanU0;
    float CropPanV0;
    float _padCrop0;
    vec3 CropDir1;             // 176
    float _padCropDir1;
    vec3 CropRight1;
    float _padCropRight1;
    vec3 CropUp1;
    float _padCropUp1;
    float CropHalfExtentMm1;
    float CropPanU1;
    float CropPanV1;
    float _padCrop1;
    vec3 CropDir2;             // 240
    float _padCropDir2;
    vec3 CropRight2;
    float _padCropRight2;
    vec3 CropUp2;
    float _padCropUp2;
    float CropHalfExtentMm2;
    float CropPanU2;
    float CropPanV2;
    float _padCrop2;
    vec3 CropDir3;             // 304
    float _padCropDir3;
    vec3 CropRight3;
    float _padCropRight3;
    vec3 CropUp3;
    float _padCropUp3;
    float CropHalfExtentMm3;
    float CropPanU3;
    float CropPanV3;
    float _padCrop3;
    vec3 CropDir4;             // 368
    float _padCropDir4;
    vec3 CropRight4;
    float _padCropRight4;
    vec3 CropUp4;
    float _padCropUp4;
    float CropHalfExtentMm4;
    float CropPanU4;
    float CropPanV4;
    float _padCrop4;
    vec3 CropDir5;             // 432
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
uniform sampler3D VolumeTexture; // unit 0
uniform sampler2D CropMask0; // unit 1
uniform sampler2D CropMask1; // unit 2
uniform sampler2D CropMask2; // unit 3
uniform sampler2D CropMask3; // unit 4
uniform sampler2D CropMask4; // unit 5
uniform sampler2D CropMask5; // unit 6

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
    vec3 origin = CameraRight * (ndc.x * HalfExtentMm + PanU) + CameraUp * (ndc.y * HalfExtentMm + PanV);
    int steps = max(NumSteps, 2);

    float highest = -1e9;
    float lowest = 1e9;
    float sum = 0.0;
    int count = 0;
    for (int i = 0; i < steps; ++i) {
        float t = RayStartMm + RayLengthMm * float(i) / float(steps - 1);
        vec3 p = origin + CameraDir * t;
        vec3 uvw = p / VolumeExtentMm + 0.5;
        if (any(lessThan(uvw, vec3(0.0))) || any(greaterThan(uvw, vec3(1.0))))
            continue;
        if (!visible(p))
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

    float lo = WindowCenter - WindowWidth * 0.5;
    float hi = WindowCenter + WindowWidth * 0.5;
    float grey = clamp((value - lo) / max(hi - lo, 1e-6), 0.0, 1.0);
    PSOutput = vec4(grey, grey, grey, 1.0);
}
#endif
)glsl"};

} // namespace render::shaders
