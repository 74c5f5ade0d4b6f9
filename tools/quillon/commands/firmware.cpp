// Firmware check and update.

#include <cstring>
#include <iterator>
#include <vector>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/flash.h"
#include "args.h"
#include "cli.h"
#include "progress.h"
#include "quillon_firmware.h"

namespace quillon::tool {
namespace {

// Two 64 KiB images as spaced hexadecimal text with line breaks stay well below this.
constexpr std::uint64_t kMaxFirmwareFile = 4 << 20;
constexpr std::size_t kMaxProduct = 62;

// One line of the CheckFw report: "PC fw copy 0 on card 1 is OK. Firmware version is 1.2.3.4."
struct CopyLine {
  std::string text;
  std::string image;
  int copy = -1;
  int card = -1;
  bool ok = false;
  bool absent = false;  // not OK, and its area is blank: erased, never written, not damaged
  std::string version;
};

CopyLine ParseCopyLine(const std::string& line) {
  CopyLine c;
  c.text = line;
  const auto fw = line.find(" fw copy ");
  if (fw == std::string::npos) return c;
  c.image = line.substr(0, fw);
  std::size_t p = fw + 9;
  if (p < line.size() && line[p] >= '0' && line[p] <= '9') c.copy = line[p] - '0';
  const auto card = line.find(" on card ");
  if (card != std::string::npos && card + 9 < line.size()) c.card = line[card + 9] - '0';
  c.ok = line.find(" is OK.") != std::string::npos;
  const auto version = line.find("version is ");
  if (version != std::string::npos) {
    c.version = line.substr(version + 11);
    if (!c.version.empty() && c.version.back() == '.') c.version.pop_back();
  }
  return c;
}

// Firmware copy areas: 64 KiB apart in SPI flash from address 0, or 128 blocks apart on a card.
constexpr std::uint32_t kCopyArea = 0x10000;
constexpr std::uint32_t kCopyBlocks = 128;

// Where an image starts: a copy whose first 4 KiB are blank holds no image at all. (The rest of the
// area is not looked at: its last sectors keep other data, such as serial numbers and traces.)
constexpr std::size_t kImageStart = 0x1000;

bool Blank(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < kImageStart) return false;
  const std::uint8_t fill = bytes[0];
  if (fill != 0xFF && fill != 0x00) return false;
  for (std::size_t i = 0; i < kImageStart; ++i)
    if (bytes[i] != fill) return false;
  return true;
}

// Marks the copies CheckFw calls damaged whose area starts blank (all 0xFF as erased flash leaves it,
// or all zero): those were erased or never written, as the Apple copies after a single-image
// update are. A copy whose area cannot be read stays damaged.
void MarkAbsentCopies(const std::string& path, std::vector<CopyLine>& copies) {
  BridgeDevice device;
  if (!OpenBridgeDevice(&device, path.c_str())) return;
  const bool flash = CmdFlashPresent(device) == 1;
  std::uint32_t flashRead = 0;
  if (flash) {
    IdentifyFlash(device);
    flashRead = FlashDumpReadLength(device.pageSize);
  }
  for (CopyLine& copy : copies) {
    if (copy.ok || copy.copy < 0 || copy.image.empty()) continue;
    const int index = (copy.image == "Apple" ? 2 : 0) + copy.copy;
    std::vector<std::uint8_t> area(flash ? flashRead : kCopyArea);
    bool read = false;
    if (flash && flashRead > 0)
      read = CmdFlashRead(device, static_cast<std::uint32_t>(index) * kCopyArea, area.data(), flashRead) == 1;
    else if (!flash && copy.card >= 0)
      read = CmdReadCardBlock(device, static_cast<std::uint8_t>(copy.card), static_cast<std::uint32_t>(index) * kCopyBlocks,
                              area.data(), kCopyArea) == 1;
    copy.absent = read && Blank(area);
  }
}

int CheckFwCommand(Context& c) {
  std::vector<char> text(QUILLON_CHECK_FW_TEXT_CAPACITY + 1, 0);
  CheckFw(c.device.c_str(), text.data());
  text.back() = 0;
  std::vector<CopyLine> copies;
  std::string report(text.data());
  std::size_t start = 0;
  while (start < report.size()) {
    std::size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    std::string line = report.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) copies.push_back(ParseCopyLine(line));
    start = end + 1;
  }
  const bool unreachable = copies.empty() && c.DeviceFailed();
  const std::string reason = c.LibraryReason();
  MarkAbsentCopies(c.device, copies);
  std::vector<std::string> items;
  int damaged = 0;
  int absent = 0;
  int good = 0;
  for (const CopyLine& copy : copies) {
    std::string line = copy.text;
    if (copy.absent) {
      // "Apple fw copy 0 is error." -> "Apple fw copy 0 is absent (erased)."
      const auto at = line.rfind(" is error.");
      if (at != std::string::npos) line = line.substr(0, at) + " is absent (erased).";
    }
    c.out().Line(line);
    JsonObject item;
    item.Add("image", copy.image).Add("copy", copy.copy);
    if (copy.card >= 0) item.Add("card", copy.card);
    item.Add("ok", copy.ok).Add("state", copy.ok ? "ok" : copy.absent ? "absent" : "damaged");
    if (copy.ok) item.Add("version", copy.version);
    items.push_back(item.Text());
    good += copy.ok ? 1 : 0;
    absent += copy.absent ? 1 : 0;
    damaged += !copy.ok && !copy.absent ? 1 : 0;
  }
  c.out().Json().Raw("copies", JsonArray(items));
  c.out().Json().Add("damaged", damaged).Add("absent", absent);
  if (copies.empty()) {
    if (unreachable) return c.Failed("no report: " + reason);
    return c.Failed("no report: the bridge could not be reached or has neither flash nor cards");
  }
  const std::string total = std::to_string(copies.size());
  if (damaged > 0) return c.Failed(std::to_string(damaged) + " of " + total + " firmware copies are damaged");
  if (good == 0) return c.Failed("no firmware: all " + total + " copies are absent (erased)");
  // Copies a single-image update (or a controller without the second image) leaves erased.
  if (absent > 0) c.out().Line(std::to_string(absent) + " of " + total + " copies absent (erased), none damaged");
  return kExitOk;
}

