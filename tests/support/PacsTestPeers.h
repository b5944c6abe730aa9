#pragma once
// Real DICOM peers for the network tests, all on 127.0.0.1: DCMTK's dcmqrscp (an archive with
// C-FIND/C-GET/C-MOVE), storescp (a C-STORE receiver) and a small scripted acceptor built on
// DCMTK's DcmSCP for answers no stock tool gives (chosen statuses, a stall, a record of the keys).
// Every process is stopped by its own process id. Header-only: only tests that link the pacs
// module (and with it DCMTK's network library) include it.

#include "support/DicomFixtures.h"
#include "support/LoopbackPort.h"
#include "pacs/PacsConfig.h"
#include "pacs/ScuAssociation.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <sys/prctl.h>
#include <sys/socket.h>

#include <csignal>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scp.h>
#include <dcmtk/dcmnet/scu.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <signal.h>

namespace peers {

// A server entry for a peer on 127.0.0.1.
inline pacs::PacsServer at(quint16 port, const QString& ae, int retrieveMode = 0, const QString& description = {})
{
    return {QStringLiteral("127.0.0.1"), port, ae, description, retrieveMode};
}

// The program's own side: its listener on `listenPort` under `aeTitle`, and the servers it knows.
inline pacs::PacsConfig localConfig(quint16 listenPort, const char* aeTitle,
                                    const QList<pacs::PacsServer>& servers)
{
    pacs::PacsConfig c;
    c.localPort = listenPort;
    c.localAeTitle = QString::fromLatin1(aeTitle);
    c.servers = servers;
    return c;
}

inline bool waitForPort(quint16 port, int timeoutMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200)) {
            socket.disconnectFromHost();
            return true;
        }
        QThread::msleep(20);
    }
    return false;
}

// How many ports a peer started on a chosen port tries before it is said not to start.
constexpr int kPortAttempts = 5;

// One external DCMTK program, killed by its own pid when the object goes.
class PeerProcess
{
public:
    ~PeerProcess() { stop(); }

    bool start(const QString& program, const QStringList& args, quint16 port, const QString& logPath = {})
    {
        const QString exe = QStandardPaths::findExecutable(program);
        if (exe.isEmpty())
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TCP_NODELAY"), QStringLiteral("1"));
        m_process.setProcessEnvironment(env);
        if (!logPath.isEmpty())
            m_process.setStandardOutputFile(logPath), m_process.setStandardErrorFile(logPath);
        else
            m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel), m_process.setStandardOutputFile(QProcess::nullDevice());
        // A test killed by its watchdog never runs the destructor: the peer then goes with it instead
        // of living on and holding the test's output pipe, on which ctest would wait.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_process.start(exe, args);
        if (!m_process.waitForStarted(30000))
            return false;
        // Ready once it listens there itself: a connection alone may reach another program that took the
        // port after it was chosen, and the peer, refused the port, ends.
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 30000) {
            if (fixtures::listensOn(m_process.processId(), port))
                return true;
            if (m_process.waitForFinished(20))
                return false;
        }
        stop();
        return false;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        const qint64 pid = m_process.processId();
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), SIGTERM);
        if (!m_process.waitForFinished(3000) && pid > 0) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            m_process.waitForFinished(3000);
        }
    }

    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

// dcmqrscp with a configuration written here: one archive AE and any number of C-MOVE
// destinations, files indexed with dcmqridx before start.
class QrArchive
{
public:
    static constexpr const char* aeTitle = "KALVQR";

    QrArchive()
    {
        m_storage = m_dir.filePath(QStringLiteral("storage"));
        QDir().mkpath(m_storage);
    }

    QString storageDir() const { return m_storage; }
    quint16 port() const { return m_port; }

    void addMoveDestination(const QString& ae, quint16 port) { m_destinations.append({ae, port}); }

    // Has the archive send objects of each of these storage classes in the transfer syntax given
    // (the one they are stored in: dcmqrscp converts none): accepted so on a C-GET association, and
    // proposed so to a C-MOVE destination. Other classes are then neither accepted nor proposed.
    void sendStoredAs(const QList<QPair<QString, QString>>& syntaxBySopClass) { m_storedAs = syntaxBySopClass; }

    pacs::PacsServer server(int retrieveMode = 0, const QString& description = {}) const
    {
        return at(m_port, QString::fromLatin1(aeTitle), retrieveMode, description);
    }

    // Completes the layout's UIDs, writes the series into a folder of the storage named by its UID
    // and indexes it; empty when either fails.
    QStringList add(fixtures::SeriesLayout& layout)
    {
        fixtures::completeUids(layout);
        const QStringList files = fixtures::writeSeries(m_storage + QLatin1Char('/') + layout.seriesUid, layout);
        return !files.isEmpty() && index(files) ? files : QStringList();
    }

    // Indexes files that already lie in storageDir().
    bool index(const QStringList& files)
    {
        for (int first = 0; first < files.size(); first += 200) {
            QStringList args{m_storage};
            args += files.mid(first, 200);
            QProcess idx;
            idx.start(QStandardPaths::findExecutable(QStringLiteral("dcmqridx")), args);
            if (!idx.waitForFinished(60000) || idx.exitCode() != 0) {
                qWarning() << "dcmqridx failed:" << idx.readAllStandardError();
                return false;
            }
        }
        return true;
    }

    // Tried again on another port when a program took the one chosen before the archive could.
    bool start(const QStringList& extraArgs = {})
    {
        for (int attempt = 0; attempt < kPortAttempts; ++attempt)
            if (startOnFreePort(extraArgs))
                return true;
        return false;
    }

