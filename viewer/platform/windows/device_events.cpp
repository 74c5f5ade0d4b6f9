#include "device_events.h"

#include <windows.h>

namespace viscana::platform {

bool isDeviceChangeMessage(const void *message)
{
    // Every WM_DEVICECHANGE counts, whatever its wParam (arrival, removal or any other notification).
    return message && static_cast<const MSG *>(message)->message == WM_DEVICECHANGE;
}

struct DeviceEventSource::State {};

DeviceEventSource::DeviceEventSource() : state_(nullptr) {}
DeviceEventSource::~DeviceEventSource() = default;
int DeviceEventSource::descriptor() const { return -1; }
int DeviceEventSource::drain() { return 0; }
const char *DeviceEventSource::error() const { return ""; }

}  // namespace viscana::platform
