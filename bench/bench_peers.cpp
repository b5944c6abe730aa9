// The imaging core and the C-GET client next to their peers, measured in one run: VTK 9 (through
// Debian's python3-vtk9: vtkImageReslice, vtkFixedPointVolumeRayCastMapper) and DCMTK's getscu
// against dcmqrscp. Each row alternates one repetition of ours with one of the peer's, so that load
// from other processes falls on both alike, and prints the medians and their ratio.
//
// The C-FIND row asks a scripted peer in this process for 20,000 study matches, next to DCMTK's findscu.
//
// The retrieve rows fetch a study of 3,000 images of 256 x 256 from dcmqrscp as the PACS download does,
// by C-GET and by C-MOVE to the program's own listener: every object received, written into the store
// and indexed in the program's index, the study marked unfinished until its last row is in. Beside
// them getscu and movescu (receiving itself) write the same objects into a folder, and getscu and
// movescu keeping none of them (--ignore) show the pace of the server itself.
//
// The send row sends that study by C-STORE as the study list does, beside storescu, to one storescp.
//
// The open row fetches a study of 1,000 images (--open-images) by C-GET as "download and open" does,
// into the index and a viewer that opens on the first image and grows, beside the same retrieve into
// the archive only; it also gives the GUI thread's longest stall on each side and the time from the
// request to the first image on screen.
//
// The C-GET, C-FIND, retrieve and send rows also give the processor time (user + system, all threads)
// of each side beside the wall time: of this process while ours runs, and of the tool's process. The
// servers run in processes of their own and count on neither side.
//
//   bench_peers [--reps N] [--only slab,oblique,vrt,mip,cget,cfind,retrieve,send,open] [--threads N]
//               [--images N] [--side N] [--open-images N]
#include "BenchSupport.h"

#include "support/PacsTestPeers.h"

#include "app/PacsViewerHooks.h"
#include "db/Database.h"
#include "pacs/PacsNetworkClient.h"
#include "pacs/PacsOpenCoordinator.h"
#include "pacs/PacsRequestChecks.h"
#include "pacs/PacsRetrieveSession.h"
#include "pacs/UnfinishedRetrieves.h"
#include "render/MprSlices.h"
#include "render/ParallelFor.h"
#include "render/VolumeCameraMath.h"
#include "render/VolumeRenderer.h"
#include "viewer/ViewerWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <dcmtk/oflog/oflog.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

void printLoad(const char* when)
{
    QFile f(QStringLiteral("/proc/loadavg"));
    if (f.open(QIODevice::ReadOnly))
        std::printf("load average %s: %s", when, f.readLine().constData());
}

