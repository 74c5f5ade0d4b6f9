// Custom data: 1,024 bytes in the SPI flash at 0x2F000, and up to 512 bytes carried as data records
// in the Apple firmware image, which the firmware receives at start.

#include "secure/custom_data.h"

#include <algorithm>
#include <cstring>

#include "access/commands.h"
#include "access/flash.h"
#include "access/last_error.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_update.h"
#include "quillon_hidden.h"
#include "secure/export_device.h"
#include "secure/password_old.h"

namespace quillon {
namespace {

constexpr int kAppleCopies[2] = {2, 3};

std::uint32_t WholePages(std::uint32_t length, std::uint32_t page) { return (length + page - 1) / page * page; }

// Writing sector by sector needs the 4 KiB erase unit; a larger one would take the neighbouring data with it.
bool HasSmallSectors(const BridgeDevice& device) {
  if (device.sectorSize == kCustomSectorSize) return true;
  ReportDeviceFailure("the flash part %s erases %s-byte sectors; custom data needs 4,096-byte sectors",
                      device.flashName, GroupDigits(device.sectorSize).c_str());
  return false;
}

bool LengthFits(std::int64_t length, std::uint32_t max) {
  if (length >= 0 && length <= max) return true;
  RefuseInput("custom data is 0 to %s bytes, not %lld", GroupDigits(max).c_str(), static_cast<long long>(length));
  return false;
}

// The controller has a flash and the part was identified; `writable` also asks for a catalogued part
// with the 4 KiB sectors the area is erased in.
bool PrepareFlash(BridgeDevice& device, bool writable) {
  if (CmdFlashPresent(device) != 1) return ReportDeviceFailure("the controller reports no SPI flash") != 0;
  if (!IdentifyFlash(device) || device.pageSize == 0) return false;
  if (!writable) return true;
  if (device.flashName[0] == '\0') return ReportDeviceFailure("the flash part is not in the catalogue") != 0;
  return HasSmallSectors(device);
}

int WriteArea(const char* path, std::uint8_t vendorOpcode, const void* data, unsigned length) {
  if (!LengthFits(length, kCustomDataSize)) return 0;
  if (data == nullptr && length > 0) return RefuseInput("no data given");
  BridgeDevice device;
  if (!OpenExportDevice(&device, path)) return 0;
  device.vendorOpcode = vendorOpcode;
  if (!PrepareFlash(device, true)) return 0;
  std::uint8_t area[kCustomDataSize] = {};
  if (length > 0) std::memcpy(area, data, length);
  if (!CmdFlashSectorErase(device, kCustomDataAddress) ||
      !CmdFlashProgram(device, kCustomDataAddress, area, kCustomDataSize))
    return 0;
  std::vector<std::uint8_t> back(WholePages(kCustomDataSize, device.pageSize));
  if (!CmdFlashRead(device, kCustomDataAddress, back.data(), static_cast<std::uint32_t>(back.size()))) return 0;
  if (std::memcmp(back.data(), area, length) != 0)
    return ReportDeviceFailure("the custom data read back differs from what was written");
  return 1;
}

int ReadArea(const char* path, std::uint8_t vendorOpcode, void* buffer, int length) {
  if (!LengthFits(length, kCustomDataSize)) return 0;
  if (buffer == nullptr && length > 0) return RefuseInput("no buffer given");
  BridgeDevice device;
  if (!OpenExportDevice(&device, path)) return 0;
  device.vendorOpcode = vendorOpcode;
  if (!PrepareFlash(device, false)) return 0;
  std::vector<std::uint8_t> area(WholePages(kCustomDataSize, device.pageSize));
  if (!CmdFlashRead(device, kCustomDataAddress, area.data(), static_cast<std::uint32_t>(area.size()))) return 0;
  if (length > 0) std::memcpy(buffer, area.data(), static_cast<std::size_t>(length));
  return 1;
}

// A copy of the Apple image: its L bytes when it is valid with an intact checksum.
bool ReadAppleCopy(BridgeDevice& device, int copy, std::uint32_t readLength, std::uint32_t wantedKey,
                   std::vector<std::uint8_t>* bytes, FirmwareImageInfo* info) {
  bytes->assign(readLength, 0);
  if (!CmdFlashRead(device, kCopyFlashAddress[copy], bytes->data(), readLength)) return false;
  ParseFirmwareImage(bytes->data(), bytes->size(), device, wantedKey, info);
  return info->paddedLength > 0 && info->trailerIntact;
}

// Erases, programs and reads back the image sector by sector from a copy's address.
bool WriteCopySectors(const BridgeDevice& device, std::uint32_t address, const std::vector<std::uint8_t>& image) {
  for (std::size_t offset = 0; offset < image.size(); offset += kCustomSectorSize) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::size_t>(kCustomSectorSize, image.size() - offset));
    const std::uint32_t at = address + static_cast<std::uint32_t>(offset);
    std::vector<std::uint8_t> back(WholePages(chunk, device.pageSize));
    if (!CmdFlashSectorErase(device, at) || !CmdFlashProgram(device, at, image.data() + offset, chunk) ||
        !CmdFlashRead(device, at, back.data(), static_cast<std::uint32_t>(back.size())))
      return false;
    if (std::memcmp(back.data(), image.data() + offset, chunk) != 0)
      return ReportDeviceFailure("flash 0x%05x read back differs from what was written", static_cast<unsigned>(at)) != 0;
  }
  return true;
}

}  // namespace

