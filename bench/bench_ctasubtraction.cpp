// CTA subtraction volume of two 512 x 512 x 400 CT series: wall time and peak memory of
// buildSubtractionVolume (both volumes are built from files on a warm page cache).
//
//   bench_ctasubtraction [--slices N] [--repeats N]
#include "BenchSupport.h"

#include "db/Database.h"
#include "dicom/DicomFileSummary.h"
#include "render/CtaSubtraction.h"
#include "render/HuImage.h"

#include "support/DicomFixtures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

// Resident and peak resident memory of this process in MiB, from /proc/self/status.
double statusMiB(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int slices = std::max(2, bench::intArg(args, "--slices", 400));
    const int repeats = std::max(1, bench::intArg(args, "--repeats", 3));

    const QString root = QDir::tempPath() + QStringLiteral("/kalvenor-bench-cta-%1").arg(slices);
    fixtures::SeriesLayout native;
    native.studyUid = QStringLiteral("1.2.826.0.1.3680043.8.498.77.1");
    native.seriesUid = QStringLiteral("1.2.826.0.1.3680043.8.498.77.2");
    native.frameOfReferenceUid = QStringLiteral("1.2.826.0.1.3680043.8.498.77.3");
    native.seriesNumber = QStringLiteral("1");
    native.seriesDescription = QStringLiteral("Native");
    native.rows = native.columns = 512;
    native.slices = slices;
    native.rowSpacing = native.columnSpacing = 0.7;
    native.sliceSpacing = native.sliceThickness = 1.0;
    native.value = [](int x, int y, int z) { return 1024 + ((x * 7 + y * 3 + z) % 200); };
    fixtures::SeriesLayout contrast = native;
    contrast.seriesUid = QStringLiteral("1.2.826.0.1.3680043.8.498.77.4");
    contrast.seriesNumber = QStringLiteral("2");
    contrast.seriesDescription = QStringLiteral("Arterial");
    contrast.acquisitionTimeStart = native.acquisitionTimeStart + 30;
    contrast.value = [](int x, int y, int z) { return 1024 + ((x * 7 + y * 3 + z) % 200) + ((x - 256) * (x - 256) + (y - 300) * (y - 300) < 400 ? 300 : 0); };

    db::Database database;
    if (!database.open(QStringLiteral(":memory:")))
        return 1;
    for (const auto& [layout, folder] : {std::pair{native, QStringLiteral("/native")}, std::pair{contrast, QStringLiteral("/contrast")}}) {
        for (const QString& path : bench::ensureSeries(root + folder, layout)) {
            const auto summary = dicom::readFileSummary(path);
            if (!summary || !database.indexFile(*summary)) {
                std::fprintf(stderr, "cannot index %s\n", qPrintable(path));
                return 1;
            }
        }
    }
    const render::CtaSubtractionPair pair = render::findCtaSubtractionPair(&database, native.studyUid, native.seriesUid);
    if (!pair.isValid()) {
        std::fprintf(stderr, "no pair: %s\n", qPrintable(pair.error));
        return 1;
    }
    render::clearHuFrameCache();

    const double baseline = statusMiB("VmRSS:");
    using Clock = std::chrono::steady_clock;
    std::vector<double> seconds;
    for (int r = 0; r < repeats; ++r) {
        QString error;
        const auto t = Clock::now();
        const render::Volume v = render::buildSubtractionVolume(pair.nativeInstances, pair.contrastInstances, &error);
        seconds.push_back(std::chrono::duration<double>(Clock::now() - t).count());
        if (v.isEmpty()) {
            std::fprintf(stderr, "subtraction failed: %s\n", qPrintable(error));
            return 1;
        }
    }
    std::sort(seconds.begin(), seconds.end());
    const double volumeMiB = 512.0 * 512.0 * slices * sizeof(float) / (1024.0 * 1024.0);
    std::printf("buildSubtractionVolume, two 512x512x%d series, warm page cache: median %.2f s, "
                "min %.2f s, max %.2f s (%d runs)\n",
                slices, seconds[seconds.size() / 2], seconds.front(), seconds.back(), repeats);
    std::printf("peak resident memory %.0f MiB, %.0f MiB above the %.0f MiB before building; one volume is %.0f MiB\n",
                statusMiB("VmHWM:"), statusMiB("VmHWM:") - baseline, baseline, volumeMiB);
    return 0;
}
