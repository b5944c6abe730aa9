#pragma once

class QOpenGLFunctions_3_3_Core;

namespace render {

// Fills `texture` with a 1 x 1 mask that keeps every point: crop units without a mask of their own
// sample it, so such a slot never cuts anything away.
void fillKeepAllMask(QOpenGLFunctions_3_3_Core* gl, unsigned int texture);

} // namespace render
