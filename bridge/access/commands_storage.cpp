// Memory cards, regions, ISO and hidden-partition commands, and the standard block commands.

#include <algorithm>
#include <cstring>

#include "access/commands_internal.h"

namespace quillon {

using detail::DataInCommand;
using detail::DataOutCommand;
using detail::NoDataCommand;

namespace {

constexpr std::uint32_t kCardBlockLimit = 1u << 24;  // block numbers are 24 bits
constexpr std::uint32_t kBlocksPerCommand = kMaxDataLength / kDiskBlockSize;  // 128
constexpr std::uint32_t kCardInitTimeoutSeconds = 50;
constexpr std::uint32_t kRegionTableTimeoutSeconds = 10;
constexpr std::uint32_t kRegionTableRequest = 20;
constexpr std::uint32_t kRegionTableArea = 40;

std::uint32_t BlocksFor(std::uint32_t length) { return length / kCardBlockSize + (length % kCardBlockSize ? 1 : 0); }

bool CardRangeFits(std::uint32_t firstBlock, std::uint32_t length) {
  return firstBlock < kCardBlockLimit && BlocksFor(length) <= kCardBlockLimit - firstBlock;
}

ScsiCommand CardBlockCommand(const BridgeDevice& device, std::uint8_t sub, std::uint8_t card, std::uint32_t block) {
  ScsiCommand c = VendorCommand(device, sub);
  c.cdb[2] = 0x02;
  c.cdb[3] = 0x00;
  PutBe24(c.cdb + 4, block);
  c.cdb[7] = card;
  c.transferLength = kCardBlockSize;
  return c;
}

ScsiCommand Block10Command(std::uint8_t opcode, std::uint32_t block, std::uint32_t count) {
  ScsiCommand c;
  c.cdb[0] = opcode;
  PutBe32(c.cdb + 2, block);
  PutBe16(c.cdb + 7, count);
  c.cdbLength = 10;
  c.senseLength = kSenseSize;
  c.transferLength = count * kDiskBlockSize;
  if (opcode == kOpRead10) {
    c.dataIn = true;
    c.inLength = kPassThroughHeaderSize;
  } else {
    c.inLength = kDataOffset + c.transferLength;
  }
  c.outLength = kDataOffset + c.transferLength;
  return c;
}

}  // namespace

int CmdCardPrepareA(const BridgeDevice& device) {
  std::uint8_t byte = 0xFF;
  const SendResult r = detail::ReadOneByte(device, DataInCommand(device, sub::kCardPrepareA, 1), &byte);
  return r.Accepted() && byte == 0 ? 1 : 0;
}

int CmdCardPrepareB(const BridgeDevice& device) {
  std::uint8_t byte = 0xFF;
  const SendResult r = detail::ReadOneByte(device, DataInCommand(device, sub::kCardPrepareB, 1), &byte);
  return r.Accepted() && byte == 0 ? 1 : 0;
}

int CmdWriteCardBlock(const BridgeDevice& device, std::uint8_t card, std::uint32_t firstBlock,
                      const std::uint8_t* data, std::uint32_t length) {
  if ((data == nullptr && length > 0) || !CardRangeFits(firstBlock, length)) return 0;
  if (length == 0) return 1;
  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  std::uint32_t block = firstBlock;
  for (std::uint32_t offset = 0; offset < length; ++block) {
    ScsiCommand c = CardBlockCommand(device, sub::kWriteCardBlock, card, block);
    c.senseLength = kSenseSize;
    c.inLength = kDataOffset + kCardBlockSize;
    c.outLength = kDataOffset + kCardBlockSize;
    const std::uint32_t take = std::min(kCardBlockSize, length - offset);
    if (!session.Send(c, data + offset, take).Transferred()) return 0;  // zero-padded by the session
    offset += take;
  }
  return 1;
}

int CmdReadCardBlock(const BridgeDevice& device, std::uint8_t card, std::uint32_t firstBlock, std::uint8_t* buffer,
                     std::uint32_t length) {
  if ((buffer == nullptr && length > 0) || !CardRangeFits(firstBlock, length)) return 0;
  if (length > 0) std::memset(buffer, 0, length);
  if (length == 0) return 1;
  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  std::uint32_t block = firstBlock;
  for (std::uint32_t offset = 0; offset < length; ++block) {
    ScsiCommand c = CardBlockCommand(device, sub::kReadCardBlock, card, block);
    c.dataIn = true;
    c.inLength = kPassThroughHeaderSize;
    c.outLength = kDataOffset + kCardBlockSize;
    if (!session.Send(c).Transferred()) return 0;
    const std::uint32_t take = std::min(kCardBlockSize, length - offset);
    std::memcpy(buffer + offset, session.Data(), take);
    offset += take;
  }
  return 1;
}

int CmdCardPresent(const BridgeDevice& device, std::uint8_t card) {
  ScsiCommand c = DataInCommand(device, sub::kCardPresent, 1);
  c.cdb[2] = card;
  std::uint8_t byte = 0;
  detail::ReadOneByte(device, c, &byte);
  return byte;
}

int CmdCardInit(const BridgeDevice& device, std::uint8_t card) {
  ScsiCommand c = DataInCommand(device, sub::kCardInit, 1);
  c.cdb[2] = card;
  c.timeoutSeconds = kCardInitTimeoutSeconds;
  std::uint8_t byte = 0;
  detail::ReadOneByte(device, c, &byte);
  return byte;
}

int CmdGetCardSerial(const BridgeDevice& device, std::uint64_t* serial) {
  if (serial == nullptr) return 0;
  std::uint8_t reply[16] = {};
  if (!ScsiPassThrough(device, DataInCommand(device, sub::kGetCardSerial, 16), nullptr, 0, reply, sizeof(reply))
           .Accepted())
    return 0;
  std::uint64_t value = 0;
  for (int i = 0; i < 6; ++i) value = (value << 8) | reply[i];
  *serial = value << 8;  // 0x00 r0 r1 r2 r3 r4 r5 0x00
  return 1;
}

int CmdGetRegionTable(const BridgeDevice& device, RegionTable* table) {
  if (table == nullptr) return 0;
  ScsiCommand c = DataInCommand(device, sub::kGetRegionTable, kRegionTableRequest);
  c.timeoutSeconds = kRegionTableTimeoutSeconds;
  c.inLength = kDataOffset + kRegionTableArea;
  c.outLength = kDataOffset + kRegionTableArea;
  RegionTable out;
  if (!ScsiPassThrough(device, c, nullptr, 0, out.raw, kRegionTableArea).Accepted()) return 0;

  std::uint64_t smallest = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* entry = out.raw + 10 * i;
    if (entry[0] != 1 && entry[0] != 2) continue;
    out.blockCount[i] = std::uint64_t{GetBe32(entry + 2)} + 1;
    out.blockLength[i] = GetBe32(entry + 6);
    const std::uint64_t size = out.blockCount[i] * out.blockLength[i];  // below 2^64: (2^32) * (2^32 - 1)
    if (out.countedEntries == 0 || size < smallest) smallest = size;
    ++out.countedEntries;
  }
  // A device reporting absurd sizes saturates instead of wrapping to a small capacity.
  out.capacity = smallest > UINT64_MAX / (out.countedEntries ? out.countedEntries : 1)
                     ? UINT64_MAX
                     : smallest * out.countedEntries;
  *table = out;
  return 1;
}

