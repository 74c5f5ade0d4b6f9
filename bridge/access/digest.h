#ifndef QUILLON_ACCESS_DIGEST_H
#define QUILLON_ACCESS_DIGEST_H

// Digests, checksums and text forms shared by the flash, firmware and secure-storage code.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Size of a SHA-1 digest in bytes; the digest buffer given to Sha1Digest must hold at least this many.
constexpr std::size_t kSha1Size = 20;
// Crc32Raw32 always covers a block of exactly this many bytes.
constexpr std::size_t kCrc32BlockSize = 32;

// SHA-1 of `length` bytes at `data` through the platform's cryptographic service. On success writes
// the 20-byte digest to `digest`, its length to `*digestLength` (when given) and returns 1; returns 0
// on any failure. `data` may be null only when `length` is 0.
int Sha1Digest(const void* data, std::size_t length, std::uint8_t* digest, std::uint32_t* digestLength);

// CRC-32/JAMCRC (reflected, polynomial 0xEDB88320, initial 0xFFFFFFFF, no final inversion) over the
// 32 bytes at `block`.
std::uint32_t Crc32Raw32(const std::uint8_t* block);

// CRC-16/CMS (polynomial 0x8005, initial 0xFFFF, most significant bit first, no final exclusive-or).
std::uint16_t Crc16Msb(const void* data, std::size_t length);

// Two lower-case hexadecimal digits and one blank per byte: 3 x count characters.
std::string HexSpaced(const void* bytes, std::size_t count);

// Decodes the text form above: the two characters at positions 0, 3, 6, ... are one byte each (a
// single character at the very end counts as one digit); the characters in between are separators
// and are not looked at. Text whose digit positions hold anything but hexadecimal digits is refused:
// the result is false and `*out` is left as it was.
bool HexSpacedParse(std::string_view text, std::vector<std::uint8_t>* out);

// Converts NUL-terminated text in the system's ANSI code page (the current locale's multibyte
// encoding on Linux) to UTF-16. False, with `*out` unchanged, when the text cannot be converted.
bool AnsiToWide(const char* text, std::u16string* out);

}  // namespace quillon

#endif
