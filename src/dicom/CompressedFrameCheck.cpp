#include "CompressedFrameCheck.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QCoreApplication>

#include <vector>

namespace dicom {
namespace {

// The frame header is near the start of a frame; markers further on are never reached by the walk
// without passing a frame header first.
constexpr Uint32 kMarkerPrefixBytes = 16 * 1024;

// JPEG processes 1 to 29 and the lossless first-order prediction: 1.2.840.10008.1.2.4.50 to .70,
// all decoded by DCMTK's JPEG codec (JPEG-LS and JPEG 2000 lie above).
bool decodedByJpegCodec(E_TransferSyntax syntax)
{
    const QString uid = QString::fromLatin1(DcmXfer(syntax).getXferID());
    const QString prefix = QStringLiteral("1.2.840.10008.1.2.4.");
    if (!uid.startsWith(prefix))
        return false;
    bool ok = false;
    const int process = uid.mid(prefix.size()).toInt(&ok);
    return ok && process >= 50 && process <= 70;
}

quint16 marker(const Uint8* p)
{
    return quint16((p[0] << 8) | p[1]);
}

// True when the bit-depth walk over these bytes would stop on a TEM marker without ever reaching a
// frame header. Mirrors the walk: frame headers end it, stand-alone markers advance two bytes,
// segments advance by their length, anything else ends it.
bool walkStallsOnTem(const Uint8* data, Uint32 length)
{
    Uint32 offset = 0;
    while (offset + 4 < length) {
        const quint16 m = marker(data + offset);
        if (m == 0xFF01)
            return true;
        if (m >= 0xFFC0 && m <= 0xFFCF && m != 0xFFC4 && m != 0xFFC8 && m != 0xFFCC)
            return false; // frame header: the walk ends with the bit depth
        if ((m >= 0xFFD0 && m <= 0xFFD9))
            offset += 2;
        else if (m == 0xFFC4 || m == 0xFFC8 || m == 0xFFCC || (m >= 0xFFDA && m <= 0xFFFE))
            offset += Uint32(marker(data + offset + 2)) + 2;
        else if (data[offset] == 0xFF && data[offset + 1] > 0x02 && data[offset + 1] <= 0xBF)
            offset += 2; // reserved markers
        else
            return false; // the walk gives up on anything else
    }
    return false;
}

} // namespace

QString compressedFramesProblem(DcmDataset& dataset)
{
    const E_TransferSyntax syntax = dataset.getOriginalXfer();
    if (!decodedByJpegCodec(syntax))
        return {};
    DcmElement* element = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, element).bad() || !element)
        return {};
    auto* pixelData = OFstatic_cast(DcmPixelData*, element);
    E_TransferSyntax repType = EXS_Unknown;
    const DcmRepresentationParameter* repParam = nullptr;
    pixelData->getOriginalRepresentationKey(repType, repParam);
    DcmPixelSequence* sequence = nullptr;
    if (pixelData->getEncapsulatedRepresentation(repType, repParam, sequence).bad() || !sequence)
        return {};

    std::vector<Uint8> prefix;
    // Item 0 is the offset table; every other fragment may start a frame.
    for (unsigned long i = 1; i < sequence->card(); ++i) {
        DcmPixelItem* fragment = nullptr;
        if (sequence->getItem(fragment, i).bad() || !fragment)
            continue;
        const Uint32 length = qMin<Uint32>(fragment->getLength(), kMarkerPrefixBytes);
        if (length < 4)
            continue;
        prefix.assign(length, 0);
        // Read without loading the whole fragment: large ones stay on disk.
        if (fragment->getPartialValue(prefix.data(), 0, length).bad())
            continue;
        if (walkStallsOnTem(prefix.data(), length))
            return QCoreApplication::translate("dicom", "Сжатые пиксельные данные повреждены: недопустимый маркер JPEG во фрагменте %1.")
                .arg(i);
    }
    return {};
}

} // namespace dicom
