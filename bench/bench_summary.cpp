// Summary speed: readFileSummary over 2,000 single-frame 512x512 CT files from a warm cache, one core.
// Then, on files of three sizes (a 512 KB slice, 1.5 MB and 50 MB enhanced CT), the walk every reader
// makes of a file before DCMTK reads it, alone and within the summary, in microseconds per file.
//
//   bench_summary [files] [charset]      (default 2000, no Specific Character Set)
//
// With a charset ("ISO_IR 192", "ISO_IR 144", ...) the files declare it and carry Cyrillic names.

#include "support/DicomFixtures.h"
#include "dicom/DicomFileSummary.h"
#include "dicom/DicomNesting.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

// The median over five passes, after one that warms the cache, of microseconds per file.
double medianMicroseconds(const QStringList& paths, const std::function<bool(const QString&)>& read)
{
    for (const QString& p : paths) {
        if (!read(p)) {
            std::fprintf(stderr, "%s could not be read\n", qPrintable(p));
            return -1.0;
        }
    }
    std::vector<double> times;
    QElapsedTimer timer;
    for (int pass = 0; pass < 5; ++pass) {
        timer.restart();
        for (const QString& p : paths)
            read(p);
        times.push_back(timer.nsecsElapsed() / 1e3 / paths.size());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void benchFileSizes(const QString& folder)
{
    struct Size
    {
        const char* name;
        int frames;
        int files;
    };
    for (const Size& size : {Size{"512 KB slice", 1, 200}, Size{"1.5 MB enhanced CT", 3, 100},
                             Size{"50 MB enhanced CT", 100, 10}}) {
        fixtures::SeriesLayout layout;
        layout.rows = layout.columns = 512;
        layout.slices = size.frames;
        layout.value = [](int x, int y, int z) { return ((x + y + z) & 1023) - 24; };
        QStringList paths;
        for (int k = 0; k < size.files; ++k)
            paths << fixtures::writeEnhancedMultiFrame(QStringLiteral("%1/%2-%3.dcm").arg(folder).arg(size.frames).arg(k),
                                                       layout);
        const double walk = medianMicroseconds(
            paths, [](const QString& p) { return dicom::walkFigures(p).hazard == dicom::ParseHazard::None; });
        const double summary =
            medianMicroseconds(paths, [](const QString& p) { return dicom::readFileSummary(p).has_value(); });
        std::printf("%-20s walk %7.1f us/file, readFileSummary %7.1f us/file\n", size.name, walk, summary);
        for (const QString& p : paths)
            QFile::remove(p);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int files = argc > 1 ? std::max(1, atoi(argv[1])) : 2000;

    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }

    fixtures::SeriesLayout layout;
    if (argc > 2) {
        layout.specificCharacterSet = QString::fromLatin1(argv[2]);
        layout.patientName = QStringLiteral("Иванов^Иван Петрович");
        layout.studyDescription = QStringLiteral("КТ органов грудной клетки");
    }
    layout.rows = layout.columns = 512;
    layout.slices = files;
    layout.rowSpacing = layout.columnSpacing = 0.7;
    layout.sliceSpacing = layout.sliceThickness = 1.0;
    layout.value = [](int x, int y, int z) { return ((x + y + z) & 1023) - 24; };

    QElapsedTimer timer;
    timer.start();
    const QStringList paths = fixtures::writeSeries(dir.path(), layout);
    std::printf("wrote %d files of 512x512 CT in %.1f s\n", int(paths.size()), timer.elapsed() / 1000.0);

    // The first pass warms the cache and checks every file gives a summary.
    int failed = 0;
    for (const QString& p : paths)
        failed += dicom::readFileSummary(p) ? 0 : 1;
    if (failed) {
        std::fprintf(stderr, "%d files gave no summary\n", failed);
        return 1;
    }

    std::vector<double> rates;
    for (int pass = 0; pass < 5; ++pass) {
        timer.restart();
        qint64 checksum = 0;
        for (const QString& p : paths)
            checksum += dicom::readFileSummary(p)->instanceNumber;
        const double seconds = timer.nsecsElapsed() / 1e9;
        rates.push_back(paths.size() / seconds);
        if (checksum == 0)
            std::printf("(checksum %lld)\n", static_cast<long long>(checksum));
    }
    std::sort(rates.begin(), rates.end());
    std::printf("readFileSummary, warm cache, one thread: median %.0f files/s (best %.0f, worst %.0f)\n",
                rates[rates.size() / 2], rates.back(), rates.front());
    for (const QString& p : paths)
        QFile::remove(p);
    benchFileSizes(dir.path());
    return 0;
}
