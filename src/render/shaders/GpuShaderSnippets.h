#pragma once

#include <array>
#include <cstddef>

// GLSL pieces shared by the shader texts, joined into one text at compile time.
namespace render::shaders::snippets {

// The texts one after another, as one zero-terminated text.
template <std::size_t... N>
constexpr auto join(const char (&... parts)[N])
{
    std::array<char, (N + ...) - sizeof...(N) + 1> out{};
    std::size_t at = 0;
    auto append = [&](const char* part, std::size_t size) {
        for (std::size_t i = 0; i + 1 < size; ++i)
            out[at++] = part[i];
    };
    (append(parts, N), ...);
    out[at] = '\0';
    return out;
}

// The vertex stage of every full-viewport pass; what follows it belongs to the pixel stage.
inline constexpr char viewportTriangle[] = R"glsl(
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
)glsl";

// A value through the window of the parameter block (WindowCenter, WindowWidth) as opaque grey.
inline constexpr char windowGrey[] = R"glsl(
vec4 windowGrey(float value)
{
    float lo = WindowCenter - WindowWidth * 0.5;
    float hi = WindowCenter + WindowWidth * 0.5;
    float grey = clamp((value - lo) / max(hi - lo, 1e-6), 0.0, 1.0);
    return vec4(grey, grey, grey, 1.0);
}
)glsl";

// Six crop blocks of 64 bytes each, the last members of a projection's parameter block.
inline constexpr char cropBlockMembers[] = R"glsl(
    vec3 CropDir0;             // +0
    float _padCropDir0;
    vec3 CropRight0;
    float _padCropRight0;
    vec3 CropUp0;
    float _padCropUp0;
    float CropHalfExtentMm0;
    float CropPanU0;
    float CropPanV0;
    float _padCrop0;
    vec3 CropDir1;             // +64
    float _padCropDir1;
    vec3 CropRight1;
    float _padCropRight1;
    vec3 CropUp1;
    float _padCropUp1;
    float CropHalfExtentMm1;
    float CropPanU1;
    float CropPanV1;
    float _padCrop1;
    vec3 CropDir2;             // +128
    float _padCropDir2;
    vec3 CropRight2;
    float _padCropRight2;
    vec3 CropUp2;
    float _padCropUp2;
    float CropHalfExtentMm2;
    float CropPanU2;
    float CropPanV2;
    float _padCrop2;
    vec3 CropDir3;             // +192
    float _padCropDir3;
    vec3 CropRight3;
    float _padCropRight3;
    vec3 CropUp3;
    float _padCropUp3;
    float CropHalfExtentMm3;
    float CropPanU3;
    float CropPanV3;
    float _padCrop3;
    vec3 CropDir4;             // +256
    float _padCropDir4;
    vec3 CropRight4;
    float _padCropRight4;
    vec3 CropUp4;
    float _padCropUp4;
    float CropHalfExtentMm4;
    float CropPanU4;
    float CropPanV4;
    float _padCrop4;
    vec3 CropDir5;             // +320
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
)glsl";

// The ray set-up of the projections (pixel stage, after the renderer's own samplers): crop masks on the
// units after those samplers, the pixel's orthographic ray and the samples along it. The parameter
// block must name CameraRight, CameraUp, VolumeExtentMm, HalfExtentMm, RayStartMm, RayLengthMm, PanU,
// PanV, CropCount and the crop blocks.
inline constexpr char projectionRays[] = R"glsl(uniform sampler2D CropMask0;
uniform sampler2D CropMask1;
uniform sampler2D CropMask2;
uniform sampler2D CropMask3;
uniform sampler2D CropMask4;
uniform sampler2D CropMask5;

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

// The pixel on the viewport, y upwards, -1 to 1 on both axes.
vec2 viewportNdc()
{
    vec2 ndc = vUv * 2.0 - 1.0;
    ndc.y = -ndc.y;
    return ndc;
}

// Where the pixel's orthographic ray crosses the plane through the volume centre.
vec3 orthographicOrigin(vec2 ndc)
{
    return CameraRight * (ndc.x * HalfExtentMm + PanU) + CameraUp * (ndc.y * HalfExtentMm + PanV);
}

// How far along the ray sample i of `steps` lies.
float rayDistance(int i, int steps)
{
    return RayStartMm + RayLengthMm * float(i) / float(steps - 1);
}

// The volume texture coordinates of a point; false outside the volume or where a crop cuts it away.
bool volumeSample(vec3 p, out vec3 uvw)
{
    uvw = p / VolumeExtentMm + 0.5;
    if (any(lessThan(uvw, vec3(0.0))) || any(greaterThan(uvw, vec3(1.0))))
        return false;
    return visible(p);
}
)glsl";

} // namespace render::shaders::snippets
