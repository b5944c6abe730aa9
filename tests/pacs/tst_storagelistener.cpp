// The storage listener against DCMTK's storescu and echoscu on loopback: objects of the awaited
// studies are written and reported, others refused, a taken port is reported without spinning,
// and stop ends the listener within one wait.

#include "support/PacsTestPeers.h"

#include "support/DicomFixtures.h"
#include "pacs/NetworkTuning.h"
#include "pacs/ScuAssociation.h"
#include "pacs/StorageListener.h"
#include "pacs/StoreSpace.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/oflog/oflog.h>

#include <optional>

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

using namespace pacs;

namespace {

// Runs storescu (or echoscu) against the port; returns its exit code.
int runScu(const QString& program, quint16 port, const QStringList& files, const QString& calledAe = QStringLiteral("KALVLISTEN"))
{
    QProcess process;
    QStringList args{QStringLiteral("-aet"), QStringLiteral("KALVSCU"), QStringLiteral("-aec"), calledAe,
                     QStringLiteral("127.0.0.1"), QString::number(port)};
    if (program == QStringLiteral("storescu"))
        args.prepend(QStringLiteral("-nh"));
    args += files;
    process.start(QStandardPaths::findExecutable(program), args);
    if (!process.waitForFinished(30000))
        return -1;
    return process.exitCode();
}

QStringList filesIn(const QString& dir)
{
    QStringList out;
    for (const QFileInfo& fi : QDir(dir).entryInfoList(QDir::Files))
        out << fi.absoluteFilePath();
    return out;
}

QString studyOf(const QString& path)
{
    DcmFileFormat ff;
    if (ff.loadFile(QFile::encodeName(path).constData()).bad())
        return {};
    OFString uid;
    ff.getDataset()->findAndGetOFString(DCM_StudyInstanceUID, uid);
    return QString::fromLatin1(uid.c_str());
}

struct RunningListener
{
    QThread thread;
    StorageListener* listener;

    RunningListener(quint16 port, const QString& folder)
        : listener(new StorageListener(port, QStringLiteral("KALVLISTEN"), folder))
    {
        listener->moveToThread(&thread);
        QObject::connect(&thread, &QThread::started, listener, &StorageListener::run);
        QObject::connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
        thread.start();
    }
    // True when the thread ends after stop. A listener that missed the request would wait for the
    // next association for ever; the minute allowed here only bounds that on a loaded machine.
    bool stop()
    {
        listener->stop();
        return thread.wait(60000);
    }
    ~RunningListener()
    {
        if (thread.isRunning())
            stop();
    }
};

// Sockets of this process's host in TIME-WAIT or FIN-WAIT-2 whose local port is `port` (IPv4 and IPv6).
int timeWaitSocketsOn(quint16 port)
{
    int count = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // Read whole: a file of /proc tells no size, and reading it by lines stops at the end of the
        // first buffer, which a busy machine's thousands of sockets outgrow.
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
            if (fields.size() > 3 && (fields[3] == "06" || fields[3] == "05") && fields[1].split(':').value(1).toUInt(nullptr, 16) == port)
                ++count;
        }
    }
    return count;
}

// Whether this process has accepted, on `port`, the connection made from `peerPort` (not merely
// queued it on the listening socket, which a stopping listener resets rather than closes).
bool acceptedConnection(quint16 port, quint16 peerPort)
{
    for (const QString& entry : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::Files)) {
        const int fd = entry.toInt();
        sockaddr_in local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) == 0 && local.sin_family == AF_INET
            && ntohs(local.sin_port) == port && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) == 0
            && ntohs(peer.sin_port) == peerPort)
            return true;
    }
    return false;
}

