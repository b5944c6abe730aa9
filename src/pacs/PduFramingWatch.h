#pragma once
// What a peer sends on an association, followed byte by byte before DCMTK reads it. DCMTK gathers the
// command set of each DIMSE message and parses it itself, by recursion and with no bound, on the
// association's thread, and it takes the first fragment of a data set that comes where a command is due
// for a command too: a peer could crash the program with either. A real command set is a dozen short
// elements of group 0000, a few hundred bytes, so the watch refuses one that grows past a small cap,
// and data that comes where a command is due, before DCMTK sees a byte of the PDU that holds them.
//
// Only the framing is followed: PDU type and length; in P-DATA-TF PDUs each PDV's length and message
// control header (bit 0 command, bit 1 last fragment). Other PDUs pass untouched. Whether a data set
// follows a command is read from the command's (0000,0800); a command whose elements cannot be told
// apart that simply (another group, an undefined length, a length past its end) is refused.
//
// What passes is also handed on re-framed, each PDV in a P-DATA-TF PDU of its own, and a command's
// fragments joined into one. A peer may put several PDVs in one PDU, and DCMTK 3.6.7 reads past its
// buffer when the PDVs after a message's first come in the PDU that brought it (a command with its
// data set, a search answer with the next one): one PDV per PDU is the one layout DCMTK sends itself,
// and reads without fault.

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

namespace pacs {

class PduFramingWatch
{
public:
    enum class Verdict {
        Passing,
        CommandTooLong,      // the command set of one message grew past the cap
        DataWhereCommandDue, // a data fragment before the message's command was whole, or with none announced
        BadCommand,          // a command set not made of plain group 0000 elements, or without its data set type
        BadFraming,          // a PDV longer than its PDU or shorter than its header, or an unknown PDU type
        TooSlow,             // a message (or PDU) not whole within its bound; set by cutOff, never by feed
        HeldPlace,           // a listener's sender not getting on while another waited; set by cutOff
    };

    // Far above any command set a real peer sends, far below what DCMTK's parse can suffer.
    static constexpr qint64 kMaxCommandBytes = 8 * 1024;

    explicit PduFramingWatch(qint64 maxCommandBytes = kMaxCommandBytes);

    // The bytes as they are read, split anywhere. False from the first byte that breaks the framing
    // on; verdict() then says why, and nothing more is looked at. When `reframed` is given, what DCMTK
    // is to read of the bytes is appended to it: a data fragment as it comes, a command as one
    // fragment once the whole of it has passed, never a byte of the fragment refused.
    bool feed(const char* data, qint64 size, QByteArray* reframed = nullptr);
    Verdict verdict() const { return m_verdict; }
    // Between two messages: no PDU begun, no message begun or awaiting its data set.
    bool atRest() const
    {
        return m_verdict == Verdict::Passing && m_reading == Reading::PduHeader && m_headerBytes == 0
            && m_message == Message::CommandDue;
    }
    // Refuses the rest from here on, for a reason found outside the bytes (their pace).
    void cutOff(Verdict verdict)
    {
        if (m_verdict == Verdict::Passing)
            fail(verdict);
    }
    // Bytes of the current data fragment yet to come: they pass through as they are, and may be fed
    // without `reframed` (0 outside a data fragment).
    qint64 dataBytesAhead() const
    {
        return m_verdict == Verdict::Passing && m_reading == Reading::PdvBody && !m_pdvIsCommand ? m_pdvLeft : 0;
    }

private:
    enum class Reading { PduHeader, PduBody, PdvHeader, PdvBody };
    enum class Message { CommandDue, InCommand, DataDue, InData };

    bool fail(Verdict verdict);
    bool startPdv(QByteArray* reframed);
    bool endPdv(QByteArray* reframed);
    bool endCommand();
    static void appendPdu(QByteArray* to, const char* pdvHeader, QByteArrayView body);

    qint64 m_maxCommandBytes;
    Verdict m_verdict = Verdict::Passing;
    Reading m_reading = Reading::PduHeader;
    Message m_message = Message::CommandDue;
    char m_header[6] = {};
    int m_headerBytes = 0;
    quint32 m_pduLeft = 0; // bytes of the current PDU's body not yet read
    quint32 m_pdvLeft = 0; // bytes of the current fragment not yet read
    bool m_pdvIsCommand = false;
    bool m_pdvIsLast = false;
    QByteArray m_command; // the current message's command set so far, never past the cap
    quint8 m_commandContext = 0; // the presentation context of its first fragment
};

} // namespace pacs
