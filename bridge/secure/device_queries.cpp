// Serial numbers, connection traces, controller resets and identify queries.

#include <cstdio>
#include <cstring>
#include <vector>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/flash.h"
#include "access/last_error.h"
#include "quillon_device.h"
#include "secure/export_device.h"
#include "secure/device.h"

namespace quillon {

bool DecodeSerialText(const std::uint8_t field[kSerialFieldSize], char* text) {
  const std::uint32_t length = field[0];
  if (length < 2 || length % 2 != 0) return false;
  // A stored length beyond the field reads only what the field holds.
  const std::uint32_t end = length < kSerialFieldSize ? length : kSerialFieldSize;
  for (std::uint32_t i = 2; i < end; i += 2) text[i / 2 - 1] = static_cast<char>(field[i]);
  text[end / 2 - 1] = '\0';
  return true;
}

std::size_t FormatTraceText(const std::uint8_t* bytes, std::size_t count, char* text, std::size_t capacity) {
  if (capacity == 0) return 0;
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = bytes[i];
    char piece[4];
    std::size_t len = 0;
    if (b == '{' || b == 0xFF) continue;
    if (b == '}') {
      piece[0] = '\r';
      piece[1] = '\n';
      len = 2;
    } else if (b == ' ' || (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
      piece[0] = static_cast<char>(b);
      len = 1;
    } else {
      len = static_cast<std::size_t>(std::snprintf(piece, sizeof piece, "%u", static_cast<unsigned>(b)));
    }
    if (n + len + 1 > capacity) break;
    std::memcpy(text + n, piece, len);
    n += len;
  }
  text[n] = '\0';
  return n;
}

namespace {

int ReadSerial(const char* path, std::uint32_t address, char* text) {
  BridgeDevice device;
  if (text == nullptr) return RefuseInput("no buffer for the serial number");
  if (!OpenExportDevice(&device, path)) return 0;
  std::uint8_t field[kSerialFieldSize] = {};
  if (CmdReadMemory(device, address, field, kSerialFieldSize) != 1) return 0;
  if (!DecodeSerialText(field, text))
    return ReportDeviceFailure("the stored serial number is malformed (length byte %u)", unsigned{field[0]});
  return 1;
}

int ReadTraces(const char* path, std::uint32_t address, char* text) {
  BridgeDevice device;
  if (text == nullptr) return RefuseInput("no buffer for the trace text");
  if (!OpenExportDevice(&device, path) || !IdentifyFlash(device)) return 0;
  // Flash reads go in whole pages.
  const std::uint32_t page = device.pageSize == 0 ? 1 : device.pageSize;
  const std::uint32_t readLength = (kTraceBytes + page - 1) / page * page;
  std::vector<std::uint8_t> bytes(readLength);
  if (CmdFlashRead(device, address, bytes.data(), readLength) != 1) return 0;
  FormatTraceText(bytes.data(), kTraceBytes, text, kTraceTextSize);
  return 1;
}

int ClearTraces(const char* path, const std::uint32_t (&sectors)[3]) {
  BridgeDevice device;
  if (!OpenExportDevice(&device, path) || !IdentifyFlash(device)) return 0;
  // A larger erase unit would take firmware with the traces.
  if (device.sectorSize != kTraceSectorSize)
    return ReportDeviceFailure("the flash part %s erases %u bytes at a time; only 4,096-byte sectors are cleared",
                               device.flashName, static_cast<unsigned>(device.sectorSize));
  for (std::uint32_t address : sectors)
    if (CmdFlashSectorErase(device, address) != 1) return 0;
  return 1;
}

}  // namespace
}  // namespace quillon

using quillon::BridgeDevice;

QUILLON_API int QUILLON_CALL GetFwSN(const char* path, char* text) {
  return quillon::ReadSerial(path, quillon::kSerialAddress, text);
}

QUILLON_API int QUILLON_CALL Get6623FwSN(const char* path, char* text) {
  return quillon::ReadSerial(path, quillon::kSerialAddress6623, text);
}

QUILLON_API int QUILLON_CALL GetPCTraces(const char* path, char* text) {
  return quillon::ReadTraces(path, quillon::kPcTraceRead, text);
}

QUILLON_API int QUILLON_CALL GetAppleTraces(const char* path, char* text) {
  return quillon::ReadTraces(path, quillon::kAppleTraceRead, text);
}

QUILLON_API int QUILLON_CALL ClearPCTraces(const char* path) {
  return quillon::ClearTraces(path, quillon::kPcTraceSectors);
}

QUILLON_API int QUILLON_CALL ClearAppleTraces(const char* path) {
  return quillon::ClearTraces(path, quillon::kAppleTraceSectors);
}

QUILLON_API void QUILLON_CALL ResetChip(const char* path) {
  BridgeDevice device;
  if (quillon::OpenExportDevice(&device, path)) quillon::CmdResetChip(device);
}

QUILLON_API int QUILLON_CALL ResetUSB(const char* path) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdResetUsb(device) == 1 ? 1 : 0;
}

QUILLON_API int QUILLON_CALL GetDeviceFwVersion(const char* path) {
  BridgeDevice device;
  quillon::IdentifyInfo info{};
  if (!quillon::OpenExportDevice(&device, path) || !quillon::IdentifyBridge(device, &info)) return -1;
  return static_cast<int>(info.word2);
}

QUILLON_API int QUILLON_CALL IsDevice6623(const char* path) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path) || !quillon::IdentifyBridge(device, nullptr)) return 0;
  return device.chipKind == quillon::ChipKind::Kind6623 ? 1 : 0;
}
