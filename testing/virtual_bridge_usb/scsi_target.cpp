#include "scsi_target.h"

#include <algorithm>
#include <cstring>

#include "access/scsi.h"
#include "testing/virtual_bridge/raw_command.h"

namespace quillon::testing {
namespace {

using bot::Sense;

constexpr std::uint32_t kChunkBlocks = 128;  // 64 KiB, the most one pass-through request carries
constexpr std::uint32_t kVendorTimeoutSeconds = 300;
// The most one READ or WRITE may move; hosts send far less (the Linux driver at most 1 MiB).
constexpr std::uint64_t kMaxCommandBytes = 32ull << 20;

std::uint32_t Be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t Be32(const std::uint8_t* p) { return (Be16(p) << 16) | Be16(p + 2); }
std::uint64_t Be64(const std::uint8_t* p) { return (std::uint64_t{Be32(p)} << 32) | Be32(p + 4); }
void PutBe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void PutBe64(std::uint8_t* p, std::uint64_t v) {
  PutBe32(p, static_cast<std::uint32_t>(v >> 32));
  PutBe32(p + 4, static_cast<std::uint32_t>(v));
}

// Space-padded ASCII field of a fixed width.
void PutText(std::uint8_t* p, std::size_t width, const std::string& text) {
  for (std::size_t i = 0; i < width; ++i) p[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

}  // namespace

ScsiTarget::ScsiTarget(VirtualBridge& bridge, std::vector<std::string> lunPaths, ScsiIdentity identity)
    : bridge_(bridge), identity_(std::move(identity)) {
  if (lunPaths.empty()) lunPaths.push_back("\\\\.\\PhysicalDrive1");
  if (lunPaths.size() > 16) lunPaths.resize(16);
  for (std::string& p : lunPaths) {
    Lun lun;
    lun.path = std::move(p);
    luns_.push_back(std::move(lun));
  }
}

ScsiTarget::~ScsiTarget() {
  for (Lun& lun : luns_)
    if (lun.handle != platform::kInvalidDeviceHandle) bridge_.CloseDevice(lun.handle);
}

bot::Sense ScsiTarget::PendingSense(std::uint8_t lun) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lun < luns_.size() ? luns_[lun].sense : Sense{};
}

bool ScsiTarget::Open(Lun& lun) {
  if (lun.handle == platform::kInvalidDeviceHandle) lun.handle = bridge_.OpenDevice(lun.path.c_str(), nullptr);
  return lun.handle != platform::kInvalidDeviceHandle;
}

std::uint64_t ScsiTarget::Blocks(const Lun& lun) const {
  const VirtualDevice* device = bridge_.Device(lun.path);
  return device == nullptr || device->unplugged ? 0 : device->Disk().BlockCount();
}

bool ScsiTarget::IsVendorOpcode(const Lun& lun, std::uint8_t opcode) const {
  const VirtualDevice* device = bridge_.Device(lun.path);
  if (device == nullptr || !device->controller) return false;
  const auto& ops = device->controller->vendorOpcodes;
  return std::find(ops.begin(), ops.end(), opcode) != ops.end();
}

TargetReply ScsiTarget::Execute(std::uint8_t lunIndex, const std::uint8_t* cdb, std::uint8_t cdbLength,
                                const HostTransfer& host) {
  std::lock_guard<std::mutex> lock(mutex_);
  TargetReply reply;
  const std::uint32_t hostLength = host.direction == DataDirection::None ? 0 : host.length;
  reply.residue = hostLength;
  if (lunIndex >= luns_.size() || cdb == nullptr || cdbLength == 0) {
    reply.status = bot::CswStatus::Failed;
    return reply;
  }
  Lun& lun = luns_[lunIndex];
  // Sense data describes the last command; REQUEST SENSE reads it, anything else starts afresh.
  const bool requestSense = cdb[0] == 0x03;
  if (!requestSense) lun.sense = Sense{};
  Result r = Run(lun, cdb, cdbLength, host);
  if (!r.good) lun.sense = r.sense;

  // The thirteen cases: the device's intent against the host's expectation.
  const bool deviceMoves = r.direction != DataDirection::None &&
                           (r.direction == DataDirection::In ? !r.dataIn.empty() : r.dataOut > 0);
  if (r.phaseError || (deviceMoves && (host.direction != r.direction || hostLength == 0))) {
    reply.status = bot::CswStatus::PhaseError;
    return reply;
  }
  if (r.direction == DataDirection::In) {
    if (r.dataIn.size() > hostLength) {
      // More than the host asked for: what fits, then a phase error.
      r.dataIn.resize(hostLength);
      reply.data = std::move(r.dataIn);
      reply.residue = 0;
      reply.status = bot::CswStatus::PhaseError;
      return reply;
    }
    reply.residue = hostLength - static_cast<std::uint32_t>(r.dataIn.size());
    reply.data = std::move(r.dataIn);
  } else if (r.direction == DataDirection::Out) {
    reply.residue = hostLength - std::min(hostLength, r.dataOut);
  }
  reply.status = r.good ? bot::CswStatus::Passed : bot::CswStatus::Failed;
  return reply;
}

ScsiTarget::Result ScsiTarget::Run(Lun& lun, const std::uint8_t* cdb, std::uint8_t cdbLength,
                                   const HostTransfer& host) {
  Result r;
  auto fail = [&r](std::uint8_t key, std::uint16_t asc) {
    r.good = false;
    r.sense = Sense{key, asc};
    r.dataIn.clear();
    return r;
  };
  auto dataIn = [&r](std::vector<std::uint8_t> bytes, std::uint32_t allocation) {
    if (bytes.size() > allocation) bytes.resize(allocation);
    r.direction = DataDirection::In;
    r.dataIn = std::move(bytes);
    return r;
  };
  const std::uint8_t op = cdb[0];
  if (IsVendorOpcode(lun, op)) return Vendor(lun, cdb, cdbLength, host);

  const std::uint64_t blocks = Blocks(lun);
  switch (op) {
    case 0x00: {  // TEST UNIT READY
      if (blocks == 0) return fail(bot::kNotReady, bot::kAscMediumNotPresent);
      if (lun.capacityReported && lun.reportedBlocks != blocks) {
        // The region was resized: the host must read the capacity again.
        lun.reportedBlocks = blocks;
        return fail(bot::kUnitAttention, bot::kAscMediumMayHaveChanged);
      }
      return r;
    }
    case 0x03: {  // REQUEST SENSE
      std::vector<std::uint8_t> sense = bot::FixedSense(lun.sense);
      lun.sense = Sense{};
      return dataIn(std::move(sense), cdb[4]);
    }
    case 0x12:  // INQUIRY
      return Inquiry(lun, cdb);
    case 0x1A:  // MODE SENSE(6): header only (no block descriptors, no caching page: write-through)
      return dataIn({0x03, 0x00, 0x00, 0x00}, cdb[4]);
    case 0x5A:  // MODE SENSE(10)
      return dataIn({0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, Be16(cdb + 7));
    case 0x1B:  // START STOP UNIT
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
      return r;
    case 0x35:  // SYNCHRONIZE CACHE(10): every write is already on the disk
    case 0x91:  // SYNCHRONIZE CACHE(16)
    case 0x2F:  // VERIFY(10)
      if (blocks == 0) return fail(bot::kNotReady, bot::kAscMediumNotPresent);
      return r;
    case 0x25: {  // READ CAPACITY(10)
      if (blocks == 0) return fail(bot::kNotReady, bot::kAscMediumNotPresent);
      std::vector<std::uint8_t> data(8, 0);
      PutBe32(data.data(), static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks - 1, 0xFFFFFFFF)));
      PutBe32(data.data() + 4, kBlockSize);
      lun.reportedBlocks = blocks;
      lun.capacityReported = true;
      return dataIn(std::move(data), 8);
    }
    case 0x9E: {  // SERVICE ACTION IN(16)
      if ((cdb[1] & 0x1F) != 0x10) return fail(bot::kIllegalRequest, bot::kAscInvalidFieldInCdb);
      if (blocks == 0) return fail(bot::kNotReady, bot::kAscMediumNotPresent);
      std::vector<std::uint8_t> data(32, 0);  // READ CAPACITY(16)
      PutBe64(data.data(), blocks - 1);
      PutBe32(data.data() + 8, kBlockSize);
      lun.reportedBlocks = blocks;
      lun.capacityReported = true;
      return dataIn(std::move(data), Be32(cdb + 10));
    }
    case 0xA0: {  // REPORT LUNS
      std::vector<std::uint8_t> data(8 + 8 * luns_.size(), 0);
      PutBe32(data.data(), static_cast<std::uint32_t>(8 * luns_.size()));
      for (std::size_t i = 0; i < luns_.size(); ++i) data[8 + 8 * i + 1] = static_cast<std::uint8_t>(i);
      return dataIn(std::move(data), Be32(cdb + 6));
    }
    case 0x28:  // READ(10)
    case 0x2A:  // WRITE(10)
      if (cdbLength < 10) return fail(bot::kIllegalRequest, bot::kAscInvalidFieldInCdb);
      return ReadWrite(lun, op == 0x2A, Be32(cdb + 2), Be16(cdb + 7), host);
    case 0x88:  // READ(16)
    case 0x8A:  // WRITE(16)
      if (cdbLength < 16) return fail(bot::kIllegalRequest, bot::kAscInvalidFieldInCdb);
      return ReadWrite(lun, op == 0x8A, Be64(cdb + 2), Be32(cdb + 10), host);
    default:
      return fail(bot::kIllegalRequest, bot::kAscInvalidOpcode);
  }
}

ScsiTarget::Result ScsiTarget::Inquiry(const Lun& lun, const std::uint8_t* cdb) const {
  (void)lun;
  Result r;
  r.direction = DataDirection::In;
  const std::uint32_t allocation = Be16(cdb + 3);
  std::vector<std::uint8_t> data;
  if (cdb[1] & 0x01) {  // vital product data
    if (cdb[2] == 0x00) {
      data = {0x00, 0x00, 0x00, 0x02, 0x00, 0x80};
    } else if (cdb[2] == 0x80) {
      data = {0x00, 0x80, 0x00, static_cast<std::uint8_t>(identity_.serial.size())};
      data.insert(data.end(), identity_.serial.begin(), identity_.serial.end());
    } else {
      r.good = false;
      r.sense = {bot::kIllegalRequest, bot::kAscInvalidFieldInCdb};
      return r;
    }
  } else if (cdb[2] != 0) {
    r.good = false;
    r.sense = {bot::kIllegalRequest, bot::kAscInvalidFieldInCdb};
    return r;
  } else {
    data.assign(36, 0);
    data[1] = 0x80;  // removable medium: the host checks for a new capacity when it opens the disk
    data[2] = 0x06;  // SPC-4
    data[3] = 0x02;  // response data format
    data[4] = 31;    // additional length
    PutText(&data[8], 8, identity_.vendor);
    PutText(&data[16], 16, identity_.product);
    PutText(&data[32], 4, identity_.revision);
  }
  if (data.size() > allocation) data.resize(allocation);
  r.dataIn = std::move(data);
  return r;
}

ScsiTarget::Result ScsiTarget::ReadWrite(Lun& lun, bool write, std::uint64_t lba, std::uint32_t count,
                                         const HostTransfer& host) {
  Result r;
  r.direction = write ? DataDirection::Out : DataDirection::In;
  const std::uint64_t bytes = std::uint64_t{count} * kBlockSize;
  auto fail = [&r](std::uint8_t key, std::uint16_t asc) {
    r.good = false;
    r.sense = Sense{key, asc};
    r.dataIn.clear();
    r.dataOut = 0;
    return r;
  };
  if (bytes > kMaxCommandBytes) return fail(bot::kIllegalRequest, bot::kAscInvalidFieldInCdb);
  const std::uint64_t blocks = Blocks(lun);
  if (write) {
    // Never write a command whose data the host did not send in full.
    if (host.direction != DataDirection::Out || host.length < bytes) {
      r.phaseError = count > 0;
      r.dataOut = 0;
      return r;
    }
    r.dataOut = static_cast<std::uint32_t>(bytes);
  }
  if (count == 0) return r;
  if (blocks == 0) return fail(bot::kNotReady, bot::kAscMediumNotPresent);
  if (lba >= blocks || count > blocks - lba || lba + count > 0x100000000ull)
    return fail(bot::kIllegalRequest, bot::kAscLbaOutOfRange);
  if (!write && (host.direction != DataDirection::In || host.length < bytes)) {
    r.phaseError = true;  // the host cannot take what the command reads
    return r;
  }
  if (!Open(lun)) return fail(bot::kHardwareError, bot::kAscLogicalUnitCommunicationFailure);
  if (!write) r.dataIn.assign(static_cast<std::size_t>(bytes), 0);
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t n = std::min(kChunkBlocks, count - done);
    const std::uint32_t block = static_cast<std::uint32_t>(lba + done);
    std::uint8_t cdb10[10] = {static_cast<std::uint8_t>(write ? 0x2A : 0x28), 0};
    PutBe32(cdb10 + 2, block);
    cdb10[7] = static_cast<std::uint8_t>(n >> 8);
    cdb10[8] = static_cast<std::uint8_t>(n);
    std::uint8_t* data = write ? const_cast<std::uint8_t*>(host.outData) + std::size_t{done} * kBlockSize
                               : r.dataIn.data() + std::size_t{done} * kBlockSize;
    const RawOutcome o = RunRawCommand(bridge_, lun.handle, cdb10, 10, !write, data, n * kBlockSize, 30, 18);
    if (!o.delivered) return fail(bot::kHardwareError, bot::kAscLogicalUnitCommunicationFailure);
    if (o.status != platform::kScsiStatusGood)
      return fail(write ? bot::kHardwareError : bot::kMediumError, 0x0000);
    done += n;
  }
  return r;
}

