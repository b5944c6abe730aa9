// Encrypted tunnel throughput: AES-256-GCM frame sealing and opening of 1 MiB chunks, and a 64 MiB
// file streamed from a host end to a client download through the stand-in relay on loopback (TLS,
// relay hop, decryption, checksum and file writing included). Plain timing main; prints MiB/s.

#include "BenchSupport.h"
#include "RemoteAccessClient.h"
#include "RemoteProtocol.h"
#include "RemoteTunnelSocket.h"
#include "StandInRelay.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
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
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const QString path = dir.filePath(QStringLiteral("%1.dcm").arg(run));
        const auto t = bench::Clock::now();
        if (!client.downloadFile(QStringLiteral("1"), 0, path, {}, &error, 30000)) {
            std::printf("download failed: %s\n", qPrintable(error));
            return 1;
        }
        best = std::min(best, bench::msSince(t));
    }
    std::printf("download %d MiB through the relay: %.0f ms (%.0f MiB/s), best of 3\n", fileMiB, best,
                fileMiB * 1000.0 / best);
    return 0;
}
