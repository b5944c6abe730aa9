#include "render/Mp4VideoWriter.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <thread>

namespace {

struct DecodedVideo
{
    bool ok = false;
    QString problem;
    int videoStreams = 0;
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0;
    int height = 0;
    double durationSeconds = 0.0;
    QList<double> frameTimes;
    QList<QRgb> centreColours;
};

// Reads a file back through the same libraries a player would use, independent of the writer.
DecodedVideo decodeVideo(const QString& path)
{
    DecodedVideo out;
    AVFormatContext* input = nullptr;
    const QByteArray local = QFile::encodeName(path);
    if (avformat_open_input(&input, local.constData(), nullptr, nullptr) < 0) {
        out.problem = QStringLiteral("avformat_open_input failed");
        return out;
    }
    avformat_find_stream_info(input, nullptr);
    int videoIndex = -1;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (input->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            ++out.videoStreams;
            videoIndex = static_cast<int>(i);
        }
    }
    if (videoIndex < 0) {
        out.problem = QStringLiteral("no video stream");
        avformat_close_input(&input);
        return out;
    }
    AVStream* stream = input->streams[videoIndex];
    out.codec = stream->codecpar->codec_id;
    out.width = stream->codecpar->width;
    out.height = stream->codecpar->height;
    if (input->duration != AV_NOPTS_VALUE)
        out.durationSeconds = input->duration / double(AV_TIME_BASE);

    const AVCodec* decoder = avcodec_find_decoder(out.codec);
    AVCodecContext* dec = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(dec, stream->codecpar);
    avcodec_open2(dec, decoder, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    SwsContext* toRgb = nullptr;

    auto takeFrames = [&] {
        while (avcodec_receive_frame(dec, frame) >= 0) {
            const int64_t ts = frame->best_effort_timestamp;
            out.frameTimes.append(ts * av_q2d(stream->time_base));
            QImage rgb(frame->width, frame->height, QImage::Format_RGB32);
            toRgb = sws_getCachedContext(toRgb, frame->width, frame->height, AVPixelFormat(frame->format),
                                         frame->width, frame->height, AV_PIX_FMT_RGB32, SWS_BILINEAR,
                                         nullptr, nullptr, nullptr);
            uint8_t* dst[1] = {rgb.bits()};
            int dstStride[1] = {int(rgb.bytesPerLine())};
            sws_scale(toRgb, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
            out.centreColours.append(rgb.pixel(rgb.width() / 2, rgb.height() / 2));
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(input, packet) >= 0) {
        if (packet->stream_index == videoIndex) {
            avcodec_send_packet(dec, packet);
            takeFrames();
        }
        av_packet_unref(packet);
    }
    avcodec_send_packet(dec, nullptr);
    takeFrames();

    sws_freeContext(toRgb);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&dec);
    avformat_close_input(&input);
    out.ok = true;
    return out;
}

QImage solidFrame(int width, int height, QRgb colour, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(width, height, format);
    image.fill(colour);
    return image;
}

QRgb colourOf(int n)
{
    return qRgb((n * 37) % 256, 255 - (n * 9) % 256, (64 + n * 23) % 256);
}

bool closeColour(QRgb a, QRgb b, int tolerance)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
        && std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

const QString notOpenText = QStringLiteral("Видео не открыто (open() не вызывался или завершился ошибкой)");
const QString badFrameText = QStringLiteral("Кадр неверного формата/размера");

} // namespace

class TestMp4VideoWriter : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { av_log_set_level(AV_LOG_ERROR); }
    void playsBackAtFrameRate_data();
    void playsBackAtFrameRate();
    void oddSizeRefusedBeforeAnythingIsCreated();
    void refusedFrameKeepsItsIndex();
    void writeWithoutOpenIsRefused();
    void missingFolderGivesUnsignedCode();
    void twoWritersOnTwoThreads();
    void destructorWithoutFinalize();

private:
    QTemporaryDir m_dir;
};

void TestMp4VideoWriter::playsBackAtFrameRate_data()
{
    QTest::addColumn<int>("fps");
    QTest::addColumn<int>("frames");
    QTest::newRow("25 fps") << 25 << 25;
    QTest::newRow("30 fps") << 30 << 15;
}