ScsiTarget::Result ScsiTarget::Vendor(Lun& lun, const std::uint8_t* cdb, std::uint8_t cdbLength,
                                      const HostTransfer& host) {
  Result r;
  const std::uint32_t length = host.direction == DataDirection::None ? 0 : host.length;
  if (length > kMaxDataLength) {
    r.good = false;
    r.sense = {bot::kIllegalRequest, bot::kAscInvalidFieldInCdb};
    return r;
  }
  if (!Open(lun)) {
    r.good = false;
    r.sense = {bot::kHardwareError, bot::kAscLogicalUnitCommunicationFailure};
    return r;
  }
  std::vector<std::uint8_t> data;
  const bool in = host.direction == DataDirection::In;
  if (in) {
    data.assign(length, 0);
  } else if (length > 0) {
    data.assign(host.outData, host.outData + length);
  }
  const RawOutcome o = RunRawCommand(bridge_, lun.handle, cdb, cdbLength, in, data.data(), length,
                                     kVendorTimeoutSeconds, 18);
  r.direction = host.direction;
  if (!o.delivered) {
    r.good = false;
    r.sense = {bot::kHardwareError, bot::kAscLogicalUnitCommunicationFailure};
    r.direction = DataDirection::None;
    return r;
  }
  if (o.status != platform::kScsiStatusGood) {
    r.good = false;
    r.sense = bot::ParseSense(o.sense);
    if (r.sense.key == bot::kNoSense) r.sense = {bot::kIllegalRequest, bot::kAscInvalidFieldInCdb};
    // A rejected command moves no data, whichever way the host meant it to go.
    if (in) r.direction = DataDirection::None;
    else r.dataOut = length;
    return r;
  }
  if (in) {
    data.resize(o.moved);
    r.dataIn = std::move(data);
  } else {
    r.dataOut = length;
  }
  return r;
}

}  // namespace quillon::testing
