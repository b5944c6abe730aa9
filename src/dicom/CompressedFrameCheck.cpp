#include "dicom/CompressedFrameCheck.h"

#include "dicom/DicomItemLists.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QCoreApplication>
#include <QtEndian>

#include <cstring>
#include <vector>

namespace dicom {
namespace {

// Fragments are read through a window of this size: the walk mostly stops within the first few
// hundred bytes, but a segment length can carry it anywhere in the fragment.
constexpr Uint32 kWindowBytes = 4096;

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

// The bytes of one fragment, fetched a window at a time: large fragments stay on disk.
class FragmentBytes
{
  public:
    explicit FragmentBytes(DcmPixelItem& fragment) : m_fragment(fragment), m_length(fragment.getLength()) {}

    quint64 length() const { return m_length; }

    // The four bytes from `offset` (which must leave them inside the fragment), or false when the
    // fragment cannot be read.
    bool fourAt(quint64 offset, Uint8 out[4])
    {
        if (offset < m_start || offset + 4 > m_start + m_window.size()) {
            const Uint32 size = Uint32(qMin<quint64>(kWindowBytes, m_length - offset));
            m_window.assign(size, 0);
            if (m_fragment.getPartialValue(m_window.data(), Uint32(offset), size).bad()) {
                m_window.clear();
                return false;
            }
            m_start = offset;
        }
        std::memcpy(out, m_window.data() + (offset - m_start), 4);
        return true;
    }

