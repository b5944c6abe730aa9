// Timings of the imaging core: volume building from DICOM files (side by side with dcm2niix when it
// is installed), MPR slices and CPU ray casting on one or many threads. The comparison with VTK in
// the same run is bench_peers.
//
//   bench_render [--no-build] [--no-render] [--no-reference] [--slices N] [--threads N]
#include "BenchSupport.h"

#include "render/HuImage.h"
#include "render/MprSlices.h"
#include "render/ParallelFor.h"
#include "render/Volume.h"
#include "render/VolumeCameraMath.h"
#include "render/VolumeRenderer.h"

#include "support/DicomFixtures.h"
#include "dicom/CodecRegistration.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtMath>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

namespace {

using bench::Clock;
using bench::medianMs;
using bench::msSince;

struct ChildResult
{
    double seconds = -1;
    long maxRssKb = 0;
    bool ok = false;
};

// Runs fn in a child process so that its peak memory is its own.
ChildResult inChild(const std::function<double()>& fn)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const double s = fn();
        (void)!write(fds[1], &s, sizeof s);
        _exit(0);
    }
    close(fds[1]);
    ChildResult r;
    double s = -1;
    if (read(fds[0], &s, sizeof s) == sizeof s)
        r.seconds = s;
    close(fds[0]);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    r.maxRssKb = usage.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && s >= 0;
    return r;
}

ChildResult runProgram(const QString& program, const QStringList& args)
{
    return inChild([&]() -> double {
        const auto t = Clock::now();
        QProcess p;
        p.start(program, args);
        p.waitForFinished(-1);
        return p.exitCode() == 0 ? msSince(t) / 1000.0 : -1.0;
    });
}

QStringList ensureSeries(const QString& dir, int slices, fixtures::Compression compression)
{
    const QString marker = dir + "/complete";
    QStringList files;
    for (int k = 0; k < slices; ++k)
        files << QDir(dir).filePath(QStringLiteral("IMG_%1.dcm").arg(k));
    if (QFile::exists(marker))
        return files;
    QDir(dir).removeRecursively();
    fixtures::SeriesLayout s;
    s.rows = 512;
    s.columns = 512;
    s.slices = slices;
    s.rowSpacing = 0.7;
    s.columnSpacing = 0.7;
    s.sliceSpacing = 1.0;
    s.sliceThickness = 1.0;
    s.compression = compression;
    s.value = [](int x, int y, int z) { return int(bench::phantomHu((x - 256) * 0.7, (y - 256) * 0.7, z * 1.0)) + 1024; };
    std::printf("  writing %d slices to %s ...\n", slices, qPrintable(dir));
    std::fflush(stdout);
    files = fixtures::writeSeries(dir, s);
    QFile f(marker);
    f.open(QIODevice::WriteOnly);
    return files;
}

QList<render::SliceSource> sourcesOf(const QStringList& files)
{
    QList<render::SliceSource> list;
    for (int k = 0; k < files.size(); ++k) {
        render::SliceSource s;
        s.filePath = files[k];
        s.pixelSpacingX = s.pixelSpacingY = 0.7;
        s.sliceThickness = 1.0;
        s.orientationRow = {1, 0, 0};
        s.orientationCol = {0, 1, 0};
        s.hasSpatialInfo = true;
        s.imagePosition = {-100.0, -120.0, 50.0 + k};
        s.sliceLocation = 50.0 + k;
        list << s;
    }
    return list;
}

void benchVolumeBuild(int slices, bool reference)
{
    std::printf("\n== Volume building, 512 x 512 x %d CT, %d hardware threads\n", slices,
                render::workerThreadCount());
    const QString root = QDir::tempPath() + "/kalvenor-bench-render";
    struct Input
    {
        const char* name;
        fixtures::Compression compression;
        QString dir;
    };
    const Input inputs[] = {{"uncompressed", fixtures::Compression::None, root + "/raw"},
                            {"JPEG-LS", fixtures::Compression::JpegLsLossless, root + "/jpls"}};
    for (const Input& in : inputs) {
        const QStringList files = ensureSeries(in.dir + QString::number(slices), slices, in.compression);
        const QList<render::SliceSource> list = sourcesOf(files);
        auto build = [&](int threads, bool serialised) {
            return inChild([&]() -> double {
                render::setWorkerThreadCountOverride(threads);
                render::setHuFrameReadsSerialised(serialised);
                // Cold page cache is not what we measure: read the files once first.
                for (const QString& f : files) {
                    QFile file(f);
                    file.open(QIODevice::ReadOnly);
                    file.readAll();
                }
                const auto t = Clock::now();
                QString message;
                const render::Volume v = render::buildVolume(list, &message, 0);
                const double s = msSince(t) / 1000.0;
                return v.nz == slices && message.isEmpty() ? s : -1.0;
            });
        };
        const ChildResult one = build(1, false);
        const ChildResult all = build(0, false);
        const ChildResult serial = build(0, true);
        std::printf("  %-12s 1 thread %.3f s (peak %ld MB) | all threads %.3f s (peak %ld MB), %.1fx"
                    " | all threads, reads under one lock %.3f s\n",
                    in.name, one.seconds, one.maxRssKb / 1024, all.seconds, all.maxRssKb / 1024,
                    one.seconds / all.seconds, serial.seconds);
        if (reference) {
            const QString exe = QStringLiteral("/usr/bin/dcm2niix");
            if (QFileInfo::exists(exe)) {
                const QString out = root + "/nii";
                QDir().mkpath(out);
                const ChildResult r = runProgram(exe, {"-z", "n", "-b", "n", "-o", out, "-f", in.name, in.dir + QString::number(slices)});
                if (r.ok)
                    std::printf("  %-12s dcm2niix -z n (same files)      %.3f s (peak %ld MB)\n", in.name, r.seconds,
                                r.maxRssKb / 1024);
                else
                    std::printf("  %-12s dcm2niix could not convert these files\n", in.name);
            } else {
                std::printf("  dcm2niix not installed: no reference figure\n");
            }
        }
        std::fflush(stdout);
    }
}

