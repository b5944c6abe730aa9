// The framing watch over the bytes a peer sends, fed as reads split them: what passes, and where it
// refuses a command set past its cap, data where a command is due, and framing it cannot follow.

#include "pacs/FramedTcpConnection.h"
#include "pacs/PduFramingWatch.h"

#include <QTest>
#include <QtEndian>

#include <sys/socket.h>
#include <unistd.h>

using pacs::PduFramingWatch;
using Verdict = PduFramingWatch::Verdict;

namespace {

QByteArray pdu(quint8 type, const QByteArray& body)
{
    QByteArray header(6, '\0');
    header[0] = char(type);
    qToBigEndian<quint32>(quint32(body.size()), header.data() + 2);
    return header + body;
}

// One PDV: control bit 0 command, bit 1 last fragment.
QByteArray pdv(bool command, bool last, const QByteArray& fragment)
{
    QByteArray header(6, '\0');
    qToBigEndian<quint32>(quint32(fragment.size() + 2), header.data());
    header[4] = 1;
    header[5] = char((command ? 1 : 0) | (last ? 2 : 0));
    return header + fragment;
}

QByteArray element(quint16 group, quint16 tag, const QByteArray& value, quint32 length)
{
    QByteArray bytes(8, '\0');
    qToLittleEndian<quint16>(group, bytes.data());
    qToLittleEndian<quint16>(tag, bytes.data() + 2);
    qToLittleEndian<quint32>(length, bytes.data() + 4);
    return bytes + value;
}

QByteArray us(quint16 value)
{
    QByteArray bytes(2, '\0');
    qToLittleEndian<quint16>(value, bytes.data());
    return bytes;
}

// A C-FIND response's command set, `size` bytes long (padded by an element of its own), announcing a
// data set or not.
QByteArray command(bool withData, int size = 0)
{
    QByteArray bytes = element(0, 0x0100, us(0x8020), 2) + element(0, 0x0120, us(1), 2)
                     + element(0, 0x0800, us(withData ? 0x0000 : 0x0101), 2) + element(0, 0x0900, us(0xFF00), 2);
    if (size > bytes.size())
        bytes += element(0, 0x5000, QByteArray(size - bytes.size() - 8, 'x'), quint32(size - bytes.size() - 8));
    return bytes;
}

const QByteArray kAssociateAccept = pdu(0x02, QByteArray(180, '\x10'));
const QByteArray kReleaseReply = pdu(0x06, QByteArray(4, '\0'));

} // namespace

class TestPduFramingWatch : public QObject
{
    Q_OBJECT

private slots:
    void verdictOverSplitReads_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("verdict");
        const int cap = int(PduFramingWatch::kMaxCommandBytes);
        const QByteArray data(300, 'd');
        const auto data1 = [](const QByteArray& bytes) { return pdu(0x04, pdv(false, true, bytes)); };

        QTest::newRow("accept, command with its data set in two PDUs, command alone, release")
            << kAssociateAccept + pdu(0x04, pdv(true, true, command(true))) + pdu(0x04, pdv(false, false, data))
                   + data1(data) + pdu(0x04, pdv(true, true, command(false))) + kReleaseReply
            << int(Verdict::Passing);
        QTest::newRow("command in three fragments, and its data set, in one PDU")
            << pdu(0x04, pdv(true, false, command(true).left(4)) + pdv(true, false, command(true).mid(4, 10))
                             + pdv(true, true, command(true).mid(14)) + pdv(false, true, data))
            << int(Verdict::Passing);
        QTest::newRow("command exactly at the cap, in two PDUs")
            << pdu(0x04, pdv(true, false, command(false, cap).left(5000)))
                   + pdu(0x04, pdv(true, true, command(false, cap).mid(5000)))
            << int(Verdict::Passing);
        QTest::newRow("command one byte past the cap")
            << pdu(0x04, pdv(true, false, command(false, cap + 1).left(5000)))
                   + pdu(0x04, pdv(true, true, command(false, cap + 1).mid(5000)))
            << int(Verdict::CommandTooLong);
        QTest::newRow("command fragments that never end")
            << pdu(0x04, pdv(true, false, QByteArray(4000, 'c')) + pdv(true, false, QByteArray(4000, 'c')))
                   + pdu(0x04, pdv(true, false, QByteArray(4000, 'c')))
            << int(Verdict::CommandTooLong);
        QTest::newRow("the cap counts one message: two commands at the cap")
            << pdu(0x04, pdv(true, true, command(false, cap))) + pdu(0x04, pdv(true, true, command(false, cap)))
            << int(Verdict::Passing);

