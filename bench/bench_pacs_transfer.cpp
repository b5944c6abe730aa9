// C-GET, C-MOVE and C-STORE of a 300-image 512x512 CT study against dcmqrscp/storescp on
// loopback: the program's client next to DCMTK's own getscu/movescu/storescu.
// Plain timing main; prints seconds and images per second for each, best of three runs.

#include "support/PacsTestPeers.h"

#include "support/DicomFixtures.h"
#include "dicom/DicomNesting.h"
#include "pacs/PacsNetworkClient.h"
#include "pacs/StorageListener.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <dcmtk/oflog/oflog.h>

#include <cstdio>
#include <functional>

namespace {

constexpr int kImages = 300;
constexpr int kRuns = 3;

void emptyDir(const QString& path)
{
    QDir dir(path);
    dir.removeRecursively();
    QDir().mkpath(path);
}

int countFiles(const QString& path)
{
    return int(QDir(path).entryList(QDir::Files).size());
}

bool runTool(const QString& program, const QStringList& args, bool noDelay)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (noDelay)
        env.insert(QStringLiteral("TCP_NODELAY"), QStringLiteral("1"));
    else
        env.remove(QStringLiteral("TCP_NODELAY"));
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStandardPaths::findExecutable(program), args);
    return process.waitForFinished(600000) && process.exitCode() == 0;
}

// Best of kRuns; `prepare` runs untimed before each run, `check` after it.
void measure(const char* name, const std::function<void()>& prepare, const std::function<bool()>& run,
             const std::function<int()>& delivered)
{
    double best = 1e9;
    bool allOk = true;
    for (int i = 0; i < kRuns; ++i) {
        prepare();
        QElapsedTimer timer;
        timer.start();
        const bool ok = run();
        const double seconds = timer.nsecsElapsed() / 1e9;
        const int count = delivered();
        allOk = allOk && ok && count == kImages;
        best = std::min(best, seconds);
    }
    std::printf("%-44s %7.3f s %8.1f images/s%s\n", name, best, kImages / best, allOk ? "" : "  (INCOMPLETE)");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    QTemporaryDir work;

    peers::StoreReceiver moveTarget;
    peers::StoreReceiver storeTarget;
    if (!moveTarget.start(QStringLiteral("KALVRCV")) || !storeTarget.start(QStringLiteral("STORE"))) {
        std::fprintf(stderr, "storescp did not start\n");
        return 1;
    }
    peers::QrArchive archive;
    archive.addMoveDestination(QStringLiteral("KALVRCV"), moveTarget.port());

    // The program's own C-STORE listener as a C-MOVE destination, on a thread of its own as in use.
    const QString listenDir = work.filePath(QStringLiteral("listen"));
    const quint16 listenPort = fixtures::freeLoopbackPort();
    QThread listenThread;
    listenThread.setStackSize(dicom::kParsingThreadStackSize);
    auto* listener = new pacs::StorageListener(listenPort, QStringLiteral("KALVLISTEN"), listenDir);
    listener->moveToThread(&listenThread);
    QObject::connect(&listenThread, &QThread::started, listener, &pacs::StorageListener::run);
    QObject::connect(&listenThread, &QThread::finished, listener, &QObject::deleteLater);
    listenThread.start();
    archive.addMoveDestination(QStringLiteral("KALVLISTEN"), listenPort);

    fixtures::SeriesLayout layout;
    layout.rows = layout.columns = 512;
    layout.slices = kImages;
    fixtures::completeUids(layout);
    const QStringList files = fixtures::writeSeries(archive.storageDir() + QStringLiteral("/ct"), layout);
    if (files.size() != kImages || !archive.index(files) || !archive.start()) {
        std::fprintf(stderr, "archive set-up failed\n");
        return 1;
    }
    std::printf("%d CT images of 512x512 (16 bit), %.1f MB, dcmqrscp and storescp on 127.0.0.1\n", kImages,
                kImages * 512.0 * 512.0 * 2 / 1e6);

    pacs::PacsServer server;
    server.host = QStringLiteral("127.0.0.1");
    server.port = archive.port();
    server.aeTitle = QString::fromLatin1(peers::QrArchive::aeTitle);
    pacs::PacsConfig config;
    config.moveDestinationAeTitle = QStringLiteral("KALVRCV");
    pacs::PacsServer store = server;
    store.port = storeTarget.port();
    store.aeTitle = QStringLiteral("STORE");

    const QString getDir = work.filePath(QStringLiteral("get"));
    const QString port = QString::number(archive.port());
    const QString uidKey = QStringLiteral("StudyInstanceUID=") + layout.studyUid;
    const QStringList qrArgs{QStringLiteral("-S"), QStringLiteral("-aec"), server.aeTitle, QStringLiteral("-k"),
                             QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("-k"), uidKey};

    measure("Kalvenor C-GET", [&] { emptyDir(getDir); },
            [&] { return pacs::getStudy(server, config, layout.studyUid, getDir, nullptr, nullptr, {}); },
            [&] { return countFiles(getDir); });
    for (bool noDelay : {true, false}) {
        measure(noDelay ? "getscu (TCP_NODELAY=1)" : "getscu (Nagle on, DCMTK default)", [&] { emptyDir(getDir); },
                [&] {
                    return runTool(QStringLiteral("getscu"),
                                   qrArgs + QStringList{QStringLiteral("-od"), getDir, QStringLiteral("127.0.0.1"), port},
                                   noDelay);
                },
                [&] { return countFiles(getDir); });
    }

    measure("Kalvenor C-MOVE (to storescp)", [&] { emptyDir(moveTarget.dir()); },
            [&] { return pacs::moveStudy(server, config, layout.studyUid, nullptr); },
            [&] { return countFiles(moveTarget.dir()); });
    pacs::PacsConfig listenConfig = config;
    listenConfig.moveDestinationAeTitle = QStringLiteral("KALVLISTEN");
    measure("Kalvenor C-MOVE (to its own listener)", [&] { emptyDir(listenDir); },
            [&] { return pacs::moveStudy(server, listenConfig, layout.studyUid, nullptr); },
            [&] { return countFiles(listenDir); });
    measure("movescu (TCP_NODELAY=1, to storescp)", [&] { emptyDir(moveTarget.dir()); },
            [&] {
                return runTool(QStringLiteral("movescu"),
                               qrArgs + QStringList{QStringLiteral("-aem"), QStringLiteral("KALVRCV"),
                                                    QStringLiteral("127.0.0.1"), port},
                               true);
            },
            [&] { return countFiles(moveTarget.dir()); });

    measure("Kalvenor C-STORE (sendFiles, to storescp)", [&] { emptyDir(storeTarget.dir()); },
            [&] { return pacs::sendFiles(store, config, files, nullptr, {}); },
            [&] { return countFiles(storeTarget.dir()); });
    for (bool noDelay : {true, false}) {
        measure(noDelay ? "storescu (TCP_NODELAY=1)" : "storescu (Nagle on, DCMTK default)",
                [&] { emptyDir(storeTarget.dir()); },
                [&] {
                    return runTool(QStringLiteral("storescu"),
                                   QStringList{QStringLiteral("-aec"), QStringLiteral("STORE"),
                                               QStringLiteral("127.0.0.1"), QString::number(storeTarget.port())}
                                       + files,
                                   noDelay);
                },
                [&] { return countFiles(storeTarget.dir()); });
    }
    listener->stop();
    listenThread.wait(10000);
    return 0;
}
