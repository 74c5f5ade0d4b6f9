// Firmware check and update.

#include <cstring>
#include <iterator>
#include <vector>

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
  std::vector<std::string> items;
  int bad = 0;
  for (const CopyLine& copy : copies) {
    c.out().Line(copy.text);
    JsonObject item;
    item.Add("image", copy.image).Add("copy", copy.copy);
    if (copy.card >= 0) item.Add("card", copy.card);
    item.Add("ok", copy.ok);
    if (copy.ok) item.Add("version", copy.version);
    items.push_back(item.Text());
    bad += copy.ok ? 0 : 1;
  }
  c.out().Json().Raw("copies", JsonArray(items));
  if (copies.empty()) return c.Failed("no report: the bridge could not be reached or has neither flash nor cards");
  if (bad > 0) return c.Failed(std::to_string(bad) + " of " + std::to_string(copies.size()) + " firmware copies are damaged");
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
     "Prints the library's report, one line per copy (on SPI flash, or on each memory card).\n"
     "Exit status 1 when the report is empty or any copy is damaged.",
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
