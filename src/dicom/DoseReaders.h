#pragma once

#include "dicom/RowObject.h"

#include <QString>

#include <optional>

namespace dicom {

// Readers for the CT dose page. None reports a message: a file that does not load or lacks the
// element gives nothing (an empty text), and so does one read for an index row that holds another
// object than the row's by now (RowObject).

// CTDIvol (0018,9345) in mGy when present and above zero.
std::optional<double> readCtdiVol(const QString& path, const RowObject& row = {});
// true for a head phantom, false for a body phantom, nothing when the code meaning names neither.
std::optional<bool> readCtdiPhantomType(const QString& path, const RowObject& row = {});
QString readProtocolName(const QString& path, const RowObject& row = {});
// Total dose-length product (mGy·cm) of a CT radiation dose structured report.
std::optional<double> readDoseReportDlp(const QString& path, const RowObject& row = {});

} // namespace dicom