void TestMp4VideoWriter::playsBackAtFrameRate()
{
    QFETCH(int, fps);
    QFETCH(int, frames);
    const QString path = m_dir.filePath(QStringLiteral("cine_%1.mp4").arg(fps));
    const int w = 64, h = 48;

    render::Mp4VideoWriter writer;
    QString error;
    // The export engine's own bit rate: width x height x 4.
    QVERIFY2(writer.open(path, w, h, fps, w * h * 4, &error), qPrintable(error));
    for (int n = 0; n < frames; ++n)
        QVERIFY2(writer.writeFrame(solidFrame(w, h, colourOf(n)), &error), qPrintable(error));
    QVERIFY2(writer.finalize(&error), qPrintable(error));

    const DecodedVideo video = decodeVideo(path);
    QVERIFY2(video.ok, qPrintable(video.problem));
    QCOMPARE(video.videoStreams, 1);
    QCOMPARE(video.codec, AV_CODEC_ID_H264);
    QCOMPARE(video.width, w);
    QCOMPARE(video.height, h);
    QCOMPARE(video.frameTimes.size(), frames);
    const double frameSeconds = 1.0 / fps;
    QVERIFY2(std::abs(video.durationSeconds - frames * frameSeconds) <= frameSeconds + 1e-6,
             qPrintable(QString::number(video.durationSeconds)));
    for (int n = 0; n < frames; ++n) {
        QVERIFY2(std::abs(video.frameTimes[n] - n * frameSeconds) < 1e-3,
                 qPrintable(QStringLiteral("frame %1 at %2").arg(n).arg(video.frameTimes[n])));
        const QRgb got = video.centreColours[n];
        QVERIFY2(closeColour(got, colourOf(n), 8),
                 qPrintable(QStringLiteral("frame %1: %2 instead of %3")
                                .arg(n)
                                .arg(got, 6, 16)
                                .arg(colourOf(n) & 0xffffff, 6, 16)));
    }
}

void TestMp4VideoWriter::oddSizeRefusedBeforeAnythingIsCreated()
{
    const QString path = m_dir.filePath(QStringLiteral("odd.mp4"));
    render::Mp4VideoWriter writer;
    QString error;
    QVERIFY(!writer.open(path, 641, 480, 25, 1000000, &error));
    QCOMPARE(error, QStringLiteral("Ширина и высота кадра должны быть чётными для H.264"));
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!writer.open(path, 640, 481, 25, 1000000, nullptr)); // no pointer: no crash
    QVERIFY(!QFileInfo::exists(path));
}

void TestMp4VideoWriter::refusedFrameKeepsItsIndex()
{
    const QString path = m_dir.filePath(QStringLiteral("refused.mp4"));
    const int w = 32, h = 16;
    render::Mp4VideoWriter writer;
    QString error;
    QVERIFY2(writer.open(path, w, h, 25, 200000, &error), qPrintable(error));
    QVERIFY(writer.writeFrame(solidFrame(w, h, colourOf(0)), &error));

    error.clear();
    QVERIFY(!writer.writeFrame(solidFrame(w, h, colourOf(1), QImage::Format_ARGB32), &error));
    QCOMPARE(error, badFrameText);
    error.clear();
    QVERIFY(!writer.writeFrame(solidFrame(w + 2, h, colourOf(1)), &error));
    QCOMPARE(error, badFrameText);
    QVERIFY(!writer.writeFrame(QImage(), nullptr));

    QVERIFY(writer.writeFrame(solidFrame(w, h, colourOf(2)), &error));
    QVERIFY(writer.finalize(&error));

    const DecodedVideo video = decodeVideo(path);
    QVERIFY(video.ok);
    QCOMPARE(video.frameTimes.size(), 2);
    QVERIFY(std::abs(video.frameTimes[1] - 0.04) < 1e-3); // the second good frame follows the first
    QVERIFY(closeColour(video.centreColours[1], colourOf(2), 8));
}

