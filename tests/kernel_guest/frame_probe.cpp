// kernel-frame-probe: what the viewer shows, for the guest tests (one process polls the screen, so a
// slow guest does not start a program per look).
//   kernel-frame-probe --file FILE                  the frame number in a picture (a photo)
//   kernel-frame-probe --wait-live S [options]      until the live view shows two different camera frames
//   kernel-frame-probe --wait-no-camera S [options] until the live view shows the no-camera picture
// Options: --view X,Y,W,H (the live view on the screen), --size WxH (the camera's picture size: the view
// is scaled back to it before reading the number), --no-camera PICTURE, --save FILE (the last screen).
// Prints "frame N" / "frame none", "live A B", "no-camera"; exit status 0 when the condition was met.
#include "stream_generator.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

struct Options {
    QRect view;
    QSize size;
    QImage noCamera;
};

std::optional<uint32_t> frameIn(const QImage &screen, const Options &o)
{
    QImage area = screen.copy(o.view).convertToFormat(QImage::Format_RGB32);
    if (o.size.isValid())
        area = area.scaled(o.size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return vcam::StreamGenerator::decodeFrameNumber(area);
}

// The no-camera picture is drawn unscaled in the middle of the view; compared on its opaque pixels
// (anti-aliased edges differ a little).
bool noCameraIn(const QImage &screen, const Options &o)
{
    const QImage &pic = o.noCamera;
    const QImage area = screen.copy(o.view).convertToFormat(QImage::Format_RGB32);
    const int ox = (area.width() - pic.width()) / 2, oy = (area.height() - pic.height()) / 2;
    double diff = 0;
    long n = 0;
    for (int y = 0; y < pic.height(); ++y)
        for (int x = 0; x < pic.width(); ++x) {
            const QRgb p = pic.pixel(x, y);
            if (qAlpha(p) < 250 || !area.rect().contains(ox + x, oy + y))
                continue;
            const QRgb s = area.pixel(ox + x, oy + y);
            diff += abs(qRed(p) - qRed(s)) + abs(qGreen(p) - qGreen(s)) + abs(qBlue(p) - qBlue(s));
            ++n;
        }
    return n > 100 && diff / (3.0 * n) < 12;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string mode, file, save;
    double seconds = 0;
    Options o;
    o.view = QRect(0, 0, 0, 0);
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char *v = argv[i + 1];
        int x, y, w, h;
        if (a == "--file") {
            mode = a;
            file = v;
        } else if (a == "--wait-live" || a == "--wait-no-camera") {
            mode = a;
            seconds = atof(v);
        } else if (a == "--view" && sscanf(v, "%d,%d,%d,%d", &x, &y, &w, &h) == 4) {
            o.view = QRect(x, y, w, h);
        } else if (a == "--size" && sscanf(v, "%dx%d", &w, &h) == 2) {
            o.size = QSize(w, h);
        } else if (a == "--no-camera") {
            o.noCamera = QImage(QString::fromLocal8Bit(v)).convertToFormat(QImage::Format_ARGB32);
        } else if (a == "--save") {
            save = v;
        } else {
            fprintf(stderr, "kernel-frame-probe: bad option %s %s\n", argv[i], v);
            return 2;
        }
    }
    if (mode == "--file") {
        QImage img(QString::fromLocal8Bit(file.c_str()));
        if (img.isNull()) {
            fprintf(stderr, "kernel-frame-probe: cannot read %s\n", file.c_str());
            return 1;
        }
        const auto n = vcam::StreamGenerator::decodeFrameNumber(img);
        n ? printf("frame %u\n", *n) : printf("frame none\n");
        return n ? 0 : 1;
    }
    if (mode.empty() || (mode == "--wait-no-camera" && o.noCamera.isNull())) {
        fprintf(stderr, "usage: see the head of frame_probe.cpp\n");
        return 2;
    }
    QGuiApplication app(argc, argv);  // on the X display (DISPLAY): the screen is grabbed from it
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen) {
        fprintf(stderr, "kernel-frame-probe: no screen\n");
        return 1;
    }
    const QRect grab = o.view;
    QElapsedTimer timer;
    timer.start();
    std::optional<uint32_t> first;
    QImage shot;
    int rc = 1;
    while (timer.elapsed() < seconds * 1000) {
        // Only the view is grabbed; the checks then see it at (0, 0).
        shot = grab.isEmpty() ? screen->grabWindow(0).toImage()
                              : screen->grabWindow(0, grab.x(), grab.y(), grab.width(), grab.height()).toImage();
        o.view = shot.rect();
        if (mode == "--wait-live") {
            const auto n = frameIn(shot, o);
            if (n && !first) {
                first = n;
            } else if (n && *n != *first) {
                printf("live %u %u\n", *first, *n);
                rc = 0;
                break;
            }
        } else if (noCameraIn(shot, o)) {
            printf("no-camera\n");
            rc = 0;
            break;
        }
        QThread::msleep(200);
    }
    if (rc != 0)
        printf(mode == "--wait-live" ? "not live (first frame %s)\n" : "no no-camera picture%s\n",
               first ? std::to_string(*first).c_str() : "");
    if (!save.empty() && !shot.isNull())
        shot.save(QString::fromLocal8Bit(save.c_str()));
    return rc;
}