bool PutCustomRecords(const std::vector<std::uint8_t>& image, std::size_t passwordRecords, const std::uint8_t* data,
                      std::size_t length, std::vector<std::uint8_t>* out) {
  if (length > kCustomRecordMax || (data == nullptr && length > 0) || image.size() < kFirmwareTrailerSize) return false;
  const std::size_t bodyEnd = image.size() - kFirmwareTrailerSize;
  const std::size_t at = passwordRecords + kPasswordRecordCount * kValueRecordSize;
  if (at > bodyEnd) return false;

  // The records already there: type 3, address 0x021E + position.
  std::size_t present = 0;
  while (at + (present + 1) * kValueRecordSize <= bodyEnd && kCustomRecordLowFirst + present <= 0xFF) {
    const std::uint8_t* r = image.data() + at + present * kValueRecordSize;
    if (r[0] != kCustomRecordType || r[1] != kCustomRecordLowFirst + present || r[2] != kCustomRecordHigh) break;
    ++present;
  }

  const std::size_t words = (length + 3) / 4;
  std::vector<std::uint8_t> records(words * kValueRecordSize, 0);
  for (std::size_t j = 0; j < words; ++j) {
    std::uint8_t* r = records.data() + j * kValueRecordSize;
    r[0] = kCustomRecordType;
    r[1] = static_cast<std::uint8_t>(kCustomRecordLowFirst + j);
    r[2] = kCustomRecordHigh;
    std::memcpy(r + kValueOffsetInRecord, data + 4 * j, std::min<std::size_t>(4, length - 4 * j));
  }

  std::vector<std::uint8_t> body(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(at));
  body.insert(body.end(), records.begin(), records.end());
  body.insert(body.end(), image.begin() + static_cast<std::ptrdiff_t>(at + present * kValueRecordSize),
              image.begin() + static_cast<std::ptrdiff_t>(bodyEnd));
  // The length stays a multiple of 1,024: a grown image gains a block of zeros less the growth, a
  // shrunk one gets the difference back as zeros, and a block of nothing but zeros before the trailer
  // goes again.
  const std::size_t oldBody = bodyEnd;
  if (body.size() > oldBody) {
    body.resize(oldBody + kFirmwarePadUnit, 0);
  } else {
    body.resize(oldBody, 0);
  }
  if (body.size() >= kFirmwarePadUnit &&
      std::all_of(body.end() - kFirmwarePadUnit, body.end(), [](std::uint8_t b) { return b == 0; }))
    body.resize(body.size() - kFirmwarePadUnit);
  body.insert(body.end(), image.begin() + static_cast<std::ptrdiff_t>(bodyEnd), image.end());
  SealFirmwareImage(body.data(), body.size());
  out->swap(body);
  return true;
}

}  // namespace quillon

