// Writes the virtual camera's scene, frame after frame as the camera draws and encodes it, to an MJPEG
// file (JPEG frames one after the other), for a player to show as the reference to the viewer.
//
//   bench_scene_mjpeg --size WxH --frames N --out FILE

#include "synthetic_frames.h"

#include <QFile>
#include <QGuiApplication>
#include <QSize>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QSize size(1280, 720);
    int frames = 250;
    QString out;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--size")) {
            const QStringList wh = args[i + 1].split(QLatin1Char('x'));
            size = wh.size() == 2 ? QSize(wh[0].toInt(), wh[1].toInt()) : QSize();
        } else if (args[i] == QLatin1String("--frames")) {
            frames = args[i + 1].toInt();
        } else if (args[i] == QLatin1String("--out")) {
            out = args[i + 1];
        }
    }
    if (out.isEmpty() || size.width() < 80 || size.height() < 80 || frames < 1) {
        std::fprintf(stderr, "usage: bench_scene_mjpeg --size WxH --frames N --out FILE\n");
        return 2;
    }
    QFile file(out);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(out));
        return 1;
    }
    qint64 bytes = 0;
    for (const QByteArray &jpeg : mediabench::makeSceneFrames(size, frames, false))
        bytes += file.write(jpeg);
    std::printf("%s: %d frames of %dx%d, %.1f KB a frame\n", qPrintable(out), frames, size.width(), size.height(),
                bytes / 1024.0 / frames);
    return file.error() == QFile::NoError ? 0 : 1;
}
