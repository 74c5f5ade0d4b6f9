// Firmware copies on the virtual bridge, and bit flips in read replies.

#include "firmware_copies.h"

#include <algorithm>

namespace quillon::testing {

namespace {

constexpr std::size_t kCdbLengthOffset = 6;
constexpr std::size_t kCdbOffset = 28;
constexpr std::size_t kDataOffset = 68;
constexpr std::uint8_t kSubFlashRead = 0x01;
constexpr std::uint8_t kSubReadCardBlock = 0x43;

std::uint32_t Be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t Be24(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | Be16(p + 1); }

}  // namespace

void SeedFlashCopy(VirtualController& controller, int copy, const std::vector<std::uint8_t>& image) {
  controller.flash.Fill(static_cast<std::uint32_t>(copy) * kFlashCopyStride, image.data(), image.size());
}

void SeedCardCopy(VirtualController& controller, int card, int copy, const std::vector<std::uint8_t>& image) {
  std::vector<std::uint8_t> padded = image;
  padded.resize((image.size() + kBlockSize - 1) / kBlockSize * kBlockSize, 0);
  controller.cards[static_cast<std::size_t>(card)].blocks.WriteBytes(
      std::uint64_t{static_cast<std::uint32_t>(copy) * kCardCopyBlocks} * kBlockSize, padded.data(), padded.size());
}

std::vector<std::uint8_t> FlashCopy(const VirtualController& controller, int copy, std::size_t length) {
  const std::size_t start = static_cast<std::size_t>(copy) * kFlashCopyStride;
  const auto& cells = controller.flash.cells;
  if (start >= cells.size()) return {};
  return std::vector<std::uint8_t>(cells.begin() + start, cells.begin() + std::min(cells.size(), start + length));
}

std::vector<std::uint8_t> CardCopy(const VirtualController& controller, int card, int copy, std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  controller.cards[static_cast<std::size_t>(card)].blocks.ReadBytes(
      std::uint64_t{static_cast<std::uint32_t>(copy) * kCardCopyBlocks} * kBlockSize, bytes.data(), length);
  return bytes;
}

ReadFlipper::ReadFlipper(VirtualBridge& bridge) : bridge_(bridge) { previous_ = platform::SetBackend(this); }

ReadFlipper::~ReadFlipper() { platform::SetBackend(previous_); }

void ReadFlipper::FlipFlashRead(std::uint32_t address, std::uint8_t mask, int times) {
  flips_.push_back(Flip{true, 0, address, mask, times});
}

void ReadFlipper::FlipCardRead(std::uint8_t card, std::uint64_t offset, std::uint8_t mask, int times) {
  flips_.push_back(Flip{false, card, offset, mask, times});
}

platform::PassThroughResult ReadFlipper::SendPassThrough(platform::DeviceHandle handle, std::uint8_t* request,
                                                         std::uint32_t inLength, std::uint32_t outLength) {
  platform::PassThroughResult result = bridge_.SendPassThrough(handle, request, inLength, outLength);
  if (!result.ok || outLength <= kDataOffset || request[kCdbLengthOffset] != 16) return result;
  const std::uint8_t* cdb = request + kCdbOffset;
  const std::uint32_t dataLength = outLength - static_cast<std::uint32_t>(kDataOffset);
  bool flash = false;
  std::uint64_t start = 0;
  std::uint32_t length = 0;
  if (cdb[1] == kSubFlashRead && cdb[7] == 0) {
    flash = true;
    start = Be24(cdb + 4);
    length = std::min(Be16(cdb + 2) + 1, dataLength);
  } else if (cdb[1] == kSubReadCardBlock) {
    start = std::uint64_t{Be24(cdb + 4)} * kBlockSize;
    length = std::min<std::uint32_t>(kBlockSize, dataLength);
  } else {
    return result;
  }
  for (Flip& f : flips_) {
    if (f.times == 0 || f.flash != flash || (!flash && f.card != cdb[7])) continue;
    if (f.offset < start || f.offset >= start + length) continue;
    request[kDataOffset + (f.offset - start)] ^= f.mask;
    if (f.times > 0) --f.times;
    ++flipped_;
  }
  return result;
}

platform::DeviceHandle ReadFlipper::OpenDevice(const char* path, std::uint32_t* error) {
  return bridge_.OpenDevice(path, error);
}
void ReadFlipper::CloseDevice(platform::DeviceHandle handle) { bridge_.CloseDevice(handle); }
std::unique_ptr<platform::InterfaceList> ReadFlipper::ListInterfaces(platform::InterfaceClass cls) {
  return bridge_.ListInterfaces(cls);
}
bool ReadFlipper::QueryMountManager(const std::u16string& deviceName, std::vector<std::string>* links) {
  return bridge_.QueryMountManager(deviceName, links);
}
std::uint32_t ReadFlipper::LogicalDrives() { return bridge_.LogicalDrives(); }
bool ReadFlipper::MountVolumeAt(const char* driveRoot, const char* volumePath) {
  return bridge_.MountVolumeAt(driveRoot, volumePath);
}
platform::DeviceHandle ReadFlipper::OpenVolume(char driveLetter, std::uint32_t* error) {
  return bridge_.OpenVolume(driveLetter, error);
}
bool ReadFlipper::ControlVolume(platform::DeviceHandle volume, platform::VolumeControl control, std::uint32_t* error) {
  return bridge_.ControlVolume(volume, control, error);
}
void ReadFlipper::CloseVolume(platform::DeviceHandle volume) { bridge_.CloseVolume(volume); }
bool ReadFlipper::QueryDiskGeometry(const char* path, platform::DiskGeometry* out) {
  return bridge_.QueryDiskGeometry(path, out);
}
void ReadFlipper::SleepMilliseconds(std::uint32_t milliseconds) { bridge_.SleepMilliseconds(milliseconds); }
platform::LocalTime ReadFlipper::Now() { return bridge_.Now(); }

}  // namespace quillon::testing