QUILLON_API int QUILLON_CALL WriteCustomData(const char* path, const void* data, unsigned length) {
  return quillon::WriteArea(path, 0x17, data, length);
}

QUILLON_API int QUILLON_CALL ReadCustomData(const char* path, void* buffer, int length) {
  return quillon::ReadArea(path, 0x17, buffer, length);
}

QUILLON_API int QUILLON_CALL WriteCustomData8352(const char* path, const void* data, unsigned length) {
  return quillon::WriteArea(path, quillon::kVendorOpcode8352, data, length);
}

QUILLON_API int QUILLON_CALL ReadCustomData8352(const char* path, void* buffer, int length) {
  return quillon::ReadArea(path, quillon::kVendorOpcode8352, buffer, length);
}

QUILLON_API int QUILLON_CALL WriteCustomData2(const char* path, const void* data, int length) {
  using namespace quillon;
  if (!LengthFits(length, kCustomRecordMax)) return 0;
  if (data == nullptr && length > 0) return RefuseInput("no data given");
  if (WriteCustomData(path, data, static_cast<unsigned>(length)) != 1) return 0;
  BridgeDevice device;
  if (!OpenExportDevice(&device, path)) return 0;
  if (!IdentifyFlash(device) || device.pageSize == 0 || !HasSmallSectors(device)) return 0;
  const std::uint32_t readLength = FlashDumpReadLength(device.pageSize);
  if (readLength < kCopyReadLength) return 0;

  std::vector<std::uint8_t> bytes;
  FirmwareImageInfo info;
  int valid = -1;
  std::int32_t records = -1;
  for (int copy : kAppleCopies) {
    if (!ReadAppleCopy(device, copy, readLength, kKeyPasswordSecond, &bytes, &info)) continue;
    records = FindValueRecord(bytes.data(), info.paddedLength, kKeyPasswordSecond);
    if (records >= 0) {
      valid = copy;
      break;
    }
  }
  if (valid < 0) return ReportDeviceFailure("neither Apple firmware copy (flash 0x20000, 0x30000) is intact");
  const std::vector<std::uint8_t> image(bytes.begin(), bytes.begin() + info.paddedLength);
  std::vector<std::uint8_t> rebuilt;
  if (!PutCustomRecords(image, static_cast<std::size_t>(records), static_cast<const std::uint8_t*>(data),
                        static_cast<std::size_t>(length), &rebuilt) ||
      rebuilt.size() > kRewriteMaxImage)
    return ReportDeviceFailure("the Apple firmware image has no room for the custom records");
  // The good copy is written last, so a failure leaves it as it was.
  const int order[2] = {valid == 2 ? 3 : 2, valid};
  for (int copy : order)
    if (!WriteCopySectors(device, kCopyFlashAddress[copy], rebuilt)) return 0;
  return 1;
}

QUILLON_API int QUILLON_CALL ReadCustomData2(const char* path, int* words) {
  using namespace quillon;
  if (words == nullptr) return RefuseInput("no buffer given");
  BridgeDevice device;
  if (!OpenExportDevice(&device, path)) return 0;
  if (!IdentifyFlash(device) || device.pageSize == 0) return 0;
  const std::uint32_t readLength = FlashDumpReadLength(device.pageSize);
  if (readLength < kCopyReadLength) return 0;
  std::vector<std::uint8_t> bytes;
  FirmwareImageInfo info;
  for (int copy : kAppleCopies) {
    if (!ReadAppleCopy(device, copy, readLength, kKeyCustomFirst, &bytes, &info)) continue;
    const std::int32_t at = FindValueRecord(bytes.data(), info.paddedLength, kKeyCustomFirst);
    if (at < 0 || static_cast<std::size_t>(at) + kCustomRecordWords * kValueRecordSize > bytes.size()) continue;
    for (std::uint32_t j = 0; j < kCustomRecordWords; ++j)
      std::memcpy(&words[j], bytes.data() + at + j * kValueRecordSize + kValueOffsetInRecord, 4);
    return 1;
  }
  return ReportDeviceFailure("no intact Apple firmware copy carries custom records (key 0x3021E)");
}
