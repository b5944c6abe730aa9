#include "dicom/DicomNesting.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <QCoreApplication>
#include <QFile>

#include <zlib.h>

#include <cstring>
#include <functional>
#include <limits>
#include <vector>

namespace dicom {
namespace {

constexpr quint32 kUndefinedLength = 0xFFFFFFFFu;
constexpr qint64 kPreambleAndMagic = 132;

struct Encoding
{
    bool implicit = false;
    bool bigEndian = false;
};

quint16 read16(const uchar* p, bool bigEndian)
{
    return bigEndian ? quint16((p[0] << 8) | p[1]) : quint16(p[0] | (p[1] << 8));
}

quint32 read32(const uchar* p, bool bigEndian)
{
    return bigEndian ? (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3])
                     : quint32(p[0]) | (quint32(p[1]) << 8) | (quint32(p[2]) << 16) | (quint32(p[3]) << 24);
}

bool isVrLetter(uchar c)
{
    return c >= 'A' && c <= 'Z';
}

bool dictionarySaysSequence(quint16 group, quint16 element)
{
    return DcmTag(DcmTagKey(group, element)).getEVR() == EVR_SQ;
}

// The bytes a walk reads, front to back: a file held in memory, or a deflated data set inflated as
// the walk goes, so that no more than a small window of it is ever kept.
class ByteSource
{
  public:
    virtual ~ByteSource() = default;
    // The next `n` bytes (at most kMaxPeek), valid until the next call; null when fewer are left.
    virtual const uchar* peek(int n) = 0;
    // Moves on by `n` bytes; false when the data ends first.
    virtual bool skip(qint64 n) = 0;
    qint64 position() const { return m_position; }

    static constexpr int kMaxPeek = 256;

  protected:
    qint64 m_position = 0;
};

class MemorySource final : public ByteSource
{
  public:
    MemorySource(const uchar* data, qint64 size, qint64 start = 0) : m_data(data), m_size(size)
    {
        m_position = qBound<qint64>(0, start, size);
    }

    const uchar* peek(int n) override { return n <= m_size - m_position ? m_data + m_position : nullptr; }

    bool skip(qint64 n) override
    {
        if (n > m_size - m_position) {
            m_position = m_size;
            return false;
        }
        m_position += n;
        return true;
    }

  private:
    const uchar* m_data;
    qint64 m_size;
};

// A raw deflate stream (as a deflated data set follows its meta header), inflated into a window that
// slides along; inflating stops once more than `limit` bytes came out of it.
class InflatingSource final : public ByteSource
{
  public:
    InflatingSource(const uchar* data, qint64 size, qint64 limit)
        : m_input(data), m_inputLeft(size), m_limit(limit), m_window(kWindow)
    {
        std::memset(&m_stream, 0, sizeof m_stream);
        m_ready = inflateInit2(&m_stream, -MAX_WBITS) == Z_OK;
    }
    ~InflatingSource() override
    {
        if (m_ready)
            inflateEnd(&m_stream);
    }
    InflatingSource(const InflatingSource&) = delete;
    InflatingSource& operator=(const InflatingSource&) = delete;

    const uchar* peek(int n) override
    {
        while (m_end - m_begin < n && fill()) {
        }
        return m_end - m_begin >= n ? m_window.data() + m_begin : nullptr;
    }

    bool skip(qint64 n) override
    {
        while (n > 0) {
            if (m_begin == m_end && !fill())
                return false;
            const qint64 step = qMin(n, m_end - m_begin);
            m_begin += step;
            m_position += step;
            n -= step;
        }
        return true;
    }

    // Inflates the rest of the stream only to count it.
    void drain()
    {
        while (skip(kWindow)) {
        }
    }

    bool passedLimit() const { return m_inflated > m_limit; }

  private:
    static constexpr qint64 kWindow = 64 * 1024;

    bool fill()
    {
        if (!m_ready || m_finished || passedLimit())
            return false;
        if (m_begin > 0) {
            std::memmove(m_window.data(), m_window.data() + m_begin, size_t(m_end - m_begin));
            m_end -= m_begin;
            m_begin = 0;
        }
        if (m_stream.avail_in == 0 && m_inputLeft > 0) {
            const qint64 chunk = qMin<qint64>(m_inputLeft, 1 << 30);
            m_stream.next_in = const_cast<Bytef*>(m_input);
            m_stream.avail_in = uInt(chunk);
            m_input += chunk;
            m_inputLeft -= chunk;
        }
        const qint64 room = kWindow - m_end;
        m_stream.next_out = reinterpret_cast<Bytef*>(m_window.data() + m_end);
        m_stream.avail_out = uInt(room);
        const int status = inflate(&m_stream, Z_NO_FLUSH);
        const qint64 produced = room - qint64(m_stream.avail_out);
        m_end += produced;
        m_inflated += produced;
        // The stream's end or damage: DCMTK reads no further either.
        if (status != Z_OK)
            m_finished = true;
        return produced > 0 || !m_finished;
    }