int UpdateFwCommand(Context& c) {
  const std::string path = c.arguments[0];
  const std::string product = c.Value("--product");
  if (product.size() > kMaxProduct) return c.Usage("--product: at most 62 characters");
  for (char ch : product)
    if (ch < 0x20 || ch > 0x7E) return c.Usage("--product: plain ASCII characters only");
  std::string file;
  std::string error;
  if (!ReadWholeFile(path, kMaxFirmwareFile, &file, &error)) return c.Usage(error);
  if (file.empty()) return c.Usage(path + ": the file is empty");
  c.out().Json().Add("file", path);
  if (!product.empty()) c.out().Json().Add("product", product);
  int result = 0;
  {
    ProgressLine progress("update-fw", c.progress);
    result = UpdateFw(c.device.c_str(), file.c_str(), static_cast<std::uint32_t>(file.size()),
                      product.empty() ? nullptr : product.c_str());
  }
  if (result != 1)
    return c.ExportFailed("UpdateFw failed: the file was refused, the bridge is unsuitable, or a copy did not verify");
  c.out().Line("firmware from " + path + " written and verified");
  return kExitOk;
}

const Command kCommands[] = {
    {"check-fw", "", "check the four firmware copies and show their versions",
     "Prints the library's report, one line per copy (on SPI flash, or on each memory card). A copy\n"
     "the library calls an error whose area starts with 4 KiB of blank bytes holds no image: it is\n"
     "shown as absent (erased), not damaged;\n"
     "a single-image update leaves the Apple copies so.\n"
     "Exit status 1 when the report is empty, any copy is damaged, or no copy is OK.",
     {}, 0, 0, Command::Target::Device, CheckFwCommand, "CheckFw"},
    {"update-fw", "FILE", "write a firmware file to every copy and verify it",
     "FILE holds the PC image and optionally the Apple image as hexadecimal byte values, each\n"
     "followed by a blank; line breaks are ignored. The update erases and rewrites the flash (or the\n"
     "card blocks) and reads every copy back.",
     {{"--product", "TEXT", "product string to put into the images (ASCII, at most 62 characters)"}}, 1, 1,
     Command::Target::Device, UpdateFwCommand, "UpdateFw"},
};

const FamilyRegistration kFirmware{{"firmware", "Firmware", kCommands, std::size(kCommands), 30}};

}  // namespace
}  // namespace quillon::tool