// A peer on a plain socket, which sends what it is told and nothing else.
struct RawPeer
{
    int fd = -1;
    explicit RawPeer(quint16 port)
    {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ~RawPeer()
    {
        if (fd >= 0)
            ::close(fd);
    }
    bool send(const QByteArray& bytes) const
    {
        return fd >= 0 && ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // The first byte of what the listener answers (a PDU type), waiting up to 30 s; -1 when none came.
    int answerType() const
    {
        pollfd in{fd, POLLIN, 0};
        char type = 0;
        return ::poll(&in, 1, 30000) == 1 && ::recv(fd, &type, 1, 0) == 1 ? int(quint8(type)) : -1;
    }
    // Whether the listener still keeps the connection open (what it sent before is read past).
    bool stillOpen() const
    {
        char bytes[4096];
        for (;;) {
            const ssize_t got = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
            if (got > 0)
                continue;
            return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
};

// An A-ASSOCIATE-RQ proposing only Verification, which the listener does not offer.
QByteArray verificationRequest()
{
    const auto item = [](char type, const QByteArray& body) {
        QByteArray header(4, '\0');
        header[0] = type;
        qToBigEndian<quint16>(quint16(body.size()), header.data() + 2);
        return header + body;
    };
    const auto ae = [](const char* title) { return QByteArray(title).leftJustified(16, ' '); };
    QByteArray maxLength(4, '\0');
    qToBigEndian<quint32>(16384, maxLength.data());
    const QByteArray body = QByteArray("\x00\x01\x00\x00", 4) + ae("KALVLISTEN") + ae("REFUSED") + QByteArray(32, '\0')
                          + item(0x10, "1.2.840.10008.3.1.1.1")
                          + item(0x20, QByteArray("\x01\x00\x00\x00", 4) + item(0x30, UID_VerificationSOPClass)
                                           + item(0x40, UID_LittleEndianImplicitTransferSyntax))
                          + item(0x50, item(0x51, maxLength) + item(0x52, "1.2.826.0.1.3680043.10.1501"));
    QByteArray pdu(6, '\0');
    pdu[0] = 0x01;
    qToBigEndian<quint32>(quint32(body.size()), pdu.data() + 2);
    return pdu + body;
}

// Stores one file on the listener as an ordinary sender does, in this process; the answer's status or
// -1.
int storeOne(quint16 port, const QString& file)
{
    DcmSCU scu;
    scu.setACSETimeout(30);
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDIMSETimeout(30);
    if (!peers::associateForStorage(scu, port, "KALVLISTEN"))
        return -1;
    const T_ASC_PresentationContextID pcid = scu.findPresentationContextID(UID_CTImageStorage, "");
    Uint16 status = 0;
    const bool sent = scu.sendSTORERequest(pcid, OFFilename(QFile::encodeName(file).constData()), nullptr, status).good();
    scu.releaseAssociation();
    return sent ? int(status) : -1;
}

bool waitListening(StorageListener* listener)
{
    return QTest::qWaitFor([&] { return listener->isListening(); }, 30000);
}

} // namespace

class TestStorageListener : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_work;
    fixtures::SeriesLayout m_a, m_b;
    QStringList m_filesA, m_filesB;
    QString m_large; // one image of 512 KB

private slots:
    void initTestCase()
    {
        OFLog::configure(OFLogger::WARN_LOG_LEVEL);
        QVERIFY(m_work.isValid());
        m_a.slices = 3;
        fixtures::completeUids(m_a);
        m_filesA = fixtures::writeSeries(m_work.filePath(QStringLiteral("src-a")), m_a);
        m_b.slices = 2;
        m_b.modality = QStringLiteral("MR");
        fixtures::completeUids(m_b);
        m_filesB = fixtures::writeSeries(m_work.filePath(QStringLiteral("src-b")), m_b);
        QCOMPARE(m_filesA.size(), 3);
        QCOMPARE(m_filesB.size(), 2);
        fixtures::SeriesLayout large = m_a;
        large.seriesUid.clear();
        large.slices = 1;
        large.rows = large.columns = 512;
        fixtures::completeUids(large);
        const QStringList files = fixtures::writeSeries(m_work.filePath(QStringLiteral("src-large")), large);
        QCOMPARE(files.size(), 1);
        m_large = files.first();
    }

    void receivesIntoItsFolderAndStopsQuickly()
    {
        const quint16 port = fixtures::freeLoopbackPort();
        const QString out = m_work.filePath(QStringLiteral("all"));
        RunningListener running(port, out);
        QSignalSpy files(running.listener, &StorageListener::fileReceived);
        QVERIFY(waitListening(running.listener));
        QCOMPARE(runScu(QStringLiteral("storescu"), port, m_filesA + m_filesB), 0);
        QTRY_COMPARE_WITH_TIMEOUT(files.size(), 5, 30000);
        QCOMPARE(filesIn(out).size(), 5);
        for (const QList<QVariant>& args : files)
            QVERIFY(!studyOf(args.at(0).toString()).isEmpty());
        // Idle for a while, then stop: the servers waiting for the next sender stop waiting at once
        // (their waits would end only half a minute later), and the port is let go of for the next
        // retrieve.
        QTest::qWait(300);
        running.listener->stop();
        QVERIFY(running.thread.wait(15000));
    }

    void routesAwaitedStudiesAndRefusesOthers()
    {
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener running(port, QString());
        const QString dirA = m_work.filePath(QStringLiteral("routed-a"));
        running.listener->addStudy(m_a.studyUid, dirA);
        QSignalSpy routed(running.listener, &StorageListener::studyFileReceived);
        QVERIFY(waitListening(running.listener));
        // storescu reports the refused objects by a non-zero exit code.
        QVERIFY(runScu(QStringLiteral("storescu"), port, m_filesB + m_filesA) != -1);
        QTRY_COMPARE_WITH_TIMEOUT(routed.size(), 3, 30000);
        QCoreApplication::processEvents(); // storescu has ended: every file's signal is queued by now
        QCOMPARE(routed.size(), 3);
        const QStringList written = filesIn(dirA);
        QCOMPARE(written.size(), 3);
        for (const QString& path : written)
            QCOMPARE(studyOf(path), m_a.studyUid);
        for (const QList<QVariant>& args : routed)
            QCOMPARE(args.at(0).toString(), m_a.studyUid);

        // Once the retrieve has gone, its study is refused as well.
        running.listener->removeStudy(m_a.studyUid);
        QVERIFY(runScu(QStringLiteral("storescu"), port, m_filesA) != -1);
        QCOMPARE(filesIn(dirA).size(), 3);
    }

    void receivesBesideTheAwaitedFolders()
    {
        // An object arrives into a temporary file next to its study's folder, so that it becomes the
        // stored file without a copy: the system's temporary folder is not needed, here not usable.
        const QString notAFolder = m_work.filePath(QStringLiteral("tmp-is-a-file"));
        QVERIFY(QFile(notAFolder).open(QIODevice::WriteOnly));
        const QByteArray savedTmp = qgetenv("TMPDIR");
        auto restoreTmp = qScopeGuard([&savedTmp] { qputenv("TMPDIR", savedTmp); });
        qputenv("TMPDIR", QFile::encodeName(notAFolder));
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener running(port, QString());
        const QString dirA = m_work.filePath(QStringLiteral("beside/a"));
        const QString dirB = m_work.filePath(QStringLiteral("beside/b"));
        running.listener->addStudy(m_a.studyUid, dirA);
        running.listener->addStudy(m_b.studyUid, dirB);
        QSignalSpy routed(running.listener, &StorageListener::studyFileReceived);
        QSignalSpy errors(running.listener, &StorageListener::errorOccurred);
        QVERIFY(waitListening(running.listener));
        const int exitCode = runScu(QStringLiteral("storescu"), port, m_filesA + m_filesB);
        QVERIFY(running.stop());
        QCOMPARE(exitCode, 0);
        QCOMPARE(errors.size(), 0);
        QCOMPARE(routed.size(), 5);
        QCOMPARE(filesIn(dirA).size(), 3);
        QCOMPARE(filesIn(dirB).size(), 2);
        QCOMPARE(QDir(m_work.filePath(QStringLiteral("beside"))).entryList(QDir::Files | QDir::Hidden).size(), 0);
    }

    void refusesVerification()
    {
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener running(port, m_work.filePath(QStringLiteral("echo")));
        QVERIFY(waitListening(running.listener));
        QVERIFY(runScu(QStringLiteral("echoscu"), port, {}) != 0);
        QVERIFY(filesIn(m_work.filePath(QStringLiteral("echo"))).isEmpty());
    }

    void takenPortIsReportedWithoutSpinning_data()
    {
        QTest::addColumn<bool>("listenedOn");
        QTest::newRow("another program listening on it") << true;
        // An outgoing connection the system gave this port while nothing held it: no bind passes over
        // it, and its socket waits out a minute once closed from here; the retrieve waits for it.
        QTest::newRow("a connection made from it, nothing listening") << false;
    }

    void takenPortIsReportedWithoutSpinning()
    {
        QFETCH(bool, listenedOn);
        // Either way the port is the system's choice, taken as it is held.
        QTcpServer holder;
        std::optional<fixtures::ConnectionFromPort> connection;
        if (listenedOn)
            holder.listen(QHostAddress::Any, 0);
        else
            connection.emplace();
        QVERIFY(listenedOn ? holder.isListening() : connection->holds());
        const quint16 port = listenedOn ? holder.serverPort() : connection->port();
        RunningListener running(port, m_work.filePath(QStringLiteral("busy")));
        QSignalSpy bindFailures(running.listener, &StorageListener::bindFailed);
        QSignalSpy errors(running.listener, &StorageListener::errorOccurred);
        QElapsedTimer clock;
        clock.start();
        QTRY_VERIFY_WITH_TIMEOUT(bindFailures.size() >= 2, 30000);
        // Retries are paced (about every half second): a loaded machine only makes them fewer.
        QVERIFY2(bindFailures.size() <= clock.elapsed() / 400 + 2, qPrintable(QString::number(bindFailures.size())));
        QVERIFY(bindFailures.first().at(0).toString().contains(QString::number(port)));
        // Told in the user's words, not the library's (the protocol's name aside).
        const QString told = bindFailures.first().at(0).toString();
        QVERIFY(!QString(told)
                     .remove(QStringLiteral("C-STORE"))
                     .contains(QRegularExpression(QStringLiteral("[A-Za-z]"))));
        QCOMPARE(bindFailures.first().at(1).toBool(), !listenedOn);
        QCOMPARE(errors.size(), 1);
        QVERIFY(!running.listener->isListening());
        // When the port becomes free the listener takes it.
        holder.close();
        connection.reset();
        QVERIFY(waitListening(running.listener));
        QVERIFY(running.stop());
    }

    void stopBeforeRunHolds()
    {
        QThread thread;
        auto* listener = new StorageListener(fixtures::freeLoopbackPort(), QStringLiteral("KALVLISTEN"), QString());
        listener->stop();
        listener->moveToThread(&thread);
        connect(&thread, &QThread::started, listener, &StorageListener::run);
        connect(&thread, &QThread::finished, listener, &QObject::deleteLater);
        thread.start();
        QVERIFY(thread.wait(60000));
    }

    // A sender that keeps its association open and says nothing (as PACS that keep associations for
    // reuse do) does not keep a stopped listener on its port: it is dropped, and the next listener of
    // the port binds it at its first attempt.
    void nextListenerTakesThePortOfAStoppingOne()
    {
        setNetworkTimeouts({15, 30, 600}); // a silent sender would hold its listener for ten minutes
        const auto restore = qScopeGuard([] { setNetworkTimeouts({}); });
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener first(port, m_work.filePath(QStringLiteral("first")));
        QVERIFY(waitListening(first.listener));
        std::atomic_bool associated{false};
        OFCondition silence = EC_Normal;
        std::unique_ptr<QThread> sender(QThread::create([&] {
            DcmSCU scu;
            if (!peers::associateForStorage(scu, port, "KALVLISTEN"))
                return;
            associated = true;
            T_ASC_PresentationContextID pcid = 0;
            T_DIMSE_Message message;
            std::memset(&message, 0, sizeof message);
            silence = DIMSE_receiveCommand(pacs::associationOf(scu), DIMSE_NONBLOCKING, 600, &pcid, &message, nullptr);
        }));
        sender->start();
        QTRY_VERIFY_WITH_TIMEOUT(associated.load(), 30000);

        auto* second = new StorageListener(port, QStringLiteral("KALVLISTEN"), m_work.filePath(QStringLiteral("second")));
        second->follow(*first.listener);
        QSignalSpy bindFailures(second, &StorageListener::bindFailed);
        first.listener->stop();
        QThread thread;
        second->moveToThread(&thread);
        connect(&thread, &QThread::started, second, &StorageListener::run);
        connect(&thread, &QThread::finished, second, &QObject::deleteLater);
        thread.start();
        QVERIFY(waitListening(second));
        QCOMPARE(bindFailures.size(), 0);
        QVERIFY(sender->wait(30000));
        QVERIFY(silence.bad()); // dropped, not waited out
        QVERIFY(first.thread.wait(30000));
        second->stop();
        QVERIFY(thread.wait(60000));
    }

    void noSenderHoldsTheListener_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<int>("senders"); // of that kind, before the one that is to be served
        QTest::newRow("connects and says nothing") << "silent" << 1;
        QTest::newRow("asks for what is refused, and stays") << "refused" << 1;
        QTest::newRow("sends fragments without the last one") << "trickling" << 1;
        QTest::newRow("sends an object larger than the store can spare") << "endless" << 1;
        // Answered, and its file gone, while it still sends: the next sender's object has the room.
        QTest::newRow("floods an object past the store's room") << "flood" << 1;
        // Every place of the listener held: the sender the retrieve waits for still finds one.
        QTest::newRow("eight connect and say nothing") << "silent" << 8;
        QTest::newRow("eight ask for what is refused, and stay") << "refused" << 8;
        QTest::newRow("eight are accepted and say nothing") << "accepted" << 8;
        QTest::newRow("eight send fragments without the last one") << "trickling" << 8;
    }

    // Whatever one sender does, another is served at the same time; an object is written no further
    // than the store's free space less its reserve. However many hold the listener's places, a sender
    // that does not get on gives its place up to one that waits, whatever the time-outs of the network.
    void noSenderHoldsTheListener()
    {
        QFETCH(QString, sender);
        QFETCH(int, senders);
        const QString out = m_work.filePath(QStringLiteral("held-%1-%2").arg(sender).arg(senders));
        // The store has 1 MiB to spare, less what the listener's folder holds.
        setStoreFreeSpaceProbe([out](const QString&) {
            qint64 held = 0;
            for (const QFileInfo& file : QDir(out).entryInfoList(QDir::Files | QDir::Hidden))
                held += file.size();
            return kStoreFreeSpaceReserve + (1 << 20) - held;
        });
        // Time-outs that would keep a place for ten minutes.
        setNetworkTimeouts({15, 600, 600});
        const auto restore = qScopeGuard([] {
            setStoreFreeSpaceProbe({});
            setNetworkTimeouts({});
        });
        const quint16 port = fixtures::freeLoopbackPort();
        RunningListener running(port, out);
        QSignalSpy refusals(running.listener, &StorageListener::studyFileRefused);
        QVERIFY(waitListening(running.listener));

        std::vector<std::unique_ptr<RawPeer>> raws;
        std::vector<std::unique_ptr<DcmSCU>> scus;
        for (int i = 0; i < senders; ++i) {
            if (sender == QStringLiteral("silent") || sender == QStringLiteral("refused")) {
                raws.push_back(std::make_unique<RawPeer>(port));
                if (sender == QStringLiteral("refused")) {
                    QVERIFY(raws.back()->send(verificationRequest()));
                    QCOMPARE(raws.back()->answerType(), 0x03); // A-ASSOCIATE-RJ, and the peer keeps its connection
                }
                continue;
            }
            scus.push_back(std::make_unique<DcmSCU>());
            QVERIFY(peers::associateForStorage(*scus.back(), port, "KALVLISTEN"));
            if (sender == QStringLiteral("accepted"))
                continue;
            T_ASC_Association* association = associationOf(*scus.back());
            const T_ASC_PresentationContextID pcid = scus.back()->findPresentationContextID(UID_CTImageStorage, "");
            QVERIFY(peers::sendPdvs(association, pcid,
                                    peers::storeCommandSet(1, UID_CTImageStorage, "1.2.826.0.1.3680043.10.1501.77"),
                                    DUL_COMMANDPDV)
                        .good());
            // 8 MiB for the endless one, 2 MiB for the flood, fragments of 16 KiB; a few for the other.
            const int fragments = sender == QStringLiteral("endless") ? 512
                                : sender == QStringLiteral("flood")   ? 128
                                                                      : 3;
            for (int i = 0; i < fragments; ++i)
                QVERIFY(peers::sendRaw(association, peers::dataPdu(pcid, 16384, false)).good());
            if (sender == QStringLiteral("endless") || sender == QStringLiteral("flood")) {
                // The flood is answered before its end, and goes on.
                if (sender == QStringLiteral("endless"))
                    QVERIFY(peers::sendRaw(association, peers::dataPdu(pcid, 2, true)).good());
                T_DIMSE_Message answer;
                std::memset(&answer, 0, sizeof answer);
                T_ASC_PresentationContextID answerPcid = pcid;
                QVERIFY(DIMSE_receiveCommand(association, DIMSE_NONBLOCKING, 30, &answerPcid, &answer, nullptr).good());
                QCOMPARE(int(answer.msg.CStoreRSP.DimseStatus), int(STATUS_STORE_Refused_OutOfResources));
                QTRY_COMPARE_WITH_TIMEOUT(refusals.size(), 1, 10000);
                QVERIFY(refusals.first().at(1).toBool()); // the disk is named as the cause
                // Its temporary file goes once the answer is out.
                QTRY_COMPARE_WITH_TIMEOUT(QDir(out).entryList(QDir::Files | QDir::Hidden).size(), 0, 10000);
            }
        }
        // Another sender meanwhile is served, while the first still holds its connection: an object of
        // more than half the store's room after the flood.
        QCOMPARE(storeOne(port, sender == QStringLiteral("flood") ? m_large : m_filesA.first()), int(STATUS_Success));
        if (senders == 1 && !raws.empty())
            QVERIFY(raws.front()->stillOpen());
        else if (senders == 1 && (sender == QStringLiteral("trickling") || sender == QStringLiteral("flood")))
            QVERIFY(scus.front()->isConnected()
                    && peers::sendRaw(associationOf(*scus.front()), peers::dataPdu(1, 16384, false)).good());
        for (const std::unique_ptr<DcmSCU>& scu : scus)
            if (scu->isConnected())
                scu->abortAssociation();
        raws.clear();
        QVERIFY(running.stop());
    }

    void bindsAgainWhenNothingListens_data()
    {
        QTest::addColumn<bool>("childStarted");
        // The system lets a port be bound over these; a guard that the listener asks it so.
        QTest::newRow("its connections' sockets waiting out their time") << false;
        // DCMTK's sockets would be inherited by the child, which would keep the port listening.
        QTest::newRow("a process started while it listened, still running") << true;
    }

    // Once a listener has let go of its port, the next one binds it at once, whatever outlives the
    // first: sockets of its connections in TIME-WAIT, or a process the program started meanwhile (a
    // browser or mail client opened from it).
    void bindsAgainWhenNothingListens()
    {
        QFETCH(bool, childStarted);
        const quint16 port = fixtures::freeLoopbackPort();
        QProcess child;
        {
            RunningListener first(port, m_work.filePath(QStringLiteral("again-first")));
            QVERIFY(waitListening(first.listener));
            QCOMPARE(runScu(QStringLiteral("storescu"), port, m_filesA), 0);
            // A sender the listener drops (here: one that says nothing until the listener stops) leaves
            // the listener's end of its connection waiting out its time on the port.
            QTcpSocket silent;
            silent.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(silent.waitForConnected(30000));
            QTRY_VERIFY_WITH_TIMEOUT(acceptedConnection(port, silent.localPort()), 30000);
            if (childStarted) {
                child.start(QStandardPaths::findExecutable(QStringLiteral("sleep")), {QStringLiteral("120")});
                QVERIFY(child.waitForStarted(30000));
            }
            QVERIFY(first.stop());
            QVERIFY(silent.state() == QAbstractSocket::UnconnectedState || silent.waitForDisconnected(30000));
        }
        if (!childStarted)
            // The listener's end of the dropped connection passes through FIN-WAIT-2 to TIME-WAIT once the
            // sender's close arrives, which the system does on its own time.
            QTRY_VERIFY2_WITH_TIMEOUT(timeWaitSocketsOn(port) > 0, "no socket left in TIME-WAIT on the port", 10000);
        RunningListener second(port, m_work.filePath(QStringLiteral("again-second")));
        QSignalSpy bindFailures(second.listener, &StorageListener::bindFailed);
        QVERIFY(waitListening(second.listener));
        QCOMPARE(bindFailures.size(), 0);
        if (childStarted) {
            child.kill(); // our own child, by its handle
            child.waitForFinished(30000);
        }
    }

    void poolSharesOneListenerPerPort()
    {
        const quint16 port = fixtures::freeLoopbackPort();
        StorageListener* first = StorageListenerPool::acquire(port, QStringLiteral("KALVLISTEN"));
        StorageListener* second = StorageListenerPool::acquire(port, QStringLiteral("KALVLISTEN"));
        QCOMPARE(first, second);
        QCOMPARE(StorageListenerPool::runningThreads(), 1);
        QVERIFY(waitListening(first));
        StorageListenerPool::release(first);
        QVERIFY(!first->stopRequested()); // the second user still holds it
        QVERIFY(first->isListening());
        StorageListenerPool::release(second);
        QTRY_COMPARE_WITH_TIMEOUT(StorageListenerPool::runningThreads(), 0, 30000);
    }
};

QTEST_GUILESS_MAIN(TestStorageListener)
#include "tst_storagelistener.moc"
