// Soak of the window's presence handling: a streaming virtual camera is pulled out and plugged back
// again and again while the real window (listener, presence pass, stream thread, converter) follows it.
//
//   bench_presence_soak [--cycles N] [--stream-ms M] [--fps F]    (defaults 100, 1000, 25)
//
// Each cycle: plug, wait for the first picture in the window, let it stream for M ms, unplug, wait for
// the no-camera picture. Reported: cycles survived, pictures per cycle after each replug, the time from
// plug to the first picture (median, p95, max). Built with ASan (build-asan), the leak check runs at exit.

#include "image_conver_module.h"
#include "mainwindow.h"
#include "thread_usb.h"
#include "virtual_camera.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

struct PresenceTestAccess {
    static ThreadUSB *stream(MainWindow &w) { return w.M_thread.data(); }
};

namespace {

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QTest::qWait(2);
    }
    return true;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char **argv)
{
    int cycles = 100, streamMs = 1000;
    double fps = 25;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--cycles"))
            cycles = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--stream-ms"))
            streamMs = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--fps"))
            fps = std::atof(argv[i + 1]);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    auto *bus = new vcam::VirtualUsbBus;  // before anything touches udev or libusb
    int survived = 0;
    std::vector<double> firstFrameMs;
    std::vector<int> framesPerCycle;
    {
        QApplication app(argc, argv);
        vcam::CameraConfig config;
        config.fps = fps;
        config.stream.width = 640;
        config.stream.height = 480;
        vcam::VirtualCamera camera(*bus, config);
        {
            MainWindow w;
            QLabel *view = w.findChild<QLabel *>(QStringLiteral("label_showImage"));
            QObject gui;
            int shown = 0;  // pictures that reached the GUI thread
            QObject::connect(ImageConverModule::instance(), &ImageConverModule::newImage, &gui,
                             [&shown](QPixmap) { ++shown; }, Qt::QueuedConnection);
            for (int c = 0; c < cycles; ++c) {
                const int before = shown;
                QElapsedTimer t;
                t.start();
                camera.plug();
                if (!waitUntil([&] { return shown > before && view->hasScaledContents(); }, 15000)) {
                    std::fprintf(stderr, "cycle %d: no picture within 15 s after the replug\n", c + 1);
                    break;
                }
                firstFrameMs.push_back(t.nsecsElapsed() / 1e6);
                const int first = shown;
                QTest::qWait(streamMs);
                framesPerCycle.push_back(shown - first + 1);
                camera.unplug();
                if (!waitUntil([&] { return PresenceTestAccess::stream(w) == nullptr && !view->hasScaledContents(); },
                               15000)) {
                    std::fprintf(stderr, "cycle %d: the window did not notice the unplug within 15 s\n", c + 1);
                    break;
                }
                ++survived;
            }
        }
    }
    delete bus;

    std::vector<double> frames(framesPerCycle.begin(), framesPerCycle.end());
    std::printf("cycles survived: %d of %d\n", survived, cycles);
    std::printf("pictures per cycle after the replug (%d ms at %.0f fps): min %.0f, median %.0f, max %.0f\n",
                streamMs, fps, percentile(frames, 0), percentile(frames, 0.5), percentile(frames, 1));
    std::printf("plug to first picture: median %.1f ms, p95 %.1f ms, max %.1f ms\n", percentile(firstFrameMs, 0.5),
                percentile(firstFrameMs, 0.95), percentile(firstFrameMs, 1));
    return survived == cycles ? 0 : 1;
}
