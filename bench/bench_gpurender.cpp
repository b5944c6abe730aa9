// GPU 3D view on the OpenGL stand-in: MIP and shaded VRT of a 256^3 volume into a 512 x 512 frame
// (draw + read-back, the whole cost of one shown frame), and the upload of a 512 x 512 x 400 volume.
// Needs an OpenGL 3.3 core context: run under a display (xvfb-run for the software renderer).
#include "platform/GlOffscreenContext.h"
#include "render/GpuDevice.h"
#include "render/GpuMipRenderer.h"
#include "render/GpuTransferFunctionTexture.h"
#include "render/GpuVolumeTexture.h"
#include "render/GpuVrtRenderer.h"
#include "render/TransferFunction.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QOpenGLContext>

#include <algorithm>
#include <functional>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

// A body of soft tissue with a bone sphere and a contrast vessel, so VRT rays stop at different depths.
render::Volume phantom(int nx, int ny, int nz)
{
    render::Volume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    v.voxels.resize(size_t(nx) * ny * nz);
    for (int z = 0; z < nz; ++z)
        for (int y = 0; y < ny; ++y)
            for (int x = 0; x < nx; ++x) {
                const double px = double(x) / nx - 0.5, py = double(y) / ny - 0.5, pz = double(z) / nz - 0.5;
                float value = -1000.f;
                if (std::hypot(px / 0.45, py / 0.38) < 1.0)
                    value = 40.f;
                if (std::hypot(px + 0.15, py, pz) < 0.15)
                    value = 1200.f;
                if (std::hypot(px - 0.2, py + 0.05) < 0.05)
                    value = 350.f;
                v.voxels[v.index(x, y, z)] = value;
            }
    return v;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The widget's step rule: enough samples for half the smallest voxel, 220 to 800.
int stepsFor(float halfDiagonal, float smallestVoxel)
{
    return std::clamp(int(std::ceil(2.4f * halfDiagonal / std::max(0.5f * smallestVoxel, 0.15f))), 220, 800);
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    render::GpuDevice device;
    QString error;
    if (!device.initialize(512, 512, &error)) {
        std::printf("skipped: %s\n", error.toUtf8().constData());
        return 0;
    }
    std::printf("OpenGL %d.%d, frame 512 x 512\n", device.context()->format().majorVersion(),
                device.context()->format().minorVersion());

    {
        const render::Volume big = phantom(512, 512, 400);
        std::vector<double> times;
        for (int i = 0; i < 3; ++i) {
            render::GpuVolumeTexture texture;
            QElapsedTimer t;
            t.start();
            if (!texture.upload(&device, big, &error)) {
                std::printf("upload 512x512x400: %s\n", error.toUtf8().constData());
                break;
            }
            device.clearAndPresent(0, 0, 0, 1); // waits until the driver has really taken the data
            times.push_back(t.nsecsElapsed() / 1e6);
        }
        if (!times.empty())
            std::printf("upload 512 x 512 x 400 (400 MB floats): %.1f ms (median of %zu)\n", median(times),
                        times.size());
    }

    const render::Volume v = phantom(256, 256, 256);
    render::GpuVolumeTexture texture;
    render::GpuTransferFunctionTexture table;
    render::GpuMipRenderer mip;
    render::GpuVrtRenderer vrt;
    if (!texture.upload(&device, v, &error) || !table.upload(&device, render::transferFunctionPresets().first(),
                                                             -1000.0, 2000.0, &error)
        || !mip.initialize(&device, &error) || !vrt.initialize(&device, &error)) {
        std::printf("set-up failed: %s\n", error.toUtf8().constData());
        return 1;
    }
    const QVector3D extent(256, 256, 256);
    const float halfDiagonal = extent.length() / 2.f;
    const int steps = stepsFor(halfDiagonal, 1.f);
    const QVector3D dir = QVector3D(0.4f, 0.25f, 0.88f).normalized();
    const QVector3D right = QVector3D::crossProduct(dir, QVector3D(0, -1, 0)).normalized();
    const QVector3D up = QVector3D::crossProduct(right, dir).normalized();

    auto timeFrames = [&](const char* label, const std::function<void()>& draw) {
        device.beginFrame(0, 0, 0, 1);
        draw();
        device.present(); // warm-up: shader variants, texture residency
        std::vector<double> times;
        for (int i = 0; i < 3; ++i) {
            QElapsedTimer t;
            t.start();
            device.beginFrame(0, 0, 0, 1);
            draw();
            device.present();
            times.push_back(t.nsecsElapsed() / 1e6);
        }
        const double ms = median(times);
        std::printf("%s 256^3 at 512^2, %d steps: %.1f ms/frame (%.1f frames/s)\n", label, steps, ms, 1000.0 / ms);
    };
    timeFrames("MIP", [&] {
        mip.draw(&device, texture.texture(), dir, right, up, extent, halfDiagonal, 0.6f, 0, 0, 400, 1500, steps, 0,
                 {}, 0);
    });
    timeFrames("VRT shaded", [&] {
        vrt.draw(&device, texture.texture(), table.texture(), dir, right, up, extent, QVector3D(1, 1, 1),
                 halfDiagonal, 0.6f, 0, 0, -1000, 2000, true, steps, {}, 0, {});
    });
    return 0;
}
