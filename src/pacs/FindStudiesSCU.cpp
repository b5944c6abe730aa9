#include "pacs/FindStudiesSCU.h"

#include "pacs/FramedTransportLayer.h"
#include "pacs/ReceivedObjectFile.h"
#include "pacs/ScuAssociation.h"
#include "dicom/DicomFileLoading.h"
#include "dicom/DicomNesting.h"

#include <QByteArray>
#include <QThread>

#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmnet/dimse.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace pacs {

namespace {

// Keeps what a data set receive writes up to a limit and swallows the rest, so that the association
// stays in step with the peer whatever it sends; `overflowing` is told once when the limit is passed.
struct CappedBuffer : DcmConsumer
{
    CappedBuffer(qint64 limit, std::function<void()> overflowing)
        : limit(limit)
        , overflowing(std::move(overflowing))
    {
        bytes.reserve(4096); // a study's answer, whole
    }
    OFBool good() const override { return OFTrue; }
    OFCondition status() const override { return EC_Normal; }
    OFBool isFlushed() const override { return OFTrue; }
    offile_off_t avail() const override { return offile_off_t(1) << 30; }
    offile_off_t write(const void* data, offile_off_t length) override
    {
        if (!overflow && bytes.size() + qint64(length) <= limit) {
            bytes.append(static_cast<const char*>(data), qsizetype(length));
        } else if (!overflow) {
            overflow = true;
            bytes.clear();
            if (overflowing)
                overflowing();
        }
        return length;
    }
    void flush() override {}

    qint64 limit;
    std::function<void()> overflowing;
    bool overflow = false;
    QByteArray bytes;
};

class CappedStream : private CappedBuffer, public DcmOutputStream
{
public:
    CappedStream(qint64 limit, std::function<void()> overflowing)
        : CappedBuffer(limit, std::move(overflowing))
        , DcmOutputStream(this)
    {
    }
    const CappedBuffer& buffer() const { return *this; }
};

// An identifier as it came, for the parsing threads.
struct ReceivedIdentifier
{
    QByteArray bytes;
    bool overflow = false;
};

// Parsing an answer and making its row cost more than receiving it: they are done on threads of
// their own, several batches at once, while the next answers arrive.
constexpr int kParsingThreads = 3;

// Turns identifiers, some at a time, into what `make` makes of each on threads of its own, several
// batches at once, and hands each on to `take` in the order the identifiers came, one at a time.
template <typename Made>
class OrderedParsing
{
public:
    OrderedParsing(std::function<Made(ReceivedIdentifier&)> make, std::function<void(Made&)> take)
        : m_make(std::move(make))
        , m_take(std::move(take))
    {
        for (int i = 0; i < kParsingThreads; ++i) {
            m_threads.emplace_back(QThread::create([this] { run(); }));
            // DCMTK reads nested sequences by recursion: each gets the stack every parsing thread has.
            m_threads.back()->setStackSize(dicom::kParsingThreadStackSize);
            m_threads.back()->start();
        }
    }
    // Every identifier added has been made and taken when this returns.
    ~OrderedParsing()
    {
        {
            std::lock_guard lock(m_mutex);
            queueGathered();
            m_done = true;
        }
        m_wake.notify_all();
        for (const std::unique_ptr<QThread>& thread : m_threads)
            thread->wait();
    }

    // Handed on some at a time: one wake-up (two futex calls, and a switch between threads) for each
    // answer cost about as much as reading it.
    void add(ReceivedIdentifier identifier)
    {
        m_gathered.push_back(std::move(identifier));
        if (m_gathered.size() < kHandedOnTogether)
            return;
        {
            std::lock_guard lock(m_mutex);
            queueGathered();
        }
        m_wake.notify_one();
    }

private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_done || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            auto [number, batch] = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            std::vector<Made> made;
            made.reserve(batch.size());
            for (ReceivedIdentifier& identifier : batch)
                made.push_back(m_make(identifier));
            lock.lock();
            m_made.emplace(number, std::move(made));
            // Whichever thread made the batch due next hands on it and every one ready after it.
            for (auto due = m_made.begin(); due != m_made.end() && due->first == m_nextOut;
                 due = m_made.erase(due), ++m_nextOut) {
                for (Made& one : due->second)
                    m_take(one);
            }
        }
    }

    // Under m_mutex.
    void queueGathered()
    {
        if (m_gathered.empty())
            return;
        m_queue.emplace_back(m_nextIn++, std::move(m_gathered));
        m_gathered.clear();
    }

    static constexpr size_t kHandedOnTogether = 64;
    std::function<Made(ReceivedIdentifier&)> m_make;
    std::function<void(Made&)> m_take; // under m_mutex
    std::vector<ReceivedIdentifier> m_gathered; // the adding thread's, until queued
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::pair<quint64, std::vector<ReceivedIdentifier>>> m_queue;
    std::map<quint64, std::vector<Made>> m_made;
    quint64 m_nextIn = 0;
    quint64 m_nextOut = 0;
    bool m_done = false;
    std::vector<std::unique_ptr<QThread>> m_threads; // last: started once the rest is ready
};

} // namespace

