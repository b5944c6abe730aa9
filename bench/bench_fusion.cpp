// Timings of the fusion volume: building from a 512 x 512 x N series beside render::buildVolume on
// the same files, and the overlay blend on 512² and 2048² slices.
//
//   bench_fusion [--slices N] [--no-build]
#include "BenchSupport.h"

#include "render/FusionOverlay.h"
#include "render/FusionVolume.h"
#include "render/HuImage.h"
#include "render/ParallelFor.h"
#include "render/SliceSources.h"
#include "render/Volume.h"

#include "support/DicomFixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using bench::medianMs;

QList<db::InstanceRecord> benchSeries(int slices)
{
    fixtures::SeriesLayout s;
    s.rows = s.columns = 512;
    s.slices = slices;
    s.rowSpacing = s.columnSpacing = 0.7;
    s.sliceSpacing = s.sliceThickness = 1.0;
    s.value = [](int x, int y, int z) {
        const double r = std::hypot(x - 256.0, y - 256.0);
        return r < 200 ? 1064 + (x + y + z) % 50 : 24;
    };
    const QString dir = QDir::temp().filePath(QStringLiteral("kalvenor_bench_fusion_%1").arg(slices));
    const QStringList files = bench::ensureSeries(dir, s);
    QList<db::InstanceRecord> rows;
    for (int k = 0; k < slices; ++k) {
        db::InstanceRecord r;
        r.filePath = files[k];
        r.pixelSpacingX = r.pixelSpacingY = 0.7;
        r.sliceThickness = 1.0;
        r.orientationRow = {1, 0, 0};
        r.orientationCol = {0, 1, 0};
        r.imagePosition = fixtures::slicePosition(s, k);
        r.sliceLocation = r.imagePosition[2];
        r.hasSpatialInfo = true;
        rows.append(r);
    }
    return rows;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int slices = bench::intArg(args, "--slices", 400);
    std::printf("bench_fusion: %d hardware threads used\n", render::workerThreadCount());
    const QList<db::InstanceRecord> rows = benchSeries(slices);

    QString message;
    if (!args.contains(QStringLiteral("--no-build"))) {
    const double fusionMs = medianMs(3, [&] {
        render::clearHuFrameCache();
        render::FusionVolume v = render::buildFusionVolume(rows, &message);
    });
    const QList<render::SliceSource> sources = render::sliceSourcesFromInstances(rows);
    const double volumeMs = medianMs(3, [&] {
        render::clearHuFrameCache();
        render::Volume v = render::buildVolume(sources, &message, 0);
    });
    std::printf("buildFusionVolume 512x512x%d: %.0f ms   (buildVolume on the same files: %.0f ms)\n", slices,
                fusionMs, volumeMs);
    }

    const render::FusionVolume overlay = render::buildFusionVolume(rows, &message);
    for (int side : {512, 2048}) {
        QImage base(side, side, QImage::Format_Grayscale8);
        base.fill(90);
        db::InstanceRecord slice = rows[slices / 2];
        slice.pixelSpacingX = slice.pixelSpacingY = 0.7 * 512 / side;
        auto blend = [&] { QImage out = render::blendFusionOverlay(base, slice, overlay, 40, 100, 0, 0.6); };
        const double ms = medianMs(9, blend);
        double single = 0.0;
        {
            render::ScopedWorkerThreadCount one(1);
            single = medianMs(5, blend);
        }
        std::printf("blendFusionOverlay %dx%d: %.1f ms   (one thread: %.1f ms)\n", side, side, ms, single);
    }
    return 0;
}
