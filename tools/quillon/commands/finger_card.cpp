// The fingerprint module, the memory card behind the bridge and the SD card lock.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "args.h"
#include "cli.h"
#include "quillon_device.h"
#include "terminal.h"

namespace quillon::tool {
namespace {

constexpr std::uint64_t kMaxCardBlock = 0xFFFFFF;               // card blocks travel as 24 bits
constexpr std::uint64_t kMaxCardBytes = 64ull * 1024 * 1024;    // what one command-line transfer may move
constexpr std::size_t kMaxSdPassword = 255;                     // the length travels in one byte

bool Number(Context& c, const std::string& what, const std::string& text, std::uint64_t max, std::uint64_t* out,
            int* status) {
  std::string error;
  if (ParseUnsigned(text, max, out, &error)) return true;
  *status = c.Usage(what + ": " + error);
  return false;
}

// The reply length the library copies for a module command.
std::size_t FingerReplyBytes(const std::vector<std::uint8_t>& command) {
  if (command[3] == 0x7F || command[3] == 0x71) return 40;
  return command[3] == 0x7D ? 32 : 8;
}

// "f5 00 00 09 00 00 09", "f5:00:...", "f500000900 0009" or seven arguments.
bool ParseCommandBytes(const std::vector<std::string>& args, std::vector<std::uint8_t>* bytes, std::string* error) {
  std::string digits;
  for (const std::string& a : args)
    for (char ch : a) {
      if (ch == ' ' || ch == ':' || ch == ',') continue;
      const bool hex = (ch >= '0' && ch <= '9') || ((ch | 0x20) >= 'a' && (ch | 0x20) <= 'f');
      if (!hex) {
        *error = std::string("not a hexadecimal digit: '") + ch + "'";
        return false;
      }
      digits.push_back(ch);
    }
  if (digits.size() != 14) {
    *error = "a module command is 7 bytes (14 hexadecimal digits), not " + std::to_string(digits.size()) + " digits";
    return false;
  }
  bytes->clear();
  for (std::size_t i = 0; i < 14; i += 2) bytes->push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return true;
}

int FingerStatus(Context& c) {
  const bool pressed = IsPressFinger(c.device.c_str()) == 1;
  if (!pressed && c.DeviceFailed()) return c.ExportFailed("IsPressFinger failed");
  c.out().Line(pressed ? "a finger is on the sensor" : "no finger on the sensor");
  c.out().Json().Add("pressed", pressed);
  return kExitOk;
}

int FingerMode(Context& c) {
  std::uint64_t mode = 0, value = 0;
  int status = kExitOk;
  if (!Number(c, "mode", c.arguments[0], 1, &mode, &status)) return status;
  if (!Number(c, "value", c.arguments[1], 255, &value, &status)) return status;
  c.out().Json().Add("mode", mode).Add("value", value);
  if (SetFingerMode(c.device.c_str(), static_cast<int>(mode), static_cast<int>(value)) != 1)
    return c.ExportFailed("SetFingerMode failed");
  c.out().Line("fingerprint mode " + std::to_string(mode) + " set to " + std::to_string(value));
  return kExitOk;
}

int FingerCommandRun(Context& c) {
  std::vector<std::uint8_t> command;
  std::string error;
  if (!ParseCommandBytes(c.arguments, &command, &error)) return c.Usage(error);
  std::uint8_t reply[QUILLON_FINGER_REPLY_MAX] = {};
  c.out().Json().Add("command", HexBytes(command.data(), command.size()));
  if (FingerPrintCommand(c.device.c_str(), command.data(), reply) != 1) return c.ExportFailed("FingerPrintCommand failed");
  const std::size_t n = FingerReplyBytes(command);
  c.out().Line(HexBytes(reply, n));
  c.out().Json().Add("reply", HexBytes(reply, n)).Add("length", n);
  return kExitOk;
}

int FingerDelete(Context& c) {
  if (DeleteFingerInfo(c.device.c_str()) != 1) return c.ExportFailed("DeleteFingerInfo failed (is there a card in slot 0?)");
  c.out().Line("fingerprint data block cleared");
  return kExitOk;
}

int FingerPower(Context& c) {
  const std::string& state = c.arguments[0];
  if (state != "on" && state != "off") return c.Usage("power: on or off, not '" + state + "'");
  c.out().Json().Add("power", state == "on");
  if (SetFingerPrintPower(c.device.c_str(), state == "on" ? 1 : 0) != 1) return c.ExportFailed("SetFingerPrintPower failed");
  c.out().Line("fingerprint module switched " + state);
  return kExitOk;
}

bool BlockOption(Context& c, std::uint64_t* block, int* status) {
  *block = 0;
  return !c.Has("--block") || Number(c, "--block", c.Value("--block"), kMaxCardBlock, block, status);
}

int CardRead(Context& c) {
  std::uint64_t block = 0, length = 512;
  int status = kExitOk;
  if (!BlockOption(c, &block, &status)) return status;
  if (c.Has("--length")) {
    std::string error;
    if (!ParseSize(c.Value("--length"), &length, &error)) return c.Usage("--length: " + error);
    if (length == 0 || length > kMaxCardBytes) return c.Usage("--length: 1 byte to 64 MiB");
  }
  if (block * 512 + length > (kMaxCardBlock + 1) * 512) return c.Usage("the range runs past the card's last block");
  std::ofstream out;
  const std::string file = c.Value("--output");
  if (c.Has("--output")) {
    out.open(file, std::ios::binary | std::ios::trunc);
    if (!out) return c.Usage(file + ": cannot be written");
  }
  std::vector<std::uint8_t> bytes(length);
  c.out().Json().Add("block", block).Add("length", length);
  if (ReadCard(c.device.c_str(), bytes.data(), static_cast<int>(length), static_cast<int>(block)) != 1)
    return c.ExportFailed("ReadCard failed (is there a card in slot 0?)");
  if (c.Has("--output")) {
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) return c.Failed("cannot write " + file);
    c.out().Line("read " + std::to_string(length) + " bytes from card block " + std::to_string(block) + " into " + file);
    c.out().Json().Add("output", file);
    return kExitOk;
  }
  c.out().Json().Add("data", HexBytes(bytes.data(), bytes.size()));
  HexDumpLines(c.out(), bytes, block * 512);
  return kExitOk;
}

int CardWrite(Context& c) {
  std::uint64_t block = 0;
  int status = kExitOk;
  if (!BlockOption(c, &block, &status)) return status;
  std::string content, error;
  if (!ReadWholeFile(c.arguments[0], kMaxCardBytes, &content, &error)) return c.Usage(error);
  if (content.empty()) return c.Usage(c.arguments[0] + ": empty file");
  if (block * 512 + content.size() > (kMaxCardBlock + 1) * 512) return c.Usage("the file runs past the card's last block");
  c.out().Json().Add("block", block).Add("length", content.size());
  if (WriteCard(c.device.c_str(), reinterpret_cast<const unsigned char*>(content.data()), static_cast<int>(content.size()),
                static_cast<int>(block)) != 1)
    return c.ExportFailed("WriteCard failed (is there a card in slot 0?)");
  c.out().Line("wrote " + std::to_string(content.size()) + " bytes from card block " + std::to_string(block) +
               " (the last block zero-filled)");
  return kExitOk;
}

int CardBlock(Context& c) {
  std::uint64_t block = 0;
  int status = kExitOk;
  if (!Number(c, "block", c.arguments[0], kMaxCardBlock, &block, &status)) return status;
  std::vector<std::uint8_t> bytes(QUILLON_CARD_BLOCK_SIZE);
  c.out().Json().Add("block", block);
  if (GetCard(c.device.c_str(), bytes.data(), static_cast<int>(block)) != 1) return c.ExportFailed("GetCard failed");
  c.out().Json().Add("data", HexBytes(bytes.data(), bytes.size()));
  HexDumpLines(c.out(), bytes, block * 512);
  return kExitOk;
}

// CMD42 operations by name; a number is passed as it is.
struct NamedOperation {
  const char* name;
  int value;
};
const NamedOperation kSdOperations[] = {{"unlock", 0}, {"set", 1}, {"clear", 2}, {"lock", 4}, {"set-lock", 5}, {"erase", 8}};

int SdLock(Context& c) {
  int operation = -1;
  for (const NamedOperation& o : kSdOperations)
    if (c.arguments[0] == o.name) operation = o.value;
  if (operation < 0) {
    std::uint64_t value = 0;
    int status = kExitOk;
    if (!Number(c, "operation (unlock, set, clear, lock, set-lock, erase or a number)", c.arguments[0], 255, &value,
                &status))
      return status;
    operation = static_cast<int>(value);
  }
  // The password never goes on the command line: it comes from standard input.
  const bool hasPassword = !c.Has("--no-password") && operation != 8;
  std::string password;
  if (hasPassword && !ReadSecretLine("SD card password: ", &password)) return c.Usage("no password on standard input");
  if (password.size() > kMaxSdPassword) return c.Usage("the password has more than 255 bytes");
  if (password.find('\0') != std::string::npos) return c.Usage("the password holds a NUL byte");
  c.out().Json().Add("operation", operation);
  if (SetSDCardLockCmd42(c.device.c_str(), operation, hasPassword ? password.c_str() : nullptr) != 1)
    return c.ExportFailed("SetSDCardLockCmd42 failed (rejected by the card, or no card)");
  c.out().Line("SD lock operation " + std::to_string(operation) + " done");
  return kExitOk;
}

int SdStatus(Context& c) {
  unsigned char status = 0;
  if (GetSDCardStatus(c.device.c_str(), &status) != 1) return c.ExportFailed("GetSDCardStatus failed");
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", status);
  c.out().Json().Add("status", static_cast<unsigned>(status));
  c.out().Line(std::string("SD card status ") + text);
  return kExitOk;
}

int CardSerial(Context& c) {
  int serial[2] = {0, 0};
  if (GetTFCardSN(c.device.c_str(), serial) != 1) return c.ExportFailed("GetTFCardSN failed (is there a card in slot 0?)");
  const std::uint64_t value = (std::uint64_t{static_cast<std::uint32_t>(serial[1])} << 32) | static_cast<std::uint32_t>(serial[0]);
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  c.out().Line(text);
  c.out().Json().Add("serial", std::string(text)).Add("low", static_cast<std::uint32_t>(serial[0]))
      .Add("high", static_cast<std::uint32_t>(serial[1]));
  return kExitOk;
}

const Command kCommands[] = {
    {"finger-status", "", "tell whether a finger lies on the sensor", "", {}, 0, 0, Command::Target::Device,
     FingerStatus, "IsPressFinger"},
    {"finger-mode", "MODE VALUE", "set fingerprint mode 0 or 1 to VALUE (0 to 255)", "", {}, 2, 2,
     Command::Target::Device, FingerMode, "SetFingerMode"},
    {"finger-command", "BYTES", "send a 7-byte command to the fingerprint module and print its reply",
     "BYTES are 14 hexadecimal digits, blanks and colons allowed (one or several arguments). The reply\n"
     "has 40 bytes when the fourth command byte is 7f or 71, 32 when it is 7d, else 8.",
     {}, 1, 7, Command::Target::Device, FingerCommandRun, "FingerPrintCommand"},
    {"finger-delete", "", "clear the fingerprint data block (block 512 of card 0)", "", {}, 0, 0,
     Command::Target::Device, FingerDelete, "DeleteFingerInfo"},
    {"finger-power", "on|off", "switch the fingerprint module on or off", "", {}, 1, 1, Command::Target::Device,
     FingerPower, "SetFingerPrintPower"},
    {"card-read", "", "read bytes of card 0 (a hexdump, or into a file)", "",
     {{"--block", "N", "first block (default 0)"},
      {"--length", "SIZE", "bytes to read (default 512)"},
      {"--output", "FILE", "write the bytes to FILE"}},
     0, 0, Command::Target::Device, CardRead, "ReadCard"},
    {"card-write", "FILE", "write a file to card 0, the last block zero-filled", "",
     {{"--block", "N", "first block (default 0)"}}, 1, 1, Command::Target::Device, CardWrite, "WriteCard"},
    {"card-block", "N", "show block N of card 0", "", {}, 1, 1, Command::Target::Device, CardBlock, "GetCard"},
    {"sd-lock", "OPERATION", "send an SD CMD42 lock operation",
     "OPERATION is unlock (0), set (1), clear (2), lock (4), set-lock (5), erase (8) or a number up to 255.\n"
     "The password (at most 255 bytes) is read from standard input, typed at a prompt without echo on a\n"
     "terminal, else the first line; it goes as the command's data (changing it: the old password\n"
     "followed by the new one). erase sends none.",
     {{"--no-password", nullptr, "send the operation without a password"}}, 1, 1, Command::Target::Device, SdLock,
     "SetSDCardLockCmd42"},
    {"sd-status", "", "show the SD card status byte", "", {}, 0, 0, Command::Target::Device, SdStatus,
     "GetSDCardStatus"},
    {"card-serial", "", "show the serial number of card 0", "", {}, 0, 0, Command::Target::Device, CardSerial,
     "GetTFCardSN"},
};

const FamilyRegistration kFingerCard{{"finger-card", "Fingerprint module and cards", kCommands, std::size(kCommands), 60}};

}  // namespace
}  // namespace quillon::tool
