// Time of one DCE time-intensity curve: 40 phases, each a single-frame 512 x 512 file of its own, read
// from a warm page cache. The DCE window computes the curve on the GUI thread on every ROI change.
//
//   bench_dce [--phases N] [--repeats N]
#include "BenchSupport.h"

#include "db/PhaseGrouping.h"
#include "render/HuImage.h"
#include "render/TimeIntensityCurve.h"

#include "support/DicomFixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int phases = std::max(2, bench::intArg(args, "--phases", 40));
    const int repeats = std::max(1, bench::intArg(args, "--repeats", 30));

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    PhaseGrouping grouping;
    for (int p = 0; p < phases; ++p) {
        fixtures::SeriesLayout layout;
        layout.modality = QStringLiteral("MR");
        layout.rows = layout.columns = 512;
        layout.slices = 1;
        layout.rescaleIntercept = 0.0;
        layout.value = [p](int x, int y, int) { return 100 + p + (x + y) % 7; };
        const QString phaseDir = dir.filePath(QStringLiteral("phase%1").arg(p));
        QDir().mkpath(phaseDir);
        const QStringList paths = fixtures::writeSeries(phaseDir, layout);
        TemporalPhase phase;
        phase.index = p + 1;
        phase.time = 5.0 * p;
        db::InstanceRecord row;
        row.filePath = paths.value(0);
        phase.instances.append(row);
        grouping.phases.append(phase);
    }

    using Clock = std::chrono::steady_clock;
    render::computeTimeIntensityCurve(grouping, 0, 256, 256, 30, 20); // warm the page cache
    std::vector<double> times;
    for (int r = 0; r < repeats; ++r) {
        // A moving ROI, as while the user drags it.
        const auto t = Clock::now();
        const render::TimeIntensityCurve curve = render::computeTimeIntensityCurve(grouping, 0, 200 + r, 256, 30, 20);
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
        if (curve.samples.size() != phases || !curve.warning.isEmpty()) {
            std::fprintf(stderr, "unexpected curve\n");
            return 1;
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("computeTimeIntensityCurve, %d phases of 512x512 single-frame files: median %.1f ms, min %.1f ms, "
                "max %.1f ms (%d runs)\n",
                phases, times[times.size() / 2], times.front(), times.back(), repeats);
    std::printf("files parsed by the HU loader: %lld\n", render::huFrameParseCount());
    return 0;
}
