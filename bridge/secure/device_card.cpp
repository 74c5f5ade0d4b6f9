// The memory card behind the bridge (card 0) and the SD card lock and status.

#include <cstdint>
#include <cstring>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/last_error.h"
#include "quillon_device.h"
#include "secure/export_device.h"

namespace {

// The CMD42 data length travels in one CDB byte.
constexpr std::size_t kMaxSdLockText = 255;

constexpr std::uint64_t kCardBlocks = std::uint64_t{1} << 24;  // block numbers travel as 24 bits

// A transfer of length bytes from firstBlock: refused with its reason when it cannot be sent.
int CheckCardRange(const void* buffer, int length, int firstBlock) {
  if (buffer == nullptr) return quillon::RefuseInput("no buffer for the card data");
  if (length < 0 || firstBlock < 0) return quillon::RefuseInput("negative card length %d or block %d", length, firstBlock);
  const std::uint64_t blocks = (static_cast<std::uint64_t>(length) + quillon::kCardBlockSize - 1) / quillon::kCardBlockSize;
  if (static_cast<std::uint64_t>(firstBlock) + blocks > kCardBlocks)
    return quillon::RefuseInput("card blocks %d to %llu lie beyond block 16,777,215", firstBlock,
                                static_cast<unsigned long long>(firstBlock + blocks - 1));
  return 1;
}

}  // namespace

using quillon::BridgeDevice;

QUILLON_API int QUILLON_CALL ReadCard(const char* path, unsigned char* buffer, int length, int firstBlock) {
  BridgeDevice device;
  if (!CheckCardRange(buffer, length, firstBlock) || !quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdReadCardBlock(device, 0, static_cast<std::uint32_t>(firstBlock), buffer,
                                   static_cast<std::uint32_t>(length)) == 1
             ? 1
             : 0;
}

QUILLON_API int QUILLON_CALL WriteCard(const char* path, const unsigned char* data, int length, int firstBlock) {
  BridgeDevice device;
  if (!CheckCardRange(data, length, firstBlock) || !quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdWriteCardBlock(device, 0, static_cast<std::uint32_t>(firstBlock), data,
                                    static_cast<std::uint32_t>(length)) == 1
             ? 1
             : 0;
}

QUILLON_API int QUILLON_CALL GetCard(const char* path, unsigned char* buffer, int block) {
  BridgeDevice device;
  if (!CheckCardRange(buffer, quillon::kCardBlockSize, block) || !quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdReadCardBlock(device, 0, static_cast<std::uint32_t>(block), buffer, quillon::kCardBlockSize) == 1
             ? 1
             : 0;
}

QUILLON_API int QUILLON_CALL SetSDCardLockCmd42(const char* path, int operation, const char* text) {
  BridgeDevice device;
  // A longer text would not match the length byte the controller is given.
  if (text != nullptr && strnlen(text, kMaxSdLockText + 1) > kMaxSdLockText)
    return quillon::RefuseInput("an SD lock text of more than 255 bytes does not fit the length byte");
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdSdCardLock(device, static_cast<std::uint8_t>(operation), text) == 1 ? 1 : 0;
}

QUILLON_API int QUILLON_CALL GetSDCardStatus(const char* path, unsigned char* status) {
  if (status != nullptr) *status = 0;
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  std::uint8_t byte = 0;
  const int ok = quillon::CmdGetSdCardStatus(device, &byte);
  if (status != nullptr) *status = byte;
  return ok == 1 ? 1 : 0;
}

QUILLON_API int QUILLON_CALL GetTFCardSN(const char* path, int* serial) {
  BridgeDevice device;
  if (serial == nullptr) return quillon::RefuseInput("no buffer for the card serial number");
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  std::uint64_t value = 0;
  if (quillon::CmdGetCardSerial(device, &value) != 1) return 0;
  const auto low = static_cast<std::uint32_t>(value);
  const auto high = static_cast<std::uint32_t>(value >> 32);
  std::memcpy(&serial[0], &low, sizeof low);
  std::memcpy(&serial[1], &high, sizeof high);
  return 1;
}
