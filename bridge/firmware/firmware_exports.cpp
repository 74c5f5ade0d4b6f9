// The firmware exports.

#include <cstring>
#include <string>

#include "firmware/firmware_update.h"
#include "quillon_firmware.h"

using namespace quillon;

QUILLON_API int QUILLON_CALL CheckFw(const char* path, char* text) {
  if (text == nullptr) return 1;
  const std::string report = CheckFirmwareReport(path);
  const std::size_t length = report.size() < QUILLON_CHECK_FW_TEXT_CAPACITY ? report.size()
                                                                              : QUILLON_CHECK_FW_TEXT_CAPACITY - 1;
  std::memcpy(text, report.data(), length);
  text[length] = '\0';
  return 1;
}

QUILLON_API int QUILLON_CALL UpdateFw(const char* path, const char* file, uint32_t fileLength, const char* product) {
  return UpdateFirmware(path, file, fileLength, product);
}
