// Password, encrypted-region, fingerprint-module and SD-card commands.

#include <algorithm>
#include <cstring>

#include "access/commands_internal.h"

namespace quillon {

using detail::DataInCommand;
using detail::DataOutCommand;
using detail::NoDataCommand;

namespace {

constexpr std::uint32_t kPasswordInfoReply = 512;
constexpr std::uint32_t kOldPasswordTimeoutSeconds = 10;
constexpr std::uint32_t kSdLockTimeoutSeconds = 300;

ScsiCommand PasswordCommand(const BridgeDevice& device, std::uint8_t op) {
  ScsiCommand c = NoDataCommand(device, sub::kPassword);
  c.cdb[2] = op;
  return c;
}

ScsiCommand PasswordDataIn(const BridgeDevice& device, std::uint8_t op, std::uint32_t n) {
  ScsiCommand c = DataInCommand(device, sub::kPassword, n);
  c.cdb[2] = op;
  return c;
}

ScsiCommand PasswordDataOut(const BridgeDevice& device, std::uint8_t op) {
  ScsiCommand c = DataOutCommand(device, sub::kPassword, kPasswordBlockSize);
  c.cdb[2] = op;
  return c;
}

ScsiCommand FingerCommand(const BridgeDevice& device, std::uint8_t op) {
  ScsiCommand c = NoDataCommand(device, sub::kFinger);
  c.cdb[2] = op;
  return c;
}

ScsiCommand FingerDataIn(const BridgeDevice& device, std::uint8_t op, std::uint32_t n) {
  ScsiCommand c = DataInCommand(device, sub::kFinger, n);
  c.cdb[2] = op;
  return c;
}

int ByteIsOne(const BridgeDevice& device, const ScsiCommand& command) {
  std::uint8_t byte = 0;
  return detail::ReadOneByte(device, command, &byte).Accepted() && byte == 1 ? 1 : 0;
}

int Accepted(const BridgeDevice& device, const ScsiCommand& command, const void* out = nullptr,
             std::uint32_t outLength = 0) {
  return ScsiPassThrough(device, command, out, outLength).Accepted() ? 1 : 0;
}

}  // namespace

// --- Passwords ------------------------------------------------------------------------------------------

int CmdSetPassword(const BridgeDevice& device, std::uint8_t selector, const std::uint8_t* block) {
  if (block == nullptr) return 0;
  ScsiCommand c = PasswordDataOut(device, password::kSet);
  c.cdb[3] = selector;
  return Accepted(device, c, block, kPasswordBlockSize);
}

int CmdHasPassword(const BridgeDevice& device) { return ByteIsOne(device, PasswordDataIn(device, password::kHas, 1)); }

int CmdSetCipherDiskSize(const BridgeDevice& device, std::uint32_t size, int full) {
  ScsiCommand c = PasswordCommand(device, password::kSetCipherDiskSize);
  PutLe32(c.cdb + 3, size);
  c.cdb[7] = full ? 1 : 0;
  return Accepted(device, c);
}

int CmdClearPassword(const BridgeDevice& device) { return Accepted(device, PasswordCommand(device, password::kClear)); }

int CmdVerifyPassword(const BridgeDevice& device, const std::uint8_t* block) {
  if (block == nullptr) return 0;
  return Accepted(device, PasswordDataOut(device, password::kVerify), block, kPasswordBlockSize);
}

int CmdDeletePassword(const BridgeDevice& device, const std::uint8_t* block) {
  if (block == nullptr) return 0;
  return Accepted(device, PasswordDataOut(device, password::kDelete), block, kPasswordBlockSize);
}

int CmdGetPasswordNumber(const BridgeDevice& device) {
  std::uint8_t byte = 0;
  const SendResult r = detail::ReadOneByte(device, PasswordDataIn(device, password::kGetNumber, 1), &byte);
  return r.Accepted() ? byte : -1;
}

int CmdDeletePasswordAt(const BridgeDevice& device, std::uint8_t index) {
  ScsiCommand c = PasswordCommand(device, password::kDeleteAt);
  c.cdb[3] = index;
  return Accepted(device, c);
}

int CmdGetPasswordInfo(const BridgeDevice& device, std::uint8_t* out) {
  if (out == nullptr) return 0;
  std::uint8_t reply[kPasswordBlockSize] = {};
  if (!ScsiPassThrough(device, PasswordDataIn(device, password::kGetInfo, kPasswordInfoReply), nullptr, 0, reply,
                       sizeof(reply))
           .Accepted())
    return 0;
  std::memcpy(out, reply, sizeof(reply));
  return 1;
}

int CmdSendPasswordOld(const BridgeDevice& device, const char* text) {
  if (text == nullptr) return 0;
  ScsiCommand c = DataOutCommand(device, sub::kSendPasswordOld, kPasswordBlockSize);
  c.timeoutSeconds = kOldPasswordTimeoutSeconds;
  // Only 32 bytes travel, so a longer text is cut there.
  std::uint8_t block[kPasswordBlockSize] = {};
  std::memcpy(block, text, strnlen(text, kPasswordBlockSize));
  return Accepted(device, c, block, kPasswordBlockSize);
}

int CmdProbePasswordOld(const BridgeDevice& device) {
  return ScsiPassThrough(device, NoDataCommand(device, sub::kProbePasswordOld)).Transferred() ? 1 : 0;
}

// --- Encrypted region -------------------------------------------------------------------------------

int CmdIsPublicRegion(const BridgeDevice& device) {
  return ByteIsOne(device, FingerDataIn(device, finger::kIsPublicRegion, 1));
}

int CmdGetEncryptState(const BridgeDevice& device, int* encrypted) {
  std::uint8_t byte = 0;
  const SendResult r = detail::ReadOneByte(device, FingerDataIn(device, finger::kGetEncryptState, 1), &byte);
  if (encrypted != nullptr) *encrypted = byte == 1 ? 1 : 0;
  return r.Accepted() ? 1 : 0;
}

// --- Fingerprint module ----------------------------------------------------------------------------

int CmdFingerPressed(const BridgeDevice& device) { return ByteIsOne(device, FingerDataIn(device, finger::kPressed, 1)); }

std::uint32_t FingerReplyLength(const std::uint8_t command[kFingerCommandSize]) {
  const std::uint8_t kind = command[3];
  if (kind == 0x7F || kind == 0x71) return 40;
  if (kind == 0x7D) return 32;
  return 8;
}

int CmdFingerCommand(const BridgeDevice& device, const std::uint8_t command[kFingerCommandSize],
                     std::uint8_t* reply, std::uint32_t replyCapacity, std::uint32_t* replyLength) {
  if (command == nullptr || reply == nullptr) return 0;
  const std::uint32_t n = FingerReplyLength(command);
  if (replyCapacity < n) return 0;
  ScsiCommand c = FingerDataIn(device, finger::kCommand, n);
  std::memcpy(c.cdb + 3, command, kFingerCommandSize);
  std::uint8_t data[kFingerReplyMax] = {};
  if (!ScsiPassThrough(device, c, nullptr, 0, data, n).Accepted()) return 0;
  std::memcpy(reply, data, n);
  if (replyLength != nullptr) *replyLength = n;
  return 1;
}

int CmdSetFingerMode(const BridgeDevice& device, int mode, int value) {
  if (mode != 0 && mode != 1) return 0;
  ScsiCommand c = FingerCommand(device, finger::kSetMode);
  c.cdb[3] = static_cast<std::uint8_t>(mode);
  c.cdb[4] = static_cast<std::uint8_t>(value);
  return Accepted(device, c);
}

int CmdSetFingerPrintPower(const BridgeDevice& device, int on) {
  ScsiCommand c = FingerCommand(device, finger::kSetPower);
  c.cdb[3] = on ? 1 : 0;
  return Accepted(device, c);
}

// --- SD card ---------------------------------------------------------------------------------------------

int CmdSdCardLock(const BridgeDevice& device, std::uint8_t operation, const char* text) {
  const std::size_t length = text == nullptr ? 0 : strnlen(text, kMaxDataLength + 1);
  if (length > kMaxDataLength) return 0;  // would not fit the data area
  const auto n = static_cast<std::uint32_t>(length);
  ScsiCommand c = DataOutCommand(device, sub::kSdCardLock, n);
  c.cdb[2] = operation;
  c.cdb[3] = static_cast<std::uint8_t>(n);
  c.timeoutSeconds = kSdLockTimeoutSeconds;
  return Accepted(device, c, text, n);
}

int CmdGetSdCardStatus(const BridgeDevice& device, std::uint8_t* status) {
  std::uint8_t byte = 0;
  const SendResult r = detail::ReadOneByte(device, DataInCommand(device, sub::kGetSdCardStatus, 1), &byte);
  if (status != nullptr) *status = byte;
  return r.Accepted() ? 1 : 0;
}

}  // namespace quillon
