// Hidden sectors beyond the visible disk and the old-scheme unlock of an emulated controller.

#include "secure_storage.h"

#include <algorithm>
#include <cstring>

#include "access/digest.h"

namespace quillon::testing {
namespace {

using Outcome = CommandOutcome;

constexpr std::uint64_t kTop = std::uint64_t{1} << 32;
constexpr std::uint32_t kFlagWord = 0x307E8;
constexpr std::uint32_t kRecord = 0x30830;

std::uint32_t Be(const std::uint8_t* p, int n) {
  std::uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// The firmware's own record walk over copy 0: the value offset of the first record with the key.
long FindRecord(const std::vector<std::uint8_t>& flash, std::uint32_t key) {
  const std::size_t limit = std::min<std::size_t>(flash.size(), 0x10000);
  std::size_t at = 0;
  while (at < limit) {
    const std::uint8_t type = flash[at];
    std::size_t size = 0;
    switch (type) {
      case 0x00: case 0x04: case 0x05: case 0x09: case 0x0C: case 0x81: size = 5; break;
      case 0x01: case 0x02: case 0x03: size = 7; break;
      case 0x12: case 0x13:
        if (at + 5 > limit) return -1;
        size = (flash[at + 3] | (std::size_t{flash[at + 4]} << 8)) + 6;
        break;
      default: return -1;  // the end record or something the firmware does not know
    }
    if (at + size > limit) return -1;
    if (size == 7 && (std::uint32_t{type} << 16 | flash[at + 1] | std::uint32_t{flash[at + 2]} << 8) == key)
      return static_cast<long>(at + 3);
    at += size;
  }
  return -1;
}

// Keeps a disk open up to block 2^32 while the hidden sectors are reached.
class Widen {
 public:
  explicit Widen(SparseDisk& disk) : disk_(disk), count_(disk.BlockCount()) { disk_.SetBlockCount(kTop); }
  ~Widen() { disk_.SetBlockCount(count_); }
  Widen(const Widen&) = delete;
  Widen& operator=(const Widen&) = delete;

 private:
  SparseDisk& disk_;
  std::uint64_t count_;
};

Outcome Block10(CommandContext& c, bool write) {
  const std::uint8_t* cdb = c.request.cdb.data();
  const std::uint64_t first = Be(cdb + 2, 4);
  const std::uint32_t count = Be(cdb + 7, 2);
  if (c.data.size() != std::size_t{count} * kBlockSize) return Outcome::Reject();
  SparseDisk& disk = c.device.Disk();
  const bool hidden = first + count > disk.BlockCount();
  if (hidden) {
    const std::uint32_t n = HiddenSectorCount(c.controller);
    if (n == 0 || first < kTop - n || first + count > kTop) return Outcome::Reject();
  }
  std::unique_ptr<Widen> widen(hidden ? new Widen(disk) : nullptr);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint8_t* block = c.data.data() + std::size_t{i} * kBlockSize;
    if (!(write ? disk.Write(first + i, block) : disk.Read(first + i, block))) return Outcome::Reject();
  }
  return Outcome::Good();
}

Outcome UnlockOld(CommandContext& c) {
  std::array<std::uint8_t, 32> text{};
  std::memcpy(text.data(), c.data.data(), std::min<std::size_t>(c.data.size(), text.size()));
  c.controller.passwords.oldPasswordsSent.push_back(text);
  OldSchemeState& state = c.controller.State<OldSchemeState>();
  ++state.unlockAttempts;
  std::uint8_t flags[4];
  c.controller.memory.Read(kFlagWord, flags, sizeof(flags));
  if (!(flags[0] & 0x20)) {
    state.unlocked = true;
    return Outcome::Good();
  }
  std::uint8_t record[32];
  std::uint8_t digest[20];
  c.controller.memory.Read(kRecord, record, sizeof(record));
  const std::size_t length = strnlen(reinterpret_cast<const char*>(text.data()), text.size());
  state.unlocked = Sha1Digest(text.data(), length, digest, nullptr) && std::memcmp(digest, record, 20) == 0;
  return Outcome::Good();
}

}  // namespace

std::uint32_t HiddenSectorCount(const VirtualController& controller) {
  if (!controller.flash.present) return 0;
  const long at = FindRecord(controller.flash.cells, kHiddenCountKey);
  if (at < 0 || static_cast<std::size_t>(at) + 28 + 4 > controller.flash.cells.size()) return 0;
  return Be(controller.flash.cells.data() + at + 28, 4);
}

void InstallSecureStorageHandlers(VirtualBridge& bridge) {
  bridge.SetStandardHandler(0x28, [](CommandContext& c) { return Block10(c, false); });
  bridge.SetStandardHandler(0x2A, [](CommandContext& c) { return Block10(c, true); });
  bridge.SetVendorHandler(0x4B, UnlockOld);
}

}  // namespace quillon::testing
