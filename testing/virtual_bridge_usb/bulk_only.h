#ifndef QUILLON_TESTING_BULK_ONLY_H
#define QUILLON_TESTING_BULK_ONLY_H

// USB Mass Storage Class Bulk-Only Transport framing: the 31-byte command block wrapper (CBW), the
// 13-byte command status wrapper (CSW), the class requests, and the fixed-format sense data the SCSI
// answers carry.

#include <cstdint>
#include <vector>

namespace quillon::testing::bot {

constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr std::size_t kCbwSize = 31;
constexpr std::size_t kCswSize = 13;

// Class requests on the interface.
constexpr std::uint8_t kRequestReset = 0xFF;       // Bulk-Only Mass Storage Reset (host to interface)
constexpr std::uint8_t kRequestGetMaxLun = 0xFE;   // Get Max LUN (interface to host, 1 byte)

enum class CswStatus : std::uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

struct Cbw {
  std::uint32_t tag = 0;
  std::uint32_t dataLength = 0;   // dCBWDataTransferLength: what the host expects to move
  bool dataIn = false;            // bmCBWFlags bit 7 (meaningful when dataLength > 0)
  std::uint8_t lun = 0;
  std::uint8_t cdbLength = 0;
  std::uint8_t cdb[16] = {};
};

// Parses a CBW; false when it is not valid (size, signature) or not meaningful (CDB length outside 1-16,
// reserved bits set, a LUN above maxLun).
bool ParseCbw(const std::uint8_t* data, std::size_t length, std::uint8_t maxLun, Cbw* out);

std::vector<std::uint8_t> MakeCsw(std::uint32_t tag, std::uint32_t residue, CswStatus status);

// Sense keys and the additional sense codes the device reports (ASC << 8 | ASCQ).
enum SenseKey : std::uint8_t {
  kNoSense = 0x0,
  kNotReady = 0x2,
  kMediumError = 0x3,
  kHardwareError = 0x4,
  kIllegalRequest = 0x5,
  kUnitAttention = 0x6,
  kAbortedCommand = 0xB,
};
constexpr std::uint16_t kAscNone = 0x0000;
constexpr std::uint16_t kAscInvalidOpcode = 0x2000;
constexpr std::uint16_t kAscLbaOutOfRange = 0x2100;
constexpr std::uint16_t kAscInvalidFieldInCdb = 0x2400;
constexpr std::uint16_t kAscLunNotSupported = 0x2500;
constexpr std::uint16_t kAscMediumMayHaveChanged = 0x2800;
constexpr std::uint16_t kAscMediumNotPresent = 0x3A00;
constexpr std::uint16_t kAscLogicalUnitCommunicationFailure = 0x0800;

struct Sense {
  std::uint8_t key = kNoSense;
  std::uint16_t asc = kAscNone;
};

// Fixed-format sense data, 18 bytes (response code 70h, current error).
std::vector<std::uint8_t> FixedSense(const Sense& sense);
// Reads key and code back from fixed- or descriptor-format sense data; a key of kNoSense when too short.
Sense ParseSense(const std::vector<std::uint8_t>& data);

}  // namespace quillon::testing::bot

#endif
