#include "qt_picture.h"

#include "stream_generator.h"

#include <algorithm>

namespace vcam {

QImage toQImage(const Picture &picture)
{
    QImage image(picture.width(), picture.height(), QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        std::copy(picture.line(y), picture.line(y) + picture.width(), reinterpret_cast<QRgb *>(image.scanLine(y)));
    return image;
}

Picture fromQImage(const QImage &image)
{
    if (image.isNull())
        return {};
    const QImage rgb32 = image.convertToFormat(QImage::Format_RGB32);
    Picture picture(rgb32.width(), rgb32.height());
    for (int y = 0; y < rgb32.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb32.constScanLine(y));
        std::copy(line, line + rgb32.width(), picture.line(y));
    }
    return picture;
}

std::optional<uint32_t> decodeFrameNumber(const QImage &image)
{
    return StreamGenerator::decodeFrameNumber(fromQImage(image));
}

}  // namespace vcam
