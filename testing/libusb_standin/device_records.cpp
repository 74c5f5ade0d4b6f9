#include "device_records.h"

#include <windows.h>

#include <cstdio>

namespace standin {

namespace {

const wchar_t *const kUsbDeviceInterface = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const wchar_t *const kUsbClass = L"{36fc9e60-c465-11cf-8056-444553540000}";
const wchar_t *const kUsbDeviceClass = L"{88bae032-5a81-49f0-bc3d-a4ff138216d6}";
const wchar_t *const kEnum = L"System\\CurrentControlSet\\Enum\\USB\\";
const wchar_t *const kClasses = L"System\\CurrentControlSet\\Control\\DeviceClasses\\";

std::wstring widen(const std::string &s)
{
    return std::wstring(s.begin(), s.end());
}

std::wstring ids(const DeviceRecord &d)
{
    wchar_t buf[32];
    std::swprintf(buf, 32, L"VID_%04X&PID_%04X", d.vendorId, d.productId);
    return buf;
}

std::wstring lower(std::wstring s)
{
    for (wchar_t &c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

std::wstring interfaceInstance(int n)
{
    return L"&MI_0" + std::to_wstring(n) + L"\\6&1a2b3c4d&0&000" + std::to_wstring(n);
}

std::wstring interfaceKey(const DeviceRecord &d)
{
    return std::wstring(kClasses) + kUsbDeviceInterface + L"\\##?#USB#" + ids(d) + L"#" + widen(d.serial) + L"#" +
           kUsbDeviceInterface;
}

bool setString(HKEY key, const wchar_t *name, const std::wstring &value)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

// Creates `path` under HKLM with string values `values` (name, value pairs).
bool writeKey(const std::wstring &path, std::initializer_list<std::pair<const wchar_t *, std::wstring>> values)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool ok = true;
    for (const auto &v : values)
        ok = setString(key, v.first, v.second) && ok;
    RegCloseKey(key);
    return ok;
}

}  // namespace

std::wstring deviceInterfacePath(const DeviceRecord &d)
{
    return lower(L"\\\\?\\USB#" + ids(d) + L"#" + widen(d.serial) + L"#" + kUsbDeviceInterface);
}

bool publishDeviceRecords(const DeviceRecord &d, bool present)
{
    const std::wstring device = std::wstring(kEnum) + ids(d) + L"\\" + widen(d.serial);
    const std::wstring iface = interfaceKey(d);
    if (!present) {
        bool ok = true;
        for (const std::wstring &path :
             {device, std::wstring(kEnum) + ids(d) + interfaceInstance(0), std::wstring(kEnum) + ids(d) + interfaceInstance(1),
              iface}) {
            const LSTATUS r = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
            ok = ok && (r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND);
        }
        return ok;
    }
    bool ok = writeKey(device, {{L"ClassGUID", kUsbClass},
                                {L"DeviceDesc", L"USB Composite Device"},
                                {L"Driver", std::wstring(kUsbClass) + L"\\0001"}});
    for (int n = 0; n < 2; ++n) {
        const std::wstring path = std::wstring(kEnum) + ids(d) + interfaceInstance(n);
        ok = writeKey(path, {{L"ClassGUID", kUsbDeviceClass}, {L"DeviceDesc", L"Virtual Camera"}}) && ok;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
            if (d.driver)
                ok = setString(key, L"Driver", std::wstring(kUsbDeviceClass) + L"\\000" + std::to_wstring(n)) && ok;
            else
                RegDeleteValueW(key, L"Driver");
            RegCloseKey(key);
        }
    }
    ok = writeKey(iface, {{L"DeviceInstance", L"USB\\" + ids(d) + L"\\" + widen(d.serial)}}) && ok;
    ok = writeKey(iface + L"\\#", {{L"SymbolicLink", deviceInterfacePath(d)}}) && ok;
    HKEY control = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (iface + L"\\#\\Control").c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        &control, nullptr) == ERROR_SUCCESS) {
        const DWORD linked = 1;
        ok = RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&linked), sizeof linked) ==
                 ERROR_SUCCESS &&
             ok;
        RegCloseKey(control);
    } else {
        ok = false;
    }
    return ok;
}

}  // namespace standin
