#ifndef QUILLON_SECURE_UPCASE_TABLE_H
#define QUILLON_SECURE_UPCASE_TABLE_H

#include <cstdint>

namespace quillon {

constexpr uint32_t kExfatUpcaseEntries = 2918;
constexpr uint32_t kExfatUpcaseBytes = kExfatUpcaseEntries * 2;  // 5836
constexpr uint32_t kExfatUpcaseChecksum = 0xE619D30D;

extern const uint16_t kExfatUpcaseTable[kExfatUpcaseEntries];

// Writes the table little-endian, kExfatUpcaseBytes bytes.
void ExfatUpcaseBytes(uint8_t* out);

// The exFAT table checksum: rotate right by one, add the next byte.
uint32_t ExfatTableChecksum(const uint8_t* data, uint32_t length);

}  // namespace quillon

#endif
