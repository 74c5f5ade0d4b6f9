#pragma once
// What the stand-in camera is, from the environment of the process that loads the stand-in libusb:
//
//   VCAM_SIZE=WxH          picture size, 640x480 to 1920x1080 (default 1280x720)
//   VCAM_FPS=N             frames a second, 1 to 60 (default 25)
//   VCAM_VID=hhhh          vendor id in hexadecimal (default 2ce3)
//   VCAM_PID=hhhh          product id in hexadecimal (default 3301)
//   VCAM_SCENE=camera|pattern|noise   what the pictures show (default camera)
//   VCAM_PHOTO_FRAMES=n[,n...]        frames that carry the photo-button flag
//   VCAM_PLUGGED=0|1       whether the camera is attached at start (default 1)
//   VCAM_DRIVER=0|1        whether Windows' device records show its interfaces with a driver (default 1)
//
// A value that does not parse is refused with a message naming the variable; libusb_init then fails.

#include "camera_device_model.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace standin {

struct Settings {
    vcam::CameraModelConfig camera;
    std::vector<uint32_t> photoFrames;
    bool plugged = true;
    bool driver = true;
};

using Lookup = std::function<const char *(const char *name)>;

// Fills `settings` from the variables `lookup` gives (null: unset). Returns false with `error` set on the
// first bad value.
bool readSettings(const Lookup &lookup, Settings &settings, std::string &error);

}  // namespace standin
