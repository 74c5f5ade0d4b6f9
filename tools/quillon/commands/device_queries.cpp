// Serial numbers, connection traces, resets and controller queries.

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <vector>

#include "cli.h"
#include "quillon_device.h"

namespace quillon::tool {
namespace {

int Serial(Context& c) {
  const bool old = c.Has("--6623");
  char text[QUILLON_SERIAL_TEXT_SIZE] = {};
  const int ok = old ? Get6623FwSN(c.device.c_str(), text) : GetFwSN(c.device.c_str(), text);
  if (ok != 1) return c.ExportFailed(std::string(old ? "Get6623FwSN" : "GetFwSN") + " failed (no answer, or no valid serial number stored)");
  c.out().Line(text);
  c.out().Json().Add("serial", std::string(text));
  return kExitOk;
}

// The lines of a trace text (records end with CR LF; the last may be open).
std::vector<std::string> TraceLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      lines.push_back(line);
      line.clear();
      ++i;
    } else {
      line.push_back(text[i]);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

struct Area {
  const char* option;
  const char* key;
  const char* title;
  int (*read)(const char*, char*);
  int (*clear)(const char*);
  const char* readName;
  const char* clearName;
};
const Area kAreas[] = {
    {"--pc", "pc", "PC", GetPCTraces, ClearPCTraces, "GetPCTraces", "ClearPCTraces"},
    {"--apple", "apple", "Apple", GetAppleTraces, ClearAppleTraces, "GetAppleTraces", "ClearAppleTraces"},
};

// The areas asked for: --pc, --apple, or both when neither is given.
std::vector<const Area*> Areas(const Context& c) {
  std::vector<const Area*> areas;
  for (const Area& a : kAreas)
    if (c.Has(a.option)) areas.push_back(&a);
  if (areas.empty())
    for (const Area& a : kAreas) areas.push_back(&a);
  return areas;
}

int Traces(Context& c) {
  const std::vector<const Area*> areas = Areas(c);
  for (const Area* a : areas) {
    c.ForgetLibraryReason();
    std::vector<char> text(QUILLON_TRACE_TEXT_SIZE, 0);
    if (a->read(c.device.c_str(), text.data()) != 1) return c.ExportFailed(std::string(a->readName) + " failed");
    const std::string body(text.data());
    const std::vector<std::string> lines = TraceLines(body);
    c.out().Json().Add(a->key, body);
    if (areas.size() > 1) c.out().Line(std::string(a->title) + " traces (" + std::to_string(lines.size()) + "):");
    for (const std::string& line : lines) c.out().Line((areas.size() > 1 ? "  " : "") + line);
  }
  return kExitOk;
}

int ClearTraces(Context& c) {
  for (const Area* a : Areas(c)) {
    c.ForgetLibraryReason();
    if (a->clear(c.device.c_str()) != 1)
      return c.ExportFailed(std::string(a->clearName) + " failed (a flash whose erase sector is not 4 KiB is refused)");
    c.out().Line(std::string(a->title) + " traces cleared");
    c.out().Json().Add(std::string(a->key) + "_cleared", true);
  }
  return kExitOk;
}

int ResetChipCommand(Context& c) {
  ResetChip(c.device.c_str());
  c.out().Line("chip reset requested (the export reports no result)");
  return kExitOk;
}

int ResetUsbCommand(Context& c) {
  if (ResetUSB(c.device.c_str()) != 1) return c.ExportFailed("ResetUSB failed");
  c.out().Line("USB reset accepted; the bridge reconnects and may get a new device path");
  return kExitOk;
}

int FwVersion(Context& c) {
  const int word = GetDeviceFwVersion(c.device.c_str());
  if (word == -1) return c.ExportFailed("GetDeviceFwVersion failed (identification failed)");
  const auto w = static_cast<std::uint32_t>(word);
  char text[64];
  std::snprintf(text, sizeof text, "0x%08x (%u.%u.%u.%u)", w, w >> 24, (w >> 16) & 0xFF, (w >> 8) & 0xFF, w & 0xFF);
  c.out().Line(std::string("controller firmware ") + text);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", w);
  c.out().Json().Add("version", w).Add("word", std::string(hex));
  return kExitOk;
}

int Is6623(Context& c) {
  const bool yes = IsDevice6623(c.device.c_str()) == 1;
  if (!yes && c.DeviceFailed()) return c.ExportFailed("IsDevice6623 failed (identification failed)");
  c.out().Line(yes ? "an older 6623-family controller" : "not a 6623-family controller");
  c.out().Json().Add("is6623", yes);
  return kExitOk;
}

const Command kCommands[] = {
    {"serial", "", "show the firmware serial number",
     "Reads the serial-number string the firmware keeps in controller memory.",
     {{"--6623", nullptr, "read it where older (6623) controllers keep it"}}, 0, 0, Command::Target::Device, Serial,
     "GetFwSN, Get6623FwSN"},
    {"traces", "", "show the connection traces the firmware recorded",
     "One record a line; bytes other than blanks, digits and letters appear as their decimal value.",
     {{"--pc", nullptr, "the PC traces"}, {"--apple", nullptr, "the Apple traces (both when neither is given)"}}, 0, 0,
     Command::Target::Device, Traces, "GetPCTraces, GetAppleTraces"},
    {"clear-traces", "", "erase the connection traces",
     "Erases the three 4 KiB trace sectors of each area; refused on a flash with larger erase sectors.",
     {{"--pc", nullptr, "the PC traces"}, {"--apple", nullptr, "the Apple traces (both when neither is given)"}}, 0, 0,
     Command::Target::Device, ClearTraces, "ClearPCTraces, ClearAppleTraces"},
    {"reset-chip", "", "restart the controller", "", {}, 0, 0, Command::Target::Device, ResetChipCommand, "ResetChip"},
    {"reset-usb", "", "make the controller reconnect to USB", "", {}, 0, 0, Command::Target::Device, ResetUsbCommand,
     "ResetUSB"},
    {"fw-version", "", "show the controller's firmware version word", "", {}, 0, 0, Command::Target::Device, FwVersion,
     "GetDeviceFwVersion"},
    {"is-6623", "", "tell whether the controller is of the older 6623 family", "", {}, 0, 0, Command::Target::Device,
     Is6623, "IsDevice6623"},
};

const FamilyRegistration kDeviceQueries{
    {"device", "Serial numbers, traces and controller", kCommands, std::size(kCommands), 70}};

}  // namespace
}  // namespace quillon::tool
