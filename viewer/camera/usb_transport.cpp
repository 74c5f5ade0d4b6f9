#include "usb_transport.h"

#include <QDebug>

#include <cstdio>

namespace {

constexpr uint8_t kVendorClass = 0xFF;
constexpr uint8_t kVendorSubClass = 0xF0;

bool isVendorSetting(const libusb_interface_descriptor &alt)
{
    return alt.bInterfaceClass == kVendorClass && alt.bInterfaceSubClass == kVendorSubClass;
}

bool isBulk(const libusb_endpoint_descriptor &ep)
{
    return (ep.bmAttributes & 0x03) == LIBUSB_TRANSFER_TYPE_BULK;
}

// Endpoint walk: the first bulk endpoints of the vendor settings fill the first pair, every later one
// goes to the second pair. A setting after whose walk the first pair is incomplete clears it again.
void findEndpoints(const libusb_config_descriptor *cfg, vs_usbdev_t *dev)
{
    for (int m = 0; m < cfg->bNumInterfaces; ++m) {
        const libusb_interface &intf = cfg->interface[m];
        qDebug() << "usb_cfg_desc->interface[m].num_altsetting:" << intf.num_altsetting;
        for (int a = 0; a < intf.num_altsetting; ++a) {
            const libusb_interface_descriptor &alt = intf.altsetting[a];
            qDebug() << "bInterfaceClass:" << static_cast<int>(alt.bInterfaceClass);
            qDebug() << "bInterfaceSubClass:" << static_cast<int>(alt.bInterfaceSubClass);
            if (!isVendorSetting(alt))
                continue;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor &ep = alt.endpoint[e];
                if (!isBulk(ep))
                    continue;
                const bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) != 0;
                if (dev->ep_out == 0) {
                    if (in)
                        dev->ep_in = ep.bEndpointAddress;
                    else
                        dev->ep_out = ep.bEndpointAddress;
                } else {
                    if (in)
                        dev->ep_in2 = ep.bEndpointAddress;
                    else
                        dev->ep_out2 = ep.bEndpointAddress;
                }
            }
            if (dev->ep_in == 0 || dev->ep_out == 0) {
                dev->ep_in = 0;
                dev->ep_out = 0;
            }
        }
    }
}

int bulk(vs_usbdev_t *dev, uint8_t ep, uint8_t *buf, int len, int *transferred, unsigned timeout_ms,
         const char *failText)
{
    int moved = 0;
    libusb_device_handle *handle = dev ? dev->handle.load() : nullptr;
    // A record without a device fails like a transfer to a device that has gone.
    const int r = handle ? libusb_bulk_transfer(handle, ep, buf, len, &moved, timeout_ms) : LIBUSB_ERROR_NO_DEVICE;
    if (transferred)
        *transferred = moved;
    if (r < 0) {
        qDebug(failText, r);
        return 255;
    }
    return 0;
}

}  // namespace

int USB_Lib_Start()
{
    return libusb_init(nullptr);
}

ssize_t USB_Get_Device_List(libusb_device ***list)
{
    return libusb_get_device_list(nullptr, list);
}

void USB_Lib_End(libusb_device **list)
{
    if (list)
        libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
}

