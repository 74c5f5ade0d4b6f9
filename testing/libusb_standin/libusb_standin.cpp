// A libusb-1.0.dll for tests under Wine, which has no USB devices: the libusb calls a program makes,
// with the real library's ABI (its header, WINAPI calls, its export names), answered by one virtual
// camera (CameraDeviceModel) on bus 1, port 1. Set up by VCAM_* environment variables
// (standin_config.h), unplugged, plugged and given a photo-button press through named events
// (standin_control.h). While the camera is plugged in, the Setup API sees it too (device_records.h):
// the stand-in keeps Windows' device records of it from the moment it is loaded.
//
// Where Windows' libusb behaves in its own way, the stand-in does the same: libusb_reset_device resets
// the pipes of the claimed interfaces (WinUSB has no port reset), so the camera keeps its settings.

#include "camera_device_model.h"
#include "device_records.h"
#include "standin_config.h"
#include "standin_control.h"

#include <libusb-1.0/libusb.h>

#include <dbt.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using usbdev::Bytes;
using usbdev::Result;

struct libusb_context {
    int unused = 0;
};

struct libusb_device {
    std::atomic<int> refs{1};
    uint32_t generation = 0;  // which plug-in of the camera this is
    uint8_t address = 0;
};

struct libusb_device_handle {
    libusb_device *device = nullptr;
    bool claimed[2] = {false, false};
    uint8_t alt[2] = {0, 0};
};

namespace {

constexpr uint8_t kBus = 1;
constexpr uint8_t kPort = 1;
constexpr int kInterfaces = 2;

// The one camera of the process and what libusb has handed out for it.
struct Bus {
    standin::Settings settings;
    std::unique_ptr<vcam::CameraDeviceModel> model;

    std::mutex mutex;
    std::condition_variable wakeCv;
    uint64_t wakes = 0;
    uint32_t generation = 1;
    uint8_t address = 2;
    int contexts = 0;  // libusb_init calls not yet ended
    libusb_device *current = nullptr;  // the present camera's device (referenced), null while unplugged
    std::map<const libusb_config_descriptor *, std::shared_ptr<void>> configs;  // owners of the copies

