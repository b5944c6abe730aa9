// End-to-end time of writing a 512x512 cine loop as MP4: 300 frames at 25 fps.
#include "render/Mp4VideoWriter.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// A CT-like moving picture: a bright disc drifting over a textured background, so the encoder has
// real motion and detail to code rather than a flat colour.
QImage makeFrame(int size, int n)
{
    QImage image(size, size, QImage::Format_RGB32);
    const double cx = size / 2.0 + 80.0 * std::cos(n * 0.05);
    const double cy = size / 2.0 + 80.0 * std::sin(n * 0.07);
    for (int y = 0; y < size; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < size; ++x) {
            const double dx = x - cx, dy = y - cy;
            int v = 60 + int(40.0 * std::sin(x * 0.11 + n * 0.02) * std::cos(y * 0.07));
            v += ((x * 7 + y * 13 + n * 3) % 17); // fine texture
            if (dx * dx + dy * dy < 60.0 * 60.0)
                v = 200 + (x + y) % 30;
            v = std::clamp(v, 0, 255);
            row[x] = qRgb(v, v, v);
        }
    }
    return image;
}

} // namespace

int main()
{
    av_log_set_level(AV_LOG_ERROR);
    const int size = 512, frames = 300, fps = 25;
    QList<QImage> images;
    for (int n = 0; n < 50; ++n)
        images.append(makeFrame(size, n));

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bench.mp4"));
    QElapsedTimer timer;
    timer.start();
    render::Mp4VideoWriter writer;
    QString error;
    if (!writer.open(path, size, size, fps, size * size * 4, &error)) {
        std::fprintf(stderr, "open: %s\n", qPrintable(error));
        return 1;
    }
    for (int n = 0; n < frames; ++n) {
        // Frames bounce back and forth through the prepared loop so motion stays continuous.
        const int k = (n / 50) % 2 == 0 ? n % 50 : 49 - n % 50;
        if (!writer.writeFrame(images[k], &error)) {
            std::fprintf(stderr, "writeFrame: %s\n", qPrintable(error));
            return 1;
        }
    }
    if (!writer.finalize(&error)) {
        std::fprintf(stderr, "finalize: %s\n", qPrintable(error));
        return 1;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("mp4 writer: %d frames of %dx%d at %d fps: %.2f s end to end (%.1f frames/s), file %lld bytes\n",
                frames, size, size, fps, seconds, frames / seconds, QFileInfo(path).size());
    return 0;
}
