// Creating and describing a virtual bridge kept in a folder.

#include <iterator>

#include "args.h"
#include "cli.h"
#include "virtual_session.h"

namespace quillon::tool {
namespace {

constexpr std::uint64_t kMinDiskSectors = 8192;
constexpr std::uint64_t kMaxDiskSectors = UINT32_MAX - 4;  // 4,294,967,291

int Init(Context& c) {
  VirtualInitOptions options;
  std::string error;
  if (c.Has("--identify")) options.chip = c.Value("--identify");
  if (c.Has("--flash-part")) options.flashPart = c.Value("--flash-part");
  if (c.Has("--disk-size")) {
    if (!ParseSectors(c.Value("--disk-size"), UINT64_MAX / 512, &options.diskSectors, &error))
      return c.Usage("--disk-size: " + error);
    // The region table gives the disk's last block, reserved sectors included, as 32 bits.
    if (options.diskSectors > kMaxDiskSectors)
      return c.Usage("--disk-size: '" + c.Value("--disk-size") +
                     "' is too large: at most 4,294,967,291 sectors (2 TiB less 2.5 KiB)");
    if (options.diskSectors < kMinDiskSectors)
      return c.Usage("--disk-size: '" + c.Value("--disk-size") + "' is too small: between 4 MiB (8,192 sectors) and "
                     "4,294,967,291 sectors");
  }
  if (c.Has("--cards")) {
    std::uint64_t cards = 0;
    if (!ParseUnsigned(c.Value("--cards"), 4, &cards, &error)) return c.Usage("--cards: " + error);
    options.cards = static_cast<int>(cards);
  }
  if (c.Has("--firmware-word")) {
    std::uint64_t word = 0;
    if (!ParseUnsigned(c.Value("--firmware-word"), UINT32_MAX, &word, &error)) return c.Usage("--firmware-word: " + error);
    options.firmwareWord = static_cast<std::uint32_t>(word);
  }
  if (!CreateVirtualBridge(c.virtualDir, options, &error)) return c.Usage(error);
  c.out().Line("virtual bridge created in " + c.virtualDir + ": " + options.chip + ", flash " + options.flashPart + ", " +
               HumanSize(options.diskSectors * 512) + " disk, " + std::to_string(options.cards) + " card(s)");
  c.out().Line("sample firmware file: " + SampleFirmwarePath(c.virtualDir));
  c.out().Json().Add("folder", c.virtualDir).Add("controller", options.chip).Add("flash_part", options.flashPart);
  c.out().Json().Add("disk_sectors", options.diskSectors).Add("cards", options.cards);
  c.out().Json().Add("sample_firmware", SampleFirmwarePath(c.virtualDir));
  return kExitOk;
}

int Info(Context& c) {
  if (c.session == nullptr) return c.Usage("virtual-info describes a virtual bridge: give --virtual DIR");
  for (const auto& [name, value] : c.session->Describe()) {
    c.out().Line(name + ": " + value);
    c.out().Json().Add(name, value);
  }
  return kExitOk;
}

int Finger(Context& c) {
  if (c.session == nullptr) return c.Usage("virtual-finger works on a virtual bridge: give --virtual DIR");
  const std::string& state = c.arguments[0];
  if (state != "on" && state != "off") return c.Usage("on or off, not '" + state + "'");
  std::uint64_t finger = 1;
  std::string error;
  if (c.Has("--finger") && !ParseUnsigned(c.Value("--finger"), 255, &finger, &error)) return c.Usage("--finger: " + error);
  c.session->PlaceFinger(state == "on" ? static_cast<int>(finger) : -1);
  c.out().Line(state == "on" ? "finger " + std::to_string(finger) + " lies on the sensor" : "the sensor is free");
  c.out().Json().Add("pressed", state == "on");
  return kExitOk;
}

const Command kCommands[] = {
    {"init", "", "create a virtual bridge in the --virtual folder",
     "The folder must be new or empty. The bridge keeps its controller memory, SPI flash, cards,\n"
     "passwords, region table and disks there between runs; the disks are raw image files\n"
     "(public.img, cipher.img) that fsck.fat, fsck.exfat, mtools or a loop mount read directly.\n"
     "It appears as \\\\.\\PhysicalDrive1 (public disk) and \\\\.\\PhysicalDrive2 (cipher disk).",
     {{"--identify", "NAME", "controller identify name: FCC1 (default), FCC2, BC1 or 6623"},
      {"--flash-part", "NAME", "SPI flash part from the catalogue (default W25X40), or none"},
      {"--disk-size", "SIZE", "whole-disk size, for example 64M (default), 2G, 131072s; 4M to 4294967291s (2 TiB less 2.5 KiB)"},
      {"--cards", "N", "memory cards in slots 0..N-1 (0 to 4, default 0)"},
      {"--firmware-word", "WORD", "identify word 2, the controller firmware version (default 0x02000000)"}},
     0, 0, Command::Target::Virtual, Init, ""},
    {"virtual-info", "", "describe the virtual bridge in the --virtual folder and its image files", "", {}, 0, 0,
     Command::Target::None, Info, ""},
    {"virtual-finger", "on|off", "put a finger on the virtual fingerprint sensor, or lift it",
     "Fingers are told apart by number: a finger enrolled as one number does not match another.",
     {{"--finger", "N", "which finger (0 to 255, default 1)"}}, 1, 1, Command::Target::None, Finger, ""},
};

const FamilyRegistration kVirtual{{"virtual", "Virtual bridge", kCommands, std::size(kCommands), 1000}};

}  // namespace
}  // namespace quillon::tool