    z_stream m_stream;
    bool m_ready = false;
    bool m_finished = false;
    const uchar* m_input;
    qint64 m_inputLeft;
    qint64 m_limit;
    qint64 m_inflated = 0;
    std::vector<uchar> m_window;
    qint64 m_begin = 0;
    qint64 m_end = 0;
};

struct WalkLimits
{
    int depth = kMaxSequenceNesting;
    qint64 elements = kMaxDatasetElements;
    qint64 reorderSteps = kMaxElementReorderSteps;
};

constexpr WalkLimits kNoCountLimits{kMaxSequenceNesting, std::numeric_limits<qint64>::max(),
                                    std::numeric_limits<qint64>::max()};

struct WalkCount
{
    int depth = 0;
    qint64 elements = 0;
    qint64 reorderSteps = 0;
    bool inflatesTooFar = false;
    // The data set's first element shows another encoding than the meta header names.
    bool encodingDiffersFromMeta = false;

    void takeLarger(const WalkCount& other)
    {
        depth = qMax(depth, other.depth);
        elements = qMax(elements, other.elements);
        reorderSteps = qMax(reorderSteps, other.reorderSteps);
        inflatesTooFar = inflatesTooFar || other.inflatesTooFar;
    }

    ParseHazard hazard(const WalkLimits& limits) const
    {
        if (inflatesTooFar)
            return ParseHazard::InflatesTooFar;
        if (depth > limits.depth)
            return ParseHazard::DeepNesting;
        if (elements > limits.elements)
            return ParseHazard::TooManyElements;
        if (reorderSteps > limits.reorderSteps)
            return ParseHazard::ElementsOutOfOrder;
        return ParseHazard::None;
    }
};

// Where a walk over top-level elements ends, and what it is told of them (the meta header).
struct TopLevel
{
    // Whether the element whose header starts at `position` is still part of what is walked.
    std::function<bool(quint16 group, qint64 position)> continuesAt;
    // An element's header has been read; the source stands at its value.
    std::function<void(quint16 group, quint16 element, quint32 length, ByteSource& source)> seen;
};

// Walks elements, sequences and items as DCMTK reads them, without keeping any value, counting the
// depth of nesting, the objects DCMTK would make, and the steps its sorted insert would take.
class Walker
{
  public:
    explicit Walker(const WalkLimits& limits) : m_limits(limits) {}

    void walk(ByteSource& source, Encoding top, const TopLevel* topLevel = nullptr);

    const WalkCount& count() const { return m_count; }
    bool passedLimits() const
    {
        return m_count.depth > m_limits.depth || m_count.elements > m_limits.elements ||
               m_count.reorderSteps > m_limits.reorderSteps;
    }

  private:
    enum class Kind { Sequence, Item, Fragments };

    // The elements of one item as DCMTK's list holds them: a new element walks back from the end
    // past every element with a larger tag.
    struct ElementOrder
    {
        quint32 largestTag = 0;
        qint64 elements = 0;
    };

    struct Frame
    {
        Kind kind;
        qint64 end; // -1: undefined length, ended by a delimiter
        Encoding encoding;
        ElementOrder order;
    };

    void push(std::vector<Frame>& stack, Kind kind, qint64 end, Encoding encoding)
    {
        stack.push_back(Frame{kind, end, encoding, {}});
        // A level is a sequence and its item; items nested directly in items count half a level each.
        m_count.depth = qMax(m_count.depth, int((stack.size() + 1) / 2));
    }

    void noteElement(ElementOrder& order, quint32 tag)
    {
        ++m_count.elements;
        if (order.elements > 0 && tag <= order.largestTag)
            m_count.reorderSteps += order.elements;
        else
            order.largestTag = tag;
        ++order.elements;
    }