    HANDLE events[3] = {nullptr, nullptr, nullptr};  // unplug, plug, photo
    HANDLE done = nullptr;
};

standin::DeviceRecord recordOf(const standin::Settings &s)
{
    return {s.camera.vendorId, s.camera.productId, s.camera.serial, s.driver};
}

// Created on the first libusb_init and kept to the end of the process: a model thread must not be
// joined while the loader lock is held (DLL unload), and the test programs exit without unloading.
Bus *g_bus = nullptr;
std::mutex g_busMutex;
std::string g_initError;

Bus *bus()
{
    std::lock_guard<std::mutex> lock(g_busMutex);
    return g_bus;
}

int toLibusb(Result r)
{
    switch (r) {
    case Result::Ok: return LIBUSB_SUCCESS;
    case Result::Pending: return LIBUSB_ERROR_TIMEOUT;
    case Result::Stall: return LIBUSB_ERROR_PIPE;
    case Result::Gone: return LIBUSB_ERROR_NO_DEVICE;
    }
    return LIBUSB_ERROR_OTHER;
}

// Tells the top-level windows that device nodes changed, as Windows does on arrival and removal.
void broadcastDeviceChange()
{
    PostMessageW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
}

// The model has been unplugged already (outside the lock: it wakes waiting transfers, which take it).
void unplugLocked(Bus &b)
{
    if (!b.current)
        return;
    libusb_device *gone = b.current;
    b.current = nullptr;
    if (--gone->refs == 0)
        delete gone;
}

void plugLocked(Bus &b)
{
    if (b.current)
        return;
    b.model->plug();
    auto *d = new libusb_device;
    d->generation = ++b.generation;
    d->address = ++b.address;  // a replugged device gets a new address, as on hardware
    b.current = d;
}

DWORD WINAPI controlThread(void *)
{
    Bus &b = *g_bus;
    for (;;) {
        const DWORD which = WaitForMultipleObjects(3, b.events, FALSE, INFINITE);
        if (which == WAIT_OBJECT_0 + 2) {
            b.model->pressPhotoButton(1);
        } else if (which == WAIT_OBJECT_0 || which == WAIT_OBJECT_0 + 1) {
            const bool plug = which == WAIT_OBJECT_0 + 1;
            if (!plug)
                b.model->unplug();
            {
                std::lock_guard<std::mutex> lock(b.mutex);
                if (plug)
                    plugLocked(b);
                else
                    unplugLocked(b);
            }
            if (!standin::publishDeviceRecords(recordOf(b.settings), plug))
                std::fprintf(stderr, "libusb stand-in: the device records could not be %s\n",
                             plug ? "written" : "removed");
            broadcastDeviceChange();
        } else {
            return 1;
        }
        SetEvent(b.done);
    }
}

bool createBus()
{
    std::lock_guard<std::mutex> lock(g_busMutex);
    if (g_bus)
        return true;
    standin::Settings settings;
    std::string error;
    if (!standin::readSettings([](const char *name) { return std::getenv(name); }, settings, error)) {
        g_initError = error;
        std::fprintf(stderr, "libusb stand-in: %s\n", error.c_str());
        return false;
    }
    auto *b = new Bus;
    b->settings = settings;
    b->model = std::make_unique<vcam::CameraDeviceModel>(settings.camera);
    for (uint32_t frame : settings.photoFrames)
        b->model->pressPhotoButtonAt(frame);
    b->model->setWakeup([b] {
        std::lock_guard<std::mutex> l(b->mutex);
        ++b->wakes;
        b->wakeCv.notify_all();
    });
    if (settings.plugged) {
        b->current = new libusb_device;
        b->current->generation = b->generation;
        b->current->address = b->address;
    } else {
        b->model->unplug();
    }
    const wchar_t *names[3] = {standin::kUnplugEvent, standin::kPlugEvent, standin::kPhotoEvent};
    for (int i = 0; i < 3; ++i)
        b->events[i] = CreateEventW(nullptr, FALSE, FALSE, names[i]);
    b->done = CreateEventW(nullptr, FALSE, FALSE, standin::kDoneEvent);
    g_bus = b;
    if (b->events[0] && b->events[1] && b->events[2] && b->done) {
        if (HANDLE t = CreateThread(nullptr, 0, controlThread, nullptr, 0, nullptr))
            CloseHandle(t);
    }
    return true;
}

// The device behind `dev` is the camera as it is plugged in now.
bool presentLocked(Bus &b, const libusb_device *dev)
{
    return dev && b.current && b.current->generation == dev->generation;
}

bool parseDeviceDescriptor(const Bytes &d, libusb_device_descriptor *out)
{
    if (d.size() < 18)
        return false;
    out->bLength = d[0];
    out->bDescriptorType = d[1];
    out->bcdUSB = static_cast<uint16_t>(d[2] | d[3] << 8);
    out->bDeviceClass = d[4];
    out->bDeviceSubClass = d[5];
    out->bDeviceProtocol = d[6];
    out->bMaxPacketSize0 = d[7];
    out->idVendor = static_cast<uint16_t>(d[8] | d[9] << 8);
    out->idProduct = static_cast<uint16_t>(d[10] | d[11] << 8);
    out->bcdDevice = static_cast<uint16_t>(d[12] | d[13] << 8);
    out->iManufacturer = d[14];
    out->iProduct = d[15];
    out->iSerialNumber = d[16];
    out->bNumConfigurations = d[17];
    return true;
}

// A configuration descriptor in libusb's form; one allocation owns every part.
struct ConfigCopy {
    libusb_config_descriptor config{};
    std::vector<libusb_interface> interfaces;
    std::vector<std::vector<libusb_interface_descriptor>> settings;
    std::vector<std::vector<std::vector<libusb_endpoint_descriptor>>> endpoints;
};

std::shared_ptr<ConfigCopy> parseConfig(const Bytes &d)
{
    if (d.size() < 9 || d[1] != LIBUSB_DT_CONFIG)
        return nullptr;
    auto c = std::make_shared<ConfigCopy>();
    c->config.bLength = d[0];
    c->config.bDescriptorType = d[1];
    c->config.wTotalLength = static_cast<uint16_t>(d[2] | d[3] << 8);
    c->config.bNumInterfaces = d[4];
    c->config.bConfigurationValue = d[5];
    c->config.iConfiguration = d[6];
    c->config.bmAttributes = d[7];
    c->config.MaxPower = d[8];
    c->settings.resize(d[4]);
    c->endpoints.resize(d[4]);
    int current = -1;
    for (size_t i = d[0]; i + 2 <= d.size() && d[i] >= 2 && i + d[i] <= d.size(); i += d[i]) {
        if (d[i + 1] == LIBUSB_DT_INTERFACE && d[i] >= 9) {
            current = d[i + 2];
            if (current >= static_cast<int>(c->settings.size()))
                return nullptr;
            libusb_interface_descriptor s{};
            s.bLength = d[i];
            s.bDescriptorType = d[i + 1];
            s.bInterfaceNumber = d[i + 2];
            s.bAlternateSetting = d[i + 3];
            s.bNumEndpoints = d[i + 4];
            s.bInterfaceClass = d[i + 5];
            s.bInterfaceSubClass = d[i + 6];
            s.bInterfaceProtocol = d[i + 7];
            s.iInterface = d[i + 8];
            c->settings[static_cast<size_t>(current)].push_back(s);
            c->endpoints[static_cast<size_t>(current)].emplace_back();
        } else if (d[i + 1] == LIBUSB_DT_ENDPOINT && d[i] >= 7 && current >= 0) {
            libusb_endpoint_descriptor e{};
            e.bLength = d[i];
            e.bDescriptorType = d[i + 1];
            e.bEndpointAddress = d[i + 2];
            e.bmAttributes = d[i + 3];
            e.wMaxPacketSize = static_cast<uint16_t>(d[i + 4] | d[i + 5] << 8);
            e.bInterval = d[i + 6];
            c->endpoints[static_cast<size_t>(current)].back().push_back(e);
        }
    }
    c->interfaces.resize(c->settings.size());
    for (size_t n = 0; n < c->settings.size(); ++n) {
        for (size_t a = 0; a < c->settings[n].size(); ++a) {
            c->settings[n][a].endpoint = c->endpoints[n][a].empty() ? nullptr : c->endpoints[n][a].data();
            c->settings[n][a].bNumEndpoints = static_cast<uint8_t>(c->endpoints[n][a].size());
        }
        c->interfaces[n].altsetting = c->settings[n].data();
        c->interfaces[n].num_altsetting = static_cast<int>(c->settings[n].size());
    }
    c->config.interface = c->interfaces.data();
    return c;
}

// Endpoints of the settings the handle has selected on its claimed interfaces.
std::vector<uint8_t> claimedEndpoints(const libusb_device_handle *h)
{
    std::vector<uint8_t> eps;
    if (h->claimed[0]) {
        eps.push_back(0x81);
        eps.push_back(0x01);
    }
    if (h->claimed[1] && h->alt[1] == 1) {
        eps.push_back(0x82);
        eps.push_back(0x02);
    }
    return eps;
}

// Whether the handle's device is still the one plugged in (a replug makes a new device).
bool handlePresent(Bus &b, const libusb_device_handle *h)
{
    std::lock_guard<std::mutex> lock(b.mutex);
    return presentLocked(b, h->device);
}

// A transfer on an endpoint needs its interface claimed (and set) and the device still there.
int endpointUsable(Bus &b, const libusb_device_handle *h, unsigned char endpoint)
{
    const std::vector<uint8_t> eps = claimedEndpoints(h);
    if (std::find(eps.begin(), eps.end(), endpoint) == eps.end())
        return LIBUSB_ERROR_NOT_FOUND;
    return handlePresent(b, h) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

const char *errorName(int code)
{
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
    }
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **ctx)
{
    if (!createBus())
        return LIBUSB_ERROR_INVALID_PARAM;
    Bus &b = *bus();
    std::lock_guard<std::mutex> lock(b.mutex);
    ++b.contexts;
    if (ctx)
        *ctx = new libusb_context;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context *ctx)
{
    if (Bus *b = bus()) {
        std::lock_guard<std::mutex> lock(b->mutex);
        if (b->contexts > 0)
            --b->contexts;
    }
    delete ctx;
}

void LIBUSB_CALL libusb_set_debug(libusb_context *, int) {}

int LIBUSB_CALL libusb_set_option(libusb_context *, enum libusb_option, ...)
{
    return LIBUSB_SUCCESS;
}

const struct libusb_version *LIBUSB_CALL libusb_get_version(void)
{
    static const libusb_version version = {1, 0, 26, 0, "", "stand-in camera"};
    return &version;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability)
{
    return capability == LIBUSB_CAP_HAS_CAPABILITY ? 1 : 0;
}

const char *LIBUSB_CALL libusb_error_name(int errcode)
{
    return errorName(errcode);
}

const char *LIBUSB_CALL libusb_strerror(int errcode)
{
    return errorName(errcode);
}

int LIBUSB_CALL libusb_setlocale(const char *)
{
    return LIBUSB_SUCCESS;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    Bus *b = bus();
    if (!b || !list)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(b->mutex);
    const ssize_t n = b->current ? 1 : 0;
    auto **out = static_cast<libusb_device **>(std::calloc(static_cast<size_t>(n) + 1, sizeof(libusb_device *)));
    if (!out)
        return LIBUSB_ERROR_NO_MEM;
    if (b->current) {
        ++b->current->refs;
        out[0] = b->current;
    }
    *list = out;
    return n;
}

libusb_device *LIBUSB_CALL libusb_ref_device(libusb_device *dev)
{
    if (dev)
        ++dev->refs;
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device *dev)
{
    if (dev && --dev->refs == 0)
        delete dev;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices)
{
    if (!list)
        return;
    if (unref_devices)
        for (libusb_device **d = list; *d; ++d)
            libusb_unref_device(*d);
    std::free(list);
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *)
{
    return kBus;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device *)
{
    return kPort;
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device *, uint8_t *port_numbers, int port_numbers_len)
{
    if (!port_numbers || port_numbers_len < 1)
        return LIBUSB_ERROR_OVERFLOW;
    port_numbers[0] = kPort;
    return 1;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *dev)
{
    return dev ? dev->address : 0;
}

libusb_device *LIBUSB_CALL libusb_get_parent(libusb_device *)
{
    return nullptr;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device *)
{
    return LIBUSB_SPEED_HIGH;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc)
{
    Bus *b = bus();
    if (!b || !dev || !desc)
        return LIBUSB_ERROR_INVALID_PARAM;
    // Windows' libusb keeps the descriptor it read at enumeration: it answers for a device that has gone.
    return parseDeviceDescriptor(b->model->deviceDescriptor(), desc) ? LIBUSB_SUCCESS : LIBUSB_ERROR_IO;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device *dev, uint8_t config_index,
                                             libusb_config_descriptor **config)
{
    Bus *b = bus();
    if (!b || !dev || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (config_index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    std::shared_ptr<ConfigCopy> copy = parseConfig(b->model->configurationDescriptor());
    if (!copy)
        return LIBUSB_ERROR_IO;
    std::lock_guard<std::mutex> lock(b->mutex);
    *config = &copy->config;
    b->configs[&copy->config] = copy;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device *dev, libusb_config_descriptor **config)
{
    return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device *dev, uint8_t value,
                                                      libusb_config_descriptor **config)
{
    return value == 1 ? libusb_get_config_descriptor(dev, 0, config) : LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor *config)
{
    Bus *b = bus();
    if (!b || !config)
        return;
    std::lock_guard<std::mutex> lock(b->mutex);
    b->configs.erase(config);
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device *, unsigned char endpoint)
{
    return (endpoint & 0x7F) >= 1 && (endpoint & 0x7F) <= 2 ? 512 : LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_open(libusb_device *dev, libusb_device_handle **dev_handle)
{
    Bus *b = bus();
    if (!b || !dev || !dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(b->mutex);
    if (!presentLocked(*b, dev))
        return LIBUSB_ERROR_NO_DEVICE;
    auto *h = new libusb_device_handle;
    h->device = dev;
    ++dev->refs;
    *dev_handle = h;
    return LIBUSB_SUCCESS;
}

libusb_device_handle *LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context *, uint16_t vendor_id,
                                                                   uint16_t product_id)
{
    Bus *b = bus();
    if (!b)
        return nullptr;
    libusb_device *dev = nullptr;
    {
        std::lock_guard<std::mutex> lock(b->mutex);
        const vcam::CameraModelConfig &c = b->settings.camera;
        if (!b->current || c.vendorId != vendor_id || c.productId != product_id)
            return nullptr;
        dev = b->current;
    }
    libusb_device_handle *h = nullptr;
    return libusb_open(dev, &h) == LIBUSB_SUCCESS ? h : nullptr;
}

void LIBUSB_CALL libusb_close(libusb_device_handle *dev_handle)
{
    if (!dev_handle)
        return;
    // The handle itself stays allocated: another thread may still be inside a transfer on it, which a
    // test program cannot always rule out; such a transfer ends with LIBUSB_ERROR_NO_DEVICE.
    libusb_device *dev = nullptr;
    if (Bus *b = bus()) {
        std::lock_guard<std::mutex> lock(b->mutex);
        dev = dev_handle->device;
        dev_handle->device = nullptr;
        dev_handle->claimed[0] = dev_handle->claimed[1] = false;
    }
    libusb_unref_device(dev);
}

libusb_device *LIBUSB_CALL libusb_get_device(libusb_device_handle *dev_handle)
{
    return dev_handle ? dev_handle->device : nullptr;
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle *dev_handle, int *config)
{
    Bus *b = bus();
    if (!b || !dev_handle || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(b->mutex);
    if (!presentLocked(*b, dev_handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *dev_handle, int configuration)
{
    Bus *b = bus();
    if (!b || !dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard<std::mutex> lock(b->mutex);
    if (!presentLocked(*b, dev_handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    return configuration == 1 ? LIBUSB_SUCCESS : LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *dev_handle, int interface_number)
{
    Bus *b = bus();
    if (!b || !dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (interface_number < 0 || interface_number >= kInterfaces)
        return LIBUSB_ERROR_NOT_FOUND;
    std::lock_guard<std::mutex> lock(b->mutex);
    if (!presentLocked(*b, dev_handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    dev_handle->claimed[interface_number] = true;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle *dev_handle, int interface_number)
{
    Bus *b = bus();
    if (!b || !dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (interface_number < 0 || interface_number >= kInterfaces || !dev_handle->claimed[interface_number])
        return LIBUSB_ERROR_NOT_FOUND;
    std::lock_guard<std::mutex> lock(b->mutex);
    dev_handle->claimed[interface_number] = false;
    return presentLocked(*b, dev_handle->device) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle *dev_handle, int interface_number,
                                                 int alternate_setting)
{
    Bus *b = bus();
    if (!b || !dev_handle || alternate_setting < 0 || alternate_setting > 255)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (interface_number < 0 || interface_number >= kInterfaces || !dev_handle->claimed[interface_number])
        return LIBUSB_ERROR_NOT_FOUND;
    if (!handlePresent(*b, dev_handle))
        return LIBUSB_ERROR_NO_DEVICE;
    const Result r = b->model->setInterface(static_cast<uint8_t>(interface_number),
                                            static_cast<uint8_t>(alternate_setting));
    if (r == Result::Ok)
        dev_handle->alt[interface_number] = static_cast<uint8_t>(alternate_setting);
    return r == Result::Stall ? LIBUSB_ERROR_NOT_FOUND : toLibusb(r);
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *dev_handle, unsigned char endpoint)
{
    Bus *b = bus();
    if (!b || !dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (const int r = endpointUsable(*b, dev_handle, endpoint); r != LIBUSB_SUCCESS)
        return r;
    return toLibusb(b->model->clearHalt(endpoint));
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle *dev_handle)
{
    Bus *b = bus();
    if (!b || !dev_handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!handlePresent(*b, dev_handle))
        return LIBUSB_ERROR_NO_DEVICE;
    // WinUSB cannot reset the port: libusb resets the pipes of the claimed interfaces instead.
    for (uint8_t ep : claimedEndpoints(dev_handle)) {
        const Result r = b->model->clearHalt(ep);
        if (r == Result::Gone)
            return LIBUSB_ERROR_NO_DEVICE;
    }
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle *, int)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle *, int)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle *, int)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle *, int)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint, unsigned char *data,
                                     int length, int *actual_length, unsigned int timeout)
{
    if (actual_length)
        *actual_length = 0;
    Bus *b = bus();
    if (!b || !dev_handle || length < 0 || (length > 0 && !data))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (const int r = endpointUsable(*b, dev_handle, endpoint); r != LIBUSB_SUCCESS)
        return r;
    if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
        const Result r = b->model->bulkOut(endpoint, data, static_cast<size_t>(length));
        if (r == Result::Ok && actual_length)
            *actual_length = length;
        return toLibusb(r);
    }
    // A read waits, as long as the time-out allows (0: for ever), until the camera has something.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    Bytes got;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(b->mutex);
            seen = b->wakes;
        }
        const Result r = b->model->bulkIn(endpoint, static_cast<size_t>(length), got);
        if (r == Result::Ok) {
            const size_t n = std::min(got.size(), static_cast<size_t>(length));
            if (n > 0)
                std::memcpy(data, got.data(), n);
            if (actual_length)
                *actual_length = static_cast<int>(n);
            return LIBUSB_SUCCESS;
        }
        if (r != Result::Pending)
            return toLibusb(r);
        std::unique_lock<std::mutex> lock(b->mutex);
        const auto woken = [&] { return b->wakes != seen; };
        if (timeout == 0) {
            b->wakeCv.wait(lock, woken);
        } else if (!b->wakeCv.wait_until(lock, deadline, woken)) {
            return LIBUSB_ERROR_TIMEOUT;
        }
    }
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *dev_handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char *data, uint16_t wLength,
                                        unsigned int)
{
    Bus *b = bus();
    if (!b || !dev_handle || (wLength > 0 && !data))
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!handlePresent(*b, dev_handle))
        return LIBUSB_ERROR_NO_DEVICE;
    Bytes reply;
    if (request_type == LIBUSB_ENDPOINT_IN && bRequest == LIBUSB_REQUEST_GET_DESCRIPTOR) {
        const uint8_t type = static_cast<uint8_t>(wValue >> 8), index = static_cast<uint8_t>(wValue & 0xFF);
        if (type == LIBUSB_DT_DEVICE)
            reply = b->model->deviceDescriptor();
        else if (type == LIBUSB_DT_CONFIG && index == 0)
            reply = b->model->configurationDescriptor();
        else if (type == LIBUSB_DT_STRING)
            reply = b->model->stringDescriptor(index);
        if (reply.empty())
            return LIBUSB_ERROR_PIPE;
    } else {
        usbdev::SetupPacket setup{request_type, bRequest, wValue, wIndex, wLength};
        if (!(request_type & LIBUSB_ENDPOINT_IN) && wLength > 0)
            reply.assign(data, data + wLength);
        const Result r = b->model->control(setup, reply);
        if (r != Result::Ok)
            return toLibusb(r);
        if (!(request_type & LIBUSB_ENDPOINT_IN))
            return wLength;
    }
    const size_t n = std::min(reply.size(), static_cast<size_t>(wLength));
    if (n > 0)
        std::memcpy(data, reply.data(), n);
    return static_cast<int>(n);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle *dev_handle, uint8_t desc_index,
                                                   unsigned char *data, int length)
{
    if (!data || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (desc_index == 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char raw[255];
    const int r = libusb_control_transfer(dev_handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                          static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | desc_index), 0x0409, raw,
                                          sizeof raw, 1000);
    if (r < 0)
        return r;
    if (r < 2 || raw[1] != LIBUSB_DT_STRING || raw[0] > r)
        return LIBUSB_ERROR_IO;
    int n = 0;
    for (int i = 2; i + 1 < raw[0] && n < length - 1; i += 2)
        data[n++] = raw[i + 1] ? '?' : raw[i];
    data[n] = 0;
    return n;
}

// The device records go in as soon as the program starts, before its first scan, and go when it ends,
// so that later programs in the same Wine prefix see no camera.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void *)
{
    static standin::Settings settings;
    static bool published = false;
    if (reason == DLL_PROCESS_ATTACH) {
        std::string error;
        if (standin::readSettings([](const char *name) { return std::getenv(name); }, settings, error)) {
            published = true;
            if (!standin::publishDeviceRecords(recordOf(settings), settings.plugged))
                std::fprintf(stderr, "libusb stand-in: the device records could not be written\n");
        }
    } else if (reason == DLL_PROCESS_DETACH && published) {
        standin::publishDeviceRecords(recordOf(settings), false);
    }
    return TRUE;
}

}  // extern "C"
