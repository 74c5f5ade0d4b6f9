#pragma once
// USB bulk transport of the camera: start and end of libusb, opening the camera with its two endpoint
// pairs, four blocking bulk-transfer wrappers, and closing. No protocol knowledge lives here.

#include <libusb.h>

#include <atomic>
#include <cstdint>

// The open camera. Interface 0 carries the first endpoint pair (start-up handshake), interface 1 the
// second (commands and image stream; alternate setting 1 streams, 0 is idle).
struct vs_usbdev_t {
    libusb_device *dev = nullptr;
    // The open device, null while none is open. The stream thread tests it without a lock, so it is read
    // and cleared atomically.
    std::atomic<libusb_device_handle *> handle{nullptr};
    uint8_t ep_in = 0;    // bulk IN of the first pair (bit 7 set); 0 until found
    uint8_t ep_out = 0;   // bulk OUT of the first pair
    uint8_t ep_in2 = 0;   // bulk IN of the second pair
    uint8_t ep_out2 = 0;  // bulk OUT of the second pair
};

// Library start: libusb_init on the default context. 0, or the libusb error.
int USB_Lib_Start();
// Device list of the default context: the number of devices, or a negative libusb error.
ssize_t USB_Get_Device_List(libusb_device ***list);
// Library end: frees `list` if one is given (unreferencing its devices), then libusb_exit on the default
// context.
void USB_Lib_End(libusb_device **list);

// Opens the camera vid:pid (or uses the handle already in `dev`), finds the endpoint pairs, claims and
// prepares both interfaces and resets the device. 0 on success, non-zero on failure.
int USB_cameraWifi_Open(uint16_t vid, uint16_t pid, vs_usbdev_t *dev);

// Walks `list` in order and opens the first device with vid:pid into `*handle`. 0 when opened; the libusb
// error of the failing call; LIBUSB_ERROR_NOT_FOUND when no device matches (an empty list included).
int print_devs_libusb_open(libusb_device **list, libusb_device_handle **handle, uint16_t vid, uint16_t pid);

// One blocking bulk transfer each: 0 on success (the bytes moved are in *transferred, a short transfer
// is a success), 255 on failure.
int USB_OUT_Set_Write(vs_usbdev_t *dev, uint8_t *buf, int len, int *transferred, unsigned timeout_ms);
int USB_IN_RetureData_Read(vs_usbdev_t *dev, uint8_t *buf, int len, int *transferred, unsigned timeout_ms);
int USB_OUT_Set_Write2(vs_usbdev_t *dev, uint8_t *buf, int len, int *transferred, unsigned timeout_ms);
int USB_IN_RetureData_Read2(vs_usbdev_t *dev, uint8_t *buf, int len, int *transferred, unsigned timeout_ms);

// Releases interface 0 and closes the device if it is open; always 0. A second call only logs.
int USB_Close(vs_usbdev_t *dev);
