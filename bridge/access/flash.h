#ifndef QUILLON_ACCESS_FLASH_H
#define QUILLON_ACCESS_FLASH_H

// Identification of the SPI flash part behind the controller, and what the flash exports share.

#include <cstdint>

#include "access/bridge_device.h"

namespace quillon {

// Opcodes the controller is given for the two identifier reads and their fallbacks.
constexpr std::uint8_t kOpcodeReadIdFallback = 0x15;  // when RDID answers FF FF FF
constexpr std::uint8_t kOpcodeReleaseId = 0xAB;       // when REMS answers 0 or 0xFFFF
// The REMS opcode slot of the controller that the identifier reads go through.
constexpr std::uint8_t kIdentificationSlot = 1;

// The flash text of ReadFlash: the first 64 KiB, three characters per byte.
constexpr std::uint32_t kFlashDumpBytes = 65536;
constexpr std::uint32_t kFlashDumpChars = 3 * kFlashDumpBytes;  // 196,608

// Loads the default opcode table, reads the JEDEC id (RDID, falling back to opcode 0x15 on FF FF FF)
// and the REMS id (falling back to opcode 0xAB on 0 or 0xFFFF), then looks the part up in the
// compiled-in catalogues: a known part sets the flash name, the opcodes its row gives, the page size
// and the sector size. Returns 1 when both identifier reads succeeded (whether or not the part is
// known), 0 when a read failed.
int IdentifyFlash(BridgeDevice& device);

// The catalogue step of IdentifyFlash on the record's JEDEC and REMS ids. Leaves the record as it was
// when the catalogue cannot be read; otherwise the flash name is the part found, or empty.
void LookupFlashCatalogue(BridgeDevice& device);

// Capacity in bytes of the part IdentifyFlash found, from the operation catalogue; 0 when the part
// or its capacity is unknown.
std::uint32_t FlashPartSize(const BridgeDevice& device);

// Bytes ReadFlash reads for a page size: whole pages covering 64 KiB.
std::uint32_t FlashDumpReadLength(std::uint32_t pageSize);

}  // namespace quillon

#endif