// Processor time, user and system, in milliseconds: of this process (all its threads) for
// RUSAGE_SELF, of its children that have ended and been waited for for RUSAGE_CHILDREN.
double processorMs(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// The processor time of the last timed call that measured it; below 0 when it did not.
double g_lastProcessorMs = -1.0;

// Measures one side's processor time from its construction to stop(), which also gives the wall
// time of the same span.
class SideClock
{
public:
    // ours: this process; otherwise the tool processes started and waited for meanwhile.
    explicit SideClock(bool ours)
        : m_who(ours ? RUSAGE_SELF : RUSAGE_CHILDREN)
        , m_processorStart(processorMs(m_who))
    {
        m_wall.start();
    }
    // Wall milliseconds; the processor time goes to g_lastProcessorMs.
    double stop() const
    {
        const double wall = m_wall.nsecsElapsed() / 1e6;
        g_lastProcessorMs = processorMs(m_who) - m_processorStart;
        return wall;
    }

private:
    int m_who;
    double m_processorStart;
    QElapsedTimer m_wall;
};

void printRow(const char* work, double ours, double peer, const char* unit, double oursCpu = -1, double peerCpu = -1)
{
    const double scale = std::strcmp(unit, "s") == 0 ? 1e-3 : 1.0;
    std::printf("| %-44s | %9.2f %-2s | %9.2f %-2s | %5.2fx |", work, ours * scale, unit, peer * scale, unit,
                peer > 0 ? ours / peer : 0.0);
    if (oursCpu >= 0 && peerCpu >= 0)
        std::printf(" %9.2f %-2s | %9.2f %-2s | %5.2fx |", oursCpu * scale, unit, peerCpu * scale, unit,
                    peerCpu > 0 ? oursCpu / peerCpu : 0.0);
    std::printf("\n");
    std::fflush(stdout);
}

// Alternates `reps` repetitions of ours and the peer's; each returns milliseconds (negative: failed),
// and leaves its processor time in g_lastProcessorMs when it measured it.
void compare(const char* work, int reps, const std::function<double()>& ours, const std::function<double()>& peer,
             const char* unit = "ms")
{
    std::vector<double> a, b, aCpu, bCpu;
    const auto run = [](const std::function<double()>& side, std::vector<double>& wall, std::vector<double>& cpu) {
        g_lastProcessorMs = -1.0;
        wall.push_back(side());
        if (g_lastProcessorMs >= 0)
            cpu.push_back(g_lastProcessorMs);
    };
    for (int i = 0; i < reps; ++i) {
        run(ours, a, aCpu);
        run(peer, b, bCpu);
        if (a.back() < 0 || b.back() < 0) {
            std::printf("| %-44s | failed |\n", work);
            return;
        }
    }
    const bool timedBoth = int(aCpu.size()) == reps && int(bCpu.size()) == reps;
    printRow(work, median(a), median(b), unit, timedBoth ? median(aCpu) : -1, timedBoth ? median(bCpu) : -1);
}

// The header of a table whose rows give the processor time too.
void printHeader(const char* work)
{
    std::printf("| %-44s | %12s | %12s | %6s | %12s | %12s | %6s |\n|---|---|---|---|---|---|---|\n", work,
                "Kalvenor", "peer", "ratio", "Kalvenor cpu", "peer cpu", "ratio");
    std::fflush(stdout);
}

// The VTK script as a long-lived process that times one request at a time.
class VtkPeer
{
public:
    bool start(const render::Volume& v, const QString& rawPath)
    {
        QFile f(rawPath);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(reinterpret_cast<const char*>(v.voxels.data()), qint64(v.voxels.size() * sizeof(float)));
        f.close();
        const QString script = QStringLiteral(KALVENOR_BENCH_SOURCE_DIR "/peer_vtk.py");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("xvfb-run"),
                        {QStringLiteral("-a"), QStringLiteral("/usr/bin/python3"), script, rawPath, QString::number(v.nx),
                         QString::number(v.ny), QString::number(v.nz), QString::number(v.spacingX),
                         QString::number(v.spacingY), QString::number(v.spacingZ)});
        return readLine(600000).startsWith("ready");
    }

    // Milliseconds per run of `work`, `runs` runs in one request.
    double time(const char* work, int runs)
    {
        m_process.write(QByteArray(work) + ' ' + QByteArray::number(runs) + '\n');
        const QList<QByteArray> parts = readLine(600000).split(' ');
        return parts.size() == 2 && parts[0] == work ? parts[1].trimmed().toDouble() : -1.0;
    }

    ~VtkPeer()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.write("quit\n");
        if (!m_process.waitForFinished(10000))
            m_process.kill(); // our own child, by its handle
    }

private:
    QByteArray readLine(int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine()) {
            if (m_process.state() == QProcess::NotRunning || timer.elapsed() > timeoutMs)
                return {};
            m_process.waitForReadyRead(1000);
        }
        return m_process.readLine();
    }

    QProcess m_process;
};

double timedRuns(int runs, const std::function<void()>& fn)
{
    const auto t = bench::Clock::now();
    for (int i = 0; i < runs; ++i)
        fn();
    return bench::msSince(t) / runs;
}

// The rows asked for by --only (all when it is not given).
bool wanted(const char* row)
{
    const QStringList args = QCoreApplication::arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--only"));
    return at < 0 || at + 1 >= args.size() || args[at + 1].split(QLatin1Char(',')).contains(QLatin1String(row));
}

