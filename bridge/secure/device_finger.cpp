// The fingerprint module exports: sensor, modes, module commands, power, and the data block on card 0.

#include <cstdint>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/last_error.h"
#include "quillon_device.h"
#include "secure/export_device.h"
#include "secure/device.h"

using quillon::BridgeDevice;

QUILLON_API int QUILLON_CALL IsPressFinger(const char* path) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdFingerPressed(device) == 1 ? 1 : 0;
}

QUILLON_API int QUILLON_CALL SetFingerMode(const char* path, int mode, int value) {
  BridgeDevice device;
  if (mode != 0 && mode != 1) return quillon::RefuseInput("fingerprint mode %d: only modes 0 and 1 exist", mode);
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdSetFingerMode(device, mode, value) == 1 ? 1 : 0;
}

QUILLON_API int QUILLON_CALL FingerPrintCommand(const char* path, const unsigned char* command, unsigned char* reply) {
  BridgeDevice device;
  if (command == nullptr || reply == nullptr) return quillon::RefuseInput("no module command or no reply buffer");
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  std::uint32_t length = 0;
  return quillon::CmdFingerCommand(device, command, reply, QUILLON_FINGER_REPLY_MAX, &length) == 1 ? 1 : 0;
}

QUILLON_API int QUILLON_CALL DeleteFingerInfo(const char* path) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  const std::uint8_t zeros[quillon::kCardBlockSize] = {};
  return quillon::CmdWriteCardBlock(device, 0, quillon::kFingerDataBlock, zeros, sizeof zeros) == 1 ? 1 : 0;
}

QUILLON_API int QUILLON_CALL SetFingerPrintPower(const char* path, int power) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdSetFingerPrintPower(device, power != 0 ? 1 : 0) == 1 ? 1 : 0;
}
