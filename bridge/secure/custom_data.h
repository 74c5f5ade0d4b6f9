#ifndef QUILLON_SECURE_CUSTOM_DATA_H
#define QUILLON_SECURE_CUSTOM_DATA_H

// Custom data: an area of the SPI flash, and data records in the Apple firmware image.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillon {

constexpr std::uint32_t kCustomDataAddress = 0x2F000;
constexpr std::uint32_t kCustomDataSize = 1024;
constexpr std::uint32_t kCustomSectorSize = 4096;
constexpr std::uint8_t kVendorOpcode8352 = 0xC2;
// The firmware-record form: at most 128 words, keys 0x3021E + j, right after the eight password
// records of the Apple image.
constexpr std::uint32_t kCustomRecordMax = 512;
constexpr std::uint32_t kCustomRecordWords = 128;
constexpr std::uint32_t kKeyCustomFirst = 0x3021E;
constexpr std::uint8_t kCustomRecordLowFirst = 0x1E;
constexpr std::uint8_t kCustomRecordHigh = 0x02;
constexpr std::uint8_t kCustomRecordType = 0x03;

// Rebuilds a valid Apple image (its L bytes; the eight password records start at passwordRecords)
// with the custom records of `length` bytes of data in place of those it carried: (length + 3) / 4
// records, the last word zero-padded. The image keeps a length that is a multiple of 1,024 with the
// trailer at its end and gets a fresh checksum. False, with *out untouched, when the data is longer
// than 512 bytes or the records do not lie where they should.
bool PutCustomRecords(const std::vector<std::uint8_t>& image, std::size_t passwordRecords, const std::uint8_t* data,
                      std::size_t length, std::vector<std::uint8_t>* out);

}  // namespace quillon

#endif
