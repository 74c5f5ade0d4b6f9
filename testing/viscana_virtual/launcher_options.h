#pragma once
// The command line of viscana-virtual: its own options, taken out; everything else goes to the viewer.

#include <string>
#include <vector>

struct LauncherOptions {
    int width = 1280;
    int height = 720;
    double fps = 25;
    int quality = 80;
    std::string scene = "camera";  // camera, noise or pattern
    int recordAfter = -1;            // seconds after start to press the record button; -1: never
    std::vector<std::string> viewerArgs;  // argv[0] and the arguments left for the viewer
    std::string error;               // set when the command line is refused
    bool help = false;
    bool version = false;
};

LauncherOptions parseLauncherOptions(int argc, const char *const argv[]);

extern const char *const kLauncherUsage;
