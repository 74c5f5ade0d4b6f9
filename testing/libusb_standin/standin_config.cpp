#include "standin_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

// A whole decimal or hexadecimal number within [lo, hi].
bool parseNumber(const std::string &text, int base, long lo, long hi, long &out)
{
    if (text.empty() || text.size() > 12)
        return false;
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || text[0] == '-' || text[0] == '+' || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

bool bad(std::string &error, const char *name, const char *value, const char *expected)
{
    error = std::string(name) + "=" + value + " is refused: expected " + expected;
    return false;
}

}  // namespace

bool readSettings(const Lookup &lookup, Settings &s, std::string &error)
{
    s.camera.stream.width = 1280;
    s.camera.stream.height = 720;
    s.camera.stream.scene = vcam::Scene::Camera;
    s.camera.fps = 25;

    if (const char *v = lookup("VCAM_SIZE")) {
        const char *x = std::strchr(v, 'x');
        long w = 0, h = 0;
        if (!x || !parseNumber(std::string(v, x), 10, 1, 100000, w) || !parseNumber(x + 1, 10, 1, 100000, h) ||
            !vcam::CameraDeviceModel::sizeSupported(static_cast<int>(w), static_cast<int>(h)))
            return bad(error, "VCAM_SIZE", v, "WxH from 640x480 to 1920x1080");
        s.camera.stream.width = static_cast<int>(w);
        s.camera.stream.height = static_cast<int>(h);
    }
    if (const char *v = lookup("VCAM_FPS")) {
        long fps = 0;
        if (!parseNumber(v, 10, 1, 60, fps))
            return bad(error, "VCAM_FPS", v, "a whole number from 1 to 60");
        s.camera.fps = static_cast<double>(fps);
    }
    const struct {
        const char *name;
        uint16_t *id;
    } ids[] = {{"VCAM_VID", &s.camera.vendorId}, {"VCAM_PID", &s.camera.productId}};
    for (const auto &id : ids) {
        if (const char *v = lookup(id.name)) {
            long n = 0;
            if (!parseNumber(v, 16, 0, 0xFFFF, n))
                return bad(error, id.name, v, "four hexadecimal digits");
            *id.id = static_cast<uint16_t>(n);
        }
    }
    if (const char *v = lookup("VCAM_SCENE")) {
        const std::string scene = v;
        if (scene == "camera")
            s.camera.stream.scene = vcam::Scene::Camera;
        else if (scene == "pattern")
            s.camera.stream.scene = vcam::Scene::Pattern;
        else if (scene == "noise")
            s.camera.stream.scene = vcam::Scene::Noise;
        else
            return bad(error, "VCAM_SCENE", v, "camera, pattern or noise");
    }
    if (const char *v = lookup("VCAM_PHOTO_FRAMES")) {
        std::string list = v;
        size_t from = 0;
        while (from <= list.size()) {
            const size_t comma = std::min(list.find(',', from), list.size());
            long n = 0;
            if (!parseNumber(list.substr(from, comma - from), 10, 0, 0x7FFFFFFF, n))
                return bad(error, "VCAM_PHOTO_FRAMES", v, "frame numbers separated by commas");
            s.photoFrames.push_back(static_cast<uint32_t>(n));
            from = comma + 1;
        }
    }
    const struct {
        const char *name;
        bool *flag;
    } flags[] = {{"VCAM_PLUGGED", &s.plugged}, {"VCAM_DRIVER", &s.driver}};
    for (const auto &f : flags) {
        if (const char *v = lookup(f.name)) {
            const std::string p = v;
            if (p != "0" && p != "1")
                return bad(error, f.name, v, "0 or 1");
            *f.flag = p == "1";
        }
    }
    return true;
}

}  // namespace standin
