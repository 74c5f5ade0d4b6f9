// H.264 video files written with OpenCV's cv::VideoWriter (FOURCC H264), for builds without FFmpeg's
// development libraries. The encoder's preset cannot be chosen through it.

#include "mp4_writer.h"

#include <QImage>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstring>

struct Mp4Writer::Impl {
    cv::VideoWriter writer;
    cv::Size size;
    QString error;
};

Mp4Writer::Mp4Writer() : d(std::make_unique<Impl>()) {}

Mp4Writer::~Mp4Writer() = default;  // the writer finishes its file when it goes

bool Mp4Writer::open(const QString &path, QSize size, int fps)
{
    d->error.clear();
    d->size = cv::Size(size.width(), size.height());
    // A size the encoder cannot take is refused here rather than handed to OpenCV.
    if (size.width() <= 0 || size.height() <= 0 || fps <= 0) {
        d->error = QStringLiteral("invalid frame size or rate");
        return false;
    }
    try {
        d->writer.open(path.toLocal8Bit().constData(), cv::CAP_FFMPEG, cv::VideoWriter::fourcc('H', '2', '6', '4'),
                       static_cast<double>(fps), d->size, true);
    } catch (const cv::Exception &e) {
        d->error = QString::fromUtf8(e.what());
    }
    return d->writer.isOpened();
}

bool Mp4Writer::isOpened() const
{
    return d->writer.isOpened();
}

QString Mp4Writer::errorText() const
{
    return d->error;
}

Mp4Writer::Result Mp4Writer::write(const char *data, int len)
{
    if (!d->writer.isOpened())
        return Result::Failed;
    QImage image;
    if (!data || len <= 0 || !image.loadFromData(reinterpret_cast<const uchar *>(data), len))
        return Result::NotDecoded;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull())
        return Result::NotDecoded;
    cv::Mat frame(rgb.height(), rgb.width(), CV_8UC3);
    const size_t rowBytes = static_cast<size_t>(rgb.width()) * 3;
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(frame.ptr(y), rgb.constScanLine(y), rowBytes);
    try {
        cv::cvtColor(frame, frame, cv::COLOR_RGB2BGR);
        // The writer only accepts frames of the size it was opened with; anything else would be lost.
        if (frame.size() != d->size) {
            const bool shrinking = frame.cols > d->size.width || frame.rows > d->size.height;
            cv::resize(frame, frame, d->size, 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
        }
        d->writer.write(frame);
    } catch (const cv::Exception &e) {
        d->error = QString::fromUtf8(e.what());
        return Result::Failed;
    }
    return Result::Written;
}

void Mp4Writer::release()
{
    d->writer.release();
}

QString Mp4Writer::encoderDescription()
{
    return QStringLiteral("OpenCV VideoWriter, FOURCC H264");
}