int USB_cameraWifi_Open(uint16_t vid, uint16_t pid, vs_usbdev_t *dev)
{
    // 1. The handle: opened here by identifiers, unless the list walk already opened one.
    libusb_device_handle *handle = dev->handle.load();
    if (!handle) {
        handle = libusb_open_device_with_vid_pid(nullptr, vid, pid);
        if (!handle) {
            qDebug("[VID:0x%04x:PID:0x%04x] MSD Open failed!", vid, pid);
            return 255;
        }
        dev->handle.store(handle);
    }

    libusb_config_descriptor *cfg = nullptr;
    auto failEarly = [&]() {
        if (cfg)
            libusb_free_config_descriptor(cfg);
        dev->handle.store(nullptr);
        dev->dev = nullptr;
        libusb_close(handle);
        return 255;
    };

    // 2. The device behind the handle.
    dev->dev = libusb_get_device(handle);
    if (!dev->dev) {
        qDebug("[0x%04x:0x%04x] get dev failed!", vid, pid);
        return failEarly();
    }

    // 3. Device descriptor.
    libusb_device_descriptor desc;
    int r = libusb_get_device_descriptor(dev->dev, &desc);
    if (r < 0) {
        qDebug("[0x%04x:0x%04x] get dev_desc failed err with %d", vid, pid, r);
        return failEarly();
    }

    // 4. Configuration descriptor 0.
    r = libusb_get_config_descriptor(dev->dev, 0, &cfg);
    if (r < 0) {
        cfg = nullptr;
        qDebug("[0x%04x:0x%04x] get cfg_desc failed err with %d", vid, pid, r);
        return failEarly();
    }

    // 5. and 6. The endpoint pairs. From here on a failure leaves the handle open for USB_Close.
    findEndpoints(cfg, dev);
    if (dev->ep_in == 0 || dev->ep_out == 0) {
        qDebug("[0x%04x:0x%04x] get ep_addr failed!", vid, pid);
        libusb_free_config_descriptor(cfg);
        return 255;
    }

    // 7. Both interfaces claimed at alternate setting 0; only the last step is checked.
    libusb_claim_interface(handle, 1);
    libusb_set_interface_alt_setting(handle, 1, 0);
    libusb_claim_interface(handle, 0);
    r = libusb_set_interface_alt_setting(handle, 0, 0);
    if (r < 0) {
        qDebug("[0x%04x:0x%04x] claim intfc failed err with %d", vid, pid, static_cast<uint8_t>(r));
        libusb_release_interface(handle, 1);
        libusb_release_interface(handle, 0);
        libusb_free_config_descriptor(cfg);
        return r;
    }

    // 8. Clear halts of the first pair.
    r = libusb_clear_halt(handle, dev->ep_out);
    if (r < 0) {
        qDebug("[0x%04x:0x%04x] ep_out:%x clear halt failed err with %d", vid, pid, dev->ep_out, r);
        libusb_free_config_descriptor(cfg);
        return r;
    }
    r = libusb_clear_halt(handle, dev->ep_in);
    if (r < 0) {
        qDebug("[0x%04x:0x%04x] ep_in:%x clear halt failed err with %d", vid, pid, dev->ep_in, r);
        libusb_free_config_descriptor(cfg);
        return r;
    }

    // 9. Done: reset the device (its result is not looked at).
    libusb_free_config_descriptor(cfg);
    libusb_reset_device(handle);
    qDebug("[0x%04x:0x%04x]-[EP_IN:0x%02x, EP_OUT:0x%02x] Open success!", vid, pid, dev->ep_in, dev->ep_out);
    return 0;
}

int print_devs_libusb_open(libusb_device **list, libusb_device_handle **handle, uint16_t vid, uint16_t pid)
{
    if (!list)
        return LIBUSB_ERROR_NOT_FOUND;
    for (int i = 0; list[i]; ++i) {
        libusb_device *d = list[i];
        libusb_device_descriptor desc;
        const int r = libusb_get_device_descriptor(d, &desc);
        if (r < 0) {
            std::fprintf(stderr, "failed to get device descriptor");
            return r;
        }
        qDebug("print_devs_libusb_open %04x:%04x (bus %d, device %d)", desc.idVendor, desc.idProduct,
               libusb_get_bus_number(d), libusb_get_device_address(d));
        if (desc.idVendor == vid && desc.idProduct == pid)
            return libusb_open(d, handle);
        uint8_t path[8];
        const int depth = libusb_get_port_numbers(d, path, sizeof path);
        if (depth > 0) {
            qDebug(" path: %d", path[0]);
            for (int j = 1; j < depth; ++j)
                qDebug(".%d", path[j]);
        }
        qDebug("\n");
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

int USB_OUT_Set_Write(vs_usbdev_t *dev, uint8_t *buf, int len, int *transferred, unsigned timeout_ms)
{
    return bulk(dev, dev ? dev->ep_out : 0, buf, len, transferred, timeout_ms, "USB_OUT_Set_Write Write:%d");
}

int USB_IN_RetureData_Read(vs_usbdev_t *dev, uint8_t *buf, int len, int *transferred, unsigned timeout_ms)
{
    return bulk(dev, dev ? dev->ep_in : 0, buf, len, transferred, timeout_ms, "USB_IN_RetureData_Read Read:%d");
}

int USB_OUT_Set_Write2(vs_usbdev_t *dev, uint8_t *buf, int len, int *transferred, unsigned timeout_ms)
{
    return bulk(dev, dev ? dev->ep_out2 : 0, buf, len, transferred, timeout_ms, "USB_OUT_Set_Write2 Write:%d");
}

int USB_IN_RetureData_Read2(vs_usbdev_t *dev, uint8_t *buf, int len, int *transferred, unsigned timeout_ms)
{
    return bulk(dev, dev ? dev->ep_in2 : 0, buf, len, transferred, timeout_ms, "USB_IN_RetureData_Read2 Read:%d");
}

int USB_Close(vs_usbdev_t *dev)
{
    qDebug("USB_Close start");
    if (libusb_device_handle *handle = dev->handle.exchange(nullptr)) {
        libusb_release_interface(handle, 0);
        libusb_close(handle);
        dev->dev = nullptr;
    }
    qDebug("USB_Close end");
    return 0;
}
