#ifndef QUILLON_FIRMWARE_FIRMWARE_UPDATE_H
#define QUILLON_FIRMWARE_FIRMWARE_UPDATE_H

// Writing, verifying and checking the firmware copies on a bridge: copies 0 and 1 hold the PC image,
// copies 2 and 3 the Apple image, either in SPI flash (64 KiB apart from address 0) or on the memory
// cards (128 blocks of 512 bytes apart from block 0).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "access/bridge_device.h"

namespace quillon {

constexpr int kFirmwareCopies = 4;
constexpr std::uint32_t kCopyFlashAddress[kFirmwareCopies] = {0x00000, 0x10000, 0x20000, 0x30000};
constexpr std::uint32_t kCopyCardBlock[kFirmwareCopies] = {0, 128, 256, 384};
constexpr std::uint32_t kCopyReadLength = 65536;  // bytes read back per copy

// Controller word whose first byte has bit 7 set when the copies live on the cards.
constexpr std::uint32_t kFirmwareFlagsAddress = 0x307E8;
// WriteFirmwareCopies on SPI flash: 15 sectors of 4,096 bytes per copy; the last sector of each
// 64 KiB area is not the firmware's.
constexpr std::uint32_t kRewriteSectorSize = 4096;
constexpr std::uint32_t kRewriteSectors = 15;
constexpr std::uint32_t kRewriteMaxImage = kRewriteSectorSize * kRewriteSectors;  // 61,440
constexpr std::uint32_t kChipEraseWaitMs = 4000;
constexpr std::uint32_t kCardPrepareWaitMs = 1000;

// Progress of a long operation: steps done and steps planned (erase, each copy written, each copy
// read back). Called on the caller's thread after every step.
using FirmwareProgress = std::function<void(unsigned done, unsigned total)>;

// Rewrites the firmware copies of an already identified flash (or the cards) with the given images,
// each copy written and read back before the next: on cards for every card present, copy by copy;
// on SPI flash each copy's 15 sectors are erased, programmed and read back. Copies 0 and 1 take the
// PC image, 2 and 3 the Apple image; it stops after copy 0 when the top byte of identify word 2 is 1
// and after copy 1 without an Apple image. Returns 1 when every copy written was read back equal; 0
// when no PC image is given, an image does not fit its copy, the flags word or the identify step
// fails, no card is present for card storage, or any write, read or comparison fails (it stops
// there at once).
int WriteFirmwareCopies(BridgeDevice& device, const std::uint8_t* pcImage, std::uint32_t pcLength,
                        const std::uint8_t* appleImage, std::uint32_t appleLength,
                        const FirmwareProgress& progress = {});

// UpdateFw's work: prepares the firmware file (refusing bad files before any device access), checks
// the controller, then writes and verifies the copies on SPI flash or the cards.
int UpdateFirmware(const char* path, const char* fileText, std::uint32_t fileLength, const char* product,
                   const FirmwareProgress& progress = {});

// CheckFw's report: one line per copy, "\r\n"-terminated.
std::string CheckFirmwareReport(const char* path);

}  // namespace quillon

#endif
