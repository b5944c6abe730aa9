#pragma once

#include "dicom/RowFileCopy.h"

#include <QString>

#include <optional>

namespace dicom {

// What an anonymised copy does not take, and why: objects that no rule on attributes makes anonymous.
enum class LeftOut {
    Nothing,
    // A document: an encapsulated PDF, CDA or 3D model, whose own text no attribute rule reaches, or a
    // structured report or key-object selection, which is nothing without the content tree its text,
    // names and references stand in.
    Document,
    // An image whose header says that its pixels carry identifying text (Burned In Annotation): the copy
    // cleans attributes, never pixels, and so does every picture rendered from it.
    BurnedInImage,
    // An image of a kind whose pixels carry the name as a rule (ultrasound, secondary capture and
    // screen saves of any class, photographs, captured video) whose header does not say that they do
    // not: Burned In Annotation absent or empty.
    UnflaggedCapture,
    // An image whose header says that the patient can be recognised in it (Recognizable Visual
    // Features): a face, a tattoo, a scar.
    RecognizableImage,
    // X-ray angiography or fluoroscopy, which as a rule draw the name into their frames, whose header
    // does not say that they do not.
    UnflaggedXRay,
    // A video whose stream comes as it was recorded: its container may carry titles and comments that
    // no attribute rule reaches. Its frames hold no text, so pictures rendered from it may go.
    Video,
    // An object of such a kind that holds no image at all (raw data, a display filed as "other"): what
    // it carries is not known to the copy.
    WithoutImage,
};

// Whether pictures rendered from such an object leave it out too: its pixels may show the name.
inline bool pixelsMayShowIdentity(LeftOut why)
{
    return why == LeftOut::BurnedInImage || why == LeftOut::UnflaggedCapture || why == LeftOut::RecognizableImage
           || why == LeftOut::UnflaggedXRay;
}

// Writes a copy with the given patient name and ID: every element that the confidentiality profile
// (ConfidentialityProfile.h) removes, empties or replaces is treated so wherever it stands, nested items
// and private blocks included, and the usual identifying elements stand empty at the top level. A
// compressed source is written uncompressed (Explicit VR Little Endian) when it can be decoded.
// An object of the kinds above is never copied: with leftOut given, nothing is written, *leftOut says
// why and the result is true, so that the caller can count it; without, that is a failure.
// For an index row's file, `row` names its object: a file that holds another, or changed while it was
// read, is not copied, and *taken says which (Taken when the file was read).
bool writeAnonymizedCopy(const QString& sourcePath, const QString& destinationPath,
                         const QString& patientName, const QString& patientId, QString* error = nullptr,
                         LeftOut* leftOut = nullptr, const RowObject& row = {},
                         RowFileTaken* taken = nullptr);

// What an anonymised copy of the file leaves out, read from its header alone (for pictures rendered
// anonymously from it); nothing, with the message, when the file cannot be read.
std::optional<LeftOut> leftOutOfAnonymisedCopies(const QString& path, QString* error = nullptr);

// What one anonymising run left out.
struct LeftOutCount
{
    int documents = 0;
    int burnedInImages = 0;
    int unflaggedCaptures = 0;
    int recognizableImages = 0;
    int unflaggedXRays = 0;
    int videos = 0;
    int withoutImage = 0;

    void add(LeftOut why);
    // How many were left out for this reason.
    int of(LeftOut why) const;
    int total() const
    {
        return documents + burnedInImages + unflaggedCaptures + recognizableImages + unflaggedXRays + videos
               + withoutImage;
    }
};

// The lines an export's result adds for what its anonymised copies left out; empty for nothing.
QString leftOutNote(const LeftOutCount& count);

// Why an anonymised copy of a study has nothing to hold, when all it found was left out.
QString nothingLeftToCopyText(const LeftOutCount& count);

// Writes a JPEG-LS lossless copy, or a plain byte copy when the pixels cannot be compressed without
// changing a single stored sample; either from the one opening of the source read. Source and
// destination may be the same path. `row` and *taken as for writeAnonymizedCopy.
bool writeCompressedCopy(const QString& sourcePath, const QString& destinationPath, QString* error = nullptr,
                         const RowObject& row = {}, RowFileTaken* taken = nullptr);

} // namespace dicom
