#include "dicom/DicomItemLists.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcsequen.h>

namespace dicom {
namespace {

// DCMTK's own next-of: a step from where its list stands, which is where the last step left it.
template <typename Child, typename Container> std::vector<Child*> childrenOf(Container& container)
{
    std::vector<Child*> children;
    children.reserve(container.card());
    for (DcmObject* next = container.nextInContainer(nullptr); next; next = container.nextInContainer(next))
        children.push_back(static_cast<Child*>(next));
    return children;
}

} // namespace

std::vector<DcmElement*> elementsOf(DcmItem& item)
{
    return childrenOf<DcmElement>(item);
}

std::vector<DcmItem*> itemsOf(DcmSequenceOfItems& sequence)
{
    return childrenOf<DcmItem>(sequence);
}

std::vector<DcmPixelItem*> fragmentsOf(DcmPixelSequence& sequence)
{
    return childrenOf<DcmPixelItem>(sequence);
}

} // namespace dicom
