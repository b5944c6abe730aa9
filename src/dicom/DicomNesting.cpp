#include "dicom/DicomNesting.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>

#include <zlib.h>

#include <cstring>
#include <optional>
#include <vector>

namespace dicom {
namespace {

constexpr quint32 kUndefinedLength = 0xFFFFFFFFu;
// A deflated data set is inflated for the count only up to this size; the nesting that matters
// shows long before (a few dozen bytes per level).
constexpr qint64 kMaxInflatedBytes = 64ll * 1024 * 1024;

struct Encoding
{
    bool implicit = false;
    bool bigEndian = false;
};

enum class Kind { Sequence, Item, Fragments };

struct Frame
{
    Kind kind;
    qint64 end; // -1: undefined length, ended by a delimiter
    Encoding encoding;
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

// Walks elements, sequences and items as DCMTK would nest them, without keeping any value.
int walkDataset(const uchar* data, qint64 size, qint64 pos, Encoding top, int stopAbove)
{
    std::vector<Frame> stack;
    int deepest = 0;
    auto push = [&](Kind kind, qint64 end, Encoding encoding) {
        stack.push_back(Frame{kind, end, encoding});
        // A level is a sequence and its item; items nested directly in items count half a level each.
        deepest = qMax(deepest, int((stack.size() + 1) / 2));
    };

    while (pos < size && deepest <= stopAbove) {
        while (!stack.empty() && stack.back().end >= 0 && pos >= stack.back().end)
            stack.pop_back();
        const Encoding enc = stack.empty() ? top : stack.back().encoding;
        if (pos + 8 > size)
            break;
        const quint16 group = read16(data + pos, enc.bigEndian);
        const quint16 element = read16(data + pos + 2, enc.bigEndian);

        if (group == 0xFFFE) {
            const quint32 length = read32(data + pos + 4, enc.bigEndian);
            pos += 8;
            if (element == 0xE000) {
                if (!stack.empty() && stack.back().kind == Kind::Fragments) {
                    if (length == kUndefinedLength)
                        break;
                    pos += length; // compressed frame data, nothing nested
                    continue;
                }
                push(Kind::Item, length == kUndefinedLength ? -1 : pos + length, enc);
            } else if (element == 0xE00D) {
                if (!stack.empty() && stack.back().kind == Kind::Item && stack.back().end < 0)
                    stack.pop_back();
            } else if (element == 0xE0DD) {
                if (!stack.empty() && stack.back().kind != Kind::Item && stack.back().end < 0)
                    stack.pop_back();
            }
            continue;
        }

        quint32 length = 0;
        bool sequence = false;
        bool unknownSequence = false; // UN holding a sequence: its content is implicit little endian
        if (enc.implicit) {
            length = read32(data + pos + 4, enc.bigEndian);
            pos += 8;
            sequence = length == kUndefinedLength || dictionarySaysSequence(group, element);
        } else {
            // The VR decides the length field as DCMTK decides it, unknown VRs included.
            const char text[3] = {char(data[pos + 4]), char(data[pos + 5]), '\0'};
            const DcmVR vr(text);
            if (vr.usesExtendedLengthEncoding()) {
                if (pos + 12 > size)
                    break;
                length = read32(data + pos + 8, enc.bigEndian);
                pos += 12;
            } else {
                length = read16(data + pos + 6, enc.bigEndian);
                pos += 8;
            }
            if (vr.getEVR() == EVR_SQ) {
                sequence = true;
            } else if (length == kUndefinedLength) {
                sequence = true;
                unknownSequence = vr.getEVR() == EVR_UN;
            } else if (vr.getEVR() == EVR_UN) {
                // DCMTK reads a UN value of a sequence the dictionary knows as that sequence; counting
                // every UN value that starts with an item is the safe side of that.
                sequence = unknownSequence = pos + 4 <= size && read32(data + pos, false) == 0xE000FFFEu;
            } else if (!vr.isStandard()) {
                sequence = dictionarySaysSequence(group, element); // DCMTK falls back on the dictionary
            }
        }

        const bool pixelFragments = group == 0x7FE0 && element == 0x0010 && length == kUndefinedLength;
        if (sequence || pixelFragments) {
            const Encoding inner = unknownSequence ? Encoding{true, false} : enc;
            push(pixelFragments ? Kind::Fragments : Kind::Sequence, length == kUndefinedLength ? -1 : pos + length,
                 inner);
            continue;
        }
        if (length == kUndefinedLength)
            break;
        pos += length;
    }
    return deepest;
}

// How far a deflated data set may grow before DCMTK is let to inflate it (see the header).
qint64 inflationLimit(qint64 deflatedBytes)
{
    return qMin(kMaxInflatedDatasetBytes, qMax(kInflationRatioFloor, deflatedBytes * kMaxInflationRatio));
}

// Inflates the raw deflate stream of a data set into `out` as far as `capacity` reaches and only
// counts the rest; stops once the count passes `stopAbove`. Returns the count.
qint64 inflateInto(const uchar* data, qint64 size, char* out, qint64 capacity, qint64 stopAbove)
{
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return 0;
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = uInt(qMin<qint64>(size, 0x7FFFFFFF));
    constexpr qint64 kChunk = 256 * 1024;
    std::vector<char> scratch;
    qint64 total = 0;
    int status = Z_OK;
    while (status == Z_OK && total <= stopAbove) {
        const bool keep = total < capacity;
        if (!keep && scratch.empty())
            scratch.resize(size_t(kChunk));
        const qint64 room = keep ? qMin(kChunk, capacity - total) : kChunk;
        stream.next_out = reinterpret_cast<Bytef*>(keep ? out + total : scratch.data());
        stream.avail_out = uInt(room);
        status = inflate(&stream, Z_NO_FLUSH);
        total += room - qint64(stream.avail_out);
        if (status == Z_BUF_ERROR && stream.avail_in == 0)
            break;
    }
    inflateEnd(&stream);
    return total;
}

struct Inflated
{
    QByteArray head;       // the first kMaxInflatedBytes, for the nesting walk
    bool tooLarge = false; // the whole would pass inflationLimit
};

// Raw deflate of everything after the meta header: counted first, so that a data set inflating past
// the limit costs no memory, then its head inflated into a buffer of the size needed.
Inflated inflateDataset(const uchar* data, qint64 size)
{
    Inflated result;
    const qint64 limit = inflationLimit(size);
    const qint64 total = inflateInto(data, size, nullptr, 0, limit);
    if (total > limit) {
        result.tooLarge = true;
        return result;
    }
    const qint64 kept = qMin(total, kMaxInflatedBytes);
    result.head.resize(qsizetype(kept));
    result.head.resize(qsizetype(inflateInto(data, size, result.head.data(), kept, kept - 1)));
    return result;
}

// The encoding DCMTK reads from a data set's first element: explicit VR when VR letters follow the
// tag, big endian when only the big-endian reading of the group is small.
Encoding detectedEncoding(const uchar* data, qint64 size, qint64 pos)
{
    if (pos + 6 > size)
        return Encoding{};
    const bool explicitVr = isVrLetter(data[pos + 4]) && isVrLetter(data[pos + 5]);
    return Encoding{!explicitVr, read16(data + pos, false) > 0xFF && read16(data + pos, true) <= 0xFF};
}

struct FileWalk
{
    int depth = 0;
    bool inflatesTooFar = false;
};

// Where the data set of a file with a DICM preamble starts and the transfer syntax its meta header
// names (always explicit VR little endian itself). Nothing when there is no readable meta header.
struct MetaHeader
{
    qint64 datasetStart = 0;
    QByteArray syntax;
};

std::optional<MetaHeader> readMetaHeader(const uchar* data, qint64 size)
{
    if (size < 132 || std::memcmp(data + 128, "DICM", 4) != 0)
        return std::nullopt;
    MetaHeader meta;
    qint64 pos = 132;
    while (pos + 8 <= size && read16(data + pos, false) == 0x0002) {
        const quint16 element = read16(data + pos + 2, false);
        qint64 length = 0;
        qint64 header = 8;
        const char text[3] = {char(data[pos + 4]), char(data[pos + 5]), '\0'};
        if (DcmVR(text).usesExtendedLengthEncoding()) {
            if (pos + 12 > size)
                return std::nullopt;
            length = read32(data + pos + 8, false);
            header = 12;
        } else {
            length = read16(data + pos + 6, false);
        }
        if (length == kUndefinedLength)
            return std::nullopt; // DCMTK refuses such a meta header
        if (element == 0x0010 && pos + header + length <= size)
            meta.syntax = QByteArray(reinterpret_cast<const char*>(data + pos + header), qsizetype(length));
        pos += header + length;
    }
    while (!meta.syntax.isEmpty() && (meta.syntax.endsWith('\0') || meta.syntax.endsWith(' ')))
        meta.syntax.chop(1);
    meta.datasetStart = pos;
    return meta;
}

bool isDeflated(const MetaHeader& meta)
{
    return meta.syntax == "1.2.840.10008.1.2.1.99";
}

// The encoding the meta header names; every compressed syntax is explicit VR little endian.
Encoding namedEncoding(const MetaHeader& meta)
{
    return Encoding{meta.syntax == "1.2.840.10008.1.2", meta.syntax == "1.2.840.10008.1.2.2"};
}

bool sameEncoding(Encoding a, Encoding b)
{
    return a.implicit == b.implicit && a.bigEndian == b.bigEndian;
}

FileWalk walkFile(const uchar* data, qint64 size, int stopAbove)
{
    const std::optional<MetaHeader> meta = readMetaHeader(data, size);
    if (!meta) {
        if (size >= 132 && std::memcmp(data + 128, "DICM", 4) == 0)
            return {};
        return {walkDataset(data, size, 0, detectedEncoding(data, size, 0), stopAbove)};
    }
    const qint64 pos = meta->datasetStart;
    if (isDeflated(*meta)) {
        if (pos >= size)
            return {};
        const Inflated inflated = inflateDataset(data + pos, size - pos);
        if (inflated.tooLarge)
            return {0, true};
        return {walkDataset(reinterpret_cast<const uchar*>(inflated.head.constData()), inflated.head.size(),
                            0, Encoding{}, stopAbove)};
    }
    const Encoding encoding = namedEncoding(*meta);
    const int depth = walkDataset(data, size, pos, encoding, stopAbove);
    // A data set that is not in the syntax named is read again as its first element shows it to be
    // (implicit VR big endian labelled explicit, say): it must be counted that way as well.
    const Encoding shown = detectedEncoding(data, size, pos);
    if (sameEncoding(shown, encoding))
        return {depth};
    return {qMax(depth, walkDataset(data, size, pos, shown, stopAbove))};
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

FileWalk walkPath(const QString& path, int stopAbove)
{
    return withFileBytes(path, FileWalk{},
                         [&](const uchar* data, qint64 size) { return walkFile(data, size, stopAbove); });
}

} // namespace

int sequenceNestingDepth(const QString& path, int stopAbove)
{
    return walkPath(path, stopAbove).depth;
}

int datasetNestingDepth(const uchar* data, qint64 size, const QString& transferSyntaxUid, int stopAbove)
{
    if (!data || size <= 0)
        return 0;
    const Encoding encoding{transferSyntaxUid == QLatin1String("1.2.840.10008.1.2"),
                            transferSyntaxUid == QLatin1String("1.2.840.10008.1.2.2")};
    return walkDataset(data, size, 0, encoding, stopAbove);
}

bool nestingWithinLimit(const QString& path)
{
    return sequenceNestingDepth(path, kMaxSequenceNesting) <= kMaxSequenceNesting;
}

ParseHazard parseHazard(const QString& path)
{
    const FileWalk walk = walkPath(path, kMaxSequenceNesting);
    if (walk.inflatesTooFar)
        return ParseHazard::InflatesTooFar;
    return walk.depth > kMaxSequenceNesting ? ParseHazard::DeepNesting : ParseHazard::None;
}

bool datasetEncodingDiffersFromMeta(const QString& path)
{
    return withFileBytes(path, false, [](const uchar* data, qint64 size) {
        const std::optional<MetaHeader> meta = readMetaHeader(data, size);
        if (!meta || isDeflated(*meta) || meta->datasetStart + 8 > size)
            return false;
        return !sameEncoding(detectedEncoding(data, size, meta->datasetStart), namedEncoding(*meta));
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
    case ParseHazard::None:
        break;
    }
    return {};
}

} // namespace dicom
