// The hosting side through the stand-in relay: a real index, real transfer copies and their sources
// changing, bad requests and floods of them, replayed hellos, silent pairings and the session limits,
// the PACS retrieve queue against peers that hang or refuse and clients that flood it, and the
// clean-up of stale folders.

#include "support/IndexFixtures.h"
#include "support/LoopbackPort.h"
#include "remote/RemoteAccessClient.h"
#include "remote/RemoteAccessServer.h"
#include "remote/RemoteAccessSession.h"
#include "remote/RemoteProtocol.h"
#include "remote/RemoteTunnelSocket.h"
#include "support/StandInRelay.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "pacs/PacsConfig.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocket>

#include <dcmtk/dcmdata/dctk.h>

#include <algorithm>
#include <utime.h>

namespace {

const QString kToken = QStringLiteral("host-token");
const QString kSecret = QStringLiteral("0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0");

// A bare tunnel end that keeps every frame the host sends.
struct RawClient
{
    RemoteTunnelSocket socket{TunnelRole::Client, nullptr};
    QList<QByteArray> frames;
    RawClient(int port, const QString& fingerprint, const QString& listenerId = QStringLiteral("primary"))
    {
        QObject::connect(&socket, &RemoteTunnelSocket::frameReceived, &socket,
                         [this](const QByteArray& f) { frames.append(f); });
        socket.connectToRelay(QStringLiteral("127.0.0.1"), port, listenerId, kToken, fingerprint, kSecret);
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

// The relay address a bare WebSocket opens to pair with the host's first listener.
QUrl bareTunnelUrl(int port)
{
    const QUrlQuery query{{"id", "primary"}, {"token", kToken}};
    return QUrl(QStringLiteral("wss://127.0.0.1:%1/tunnel?%2").arg(port).arg(query.toString()));
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

int countOf(const QList<QJsonObject>& messages, const QString& type)
{
    return int(std::count_if(messages.cbegin(), messages.cend(),
                             [&](const QJsonObject& m) { return remoteproto::typeOf(m) == type; }));
}

// The file rewritten by layout holds the object that source holds now, edited rather than replaced.
void keepObject(fixtures::SeriesLayout& layout, const QString& source)
{
    const auto held = dicom::readFileSummary(source);
    const QByteArray sop = held ? held->sopInstanceUid.toLatin1() : QByteArray();
    layout.customize = [sop](DcmDataset& ds, int) { ds.putAndInsertString(DCM_SOPInstanceUID, sop.constData()); };
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
    fixtures::SeriesLayout m_large;
    std::unique_ptr<RemoteAccessServer> m_server;

    void startServer(const QString& hostId = {})
    {
        m_server->start(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(), kSecret, hostId);
        // Not QTRY: it does not wait once the case has failed, and a case's clean-up restarts the server.
        const QString first = RemoteAccessServer::listenerIds(hostId).first();
        QVERIFY(QTest::qWaitFor([&] { return m_relay.waitingCount(first) == 1; }, 10000));
    }

    // A study of one file that carries 24 MiB in a private element, which its copy keeps; written and
    // indexed on first use.
    QString largeStudyUid()
    {
        if (!m_large.studyUid.isEmpty())
            return m_large.studyUid;
        m_large.slices = 1;
        m_large.customize = [](DcmDataset& ds, int) {
            QByteArray bytes(24 * 1048576, Qt::Uninitialized);
            for (int i = 0; i < bytes.size(); i += 4096)
                bytes[i] = char(i / 4096);
            const auto* data = reinterpret_cast<const Uint8*>(bytes.constData());
            ds.putAndInsertUint8Array(DcmTag(0x0009, 0x1010, EVR_OB), data, unsigned(bytes.size()));
        };
        if (!fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("large")), m_large))
            m_large.studyUid.clear();
        return m_large.studyUid;
    }

    bool download(int index, const QString& studyUid, const QString& target, QString* error)
    {
        RemoteAccessClient client;
        QFile::remove(target);
        const QString host = QStringLiteral("127.0.0.1"), worker = QStringLiteral("primary-w1");
        const int port = m_relay.port();
        return client.connectToServer(host, port, kToken, m_cert.fingerprint(), kSecret, error, 30000, worker)
               && client.downloadFile(studyUid, index, target, {}, error, 30000);
    }

private slots:
    void init() { m_server->setSessionLimits({}); }

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

        // A changed source is served as it now is: its copy is made again.
        const QString source = m_db.studyFilePaths(m_series.studyUid).at(1);
        fixtures::SeriesLayout corrected = m_series;
        corrected.patientName = QStringLiteral("Corrected^Name");
        keepObject(corrected, source);
        fixtures::writeSlice(source, corrected, 1);
        QVERIFY(QFile::remove(target));
        QVERIFY2(client.downloadFile(m_series.studyUid, 1, target, {}, &error, 10000), qPrintable(error));
        const QByteArray changed = readAll(target);
        QCOMPARE(changed, readAll(copy));
        QCOMPARE(dicom::readFileSummary(target)->patientName, corrected.patientName);

        // An offset past the end is answered from the start: the header says 0 and the whole file follows.
        RawClient raw(m_relay.port(), m_cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return raw.socket.isPeerReady(); }, 10000));
        const QJsonObject header =
            raw.ask(remoteproto::toFrame(remoteproto::message("getFile", {{"studyUid", m_series.studyUid},
                                                                          {"index", 1}, {"offset", 1e9}})));
        QCOMPARE(remoteproto::readInt64(header, "offset"), 0);
        QCOMPARE(remoteproto::readInt64(header, "sizeBytes"), changed.size());
        QCOMPARE(header.value("sha256").toString().toLatin1(),
                 QCryptographicHash::hash(changed, QCryptographicHash::Sha256).toHex());
        QTRY_COMPARE_WITH_TIMEOUT(raw.frames.size(), 2, 30000);
        QCOMPARE(raw.frames.at(1), changed);

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

