// Linked into the GL tests alone: they run on Mesa's software renderer, which the program refuses.
#include "platform/GlOffscreenContext.h"

namespace {

const bool accepted = [] {
    platform::GlOffscreenContext::setSoftwareRendererAccepted(true);
    return true;
}();

} // namespace
