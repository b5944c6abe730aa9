#include "dicom/DicomItemLists.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

namespace dicom {

std::vector<DcmElement*> elementsOf(DcmItem& item)
{
    std::vector<DcmElement*> elements;
    elements.reserve(item.card());
    for (DcmObject* next = item.nextInContainer(nullptr); next; next = item.nextInContainer(next))
        elements.push_back(static_cast<DcmElement*>(next));
    return elements;
}

std::vector<DcmItem*> itemsOf(DcmSequenceOfItems& sequence)
{
    std::vector<DcmItem*> items;
    items.reserve(sequence.card());
    for (DcmObject* next = sequence.nextInContainer(nullptr); next; next = sequence.nextInContainer(next))
        items.push_back(static_cast<DcmItem*>(next));
    return items;
}

std::vector<DcmPixelItem*> fragmentsOf(DcmPixelSequence& sequence)
{
    std::vector<DcmPixelItem*> fragments;
    fragments.reserve(sequence.card());
    for (DcmObject* next = sequence.nextInContainer(nullptr); next; next = sequence.nextInContainer(next))
        fragments.push_back(static_cast<DcmPixelItem*>(next));
    return fragments;
}

} // namespace dicom
