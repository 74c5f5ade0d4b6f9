// The old password scheme: the password record lives in both firmware images and in controller
// memory; the library computes it, writes it everywhere and hands the plain text to the controller
// to unlock.

#include "secure/password_old.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "access/commands.h"
#include "access/digest.h"
#include "access/flash.h"
#include "access/last_error.h"
#include "access/scsi.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_records.h"
#include "firmware/firmware_update.h"
#include "quillon_password.h"
#include "secure/export_device.h"

namespace quillon {
namespace {

// One value per process; calls on several threads may race for it, but never tear it.
std::atomic<std::uint32_t> g_oldPasswordMask{0};

constexpr std::uint8_t kAppleFlagBit = 0x02;
constexpr std::size_t kAppleFlagByte = kValueOffsetInRecord + 3;  // top byte of the value

// The eight records from `first` follow each other with consecutive keys.
bool RecordRun(const std::vector<std::uint8_t>& image, std::uint32_t firstKey, std::size_t* offset) {
  const std::int32_t at = FindValueRecord(image.data(), image.size(), firstKey);
  if (at < 0 || static_cast<std::size_t>(at) + kPasswordRecordCount * kValueRecordSize > image.size()) return false;
  for (std::size_t k = 0; k < kPasswordRecordCount; ++k) {
    const std::uint8_t* r = image.data() + at + k * kValueRecordSize;
    const std::uint32_t key = (std::uint32_t{r[0]} << 16) | r[1] | (std::uint32_t{r[2]} << 8);
    if (key != firstKey + k) return false;
  }
  *offset = static_cast<std::size_t>(at);
  return true;
}

bool Stamp(std::vector<std::uint8_t>& image, std::uint32_t firstKey, std::uint32_t flagKey, std::size_t flagByte,
           std::uint8_t flagBit, const std::uint8_t* record, bool set) {
  std::size_t run = 0;
  const std::int32_t flag = FindValueRecord(image.data(), image.size(), flagKey);
  if (!RecordRun(image, firstKey, &run) || flag < 0 || image.size() < kFirmwareTrailerSize) return false;
  if (record != nullptr)
    for (std::size_t k = 0; k < kPasswordRecordCount; ++k)
      std::memcpy(image.data() + run + k * kValueRecordSize + kValueOffsetInRecord, record + 4 * k, 4);
  std::uint8_t& bits = image[static_cast<std::size_t>(flag) + flagByte];
  bits = set ? static_cast<std::uint8_t>(bits | flagBit) : static_cast<std::uint8_t>(bits & ~flagBit);
  SealFirmwareImage(image.data(), image.size());
  return true;
}

// Reads 64 KiB and keeps the image when it is valid; `intact` also asks for a correct checksum.
bool ReadImage(const std::vector<std::uint8_t>& bytes, BridgeDevice& device, bool intact,
               std::vector<std::uint8_t>* out) {
  FirmwareImageInfo info;
  if (!ParseFirmwareImage(bytes.data(), bytes.size(), device, kKeyVersion, &info)) return false;
  if (intact && !info.trailerIntact) return false;
  out->assign(bytes.begin(), bytes.begin() + info.paddedLength);
  return true;
}

bool LoadFromFlash(BridgeDevice& device, std::vector<std::uint8_t>* pc, std::vector<std::uint8_t>* apple) {
  if (!IdentifyFlash(device)) return false;
  const std::uint32_t readLength = FlashDumpReadLength(device.pageSize);
  if (readLength < kCopyReadLength) return false;
  std::vector<std::uint8_t> bytes(readLength);
  std::vector<std::uint8_t> unused;
  // Every copy must be valid; the second copy of each image is the one rewritten everywhere, so its
  // checksum must hold too.
  struct Copy {
    int index;
    std::vector<std::uint8_t>* out;
    bool intact;
  } const copies[] = {{0, &unused, false}, {1, pc, true}, {2, &unused, false}, {3, apple, true}};
  for (const Copy& copy : copies) {
    const std::uint32_t address = kCopyFlashAddress[copy.index];
    if (!CmdFlashRead(device, address, bytes.data(), readLength)) return false;
    if (!ReadImage(bytes, device, copy.intact, copy.out)) {
      ReportDeviceFailure("the firmware copy at flash 0x%05x is not a valid image%s", static_cast<unsigned>(address),
                          copy.intact ? " with an intact checksum" : "");
      return false;
    }
  }
  return true;
}

bool LoadFromCards(BridgeDevice& device, std::vector<std::uint8_t>* pc, std::vector<std::uint8_t>* apple) {
  bool present[2];
  for (int card = 0; card < 2; ++card) present[card] = CmdCardPresent(device, static_cast<std::uint8_t>(card)) != 0;
  std::vector<std::uint8_t> bytes(kCopyReadLength);
  auto load = [&](int firstCopy, std::vector<std::uint8_t>* out) {
    for (int card = 0; card < 2; ++card) {
      if (!present[card]) continue;
      for (int copy = firstCopy; copy < firstCopy + 2; ++copy)
        if (CmdReadCardBlock(device, static_cast<std::uint8_t>(card), kCopyCardBlock[copy], bytes.data(),
                             kCopyReadLength) &&
            ReadImage(bytes, device, true, out))
          return true;
    }
    return false;
  };
  if (!load(0, pc)) return ReportDeviceFailure("no valid PC firmware image on card 0 or card 1") != 0;
  if (!load(2, apple)) return ReportDeviceFailure("no valid Apple firmware image on card 0 or card 1") != 0;
  return true;
}

// Identification as the old scheme does it: only a failure that left a controller kind ends the call.
bool IdentifyForOldScheme(BridgeDevice& device) {
  return IdentifyBridge(device, nullptr) || device.chipKind == ChipKind::None;
}

bool ReadFlags(const BridgeDevice& device, std::uint8_t flags[4]) {
  return CmdReadMemory(device, kOldFlagsAddress, flags, 4) == 1;
}

// Sets or clears the password bit of the controller's flag word (read, change, write back).
bool UpdateFlagWord(const BridgeDevice& device, bool set) {
  std::uint8_t flags[4];
  if (!ReadFlags(device, flags)) return false;
  flags[0] = set ? static_cast<std::uint8_t>(flags[0] | kOldFlagSet) : static_cast<std::uint8_t>(flags[0] & ~kOldFlagSet);
  return CmdWriteMemory(device, kOldFlagsAddress, flags, 4) == 1;
}

// Loads both images, stamps them and writes every copy back.
bool RewriteImages(BridgeDevice& device, const std::uint8_t* record, bool set) {
  std::uint8_t flags[4];
  if (!ReadFlags(device, flags)) return false;
  std::vector<std::uint8_t> pc, apple;
  if (!LoadOldSchemeImages(device, flags[0], &pc, &apple)) return false;
  if (!StampPcImage(pc, record, set))
    return ReportDeviceFailure("the PC firmware image lacks the eight password records from key 0x3020C or the "
                               "option record 0x301FA") != 0;
  if (!StampAppleImage(apple, record, set))
    return ReportDeviceFailure("the Apple firmware image lacks the eight password records from key 0x30202 or the "
                               "flag record 0x30200") != 0;
  return WriteFirmwareCopies(device, pc.data(), static_cast<std::uint32_t>(pc.size()), apple.data(),
                             static_cast<std::uint32_t>(apple.size())) == 1;
}

}  // namespace

bool PasswordBlock(const char* text, std::size_t size, std::uint8_t* block) {
  if (text == nullptr || block == nullptr) return false;
  const std::size_t length = strnlen(text, size + 1);
  if (length > size) return false;
  std::memset(block, 0, size);
  std::memcpy(block, text, length);
  return true;
}

std::uint32_t OldPasswordMask() { return g_oldPasswordMask.load(); }
void SetOldPasswordMask(std::uint32_t mask) { g_oldPasswordMask.store(mask); }

std::uint32_t DrawOldPasswordMask() {
  std::uint32_t mask = static_cast<std::uint32_t>(std::rand()) & 0xFF;
  mask |= (static_cast<std::uint32_t>(std::rand()) & 0xFF) << 8;
  mask |= (static_cast<std::uint32_t>(std::rand()) & 0xFF) << 16;
  mask |= static_cast<std::uint32_t>(std::rand()) << 24;
  SetOldPasswordMask(mask);
  return mask;
}

bool BuildOldRecord(const char* text, std::uint32_t mask, std::uint8_t record[kOldRecordSize]) {
  std::uint8_t padded[kCrc32BlockSize];
  if (!PasswordBlock(text, sizeof(padded), padded)) return false;
  std::uint8_t out[kOldRecordSize] = {};
  std::uint32_t digestLength = 0;
  if (!Sha1Digest(text, std::strlen(text), out, &digestLength) || digestLength != kSha1Size) return false;
  PutLe32(out + 28, Crc32Raw32(padded) ^ mask);
  std::memcpy(record, out, sizeof(out));
  return true;
}

std::uint32_t MaskFromRecord(const char* text, const std::uint8_t record[kOldRecordSize]) {
  std::uint8_t padded[kCrc32BlockSize] = {};
  PasswordBlock(text, sizeof(padded), padded);
  return GetLe32(record + 28) ^ Crc32Raw32(padded);
}

std::int32_t FindValueRecord(const std::uint8_t* image, std::size_t length, std::uint32_t key) {
  std::int32_t found = -1;
  std::size_t end = 0;
  const bool walked = WalkFirmwareRecords(image, length, &end, [&](const FirmwareRecord& r) {
    if (found < 0 && r.size == kValueRecordSize && r.key == key) found = static_cast<std::int32_t>(r.offset);
  });
  return walked ? found : -1;
}

bool StampPcImage(std::vector<std::uint8_t>& image, const std::uint8_t* record, bool set) {
  std::vector<std::uint8_t> copy = image;
  if (!Stamp(copy, kKeyPasswordFirst, kKeyOptions, kValueOffsetInRecord, kOptionPassword, record, set)) return false;
  image.swap(copy);
  return true;
}

bool StampAppleImage(std::vector<std::uint8_t>& image, const std::uint8_t* record, bool set) {
  std::vector<std::uint8_t> copy = image;
  if (!Stamp(copy, kKeyPasswordSecond, kKeyPasswordFlag, kAppleFlagByte, kAppleFlagBit, record, set)) return false;
  image.swap(copy);
  return true;
}

bool LoadOldSchemeImages(BridgeDevice& device, std::uint8_t flags0, std::vector<std::uint8_t>* pc,
                         std::vector<std::uint8_t>* apple) {
  std::vector<std::uint8_t> p, a;
  const bool ok = (flags0 & kOldFlagCardImages) ? LoadFromCards(device, &p, &a) : LoadFromFlash(device, &p, &a);
  if (!ok) return false;
  pc->swap(p);
  apple->swap(a);
  return true;
}

}  // namespace quillon

