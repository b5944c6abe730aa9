#include "db/FrameRows.h"

#include "db/ObjectKeys.h"
#include "dicom/DicomFileSummary.h"

#include <cmath>

namespace db {

namespace {

// Frames of a file with neither per-frame positions nor a usable orientation have no geometry of
// their own; stacking them would turn a cine loop or an ultrasound clip into a fake volume.
bool sliceNormal(const dicom::DicomFileSummary& s, std::array<double, 3>& normal)
{
    const auto& r = s.orientationRow;
    const auto& c = s.orientationCol;
    const double rr = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
    const double cc = c[0] * c[0] + c[1] * c[1] + c[2] * c[2];
    if (!(rr > 1e-6) || !(cc > 1e-6))
        return false;
    std::array<double, 3> n{r[1] * c[2] - r[2] * c[1], r[2] * c[0] - r[0] * c[2], r[0] * c[1] - r[1] * c[0]};
    const double nn = n[0] * n[0] + n[1] * n[1] + n[2] * n[2];
    if (!(nn > 1e-6))
        return false;
    const double len = std::sqrt(nn);
    normal = {n[0] / len, n[1] / len, n[2] / len};
    return true;
}

} // namespace

FrameRows::FrameRows(const dicom::DicomFileSummary& summary)
    : m_summary(summary)
    , m_frames(ObjectKeys::of(summary).frames())
    , m_step(summary.sliceThickness > 0.0 ? summary.sliceThickness : 1.0)
{
    // A multi-frame file without per-frame positions is stacked along its slice normal, and only
    // when its orientation is known.
    m_synthesise = summary.perFrameSliceLocation.isEmpty() && m_frames >= 2 && sliceNormal(summary, m_normal);
}

InstanceRecord FrameRows::frame(int f) const
{
    const dicom::DicomFileSummary& s = m_summary;
    InstanceRecord r;
    r.instanceNumber = qint64(s.instanceNumber) * 100000 + f;
    r.frameIndex = f;
    r.pixelSpacingX = s.pixelSpacingX;
    r.pixelSpacingY = s.pixelSpacingY;
    r.sliceThickness = s.sliceThickness; // as read, not the step
    r.sliceLocation = s.sliceLocation;
    r.repetitionTime = s.repetitionTime;
    r.echoTime = s.echoTime;
    r.imagePosition = s.imagePosition;
    if (f < s.perFrameSliceLocation.size()) {
        r.sliceLocation = s.perFrameSliceLocation.at(f);
        // The lists are filled together; a shorter one must not be read past its end.
        r.imagePosition = {s.perFramePositionX.value(f, s.imagePosition[0]),
                           s.perFramePositionY.value(f, s.imagePosition[1]),
                           s.perFramePositionZ.value(f, s.imagePosition[2])};
    } else if (m_synthesise) {
        r.sliceLocation = f * m_step;
        for (int k = 0; k < 3; ++k)
            r.imagePosition[k] += f * m_step * m_normal[k];
    }
    r.orientationRow = s.orientationRow;
    r.orientationCol = s.orientationCol;
    r.hasSpatialInfo = s.hasSpatialInfo || m_synthesise;
    r.acquisitionTimeSeconds = s.acquisitionTimeSeconds;
    r.temporalPositionIndex = f < s.perFrameTemporalPositionIndex.size() ? s.perFrameTemporalPositionIndex.at(f)
                                                                         : s.temporalPositionIndex;
    r.frameOfReferenceUid = s.frameOfReferenceUid;
    r.triggerTimeMs = s.triggerTimeMs;
    r.cardiacNumberOfImages = s.cardiacNumberOfImages;
    return r;
}

} // namespace db
