#pragma once

namespace render {

// A window centre and width in modality values after rescale (HU for CT). Passed by value between the
// viewer, the frame decoder and the renderers.
struct WindowLevel
{
    double center = 0.0;
    double width = 0.0;
};

} // namespace render
