// --bridge DIR: the virtual bridge kept in DIR (made by `quillon --virtual DIR init`) as a USB
// mass-storage device, its public disk on LUN 0 and its cipher disk on LUN 1.
#include "served_models.h"
#include "stored_bridge_usb.h"

namespace usbredir {
namespace {

// Owns the stored bridge; the served model is its USB device. The bridge is saved when the program ends.
class BridgeModel : public usbdev::UsbDeviceModel {
public:
    explicit BridgeModel(std::unique_ptr<quillon::testing::StoredBridgeUsb> stored)
        : stored_(std::move(stored)), device_(stored_->Device()) {}
    usbdev::Speed speed() const override { return device_.speed(); }
    usbdev::Bytes deviceDescriptor() const override { return device_.deviceDescriptor(); }
    usbdev::Bytes configurationDescriptor() const override { return device_.configurationDescriptor(); }
    usbdev::Bytes stringDescriptor(uint8_t index) const override { return device_.stringDescriptor(index); }
    usbdev::Result control(const usbdev::SetupPacket &setup, usbdev::Bytes &data) override
    {
        return device_.control(setup, data);
    }
    usbdev::Result setConfiguration(uint8_t value) override { return device_.setConfiguration(value); }
    usbdev::Result setInterface(uint8_t interface, uint8_t alt) override { return device_.setInterface(interface, alt); }
    usbdev::Result clearHalt(uint8_t endpoint) override { return device_.clearHalt(endpoint); }
    void reset() override { device_.reset(); }
    usbdev::Result bulkOut(uint8_t endpoint, const uint8_t *data, size_t length) override
    {
        return device_.bulkOut(endpoint, data, length);
    }
    usbdev::Result bulkIn(uint8_t endpoint, size_t maxLength, usbdev::Bytes &data) override
    {
        return device_.bulkIn(endpoint, maxLength, data);
    }
    uint64_t commands() const { return device_.Commands(); }
    void forwardWakeup() { device_.setWakeup([this] { wake(); }); }

private:
    std::unique_ptr<quillon::testing::StoredBridgeUsb> stored_;
    quillon::testing::VirtualBridgeUsb &device_;
};

}  // namespace

ModelKind bridgeModelKind()
{
    return {"--bridge", "--bridge DIR                the virtual bridge kept in DIR as a USB disk (1209:0002)",
            [](const std::vector<std::string> &args, ServedDevice &out, std::string &error) {
                if (args.size() != 1) {
                    error = "--bridge takes the bridge's folder (quillon --virtual DIR init)";
                    return false;
                }
                auto stored = quillon::testing::StoredBridgeUsb::Open(args[0], &error);
                if (!stored)
                    return false;
                auto model = std::make_unique<BridgeModel>(std::move(stored));
                model->forwardWakeup();
                auto *bridge = model.get();
                out.stats = [bridge] { return "commands=" + std::to_string(bridge->commands()); };
                out.model = std::move(model);
                return true;
            }};
}

}  // namespace usbredir
