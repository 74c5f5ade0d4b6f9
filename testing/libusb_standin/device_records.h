#pragma once
// Windows' records of the stand-in camera, for the Setup API. Wine's Setup API answers from the registry
// alone: a device exists while its key under Enum exists, and a device interface is present while its
// DeviceClasses entry is linked. So the stand-in writes what Windows keeps for a plugged-in composite
// USB device with WinUSB on both interfaces, and removes it on unplug; the viewer's own scan and
// driver check then run unchanged:
//   Enum\USB\VID_vvvv&PID_pppp\<serial>                      the device (USB class)
//   Enum\USB\VID_vvvv&PID_pppp&MI_0n\6&1a2b3c4d&0&000n       its interfaces (USBDevice class, Driver set
//                                                            unless VCAM_DRIVER=0)
//   Control\DeviceClasses\{GUID_DEVINTERFACE_USB_DEVICE}\##?#USB#VID_vvvv&PID_pppp#<serial>#{...}
//                                                            the device interface, linked

#include <cstdint>
#include <string>

namespace standin {

struct DeviceRecord {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serial;
    bool driver = true;
};

// Writes (present) or removes the records under HKEY_LOCAL_MACHINE; false when the registry refuses.
bool publishDeviceRecords(const DeviceRecord &device, bool present);

// The device interface path the Setup API reports for the device.
std::wstring deviceInterfacePath(const DeviceRecord &device);

}  // namespace standin
