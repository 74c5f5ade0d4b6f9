#ifndef QUILLON_SECURE_PASSWORD_OLD_H
#define QUILLON_SECURE_PASSWORD_OLD_H

// Password forms shared by both password schemes, and the old scheme's record, process mask and
// firmware-image stamping.
//
// Old-scheme record (32 bytes, eight little-endian words): words 0-4 the SHA-1 of the password text,
// words 5-6 zero, word 7 the CRC-32 (Crc32Raw32) of the text zero-padded to 32 bytes xor the process
// mask. The controller keeps it at 0x30830 and its flag word at 0x307E8; the PC image keeps it in the
// eight records from key 0x3020C with the flag bit 0x20 in the option record 0x301FA, the Apple image
// in the eight records from key 0x30202 with the flag bit 0x02 in the top value byte of key 0x30200.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "access/bridge_device.h"

namespace quillon {

constexpr std::size_t kOldRecordSize = 32;
constexpr std::uint32_t kOldFlagsAddress = 0x307E8;
constexpr std::uint32_t kOldRecordAddress = 0x30830;
constexpr std::uint8_t kOldFlagSet = 0x20;        // first byte of the flag word: a password is set
constexpr std::uint8_t kOldFlagUnusable = 0x40;   // the controller marks the password unusable
constexpr std::uint8_t kOldFlagCardImages = 0x80; // the firmware images live on the memory cards
// Longest text SetPasswordOld takes: the record keeps the text NUL-terminated in 32 bytes.
constexpr std::size_t kOldPasswordMaxSet = 31;

// The password text zero-padded to `size` bytes (without terminator). False, with nothing written,
// for a null text or one longer than `size` bytes.
bool PasswordBlock(const char* text, std::size_t size, std::uint8_t* block);

// The process mask: 0 at load, drawn from rand() when a password is set on a controller without one,
// recovered by a successful verification, 0 again after a clear.
std::uint32_t OldPasswordMask();
void SetOldPasswordMask(std::uint32_t mask);
// Draws a new mask (rand() & 0xFF for bytes 0 to 2, the fourth rand() result shifted left by 24),
// stores and returns it.
std::uint32_t DrawOldPasswordMask();

// Builds the record of a text (at most 32 bytes) with the given mask. False when the text is too long
// or the digest cannot be computed.
bool BuildOldRecord(const char* text, std::uint32_t mask, std::uint8_t record[kOldRecordSize]);
// Word 7 of a record xor the CRC of the text: the mask the record was built with.
std::uint32_t MaskFromRecord(const char* text, const std::uint8_t record[kOldRecordSize]);

// Puts a record into an image (when record is not null) and sets or clears its password flag, then
// stores the fresh checksum. The image is the L bytes of one valid image. False, with the image
// unchanged, when the eight consecutive records or the flag record are missing.
bool StampPcImage(std::vector<std::uint8_t>& image, const std::uint8_t* record, bool set);
bool StampAppleImage(std::vector<std::uint8_t>& image, const std::uint8_t* record, bool set);

// Reads the PC and Apple images the old scheme rewrites, each cut to its padded length: from SPI
// flash (every copy must be valid; copies 1 and 3 are used) unless flags0 has the card bit, else from
// cards 0 and 1 (first valid copy, card 0 before card 1). Identifies the flash on the way.
bool LoadOldSchemeImages(BridgeDevice& device, std::uint8_t flags0, std::vector<std::uint8_t>* pc,
                         std::vector<std::uint8_t>* apple);

// Offset of the first 7-byte record with the key in a valid image, -1 when absent.
std::int32_t FindValueRecord(const std::uint8_t* image, std::size_t length, std::uint32_t key);

}  // namespace quillon

#endif