void TestMp4VideoWriter::writeWithoutOpenIsRefused()
{
    render::Mp4VideoWriter fresh;
    QString error = QStringLiteral("untouched");
    QVERIFY(fresh.finalize(&error)); // nothing to finish is no failure
    QCOMPARE(error, QStringLiteral("untouched"));
    QVERIFY(!fresh.writeFrame(solidFrame(64, 48, colourOf(0)), &error));
    QCOMPARE(error, notOpenText);

    // After finalize the writer is closed again.
    render::Mp4VideoWriter closed;
    QVERIFY(closed.open(m_dir.filePath(QStringLiteral("closed.mp4")), 64, 48, 25, 100000, &error));
    QVERIFY(closed.finalize(&error));
    error.clear();
    QVERIFY(!closed.writeFrame(solidFrame(64, 48, colourOf(0)), &error));
    QCOMPARE(error, notOpenText);
}

void TestMp4VideoWriter::missingFolderGivesUnsignedCode()
{
    const QString path = m_dir.filePath(QStringLiteral("no/such/folder/video.mp4"));
    render::Mp4VideoWriter writer;
    QString error;
    QVERIFY(!writer.open(path, 64, 48, 25, 100000, &error));
    const QRegularExpression pattern(QStringLiteral("^Не удалось создать MP4-файл \\(0x([0-9a-f]{8})\\)$"));
    const QRegularExpressionMatch match = pattern.match(error);
    QVERIFY2(match.hasMatch(), qPrintable(error));
    bool ok = false;
    const quint32 code = match.captured(1).toUInt(&ok, 16);
    QVERIFY(ok);
    QVERIFY(code & 0x80000000u);
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!writer.writeFrame(solidFrame(64, 48, colourOf(0)), &error));
    QVERIFY(writer.finalize(&error));
}

void TestMp4VideoWriter::twoWritersOnTwoThreads()
{
    const int w = 96, h = 64, frames = 20;
    QString paths[2] = {m_dir.filePath(QStringLiteral("thread_a.mp4")), m_dir.filePath(QStringLiteral("thread_b.mp4"))};
    bool results[2] = {false, false};
    QString errors[2];
    auto job = [&](int k) {
        render::Mp4VideoWriter writer;
        if (!writer.open(paths[k], w, h, 25, w * h * 4, &errors[k]))
            return;
        for (int n = 0; n < frames; ++n) {
            if (!writer.writeFrame(solidFrame(w, h, colourOf(n + 40 * k)), &errors[k]))
                return;
        }
        results[k] = writer.finalize(&errors[k]);
    };
    std::thread a(job, 0);
    std::thread b(job, 1);
    a.join();
    b.join();
    for (int k = 0; k < 2; ++k) {
        QVERIFY2(results[k], qPrintable(errors[k]));
        const DecodedVideo video = decodeVideo(paths[k]);
        QVERIFY(video.ok);
        QCOMPARE(video.frameTimes.size(), frames);
        QVERIFY(closeColour(video.centreColours[frames - 1], colourOf(frames - 1 + 40 * k), 8));
    }
}

void TestMp4VideoWriter::destructorWithoutFinalize()
{
    const QString path = m_dir.filePath(QStringLiteral("unfinished.mp4"));
    {
        render::Mp4VideoWriter writer;
        QString error;
        QVERIFY(writer.open(path, 64, 48, 25, 100000, &error));
        for (int n = 0; n < 5; ++n)
            QVERIFY(writer.writeFrame(solidFrame(64, 48, colourOf(n)), &error));
    }
    // The file is left as it was when the writer went away: present, but without its index.
    QVERIFY(QFileInfo::exists(path));
    {
        // Reopening after a destroyed writer works; nothing global is left locked.
        render::Mp4VideoWriter again;
        QString error;
        QVERIFY(again.open(path, 64, 48, 25, 100000, &error));
        QVERIFY(again.writeFrame(solidFrame(64, 48, colourOf(0)), &error));
        QVERIFY(again.finalize(&error));
    }
    QCOMPARE(decodeVideo(path).frameTimes.size(), 1);
}

QTEST_GUILESS_MAIN(TestMp4VideoWriter)
#include "tst_mp4videowriter.moc"