void imagingRows(int reps)
{
    const int nx = 512, ny = 512, nz = 400;
    const render::Volume v = bench::phantomVolume(nx, ny, nz);
    std::printf("\n512 x 512 x 400 CT phantom (0.7 x 0.7 x 1.0 mm), %d worker threads\n", render::workerThreadCount());

    QTemporaryDir dir;
    VtkPeer vtkPeer;
    if (!vtkPeer.start(v, dir.filePath(QStringLiteral("volume.raw")))) {
        std::printf("VTK peer did not start (needs python3-vtk9, python3-numpy and xvfb: "
                    "scripts/install-deps.sh --bench)\n");
        return;
    }
    std::printf("| %-44s | %12s | %12s | %6s |\n|---|---|---|---|\n", "work", "Kalvenor", "peer", "ratio");

    if (wanted("slab")) {
        compare("coronal slab MIP, 15 slices", reps,
                [&] { return timedRuns(20, [&] { render::renderCoronalSlice(v, ny / 2, 40, 400, 7, 1); }); },
                [&] { return vtkPeer.time("slab", 20); });
    }
    const QVector3D obliqueCentre(nx * 0.7f / 2, ny * 0.7f / 2, nz * 1.0f / 2);
    const float a = qDegreesToRadians(30.0f);
    const QVector3D obliqueU(std::cos(a), std::sin(a), 0), obliqueV(0, 0, -1);
    if (wanted("oblique")) {
        compare("oblique slice 512 x 512, centred", reps,
                [&] {
                    return timedRuns(20, [&] {
                        render::renderObliqueSlice(v, obliqueCentre, obliqueU, obliqueV, 512, 0.7, 40, 400, 0, 0);
                    });
                },
                [&] { return vtkPeer.time("oblique", 20); });
    }

    // Both ray casters: 512 x 512 rays, 0.5 mm between samples, the same parallel view and zoom, and
    // a view turned a little before each image, as while the user turns the volume.
    render::VolumeRenderParams p;
    p.window = {40, 400};
    p.zoom = 0.6;
    p.imageSize = 512;
    const double halfDiagonal =
        std::sqrt(std::pow(nx * v.spacingX, 2) + std::pow(ny * v.spacingY, 2) + std::pow(nz * v.spacingZ, 2)) / 2;
    p.sampleCount = int(std::lround(2.4 * halfDiagonal / 0.5)) + 1;
    p.transferFunction = render::transferFunctionPresets().first();
    render::VolumeRenderCache cache; // as the 3D view keeps one
    double yaw = 25;
    const auto turnAndRender = [&] {
        yaw += 0.5;
        p.rotation = volumecamera::rotationFromYawPitch(yaw, 15);
        return timedRuns(1, [&] { render::renderVolumeCpu(v, p, &cache); });
    };
    if (wanted("vrt")) {
        p.renderMode = 1;
        p.fullQuality = true;
        turnAndRender(); // fills the cache, as the first image of a view does
        compare("VRT 512 x 512, shaded, 0.5 mm steps", reps, turnAndRender, [&] { return vtkPeer.time("vrt", 1); });
        // The settled image smooths each sample and lights it from a central-difference gradient: nine
        // trilinear reads where the quick image makes one nearest read. That share, by leaving it out.
        p.fullQuality = false;
        std::vector<double> unshaded;
        for (int i = 0; i < reps; ++i)
            unshaded.push_back(turnAndRender());
        std::printf("the same VRT image without smoothed values and shading: %.2f ms\n", median(unshaded));
    }
    if (wanted("mip")) {
        p.renderMode = 0;
        p.fullQuality = false;
        p.projectionMode = render::MaximumProjection;
        turnAndRender();
        compare("MIP 512 x 512, 0.5 mm steps", reps, turnAndRender, [&] { return vtkPeer.time("mip", 1); });
    }

    // What the pinned mechanism costs by itself: a thread started and joined per chunk, per call; and
    // the slices' own work, on the calling thread alone, beside it.
    std::vector<double> spawn;
    for (int i = 0; i < reps; ++i)
        spawn.push_back(timedRuns(50, [] { render::parallelFor(512, [](int, int) {}); }));
    std::printf("starting and joining the %d worker threads of one call: %.3f ms\n", render::workerThreadCount(),
                median(spawn));
    if (wanted("slab") || wanted("oblique")) {
        const render::ScopedWorkerThreadCount alone(1);
        std::vector<double> slab, oblique;
        for (int i = 0; i < reps; ++i) {
            slab.push_back(timedRuns(20, [&] { render::renderCoronalSlice(v, ny / 2, 40, 400, 7, 1); }));
            oblique.push_back(timedRuns(20, [&] {
                render::renderObliqueSlice(v, obliqueCentre, obliqueU, obliqueV, 512, 0.7, 40, 400, 0, 0);
            }));
        }
        std::printf("the same slices on the calling thread alone: slab %.2f ms, oblique %.2f ms\n", median(slab),
                    median(oblique));
    }
}

bool runDcmtkTool(const char* tool, const QStringList& args)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TCP_NODELAY"), QStringLiteral("1")); // as the program's own client
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QStandardPaths::findExecutable(QString::fromLatin1(tool)), args);
    return process.waitForFinished(600000) && process.exitCode() == 0;
}

// Clears a repetition's files out of the next one's way without deleting them. On ext4 without a
// journal, a file created minutes after many were deleted in its block group makes the kernel step
// over every such inode, so deleting 3,000 files before each run costs the next run seconds (ours and
// the peer's alike, growing from run to run) and measures the file system instead of the receive.
// The files are emptied, which gives their space back, and moved aside; the work folder goes with
// the process.
void setAside(const QString& folder, const QString& asideRoot)
{
    static int count = 0;
    const QDir dir(folder);
    if (!dir.exists())
        return;
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden))
        QFile::resize(dir.filePath(name), 0);
    QDir().mkpath(asideRoot);
    if (!QDir().rename(folder, QDir(asideRoot).filePath(QString::number(++count))))
        QDir(folder).removeRecursively();
}

