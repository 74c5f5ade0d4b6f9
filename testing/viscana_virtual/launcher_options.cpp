#include "launcher_options.h"

#include <cstdlib>
#include <cstring>

const char *const kLauncherUsage =
    "usage: viscana-virtual [--size WxH] [--fps N] [--quality Q] [--scene camera|noise|pattern]\n"
    "                       [--record-after S] [QT-OPTION...]\n"
    "\n"
    "Starts the Viscana viewer on a virtual camera: an emulated USB camera, created inside the process\n"
    "before the viewer starts, that streams JPEG frames of a moving scene (a landscape the camera pans\n"
    "across, a car, a windmill, a bouncing ball, the frame number and the time of day). It shows the\n"
    "viewer at work on a machine without the camera; photos, videos and CameraApp.log are written as\n"
    "the viewer writes them.\n"
    "\n"
    "Options:\n"
    "  --size WxH        frame size, each side 80 to 4096 (default 1280x720)\n"
    "  --fps N           frames per second, 1 to 120 (default 25)\n"
    "  --quality Q       JPEG quality of the frames, 1 to 100 (default 80)\n"
    "  --scene NAME      camera (the moving scene, default), noise (random pixels) or pattern\n"
    "  --record-after S  press the record button S seconds after start (for measurements)\n"
    "  --help            show this help and exit\n"
    "  --version         show the program's version and exit\n"
    "\n"
    "Every other argument goes to the viewer and Qt.\n"
    "\n"
    "Exit status: 0 once the window has been closed, 2 when an option is refused.\n";

namespace {

bool parseInt(const char *text, int lo, int hi, int &out)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

bool parseSize(const std::string &text, int &w, int &h)
{
    const size_t x = text.find_first_of("xX");
    if (x == std::string::npos)
        return false;
    return parseInt(text.substr(0, x).c_str(), 80, 4096, w) && parseInt(text.substr(x + 1).c_str(), 80, 4096, h);
}

}  // namespace

LauncherOptions parseLauncherOptions(int argc, const char *const argv[])
{
    LauncherOptions o;
    o.viewerArgs.push_back(argc > 0 && argv[0] ? argv[0] : "viscana-virtual");
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i] ? argv[i] : "";
        const bool hasValue = i + 1 < argc;
        const char *value = hasValue ? argv[i + 1] : nullptr;
        if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--size") {
            if (!value || !parseSize(value, o.width, o.height)) {
                o.error = "--size needs WIDTHxHEIGHT, each 80 to 4096";
                return o;
            }
            ++i;
        } else if (a == "--fps") {
            int fps = 0;
            if (!parseInt(value, 1, 120, fps)) {
                o.error = "--fps needs a whole number from 1 to 120";
                return o;
            }
            o.fps = fps;
            ++i;
        } else if (a == "--quality") {
            if (!parseInt(value, 1, 100, o.quality)) {
                o.error = "--quality needs a JPEG quality from 1 to 100";
                return o;
            }
            ++i;
        } else if (a == "--record-after") {
            if (!parseInt(value, 0, 3600, o.recordAfter)) {
                o.error = "--record-after needs whole seconds from 0 to 3600";
                return o;
            }
            ++i;
        } else if (a == "--scene") {
            if (!value || (std::strcmp(value, "camera") && std::strcmp(value, "noise") && std::strcmp(value, "pattern"))) {
                o.error = "--scene needs camera, noise or pattern";
                return o;
            }
            o.scene = value;
            ++i;
        } else {
            o.viewerArgs.push_back(a);
        }
    }
    return o;
}
