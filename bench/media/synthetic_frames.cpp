#include "synthetic_frames.h"

#include "qt_picture.h"
#include "scene.h"
#include "stream_generator.h"

#include <QFile>

namespace mediabench {

QVector<QByteArray> makeSceneFrames(QSize size, int count, bool noise)
{
    QVector<QByteArray> frames;
    const vcam::StreamOptions camera;
    const std::chrono::milliseconds start = vcam::localTimeOfDay();
    for (int i = 0; i < count; ++i) {
        const vcam::Picture picture = vcam::renderScene(noise ? vcam::Scene::Noise : vcam::Scene::Camera,
                                                        static_cast<uint32_t>(i), size.width(), size.height(),
                                                        start + std::chrono::milliseconds(40LL * i));
        frames << vcam::toQByteArray(vcam::StreamGenerator::encodeJpeg(picture, camera.jpegQuality));
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
