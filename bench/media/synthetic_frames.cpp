#include "synthetic_frames.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>

namespace mediabench {

QVector<QByteArray> makeCameraFrames(QSize size, int count, int quality)
{
    QVector<QByteArray> frames;
    QRandomGenerator random(1234);
    for (int i = 0; i < count; ++i) {
        QImage image(size, QImage::Format_RGB888);
        QPainter painter(&image);
        QLinearGradient light(0, 0, size.width(), size.height());
        light.setColorAt(0, QColor(200, 190, 170));
        light.setColorAt(1, QColor(40, 60, 90));
        painter.fillRect(image.rect(), light);
        painter.setRenderHint(QPainter::Antialiasing);
        const int unit = size.height() / 6;
        painter.setBrush(QColor(180, 40, 30));
        painter.drawEllipse(QPoint(unit + i * size.width() / (2 * count), 2 * unit), unit, unit);
        painter.setBrush(QColor(30, 140, 60));
        painter.drawRect(size.width() - 3 * unit - i * 4, 3 * unit, 2 * unit, unit + i * 2);
        painter.setPen(QPen(Qt::black, 3));
        for (int line = 0; line < 12; ++line)
            painter.drawLine(0, line * unit / 2 + i, size.width(), line * unit / 2 + 40 - i);
        painter.end();

        for (int y = 0; y < image.height(); ++y) {
            uchar *row = image.scanLine(y);
            for (int x = 0; x < image.width() * 3; ++x) {
                const int noisy = row[x] + static_cast<int>(random.bounded(9u)) - 4;
                row[x] = static_cast<uchar>(qBound(0, noisy, 255));
            }
        }

        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPG", quality);
        frames << bytes;
    }
    return frames;
}

QVector<QByteArray> makeNoiseFrames(QSize size, int count, int quality)
{
    QVector<QByteArray> frames;
    QRandomGenerator random(4321);
    for (int i = 0; i < count; ++i) {
        QImage image(size, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y) {
            auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
            random.fillRange(row, image.width());
        }
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "JPG", quality);
        frames << bytes;
    }
    return frames;
}

namespace {

long statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray key(field);
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

}  // namespace

long residentKiB()
{
    return statusKiB("VmRSS:");
}

long peakResidentKiB()
{
    return statusKiB("VmHWM:");
}

}  // namespace mediabench
