#pragma once
// A USB device as its bus sees it: descriptors, control requests and bulk transfers, with no transport.
// Transports drive a model: the usbredir server that puts it into a QEMU guest as a real USB device,
// and the stand-in libusb of the Windows tests. The umockdev camera keeps its own engine.
//
// Threading: a transport calls one model from one thread at a time. unplug()/plug() style controls
// that a model offers to tests may come from other threads; models guard their state for that.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace usbdev {

using Bytes = std::vector<uint8_t>;

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

enum class Result {
    Ok,       // done; an IN transfer's answer is in `data` (empty: a zero-length packet)
    Pending,  // nothing to answer yet (the device NAKs): the transport keeps the transfer and asks again
    Stall,    // the endpoint or the control request stalls
    Gone,     // the device has been unplugged
};

enum class Speed { Full, High, Super };

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    virtual Speed speed() const { return Speed::High; }
    // Descriptors as sent on the wire: the 18-byte device descriptor, and the whole first configuration
    // (configuration, interface and endpoint descriptors, wTotalLength bytes).
    virtual Bytes deviceDescriptor() const = 0;
    virtual Bytes configurationDescriptor() const = 0;
    // String descriptor `index` (0: the language list) in the USB UTF-16LE form; empty when absent.
    virtual Bytes stringDescriptor(uint8_t index) const = 0;

    // Class and vendor control requests (standard GET_DESCRIPTOR, SET_CONFIGURATION, SET_INTERFACE and
    // CLEAR_FEATURE(ENDPOINT_HALT) come through the calls below). An IN request fills `data` with at
    // most wLength bytes; an OUT request finds its wLength bytes in `data`.
    virtual Result control(const SetupPacket &setup, Bytes &data) = 0;
    virtual Result setConfiguration(uint8_t value) { (void)value; return Result::Ok; }
    virtual Result setInterface(uint8_t interface, uint8_t altSetting) = 0;
    virtual Result clearHalt(uint8_t endpoint) = 0;
    virtual void reset() = 0;

    // Bulk OUT on `endpoint` (0x01..0x0F).
    virtual Result bulkOut(uint8_t endpoint, const uint8_t *data, size_t length) = 0;
    // Bulk IN on `endpoint` (0x81..0x8F): at most `maxLength` bytes into `data`.
    virtual Result bulkIn(uint8_t endpoint, size_t maxLength, Bytes &data) = 0;

    // A model that answered Pending calls this when it may have an answer now (any thread), so a
    // transport can sleep instead of polling. Transports set it before the first transfer.
    void setWakeup(std::function<void()> wakeup) { wakeup_ = std::move(wakeup); }

protected:
    void wake() const { if (wakeup_) wakeup_(); }

private:
    std::function<void()> wakeup_;
};

}  // namespace usbdev
