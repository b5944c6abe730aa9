#pragma once

namespace render::shaders {

// One shader text holding both stages: the vertex stage is compiled with VERTEX_STAGE defined and
// VSMain as its entry, the pixel stage with PIXEL_STAGE and PSMain.
struct ShaderSource
{
    const char* name; // the name under which the compiler's messages report the text
    const char* text;
};

extern const ShaderSource sliceShader;
extern const ShaderSource mipShader;
extern const ShaderSource vrtShader;
extern const ShaderSource lineShader;

} // namespace render::shaders
