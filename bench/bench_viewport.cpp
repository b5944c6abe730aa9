// Timings of one viewing panel: scrolling a 512 x 512 CT series slice by slice (each change decodes a
// new file, windows it and repaints the view), building the reconstruction volume, and switching to a
// coronal 10 mm MIP of it. Then the viewer window: opening it on the series (its listing, thumbnail and
// first slice) and stepping through every slice of it, each read for its row.
//
//   bench_viewport [--slices N] [--scroll N] [--side N] [--repeats N]
//                  (defaults: 400 slices, 100 slice changes, 512 x 512, 5 openings)
//   The series is written once into the temporary folder and reused by later runs of its size.
#include "BenchSupport.h"

#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include "support/DicomFixtures.h"
#include "db/Database.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"

#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGraphicsView>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

using bench::Clock;
using bench::msSince;

// Stored values (HU + 1024) of a body-like phantom: air, soft tissue with texture, a contrast vessel
// and a spine.
int phantomValue(int x, int y, int z)
{
    const double dx = (x - 256) / 210.0, dy = (y - 256) / 160.0;
    if (dx * dx + dy * dy > 1.0)
        return 0;
    const double sx = x - 256, sy = y - 360;
    if (sx * sx + sy * sy < 900)
        return 1024 + 700;
    const double vx = x - 220, vy = y - 230 + (z % 64) * 0.2;
    if (vx * vx + vy * vy < 400)
        return 1024 + 300;
    return 1024 + 40 + ((x * 7 + y * 13 + z * 3) % 21) - 10;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    bench::keepProgramDataIn(dir);
    QApplication app(argc, argv);
    bench::useProgramNames();
    const QStringList args = app.arguments();
    const int slices = std::max(bench::intArg(args, "--slices", 400), 2);
    const int scrolls = std::max(bench::intArg(args, "--scroll", 100), 1);
    const int side = std::max(bench::intArg(args, "--side", 512), 16);
    const int repeats = std::max(bench::intArg(args, "--repeats", 5), 1);

    dicom::CodecRegistrationScope codecs;

    fixtures::SeriesLayout layout;
    layout.columns = side;
    layout.rows = side;
    layout.slices = slices;
    layout.rowSpacing = layout.columnSpacing = 0.7;
    layout.sliceSpacing = layout.sliceThickness = 1.0;
    layout.value = phantomValue;
    // The same UIDs in every run, so that a series written by an earlier run is the one meant.
    layout.studyUid = QStringLiteral("1.2.826.0.1.3680043.10.1161.%1.%2.1").arg(slices).arg(side);
    layout.seriesUid = QStringLiteral("1.2.826.0.1.3680043.10.1161.%1.%2.2").arg(slices).arg(side);
    fixtures::completeUids(layout);

    auto t = Clock::now();
    const QStringList files = bench::ensureSeries(
        QDir::temp().filePath(QStringLiteral("kalvenor-bench-viewport-%1-%2").arg(slices).arg(side)), layout);
    std::printf("%d slices of %d x %d ready: %.0f ms\n", slices, side, side, msSince(t));

    db::Database index;
    if (!index.open(dir.filePath(QStringLiteral("index.sqlite"))))
        return 1;
    t = Clock::now();
    for (const QString& file : files)
        if (const auto summary = dicom::readFileSummary(file))
            index.indexFile(*summary);
    const QList<db::InstanceRecord> rows = index.instancesForSeries(layout.seriesUid);
    std::printf("index: %.0f ms, %lld rows\n", msSince(t), static_cast<long long>(rows.size()));

    ImageViewportWidget panel;
    panel.resize(800, 800);
    panel.show();
    QApplication::processEvents();

    SeriesOverlayInfo info;
    info.seriesInstanceUid = layout.seriesUid;
    info.seriesDescription = layout.seriesDescription;
    panel.showSeries(rows, info);
    QApplication::processEvents();

    // Every change shows another file, so the decoder's one-image cache never hits.
    std::vector<double> times;
    const int changes = std::min(scrolls, slices - 1);
    for (int i = 1; i <= changes; ++i) {
        const auto s = Clock::now();
        panel.showSlice(i);
        panel.graphicsView()->viewport()->repaint();
        times.push_back(msSince(s));
    }
    std::sort(times.begin(), times.end());
    double total = 0.0;
    for (double v : times)
        total += v;
    const double mean = total / times.size();
    std::printf("slice change (decode, window, draw), %d changes: mean %.2f ms, median %.2f ms, p95 %.2f ms "
                "-> %.0f changes/s\n",
                changes, mean, times[times.size() / 2], times[size_t(times.size() * 0.95)], 1000.0 / mean);

    auto* planeCombo = panel.graphicsView()->findChildren<QComboBox*>().value(0);
    QComboBox* slabCombo = nullptr;
    for (QComboBox* combo : panel.graphicsView()->findChildren<QComboBox*>())
        if (combo->itemText(0) != QLatin1String("2D"))
            slabCombo = combo;
        else
            planeCombo = combo;
    auto* thickness = panel.graphicsView()->findChild<QDoubleSpinBox*>();

    t = Clock::now();
    planeCombo->setCurrentIndex(planeCombo->findData(3));
    panel.graphicsView()->viewport()->repaint();
    std::printf("build the volume and show the axial middle slice: %.0f ms (%s)\n", msSince(t),
                panel.hasReconstructionVolume() ? "built" : "FAILED");

    t = Clock::now();
    planeCombo->setCurrentIndex(planeCombo->findData(2));
    panel.graphicsView()->viewport()->repaint();
    std::printf("switch to coronal (thin): %.1f ms\n", msSince(t));

    t = Clock::now();
    slabCombo->setCurrentIndex(1); // MIP; the thickness box goes to 10 mm
    thickness->setValue(10.0);
    panel.graphicsView()->viewport()->repaint();
    std::printf("coronal MIP %.0f mm (slab half-width %d slices): %.1f ms\n", panel.slabThickness(),
                panel.slabHalfWidth(), msSince(t));

    times.clear();
    for (int i = 0; i < 20; ++i) {
        const auto s = Clock::now();
        panel.setSliceByFraction(i / 20.0);
        panel.graphicsView()->viewport()->repaint();
        times.push_back(msSince(s));
    }
    std::sort(times.begin(), times.end());
    std::printf("coronal 10 mm MIP slice change: median %.1f ms\n", times[times.size() / 2]);

    // The viewer window on the unchanged series: its opening, then every slice in turn.
    const double opening = bench::medianMs(repeats, [&] {
        ViewerWindow viewer(&index, layout.studyUid, layout.seriesUid, nullptr, false);
        viewer.setAttribute(Qt::WA_DeleteOnClose, false);
    });
    std::printf("open the series in a viewer window (listing, thumbnail, first slice), median of %d: "
                "%.1f ms\n",
                repeats, opening);
    ViewerWindow viewer(&index, layout.studyUid, layout.seriesUid, nullptr, false);
    viewer.setAttribute(Qt::WA_DeleteOnClose, false);
    ImageViewportWidget* shown = viewer.panel(0);
    times.clear();
    t = Clock::now();
    for (int i = 1; i < shown->sliceCount(); ++i) {
        const auto s = Clock::now();
        shown->showSlice(i);
        times.push_back(msSince(s));
    }
    const double whole = msSince(t);
    std::sort(times.begin(), times.end());
    std::printf("step through the %d slices in the viewer window: %.0f ms, median %.3f ms a slice\n",
                shown->sliceCount(), whole, times.empty() ? 0.0 : times[times.size() / 2]);
    return 0;
}
