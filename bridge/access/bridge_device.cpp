// The device record, identify decoding and the identify step.

#include "access/bridge_device.h"

#include <cstdio>
#include <cstring>

#include "access/commands.h"
#include "access/last_error.h"

namespace quillon {

int OpenBridgeDevice(BridgeDevice* device, const char* path) {
  if (device == nullptr || path == nullptr) return 0;
  const std::size_t length = strnlen(path, kPathFieldSize);
  if (length > kMaxPathLength) return 0;

  std::memset(device, 0, sizeof(*device));
  device->pageSize = 256;
  device->sectorSize = 4096;
  std::memcpy(device->path, path, length);
  device->path[length] = '\0';
  device->vendorOpcode = 0x17;
  device->opcodes = kDefaultSpiOpcodes;
  device->maxTransfer = 512;
  device->chipKind = ChipKind::KindFcc;
  return 1;
}

namespace {
// Appends the bytes of [from, from + count) up to the first zero byte, keeping at most kChipNameMax
// characters in name.
void AppendUntilZero(char* name, std::size_t* used, const std::uint8_t* from, std::size_t count) {
  for (std::size_t i = 0; i < count && from[i] != 0; ++i) {
    if (*used >= kChipNameMax) break;
    name[(*used)++] = static_cast<char>(from[i]);
  }
  name[*used] = '\0';
}
}  // namespace

int DecodeIdentify(const std::uint8_t reply[kIdentifyReplySize], IdentifyInfo* info) {
  if (reply == nullptr || info == nullptr) return 0;
  const std::uint8_t r0 = reply[0];
  if (r0 != 'B' && r0 != 'F') return 0;

  IdentifyInfo out{};
  std::memcpy(out.reply, reply, kIdentifyReplySize);
  out.formatB = r0 == 'B' ? 1 : 0;
  std::size_t used = 0;
  if (out.formatB) {
    if (reply[4] == 0x66 && reply[3] == 0x23) {
      // The hexadecimal renderings of r4 and r3, then r2 and r1 as characters.
      std::snprintf(out.chipName, sizeof(out.chipName), "%02x%02x", reply[4], reply[3]);
      used = 4;
      const std::uint8_t tail[2] = {reply[2], reply[1]};
      AppendUntilZero(out.chipName, &used, tail, 2);
    } else {
      AppendUntilZero(out.chipName, &used, reply + 1, 4);
    }
    out.word1 = reply[5] | (std::uint32_t{reply[6]} << 8) | (std::uint32_t{reply[7]} << 16) |
                (std::uint32_t{reply[8]} << 24);
  } else {
    AppendUntilZero(out.chipName, &used, reply + 1, 6);
    out.word1 = reply[7] | (std::uint32_t{reply[8]} << 8);
  }
  out.word2 = reply[9] | (std::uint32_t{reply[10]} << 8) | (std::uint32_t{reply[11]} << 16) |
              (std::uint32_t{reply[12]} << 24);
  *info = out;
  return 1;
}

ChipKind ChipKindFromName(const char* chipName) {
  if (chipName == nullptr) return ChipKind::None;
  if (std::strcmp(chipName, "6623") == 0 || std::strcmp(chipName, "BC1") == 0) return ChipKind::Kind6623;
  if (std::strcmp(chipName, "FCC1") == 0 || std::strcmp(chipName, "FCC2") == 0) return ChipKind::KindFcc;
  return ChipKind::None;
}

int IdentifyBridge(BridgeDevice& device, IdentifyInfo* info) {
  device.chipKind = ChipKind::None;
  std::uint8_t reply[kIdentifyReplySize] = {};
  if (!CmdIdentify(device, reply)) return 0;
  IdentifyInfo decoded{};
  if (!DecodeIdentify(reply, &decoded))
    return ReportDeviceFailure("%s answered the identify command with an unknown reply (first byte 0x%02x)",
                               device.path, reply[0]);
  device.secondImageSupport = reply[12] > 1 ? 1 : 0;
  device.chipKind = ChipKindFromName(decoded.chipName);
  if (info != nullptr) *info = decoded;
  return 1;
}

}  // namespace quillon
