#pragma once

#include "dicom/RowObject.h"
#include "dicom/WindowLevel.h"

#include <QImage>
#include <QString>

#include <optional>

class DcmFileFormat;
class DcmItem;

namespace dicom {

// One frame decoded to an 8-bit image, with the window that was really applied to it.
struct DecodedFrame
{
    QImage image;              // Grayscale8 for MONOCHROME1/2, RGB888 otherwise
    double windowCenter = 0.0; // colour images take no window: both values are then 0
    double windowWidth = 0.0;
    qint32 frameCount = 1;     // Number of Frames of the file (1 when absent or not positive)
};

// Decodes frame `frame` (0-based, -1 = middle frame, out-of-range values clamped) of a DICOM file.
// Without `window` the file's first stored window is used, else a minimum-maximum window; an explicit
// window that cannot be applied (width below 1, not finite) also falls back to minimum-maximum.
// Returns nothing when the frame cannot be rendered; `errorMessage` (may be null) then says why.
// Read for an index row (`row` not empty), the frame is drawn only from an opening proven to hold the
// row's object and that frame of it; another object under the path, or a file of the object without
// the row's frame (frame -1 aside), is refused and `otherObject` (may be null) set.
// Every call in the process is serialised by one lock, which also guards the one-image cache.
std::optional<DecodedFrame> decodeFrame(const QString& path, int frame,
                                        std::optional<render::WindowLevel> window,
                                        QString* errorMessage = nullptr, const RowObject& row = {},
                                        bool* otherObject = nullptr);

// What the decoder cache holds: the key of the cached image and how many images were built so far.
struct FrameDecoderCacheState
{
    QString key;
    quint64 imagesBuilt = 0;
};
FrameDecoderCacheState frameDecoderCacheState();

// Frees the cached image (at shut-down, before the codecs go away).
void releaseFrameDecoderCache();

// Decoded size above which a multi-frame file is built one frame at a time instead of whole.
constexpr qint64 kWholeFileDecodeLimitBytes = 64ll * 1024 * 1024;
// Largest single decoded frame accepted; a larger declared size is taken as a damaged header.
constexpr qint64 kMaxFrameBytes = 512ll * 1024 * 1024;

// Bytes of one decoded frame as a header declares it, counted so that no combination of declared
// fields overflows (the result saturates far above kMaxFrameBytes). Subsampled colour (YBR 4:2:2)
// takes two samples' worth per pixel.
qint64 declaredFrameBytes(qint64 rows, qint64 columns, qint64 bitsAllocated, qint64 samplesPerPixel,
                          bool subsampled = false);
// "JPEG 2000 не поддерживается" for a transfer syntax whose compression the program has no decoder
// for (such files are indexed, their frames refused with these words); empty for every one it decodes.
QString unsupportedCompressionText(const QString& transferSyntaxUid);
// The same for a loaded file, by the syntax its meta header names: DCMTK reads a data set in a syntax
// it does not know (High-Throughput JPEG 2000 among them) as if it were not compressed.
QString unsupportedCompressionText(DcmFileFormat& file);

// The refusal of a frame larger than kMaxFrameBytes, as every reader of pixels words it; empty when
// the frame the data set declares fits.
QString frameSizeProblem(DcmItem& dataset);

} // namespace dicom
