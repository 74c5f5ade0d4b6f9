// Firmware image walk and validation, and the splitting of firmware files into images.

#include "firmware/firmware_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "access/bridge_device.h"
#include "access/digest.h"
#include "access/last_error.h"
#include "firmware/firmware_records.h"

namespace quillon {

namespace {

constexpr std::uint32_t AsciiCode(const char (&c)[5]) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(c[0])) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(c[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(c[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(c[3])) << 24;
}

std::size_t FindSignature(const std::uint8_t* data, std::size_t length) {
  const auto* sig = reinterpret_cast<const std::uint8_t*>(kFirmwareSignature);
  const std::uint8_t* hit = std::search(data, data + length, sig, sig + kFirmwareSignatureSize);
  return static_cast<std::size_t>(hit - data);
}

}  // namespace

bool FirmwareChipCodeAccepted(std::uint32_t code) {
  return code == AsciiCode("FCC1") || code == AsciiCode("FCC2") || code == AsciiCode("FCC4") ||
         code == AsciiCode("FCC5");
}

std::size_t FirmwarePaddedLength(std::size_t afterEnd) {
  std::size_t padded = (afterEnd + kFirmwarePadUnit - 1) / kFirmwarePadUnit * kFirmwarePadUnit;
  if (padded - afterEnd < kFirmwareTrailerSize) padded += kFirmwarePadUnit;
  return padded;
}

RecordStep ReadFirmwareRecord(const std::uint8_t* image, std::size_t limit, std::size_t offset,
                              FirmwareRecord* record) {
  if (offset >= limit) return RecordStep::Bad;
  const std::uint8_t* p = image + offset;
  const std::size_t room = limit - offset;
  std::size_t size = 0;
  switch (p[0]) {
    case 0x80:
      size = 1;
      break;
    case 0x00: case 0x04: case 0x05: case 0x09: case 0x0C: case 0x81:
      size = 5;
      break;
    case 0x01: case 0x02: case 0x03:
      size = kValueRecordSize;
      break;
    case 0x12: case 0x13:
      if (room < 5) return RecordStep::Bad;
      size = static_cast<std::size_t>(p[3] | p[4] << 8) + 6;
      break;
    default:
      return RecordStep::Bad;
  }
  if (size > room) return RecordStep::Bad;
  record->offset = offset;
  record->type = p[0];
  record->size = size;
  record->key = 0;
  record->value = 0;
  if (size == kValueRecordSize) {
    record->key = static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1] | p[2] << 8);
    record->value = static_cast<std::uint32_t>(p[3]) | static_cast<std::uint32_t>(p[4]) << 8 |
                    static_cast<std::uint32_t>(p[5]) << 16 | static_cast<std::uint32_t>(p[6]) << 24;
  }
  return p[0] == 0x80 ? RecordStep::End : RecordStep::Record;
}

ImageSummary SummariseFirmwareImage(const std::uint8_t* image, std::size_t length, std::uint32_t wantedKey) {
  ImageSummary s;
  if (!image) return s;
  s.walked = WalkFirmwareRecords(image, length, &s.endOffset, [&](const FirmwareRecord& r) {
    if (r.type == 0x12) ++s.count12;
    if (r.type == 0x13) ++s.count13;
    if (r.size != kValueRecordSize) return;
    if (r.key == kKeyChipCode) {
      s.chipCode = r.value;
      s.hasChipCode = true;
    }
    if (r.key == kKeyVersion) {
      s.version = r.value;
      s.hasVersion = true;
    }
    if (r.key == wantedKey) s.keyOffset = static_cast<std::int32_t>(r.offset);
  });
  if (!s.walked) return s;
  s.paddedLength = FirmwarePaddedLength(s.endOffset + 1);
  if (s.paddedLength > length) return s;
  s.trailerReached = true;
  const std::uint8_t* trailer = image + s.paddedLength - kFirmwareTrailerSize;
  s.zeroPadding = std::all_of(image + s.endOffset + 1, trailer, [](std::uint8_t b) { return b == 0; });
  s.signature = std::memcmp(trailer, kFirmwareSignature, kFirmwareSignatureSize) == 0;
  s.trailerIntact = s.signature && FirmwareTrailerMatches(image, s.paddedLength);
  s.chipAccepted = s.hasChipCode && FirmwareChipCodeAccepted(s.chipCode);
  return s;
}

