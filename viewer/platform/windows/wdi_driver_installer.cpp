#include "wdi_driver_installer.h"

#include <cstring>

namespace viscana::platform {

namespace {

// The library's public structures, as far as this program reads or fills them. The entry points use
// the WINAPI calling convention.
struct wdi_device_info {
    wdi_device_info *next;
    unsigned short vid;
    unsigned short pid;
    BOOL is_composite;
    unsigned char mi;
    char *desc;
    char *driver;
    char *device_id;
    char *hardware_id;
    char *compatible_id;
    char *upper_filter;
    UINT64 driver_version;
};

struct wdi_options_create_list {
    BOOL list_all;
    BOOL list_hubs;
    BOOL trim_whitespaces;
};

struct wdi_options_prepare_driver {
    int driver_type;
    char *vendor_name;
    char *device_guid;
    BOOL disable_cat;
    BOOL disable_signing;
    char *cert_subject;
    BOOL use_wcid_driver;
    BOOL external_inf;
};

constexpr int kWdiWinUsb = 0;

using CreateListFn = int(WINAPI *)(wdi_device_info **, wdi_options_create_list *);
using DestroyListFn = int(WINAPI *)(wdi_device_info *);
using PrepareDriverFn = int(WINAPI *)(wdi_device_info *, const char *, const char *,
                                      wdi_options_prepare_driver *);
using InstallDriverFn = int(WINAPI *)(wdi_device_info *, const char *, const char *, void *);
using SetLogLevelFn = int(WINAPI *)(int);
using StrErrorFn = const char *(WINAPI *)(int);

// A 32-bit build of the library may export its WINAPI functions decorated ("_name@bytes" from MSVC,
// "name@bytes" from MinGW) when it was linked without a definition file.
FARPROC findEntry(HMODULE module, const char *name, int argumentBytes)
{
    if (FARPROC f = GetProcAddress(module, name))
        return f;
    const std::string suffix = "@" + std::to_string(argumentBytes);
    if (FARPROC f = GetProcAddress(module, ("_" + std::string(name) + suffix).c_str()))
        return f;
    return GetProcAddress(module, (std::string(name) + suffix).c_str());
}

template <typename Fn>
bool bind(HMODULE module, Fn &fn, const char *name, int argumentBytes, std::string &missing)
{
    fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(findEntry(module, name, argumentBytes)));
    if (!fn) {
        if (!missing.empty())
            missing += ", ";
        missing += name;
    }
    return fn != nullptr;
}

std::string narrow(const std::wstring &text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return {};
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace

struct WdiDriverInstaller::Api {
    CreateListFn createList = nullptr;
    DestroyListFn destroyList = nullptr;
    PrepareDriverFn prepareDriver = nullptr;
    InstallDriverFn installDriver = nullptr;
    SetLogLevelFn setLogLevel = nullptr;
    StrErrorFn strError = nullptr;
};

WdiDriverInstaller::WdiDriverInstaller(const std::wstring &library) : api_(new Api)
{
    module_ = LoadLibraryW(library.c_str());
    if (!module_) {
        loadError_ = narrow(library) + " could not be loaded (Windows error " +
                     std::to_string(GetLastError()) + ")";
        return;
    }
    const int p = static_cast<int>(sizeof(void *));
    std::string missing;
    bool ok = bind(module_, api_->createList, "wdi_create_list", 2 * p, missing);
    ok = bind(module_, api_->destroyList, "wdi_destroy_list", p, missing) && ok;
    ok = bind(module_, api_->prepareDriver, "wdi_prepare_driver", 4 * p, missing) && ok;
    ok = bind(module_, api_->installDriver, "wdi_install_driver", 4 * p, missing) && ok;
    ok = bind(module_, api_->setLogLevel, "wdi_set_log_level", 4, missing) && ok;
    ok = bind(module_, api_->strError, "wdi_strerror", 4, missing) && ok;
    if (!ok) {
        loadError_ = narrow(library) + " lacks " + missing;
        FreeLibrary(module_);
        module_ = nullptr;
        return;
    }
    loaded_ = true;
}

WdiDriverInstaller::~WdiDriverInstaller()
{
    destroyList();
    if (module_)
        FreeLibrary(module_);
    delete api_;
}

int WdiDriverInstaller::createList(std::vector<DriverDevice> &devices)
{
    devices.clear();
    destroyList();
    if (!loaded_)
        return kInstallErrorNotFound;
    // Driverless devices only: no "list all", no hubs, descriptions as the device gives them.
    wdi_options_create_list options{FALSE, FALSE, FALSE};
    wdi_device_info *list = nullptr;
    int r = api_->createList(&list, &options);
    list_ = list;
    if (r != kInstallOk)
        return r;
    for (wdi_device_info *d = list; d; d = d->next) {
        DriverDevice device;
        device.vid = d->vid;
        device.pid = d->pid;
        device.description = d->desc ? d->desc : "";
        device.native = d;
        devices.push_back(device);
    }
    return kInstallOk;
}

void WdiDriverInstaller::destroyList()
{
    if (list_ && loaded_)
        api_->destroyList(static_cast<wdi_device_info *>(list_));
    list_ = nullptr;
}

void WdiDriverInstaller::setLogLevel(int level)
{
    if (loaded_)
        api_->setLogLevel(level);
}

int WdiDriverInstaller::prepareDriver(const DriverDevice &device, const std::string &folder,
                                      const std::string &infName)
{
    if (!loaded_)
        return kInstallErrorNotFound;
    if (!device.native)
        return kInstallErrorInvalidParam;
    wdi_options_prepare_driver options;
    std::memset(&options, 0, sizeof(options));
    options.driver_type = kWdiWinUsb;
    auto *info = static_cast<wdi_device_info *>(const_cast<void *>(device.native));
    return api_->prepareDriver(info, folder.c_str(), infName.c_str(), &options);
}

int WdiDriverInstaller::installDriver(const DriverDevice &device, const std::string &folder,
                                      const std::string &infName)
{
    if (!loaded_)
        return kInstallErrorNotFound;
    if (!device.native)
        return kInstallErrorInvalidParam;
    auto *info = static_cast<wdi_device_info *>(const_cast<void *>(device.native));
    return api_->installDriver(info, folder.c_str(), infName.c_str(), nullptr);
}

std::string WdiDriverInstaller::errorText(int code) const
{
    if (!loaded_)
        return loadError_;
    const char *text = api_->strError(code);
    return text ? text : "unknown error " + std::to_string(code);
}

std::unique_ptr<DriverInstaller> createDriverInstaller()
{
    return std::make_unique<WdiDriverInstaller>();
}

}  // namespace viscana::platform
