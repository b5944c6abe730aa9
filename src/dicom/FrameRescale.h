#pragma once

class DcmItem;

namespace dicom {

// The modality rescale that turns the stored values of one frame into its units (Hounsfield for CT).
struct FrameRescale
{
    enum class Source { None, TopLevel, PerFrame, Shared };
    double slope = 1.0;
    double intercept = 0.0;
    Source source = Source::None; // None: no rescale anywhere, the stored values are the units
};

// The top-level Rescale Slope and Intercept when either is present; otherwise those of the frame's own
// functional groups, else of the shared ones, where enhanced multi-frame files keep them. A value that
// is not a number reads as slope 1 or intercept 0: a slope of 0 would wipe the image out. Frame -1 asks
// for the rescale that holds for every frame (top level, else shared groups).
FrameRescale frameRescale(DcmItem& dataset, int frame);

} // namespace dicom
