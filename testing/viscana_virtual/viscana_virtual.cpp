// viscana-virtual: the Viscana viewer on a virtual camera. The virtual USB bus and the camera come first,
// before anything in the process touches libusb; then the viewer starts exactly as the product does.

#include "launcher_options.h"
#include "viewer_main.h"
#include "virtual_camera.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int g_recordAfter = -1;

// Run when the viewer's application object is made: presses the record button later.
void scheduleRecording()
{
    if (g_recordAfter < 0)
        return;
    QTimer::singleShot(g_recordAfter * 1000, [] {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (auto *record = top->findChild<QPushButton *>(QStringLiteral("pushButton_story"))) {
                std::fprintf(stderr, "viscana-virtual: pressing the record button\n");
                record->click();
                return;
            }
        }
    });
}

}  // namespace

int main(int argc, char *argv[])
{
    const LauncherOptions options = parseLauncherOptions(argc, argv);
    if (options.help) {
        std::fputs(kLauncherUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("viscana-virtual %s\n", VISCANA_PACKAGE_VERSION);
        return 0;
    }
    if (!options.error.empty()) {
        std::fprintf(stderr, "viscana-virtual: %s\nTry 'viscana-virtual --help'.\n", options.error.c_str());
        return 2;
    }

    vcam::CameraConfig config;
    config.stream.width = options.width;
    config.stream.height = options.height;
    config.stream.jpegQuality = options.quality;
    config.stream.scene = options.scene == "noise"     ? vcam::Scene::Noise
                          : options.scene == "pattern" ? vcam::Scene::Pattern
                                                       : vcam::Scene::Camera;
    config.fps = options.fps;
    config.serial = "VCAM0001";
    g_recordAfter = options.recordAfter;
    qAddPreRoutine(&scheduleRecording);

    int code = 0;
    {
        vcam::VirtualUsbBus bus;
        vcam::VirtualCamera camera(bus, config);
        camera.plug();
        std::fprintf(stderr, "viscana-virtual: virtual camera %04x:%04x, %dx%d at %g fps (%s)\n", config.vendorId,
                     config.productId, options.width, options.height, options.fps, options.scene.c_str());

        // The viewer's own start-up; it has ended every use of libusb when it returns.
        std::vector<std::string> args = options.viewerArgs;
        std::vector<char *> viewerArgv;
        for (std::string &a : args)
            viewerArgv.push_back(a.data());
        viewerArgv.push_back(nullptr);
        int viewerArgc = static_cast<int>(args.size());
        code = viewerMain(viewerArgc, viewerArgv.data());

        const vcam::CameraStats st = camera.stats();
        std::fprintf(stderr,
                     "viscana-virtual: the camera sent %u frames (%u more not sent: the reader was behind), "
                     "%.1f MB in %d reads\n",
                     st.framesQueued, st.framesDropped, st.streamBytesSent / 1e6, st.streamReads);
    }
    return code;
}