void cgetRow(int reps)
{
    constexpr int kImages = 300;
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    peers::QrArchive archive;
    fixtures::SeriesLayout layout = bench::importSeriesLayout(kImages);
    fixtures::completeUids(layout);
    const QStringList files = fixtures::writeSeries(archive.storageDir() + QStringLiteral("/ct"), layout);
    if (files.size() != kImages || !archive.index(files) || !archive.start()) {
        std::printf("dcmqrscp archive did not start: no C-GET row\n");
        return;
    }
    pacs::PacsServer server;
    server.host = QStringLiteral("127.0.0.1");
    server.port = archive.port();
    server.aeTitle = QString::fromLatin1(peers::QrArchive::aeTitle);
    QTemporaryDir work;
    const QString out = work.filePath(QStringLiteral("get"));
    const auto fresh = [&] {
        setAside(out, work.filePath(QStringLiteral("aside")));
        QDir().mkpath(out);
    };
    const auto complete = [&](bool ok) { return ok && QDir(out).entryList(QDir::Files).size() == kImages; };
    const QStringList getscuArgs{QStringLiteral("-S"), QStringLiteral("-aec"), server.aeTitle, QStringLiteral("-k"),
                                 QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("-k"),
                                 QStringLiteral("StudyInstanceUID=") + layout.studyUid, QStringLiteral("-od"), out,
                                 QStringLiteral("127.0.0.1"), QString::number(archive.port())};
    compare("C-GET 300 x 512 x 512 from dcmqrscp", reps,
            [&] {
                fresh();
                const SideClock t(true);
                const bool ok = pacs::getStudy(server, pacs::PacsConfig(), layout.studyUid, out, nullptr, nullptr, {});
                const double ms = t.stop();
                return complete(ok) ? ms : -1.0;
            },
            [&] {
                fresh();
                const SideClock t(false);
                const bool ok = runDcmtkTool("getscu", getscuArgs);
                const double ms = t.stop();
                return complete(ok) ? ms : -1.0;
            },
            "s");
}

// One retrieve as the PACS download runs it, into the program's index and store; milliseconds, or -1
// when it did not bring the whole study.
double timedRetrieve(db::Database& index, const pacs::PacsServer& server, const pacs::PacsConfig& config,
                     const QString& studyUid, int images, const QString& asideRoot)
{
    const QString folder = QDir(pacs::pacsDownloadsRoot()).filePath(studyUid);
    if (index.studyExists(studyUid))
        index.deleteStudy(studyUid);
    setAside(folder, asideRoot);
    pacs::clearRetrieveUnfinished(studyUid);
    ::sync(); // what the run before left unwritten is not written during this one
    const SideClock t(true);
    auto* session = new pacs::PacsRetrieveSession(&index, server, config, studyUid, folder);
    bool ok = false;
    int received = 0;
    QEventLoop loop;
    QObject::connect(session, &pacs::PacsRetrieveSession::finished, &loop,
                     [&](bool done, const QString& message, int count) {
                         ok = done;
                         received = count;
                         if (!done)
                             std::printf("retrieve failed: %s\n", qPrintable(message));
                         loop.quit();
                     });
    session->start();
    loop.exec();
    const double ms = t.stop();
    int rows = 0;
    for (const db::SeriesRecord& series : index.seriesForStudy(studyUid))
        rows += series.instanceCount;
    // The session deletes itself once its thread has ended.
    (void)QTest::qWaitFor([] { return pacs::PacsRetrieveSession::liveSessions() == 0; }, 30000);
    if (ok && received == images && rows == images && !pacs::isRetrieveUnfinished(studyUid))
        return ms;
    std::printf("retrieve incomplete: %d received, %d rows of %d\n", received, rows, images);
    return -1.0;
}

// A study of `images` slices of side x side written into the archive's folder and served: its UID,
// or empty (said, with the rows left out) when dcmqrscp did not start.
QString serveStudy(peers::QrArchive& archive, int images, int side, const QString& folder, const char* what,
                   const char* rows)
{
    fixtures::SeriesLayout layout = bench::importSeriesLayout(images);
    layout.rows = layout.columns = side;
    fixtures::completeUids(layout);
    std::printf("\nwriting the %d images of %s ...\n", images, what);
    std::fflush(stdout);
    const QStringList files = fixtures::writeSeries(archive.storageDir() + QLatin1Char('/') + folder, layout);
    if (files.size() != images || !archive.index(files) || !archive.start()) {
        std::printf("dcmqrscp archive did not start: no %s\n", rows);
        return {};
    }
    return layout.studyUid;
}

