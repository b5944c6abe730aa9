// Decode and window of one 512 x 512 16-bit frame, uncompressed and JPEG-LS, on a cache miss (another
// file each time) and on a cache hit (same file, only the window changes), in ms per frame.
#include "dicom/CodecRegistration.h"
#include "support/DicomFixtures.h"
#include "dicom/FrameDecoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

namespace {

double msPerFrame(int iterations, const std::function<bool(int)>& step)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < iterations; ++i)
        if (!step(i)) {
            std::printf("decode failed\n");
            return -1.0;
        }
    return timer.nsecsElapsed() / 1e6 / iterations;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    dicom::CodecRegistrationScope codecs;
    QTemporaryDir dir;

    for (const auto compression : {fixtures::Compression::None, fixtures::Compression::JpegLsLossless}) {
        const bool jls = compression == fixtures::Compression::JpegLsLossless;
        fixtures::SeriesLayout layout;
        layout.rows = 512;
        layout.columns = 512;
        layout.slices = 2;
        layout.compression = compression;
        // A CT-like picture: smooth body, noise, air around it.
        layout.value = [](int x, int y, int z) {
            const int dx = x - 256, dy = y - 256;
            const int noise = int((x * 1103515245u + y * 12345u + z * 2654435761u) >> 27) - 16;
            return dx * dx + dy * dy < 200 * 200 ? 1064 + (dx * dy) / 300 + noise : 24 + noise;
        };
        const QStringList files = fixtures::writeSeries(dir.filePath(jls ? QStringLiteral("jls") : QStringLiteral("raw")), layout);

        const int missIterations = 200;
        const double miss = msPerFrame(missIterations, [&](int i) {
            return bool(dicom::decodeFrame(files[i % 2], 0, render::WindowLevel{40.0, 400.0}));
        });
        const int hitIterations = 1000;
        dicom::decodeFrame(files[0], 0, std::nullopt);
        const double hit = msPerFrame(hitIterations, [&](int i) {
            return bool(dicom::decodeFrame(files[0], 0, render::WindowLevel{40.0 + i % 50, 400.0 + i % 70}));
        });
        std::printf("%-13s cache miss %6.2f ms/frame   cache hit (window change) %6.2f ms/frame\n",
                    jls ? "JPEG-LS" : "uncompressed", miss, hit);
    }
    return 0;
}
