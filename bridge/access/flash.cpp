// SPI flash identification and the two exports that reach the flash directly.

#include "access/flash.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "access/catalogue.h"
#include "access/commands.h"
#include "access/digest.h"
#include "quillon_flash.h"

namespace quillon {

namespace {

// Reads `count` identifier bytes (first byte received in the low byte) with the opcode now loaded
// into the identification slot.
bool ReadIdentifier(const BridgeDevice& device, std::uint8_t mode, std::uint32_t count, std::uint32_t* id) {
  std::uint8_t bytes[4] = {};
  if (!CmdFlashReadMode(device, 0, mode, bytes, count)) return false;
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < count; ++i) value |= std::uint32_t{bytes[i]} << (8 * i);
  *id = value;
  return true;
}

}  // namespace

void LookupFlashCatalogue(BridgeDevice& device) {
  std::string_view identification;
  if (!LoadLibraryResource(kFlashIdentificationTableId, &identification)) return;
  device.flashName[0] = '\0';
  std::string name;
  if (!FindCataloguePart(identification, device.jedecId, device.remsId, &name)) return;
  // The record's field bounds the stored name; the full name still joins the operation table.
  const std::size_t kept = std::min(name.size(), kFlashNameSize - 1);
  std::memcpy(device.flashName, name.data(), kept);
  device.flashName[kept] = '\0';

  std::string_view operations;
  if (!LoadLibraryResource(kFlashOperationTableId, &operations)) return;
  CatalogueOperations row;
  if (!FindCatalogueOperations(operations, name, &row)) return;
  for (std::size_t i = 0; i < kCatalogueOpcodeCount; ++i) {
    if (row.opcodes[i] != 0) device.opcodes[i] = row.opcodes[i];
  }
  if (row.pageSize > 0) device.pageSize = row.pageSize;
  if (row.sectorSize > 0) device.sectorSize = row.sectorSize;
}

int IdentifyFlash(BridgeDevice& device) {
  device.opcodes = kDefaultSpiOpcodes;
  device.jedecId = 0;
  device.remsId = 0;

  // A failed opcode load shows in the identifier read that follows, so its result is not checked.
  CmdSetSpiOpcode(device, kIdentificationSlot, device.opcodes[SpiOpcodeTable::RDID]);
  if (!ReadIdentifier(device, kFlashReadIdentification, 3, &device.jedecId)) return 0;
  if (device.jedecId == 0xFFFFFF) {
    CmdSetSpiOpcode(device, kIdentificationSlot, kOpcodeReadIdFallback);
    if (!ReadIdentifier(device, kFlashReadIdentification, 3, &device.jedecId)) return 0;
  }

  CmdSetSpiOpcode(device, kIdentificationSlot, device.opcodes[SpiOpcodeTable::REMS]);
  if (!ReadIdentifier(device, kFlashReadManufacturer, 2, &device.remsId)) return 0;
  if (device.remsId == 0 || device.remsId == 0xFFFF) {
    CmdSetSpiOpcode(device, kIdentificationSlot, kOpcodeReleaseId);
    if (!ReadIdentifier(device, kFlashReadManufacturer, 2, &device.remsId)) return 0;
  }

  LookupFlashCatalogue(device);
  return 1;
}

std::uint32_t FlashPartSize(const BridgeDevice& device) {
  if (device.flashName[0] == '\0') return 0;
  std::string_view identification;
  std::string_view operations;
  std::string name;  // in full: the record keeps a shortened one
  CatalogueOperations row;
  if (!LoadLibraryResource(kFlashIdentificationTableId, &identification) ||
      !LoadLibraryResource(kFlashOperationTableId, &operations) ||
      !FindCataloguePart(identification, device.jedecId, device.remsId, &name) ||
      !FindCatalogueOperations(operations, name, &row))
    return 0;
  return row.sizeBytes;
}

std::uint32_t FlashDumpReadLength(std::uint32_t pageSize) {
  if (pageSize == 0) return 0;
  return pageSize * ((pageSize + kFlashDumpBytes - 1) / pageSize);
}

}  // namespace quillon

using namespace quillon;

QUILLON_API int QUILLON_CALL ReadFlash(const char* path, char* data, uint32_t* length, uint32_t address) {
  if (data == nullptr || length == nullptr) return 0;
  BridgeDevice device;
  if (!OpenBridgeDevice(&device, path)) return 0;
  if (CmdFlashPresent(device) != 1 || !IdentifyFlash(device)) return 0;

  const std::uint32_t readLength = FlashDumpReadLength(device.pageSize);
  if (readLength < kFlashDumpBytes) return 0;
  std::vector<std::uint8_t> bytes(readLength);
  if (!CmdFlashRead(device, address, bytes.data(), readLength)) return 0;

  // Only a complete read reaches the caller's buffer.
  const std::string text = HexSpaced(bytes.data(), kFlashDumpBytes);
  std::memcpy(data, text.data(), text.size());
  *length = static_cast<std::uint32_t>(text.size());
  return 1;
}

QUILLON_API int QUILLON_CALL SectorEraseFlash(const char* path, uint32_t address) {
  BridgeDevice device;
  if (!OpenBridgeDevice(&device, path)) return 0;
  if (!IdentifyFlash(device)) return 0;
  return CmdFlashSectorErase(device, address);
}