// The index where the program keeps it, as a retrieve into the archive writes it.
bool openProgramIndex(db::Database& index)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(data);
    if (index.open(QDir(data).filePath(QStringLiteral("index.sqlite3"))))
        return true;
    std::printf("index did not open: %s\n", qPrintable(index.lastError()));
    return false;
}

void retrieveRows(int reps, int images, int side)
{
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    const quint16 ourPort = fixtures::freeLoopbackPort();
    const quint16 movescuPort = fixtures::freeLoopbackPort();
    peers::QrArchive archive;
    archive.addMoveDestination(QStringLiteral("KALVBENCH"), ourPort);
    archive.addMoveDestination(QStringLiteral("MOVESCU"), movescuPort);
    // dcmqrscp serves at most 1 GB of one study: 3,000 images of 256 x 256 (as an MR series) fit, of
    // 512 x 512 (CT) some 2,000.
    const QString studyUid =
        serveStudy(archive, images, side, QStringLiteral("ct"), "the archive's study", "retrieve rows");
    db::Database index;
    if (studyUid.isEmpty() || !openProgramIndex(index))
        return;
    QTemporaryDir work;
    const QString out = work.filePath(QStringLiteral("peer"));
    const QString aside = work.filePath(QStringLiteral("aside"));
    const auto fresh = [&] {
        setAside(out, aside);
        QDir().mkpath(out);
        ::sync();
    };
    const auto timedTool = [&](const char* tool, const QStringList& args) {
        fresh();
        const SideClock t(false);
        const bool ok = runDcmtkTool(tool, args);
        const double ms = t.stop();
        const qsizetype files = QDir(out).entryList(QDir::Files).size();
        if (ok && files == images)
            return ms;
        std::printf("%s %s: %lld files of %d\n", tool, ok ? "ended" : "failed", static_cast<long long>(files), images);
        return -1.0;
    };
    const QString port = QString::number(archive.port());
    const QStringList keys{QStringLiteral("-S"), QStringLiteral("-aec"), QString::fromLatin1(peers::QrArchive::aeTitle),
                           QStringLiteral("-k"), QStringLiteral("QueryRetrieveLevel=STUDY"), QStringLiteral("-k"),
                           QStringLiteral("StudyInstanceUID=") + studyUid};
    const QByteArray title = QByteArray::number(images) + " x " + QByteArray::number(side) + " x " + QByteArray::number(side);
    printHeader("retrieve from dcmqrscp");
    const pacs::PacsServer get = archive.server(1);
    const pacs::PacsConfig getConfig = peers::localConfig(ourPort, "KALVBENCH", {get});
    compare(("C-GET " + title + " (getscu)").constData(), reps,
            [&] { return timedRetrieve(index, get, getConfig, studyUid, images, aside); },
            [&] { return timedTool("getscu", keys + QStringList{QStringLiteral("-od"), out, QStringLiteral("127.0.0.1"), port}); },
            "s");
    // The receive alone, as the retrieve does it without an index: how much of the row above is the index's.
    const QString bare = work.filePath(QStringLiteral("bare"));
    const auto filesOnly = [&] {
        setAside(bare, aside);
        QDir().mkpath(bare);
        ::sync();
        const SideClock t(true);
        const bool ok = pacs::getStudy(get, getConfig, studyUid, bare, nullptr, nullptr, {});
        const double ms = t.stop();
        return ok && QDir(bare).entryList(QDir::Files).size() == images ? ms : -1.0;
    };
    compare(("C-GET " + title + ", files only (getscu)").constData(), reps, filesOnly,
            [&] { return timedTool("getscu", keys + QStringList{QStringLiteral("-od"), out, QStringLiteral("127.0.0.1"), port}); },
            "s");
    // The server's own pace: getscu taking every object in the largest PDUs and keeping none. A C-GET
    // waits for each object's answer before the next, so no receiver that keeps what it is sent comes
    // below this.
    const QStringList keepNone{QStringLiteral("--ignore"), QStringLiteral("-pdu"), QStringLiteral("131072"),
                               QStringLiteral("127.0.0.1"), port};
    const auto timedKeepingNone = [&](const char* tool, const QStringList& args) {
        const SideClock t(false);
        const bool ok = runDcmtkTool(tool, args + keepNone);
        const double ms = t.stop();
        return ok ? ms : -1.0;
    };
    compare(("C-GET " + title + ", files only (getscu --ignore)").constData(), reps, filesOnly,
            [&] { return timedKeepingNone("getscu", keys); }, "s");
    const pacs::PacsServer move = archive.server(0);
    const pacs::PacsConfig moveConfig = peers::localConfig(ourPort, "KALVBENCH", {move});
    const QStringList movescuKeys = keys + QStringList{QStringLiteral("-aet"), QStringLiteral("MOVESCU"),
                                                       QStringLiteral("-aem"), QStringLiteral("MOVESCU"),
                                                       QStringLiteral("--port"), QString::number(movescuPort)};
    compare(("C-MOVE " + title + " (movescu)").constData(), reps,
            [&] { return timedRetrieve(index, move, moveConfig, studyUid, images, aside); },
            [&] {
                return timedTool("movescu", movescuKeys + QStringList{QStringLiteral("-od"), out,
                                                                      QStringLiteral("127.0.0.1"), port});
            },
            "s");
    // dcmqrscp's C-MOVE also sends the next object only after the last one's answer.
    compare(("C-MOVE " + title + " (movescu --ignore)").constData(), reps,
            [&] { return timedRetrieve(index, move, moveConfig, studyUid, images, aside); },
            [&] { return timedKeepingNone("movescu", movescuKeys); }, "s");
}

