#ifndef QUILLON_SECURE_HIDDEN_PARTITION_H
#define QUILLON_SECURE_HIDDEN_PARTITION_H

// The hidden partition's size, its start in controller memory and its layout across the cards.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "access/bridge_device.h"

namespace quillon {

// The PC image carries the hidden sector count N in the fourth record after key 0x30207, its four
// value bytes read most significant first.
constexpr std::uint32_t kKeyHiddenCount = 0x30207;
constexpr std::size_t kHiddenCountDistance = 28;
// Controller memory that says where the hidden region starts.
constexpr std::uint32_t kHiddenStartAddress = 0x3081C;
constexpr std::size_t kHiddenStartReplySize = 20;

// Identifies the flash, reads the PC image at flash offset 0, checks it and takes N from it. False
// when a read fails, the image is not valid or it does not carry the count.
bool ReadHiddenSectorCount(BridgeDevice& device, std::uint32_t* count);

// The region start S from the 20 bytes at 0x3081C: when the low two bits of the first byte are 1,
// bytes 4-7 (most significant first) times 4 plus 4; otherwise 0.
std::uint64_t HiddenRegionStart(const std::uint8_t reply[kHiddenStartReplySize]);

struct HiddenLayoutCommand {
  std::uint8_t slot = 0;
  std::uint32_t first = 0;
  std::uint32_t second = 0;
};

// One command per card slot present (slots in slot order): command k goes to the slot at list
// position ((S mod n) + k) mod n with the numbers (S + k) / n and (S + k + N) / n - 1. False, with no
// command, when a number does not fit 32 bits.
bool HiddenLayout(std::uint64_t start, std::uint32_t count, const std::vector<std::uint8_t>& slots,
                  std::vector<HiddenLayoutCommand>* commands);

}  // namespace quillon

#endif
