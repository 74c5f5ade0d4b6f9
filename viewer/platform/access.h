#pragma once
// Whether the process may use the camera as it is. Plain C++ without Qt.

#include <string>
#include <vector>

namespace viscana::platform {

// 1 when the process has what it needs to reach the camera, else 0. On Windows that is elevation (the
// driver installation needs it). On Linux it is device access: 1 for root, when the camera access rule
// is installed, or when every camera present (a USB device whose path contains one of `cameraIds`, in
// upper case) can already be opened for reading and writing; 0 otherwise, also when no camera is present.
int isAdministrator(const std::vector<std::wstring> &cameraIds);

// File name of the udev rule that gives users access to the cameras.
inline constexpr const char *kAccessRuleName = "70-viscana-camera.rules";

}  // namespace viscana::platform
