#pragma once

namespace render {

// The projection of a volume view or of a 3D projection image.
enum ProjectionMode : int { MaximumProjection = 0, MinimumProjection = 1, MeanProjection = 2 };

} // namespace render
