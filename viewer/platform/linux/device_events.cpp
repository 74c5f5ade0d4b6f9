#include "device_events.h"

#include <libudev.h>

#include <string>

namespace viscana::platform {

bool isDeviceChangeMessage(const void *)
{
    return false;
}

struct DeviceEventSource::State {
    udev *context = nullptr;
    udev_monitor *monitor = nullptr;
    std::string error;
};

DeviceEventSource::DeviceEventSource() : state_(new State)
{
    state_->context = udev_new();
    if (!state_->context) {
        state_->error = "udev_new failed";
        return;
    }
    // Events as udev has processed them (rules applied, device nodes in place), not the raw kernel ones.
    state_->monitor = udev_monitor_new_from_netlink(state_->context, "udev");
    if (!state_->monitor) {
        state_->error = "udev_monitor_new_from_netlink failed";
        return;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(state_->monitor, "usb", nullptr) < 0 ||
        udev_monitor_enable_receiving(state_->monitor) < 0) {
        state_->error = "the udev monitor could not be enabled";
        udev_monitor_unref(state_->monitor);
        state_->monitor = nullptr;
    }
}

DeviceEventSource::~DeviceEventSource()
{
    if (state_->monitor)
        udev_monitor_unref(state_->monitor);
    if (state_->context)
        udev_unref(state_->context);
    delete state_;
}

int DeviceEventSource::descriptor() const
{
    return state_->monitor ? udev_monitor_get_fd(state_->monitor) : -1;
}

int DeviceEventSource::drain()
{
    if (!state_->monitor)
        return 0;
    // The monitor's socket is non-blocking: receive until nothing is left.
    int n = 0;
    while (udev_device *device = udev_monitor_receive_device(state_->monitor)) {
        udev_device_unref(device);
        ++n;
    }
    return n;
}

const char *DeviceEventSource::error() const
{
    return state_->error.c_str();
}

}  // namespace viscana::platform
