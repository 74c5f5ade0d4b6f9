// --bridge DIR: the virtual bridge kept in DIR (made by `quillon --virtual DIR init`) as a USB
// mass-storage device, its public disk on LUN 0 and its cipher disk on LUN 1. --bridge --new: a fresh
// bridge (FCC1, W25X40 flash, 72 MiB disk) in a temporary folder that goes when the program ends.
#include "served_models.h"
#include "stored_bridge_usb.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>

namespace usbredir {
namespace {

// Owns the stored bridge; the served model is its USB device. The bridge is saved when the program ends.
class BridgeModel : public usbdev::UsbDeviceModel {
public:
    BridgeModel(std::unique_ptr<quillon::testing::StoredBridgeUsb> stored, std::string tempDir)
        : stored_(std::move(stored)), device_(stored_->Device()), tempDir_(std::move(tempDir)) {}
    ~BridgeModel() override
    {
        stored_.reset();  // saved and released first
        if (!tempDir_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(tempDir_, ec);
        }
    }
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
    std::string tempDir_;  // the folder --new made, removed at the end
};

// A fresh bridge in a new temporary folder; empty with `error` set when it cannot be made.
std::string newBridgeFolder(std::string &error)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "quillon-bridge-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        error = "cannot make a temporary folder for the bridge";
        return {};
    }
    quillon::testing::StoreOptions options;
    options.diskSectors = 147456;  // 72 MiB: room for a FAT32 region (32.6 MiB at least) or two exFAT ones
    if (!quillon::testing::BridgeStore::Create(pattern, options, &error)) {
        std::error_code ec;
        std::filesystem::remove_all(pattern, ec);
        return {};
    }
    return pattern;
}

}  // namespace

ModelKind bridgeModelKind()
{
    return {"--bridge", "--bridge DIR|--new          the virtual bridge kept in DIR, or a fresh one, as a USB disk (1209:0002)",
            [](const std::vector<std::string> &args, ServedDevice &out, std::string &error) {
                if (args.size() != 1) {
                    error = "--bridge takes the bridge's folder (quillon --virtual DIR init) or --new";
                    return false;
                }
                std::string tempDir;
                if (args[0] == "--new") {
                    tempDir = newBridgeFolder(error);
                    if (tempDir.empty())
                        return false;
                    fprintf(stderr, "usbredir-device: a fresh bridge in %s\n", tempDir.c_str());
                }
                auto stored = quillon::testing::StoredBridgeUsb::Open(tempDir.empty() ? args[0] : tempDir, &error);
                if (!stored) {
                    if (!tempDir.empty())
                        std::filesystem::remove_all(tempDir);
                    return false;
                }
                auto model = std::make_unique<BridgeModel>(std::move(stored), tempDir);
                model->forwardWakeup();
                auto *bridge = model.get();
                out.stats = [bridge] { return "commands=" + std::to_string(bridge->commands()); };
                out.model = std::move(model);
                return true;
            }};
}

}  // namespace usbredir
