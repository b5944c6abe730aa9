// The connecting side against a scripted host on a real tunnel through the stand-in relay: replies of
// every kind, broken ones included, resumed and cut downloads, retrieve waits, and the download
// worker's connecting, skipping, retrying and stopping.

#include "dicom/DicomFileSummary.h"
#include "platform/OwnFileDoor.h"
#include "remote/RemoteAccessClient.h"
#include "remote/RemoteParallelDownloadWorker.h"
#include "remote/RemoteProtocol.h"
#include "remote/RemoteTunnelSocket.h"
#include "support/DicomFixtures.h"
#include "support/LoopbackPort.h"
#include "support/ScriptedHost.h"
#include "support/StandInRelay.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

using fixtures::ScriptedHost;

namespace {

const QString kToken = QStringLiteral("token-1");
const QString kSecret = QStringLiteral("8f3a6b1c2d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8");

QByteArray json(const char* text)
{
    return QByteArray(text);
}

QByteArray pattern(int size, int seed)
{
    QByteArray b(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 31 + seed) & 0xff);
    return b;
}

// A word of the toolkit's own (English) error texts, which the user must never be shown.
bool hasLatinWord(const QString& text)
{
    static const QRegularExpression word(QStringLiteral("[A-Za-z]{2,}"));
    return word.match(text).hasMatch();
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// What the download worker writes beside a partial it made: the file's identity, so that only that file
// is resumed.
void recordPartial(const QString& path)
{
    const platform::FileId id = platform::FileId::of(path);
    QFile record(path + QStringLiteral(".part"));
    if (record.open(QIODevice::WriteOnly))
        record.write(QByteArray::number(id.device) + ' ' + QByteArray::number(id.inode) + '\n');
}

} // namespace

class ClientTest : public QObject
{
    Q_OBJECT

    fixtures::TestCertificate cert = fixtures::makeTestCertificate();
    std::unique_ptr<fixtures::StandInRelay> relay;
    std::unique_ptr<ScriptedHost> host;
    QTemporaryDir dir;

    bool connectClient(RemoteAccessClient& client, const QString& id = QStringLiteral("primary"))
    {
        QString error;
        const bool ok = client.connectToServer(QStringLiteral("127.0.0.1"), relay->port(), kToken, cert.fingerprint(),
                                               kSecret, &error, 15000, id);
        if (!ok)
            qWarning() << error;
        return ok;
    }

private slots:
    void init()
    {
        relay = std::make_unique<fixtures::StandInRelay>();
        QVERIFY(relay->start(cert));
        host = std::make_unique<ScriptedHost>(relay->port(), cert.fingerprint(), kToken, kSecret);
        host->listen(QStringLiteral("primary"));
        QVERIFY(QTest::qWaitFor([&] { return relay->waitingCount(QStringLiteral("primary")) == 1; }, 10000));
    }
    void cleanup()
    {
        host.reset();
        relay.reset();
    }

