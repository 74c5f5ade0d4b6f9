// SHA-1 through OpenSSL's libcrypto and the multibyte conversion of the current C locale.

#include "access/digest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

namespace quillon {

int Sha1Digest(const void* data, std::size_t length, std::uint8_t* digest, std::uint32_t* digestLength) {
  if (digest == nullptr || (data == nullptr && length != 0)) return 0;
  static const std::uint8_t kEmpty = 0;
  if (data == nullptr) data = &kEmpty;

  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data, length, value, &size, EVP_sha1(), nullptr) != 1 || size != kSha1Size) return 0;
  std::memcpy(digest, value, size);
  if (digestLength != nullptr) *digestLength = size;
  return 1;
}

bool AnsiToWide(const char* text, std::u16string* out) {
  if (text == nullptr || out == nullptr) return false;
  std::u16string wide;
  std::mbstate_t state{};
  const char* p = text;
  std::size_t left = std::strlen(text);
  while (left > 0) {
    wchar_t wc = 0;
    const std::size_t used = std::mbrtowc(&wc, p, left, &state);
    if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2)) return false;
    if (used == 0) break; // an embedded NUL cannot occur before strlen's end, but stay safe
    const auto code = static_cast<std::uint32_t>(wc);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      const std::uint32_t v = code - 0x10000;
      wide.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      wide.push_back(static_cast<char16_t>(code));
    }
    p += used;
    left -= used;
  }
  *out = std::move(wide);
  return true;
}

}  // namespace quillon
