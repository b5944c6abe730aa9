#include "dicom/DicomNesting.h"

#include "dicom/FileDescriptorStream.h"
#include "dicom/GuardedDicomStream.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdict.h>
#include <dcmtk/dcmdata/dcdicent.h>
#include <dcmtk/dcmdata/dcstack.h>
#include <dcmtk/dcmdata/dcvrui.h>
#include <dcmtk/dcmdata/dcistrmz.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dctag.h>
#include <dcmtk/dcmdata/dcvr.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <QCoreApplication>

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <unordered_set>
#include <vector>

#include <unistd.h>

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

// The bytes a walk reads, front to back: a data set held in memory, a file read as the walk goes, or a
// deflated data set inflated as the walk goes, so that no more than a small window of it is ever kept.
class ByteSource
{
  public:
    virtual ~ByteSource() = default;
    // The next `n` bytes (at most kMaxPeek), valid until the next call; null when fewer are left.
    virtual const uchar* peek(int n) = 0;
    // Moves on by `n` bytes; false when the data ends first.
    virtual bool skip(qint64 n) = 0;
    // The bytes from here on that are at hand, at most `most` of them, moving past them; null at the end.
    virtual const uchar* take(qint64 most, qint64* taken) = 0;
    qint64 position() const { return m_position; }

    static constexpr int kMaxPeek = 256;

  protected:
    qint64 m_position = 0;
};

// Bytes of a known length, which the walk skips without reading them.
class SizedSource : public ByteSource
{
  public:
    bool skip(qint64 n) override
    {
        if (n > m_size - m_position) {
            m_position = m_size;
            return false;
        }
        m_position += n;
        return true;
    }

  protected:
    SizedSource(qint64 size, qint64 start) : m_size(size) { m_position = qBound<qint64>(0, start, size); }

    qint64 m_size;
};

class MemorySource final : public SizedSource
{
  public:
    MemorySource(const uchar* data, qint64 size, qint64 start = 0) : SizedSource(size, start), m_data(data) {}

    const uchar* peek(int n) override { return n <= m_size - m_position ? m_data + m_position : nullptr; }

    const uchar* take(qint64 most, qint64* taken) override
    {
        *taken = qMin(most, m_size - m_position);
        if (*taken <= 0)
            return nullptr;
        m_position += *taken;
        return m_data + m_position - *taken;
    }

  private:
    const uchar* m_data;
};

// A file read as the walk goes, through a window that moves along it: a value the walk skips is never
// read, so a CT slice costs one read of its header, and a file of any size costs no more memory than
// the window. Reads that fail or come back short end the data where they do; a file that another
// program cuts short or rewrites meanwhile is found changed afterwards (walkDatasetOfFile), never read
// through a mapping whose pages may vanish.
class FileSource final : public SizedSource
{
  public:
    FileSource(int fd, qint64 size, qint64 start) : SizedSource(size, start), m_fd(fd), m_window(new uchar[kWindow])
    {
    }

    const uchar* peek(int n) override
    {
        if (n > m_size - m_position)
            return nullptr;
        if (m_position < m_windowStart || m_position + n > m_windowStart + m_windowLength)
            fill();
        return n <= m_windowStart + m_windowLength - m_position ? m_window.get() + (m_position - m_windowStart)
                                                                 : nullptr;
    }

    const uchar* take(qint64 most, qint64* taken) override
    {
        *taken = 0;
        if (!peek(1))
            return nullptr;
        *taken = qMin(most, m_windowStart + m_windowLength - m_position);
        m_position += *taken;
        return m_window.get() + (m_position - *taken - m_windowStart);
    }

  private:
    static constexpr qint64 kWindow = 64 * 1024;

