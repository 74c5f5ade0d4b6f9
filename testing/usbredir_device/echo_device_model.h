#pragma once
// A minimal vendor device for testing transports: what is written to bulk OUT 0x02 comes back, in
// order, from bulk IN 0x81 (reads wait while there is nothing to return); vendor request 0x01
// (device-to-host) answers kEchoGreeting; stall() makes the next transfer on an endpoint stall until
// CLEAR_FEATURE(ENDPOINT_HALT); unplug() makes every transfer fail as with a pulled cable.
// Identity 1209:0001 (a test id, so no program of ours mistakes it for its own device).
#include "usb_device_model.h"

#include <deque>
#include <mutex>
#include <set>

namespace usbdev {

constexpr char kEchoGreeting[] = "usbredir echo device";

class EchoDeviceModel : public UsbDeviceModel {
public:
    Bytes deviceDescriptor() const override;
    Bytes configurationDescriptor() const override;
    Bytes stringDescriptor(uint8_t index) const override;
    Result control(const SetupPacket &setup, Bytes &data) override;
    Result setInterface(uint8_t interface, uint8_t altSetting) override;
    Result clearHalt(uint8_t endpoint) override;
    void reset() override;
    Result bulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override;
    Result bulkIn(uint8_t endpoint, size_t maxLength, Bytes &data) override;

    // Test controls; any thread.
    void stall(uint8_t endpoint);
    void unplug();
    void plug();
    size_t buffered() const;

private:
    mutable std::mutex mutex_;
    std::deque<uint8_t> fifo_;
    std::set<uint8_t> halted_;
    bool gone_ = false;
};

}  // namespace usbdev
