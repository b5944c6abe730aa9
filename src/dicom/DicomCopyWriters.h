#pragma once

#include <QString>

namespace dicom {

// Writes a copy with the given patient name and ID: every element that the confidentiality profile
// (ConfidentialityProfile.h) removes, empties or replaces is treated so wherever it stands, nested items
// and private blocks included, and the usual identifying elements stand empty at the top level. A
// compressed source is written uncompressed (Explicit VR Little Endian) when it can be decoded.
// An encapsulated document (a PDF report, a CDA, a 3D model) carries text no attribute rule reaches and
// is never copied: with leftOut given, nothing is written, *leftOut turns true and the result is true,
// so that the caller can count it; without, that is a failure.
bool writeAnonymizedCopy(const QString& sourcePath, const QString& destinationPath, const QString& patientName,
                         const QString& patientId, QString* error = nullptr, bool* leftOut = nullptr);

// The line an export's result adds for the documents its anonymised copies left out; empty for none.
QString leftOutDocumentsNote(int count);

// Writes a JPEG-LS lossless copy, or a plain byte copy when the pixels cannot be compressed without
// changing a single stored sample. Source and destination may be the same path.
bool writeCompressedCopy(const QString& sourcePath, const QString& destinationPath, QString* error = nullptr);

} // namespace dicom
