#include "dicom/FrameRescale.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcelem.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <QString>

#include <algorithm>
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

// The 16-bit pattern of one value of a descriptor, which writers store as US or as SS.
quint16 descriptorWord(DcmElement& descriptor, unsigned long index)
{
    Uint16 word = 0;
    if (descriptor.getUint16(word, index).good())
        return word;
    Sint16 signedWord = 0;
    return descriptor.getSint16(signedWord, index).good() ? quint16(signedWord) : 0;
}

int bitsOf(quint16 value)
{
    int bits = 0;
    for (; value != 0; value >>= 1)
        ++bits;
    return bits;
}

// The first Modality LUT of `item`, read by the rules DCMTK's image draws it with, so that the values
// shown are the values drawn: 0 entries declared means 65536; data half as long as declared holds 8-bit
// entries two to a word; data of another length holds as many entries as it has; a bits-per-entry
// outside 8..16 is taken from the largest entry; entries keep only their bits.
std::shared_ptr<const ModalityLut> readLut(DcmItem& item, bool signedPixels)
{
    DcmItem* lutItem = nullptr;
    DcmElement* descriptor = nullptr;
    DcmElement* data = nullptr;
    Uint16* words = nullptr;
    if (item.findAndGetSequenceItem(DCM_ModalityLUTSequence, lutItem, 0, OFFalse).bad() || lutItem == nullptr
        || lutItem->findAndGetElement(DCM_LUTDescriptor, descriptor, OFFalse).bad() || descriptor == nullptr
        || descriptor->getVM() < 3 || lutItem->findAndGetElement(DCM_LUTData, data, OFFalse).bad()
        || data == nullptr || data->getUint16Array(words).bad() || words == nullptr)
        return nullptr;
    constexpr size_t kMostEntries = 65536;
    const size_t stored = std::min<size_t>(data->getLength() / 2, kMostEntries);
    if (stored == 0)
        return nullptr;
    const quint16 declaredCount = descriptorWord(*descriptor, 0);
    const size_t declared = declaredCount == 0 ? kMostEntries : declaredCount;
    const quint16 first = descriptorWord(*descriptor, 1);
    int bits = descriptorWord(*descriptor, 2);

    auto lut = std::make_shared<ModalityLut>();
    if (stored != declared && stored == (declared + 1) / 2) {
        lut->entries.resize(declared);
        for (size_t i = 0; i < declared; ++i)
            lut->entries[i] = quint16((words[i / 2] >> (8 * (i % 2))) & 0xFF); // the first in the low byte
    } else {
        lut->entries.assign(words, words + stored);
    }
    const quint16 largest = *std::max_element(lut->entries.begin(), lut->entries.end());
    if (bits < 8 || bits > 16)
        bits = std::clamp(largest > 0 ? bitsOf(largest) : bits, 8, 16);
    const quint16 mask = quint16((1u << bits) - 1u);
    for (quint16& entry : lut->entries)
        entry &= mask;
    lut->bitsPerEntry = quint16(bits);
    lut->firstMapped = signedPixels ? qint32(qint16(first)) : qint32(first);
    return lut;
}

// Their Modality LUT maps pixels to X-ray intensity for other uses, not for display: DCMTK's image does
// not apply it.
bool lutNotForDisplay(DcmItem& dataset)
{
    OFString sopClass;
    if (dataset.findAndGetOFString(DCM_SOPClassUID, sopClass, 0, OFFalse).bad())
        return false;
    return sopClass == UID_XRayAngiographicImageStorage || sopClass == UID_XRayRadiofluoroscopicImageStorage
        || sopClass == UID_RETIRED_XRayAngiographicBiPlaneImageStorage;
}

} // namespace

FrameRescale frameRescale(DcmItem& dataset, int frame)
{
    const bool lutApplies = !lutNotForDisplay(dataset);
    Uint16 pixelRepresentation = 0;
    dataset.findAndGetUint16(DCM_PixelRepresentation, pixelRepresentation, 0, OFFalse);
    auto readTransform = [&](DcmItem* item, FrameRescale::Source source, FrameRescale& rescale) {
        if (item == nullptr)
            return false;
        if (lutApplies)
            rescale.lut = readLut(*item, pixelRepresentation == 1);
        if (rescale.lut || readRescale(item, rescale)) {
            rescale.source = source;
            return true;
        }
        return false;
    };
    FrameRescale rescale;
    if (readTransform(&dataset, FrameRescale::Source::TopLevel, rescale))
        return rescale;
    const std::pair<DcmItem*, FrameRescale::Source> groups[2] = {
        {functionalGroupItem(dataset, DCM_PerFrameFunctionalGroupsSequence, frame,
                             DCM_PixelValueTransformationSequence),
         FrameRescale::Source::PerFrame},
        {functionalGroupItem(dataset, DCM_SharedFunctionalGroupsSequence, 0, DCM_PixelValueTransformationSequence),
         FrameRescale::Source::Shared},
    };
    for (const auto& [item, source] : groups)
        if (readTransform(item, source, rescale))
            return rescale;
    return {};
}

} // namespace dicom
