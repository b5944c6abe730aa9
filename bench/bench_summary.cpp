// Summary speed: readFileSummary over 2,000 single-frame 512x512 CT files from a warm cache, one core.
//
//   bench_summary [files] [charset]      (default 2000, no Specific Character Set)
//
// With a charset ("ISO_IR 192", "ISO_IR 144", ...) the files declare it and carry Cyrillic names.

#include "support/DicomFixtures.h"
#include "dicom/DicomFileSummary.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

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
    return 0;
}
