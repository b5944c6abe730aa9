// Copies of the program as real processes: a second copy of the probe (started the workstation's way)
// finds the copy that holds the data folder, from whatever session, and forwards its request to it over
// the loopback server and ends with 0, whatever state that copy is in, or says why it cannot and leaves
// the folder alone; the real program answers on the loopback server and forwards the same way.
#include "support/PacsTestPeers.h"

#include "AppTestSupport.h"

#include "support/LoopbackPort.h"
#include "support/TestBench.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/ZipImportWorker.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsRequestChecks.h"
#include "app/InstanceForwarding.h"
#include "app/ManagedStore.h"
#include "platform/DataFolderLock.h"
#include "platform/SingleInstanceLock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

namespace {

// A free port in place of the program's own, handed to every copy through the environment.
quint16 apiPort = 0;

// A running copy (the probe unless named) whose output lines are gathered as they come.
struct Copy
{
    // `runtime`: a runtime folder of its own, as a copy of another login session has.
    explicit Copy(const QStringList& arguments, const QString& program = QStringLiteral(FORWARD_PROBE_PATH),
                  const QString& runtime = QString())
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { output += process.readAllStandardOutput(); });
        // What it says on its error channel is read too (the real program's refusal).
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (!runtime.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
            process.setProcessEnvironment(environment);
        }
        process.start(program, arguments);
    }
    ~Copy()
    {
        process.kill();
        process.waitForFinished(3000);
    }
    bool waitFor(const QByteArray& line) { return QTest::qWaitFor([&] { return output.contains(line + '\n'); }, 30000); }
    // Runs to the end with the test's event loop (and so any server of the test) turning: the exit
    // code (-1 when still running after a minute), and how long the probe itself waited for the first copy.
    int finish(qint64* forwardMs = nullptr)
    {
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000))
            return -1;
        output += process.readAllStandardOutput();
        if (forwardMs)
            *forwardMs = output.contains("FORWARDED ") ? output.mid(output.indexOf("FORWARDED ") + 10).split('\n').value(0).toLongLong() : -1;
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    }
    QProcess process;
    QByteArray output;
};

// The data folder's lock, held by this test as the first copy; `where` is what its file says of it:
// "here" (this computer), "elsewhere" (another computer), "garbled" (nothing that can be shown), "nowhere" (no
// lock can be had in the folder, the session's is held instead).
struct FirstCopy
{
    explicit FirstCopy(const QString& where)
        : folderLock(ManagedStore::defaultDataFolder())
        , blocker(folderLock.filePath())
    {
        if (where == u"nowhere") {
            QFile::remove(blocker);
            QDir().mkpath(blocker); // a folder where the lock file goes
            held = !folderLock.anotherInstanceRunning() && !folderLock.isHeld() && !sessionLock.anotherInstanceRunning();
            return;
        }
        blocker.clear();
        held = !folderLock.anotherInstanceRunning() && folderLock.isHeld();
        // Written over by this test while it holds the lock, through a descriptor of its own that keeps it.
        QFile record(folderLock.filePath());
        const QByteArray says = where == u"elsewhere" ? "4242\nws-elsewhere.example\n" : "4242\nws\x1b]0;x\x07\n";
        if (where != u"here" && record.open(QIODevice::WriteOnly | QIODevice::Truncate))
            held = held && record.write(says) > 0;
    }
    ~FirstCopy()
    {
        if (!blocker.isEmpty())
            QDir(blocker).removeRecursively();
    }
    platform::DataFolderLock folderLock;
    platform::SingleInstanceLock sessionLock;
    QString blocker;
    bool held = false;
};

// Every file of the data folder with a digest of its bytes.
QMap<QString, QByteArray> dataFolderFiles()
{
    QMap<QString, QByteArray> files;
    const QDir data(fixtures::TestBench::dataPath());
    QDirIterator it(data.path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        files.insert(data.relativeFilePath(file.fileName()),
                     file.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex()
                                                    : QByteArray("<unread>"));
    }
    return files;
}