    void stop() { m_process.stop(); }
    QString log() const
    {
        QFile f(m_dir.filePath(QStringLiteral("dcmqrscp.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

private:
    bool startOnFreePort(const QStringList& extraArgs)
    {
        m_port = fixtures::freeLoopbackPort();
        QString hosts;
        QString names;
        for (int i = 0; i < m_destinations.size(); ++i) {
            hosts += QStringLiteral("dest%1 = (%2, 127.0.0.1, %3)\n").arg(i).arg(m_destinations[i].first).arg(m_destinations[i].second);
        }
        const QString cfg = QStringLiteral("NetworkTCPPort = %1\nMaxPDUSize = 65536\nMaxAssociations = 16\n"
                                           "HostTable BEGIN\n%2HostTable END\nVendorTable BEGIN\nVendorTable END\n"
                                           "AETable BEGIN\n%3 %4 RW (200, 4096mb) ANY\nAETable END\n")
                                .arg(m_port)
                                .arg(hosts, QString::fromLatin1(aeTitle), m_storage);
        const QString cfgPath = m_dir.filePath(QStringLiteral("dcmqrscp.cfg"));
        QFile file(cfgPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(cfg.toUtf8()) < 0)
            return false;
        file.close();
        QStringList args{QStringLiteral("-c"), cfgPath};
        if (!m_storedAs.isEmpty()) {
            const QString profiles = m_dir.filePath(QStringLiteral("association.cfg"));
            if (!writeAssociationProfiles(profiles))
                return false;
            args << QStringLiteral("-xf") << profiles << QStringLiteral("In") << QStringLiteral("Out");
        }
        args += extraArgs;
        args << QString::number(m_port);
        return m_process.start(QStringLiteral("dcmqrscp"), args, m_port, m_dir.filePath(QStringLiteral("dcmqrscp.log")));
    }

    bool writeAssociationProfiles(const QString& path) const
    {
        QString syntaxes =
            QStringLiteral("[[TransferSyntaxes]]\n[Uncompressed]\nTransferSyntax1 = 1.2.840.10008.1.2.1\n"
                           "TransferSyntax2 = 1.2.840.10008.1.2\n");
        QString in = QStringLiteral("[In]\n"), out = QStringLiteral("[Out]\n"), roles = QStringLiteral("[Roles]\n");
        int inCount = 0;
        for (const char* service : {"1.2.840.10008.1.1", "1.2.840.10008.5.1.4.1.2.2.1", "1.2.840.10008.5.1.4.1.2.2.2",
                                    "1.2.840.10008.5.1.4.1.2.2.3"})
            in += QStringLiteral("PresentationContext%1 = %2\\Uncompressed\n")
                      .arg(++inCount)
                      .arg(QLatin1String(service));
        for (int i = 0; i < m_storedAs.size(); ++i) {
            syntaxes += QStringLiteral("[Stored%1]\nTransferSyntax1 = %2\n").arg(i).arg(m_storedAs[i].second);
            in += QStringLiteral("PresentationContext%1 = %2\\Stored%3\n")
                      .arg(++inCount)
                      .arg(m_storedAs[i].first)
                      .arg(i);
            out += QStringLiteral("PresentationContext%1 = %2\\Stored%3\n").arg(i + 1).arg(m_storedAs[i].first).arg(i);
            roles += QStringLiteral("Role%1 = %2\\SCP\n").arg(i + 1).arg(m_storedAs[i].first);
        }
        const QString text =
            syntaxes + QStringLiteral("[[PresentationContexts]]\n") + in + out +
            QStringLiteral("[[SCPSCURoleSelection]]\n") + roles +
            QStringLiteral("[[Profiles]]\n[In]\nPresentationContexts = In\nSCPSCURoleSelection = Roles\n"
                           "[Out]\nPresentationContexts = Out\n");
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) > 0;
    }

    QTemporaryDir m_dir;
    QString m_storage;
    quint16 m_port = 0;
    QList<QPair<QString, quint16>> m_destinations;
    QList<QPair<QString, QString>> m_storedAs;
    PeerProcess m_process;
};

// storescp receiving into its own folder.
class StoreReceiver
{
public:
    // Tried again on another port when a program took the one chosen before storescp could.
    bool start(const QString& ae, const QStringList& extraArgs = {})
    {
        for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
            m_port = fixtures::freeLoopbackPort();
            QStringList args{QStringLiteral("-aet"), ae, QStringLiteral("-od"), m_dir.path(), QStringLiteral("+xa")};
            args += extraArgs;
            args << QString::number(m_port);
            if (m_process.start(QStringLiteral("storescp"), args, m_port))
                return true;
        }
        return false;
    }
    quint16 port() const { return m_port; }
    QString dir() const { return m_dir.path(); }
    QStringList files() const
    {
        QStringList out;
        for (const QFileInfo& fi : QDir(m_dir.path()).entryInfoList(QDir::Files))
            out << fi.absoluteFilePath();
        return out;
    }
    void stop() { m_process.stop(); }

private:
    QTemporaryDir m_dir;
    quint16 m_port = 0;
    PeerProcess m_process;
};

// Messages no sound peer sends.
enum class HostileMessage {
    None,
    NestedCommand,     // a response whose command set holds sequences kHostileDepth levels deep
    HugeCommand,       // a response whose command set is 1 MiB of empty elements in descending order
    DataForCommand,    // a data set, nested as deep, where the response's command is due
    NestedResponseData, // a pending response carrying a data set nested as deep; the answers go on after it
    OddFragmentObject,  // no message of its own: each object of a retrieve ends in a fragment of odd length
    EndlessFragments,   // a pending response whose data set comes as empty fragments, none the last, every 50 ms
    EndlessLargeAnswer, // a pending response whose data set comes as 64 MiB of 16 KB fragments, none the last
    TrickledFragment    // a pending response whose data set's first fragment comes a byte every 50 ms
};
// Far deeper than the stack of any thread of the program takes when DCMTK parses it.
constexpr int kHostileDepth = 20000;

// `depth` sequences (FFFA,FFFA) of undefined length, each in one item holding the next, closed again.
inline QByteArray nestedItems(int depth, bool implicit)
{
    const QByteArray open = implicit ? QByteArray("\xFA\xFF\xFA\xFF\xFF\xFF\xFF\xFF\xFE\xFF\x00\xE0\xFF\xFF\xFF\xFF", 16)
                                     : QByteArray("\xFA\xFF\xFA\xFFSQ\x00\x00\xFF\xFF\xFF\xFF\xFE\xFF\x00\xE0\xFF\xFF\xFF\xFF", 20);
    const QByteArray close("\xFE\xFF\x0D\xE0\x00\x00\x00\x00\xFE\xFF\xDD\xE0\x00\x00\x00\x00", 16);
    return open.repeated(depth) + close.repeated(depth);
}

// `bytes` of empty elements (implicit VR), tags descending from (2010,xxxx): DCMTK's sorted insert
// walks past all the earlier ones for each.
inline QByteArray descendingEmptyElements(qsizetype bytes)
{
    QByteArray out(bytes / 8 * 8, '\0');
    for (qsizetype i = 0, n = out.size() / 8; i < n; ++i) {
        const qsizetype k = n - 1 - i;
        qToLittleEndian<quint16>(quint16(0x2000 + 2 * (k >> 14)), out.data() + 8 * i);
        qToLittleEndian<quint16>(quint16(0x1000 + (k & 0x3FFF)), out.data() + 8 * i + 2);
    }
    return out;
}

// A command set as DIMSE sends it: implicit VR little endian, group length first, the elements given
// in tag order.
inline QByteArray commandGroup(const std::vector<std::pair<quint16, QByteArray>>& elements)
{
    QByteArray body;
    for (auto [element, value] : elements) {
        if (value.size() % 2)
            value.append('\0');
        char header[8];
        qToLittleEndian<quint16>(0x0000, header);
        qToLittleEndian<quint16>(element, header + 2);
        qToLittleEndian<quint32>(quint32(value.size()), header + 4);
        body.append(header, sizeof header).append(value);
    }
    QByteArray length(12, '\0');
    qToLittleEndian<quint32>(4, length.data() + 4);
    qToLittleEndian<quint32>(quint32(body.size()), length.data() + 8);
    return length + body;
}

inline QByteArray commandUs(quint16 value)
{
    QByteArray bytes(2, '\0');
    qToLittleEndian<quint16>(value, bytes.data());
    return bytes;
}

// A response's command set.
inline QByteArray commandSet(Uint16 field, Uint16 respondedTo, const char* sopClass, Uint16 status, bool withData)
{
    return commandGroup({{0x0002, QByteArray(sopClass)},
                         {0x0100, commandUs(field)},
                         {0x0120, commandUs(respondedTo)},
                         {0x0800, commandUs(withData ? 0x0000 : 0x0101)},
                         {0x0900, commandUs(status)}});
}

// A C-STORE request's command set for one object.
inline QByteArray storeCommandSet(Uint16 messageId, const char* sopClass, const char* sopInstance)
{
    return commandGroup({{0x0002, QByteArray(sopClass)},
                         {0x0100, commandUs(DIMSE_C_STORE_RQ)},
                         {0x0110, commandUs(messageId)},
                         {0x0700, commandUs(DIMSE_PRIORITY_MEDIUM)},
                         {0x0800, commandUs(0x0000)},
                         {0x1000, QByteArray(sopInstance)}});
}

// A data set's bytes as a peer sends them in the transfer syntax given.
inline QByteArray dataSetBytes(DcmDataset& dataset, const char* transferSyntax)
{
    const E_TransferSyntax syntax = DcmXfer(transferSyntax).getXfer();
    QByteArray bytes(qsizetype(dataset.calcElementLength(syntax, EET_ExplicitLength)) + 1024, '\0');
    DcmOutputBufferStream stream(bytes.data(), offile_off_t(bytes.size()));
    dataset.transferInit();
    const OFCondition cond = dataset.write(stream, syntax, EET_ExplicitLength, nullptr, EGL_withoutGL);
    dataset.transferEnd();
    void* written = nullptr;
    offile_off_t length = 0;
    stream.flushBuffer(written, length);
    if (cond.bad())
        return {};
    bytes.truncate(qsizetype(length));
    return bytes;
}

// How a peer cuts its messages into PDVs and puts PDVs together into P-DATA-TF PDUs, where DCMTK
// itself sends one PDV per PDU: fragments of `fragmentBytes` (0: as long as the receiver takes), up
// to `pdvsPerPdu` of them in one PDU within the receiver's maximum, across the messages' bounds. With
// a seed, both are drawn at random for each fragment and each PDU.
struct PduPacking
{
    int fragmentBytes = 0;
    int pdvsPerPdu = 1;
    quint32 seed = 0;

    bool isDcmtks() const { return fragmentBytes == 0 && pdvsPerPdu == 1 && seed == 0; }
};

// One command or data set of a DIMSE message.
struct DimsePart
{
    QByteArray bytes;
    bool command = false;
};

// The parts in order as P-DATA-TF PDUs, cut and packed as `packing` says, none longer than the
// receiver's maximum `maxBody`.
inline QByteArray packPdus(T_ASC_PresentationContextID pcid, const std::vector<DimsePart>& parts,
                           const PduPacking& packing, qsizetype maxBody)
{
    std::mt19937 random(packing.seed);
    const auto draw = [&random](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
    std::vector<QByteArray> pdvs;
    for (const DimsePart& part : parts) {
        qsizetype at = 0;
        do {
            qsizetype size = packing.seed ? 2 * draw(1, 1 << draw(0, 11)) : packing.fragmentBytes > 0 ? packing.fragmentBytes
                                                                                                      : maxBody - 6;
            size = qMin(qMin(size, maxBody - 6) & ~qsizetype(1), part.bytes.size() - at);
            QByteArray pdv(6, '\0');
            qToBigEndian<quint32>(quint32(size + 2), pdv.data());
            pdv[4] = char(pcid);
            pdv[5] = char((part.command ? 0x01 : 0x00) | (at + size == part.bytes.size() ? 0x02 : 0x00));
            pdvs.push_back(pdv + part.bytes.mid(at, size));
            at += size;
        } while (at < part.bytes.size());
    }
    QByteArray stream;
    for (size_t next = 0; next < pdvs.size();) {
        int room = packing.seed ? draw(1, 8) : packing.pdvsPerPdu;
        QByteArray body;
        while (room-- > 0 && next < pdvs.size() && (body.isEmpty() || body.size() + pdvs[next].size() <= maxBody))
            body += pdvs[next++];
        QByteArray header(6, '\0');
        header[0] = 0x04;
        qToBigEndian<quint32>(quint32(body.size()), header.data() + 2);
        stream += header + body;
    }
    return stream;
}

// The socket under a DCMTK connection, which DCMTK keeps to the connection itself: a peer that ends
// its side of it needs it. (An explicit instantiation may name a protected member.)
template <typename Tag, typename Tag::Type Member>
struct ConnectionMemberAccess
{
    friend typename Tag::Type memberOf(Tag) { return Member; }
};
struct ConnectionSocketMember
{
    using Type = DcmNativeSocketType (DcmTransportConnection::*)();
    friend Type memberOf(ConnectionSocketMember);
};
template struct ConnectionMemberAccess<ConnectionSocketMember, &DcmTransportConnection::getSocket>;

// Ends the peer's sending side of the association's connection: the other side reads what was sent,
// then the end of the stream.
inline void endSending(T_ASC_Association* association)
{
    if (DcmTransportConnection* connection = DUL_getTransportConnection(association->DULassociation))
        ::shutdown((connection->*memberOf(ConnectionSocketMember()))(), SHUT_WR);
}

// Bytes written straight to the association's connection.
inline OFCondition sendRaw(T_ASC_Association* association, QByteArray bytes)
{
    DcmTransportConnection* connection = DUL_getTransportConnection(association->DULassociation);
    for (qsizetype at = 0; at < bytes.size();) {
        const ssize_t wrote = connection ? connection->write(bytes.data() + at, size_t(bytes.size() - at)) : -1;
        if (wrote <= 0)
            return DUL_NETWORKCLOSED;
        at += wrote;
    }
    return EC_Normal;
}

// The parts in order, cut and packed as `packing` says, written straight to the connection.
inline OFCondition sendPacked(T_ASC_Association* association, T_ASC_PresentationContextID pcid,
                              const std::vector<DimsePart>& parts, const PduPacking& packing)
{
    const long theirMax = association->params->theirMaxPDUReceiveSize;
    return sendRaw(association, packPdus(pcid, parts, packing, theirMax > 0 ? qsizetype(theirMax) : 16384));
}

// Bytes as PDVs of one kind, as long as the association takes, the last one marked.
inline OFCondition sendPdvs(T_ASC_Association* association, T_ASC_PresentationContextID pcid, const QByteArray& bytes,
                            DUL_DATAPDV type)
{
    const qsizetype chunk = qsizetype(association->sendPDVLength) & ~qsizetype(1);
    OFCondition cond = EC_Normal;
    qsizetype at = 0;
    do {
        const qsizetype size = qMin(chunk, bytes.size() - at);
        DUL_PDV pdv{};
        pdv.fragmentLength = static_cast<unsigned long>(size);
        pdv.presentationContextID = pcid;
        pdv.pdvType = type;
        pdv.lastPDV = at + size == bytes.size() ? OFTrue : OFFalse;
        pdv.data = const_cast<char*>(bytes.constData() + at);
        DUL_PDVLIST list{};
        list.count = 1;
        list.pdv = &pdv;
        cond = DUL_WritePDVs(&association->DULassociation, &list);
        at += size;
    } while (cond.good() && at < bytes.size());
    return cond;
}

// One P-DATA-TF PDU of one data fragment of `bytes` zeros, `last` or not.
inline QByteArray dataPdu(T_ASC_PresentationContextID pcid, qsizetype bytes, bool last)
{
    QByteArray pdu(12, '\0');
    pdu[0] = 0x04;
    qToBigEndian<quint32>(quint32(bytes + 6), pdu.data() + 2);
    qToBigEndian<quint32>(quint32(bytes + 2), pdu.data() + 6);
    pdu[10] = char(pcid);
    pdu[11] = char(last ? 0x02 : 0x00);
    return pdu + QByteArray(bytes, '\0');
}

// `message` as a peer sends it in place of a message of kind `field` (a request or a response; only
// NestedResponseData has to be a response); `implicit` tells the data set's syntax.
inline OFCondition sendHostileMessage(T_ASC_Association* association, T_ASC_PresentationContextID pcid,
                                      HostileMessage message, Uint16 field, Uint16 messageId, const char* sopClass,
                                      bool implicit)
{
    const QByteArray pending = commandSet(field, messageId, sopClass, STATUS_Pending, false);
    switch (message) {
    case HostileMessage::None:
    case HostileMessage::OddFragmentObject:
        break;
    case HostileMessage::NestedCommand:
        return sendPdvs(association, pcid, pending + nestedItems(kHostileDepth, true), DUL_COMMANDPDV);
    case HostileMessage::HugeCommand:
        return sendPdvs(association, pcid, pending + descendingEmptyElements(1024 * 1024), DUL_COMMANDPDV);
    case HostileMessage::DataForCommand:
        return sendPdvs(association, pcid, nestedItems(kHostileDepth, true), DUL_DATASETPDV);
    case HostileMessage::EndlessFragments: {
        OFCondition cond =
            sendPdvs(association, pcid, commandSet(field, messageId, sopClass, STATUS_Pending, true), DUL_COMMANDPDV);
        // Until the other side gives up (a minute at most): each fragment would start DCMTK's wait anew.
        QByteArray empty("\x04\x00\x00\x00\x00\x06\x00\x00\x00\x02\x00\x00", 12);
        empty[10] = char(pcid);
        for (int i = 0; cond.good() && i < 1200; ++i) {
            cond = sendRaw(association, empty);
            QThread::msleep(50);
        }
        return cond;
    }
    case HostileMessage::EndlessLargeAnswer:
    case HostileMessage::TrickledFragment: {
        OFCondition cond =
            sendPdvs(association, pcid, commandSet(field, messageId, sopClass, STATUS_Pending, true), DUL_COMMANDPDV);
        // One PDU of one fragment, not the last: 16 KB sent at once, or 2,000 bytes a byte at a time.
        const bool trickled = message == HostileMessage::TrickledFragment;
        const QByteArray fragment = dataPdu(pcid, trickled ? 2000 : 16384, false);
        for (int i = 0; cond.good() && !trickled && i < 4096; ++i)
            cond = sendRaw(association, fragment);
        for (qsizetype at = 0; cond.good() && trickled && at < fragment.size(); at += at < 12 ? 12 : 1) {
            cond = sendRaw(association, fragment.mid(at, at < 12 ? 12 : 1));
            QThread::msleep(50);
        }
        return cond;
    }
    case HostileMessage::NestedResponseData: {
        const OFCondition cond =
            sendPdvs(association, pcid, commandSet(field, messageId, sopClass, STATUS_Pending, true), DUL_COMMANDPDV);
        return cond.good() ? sendPdvs(association, pcid, nestedItems(kHostileDepth, implicit), DUL_DATASETPDV) : cond;
    }
    }
    return EC_Normal;
}

// An acceptor on a thread of the test, for answers no stock tool gives: C-FIND with the rows and final
// status it is given (optionally stalling or aborting part-way), C-STORE with a chosen status, and
// C-GET and C-MOVE of whatever data sets it is handed (of any study, as often as listed), with a
// chosen final status or an abort after so many objects. C-MOVE sends to `moveDestinationPort` on
// 127.0.0.1. Every answer can be delayed by `stallMs`.
class ScriptedScp : public DcmSCP
{
public:
    std::vector<std::unique_ptr<DcmDataset>> findRows;
    // Sent after findRows, each byte as given (explicit VR little endian, the syntax the association
    // agrees on unless findImplicitOnly): what no data set of DCMTK's own would write.
    std::vector<QByteArray> findRawRows;
    // Sent byte for byte in place of every answer to a C-FIND (a stream of PDUs of any shape); the peer
    // then ends its side of the connection and drops the association.
    QByteArray findRawStream;
    // The C-FIND context accepts implicit VR little endian only (findRawRows are then in that syntax).
    bool findImplicitOnly = false;
    Uint16 findFinalStatus = STATUS_Success;
    int findAbortAfter = -1;      // abort the association after this many rows
    int findStallAfter = -1;      // go silent for findStallMs after this many rows
    int findStallMs = 0;
    int findRowPauseMs = 0;       // before each row: a server that keeps answering, slowly
    Uint16 storeStatus = STATUS_Success;
    int stallMs = 0;
    bool offerFind = true;
    std::vector<std::unique_ptr<DcmDataset>> retrieveObjects;
    int retrieveAbortAfter = -1;  // abort after this many objects were sent
    int retrievePauseMs = 0;      // between two objects
    int retrieveFinalStatus = -1; // -1: success, or the warning or refusal that the sub-operations earned
    // A C-GET or C-MOVE answered with this many "pending" answers, `retrievePendingMs` apart, and
    // nothing sent, before its final answer (or until the peer is stopped).
    int retrievePendingOnly = 0;
    int retrievePendingMs = 50;
    // Once this many objects of a C-GET or C-MOVE were sent and answered, "pending" answers
    // `retrievePendingMs` apart and nothing sent until releaseRetrieve (or the requester goes), then
    // the rest: a retrieve held at a point the test knows, whose requester still hears from the peer.
    int retrieveHoldAfter = -1;
    quint16 moveDestinationPort = 0;
    // The C-STORE requests of a retrieve name this SOP Instance UID, or SOP Class UID, rather than
    // their data set's.
    std::string announcedSopInstanceUid;
    std::string announcedSopClassUid;
    // The data sets of those requests are encoded in this transfer syntax rather than the one agreed.
    std::string sentTransferSyntax;
    // Sent after the rows of a C-FIND, before any object of a C-GET or C-MOVE, or in place of a C-STORE
    // response.
    HostileMessage hostile = HostileMessage::None;
    // How the C-STORE requests of a retrieve, and the answers to a C-FIND (its rows and its final
    // answer, one stream), are cut and packed.
    PduPacking packing;
    // Run on the C-MOVE's thread before it connects to the destination (which serves one association at
    // a time).
    std::function<void()> duringMove;
    // A C-MOVE sends its first object on this many associations at once, its own and others beside
    // it, each copy answered and counted, and the rest on its own.
    int moveFirstObjectCopies = 1;

    ~ScriptedScp() override { stop(); }

    bool start()
    {
        setAETitle("SCRIPTED");
        setConnectionBlockingMode(DUL_NOBLOCK);
        setConnectionTimeout(1);
        setDIMSEBlockingMode(DIMSE_NONBLOCKING);
        setDIMSETimeout(30);
        setHostLookupEnabled(OFFalse);
        // Storage contexts serve both as a C-STORE receiver and as the sender of C-GET sub-operations.
        getConfig().setAlwaysAcceptDefaultRole(OFTrue);
        OFList<OFString> xfers;
        xfers.push_back(UID_LittleEndianExplicitTransferSyntax);
        xfers.push_back(UID_LittleEndianImplicitTransferSyntax);
        addPresentationContext(UID_VerificationSOPClass, xfers);
        if (offerFind) {
            OFList<OFString> implicitOnly;
            implicitOnly.push_back(UID_LittleEndianImplicitTransferSyntax);
            addPresentationContext(UID_FINDStudyRootQueryRetrieveInformationModel, findImplicitOnly ? implicitOnly : xfers);
        }
        addPresentationContext(UID_GETStudyRootQueryRetrieveInformationModel, xfers);
        addPresentationContext(UID_MOVEStudyRootQueryRetrieveInformationModel, xfers);
        addPresentationContext(UID_CTImageStorage, xfers, ASC_SC_ROLE_SCP);
        addPresentationContext(UID_MRImageStorage, xfers, ASC_SC_ROLE_SCP);
        // Tried again on another port when a program took the one chosen before the listen could.
        for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
            m_port = fixtures::freeLoopbackPort();
            setPort(m_port);
            m_listenEnded = false;
            m_thread = std::thread([this] {
                listen();
                m_listenEnded = true;
            });
            QElapsedTimer timer;
            timer.start();
            while (!m_listenEnded && timer.elapsed() < 30000) {
                if (fixtures::listensOn(QCoreApplication::applicationPid(), m_port))
                    return true;
                QThread::msleep(5);
            }
            stop();
            m_stop = false;
        }
        return false;
    }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    // Encodes findRows once, in each syntax the C-FIND context accepts, for every search after: the
    // answers then go out at the pace of the connection, not of their encoding, so that a client's
    // own speed is what a bench of it sees.
    void encodeFindRowsAhead()
    {
        for (const char* syntax : {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax}) {
            std::vector<QByteArray>& encoded = m_encodedFindRows[syntax];
            encoded.clear();
            for (const std::unique_ptr<DcmDataset>& row : findRows)
                encoded.push_back(dataSetBytes(*row, syntax));
        }
    }

    quint16 port() const { return m_port; }
    int storesReceived() const { return m_stores; }
    // Associations the requester ended by a release (not by an abort or a dropped connection).
    int releasesReceived() const { return m_releases; }
    int pendingAnswersSent() const { return m_pendingSent; }
    // The retrieve has come to retrieveHoldAfter.
    bool retrieveHeld() const { return m_held; }
    void releaseRetrieve() { m_released = true; }
    int findRowsSent() const { return m_findRowsSent; }
    // The statuses the receiver answered the sub-operations of the last retrieve with.
    std::vector<Uint16> subOperationStatuses()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_subStatuses;
    }

    std::unique_ptr<DcmDataset> lastQuery()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastQuery ? std::make_unique<DcmDataset>(*m_lastQuery) : nullptr;
    }

protected:
    OFBool stopAfterConnectionTimeout() override { return m_stop.load(); }
    OFBool stopAfterCurrentAssociation() override { return m_stop.load(); }
    void notifyReleaseRequest() override { ++m_releases; }

