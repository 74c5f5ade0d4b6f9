// Firmware image walk and validation, and the splitting of firmware files into images.

#include "firmware/firmware_image.h"

#include <algorithm>
#include <cstring>

#include "access/bridge_device.h"
#include "access/digest.h"
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

int SplitFirmwareFile(std::string_view fileText, std::string* pcImageHex, std::string* appleImageHex) {
  if (!pcImageHex || !appleImageHex) return 0;
  pcImageHex->clear();
  appleImageHex->clear();

  std::string text;
  text.reserve(fileText.size());
  for (char c : fileText)
    if (c != '\r' && c != '\n') text.push_back(c);
  std::vector<std::uint8_t> bytes;
  if (!HexSpacedParse(text, &bytes)) return 0;

  const std::size_t total = bytes.size();
  const std::size_t pcSignature = FindSignature(bytes.data(), total);
  if (pcSignature == total || total - pcSignature < kFirmwareTrailerSize) return 0;
  const std::size_t pcLength = pcSignature + kFirmwareTrailerSize;
  if (!FirmwareTrailerMatches(bytes.data(), pcLength)) return 0;

  const std::uint8_t* rest = bytes.data() + pcLength;
  const std::size_t restLength = total - pcLength;
  std::size_t appleLength = 0;
  if (restLength >= kFirmwareTrailerSize) {
    const std::size_t appleSignature = FindSignature(rest, restLength);
    if (appleSignature != restLength) {
      // A signature without room for its whole trailer is a damaged image, not a missing one.
      if (restLength - appleSignature < kFirmwareTrailerSize) return 0;
      appleLength = appleSignature + kFirmwareTrailerSize;
      if (!FirmwareTrailerMatches(rest, appleLength)) return 0;
    }
  }
  *pcImageHex = HexSpaced(bytes.data(), pcLength);
  if (appleLength) *appleImageHex = HexSpaced(rest, appleLength);
  return 1;
}

}  // namespace quillon
