#include "dicom/FrameRescale.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>

#include <QString>

#include <utility>

namespace dicom {
namespace {

// A decimal string value of `key` in `item`, when present and not empty.
bool readDecimal(DcmItem* item, const DcmTagKey& key, double fallbackForGarbage, double& value)
{
    OFString text;
    if (item == nullptr || item->findAndGetOFString(key, text, 0, OFFalse).bad())
        return false;
    const QString trimmed = QString::fromLatin1(text.c_str()).trimmed();
    if (trimmed.isEmpty())
        return false;
    bool ok = false;
    const double parsed = trimmed.toDouble(&ok);
    value = ok ? parsed : fallbackForGarbage;
    return true;
}

DcmItem* functionalGroupItem(DcmItem& ds, const DcmTagKey& sequence, long index, const DcmTagKey& group)
{
    DcmItem* outer = nullptr;
    if (index < 0 || ds.findAndGetSequenceItem(sequence, outer, index).bad() || outer == nullptr)
        return nullptr;
    DcmItem* inner = nullptr;
    if (outer->findAndGetSequenceItem(group, inner, 0).bad())
        return nullptr;
    return inner;
}

bool readRescale(DcmItem* item, FrameRescale& rescale)
{
    const bool slope = readDecimal(item, DCM_RescaleSlope, 1.0, rescale.slope);
    const bool intercept = readDecimal(item, DCM_RescaleIntercept, 0.0, rescale.intercept);
    return slope || intercept;
}

} // namespace

FrameRescale frameRescale(DcmItem& dataset, int frame)
{
    FrameRescale rescale;
    if (readRescale(&dataset, rescale)) {
        rescale.source = FrameRescale::Source::TopLevel;
        return rescale;
    }
    const std::pair<DcmItem*, FrameRescale::Source> groups[2] = {
        {functionalGroupItem(dataset, DCM_PerFrameFunctionalGroupsSequence, frame,
                             DCM_PixelValueTransformationSequence),
         FrameRescale::Source::PerFrame},
        {functionalGroupItem(dataset, DCM_SharedFunctionalGroupsSequence, 0, DCM_PixelValueTransformationSequence),
         FrameRescale::Source::Shared},
    };
    for (const auto& [item, source] : groups) {
        if (item == nullptr)
            continue;
        if (readRescale(item, rescale)) {
            rescale.source = source;
            return rescale;
        }
    }
    return {};
}

} // namespace dicom
