#pragma once
// The operating system's view of the USB devices, for the camera scan and the driver checks. Plain C++
// without Qt, so that the Windows implementation is built and tested by the cross build as well.
//
// Both implementations give the device interface paths in the Windows form
//   \\?\usb#vid_2ce3&pid_3301#<instance>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
// so that everything above this layer (splitting a path, matching the camera identifiers) is one code
// path on every system.

#include <functional>
#include <string>
#include <vector>

namespace viscana::platform {

// Receives the diagnostic lines of the scan; the viewer passes them on to its log.
using ScanLog = std::function<void(const std::wstring &line)>;

// Appends the device interface path of every present USB device to `paths`. Returns false, with
// `error` set to "获取设备失败", when the set of devices cannot be obtained.
bool usbDevicePaths(std::vector<std::wstring> &paths, std::wstring &error);

// Whether a present device whose instance identifier contains `id` (for example VID_2CE3) and the
// interface suffix (`suffix`, "0000" for the first interface, "0001" for the second) has a usable driver.
// Letter case does not matter. The first device that matches both decides.
bool deviceDriverInstalled(const std::wstring &id, const std::wstring &suffix, const ScanLog &log);

}  // namespace viscana::platform
