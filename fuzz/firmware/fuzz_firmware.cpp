// Fuzz target for the firmware formats: the input is taken as a firmware image (bytes), as a firmware
// file (text) and, hex-encoded, as the image text the layout walk and the customisation work on.
// The input is also closed into a sealed image (end record, zero padding, a correct trailer), so that
// the checksum and the signature do not stop every input before the record walk and the
// customisation. Every path must stay inside the bytes it was given.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "access/digest.h"
#include "firmware/firmware_image.h"
#include "firmware/firmware_records.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FirmwareImageInfo info;
  ParseFirmwareImage(data, size, kKeyVersion, &info);
  ParseFirmwareImage(data, size, kKeyOptions, &info);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string pcHex;
  std::string appleHex;
  SplitFirmwareFile(text, &pcHex, &appleHex);
  PreparedFirmware prepared;
  PrepareFirmwareUpdate(text, "AB", &prepared);

  // Random bytes almost never carry a matching checksum, so walk and customise them directly too.
  const std::string imageHex = HexSpaced(data, size);
  ImageLayout layout;
  FirmwareLayout kind;
  WalkImageLayout(imageHex, &layout, &kind);
  std::vector<std::uint8_t> pc;
  std::vector<std::uint8_t> apple;
  CustomiseImages("Fuzzed product", imageHex, imageHex, layout, &pc, &apple);
  CustomiseImages(nullptr, imageHex, "", layout, &pc, &apple);

  std::vector<std::uint8_t> sealed(data, data + std::min<std::size_t>(size, kFirmwareWalkLimit - 2048));
  sealed.push_back(0x80);
  sealed.resize(FirmwarePaddedLength(sealed.size()) - kFirmwareTrailerSize, 0);
  sealed.insert(sealed.end(), kFirmwareSignature, kFirmwareSignature + kFirmwareSignatureSize);
  sealed.insert(sealed.end(), 5, 0);
  sealed.push_back(kFirmwareTrailerMark);
  sealed.insert(sealed.end(), 2, 0);
  SealFirmwareImage(sealed.data(), sealed.size());
  ParseFirmwareImage(sealed.data(), sealed.size(), kKeyPasswordFirst, &info);
  const std::string sealedHex = HexSpaced(sealed.data(), sealed.size());
  PrepareFirmwareUpdate(sealedHex, "AB", &prepared);
  PrepareFirmwareUpdate(sealedHex + sealedHex, nullptr, &prepared);
  return 0;
}
