#pragma once

#include "db/InstanceRecord.h"

#include <array>

namespace dicom {
struct DicomFileSummary;
}

namespace db {

// The rows the index takes from one reading of a file: one per frame, each with the values its frame
// is given. Indexing writes them, and a listing that finds a file changed since its rows were written
// gives them in place of those rows: the two never place a frame differently.
class FrameRows
{
public:
    // The summary is read, not kept: it must outlive the object.
    explicit FrameRows(const dicom::DicomFileSummary& summary);

    int count() const { return m_frames; }
    // Frame f's row, every value from the summary; its path, object and version are the caller's to give.
    InstanceRecord frame(int f) const;

private:
    const dicom::DicomFileSummary& m_summary;
    int m_frames = 1;
    double m_step = 1.0;
    bool m_synthesise = false;
    std::array<double, 3> m_normal{0.0, 0.0, 0.0};
};

} // namespace db
