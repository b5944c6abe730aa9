#include "dicom/DicomNesting.h"

#include "dicom/GuardedDicomStream.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcvrui.h>
#include <dcmtk/dcmdata/dcistrmz.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dcvr.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QCoreApplication>
#include <QFile>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace dicom {
namespace {

constexpr quint32 kUndefinedLength = 0xFFFFFFFFu;

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

// A deflate stream as DCMTK inflates a deflated data set (raw, or with a zlib header where DCMTK is
// set to expect one), inflated into a window that slides along; inflating stops once more than
// `limit` bytes came out of it.
class InflatingSource final : public ByteSource
{
  public:
    InflatingSource(const uchar* data, qint64 size, qint64 limit)
        : m_input(data), m_inputLeft(size), m_limit(limit), m_window(kWindow)
    {
        std::memset(&m_stream, 0, sizeof m_stream);
        m_ready = (dcmZlibExpectRFC1950Encoding.get() ? inflateInit(&m_stream) : inflateInit2(&m_stream, -MAX_WBITS)) == Z_OK;
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
    // The stream reached its own end: it was neither cut short nor damaged.
    bool complete() const { return m_complete; }

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
        m_complete = status == Z_STREAM_END;
        return produced > 0 || !m_finished;
    }

    z_stream m_stream;
    bool m_ready = false;
    bool m_finished = false;
    bool m_complete = false;
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
    // A shape whose reading by DCMTK the walk cannot tell, or a value running past the end.
    bool unfollowable = false;
    bool truncated = false;
    // A value of defined length was walked as a sequence only because it starts with an item tag.
    bool guessedSequence = false;

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
        if (unfollowable)
            return ParseHazard::Unfollowable;
        if (truncated)
            return ParseHazard::Truncated;
        return ParseHazard::None;
    }
};

bool startsWithItemTag(ByteSource& source, bool bigEndian);

// Counts what DCMTK's reader makes of a data set without building it: the depth of nesting, the
// objects it makes and the steps its sorted insert takes. Where the bytes admit more than one reading
// the walk takes the one that counts more (a value that starts with an item may be a sequence by a
// dictionary the walk does not consult), and where it cannot tell what DCMTK does it gives up and
// says so: such data is refused rather than counted by guess. The depth it finds only spares DCMTK a
// parse that the stack guard would stop anyway.
class Walker
{
  public:
    // guessSequences: a value of defined length that starts with an item is walked as a sequence (what
    // counts more); otherwise as the plain bytes DCMTK reads where its dictionary says the tag holds no
    // sequence, so that the elements after it are those DCMTK reads then.
    explicit Walker(const WalkLimits& limits, bool guessSequences = true)
        : m_limits(limits), m_guessSequences(guessSequences)
    {
    }

    void walk(ByteSource& source, Encoding top);