// The longest time the GUI thread went without serving its events while it lived: the gap between two
// ticks of a timer that asks to run every few milliseconds, less that interval.
class StallWatch
{
public:
    StallWatch()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kTickMs);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = std::max(m_longest, m_sinceTick.nsecsElapsed() / 1e6 - kTickMs);
            m_sinceTick.start();
        });
        m_sinceTick.start();
        m_timer.start();
    }
    double longestMs() const { return std::max(m_longest, m_sinceTick.nsecsElapsed() / 1e6 - kTickMs); }

private:
    static constexpr int kTickMs = 5;
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    double m_longest = 0.0;
};

struct OpenRun
{
    double wallMs = -1.0;
    double cpuMs = -1.0;
    double stallMs = 0.0;
    double firstImageMs = -1.0; // into the archive only: none
};

// One retrieve through the PACS open coordinator as the search dialog runs it, in the mode given; the
// viewers it opened are closed after it.
OpenRun timedOpen(db::Database& index, const pacs::PacsServer& server, const pacs::PacsConfig& config,
                  const QString& studyUid, int images, int mode, const QString& asideRoot)
{
    OpenRun run;
    const QString folder = QDir(pacs::pacsDownloadsRoot()).filePath(studyUid);
    if (index.studyExists(studyUid))
        index.deleteStudy(studyUid);
    setAside(folder, asideRoot);
    pacs::clearRetrieveUnfinished(studyUid);
    ::sync();
    pacs::PacsOpenCoordinator coordinator(&index);
    QList<QPointer<ViewerWindow>> viewers;
    QEventLoop loop;
    bool ok = false;
    int received = 0;
    const SideClock clock(true);
    QElapsedTimer wall;
    wall.start();
    const StallWatch stalls;
    QObject::connect(&coordinator, &pacs::PacsOpenCoordinator::viewerOpened, [&](ViewerWindow* viewer) {
        viewers << viewer;
        // Once the events its showing posted (the first paint among them) are served.
        if (viewers.size() == 1)
            QTimer::singleShot(0, &coordinator,
                               [&run, &wall] { run.firstImageMs = wall.nsecsElapsed() / 1e6; });
    });
    QObject::connect(&coordinator, &pacs::PacsOpenCoordinator::finished, &loop,
                     [&](bool done, const QString& message, int count) {
                         ok = done;
                         received = count;
                         if (!done)
                             std::printf("open failed: %s\n", qPrintable(message));
                         loop.quit();
                     });
    coordinator.startDownload(server, config, studyUid, folder, mode);
    loop.exec();
    run.wallMs = wall.nsecsElapsed() / 1e6;
    clock.stop();
    run.cpuMs = g_lastProcessorMs;
    run.stallMs = stalls.longestMs();
    for (const QPointer<ViewerWindow>& viewer : std::as_const(viewers))
        if (viewer)
            viewer->close();
    (void)QTest::qWaitFor(
        [&] {
            return pacs::PacsRetrieveSession::liveSessions() == 0 &&
                   std::all_of(viewers.cbegin(), viewers.cend(),
                               [](const QPointer<ViewerWindow>& v) { return v.isNull(); });
        },
        30000);
    int rows = 0;
    for (const db::SeriesRecord& series : index.seriesForStudy(studyUid))
        rows += series.instanceCount;
    const bool opened = mode == pacs::PacsOpenCoordinator::ToArchive || !viewers.isEmpty();
    if (!ok || received != images || rows != images || !opened) {
        std::printf("open incomplete: %d received, %d rows of %d, %lld viewers\n", received, rows, images,
                    static_cast<long long>(viewers.size()));
        run.wallMs = -1.0;
    }
    return run;
}

