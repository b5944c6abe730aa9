// Encrypted tunnel throughput: AES-256-GCM frame sealing and opening of 1 MiB chunks, and a 64 MiB
// file streamed from a host end to a client download through the stand-in relay on loopback (TLS,
// relay hop, decryption, checksum and file writing included): once as frames queued all at once, once
// as a hosting session streams a study file's transfer copy while the tunnel drains. Plain timing
// main; prints MiB/s.

#include "BenchSupport.h"
#include "support/IndexFixtures.h"
#include "remote/RemoteAccessClient.h"
#include "remote/RemoteAccessServer.h"
#include "remote/RemoteProtocol.h"
#include "remote/RemoteTunnelSocket.h"
#include "support/StandInRelay.h"

#include "db/Database.h"

#include <dcmtk/dcmdata/dctk.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

// The fastest of three downloads of file `index` of the study, in milliseconds; negative on failure.
double bestDownload(RemoteAccessClient& client, const QString& studyUid, int index, const QString& folder)
{
    QString error;
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const QString path = QDir(folder).filePath(QStringLiteral("%1-%2.dcm").arg(studyUid).arg(run));
        const auto t = bench::Clock::now();
        if (!client.downloadFile(studyUid, index, path, {}, &error, 30000)) {
            std::printf("download failed: %s\n", qPrintable(error));
            return -1;
        }
        best = std::min(best, bench::msSince(t));
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    // The hosting session's transfer copies go to a scratch application data folder, never the user's.
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("KalvenorBench"));
    const QString secret = newTunnelSecret();
    const QByteArray key = helloKey(parseTunnelSecret(secret));
    const QByteArray chunk(int(remoteproto::fileChunkBytes), 'x');
    const QByteArray frame = encryptFrame(key, chunk);
    const double sealMs = bench::medianMs(20, [&] { (void)encryptFrame(key, chunk); });
    QByteArray out;
    const double openMs = bench::medianMs(20, [&] { (void)decryptFrame(key, frame, &out); });
    std::printf("seal 1 MiB frame: %.2f ms (%.0f MiB/s)\n", sealMs, 1000.0 / sealMs);
    std::printf("open 1 MiB frame: %.2f ms (%.0f MiB/s)\n", openMs, 1000.0 / openMs);

    const fixtures::TestCertificate cert = fixtures::makeTestCertificate();
    fixtures::StandInRelay relay;
    if (!relay.start(cert))
        return 1;
    constexpr int fileMiB = 64;
    remoteproto::Sha256 whole;
    for (int i = 0; i < fileMiB; ++i)
        whole.add(chunk);
    const QString digest = QString::fromLatin1(whole.hex());
    RemoteTunnelSocket host(TunnelRole::Host, nullptr);
    QObject::connect(&host, &RemoteTunnelSocket::frameReceived, &host, [&](const QByteArray&) {
        host.sendFrame(remoteproto::toFrame(remoteproto::message(
            QStringLiteral("fileHeader"), {{QStringLiteral("sizeBytes"), double(fileMiB) * 1048576},
                                           {QStringLiteral("offset"), 0},
                                           {QStringLiteral("sha256"), digest}})));
        for (int i = 0; i < fileMiB; ++i)
            host.sendFrame(chunk);
    });
    host.connectToRelay(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("bench"), QStringLiteral("t"),
                        cert.fingerprint(), secret);
    if (!QTest::qWaitFor([&] { return relay.waitingCount(QStringLiteral("bench")) == 1; }, 10000))
        return 1;

    RemoteAccessClient client;
    QString error;
    if (!client.connectToServer(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("t"), cert.fingerprint(),
                                secret, &error, 15000, QStringLiteral("bench"))) {
        std::printf("connect failed: %s\n", qPrintable(error));
        return 1;
    }
    QTemporaryDir dir;
    double best = bestDownload(client, QStringLiteral("1"), 0, dir.path());
    if (best < 0)
        return 1;
    std::printf("download %d MiB through the relay: %.0f ms (%.0f MiB/s), best of 3\n", fileMiB, best,
                fileMiB * 1000.0 / best);

    // A one-file study whose file carries 64 MiB in a private element, which its transfer copy keeps.
    db::Database index;
    fixtures::SeriesLayout study;
    study.slices = 1;
    study.customize = [&chunk](DcmDataset& ds, int) {
        QByteArray bytes;
        for (int i = 0; i < fileMiB; ++i)
            bytes += chunk;
        const auto* data = reinterpret_cast<const Uint8*>(bytes.constData());
        ds.putAndInsertUint8Array(DcmTag(0x0009, 0x1010, EVR_OB), data, unsigned(bytes.size()));
    };
    if (!index.open(dir.filePath(QStringLiteral("index.sqlite3")))
        || !fixtures::writeAndIndexSeries(index, dir.filePath(QStringLiteral("study")), study))
        return 1;
    RemoteAccessServer server(&index, nullptr);
    server.start(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("t"), cert.fingerprint(), secret,
                 QStringLiteral("host"));
    if (!QTest::qWaitFor([&] { return relay.waitingCount(QStringLiteral("host")) == 1; }, 10000))
        return 1;
    RemoteAccessClient sessionClient;
    if (!sessionClient.connectToServer(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("t"),
                                       cert.fingerprint(), secret, &error, 15000, QStringLiteral("host"))
        || !sessionClient.downloadFile(study.studyUid, 0, dir.filePath(QStringLiteral("first.dcm")), {},
                                       &error, 120000)) {
        std::printf("session download failed: %s\n", qPrintable(error));
        return 1;
    }
    const double copyMiB = double(QFileInfo(dir.filePath(QStringLiteral("first.dcm"))).size()) / 1048576;
    best = bestDownload(sessionClient, study.studyUid, 0, dir.path());
    if (best < 0)
        return 1;
    std::printf("download a %.0f MiB transfer copy from a hosting session: %.0f ms (%.0f MiB/s), best of 3\n",
                copyMiB, best, copyMiB * 1000.0 / best);
    return 0;
}
