#pragma once
// How a test reaches the stand-in camera of another process: named events that the stand-in libusb
// creates on its first libusb_init and waits on. vcam-control.exe (or a test) sets them.
//   unplug: the camera goes (transfers end with LIBUSB_ERROR_NO_DEVICE, the device list is empty)
//   plug:   it comes back at a new device address
//   photo:  its next frame carries the photo-button flag
// After unplug and plug the stand-in broadcasts WM_DEVICECHANGE (DBT_DEVNODES_CHANGED) to the top-level
// windows, as Windows does when a device node comes or goes. One process with the stand-in per Wine
// prefix at a time: the names are fixed.

namespace standin {

inline constexpr const wchar_t *kUnplugEvent = L"ViscanaVirtualCamera.Unplug";
inline constexpr const wchar_t *kPlugEvent = L"ViscanaVirtualCamera.Plug";
inline constexpr const wchar_t *kPhotoEvent = L"ViscanaVirtualCamera.Photo";
// Set by the stand-in once it has acted on a request, so that a control program can wait for it.
inline constexpr const wchar_t *kDoneEvent = L"ViscanaVirtualCamera.Done";

}  // namespace standin
