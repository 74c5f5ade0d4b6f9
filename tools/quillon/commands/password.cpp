// Device passwords: the controller-kept scheme and the old firmware-record scheme. Passwords are read
// from standard input (a prompt without echo on a terminal), never from the command line.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "args.h"
#include "cli.h"
#include "quillon_password.h"
#include "terminal.h"

namespace quillon::tool {
namespace {

constexpr std::size_t kBlockBytes = 32;
constexpr std::size_t kOldSetMax = 31;  // the old scheme keeps the text NUL-terminated in 32 bytes

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  std::string text;
  char cell[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(cell, sizeof(cell), i ? " %02x" : "%02x", bytes[i]);
    text += cell;
  }
  return text;
}

// 64 hexadecimal digits (blanks allowed between them).
bool ParseBlock(const std::string& text, std::uint8_t block[kBlockBytes]) {
  std::string digits;
  for (char ch : text) {
    if (ch == ' ' || ch == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
    digits.push_back(ch);
  }
  if (digits.size() != 2 * kBlockBytes) return false;
  for (std::size_t i = 0; i < kBlockBytes; ++i)
    block[i] = static_cast<std::uint8_t>(std::stoul(digits.substr(2 * i, 2), nullptr, 16));
  return true;
}

// The password as the command needs it: text (at most maxText bytes) or, with --raw, a 32-byte block
// typed as 64 hexadecimal digits. A new password is asked twice on a terminal.
bool ReadPassword(Context& c, bool confirm, std::size_t maxText, std::string* text, std::uint8_t block[kBlockBytes],
                  int* status) {
  const bool raw = c.Has("--raw");
  std::string line;
  if (!ReadSecretLine(raw ? "password block (64 hex digits): " : "password: ", &line)) {
    *status = c.Usage("no password given (type it at the prompt or pipe it to standard input)");
    return false;
  }
  if (confirm && IsTerminal(stdin)) {
    std::string again;
    if (!ReadSecretLine("again: ", &again) || again != line) {
      *status = c.Usage("the two entries differ");
      return false;
    }
  }
  std::memset(block, 0, kBlockBytes);
  if (raw) {
    if (!ParseBlock(line, block)) {
      *status = c.Usage("a password block is 64 hexadecimal digits (32 bytes)");
      return false;
    }
    return true;
  }
  if (line.size() > maxText || line.find('\0') != std::string::npos) {
    *status = c.Usage("a password is at most " + std::to_string(maxText) + " bytes");
    return false;
  }
  std::memcpy(block, line.data(), line.size());
  *text = line;
  return true;
}

bool Selector(Context& c, const char* option, int* value, int* status) {
  std::uint64_t number = 0;
  std::string error;
  if (!ParseUnsigned(c.Value(option), 255, &number, &error)) {
    *status = c.Usage(std::string(option) + ": " + error);
    return false;
  }
  *value = static_cast<int>(number);
  return true;
}

bool Old(Context& c, int* status) {
  if (c.Has("--old") && (c.Has("--raw") || c.Has("--selector") || c.Has("--index"))) {
    *status = c.Usage("--old takes the password as text only");
    return false;
  }
  return c.Has("--old");
}

int SetPasswordCommand(Context& c) {
  int status = kExitOk;
  const bool old = Old(c, &status);
  if (status != kExitOk) return status;
  int selector = 0;
  if (c.Has("--selector") && !Selector(c, "--selector", &selector, &status)) return status;
  std::string text;
  std::uint8_t block[kBlockBytes];
  if (!ReadPassword(c, true, old ? kOldSetMax : kBlockBytes, &text, block, &status)) return status;
  auto& json = c.out().Json();
  json.Add("scheme", old ? "old" : "current");
  if (old) {
    if (SetPasswordOld(c.device.c_str(), text.c_str()) != 1)
      return c.ExportFailed("SetPasswordOld failed (firmware images not readable or valid, or a write failed)");
  } else if (c.Has("--selector") || c.Has("--raw")) {
    json.Add("selector", selector);
    if (SetPassword2(c.device.c_str(), block, selector) != 1) return c.ExportFailed("SetPassword2 failed");
  } else if (SetPassword(c.device.c_str(), text.c_str()) != 1) {
    return c.ExportFailed("SetPassword failed");
  }
  c.out().Line(old ? "old-scheme password set" : "password set");
  return kExitOk;
}

int VerifyPasswordCommand(Context& c) {
  int status = kExitOk;
  const bool old = Old(c, &status);
  if (status != kExitOk) return status;
  std::string text;
  std::uint8_t block[kBlockBytes];
  if (!ReadPassword(c, false, kBlockBytes, &text, block, &status)) return status;
  c.out().Json().Add("scheme", old ? "old" : "current");
  if (old) {
    if (VerifyPasswordOld(c.device.c_str(), text.c_str()) != 1)
      return c.ExportFailed("VerifyPasswordOld failed (wrong password, or the controller did not answer)");
    c.out().Line("password accepted");
    return kExitOk;
  }
  int words[8];
  std::memcpy(words, block, sizeof(words));
  if (VerifyPassword(c.device.c_str(), words) != 1) return c.ExportFailed("VerifyPassword failed");
  c.out().Line("password sent to the controller (it does not report whether it was right)");
  return kExitOk;
}

int ClearPasswordCommand(Context& c) {
  const bool old = c.Has("--old");
  c.out().Json().Add("scheme", old ? "old" : "current");
  if (old ? ClearPasswordOld(c.device.c_str()) != 1 : ClearPassword(c.device.c_str()) != 1)
    return c.ExportFailed(old ? "ClearPasswordOld failed" : "ClearPassword failed");
  c.out().Line(old ? "old-scheme password cleared" : "passwords cleared");
  return kExitOk;
}

int DeletePasswordCommand(Context& c) {
  int status = kExitOk;
  if (c.Has("--index")) {
    if (c.Has("--raw")) return c.Usage("--index and --raw do not go together");
    int index = 0;
    if (!Selector(c, "--index", &index, &status)) return status;
    c.out().Json().Add("index", index);
    if (DeletePassword2(c.device.c_str(), index) != 1) return c.ExportFailed("DeletePassword2 failed");
    c.out().Line("password " + std::to_string(index) + " deleted");
    return kExitOk;
  }
  std::string text;
  std::uint8_t block[kBlockBytes];
  if (!ReadPassword(c, false, kBlockBytes, &text, block, &status)) return status;
  int words[8];
  std::memcpy(words, block, sizeof(words));
  if (DeletePassword(c.device.c_str(), words) != 1) return c.ExportFailed("DeletePassword failed");
  c.out().Line("password deleted");
  return kExitOk;
}

int HasPasswordCommand(Context& c) {
  if (c.Has("--old")) {
    unsigned isSet = 0;
    int usable = 0;
    if (HasPasswordOld(c.device.c_str(), &isSet, &usable) != 1) return c.ExportFailed("HasPasswordOld failed");
    c.out().Line(isSet ? "an old-scheme password is set" : "no old-scheme password is set");
    if (!usable) c.out().Line("the controller marks the password unusable");
    c.out().Json().Add("password", isSet != 0).Add("usable", usable != 0);
    return kExitOk;
  }
  const bool yes = HasPassword(c.device.c_str()) == 1;
  // 0 means "no" only when the controller answered.
  if (!yes && c.DeviceFailed()) return c.ExportFailed("HasPassword failed");
  c.out().Line(yes ? "a password is set" : "no password is set");
  c.out().Json().Add("password", yes);
  return kExitOk;
}

int PasswordCount(Context& c) {
  const int n = GetPasswordNumber(c.device.c_str());
  if (n < 0) return c.ExportFailed("GetPasswordNumber failed");
  c.out().Line(std::to_string(n) + (n == 1 ? " password" : " passwords"));
  c.out().Json().Add("passwords", n);
  return kExitOk;
}

int PasswordInfo(Context& c) {
  int info[8] = {};
  if (GetPasswordInfo(c.device.c_str(), info) != 1) return c.ExportFailed("GetPasswordInfo failed");
  std::uint8_t bytes[kBlockBytes];
  std::memcpy(bytes, info, sizeof(bytes));
  c.out().Line(Hex(bytes, sizeof(bytes)));
  c.out().Json().Add("info", Hex(bytes, sizeof(bytes)));
  return kExitOk;
}

int OldSupport(Context& c) {
  const bool yes = SupportPasswordOld(c.device.c_str()) != 0;
  // 0 means "no" only when the controller answered.
  if (!yes && c.DeviceFailed()) return c.ExportFailed("SupportPasswordOld failed");
  c.out().Line(yes ? "the controller takes old-scheme passwords" : "the controller does not take old-scheme passwords");
  c.out().Json().Add("old_scheme", yes);
  return kExitOk;
}

const OptionInfo kOld = {"--old", nullptr, "the old scheme (password record in the firmware images)"};
const OptionInfo kRaw = {"--raw", nullptr, "read a 32-byte block as 64 hex digits instead of text"};
#define PASSWORD_INPUT                                                                              \
  "The password is read from standard input: typed at a prompt without echo on a terminal, else the\n" \
  "first line (for example from a pipe or a file). It is never taken from the command line."

const Command kCommands[] = {
    {"set-password", "", "set a password",
     "Current scheme: at most 32 bytes, sent to the controller. --old: at most 31 bytes, written as a\n"
     "record into both firmware images (every copy) and controller memory. On a terminal the password is\n"
     "asked twice.\n" PASSWORD_INPUT,
     {kOld, {"--selector", "N", "send the password block with selector N (0-255)"}, kRaw}, 0, 0,
     Command::Target::Device, SetPasswordCommand, "SetPassword, SetPassword2, SetPasswordOld"},
    {"verify-password", "", "hand a password to the controller to unlock",
     "Current scheme: the controller checks it but does not report the result. --old: the text is checked\n"
     "against the stored record first (exit 1 when wrong), then sent.\n" PASSWORD_INPUT,
     {kOld, kRaw}, 0, 0, Command::Target::Device, VerifyPasswordCommand, "VerifyPassword, VerifyPasswordOld"},
    {"clear-password", "", "remove the passwords", "", {kOld}, 0, 0, Command::Target::Device, ClearPasswordCommand,
     "ClearPassword, ClearPasswordOld"},
    {"delete-password", "", "remove one password, by its text or by --index", PASSWORD_INPUT, {{"--index", "N", "the password at index N (0-255)"}, kRaw},
     0, 0, Command::Target::Device, DeletePasswordCommand, "DeletePassword, DeletePassword2"},
    {"has-password", "", "tell whether the controller has a password set", "", {kOld}, 0, 0, Command::Target::Device,
     HasPasswordCommand, "HasPassword, HasPasswordOld"},
    {"password-count", "", "show how many passwords the controller keeps", "", {}, 0, 0, Command::Target::Device,
     PasswordCount, "GetPasswordNumber"},
    {"password-info", "", "show the controller's password information (32 bytes)", "", {}, 0, 0,
     Command::Target::Device, PasswordInfo, "GetPasswordInfo"},
    {"old-scheme", "", "tell whether the controller takes old-scheme passwords", "", {}, 0, 0,
     Command::Target::Device, OldSupport, "SupportPasswordOld"},
};

const FamilyRegistration kPassword{{"password", "Passwords", kCommands, std::size(kCommands), 40}};

}  // namespace
}  // namespace quillon::tool
