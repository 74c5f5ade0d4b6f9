#pragma once
// Linux-only helpers of the device scan.

#include <string>
#include <vector>

namespace viscana::platform {

// Counts the present USB devices whose path (upper case) contains one of `ids`, and of those the ones
// whose device node this process can read and write.
struct DeviceAccess {
    int present = 0;
    int accessible = 0;
};
DeviceAccess usbDeviceAccess(const std::vector<std::wstring> &ids);

}  // namespace viscana::platform
