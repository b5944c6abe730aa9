// Timings of curve and vessel work on phantom volumes built in memory: curved MPR (full render with
// a mean slab and the quick preview), the lumen profile, vessel centreline tracing and the
// virtual-endoscopy path.
//
//   bench_vessel
#include "BenchSupport.h"

#include "render/CurvedMprRenderer.h"
#include "render/EndoscopyPath.h"
#include "render/ParallelFor.h"
#include "render/VesselCenterline.h"
#include "render/VesselLumen.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using bench::medianMs;
using Vec3 = std::array<double, 3>;

// The vessel's axis at t in [0, 1], patient mm: about 200 mm long through a 204.8 x 204.8 x 160 mm box.
Vec3 vesselAt(double t)
{
    return {20.0 + 150.0 * t, 100.0 + 35.0 * std::sin(M_PI * t), 20.0 + 110.0 * t};
}

render::FusionVolume vesselVolume()
{
    render::FusionVolume v;
    v.nx = v.ny = 512;
    v.nz = 400;
    v.spacing = {0.4, 0.4, 0.4};
    v.voxels.assign(size_t(v.nx) * v.ny * v.nz, 40.0f);
    const double radius = 3.0;
    for (double t = 0.0; t <= 1.0; t += 0.0005) {
        const Vec3 c = vesselAt(t);
        const int i0 = int((c[0] - radius) / 0.4), i1 = int((c[0] + radius) / 0.4) + 1;
        const int j0 = int((c[1] - radius) / 0.4), j1 = int((c[1] + radius) / 0.4) + 1;
        const int k0 = int((c[2] - radius) / 0.4), k1 = int((c[2] + radius) / 0.4) + 1;
        for (int k = std::max(k0, 0); k <= std::min(k1, v.nz - 1); ++k)
            for (int j = std::max(j0, 0); j <= std::min(j1, v.ny - 1); ++j)
                for (int i = std::max(i0, 0); i <= std::min(i1, v.nx - 1); ++i) {
                    const double dx = i * 0.4 - c[0], dy = j * 0.4 - c[1], dz = k * 0.4 - c[2];
                    if (dx * dx + dy * dy + dz * dz <= radius * radius)
                        v.voxels[v.index(i, j, k)] = 300.0f;
                }
    }
    v.minValue = 40;
    v.maxValue = 300;
    return v;
}

render::FusionVolume colonVolume()
{
    render::FusionVolume v;
    v.nx = v.ny = 512;
    v.nz = 600;
    v.spacing = {0.7, 0.7, 1.0};
    v.voxels.assign(size_t(v.nx) * v.ny * v.nz, 40.0f);
    render::parallelFor(v.nz, [&v](int begin, int end) {
        for (int k = begin; k < end; ++k) {
            const double cx = 256 + 100 * std::sin(k / 60.0), cy = 256 + 80 * std::cos(k / 45.0);
            const double r = 22 + 6 * std::sin(k / 17.0);
            for (int j = int(cy - r) - 1; j <= int(cy + r) + 1; ++j)
                for (int i = int(cx - r) - 1; i <= int(cx + r) + 1; ++i)
                    if ((i - cx) * (i - cx) + (j - cy) * (j - cy) <= r * r)
                        v.voxels[v.index(i, j, k)] = -1000.0f;
        }
    });
    v.minValue = -1000;
    v.maxValue = 40;
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::printf("bench_vessel: %d hardware threads, global pool of %d\n", render::workerThreadCount(),
                QThreadPool::globalInstance()->maxThreadCount());
    {
        const render::FusionVolume v = vesselVolume();
        render::CurvePoints curve;
        for (int s = 0; s <= 8; ++s)
            curve.append(vesselAt(s / 8.0));
        render::CurvedMprResult full;
        const double fullMs = medianMs(5, [&] {
            full = render::CurvedMprRenderer::render(v, curve, 40.0, 0.4, 150, 500, 0, 0, 10.0,
                                                     render::CurvedMprSlabMean, 0, false);
        });
        QThreadPool::globalInstance()->setMaxThreadCount(1);
        const double fullSingleMs = medianMs(3, [&] {
            full = render::CurvedMprRenderer::render(v, curve, 40.0, 0.4, 150, 500, 0, 0, 10.0,
                                                     render::CurvedMprSlabMean, 0, false);
        });
        QThreadPool::globalInstance()->setMaxThreadCount(render::workerThreadCount());
        std::printf("curved MPR, %.0f mm at 0.4 mm, width 40 mm, 10 mm mean slab (%dx%d): %.1f ms (one thread: %.1f ms)\n",
                    full.lengthMm, full.gridWidth, full.gridHeight, fullMs, fullSingleMs);
        const double previewMs = medianMs(9, [&] {
            full = render::CurvedMprRenderer::render(v, curve, 40.0, 1.6, 150, 500, 0, 0, 0,
                                                     render::CurvedMprSlabNone, 0, false);
        });
        std::printf("curved MPR quick preview (step x 4, no slab): %.1f ms\n", previewMs);

        render::CurvePoints half;
        for (int s = 0; s <= 4; ++s)
            half.append(vesselAt(s / 8.0));
        render::LumenSettings settings;
        render::LumenProfile profile;
        const double lumenMs = medianMs(5, [&] { profile = render::analyzeVesselLumen(v, half, 300, 800, &settings); });
        std::printf("lumen profile along %.0f mm, 15 mm sections (%lld sections, reference %.2f mm): %.1f ms\n",
                    profile.curvedMpr.lengthMm, qlonglong(profile.sections.size()), profile.referenceDiameterMm,
                    lumenMs);

        const Vec3 a = vesselAt(0.5), b = vesselAt(0.52);
        render::CenterlineResult traced;
        const double traceMs = medianMs(5, [&] { traced = render::traceVesselCenterline(v, a.data(), b.data()); });
        std::printf("vessel tracing (%lld points, %s): %.1f ms\n", qlonglong(traced.points.size()),
                    traced.ok ? "ok" : qPrintable(traced.message), traceMs);
    }
    {
        const render::FusionVolume v = colonVolume();
        const double k = 300;
        const Vec3 click{(256 + 100 * std::sin(k / 60.0)) * 0.7, (256 + 80 * std::cos(k / 45.0)) * 0.7, k};
        render::EndoscopyPathResult path;
        const double pathMs = medianMs(5, [&] { path = render::buildEndoscopyPath(v, click.data()); });
        std::printf("endoscopy path through 512x512x600 (%lld points, %s): %.1f ms\n", qlonglong(path.points.size()),
                    path.ok ? "ok" : qPrintable(path.message), pathMs);
    }
    return 0;
}
