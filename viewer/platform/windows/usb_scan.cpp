// The USB device scan over the Setup API: the device interface paths of the present USB devices, and
// the driver key of the device instances that match a camera identifier and an interface suffix.

#include "usb_scan.h"

#include <windows.h>

#include <initguid.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace viscana::platform {

namespace {

// GUID_DEVINTERFACE_USB_DEVICE
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

constexpr DWORD kDetailBufferSize = 1024;
constexpr DWORD kNameBufferSize = 520;   // bytes
constexpr DWORD kInstanceIdChars = 520;  // wide characters

#if defined(_WIN32) && !defined(_WIN64)
// The layouts the Setup API expects from 32-bit programs.
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA of 32-bit code");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "SP_DEVICE_INTERFACE_DATA of 32-bit code");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "SP_DEVICE_INTERFACE_DETAIL_DATA_W of 32-bit code");
#endif

std::wstring upper(std::wstring s)
{
    for (wchar_t &c : s)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return s;
}

// The device's name: its friendly name, else its description, else "Unknown".
std::wstring deviceName(HDEVINFO set, SP_DEVINFO_DATA *info)
{
    BYTE buffer[kNameBufferSize] = {};
    DWORD type = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, info, SPDRP_FRIENDLYNAME, &type, buffer, sizeof buffer - 2, nullptr) ||
        SetupDiGetDeviceRegistryPropertyW(set, info, SPDRP_DEVICEDESC, &type, buffer, sizeof buffer - 2, nullptr))
        return std::wstring(reinterpret_cast<const wchar_t *>(buffer));
    return L"Unknown";
}

}  // namespace

bool usbDevicePaths(std::vector<std::wstring> &paths, std::wstring &error)
{
    HDEVINFO set = SetupDiGetClassDevsW(&kUsbDeviceInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        error = L"获取设备失败";
        return false;
    }
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(GlobalAlloc(GPTR, kDetailBufferSize));
    if (!detail) {
        SetupDiDestroyDeviceInfoList(set);
        error = L"获取设备失败";
        return false;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    // The path is read into the fixed buffer; keep the last character a terminator whatever it holds.
    const DWORD usable = kDetailBufferSize - sizeof(wchar_t);

    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, index, &info))
            break;
        if (deviceName(set, &info) == L"xxx")
            continue;
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &iface))
            break;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &iface, detail, usable, nullptr, nullptr))
            break;
        paths.emplace_back(detail->DevicePath);
    }
    GlobalFree(detail);
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

bool deviceDriverInstalled(const std::wstring &id, const std::wstring &suffix, const ScanLog &log)
{
    log(L"查找 ID:" + id);
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        std::fputs("获取设备信息集合失败\n", stderr);
        return false;
    }
    const std::wstring wantId = upper(id);
    const std::wstring wantSuffix = upper(suffix);
    bool answer = false;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA info = {};
        info.cbSize = sizeof(SP_DEVINFO_DATA);
        if (!SetupDiEnumDeviceInfo(set, index, &info))
            break;
        wchar_t instance[kInstanceIdChars] = {};
        if (!SetupDiGetDeviceInstanceIdW(set, &info, instance, kInstanceIdChars - 1, nullptr)) {
            std::fputs("获取设备实例 ID 失败\n", stderr);
            continue;
        }
        const std::wstring instanceId = upper(instance);
        if (instanceId.find(wantId) == std::wstring::npos)
            continue;
        if (instanceId.find(wantSuffix) == std::wstring::npos) {
            log(L"没有序号 表示路径不一致");
            continue;
        }
        log(L"找到设备  所有匹配一致");
        BYTE driver[kNameBufferSize] = {};
        DWORD type = 0;
        // One character less than the buffer, so that the value always ends in a terminator.
        if (!SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_DRIVER, &type, driver, sizeof driver - 2, nullptr)) {
            log(L"查询设备注册表属性  不存在");
            continue;
        }
        answer = type == REG_SZ && reinterpret_cast<const wchar_t *>(driver)[0] != L'\0';
        if (!answer)
            log(L"驱动没有安装");
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return answer;
}

}  // namespace viscana::platform
