#ifndef TESTING_FIRMWARE_IMAGE_FIRMWARE_IMAGE_BUILDER_H
#define TESTING_FIRMWARE_IMAGE_FIRMWARE_IMAGE_BUILDER_H

// Builds firmware images and firmware files for tests and for seeding the virtual bridge, and damages
// them on purpose. Independent of the library: it has its own checksum and hexadecimal writer, so a
// fault in the library's helpers cannot hide behind the same fault here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fwbuild {

enum class ChipPlace { BeforeVersion, AfterVersion, AfterProductRecord };

struct ImageRecipe {
  std::string chipCode = "FCC2";       // four characters; empty for no chip-code record
  ChipPlace chipPlace = ChipPlace::BeforeVersion;
  bool withVersion = true;
  std::uint32_t version = 0x01020304;  // 1.2.3.4: first layout
  bool withOptions = true;             // key 0x301FA (first layout) or 0x30200 (second layout)
  std::uint8_t optionBits = 0;         // first layout: bit 7 cards, bit 5 password
  std::uint8_t passwordFlagBits = 0;   // second layout: top value byte of key 0x30200
  bool withPasswordRecords = true;     // eight block records (0x3020C.. or 0x30202..)
  std::string password;                // text carried in the block records (NUL-padded to 32)
  std::size_t productAreaSize = 560;   // bytes after the 0x13 record's length field (n + 1)
  std::uint8_t productAreaFill = 0x5A;
  std::vector<std::vector<std::uint8_t>> extraRecords;  // raw records put before the 0x13 record
  std::vector<std::vector<std::uint8_t>> extraRecordsAfter13;  // raw records put after it
  int records12 = 1;
  int records13 = 1;
  std::size_t endRecordOffset = 0;     // when not 0, the last 0x12 record grows to put the end record here
  std::uint8_t unknownType = 0;        // when not 0, a record of this (unknown) type goes before the 0x13
};

struct BuiltImage {
  std::vector<std::uint8_t> bytes;
  bool secondLayout = false;
  std::size_t chipRecord = 0;          // offsets of the records' type bytes; 0 when absent
  std::size_t versionRecord = 0;
  std::size_t optionRecord = 0;
  std::size_t passwordRecords = 0;
  std::size_t record13 = 0;
  std::size_t endRecord = 0;
};

// True when the recipe describes a second-layout image: accepted chip code before the version, top
// version byte above 1, 5 in the upper half of the lowest version byte.
bool IsSecondLayout(const ImageRecipe& recipe);

// A complete image: records, end record, zero padding to L and the trailer with a correct checksum.
BuiltImage BuildImage(const ImageRecipe& recipe);

// A 7-byte record: type (key >> 16), address (least significant first), value (least significant first).
std::vector<std::uint8_t> ValueRecord(std::uint32_t key, std::uint32_t value);

// The five records from key 0x30207 a PC image carries the hidden sector count in: the count sits in
// the last of them, its value bytes most significant first. For ImageRecipe::extraRecords.
std::vector<std::vector<std::uint8_t>> HiddenCountRecords(std::uint32_t sectors);

// Typical PC (first layout) and Apple (second layout, version 2.0.0.0x50) images.
ImageRecipe PcRecipe();
ImageRecipe AppleRecipe();

// CRC-16/CMS, independent of the library's.
std::uint16_t Crc16(const std::uint8_t* data, std::size_t length);
// Stores the checksum of all bytes but the last two in those two bytes.
void Seal(std::vector<std::uint8_t>& image);

// Damage.
void BreakChecksum(std::vector<std::uint8_t>& image);                       // flips the last byte
void PutPaddingByte(BuiltImage& image, std::uint8_t value = 0x01);          // after the end record, resealed
void BreakSignature(std::vector<std::uint8_t>& image);                      // "KAVRITEX" -> "KAVRITEY", resealed
void Truncate(std::vector<std::uint8_t>& image, std::size_t length);

// Two-digit lower-case hexadecimal values each followed by a blank. With bytesPerLine, `lineEnd` is
// inserted after every that many values.
std::string HexText(const std::vector<std::uint8_t>& bytes, std::size_t bytesPerLine = 0,
                    const std::string& lineEnd = "\r\n");
// A firmware file: the PC image, optionally followed directly by the Apple image.
std::string FirmwareFile(const std::vector<std::uint8_t>& pc, const std::vector<std::uint8_t>* apple = nullptr,
                         std::size_t bytesPerLine = 0, const std::string& lineEnd = "\r\n");

// The 32-bit value of the 7-byte record at `offset` (least significant byte first).
std::uint32_t RecordValue(const std::vector<std::uint8_t>& image, std::size_t offset);

}  // namespace fwbuild

#endif
