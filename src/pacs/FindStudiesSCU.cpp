#include "pacs/FindStudiesSCU.h"

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
#include <memory>
#include <mutex>
#include <vector>

namespace pacs {

namespace {

// Keeps what a data set receive writes up to a limit and swallows the rest, so that the association
// stays in step with the peer whatever it sends.
struct CappedBuffer : DcmConsumer
{
    explicit CappedBuffer(qint64 limit)
        : limit(limit)
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
        } else {
            overflow = true;
            bytes.clear();
        }
        return length;
    }
    void flush() override {}

    qint64 limit;
    bool overflow = false;
    QByteArray bytes;
};

class CappedStream : private CappedBuffer, public DcmOutputStream
{
public:
    explicit CappedStream(qint64 limit)
        : CappedBuffer(limit)
        , DcmOutputStream(this)
    {
    }
    const CappedBuffer& buffer() const { return *this; }
};

// An identifier as it came, for the reading thread.
struct ReceivedIdentifier
{
    QByteArray bytes;
    bool overflow = false;
};

// Reads identifiers on a thread of its own while the next ones arrive, in the order they came.
class IdentifierReader
{
public:
    explicit IdentifierReader(std::function<void(ReceivedIdentifier&)> read)
        : m_read(std::move(read))
        , m_thread(QThread::create([this] { run(); }))
    {
        // DCMTK reads nested sequences by recursion: the thread gets the stack every parsing thread has.
        m_thread->setStackSize(dicom::kParsingThreadStackSize);
        m_thread->start();
    }
    ~IdentifierReader()
    {
        {
            std::lock_guard lock(m_mutex);
            handOn();
            m_done = true;
        }
        m_wake.notify_one();
        m_thread->wait();
    }

    // Handed on to the reading thread some at a time: one wake-up (two futex calls, and a switch
    // between threads) for each answer cost about as much as reading it.
    void add(ReceivedIdentifier identifier)
    {
        m_gathered.push_back(std::move(identifier));
        if (m_gathered.size() < kAnswersHandedOnTogether)
            return;
        {
            std::lock_guard lock(m_mutex);
            handOn();
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
            std::deque<ReceivedIdentifier> batch;
            batch.swap(m_queue);
            lock.unlock();
            for (ReceivedIdentifier& identifier : batch)
                m_read(identifier);
            lock.lock();
        }
    }

    // Under m_mutex.
    void handOn()
    {
        for (ReceivedIdentifier& identifier : m_gathered)
            m_queue.push_back(std::move(identifier));
        m_gathered.clear();
    }

    static constexpr size_t kAnswersHandedOnTogether = 64;
    std::function<void(ReceivedIdentifier&)> m_read;
    std::vector<ReceivedIdentifier> m_gathered; // the receiving thread's, until handed on
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<ReceivedIdentifier> m_queue;
    bool m_done = false;
    std::unique_ptr<QThread> m_thread; // last: started once the rest is ready
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
    // Finishes every answer received before this function returns, whatever it returns.
    IdentifierReader reader(
        [this](ReceivedIdentifier& identifier) { readIdentifier(identifier.bytes, identifier.overflow); });

    for (;;) {
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
            CappedStream incoming(kMaxIdentifierBytes);
            cond = DIMSE_receiveDataSetInFile(associationOf(*this), getDIMSEBlockingMode(), int(getDIMSETimeout()),
                                              &pcid, &incoming, nullptr, nullptr);
            if (cond.bad())
                return cond;
            // From here on the stream is whole: a refused answer leaves the next one readable.
            reader.add({incoming.buffer().bytes, incoming.buffer().overflow});
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

void FindStudiesSCU::refuse(const QString& why)
{
    ++refusedResponses;
    lastRefusal = why;
}

void FindStudiesSCU::readIdentifier(const QByteArray& bytes, bool overflow)
{
    if (overflow) {
        refuse(QStringLiteral("Отклонён ответ сервера длиннее %1 МБ").arg(kMaxIdentifierBytes / (1024 * 1024)));
        return;
    }
    DcmDataset match;
    dicom::ParseHazard hazard = dicom::ParseHazard::None;
    const OFCondition read = dicom::readDicomDataset(match, bytes, m_syntax, &hazard);
    if (read.bad()) {
        refuse(refusalText(hazard, read));
        return;
    }
    if (onMatch)
        onMatch(match);
}

} // namespace pacs
