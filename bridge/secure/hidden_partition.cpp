// The hidden partition: sectors the controller keeps beyond the visible disk, reached with READ(10)
// and WRITE(10) at block addresses counted back from 2^32, and laid out across the memory cards.

#include <cstdint>
#include <cstring>
#include <vector>

#include "access/commands.h"
#include "access/flash.h"
#include "access/last_error.h"
#include "access/scsi.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"
#include "quillon_hidden.h"
#include "secure/export_device.h"
#include "secure/hidden_partition.h"
#include "secure/password_old.h"

namespace quillon {
namespace {

constexpr std::uint32_t kNoCount = 0xFFFFFFFFu;
constexpr int kCardSlots = 4;

enum class Direction { Read, Write };

int Transfer(const char* path, std::uint32_t start, std::uint32_t count, void* buffer, Direction direction) {
  if (buffer == nullptr && count > 0) return RefuseInput("no buffer given for %u sectors", count);
  BridgeDevice device;
  if (!OpenExportDevice(&device, path)) return -1;
  std::uint32_t n = 0;
  if (!ReadHiddenSectorCount(device, &n)) return -1;
  if (n == 0) return 1;
  if (n == kNoCount) return ReportDeviceFailure("the firmware image gives an invalid hidden sector count");
  if (count > n || std::uint64_t{start} + count > n)
    return RefuseInput("hidden sectors %s to %s lie outside the %s hidden sectors", GroupDigits(start).c_str(),
                       GroupDigits(std::uint64_t{start} + count - 1).c_str(), GroupDigits(n).c_str());
  // A buffer of count sectors must be addressable at all.
  if (count > SIZE_MAX / kDiskBlockSize) return RefuseInput("%u sectors do not fit in memory", count);
  const std::uint32_t block = start - n;  // modulo 2^32: 2^32 - n + start
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  return direction == Direction::Read ? Read10Blocks(device, block, count, bytes)
                                      : Write10Blocks(device, block, count, bytes);
}

}  // namespace

bool ReadHiddenSectorCount(BridgeDevice& device, std::uint32_t* count) {
  if (!IdentifyFlash(device)) return false;
  const std::uint32_t readLength = FlashDumpReadLength(device.pageSize);
  if (readLength < kCopyReadLength) return false;
  std::vector<std::uint8_t> image(readLength);
  FirmwareImageInfo info;
  if (!CmdFlashRead(device, kCopyFlashAddress[0], image.data(), readLength)) return false;
  if (!ParseFirmwareImage(image.data(), image.size(), device, kKeyHiddenCount, &info))
    return ReportDeviceFailure("the PC firmware image at flash 0x00000 is not valid") != 0;
  const std::int32_t at = FindValueRecord(image.data(), info.paddedLength, kKeyHiddenCount);
  const std::size_t value = static_cast<std::size_t>(at) + kHiddenCountDistance + kValueOffsetInRecord;
  if (at < 0 || value + 4 > info.paddedLength)
    return ReportDeviceFailure("the PC firmware image carries no hidden sector count (key 0x30207)") != 0;
  *count = GetBe32(image.data() + value);
  return true;
}

std::uint64_t HiddenRegionStart(const std::uint8_t reply[kHiddenStartReplySize]) {
  if ((reply[0] & 0x03) != 1) return 0;
  return std::uint64_t{GetBe32(reply + 4)} * 4 + 4;
}

bool HiddenLayout(std::uint64_t start, std::uint32_t count, const std::vector<std::uint8_t>& slots,
                  std::vector<HiddenLayoutCommand>* commands) {
  commands->clear();
  const std::uint64_t n = slots.size();
  if (n == 0) return true;
  std::vector<HiddenLayoutCommand> out;
  for (std::uint64_t k = 0; k < n; ++k) {
    const std::uint64_t first = (start + k) / n;
    const std::uint64_t end = (start + k + count) / n;
    // Numbers travel as 32 bits; a layout that would not fit is refused rather than cut.
    if (first > 0xFFFFFFFFull || end > 0x100000000ull) return false;
    HiddenLayoutCommand c;
    c.slot = slots[static_cast<std::size_t>((start % n + k) % n)];
    c.first = static_cast<std::uint32_t>(first);
    c.second = static_cast<std::uint32_t>(end - 1);  // an empty share gives 0 - 1 in 32 bits, as sent before
    out.push_back(c);
  }
  commands->swap(out);
  return true;
}

}  // namespace quillon

QUILLON_API int QUILLON_CALL GetHiddenSectorCount(const char* path) {
  quillon::BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return -1;
  std::uint32_t n = 0;
  if (!quillon::ReadHiddenSectorCount(device, &n)) return -1;
  return static_cast<int>(n);
}

QUILLON_API int QUILLON_CALL ReadHiddenSector(const char* path, unsigned start, unsigned count, void* buffer) {
  return quillon::Transfer(path, start, count, buffer, quillon::Direction::Read);
}

QUILLON_API int QUILLON_CALL WriteHiddenSector(const char* path, unsigned start, unsigned count, const void* data) {
  return quillon::Transfer(path, start, count, const_cast<void*>(data), quillon::Direction::Write);
}

QUILLON_API int QUILLON_CALL FormatHiddenPartition(const char* path) {
  quillon::BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  std::uint32_t n = 0;
  if (!quillon::ReadHiddenSectorCount(device, &n)) return 0;
  if (n == 0) return 1;
  std::uint8_t reply[quillon::kHiddenStartReplySize];
  if (!quillon::CmdReadMemory(device, quillon::kHiddenStartAddress, reply, sizeof(reply))) return 0;
  const std::uint64_t start = quillon::HiddenRegionStart(reply);
  quillon::RegionTable table;
  if (!quillon::CmdGetRegionTable(device, &table)) return 0;
  std::vector<std::uint8_t> slots;
  for (int slot = 0; slot < quillon::kCardSlots; ++slot)
    if (quillon::CmdCardPresent(device, static_cast<std::uint8_t>(slot)) != 0) slots.push_back(static_cast<std::uint8_t>(slot));
  std::vector<quillon::HiddenLayoutCommand> commands;
  if (!quillon::HiddenLayout(start, n, slots, &commands))
    return quillon::ReportDeviceFailure("the hidden region does not fit 32-bit card numbers");
  for (const auto& c : commands)
    if (!quillon::CmdSetHiddenPartition(device, c.slot, c.first, c.second)) return 0;
  return 1;
}
