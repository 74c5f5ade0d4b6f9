#ifndef QUILLON_TESTING_SCSI_TARGET_H
#define QUILLON_TESTING_SCSI_TARGET_H

// The virtual bridge as the SCSI target a USB mass-storage device presents: one logical unit per
// device path of the bridge (the public disk first). It answers the commands an operating system's
// disk driver sends (INQUIRY, TEST UNIT READY, READ CAPACITY, MODE SENSE, REQUEST SENSE, READ and WRITE,
// SYNCHRONIZE CACHE, ...) with proper sense data, moves blocks and forwards vendor commands through the
// bridge's own pass-through, so the disks, the controller and the request log are the bridge's.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bulk_only.h"
#include "testing/virtual_bridge/virtual_bridge.h"

namespace quillon::testing {

struct ScsiIdentity {
  std::string vendor = "VIRTUAL";     // INQUIRY bytes 8-15
  std::string product = "BRIDGE";     // bytes 16-31
  std::string revision = "1.00";      // bytes 32-35
  std::string serial = "VB0000000001";  // unit serial number page (80h)
};

enum class DataDirection { None, In, Out };

// The host's side of one command, as the command block wrapper states it.
struct HostTransfer {
  DataDirection direction = DataDirection::None;
  std::uint32_t length = 0;               // bytes the host expects to move
  const std::uint8_t* outData = nullptr;  // data-out: the length bytes the host sent
};

// The device's side, judged against the host's by the thirteen cases of the Bulk-Only Transport.
struct TargetReply {
  bot::CswStatus status = bot::CswStatus::Passed;
  std::vector<std::uint8_t> data;  // data-in bytes to send (at most the host's length)
  std::uint32_t residue = 0;       // host length minus the bytes the device moved
};

class ScsiTarget {
 public:
  // lunPaths: the bridge's device paths, LUN 0 first. The bridge must outlive the target.
  ScsiTarget(VirtualBridge& bridge, std::vector<std::string> lunPaths, ScsiIdentity identity = {});
  ~ScsiTarget();
  ScsiTarget(const ScsiTarget&) = delete;
  ScsiTarget& operator=(const ScsiTarget&) = delete;

  std::uint8_t MaxLun() const { return static_cast<std::uint8_t>(luns_.size() - 1); }
  TargetReply Execute(std::uint8_t lun, const std::uint8_t* cdb, std::uint8_t cdbLength, const HostTransfer& host);
  // The sense data REQUEST SENSE would return on a LUN now (for tests).
  bot::Sense PendingSense(std::uint8_t lun) const;

 private:
  struct Lun {
    std::string path;
    platform::DeviceHandle handle = platform::kInvalidDeviceHandle;
    bot::Sense sense;                   // of the last command that failed
    std::uint64_t reportedBlocks = 0;   // capacity the host was last told of
    bool capacityReported = false;
  };
  // What a command does before it is judged against the host's transfer.
  struct Result {
    bool good = true;
    bot::Sense sense;
    DataDirection direction = DataDirection::None;
    std::vector<std::uint8_t> dataIn;
    std::uint32_t dataOut = 0;          // bytes of data-out the command takes
    bool phaseError = false;            // the host offered less data-out than the command needs
  };

  Result Run(Lun& lun, const std::uint8_t* cdb, std::uint8_t cdbLength, const HostTransfer& host);
  Result Inquiry(const Lun& lun, const std::uint8_t* cdb) const;
  Result ReadWrite(Lun& lun, bool write, std::uint64_t lba, std::uint32_t count, const HostTransfer& host);
  Result Vendor(Lun& lun, const std::uint8_t* cdb, std::uint8_t cdbLength, const HostTransfer& host);
  std::uint64_t Blocks(const Lun& lun) const;
  bool IsVendorOpcode(const Lun& lun, std::uint8_t opcode) const;
  bool Open(Lun& lun);

  VirtualBridge& bridge_;
  ScsiIdentity identity_;
  std::vector<Lun> luns_;
  mutable std::mutex mutex_;
};

}  // namespace quillon::testing

#endif
