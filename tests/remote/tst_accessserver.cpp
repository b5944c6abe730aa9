// The hosting side through the stand-in relay: a real index, real transfer copies, bad requests, the
// PACS retrieve queue against peers that hang or refuse, and the clean-up of stale folders.

#include "IndexFixtures.h"
#include "LoopbackPort.h"
#include "RemoteAccessClient.h"
#include "RemoteAccessServer.h"
#include "RemoteProtocol.h"
#include "RemoteTunnelSocket.h"
#include "StandInRelay.h"

#include "db/Database.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsRequestChecks.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <utime.h>

namespace {

const QString kToken = QStringLiteral("host-token");
const QString kSecret = QStringLiteral("0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0");

// A bare tunnel end that keeps every frame the host sends.
struct RawClient
{
    RemoteTunnelSocket socket{TunnelRole::Client, nullptr};
    QList<QByteArray> frames;
    RawClient(int port, const QString& fingerprint)
    {
        QObject::connect(&socket, &RemoteTunnelSocket::frameReceived, &socket,
                         [this](const QByteArray& f) { frames.append(f); });
        socket.connectToRelay(QStringLiteral("127.0.0.1"), port, QStringLiteral("primary"), kToken, fingerprint,
                              kSecret);
    }
    QJsonObject ask(const QByteArray& request)
    {
        const qsizetype before = frames.size();
        socket.sendFrame(request);
        if (!QTest::qWaitFor([&] { return frames.size() > before; }, 10000))
            return {};
        QJsonObject reply;
        remoteproto::parseMessage(frames.at(before), &reply);
        return reply;
    }
    QList<QJsonObject> messages() const
    {
        QList<QJsonObject> out;
        for (const QByteArray& f : frames) {
            QJsonObject m;
            if (remoteproto::parseMessage(f, &m))
                out.append(m);
        }
        return out;
    }
};

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class AccessServerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    db::Database m_db;
    fixtures::TestCertificate m_cert;
    fixtures::StandInRelay m_relay;
    fixtures::SeriesLayout m_series;
    std::unique_ptr<RemoteAccessServer> m_server;