    OFCondition handleIncomingCommand(T_DIMSE_Message* msg, const DcmPresentationContextInfo& info) override
    {
        if (stallMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
        const T_ASC_PresentationContextID pcid = info.presentationContextID;
        if (msg->CommandField == DIMSE_C_FIND_RQ) {
            T_DIMSE_C_FindRQ& req = msg->msg.CFindRQ;
            DcmDataset* query = nullptr;
            OFCondition cond = receiveFINDRequest(req, pcid, query);
            if (cond.bad())
                return cond;
            remember(query);
            if (!findRawStream.isEmpty()) {
                T_ASC_Association* association = pacs::associationOf(*this);
                sendRaw(association, findRawStream);
                endSending(association);
                return DUL_PEERABORTEDASSOCIATION;
            }
            if (!packing.isDcmtks() || !m_encodedFindRows.empty())
                return sendPackedFindAnswers(pcid, req.MessageID, req.AffectedSOPClassUID);
            for (size_t i = 0; i < findRows.size(); ++i) {
                if (int(i) == findAbortAfter)
                    return abortNow();
                if (int(i) == findStallAfter)
                    std::this_thread::sleep_for(std::chrono::milliseconds(findStallMs));
                if (findRowPauseMs > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(findRowPauseMs));
                cond = sendFINDResponse(pcid, req.MessageID, req.AffectedSOPClassUID, findRows[i].get(),
                                        STATUS_Pending);
                if (cond.bad())
                    return cond;
                ++m_findRowsSent;
            }
            for (const QByteArray& raw : findRawRows) {
                cond = sendRawFindResponse(pcid, req.MessageID, req.AffectedSOPClassUID, raw);
                if (cond.bad())
                    return cond;
            }
            if (hostile != HostileMessage::None)
                return sendHostile(pcid, DIMSE_C_FIND_RSP, req.MessageID, req.AffectedSOPClassUID);
            if (int(findRows.size()) == findAbortAfter)
                return abortNow();
            return sendFINDResponse(pcid, req.MessageID, req.AffectedSOPClassUID, nullptr, findFinalStatus);
        }
        if (msg->CommandField == DIMSE_C_STORE_RQ) {
            T_DIMSE_C_StoreRQ& req = msg->msg.CStoreRQ;
            DcmDataset* dataset = nullptr;
            OFCondition cond = receiveSTORERequest(req, pcid, dataset);
            delete dataset;
            if (cond.bad())
                return cond;
            ++m_stores;
            if (hostile != HostileMessage::None)
                return sendHostile(pcid, DIMSE_C_STORE_RSP, req.MessageID, req.AffectedSOPClassUID);
            return sendSTOREResponse(pcid, req, storeStatus);
        }
        if (msg->CommandField == DIMSE_C_GET_RQ)
            return serveGet(msg->msg.CGetRQ, pcid);
        if (msg->CommandField == DIMSE_C_MOVE_RQ)
            return serveMove(msg->msg.CMoveRQ, pcid);
        return DcmSCP::handleIncomingCommand(msg, info);
    }

private:
    struct Counts
    {
        Uint16 completed = 0, failed = 0, warning = 0;
        void add(Uint16 status)
        {
            if (status == STATUS_Success)
                ++completed;
            else if ((status & 0xF000) == 0xB000)
                ++warning;
            else
                ++failed;
        }
        Uint16 finalStatus(int chosen) const
        {
            if (chosen >= 0)
                return Uint16(chosen);
            if (failed > 0 && completed + warning == 0)
                return STATUS_GET_Refused_OutOfResourcesSubOperations;
            return failed + warning > 0 ? STATUS_GET_Warning_SubOperationsCompleteOneOrMoreFailures : STATUS_Success;
        }
    };

    void remember(DcmDataset* query)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastQuery.reset(query);
        m_subStatuses.clear();
    }

