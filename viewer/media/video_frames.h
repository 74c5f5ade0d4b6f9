#pragma once

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>

// Reads the pictures of a video file (the recordings' MP4/H.264) with FFmpeg, one after another, as
// 24-bit RGB images. Used from one thread at a time.
class VideoFrameReader {
public:
    VideoFrameReader();
    ~VideoFrameReader();

    VideoFrameReader(const VideoFrameReader &) = delete;
    VideoFrameReader &operator=(const VideoFrameReader &) = delete;

    // Opens the file and its first video stream. False when it is no video FFmpeg can decode (the reason
    // is then in errorText()).
    bool open(const QString &path);
    QString errorText() const;

    // The next picture in RGB888, scaled to size when that is valid, else at the video's own size. A null
    // image at the end of the video or when a picture cannot be decoded.
    QImage next(QSize size = QSize());

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The first picture of a video scaled to size (the capture thumbnail); null when there is none.
QImage videoThumbnail(const QString &path, QSize size);
