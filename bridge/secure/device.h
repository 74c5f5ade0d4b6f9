#ifndef QUILLON_SECURE_DEVICE_H
#define QUILLON_SECURE_DEVICE_H

// What the fingerprint, card, serial-number and trace exports share with their tests.

#include <cstddef>
#include <cstdint>

namespace quillon {

// Firmware serial-number strings in controller memory: a USB string descriptor in a 100-byte field.
constexpr std::uint32_t kSerialAddress = 0x30664;
constexpr std::uint32_t kSerialAddress6623 = 0x30164;
constexpr std::uint32_t kSerialFieldSize = 100;
// Characters the field can hold and the room their text needs.
constexpr std::size_t kSerialTextSize = kSerialFieldSize / 2;

// The fingerprint data block on card 0.
constexpr std::uint32_t kFingerDataBlock = 512;

// Trace areas in SPI flash: three 4 KiB sectors each; the middle two are read.
constexpr std::uint32_t kPcTraceSectors[3] = {0x1D000, 0x1E000, 0x1F000};
constexpr std::uint32_t kAppleTraceSectors[3] = {0x3D000, 0x3E000, 0x3F000};
constexpr std::uint32_t kTraceSectorSize = 4096;
constexpr std::uint32_t kPcTraceRead = 0x1E000;
constexpr std::uint32_t kAppleTraceRead = 0x3E000;
constexpr std::uint32_t kTraceBytes = 8192;
constexpr std::size_t kTraceTextSize = 3 * kTraceBytes + 1;  // 24,577

// Decodes a serial-number field: L = byte 0, characters from the low bytes of the 16-bit units at
// bytes 2, 4, ... below L, then a terminator at L/2 - 1. A length beyond the field is read as the field
// (49 characters). Returns false, and leaves text alone, for an odd L or an L below 2 (no descriptor
// header). text must hold kSerialTextSize bytes.
bool DecodeSerialText(const std::uint8_t field[kSerialFieldSize], char* text);

// Renders trace bytes as text: "{" and erased bytes (0xFF) vanish, "}" ends a line with CR LF, blanks,
// digits and ASCII letters stay, any other byte becomes its value in decimal. Writes at most capacity
// bytes including a terminator (which is always written when capacity > 0) and returns the characters
// written before it. Rendering stops early rather than cut a number when capacity is short.
std::size_t FormatTraceText(const std::uint8_t* bytes, std::size_t count, char* text, std::size_t capacity);

}  // namespace quillon

#endif
