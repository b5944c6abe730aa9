#pragma once
// What the benchmark programs share: timing, numbers from the command line, the CT series of the
// import benchmarks and series written once into a cache folder that later runs reuse.

#include <DicomFixtures.h>

#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The median of `repeats` timed calls, after one call that warms the caches.
inline double medianMs(int repeats, const std::function<void()>& fn)
{
    fn();
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto t = Clock::now();
        fn();
        times.push_back(msSince(t));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The number after `name` on the command line, or `fallback`.
inline int intArg(const QStringList& args, const char* name, int fallback)
{
    const qsizetype i = args.indexOf(QLatin1String(name));
    return i >= 0 && i + 1 < args.size() ? args[i + 1].toInt() : fallback;
}

// `files` single-frame 512 x 512 CT slices with a pattern that does not compress to nothing.
inline fixtures::SeriesLayout importSeriesLayout(int files)
{
    fixtures::SeriesLayout layout;
    layout.rows = 512;
    layout.columns = 512;
    layout.slices = files;
    layout.value = [](int x, int y, int z) { return (x * 7 + y * 3 + z) % 2000 - 1000; };
    return layout;
}

// Writes the series once into `dir`; later runs find its marker file and reuse the files.
inline QStringList ensureSeries(const QString& dir, const fixtures::SeriesLayout& layout)
{
    const QString marker = dir + QStringLiteral("/complete");
    QStringList files;
    for (int k = 0; k < layout.slices; ++k)
        files << QDir(dir).filePath(QStringLiteral("IMG_%1.dcm").arg(k));
    if (QFile::exists(marker))
        return files;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    std::printf("  writing %d slices to %s ...\n", layout.slices, qPrintable(dir));
    std::fflush(stdout);
    files = fixtures::writeSeries(dir, layout);
    QFile f(marker);
    f.open(QIODevice::WriteOnly);
    return files;
}

} // namespace bench