void openRow(int reps, int images, int side)
{
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    peers::QrArchive archive;
    const QString studyUid =
        serveStudy(archive, images, side, QStringLiteral("open"), "the study to open", "open row");
    db::Database index;
    if (studyUid.isEmpty() || !openProgramIndex(index))
        return;
    installPacsViewerHooks();
    QTemporaryDir work;
    const QString aside = work.filePath(QStringLiteral("aside"));
    const pacs::PacsServer get = archive.server(1);
    const pacs::PacsConfig config = peers::localConfig(fixtures::freeLoopbackPort(), "KALVBENCH", {get});
    std::vector<double> openStall, archiveStall, firstImage;
    const auto runSide = [&](int mode, std::vector<double>& stallsOut) {
        const OpenRun run = timedOpen(index, get, config, studyUid, images, mode, aside);
        if (run.wallMs < 0)
            return -1.0;
        stallsOut.push_back(run.stallMs);
        if (run.firstImageMs >= 0)
            firstImage.push_back(run.firstImageMs);
        g_lastProcessorMs = run.cpuMs;
        return run.wallMs;
    };
    const QByteArray title = "C-GET " + QByteArray::number(images) + " x " + QByteArray::number(side) + " x "
                             + QByteArray::number(side) + " from dcmqrscp";
    printHeader("open from PACS / into the archive only");
    compare(
        title.constData(), reps,
        [&] { return runSide(pacs::PacsOpenCoordinator::DownloadAndOpen, openStall); },
        [&] { return runSide(pacs::PacsOpenCoordinator::ToArchive, archiveStall); }, "s");
    std::printf(
        "the GUI thread's longest stall: open %.0f ms, archive only %.0f ms (medians); request to the first "
        "image on screen: %.0f ms\n",
        median(openStall), median(archiveStall), median(firstImage));
}

// Sending a study by C-STORE as the study list's send does, next to storescu sending the same files,
// both to one storescp that receives every object and keeps none of them.
void sendRow(int reps, int images, int side)
{
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    QTemporaryDir work;
    fixtures::SeriesLayout layout = bench::importSeriesLayout(images);
    layout.rows = layout.columns = side;
    fixtures::completeUids(layout);
    std::printf("\nwriting the %d images to send ...\n", images);
    std::fflush(stdout);
    const QString folder = work.filePath(QStringLiteral("send"));
    const QStringList files = fixtures::writeSeries(folder, layout);
    peers::StoreReceiver receiver;
    if (files.size() != images || !receiver.start(QStringLiteral("RECEIVER"), {QStringLiteral("--ignore")})) {
        std::printf("storescp did not start: no C-STORE row\n");
        return;
    }
    const pacs::PacsServer server = peers::at(receiver.port(), QStringLiteral("RECEIVER"));
    const pacs::PacsConfig config = peers::localConfig(0, "KALVBENCH", {server});
    ::sync();
    const QByteArray title = QByteArray::number(images) + " x " + QByteArray::number(side) + " x " + QByteArray::number(side);
    printHeader("send");
    compare(("C-STORE " + title + " to storescp (storescu)").constData(), reps,
            [&] {
                const SideClock t(true);
                QString error;
                const bool ok = pacs::sendFiles(server, config, files, &error, {});
                const double ms = t.stop();
                if (!ok)
                    std::printf("send failed: %s\n", qPrintable(error));
                return ok ? ms : -1.0;
            },
            [&] {
                const SideClock t(false);
                const bool ok = runDcmtkTool("storescu", {QStringLiteral("-aec"), server.aeTitle, QStringLiteral("+sd"),
                                                          QStringLiteral("127.0.0.1"), QString::number(receiver.port()),
                                                          folder});
                const double ms = t.stop();
                return ok ? ms : -1.0;
            },
            "s");
}

constexpr int kFindMatches = 20000;

// The C-FIND peer's own process (bench_peers --serve-cfind): it answers every search with
// kFindMatches studies, prints its port and serves until its input closes. A process of its own, as a
// PACS is, so that it takes nothing from the client measured beside it.
int serveFindMatches()
{
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    peers::ScriptedScp peer;
    for (int i = 0; i < kFindMatches; ++i) {
        auto row = std::make_unique<DcmDataset>();
        row->putAndInsertString(DCM_SpecificCharacterSet, "ISO_IR 192");
        row->putAndInsertString(DCM_QueryRetrieveLevel, "STUDY");
        row->putAndInsertString(DCM_PatientName, "Иванов^Пётр^Сергеевич");
        row->putAndInsertString(DCM_PatientID, QByteArray::number(100000 + i).constData());
        row->putAndInsertString(DCM_StudyDate, "20240115");
        row->putAndInsertString(DCM_StudyTime, "101500");
        row->putAndInsertString(DCM_StudyDescription, "КТ органов грудной клетки");
        row->putAndInsertString(DCM_ModalitiesInStudy, "CT\\SR");
        row->putAndInsertString(DCM_AccessionNumber, QByteArray::number(700000 + i).constData());
        row->putAndInsertString(DCM_StudyInstanceUID,
                                ("1.2.826.0.1.3680043.10.1501." + QByteArray::number(i)).constData());
        row->putAndInsertString(DCM_NumberOfStudyRelatedSeries, "3");
        row->putAndInsertString(DCM_NumberOfStudyRelatedInstances, "412");
        peer.findRows.push_back(std::move(row));
    }
    peer.encodeFindRowsAhead();
    if (!peer.start())
        return 1;
    std::printf("%d\n", int(peer.port()));
    std::fflush(stdout);
    char line[16];
    while (std::fgets(line, sizeof line, stdin)) {
    }
    return 0;
}