        QTest::newRow("data before any command") << kAssociateAccept + data1(data) << int(Verdict::DataWhereCommandDue);
        QTest::newRow("data after a command announcing none")
            << pdu(0x04, pdv(true, true, command(false))) + data1(data) << int(Verdict::DataWhereCommandDue);
        QTest::newRow("data inside a command")
            << pdu(0x04, pdv(true, false, command(true).left(8)) + pdv(false, true, data))
            << int(Verdict::DataWhereCommandDue);
        QTest::newRow("data after the last fragment of a data set")
            << pdu(0x04, pdv(true, true, command(true))) + data1(data) + data1(data)
            << int(Verdict::DataWhereCommandDue);

        QTest::newRow("command holding a sequence of undefined length")
            << pdu(0x04, pdv(true, true, command(true) + element(0, 0x1000, {}, 0xFFFFFFFF)))
            << int(Verdict::BadCommand);
        QTest::newRow("command holding an element of another group")
            << pdu(0x04, pdv(true, true, command(true) + element(0x0008, 0x1115, {}, 0)))
            << int(Verdict::BadCommand);
        QTest::newRow("command whose last element runs past its end")
            << pdu(0x04, pdv(true, true, command(true) + element(0, 0x1000, "ab", 4))) << int(Verdict::BadCommand);
        QTest::newRow("a command's fragments in two contexts")
            << pdu(0x04, pdv(true, false, command(true).left(10)) + pdv(true, true, command(true).mid(10)).replace(4, 1, "\3"))
            << int(Verdict::BadCommand);
        QTest::newRow("command without data set type")
            << pdu(0x04, pdv(true, true, element(0, 0x0100, us(0x8020), 2))) << int(Verdict::BadCommand);

