#ifndef QUILLON_ACCESS_COMMANDS_INTERNAL_H
#define QUILLON_ACCESS_COMMANDS_INTERNAL_H

// Shapes of the command requests shared by the command files.

#include <cstdint>

#include "access/commands.h"
#include "access/scsi.h"

namespace quillon::detail {

// No data moves: 68 bytes each way.
inline ScsiCommand NoDataCommand(const BridgeDevice& device, std::uint8_t sub) {
  ScsiCommand c = VendorCommand(device, sub);
  c.inLength = kDataOffset;
  c.outLength = kDataOffset;
  return c;
}

// n bytes from the device, 68 + n each way.
inline ScsiCommand DataInCommand(const BridgeDevice& device, std::uint8_t sub, std::uint32_t n) {
  ScsiCommand c = VendorCommand(device, sub);
  c.dataIn = true;
  c.transferLength = n;
  c.inLength = kDataOffset + n;
  c.outLength = kDataOffset + n;
  return c;
}

// n bytes to the device, 68 + n each way.
inline ScsiCommand DataOutCommand(const BridgeDevice& device, std::uint8_t sub, std::uint32_t n) {
  ScsiCommand c = VendorCommand(device, sub);
  c.dataIn = false;
  c.transferLength = n;
  c.inLength = kDataOffset + n;
  c.outLength = kDataOffset + n;
  return c;
}

// Sends a command that reads one byte; returns the send outcome and the byte (0 when none came back).
inline SendResult ReadOneByte(const BridgeDevice& device, const ScsiCommand& command, std::uint8_t* byte) {
  std::uint8_t value = 0;
  SendResult r = ScsiPassThrough(device, command, nullptr, 0, &value, 1);
  *byte = r.Accepted() ? value : 0;
  return r;
}

// The data area is usable for chunking.
inline bool ValidChunk(std::uint32_t chunk) { return chunk > 0 && chunk <= kMaxDataLength; }

// A chunk of a flash program or array read is sent again after a general failure or a time-out, at
// most kMaxChunkSends times in all.
SendResult SendChunkWithRetry(PassThroughSession& session, const ScsiCommand& command, const void* outData,
                              std::uint32_t outLength);

// Loads the SPI opcodes a flash command needs, for the controller kinds that take them.
bool LoadProgramOpcodes(const BridgeDevice& device, std::uint8_t operationOpcode);

}  // namespace quillon::detail

#endif
