#include "render/Mp4VideoWriter.h"

#include "platform/FreeNameWrite.h"

#include <QFile>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <cerrno>
#include <climits>

namespace render {

namespace {

// Result codes are negative; messages show them as unsigned 32-bit numbers.
QString hexCode(int code)
{
    return QStringLiteral("%1").arg(static_cast<quint32>(code), 8, 16, QLatin1Char('0'));
}

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

// What the disk refused is said in words after the code: the user can act on it.
QString diskCause(int code)
{
    switch (AVUNERROR(code)) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EIO:
    case EROFS:
    case EACCES:
    case EPERM:
        return QStringLiteral(": ") + platform::writeFailureCause(AVUNERROR(code));
    default:
        return {};
    }
}

bool failCode(QString* error, const char* text, int code)
{
    return fail(error, QString::fromUtf8(text).arg(hexCode(code)) + diskCause(code));
}

} // namespace

struct Mp4VideoWriter::Private
{
    AVFormatContext* output = nullptr; // open file and muxer; null when not open
    AVCodecContext* encoder = nullptr;
    SwsContext* converter = nullptr;
    AVPacket* packet = nullptr;
    int streamIndex = 0;
    quint32 width = 0;
    quint32 height = 0;
    int fps = 0;
    qint64 frameIndex = 0;
    QString path;

    ~Private() { release(); }

    void release()
    {
        if (output) {
            if (output->pb)
                avio_closep(&output->pb);
            avformat_free_context(output);
            output = nullptr;
        }
        avcodec_free_context(&encoder);
        sws_freeContext(converter);
        converter = nullptr;
        av_packet_free(&packet);
    }

