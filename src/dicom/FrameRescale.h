#pragma once

#include <QtGlobal>

#include <memory>
#include <vector>

class DcmItem;

namespace dicom {

// A Modality LUT as DCMTK's image applies it: stored values from firstMapped on take the entries in turn,
// values below take the first entry and values past the table the last. Entries hold only the bits per
// entry the descriptor names.
struct ModalityLut
{
    qint32 firstMapped = 0; // negative only for signed pixel data
    quint16 bitsPerEntry = 16;
    std::vector<quint16> entries; // never empty

    double valueOf(qint64 stored) const
    {
        if (stored <= firstMapped)
            return entries.front();
        const qint64 index = stored - firstMapped;
        return index >= qint64(entries.size()) ? entries.back() : entries[size_t(index)];
    }
    bool operator==(const ModalityLut& other) const
    {
        return firstMapped == other.firstMapped && bitsPerEntry == other.bitsPerEntry
            && entries == other.entries;
    }
};

// The modality transform that turns the stored values of one frame into its units (Hounsfield for CT):
// a Modality LUT when there is one, else the rescale.
struct FrameRescale
{
    enum class Source { None, TopLevel, PerFrame, Shared };
    double slope = 1.0;
    double intercept = 0.0;
    Source source = Source::None; // None: no rescale anywhere, the stored values are the units
    std::shared_ptr<const ModalityLut> lut; // when set, slope and intercept are not applied

    bool sameTransform(const FrameRescale& other) const
    {
        if (lut || other.lut)
            return lut && other.lut && *lut == *other.lut;
        return slope == other.slope && intercept == other.intercept;
    }
};

// The top-level Modality LUT, else the top-level Rescale Slope and Intercept when either is present;
// otherwise the same from the frame's own functional groups, else from the shared ones, where enhanced
// multi-frame files keep them. A rescale value that is not a number reads as slope 1 or intercept 0: a
// slope of 0 would wipe the image out. A LUT whose descriptor or data are unusable counts as absent, and
// X-ray angiography and fluoroscopy images take none, as the picture is drawn. Frame -1 asks for the
// transform that holds for every frame (top level, else shared groups).
FrameRescale frameRescale(DcmItem& dataset, int frame);

} // namespace dicom
