// JPEG-LS and anonymised copies of a CT series: source megabytes per second end to end, and the share
// of the JPEG-LS time the read-back check (load the copy, decode it, compare every sample) takes.
#include "support/DicomFixtures.h"
#include "dicom/CodecRegistration.h"
#include "dicom/DicomCopyWriters.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/oflog/oflog.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Stored values of a CT-like slice (intercept -1024): air around an elliptic body of soft tissue with
// noise, a spine-like bright disc, and slow changes from slice to slice.
int ctValue(int x, int y, int z)
{
    const double dx = (x - 256) / 200.0, dy = (y - 270) / 150.0;
    quint32 h = quint32(x) * 73856093u ^ quint32(y) * 19349663u ^ quint32(z) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    const int noise = int(h % 41) - 20;
    if (dx * dx + dy * dy > 1.0)
        return 24 + noise / 4; // air, -1000 HU
    const double sx = (x - 256) / 30.0, sy = (y - 360 - 5 * std::sin(z * 0.05)) / 30.0;
    if (sx * sx + sy * sy < 1.0)
        return 1024 + 700 + noise; // bone
    return 1024 + 40 + noise; // soft tissue
}

QByteArray pixelBytes(DcmDataset& ds)
{
    const Uint16* words = nullptr;
    unsigned long count = 0;
    if (ds.findAndGetUint16Array(DCM_PixelData, words, &count).bad() || !words)
        return {};
    return QByteArray(reinterpret_cast<const char*>(words), qsizetype(count * 2));
}

} // namespace

int main(int argc, char** argv)
{
    OFLog::configure(OFLogger::WARN_LOG_LEVEL); // the encoder reports every file at info level
    const int files = argc > 1 ? std::atoi(argv[1]) : 500;
    dicom::CodecRegistrationScope codecs;
    QTemporaryDir dir;
    fixtures::SeriesLayout layout;
    layout.rows = 512;
    layout.columns = 512;
    layout.slices = files;
    layout.value = ctValue;
    const QStringList sources = fixtures::writeSeries(dir.filePath(QStringLiteral("src")), layout);

    qint64 sourceBytes = 0;
    for (const QString& s : sources)
        sourceBytes += QFileInfo(s).size();

    QElapsedTimer timer;
    timer.start();
    QStringList outputs;
    int compressed = 0;
    for (const QString& s : sources) {
        const QString out = dir.filePath(QStringLiteral("out/") + QFileInfo(s).fileName());
        QString error;
        if (!dicom::writeCompressedCopy(s, out, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        outputs << out;
    }
    const double total = timer.nsecsElapsed() / 1e9;

    // The read-back check on its own, done the same way over the finished copies (the source's pixels
    // are read outside the timed part; the writer has them in memory already).
    qint64 outputBytes = 0;
    qint64 verifyNs = 0;
    for (int i = 0; i < outputs.size(); ++i) {
        outputBytes += QFileInfo(outputs[i]).size();
        DcmFileFormat source;
        source.loadFile(QFile::encodeName(sources[i]).constData());
        const QByteArray original = pixelBytes(*source.getDataset());

        timer.restart();
        DcmFileFormat copy;
        copy.loadFile(QFile::encodeName(outputs[i]).constData());
        copy.loadAllDataIntoMemory();
        const bool isJpegLs = copy.getDataset()->getOriginalXfer() == EXS_JPEGLSLossless;
        copy.getDataset()->chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
        const QByteArray decoded = pixelBytes(*copy.getDataset());
        const bool same = decoded.size() == original.size()
            && std::memcmp(decoded.constData(), original.constData(), size_t(decoded.size())) == 0;
        verifyNs += timer.nsecsElapsed();
        compressed += isJpegLs ? 1 : 0;
        if (!same) {
            std::fprintf(stderr, "copy %d differs\n", i);
            return 1;
        }
    }
    const double verify = verifyNs / 1e9;

    // Anonymised copies of the same series: every one is read back before it counts as written.
    timer.restart();
    for (const QString& s : sources) {
        QString error;
        if (!dicom::writeAnonymizedCopy(s, dir.filePath(QStringLiteral("anon/") + QFileInfo(s).fileName()),
                                        QStringLiteral("ANONYMOUS"), QStringLiteral("ANONYMOUS"), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    const double anonymised = timer.nsecsElapsed() / 1e9;

    const double mb = sourceBytes / 1e6;
    std::printf("JPEG-LS copies: %d files of 512x512, %.1f MB source -> %.1f MB (%d compressed)\n", files, mb,
                outputBytes / 1e6, compressed);
    std::printf("  end to end %.2f s = %.1f MB/s of source data\n", total, mb / total);
    std::printf("  read-back check alone %.2f s = %.0f%% of the copy time\n",
                verify, 100.0 * verify / total);
    std::printf("Anonymised copies: %.2f s = %.1f MB/s of source data\n", anonymised, mb / anonymised);
    return 0;
}