    // Moves every packet the encoder has ready into the file. EAGAIN/EOF mean "nothing more now".
    int drainPackets()
    {
        for (;;) {
            int rc = avcodec_receive_packet(encoder, packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return 0;
            if (rc < 0)
                return rc;
            if (packet->duration == 0)
                packet->duration = 1;
            av_packet_rescale_ts(packet, encoder->time_base, output->streams[streamIndex]->time_base);
            packet->stream_index = streamIndex;
            rc = av_interleaved_write_frame(output, packet); // takes the packet's data
            if (rc < 0)
                return rc;
        }
    }
};

Mp4VideoWriter::Mp4VideoWriter()
    : d(std::make_unique<Private>())
{
}

// Releases without finalizing: a video that was never finalized stays incomplete.
Mp4VideoWriter::~Mp4VideoWriter() = default;

bool Mp4VideoWriter::open(const QString& path, quint32 width, quint32 height, int fps, quint32 bitRate,
                          QString* error)
{
    if (width % 2 != 0 || height % 2 != 0)
        return fail(error, QStringLiteral("Ширина и высота кадра должны быть чётными для H.264"));

    d->release();
    d->frameIndex = 0;

    bool fileCreated = false;
    // Undoes a half-done open so that the writer is plainly "not open" afterwards and no broken
    // file is left behind.
    auto abandon = [&](const char* text, int code) {
        d->release();
        if (fileCreated)
            QFile::remove(path);
        return failCode(error, text, code);
    };

    const QByteArray localPath = QFile::encodeName(path);
    int rc = avformat_alloc_output_context2(&d->output, nullptr, "mp4", localPath.constData());
    if (rc < 0 || !d->output)
        return abandon("Не удалось создать MP4-файл (0x%1)", rc < 0 ? rc : AVERROR(ENOMEM));
    rc = avio_open(&d->output->pb, localPath.constData(), AVIO_FLAG_WRITE);
    if (rc < 0)
        return abandon("Не удалось создать MP4-файл (0x%1)", rc);
    fileCreated = true;

    const char* streamText = "Не удалось настроить видеопоток H.264 (0x%1)";
    if (fps < 1 || width == 0 || height == 0 || width > INT_MAX || height > INT_MAX)
        return abandon(streamText, AVERROR(EINVAL));
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        return abandon(streamText, AVERROR_ENCODER_NOT_FOUND);
    AVStream* stream = avformat_new_stream(d->output, nullptr);
    if (!stream)
        return abandon(streamText, AVERROR(ENOMEM));
    d->streamIndex = stream->index;
    d->encoder = avcodec_alloc_context3(codec);
    d->packet = av_packet_alloc();
    if (!d->encoder || !d->packet)
        return abandon(streamText, AVERROR(ENOMEM));

    AVCodecContext* enc = d->encoder;
    enc->width = static_cast<int>(width);
    enc->height = static_cast<int>(height);
    enc->pix_fmt = AV_PIX_FMT_YUV420P;
    enc->time_base = AVRational{1, fps};
    enc->framerate = AVRational{fps, 1};
    enc->sample_aspect_ratio = AVRational{1, 1};
    enc->field_order = AV_FIELD_PROGRESSIVE;
    enc->bit_rate = bitRate;
    enc->color_range = AVCOL_RANGE_MPEG;
    enc->colorspace = AVCOL_SPC_SMPTE170M; // what swscale's default RGB->YUV matrix produces
    enc->thread_count = 0;
    if (d->output->oformat->flags & AVFMT_GLOBALHEADER)
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // "veryfast" keeps a 512x512 cine of several hundred frames at a few seconds on two cores.
    av_opt_set(enc->priv_data, "preset", "veryfast", 0);
    rc = avcodec_open2(enc, codec, nullptr);
    if (rc < 0)
        return abandon(streamText, rc);
    rc = avcodec_parameters_from_context(stream->codecpar, enc);
    if (rc < 0)
        return abandon(streamText, rc);
    stream->time_base = enc->time_base;
    stream->avg_frame_rate = enc->framerate;
    stream->r_frame_rate = enc->framerate;
    stream->sample_aspect_ratio = enc->sample_aspect_ratio;

    d->converter = sws_getContext(enc->width, enc->height, AV_PIX_FMT_RGB32, enc->width, enc->height,
                                  AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!d->converter)
        return abandon("Кодек H.264 отклонил входной формат RGB32 (0x%1)", AVERROR(EINVAL));

    rc = avformat_write_header(d->output, nullptr);
    if (rc < 0)
        return abandon("Не удалось начать запись (0x%1)", rc);

    d->width = width;
    d->height = height;
    d->fps = fps;
    d->frameIndex = 0;
    d->path = path;
    return true;
}

bool Mp4VideoWriter::writeFrame(const QImage& image, QString* error)
{
    if (!d->output)
        return fail(error, QStringLiteral("Видео не открыто (open() не вызывался или завершился ошибкой)"));
    if (image.format() != QImage::Format_RGB32 || image.width() != static_cast<int>(d->width)
        || image.height() != static_cast<int>(d->height))
        return fail(error, QStringLiteral("Кадр неверного формата/размера"));

    // A fresh frame each time: the encoder may still hold a reference to the previous one.
    AVFrame* frame = av_frame_alloc();
    if (!frame)
        return failCode(error, "av_frame_alloc завершился с ошибкой (0x%1)", AVERROR(ENOMEM));
    struct FrameGuard
    {
        AVFrame*& f;
        ~FrameGuard() { av_frame_free(&f); }
    } guard{frame};

    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = static_cast<int>(d->width);
    frame->height = static_cast<int>(d->height);
    int rc = av_frame_get_buffer(frame, 0);
    if (rc < 0)
        return failCode(error, "av_frame_get_buffer завершился с ошибкой (0x%1)", rc);
    rc = av_frame_make_writable(frame);
    if (rc < 0)
        return failCode(error, "Не удалось заблокировать буфер кадра (0x%1)", rc);

    const QString frameText = QStringLiteral("Не удалось записать кадр №%1 (0x%2)").arg(d->frameIndex);
    const uint8_t* const source[1] = {image.constBits()};
    const int sourceStride[1] = {static_cast<int>(image.bytesPerLine())};
    rc = sws_scale(d->converter, source, sourceStride, 0, frame->height, frame->data, frame->linesize);
    if (rc < 0)
        return fail(error, frameText.arg(hexCode(rc)));
    if (rc != frame->height)
        return fail(error, frameText.arg(hexCode(AVERROR(EINVAL))));

    frame->pts = d->frameIndex;
    frame->sample_aspect_ratio = AVRational{1, 1};
    rc = avcodec_send_frame(d->encoder, frame);
    if (rc >= 0)
        rc = d->drainPackets();
    if (rc < 0)
        return fail(error, frameText.arg(hexCode(rc)) + diskCause(rc));

    ++d->frameIndex;
    return true;
}

bool Mp4VideoWriter::finalize(QString* error)
{
    if (!d->output)
        return true;

    const char* text = "av_write_trailer завершился с ошибкой (0x%1)";
    int rc = avcodec_send_frame(d->encoder, nullptr); // enter draining mode
    if (rc >= 0)
        rc = d->drainPackets();
    if (rc >= 0)
        rc = av_write_trailer(d->output);
    if (rc >= 0 && d->output->pb)
        rc = avio_closep(&d->output->pb); // the last bytes reach the disk only here
    d->release();
    if (rc < 0)
        return failCode(error, text, rc);
    return true;
}

} // namespace render
