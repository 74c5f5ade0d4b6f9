#include "command_line.h"

#include <cstdio>
#include <cstring>

#ifndef VISCANA_PACKAGE_VERSION
#define VISCANA_PACKAGE_VERSION "unknown"
#endif

const char *const kViewerHelp =
    "usage: Viscana [--help] [--version] [QT-OPTION...]\n"
    "\n"
    "Shows the live picture of a USB camera with the vendor id 0329, 2ce3 or 3301, takes photos (at\n"
    "once, after a 2, 5 or 10 s countdown, or from the camera's own button) and records MP4 (H.264)\n"
    "videos at 25 fps. It notices the camera being plugged in and pulled out, and shows a Chinese or\n"
    "an English interface after the system language.\n"
    "\n"
    "Options:\n"
    "  --help          show this help and exit\n"
    "  --version       show the program's version and exit\n"
    "  -platform NAME  (Qt) the window system plugin, for example xcb, wayland or offscreen\n"
    "  -style NAME     (Qt) the widget style\n"
    "\n"
    "Every other argument goes to Qt.\n"
    "\n"
    "Files:\n"
    "  CameraApp.log             every diagnostic line, written into the working folder\n"
    "  Camera/                   photos and videos, beside the program when its folder is writable\n"
    "  Viscana/Camera/           photos and videos under the user's Pictures folder otherwise\n"
    "  70-viscana-camera.rules   udev rule that gives the user at the seat access to the camera\n"
    "\n"
    "Exit status: 0 once the window has been closed (by its close button, the window manager, SIGINT\n"
    "or SIGTERM; recordings are finished first).\n";

int answerInfoOptions(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (!argv[i])
            continue;
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kViewerHelp, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("Viscana %s\n", VISCANA_PACKAGE_VERSION);
            return 0;
        }
    }
    return -1;
}