        QTest::newRow("PDV longer than its PDU")
            << pdu(0x04, pdv(true, true, command(false)).chopped(2)) + QByteArray(2, '\0') << int(Verdict::BadFraming);
        QTest::newRow("PDV shorter than its header") << pdu(0x04, QByteArray("\0\0\0\1\1", 5) + QByteArray(1, '\3'))
                                                     << int(Verdict::BadFraming);
        QTest::newRow("unknown PDU type") << pdu(0x09, QByteArray(8, '\0')) << int(Verdict::BadFraming);
    }

    // Each stream whole, byte by byte and in odd pieces: the reads split PDUs, PDV headers and command
    // sets anywhere. After a refusal nothing more passes.
    void verdictOverSplitReads()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, verdict);
        for (const qsizetype piece : {stream.size(), qsizetype(1), qsizetype(5), qsizetype(4097)}) {
            PduFramingWatch watch;
            bool passing = true;
            for (qsizetype at = 0; at < stream.size() && passing; at += piece)
                passing = watch.feed(stream.constData() + at, qMin(piece, stream.size() - at));
            QCOMPARE(int(watch.verdict()), verdict);
            QCOMPARE(passing, verdict == int(Verdict::Passing));
            QCOMPARE(watch.feed(kReleaseReply.constData(), kReleaseReply.size()), passing);
        }
    }

    void reframesOnePdvPerPdu_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("reframed"); // what DCMTK is handed
        const QByteArray data(300, 'd');
        const QByteArray cmd = pdv(true, true, command(true)), cmdAlone = pdv(true, true, command(false));
        const QByteArray dataLast = pdv(false, true, data);
        QTest::newRow("command and its data set in one PDU")
            << pdu(0x04, cmd + dataLast) << pdu(0x04, cmd) + pdu(0x04, dataLast);
        QTest::newRow("answer, its data set in two fragments and the final answer in one PDU")
            << pdu(0x04, cmd + pdv(false, false, data) + dataLast + cmdAlone)
            << pdu(0x04, cmd) + pdu(0x04, pdv(false, false, data)) + pdu(0x04, dataLast) + pdu(0x04, cmdAlone);
        QTest::newRow("other PDUs as they came, an empty data PDU left out")
            << kAssociateAccept + pdu(0x04, {}) + pdu(0x04, cmdAlone) + kReleaseReply
            << kAssociateAccept + pdu(0x04, cmdAlone) + kReleaseReply;
        QTest::newRow("what came before a refused fragment, not the fragment")
            << pdu(0x04, cmd + dataLast + pdv(false, true, data)) << pdu(0x04, cmd) + pdu(0x04, dataLast);
        // DCMTK would allocate the 4 GB the fragment declares before a byte of them has come.
        QTest::newRow("a command's first fragment, its element declaring 4 GB, never ended: nothing")
            << pdu(0x04, pdv(true, false, command(true) + element(0, 0x1000, {}, 0xFFFFFFF0))) << QByteArray();
        // DCMTK misreads an element whose tag a fragment's end cuts (here after its group).
        QTest::newRow("a command in fragments cut inside a tag, then its data set: the command once whole, as one")
            << pdu(0x04, pdv(true, false, command(true).left(10)) + pdv(true, false, command(true).mid(10, 2)))
                   + pdu(0x04, pdv(true, true, command(true).mid(12)) + dataLast)
            << pdu(0x04, cmd) + pdu(0x04, dataLast);
        QTest::newRow("a command refused at its end, not a byte of it")
            << pdu(0x04, cmdAlone) + pdu(0x04, pdv(true, true, command(true) + element(0x0008, 0x1115, {}, 0)))
            << pdu(0x04, cmdAlone);
    }

    // However the reads split the stream, DCMTK is handed each PDV in a PDU of its own.
    void reframesOnePdvPerPdu()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, reframed);
        for (const qsizetype piece : {stream.size(), qsizetype(1), qsizetype(7)}) {
            PduFramingWatch watch;
            QByteArray out;
            for (qsizetype at = 0; at < stream.size(); at += piece)
                watch.feed(stream.constData() + at, qMin(piece, stream.size() - at), &out);
            QCOMPARE(out, reframed);
        }
    }

    // A peer that sends part of a command and then nothing: DCMTK is told nothing is there to read
    // once its wait is over, instead of being left in a read that never returns.
    void partOfAFragmentIsNothingToRead()
    {
        int sockets[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
        auto verdict = std::make_shared<pacs::FramingVerdict>(Verdict::Passing);
        pacs::FramedTcpConnection connection(sockets[0], verdict);
        const QByteArray whole = pdu(0x04, pdv(true, true, command(false)));
        QCOMPARE(::write(sockets[1], whole.constData(), size_t(whole.size() - 4)), ssize_t(whole.size() - 4));
        QVERIFY(!connection.networkDataAvailable(1));
        QCOMPARE(::write(sockets[1], whole.constData() + whole.size() - 4, 4), ssize_t(4));
        QVERIFY(connection.networkDataAvailable(30));
        QByteArray handed(whole.size(), '\0');
        QCOMPARE(connection.read(handed.data(), size_t(handed.size())), ssize_t(whole.size()));
        QCOMPARE(handed, whole);
        ::close(sockets[1]);
    }
};

QTEST_GUILESS_MAIN(TestPduFramingWatch)
#include "tst_pduframingwatch.moc"
