// The public and cipher regions: sizes, region queries, formatting and the CD region's ISO image.

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "args.h"
#include "cli.h"
#include "progress.h"
#include "quillon_region.h"
#include "virtual_session.h"

namespace quillon::tool {
namespace {

constexpr std::uint64_t kMaxSectorsArgument = INT32_MAX;  // the exports take the size as an int
constexpr std::size_t kMaxLabel = 11;
constexpr const char* kFat32Forbidden = "\"*+,./:;<=>?[\\]|";

std::string Sectors(std::uint64_t sectors) {
  return std::to_string(sectors) + " sectors (" + HumanSize(sectors * 512) + ")";
}

// The whole-disk size as the export returns it: -1 for failure, sizes from 2^31 on wrap to negative.
bool WholeDiskSectors(const std::string& device, std::uint64_t* sectors) {
  const int result = GetWholeDiskSize(device.c_str());
  if (result == -1) return false;
  *sectors = static_cast<std::uint32_t>(result);
  return true;
}

int DiskSize(Context& c) {
  std::uint64_t sectors = 0;
  if (!WholeDiskSectors(c.device, &sectors)) return c.ExportFailed("GetWholeDiskSize failed");
  c.out().Line("whole disk: " + Sectors(sectors));
  c.out().Json().Add("sectors", sectors).Add("bytes", sectors * 512);
  return kExitOk;
}

constexpr const char* kIntLimit = "2,147,483,647 sectors (1 TiB less 512 bytes), the most the export's int argument holds";

// A cipher size the exports can take: whole sectors, at most 2^31 - 1 of them.
bool ParseCipherSize(Context& c, const std::string& option, const std::string& text, std::uint64_t* sectors,
                     int* status) {
  std::string error;
  if (!ParseSectors(text, UINT64_MAX / 512, sectors, &error)) {
    *status = c.Usage(option + error);
    return false;
  }
  if (*sectors > kMaxSectorsArgument) {
    *status = c.Usage(option + "'" + text + "' is too large: at most " + kIntLimit);
    return false;
  }
  return true;
}

int SetCipherSize(Context& c) {
  std::uint64_t sectors = 0;
  int status = kExitOk;
  if (!ParseCipherSize(c, "", c.arguments[0], &sectors, &status)) return status;
  c.out().Json().Add("cipher_sectors", sectors);
  // The size must fit the whole disk; checked here so the message can name both sizes.
  std::uint64_t whole = 0;
  if (WholeDiskSectors(c.device, &whole) && sectors > whole)
    return c.Usage("a cipher region of " + Sectors(sectors) + " does not fit: the whole disk has " + Sectors(whole));
  c.ForgetLibraryReason();
  if (SetCipherDiskSize(c.device.c_str(), static_cast<int>(sectors)) != 1) return c.ExportFailed("SetCipherDiskSize failed");
  c.out().Line("cipher region set to " + Sectors(sectors));
  return kExitOk;
}

// Characters of a UTF-8 text (labels are converted to UTF-16 for exFAT).
std::size_t Characters(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char ch : text) n += (ch & 0xC0) != 0x80 ? 1 : 0;
  return n;
}

int Format(Context& c) {
  const std::string fs = c.Value("--fs", "fat32");
  std::string lower;
  for (char ch : fs) lower.push_back(static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch + 32 : ch));
  if (lower != "fat32" && lower != "exfat") return c.Usage("--fs: fat32 or exfat, not '" + fs + "'");
  std::uint64_t cipher = 0;
  std::string error;
  int status = kExitOk;
  if (c.Has("--cipher-size") && !ParseCipherSize(c, "--cipher-size: ", c.Value("--cipher-size"), &cipher, &status))
    return status;
  for (const char* option : {"--public-label", "--cipher-label"}) {
    const std::string label = c.Value(option);
    if (lower == "fat32") {
      // FAT checkers take printable ASCII only in a label; other characters are read in whatever
      // code page the reader assumes.
      for (char ch : label) {
        const unsigned char u = static_cast<unsigned char>(ch);
        if (u < 0x20 || u >= 0x7F)
          return c.Usage(std::string(option) + ": FAT32 labels take printable ASCII characters only ('" + label +
                         "' has others); exFAT labels take any character");
        if (std::strchr(kFat32Forbidden, u) != nullptr)
          return c.Usage(std::string(option) + ": FAT32 labels may not hold '" + std::string(1, ch) + "' (none of " +
                         kFat32Forbidden + ")");
      }
    }
    const std::size_t length = lower == "fat32" ? label.size() : Characters(label);
    if (length > kMaxLabel)
      return c.Usage(std::string(option) + ": at most 11 " + (lower == "fat32" ? "bytes" : "characters") + " for " + lower);
  }
  const std::string publicLabel = c.Value("--public-label");
  const std::string cipherLabel = c.Value("--cipher-label");
  auto& json = c.out().Json();
  json.Add("file_system", lower).Add("cipher_sectors", cipher);
  int result = 0;
  {
    ProgressLine progress("format", c.progress);
    result = SetCipherDiskSizeAndFormat(static_cast<int>(cipher), lower.c_str(),
                                        c.Has("--public-label") ? publicLabel.c_str() : nullptr,
                                        c.Has("--cipher-label") ? cipherLabel.c_str() : nullptr);
  }
  if (result != 1)
    return c.ExportFailed("SetCipherDiskSizeAndFormat failed (no bridge, a size that does not fit, or a write failed)");
  c.out().Line("formatted as " + lower + " with a cipher region of " + Sectors(cipher));
  if (c.session != nullptr) {
    for (const auto& [name, value] : c.session->Describe()) {
      if (name == "public-image" || (name == "cipher-image" && cipher > 0)) {
        c.out().Line(name + ": " + value);
        json.Add(name, value);
      }
    }
  }
  return kExitOk;
}