    void connectFailures_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("secret");
        QTest::addColumn<QString>("fingerprint"); // "cert": the relay's own
        QTest::addColumn<bool>("relayUp");
        QTest::addColumn<QString>("expected");    // empty: any text
        const QString timeoutText = QStringLiteral(
            "Таймаут подключения — сервер не отвечает. Проверьте, что на удалённом компьютере включён приём "
            "подключений (\"Удалённый доступ\" → \"Принимать удалённые подключения\").");
        const QString pinText = QStringLiteral("Отпечаток сертификата сервера не совпадает с ожидаемым — возможна "
                                               "подмена канала. Проверьте адрес сервера и код подключения.");
        const QString otherSecret = QString(kSecret).replace('8', '9');
        QTest::newRow("nobody hosts the id") << "other" << kSecret << "cert" << true << timeoutText;
        QTest::newRow("other secret") << "primary" << otherSecret << "cert" << true << timeoutText;
        QTest::newRow("wrong fingerprint") << "primary" << kSecret << "00" << true << pinText;
        QTest::newRow("empty fingerprint") << "primary" << kSecret << "" << true << pinText;
        QTest::newRow("relay unreachable") << "primary" << kSecret << "cert" << false << QString();
    }
    void connectFailures()
    {
        QFETCH(QString, id);
        QFETCH(QString, secret);
        QFETCH(QString, fingerprint);
        QFETCH(bool, relayUp);
        QFETCH(QString, expected);
        RemoteAccessClient client;
        QString error;
        const int port = relayUp ? relay->port() : fixtures::freeLoopbackPort();
        QVERIFY(!client.connectToServer(QStringLiteral("127.0.0.1"), port, kToken,
                                        fingerprint == "cert" ? cert.fingerprint() : fingerprint, secret, &error,
                                        expected.startsWith(QStringLiteral("Таймаут")) ? 1500 : 15000, id));
        QVERIFY(!client.isConnected());
        QVERIFY(!error.isEmpty());
        QVERIFY2(!hasLatinWord(error), qPrintable(error));
        if (!expected.isEmpty())
            QCOMPARE(error, expected);
    }

    void pairingCutBeforeConfirmation_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("cuts"); // pairings cut, from the first on
        QTest::addColumn<bool>("connects");
        // The host closes its listener (the relay closes the client's end in turn) or the relay drops
        // both ends, while the client's hello is on its way.
        QTest::newRow("host renews its listener once") << "renew" << 1 << true;
        QTest::newRow("relay drops the pairing once") << "drop" << 1 << true;
        QTest::newRow("host renews its listener every time") << "renew" << 100 << false;
        QTest::newRow("relay drops every pairing") << "drop" << 100 << false;
    }
    void pairingCutBeforeConfirmation()
    {
        QFETCH(QString, how);
        QFETCH(int, cuts);
        QFETCH(bool, connects);
        const QByteArray helloFrameKey = helloKey(parseTunnelSecret(kSecret));
        int clientHellos = 0;
        QObject cutScope; // no cut is made once the case has ended
        relay->filter = [&](const QString& id, bool, const QByteArray& m) {
            QByteArray plaintext;
            if (!decryptFrame(helloFrameKey, m, &plaintext)
                || QJsonDocument::fromJson(plaintext).object().value(QStringLiteral("role")).toString() != "client"
                || ++clientHellos > cuts)
                return QList<QByteArray>{m};
            QTimer::singleShot(0, &cutScope, [&, id] {
                if (how == "renew") {
                    host->renew(id);
                } else {
                    relay->dropId(id);
                    host->listen(id);
                }
            });
            return QList<QByteArray>();
        };
        RemoteAccessClient client;
        QString error;
        const bool ok = client.connectToServer(QStringLiteral("127.0.0.1"), relay->port(), kToken,
                                               cert.fingerprint(), kSecret, &error, 15000, QStringLiteral("primary"));
        relay->filter = {};
        QCOMPARE(clientHellos, 2); // one more try, and only one
        QCOMPARE(ok, connects);
        QCOMPARE(client.isConnected(), connects);
        if (!connects)
            QVERIFY2(!error.isEmpty() && !hasLatinWord(error), qPrintable(error));
    }

    void listReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("studies") << json("{\"type\":\"studies\",\"studies\":[{\"uid\":\"1.2\",\"patientName\":\"Иванов\","
                                         "\"seriesCount\":3,\"instanceCount\":40},{}]}")
                                 << QString();
        QTest::newRow("error") << json("{\"type\":\"error\",\"message\":\"нет базы\"}") << "нет базы";
        QTest::newRow("other type") << json("{\"type\":\"fileList\",\"count\":1}") << "некорректный ответ сервера";
        QTest::newRow("broken JSON") << json("{\"type\":\"studies\",") << "некорректный ответ сервера";
        QTest::newRow("array") << json("[1]") << "некорректный ответ сервера";
        QTest::newRow("empty frame") << QByteArray() << "некорректный ответ сервера";
        QTest::newRow("silence") << json("-") << "Нет ответа от сервера (таймаут)";
        // Lists that would cost the memory of millions of entries are refused before any is made.
        QTest::newRow("elements that are not objects") << json("{\"type\":\"studies\",\"studies\":[{},0,0]}")
                                                       << "некорректный ответ сервера";
        QByteArray overMaximum("{\"type\":\"studies\",\"studies\":[{}");
        for (int i = 0; i < RemoteAccessClient::maxReplyEntries; ++i)
            overMaximum += ",{}";
        QTest::newRow("one element over the maximum") << overMaximum + "]}" << "некорректный ответ сервера";
    }
    void listReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QString, expectedError);
        host->answer = [&](const QJsonObject&, const QByteArray&) {
            return reply == "-" ? QList<QByteArray>() : QList<QByteArray>{reply};
        };
        RemoteAccessClient client;
        QVERIFY(connectClient(client));
        QList<RemoteStudyEntry> studies{RemoteStudyEntry{}};
        studies[0].uid = QStringLiteral("kept");
        QString error;
        const bool ok = client.listStudies(&studies, &error, reply == "-" ? 1500 : 15000);
        QCOMPARE(remoteproto::typeOf(host->requests.value(0)), QStringLiteral("listStudies"));
        QCOMPARE(ok, expectedError.isEmpty());
        // Only a reply that ends its request cleanly keeps the connection; after any other failure a late
        // frame could pass for the next request's reply.
        QCOMPARE(client.isConnected(), ok || QTest::currentDataTag() == QLatin1String("error"));
        if (!ok) {
            QCOMPARE(error, expectedError);
            QCOMPARE(studies.value(0).uid, QStringLiteral("kept"));
            return;
        }
        QCOMPARE(studies.size(), 2);
        QCOMPARE(studies[0].patientName, QStringLiteral("Иванов"));
        QCOMPARE(studies[0].instanceCount, 40);
        QCOMPARE(studies[1].seriesCount, 0);
        QVERIFY(studies[1].uid.isEmpty());
    }

    void fileListReplies_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("objects"); // -1: refused
        QTest::newRow("objects named") << json(R"({"type":"fileList","count":2,"sopInstanceUids":["1.2","1.3"]})")
                                       << 2;
        QTest::newRow("an older host names none") << json(R"({"type":"fileList","count":2})") << 0;
        QTest::newRow("an object named twice")
            << json(R"({"type":"fileList","count":2,"sopInstanceUids":["1.2","1.2"]})") << -1;
        QTest::newRow("fewer objects than files") << json(R"({"type":"fileList","count":2,"sopInstanceUids":["1.2"]})")
                                                  << -1;
        QTest::newRow("an object that is no text")
            << json(R"({"type":"fileList","count":2,"sopInstanceUids":[1.2,"1.3"]})") << -1;
        // A request that names it would be larger than any the host takes.
        QTest::newRow("an object too long to ask for")
            << json(R"({"type":"fileList","count":2,"sopInstanceUids":["1.3","%"]})")
                   .replace('%', QByteArray(RemoteAccessClient::maxObjectUidLength + 1, '1'))
            << -1;
    }
    void fileListReplies()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, objects);
        host->answer = [&](const QJsonObject&, const QByteArray&) { return QList<QByteArray>{reply}; };
        RemoteAccessClient client;
        QVERIFY(connectClient(client));
        int count = -1;
        QStringList named{QStringLiteral("kept")};
        QString error;
        QCOMPARE(client.getFileList(QStringLiteral("1.2"), &count, &error, 15000, &named), objects >= 0);
        if (objects < 0) {
            QCOMPARE(error, QStringLiteral("некорректный ответ сервера"));
            QCOMPARE(count, -1);
            return;
        }
        QCOMPARE(count, 2);
        QCOMPARE(named.size(), objects);
    }

    void downloads_data()
    {
        QTest::addColumn<int>("partialBytes"); // -1: no file yet
        QTest::addColumn<QString>("reply");    // how the host answers
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("expectedError");
        QTest::addColumn<qint64>("sizeAfter"); // -1: file removed
        const int full = 2 * 1048576 + 5;
        QTest::newRow("new file") << -1 << "serve" << true << QString() << qint64(full);
        QTest::newRow("resume") << 1048576 + 3 << "serve" << true << QString() << qint64(full);
        QTest::newRow("already complete") << full << "serve" << true << QString() << qint64(full);
        QTest::newRow("larger than the host's copy")
            << full + 9 << "serve" << false
            << QStringLiteral("сервер вернул другую позицию файла (0 вместо %1) — докачка невозможна").arg(full + 9)
            << qint64(-1);
        QTest::newRow("extra bytes are not written") << -1 << "extra" << true << QString() << qint64(full);
        QTest::newRow("header not JSON") << 10 << "raw" << false << "некорректный заголовок файла" << qint64(-1);
        QTest::newRow("error reply") << 10 << "error" << false << "некорректный индекс файла: 3" << qint64(-1);
        QTest::newRow("other reply") << 10 << "other" << false << "неожиданный ответ вместо заголовка файла"
                                     << qint64(-1);
        QTest::newRow("silence keeps the part") << 10 << "silent" << false << "таймаут при скачивании файла"
                                                << qint64(10);
        // A copy whose bytes do not hash to the host's value is deleted, so the next try starts from 0.
        const QString checksum = QStringLiteral("контрольная сумма файла не совпала");
        QTest::newRow("corrupted in transit") << -1 << "corrupt" << false << checksum << qint64(-1);
        QTest::newRow("resumed onto a damaged part") << 1048576 << "damagedPart" << false << checksum << qint64(-1);
        QTest::newRow("header without checksum") << 10 << "noChecksum" << false << "некорректный заголовок файла"
                                                 << qint64(-1);
        // A file asked for as the object listed: a host that sends another object is refused for good, and
        // the part held, of the object listed, stays.
        const QString changed = QStringLiteral("исследование на удалённом компьютере изменилось");
        QTest::newRow("the object listed") << 10 << "listedObject" << true << QString() << qint64(full);
        QTest::newRow("another object") << 10 << "otherObject" << false << changed << qint64(10);
        QTest::newRow("no object named") << 10 << "noObject" << false << changed << qint64(10);
    }
    void downloads()
    {
        QFETCH(int, partialBytes);
        QFETCH(QString, reply);
        QFETCH(bool, ok);
        QFETCH(QString, expectedError);
        QFETCH(qint64, sizeAfter);
        const QByteArray content = pattern(2 * 1048576 + 5, 7);
        const QString path = dir.filePath(QStringLiteral("%1.dcm").arg(QTest::currentDataTag()));
        if (partialBytes >= 0) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(reply == "damagedPart"           ? QByteArray(partialBytes, 'z')
                    : partialBytes <= content.size() ? content.left(partialBytes)
                                                     : content + QByteArray(partialBytes - content.size(), 'z'));
        }
        host->answer = [&](const QJsonObject& r, const QByteArray&) -> QList<QByteArray> {
            if (reply == "serve" || reply == "damagedPart" || reply == "listedObject")
                return ScriptedHost::serveFile(r, content);
            if (reply == "otherObject" || reply == "noObject") {
                QJsonObject other = r;
                other.remove(QStringLiteral("sopInstanceUid"));
                if (reply == "otherObject")
                    other.insert(QStringLiteral("sopInstanceUid"), QStringLiteral("1.2.3.4"));
                return ScriptedHost::serveFile(other, content);
            }
            if (reply == "corrupt") {
                QByteArray damaged = content;
                damaged[1048576 + 7] = 'q';
                return ScriptedHost::serveFile(r, content, damaged);
            }
            if (reply == "noChecksum") {
                QList<QByteArray> frames = ScriptedHost::serveFile(r, content);
                frames[0].replace("\"sha256\"", "\"sha512\"");
                return frames;
            }
            if (reply == "extra")
                return ScriptedHost::serveFile(r, content) << QByteArray(100, 'x');
            if (reply == "raw")
                return {QByteArray("DICM")};
            if (reply == "error")
                return {remoteproto::toFrame(remoteproto::errorMessage(QStringLiteral("некорректный индекс файла: 3")))};
            if (reply == "other")
                return {json("{\"type\":\"studies\",\"studies\":[]}")};
            return {};
        };
        RemoteAccessClient client;
        QVERIFY(connectClient(client));
        QString error;
        qint64 lastProgress = 0;
        const bool named = reply.endsWith(QLatin1String("Object"));
        bool final = false;
        QCOMPARE(client.downloadFile(QStringLiteral("1.2.3"), 3, path, [&](qint64 r, qint64) { lastProgress = r; },
                                     &error, reply == "silent" ? 1500 : 15000,
                                     named ? QStringLiteral("1.2.3.3") : QString(), &final),
                 ok);
        QVERIFY2(error.startsWith(expectedError) && error.isEmpty() == ok, qPrintable(error));
        QCOMPARE(final, named && !ok);
        QCOMPARE(client.isConnected(), ok || reply == "error");
        QCOMPARE(host->requests.value(0).value(QStringLiteral("offset")).toDouble(), double(qMax(partialBytes, 0)));
        if (sizeAfter < 0) {
            QVERIFY(!QFile::exists(path));
            return;
        }
        QCOMPARE(QFileInfo(path).size(), sizeAfter);
        if (ok) {
            QCOMPARE(readAll(path), content);
            if (partialBytes < content.size())
                QCOMPARE(lastProgress, qint64(content.size()));
        }
    }

    void cutDownloadResumes()
    {
        // The relay dies after the first chunk: the part stays, and the next call fetches the rest.
        const QByteArray content = pattern(3 * 1048576, 3);
        bool cut = true;
        host->answer = [&](const QJsonObject& r, const QByteArray&) {
            const QList<QByteArray> frames = ScriptedHost::serveFile(r, content);
            return cut ? frames.mid(0, 2) : frames;
        };
        const QString path = dir.filePath(QStringLiteral("cut.dcm"));
        RemoteAccessClient client;
        QSignalSpy lost(&client, &RemoteAccessClient::disconnectedUnexpectedly);
        QVERIFY(connectClient(client));
        QString error;
        auto dropOnFirstChunk = [&](qint64, qint64) {
            QTimer::singleShot(0, relay.get(), [&] { relay->dropId(QStringLiteral("primary")); });
        };
        QVERIFY(!client.downloadFile(QStringLiteral("1"), 0, path, dropOnFirstChunk, &error, 30000));
        QCOMPARE(lost.size(), 1);
        QVERIFY2(!error.isEmpty() && !hasLatinWord(error), qPrintable(error));
        QCOMPARE(QFileInfo(path).size(), qint64(1048576));
        QVERIFY(!client.isConnected());
        cut = false;
        QVERIFY(connectClient(client));
        QVERIFY(client.downloadFile(QStringLiteral("1"), 0, path, {}, &error, 30000));
        QCOMPARE(host->requests.last().value(QStringLiteral("offset")).toDouble(), 1048576.0);
        QCOMPARE(readAll(path), content);
    }

    void retrieveWaits()
    {
        // Progress messages keep a retrieve alive past its silence limit; silence alone ends it. The
        // progress is pushed from the host's end of the pair on a timer.
        RemoteAccessClient client;
        QVERIFY(connectClient(client));
        RemoteTunnelSocket* hostEnd = nullptr;
        auto pairedEnd = [&] {
            for (auto* s : host->findChildren<RemoteTunnelSocket*>())
                if (s->isPeerReady())
                    hostEnd = s;
            return hostEnd != nullptr;
        };
        QTRY_VERIFY_WITH_TIMEOUT(pairedEnd(), 10000);
        host->answer = [&](const QJsonObject& r, const QByteArray&) -> QList<QByteArray> {
            if (r.value(QStringLiteral("studyUid")).toString() == QLatin1String("silent"))
                return {json("{\"type\":\"pacsRetrieveQueued\",\"position\":2}")};
            for (int i = 1; i <= 6; ++i)
                QTimer::singleShot(i * 400, hostEnd, [hostEnd, i] {
                    hostEnd->sendFrame(i < 6 ? remoteproto::toFrame(remoteproto::message(
                                                   QStringLiteral("pacsRetrieveProgress"), {{QStringLiteral("received"), i}}))
                                             : json("{\"type\":\"pacsRetrieveDone\",\"studyUid\":\"1\"}"));
                });
            return {json("{\"type\":\"pacsRetrieveQueued\",\"position\":1}")};
        };
        QList<int> progress, queue;
        QString error;
        QElapsedTimer t;
        t.start();
        // A second request while one waits would take its replies: it is refused.
        QString nested;
        QVERIFY(client.pacsRetrieve(0, QStringLiteral("1"), [&](int n) { progress << n; }, &error, 1500, [&](int p) {
            queue << p;
            client.listStudies(nullptr, &nested, 100);
        }));
        QCOMPARE(nested, QStringLiteral("предыдущий запрос к удалённому компьютеру ещё не завершён"));
        QVERIFY(t.elapsed() > 2000); // longer than the silence limit
        QCOMPARE(queue, QList<int>{1});
        QCOMPARE(progress, (QList<int>{1, 2, 3, 4, 5}));
        QVERIFY(!client.pacsRetrieve(0, QStringLiteral("silent"), {}, &error, 1500, [&](int p) { queue << p; }));
        QCOMPARE(error, QStringLiteral("сервер долго не отвечает — возможно, зависший PACS-запрос"));
        QCOMPARE(queue.last(), 2);
    }
    void workerFetchesItsRange()
    {
        // File 0 arrives damaged once and is fetched again whole; file 1 is marked complete and must not be
        // asked for; file 2 is partial and resumes.
        QList<QByteArray> files{pattern(1000, 1), pattern(1048576 + 1, 2), pattern(70000, 3), QByteArray()};
        bool damageNext = true;
        host->answer = [&](const QJsonObject& r, const QByteArray&) {
            const int index = remoteproto::readInt(r, QStringLiteral("index"), -1);
            const bool damage = index == 0 && std::exchange(damageNext, false);
            return ScriptedHost::serveFile(r, files.value(index), damage ? pattern(1000, 9) : QByteArray());
        };
        host->listen(QStringLiteral("primary-w0"));
        QTemporaryDir dest;
        QFile(dest.filePath("1.dcm.done")).open(QIODevice::WriteOnly);
        QFile partial(dest.filePath("2.dcm"));
        QVERIFY(partial.open(QIODevice::WriteOnly));
        partial.write(files[2].left(500));
        partial.close();
        // The partial of an earlier run, as that run recorded it.
        recordPartial(dest.filePath("2.dcm"));

        QThread thread;
        auto* worker = new RemoteParallelDownloadWorker(QStringLiteral("127.0.0.1"), relay->port(), kToken,
                                                        cert.fingerprint(), kSecret, QStringLiteral("1.2"), dest.path(),
                                                        0, 4,
                                                        QStringLiteral("primary-w0"));
        worker->moveToThread(&thread);
        QSignalSpy done(worker, &RemoteParallelDownloadWorker::fileDownloaded);
        QSignalSpy failed(worker, &RemoteParallelDownloadWorker::fileFailed);
        QSignalSpy finished(worker, &RemoteParallelDownloadWorker::finished);
        connect(&thread, &QThread::started, worker, &RemoteParallelDownloadWorker::run);
        thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 30000);
        thread.quit();
        thread.wait();
        delete worker;
        QCOMPARE(failed.size(), 0);
        QCOMPARE(done.size(), 4);
        for (int i : {0, 2, 3}) {
            QCOMPARE(readAll(dest.filePath(QStringLiteral("%1.dcm").arg(i))), files[i]);
            QVERIFY(QFile::exists(dest.filePath(QStringLiteral("%1.dcm.done").arg(i))));
        }
        QList<int> asked;
        QList<double> offsets;
        for (const QJsonObject& r : host->requests) {
            asked << r.value(QStringLiteral("index")).toInt();
            offsets << r.value(QStringLiteral("offset")).toDouble();
        }
        QCOMPARE(asked, (QList<int>{0, 0, 2, 3}));
        QCOMPARE(offsets, (QList<double>{0, 0, 500, 0}));
    }

    // Whatever lies under a file's name without the worker's record of it stays as it is, and nothing is
    // written through a link; a file put under the name during the download is no success.
    void workerTakesOnlyItsOwnFiles_data()
    {
        QTest::addColumn<QString>("planted");
        QTest::addColumn<QString>("failure"); // empty: the file is downloaded
        const QString kept = QStringLiteral("оставлен как есть");
        QTest::newRow("link to a file elsewhere") << "link" << kept;
        QTest::newRow("link to a name elsewhere") << "dangling" << kept;
        QTest::newRow("hard link to a file elsewhere") << "hardlink" << kept;
        QTest::newRow("file it did not make") << "unrecorded" << kept;
        QTest::newRow("file other than the partial it recorded") << "recordedOther" << kept;
        QTest::newRow("file it did not make under the record's name") << "strangeRecord" << kept;
        QTest::newRow("partial another download holds") << "held" << QStringLiteral("другая загрузка");
        QTest::newRow("marker a link elsewhere") << "marker" << QString();
        QTest::newRow("file replaced during the download") << "swapped" << QStringLiteral("заменён другим");
        // Its own partial, as a kill between making the file and writing its identity leaves it.
        QTest::newRow("partial of a worker stopped before recording it") << "killed" << QString();
        // Its own partial left by a download that gave up, in a folder copied since as the data folder is
        // taken to another disk (another identity for each file), the old one removed; and another file
        // put under the partial's name since.
        QTest::newRow("its own partial, the folder copied since") << "copied" << QString();
        QTest::newRow("another file under its partial's name, the folder copied since") << "copied, replaced"
                                                                                        << kept;
        // The same, copied without extended attributes (`cp -r`, a file manager, a FAT disk), the worker
        // having written the whole file and been stopped before it marked it complete; and its bytes
        // changed since.
        QTest::newRow("its own partial, the folder copied without attributes since") << "bare" << QString();
        QTest::newRow("another file under its partial's name, the folder copied without attributes since")
            << "bare, replaced" << kept;
        QTest::newRow("its own partial changed since, the folder copied without attributes") << "bare, changed"
                                                                                               << kept;
        // An earlier version's record names its file by identity alone: an empty one, copied so, has
        // nothing to lose.
        QTest::newRow("an earlier version's empty partial, the folder copied without attributes since")
            << "earlier, empty" << QString();
        // Marked complete by an earlier run; the host names no objects, so what it holds at the index now
        // is asked for, and only a file that is the host's there counts. Nothing is written into it.
        const QString changed = QStringLiteral("изменилось после прошлого скачивания");
        QTest::newRow("marked, the host's file at its index still") << "marked same" << QString();
        QTest::newRow("marked, another object of its size at its index now") << "marked other" << changed;
        QTest::newRow("marked, a longer file at its index now") << "marked short" << changed;
    }
    void workerTakesOnlyItsOwnFiles()
    {
        QFETCH(QString, planted);
        QFETCH(QString, failure);
        const QByteArray content = pattern(70000, 5);
        const QByteArray users("the user's own bytes");
        QTemporaryDir dest, elsewhere;
        const QString file = dest.filePath(QStringLiteral("0.dcm"));
        const QString victim = elsewhere.filePath(QStringLiteral("victim"));
        const QString fresh = elsewhere.filePath(QStringLiteral("fresh"));
        QFile v(victim);
        QVERIFY(v.open(QIODevice::WriteOnly) && v.write(users) == users.size());
        v.close();
        // Held as a download holds its partial, from the moment it made it, before it recorded it.
        platform::Descriptor holder;
        if (planted == u"link")
            QVERIFY(QFile::link(victim, file));
        else if (planted == u"dangling")
            QVERIFY(QFile::link(fresh, file));
        else if (planted == u"hardlink")
            QCOMPARE(::link(QFile::encodeName(victim).constData(), QFile::encodeName(file).constData()), 0);
        else if (planted == u"unrecorded")
            QVERIFY(QFile::copy(victim, file));
        else if (planted == u"strangeRecord")
            QVERIFY(QFile::copy(victim, file + QStringLiteral(".part")));
        else if (planted == u"held") {
            QVERIFY(QFile::copy(victim, file));
            holder = platform::Descriptor(::open(QFile::encodeName(file).constData(), O_RDWR | O_CLOEXEC));
            struct flock lock {};
            lock.l_type = F_WRLCK;
            QCOMPARE(::fcntl(holder.fd(), F_OFD_SETLK, &lock), 0);
        } else if (planted == u"recordedOther") { // the recorded partial is replaced under its name
            QFile partial(file);
            QVERIFY(partial.open(QIODevice::WriteOnly) && partial.write(content.left(500)) == 500);
            partial.close();
            recordPartial(file);
            QVERIFY(QFile::copy(victim, file + QStringLiteral(".other")));
            QCOMPARE(::rename(QFile::encodeName(file + QStringLiteral(".other")).constData(),
                              QFile::encodeName(file).constData()),
                     0);
        } else if (planted == u"killed") {
            struct Stopped {};
            remotedownload::testing::setBeforeRecordHook([](void*) { throw Stopped(); }, nullptr);
            RemoteParallelDownloadWorker stopped(QStringLiteral("127.0.0.1"), relay->port(), kToken,
                                                 cert.fingerprint(), kSecret, QStringLiteral("1.2"),
                                                 dest.path(), 0, 1, QStringLiteral("primary"));
            bool wasStopped = false;
            try {
                stopped.run();
            } catch (const Stopped&) {
                wasStopped = true;
            }
            remotedownload::testing::setBeforeRecordHook(nullptr, nullptr);
            QVERIFY(wasStopped && QFileInfo::exists(file));
        } else if (planted.startsWith(u"copied")) {
            QTemporaryDir before;
            host->answer = [](const QJsonObject&, const QByteArray&) {
                const QJsonObject refusal = remoteproto::finalErrorMessage(QStringLiteral("нет"));
                return QList<QByteArray>{remoteproto::toFrame(refusal)};
            };
            RemoteParallelDownloadWorker(QStringLiteral("127.0.0.1"), relay->port(), kToken, cert.fingerprint(),
                                         kSecret, QStringLiteral("1.2"), before.path(), 0, 1,
                                         QStringLiteral("primary"))
                .run();
            QVERIFY(QFileInfo::exists(before.filePath(QStringLiteral("0.dcm.part"))));
            QCOMPARE(QProcess::execute(QStringLiteral("cp"),
                                       {QStringLiteral("-a"), before.filePath("."), dest.path()}),
                     0);
            if (planted == u"copied, replaced")
                QVERIFY(QFile::remove(file) && QFile::copy(victim, file));
        } else if (planted.startsWith(u"bare")) {
            QTemporaryDir before;
            // A folder under the mark's name: the worker downloads the file but cannot mark it complete.
            QVERIFY(QDir(before.path()).mkdir(QStringLiteral("0.dcm.done")));
            host->answer = [&](const QJsonObject& r, const QByteArray&) { return ScriptedHost::serveFile(r, content); };
            RemoteParallelDownloadWorker(QStringLiteral("127.0.0.1"), relay->port(), kToken, cert.fingerprint(),
                                         kSecret, QStringLiteral("1.2"), before.path(), 0, 1,
                                         QStringLiteral("primary"))
                .run();
            QVERIFY(QDir(before.path()).rmdir(QStringLiteral("0.dcm.done")));
            QVERIFY(QFileInfo::exists(before.filePath(QStringLiteral("0.dcm.part"))));
            QCOMPARE(QProcess::execute(QStringLiteral("cp"),
                                       {QStringLiteral("-r"), before.filePath("."), dest.path()}),
                     0);
            for (const QString& copied : {file, file + QStringLiteral(".part")})
                QCOMPARE(::listxattr(QFile::encodeName(copied).constData(), nullptr, 0), ssize_t(0));
            host->requests.clear();
            if (planted == u"bare, replaced")
                QVERIFY(QFile::remove(file) && QFile::copy(victim, file));
            if (planted == u"bare, changed") {
                QFile changed(file);
                QVERIFY(changed.open(QIODevice::ReadWrite) && changed.seek(100) && changed.write("x", 1) == 1);
            }
        } else if (planted == u"earlier, empty") {
            QTemporaryDir before;
            QVERIFY(QFile(before.filePath(QStringLiteral("0.dcm"))).open(QIODevice::WriteOnly));
            recordPartial(before.filePath(QStringLiteral("0.dcm")));
            QCOMPARE(QProcess::execute(QStringLiteral("cp"),
                                       {QStringLiteral("-r"), before.filePath("."), dest.path()}),
                     0);
        } else if (planted == u"marker") {
            QVERIFY(QFile::link(fresh, file + QStringLiteral(".done")));
        } else if (planted.startsWith(u"marked")) {
            QFile earlier(file);
            const QByteArray got = planted == u"marked same"    ? content
                                   : planted == u"marked other" ? pattern(content.size(), 6)
                                                                : users;
            QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write(got) == got.size());
            earlier.close();
            QVERIFY(QFile(file + QStringLiteral(".done")).open(QIODevice::WriteOnly));
        }
        host->answer = [&](const QJsonObject& r, const QByteArray&) {
            if (planted == u"swapped") { // the worker's file is open by now: another takes its name
                QFile::copy(victim, file + QStringLiteral(".other"));
                ::rename(QFile::encodeName(file + QStringLiteral(".other")).constData(), QFile::encodeName(file).constData());
            }
            return ScriptedHost::serveFile(r, content);
        };
        RemoteParallelDownloadWorker worker(QStringLiteral("127.0.0.1"), relay->port(), kToken, cert.fingerprint(),
                                            kSecret, QStringLiteral("1.2"), dest.path(), 0, 1, QStringLiteral("primary"));
        QSignalSpy done(&worker, &RemoteParallelDownloadWorker::fileDownloaded);
        QSignalSpy failed(&worker, &RemoteParallelDownloadWorker::fileFailed);
        worker.run();
        QCOMPARE(done.size(), failure.isEmpty() ? 1 : 0);
        QCOMPARE(failed.size(), failure.isEmpty() ? 0 : 1);
        if (!failure.isEmpty())
            QVERIFY2(failed.first().at(0).toString().contains(failure), qPrintable(failed.first().at(0).toString()));
        // Nothing outside the folder changed.
        QCOMPARE(readAll(victim), users);
        QVERIFY(!QFileInfo::exists(fresh));
        // Marked once downloaded (the link stays), or the earlier run's marker.
        QCOMPARE(platform::FileId::of(file + QStringLiteral(".done")).known,
                 failure.isEmpty() || planted.startsWith(u"marked"));
        if (planted == u"unrecorded" || planted == u"swapped" || planted == u"recordedOther"
            || planted == u"held" || planted == u"marked short" || planted == u"copied, replaced"
            || planted == u"bare, replaced")
            QCOMPARE(readAll(file), users);
        if (planted == u"bare, changed")
            QCOMPARE(readAll(file), content.left(100) + 'x' + content.mid(101));
        // Resumed from its end: no byte of it travels again.
        if (planted == u"bare")
            QCOMPARE(host->requests.value(0).value(QStringLiteral("offset")).toDouble(), double(content.size()));
        if (planted == u"marked other")
            QCOMPARE(readAll(file), pattern(content.size(), 6));
        if (planted == u"strangeRecord") {
            QCOMPARE(readAll(file + QStringLiteral(".part")), users);
            QVERIFY(!QFileInfo::exists(file));
        }
        if (failure.isEmpty())
            QCOMPARE(readAll(file), content);
        if (planted.startsWith(u"marked")) { // asked from the file's end: no byte of it is sent
            QCOMPARE(host->requests.size(), 1);
            QCOMPARE(host->requests.first().value(QStringLiteral("offset")).toDouble(),
                     double(QFileInfo(file).size()));
        }
    }

    // Whatever else writes to a partial while a worker downloads it, no file is reported done that is not
    // the host's bytes: a second download into the same folder is refused while the first holds the
    // partial, and bytes another program puts into it are found at the end. The first worker's transfer
    // is held after its first chunk until the intruder has been.
    void workerHoldsItsPartial_data()
    {
        QTest::addColumn<QString>("intruder");
        QTest::newRow("a second download of the study") << "worker";
        QTest::newRow("bytes written over the partial") << "overwrite";
        QTest::newRow("bytes appended to the partial") << "append";
    }
    void workerHoldsItsPartial()
    {
        QFETCH(QString, intruder);
        // A file of the object asked for, of several chunks.
        fixtures::SeriesLayout layout;
        layout.rows = 1024;
        layout.columns = 1536;
        layout.slices = 1;
        const QTemporaryDir source;
        const QString written = fixtures::writeSeries(source.path(), layout).value(0);
        const QByteArray content = readAll(written);
        QVERIFY(content.size() > 3 * remoteproto::fileChunkBytes);
        const QString object = dicom::readFileSummary(written)->sopInstanceUid;
        QPointer<RemoteTunnelSocket> firstEnd;
        QList<QByteArray> rest;
        host->answer = [&](const QJsonObject& r, const QByteArray&) {
            const QList<QByteArray> frames = ScriptedHost::serveFile(r, content);
            if (firstEnd)
                return frames;
            firstEnd = host->asking;
            rest = frames.mid(2);
            return frames.mid(0, 2);
        };
        host->listen(QStringLiteral("primary-w0"));
        host->listen(QStringLiteral("primary-w1"));
        QTemporaryDir dest;
        const QString file = dest.filePath(RemoteParallelDownloadWorker::fileNameFor(object, 0));
        const auto makeWorker = [&](const QString& id) {
            auto* worker = new RemoteParallelDownloadWorker(QStringLiteral("127.0.0.1"), relay->port(), kToken,
                                                            cert.fingerprint(), kSecret,
                                                            dicom::readFileSummary(written)->studyInstanceUid,
                                                            dest.path(), 0, 1, id);
            worker->expectObjects({object});
            return worker;
        };
        // A report is checked as it is made: the file must be whole then, not only at the end.
        QList<bool> firstWhole, secondWhole;
        QThread thread;
        auto* first = makeWorker(QStringLiteral("primary-w0"));
        first->moveToThread(&thread);
        QSignalSpy firstFailed(first, &RemoteParallelDownloadWorker::fileFailed);
        QSignalSpy finished(first, &RemoteParallelDownloadWorker::finished);
        connect(
            first, &RemoteParallelDownloadWorker::fileDownloaded, first,
            [&](int, const QString& path) { firstWhole << (readAll(path) == content); }, Qt::DirectConnection);
        connect(&thread, &QThread::started, first, &RemoteParallelDownloadWorker::run);
        thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(file).size(), remoteproto::fileChunkBytes, 30000);

        QString secondFailure;
        if (intruder == u"worker") {
            const std::unique_ptr<RemoteParallelDownloadWorker> second(makeWorker(QStringLiteral("primary-w1")));
            connect(second.get(), &RemoteParallelDownloadWorker::fileDownloaded,
                    [&](int, const QString& path) { secondWhole << (readAll(path) == content); });
            connect(second.get(), &RemoteParallelDownloadWorker::fileFailed,
                    [&](const QString& e) { secondFailure = e; });
            second->run();
        } else {
            QFile partial(file);
            QVERIFY(partial.open(intruder == u"append" ? QIODevice::Append : QIODevice::ReadWrite));
            QCOMPARE(partial.write(QByteArray(4096, 'X')), 4096);
        }
        for (const QByteArray& frame : std::as_const(rest))
            firstEnd->sendFrame(frame);
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 60000);
        thread.quit();
        thread.wait();
        delete first;
        QCOMPARE(firstFailed.size(), 0);
        QCOMPARE(firstWhole, QList<bool>{true});
        QCOMPARE(secondWhole, QList<bool>{});
        if (intruder == u"worker")
            QVERIFY2(secondFailure.contains(QStringLiteral("другая загрузка")), qPrintable(secondFailure));
        QCOMPARE(readAll(file), content);
        QVERIFY(QFile::exists(file + QStringLiteral(".done")));
    }

    void workerGivesUp_data()
    {
        QTest::addColumn<bool>("relayUp");
        QTest::addColumn<bool>("stopFirst");
        QTest::addColumn<bool>("lasting"); // the host says that asking again gets the same refusal
        QTest::addColumn<QString>("expected");
        QTest::newRow("stop before run") << true << true << false << QString();
        QTest::newRow("file keeps failing") << true << false << false << QStringLiteral("файл 0: нет такого файла");
        QTest::newRow("file refused for good") << true << false << true << QStringLiteral("файл 0: нет такого файла");
        QTest::newRow("relay unreachable") << false << false << false << QStringLiteral("не удалось подключиться: ");
    }
    void workerGivesUp()
    {
        QFETCH(bool, relayUp);
        QFETCH(bool, stopFirst);
        QFETCH(bool, lasting);
        QFETCH(QString, expected);
        host->answer = [&](const QJsonObject&, const QByteArray&) {
            const QString text = QStringLiteral("нет такого файла");
            return QList<QByteArray>{remoteproto::toFrame(lasting ? remoteproto::finalErrorMessage(text)
                                                                  : remoteproto::errorMessage(text))};
        };
        QTemporaryDir dest;
        RemoteParallelDownloadWorker worker(QStringLiteral("127.0.0.1"),
                                            relayUp ? relay->port() : fixtures::freeLoopbackPort(), kToken,
                                            cert.fingerprint(), kSecret, QStringLiteral("1.2"), dest.path(), 0, 2,
                                            QStringLiteral("primary"));
        QSignalSpy done(&worker, &RemoteParallelDownloadWorker::fileDownloaded);
        QSignalSpy failed(&worker, &RemoteParallelDownloadWorker::fileFailed);
        QSignalSpy finished(&worker, &RemoteParallelDownloadWorker::finished);
        if (stopFirst)
            worker.requestStop();
        worker.run(); // on this thread: the client's waits spin its events
        QCOMPARE(finished.size(), 1);
        QCOMPARE(done.size(), 0);
        QCOMPARE(failed.size(), expected.isEmpty() ? 0 : 1);
        if (!expected.isEmpty())
            QVERIFY2(failed.first().at(0).toString().startsWith(expected), qPrintable(failed.first().at(0).toString()));
        QCOMPARE(host->requests.size(), lasting ? 1 : expected.startsWith(QStringLiteral("файл")) ? 5 : 0);
    }
};

QTEST_GUILESS_MAIN(ClientTest)
#include "tst_client.moc"