int ParseFirmwareImage(const std::uint8_t* image, std::size_t length, std::uint32_t wantedKey,
                       FirmwareImageInfo* info) {
  const ImageSummary s = SummariseFirmwareImage(image, length, wantedKey);
  const bool countsRight = s.walked && s.count12 == 1 && s.count13 == 1;
  if (info) {
    *info = FirmwareImageInfo{};
    info->keyOffset = s.keyOffset;
    info->paddedLength = countsRight ? static_cast<std::uint32_t>(s.paddedLength) : 0;
    info->signature = s.signature;
    info->trailerIntact = s.trailerIntact;
    info->hasVersion = s.hasVersion;
    info->version = s.version;
    info->chipCode = s.chipCode;
  }
  return countsRight && s.trailerReached && s.zeroPadding && s.signature && s.hasVersion && s.chipAccepted
             ? 1 : 0;
}

int ParseFirmwareImage(const std::uint8_t* image, std::size_t length, BridgeDevice& device,
                       std::uint32_t wantedKey, FirmwareImageInfo* info) {
  FirmwareImageInfo local;
  const int valid = ParseFirmwareImage(image, length, wantedKey, &local);
  device.imageSigned = local.signature ? 1 : 0;
  if (info) *info = local;
  return valid;
}

void BuildFirmwareTrailer(const std::uint8_t* image, std::size_t length,
                          std::uint8_t trailer[kFirmwareTrailerSize]) {
  std::memcpy(trailer, kFirmwareSignature, kFirmwareSignatureSize);
  std::memset(trailer + kFirmwareSignatureSize, 0, 5);
  trailer[13] = kFirmwareTrailerMark;
  // The checksum covers the image's own trailer bytes too; where those differ from the ones built
  // here the comparison fails on them anyway.
  const std::uint16_t crc = Crc16Msb(image, length - 2);
  trailer[14] = static_cast<std::uint8_t>(crc >> 8);
  trailer[15] = static_cast<std::uint8_t>(crc);
}

void SealFirmwareImage(std::uint8_t* image, std::size_t length) {
  const std::uint16_t crc = Crc16Msb(image, length - 2);
  image[length - 2] = static_cast<std::uint8_t>(crc >> 8);
  image[length - 1] = static_cast<std::uint8_t>(crc);
}

bool FirmwareTrailerMatches(const std::uint8_t* image, std::size_t length) {
  if (!image || length < kFirmwareTrailerSize) return false;
  std::uint8_t expected[kFirmwareTrailerSize];
  BuildFirmwareTrailer(image, length, expected);
  return std::memcmp(expected, image + length - kFirmwareTrailerSize, kFirmwareTrailerSize) == 0;
}

namespace {

// Padding after an image: bytes of erased flash or zero fill, nothing else.
bool IsPadding(const std::uint8_t* data, std::size_t length) {
  if (length == 0) return true;
  const std::uint8_t fill = data[0];
  return (fill == 0x00 || fill == 0xFF) && std::all_of(data, data + length, [fill](std::uint8_t b) { return b == fill; });
}

// Where HexSpacedParse stops: the value index of the first malformed entry.
std::size_t FirstBadHexValue(std::string_view text) {
  auto digit = [](char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); };
  for (std::size_t pos = 0; pos < text.size(); pos += 3)
    if (!digit(text[pos]) || (pos + 1 < text.size() && !digit(text[pos + 1]))) return pos / 3;
  return text.size() / 3;
}

}  // namespace

