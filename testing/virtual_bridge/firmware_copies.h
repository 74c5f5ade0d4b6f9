#ifndef QUILLON_TESTING_VIRTUAL_BRIDGE_FIRMWARE_COPIES_H
#define QUILLON_TESTING_VIRTUAL_BRIDGE_FIRMWARE_COPIES_H

// Firmware copies on the virtual bridge: seeding flash and cards with images, reading copies back,
// and a backend in front of the bridge that flips bits in read replies, as a flash cell or a card
// block that does not hold what was written would.
//
//   VirtualBridge bridge;
//   auto ctl = bridge.AttachDisk(1);
//   SeedFlashCopy(*ctl, 2, image);                 // copy 2 at flash 0x20000
//   ReadFlipper flipper(bridge);                   // installed over the bridge for its lifetime
//   flipper.FlipFlashRead(0x10000 + 100);          // the next read covering that byte gets it flipped

#include <cstdint>
#include <vector>

#include "virtual_bridge.h"

namespace quillon::testing {

constexpr std::uint32_t kFlashCopyStride = 0x10000;
constexpr std::uint32_t kCardCopyBlocks = 128;

// Raw writes of an image into a copy, bypassing the program rules.
void SeedFlashCopy(VirtualController& controller, int copy, const std::vector<std::uint8_t>& image);
void SeedCardCopy(VirtualController& controller, int card, int copy, const std::vector<std::uint8_t>& image);
// The first `length` bytes of a copy as stored.
std::vector<std::uint8_t> FlashCopy(const VirtualController& controller, int copy, std::size_t length);
std::vector<std::uint8_t> CardCopy(const VirtualController& controller, int card, int copy, std::size_t length);

// Forwards everything to a virtual bridge and flips bits in the data of chosen read replies (flash
// array reads and card block reads). Installs itself as the process backend and restores the
// previous one when destroyed.
class ReadFlipper : public platform::Backend {
 public:
  explicit ReadFlipper(VirtualBridge& bridge);
  ~ReadFlipper() override;
  ReadFlipper(const ReadFlipper&) = delete;
  ReadFlipper& operator=(const ReadFlipper&) = delete;

  // The next `times` flash array reads (-1: all) that cover `address` return that byte xor `mask`.
  void FlipFlashRead(std::uint32_t address, std::uint8_t mask = 0x01, int times = 1);
  // The same for card block reads of byte `offset` (from block 0) of a card.
  void FlipCardRead(std::uint8_t card, std::uint64_t offset, std::uint8_t mask = 0x01, int times = 1);
  int Flipped() const { return flipped_; }

  platform::DeviceHandle OpenDevice(const char* path, std::uint32_t* error) override;
  platform::PassThroughResult SendPassThrough(platform::DeviceHandle handle, std::uint8_t* request,
                                              std::uint32_t inLength, std::uint32_t outLength) override;
  void CloseDevice(platform::DeviceHandle handle) override;
  std::unique_ptr<platform::InterfaceList> ListInterfaces(platform::InterfaceClass cls) override;
  bool QueryMountManager(const std::u16string& deviceName, std::vector<std::string>* links) override;
  std::uint32_t LogicalDrives() override;
  bool MountVolumeAt(const char* driveRoot, const char* volumePath) override;
  platform::DeviceHandle OpenVolume(char driveLetter, std::uint32_t* error) override;
  bool ControlVolume(platform::DeviceHandle volume, platform::VolumeControl control, std::uint32_t* error) override;
  void CloseVolume(platform::DeviceHandle volume) override;
  bool QueryDiskGeometry(const char* path, platform::DiskGeometry* out) override;
  void SleepMilliseconds(std::uint32_t milliseconds) override;
  platform::LocalTime Now() override;

 private:
  struct Flip {
    bool flash = true;
    std::uint8_t card = 0;
    std::uint64_t offset = 0;
    std::uint8_t mask = 0x01;
    int times = 1;
  };

  VirtualBridge& bridge_;
  platform::Backend* previous_ = nullptr;
  std::vector<Flip> flips_;
  int flipped_ = 0;
};

}  // namespace quillon::testing

#endif