void benchRender()
{
    const int nx = 512, ny = 512, nz = 400;
    std::printf("\n== Slices and ray casting, 512 x 512 x 400 volume (0.7 x 0.7 x 1.0 mm), %d threads\n",
                render::workerThreadCount());
    const render::Volume v = bench::phantomVolume(nx, ny, nz);

    const double threadStart = medianMs(200, [] { render::parallelFor(512, [](int, int) {}); });
    std::printf("  starting and joining the threads of one call: %.3f ms\n", threadStart);

    const double slab = medianMs(20, [&] { render::renderCoronalSlice(v, ny / 2, 40, 400, 7, 1); });
    std::printf("  coronal slab MIP 10.5 mm (15 slices)        %8.2f ms\n", slab);
    const QVector3D centre(nx * 0.7f / 2, ny * 0.7f / 2, nz * 1.0f / 2);
    const float a = qDegreesToRadians(30.0f);
    const double oblique = medianMs(20, [&] {
        render::renderObliqueSlice(v, centre, QVector3D(std::cos(a), std::sin(a), 0), QVector3D(0, 0, -1), 512, 0.7, 40,
                                   400, 0, 0);
    });
    std::printf("  oblique slice 512 x 512                     %8.2f ms\n", oblique);

    render::VolumeRenderParams p;
    p.rotation = volumecamera::rotationFromYawPitch(25, 15);
    p.window = {40, 400};
    p.zoom = 0.6;
    struct Case
    {
        const char* name;
        int preset;
        bool full;
    };
    for (const Case& c : {Case{"quick VRT 420, Кости", 0, false}, Case{"quick VRT 420, Кожа", 2, false},
                          Case{"full VRT 420, Кости", 0, true}, Case{"full VRT 420, Кожа", 2, true}}) {
        p.renderMode = 1;
        p.imageSize = 420;
        p.sampleCount = 220;
        p.fullQuality = c.full;
        p.transferFunction = render::transferFunctionPresets()[c.preset];
        const double ms = medianMs(c.full ? 3 : 5, [&] { render::renderVolumeCpu(v, p); });
        std::printf("  %-42s %8.2f ms\n", c.name, ms);
        if (!c.full && c.preset == 0)
            render::renderVolumeCpu(v, p).save(QDir::tempPath() + "/kalvenor-bench-vrt-quick.png");
        if (c.full && c.preset == 0)
            render::renderVolumeCpu(v, p).save(QDir::tempPath() + "/kalvenor-bench-vrt-full.png");
        if (c.full && c.preset == 2)
            render::renderVolumeCpu(v, p).save(QDir::tempPath() + "/kalvenor-bench-vrt-skin.png");
    }
    p.renderMode = 0;
    p.projectionMode = render::MaximumProjection;
    p.imageSize = 512;
    p.fullQuality = false;
    p.sampleCount = 220;
    std::printf("  MIP 512, 220 samples per ray                %8.2f ms\n", medianMs(5, [&] { render::renderVolumeCpu(v, p); }));
    p.sampleCount = 776; // about 1 mm between samples, as the VTK run below
    std::printf("  MIP 512, 776 samples per ray (~1 mm)        %8.2f ms\n", medianMs(5, [&] { render::renderVolumeCpu(v, p); }));
    render::renderVolumeCpu(v, p).save(QDir::tempPath() + "/kalvenor-bench-mip.png");
    std::fflush(stdout);

}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int slices = 500;
    const int at = args.indexOf("--slices");
    if (at >= 0 && at + 1 < args.size())
        slices = args[at + 1].toInt();
    const bool reference = !args.contains("--no-reference");
    const int threadsAt = args.indexOf("--threads");
    if (threadsAt >= 0 && threadsAt + 1 < args.size())
        render::setWorkerThreadCountOverride(args[threadsAt + 1].toInt());
    dicom::CodecRegistrationScope codecs;
    if (!args.contains("--no-build"))
        benchVolumeBuild(slices, reference);
    if (!args.contains("--no-render"))
        benchRender();
    return 0;
}
