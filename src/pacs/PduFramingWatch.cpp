#include "pacs/PduFramingWatch.h"

#include <QtEndian>

#include <cstring>

namespace pacs {

namespace {

constexpr int kHeaderBytes = 6; // of a PDU (type, reserved, length) and of a PDV (length, context, control)
constexpr quint8 kDataPdu = 0x04;
constexpr quint16 kNoDataSet = 0x0101;

} // namespace

PduFramingWatch::PduFramingWatch(qint64 maxCommandBytes)
    : m_maxCommandBytes(maxCommandBytes)
{
}

bool PduFramingWatch::fail(Verdict verdict)
{
    m_verdict = verdict;
    m_command.clear();
    return false;
}

bool PduFramingWatch::feed(const char* data, qint64 size, QByteArray* reframed)
{
    qint64 at = 0;
    while (m_verdict == Verdict::Passing && at < size) {
        if (m_reading == Reading::PduHeader || m_reading == Reading::PdvHeader) {
            if (m_reading == Reading::PdvHeader && m_headerBytes == 0 && m_pduLeft < quint32(kHeaderBytes))
                return fail(Verdict::BadFraming);
            const int take = int(qMin<qint64>(kHeaderBytes - m_headerBytes, size - at));
            std::memcpy(m_header + m_headerBytes, data + at, size_t(take));
            m_headerBytes += take;
            at += take;
            if (m_reading == Reading::PdvHeader)
                m_pduLeft -= quint32(take);
            if (m_headerBytes < kHeaderBytes)
                continue;
            m_headerBytes = 0;
            if (m_reading == Reading::PdvHeader) {
                if (!startPdv(reframed))
                    return false;
                continue;
            }
            const quint8 type = quint8(m_header[0]);
            if (type < 0x01 || type > 0x07) // A-ASSOCIATE-RQ to A-ABORT
                return fail(Verdict::BadFraming);
            m_pduLeft = qFromBigEndian<quint32>(m_header + 2);
            m_reading = m_pduLeft == 0 ? Reading::PduHeader : type == kDataPdu ? Reading::PdvHeader : Reading::PduBody;
            // A data PDU's header is made anew for each of its PDVs; an empty one gives nothing to read.
            if (reframed && type != kDataPdu)
                reframed->append(m_header, kHeaderBytes);
            continue;
        }
        const quint32 take = quint32(qMin<qint64>(m_reading == Reading::PduBody ? m_pduLeft : m_pdvLeft, size - at));
        m_pduLeft -= take;
        if (m_reading == Reading::PduBody) {
            if (reframed)
                reframed->append(data + at, qsizetype(take));
            at += take;
            if (m_pduLeft == 0)
                m_reading = Reading::PduHeader;
            continue;
        }
        if (m_pdvIsCommand) {
            m_command.append(data + at, qsizetype(take));
        } else if (reframed) {
            reframed->append(data + at, qsizetype(take));
        }
        m_pdvLeft -= take;
        at += take;
        if (m_pdvLeft == 0 && !endPdv(reframed))
            return false;
    }
    return m_verdict == Verdict::Passing;
}

bool PduFramingWatch::startPdv(QByteArray* reframed)
{
    const quint32 itemLength = qFromBigEndian<quint32>(m_header);
    if (itemLength < 2 || itemLength - 2 > m_pduLeft)
        return fail(Verdict::BadFraming);
    m_pdvLeft = itemLength - 2;
    const quint8 control = quint8(m_header[5]);
    m_pdvIsCommand = (control & 0x01) != 0;
    m_pdvIsLast = (control & 0x02) != 0;
    if (m_pdvIsCommand) {
        if (m_message != Message::InCommand) {
            m_command.clear(); // a new message begins
            m_commandContext = quint8(m_header[4]);
        } else if (quint8(m_header[4]) != m_commandContext) {
            return fail(Verdict::BadCommand); // one message's fragments share their context
        }
        m_message = Message::InCommand;
        // Refused on the fragment's header, before its bytes are read.
        if (m_command.size() + qint64(m_pdvLeft) > m_maxCommandBytes)
            return fail(Verdict::CommandTooLong);
    } else {
        // DCMTK parses whatever fragment comes while it gathers a command before it looks at its type.
        if (m_message == Message::CommandDue || m_message == Message::InCommand)
            return fail(Verdict::DataWhereCommandDue);
        m_message = Message::InData;
    }
    m_reading = Reading::PdvBody;
    // A data PDV in a PDU of its own: no longer than the one it came in.
    if (reframed && !m_pdvIsCommand)
        appendPdu(reframed, m_header, {});
    return m_pdvLeft > 0 || endPdv(reframed);
}

bool PduFramingWatch::endPdv(QByteArray* reframed)
{
    m_reading = m_pduLeft == 0 ? Reading::PduHeader : Reading::PdvHeader;
    if (!m_pdvIsLast)
        return true;
    if (!m_pdvIsCommand) {
        m_message = Message::CommandDue;
        return true;
    }
    // DCMTK parses each command fragment as it comes: it allocates an element's declared length before
    // its bytes, and misreads an element whose tag a fragment's end cuts. The command goes on once it
    // has passed whole, as one last fragment: a few kilobytes at most, far below the PDU size offered.
    if (!endCommand())
        return false;
    if (reframed) {
        char pdvHeader[kHeaderBytes] = {0, 0, 0, 0, char(m_commandContext), 0x03};
        qToBigEndian<quint32>(quint32(m_command.size() + 2), pdvHeader);
        appendPdu(reframed, pdvHeader, m_command);
    }
    m_command.clear();
    return true;
}

// A P-DATA-TF PDU of one PDV: its header and `body`, or the body's bytes yet to come.
void PduFramingWatch::appendPdu(QByteArray* to, const char* pdvHeader, QByteArrayView body)
{
    char pduHeader[kHeaderBytes] = {char(kDataPdu), 0};
    qToBigEndian<quint32>(qFromBigEndian<quint32>(pdvHeader) + 4, pduHeader + 2);
    to->append(pduHeader, kHeaderBytes).append(pdvHeader, kHeaderBytes).append(body);
}

// Whether a data set follows, from the command set's (0000,0800), read as the plain list of group 0000
// elements of defined length that every real command set is; anything else is not read further.
bool PduFramingWatch::endCommand()
{
    const auto* bytes = reinterpret_cast<const uchar*>(m_command.constData());
    const qsizetype size = m_command.size();
    int dataSetType = -1;
    for (qsizetype at = 0; at < size;) {
        if (size - at < 8)
            return fail(Verdict::BadCommand);
        const quint16 group = qFromLittleEndian<quint16>(bytes + at);
        const quint16 element = qFromLittleEndian<quint16>(bytes + at + 2);
        const quint32 length = qFromLittleEndian<quint32>(bytes + at + 4);
        at += 8;
        if (group != 0x0000 || length > quint64(size - at))
            return fail(Verdict::BadCommand);
        if (element == 0x0800) {
            if (dataSetType >= 0 || length < 2)
                return fail(Verdict::BadCommand);
            dataSetType = qFromLittleEndian<quint16>(bytes + at);
        }
        at += qsizetype(length);
    }
    if (dataSetType < 0)
        return fail(Verdict::BadCommand);
    m_message = dataSetType == kNoDataSet ? Message::CommandDue : Message::DataDue;
    return true;
}

} // namespace pacs
