#include "access/digest.h"

namespace quillon {

namespace {

// Value of one hexadecimal digit, or -1.
int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::uint32_t Crc32Raw32(const std::uint8_t* block) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < kCrc32BlockSize; ++i) {
    crc ^= block[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
  }
  return crc;
}

std::uint16_t Crc16Msb(const void* data, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < length; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ (p[i] << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000u) ? (crc << 1) ^ 0x8005u : crc << 1);
  }
  return crc;
}

std::string HexSpaced(const void* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  std::string text(count * 3, ' ');
  for (std::size_t i = 0; i < count; ++i) {
    text[i * 3] = kDigits[p[i] >> 4];
    text[i * 3 + 1] = kDigits[p[i] & 0x0F];
  }
  return text;
}

bool HexSpacedParse(std::string_view text, std::vector<std::uint8_t>* out) {
  if (out == nullptr) return false;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 3 + 1);
  for (std::size_t pos = 0; pos < text.size(); pos += 3) {
    const int high = HexDigitValue(text[pos]);
    if (high < 0) return false;
    if (pos + 1 == text.size()) {
      // A lone digit at the very end is a number of its own.
      bytes.push_back(static_cast<std::uint8_t>(high));
      break;
    }
    const int low = HexDigitValue(text[pos + 1]);
    if (low < 0) return false;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  *out = std::move(bytes);
  return true;
}

}  // namespace quillon
