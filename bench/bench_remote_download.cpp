// A study of 2,000 real DICOM files (256 x 256, 16 bits of noise-like values) downloaded as the remote
// browser downloads it: four download workers, each on its own thread and tunnel, through a hosting
// session and the stand-in relay on loopback, into an empty folder of the ordinary disk, each file read
// and indexed on the main thread as it is reported. One round first makes the host's transfer
// copies; the median of the rounds after it is printed, in milliseconds per file. The host names its
// objects, so each file is asked for as the object it lists. Plain timing main.

#include "BenchSupport.h"
#include "HostingSession.h"
#include "remote/RemoteAccessClient.h"
#include "remote/RemoteAccessServer.h"
#include "remote/RemoteParallelDownloadWorker.h"
#include "remote/RemoteTunnelSocket.h"
#include "support/IndexFixtures.h"
#include "support/StandInRelay.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int kWorkers = 4;

// Milliseconds per file for downloading every file of the study into `dest` with four workers; -1 when
// a worker failed.
double downloadAll(const fixtures::StandInRelay& relay, const QString& fingerprint, const QString& secret,
                   const QString& studyUid, const QStringList& objects, const QString& dest, db::Database& local)
{
    const int files = int(objects.size());
    std::vector<std::unique_ptr<QThread>> threads;
    std::vector<std::unique_ptr<RemoteParallelDownloadWorker>> workers;
    QEventLoop loop;
    int finished = 0;
    bool failed = false;
    const auto t = bench::Clock::now();
    for (int i = 0, first = 0; i < kWorkers; ++i) {
        const int end = first + files / kWorkers + (i < files % kWorkers ? 1 : 0);
        threads.push_back(std::make_unique<QThread>());
        workers.push_back(std::make_unique<RemoteParallelDownloadWorker>(
            QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("t"), fingerprint, secret, studyUid, dest,
            first, end, QStringLiteral("primary-w%1").arg(i)));
        RemoteParallelDownloadWorker* worker = workers.back().get();
        worker->expectObjects(objects.mid(first, end - first));
        worker->moveToThread(threads.back().get());
        QObject::connect(threads.back().get(), &QThread::started, worker, &RemoteParallelDownloadWorker::run);
        QObject::connect(
            worker, &RemoteParallelDownloadWorker::fileDownloaded, &loop,
            [&](int, const QString& path) {
                std::optional<dicom::DicomFileSummary> summary = dicom::readFileSummary(path);
                if (summary) {
                    summary->ownCopy = true;
                    local.indexFile(*summary);
                }
            },
            Qt::QueuedConnection);
        QObject::connect(
            worker, &RemoteParallelDownloadWorker::fileFailed, &loop,
            [&](const QString& error) {
                std::printf("failed: %s\n", qPrintable(error));
                failed = true;
            },
            Qt::QueuedConnection);
        QObject::connect(
            worker, &RemoteParallelDownloadWorker::finished, &loop,
            [&] {
                if (++finished == kWorkers)
                    loop.quit();
            },
            Qt::QueuedConnection);
        threads.back()->start();
        first = end;
    }
    loop.exec();
    const double ms = bench::msSince(t);
    for (auto& thread : threads) {
        thread->quit();
        thread->wait();
    }
    workers.clear();
    return failed ? -1 : ms / files;
}

} // namespace

int main(int argc, char** argv)
{
    // The hosting session's lines per file sent would be much of what is timed; a worker's failure is
    // printed by the bench itself.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    // Transfer copies go to the application data folder: a scratch one, never the user's. The study and
    // the downloads lie on the ordinary disk, beside the build.
    QTemporaryDir dir(QDir::current().filePath(QStringLiteral("bench-remote-download-XXXXXX")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("KalvenorBench"));
    const QStringList args = app.arguments();
    const int files = bench::intArg(args, "--files", 2000);
    const int rounds = bench::intArg(args, "--rounds", 5);

    db::Database index;
    fixtures::SeriesLayout layout;
    layout.rows = 256;
    layout.columns = 256;
    layout.slices = files;
    // Values that the host's transfer copies do not shrink to nothing.
    layout.value = [](int x, int y, int z) {
        return int((quint32(x) * 73856093u ^ quint32(y) * 19349663u ^ quint32(z) * 83492791u) % 2000u) - 1000;
    };
    if (!index.open(dir.filePath(QStringLiteral("index.sqlite3")))
        || !fixtures::writeAndIndexSeries(index, dir.filePath(QStringLiteral("study")), layout))
        return 1;

    bench::HostingSession host;
    if (!host.start(index, QStringLiteral("primary-w3")))
        return 1;
    const fixtures::StandInRelay& relay = host.relay;
    const fixtures::TestCertificate& cert = host.cert;
    const QString& secret = host.secret;

    RemoteAccessClient client;
    QString error;
    int count = 0;
    QStringList objects;
    if (!client.connectToServer(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("t"), cert.fingerprint(),
                                secret, &error, 30000, QStringLiteral("primary"))
        || !client.getFileList(layout.studyUid, &count, &error, 30000, &objects) || count != files) {
        std::printf("file list failed: %s\n", qPrintable(error));
        return 1;
    }

    std::vector<double> times;
    for (int round = 0; round <= rounds; ++round) {
        const QString dest = dir.filePath(QStringLiteral("download%1").arg(round));
        QDir().mkpath(dest);
        db::Database local;
        if (!local.open(dir.filePath(QStringLiteral("local%1.sqlite3").arg(round))))
            return 1;
        const double ms = downloadAll(relay, cert.fingerprint(), secret, layout.studyUid, objects, dest, local);
        if (ms < 0)
            return 1;
        std::printf("  round %d%s: %.3f ms per file\n", round, round == 0 ? " (copies made)" : "", ms);
        std::fflush(stdout);
        if (round > 0)
            times.push_back(ms);
        QDir(dest).removeRecursively();
    }
    std::sort(times.begin(), times.end());
    std::printf("download of %d files by %d workers: median %.3f ms per file\n", files, kWorkers,
                times[times.size() / 2]);
    return 0;
}