int IsPublic(Context& c) {
  const bool yes = IsPublicRegion(c.device.c_str()) == 1;
  // The export answers 0 for "no" and for a device that did not answer; only the second leaves a reason.
  if (!yes && c.DeviceFailed()) return c.ExportFailed("IsPublicRegion: the device did not answer");
  c.out().Line(c.device + (yes ? " is the public region" : " is not the public region"));
  c.out().Json().Add("public", yes);
  return kExitOk;
}

int EncryptState(Context& c) {
  unsigned char encrypted = 0;
  if (GetEncryptState(c.device.c_str(), &encrypted) != 1) return c.ExportFailed("GetEncryptState failed");
  c.out().Line(std::string("encrypted: ") + (encrypted ? "yes" : "no"));
  c.out().Json().Add("encrypted", encrypted != 0);
  return kExitOk;
}

int WriteIso(Context& c) {
  const std::string file = c.arguments[0];
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) return c.Usage(file + ": is a folder");
  if (!std::filesystem::is_regular_file(file, ec)) return c.Usage(file + ": no such file");
  if (!std::ifstream(file, std::ios::binary)) return c.Usage(file + ": cannot be read");
  const std::uint64_t size = std::filesystem::file_size(file, ec);
  if (ec) return c.Usage(file + ": cannot be read");
  // The CD region is addressed with 32-bit block numbers.
  if (size > (std::uint64_t{1} << 32) * 512) return c.Usage(file + ": larger than the CD region can address");
  c.out().Json().Add("file", file).Add("bytes", size);
  int result = 0;
  {
    ProgressLine progress("write-iso", c.progress, size);
    result = WriteIsoFile(c.device.c_str(), file.c_str());
  }
  if (result != 1) return c.ExportFailed("WriteIsoFile failed");
  c.out().Line("wrote " + HumanSize(size) + " from " + file + " into the CD region");
  return kExitOk;
}

const Command kCommands[] = {
    {"disk-size", "", "show the whole-disk size shared by the public and cipher regions", "", {}, 0, 0,
     Command::Target::Device, DiskSize, "GetWholeDiskSize"},
    {"set-cipher-size", "SIZE", "set the cipher region's size (no formatting)",
     "SIZE is a size such as 32M or 65536s (512-byte sectors); 0 removes the cipher region.", {}, 1, 1,
     Command::Target::Device, SetCipherSize, "SetCipherDiskSize"},
    {"format", "", "size the cipher region and format both regions",
     "Finds the bridge's public and cipher disks itself (--device does not apply), sets the cipher\n"
     "size and writes a fresh FAT32 or exFAT file system, without a partition table, onto each region.\n"
     "Everything on the regions is lost.",
     {{"--fs", "NAME", "fat32 (default) or exfat"},
      {"--cipher-size", "SIZE", "size of the cipher region (default 0: only the public region)"},
      {"--public-label", "TEXT", "volume label of the public region (at most 11)"},
      {"--cipher-label", "TEXT", "volume label of the cipher region (at most 11)"}},
     0, 0, Command::Target::None, Format, "SetCipherDiskSizeAndFormat"},
    {"is-public", "", "tell whether the device is the public region", "", {}, 0, 0, Command::Target::Device, IsPublic,
     "IsPublicRegion"},
    {"encrypt-state", "", "tell whether the region is encrypted", "", {}, 0, 0, Command::Target::Device, EncryptState,
     "GetEncryptState"},
    {"write-iso", "FILE", "write an ISO image into the controller's CD region",
     "Writes FILE from block 0 in 64 KiB pieces, the last padded with zeros to whole blocks.", {}, 1, 1,
     Command::Target::Device, WriteIso, "WriteIsoFile"},
};

const FamilyRegistration kRegion{{"region", "Regions and formatting", kCommands, std::size(kCommands), 50}};

}  // namespace
}  // namespace quillon::tool
