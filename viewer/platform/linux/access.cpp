#include "access.h"

#include "usb_scan_linux.h"

#include <unistd.h>

#include <string>

namespace viscana::platform {

namespace {

// Where udev reads rule files from.
const char *const kRuleFolders[] = {"/etc/udev/rules.d/", "/run/udev/rules.d/", "/usr/lib/udev/rules.d/",
                                    "/lib/udev/rules.d/", "/usr/local/lib/udev/rules.d/"};

bool accessRuleInstalled()
{
    for (const char *folder : kRuleFolders)
        if (::access((std::string(folder) + kAccessRuleName).c_str(), F_OK) == 0)
            return true;
    return false;
}

}  // namespace

int isAdministrator(const std::vector<std::wstring> &cameraIds)
{
    if (::geteuid() == 0 || accessRuleInstalled())
        return 1;
    const DeviceAccess cameras = usbDeviceAccess(cameraIds);
    return cameras.present > 0 && cameras.accessible == cameras.present ? 1 : 0;
}

}  // namespace viscana::platform