    void noteSubStatus(Uint16 status)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_subStatuses.push_back(status);
    }

    OFCondition abortNow()
    {
        abortAssociation();
        return DUL_PEERABORTEDASSOCIATION;
    }

    static OFString stringOf(DcmDataset& ds, const DcmTagKey& key)
    {
        OFString value;
        ds.findAndGetOFString(key, value);
        return value;
    }

    T_ASC_PresentationContextID storageContext(const OFString& sopClass)
    {
        for (int id = 1; id < 256; id += 2) {
            OFString abstractSyntax, transferSyntax;
            findPresentationContext(T_ASC_PresentationContextID(id), abstractSyntax, transferSyntax);
            if (abstractSyntax == sopClass)
                return T_ASC_PresentationContextID(id);
        }
        return 0;
    }

    OFCondition sendRetrieveResponse(T_ASC_PresentationContextID pcid, Uint16 command, Uint16 messageId,
                                     const char* sopClass, Uint16 status, Uint16 remaining, const Counts& counts)
    {
        T_DIMSE_Message rsp;
        std::memset(&rsp, 0, sizeof rsp);
        rsp.CommandField = T_DIMSE_Command(command);
        // The C-GET and C-MOVE responses have the same fields, and their flags the same values.
        const auto fill = [&](auto& body) {
            body.MessageIDBeingRespondedTo = messageId;
            OFStandard::strlcpy(body.AffectedSOPClassUID, sopClass, sizeof body.AffectedSOPClassUID);
            body.DataSetType = DIMSE_DATASET_NULL;
            body.DimseStatus = status;
            body.NumberOfRemainingSubOperations = remaining;
            body.NumberOfCompletedSubOperations = counts.completed;
            body.NumberOfFailedSubOperations = counts.failed;
            body.NumberOfWarningSubOperations = counts.warning;
            body.opts = O_GET_AFFECTEDSOPCLASSUID | O_GET_NUMBEROFCOMPLETEDSUBOPERATIONS
                      | O_GET_NUMBEROFFAILEDSUBOPERATIONS | O_GET_NUMBEROFWARNINGSUBOPERATIONS
                      | (status == STATUS_Pending ? O_GET_NUMBEROFREMAININGSUBOPERATIONS : 0);
        };
        if (command == DIMSE_C_GET_RSP)
            fill(rsp.msg.CGetRSP);
        else
            fill(rsp.msg.CMoveRSP);
        return sendDIMSEMessage(pcid, &rsp, nullptr);
    }

    // A pending C-FIND answer whose command and data set go out as bytes: the command in implicit VR
    // little endian, the data set in PDVs as long as the association takes.
    OFCondition sendRawFindResponse(T_ASC_PresentationContextID pcid, Uint16 messageId, const char* sopClass,
                                    const QByteArray& dataset)
    {
        // Answers sent byte by byte need the association DcmSCP keeps to itself.
        T_ASC_Association* association = pacs::associationOf(*this);
        const OFCondition cond = sendPdvs(association, pcid,
                                          commandSet(DIMSE_C_FIND_RSP, messageId, sopClass, STATUS_Pending, true),
                                          DUL_COMMANDPDV);
        return cond.good() && !dataset.isEmpty() ? sendPdvs(association, pcid, dataset, DUL_DATASETPDV) : cond;
    }

    // The rows and the final answer of a C-FIND as one stream of PDVs, cut and packed.
    OFCondition sendPackedFindAnswers(T_ASC_PresentationContextID pcid, Uint16 messageId, const char* sopClass)
    {
        OFString abstractSyntax, transferSyntax;
        findPresentationContext(pcid, abstractSyntax, transferSyntax);
        const auto encoded = m_encodedFindRows.find(transferSyntax.c_str());
        const QByteArray pending = commandSet(DIMSE_C_FIND_RSP, messageId, sopClass, STATUS_Pending, true);
        std::vector<DimsePart> parts;
        for (size_t i = 0; i < findRows.size(); ++i) {
            parts.push_back({pending, true});
            parts.push_back({encoded != m_encodedFindRows.end() ? encoded->second[i]
                                                                : dataSetBytes(*findRows[i], transferSyntax.c_str()),
                             false});
        }
        parts.push_back({commandSet(DIMSE_C_FIND_RSP, messageId, sopClass, findFinalStatus, false), true});
        return sendPacked(pacs::associationOf(*this), pcid, parts, packing);
    }

    // The hostile message in place of an answer of kind `field` to the request `messageId`; after a
    // NestedResponseData answer the exchange goes on as usual.
    OFCondition sendHostile(T_ASC_PresentationContextID pcid, Uint16 field, Uint16 messageId, const char* sopClass)
    {
        OFString abstractSyntax, transferSyntax;
        findPresentationContext(pcid, abstractSyntax, transferSyntax);
        return sendHostileMessage(pacs::associationOf(*this), pcid, hostile, field, messageId, sopClass,
                                  transferSyntax == UID_LittleEndianImplicitTransferSyntax);
    }

    // At the hold, if `sent` objects make it: "pending" until released, as the requester sees a slow server.
    OFCondition holdAt(int sent, T_ASC_PresentationContextID pcid, Uint16 command, Uint16 messageId,
                       const char* sopClass, Uint16 remaining, const Counts& counts)
    {
        if (sent != retrieveHoldAfter)
            return EC_Normal;
        m_held = true;
        while (!m_released && !m_stop) {
            const OFCondition cond =
                sendRetrieveResponse(pcid, command, messageId, sopClass, STATUS_Pending, remaining, counts);
            if (cond.bad())
                return cond;
            std::this_thread::sleep_for(std::chrono::milliseconds(retrievePendingMs));
        }
        return EC_Normal;
    }

    // "Pending" again and again, and no object: then the final answer, if the requester still listens.
    OFCondition answerOnlyPending(T_ASC_PresentationContextID pcid, Uint16 command, Uint16 messageId,
                                  const char* sopClass)
    {
        Counts counts;
        for (int i = 0; i < retrievePendingOnly && !m_stop; ++i) {
            const OFCondition cond =
                sendRetrieveResponse(pcid, command, messageId, sopClass, STATUS_Pending, 1, counts);
            if (cond.bad())
                return cond;
            ++m_pendingSent;
            std::this_thread::sleep_for(std::chrono::milliseconds(retrievePendingMs));
        }
        return sendRetrieveResponse(pcid, command, messageId, sopClass, STATUS_Success, 0, counts);
    }

    OFCondition serveGet(T_DIMSE_C_GetRQ& req, T_ASC_PresentationContextID pcid)
    {
        DcmDataset* query = nullptr;
        T_ASC_PresentationContextID dataPcid = pcid;
        OFCondition cond = receiveDIMSEDataset(&dataPcid, &query);
        if (cond.bad())
            return cond;
        remember(query);
        if (retrievePendingOnly > 0)
            return answerOnlyPending(pcid, DIMSE_C_GET_RSP, req.MessageID, req.AffectedSOPClassUID);
        if (hostile != HostileMessage::None && hostile != HostileMessage::OddFragmentObject) {
            cond = sendHostile(pcid, DIMSE_C_GET_RSP, req.MessageID, req.AffectedSOPClassUID);
            if (cond.bad() || hostile != HostileMessage::NestedResponseData)
                return cond;
        }
        Counts counts;
        const Uint16 total = Uint16(retrieveObjects.size());
        for (Uint16 i = 0; i < total; ++i) {
            if (int(i) == retrieveAbortAfter)
                return abortNow();
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(retrievePauseMs));
            DcmDataset& object = *retrieveObjects[i];
            const OFString sopClass = stringOf(object, DCM_SOPClassUID);
            const T_ASC_PresentationContextID storePcid = storageContext(sopClass);
            if (storePcid == 0) {
                counts.add(STATUS_STORE_Error_CannotUnderstand);
                continue;
            }
            Uint16 status = 0;
            cond = storeRaw(*this, storePcid, Uint16(1000 + i), object, status);
            if (cond.bad())
                return cond;
            noteSubStatus(status);
            counts.add(status);
            cond = sendRetrieveResponse(pcid, DIMSE_C_GET_RSP, req.MessageID, req.AffectedSOPClassUID, STATUS_Pending,
                                        Uint16(total - i - 1), counts);
            if (cond.good())
                cond = holdAt(i + 1, pcid, DIMSE_C_GET_RSP, req.MessageID, req.AffectedSOPClassUID,
                              Uint16(total - i - 1), counts);
            if (cond.bad())
                return cond;
        }
        if (int(total) == retrieveAbortAfter)
            return abortNow();
        return sendRetrieveResponse(pcid, DIMSE_C_GET_RSP, req.MessageID, req.AffectedSOPClassUID,
                                    counts.finalStatus(retrieveFinalStatus), 0, counts);
    }

    OFCondition serveMove(T_DIMSE_C_MoveRQ& req, T_ASC_PresentationContextID pcid)
    {
        DcmDataset* query = nullptr;
        OFString destination;
        OFCondition cond = receiveMOVERequest(req, pcid, query, destination);
        if (cond.bad())
            return cond;
        remember(query);
        if (retrievePendingOnly > 0)
            return answerOnlyPending(pcid, DIMSE_C_MOVE_RSP, req.MessageID, req.AffectedSOPClassUID);
        if (hostile != HostileMessage::None) {
            cond = sendHostile(pcid, DIMSE_C_MOVE_RSP, req.MessageID, req.AffectedSOPClassUID);
            if (cond.bad() || hostile != HostileMessage::NestedResponseData)
                return cond;
        }
        StoreSender sender;
        sender.setAETitle("SCRIPTED");
        sender.setPeerAETitle(destination);
        sender.setPeerHostName("127.0.0.1");
        sender.setPeerPort(moveDestinationPort);
        for (const char* sopClass : {UID_CTImageStorage, UID_MRImageStorage})
            sender.addPresentationContext(sopClass, {UID_LittleEndianExplicitTransferSyntax});
        if (duringMove)
            duringMove();
        Counts counts;
        const Uint16 total = Uint16(retrieveObjects.size());
        if (sender.initNetwork().bad() || sender.negotiateAssociation().bad()) {
            counts.failed = total;
            return sendRetrieveResponse(pcid, DIMSE_C_MOVE_RSP, req.MessageID, req.AffectedSOPClassUID,
                                        STATUS_MOVE_Refused_OutOfResourcesSubOperations, 0, counts);
        }
        Uint16 first = 0;
        if (moveFirstObjectCopies > 1 && total > 0) {
            std::vector<std::thread> copies;
            std::vector<Uint16> statuses(size_t(moveFirstObjectCopies), Uint16(STATUS_STORE_Error_CannotUnderstand));
            // Copied here, one after another: DCMTK's data sets are not to be read by several threads.
            std::vector<std::unique_ptr<DcmDataset>> objects;
            for (int k = 0; k < moveFirstObjectCopies; ++k)
                objects.push_back(std::make_unique<DcmDataset>(*retrieveObjects[0]));
            for (int k = 0; k < moveFirstObjectCopies; ++k)
                copies.emplace_back([&, k] {
                    StoreSender beside;
                    beside.setAETitle("SCRIPTED");
                    beside.setPeerAETitle(destination);
                    beside.setPeerHostName("127.0.0.1");
                    beside.setPeerPort(moveDestinationPort);
                    beside.addPresentationContext(UID_CTImageStorage, {UID_LittleEndianExplicitTransferSyntax});
                    StoreSender& through = k == 0 ? sender : beside;
                    if (k > 0 && (beside.initNetwork().bad() || beside.negotiateAssociation().bad()))
                        return;
                    Uint16 status = 0;
                    DcmDataset& copy = *objects[size_t(k)];
                    const T_ASC_PresentationContextID pcid =
                        through.findPresentationContextID(stringOf(copy, DCM_SOPClassUID), "");
                    if (through.sendSTORERequest(pcid, "", &copy, status).good())
                        statuses[size_t(k)] = status;
                    noteSubStatus(statuses[size_t(k)]);
                    if (k > 0)
                        beside.releaseAssociation();
                });
            for (std::thread& copy : copies)
                copy.join();
            for (const Uint16 status : statuses)
                counts.add(status);
            first = 1;
        }
        for (Uint16 i = first; i < total; ++i) {
            if (int(i) == retrieveAbortAfter) {
                sender.abortAssociation();
                return abortNow();
            }
            if (i > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(retrievePauseMs));
            DcmDataset& object = *retrieveObjects[i];
            Uint16 status = 0;
            const T_ASC_PresentationContextID storePcid =
                sender.findPresentationContextID(stringOf(object, DCM_SOPClassUID), "");
            cond = storePcid == 0                   ? OFCondition(DIMSE_NOVALIDPRESENTATIONCONTEXTID)
                   : announcedSopInstanceUid.empty() && announcedSopClassUid.empty() && sentTransferSyntax.empty()
                           && packing.isDcmtks()
                       ? sender.sendSTORERequest(storePcid, "", &object, status)
                                                     : storeRaw(sender, storePcid, Uint16(1000 + i), object, status);
            status = cond.good() ? status : Uint16(STATUS_STORE_Error_CannotUnderstand);
            noteSubStatus(status);
            counts.add(status);
            cond = sendRetrieveResponse(pcid, DIMSE_C_MOVE_RSP, req.MessageID, req.AffectedSOPClassUID, STATUS_Pending,
                                        Uint16(total - i - 1), counts);
            if (cond.good())
                cond = holdAt(i + 1, pcid, DIMSE_C_MOVE_RSP, req.MessageID, req.AffectedSOPClassUID,
                              Uint16(total - i - 1), counts);
            if (cond.bad())
                return cond;
        }
        sender.releaseAssociation();
        if (int(total) == retrieveAbortAfter)
            return abortNow();
        return sendRetrieveResponse(pcid, DIMSE_C_MOVE_RSP, req.MessageID, req.AffectedSOPClassUID,
                                    counts.finalStatus(retrieveFinalStatus), 0, counts);
    }

    // A C-MOVE's sender, which may word its C-STORE requests itself.
    struct StoreSender : DcmSCU
    {
        using DcmSCU::findPresentationContext;
        using DcmSCU::receiveDIMSECommand;
        using DcmSCU::sendDIMSEMessage;
    };

    // Sends one C-STORE request as this peer words it, through `sender` (this peer for a C-GET, the
    // C-MOVE's sender otherwise), and reads the answer's status.
    template <typename Sender>
    OFCondition storeRaw(Sender& sender, T_ASC_PresentationContextID storePcid, Uint16 messageId, DcmDataset& object,
                         Uint16& status)
    {
        T_DIMSE_Message store;
        std::memset(&store, 0, sizeof store);
        store.CommandField = DIMSE_C_STORE_RQ;
        T_DIMSE_C_StoreRQ& body = store.msg.CStoreRQ;
        body.MessageID = messageId;
        const OFString sopClass =
            announcedSopClassUid.empty() ? stringOf(object, DCM_SOPClassUID) : announcedSopClassUid.c_str();
        OFStandard::strlcpy(body.AffectedSOPClassUID, sopClass.c_str(), sizeof body.AffectedSOPClassUID);
        const OFString instance =
            announcedSopInstanceUid.empty() ? stringOf(object, DCM_SOPInstanceUID) : announcedSopInstanceUid.c_str();
        OFStandard::strlcpy(body.AffectedSOPInstanceUID, instance.c_str(), sizeof body.AffectedSOPInstanceUID);
        body.DataSetType = DIMSE_DATASET_PRESENT;
        body.Priority = DIMSE_PRIORITY_MEDIUM;
        OFString abstractSyntax, transferSyntax;
        sender.findPresentationContext(storePcid, abstractSyntax, transferSyntax);
        const bool odd = hostile == HostileMessage::OddFragmentObject;
        if (!sentTransferSyntax.empty())
            transferSyntax = sentTransferSyntax.c_str();
        OFCondition cond = packing.isDcmtks() && !odd && sentTransferSyntax.empty()
                             ? sender.sendDIMSEMessage(storePcid, &store, &object)
                             : sendPacked(pacs::associationOf(sender), storePcid,
                                          {{storeCommandSet(messageId, body.AffectedSOPClassUID,
                                                            body.AffectedSOPInstanceUID),
                                            true},
                                           {dataSetBytes(object, transferSyntax.c_str()) + QByteArray(odd ? 1 : 0, '\0'),
                                            false}},
                                          packing);
        if (cond.bad())
            return cond;
        T_ASC_PresentationContextID answerPcid = storePcid;
        T_DIMSE_Message answer;
        std::memset(&answer, 0, sizeof answer);
        DcmDataset* detail = nullptr;
        cond = sender.receiveDIMSECommand(&answerPcid, &answer, &detail);
        delete detail;
        status = answer.msg.CStoreRSP.DimseStatus;
        return cond;
    }

    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_listenEnded{false};
    std::atomic<int> m_stores{0};
    std::atomic<int> m_pendingSent{0};
    std::atomic<int> m_findRowsSent{0};
    std::atomic<int> m_releases{0};
    std::atomic<bool> m_held{false};
    std::atomic<bool> m_released{false};
    std::mutex m_mutex;
    std::unique_ptr<DcmDataset> m_lastQuery;
    std::map<std::string, std::vector<QByteArray>> m_encodedFindRows;
    std::vector<Uint16> m_subStatuses;
    std::thread m_thread;
};

