#include "synthetic_frames.h"

#include "scene.h"
#include "stream_generator.h"

#include <QDateTime>
#include <QFile>
#include <QImage>

namespace mediabench {

QVector<QByteArray> makeSceneFrames(QSize size, int count, bool noise)
{
    QVector<QByteArray> frames;
    const vcam::StreamOptions camera;
    const QDateTime start = QDateTime::currentDateTime();
    for (int i = 0; i < count; ++i) {
        const QImage picture = vcam::renderScene(noise ? vcam::Scene::Noise : vcam::Scene::Camera,
                                                 static_cast<uint32_t>(i), size.width(), size.height(),
                                                 start.addMSecs(40LL * i));
        frames << vcam::StreamGenerator::encodeJpeg(picture, camera.jpegQuality);
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
