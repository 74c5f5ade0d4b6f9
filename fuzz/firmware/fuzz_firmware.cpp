// Fuzz target for the firmware formats: the input is taken as a firmware image (bytes), as a firmware
// file (text) and, hex-encoded, as the image text the layout walk and the customisation work on.
// Every path must stay inside the bytes it was given.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "access/digest.h"
#include "firmware/firmware_image.h"

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
  return 0;
}
