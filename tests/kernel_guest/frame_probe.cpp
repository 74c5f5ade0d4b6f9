// kernel-frame-probe: what the viewer shows, for the guest tests. One process answers every request
// of a test (read line by line from standard input), so a slow guest starts it only once.
//   kernel-frame-probe [--view X,Y,W,H] [--no-camera PICTURE]
// Requests (one answer line each, "ok ..." or "fail ..."):
//   live SECONDS WxH          until the live view shows two different camera frames ("ok live A B"); the
//                             view is scaled back to the camera's picture size WxH to read the numbers
//   no-camera SECONDS [SAVE]  until the live view shows the no-camera picture (unscaled, in the middle)
//   file PATH                 the frame number in a picture (a photo): "ok frame N"
#include "qt_picture.h"

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
    return vcam::decodeFrameNumber(area);
}

// The no-camera picture is drawn unscaled in the middle of the view; compared on its opaque, bright
// pixels (anti-aliased edges differ a little).
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
            // Only the picture's drawing (not its dark background, which an empty view also has).
            if (qAlpha(p) < 250 || qRed(p) + qGreen(p) + qBlue(p) < 150 || !area.rect().contains(ox + x, oy + y))
                continue;
            const QRgb s = area.pixel(ox + x, oy + y);
            diff += abs(qRed(p) - qRed(s)) + abs(qGreen(p) - qGreen(s)) + abs(qBlue(p) - qBlue(s));
            ++n;
        }
    return n > 100 && diff / (3.0 * n) < 12;
}


// One request: "live SECONDS WxH [SAVE]", "no-camera SECONDS [SAVE]" or "file PATH". Answers one line
// starting with "ok" or "fail".
std::string answer(QScreen *screen, Options &o, const QRect &grab, const std::string &line)
{
    char what[16] = {}, arg2[4096] = {}, arg3[4096] = {};
    double seconds = 0;
    const int n = sscanf(line.c_str(), "%15s %4095s %4095s", what, arg2, arg3);
    const std::string cmd = what;
    if (cmd == "file" && n >= 2) {
        const QImage img(QString::fromLocal8Bit(arg2));
        if (img.isNull())
            return "fail cannot read " + std::string(arg2);
        const auto f = vcam::decodeFrameNumber(img);
        return f ? "ok frame " + std::to_string(*f) : "fail no frame number in " + std::string(arg2);
    }
    if (n < 2 || (cmd != "live" && cmd != "no-camera") || (cmd == "live" && n < 3) || !screen)
        return "fail bad request: " + line;
    seconds = atof(arg2);
    const std::string save = cmd == "no-camera" && n > 2 ? arg3 : "";
    if (cmd == "live") {
        int w = 0, h = 0;
        if (sscanf(arg3, "%dx%d", &w, &h) != 2)
            return "fail bad size " + std::string(arg3);
        o.size = QSize(w, h);
    }
    QElapsedTimer timer;
    timer.start();
    std::optional<uint32_t> first;
    QImage shot;
    std::string result;
    while (result.empty() && timer.elapsed() < seconds * 1000) {
        // Only the view is grabbed; the checks then see it at (0, 0).
        shot = grab.isEmpty() ? screen->grabWindow(0).toImage()
                              : screen->grabWindow(0, grab.x(), grab.y(), grab.width(), grab.height()).toImage();
        o.view = shot.rect();
        if (cmd == "live") {
            const auto f = frameIn(shot, o);
            if (f && !first)
                first = f;
            else if (f && *f != *first)
                result = "ok live " + std::to_string(*first) + " " + std::to_string(*f);
        } else if (noCameraIn(shot, o)) {
            result = "ok no-camera";
        }
        if (result.empty())
            QThread::msleep(150);
    }
    if (!save.empty() && !shot.isNull())
        shot.save(QString::fromLocal8Bit(save.c_str()));
    if (!result.empty())
        return result;
    return cmd == "live" ? "fail not live (first frame " + (first ? std::to_string(*first) : std::string("none")) + ")"
                         : "fail no no-camera picture";
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        const char *v = argv[i + 1];
        int x, y, w, h;
        if (a == "--view" && sscanf(v, "%d,%d,%d,%d", &x, &y, &w, &h) == 4) {
            o.view = QRect(x, y, w, h);
        } else if (a == "--no-camera") {
            o.noCamera = QImage(QString::fromLocal8Bit(v)).convertToFormat(QImage::Format_ARGB32);
        } else {
            fprintf(stderr, "usage: kernel-frame-probe [--view X,Y,W,H] [--no-camera PICTURE] < requests\n");
            return 2;
        }
    }
    QGuiApplication app(argc, argv);  // on the X display (DISPLAY): the screen is grabbed from it
    QScreen *screen = QGuiApplication::primaryScreen();
    const QRect grab = o.view;
    char line[8192];
    while (fgets(line, sizeof line, stdin)) {
        std::string request(line);
        while (!request.empty() && (request.back() == '\n' || request.back() == '\r'))
            request.pop_back();
        if (request.empty())
            continue;
        printf("%s\n", answer(screen, o, grab, request).c_str());
        fflush(stdout);
    }
    return 0;
}