    WalkLimits m_limits;
    WalkCount m_count;
};

void Walker::walk(ByteSource& source, Encoding top, const TopLevel* topLevel)
{
    std::vector<Frame> stack;
    ElementOrder topOrder;
    while (!passedLimits()) {
        while (!stack.empty() && stack.back().end >= 0 && source.position() >= stack.back().end)
            stack.pop_back();
        const Encoding enc = stack.empty() ? top : stack.back().encoding;
        const uchar* head = source.peek(8);
        if (!head)
            break;
        const quint16 group = read16(head, enc.bigEndian);
        const quint16 element = read16(head + 2, enc.bigEndian);
        if (stack.empty() && topLevel && !topLevel->continuesAt(group, source.position()))
            break;

        if (group == 0xFFFE) {
            const quint32 length = read32(head + 4, enc.bigEndian);
            source.skip(8);
            if (element == 0xE000) {
                ++m_count.elements;
                const bool fragment = !stack.empty() && stack.back().kind == Kind::Fragments;
                if (fragment && length != kUndefinedLength) {
                    if (!source.skip(length)) // compressed frame data, nothing nested
                        break;
                    continue;
                }
                // An item of undefined length is walked into, among fragments too: what follows it
                // is counted as nested, the safe side of whatever DCMTK makes of it.
                push(stack, Kind::Item, length == kUndefinedLength ? -1 : source.position() + length, enc);
            } else if (element == 0xE00D) {
                if (!stack.empty() && stack.back().kind == Kind::Item && stack.back().end < 0)
                    stack.pop_back();
            } else if (element == 0xE0DD) {
                if (!stack.empty() && stack.back().kind != Kind::Item && stack.back().end < 0)
                    stack.pop_back();
            }
            continue;
        }

        const bool pixelData = group == 0x7FE0 && element == 0x0010;
        quint32 length = 0;
        bool sequence = false;
        bool fragments = false;
        bool unknownSequence = false; // UN holding a sequence: its content is implicit little endian
        if (enc.implicit) {
            length = read32(head + 4, enc.bigEndian);
            source.skip(8);
            // Pixel Data is OB or OW by the dictionary: of undefined length, it holds fragments.
            fragments = pixelData && length == kUndefinedLength;
            sequence = !fragments && (length == kUndefinedLength || dictionarySaysSequence(group, element));
        } else {
            // The VR decides the length field and the kind of value as DCMTK decides them, unknown
            // VRs included.
            const char text[3] = {char(head[4]), char(head[5]), '\0'};
            const DcmVR vr(text);
            if (vr.usesExtendedLengthEncoding()) {
                const uchar* longHead = source.peek(12);
                if (!longHead)
                    break;
                length = read32(longHead + 8, enc.bigEndian);
                source.skip(12);
            } else {
                length = read16(head + 6, enc.bigEndian);
                source.skip(8);
            }
            const DcmEVR evr = vr.getEVR();
            if (evr == EVR_SQ) {
                sequence = true;
            } else if (length == kUndefinedLength) {
                // Only Pixel Data as OB or OW (or a VR DCMTK does not know, which it takes from the
                // dictionary) holds fragments; as SQ or UN, or as anything else, it is a sequence.
                fragments = pixelData && (evr == EVR_OB || evr == EVR_OW || !vr.isStandard());
                sequence = !fragments;
                unknownSequence = evr == EVR_UN;
            } else if (evr == EVR_UN) {
                // DCMTK reads a UN value of a sequence the dictionary knows as that sequence; counting
                // every UN value that starts with an item is the safe side of that.
                const uchar* value = source.peek(4);
                sequence = unknownSequence = value && read32(value, false) == 0xE000FFFEu;
            } else if (!vr.isStandard()) {
                sequence = dictionarySaysSequence(group, element); // DCMTK falls back on the dictionary
            }
        }

        noteElement(stack.empty() ? topOrder : stack.back().order, (quint32(group) << 16) | element);
        if (stack.empty() && topLevel && topLevel->seen)
            topLevel->seen(group, element, length, source);
        if (fragments || sequence) {
            const Encoding inner = unknownSequence ? Encoding{true, false} : enc;
            push(stack, fragments ? Kind::Fragments : Kind::Sequence,
                 length == kUndefinedLength ? -1 : source.position() + length, inner);
            continue;
        }
        if (!source.skip(length))
            break;
    }
}

// How far a deflated data set may grow before DCMTK is let to inflate it (see the header).
qint64 inflationLimit(qint64 deflatedBytes)
{
    return qMin(kMaxInflatedDatasetBytes, qMax(kInflationRatioFloor, deflatedBytes * kMaxInflationRatio));
}

// The encoding DCMTK reads from a data set's first element: explicit VR when VR letters follow the
// tag, big endian when only the big-endian reading of the group is small. A group small either way
// (group 0000) shows no byte order.
struct ShownEncoding
{
    Encoding encoding;
    bool byteOrderShown = false;
};

ShownEncoding detectedEncoding(const uchar* data, qint64 size, qint64 pos)
{
    if (pos < 0 || pos + 6 > size)
        return {};
    const bool explicitVr = isVrLetter(data[pos + 4]) && isVrLetter(data[pos + 5]);
    const bool smallLittle = read16(data + pos, false) <= 0xFF;
    const bool smallBig = read16(data + pos, true) <= 0xFF;
    return {Encoding{!explicitVr, !smallLittle && smallBig}, smallLittle != smallBig};
}

// The meta header of a file with a DICM preamble, as DCMTK reads it: when its first element is the
// group length (0002,0000), the elements (of any group) up to the end that length gives; otherwise as
// long as group 0002 follows. Its transfer syntax is the one (0002,0010) names within that.
struct MetaHeader
{
    qint64 datasetStart = kPreambleAndMagic;
    QByteArray syntax;
};

bool hasPreamble(const uchar* data, qint64 size)
{
    return size >= kPreambleAndMagic && std::memcmp(data + 128, "DICM", 4) == 0;
}

MetaHeader walkMetaHeader(const uchar* data, qint64 size, Walker& walker)
{
    MetaHeader meta;
    MemorySource source(data, size, kPreambleAndMagic);
    const Encoding encoding = detectedEncoding(data, size, kPreambleAndMagic).encoding;
    bool first = true;
    qint64 end = -1; // no group length: the header runs while group 0002 follows
    TopLevel top;
    top.continuesAt = [&](quint16 group, qint64 position) {
        if (end >= 0)
            return position < end;
        // DCMTK looks for group 0002 in either byte order here.
        return group == 0x0002 || group == 0x0200;
    };
    top.seen = [&](quint16 group, quint16 element, quint32 length, ByteSource& at) {
        const bool groupLength = first && group == 0x0002 && element == 0x0000;
        first = false;
        if (groupLength && length >= 4) {
            const uchar* value = at.peek(4);
            if (!value)
                return;
            // DCMTK adds the group length to the bytes of its own element in 32 bits; the sum
            // 0xFFFFFFFF means undefined to it.
            const quint32 field = read32(value, encoding.bigEndian) +
                                  quint32(at.position() - kPreambleAndMagic + qint64(length));
            if (field != kUndefinedLength)
                end = kPreambleAndMagic + qint64(field);
        } else if (group == 0x0002 && element == 0x0010 && length <= quint32(ByteSource::kMaxPeek)) {
            if (const uchar* value = at.peek(int(length)))
                meta.syntax = QByteArray(reinterpret_cast<const char*>(value), qsizetype(length));
        }
    };
    walker.walk(source, encoding, &top);
    while (!meta.syntax.isEmpty() && (meta.syntax.endsWith('\0') || meta.syntax.endsWith(' ')))
        meta.syntax.chop(1);
    meta.datasetStart = source.position();
    return meta;
}

bool isDeflated(const MetaHeader& meta)
{
    return meta.syntax == "1.2.840.10008.1.2.1.99";
}

// The encoding the meta header names; every compressed syntax is explicit VR little endian.
Encoding namedEncoding(const QByteArray& syntax)
{
    return Encoding{syntax == "1.2.840.10008.1.2", syntax == "1.2.840.10008.1.2.2"};
}

// What the data set's first element shows where it shows anything, the named encoding elsewhere.
Encoding shownEncoding(const uchar* data, qint64 size, qint64 pos, Encoding named)
{
    const ShownEncoding shown = detectedEncoding(data, size, pos);
    return Encoding{shown.encoding.implicit,
                    shown.byteOrderShown ? shown.encoding.bigEndian : named.bigEndian};
}

bool sameEncoding(Encoding a, Encoding b)
{
    return a.implicit == b.implicit && a.bigEndian == b.bigEndian;
}

// Whether the reader must read the data set again in the encoding its first element shows.
bool encodingDiffers(const uchar* data, qint64 size, const MetaHeader& meta)
{
    if (isDeflated(meta) || meta.datasetStart + 8 > size)
        return false;
    const Encoding named = namedEncoding(meta.syntax);
    return !sameEncoding(shownEncoding(data, size, meta.datasetStart, named), named);
}

WalkCount walkDataset(const uchar* data, qint64 size, qint64 start, Encoding encoding,
                      const WalkLimits& limits)
{
    Walker walker(limits);
    MemorySource source(data, size, start);
    walker.walk(source, encoding);
    return walker.count();
}

WalkCount walkFile(const uchar* data, qint64 size, const WalkLimits& limits)
{
    if (!hasPreamble(data, size))
        return walkDataset(data, size, 0, detectedEncoding(data, size, 0).encoding, limits);
    Walker walker(limits);
    const MetaHeader meta = walkMetaHeader(data, size, walker);
    if (walker.passedLimits())
        return walker.count();
    const qint64 pos = meta.datasetStart;
    if (isDeflated(meta)) {
        InflatingSource source(data + pos, size - pos, inflationLimit(size - pos));
        walker.walk(source, Encoding{});
        if (!walker.passedLimits())
            source.drain();
        WalkCount count = walker.count();
        count.inflatesTooFar = source.passedLimit();
        return count;
    }
    const Encoding named = namedEncoding(meta.syntax);
    MemorySource source(data, size, pos);
    walker.walk(source, named);
    WalkCount count = walker.count();
    // A data set that is not in the syntax named is read again as its first element shows it to be
    // (implicit VR big endian labelled explicit, say): it must be counted that way as well.
    const Encoding shown = shownEncoding(data, size, pos, named);
    if (!sameEncoding(shown, named))
        count.takeLarger(walkDataset(data, size, pos, shown, limits));
    count.encodingDiffersFromMeta = encodingDiffers(data, size, meta);
    return count;
}

// Runs `use` on the file's bytes (mapped where possible); `fallback` when it cannot be read.
template <typename Result, typename Use> Result withFileBytes(const QString& path, Result fallback, Use use)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fallback;
    const qint64 size = file.size();
    if (size <= 0)
        return fallback;
    if (const uchar* mapped = file.map(0, size))
        return use(mapped, size);
    const QByteArray bytes = file.readAll();
    return use(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size());
}

