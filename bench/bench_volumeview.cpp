// Timings of the two 3D views as the user meets them: a preview image while dragging and the full
// image when the camera settles (CPU view), and one frame of the GPU view at window size.
//
//   bench_volumeview [--size N] [--slices N]      (GPU frames need a display with OpenGL 3.3)
#include "BenchSupport.h"

#include "analysis3d/D3DVolumeRenderWidget.h"
#include "analysis3d/VolumeRenderWidget.h"

#include <QApplication>
#include <QThread>
#include <QWindow>
#include <QWheelEvent>

#include <cmath>
#include <cstdio>

namespace {

int argValue(const QStringList& args, const QString& name, int fallback)
{
    const int at = int(args.indexOf(name));
    return at >= 0 && at + 1 < args.size() ? args[at + 1].toInt() : fallback;
}

// A body of soft tissue with a contrast-filled vessel and a bony spine, in HU.
render::Volume phantom(int n, int slices)
{
    render::Volume v;
    v.nx = v.ny = n;
    v.nz = slices;
    v.spacingX = v.spacingY = 350.0 / n;
    v.spacingZ = 1.0;
    v.voxels.resize(size_t(n) * n * slices);
    v.minValue = -1000;
    v.maxValue = 1200;
    for (int z = 0; z < slices; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const double px = (x - n / 2.0) / n, py = (y - n / 2.0) / n;
                float hu = -1000.f;
                if (px * px / 0.18 + py * py / 0.12 < 1.0)
                    hu = 40.f;
                if (std::hypot(px + 0.05, py + 0.08) < 0.04)
                    hu = 350.f;
                if (std::hypot(px, py - 0.2) < 0.06)
                    hu = 1200.f;
                v.voxels[v.index(x, y, z)] = hu;
            }
    return v;
}

void wheel(QWidget* w)
{
    const QPointF pos(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent event(pos, pos, QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &event);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int n = argValue(args, QStringLiteral("--size"), 256);
    const int slices = argValue(args, QStringLiteral("--slices"), 200);
    const render::Volume volume = phantom(n, slices);
    const render::TransferFunctionPreset& bones = render::transferFunctionPresets().first();
    std::printf("volume %dx%dx%d\n", n, n, slices);

    VolumeRenderWidget cpu;
    cpu.resize(600, 600);
    cpu.show();
    cpu.setVolume(&volume, 40, 400);
    cpu.setViewPreset(render::ViewFront);
    double angle = 0;
    const auto turn = [&] { cpu.setCameraState({QQuaternion::fromAxisAndAngle(0, 1, 0, float(angle += 7)), 0.6, 0, 0}); };
    std::printf("CPU MIP     preview %7.1f ms   full %7.1f ms\n", bench::medianMs(5, [&] { wheel(&cpu); }),
                bench::medianMs(5, turn));
    cpu.setVrtPreset(bones);
    std::printf("CPU VRT     preview %7.1f ms   full %7.1f ms\n", bench::medianMs(5, [&] { wheel(&cpu); }),
                bench::medianMs(5, turn));

    D3DVolumeRenderWidget gpu;
    gpu.resize(800, 700);
    gpu.setVolume(&volume, 40, 400);
    gpu.show();
    for (int i = 0; i < 500 && !(gpu.windowHandle() && gpu.windowHandle()->isExposed()); ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    if (!gpu.isInitialized()) {
        std::printf("GPU frames: no OpenGL 3.3 context here\n");
        return 0;
    }
    const auto frame = [&] {
        gpu.repaint();
        if (gpu.lastFrame().isNull())
            std::printf("no frame painted\n");
    };
    std::printf("GPU MIP     frame %7.1f ms\n", bench::medianMs(3, frame));
    gpu.setVrtPreset(bones);
    std::printf("GPU VRT     frame %7.1f ms\n", bench::medianMs(3, frame));
    return 0;
}