QByteArray health()
{
    QTcpSocket s;
    s.connectToHost(QStringLiteral("127.0.0.1"), apiPort);
    if (!s.waitForConnected(1000))
        return {};
    s.write("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (s.waitForReadyRead(2000))
        answer += s.readAll();
    return answer;
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
    fixtures::TestBench m_bench;

private slots:
    void initTestCase()
    {
        apiPort = fixtures::freeLoopbackPort();
        QVERIFY(apiPort != 0);
        qputenv("KALVENOR_LOCAL_API_PORT", QByteArray::number(apiPort));
    }

    void secondCopyForwardsToFirst()
    {
        auto first = std::make_unique<Copy>(QStringList{});
        QVERIFY2(first->waitFor("READY"), first->output.constData());
        const QString lockPath = fixtures::TestBench::dataPath(QStringLiteral("KalvenorSingleInstanceMutex_v1"));
        QVERIFY(QFileInfo::exists(lockPath));

        // Invalid first argument, valid second: the second one travels.
        Copy second({"--flag", "kalvenor://open?study=1.2.840.5&host=pacs.local&port=4242&aet=MY%20AE", "kalvenor://open?study=9.9"});
        QCOMPARE(second.finish(), 0);
        QVERIFY(second.output.contains("FORWARDED"));
        QVERIFY2(first->waitFor("OPEN|1.2.840.5|pacs.local|4242|MY AE"), first->output.constData());
        // A copy of another login session, with a runtime folder of its own, finds the first one all the same.
        QTemporaryDir otherRuntime;
        QCOMPARE(Copy({}, QStringLiteral(FORWARD_PROBE_PATH), otherRuntime.path()).finish(), 0);
        QVERIFY2(first->waitFor("FOCUS"), first->output.constData());
        QCOMPARE(first->output.count("OPEN|"), 1);

        // Killed without a chance to clean up, the first copy leaves its lock file behind, and the
        // next start still becomes the first copy, with its own request.
        first.reset();
        QVERIFY(QFileInfo::exists(lockPath));
        Copy next({"kalvenor://open?study=7.7.7"});
        QVERIFY2(next.waitFor("READY"), next.output.constData());
        QVERIFY(next.output.contains("OWN|7.7.7\n"));
        QCOMPARE(Copy({}).finish(), 0);
        QVERIFY(next.waitFor("FOCUS"));
    }

    // A first copy whose server never started, one that never answers, and one that answers: the
    // second copy waits at most three seconds and sends exactly the POST it is meant to.
    void forwarding_data()
    {
        QTest::addColumn<QString>("server"); // none, silent, busy, answering, full, starting (listens late)
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("expected"); // path and body the first copy receives
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        QTest::addColumn<QString>("undelivered"); // what the copy says when it could not hand over, in part
        QTest::addColumn<QString>("busy"); // what it says when it handed over and no answer came, in part
        QTest::addColumn<QString>("first"); // where the first copy runs, as its lock says (FirstCopy)
        QTest::addColumn<bool>("otherRuntime"); // the second copy has a runtime folder of its own
        // Qt timers may fire up to 5 % early; upper bounds above 3 s only say that the wait ends at all.
        const QByteArray open = R"(/pacs/open {"serverAeTitle":"AE","serverHost":"pacs","serverPort":104,"studyInstanceUID":"1.2.3"})";
        // Nothing listens all along: it is waited for as a copy that may be starting, then said not to take
        // requests.
        const int waited = kStartingCopyWaitMs * 95 / 100;
        QTest::newRow("nobody listening")
            << "none" << QStringList{"kalvenor://open?study=1"} << QByteArray() << waited << 30000
            << "Исследование 1 не открыто" << QString() << "here" << false;
        QTest::newRow("silent first copy") << "silent" << QStringList{} << QByteArray() << 2800 << 30000 << QString()
                                           << "получила запрос" << "here" << false;
        // Its event loop held up: the connection waits unaccepted, the request in it.
        QTest::newRow("busy first copy") << "busy" << QStringList{"kalvenor://open?study=1.2.3"} << QByteArray() << 2800
                                         << 30000 << QString() << "исследования 1.2.3 передан" << "here" << false;
        QTest::newRow("open") << "answering" << QStringList{"kalvenor://open?study=1.2.3&host=pacs&aet=AE"} << open << 0
                              << 2800 << QString() << QString() << "here" << false;
        QTest::newRow("focus") << "answering" << QStringList{} << QByteArray("/focus {}") << 0 << 2800 << QString()
                               << QString() << "here" << false;
        // Refused because its retrieves' waiting line is full, not because a box waits for the user.
        QTest::newRow("waiting line full") << "full" << QStringList{"kalvenor://open?study=1.2.3&host=pacs&aet=AE"} << open
                                           << 0 << 2800 << "слишком много исследований" << QString() << "here" << false;
        // The data folder's lock decides, not the session's.
        QTest::newRow("open, another session") << "answering" << QStringList{"kalvenor://open?study=1.2.3&host=pacs&aet=AE"}
                                               << open << 0 << 2800 << QString() << QString() << "here" << true;
        QTest::newRow("nobody listening, another session")
            << "none" << QStringList{} << QByteArray() << waited << 30000
            << "использует другая запущенная копия программы на этом компьютере" << QString() << "here"
            << true;
        // Whatever answers on this computer's port is not the copy that holds the folder: nothing is sent.
        QTest::newRow("first copy on another computer")
            << "answering" << QStringList{"kalvenor://open?study=1.2.3"} << QByteArray() << 0 << 2800
            << "на компьютере «ws-elsewhere.example»" << QString() << "elsewhere" << true;
        // A lock file that names no computer that can be shown names none.
        QTest::newRow("first copy's lock garbled")
            << "none" << QStringList{} << QByteArray() << waited << 30000
            << "использует другая запущенная копия программы, но" << QString() << "garbled" << true;
        // It holds the folder's lock and listens only once the second copy has found it refusing, as a copy
        // does that is still starting: the request reaches it all the same.
        QTest::newRow("the first copy holds the folder lock but does not listen yet")
            << "starting" << QStringList{"--hold-while-waiting"} << QByteArray("/focus {}") << 0 << 30000
            << QString() << QString() << "here" << false;
        QTest::newRow("the first copy holds the folder lock but does not listen yet, open")
            << "starting"
            << QStringList{"--hold-while-waiting", "kalvenor://open?study=1.2.3&host=pacs&aet=AE"} << open
            << 0 << 30000 << QString() << QString() << "here" << false;
        // No lock can be had in the data folder: copies of one session still meet.
        QTest::newRow("no lock in the data folder") << "answering" << QStringList{} << QByteArray("/focus {}") << 0 << 2800
                                                    << QString() << QString() << "nowhere" << false;
    }
    void forwarding()
    {
        QFETCH(QString, server);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, expected);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        QFETCH(QString, undelivered);
        QFETCH(QString, busy);
        QFETCH(QString, first);
        QFETCH(bool, otherRuntime);
        const FirstCopy held(first);
        QVERIFY(held.held);
        QTemporaryDir runtime;
        // The first copy's port, held from here on, listened on only when that copy answers: a port chosen
        // free at the start of the run may be another program's by now.
        fixtures::HeldPort firstPort;
        QVERIFY(firstPort.port() != 0);
        qputenv("KALVENOR_LOCAL_API_PORT", QByteArray::number(firstPort.port()));
        const auto restorePort =
            qScopeGuard([] { qputenv("KALVENOR_LOCAL_API_PORT", QByteArray::number(apiPort)); });
        QTcpServer fake;
        QVERIFY(server == u"none" || server == u"starting" || firstPort.listenWith(fake));
        if (server == u"busy")
            fake.pauseAccepting();
        QByteArray received;
        QObject::connect(&fake, &QTcpServer::newConnection, [&] {
            QTcpSocket* socket = fake.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [&received, socket, server] {
                received += socket->readAll();
                if ((server == u"answering" || server == u"starting") && received.contains("\r\n\r\n") &&
                    received.endsWith('}')) {
                    socket->write("HTTP/1.1 202 Accepted\r\nContent-Length: 8\r\nConnection: close\r\n\r\naccepted");
                    socket->disconnectFromHost();
                } else if (server == u"full" && received.contains("\r\n\r\n") && received.endsWith('}')) {
                    const QByteArray reason = R"({"error":"busy","reason":"too many studies wait to be retrieved"})";
                    socket->write("HTTP/1.1 429 Too Many Requests\r\nContent-Type: application/json\r\nContent-Length: "
                                  + QByteArray::number(reason.size()) + "\r\nConnection: close\r\n\r\n" + reason);
                    socket->disconnectFromHost();
                }
            });
        });
        Copy second(arguments, QStringLiteral(FORWARD_PROBE_PATH), otherRuntime ? runtime.path() : QString());
        if (server == u"starting") {
            QVERIFY2(second.waitFor("WAITING"), second.output.constData());
            QVERIFY(firstPort.listenWith(fake));
            second.process.write("\n");
        }
        qint64 forwardMs = -1;
        QCOMPARE(second.finish(&forwardMs), 0);
        QVERIFY2(forwardMs >= minMs && forwardMs < maxMs, second.output.constData());
        const QString said = QString::fromUtf8(second.output).section(QStringLiteral("UNDELIVERED "), 1);
        QVERIFY2(undelivered.isEmpty() ? said.isEmpty() : said.contains(undelivered), second.output.constData());
        const QString told = QString::fromUtf8(second.output).section(QStringLiteral("BUSY "), 1);
        QVERIFY2(busy.isEmpty() ? told.isEmpty() : told.contains(busy), second.output.constData());
        if (expected.isEmpty()) {
            QVERIFY2(server != u"answering" || received.isEmpty(), received.constData());
            return;
        }
        const QByteArray path = expected.left(expected.indexOf(' ')), body = expected.mid(expected.indexOf(' ') + 1);
        QVERIFY2(received.startsWith("POST " + path + " HTTP/1.1\r\n"), received.constData());
        const QByteArray head = received.left(received.indexOf("\r\n\r\n")).toLower();
        QVERIFY(head.contains("\r\ncontent-type: application/json\r\n"));
        QVERIFY(head.contains("\r\ncontent-length: " + QByteArray::number(body.size()) + "\r\n"));
        QVERIFY(!head.contains("\r\norigin:"));
        QCOMPARE(received.mid(received.indexOf("\r\n\r\n") + 4), body);
    }

    // A copy that ends before it ever listened (its start failed) leaves the folder to the one waiting for
    // it, which then starts as the first copy with its own request.
    void firstCopyEndsBeforeItListens()
    {
        auto held = std::make_unique<FirstCopy>(QStringLiteral("here"));
        QVERIFY(held->held);
        Copy second({"--hold-while-waiting", "kalvenor://open?study=5.5.5"});
        QVERIFY2(second.waitFor("WAITING"), second.output.constData());
        held.reset();
        second.process.write("\n");
        QVERIFY2(second.waitFor("READY"), second.output.constData());
        QVERIFY(second.output.contains("OWN|5.5.5\n"));
        QVERIFY(!second.output.contains("FORWARDED"));
    }

    // The real program: answers on the loopback server, a second copy (with or without a launch URL)
    // ends with 0 while the first keeps running, and a copy that is gone does not stop the next start.
    // Time limits only bound a hang; a loaded machine may start the program slowly.
    void realProgram()
    {
        const QString program = QStringLiteral(KALVENOR_EXECUTABLE);
        auto first = std::make_unique<Copy>(QStringList{}, program);
        QTRY_VERIFY_WITH_TIMEOUT(health().startsWith("HTTP/1.1 200"), 60000);
        QCOMPARE(Copy({}, program).finish(), 0);
        QCOMPARE(Copy({"not-a-url", "kalvenor://open?study=1.2.3&host=127.0.0.1&port=11112&aet=TEST"}, program).finish(), 0);
        QCOMPARE(first->process.state(), QProcess::Running);
        const QString sessionMark = fixtures::TestBench::dataPath(QStringLiteral("store_sweep_due"));
        QVERIFY(QFileInfo::exists(sessionMark));
        // Asked to end (as at logout), it closes as its window does: its session ends cleanly.
        first->process.terminate();
        QVERIFY(first->process.waitForFinished(60000));
        QCOMPARE(first->process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first->process.exitCode(), 0);
        QVERIFY(!QFileInfo::exists(sessionMark));
        Copy next({}, program);
        QTRY_VERIFY_WITH_TIMEOUT(health().startsWith("HTTP/1.1 200"), 60000);
    }

    // A second copy, of another session, that cannot hand its request to the copy holding the data folder
    // says so and leaves the folder as it found it: no clean-up, no index written, no server.
    void secondCopyThatCannotForwardChangesNothing_data()
    {
        QTest::addColumn<QString>("first"); // where the first copy runs (FirstCopy)
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("said"); // part of what it says
        QTest::newRow("first copy on another computer") << "elsewhere" << QStringList{} << "на компьютере «ws-elsewhere.example»";
        QTest::newRow("first copy does not answer") << "here" << QStringList{"kalvenor://open?study=1.2.3"}
                                                    << "Исследование 1.2.3 не открыто";
    }
    void secondCopyThatCannotForwardChangesNothing()
    {
        QFETCH(QString, first);
        QFETCH(QStringList, arguments);
        QFETCH(QString, said);
        fixtures::TestBench::reset();
        {
            // A study in the store, and a store mark that a start of the study list would act on.
            db::Database index;
            QVERIFY(QDir().mkpath(fixtures::TestBench::dataPath()));
            QVERIFY(index.open(fixtures::TestBench::dataPath(QStringLiteral("index.sqlite3"))));
            QVERIFY(!apptest::addStoredStudy(&index, QStringLiteral("imported_from_zip")).isEmpty());
        }
        QFile(fixtures::TestBench::dataPath(QStringLiteral("store_sweep_due"))).open(QIODevice::WriteOnly);
        const FirstCopy held(first);
        QVERIFY(held.held);
        const QMap<QString, QByteArray> before = dataFolderFiles();
        QVERIFY(before.size() > 3);

        QTemporaryDir runtime;
        Copy second(arguments, QStringLiteral(KALVENOR_EXECUTABLE), runtime.path());
        // Said before its box, which stays open until the user reads it.
        QVERIFY2(QTest::qWaitFor([&] { return QString::fromUtf8(second.output).contains(said); }, 60000),
                 second.output.constData());
        QVERIFY(QString::fromUtf8(second.output).contains(QStringLiteral("использует другая запущенная копия программы")));
        QVERIFY(health().isEmpty());
        second.process.kill();
        QVERIFY(second.process.waitForFinished(30000));
        QCOMPARE(dataFolderFiles(), before);
    }

    void endAskedWhileRetrieving_data()
    {
        QTest::addColumn<int>("retrieveMode");
        QTest::newRow("C-GET") << 1;
        QTest::newRow("C-MOVE") << 0;
    }

    // Asked to end (a logout) while a study opened from a link is being received, on the retrieve's
    // own thread or the listener's: it ends as at any other moment, with 0.
    void endAskedWhileRetrieving()
    {
        QFETCH(int, retrieveMode);
        fixtures::TestBench::reset();
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 16;
        layout.slices = 40;
        fixtures::completeUids(layout);
        peers::ScriptedScp peer;
        for (const QString& path : fixtures::writeSeries(m_bench.path(QStringLiteral("sent%1").arg(retrieveMode)), layout))
            peer.retrieveObjects.push_back(fixtures::loadDataset(path));
        peer.retrievePauseMs = 100; // the end is asked long before the last object
        const quint16 listenPort = fixtures::freeLoopbackPort();
        peer.moveDestinationPort = listenPort;
        QVERIFY(peer.start());
        pacs::savePacsConfig(peers::localConfig(listenPort, "KALVEND", {peers::at(peer.port(), "SCRIPTED", retrieveMode)}));
        const QString folder = QDir(pacs::pacsDownloadsRoot()).filePath(layout.studyUid);
        Copy program({QStringLiteral("kalvenor://open?study=%1&host=127.0.0.1&port=%2&aet=SCRIPTED")
                          .arg(layout.studyUid)
                          .arg(peer.port())},
                     QStringLiteral(KALVENOR_EXECUTABLE));
        QVERIFY(QTest::qWaitFor([&] { return QDir(folder).entryList({QStringLiteral("*.dcm")}, QDir::Files).size() >= 3; },
                                60000));
        program.process.terminate();
        QVERIFY(program.process.waitForFinished(60000));
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
        QVERIFY(QDir(folder).entryList({QStringLiteral("*.dcm")}, QDir::Files).size() < 40);
    }

    void endAskedWhileTheStartShowsANotice_data()
    {
        QTest::addColumn<QString>("index");
        QTest::newRow("index that cannot be written") << "read-only";
        QTest::newRow("index that does not open") << "damaged";
        // A home shared by two workstations: the other one's copy holds the data folder.
        QTest::newRow("data folder held on another computer") << "held elsewhere";
    }

    // Asked to end (a logout) while its start shows a notice that waits for the user: it ends as at any
    // other moment, with 0, its session ended cleanly and the index as it was; a copy turned away from
    // the data folder leaves the folder and the other copy's lock as they were.
    void endAskedWhileTheStartShowsANotice()
    {
        QFETCH(QString, index);
        fixtures::TestBench::reset();
        const QString indexPath = fixtures::TestBench::dataPath(QStringLiteral("index.sqlite3"));
        QVERIFY(QDir().mkpath(fixtures::TestBench::dataPath()));
        std::optional<FirstCopy> other;
        if (index == "held elsewhere") {
            {
                db::Database written;
                QVERIFY(written.open(indexPath));
                QVERIFY(!apptest::addStoredStudy(&written, QStringLiteral("imported_from_zip")).isEmpty());
            }
            QVERIFY(QFile(fixtures::TestBench::dataPath(QStringLiteral("store_sweep_due"))).open(QIODevice::WriteOnly));
            other.emplace(QStringLiteral("elsewhere"));
            QVERIFY(other->held);
        } else if (index == "read-only") {
            {
                db::Database written;
                QVERIFY(written.open(indexPath));
                QVERIFY(!apptest::addStoredStudy(&written, QStringLiteral("imported_from_zip")).isEmpty());
            }
            // A write-version byte above 2: SQLite reads the file but writes nothing, for every user.
            QFile file(indexPath);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(18) && file.write("\x03", 1) == 1);
        } else {
            QFile file(indexPath);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(8192, 'x')) == 8192);
        }
        const QByteArray before = apptest::bytesOf(indexPath);
        const QMap<QString, QByteArray> files = dataFolderFiles();
        Copy program({}, QStringLiteral(KALVENOR_EXECUTABLE));
        if (other) {
            // Said just before its notice, and heard from before it was said.
            const QString refusal = QStringLiteral("использует другая запущенная копия");
            QVERIFY2(QTest::qWaitFor([&] { return QString::fromUtf8(program.output).contains(refusal); }, 60000),
                     program.output.constData());
        } else {
            // The loopback server answers once an event loop turns, and before the study list is made
            // only a notice's does: the start's notice is up and waits.
            QTRY_VERIFY_WITH_TIMEOUT(health().startsWith("HTTP/1.1 200"), 60000);
        }
        program.process.terminate();
        QVERIFY2(program.process.waitForFinished(60000), program.output.constData());
        QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.process.exitCode(), 0);
        if (other) {
            // The other copy still holds the folder, which is as it was, its session mark included.
            platform::DataFolderLock probe(ManagedStore::defaultDataFolder());
            QVERIFY(probe.anotherInstanceRunning());
            QCOMPARE(probe.holder().host, QStringLiteral("ws-elsewhere.example"));
            QCOMPARE(dataFolderFiles(), files);
            return;
        }
        // The session it began after the notice ended as every session does: its mark is gone.
        QVERIFY(!QFileInfo::exists(fixtures::TestBench::dataPath(QStringLiteral("store_sweep_due"))));
        QCOMPARE(apptest::bytesOf(indexPath), before);
    }

    // Asked to end (a logout) while its start lists again the copies a cut session left in the store:
    // it ends as it does at any other moment, keeping the mark for what it did not get to, and the next
    // start lists every copy.
    void endAskedWhileTheStartListsTheStore()
    {
        const QString program = QStringLiteral(KALVENOR_EXECUTABLE);
        fixtures::TestBench::reset();
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 16;
        layout.slices = 6000; // more than a start lists before its window shows
        const QStringList files = fixtures::writeSeries(m_bench.path(QStringLiteral("series")), layout);
        QCOMPARE(files.size(), 6000);
        // As a killed archive import leaves them: in the store under their names, no row naming them.
        for (const QString& file : files) {
            const auto summary = dicom::readFileSummary(file);
            QVERIFY(summary);
            const QString copy = fixtures::TestBench::dataPath(
                QStringLiteral("imported_from_zip/%1/%2.dcm")
                    .arg(dicom::ZipImportWorker::storeName(summary->seriesInstanceUid),
                         dicom::ZipImportWorker::storeName(summary->sopInstanceUid)));
            QVERIFY(QDir().mkpath(QFileInfo(copy).path()) && QFile::copy(file, copy));
        }
        const QString mark = fixtures::TestBench::dataPath(QStringLiteral("store_sweep_due"));
        QFile(mark).open(QIODevice::WriteOnly);
        {
            Copy first({}, program);
            // The session's lock is taken right before the store is looked over, and after the program
            // listens for the request to end.
            QVERIFY(QTest::qWaitFor(
                [] { return QFileInfo::exists(fixtures::TestBench::dataPath(QStringLiteral("store_session.lock"))); }, 60000));
            first.process.terminate();
            QVERIFY(first.process.waitForFinished(60000));
            QCOMPARE(first.process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(first.process.exitCode(), 0);
        }
        // Rows listed, read as another program reads the index, without writing to it.
        const auto listed = [] {
            int rows = -1;
            {
                QSqlDatabase index = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("listed"));
                index.setDatabaseName(fixtures::TestBench::dataPath(QStringLiteral("index.sqlite3")));
                index.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
                QSqlQuery q(index);
                if (index.open() && q.exec(QStringLiteral("SELECT COUNT(*) FROM instances")) && q.next())
                    rows = q.value(0).toInt();
            }
            QSqlDatabase::removeDatabase(QStringLiteral("listed"));
            return rows;
        };
        // Whatever the first start did not list, its mark keeps due.
        QVERIFY(listed() == 6000 || QFileInfo::exists(mark));
        Copy next({}, program);
        QTRY_COMPARE_WITH_TIMEOUT(listed(), 6000, 120000);
        next.process.terminate();
        QVERIFY(next.process.waitForFinished(60000));
        QVERIFY(!QFileInfo::exists(mark));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
