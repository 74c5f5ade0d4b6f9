#include "camera_device_model.h"
#include "served_models.h"

#include <cstdio>
#include <cstdlib>
#include <regex>

namespace usbredir {

namespace {

bool parseCameraArgs(const std::vector<std::string> &args, vcam::CameraModelConfig &c, std::string &error)
{
    c.stream.width = 1280;
    c.stream.height = 720;
    c.stream.scene = vcam::Scene::Camera;
    c.fps = 25;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (i + 1 >= args.size()) {
            error = "--camera: " + a + (a.rfind("--", 0) == 0 ? " needs a value" : " is not an option");
            return false;
        }
        const std::string &v = args[++i];
        std::smatch m;
        if (a == "--size") {
            static const std::regex size("([0-9]{1,5})x([0-9]{1,5})");
            if (!std::regex_match(v, m, size) ||
                !vcam::CameraDeviceModel::sizeSupported(std::stoi(m[1]), std::stoi(m[2]))) {
                error = "--size needs WIDTHxHEIGHT from 640x480 to 1920x1080 (got " + v + ")";
                return false;
            }
            c.stream.width = std::stoi(m[1]);
            c.stream.height = std::stoi(m[2]);
        } else if (a == "--fps") {
            char *end = nullptr;
            double fps = std::strtod(v.c_str(), &end);
            if (end == v.c_str() || *end || !(fps >= 0 && fps <= 120)) {
                error = "--fps needs a number from 0 (as fast as read) to 120 (got " + v + ")";
                return false;
            }
            c.fps = fps;
        } else if (a == "--scene") {
            if (v == "camera") c.stream.scene = vcam::Scene::Camera;
            else if (v == "pattern") c.stream.scene = vcam::Scene::Pattern;
            else if (v == "noise") c.stream.scene = vcam::Scene::Noise;
            else {
                error = "--scene needs camera, pattern or noise (got " + v + ")";
                return false;
            }
        } else if (a == "--product-id") {
            char *end = nullptr;
            unsigned long id = std::strtoul(v.c_str(), &end, 16);
            if (end == v.c_str() || *end || id > 0xffff) {
                error = "--product-id needs four hexadecimal digits (got " + v + ")";
                return false;
            }
            c.productId = uint16_t(id);
        } else {
            error = "--camera: unknown option " + a;
            return false;
        }
    }
    return true;
}

}  // namespace

ModelKind cameraModelKind()
{
    return {"--camera",
            "--camera [--size WxH] [--fps N] [--scene camera|pattern|noise] [--product-id HEX]\n"
            "                              the virtual camera 2ce3:3301 (default 1280x720, 25 fps, scene camera)",
            [](const std::vector<std::string> &args, ServedDevice &out, std::string &error) {
                vcam::CameraModelConfig config;
                if (!parseCameraArgs(args, config, error))
                    return false;
                auto model = std::make_unique<vcam::CameraDeviceModel>(config);
                auto *cam = model.get();
                out.stats = [cam] {
                    vcam::CameraModelStats s = cam->stats();
                    return "streaming=" + std::to_string(s.streaming) + " frames=" + std::to_string(s.framesQueued) +
                           " stream_bytes=" + std::to_string(s.streamBytesSent) + " resets=" + std::to_string(s.resets);
                };
                out.setPresent = [cam](bool present) { present ? cam->plug() : cam->unplug(); };
                out.model = std::move(model);
                return true;
            }};
}

}  // namespace usbredir