  private:
    DcmPixelItem& m_fragment;
    quint64 m_length = 0;
    quint64 m_start = 0;
    std::vector<Uint8> m_window;
};

// True when the bit-depth walk over this fragment would stop on a TEM marker without ever reaching
// a frame header. Mirrors the walk over the whole fragment: frame headers end it, stand-alone
// markers advance two bytes, fill bytes (FF FF) one byte, segments advance by their length,
// anything else ends it.
bool walkStallsOnTem(FragmentBytes& bytes)
{
    quint64 offset = 0;
    Uint8 b[4];
    while (offset + 4 < bytes.length()) {
        if (!bytes.fourAt(offset, b))
            return false; // unreadable: the decoder fails on it without looping
        const quint16 m = quint16((b[0] << 8) | b[1]);
        const quint64 segment = quint64((b[2] << 8) | b[3]) + 2;
        if (m == 0xFF01)
            return true;
        if (m >= 0xFFC0 && m <= 0xFFCF && m != 0xFFC4 && m != 0xFFC8 && m != 0xFFCC)
            return false; // frame header: the walk ends with the bit depth
        if (m >= 0xFFD0 && m <= 0xFFD9)
            offset += 2;
        else if (m == 0xFFFF)
            offset += 1;
        else if (m == 0xFFC4 || m == 0xFFC8 || m == 0xFFCC || (m >= 0xFFDA && m <= 0xFFFE))
            offset += segment;
        else if (b[0] == 0xFF && b[1] > 0x02 && b[1] <= 0xBF)
            offset += 2; // reserved markers
        else
            return false; // the walk gives up on anything else
    }
    return false;
}

enum class SegmentFit { Exact, Overrun, Short };

// Decoded length of a PackBits segment against the bytes the frame needs. A lone byte left after the
// frame is full is padding; anything that would write more is an overrun.
SegmentFit fitOfSegment(const Uint8* data, size_t length, size_t needed)
{
    size_t written = 0;
    size_t at = 0;
    while (at < length) {
        const Uint8 code = data[at++];
        if (code == 0x80)
            continue; // no operation
        if (code < 0x80) {
            const size_t literal = size_t(code) + 1;
            written += qMin(literal, length - at); // a literal cut by the segment's end
            at += literal;
        } else if (at < length) {
            written += size_t(257 - code);
            ++at;
        }
        if (written > needed)
            return SegmentFit::Overrun;
    }
    return written == needed ? SegmentFit::Exact : SegmentFit::Short;
}

} // namespace

DcmPixelSequence* originalPixelSequence(DcmDataset& dataset)
{
    DcmElement* element = nullptr;
    if (dataset.findAndGetElement(DCM_PixelData, element).bad() || !element)
        return nullptr;
    auto* pixelData = OFstatic_cast(DcmPixelData*, element);
    E_TransferSyntax repType = EXS_Unknown;
    const DcmRepresentationParameter* repParam = nullptr;
    pixelData->getOriginalRepresentationKey(repType, repParam);
    DcmPixelSequence* sequence = nullptr;
    if (pixelData->getEncapsulatedRepresentation(repType, repParam, sequence).bad())
        return nullptr;
    return sequence;
}

QString rleFrameProblem(DcmDataset& dataset, int frame, qint64 fileSize)
{
    if (dataset.getOriginalXfer() != EXS_RLELossless)
        return {};
    Uint16 rows = 0;
    Uint16 columns = 0;
    Uint16 bitsAllocated = 0;
    Uint16 samples = 1;
    Sint32 frames = 1;
    dataset.findAndGetUint16(DCM_Rows, rows);
    dataset.findAndGetUint16(DCM_Columns, columns);
    dataset.findAndGetUint16(DCM_BitsAllocated, bitsAllocated);
    dataset.findAndGetUint16(DCM_SamplesPerPixel, samples);
    dataset.findAndGetSint32(DCM_NumberOfFrames, frames);
    DcmPixelSequence* sequence = originalPixelSequence(dataset);
    // One fragment per frame is what RLE prescribes; anything else is left to the decoder.
    frames = qMax<Sint32>(frames, 1);
    if (!sequence || frame < 0 || frame >= frames || Sint32(sequence->card()) - 1 != frames)
        return {};
    DcmPixelItem* fragment = nullptr;
    if (sequence->getItem(fragment, unsigned(frame) + 1).bad() || !fragment)
        return {};

    const auto damaged = [frame](const char* why) {
        return QCoreApplication::translate("dicom", "Сжатые пиксельные данные RLE повреждены в кадре %1: %2.")
            .arg(frame + 1)
            .arg(QCoreApplication::translate("dicom", why));
    };
    const size_t needed = size_t(rows) * size_t(columns);
    const Uint32 length = fragment->getLength();
    // Even the clumsiest coding (a one-byte literal for every byte) takes twice the frame per segment.
    const quint64 segments = quint64(bitsAllocated / 8) * samples;
    if (length < 64 || qint64(length) > fileSize || quint64(length) > 64 + segments * (2 * quint64(needed) + 2))
        return damaged(QT_TRANSLATE_NOOP("dicom", "размер фрагмента не соответствует кадру"));
    std::vector<Uint8> data(length);
    if (fragment->getPartialValue(data.data(), 0, length).bad())
        return damaged(QT_TRANSLATE_NOOP("dicom", "фрагмент не читается"));
    Uint32 header[16];
    for (int i = 0; i < 16; ++i)
        header[i] = qFromLittleEndian<Uint32>(data.data() + 4 * i);
    if (header[0] != segments || segments == 0 || segments > 15)
        return damaged(QT_TRANSLATE_NOOP("dicom", "неверное число сегментов"));
    for (Uint32 i = 0; i < header[0]; ++i) {
        const Uint32 begin = header[i + 1];
        const Uint32 end = i + 1 < header[0] ? header[i + 2] : length;
        if (begin < 64 || end < begin || end > length)
            return damaged(QT_TRANSLATE_NOOP("dicom", "неверное смещение сегмента"));
        switch (fitOfSegment(data.data() + begin, end - begin, needed)) {
        case SegmentFit::Overrun:
            return damaged(QT_TRANSLATE_NOOP("dicom", "серии выходят за размер кадра"));
        case SegmentFit::Short:
            return damaged(QT_TRANSLATE_NOOP("dicom", "данных меньше размера кадра"));
        case SegmentFit::Exact:
            break;
        }
    }
    return {};
}

QString compressedFramesProblem(DcmDataset& dataset)
{
    const E_TransferSyntax syntax = dataset.getOriginalXfer();
    if (!decodedByJpegCodec(syntax))
        return {};
    DcmPixelSequence* sequence = originalPixelSequence(dataset);
    if (!sequence)
        return {};
    // Item 0 is the offset table; every other fragment may start a frame.
    const std::vector<DcmPixelItem*> fragments = fragmentsOf(*sequence);
    for (size_t i = 1; i < fragments.size(); ++i) {
        FragmentBytes bytes(*fragments[i]);
        if (walkStallsOnTem(bytes))
            return QCoreApplication::translate("dicom", "Сжатые пиксельные данные повреждены: недопустимый маркер JPEG во фрагменте %1.")
                .arg(i);
    }
    return {};
}

} // namespace dicom
