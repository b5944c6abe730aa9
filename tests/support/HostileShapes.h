#pragma once
// Hostile data sets whose bytes DCMTK reads otherwise than a look at them suggests: private
// dictionaries, VRs DCMTK does not know, meta headers that name no syntax or name it where only
// DCMTK looks. Each nests `depth` levels of sequences as DCMTK reads it; the files are small images
// (8 x 8, with their pixels where the shape leaves room for them).

#include <QByteArray>
#include <QString>

namespace fixtures {

enum class HostileShape {
    // A private element of defined length that DCMTK's private dictionary, looked up with its private
    // creator, calls a sequence (implicit VR little endian).
    PrivateSequence,
    // An element of undefined length whose VR is two capital letters but no VR.
    UnknownVrSequence,
    // Pixel Data of undefined length with such a VR.
    UnknownVrPixelData,
    // A meta header naming no transfer syntax, over a data set whose first element shows two capital
    // letters where a VR would be (DCMTK reads it as implicit VR).
    NoTransferSyntax,
    // The same under a transfer syntax DCMTK does not know.
    UnknownTransferSyntax,
    // The deflated syntax named only in an item of a sequence in the meta header.
    DeflateInMetaSequence,
    // A tag of the item group that is no item or delimiter, written as SQ.
    ItemGroupSequence,
    // A VR of two non-letter bytes on a tag the dictionary calls a sequence, its bytes looking like an
    // item with a length past the end, and the nesting behind it.
    NonLetterVr,
    // A deflated file whose meta header starts at byte 0, without preamble.
    DeflatedWithoutPreamble,
    // Sequences of the dictionary (references to a study, series, images) of a few bytes each, under
    // VRs DCMTK does not know: two zero bytes, two other non-letters, a sign and a letter (all with a
    // 2-byte length) and two letters (with a 4-byte length). DCMTK keeps their values as bytes. A file
    // only: no search answer is made of it.
    UnknownVrsOnDictionarySequences,
};

// Whether the shape has room for the image's own pixels, and whether the file has the 128-byte
// preamble the importers look for.
bool hostileShapeHasPixels(HostileShape shape);
bool hostileShapeHasPreamble(HostileShape shape);

QString writeHostileShape(const QString& path, HostileShape shape, int depth);
// The data set of a search answer of that shape, for the shapes that need no meta header: implicit VR
// little endian for PrivateSequence, explicit VR little endian otherwise.
QByteArray hostileShapeAnswer(HostileShape shape, int depth);
bool hostileShapeAnswerIsImplicit(HostileShape shape);

// One PrivateSequence item holding `count` empty elements in descending tag order: DCMTK's sorted
// insert walks past all of those before for each.
QString writeElementsInPrivateSequence(const QString& path, int count);
QByteArray elementsInPrivateSequenceAnswer(int count);

// An image whose meta header holds one element (Private Information) of `bytes` bytes.
QString writeLongMetaElement(const QString& path, quint32 bytes);

// Small files one of whose lengths claims 3 GB: a meta header of 66 bytes without preamble (its
// version), the meta header of an image (a private element), or the image's data set (an element
// after its pixels).
enum class LengthPastEnd { BareMetaHeader, MetaHeaderOfImage, DatasetOfImage };
QString writeLengthPastEnd(const QString& path, LengthPastEnd where);

// About a megabyte of file that inflates to a gigabyte of zero pixel data, for DeflateInMetaSequence
// and DeflatedWithoutPreamble.
QString writeHostileShapeOverGigabyte(const QString& path, HostileShape shape);

} // namespace fixtures
