#pragma once

#include <QString>

class DcmDataset;
class DcmPixelSequence;

namespace dicom {

// The compressed fragments of the data set's Pixel Data as they were read; null when it holds none.
DcmPixelSequence* originalPixelSequence(DcmDataset& dataset);

// Looks at the marker segments of every JPEG fragment the way DCMTK's JPEG decoder walks them to
// find the bit depth before decoding. That walk never leaves a TEM marker (FF01) standing before the
// frame header, so one damaged byte would hold the decoding thread for ever; such data is refused.
// Returns a message when the data cannot be handed to the decoder, empty otherwise (also for data
// that is not JPEG compressed).
QString compressedFramesProblem(DcmDataset& dataset);

// Runs the segments of one RLE frame (0-based) the way the decoder does, without writing them. DCMTK's
// RLE decoder cuts a run that overruns the frame and pads a short segment with its last byte, so
// either way it shows a picture that is not in the file; such a frame is refused. Returns a message
// for it, empty otherwise (also for data that is not RLE, or frames spread over several fragments).
// fileSize bounds what the fragment may claim before it is read.
QString rleFrameProblem(DcmDataset& dataset, int frame, qint64 fileSize);

} // namespace dicom
