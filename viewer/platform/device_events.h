#pragma once
// Where the viewer learns that USB devices came or went. Plain C++ (no Qt).
//
// Windows broadcasts WM_DEVICECHANGE to every top-level window; the GUI event loop hands such messages
// to a native event filter, which asks isDeviceChangeMessage. Linux has no such message: a udev monitor
// on the "usb" subsystem gives a descriptor that becomes readable when events are waiting.

namespace viscana::platform {

// Whether a native message of the GUI event loop (an MSG on Windows) is a device-change notification,
// whatever kind of change it reports. Never true on Linux.
bool isDeviceChangeMessage(const void *message);

class DeviceEventSource {
public:
    DeviceEventSource();
    ~DeviceEventSource();
    DeviceEventSource(const DeviceEventSource &) = delete;
    DeviceEventSource &operator=(const DeviceEventSource &) = delete;

    // The descriptor to watch for reading, or -1 when this system delivers no events this way
    // (Windows) or the monitor could not be set up (see error).
    int descriptor() const;
    // Takes every waiting event off the descriptor; returns how many there were.
    int drain();
    // Why there is no descriptor, or empty.
    const char *error() const;

private:
    struct State;
    State *state_;
};

}  // namespace viscana::platform
