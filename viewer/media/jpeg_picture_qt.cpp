// Live-view pictures decoded by Qt's image readers (for builds without libjpeg-turbo).

#include "jpeg_picture.h"

#include <QDebug>
#include <QImageReader>

#include <QBuffer>
#include <QByteArray>

struct JpegPictureDecoder::Impl {};

JpegPictureDecoder::JpegPictureDecoder() : d(std::make_unique<Impl>()) {}

JpegPictureDecoder::~JpegPictureDecoder() = default;

// Qt's readers decode at full size; the view then scales the picture.
QSize JpegPictureDecoder::displaySize(QSize frameSize, QSize)
{
    return frameSize;
}

QSize JpegPictureDecoder::frameSize(const char *data, int len)
{
    if (!data || len <= 0)
        return QSize();
    QBuffer buffer;
    buffer.setData(QByteArray::fromRawData(data, len));
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer, "JPEG").size();
}

QImage JpegPictureDecoder::decode(const char *data, int len, QSize)
{
    if (!data || len <= 0)
        return QImage();
    const QByteArray bytes = QByteArray::fromRawData(data, len);
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (size.isValid() && static_cast<long long>(size.width()) * size.height() > kMaxPixels) {
        qDebug() << "JPEG frame refused, picture too large: " << size.width() << "x" << size.height();
        return QImage();
    }
    return reader.read();
}
