#pragma once
// Makes a USB camera usable by this system: on Windows by installing the WinUSB driver for an interface
// that has none, on Linux by installing the project's udev access rule. The caller lists the devices
// that are not usable yet, picks one, prepares and installs; every step returns 0 or a negative code,
// and errorText turns a code into a sentence for the log.
//
// Plain C++ (no Qt), so that the Windows implementation is built and tested without a Qt kit.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace viscana::platform {

// Result codes; the values are those of the Windows driver-installer library, so that a code logged on
// either system means the same.
enum DriverInstallCode : int {
    kInstallOk = 0,
    kInstallErrorIo = -1,
    kInstallErrorInvalidParam = -2,
    kInstallErrorAccess = -3,
    kInstallErrorNoDevice = -4,
    kInstallErrorNotFound = -5,
    kInstallErrorBusy = -6,
    kInstallErrorTimeout = -7,
    kInstallErrorNotSupported = -12,
    kInstallErrorExists = -13,
    kInstallErrorUserCancel = -14,
    kInstallErrorNeedsAdmin = -15,
    kInstallErrorOther = -99,
};

// Log level "errors only" of the installer library.
constexpr int kInstallLogLevelError = 3;

// One device that is not usable yet. `native` belongs to the installer's current list.
struct DriverDevice {
    uint16_t vid = 0;
    uint16_t pid = 0;
    std::string description;
    const void *native = nullptr;
};

class DriverInstaller {
public:
    virtual ~DriverInstaller() = default;

    // Lists the USB devices that this system cannot use yet. Returns 0 with at least one device,
    // kInstallErrorNoDevice when there is none, or another negative code. The list (and every
    // DriverDevice::native in it) stays valid until destroyList or the next createList.
    virtual int createList(std::vector<DriverDevice> &devices) = 0;
    virtual void destroyList() = 0;
    virtual void setLogLevel(int level) = 0;
    // Prepares the driver files (Windows) or the rule file (Linux) for one listed device in `folder`.
    virtual int prepareDriver(const DriverDevice &device, const std::string &folder,
                              const std::string &infName) = 0;
    // Installs what prepareDriver made ready.
    virtual int installDriver(const DriverDevice &device, const std::string &folder,
                              const std::string &infName) = 0;
    // A short English sentence for a code, with the reason of the last failure where one is known.
    virtual std::string errorText(int code) const = 0;
};

// The installer of the platform this program was built for.
std::unique_ptr<DriverInstaller> createDriverInstaller();

}  // namespace viscana::platform
