#pragma once

#include <QString>

class DcmDataset;

namespace dicom {

// Looks at the marker segments of every JPEG fragment the way DCMTK's JPEG decoder walks them to
// find the bit depth before decoding. That walk never leaves a TEM marker (FF01) standing before the
// frame header, so one damaged byte would hold the decoding thread for ever; such data is refused.
// Returns a message when the data cannot be handed to the decoder, empty otherwise (also for data
// that is not JPEG compressed).
QString compressedFramesProblem(DcmDataset& dataset);

} // namespace dicom
