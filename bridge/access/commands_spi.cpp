// SPI flash commands: opcode loads, program, read, erase.

#include <algorithm>
#include <cstring>

#include "access/commands_internal.h"

namespace quillon {

using detail::DataInCommand;
using detail::DataOutCommand;
using detail::NoDataCommand;

namespace {

constexpr std::uint32_t kFlashAddressMask = 0xFFFFFF;
constexpr int kOpcodeSends = 5;
constexpr std::uint32_t kRetryPauseMs = 10;

bool TakesOpcodeLoads(const BridgeDevice& device) {
  return device.chipKind == ChipKind::Kind6623 || device.chipKind == ChipKind::KindFcc;
}

// Up to kOpcodeSends sends; another only after a general failure, 10 ms later.
int SendWithGenFailureRetry(const BridgeDevice& device, const ScsiCommand& command) {
  for (int attempt = 1;; ++attempt) {
    const SendResult r = ScsiPassThrough(device, command);
    if (r.Accepted()) return 1;
    if (r.ok || r.error != platform::kErrorGenFailure || attempt >= kOpcodeSends) return 0;
    platform::CurrentBackend().SleepMilliseconds(kRetryPauseMs);
  }
}

ScsiCommand FlashReadCommand(const BridgeDevice& device, std::uint32_t address, std::uint32_t chunk,
                             std::uint8_t mode) {
  ScsiCommand c = VendorCommand(device, sub::kFlashRead);
  PutBe16(c.cdb + 2, chunk - 1);
  PutBe24(c.cdb + 4, address & kFlashAddressMask);
  c.cdb[7] = mode;
  c.dataIn = true;
  c.transferLength = chunk;
  c.inLength = kPassThroughHeaderSize;
  c.outLength = kDataOffset + chunk;
  return c;
}

}  // namespace

namespace detail {

SendResult SendChunkWithRetry(PassThroughSession& session, const ScsiCommand& command, const void* outData,
                              std::uint32_t outLength) {
  SendResult r;
  for (int send = 1; send <= kMaxChunkSends; ++send) {
    r = session.Send(command, outData, outLength);
    if (r.ok) return r;
    if (r.error != platform::kErrorGenFailure && r.error != platform::kErrorSemTimeout) return r;
    if (send < kMaxChunkSends) platform::CurrentBackend().SleepMilliseconds(kRetryPauseMs);
  }
  return r;
}

bool LoadProgramOpcodes(const BridgeDevice& device, std::uint8_t operationOpcode) {
  if (!TakesOpcodeLoads(device)) return true;
  return CmdSetSpiOpcode(device, 0, operationOpcode) && CmdSetSpiOpcode(device, 3, device.opcodes[SpiOpcodeTable::WREN]) &&
         CmdSetSpiOpcode(device, 4, 1);
}

}  // namespace detail

int CmdSetSpiOpcode(const BridgeDevice& device, std::uint8_t slot, std::uint8_t opcode) {
  ScsiCommand c = NoDataCommand(device, sub::kSetSpiOpcode);
  c.cdb[2] = slot;
  c.cdb[3] = opcode;
  return SendWithGenFailureRetry(device, c);
}

int CmdFlashPresent(const BridgeDevice& device) {
  std::uint8_t byte = 0;
  const SendResult r = detail::ReadOneByte(device, DataInCommand(device, sub::kFlashPresent, 1), &byte);
  return r.Accepted() && byte == 1 ? 1 : 0;
}

int CmdFlashProgram(const BridgeDevice& device, std::uint32_t address, const std::uint8_t* data,
                    std::uint32_t length) {
  const std::uint32_t page = device.pageSize;
  if (!detail::ValidChunk(page) || (data == nullptr && length > 0)) return 0;
  if (!detail::LoadProgramOpcodes(device, device.opcodes[SpiOpcodeTable::PAGE_PROG])) return 0;
  if (length == 0) return 1;

  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  std::uint32_t flashAddress = address & kFlashAddressMask;
  for (std::uint32_t offset = 0; offset < length; offset += page) {
    ScsiCommand c = DataOutCommand(device, sub::kFlashProgram, page);
    PutBe16(c.cdb + 2, page - 1);
    PutBe24(c.cdb + 4, flashAddress);
    // The request buffer is zeroed before every send, so the last page goes out zero-padded.
    const std::uint32_t take = std::min(page, length - offset);
    if (!detail::SendChunkWithRetry(session, c, data + offset, take).Transferred()) return 0;
    flashAddress = (flashAddress + page) & kFlashAddressMask;
    if (length - offset <= page) break;
  }
  return 1;
}

int CmdFlashRead(const BridgeDevice& device, std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) {
  const std::uint32_t page = device.pageSize;
  if (!detail::ValidChunk(page) || length % page != 0 || (buffer == nullptr && length > 0)) return 0;
  if (length > 0) std::memset(buffer, 0, length);
  if (TakesOpcodeLoads(device) && !CmdSetSpiOpcode(device, 1, device.opcodes[SpiOpcodeTable::READ])) return 0;
  if (length == 0) return 1;

  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  std::uint32_t flashAddress = address & kFlashAddressMask;
  for (std::uint32_t offset = 0; offset < length; offset += page) {
    const ScsiCommand c = FlashReadCommand(device, flashAddress, page, kFlashReadArray);
    if (!detail::SendChunkWithRetry(session, c, nullptr, 0).Transferred()) return 0;
    std::memcpy(buffer + offset, session.Data(), page);
    flashAddress = (flashAddress + page) & kFlashAddressMask;
  }
  return 1;
}

int CmdFlashReadMode(const BridgeDevice& device, std::uint32_t address, std::uint8_t mode, std::uint8_t* buffer,
                     std::uint32_t length) {
  if (!detail::ValidChunk(device.maxTransfer) || (buffer == nullptr && length > 0)) return 0;
  if (length > 0) std::memset(buffer, 0, length);
  if (length == 0) return 1;

  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  std::uint32_t flashAddress = address & kFlashAddressMask;
  for (std::uint32_t offset = 0; offset < length;) {
    const std::uint32_t chunk = std::min(device.maxTransfer, length - offset);
    const ScsiCommand c = FlashReadCommand(device, flashAddress, chunk, mode);
    if (!session.Send(c).Transferred()) return 0;
    std::memcpy(buffer + offset, session.Data(), chunk);
    offset += chunk;
    flashAddress = (flashAddress + chunk) & kFlashAddressMask;
  }
  return 1;
}

int CmdFlashChipErase(const BridgeDevice& device) {
  if (!detail::LoadProgramOpcodes(device, device.opcodes[SpiOpcodeTable::CHIP_ERASE])) return 0;
  return ScsiPassThrough(device, NoDataCommand(device, sub::kFlashChipErase)).Transferred() ? 1 : 0;
}

int CmdFlashSectorErase(const BridgeDevice& device, std::uint32_t address) {
  if (!detail::LoadProgramOpcodes(device, device.opcodes[SpiOpcodeTable::SECTOR_ERASE])) return 0;
  ScsiCommand c = NoDataCommand(device, sub::kFlashSectorErase);
  PutBe24(c.cdb + 2, address & kFlashAddressMask);
  return SendWithGenFailureRetry(device, c);
}

}  // namespace quillon