int CmdWriteIsoBlocks(const BridgeDevice& device, std::uint32_t blockAddress, const std::uint8_t* data,
                      std::uint32_t length) {
  if (data == nullptr && length > 0) return 0;
  if (length == 0) return 1;
  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  for (std::uint32_t offset = 0; offset < length;) {
    const std::uint32_t piece = std::min(kMaxDataLength, length - offset);
    const std::uint32_t blocks = piece / kDiskBlockSize;
    ScsiCommand c = DataOutCommand(device, sub::kWriteIsoBlocks, piece);
    c.cdb[2] = kOpWrite10;
    PutBe32(c.cdb + 4, blockAddress);
    PutBe16(c.cdb + 9, blocks);
    c.senseLength = kSenseSize;
    if (!session.Send(c, data + offset, piece).Transferred()) return 0;
    offset += piece;
    blockAddress += blocks;
  }
  return 1;
}

int CmdSetHiddenPartition(const BridgeDevice& device, std::uint8_t selector, std::uint32_t first,
                          std::uint32_t second) {
  ScsiCommand c = NoDataCommand(device, sub::kSetHiddenPartition);
  c.cdb[2] = selector;
  PutBe32(c.cdb + 3, first);
  PutBe32(c.cdb + 7, second);
  return ScsiPassThrough(device, c).Transferred() ? 1 : 0;
}

int Read10Blocks(const BridgeDevice& device, std::uint32_t block, std::uint32_t count, std::uint8_t* buffer) {
  if (buffer == nullptr && count > 0) return 0;
  if (count == 0) return 1;
  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  std::uint8_t* out = buffer;
  while (count > 0) {
    const std::uint32_t blocks = std::min(count, kBlocksPerCommand);
    if (!session.Send(Block10Command(kOpRead10, block, blocks)).Transferred()) return 0;
    std::memcpy(out, session.Data(), blocks * kDiskBlockSize);
    out += blocks * kDiskBlockSize;
    block += blocks;
    count -= blocks;
  }
  return 1;
}

int Write10Blocks(const BridgeDevice& device, std::uint32_t block, std::uint32_t count, const std::uint8_t* data) {
  if (data == nullptr && count > 0) return 0;
  if (count == 0) return 1;
  PassThroughSession session(device);
  if (!session.IsOpen()) return 0;
  const std::uint8_t* in = data;
  while (count > 0) {
    const std::uint32_t blocks = std::min(count, kBlocksPerCommand);
    if (!session.Send(Block10Command(kOpWrite10, block, blocks), in, blocks * kDiskBlockSize).Transferred())
      return 0;
    in += blocks * kDiskBlockSize;
    block += blocks;
    count -= blocks;
  }
  return 1;
}

}  // namespace quillon
