// The SPI flash exports: a 64 KiB dump and a sector erase.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "args.h"
#include "cli.h"
#include "quillon_flash.h"

namespace quillon::tool {
namespace {

constexpr std::uint64_t kMaxFlashAddress = 0xFFFFFF;  // flash addresses travel as 24 bits

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%0*x", digits, value);
  return text;
}

bool ReadAddress(Context& c, const std::string& text, std::uint32_t* address, int* status) {
  std::uint64_t value = 0;
  std::string error;
  if (!ParseUnsigned(text, kMaxFlashAddress, &value, &error)) {
    *status = c.Usage("flash address: " + error);
    return false;
  }
  *address = static_cast<std::uint32_t>(value);
  return true;
}

// The dump's bytes: two hexadecimal digits and a blank each.
std::vector<std::uint8_t> DumpBytes(const std::vector<char>& text, std::uint32_t length) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(length / 3);
  auto digit = [](char ch) { return ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10; };
  for (std::uint32_t i = 0; i + 1 < length; i += 3)
    bytes.push_back(static_cast<std::uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
  return bytes;
}

int ReadFlashCommand(Context& c) {
  std::uint32_t address = 0;
  int status = kExitOk;
  if (c.Has("--address") && !ReadAddress(c, c.Value("--address"), &address, &status)) return status;
  if (c.Has("--binary") && !c.Has("--output")) return c.Usage("--binary needs --output FILE");
  // The output file is opened first, so a path that cannot be written is refused before the device
  // is asked anything.
  std::ofstream out;
  const std::string file = c.Value("--output");
  if (c.Has("--output")) {
    out.open(file, std::ios::binary | std::ios::trunc);
    if (!out) return c.Usage(file + ": cannot be written");
  }
  std::vector<char> text(QUILLON_FLASH_DUMP_CHARS, 0);
  std::uint32_t length = 0;
  if (ReadFlash(c.device.c_str(), text.data(), &length, address) != 1)
    return c.ExportFailed("ReadFlash failed (no flash, identification failed or a read failed)");
  if (length > text.size()) length = static_cast<std::uint32_t>(text.size());
  auto& json = c.out().Json();
  json.Add("address", address).Add("length", length);
  const std::vector<std::uint8_t> bytes = DumpBytes(text, length);
  if (c.Has("--output")) {
    if (c.Has("--binary")) {
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    } else {
      out.write(text.data(), length);
    }
    out.close();
    if (!out) return c.Failed("cannot write " + file);
    c.out().Line("read " + std::to_string(bytes.size()) + " bytes from " + Hex(address, 6) + " into " + file);
    json.Add("output", file);
    return kExitOk;
  }
  json.Add("dump", std::string(text.data(), length));
  HexDumpLines(c.out(), bytes, address);
  return kExitOk;
}

int EraseSector(Context& c) {
  std::uint32_t address = 0;
  int status = kExitOk;
  if (!ReadAddress(c, c.arguments[0], &address, &status)) return status;
  c.out().Json().Add("address", address);
  if (SectorEraseFlash(c.device.c_str(), address) != 1) return c.ExportFailed("SectorEraseFlash failed at " + Hex(address, 6));
  c.out().Line("erased the flash sector holding " + Hex(address, 6));
  return kExitOk;
}

const Command kCommands[] = {
    {"read-flash", "", "read 64 KiB of the SPI flash",
     "Identifies the flash part and reads 64 KiB from the address (default 0). The text form is a\n"
     "hexdump with repeated lines folded into '*'; --output writes the library's dump text (two digits\n"
     "and a blank per byte), or the raw bytes with --binary.",
     {{"--address", "ADDR", "flash address to start at (decimal or 0x hex, at most 0xffffff)"},
      {"--output", "FILE", "write the dump to FILE instead of printing it"},
      {"--binary", nullptr, "with --output: write the bytes, not the dump text"}},
     0, 0, Command::Target::Device, ReadFlashCommand, "ReadFlash"},
    {"erase-sector", "ADDR", "erase the SPI flash sector that holds ADDR",
     "The sector size and erase opcode come from the identified flash part (4 KiB on most parts).", {}, 1, 1,
     Command::Target::Device, EraseSector, "SectorEraseFlash"},
};

const FamilyRegistration kFlash{{"flash", "SPI flash", kCommands, std::size(kCommands), 20}};

}  // namespace
}  // namespace quillon::tool
