// Two real processes: a second copy of a small program started the workstation's way forwards its
// request to the first copy over the loopback server and ends with 0.
#include "TestBench.h"
#include "LoopbackPort.h"
#include "platform/SingleInstanceLock.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

namespace {

// A free port in place of the program's own, handed to every probe through the environment.
quint16 kApiPort = 0;

QString probePath()
{
    return QStringLiteral(FORWARD_PROBE_PATH);
}

// Output lines of a running probe, gathered as they come.
class Probe
{
public:
    explicit Probe(const QStringList& arguments)
    {
        process.setProgram(probePath());
        process.setArguments(arguments);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { output += process.readAllStandardOutput(); });
        process.start();
    }
    ~Probe()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
    bool waitFor(const QByteArray& line, int ms = 30000)
    {
        return QTest::qWaitFor([&] { return output.contains(line + '\n'); }, ms);
    }
    QProcess process;
    QByteArray output;
};

struct Finished
{
    int exitCode = -1;
    QByteArray output;
    qint64 forwardMs = -1; // how long the probe itself waited for the first copy
};

// Runs a probe to its end, keeping the test's event loop (and so any server of the test) turning.
Finished runToEnd(const QStringList& arguments, int limitMs = 60000)
{
    Probe probe(arguments);
    Finished result;
    if (!QTest::qWaitFor([&] { return probe.process.state() == QProcess::NotRunning; }, limitMs))
        return result;
    probe.output += probe.process.readAllStandardOutput();
    result.exitCode = probe.process.exitStatus() == QProcess::NormalExit ? probe.process.exitCode() : -2;
    result.output = probe.output;
    const qsizetype at = probe.output.indexOf("FORWARDED ");
    if (at >= 0)
        result.forwardMs = probe.output.mid(at + 10).split('\n').value(0).toLongLong();
    return result;
}

} // namespace

class TestInstanceForwarding : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(probePath()).isExecutable(), qPrintable(probePath()));
        kApiPort = fixtures::freeLoopbackPort();
        QVERIFY(kApiPort != 0);
        qputenv("KALVENOR_LOCAL_API_PORT", QByteArray::number(kApiPort));
    }

    void secondCopyForwardsToFirst()
    {
        auto first = std::make_unique<Probe>(QStringList{});
        QVERIFY2(first->waitFor("READY"), first->output.constData());
        const QString lockPath = QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
                                     .filePath(QStringLiteral("KalvenorSingleInstanceMutex_v1"));
        QVERIFY(QFileInfo::exists(lockPath));

        // Invalid first argument, valid second: the second one travels.
        Finished second = runToEnd({"--flag", "kalvenor://open?study=1.2.840.5&host=pacs.local&port=4242&aet=MY%20AE",
                                    "kalvenor://open?study=9.9"});
        QCOMPARE(second.exitCode, 0);
        QVERIFY(second.output.contains("FORWARDED"));
        QVERIFY2(first->waitFor("OPEN|1.2.840.5|pacs.local|4242|MY AE"), first->output.constData());

        Finished third = runToEnd({});
        QCOMPARE(third.exitCode, 0);
        QVERIFY2(first->waitFor("FOCUS"), first->output.constData());
        QCOMPARE(first->output.count("OPEN|"), 1);

        // Killed without a chance to clean up, the first copy leaves its lock file behind ...
        first->process.kill();
        QVERIFY(first->process.waitForFinished(3000));
        QVERIFY(QFileInfo::exists(lockPath));
        first.reset();

        // ... and the next start still becomes the first copy, with its own request.
        Probe next({"kalvenor://open?study=7.7.7"});
        QVERIFY2(next.waitFor("READY"), next.output.constData());
        QVERIFY(next.output.contains("OWN|7.7.7\n"));
        Finished after = runToEnd({});
        QCOMPARE(after.exitCode, 0);
        QVERIFY(next.waitFor("FOCUS"));
    }

    void nobodyListeningEndsAtOnce()
    {
        platform::SingleInstanceLock held; // a "first copy" whose server never started
        QVERIFY(!held.anotherInstanceRunning());
        Finished second = runToEnd({"kalvenor://open?study=1"});
        QCOMPARE(second.exitCode, 0);
        QVERIFY(second.output.contains("FORWARDED"));
        // A refused connection ends the wait long before the three seconds a silent copy gets.
        QVERIFY2(second.forwardMs >= 0 && second.forwardMs < 2800, second.output.constData());
    }

    void silentFirstCopyIsWaitedForAtMostThreeSeconds()
    {
        platform::SingleInstanceLock held;
        QVERIFY(!held.anotherInstanceRunning());
        QTcpServer silent; // accepts, reads, never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost, kApiPort));
        Finished second = runToEnd({});
        QCOMPARE(second.exitCode, 0);
        // Qt timers may fire up to 5 % early; the upper bound only says that the wait ends at all.
        QVERIFY2(second.forwardMs >= 2800 && second.forwardMs < 30000, second.output.constData());
    }

    // What the first copy receives: exactly the POST the second one is meant to send.
    void forwardedBytes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("open") << QStringList{"kalvenor://open?study=1.2.3&host=pacs&aet=AE"} << QByteArray("/pacs/open")
                              << QByteArray(R"({"serverAeTitle":"AE","serverHost":"pacs","serverPort":104,"studyInstanceUID":"1.2.3"})");
        QTest::newRow("focus") << QStringList{} << QByteArray("/focus") << QByteArray("{}");
    }
    void forwardedBytes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);

        platform::SingleInstanceLock held;
        QVERIFY(!held.anotherInstanceRunning());
        QTcpServer fake;
        QVERIFY(fake.listen(QHostAddress::LocalHost, kApiPort));
        QByteArray received;
        QObject::connect(&fake, &QTcpServer::newConnection, [&] {
            QTcpSocket* socket = fake.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [&received, socket] {
                received += socket->readAll();
                const qsizetype blank = received.indexOf("\r\n\r\n");
                if (blank >= 0 && received.size() >= blank + 4) {
                    const QByteArray tail = received.mid(blank + 4);
                    if (tail.endsWith('}')) {
                        socket->write("HTTP/1.1 202 Accepted\r\nContent-Length: 8\r\nConnection: close\r\n\r\naccepted");
                        socket->disconnectFromHost();
                    }
                }
            });
        });

        Finished second = runToEnd(arguments);
        QCOMPARE(second.exitCode, 0);
        QVERIFY2(second.forwardMs >= 0 && second.forwardMs < 2800, second.output.constData()); // the answer ends the wait
        QVERIFY2(received.startsWith("POST " + path + " HTTP/1.1\r\n"), received.constData());
        const QByteArray head = received.left(received.indexOf("\r\n\r\n")).toLower();
        QVERIFY(head.contains("\r\ncontent-type: application/json\r\n"));
        QVERIFY(head.contains("\r\ncontent-length: " + QByteArray::number(body.size()) + "\r\n"));
        QVERIFY(!head.contains("\r\norigin:"));
        QCOMPARE(received.mid(received.indexOf("\r\n\r\n") + 4), body);
    }
};

QTEST_GUILESS_MAIN(TestInstanceForwarding)
#include "tst_instanceforwarding.moc"
