#pragma once
// DCMTK's indexed access to the elements of an item (getElement) and the items of a sequence
// (getItem) walks its list from the start at every call: a loop by index over a large item takes
// time by the square of its size. These gather them in one pass, for loops that also look up,
// insert or remove elements in the same item (which moves the list's own position).

#include <vector>

class DcmElement;
class DcmItem;
class DcmPixelItem;
class DcmPixelSequence;
class DcmSequenceOfItems;

namespace dicom {

std::vector<DcmElement*> elementsOf(DcmItem& item);
std::vector<DcmItem*> itemsOf(DcmSequenceOfItems& sequence);
// The fragments of encapsulated pixel data, the offset table first.
std::vector<DcmPixelItem*> fragmentsOf(DcmPixelSequence& sequence);

} // namespace dicom
