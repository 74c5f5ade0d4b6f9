// SHA-1 through CryptoAPI and the ANSI code-page conversion of the system.

#include "access/digest.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

namespace quillon {

int Sha1Digest(const void* data, std::size_t length, std::uint8_t* digest, std::uint32_t* digestLength) {
  if (digest == nullptr || (data == nullptr && length != 0)) return 0;
  if (length > MAXDWORD) return 0;
  static const BYTE kEmpty = 0;
  const BYTE* bytes = data != nullptr ? static_cast<const BYTE*>(data) : &kEmpty;

  HCRYPTPROV provider = 0;
  if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return 0;
  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash)) {
    CryptReleaseContext(provider, 0);
    return 0;
  }

  int result = 0;
  DWORD hashSize = 0;
  DWORD sizeLength = sizeof(hashSize);
  if (CryptHashData(hash, bytes, static_cast<DWORD>(length), 0) &&
      CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize), &sizeLength, 0) &&
      hashSize == kSha1Size) {
    // The caller's buffer is only known to hold a SHA-1 digest, so any other size is refused above.
    DWORD valueLength = hashSize;
    if (CryptGetHashParam(hash, HP_HASHVAL, digest, &valueLength, 0) && valueLength == kSha1Size) {
      if (digestLength != nullptr) *digestLength = valueLength;
      result = 1;
    }
  }
  CryptDestroyHash(hash);
  CryptReleaseContext(provider, 0);
  return result;
}

bool AnsiToWide(const char* text, std::u16string* out) {
  if (text == nullptr || out == nullptr) return false;
  const int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (needed <= 0) return false;
  std::vector<wchar_t> wide(static_cast<std::size_t>(needed) + 1, L'\0');
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), needed) <= 0) return false;
  // The converted text ends at its terminator; wchar_t is UTF-16 on Windows.
  std::u16string converted;
  for (const wchar_t* p = wide.data(); *p != L'\0'; ++p) converted.push_back(static_cast<char16_t>(*p));
  *out = std::move(converted);
  return true;
}

}  // namespace quillon
