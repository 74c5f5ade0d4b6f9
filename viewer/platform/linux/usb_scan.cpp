// The USB device scan over libudev. Every present USB device becomes a device interface path of the
// Windows form, and every interface of its active configuration an instance identifier of the Windows
// form (USB\VID_xxxx&PID_xxxx&MI_nn\<instance>&00nn), so the callers match them as on Windows. An
// interface counts as having a driver when this process may read and write the device's node: that is
// what an installed driver gives on Windows.

#include "usb_scan.h"
#include "usb_scan_linux.h"

#include <libudev.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace viscana::platform {

namespace {

struct UdevDeleter {
    void operator()(udev *u) const { udev_unref(u); }
    void operator()(udev_enumerate *e) const { udev_enumerate_unref(e); }
    void operator()(udev_device *d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

// What the scan needs to know of one USB device.
struct UsbDevice {
    unsigned vid = 0;
    unsigned pid = 0;
    std::wstring instance;            // serial number, or the bus-port path ("1-4.2")
    std::string node;                 // /dev/bus/usb/BBB/DDD, empty when the device has none
    std::vector<unsigned> interfaces;  // interface numbers of the active configuration, in order
};

std::wstring widen(const std::string &s)
{
    std::wstring w;
    w.reserve(s.size());
    for (unsigned char c : s)
        w.push_back(static_cast<wchar_t>(c));
    return w;
}

// A serial number as an instance part: printable ASCII only, and never the separator '#'.
std::wstring instanceText(const char *serial)
{
    std::wstring w;
    for (const char *p = serial; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        w.push_back(c < 0x21 || c > 0x7E || c == '#' ? L'_' : static_cast<wchar_t>(c));
    }
    return w;
}

bool parseHex(const char *text, unsigned &value)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 16);
    if (end == text || v > 0xFFFF)
        return false;
    value = static_cast<unsigned>(v);
    return true;
}

// The sysfs "descriptors" file: the device descriptor, then the configuration descriptors with their
// interfaces and endpoints. Fills the identifiers when the attributes lacked them, and the interface
// numbers of the first configuration.
void readDescriptors(udev_device *dev, UsbDevice &d, bool needIds)
{
    const char *syspath = udev_device_get_syspath(dev);
    if (!syspath)
        return;
    const std::string file = std::string(syspath) + "/descriptors";
    std::FILE *f = std::fopen(file.c_str(), "rb");
    if (!f)
        return;
    std::vector<uint8_t> bytes(65536);
    const size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    bytes.resize(n);
    if (n < 18 || bytes[1] != 1)
        return;
    if (needIds) {
        d.vid = static_cast<unsigned>(bytes[8] | bytes[9] << 8);
        d.pid = static_cast<unsigned>(bytes[10] | bytes[11] << 8);
    }
    size_t pos = 18;
    bool inFirstConfig = false;
    while (pos + 2 <= n) {
        const size_t len = bytes[pos];
        const uint8_t type = bytes[pos + 1];
        if (len < 2 || pos + len > n)
            break;
        if (type == 2) {  // configuration
            if (inFirstConfig)
                break;
            inFirstConfig = true;
        } else if (type == 4 && len >= 3 && inFirstConfig) {  // interface (each alternate setting)
            const unsigned number = bytes[pos + 2];
            bool known = false;
            for (unsigned i : d.interfaces)
                known = known || i == number;
            if (!known)
                d.interfaces.push_back(number);
        }
        pos += len;
    }
}

bool listUsbDevices(std::vector<UsbDevice> &out)
{
    UdevPtr<udev> u(udev_new());
    if (!u)
        return false;
    UdevPtr<udev_enumerate> e(udev_enumerate_new(u.get()));
    if (!e || udev_enumerate_add_match_subsystem(e.get(), "usb") < 0 ||
        udev_enumerate_add_match_property(e.get(), "DEVTYPE", "usb_device") < 0 ||
        udev_enumerate_scan_devices(e.get()) < 0)
        return false;
    udev_list_entry *entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get()))
    {
        UdevPtr<udev_device> dev(udev_device_new_from_syspath(u.get(), udev_list_entry_get_name(entry)));
        if (!dev)
            continue;
        UsbDevice d;
        const bool haveIds = parseHex(udev_device_get_sysattr_value(dev.get(), "idVendor"), d.vid) &&
                             parseHex(udev_device_get_sysattr_value(dev.get(), "idProduct"), d.pid);
        readDescriptors(dev.get(), d, !haveIds);
        if (!haveIds && d.vid == 0 && d.pid == 0)
            continue;
        const char *serial = udev_device_get_sysattr_value(dev.get(), "serial");
        d.instance = serial && *serial ? instanceText(serial) : widen(udev_device_get_sysname(dev.get()));
        if (const char *node = udev_device_get_devnode(dev.get()))
            d.node = node;
        out.push_back(std::move(d));
    }
    return true;
}

