#pragma once

#include <QSet>
#include <QString>

#include <zip.h>

namespace dicom {

// Opens a ZIP archive read-only with libzip. libzip refuses the whole archive when a single entry's
// name claims to be UTF-8 and is not; such an archive is opened anyway, with those entries' claims
// hidden from libzip, and their indices are returned in badNameEntries so the caller can skip them.
// Returns null with `error` set when the archive cannot be opened; the caller then finalises `error`.
zip_t* openZipForReading(const QString& path, QSet<zip_uint64_t>* badNameEntries, zip_error_t* error);

// libzip's code and its own words for it, for messages: "19 — Not a zip archive".
QString zipErrorText(zip_error_t* error);

} // namespace dicom
