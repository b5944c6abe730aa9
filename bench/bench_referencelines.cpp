// Timings of reference lines in a 3 x 3 viewer of 512 x 512 CT series (axial, sagittal and coronal
// stacks of one body) with synchronised scrolling on: one step of the active panel moves the eight
// others, redraws all nine and recomputes the lines; and the recompute of the lines alone.
//
//   bench_referencelines [--slices N] [--steps N]     (defaults: 40 slices per series, 60 steps)
#include "BenchSupport.h"

#include "viewer/ImageViewportWidget.h"
#include "viewer/ViewerWindow.h"

#include "support/DicomFixtures.h"
#include "support/IndexFixtures.h"
#include "db/Database.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomFileSummary.h"

#include <QAction>
#include <QApplication>
#include <QGraphicsLineItem>
#include <QGraphicsScene>
#include <QTemporaryDir>
#include <QToolBar>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

using bench::Clock;
using bench::msSince;

// Stored values (HU + 1024) of a body in patient space, the same for every plane.
void addBody(fixtures::SeriesLayout& layout)
{
    const std::array<double, 6> o = fixtures::orientationOf(layout);
    const double nx = o[1] * o[5] - o[2] * o[4], ny = o[2] * o[3] - o[0] * o[5], nz = o[0] * o[4] - o[1] * o[3];
    const std::array<double, 3> origin = layout.origin;
    const double s = layout.columnSpacing, t = layout.sliceSpacing;
    layout.value = [=](int x, int y, int z) {
        const double px = origin[0] + x * s * o[0] + y * s * o[3] + z * t * nx;
        const double py = origin[1] + x * s * o[1] + y * s * o[4] + z * t * ny;
        const double pz = origin[2] + x * s * o[2] + y * s * o[5] + z * t * nz;
        const double bx = px / 150.0, by = py / 110.0;
        if (bx * bx + by * by > 1.0)
            return 0;
        if (px * px + (py - 70) * (py - 70) < 400)
            return 1024 + 700;
        return 1024 + 40 + int(std::abs(pz)) % 11;
    };
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int slices = std::max(bench::intArg(args, "--slices", 40), 2);
    const int steps = std::max(bench::intArg(args, "--steps", 60), 1);

    dicom::CodecRegistrationScope codecs;
    QTemporaryDir dir;
    db::Database index;
    if (!dir.isValid() || !index.open(dir.filePath(QStringLiteral("index.sqlite3")))) {
        std::fprintf(stderr, "no temporary index\n");
        return 1;
    }

    const QString study = fixtures::newUid();
    QStringList seriesUids;
    const auto writeStart = Clock::now();
    for (int i = 0; i < 9; ++i) {
        fixtures::SeriesLayout layout;
        layout.studyUid = study;
        layout.seriesNumber = QString::number(i + 1);
        layout.columns = layout.rows = 512;
        layout.slices = slices;
        layout.rowSpacing = layout.columnSpacing = 0.7;
        layout.sliceSpacing = layout.sliceThickness = 358.4 / slices;
        // Column by column: axial, sagittal, coronal; each stack spans the same 358 mm cube.
        switch (i % 3) {
        case 0:
            layout.plane = fixtures::Plane::Axial;
            layout.origin = {-179.2, -179.2, -179.2};
            break;
        case 1:
            layout.plane = fixtures::Plane::Sagittal;
            layout.origin = {179.2, -179.2, 179.2};
            break;
        default:
            layout.plane = fixtures::Plane::Coronal;
            layout.origin = {-179.2, -179.2, 179.2};
            break;
        }
        addBody(layout);
        if (!fixtures::writeAndIndexSeries(index, dir.filePath(QStringLiteral("s%1").arg(i)), layout)) {
            std::fprintf(stderr, "could not write series %d\n", i);
            return 1;
        }
        seriesUids << layout.seriesUid;
    }
    std::printf("wrote and indexed 9 series of %d slices of 512 x 512 in %.0f ms\n", slices, msSince(writeStart));

    ViewerWindow viewer(&index, study, seriesUids.first());
    viewer.setAttribute(Qt::WA_DeleteOnClose, false);
    viewer.resize(1600, 1000);
    viewer.show();
    viewer.onGridLayoutChosen(3, 3);
    for (int i = 0; i < 9; ++i) {
        viewer.setActiveViewport(i);
        viewer.showSeriesInActivePanel(seriesUids.at(i));
    }
    viewer.setActiveViewport(0);
    for (QAction* action : viewer.toolBar()->actions())
        if (action->objectName() == QLatin1String("syncSlices"))
            action->setChecked(true);
    QCoreApplication::processEvents();

    int lines = 0;
    for (int i = 1; i < 9; ++i)
        for (QGraphicsItem* item : viewer.panel(i)->graphicsScene()->items())
            if (item->type() == QGraphicsLineItem::Type && item->zValue() == 400)
                ++lines;
    std::printf("reference lines on the eight other panels: %d\n", lines);

    ImageViewportWidget* active = viewer.panel(0);
    const auto stepStart = Clock::now();
    for (int k = 0; k < steps; ++k) {
        active->showSlice((k + 1) % slices);
        QCoreApplication::processEvents();
    }
    const double perStep = msSince(stepStart) / steps;
    std::printf("synchronised step of 9 panels with reference lines (decode, draw, recompute): %.2f ms "
                "(%.1f steps/s)\n",
                perStep, 1000.0 / perStep);

    const int recomputes = 2000;
    const auto lineStart = Clock::now();
    for (int k = 0; k < recomputes; ++k)
        viewer.updateReferenceLines();
    std::printf("reference line recompute alone (9 panels, 72 pairs): %.3f ms\n", msSince(lineStart) / recomputes);
    return 0;
}
