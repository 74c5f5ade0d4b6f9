#pragma once
// The Windows driver installer: the WinUSB driver through libwdi, bound at run time from libwdi.dll so
// that the program starts (and reports a clear error) where the library is not installed.

#include "driver_installer.h"

#include <windows.h>

#include <string>

namespace viscana::platform {

class WdiDriverInstaller final : public DriverInstaller {
public:
    // Loads the library (a name searched as LoadLibrary does, or a path).
    explicit WdiDriverInstaller(const std::wstring &library = L"libwdi.dll");
    ~WdiDriverInstaller() override;
    WdiDriverInstaller(const WdiDriverInstaller &) = delete;
    WdiDriverInstaller &operator=(const WdiDriverInstaller &) = delete;

    // Whether the library and every function this installer calls were found; else loadError says why.
    bool loaded() const { return loaded_; }
    const std::string &loadError() const { return loadError_; }

    int createList(std::vector<DriverDevice> &devices) override;
    void destroyList() override;
    void setLogLevel(int level) override;
    int prepareDriver(const DriverDevice &device, const std::string &folder,
                      const std::string &infName) override;
    int installDriver(const DriverDevice &device, const std::string &folder,
                      const std::string &infName) override;
    std::string errorText(int code) const override;

    struct Api;  // the library's entry points

private:
    HMODULE module_ = nullptr;
    Api *api_ = nullptr;
    bool loaded_ = false;
    std::string loadError_;
    void *list_ = nullptr;  // the library's device list
};

}  // namespace viscana::platform