void cfindRow(int reps)
{
    QProcess peerProcess;
    peerProcess.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve-cfind")});
    quint16 port = 0;
    if (peerProcess.waitForStarted(30000) && peerProcess.waitForReadyRead(120000))
        port = quint16(peerProcess.readLine().trimmed().toUInt());
    if (port == 0 || !peers::waitForPort(port)) {
        std::printf("scripted C-FIND peer did not start: no C-FIND row\n");
        return;
    }
    pacs::PacsServer server;
    server.host = QStringLiteral("127.0.0.1");
    server.port = port;
    server.aeTitle = QStringLiteral("SCRIPTED");
    QStringList findscuArgs{QStringLiteral("-q"), QStringLiteral("-S"), QStringLiteral("-aec"), server.aeTitle};
    for (const char* key : {"QueryRetrieveLevel=STUDY", "PatientName=*", "PatientID", "StudyDate", "StudyTime",
                            "StudyDescription", "StudyInstanceUID", "ModalitiesInStudy", "AccessionNumber",
                            "NumberOfStudyRelatedSeries", "NumberOfStudyRelatedInstances"})
        findscuArgs << QStringLiteral("-k") << QString::fromLatin1(key);
    findscuArgs << QStringLiteral("127.0.0.1") << QString::number(port);
    compare("C-FIND, 20,000 study matches", reps,
            [&] {
                const SideClock t(true);
                QString error;
                const int rows = int(pacs::findStudies(server, pacs::PacsConfig(), {}, &error).size());
                const double ms = t.stop();
                return rows == kFindMatches && error.isEmpty() ? ms : -1.0;
            },
            [&] {
                const SideClock t(false);
                const bool ok = runDcmtkTool("findscu", findscuArgs);
                const double ms = t.stop();
                return ok ? ms : -1.0;
            },
            "s");
    peerProcess.closeWriteChannel();
    if (!peerProcess.waitForFinished(30000))
        peerProcess.kill(); // our own child, by its handle
}

} // namespace

int main(int argc, char** argv)
{
    // The retrieve rows write the program's index, store and marks: into a scratch data folder, never
    // the user's.
    QTemporaryDir scratch;
    qputenv("XDG_DATA_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("data"))));
    // The open row shows its viewers: offscreen unless a platform is chosen, without the offscreen
    // platform's notes on every window, which would break up the table.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static const QtMessageHandler printing = qInstallMessageHandler(nullptr);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (!message.contains(QLatin1String("propagateSizeHints")))
            printing(type, context, message);
    });
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Brisvane"));
    QCoreApplication::setApplicationName(QStringLiteral("VavovIvirur"));
    QGuiApplication::setQuitOnLastWindowClosed(false);
    dicom::registerMetaTypes();
    const QStringList args = app.arguments();
    if (args.contains(QStringLiteral("--serve-cfind")))
        return serveFindMatches();
    const int reps = std::max(1, bench::intArg(args, "--reps", 9));
    render::setWorkerThreadCountOverride(bench::intArg(args, "--threads", 0));
    printLoad("at start");
    if (wanted("slab") || wanted("oblique") || wanted("vrt") || wanted("mip"))
        imagingRows(reps);
    if (wanted("cget") || wanted("cfind")) {
        std::printf("\n");
        printHeader("request to a peer on this machine");
    }
    if (wanted("cget"))
        cgetRow(std::max(1, reps / 2));
    if (wanted("cfind"))
        cfindRow(std::max(1, reps / 2));
    if (wanted("retrieve"))
        retrieveRows(std::max(1, reps / 2), bench::intArg(args, "--images", 3000), bench::intArg(args, "--side", 256));
    if (wanted("send"))
        sendRow(std::max(1, reps / 2), bench::intArg(args, "--images", 3000), bench::intArg(args, "--side", 256));
    if (wanted("open"))
        openRow(std::max(1, reps / 2), bench::intArg(args, "--open-images", 1000),
                bench::intArg(args, "--side", 256));
    printLoad("at end");
    return 0;
}
