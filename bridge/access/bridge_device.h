#ifndef QUILLON_ACCESS_BRIDGE_DEVICE_H
#define QUILLON_ACCESS_BRIDGE_DEVICE_H

// The per-call device record every export builds from its path, the controller family and the decoded
// identify reply.

#include <cstddef>
#include <cstdint>

namespace quillon {

// Longest device path a record holds ("\\.\PhysicalDrive%d", "\\.\CDROM%d", "/dev/sdX").
constexpr std::size_t kMaxPathLength = 24;
constexpr std::size_t kPathFieldSize = kMaxPathLength + 1;
constexpr std::size_t kFlashNameSize = 32;

enum class ChipKind { None, Kind6623, KindFcc };

// The ten SPI flash opcodes of the attached part, by index.
struct SpiOpcodeTable {
  enum Index : std::size_t {
    RDID = 0, REMS, READ, RDSR, WREN, PAGE_PROG, SECTOR_ERASE, CHIP_ERASE, EWSR, WRSR, Count
  };
  std::uint8_t op[Count];

  std::uint8_t operator[](std::size_t i) const { return op[i]; }
  std::uint8_t& operator[](std::size_t i) { return op[i]; }
};

// Opcodes in force before a flash part has been identified.
constexpr SpiOpcodeTable kDefaultSpiOpcodes = {{0x9F, 0x90, 0x03, 0x05, 0x06, 0x02, 0x20, 0xC7, 0x00, 0x01}};

struct BridgeDevice {
  std::uint32_t pageSize;            // SPI flash page: unit of flash program and read
  std::uint32_t sectorSize;          // SPI flash erase sector
  char flashName[kFlashNameSize];    // catalogue name of the identified part, empty until identified
  char path[kPathFieldSize];         // device path opened by every command
  std::uint8_t vendorOpcode;         // byte 0 of every vendor CDB
  std::uint32_t jedecId;             // RDID bytes, first byte received in the low byte
  std::uint32_t remsId;              // REMS bytes, first byte received in the low byte
  SpiOpcodeTable opcodes;
  std::uint32_t imageSigned;         // set by the firmware image check
  std::uint32_t maxTransfer;         // largest chunk for memory and identification transfers
  ChipKind chipKind;
  std::uint32_t secondImageSupport;  // identify reply byte 12 above 1
};

// Decoded reply of CmdIdentify: 13 bytes r0..r12.
constexpr std::size_t kIdentifyReplySize = 13;
constexpr std::size_t kChipNameMax = 5;

struct IdentifyInfo {
  int formatB;                         // 1 for a "B" reply, 0 for an "F" reply
  char chipName[kChipNameMax + 1];     // at most 5 characters, NUL-terminated
  std::uint32_t word1;
  std::uint32_t word2;                 // carries the controller's firmware version
  std::uint8_t reply[kIdentifyReplySize];  // the raw reply bytes
};

// Fills the initial values and copies the path. Returns 0 (record untouched) for a null path or one
// longer than 24 characters, else 1.
int OpenBridgeDevice(BridgeDevice* device, const char* path);

// Decodes an identify reply. Returns 0 when r0 is neither "B" nor "F". A chip name that would be longer
// than 5 characters is cut after the fifth.
int DecodeIdentify(const std::uint8_t reply[kIdentifyReplySize], IdentifyInfo* info);

// "6623", "BC1" -> Kind6623; "FCC1", "FCC2" -> KindFcc; anything else -> None.
ChipKind ChipKindFromName(const char* chipName);

// The identify step: chip kind None, CmdIdentify, decode, second-image flag, chip kind from the name.
// Returns 1 with info filled (info may be null), 0 on failure (chip kind stays None).
int IdentifyBridge(BridgeDevice& device, IdentifyInfo* info);

}  // namespace quillon

#endif