    // Reads the window from the position on; where the file ends sooner than it did when opened, the
    // data ends there.
    void fill()
    {
        const qint64 wanted = qMin(kWindow, m_size - m_position);
        qint64 got = 0;
        while (got < wanted) {
            const ssize_t n = ::pread(m_fd, m_window.get() + got, size_t(wanted - got), off_t(m_position + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        m_windowStart = m_position;
        m_windowLength = got;
        if (got < wanted)
            m_size = m_position + got;
    }

    int m_fd;
    std::unique_ptr<uchar[]> m_window;
    qint64 m_windowStart = 0;
    qint64 m_windowLength = 0;
};

// A deflate stream as DCMTK inflates a deflated data set (raw, or with a zlib header where DCMTK is
// set to expect one), inflated into a window that slides along; inflating stops once more than
// `limit` bytes came out of it.
class InflatingSource final : public ByteSource
{
  public:
    InflatingSource(ByteSource& input, qint64 limit) : m_input(input), m_limit(limit), m_window(kWindow)
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

    const uchar* take(qint64 most, qint64* taken) override
    {
        *taken = 0;
        if (m_begin == m_end && !fill())
            return nullptr;
        *taken = qMin(most, m_end - m_begin);
        m_begin += *taken;
        m_position += *taken;
        return m_window.data() + m_begin - *taken;
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
        if (m_stream.avail_in == 0) {
            qint64 chunk = 0;
            if (const uchar* input = m_input.take(1 << 30, &chunk)) {
                m_stream.next_in = const_cast<Bytef*>(input);
                m_stream.avail_in = uInt(chunk);
            }
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
    ByteSource& m_input;
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
    // Where such a value starts that held an element longer than the item of defined length around it,
    // or -1. DCMTK, reading the value as a sequence, stops there with an error before it reads the
    // element: any reading of DCMTK's that goes on took the value for plain bytes. The walk stopped.
    qint64 failedGuessAt = -1;

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
bool dictionaryMayCallSequence(quint16 group, quint16 element);

// Counts what DCMTK's reader makes of a data set without building it: the depth of nesting, the
// objects it makes and the steps its sorted insert takes. Where the bytes admit more than one reading
// the walk takes the one that counts more (a value that starts with an item is a sequence where
// DCMTK's dictionary calls its tag one, which for a private tag depends on a private creator the walk
// does not resolve), and where it cannot tell what DCMTK does it gives up and says so: such data is
// refused rather than counted by guess. The depth it finds only spares DCMTK a parse that the stack
// guard would stop anyway.
class Walker
{
  public:
    // guessSequences: a value of defined length that starts with an item is walked as a sequence (what
    // counts more), except the values starting at `bytesAt`; otherwise as the plain bytes DCMTK reads
    // where its dictionary says the tag holds no sequence, so that the elements after it are those
    // DCMTK reads then.
    Walker(const WalkLimits& limits, bool guessSequences, std::vector<qint64> bytesAt = {})
        : m_limits(limits), m_guessSequences(guessSequences), m_bytesAt(std::move(bytesAt))
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
        qint64 guessedAt; // where the value walked as a sequence by guess starts, or -1
        bool guessed;     // within such a value
    };

    void push(std::vector<Frame>& stack, Kind kind, qint64 end, Encoding encoding, qint64 guessedAt = -1)
    {
        const bool guessed = guessedAt >= 0 || (!stack.empty() && stack.back().guessed);
        stack.push_back(Frame{kind, end, encoding, {}, guessedAt, guessed});
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

    // An element whose value runs past the end of the item of defined length it is in: DCMTK stops
    // before reading it. Inside a value walked as a sequence by guess, that value is noted as failed.
    bool noteGuessFailed(const std::vector<Frame>& stack, qint64 position, quint32 length)
    {
        if (stack.empty() || !stack.back().guessed || stack.back().kind != Kind::Item || stack.back().end < 0 ||
            length == kUndefinedLength || qint64(length) <= stack.back().end - position)
            return false;
        for (auto frame = stack.rbegin(); frame != stack.rend(); ++frame) {
            if (frame->guessedAt >= 0) {
                m_count.failedGuessAt = frame->guessedAt;
                break;
            }
        }
        return true;
    }

    // A value of defined length that starts with an item: a sequence when guessing, unless DCMTK's
    // dictionary calls its tag no sequence under any private creator or its own; then DCMTK reads it
    // as bytes.
    bool guessedSequence(ByteSource& source, bool bigEndian, quint16 group, quint16 element)
    {
        if (!m_guessSequences || !startsWithItemTag(source, bigEndian) || !dictionaryMayCallSequence(group, element) ||
            std::find(m_bytesAt.begin(), m_bytesAt.end(), source.position()) != m_bytesAt.end())
            return false;
        m_count.guessedSequence = true;
        return true;
    }

    WalkLimits m_limits;
    bool m_guessSequences;
    std::vector<qint64> m_bytesAt;
    WalkCount m_count;
};

// Whether a value read as bytes could be a sequence to DCMTK: it starts with an item or a delimiter.
bool startsWithItemTag(ByteSource& source, bool bigEndian)
{
    const uchar* value = source.peek(4);
    return value && read16(value, bigEndian) == 0xFFFE;
}

// DCMTK's dictionary as far as it decides whether a value of defined length is a sequence: its public
// sequence tags, the ranges of its repeating ones, and, for a private tag, the group and the element's
// last byte of every private sequence under whatever creator, since which creator DCMTK finds for an
// element is its own business. A tag none of these can match is never a sequence to DCMTK.
class SequenceTags
{
  public:
    SequenceTags()
    {
        DcmDataDictionary& dictionary = dcmDataDict.wrlock();
        for (auto entry = dictionary.normalBegin(); entry != dictionary.normalEnd(); ++entry)
            note(**entry);
        for (auto entry = dictionary.repeatingBegin(); entry != dictionary.repeatingEnd(); ++entry)
            note(**entry);
        dcmDataDict.wrunlock();
    }

    bool mayBeSequence(quint16 group, quint16 element) const
    {
        if (m_public.count(key(group, element)) || m_private.count(key(group, element & 0xFF)))
            return true;
        return std::any_of(m_ranges.begin(), m_ranges.end(), [&](const Range& range) {
            const quint16 e = range.privateBlock ? element & 0xFF : element;
            return group >= range.group && group <= range.upperGroup && e >= range.element && e <= range.upperElement;
        });
    }

  private:
    struct Range
    {
        quint16 group, upperGroup, element, upperElement;
        bool privateBlock;
    };

    static quint32 key(quint16 group, quint16 element) { return (quint32(group) << 16) | element; }

    void note(const DcmDictEntry& entry)
    {
        if (entry.getEVR() != EVR_SQ)
            return;
        const bool privateBlock = entry.getPrivateCreator() != nullptr;
        const quint16 mask = privateBlock ? 0xFF : 0xFFFF;
        if (entry.isRepeating())
            m_ranges.push_back({entry.getGroup(), entry.getUpperGroup(), quint16(entry.getElement() & mask),
                                quint16(entry.getUpperElement() & mask), privateBlock});
        else
            (privateBlock ? m_private : m_public).insert(key(entry.getGroup(), entry.getElement() & mask));
    }

    std::unordered_set<quint32> m_public;
    std::unordered_set<quint32> m_private;
    std::vector<Range> m_ranges;
};

bool dictionaryMayCallSequence(quint16 group, quint16 element)
{
    static const SequenceTags tags;
    return tags.mayBeSequence(group, element);
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
        bool guessed = false;         // of defined length, a sequence only by guess
        if (enc.implicit) {
            length = read32(head + 4, enc.bigEndian);
            source.skip(8);
            // Pixel Data is OB or OW by the dictionary: of undefined length, it holds fragments.
            fragments = pixelData && length == kUndefinedLength;
            // Of defined length, the dictionary decides, and a private one knows its tags only with
            // their private creator: a value that starts with an item may be a sequence wherever the
            // dictionary has one of its tag under any creator.
            guessed = !fragments && length != kUndefinedLength && guessedSequence(source, enc.bigEndian, group, element);
            sequence = !fragments && (length == kUndefinedLength || guessed);
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
                // a UN value that starts with an item counts as one where it may be.
                sequence = unknownSequence = guessed = guessedSequence(source, false, group, element);
            }
        }

        if (noteGuessFailed(stack, source.position(), length))
            break;
        noteElement(orderOfItemAround(stack, topOrder), (quint32(group) << 16) | element);
        if (fragments || sequence) {
            const Encoding inner = unknownSequence ? Encoding{true, false} : enc;
            push(stack, fragments ? Kind::Fragments : Kind::Sequence,
                 length == kUndefinedLength ? -1 : source.position() + length, inner,
                 guessed ? source.position() : -1);
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
Encoding shownEncoding(const uchar* head, Encoding named)
{
    const bool explicitVr = isVrLetter(head[4]) && isVrLetter(head[5]);
    const bool smallLittle = read16(head, false) <= 0xFF;
    const bool smallBig = read16(head, true) <= 0xFF;
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

// What DCMTK makes of a file before its data set, read by DCMTK itself on a stream over the opening the
// walk reads.
struct FileLayout
{
    bool read = false;
    ParseHazard hazard = ParseHazard::None;
    DatasetStart start;
};

FileLayout readLayout(const std::shared_ptr<const OpenedFile>& file)
{
    FileLayout layout;
    GuardedReading reading;
    Guarded<FileDescriptorStream> stream(reading, file);
    OFCondition status = stream.status();
    if (status.bad())
        return layout;
    DcmMetaInfo meta;
    layout.hazard = readMetaHeader(meta, stream, reading, layout.start, status);
    layout.read = layout.hazard == ParseHazard::None && status.good();
    return layout;
}

// The bytes of a data set as a walk reads them: held in memory, or in a file read as the walk goes.
class DatasetBytes
{
  public:
    DatasetBytes(const uchar* data, qint64 size) : m_data(data), m_size(size) {}
    DatasetBytes(int fd, qint64 size) : m_fd(fd), m_size(size) {}

    qint64 size() const { return m_size; }
    std::unique_ptr<ByteSource> from(qint64 start) const
    {
        if (m_fd >= 0)
            return std::make_unique<FileSource>(m_fd, m_size, start);
        return std::make_unique<MemorySource>(m_data, m_size, start);
    }

  private:
    const uchar* m_data = nullptr;
    int m_fd = -1;
    qint64 m_size = 0;
};

WalkCount walkPlain(const DatasetBytes& bytes, qint64 start, Encoding encoding, Walker walker)
{
    walker.walk(*bytes.from(start), encoding);
    return walker.count();
}

WalkCount walkInflated(const DatasetBytes& bytes, qint64 start, Encoding encoding, Walker walker)
{
    const qint64 deflated = bytes.size() - qBound<qint64>(0, start, bytes.size());
    const std::unique_ptr<ByteSource> input = bytes.from(start);
    InflatingSource source(*input, inflationLimit(deflated));
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

// Values walked as sequences by guess that a data set may hold and turn out plain bytes, each costing
// one more walk: a data set with more is refused.
constexpr size_t kMostFailedGuesses = 16;

// The data set DCMTK reads in `syntax` (EXS_Unknown: as its first bytes show), from `start`.
WalkCount walkDataset(const DatasetBytes& bytes, qint64 start, E_TransferSyntax syntax, E_TransferSyntax detected,
                      const WalkLimits& limits)
{
    const E_TransferSyntax read = syntax == EXS_Unknown ? detected : syntax;
    if (inflates(read) && DcmXfer(read).getStreamCompression() != ESC_zlib)
        return {}; // DCMTK refuses a stream compression it cannot undo
    const auto walkOnce = [&](bool guessSequences, const std::vector<qint64>& bytesAt = {}) {
        const Walker walker(limits, guessSequences, bytesAt);
        return inflates(read) ? walkInflated(bytes, start, encodingOf(read), walker)
                              : walkPlain(bytes, start, encodingOf(read), walker);
    };
    WalkCount count = walkOnce(true);
    // A value walked as a sequence by guess whose item holds an element longer than itself is plain bytes
    // to whatever reading of DCMTK's goes on (private bytes that merely start like an item, or an item
    // written in another encoding than the data set): the data set is walked again with that value
    // read as bytes. What the walk counted before stopping is kept: DCMTK, reading the value as a
    // sequence, gets that far before it stops.
    std::vector<qint64> bytesAt;
    while (count.failedGuessAt >= 0 && count.hazard(limits) == ParseHazard::None) {
        if (bytesAt.size() == kMostFailedGuesses) {
            count.unfollowable = true;
            break;
        }
        bytesAt.push_back(count.failedGuessAt);
        const WalkCount before = count;
        count = walkOnce(true, bytesAt);
        count.depth = qMax(count.depth, before.depth);
        count.elements = qMax(count.elements, before.elements);
        count.reorderSteps = qMax(count.reorderSteps, before.reorderSteps);
    }
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
bool encodingDiffers(const DatasetBytes& bytes, const DatasetStart& start)
{
    if (start.named == EXS_Unknown || inflates(start.named) || start.offset < 0)
        return false;
    const std::unique_ptr<ByteSource> source = bytes.from(start.offset);
    const uchar* head = source->peek(8);
    if (!head)
        return false;
    const Encoding named = encodingOf(start.named);
    return !sameEncoding(shownEncoding(head, named), named);
}

struct FileWalk
{
    ParseHazard hazard = ParseHazard::None; // found before the data set, or a file changed meanwhile
    WalkCount count;
    bool encodingDiffersFromMeta = false;
};

FileWalk walkFile(const DatasetBytes& bytes, const DatasetStart& start, const WalkLimits& limits)
{
    FileWalk result;
    // A data set that is not in the syntax named is read as DCMTK detects it instead.
    result.encodingDiffersFromMeta = encodingDiffers(bytes, start);
    result.count = walkDataset(bytes, start.offset, result.encodingDiffersFromMeta ? EXS_Unknown : start.named,
                               start.detected, limits);
    return result;
}

struct
{
    void (*hook)(void*) = nullptr;
    void* context = nullptr;
} beforeWalk;

// Walks the data set of the opened file from `start`, reading it as the walk goes.
FileWalk walkDatasetOfFile(const OpenedFile& file, const DatasetStart& start, const WalkLimits& limits)
{
    // A file another program cut short, wrote into or lengthened since it was opened differs in its
    // size or its times of change afterwards.
    const int fd = file.descriptor();
    const FileIdentity& opened = file.identity();
    FileWalk walk;
    if (opened.size > 0) {
        if (beforeWalk.hook)
            beforeWalk.hook(beforeWalk.context);
        walk = walkFile(DatasetBytes(fd, opened.size), start, limits);
        if (fileIdentity(fd) != opened)
            walk.hazard = ParseHazard::Changed;
    }
    return walk;
}

// A file that cannot be opened is left to whoever reads it next, who says why.
FileWalk walkPath(const QString& path, const WalkLimits& limits)
{
    const std::shared_ptr<const OpenedFile> file = OpenedFile::open(path);
    if (!file)
        return {};
    const FileLayout layout = readLayout(file);
    if (!layout.read) {
        FileWalk refused;
        refused.hazard = layout.hazard;
        return refused;
    }
    return walkDatasetOfFile(*file, layout.start, limits);
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

const uchar* readSmallFile(const OpenedFile& file, qint64* size)
{
    thread_local std::vector<uchar> buffer;
    const qint64 length = file.identity().size;
    qint64 got = 0;
    if (length > 0 && length <= kLargestReadFile) {
        if (buffer.size() < size_t(length))
            buffer.resize(size_t(length));
        // A file cut short meanwhile gives what it still holds.
        for (ssize_t n = 0; got < length; got += n) {
            n = ::pread(file.descriptor(), buffer.data() + got, size_t(length - got), off_t(got));
            if (n < 0 && errno == EINTR)
                n = 0;
            else if (n <= 0)
                break;
        }
    }
    *size = got;
    return got > 0 ? buffer.data() : nullptr;
}

FileCheck checkFileDataset(const OpenedFile& file, const DatasetStart& start)
{
    const WalkLimits limits;
    const FileWalk walk = walkDatasetOfFile(file, start, limits);
    const ParseHazard hazard = figuresOf(walk, limits).hazard;
    return {hazard, hazard == ParseHazard::None && walk.encodingDiffersFromMeta};
}

FileCheck checkFileDataset(const uchar* data, qint64 size, const DatasetStart& start)
{
    if (beforeWalk.hook)
        beforeWalk.hook(beforeWalk.context);
    const WalkLimits limits;
    const FileWalk walk = walkFile(DatasetBytes(data, size), start, limits);
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
    const WalkCount count = walkDataset(DatasetBytes(data, size), 0, syntax, detected, limits);
    return {count.hazard(limits), count.depth, count.elements};
}

ParseHazard checkDataset(const uchar* data, qint64 size, E_TransferSyntax syntax)
{
    return walkFigures(data, size, syntax).hazard;
}

void testing::setBeforeWalkHook(void (*hook)(void* context), void* context)
{
    beforeWalk = {hook, context};
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
    case ParseHazard::Changed:
        return QCoreApplication::translate("dicom", "Файл изменился или стал недоступен во время чтения.");
    case ParseHazard::OtherObject:
        return QCoreApplication::translate("dicom", "В файле на диске теперь другой снимок, не тот, что в списке "
                                                    "исследования.");
    case ParseHazard::None:
        break;
    }
    return {};
}

} // namespace dicom