WalkCount walkPath(const QString& path, const WalkLimits& limits)
{
    return withFileBytes(path, WalkCount{},
                         [&](const uchar* data, qint64 size) { return walkFile(data, size, limits); });
}

} // namespace

int sequenceNestingDepth(const QString& path, int stopAbove)
{
    WalkLimits limits = kNoCountLimits;
    limits.depth = stopAbove;
    return walkPath(path, limits).depth;
}

FileCheck checkFile(const QString& path)
{
    const WalkLimits limits;
    const WalkCount count = walkPath(path, limits);
    const ParseHazard hazard = count.hazard(limits);
    return {hazard, hazard == ParseHazard::None && count.encodingDiffersFromMeta};
}

ParseHazard parseHazard(const QString& path)
{
    return checkFile(path).hazard;
}

ParseHazard datasetParseHazard(const uchar* data, qint64 size, const QString& transferSyntaxUid)
{
    if (!data || size <= 0)
        return ParseHazard::None;
    const WalkLimits limits;
    return walkDataset(data, size, 0, namedEncoding(transferSyntaxUid.toLatin1()), limits).hazard(limits);
}

bool datasetEncodingDiffersFromMeta(const QString& path)
{
    return withFileBytes(path, false, [](const uchar* data, qint64 size) {
        if (!hasPreamble(data, size))
            return false;
        Walker walker(kNoCountLimits);
        return encodingDiffers(data, size, walkMetaHeader(data, size, walker));
    });
}

QString parseHazardText(ParseHazard hazard)
{
    switch (hazard) {
    case ParseHazard::DeepNesting:
        return QCoreApplication::translate(
            "dicom", "Файл повреждён: слишком глубокая вложенность последовательностей.");
    case ParseHazard::InflatesTooFar:
        return QCoreApplication::translate(
            "dicom", "Файл отклонён: сжатый набор данных распаковывается в недопустимо большой объём.");
    case ParseHazard::TooManyElements:
        return QCoreApplication::translate("dicom", "Файл отклонён: в наборе данных больше %1 элементов.")
            .arg(kMaxDatasetElements);
    case ParseHazard::ElementsOutOfOrder:
        return QCoreApplication::translate(
            "dicom", "Файл отклонён: элементы набора данных записаны не по порядку тегов.");
    case ParseHazard::None:
        break;
    }
    return {};
}

} // namespace dicom
