#pragma once
// The device models usbredir-device can serve, chosen on its command line (--echo, --camera, ...).
#include "usb_device_model.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace usbredir {

struct ServedDevice {
    std::unique_ptr<usbdev::UsbDeviceModel> model;
    std::function<std::string()> stats;        // the model's own counters as "name=value ..." (may be empty)
    std::function<void(bool)> setPresent;      // the model's unplug/plug, if it has them (may be empty)
};

struct ModelKind {
    std::string option;  // selects the model, e.g. "--camera"
    std::string usage;   // its options, for --help
    // Builds the model from the options that follow; false with `error` set for bad options.
    std::function<bool(const std::vector<std::string> &args, ServedDevice &out, std::string &error)> make;
};

const std::vector<ModelKind> &servedModels();

// One kind per file; servedModels() lists them.
ModelKind echoModelKind();
ModelKind cameraModelKind();
ModelKind bridgeModelKind();  // when built with the virtual bridge

}  // namespace usbredir
