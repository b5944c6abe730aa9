#pragma once

#include "dicom/DicomNesting.h"

#include <QString>

#include <dcmtk/dcmdata/dcfilefo.h>

namespace dicom {

enum class ValueLoading {
    Lazy,  // values longer than 4096 bytes stay on disk until they are asked for
    Whole, // everything in memory, so that the same path can be written afterwards
};

// Reading rules every DCMTK parse of this program shares, set once for the process: elements that
// passed through an archive as VR UN but whose tag the dictionary knows are read as their dictionary
// VR (the value of a UN element is the element in implicit VR little endian). Called before parsing.
void useReadingConventions();

// Loads a DICOM file (path in the local 8-bit encoding, transfer syntax detected, group lengths
// unchanged). Any exception from the library's allocations becomes a failed condition, and so does
// a file DCMTK must not parse (see parseHazard), with the reason as its text. A data set that is not
// in the transfer syntax its meta header names (old files label implicit VR big endian data as
// explicit VR big endian) is read in the syntax its own bytes show. `hazardFound`, when given, tells
// which hazard refused the file (None otherwise).
OFCondition loadDicomFile(DcmFileFormat& file, const QString& path, ValueLoading loading,
                          ParseHazard* hazardFound = nullptr);

// For a file DCMTK has just tried to load as its meta header says (whatever came of it): reads the
// data set again when it is not in that syntax, as above, keeping the named syntax for compressed
// pixels. True when it did; `status` then tells how that went.
bool rereadIfMislabelled(DcmFileFormat& file, const QString& path, OFCondition& status);

} // namespace dicom