using quillon::BridgeDevice;

QUILLON_API int QUILLON_CALL HasPasswordOld(const char* path, unsigned* isSet, int* usable) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  std::uint8_t flags[4];
  if (!quillon::ReadFlags(device, flags)) return 0;
  if (isSet != nullptr) *isSet = flags[0] & quillon::kOldFlagSet;
  if (usable != nullptr) *usable = (flags[0] & quillon::kOldFlagUnusable) ? 0 : 1;
  return 1;
}

QUILLON_API int QUILLON_CALL SetPasswordOld(const char* path, const char* password) {
  // The record keeps the text NUL-terminated in 32 bytes.
  if (password == nullptr) return quillon::RefuseInput("no password given");
  if (strnlen(password, quillon::kOldPasswordMaxSet + 1) > quillon::kOldPasswordMaxSet)
    return quillon::RefuseInput("an old-scheme password is at most 31 bytes");
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  if (!quillon::IdentifyForOldScheme(device)) return 0;
  std::uint8_t flags[4];
  if (!quillon::ReadFlags(device, flags)) return 0;
  const std::uint32_t mask =
      (flags[0] & quillon::kOldFlagSet) ? quillon::OldPasswordMask() : quillon::DrawOldPasswordMask();
  std::uint8_t record[quillon::kOldRecordSize];
  if (!quillon::BuildOldRecord(password, mask, record)) return 0;
  if (!quillon::RewriteImages(device, record, true)) return 0;
  if (!quillon::CmdWriteMemory(device, quillon::kOldRecordAddress, record, sizeof(record))) return 0;
  return quillon::UpdateFlagWord(device, true) ? 1 : 0;
}