    void startServer(const QString& hostId = {})
    {
        m_server->start(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(), kSecret, hostId);
        QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(RemoteAccessServer::listenerIds(hostId).first()), 1, 10000);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_db.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
        m_series.slices = 3;
        QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("series")), m_series));
        m_cert = fixtures::makeTestCertificate();
        QVERIFY(m_relay.start(m_cert));
        m_server = std::make_unique<RemoteAccessServer>(&m_db, nullptr);
        startServer();
    }

    void listenerIds()
    {
        QCOMPARE(RemoteAccessServer::listenerIds("  "),
                 QStringList({"primary", "primary-w0", "primary-w1", "primary-w2", "primary-w3"}));
        QCOMPARE(RemoteAccessServer::listenerIds(" clinic-2 ").mid(0, 2), QStringList({"clinic-2", "clinic-2-w0"}));
        // A configuration without the secret (made before it existed) does not host at all.
        RemoteAccessServer unkeyed(&m_db, nullptr);
        unkeyed.start(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(), QString(), "x");
        QVERIFY(!unkeyed.isRunning());
    }

    void badRequests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("reply"); // compact JSON of the whole reply
        QTest::newRow("not json") << QByteArray("\x01\x02 raw") << R"({"message":"некорректный запрос","type":"error"})";
        QTest::newRow("array") << QByteArray("[1,2]") << R"({"message":"некорректный запрос","type":"error"})";
        QTest::newRow("no type") << QByteArray(R"({"x":1})") << R"({"message":"неизвестная команда: ","type":"error"})";
        QTest::newRow("unknown study") << QByteArray(R"({"type":"getFileList","studyUid":"9.9"})")
                                       << R"({"count":0,"studyUid":"9.9","type":"fileList"})";
        QTest::newRow("file index out of range") << QByteArray(R"({"type":"getFile","studyUid":"9.9","index":3})")
                                                 << R"({"message":"некорректный индекс файла: 3","type":"error"})";
        QTest::newRow("path-like study uid") << QByteArray(R"({"type":"getFile","studyUid":"../x","index":0})")
                                             << R"({"message":"некорректный индекс файла: 0","type":"error"})";
        QTest::newRow("pacs index") << QByteArray(R"({"type":"pacsFind","serverIndex":5})")
                                    << R"({"message":"некорректный индекс PACS-сервера: 5","type":"error"})";
        QTest::newRow("retrieve without uid") << QByteArray(R"({"type":"pacsRetrieve","serverIndex":0})")
                                              << R"({"message":"некорректный запрос pacsRetrieve","type":"error"})";
    }
    void badRequests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, reply);
        RawClient client(m_relay.port(), m_cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return client.socket.isPeerReady(); }, 10000));
        QCOMPARE(QString::fromUtf8(remoteproto::toFrame(client.ask(request))), reply);
        // The session stays open after a bad request.
        QCOMPARE(client.ask(R"({"type":"listStudies"})").value("type").toString(), QStringLiteral("studies"));
    }

    void servesStudiesAndFiles()
    {
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 0, 10000);
        QSignalSpy status(m_server.get(), &RemoteAccessServer::statusChanged);
        RemoteAccessClient client;
        QString error;
        QVERIFY2(client.connectToServer(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(),
                                        kSecret, &error, 10000, QStringLiteral("primary-w2")),
                 qPrintable(error));
        QList<RemoteStudyEntry> studies;
        QVERIFY2(client.listStudies(&studies, &error, 10000), qPrintable(error));
        QCOMPARE(studies.size(), 1);
        QCOMPARE(studies.first().uid, m_series.studyUid);
        QCOMPARE(studies.first().instanceCount, 3);
        int count = 0;
        QVERIFY(client.getFileList(m_series.studyUid, &count, &error, 10000));
        QCOMPARE(count, 3);

        // A resumed download continues from the partial file and ends equal to the transfer copy.
        const QString copy = RemoteAccessServer::transferCacheRoot() + "/" + m_series.studyUid + "/1.dcm";
        const QString target = m_dir.filePath(QStringLiteral("got1.dcm"));
        QVERIFY2(client.downloadFile(m_series.studyUid, 1, target, {}, &error, 10000), qPrintable(error));
        const QByteArray whole = readAll(copy);
        QVERIFY(whole.size() > 1000);
        QCOMPARE(readAll(target), whole);
        QFile partial(target);
        QVERIFY(partial.resize(700));
        QVERIFY2(client.downloadFile(m_series.studyUid, 1, target, {}, &error, 10000), qPrintable(error));
        QCOMPARE(readAll(target), whole);

        // The copy is made once: a changed source does not change what is served.
        const QStringList sources = m_db.studyFilePaths(m_series.studyUid);
        QFile source(sources.at(1));
        QVERIFY(source.open(QIODevice::Append));
        source.write("changed");
        source.close();
        QVERIFY(QFile::remove(target));
        QVERIFY(client.downloadFile(m_series.studyUid, 1, target, {}, &error, 10000));
        QCOMPARE(readAll(target), whole);

        // An offset past the end is answered from the start: the header says 0 and the whole file follows.
        RawClient raw(m_relay.port(), m_cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return raw.socket.isPeerReady(); }, 10000));
        const QJsonObject header =
            raw.ask(remoteproto::toFrame(remoteproto::message("getFile", {{"studyUid", m_series.studyUid},
                                                                          {"index", 1}, {"offset", 1e9}})));
        QCOMPARE(remoteproto::readInt64(header, "offset"), 0);
        QCOMPARE(remoteproto::readInt64(header, "sizeBytes"), whole.size());
        QCOMPARE(header.value("sha256").toString().toLatin1(),
                 QCryptographicHash::hash(whole, QCryptographicHash::Sha256).toHex());
        QTRY_COMPARE_WITH_TIMEOUT(raw.frames.size(), 2, 30000);
        QCOMPARE(raw.frames.at(1), whole);

        // Switching hosting off ends every session: nobody keeps access.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 2, 30000);
        QVERIFY(status.contains(QVariantList{QStringLiteral("Активных подключений: 2. Ожидание удалённого подключения…")}));
        QSignalSpy lost(&client, &RemoteAccessClient::disconnectedUnexpectedly);
        m_server->stop();
        QCOMPARE(m_server->sessionCount(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!raw.socket.isPeerReady(), 10000);
        startServer();
    }

    void filesStreamAsTheTunnelDrains()
    {
        // A large transfer copy goes out a chunk at a time: the host never holds more than a few MiB of it
        // in its queue, and the client still gets it whole.
        const QString copy = RemoteAccessServer::transferCacheRoot() + "/" + m_series.studyUid + "/2.dcm";
        QVERIFY(QDir().mkpath(QFileInfo(copy).path()));
        QByteArray big(24 * 1048576, Qt::Uninitialized);
        for (int i = 0; i < big.size(); i += 4096)
            big[i] = char(i / 4096);
        QFile file(copy);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(big) == big.size());
        file.close();

        RemoteAccessClient client;
        QString error;
        QVERIFY2(client.connectToServer(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(),
                                        kSecret, &error, 10000, QStringLiteral("primary")),
                 qPrintable(error));
        qint64 mostQueued = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            for (const RemoteTunnelSocket* s : m_server->findChildren<RemoteTunnelSocket*>())
                mostQueued = qMax(mostQueued, s->queuedBytes());
        });
        watch.start(0);
        const QString target = m_dir.filePath(QStringLiteral("big.dcm"));
        QVERIFY2(client.downloadFile(m_series.studyUid, 2, target, {}, &error, 20000), qPrintable(error));
        watch.stop();
        QCOMPARE(QFileInfo(target).size(), big.size());
        QVERIFY2(mostQueued > 0 && mostQueued <= 4 * 1048576, qPrintable(QString::number(mostQueued)));
    }

    void retrieveQueue()
    {
        // Server 0 accepts connections and never answers, so the first retrieve waits until it goes away;
        // server 1 refuses at once.
        auto hanging = std::make_unique<QTcpServer>();
        QVERIFY(hanging->listen(QHostAddress::LocalHost, 0));
        pacs::PacsConfig config;
        config.localPort = fixtures::freeLoopbackPort();
        config.servers = {{QStringLiteral("127.0.0.1"), hanging->serverPort(), QStringLiteral("HANG"), {}, 1},
                          {QStringLiteral("127.0.0.1"), fixtures::freeLoopbackPort(), QStringLiteral("GONE"), {}, 1}};
        pacs::savePacsConfig(config);

        std::vector<std::unique_ptr<RawClient>> clients;
        for (int i = 0; i < 4; ++i) {
            clients.push_back(std::make_unique<RawClient>(m_relay.port(), m_cert.fingerprint()));
            QVERIFY(QTest::qWaitFor([&] { return clients.back()->socket.isPeerReady(); }, 10000));
        }
        const auto retrieve = [&](int client, int server) {
            clients[client]->socket.sendFrame(remoteproto::toFrame(
                remoteproto::message("pacsRetrieve", {{"serverIndex", server}, {"studyUid", "1.2.3.4"}})));
        };
        const auto last = [&](int client) {
            const auto m = clients[client]->messages();
            return m.isEmpty() ? QJsonObject() : m.last();
        };
        retrieve(0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(hanging->hasPendingConnections(), 10000); // the first one runs
        retrieve(1, 0);
        QTRY_COMPARE_WITH_TIMEOUT(last(1).value("position").toInt(), 1, 30000);
        retrieve(3, 0);
        QTRY_COMPARE_WITH_TIMEOUT(last(3).value("position").toInt(), 2, 30000);
        retrieve(2, 1);
        QTRY_COMPARE_WITH_TIMEOUT(last(2).value("position").toInt(), 3, 30000);
        QVERIFY(clients[0]->messages().isEmpty());

        // A queued client that leaves loses its place; the ones behind move up.
        clients[3].reset();
        QTRY_COMPARE_WITH_TIMEOUT(last(2).value("position").toInt(), 2, 10000);

        // The second server leaves the configuration while its request waits.
        config.servers.removeLast();
        pacs::savePacsConfig(config);
        hanging.reset();
        QTRY_COMPARE_WITH_TIMEOUT(last(0).value("type").toString(), QStringLiteral("error"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(last(1).value("type").toString(), QStringLiteral("error"), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(last(2).value("message").toString(),
                                  QStringLiteral("PACS-сервер с этим номером больше не настроен на удалённом компьютере "
                                                 "(конфигурация изменилась, пока запрос ждал в очереди)."),
                                  30000);
    }

    void staleFolders_data()
    {
        QTest::addColumn<bool>("cache"); // else pacs_downloads
        QTest::addColumn<int>("ageHours");
        QTest::addColumn<bool>("indexed");
        QTest::addColumn<bool>("kept");
        QTest::newRow("old copies") << true << 73 << false << false;
        QTest::newRow("recent copies") << true << 71 << false << true;
        QTest::newRow("old download of an unknown study") << false << 3 << false << false;
        QTest::newRow("recent download") << false << 1 << false << true;
        QTest::newRow("old download of an indexed study") << false << 500 << true << true;
    }
    void staleFolders()
    {
        QFETCH(bool, cache);
        QFETCH(int, ageHours);
        QFETCH(bool, indexed);
        QFETCH(bool, kept);
        const QString root = cache ? RemoteAccessServer::transferCacheRoot() : pacs::pacsDownloadsRoot();
        const QString folder = root + "/" + (indexed ? m_series.studyUid : QStringLiteral("1.2.840.99"));
        QVERIFY(QDir().mkpath(folder + "/sub"));
        QFile(folder + "/sub/0.dcm").open(QIODevice::WriteOnly);
        const time_t when = time(nullptr) - time_t(ageHours) * 3600;
        const utimbuf times{when, when};
        QCOMPARE(utime(QFile::encodeName(folder).constData(), &times), 0);
        m_server->cleanupStaleFiles();
        QCOMPARE(QFileInfo::exists(folder), kept);
        QDir(folder).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(AccessServerTest)
#include "tst_accessserver.moc"