// Opens an association to a C-STORE receiver on 127.0.0.1 offering CT and MR storage in explicit VR
// little endian.
inline bool associateForStorage(DcmSCU& scu, quint16 port, const char* calledAe, const char* callingAe = "STORESCU")
{
    scu.setAETitle(callingAe);
    scu.setPeerAETitle(calledAe);
    scu.setPeerHostName("127.0.0.1");
    scu.setPeerPort(port);
    for (const char* sopClass : {UID_CTImageStorage, UID_MRImageStorage})
        scu.addPresentationContext(sopClass, {UID_LittleEndianExplicitTransferSyntax});
    return scu.initNetwork().good() && scu.negotiateAssociation().good();
}

// Sends the objects to a C-STORE receiver on 127.0.0.1 as `callingAe`, cut and packed; the status of
// each answer, or -1 for an object that got none (the association then ends).
inline std::vector<int> storePacked(quint16 port, const char* calledAe, const char* callingAe,
                                    const std::vector<DcmDataset*>& objects, const PduPacking& packing)
{
    struct Sender : DcmSCU
    {
        using DcmSCU::findPresentationContext;
    } scu;
    std::vector<int> statuses;
    if (!associateForStorage(scu, port, calledAe, callingAe))
        return statuses;
    T_ASC_Association* association = pacs::associationOf(scu);
    Uint16 messageId = 0;
    for (DcmDataset* object : objects) {
        OFString sopClass, sopInstance, abstractSyntax, transferSyntax;
        object->findAndGetOFString(DCM_SOPClassUID, sopClass);
        object->findAndGetOFString(DCM_SOPInstanceUID, sopInstance);
        T_ASC_PresentationContextID pcid = scu.findPresentationContextID(sopClass, "");
        scu.findPresentationContext(pcid, abstractSyntax, transferSyntax);
        T_DIMSE_Message answer;
        std::memset(&answer, 0, sizeof answer);
        if (pcid == 0
            || sendPacked(association, pcid,
                          {{storeCommandSet(++messageId, sopClass.c_str(), sopInstance.c_str()), true},
                           {dataSetBytes(*object, transferSyntax.c_str()), false}},
                          packing)
                   .bad()
            || DIMSE_receiveCommand(association, DIMSE_NONBLOCKING, 30, &pcid, &answer, nullptr).bad()
            || answer.CommandField != DIMSE_C_STORE_RSP) {
            statuses.push_back(-1);
            scu.abortAssociation();
            return statuses;
        }
        statuses.push_back(answer.msg.CStoreRSP.DimseStatus);
    }
    scu.releaseAssociation();
    return statuses;
}

// The data set of a file as it lies behind the file's meta header; empty when the file has none.
inline QByteArray dataSetOfFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    // "DICM", then the meta header's group length (0002,0000) UL.
    if (bytes.size() < 144 || bytes.mid(128, 4) != "DICM")
        return {};
    return bytes.mid(144 + qsizetype(qFromLittleEndian<quint32>(bytes.constData() + 140)));
}

} // namespace peers