int SplitFirmwareFile(std::string_view fileText, std::string* pcImageHex, std::string* appleImageHex) {
  if (!pcImageHex || !appleImageHex) return 0;
  pcImageHex->clear();
  appleImageHex->clear();

  std::string text;
  text.reserve(fileText.size());
  for (char c : fileText)
    if (c != '\r' && c != '\n') text.push_back(c);
  std::vector<std::uint8_t> bytes;
  if (!HexSpacedParse(text, &bytes))
    return RefuseInput("firmware file: value %s is not two hexadecimal digits followed by a blank",
                       GroupDigits(FirstBadHexValue(text)).c_str());

  const std::size_t total = bytes.size();
  if (total == 0) return RefuseInput("firmware file: no byte values");
  const std::size_t pcSignature = FindSignature(bytes.data(), total);
  if (pcSignature == total)
    return RefuseInput("firmware file: no image trailer (\"KAVRITEX\") in its %s bytes", GroupDigits(total).c_str());
  if (total - pcSignature < kFirmwareTrailerSize)
    return RefuseInput("firmware file: first image truncated at byte %s, inside its trailer", GroupDigits(total).c_str());
  const std::size_t pcLength = pcSignature + kFirmwareTrailerSize;
  if (!FirmwareTrailerMatches(bytes.data(), pcLength))
    return RefuseInput("firmware file: first image (bytes 0 to %s) has a wrong trailer or checksum",
                       GroupDigits(pcLength - 1).c_str());

  // What follows the first image is padding, or a whole second image: anything else is a second image
  // that was cut short or damaged, and writing the first image alone would erase the second copies.
  const std::uint8_t* rest = bytes.data() + pcLength;
  const std::size_t restLength = total - pcLength;
  std::size_t appleLength = 0;
  if (!IsPadding(rest, restLength)) {
    const std::size_t appleSignature = FindSignature(rest, restLength);
    if (appleSignature == restLength)
      return RefuseInput("firmware file: second image truncated at byte %s (it starts at byte %s and has no trailer)",
                         GroupDigits(total).c_str(), GroupDigits(pcLength).c_str());
    if (restLength - appleSignature < kFirmwareTrailerSize)
      return RefuseInput("firmware file: second image truncated at byte %s, inside its trailer",
                         GroupDigits(total).c_str());
    appleLength = appleSignature + kFirmwareTrailerSize;
    if (!FirmwareTrailerMatches(rest, appleLength))
      return RefuseInput("firmware file: second image (bytes %s to %s) has a wrong trailer or checksum",
                         GroupDigits(pcLength).c_str(), GroupDigits(pcLength + appleLength - 1).c_str());
  }
  *pcImageHex = HexSpaced(bytes.data(), pcLength);
  if (appleLength) *appleImageHex = HexSpaced(rest, appleLength);
  return 1;
}

std::string FirmwareImageProblem(const std::uint8_t* image, std::size_t length, const char* name,
                                 std::size_t fileOffset) {
  char text[200];
  auto at = [fileOffset](std::size_t offset) { return GroupDigits(fileOffset + offset); };
  if (length > kFirmwareWalkLimit) {
    std::snprintf(text, sizeof(text), "%s is %s bytes, more than a 65,536-byte copy holds", name,
                  GroupDigits(length).c_str());
    return text;
  }
  std::size_t offset = 0;
  FirmwareRecord record;
  for (;;) {
    const RecordStep step = ReadFirmwareRecord(image, length, offset, &record);
    if (step == RecordStep::End) break;
    if (step == RecordStep::Bad) {
      std::snprintf(text, sizeof(text), "%s: record at byte %s (type 0x%02x) is unknown or runs past the image", name,
                    at(offset).c_str(), offset < length ? image[offset] : 0u);
      return text;
    }
    offset += record.size;
  }
  const ImageSummary s = SummariseFirmwareImage(image, length, kKeyVersion);
  const char* problem = nullptr;
  if (s.count12 != 1 || s.count13 != 1) {
    std::snprintf(text, sizeof(text), "%s has %d records of type 0x12 and %d of type 0x13 (one of each expected)",
                  name, s.count12, s.count13);
    return text;
  }
  if (!s.trailerReached || s.paddedLength != length) {
    std::snprintf(text, sizeof(text), "%s ends at byte %s, but its end record at byte %s puts its trailer at byte %s",
                  name, at(length).c_str(), at(s.endOffset).c_str(),
                  at(s.paddedLength - kFirmwareTrailerSize).c_str());
    return text;
  }
  if (!s.zeroPadding) problem = "has non-zero bytes between its end record and its trailer";
  else if (!s.hasVersion) problem = "has no firmware version record (key 0x30002)";
  else if (!s.chipAccepted) problem = "is for another controller (chip code not FCC1, FCC2, FCC4 or FCC5)";
  if (problem == nullptr) return {};
  std::snprintf(text, sizeof(text), "%s %s", name, problem);
  return text;
}

}  // namespace quillon
