// Passwords the controller keeps and checks itself: one vendor command per export.

#include <cstring>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/last_error.h"
#include "quillon_password.h"
#include "secure/export_device.h"
#include "secure/password_old.h"

namespace quillon {
namespace {

// A CDB byte the caller names; values that do not fit one byte are refused rather than cut.
bool FitsByte(int value, const char* what) {
  if (value >= 0 && value <= 0xFF) return true;
  RefuseInput("%s %d is not between 0 and 255", what, value);
  return false;
}

bool Given(const void* pointer, const char* what) {
  if (pointer != nullptr) return true;
  RefuseInput("no %s given", what);
  return false;
}

}  // namespace
}  // namespace quillon

using quillon::BridgeDevice;

QUILLON_API int QUILLON_CALL SetPassword(const char* path, const char* password) {
  std::uint8_t block[quillon::kPasswordBlockSize];
  if (!quillon::PasswordBlock(password, quillon::kPasswordBlockSize, block))
    return password == nullptr ? quillon::RefuseInput("no password given")
                               : quillon::RefuseInput("a password is at most 32 bytes");
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdSetPassword(device, 0, block);
}

QUILLON_API int QUILLON_CALL SetPassword2(const char* path, const unsigned char* block, int selector) {
  if (!quillon::Given(block, "password block") || !quillon::FitsByte(selector, "selector")) return 0;
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdSetPassword(device, static_cast<std::uint8_t>(selector), block);
}

QUILLON_API int QUILLON_CALL VerifyPassword(const char* path, const int* block) {
  if (!quillon::Given(block, "password block")) return 0;
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdVerifyPassword(device, reinterpret_cast<const std::uint8_t*>(block));
}

QUILLON_API int QUILLON_CALL ClearPassword(const char* path) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdClearPassword(device);
}

QUILLON_API int QUILLON_CALL DeletePassword(const char* path, const int* block) {
  if (!quillon::Given(block, "password block")) return 0;
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdDeletePassword(device, reinterpret_cast<const std::uint8_t*>(block));
}

QUILLON_API int QUILLON_CALL DeletePassword2(const char* path, int index) {
  if (!quillon::FitsByte(index, "password index")) return 0;
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdDeletePasswordAt(device, static_cast<std::uint8_t>(index));
}

QUILLON_API int QUILLON_CALL GetPasswordNumber(const char* path) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return -1;
  return quillon::CmdGetPasswordNumber(device);
}

QUILLON_API int QUILLON_CALL GetPasswordInfo(const char* path, int* info) {
  if (!quillon::Given(info, "buffer for the password information")) return 0;
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  std::uint8_t reply[quillon::kPasswordBlockSize];
  if (!quillon::CmdGetPasswordInfo(device, reply)) return 0;
  std::memcpy(info, reply, sizeof(reply));
  return 1;
}

QUILLON_API int QUILLON_CALL SupportPasswordOld(const char* path) {
  BridgeDevice device;
  if (!quillon::OpenExportDevice(&device, path)) return 0;
  return quillon::CmdProbePasswordOld(device);
}
