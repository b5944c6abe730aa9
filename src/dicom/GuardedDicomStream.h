#pragma once
// DCMTK parses nested sequences by recursion, some one and a half kilobytes of stack per level, and
// opens a level only after reading an item tag from its input stream. The streams here measure the
// thread's stack at every read and end the input once the parse has come within a reserve of the
// stack's end: DCMTK then unwinds, and the caller refuses what was read. No guess about how DCMTK
// will read the bytes is involved: the stack it has actually used is what counts.

#include <QtGlobal>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcistrmf.h>

#include <cstring>
#include <utility>

class DcmItem;

namespace dicom {

// Stack kept free below the deepest point a guarded parse may reach, for what DCMTK does between two
// reads (one level of its reader, a warning it formats) and what the guard itself takes: an eighth
// of the thread's stack, within these bounds.
constexpr quintptr kMinParseStackReserve = 64 * 1024;
constexpr quintptr kMaxParseStackReserve = 512 * 1024;

// The point below which a guarded parse on this thread stops. Measured once per thread.
class StackGuard
{
public:
    StackGuard();
    // False once the stack has reached the limit; stays false.
    bool roomLeft();
    bool tripped() const { return m_tripped; }

private:
    quintptr m_limit = 0;
    bool m_tripped = false;
};

// What a guarded stream counts of what DCMTK takes from it, values it skips over included (a value
// longer than DCMTK loads at once is skipped, not read), so that a part of a file read first may be
// bounded too.
struct GuardedReading
{
    StackGuard guard;
    // Bytes taken beyond this many end the input as the stack's end does; -1: no bound.
    qint64 readBudget = -1;
    qint64 bytesRead = 0;
    bool overBudget = false;
    // Ends the input for good (the stack's end, or the budget).
    bool stopped() const { return guard.tripped() || overBudget; }
    bool allowRead(qint64 length);
};

// The condition a stopped stream reports to DCMTK.
OFCondition stoppedReadingCondition();

// One of DCMTK's input streams that, once stopped, is at its end with nothing to give: DCMTK returns
// from every level it is in without opening another.
template <typename Stream> class Guarded final : public Stream
{
public:
    template <typename... Args>
    explicit Guarded(GuardedReading& reading, Args&&... args) : Stream(std::forward<Args>(args)...), m_reading(reading)
    {
    }

    OFBool good() const override { return m_reading.stopped() ? OFFalse : Stream::good(); }
    OFCondition status() const override { return m_reading.stopped() ? stoppedReadingCondition() : Stream::status(); }
    OFBool eos() override { return m_reading.stopped() ? OFTrue : Stream::eos(); }
    offile_off_t avail() override { return m_reading.stopped() ? 0 : Stream::avail(); }
    offile_off_t read(void* buf, offile_off_t buflen) override
    {
        if (!m_reading.allowRead(qint64(buflen))) {
            std::memset(buf, 0, size_t(buflen));
            return 0;
        }
        return Stream::read(buf, buflen);
    }
    offile_off_t skip(offile_off_t skiplen) override
    {
        return m_reading.allowRead(qint64(skiplen)) ? Stream::skip(skiplen) : 0;
    }

private:
    GuardedReading& m_reading;
};

using GuardedFileStream = Guarded<DcmInputFileStream>;
using GuardedBufferStream = Guarded<DcmInputBufferStream>;

// Deepest level of items in a data set DCMTK has built (an item in a sequence of the data set is at
// level 1), counted without recursion, so that it may be asked of any tree whatever the thread's stack.
int treeSequenceDepth(DcmItem& item);

} // namespace dicom
