#pragma once

#include <QImage>
#include <QString>

#include <memory>

namespace render {

// Writes equally sized RGB32 images as an H.264 video in an MP4 file.
// Every failure is `false` plus a Russian message carrying the library's result code.
class Mp4VideoWriter
{
public:
    Mp4VideoWriter();
    ~Mp4VideoWriter();

    Mp4VideoWriter(const Mp4VideoWriter&) = delete;
    Mp4VideoWriter& operator=(const Mp4VideoWriter&) = delete;

    // width and height must be even; fps at least 1; bitRate in bits per second.
    bool open(const QString& path, quint32 width, quint32 height, int fps, quint32 bitRate,
              QString* error = nullptr);
    // The image must be QImage::Format_RGB32 of exactly the opened size.
    bool writeFrame(const QImage& image, QString* error = nullptr);
    // Flushes the encoder and completes the file. Without a preceding open it only returns true.
    bool finalize(QString* error = nullptr);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace render