OFCondition FindStudiesSCU::sendFINDRequest(const T_ASC_PresentationContextID presID, DcmDataset* queryKeys,
                                            OFList<QRResponse*>* responses)
{
    if (!isConnected())
        return DIMSE_ILLEGALASSOCIATION;
    if (!queryKeys)
        return DIMSE_NULLKEY;
    OFString abstractSyntax;
    OFString transferSyntax;
    findPresentationContext(presID, abstractSyntax, transferSyntax);
    if (abstractSyntax.empty() || transferSyntax.empty())
        return DIMSE_NOVALIDPRESENTATIONCONTEXTID;

    T_DIMSE_Message request;
    std::memset(&request, 0, sizeof request);
    request.CommandField = DIMSE_C_FIND_RQ;
    T_DIMSE_C_FindRQ& find = request.msg.CFindRQ;
    find.MessageID = ++m_messageId;
    find.DataSetType = DIMSE_DATASET_PRESENT;
    find.Priority = DIMSE_PRIORITY_MEDIUM;
    OFStandard::strlcpy(find.AffectedSOPClassUID, abstractSyntax.c_str(), sizeof find.AffectedSOPClassUID);
    OFCondition cond = sendDIMSEMessage(presID, &request, queryKeys);
    if (cond.bad())
        return cond;
    m_syntax = DcmXfer(transferSyntax.c_str()).getXfer();
    // Every answer received is parsed, made a row of and taken before this function returns,
    // whatever it returns.
    OrderedParsing<Made> parsing(
        [this](ReceivedIdentifier& identifier) { return make(identifier.bytes, identifier.overflow); },
        [this](Made& made) { take(made); });

    for (;;) {
        // A server that keeps answering leaves the connection no wait in which to see the cancel.
        if (cancel && cancel->load())
            return DIMSE_NODATAAVAILABLE;
        T_ASC_PresentationContextID pcid = presID;
        T_DIMSE_Message message;
        std::memset(&message, 0, sizeof message);
        DcmDataset* statusDetail = nullptr;
        cond = receiveDIMSECommand(&pcid, &message, &statusDetail);
        std::unique_ptr<DcmDataset> detail(statusDetail);
        if (cond.bad())
            return cond;
        if (message.CommandField != DIMSE_C_FIND_RSP)
            return DIMSE_BADCOMMANDTYPE;
        const T_DIMSE_C_FindRSP& answer = message.msg.CFindRSP;
        if (DICOM_PENDING_STATUS(answer.DimseStatus)) {
            if (answer.DataSetType == DIMSE_DATASET_NULL)
                return DIMSE_BADMESSAGE;
            // What comes past the limit is refused anyway: it earns the answer no more time.
            CappedStream incoming(kMaxIdentifierBytes, [this] {
                if (FramedTcpConnection* connection = framedConnectionOf(associationOf(*this)))
                    connection->refuseMoreTime();
            });
            cond = DIMSE_receiveDataSetInFile(associationOf(*this), getDIMSEBlockingMode(), int(getDIMSETimeout()),
                                              &pcid, &incoming, nullptr, nullptr);
            if (cond.bad())
                return cond;
            // From here on the stream is whole: a refused answer leaves the next one readable.
            parsing.add({incoming.buffer().bytes, incoming.buffer().overflow});
            continue;
        }
        if (responses) {
            auto response = std::make_unique<QRResponse>();
            response->m_affectedSOPClassUID = answer.AffectedSOPClassUID;
            response->m_messageIDRespondedTo = answer.MessageIDBeingRespondedTo;
            response->m_status = answer.DimseStatus;
            response->m_statusDetail = detail.release();
            responses->push_back(response.release());
        }
        return EC_Normal;
    }
}

FindStudiesSCU::Made FindStudiesSCU::make(const QByteArray& bytes, bool overflow) const
{
    Made made;
    if (overflow) {
        made.refusal = QStringLiteral("Отклонён ответ сервера длиннее %1 МБ").arg(kMaxIdentifierBytes / (1024 * 1024));
        return made;
    }
    DcmDataset match;
    dicom::ParseHazard hazard = dicom::ParseHazard::None;
    const OFCondition read = dicom::readDicomDataset(match, bytes, m_syntax, &hazard);
    if (read.bad())
        made.refusal = refusalText(hazard, read);
    else if (rowOf)
        made.row = rowOf(match);
    return made;
}

void FindStudiesSCU::take(Made& made)
{
    if (!made.refusal.isEmpty()) {
        ++refusedResponses;
        lastRefusal = made.refusal;
    } else if (made.row) {
        rows.append(std::move(*made.row));
    }
}

} // namespace pacs