    const WalkCount& count() const { return m_count; }
    bool passedLimits() const
    {
        return m_count.depth > m_limits.depth || m_count.elements > m_limits.elements ||
               m_count.reorderSteps > m_limits.reorderSteps || m_count.unfollowable || m_count.truncated;
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

    // The list an element read here joins: its item's. One read where items belong joins the item
    // around the sequence, as DCMTK's do once a delimiter has ended the sequence early.
    static ElementOrder& orderOfItemAround(std::vector<Frame>& stack, ElementOrder& top)
    {
        for (auto frame = stack.rbegin(); frame != stack.rend(); ++frame) {
            if (frame->kind == Kind::Item)
                return frame->order;
        }
        return top;
    }

    // The data ended inside an element's header, or inside a value of defined length that was walked
    // as a sequence: DCMTK may read a header from the bytes there are and a length it never had (from an
    // inflating stream), or take the value for one of that length, which it allocates whole where it
    // cannot leave it in a file.
    void noteUnfinished(const std::vector<Frame>& stack, ByteSource& source)
    {
        if (source.peek(1))
            m_count.truncated = true;
        for (const Frame& frame : stack) {
            if (frame.end > source.position())
                m_count.truncated = true;
        }
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

    // A value of defined length that starts with an item: a sequence when guessing.
    bool guessedSequence(ByteSource& source, bool bigEndian)
    {
        if (!m_guessSequences || !startsWithItemTag(source, bigEndian))
            return false;
        m_count.guessedSequence = true;
        return true;
    }

    WalkLimits m_limits;
    bool m_guessSequences;
    WalkCount m_count;
};

// Whether a value read as bytes could be a sequence to DCMTK: it starts with an item or a delimiter.
bool startsWithItemTag(ByteSource& source, bool bigEndian)
{
    const uchar* value = source.peek(4);
    return value && read16(value, bigEndian) == 0xFFFE;
}

void Walker::walk(ByteSource& source, Encoding top)
{
    std::vector<Frame> stack;
    ElementOrder topOrder;
    while (!passedLimits()) {
        while (!stack.empty() && stack.back().end >= 0 && source.position() >= stack.back().end)
            stack.pop_back();
        const Encoding enc = stack.empty() ? top : stack.back().encoding;
        const uchar* head = source.peek(8);
        if (!head) {
            noteUnfinished(stack, source);
            break;
        }
        const quint16 group = read16(head, enc.bigEndian);
        const quint16 element = read16(head + 2, enc.bigEndian);
        const bool amongItems = !stack.empty() && stack.back().kind != Kind::Item;

        if (group == 0xFFFE) {
            const quint32 length = read32(head + 4, enc.bigEndian);
            source.skip(8);
            if (element == 0xE000) {
                // An item where an element belongs: DCMTK's recovery is no business of this walk.
                if (!amongItems) {
                    m_count.unfollowable = true;
                    break;
                }
                ++m_count.elements;
                const bool fragment = stack.back().kind == Kind::Fragments;
                if (fragment && length != kUndefinedLength) {
                    if (!source.skip(length)) { // compressed frame data, nothing nested
                        m_count.truncated = true;
                        break;
                    }
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
            } else {
                // DCMTK's dictionary knows no other tag of this group and reads one with a VR of its
                // own, as an ordinary element or sequence.
                m_count.unfollowable = true;
                break;
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
            // Of defined length, the dictionary decides, and a private one knows its tags only with
            // their private creator: every value that starts with an item may be a sequence.
            sequence = !fragments && (length == kUndefinedLength || guessedSequence(source, enc.bigEndian));
        } else {
            const char text[3] = {char(head[4]), char(head[5]), '\0'};
            const DcmVR vr(text);
            // The length field as DCMTK reads it for this VR, standard or not.
            if (vr.usesExtendedLengthEncoding()) {
                const uchar* longHead = source.peek(12);
                if (!longHead) {
                    noteUnfinished(stack, source);
                    break;
                }
                length = read32(longHead + 8, enc.bigEndian);
                source.skip(12);
            } else {
                length = read16(head + 6, enc.bigEndian);
                source.skip(8);
            }
            const DcmEVR evr = vr.getEVR();
            if (!vr.isStandard()) {
                // A VR DCMTK does not know: of defined length it keeps the bytes; of undefined length
                // it reads a sequence by rules the walk does not follow.
                if (length == kUndefinedLength) {
                    m_count.unfollowable = true;
                    break;
                }
            } else if (evr == EVR_SQ) {
                sequence = true;
            } else if (length == kUndefinedLength) {
                // Only Pixel Data as OB or OW holds fragments; as UN, or any other VR, it is counted
                // as a sequence.
                fragments = pixelData && (evr == EVR_OB || evr == EVR_OW);
                sequence = !fragments;
                unknownSequence = evr == EVR_UN;
            } else if (evr == EVR_UN) {
                // DCMTK reads a UN value of a tag its dictionaries know as a sequence as that sequence:
                // every UN value that starts with an item counts as one.
                sequence = unknownSequence = guessedSequence(source, false);
            }
        }

        noteElement(orderOfItemAround(stack, topOrder), (quint32(group) << 16) | element);
        if (fragments || sequence) {
            const Encoding inner = unknownSequence ? Encoding{true, false} : enc;
            push(stack, fragments ? Kind::Fragments : Kind::Sequence,
                 length == kUndefinedLength ? -1 : source.position() + length, inner);
            continue;
        }
        if (!source.skip(length)) {
            m_count.truncated = true;
            break;
        }
    }
}

// How far a deflated data set may grow before DCMTK is let to inflate it (see the header).
qint64 inflationLimit(qint64 deflatedBytes)
{
    return qMin(kMaxInflatedDatasetBytes, qMax(kInflationRatioFloor, deflatedBytes * kMaxInflationRatio));
}

Encoding encodingOf(E_TransferSyntax syntax)
{
    const DcmXfer xfer(syntax);
    return Encoding{xfer.isImplicitVR(), xfer.getByteOrder() == EBO_BigEndian};
}

bool sameEncoding(Encoding a, Encoding b)
{
    return a.implicit == b.implicit && a.bigEndian == b.bigEndian;
}

bool inflates(E_TransferSyntax syntax)
{
    return syntax != EXS_Unknown && DcmXfer(syntax).getStreamCompression() != ESC_none;
}

// The encoding the data set's first element shows: explicit VR when VR letters follow the tag, big
// endian when only the big-endian reading of the group is small. A group small either way (group
// 0000) shows no byte order, and the named one stands.
Encoding shownEncoding(const uchar* data, qint64 size, qint64 pos, Encoding named)
{
    if (pos < 0 || pos + 6 > size)
        return named;
    const bool explicitVr = isVrLetter(data[pos + 4]) && isVrLetter(data[pos + 5]);
    const bool smallLittle = read16(data + pos, false) <= 0xFF;
    const bool smallBig = read16(data + pos, true) <= 0xFF;
    return Encoding{!explicitVr, smallLittle != smallBig ? !smallLittle && smallBig : named.bigEndian};
}

// The transfer syntax the meta header names as DCMTK finds it for its reader (DcmFileFormat's own
// look-up is private to it): anywhere in the header, in the items of its sequences too.
E_TransferSyntax namedSyntax(DcmMetaInfo& meta)
{
    DcmStack stack;
    if (meta.isEmpty() || meta.search(DCM_TransferSyntaxUID, stack).bad() || stack.top()->ident() != EVR_UI ||
        stack.top()->getTag().getXTag() != DCM_TransferSyntaxUID)
        return EXS_Unknown;
    char* uid = nullptr;
    static_cast<DcmUniqueIdentifier*>(stack.top())->getString(uid);
    return DcmXfer(uid).getXfer();
}

// Gives access to DCMTK's own detection of a data set's encoding from its first bytes.
class EncodingProbe : public DcmItem
{
  public:
    using DcmItem::checkTransferSyntax;
};

// A meta header holds a few UIDs and names: DCMTK reading more of one than this is no meta header.
constexpr qint64 kMaxMetaHeaderBytesRead = 64 * 1024;

// What DCMTK makes of a file before its data set, read by DCMTK itself on a stream of its own.
struct FileLayout
{
    bool read = false;
    ParseHazard hazard = ParseHazard::None;
    DatasetStart start;
};

FileLayout readLayout(const QString& path)
{
    FileLayout layout;
    GuardedReading reading;
    GuardedFileStream stream(reading, OFFilename(QFile::encodeName(path).constData()));
    OFCondition status = stream.status();
    if (status.bad())
        return layout;
    DcmMetaInfo meta;
    layout.hazard = readMetaHeader(meta, stream, reading, layout.start, status);
    layout.read = layout.hazard == ParseHazard::None && status.good();
    return layout;
}

WalkCount walkBytes(const uchar* data, qint64 size, qint64 start, Encoding encoding, const WalkLimits& limits,
                    bool guessSequences)
{
    Walker walker(limits, guessSequences);
    MemorySource source(data, size, start);
    walker.walk(source, encoding);
    return walker.count();
}

WalkCount walkInflated(const uchar* data, qint64 size, qint64 start, Encoding encoding, const WalkLimits& limits,
                       bool guessSequences)
{
    const qint64 deflated = size - qMin(size, start);
    Walker walker(limits, guessSequences);
    InflatingSource source(data + (size - deflated), deflated, inflationLimit(deflated));
    walker.walk(source, encoding);
    if (!walker.passedLimits())
        source.drain();
    WalkCount count = walker.count();
    // Whatever the walk made of it, DCMTK inflates the whole stream.
    count.inflatesTooFar = source.passedLimit();
    // Past the end of a stream cut short, DCMTK goes on reading bytes its buffer held before, which no
    // walk can follow: the data set is refused as cut short, even where it ends between two elements.
    count.truncated = count.truncated || (!count.inflatesTooFar && !walker.passedLimits() && !source.complete());
    return count;
}

// The data set DCMTK reads in `syntax` (EXS_Unknown: as its first bytes show), from `start`.
WalkCount walkDataset(const uchar* data, qint64 size, qint64 start, E_TransferSyntax syntax, E_TransferSyntax detected,
                      const WalkLimits& limits)
{
    const E_TransferSyntax read = syntax == EXS_Unknown ? detected : syntax;
    if (inflates(read) && DcmXfer(read).getStreamCompression() != ESC_zlib)
        return {}; // DCMTK refuses a stream compression it cannot undo
    const auto walkOnce = [&](bool guessSequences) {
        return inflates(read) ? walkInflated(data, size, start, encodingOf(read), limits, guessSequences)
                              : walkBytes(data, size, start, encodingOf(read), limits, guessSequences);
    };
    WalkCount count = walkOnce(true);
    // A value walked as a sequence by its first bytes may be plain bytes to DCMTK (a tag its dictionary
    // knows as a string, say): then the elements after it are read from bytes the sequence's items
    // covered, a length running far past the end among them. The data set is walked that way too, and a
    // hazard of either reading refuses it.
    if (count.guessedSequence && count.hazard(limits) == ParseHazard::None) {
        const WalkCount plain = walkOnce(false);
        count.inflatesTooFar = count.inflatesTooFar || plain.inflatesTooFar;
        count.depth = qMax(count.depth, plain.depth);
        count.elements = qMax(count.elements, plain.elements);
        count.reorderSteps = qMax(count.reorderSteps, plain.reorderSteps);
        count.unfollowable = count.unfollowable || plain.unfollowable;
        count.truncated = count.truncated || plain.truncated;
    }
    return count;
}

// Whether the reader must read the data set again in the encoding its first element shows: the meta
// header names an uncompressed encoding (or a compressed syntax, whose elements are explicit VR little
// endian) other than the one the data set is in.
bool encodingDiffers(const uchar* data, qint64 size, const DatasetStart& start)
{
    if (start.named == EXS_Unknown || inflates(start.named) || start.offset + 8 > size)
        return false;
    const Encoding named = encodingOf(start.named);
    return !sameEncoding(shownEncoding(data, size, start.offset, named), named);
}

struct FileWalk
{
    ParseHazard hazard = ParseHazard::None; // found before the data set
    WalkCount count;
    bool encodingDiffersFromMeta = false;
};

FileWalk walkFile(const uchar* data, qint64 size, const DatasetStart& start, const WalkLimits& limits)
{
    FileWalk result;
    // A data set that is not in the syntax named is read as DCMTK detects it instead.
    result.encodingDiffersFromMeta = encodingDiffers(data, size, start);
    result.count = walkDataset(data, size, start.offset, result.encodingDiffersFromMeta ? EXS_Unknown : start.named,
                               start.detected, limits);
    return result;
}

// Files up to kLargestReadFile are read into a buffer the thread keeps: a mapping costs little to
// make, but its removal stops every core that ran one of the program's threads to clear the mapping
// from its address cache, once per file of a retrieve on the thread receiving and on the one listing.
// A CT or MR slice fits; a larger file costs more to copy than its mapping's removal, and each thread
// that reads files would keep a buffer of its size.

// Runs `use` on the file's bytes (mapped where they are many); `fallback` when it cannot be read.
template <typename Result, typename Use> Result withFileBytes(const QString& path, Result fallback, Use use)
{
    qint64 read = 0;
    if (const uchar* bytes = readSmallFile(path, &read))
        return use(bytes, read);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fallback;
    const qint64 size = file.size();
    if (size <= kLargestReadFile)
        return fallback; // neither small nor large: gone, or unreadable, since it was looked at
    if (const uchar* mapped = file.map(0, size))
        return use(mapped, size);
    const QByteArray bytes = file.readAll();
    return use(reinterpret_cast<const uchar*>(bytes.constData()), bytes.size());
}

} // namespace

const uchar* readSmallFile(const QString& path, qint64* size)
{
    thread_local std::vector<uchar> buffer;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    struct stat info = {};
    qint64 got = 0;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 && info.st_size <= kLargestReadFile) {
        if (buffer.size() < size_t(info.st_size))
            buffer.resize(size_t(info.st_size));
        // A file cut short meanwhile gives what it still holds.
        for (ssize_t n = 0; got < info.st_size; got += n) {
            n = ::read(fd, buffer.data() + got, size_t(info.st_size - got));
            if (n < 0 && errno == EINTR)
                n = 0;
            else if (n <= 0)
                break;
        }
    }
    ::close(fd);
    *size = got;
    return got > 0 ? buffer.data() : nullptr;
}

namespace {

FileWalk walkDatasetOfFile(const QString& path, const DatasetStart& start, const WalkLimits& limits)
{
    return withFileBytes(path, FileWalk{},
                         [&](const uchar* data, qint64 size) { return walkFile(data, size, start, limits); });
}

FileWalk walkPath(const QString& path, const WalkLimits& limits)
{
    const FileLayout layout = readLayout(path);
    if (!layout.read) {
        FileWalk refused;
        refused.hazard = layout.hazard;
        return refused;
    }
    return walkDatasetOfFile(path, layout.start, limits);
}

WalkFigures figuresOf(const FileWalk& walk, const WalkLimits& limits)
{
    const ParseHazard hazard = walk.hazard != ParseHazard::None ? walk.hazard : walk.count.hazard(limits);
    return {hazard, walk.count.depth, walk.count.elements};
}

} // namespace

ParseHazard readMetaHeader(DcmMetaInfo& meta, DcmInputStream& stream, GuardedReading& reading, DatasetStart& start,
                           OFCondition& status)
{
    reading.readBudget = reading.bytesRead + kMaxMetaHeaderBytesRead;
    meta.transferInit();
    status = meta.read(stream, EXS_Unknown, EGL_noChange, DCM_MaxReadLength);
    meta.transferEnd();
    reading.readBudget = -1;
    if (reading.guard.tripped())
        return ParseHazard::DeepNesting;
    if (reading.overBudget)
        return ParseHazard::Unfollowable;
    // DCMTK gives up on the file here itself.
    if (status.bad())
        return ParseHazard::None;
    start.offset = qint64(stream.tell());
    start.named = namedSyntax(meta);
    start.detected = EncodingProbe().checkTransferSyntax(stream);
    return ParseHazard::None;
}

FileCheck checkFileDataset(const QString& path, const DatasetStart& start)
{
    const WalkLimits limits;
    const FileWalk walk = walkDatasetOfFile(path, start, limits);
    const ParseHazard hazard = figuresOf(walk, limits).hazard;
    return {hazard, hazard == ParseHazard::None && walk.encodingDiffersFromMeta};
}

FileCheck checkFileDataset(const uchar* data, qint64 size, const DatasetStart& start)
{
    const WalkLimits limits;
    const FileWalk walk = walkFile(data, size, start, limits);
    const ParseHazard hazard = figuresOf(walk, limits).hazard;
    return {hazard, hazard == ParseHazard::None && walk.encodingDiffersFromMeta};
}

int sequenceNestingDepth(const QString& path, int stopAbove)
{
    WalkLimits limits = kNoCountLimits;
    limits.depth = stopAbove;
    return walkPath(path, limits).count.depth;
}

WalkFigures walkFigures(const QString& path)
{
    const WalkLimits limits;
    return figuresOf(walkPath(path, limits), limits);
}

WalkFigures walkFigures(const uchar* data, qint64 size, E_TransferSyntax syntax)
{
    if (!data || size <= 0)
        return {};
    E_TransferSyntax detected = EXS_Unknown;
    if (syntax == EXS_Unknown) {
        GuardedReading reading;
        GuardedBufferStream stream(reading);
        stream.setBuffer(data, offile_off_t(size));
        stream.setEos();
        detected = EncodingProbe().checkTransferSyntax(stream);
    }
    const WalkLimits limits;
    const WalkCount count = walkDataset(data, size, 0, syntax, detected, limits);
    return {count.hazard(limits), count.depth, count.elements};
}

ParseHazard checkDataset(const uchar* data, qint64 size, E_TransferSyntax syntax)
{
    return walkFigures(data, size, syntax).hazard;
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
    case ParseHazard::Unfollowable:
        return QCoreApplication::translate(
            "dicom", "Файл отклонён: набор данных закодирован нестандартно, безопасно прочитать его нельзя.");
    case ParseHazard::Truncated:
        return QCoreApplication::translate("dicom", "Файл повреждён: значение элемента выходит за конец файла.");
    case ParseHazard::None:
        break;
    }
    return {};
}

} // namespace dicom