std::wstring hex4(unsigned v, bool upper)
{
    wchar_t buf[8];
    std::swprintf(buf, 8, upper ? L"%04X" : L"%04x", v & 0xFFFFu);
    return buf;
}

std::wstring upper(std::wstring s)
{
    for (wchar_t &c : s)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return s;
}

}  // namespace

bool usbDevicePaths(std::vector<std::wstring> &paths, std::wstring &error)
{
    std::vector<UsbDevice> devices;
    if (!listUsbDevices(devices)) {
        error = L"获取设备失败";
        return false;
    }
    for (const UsbDevice &d : devices)
        paths.push_back(L"\\\\?\\usb#vid_" + hex4(d.vid, false) + L"&pid_" + hex4(d.pid, false) + L"#" + d.instance +
                        L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    return true;
}

bool deviceDriverInstalled(const std::wstring &id, const std::wstring &suffix, const ScanLog &log)
{
    log(L"查找 ID:" + id);
    std::vector<UsbDevice> devices;
    if (!listUsbDevices(devices)) {
        std::fputs("获取设备信息集合失败\n", stderr);
        return false;
    }
    const std::wstring wantId = upper(id);
    const std::wstring wantSuffix = upper(suffix);
    for (const UsbDevice &d : devices) {
        const std::wstring base = L"USB\\VID_" + hex4(d.vid, true) + L"&PID_" + hex4(d.pid, true);
        // The device itself, then each of its interfaces, as Windows lists them.
        std::vector<std::wstring> ids{base + L"\\" + d.instance};
        for (unsigned i : d.interfaces) {
            wchar_t mi[16];
            std::swprintf(mi, 16, L"&MI_%02X\\", i & 0xFFu);
            ids.push_back(base + mi + d.instance + L"&" + hex4(i, true));
        }
        for (size_t k = 0; k < ids.size(); ++k) {
            const std::wstring instanceId = upper(ids[k]);
            if (instanceId.find(wantId) == std::wstring::npos)
                continue;
            if (instanceId.find(wantSuffix) == std::wstring::npos) {
                log(L"没有序号 表示路径不一致");
                continue;
            }
            log(L"找到设备  所有匹配一致");
            if (d.node.empty()) {
                log(L"查询设备注册表属性  不存在");
                continue;
            }
            if (::access(d.node.c_str(), R_OK | W_OK) == 0)
                return true;
            log(L"驱动没有安装");
            return false;
        }
    }
    return false;
}

}  // namespace viscana::platform

namespace viscana::platform {

DeviceAccess usbDeviceAccess(const std::vector<std::wstring> &ids)
{
    DeviceAccess result;
    std::vector<UsbDevice> devices;
    if (!listUsbDevices(devices))
        return result;
    for (const UsbDevice &d : devices) {
        const std::wstring path = upper(L"VID_" + hex4(d.vid, true) + L"&PID_" + hex4(d.pid, true) + L"#" + d.instance);
        bool camera = false;
        for (const std::wstring &id : ids)
            camera = camera || (!id.empty() && path.find(upper(id)) != std::wstring::npos);
        if (!camera)
            continue;
        ++result.present;
        if (!d.node.empty() && ::access(d.node.c_str(), R_OK | W_OK) == 0)
            ++result.accessible;
    }
    return result;
}

}  // namespace viscana::platform
