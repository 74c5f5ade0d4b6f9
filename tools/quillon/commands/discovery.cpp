// Finding bridges and asking a bridge what it is.

#include <cstdio>
#include <iterator>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/flash.h"
#include "args.h"
#include "cli.h"
#include "quillon_discovery.h"

namespace quillon::tool {
namespace {

int List(Context& c) {
  std::vector<std::string> devices;
  char path[kMaxDevicePath + 1] = {};
  for (int handle = FindFirstDevice(path); handle != 0; handle = FindNextDevice(path, handle)) {
    devices.push_back(path);
    // Each handle points past the device it found, so a pass ends; the bound guards a broken backend.
    if (devices.size() > 0x7FFF) break;
  }
  std::vector<std::string> items;
  for (const std::string& d : devices) {
    c.out().Line(d);
    items.push_back(JsonString(d));
  }
  if (devices.empty()) c.out().Line("no bridge found");
  c.out().Json().Raw("devices", JsonArray(items));
  return kExitOk;
}

const char* KindName(ChipKind kind) {
  switch (kind) {
    case ChipKind::Kind6623: return "6623";
    case ChipKind::KindFcc: return "FCC";
    case ChipKind::None: break;
  }
  return "none";
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08x", value);
  return text;
}

int Identify(Context& c) {
  BridgeDevice device;
  if (OpenBridgeDevice(&device, c.device.c_str()) == 0) return c.Usage("device path not accepted: " + c.device);
  IdentifyInfo info{};
  if (IdentifyBridge(device, &info) == 0) return c.Failed(c.device + ": the controller did not identify itself");
  const std::uint32_t version = info.word2;
  char versionText[32];
  std::snprintf(versionText, sizeof(versionText), "%u.%u.%u.%u", version >> 24, (version >> 16) & 0xFF,
                (version >> 8) & 0xFF, version & 0xFF);
  auto& json = c.out().Json();
  c.out().Line("device:        " + c.device);
  c.out().Line(std::string("controller:    ") + info.chipName + " (kind " + KindName(device.chipKind) + ", reply format " +
               (info.formatB ? "B" : "F") + ")");
  c.out().Line("word 1:        " + Hex32(info.word1));
  c.out().Line("word 2:        " + Hex32(info.word2) + " (firmware " + versionText + ")");
  c.out().Line(std::string("second image:  ") + (device.secondImageSupport ? "supported" : "not supported"));
  json.Add("chip", info.chipName).Add("kind", KindName(device.chipKind)).Add("format", info.formatB ? "B" : "F");
  json.Add("word1", info.word1).Add("word2", info.word2).Add("firmware", versionText);
  json.Add("second_image", device.secondImageSupport != 0);

  const bool flash = CmdFlashPresent(device) == 1;
  json.Add("flash_present", flash);
  if (!flash) {
    c.out().Line("flash:         none (firmware on the memory cards)");
    return kExitOk;
  }
  if (IdentifyFlash(device) == 0) {
    c.out().Line("flash:         present, identification failed");
    return c.Failed("the flash part did not answer its identification reads");
  }
  char ids[64];
  std::snprintf(ids, sizeof(ids), "JEDEC %06x, REMS %04x", device.jedecId & 0xFFFFFF, device.remsId & 0xFFFF);
  const std::string name = device.flashName[0] ? device.flashName : "unknown part";
  c.out().Line("flash:         " + name + " (" + ids + ")");
  c.out().Line("flash pages:   " + std::to_string(device.pageSize) + " bytes, sectors " + std::to_string(device.sectorSize) +
               " bytes");
  json.Add("flash_part", device.flashName).Add("jedec_id", device.jedecId & 0xFFFFFF).Add("rems_id", device.remsId & 0xFFFF);
  json.Add("page_size", device.pageSize).Add("sector_size", device.sectorSize);
  return kExitOk;
}

const Command kCommands[] = {
    {"list", "", "list the bridges attached (one device path a line)",
     "Walks the disk interfaces and lists every bridge whose controller identifies as FCC* or BC1.", {}, 0, 0,
     Command::Target::None, List, "FindFirstDevice, FindNextDevice"},
    {"identify", "", "show the controller, its firmware word and the SPI flash part",
     "Sends the identify command, decodes the reply and, when the controller has an SPI flash,\n"
     "identifies the part against the compiled-in flash catalogues.",
     {}, 0, 0, Command::Target::Device, Identify, ""},
};

const FamilyRegistration kDiscovery{{"discovery", "Discovery", kCommands, std::size(kCommands), 10}};

}  // namespace
}  // namespace quillon::tool
