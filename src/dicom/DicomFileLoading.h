#pragma once

#include "dicom/DicomNesting.h"
#include "dicom/RowObject.h"

#include <QString>

#include <dcmtk/dcmdata/dcfilefo.h>

#include <memory>

namespace dicom {

class OpenedFile;

enum class ValueLoading {
    Lazy,  // values longer than 4096 bytes stay on disk until they are asked for
    Whole, // everything in memory, so that the same path can be written afterwards
};

// The opening a load read a file through. Values a lazy load left in the file are read later only from
// that very file, unchanged (FileDescriptorStream.h); a reader that reads them (the pixels) asks here,
// once they are in memory, whether the file at the path is still the one read, and reads it again or
// refuses it when it is not. Holding it keeps the file open.
struct FileOpening
{
    std::shared_ptr<const OpenedFile> file;
    // The path names another file now, or this one was cut, written into or touched since it was opened.
    bool changed() const;
};

// Reading rules every DCMTK parse of this program shares, set once for the process: elements that
// passed through an archive as VR UN but whose tag the dictionary knows are read as their dictionary
// VR (the value of a UN element is the element in implicit VR little endian). Called before parsing.
void useReadingConventions();

// The one way this program hands bytes to DCMTK's parser. Loads a DICOM file (path in the local
// 8-bit encoding, transfer syntax detected, group lengths unchanged): the file is checked first
// (checkFile), then parsed through a stream that stops DCMTK before the thread's stack runs out, and
// a data set nested deeper than kMaxSequenceNesting is let go again. Any exception from the library's
// allocations becomes a failed condition, and so does a file that must not be read, with the reason
// as its text. A data set that is not in the transfer syntax its meta header names (old files label
// implicit VR big endian data as explicit VR big endian) is read in the syntax its own bytes show.
// The header, the check and the data set are read through one opening of the file, and a file that
// changed while it was read is read once more before it is refused as changed.
// `hazardFound`, when given, tells which hazard refused the file (None otherwise); `readAgainAsShown`
// whether the data set was read in the syntax its bytes show; `opening` what was read, for a reader
// that reads values left in the file afterwards; `row` the object the file is read for (RowObject).
OFCondition loadDicomFile(DcmFileFormat& file, const QString& path, ValueLoading loading,
                          ParseHazard* hazardFound = nullptr, bool* readAgainAsShown = nullptr,
                          FileOpening* opening = nullptr, const RowObject& row = {});

// Whether an opening holds the row's object: its identity is the version listed, or else the data set
// parsed from it names the row's SOP Instance UID, read as the listing read it into the row (objectUidOf).
// True for an empty row.
bool holdsRowObject(const OpenedFile& opened, DcmItem* dataset, const RowObject& row);

// Why loadDicomFile refused the file at `path`, in Russian for a message: the hazard's reason as every
// reader words it, a missing or unreadable file, or else a damaged file (the library's own text of why
// it gave up is English).
QString loadFailureReason(const QString& path, const OFCondition& status, ParseHazard hazard);

// The same for a data set without meta header held in memory, as it came over the network, encoded
// in `syntax`.
OFCondition readDicomDataset(DcmDataset& dataset, const QByteArray& bytes, E_TransferSyntax syntax,
                             ParseHazard* hazardFound = nullptr);

namespace testing {
// Called with the file's path once its header is read and checked and before values left in it are
// read: inside a whole load before its values are loaded, and at the end of a lazy load that hands
// its opening to the caller (null: nothing). Tests only: it lets a test replace the file at that very
// moment; it may be called on several threads at once.
void setBeforeValuesHook(void (*hook)(const QString& path, void* context), void* context);
} // namespace testing

} // namespace dicom
