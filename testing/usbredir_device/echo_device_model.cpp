#include "echo_device_model.h"

#include <cstring>

namespace usbdev {

Bytes EchoDeviceModel::deviceDescriptor() const
{
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x00, 0x00, 0x01, 1, 2, 3, 1};
}

Bytes EchoDeviceModel::configurationDescriptor() const
{
    return {9, 2, 32, 0, 1, 1, 0, 0x80, 50,          // one interface, bus powered, 100 mA
            9, 4, 0, 0, 2, 0xff, 0x00, 0x00, 0,      // vendor interface, two endpoints
            7, 5, 0x81, 2, 0x00, 0x02, 0,            // bulk IN 0x81, 512 bytes
            7, 5, 0x02, 2, 0x00, 0x02, 0};           // bulk OUT 0x02, 512 bytes
}

Bytes EchoDeviceModel::stringDescriptor(uint8_t index) const
{
    static const char *const texts[] = {nullptr, "Viscana Test", "Echo", "ECHO0001"};
    if (index == 0)
        return {4, 3, 0x09, 0x04};
    if (index >= sizeof texts / sizeof *texts)
        return {};
    Bytes d{0, 3};
    for (const char *c = texts[index]; *c; ++c) {
        d.push_back(uint8_t(*c));
        d.push_back(0);
    }
    d[0] = uint8_t(d.size());
    return d;
}

Result EchoDeviceModel::control(const SetupPacket &setup, Bytes &data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_)
        return Result::Gone;
    if (setup.bmRequestType == 0xC0 && setup.bRequest == 0x01) {
        data.assign(kEchoGreeting, kEchoGreeting + strlen(kEchoGreeting));
        return Result::Ok;
    }
    return Result::Stall;
}

Result EchoDeviceModel::setInterface(uint8_t interface, uint8_t altSetting)
{
    return interface == 0 && altSetting == 0 ? Result::Ok : Result::Stall;
}

Result EchoDeviceModel::clearHalt(uint8_t endpoint)
{
    std::lock_guard<std::mutex> lock(mutex_);
    halted_.erase(endpoint);
    return Result::Ok;
}

void EchoDeviceModel::reset()
{
    std::lock_guard<std::mutex> lock(mutex_);
    fifo_.clear();
    halted_.clear();
}

Result EchoDeviceModel::bulkOut(uint8_t endpoint, const uint8_t *data, size_t length)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (gone_)
            return Result::Gone;
        if (endpoint != 0x02 || halted_.count(endpoint))
            return Result::Stall;
        fifo_.insert(fifo_.end(), data, data + length);
    }
    wake();
    return Result::Ok;
}

Result EchoDeviceModel::bulkIn(uint8_t endpoint, size_t maxLength, Bytes &data)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (gone_)
        return Result::Gone;
    if (endpoint != 0x81 || halted_.count(endpoint))
        return Result::Stall;
    if (fifo_.empty())
        return Result::Pending;
    size_t n = std::min(maxLength, fifo_.size());
    data.assign(fifo_.begin(), fifo_.begin() + long(n));
    fifo_.erase(fifo_.begin(), fifo_.begin() + long(n));
    return Result::Ok;
}

void EchoDeviceModel::stall(uint8_t endpoint)
{
    std::lock_guard<std::mutex> lock(mutex_);
    halted_.insert(endpoint);
}

void EchoDeviceModel::unplug()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone_ = true;
    }
    wake();
}

void EchoDeviceModel::plug()
{
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = false;
    fifo_.clear();
    halted_.clear();
}

size_t EchoDeviceModel::buffered() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fifo_.size();
}

}  // namespace usbdev