    // The study list is read through a connection of its own, away from the window's thread: rows the
    // window's connection has not committed are not in it; requests sent right after it are answered
    // after it, in turn.
    void studyListIsReadApartAndAnsweredInTurn()
    {
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 0, 30000);
        RawClient client(m_relay.port(), m_cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return client.socket.isPeerReady(); }, 30000));
        QSqlDatabase own = QSqlDatabase::database(m_db.connectionName(), false);
        QVERIFY(own.transaction());
        QSqlQuery q(own);
        QVERIFY(q.exec(QStringLiteral("INSERT INTO studies (study_instance_uid, study_date) VALUES ('7.7.7', '20240101')")));
        q.finish();
        for (const QJsonObject& request :
             {remoteproto::message("listStudies", {}), remoteproto::message("getFileList", {{"studyUid", m_series.studyUid}}),
              remoteproto::message("listStudies", {}), remoteproto::message("listPacsServers", {})})
            client.socket.sendFrame(remoteproto::toFrame(request));
        QTRY_COMPARE_WITH_TIMEOUT(client.frames.size(), 4, 30000);
        QVERIFY(own.rollback());
        const QList<QJsonObject> replies = client.messages();
        QStringList types;
        for (const QJsonObject& reply : replies)
            types << remoteproto::typeOf(reply);
        QCOMPARE(types, (QStringList{"studies", "fileList", "studies", "pacsServers"}));
        QCOMPARE(replies.at(1).value("count").toInt(), 3);
        for (const int at : {0, 2}) {
            QStringList uids;
            for (const QJsonValue& study : replies.at(at).value("studies").toArray())
                uids << study.toObject().value("uid").toString();
            QVERIFY2(uids.contains(m_series.studyUid) && !uids.contains("7.7.7"), qPrintable(uids.join(',')));
        }
    }

    void studyListsOfALargeArchive_data()
    {
        // listStudies requests a client sends at once, in one or more rounds, while the window writes
        // one row after another.
        QTest::addColumn<int>("lists");
        QTest::addColumn<int>("rounds");
        QTest::addColumn<bool>("closed"); // else every request gets the whole list
        QTest::addColumn<bool>("leaves"); // the client leaves while its list is read
        QTest::newRow("one running and two waiting, twice") << 3 << 2 << false << false;
        QTest::newRow("one running and three waiting") << 4 << 1 << true << false;
        QTest::newRow("the client leaves while its list is read") << 1 << 1 << true << true;
    }
    // A list of 50,000 studies is read while the window writes: every write goes through and every
    // list is whole (that a write waits for a page of the list, never for the whole of it, the index's
    // own tests show without a clock). A client that asks for lists without waiting for them is closed. One that leaves while its list is read takes its session with it
    // at once: the list's job, held at its first page by a write of the window, ends on its own.
    void studyListsOfALargeArchive()
    {
        QFETCH(int, lists);
        QFETCH(int, rounds);
        QFETCH(bool, closed);
        QFETCH(bool, leaves);
        QThreadPool* pool = QThreadPool::globalInstance();
        QVERIFY(pool->waitForDone(60000)); // the jobs of sessions that went before
        constexpr int studies = 50000;
        db::Database index;
        QVERIFY(index.open(m_dir.filePath(QStringLiteral("large-%1.sqlite3").arg(lists))));
        QSqlQuery fill(QSqlDatabase::database(index.connectionName(), false));
        // Rows straight in SQL: the list reads study and patient rows only. Dates repeat, so that the
        // order also rests on times, names and UIDs.
        const QString rows = QStringLiteral("WITH RECURSIVE k(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM k "
                                            "WHERE n < %1) ").arg(studies - 1);
        QVERIFY2(fill.exec(QStringLiteral("INSERT INTO patients (patient_key, patient_id, patient_name) ")
                           + rows + QStringLiteral("SELECT n + 1, 'P' || n, 'Name^' || (n % 997) FROM k;")),
                 qPrintable(fill.lastError().text()));
        QVERIFY2(fill.exec(QStringLiteral("INSERT INTO studies (study_instance_uid, patient_key, study_date, "
                                          "study_time, study_description, modalities, series_count, instance_count) ")
                           + rows
                           + QStringLiteral("SELECT '1.2.826.0.1.3680043.10.' || n, n + 1, 20240101 + n % 28, "
                                            "printf('%06d', n % 7), 'Study ' || n, 'CT', 1, 1 FROM k;")),
                 qPrintable(fill.lastError().text()));
        fill.finish();
        // What is measured is the wait for the reader's lock, not the disk's flush of each commit.
        QVERIFY(fill.exec(QStringLiteral("PRAGMA synchronous=OFF")));
        fill.finish();
        const QString hostId = QStringLiteral("large-%1").arg(lists);
        RemoteAccessServer host(&index, nullptr);
        host.start(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(), kSecret, hostId);
        QVERIFY(QTest::qWaitFor([&] { return m_relay.waitingCount(hostId) == 1; }, 10000));
        RawClient client(m_relay.port(), m_cert.fingerprint(), hostId);
        QVERIFY(QTest::qWaitFor([&] { return client.socket.isPeerReady(); }, 30000));
        QSignalSpy lost(&client.socket, &RemoteTunnelSocket::disconnectedFromRelay);
        if (leaves) {
            QSqlQuery write(QSqlDatabase::database(index.connectionName(), false));
            QVERIFY(write.exec(QStringLiteral("BEGIN EXCLUSIVE")));
            client.socket.sendFrame(remoteproto::toFrame(remoteproto::message("listStudies", {})));
            QVERIFY(QTest::qWaitFor([&] { return pool->activeThreadCount() == 1; }, 30000));
            auto* session = host.findChild<RemoteAccessSession*>();
            QVERIFY(session);
            QElapsedTimer left;
            qint64 goneAfterMs = -1;
            connect(session, &QObject::destroyed, this, [&] { goneAfterMs = left.elapsed(); });
            left.start();
            client.socket.close();
            QVERIFY(QTest::qWaitFor([&] { return goneAfterMs >= 0; }, 30000));
            // Nobody waited for the job: it is still held.
            QCOMPARE(pool->activeThreadCount(), 1);
            QVERIFY(write.exec(QStringLiteral("ROLLBACK")));
            QVERIFY(pool->waitForDone(30000));
            QVERIFY2(goneAfterMs < 1000, qPrintable(QString::number(goneAfterMs)));
            return;
        }
        // The window's thread commits one row at a time while the lists are read.
        int writes = 0;
        QElapsedTimer running;
        running.start();
        for (int round = 1; round <= rounds; ++round) {
            for (int i = 0; i < lists; ++i)
                client.socket.sendFrame(remoteproto::toFrame(remoteproto::message("listStudies", {})));
            while (client.frames.size() < round * lists && lost.isEmpty() && running.elapsed() < 240000) {
                QTest::qWait(5);
                QVERIFY(index.markEditUnfinished(QStringLiteral("9.%1").arg(writes++)));
            }
        }
        if (closed) {
            QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 30000);
            QTRY_COMPARE_WITH_TIMEOUT(host.sessionCount(), 0, 30000);
            QVERIFY(countOf(client.messages(), "studies") < lists);
            return;
        }
        QCOMPARE(client.frames.size(), rounds * lists);
        QVERIFY(writes > 0);
        for (const QJsonObject& reply : client.messages())
            QCOMPARE(reply.value("studies").toArray().size(), studies);
    }

    // An index file replaced under the running host (a copy restored) is not the one the host's index
    // reads and writes: the list and the file lists do not mix the two, each says so instead.
    void replacedIndexIsReported()
    {
        const QString path = m_dir.filePath(QStringLiteral("replaced.sqlite3"));
        const QString restored = m_dir.filePath(QStringLiteral("restored.sqlite3"));
        db::Database index;
        QVERIFY(index.open(path));
        fixtures::SeriesLayout kept;
        kept.slices = 2;
        QVERIFY(fixtures::writeAndIndexSeries(index, m_dir.filePath(QStringLiteral("replaced-kept")), kept));
        fixtures::SeriesLayout added;
        added.slices = 2;
        {
            QVERIFY(QFile::copy(path, restored));
            db::Database copy;
            QVERIFY(copy.open(restored));
            QVERIFY(fixtures::writeAndIndexSeries(copy, m_dir.filePath(QStringLiteral("replaced-added")), added));
        }
        RemoteAccessServer host(&index, nullptr);
        host.start(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(), kSecret, "replaced");
        QVERIFY(QTest::qWaitFor([&] { return m_relay.waitingCount(QStringLiteral("replaced")) == 1; }, 10000));
        RawClient client(m_relay.port(), m_cert.fingerprint(), QStringLiteral("replaced"));
        QVERIFY(QTest::qWaitFor([&] { return client.socket.isPeerReady(); }, 30000));
        QCOMPARE(client.ask(R"({"type":"listStudies"})").value("studies").toArray().size(), 1);

        QVERIFY(QFile::rename(path, path + QStringLiteral(".old")));
        QVERIFY(QFile::rename(restored, path));
        for (const QString& uid : {kept.studyUid, added.studyUid}) {
            const QByteArray getFileList = remoteproto::toFrame(remoteproto::message("getFileList", {{"studyUid", uid}}));
            const QByteArray getFile =
                remoteproto::toFrame(remoteproto::message("getFile", {{"studyUid", uid}, {"index", 0}}));
            for (const QByteArray& request : {QByteArray(R"({"type":"listStudies"})"), getFileList, getFile}) {
                const QJsonObject reply = client.ask(request);
                QCOMPARE(remoteproto::typeOf(reply), QStringLiteral("error"));
                QVERIFY2(reply.value("message").toString().contains(QStringLiteral("заменён")),
                         qPrintable(reply.value("message").toString()));
            }
        }
    }

    void filesStreamAsTheTunnelDrains()
    {
        // A large transfer copy goes out a chunk at a time: the host never holds more than a few MiB of it
        // in its queue, and the client still gets it whole.
        const QString largeUid = largeStudyUid();
        QVERIFY(!largeUid.isEmpty());

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
        QVERIFY2(client.downloadFile(largeUid, 0, target, {}, &error, 30000), qPrintable(error));
        watch.stop();
        QVERIFY(QFileInfo(target).size() > 24 * 1048576);
        QVERIFY2(mostQueued > 0 && mostQueued <= 4 * 1048576, qPrintable(QString::number(mostQueued)));
    }

    void staleCopiesAreMadeAgain_data()
    {
        // How the study's only file changes between two downloads.
        QTest::addColumn<QString>("change");
        QTest::newRow("deleted and imported again with a corrected name") << "reimport";
        QTest::newRow("edited outside the program") << "edit";
        QTest::newRow("imported again with the same size and time") << "reimportSameTime";
        QTest::newRow("tags edited in the program, same size and time") << "tagEdit";
        // As a backup restore, "cp -p" or "rsync -a" leave it: the index is not told.
        QTest::newRow("rewritten outside the program, same size and time") << "restore";
    }
    void staleCopiesAreMadeAgain()
    {
        QFETCH(QString, change);
        fixtures::SeriesLayout study;
        study.slices = 1;
        study.patientName = QStringLiteral("Wrong^Name");
        const QString folder = m_dir.filePath(QStringLiteral("stale-") + change);
        QVERIFY(fixtures::writeAndIndexSeries(m_db, folder, study));
        const QString source = m_db.studyFilePaths(study.studyUid).value(0);
        const QString target = m_dir.filePath(QStringLiteral("stale.dcm"));
        QString error;
        QVERIFY2(download(0, study.studyUid, target, &error), qPrintable(error));
        const QByteArray before = readAll(target);
        const QString cacheFolder = RemoteAccessServer::studyCacheFolder(study.studyUid);
        QVERIFY(QFileInfo::exists(cacheFolder));

        const QDateTime modified = QFileInfo(source).lastModified();
        const auto summaryBefore = dicom::readFileSummary(source);
        QVERIFY(summaryBefore);
        if (change == "reimport" || change == "reimportSameTime") {
            QVERIFY(m_db.deleteStudy(study.studyUid));
            QVERIFY(!QFileInfo::exists(cacheFolder)); // the copies go with the study
        }
        // A name of the same length keeps the file's size; the object is the same.
        study.patientName = QString::fromLatin1(change == "reimport" ? "Corrected^Name" : "Wrong^Nama");
        keepObject(study, source);
        fixtures::writeSlice(source, study, 0);
        if (change != "reimport" && change != "edit") {
            QFile file(source);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
        }
        if (change == "reimport" || change == "reimportSameTime")
            QVERIFY(fixtures::indexFiles(m_db, {source}));
        if (change == "tagEdit") {
            const auto summaryAfter = dicom::readFileSummary(source);
            QVERIFY(summaryAfter && m_db.reindexEditedFile(*summaryBefore, *summaryAfter));
            QVERIFY(!QFileInfo::exists(cacheFolder));
        }

        // What is served is the copy of the source as it now is.
        QVERIFY2(download(0, study.studyUid, target, &error), qPrintable(error));
        QVERIFY(readAll(target) != before);
        QCOMPARE(readAll(target), readAll(QDir(cacheFolder).filePath(QStringLiteral("0.dcm"))));
        QCOMPARE(dicom::readFileSummary(target)->patientName, study.patientName);
        QVERIFY(m_db.deleteStudy(study.studyUid));
    }

    void fileListsFollowTheIndex_data()
    {
        // How the index changes while one session downloads; the count that session then gets.
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("count");
        QTest::newRow("a file added") << "add" << 3;
        QTest::newRow("a file added through another connection") << "addElsewhere" << 3;
        QTest::newRow("the study deleted") << "delete" << 0;
    }
    void fileListsFollowTheIndex()
    {
        QFETCH(QString, change);
        QFETCH(int, count);
        fixtures::SeriesLayout study;
        study.slices = 2;
        const QString folder = m_dir.filePath(QStringLiteral("list-") + change);
        QVERIFY(fixtures::writeAndIndexSeries(m_db, folder, study));
        RawClient client(m_relay.port(), m_cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return client.socket.isPeerReady(); }, 30000));
        const QByteArray getFile = remoteproto::toFrame(remoteproto::message(
            "getFile", {{"studyUid", study.studyUid}, {"index", count == 0 ? 0 : 2}, {"offset", 0}}));
        const QByteArray listFiles =
            remoteproto::toFrame(remoteproto::message("getFileList", {{"studyUid", study.studyUid}}));
        // The type of the reply to getFile; a header's one chunk (the files are small) is awaited.
        const auto fileReply = [&] {
            const qsizetype before = client.frames.size();
            const QString type = client.ask(getFile).value("type").toString();
            if (type == QLatin1String("fileHeader")
                && !QTest::qWaitFor([&] { return client.frames.size() == before + 2; }, 30000))
                return QStringLiteral("no chunk");
            return type;
        };
        const QString header = QStringLiteral("fileHeader"), error = QStringLiteral("error");
        QCOMPARE(client.ask(listFiles).value("count").toInt(), 2);
        QCOMPARE(fileReply(), count == 0 ? header : error);

        fixtures::SeriesLayout more = study;
        more.slices = 3;
        const QString added = fixtures::writeSlice(QDir(folder).filePath("added.dcm"), more, 2);
        if (change == "add") {
            QVERIFY(fixtures::indexFiles(m_db, {added}));
        } else if (change == "addElsewhere") {
            db::Database other;
            QVERIFY(other.open(m_dir.filePath(QStringLiteral("index.sqlite3"))));
            QVERIFY(fixtures::indexFiles(other, {added}));
        } else {
            QVERIFY(m_db.deleteStudy(study.studyUid));
        }
        QCOMPARE(client.ask(listFiles).value("count").toInt(), count);
        QCOMPARE(fileReply(), count == 0 ? error : header);
        m_db.deleteStudy(study.studyUid);
    }

    // A download asks for the objects it was listed, wherever the host's rows of them lie now: the ones the
    // study no longer holds, and every one while the study is still being received, are refused for good,
    // in words. The first object is downloaded before the change.
    void downloadsFollowTheirObjects_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("served");      // of the other two listed objects
        QTest::addColumn<QString>("refusal"); // words of the others' refusal
        QTest::newRow("removed and imported again in another order") << "reimport" << 2 << QString();
        QTest::newRow("a series left the study") << "seriesLeft" << 1 << "изменилось во время скачивания";
        QTest::newRow("the study being received") << "receiving" << 0 << "загружается с PACS-сервера";
        QTest::newRow("another study's file copied over one") << "copiedOver" << 1 << "теперь другой снимок";
    }
    void downloadsFollowTheirObjects()
    {
        QFETCH(QString, change);
        QFETCH(int, served);
        QFETCH(QString, refusal);
        fixtures::SeriesLayout first, second;
        first.slices = 2;
        const QString folder = m_dir.filePath(QStringLiteral("objects-") + change);
        QVERIFY(fixtures::writeAndIndexSeries(m_db, folder + QStringLiteral("/a"), first));
        second.slices = 1;
        second.studyUid = first.studyUid;
        second.seriesNumber = QStringLiteral("2");
        QVERIFY(fixtures::writeAndIndexSeries(m_db, folder + QStringLiteral("/b"), second));
        const QString uid = first.studyUid;
        const auto cleanup = qScopeGuard([&] { m_db.deleteStudy(uid); });
        const QStringList files = m_db.studyFilePaths(uid);
        QCOMPARE(files.size(), 3);

        RemoteAccessClient client;
        QString error;
        QVERIFY2(client.connectToServer(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(),
                                        kSecret, &error, 30000, QStringLiteral("primary-w3")),
                 qPrintable(error));
        int count = 0;
        QStringList objects;
        QVERIFY2(client.getFileList(uid, &count, &error, 10000, &objects), qPrintable(error));
        QCOMPARE(objects.size(), 3);
        const auto target = [&](int i) { return QStringLiteral("%1/got-%2.dcm").arg(folder).arg(i); };
        QVERIFY2(client.downloadFile(uid, 0, target(0), {}, &error, 30000, objects[0]), qPrintable(error));

        std::unique_ptr<QTcpServer> hanging;
        std::unique_ptr<RawClient> retrieving;
        if (change == "receiving") { // a retrieve of the study that never ends until its peer goes
            hanging = std::make_unique<QTcpServer>();
            QVERIFY(hanging->listen(QHostAddress::LocalHost, 0));
            pacs::PacsConfig config;
            config.localPort = fixtures::freeLoopbackPort();
            config.servers = {{QStringLiteral("127.0.0.1"), hanging->serverPort(), QStringLiteral("HANG"), {}, 1}};
            pacs::savePacsConfig(config);
            retrieving = std::make_unique<RawClient>(m_relay.port(), m_cert.fingerprint());
            QVERIFY(QTest::qWaitFor([&] { return retrieving->socket.isPeerReady(); }, 30000));
            retrieving->socket.sendFrame(
                remoteproto::toFrame(remoteproto::message("pacsRetrieve", {{"serverIndex", 0}, {"studyUid", uid}})));
            QTRY_VERIFY_WITH_TIMEOUT(hanging->hasPendingConnections(), 30000);
        } else if (change == "copiedOver") { // the index is not told
            fixtures::SeriesLayout other;
            other.slices = 1;
            const QStringList written = fixtures::writeSeries(folder + QStringLiteral("/other"), other);
            QVERIFY(QFile::remove(files[1]) && QFile::copy(written.value(0), files[1]));
        } else {
            QVERIFY(m_db.deleteStudy(uid));
            QVERIFY(fixtures::indexFiles(m_db, change == "reimport" ? QStringList{files[1], files[2], files[0]}
                                                                    : files.mid(0, 2)));
        }
        int got = 0;
        for (int i : {1, 2}) {
            bool final = false;
            if (client.downloadFile(uid, i, target(i), {}, &error, 30000, objects[i], &final)) {
                ++got;
                QCOMPARE(dicom::readFileSummary(target(i))->sopInstanceUid, objects[i]);
            } else {
                QVERIFY2(final && !refusal.isEmpty() && error.contains(refusal), qPrintable(error));
            }
        }
        QCOMPARE(got, served);
        if (change == "receiving") {
            // The list is refused too, with the count the study holds so far; once received, it is listed.
            QVERIFY(!client.getFileList(uid, &count, &error, 10000));
            QVERIFY2(error.contains(refusal) && error.contains(QStringLiteral("получено объектов: 3")),
                     qPrintable(error));
            hanging.reset();
            QTRY_VERIFY_WITH_TIMEOUT(!pacs::PacsRetrieveSession::isReceiving(uid), 30000);
            QVERIFY2(client.getFileList(uid, &count, &error, 10000), qPrintable(error));
            QCOMPARE(count, 3);
        }
    }

    void sessionsNeedConfirmedKeys_data()
    {
        QTest::addColumn<QString>("attempt");
        QTest::addColumn<int>("maxSessions");
        QTest::addColumn<int>("opened"); // sessions the attempt opened
        QTest::addColumn<int>("left");   // sessions open once the host has closed the attempt's connection
        // A recorded hello, with its confirmation or without, sent again on a bare WebSocket.
        QTest::newRow("replayed hello") << "hello" << 20 << 0 << 0;
        QTest::newRow("replayed hello and confirmation") << "helloAndConfirmation" << 20 << 0 << 0;
        // A real client that asks nothing is let go once the first-request time has passed.
        QTest::newRow("client that asks nothing") << "silent" << 20 << 1 << 0;
        // A client beyond the limit is disconnected; the one already served stays.
        QTest::newRow("client over the session limit") << "overLimit" << 1 << 0 << 1;
        // Replies waiting in the tunnel beyond the limit (a byte here, so a file's second chunk passes it).
        QTest::newRow("client whose replies pile up") << "pileUp" << 20 << 1 << 0;
    }
    void sessionsNeedConfirmedKeys()
    {
        QFETCH(QString, attempt);
        QFETCH(int, maxSessions);
        QFETCH(int, opened);
        QFETCH(int, left);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 0, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(QStringLiteral("primary")), 1, 30000);

        // A genuine client's first frames on the relay: its hello, then its confirmation.
        QList<QByteArray> recorded;
        m_relay.filter = [&](const QString&, bool fromFirst, const QByteArray& m) {
            if (!fromFirst)
                recorded << m;
            return QList<QByteArray>{m};
        };
        {
            RawClient genuine(m_relay.port(), m_cert.fingerprint());
            QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 1, 30000); // the host has both frames
        }
        m_relay.filter = {};
        QCOMPARE(recorded.size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 0, 30000);
        QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(QStringLiteral("primary")), 1, 30000);

        RemoteAccessServer::SessionLimits limits;
        limits.maxSessions = maxSessions;
        limits.firstRequestMs = 1000;
        if (attempt == "pileUp")
            limits.maxUnsentBytes = 1;
        m_server->setSessionLimits(limits);
        std::unique_ptr<RawClient> served;
        if (attempt == "overLimit") {
            served = std::make_unique<RawClient>(m_relay.port(), m_cert.fingerprint());
            const QJsonObject reply = served->ask(R"({"type":"listStudies"})");
            QCOMPARE(reply.value("type").toString(), QStringLiteral("studies"));
            QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(QStringLiteral("primary")), 1, 30000);
        }
        QSignalSpy status(m_server.get(), &RemoteAccessServer::statusChanged);
        QWebSocket bare;
        QSignalSpy closed(&bare, &QWebSocket::disconnected);
        std::unique_ptr<RawClient> client;
        if (attempt.startsWith("hello")) {
            connect(&bare, &QWebSocket::sslErrors, &bare, [&bare] { bare.ignoreSslErrors(); });
            connect(&bare, &QWebSocket::connected, &bare, [&] {
                bare.sendBinaryMessage(recorded.at(0));
                if (attempt == "helloAndConfirmation")
                    bare.sendBinaryMessage(recorded.at(1));
            });
            bare.open(bareTunnelUrl(m_relay.port()));
            QVERIFY(closed.wait(30000)); // the host gives the connection up
        } else {
            client = std::make_unique<RawClient>(m_relay.port(), m_cert.fingerprint());
            QSignalSpy lost(&client->socket, &RemoteTunnelSocket::disconnectedFromRelay);
            const QJsonObject getLarge{{"type", "getFile"}, {"studyUid", largeStudyUid()}, {"index", 0}};
            if (attempt == "pileUp")
                client->socket.sendFrame(remoteproto::toFrame(getLarge));
            QVERIFY(lost.wait(30000));
        }
        const QString openedText = QStringLiteral("Удалённый клиент подключен");
        int sessionsOpened = 0;
        for (const auto& args : status)
            sessionsOpened += args.at(0).toString().startsWith(openedText) ? 1 : 0;
        QCOMPARE(sessionsOpened, opened);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), left, 30000);
        served.reset();
        QTRY_COMPARE_WITH_TIMEOUT(m_relay.waitingCount(QStringLiteral("primary")), 1, 30000);
    }

    void silentPairingsAreRecycled_data()
    {
        // What the holder of a bare WebSocket paired with the host's listener sends: it has the relay's
        // token but not the secret.
        QTest::addColumn<bool>("sendsForeignHello");
        QTest::newRow("nothing") << false;
        QTest::newRow("a hello under another secret") << true;
    }
    void silentPairingsAreRecycled()
    {
        QFETCH(bool, sendsForeignHello);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 0, 30000);
        RemoteAccessServer::SessionLimits limits;
        limits.helloWaitMs = 3000;
        m_server->setSessionLimits(limits);
        m_server->stop();
        const auto restore = qScopeGuard([this] {
            m_server->setSessionLimits({});
            m_server->stop();
            startServer();
        });
        startServer();

        QWebSocket holder;
        QSignalSpy heard(&holder, &QWebSocket::binaryMessageReceived);
        QSignalSpy closed(&holder, &QWebSocket::disconnected);
        connect(&holder, &QWebSocket::sslErrors, &holder, [&holder] { holder.ignoreSslErrors(); });
        connect(&holder, &QWebSocket::connected, &holder, [&] {
            if (!sendsForeignHello)
                return;
            const QJsonObject hello{{"type", "hello"}, {"role", "client"},
                                    {"random", QString::fromLatin1(QByteArray(32, 'r').toBase64())}};
            const QByteArray otherKey = helloKey(parseTunnelSecret(QString(64, 'a')));
            holder.sendBinaryMessage(encryptFrame(otherKey, remoteproto::toFrame(hello)));
        });
        holder.open(bareTunnelUrl(m_relay.port()));
        QTRY_COMPARE_WITH_TIMEOUT(heard.size(), 1, 30000); // paired: the listener's hello has come
        QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, 30000); // the host has given the listener up

        // The listener is open again and a genuine client gets in.
        RemoteAccessClient client;
        QString error;
        QVERIFY2(client.connectToServer(QStringLiteral("127.0.0.1"), m_relay.port(), kToken, m_cert.fingerprint(),
                                        kSecret, &error, 30000, QStringLiteral("primary")),
                 qPrintable(error));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 1, 30000);
    }

    void stoppedHostingOpensNoListener()
    {
        // Listeners the relay cut wait to be opened again; hosting switched off meanwhile keeps them shut.
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 0, 30000);
        const auto restore = qScopeGuard([this] { startServer(); });
        QSignalSpy status(m_server.get(), &RemoteAccessServer::statusChanged);
        m_relay.dropAll();
        QTRY_VERIFY_WITH_TIMEOUT(!status.isEmpty() && status.last().at(0).toString().contains("Переподключение"),
                                 30000);
        // Stopped while its listeners wait, or (on a slow machine) once they are back: either way the
        // relay sees them gone and none comes again.
        m_server->stop();
        QTRY_COMPARE_WITH_TIMEOUT(m_relay.connectionCount(), 0, 30000);
        // A listener opened when the pause ends would reach the relay within moments.
        QVERIFY(!QTest::qWaitFor([&] { return m_relay.connectionCount() > 0; },
                                 RemoteAccessServer::reconnectDelayMs + 5000));
    }

    void requestFloods_data()
    {
        // getFileList requests, each for a study UID of its own that the index does not know, or the
        // indexed studies asked for in turn and then once more the other way round.
        QTest::addColumn<int>("requests");
        QTest::addColumn<int>("uidBytes");
        QTest::addColumn<int>("indexedStudies");
        QTest::addColumn<bool>("closed"); // else every request gets its list
        QTest::newRow("50 unknown UIDs of 64 bytes") << 50 << 64 << 0 << false;
        QTest::newRow("50 unknown UIDs of 4 KiB") << 50 << 4096 << 0 << false;
        QTest::newRow("50 unknown UIDs of 1 MiB") << 50 << 1048576 << 0 << true;
        QTest::newRow("one unknown UID of 64 KiB") << 1 << 65536 << 0 << true;
        QTest::newRow("6 indexed studies") << 0 << 0 << 6 << false;
    }
    void requestFloods()
    {
        QFETCH(int, requests);
        QFETCH(int, uidBytes);
        QFETCH(int, indexedStudies);
        QFETCH(bool, closed);
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 0, 30000);
        QStringList uids;
        for (int i = 0; i < requests; ++i)
            uids << QStringLiteral("1.2.%1.").arg(i).leftJustified(uidBytes, QLatin1Char('9'));
        // Study i has i + 1 files, so a list served for the wrong study shows in its count.
        QHash<QString, int> fileCounts;
        const auto forget = qScopeGuard([&] {
            for (auto it = fileCounts.cbegin(); it != fileCounts.cend(); ++it)
                m_db.deleteStudy(it.key());
        });
        QStringList indexed;
        for (int i = 0; i < indexedStudies; ++i) {
            fixtures::SeriesLayout study;
            study.slices = i + 1;
            QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("flood-%1").arg(i)), study));
            fileCounts.insert(study.studyUid, study.slices);
            indexed << study.studyUid;
        }
        uids += indexed;
        std::reverse(indexed.begin(), indexed.end());
        uids += indexed;

        RawClient client(m_relay.port(), m_cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return client.socket.isPeerReady(); }, 30000));
        QTRY_COMPARE_WITH_TIMEOUT(m_server->findChildren<RemoteAccessSession*>().size(), 1, 30000);
        const RemoteAccessSession* session = m_server->findChildren<RemoteAccessSession*>().constFirst();
        QSignalSpy lost(&client.socket, &RemoteTunnelSocket::disconnectedFromRelay);
        for (const QString& uid : std::as_const(uids))
            client.socket.sendFrame(remoteproto::toFrame(remoteproto::message("getFileList", {{"studyUid", uid}})));

        if (closed) {
            // Refused at the first, and the connection closed with it. A client that goes on sending may
            // lose the error: its unsent data turns the relay's close into a reset.
            QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 30000);
            QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 0, 30000);
            const QList<QJsonObject> replies = client.messages();
            QCOMPARE(countOf(replies, "fileList"), 0);
            QVERIFY(replies.size() <= 1);
            if (requests == 1)
                QCOMPARE(countOf(replies, "error"), 1);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(client.frames.size(), uids.size(), 30000);
        const QList<QJsonObject> replies = client.messages();
        for (int i = 0; i < uids.size(); ++i) {
            QCOMPARE(replies.at(i).value("studyUid").toString(), uids.at(i));
            QCOMPARE(replies.at(i).value("count").toInt(), fileCounts.value(uids.at(i)));
        }
        // Lists of unknown studies are not kept, and of the others only a few.
        QCOMPARE(m_server->sessionCount(), 1);
        if (indexedStudies == 0)
            QCOMPARE(session->cachedFileListCount(), 0);
        else
            QVERIFY2(session->cachedFileListCount() < indexedStudies,
                     qPrintable(QString::number(session->cachedFileListCount())));
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

    void retrieveFloods_data()
    {
        QTest::addColumn<bool>("fromRunning"); // the client whose retrieve runs asks again, else another
        QTest::addColumn<QString>("studyUid");
        QTest::addColumn<int>("queued");       // of the flood's 100 requests
        QTest::newRow("a waiting client asks 100 times") << false << "1.2.3.5" << 1;
        QTest::newRow("the running client asks 100 times more") << true << "1.2.3.5" << 0;
        QTest::newRow("100 invalid study UIDs") << false << "1.2.x" << 0;
    }
    void retrieveFloods()
    {
        QFETCH(bool, fromRunning);
        QFETCH(QString, studyUid);
        QFETCH(int, queued);
        auto hanging = std::make_unique<QTcpServer>();
        QVERIFY(hanging->listen(QHostAddress::LocalHost, 0));
        pacs::PacsConfig config;
        config.localPort = fixtures::freeLoopbackPort();
        config.servers = {{QStringLiteral("127.0.0.1"), hanging->serverPort(), "HANG", {}, 1}};
        pacs::savePacsConfig(config);
        RawClient running(m_relay.port(), m_cert.fingerprint());
        RawClient other(m_relay.port(), m_cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return running.socket.isPeerReady() && other.socket.isPeerReady(); },
                                30000));
        const auto retrieve = [](RawClient& client, const QString& uid) {
            client.socket.sendFrame(remoteproto::toFrame(
                remoteproto::message("pacsRetrieve", {{"serverIndex", 0}, {"studyUid", uid}})));
        };
        retrieve(running, QStringLiteral("1.2.3.4"));
        QTRY_VERIFY_WITH_TIMEOUT(hanging->hasPendingConnections(), 30000); // it runs

        RawClient& flooding = fromRunning ? running : other;
        for (int i = 0; i < 100; ++i)
            retrieve(flooding, studyUid);
        QTRY_COMPARE_WITH_TIMEOUT(flooding.messages().size(), 100, 30000);
        const QList<QJsonObject> answers = flooding.messages();
        QCOMPARE(countOf(answers, "pacsRetrieveQueued"), queued);
        QCOMPARE(countOf(answers, "error"), 100 - queued);

        // Once the running retrieve ends, the flooding client hears only of its own request.
        hanging.reset();
        QTRY_COMPARE_WITH_TIMEOUT(countOf(running.messages(), "error"), fromRunning ? 101 : 1, 30000);
        if (queued)
            QTRY_COMPARE_WITH_TIMEOUT(countOf(other.messages(), "error"), 100, 30000);
        QVERIFY2(flooding.messages().size() <= 100 + (fromRunning ? 1 : queued) + 1,
                 qPrintable(QString::number(flooding.messages().size())));
    }

    void staleFolders_data()
    {
        QTest::addColumn<QString>("root"); // the data folder's sub-folder
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("ageHours");
        QTest::addColumn<bool>("kept");
        QTest::newRow("old copies") << "remote_transfer_cache" << "1.2.840.99" << 73 << false;
        QTest::newRow("recent copies") << "remote_transfer_cache" << "1.2.840.99" << 71 << true;
        // Retrieved studies are never removed by listing: an unlisted one is a lost study to list
        // again, or the user's own folder.
        QTest::newRow("old download of an unknown study") << "pacs_downloads" << "1.2.840.99" << 500 << true;
        QTest::newRow("user's folder among the downloads") << "pacs_downloads" << "my notes" << 500 << true;
        QTest::newRow("old download of an indexed study") << "pacs_downloads" << "" << 500 << true;
    }
    void staleFolders()
    {
        QFETCH(QString, root);
        QFETCH(QString, name);
        QFETCH(int, ageHours);
        QFETCH(bool, kept);
        const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        const QString folder = data + "/" + root + "/" + (name.isEmpty() ? m_series.studyUid : name);
        QVERIFY(QDir().mkpath(folder + "/sub"));
        QFile(folder + "/sub/0.dcm").open(QIODevice::WriteOnly);
        const time_t when = time(nullptr) - time_t(ageHours) * 3600;
        const utimbuf times{when, when};
        QCOMPARE(utime(QFile::encodeName(folder).constData(), &times), 0);
        m_server->cleanupStaleFiles();
        QCOMPARE(QFileInfo::exists(folder + "/sub/0.dcm"), kept);
        QDir(folder).removeRecursively();
    }

    void cacheRootLinkedOutIsNotCleaned()
    {
        // A transfer cache that is a link to a folder elsewhere holds nothing this server wrote.
        QTemporaryDir outside;
        const QString cache = RemoteAccessServer::transferCacheRoot();
        const QString aside = cache + ".aside";
        QVERIFY(!QFileInfo::exists(cache) || QDir().rename(cache, aside));
        const auto restore = qScopeGuard([&] {
            QFile::remove(cache);
            if (QFileInfo::exists(aside))
                QDir().rename(aside, cache);
        });
        QVERIFY(QFile::link(outside.path(), cache));
        const QString folder = outside.path() + "/1.2.840.98";
        QVERIFY(QDir().mkpath(folder));
        QFile(folder + "/0.dcm").open(QIODevice::WriteOnly);
        const time_t when = time(nullptr) - time_t(100) * 3600;
        const utimbuf times{when, when};
        QCOMPARE(utime(QFile::encodeName(folder).constData(), &times), 0);
        m_server->cleanupStaleFiles();
        QVERIFY(QFileInfo::exists(folder + "/0.dcm"));
    }

    void cacheFolderStaysInTheCache_data()
    {
        QTest::addColumn<QString>("uid");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<bool>("indexed"); // a file of the study is indexed and asked for by a client
        QTest::newRow("plain") << "1.2.840.7" << true << true;
        QTest::newRow("parent by slash") << "../escape" << false << true;
        QTest::newRow("slash inside") << "1.2/3" << false << true;
        QTest::newRow("parent by backslash") << "..\\escape" << false << false;
        QTest::newRow("dot dot") << ".." << false << false;
        QTest::newRow("dot") << "." << false << false;
        QTest::newRow("empty") << "" << false << false;
        QTest::newRow("nul") << QStringLiteral("1.2%13").arg(QChar(0)) << false << false;
    }
    void cacheFolderStaysInTheCache()
    {
        QFETCH(QString, uid);
        QFETCH(bool, usable);
        QFETCH(bool, indexed);
        const QString root = RemoteAccessServer::transferCacheRoot();
        const QString folder = RemoteAccessServer::studyCacheFolder(uid);
        QCOMPARE(folder, usable ? QDir(root).filePath(uid) : QString());
        if (!indexed)
            return;
        fixtures::SeriesLayout study;
        study.slices = 1;
        study.studyUid = uid;
        QVERIFY(fixtures::writeAndIndexSeries(m_db, m_dir.filePath(QStringLiteral("uid-") + QTest::currentDataTag()), study));
        QCOMPARE(m_db.studyFilePaths(uid).size(), 1);
        RawClient client(m_relay.port(), m_cert.fingerprint());
        QVERIFY(QTest::qWaitFor([&] { return client.socket.isPeerReady(); }, 10000));
        const QJsonObject reply =
            client.ask(remoteproto::toFrame({{"type", "getFile"}, {"studyUid", uid}, {"index", 0}}));
        QCOMPARE(reply.value("type").toString(), usable ? QStringLiteral("fileHeader") : QStringLiteral("error"));
        QVERIFY(usable || reply.value("message").toString().contains("UID"));
        // Nothing is copied anywhere but into the study's own folder of the cache.
        QCOMPARE(QFileInfo::exists(QDir::cleanPath(root + "/" + uid)), usable);
        QVERIFY(m_db.deleteStudy(uid));
    }
};

QTEST_GUILESS_MAIN(AccessServerTest)
#include "tst_accessserver.moc"
