// The SPI flash exports: a 64 KiB dump and a sector erase.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <iterator>
#include <vector>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/flash.h"
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

// Capacity of the flash part on the device, 0 when it cannot be told (no flash, unknown part).
std::uint32_t FlashCapacity(const std::string& path, std::string* part) {
  BridgeDevice device;
  if (!OpenBridgeDevice(&device, path.c_str()) || CmdFlashPresent(device) != 1 || !IdentifyFlash(device)) return 0;
  *part = device.flashName;
  return FlashPartSize(device);
}

// The output file is written beside its final name and renamed over it only once complete, so a read
// that fails (or a full disk) leaves an existing file as it was.
class OutputFile {
 public:
  explicit OutputFile(std::string path) : path_(std::move(path)), temporary_(path_ + ".quillon-part") {}
  ~OutputFile() {
    if (open_) {
      out_.close();
      std::error_code ec;
      std::filesystem::remove(temporary_, ec);
    }
  }
  bool Open() {
    out_.open(temporary_, std::ios::binary | std::ios::trunc);
    open_ = static_cast<bool>(out_);
    return open_;
  }
  std::ofstream& Stream() { return out_; }
  bool Commit(std::string* error) {
    out_.close();
    std::error_code ec;
    if (!out_) {
      *error = "cannot write " + temporary_;
    } else {
      std::filesystem::rename(temporary_, path_, ec);
      if (!ec) {
        open_ = false;
        return true;
      }
      *error = "cannot replace " + path_ + ": " + ec.message();
    }
    return false;
  }

 private:
  std::string path_;
  std::string temporary_;
  std::ofstream out_;
  bool open_ = false;
};

int ReadFlashCommand(Context& c) {
  std::uint32_t address = 0;
  int status = kExitOk;
  if (c.Has("--address") && !ReadAddress(c, c.Value("--address"), &address, &status)) return status;
  if (c.Has("--binary") && !c.Has("--output")) return c.Usage("--binary needs --output FILE");
  const std::string file = c.Value("--output");
  std::error_code ec;
  if (c.Has("--output") && std::filesystem::is_directory(file, ec)) return c.Usage(file + ": is a folder");
  // The temporary file is made first, so a path that cannot be written is refused before the device
  // is asked anything.
  OutputFile out(file);
  if (c.Has("--output") && !out.Open()) return c.Usage(file + ": cannot be written");

  // An address past the end of the part reads nothing that is there: the part answers from address 0
  // again, or not at all.
  std::string part;
  const std::uint32_t capacity = FlashCapacity(c.device, &part);
  if (capacity > 0 && address >= capacity) {
    char limit[160];
    std::snprintf(limit, sizeof(limit), "--address 0x%06x is past the end of the flash: the %s holds %s, addresses 0 to 0x%06x",
                  static_cast<unsigned>(address), part.c_str(), HumanSize(capacity).c_str(),
                  static_cast<unsigned>(capacity - 1));
    return c.Usage(limit);
  }
  c.ForgetLibraryReason();
  std::vector<char> text(QUILLON_FLASH_DUMP_CHARS, 0);
  std::uint32_t length = 0;
  if (ReadFlash(c.device.c_str(), text.data(), &length, address) != 1)
    return c.ExportFailed("ReadFlash failed (no flash, identification failed or a read failed)");
  if (length > text.size()) length = static_cast<std::uint32_t>(text.size());
  auto& json = c.out().Json();
  json.Add("address", address).Add("length", length);
  const std::vector<std::uint8_t> bytes = DumpBytes(text, length);
  // The last bytes of a dump that starts near the end come from the start of the part.
  std::string wrapNote;
  if (capacity > 0 && std::uint64_t{address} + bytes.size() > capacity) {
    json.Add("wraps_at", capacity);
    wrapNote = "note: the flash ends at " + Hex(capacity - 1, 6) + "; the bytes after it are read from address 0 again";
  }
  if (c.Has("--output")) {
    if (c.Has("--binary")) {
      out.Stream().write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    } else {
      out.Stream().write(text.data(), length);
    }
    std::string error;
    if (!out.Commit(&error)) return c.Failed(error);
    c.out().Line("read " + std::to_string(bytes.size()) + " bytes from " + Hex(address, 6) + " into " + file);
    if (!wrapNote.empty()) c.out().Line(wrapNote);
    json.Add("output", file);
    return kExitOk;
  }
  json.Add("dump", std::string(text.data(), length));
  HexDumpLines(c.out(), bytes, address);
  if (!wrapNote.empty()) c.out().Line(wrapNote);
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