QUILLON_API int QUILLON_CALL VerifyPasswordOld(const char* path, const char* password) {
  std::uint8_t padded[quillon::kPasswordBlockSize];
  if (!quillon::PasswordBlock(password, sizeof(padded), padded))
    return password == nullptr ? quillon::RefuseInput("no password given")
                               : quillon::RefuseInput("a password is at most 32 bytes");
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  std::uint8_t flags[4];
  if (!quillon::ReadFlags(device, flags)) return 0;
  if (flags[0] & quillon::kOldFlagSet) {
    std::uint8_t digest[quillon::kSha1Size];
    std::uint8_t record[quillon::kOldRecordSize];
    if (!quillon::Sha1Digest(password, std::strlen(password), digest, nullptr))
      return quillon::ReportDeviceFailure("the SHA-1 digest of the password cannot be computed");
    if (!quillon::CmdReadMemory(device, quillon::kOldRecordAddress, record, sizeof(record))) return 0;
    if (std::memcmp(digest, record, sizeof(digest)) != 0)
      return quillon::ReportDeviceFailure("the password does not match the record the controller keeps");
    quillon::SetOldPasswordMask(quillon::MaskFromRecord(password, record));
  }
  return quillon::CmdSendPasswordOld(device, password);
}

QUILLON_API int QUILLON_CALL ClearPasswordOld(const char* path) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  if (!quillon::IdentifyForOldScheme(device)) return 0;
  if (!quillon::RewriteImages(device, nullptr, false)) return 0;
  if (!quillon::UpdateFlagWord(device, false)) return 0;
  quillon::SetOldPasswordMask(0);
  return 1;
}
