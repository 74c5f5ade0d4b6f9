// Controller memory, resets and identification.

#include <algorithm>
#include <cstring>

#include "access/commands_internal.h"

namespace quillon {

using detail::DataInCommand;
using detail::DataOutCommand;
using detail::NoDataCommand;

namespace {

constexpr int kIdentifySends = 10;
constexpr std::uint32_t kIdentifyPauseMs = 100;
constexpr std::uint32_t kIdentifyTimeoutSeconds = 2;

ScsiCommand MemoryCommand(const BridgeDevice& device, std::uint8_t sub, bool in, std::uint32_t address,
                          std::uint32_t chunk) {
  ScsiCommand c = in ? DataInCommand(device, sub, chunk) : DataOutCommand(device, sub, chunk);
  PutBe16(c.cdb + 2, chunk);
  PutBe32(c.cdb + 4, address);
  return c;
}

}  // namespace

int CmdWriteMemory(const BridgeDevice& device, std::uint32_t address, const std::uint8_t* data, std::int32_t length) {
  if (length <= 0) return 1;
  if (data == nullptr || !detail::ValidChunk(device.maxTransfer)) return 0;
  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  const auto total = static_cast<std::uint32_t>(length);
  for (std::uint32_t offset = 0; offset < total;) {
    const std::uint32_t chunk = std::min(device.maxTransfer, total - offset);
    if (!session.Send(MemoryCommand(device, sub::kWriteMemory, false, address, chunk), data + offset, chunk)
             .Transferred())
      return 0;
    offset += chunk;
    address += chunk;
  }
  return 1;
}

int CmdReadMemory(const BridgeDevice& device, std::uint32_t address, std::uint8_t* buffer, std::int32_t length) {
  if (length <= 0) return 1;
  if (buffer == nullptr || !detail::ValidChunk(device.maxTransfer)) return 0;
  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  const auto total = static_cast<std::uint32_t>(length);
  for (std::uint32_t offset = 0; offset < total;) {
    const std::uint32_t chunk = std::min(device.maxTransfer, total - offset);
    if (!session.Send(MemoryCommand(device, sub::kReadMemory, true, address, chunk)).Transferred()) return 0;
    std::memcpy(buffer + offset, session.Data(), chunk);
    offset += chunk;
    address += chunk;
  }
  return 1;
}

int CmdResetChip(const BridgeDevice& device) {
  ScsiCommand c = NoDataCommand(device, sub::kResetChip);
  c.cdb[2] = 0x00;
  c.cdb[3] = 0x01;
  return ScsiPassThrough(device, c).Accepted() ? 1 : 0;
}

int CmdResetUsb(const BridgeDevice& device) {
  ScsiCommand c = NoDataCommand(device, sub::kResetUsb);
  c.cdb[2] = 0x01;
  return ScsiPassThrough(device, c).Accepted() ? 1 : 0;
}

int CmdIdentify(const BridgeDevice& device, std::uint8_t reply[kIdentifyReplySize]) {
  if (reply == nullptr) return 0;
  ScsiCommand c = DataInCommand(device, sub::kIdentify, kIdentifyReplySize);
  c.timeoutSeconds = kIdentifyTimeoutSeconds;
  for (int send = 1; send <= kIdentifySends; ++send) {
    std::uint8_t data[kIdentifyReplySize] = {};
    const SendResult r = ScsiPassThrough(device, c, nullptr, 0, data, kIdentifyReplySize);
    if (r.Accepted()) {
      // A controller that answers but not with a known reply format will not do better next time.
      if (data[0] != 'B' && data[0] != 'F') return 0;
      std::memcpy(reply, data, kIdentifyReplySize);
      return 1;
    }
    if (send < kIdentifySends) platform::CurrentBackend().SleepMilliseconds(kIdentifyPauseMs);
  }
  return 0;
}

}  // namespace quillon
