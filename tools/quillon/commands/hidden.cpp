// The hidden partition and the custom data areas.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "args.h"
#include "cli.h"
#include "quillon_hidden.h"

namespace quillon::tool {
namespace {

constexpr std::uint32_t kSector = 512;
// One run moves at most this many sectors (64 MiB), so the buffer stays reasonable.
constexpr std::uint64_t kMaxSectorsPerRun = 131072;
constexpr std::size_t kCustomMax = 1024;
constexpr std::size_t kFirmwareFormMax = 512;

// 16 bytes a line, with the offset.
void DumpLines(Output& out, const std::vector<std::uint8_t>& bytes, std::uint64_t base) {
  for (std::size_t offset = 0; offset < bytes.size(); offset += 16) {
    char line[96];
    int n = std::snprintf(line, sizeof(line), "%08llx ", static_cast<unsigned long long>(base + offset));
    for (std::size_t i = offset; i < offset + 16 && i < bytes.size(); ++i)
      n += std::snprintf(line + n, sizeof(line) - static_cast<std::size_t>(n), " %02x", bytes[i]);
    out.Line(line);
  }
}

std::string HexText(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char cell[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(cell, sizeof(cell), "%02x", b);
    text += cell;
  }
  return text;
}

// Opens the output file before the device is asked anything, so a path that cannot be written is
// refused first.
bool OpenOutput(Context& c, std::ofstream* out, int* status) {
  if (!c.Has("--output")) return true;
  out->open(c.Value("--output"), std::ios::binary | std::ios::trunc);
  if (!*out) {
    *status = c.Usage(c.Value("--output") + ": cannot be written");
    return false;
  }
  return true;
}

// Writes the bytes to --output, or shows them.
int Deliver(Context& c, std::ofstream& file, const std::vector<std::uint8_t>& bytes, std::uint64_t base,
            const std::string& what) {
  auto& json = c.out().Json();
  if (c.Has("--output")) {
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) return c.Failed("cannot write " + c.Value("--output"));
    c.out().Line("read " + std::to_string(bytes.size()) + " bytes of " + what + " into " + c.Value("--output"));
    json.Add("output", c.Value("--output"));
    return kExitOk;
  }
  json.Add("data", HexText(bytes));
  DumpLines(c.out(), bytes, base);
  return kExitOk;
}

bool Number(Context& c, const std::string& text, const char* what, std::uint64_t max, std::uint64_t* value,
            int* status) {
  std::string error;
  if (!ParseUnsigned(text, max, value, &error)) {
    *status = c.Usage(std::string(what) + ": " + error);
    return false;
  }
  return true;
}

int HiddenCount(Context& c) {
  const int n = GetHiddenSectorCount(c.device.c_str());
  if (n == -1) return c.ExportFailed("GetHiddenSectorCount failed (no valid PC firmware image with the count in the flash)");
  const std::uint64_t sectors = static_cast<std::uint32_t>(n);
  c.out().Line(std::to_string(sectors) + " hidden sectors (" + HumanSize(sectors * kSector) + ")");
  c.out().Json().Add("sectors", sectors).Add("bytes", sectors * kSector);
  return kExitOk;
}

int HiddenRead(Context& c) {
  int status = kExitOk;
  std::uint64_t start = 0, count = 1;
  if (!Number(c, c.arguments[0], "START", UINT32_MAX, &start, &status)) return status;
  if (c.arguments.size() > 1 && !Number(c, c.arguments[1], "COUNT", kMaxSectorsPerRun, &count, &status)) return status;
  std::ofstream file;
  if (!OpenOutput(c, &file, &status)) return status;
  c.out().Json().Add("start", start).Add("count", count);
  std::vector<std::uint8_t> bytes(count * kSector);
  const int result = ReadHiddenSector(c.device.c_str(), static_cast<unsigned>(start), static_cast<unsigned>(count),
                                      bytes.data());
  if (result != 1) return c.ExportFailed("ReadHiddenSector failed");
  return Deliver(c, file, bytes, start * kSector, "the hidden partition");
}

int HiddenWrite(Context& c) {
  int status = kExitOk;
  std::uint64_t start = 0;
  if (!Number(c, c.arguments[0], "START", UINT32_MAX, &start, &status)) return status;
  std::string data, error;
  if (!ReadWholeFile(c.arguments[1], kMaxSectorsPerRun * kSector, &data, &error)) return c.Usage(error);
  if (data.empty() || data.size() % kSector != 0)
    return c.Usage(c.arguments[1] + ": " + std::to_string(data.size()) + " bytes is not a whole number of 512-byte sectors");
  const std::uint64_t count = data.size() / kSector;
  c.out().Json().Add("start", start).Add("count", count);
  const int result = WriteHiddenSector(c.device.c_str(), static_cast<unsigned>(start), static_cast<unsigned>(count),
                                       data.data());
  if (result != 1) return c.ExportFailed("WriteHiddenSector failed");
  c.out().Line("wrote " + std::to_string(count) + (count == 1 ? " sector" : " sectors") + " from hidden sector " +
               std::to_string(start));
  return kExitOk;
}

int HiddenFormat(Context& c) {
  if (FormatHiddenPartition(c.device.c_str()) != 1) return c.ExportFailed("FormatHiddenPartition failed");
  c.out().Line("hidden partition laid out on the cards present");
  return kExitOk;
}

int CustomWrite(Context& c) {
  const bool firmware = c.Has("--firmware");
  if (firmware && c.Has("--8352")) return c.Usage("--firmware and --8352 do not go together");
  const std::size_t max = firmware ? kFirmwareFormMax : kCustomMax;
  std::string data, error;
  if (!ReadWholeFile(c.arguments[0], max, &data, &error))
    return c.Usage(error + (error.find("larger") != std::string::npos ? " (custom data holds " + std::to_string(max) + " bytes)" : ""));
  c.out().Json().Add("bytes", data.size()).Add("form", firmware ? "firmware" : "flash");
  const char* device = c.device.c_str();
  const auto length = static_cast<unsigned>(data.size());
  const char* name = firmware ? "WriteCustomData2" : c.Has("--8352") ? "WriteCustomData8352" : "WriteCustomData";
  const int result = firmware ? WriteCustomData2(device, data.data(), static_cast<int>(length))
                     : c.Has("--8352") ? WriteCustomData8352(device, data.data(), length)
                                       : WriteCustomData(device, data.data(), length);
  if (result != 1) return c.ExportFailed(std::string(name) + " failed");
  c.out().Line("wrote " + std::to_string(data.size()) + " bytes of custom data" +
               (firmware ? " into the flash area and the Apple firmware image" : ""));
  return kExitOk;
}

int CustomRead(Context& c) {
  int status = kExitOk;
  const bool firmware = c.Has("--firmware");
  if (firmware && (c.Has("--8352") || c.Has("--length"))) return c.Usage("--firmware reads all 512 bytes of the records");
  std::uint64_t length = firmware ? kFirmwareFormMax : kCustomMax;
  if (c.Has("--length") && !Number(c, c.Value("--length"), "--length", kCustomMax, &length, &status)) return status;
  std::ofstream file;
  if (!OpenOutput(c, &file, &status)) return status;
  std::vector<std::uint8_t> bytes(length);
  const char* device = c.device.c_str();
  if (firmware) {
    int words[128];
    if (ReadCustomData2(device, words) != 1) return c.ExportFailed("ReadCustomData2 failed (no intact Apple image with custom records)");
    std::memcpy(bytes.data(), words, sizeof(words));
  } else {
    const bool twin = c.Has("--8352");
    const int result = twin ? ReadCustomData8352(device, bytes.data(), static_cast<int>(length))
                            : ReadCustomData(device, bytes.data(), static_cast<int>(length));
    if (result != 1) return c.ExportFailed(twin ? "ReadCustomData8352 failed" : "ReadCustomData failed");
  }
  c.out().Json().Add("bytes", bytes.size()).Add("form", firmware ? "firmware" : "flash");
  return Deliver(c, file, bytes, 0, "custom data");
}

const OptionInfo kOutput = {"--output", "FILE", "write the bytes to FILE instead of showing them"};
const OptionInfo kTwin = {"--8352", nullptr, "through the 8352 command set"};
const OptionInfo kFirmware = {"--firmware", nullptr, "the data records in the Apple firmware image (at most 512 bytes)"};

const Command kCommands[] = {
    {"hidden-count", "", "show the number of hidden sectors", "", {}, 0, 0, Command::Target::Device, HiddenCount,
     "GetHiddenSectorCount"},
    {"hidden-read", "START [COUNT]", "read hidden sectors (COUNT defaults to 1)",
     "START and COUNT are 512-byte sectors of the hidden partition, counted from 0.", {kOutput}, 1, 2,
     Command::Target::Device, HiddenRead, "ReadHiddenSector"},
    {"hidden-write", "START FILE", "write a file into the hidden sectors from START",
     "FILE must be a whole number of 512-byte sectors and lie inside the hidden partition.", {}, 2, 2,
     Command::Target::Device, HiddenWrite, "WriteHiddenSector"},
    {"hidden-format", "", "lay the hidden partition out across the memory cards", "", {}, 0, 0,
     Command::Target::Device, HiddenFormat, "FormatHiddenPartition"},
    {"custom-write", "FILE", "store a file as custom data (at most 1,024 bytes)",
     "The flash area holds 1,024 bytes; what the file does not fill reads as zeros. --firmware also puts\n"
     "the data (at most 512 bytes) into the Apple firmware image as records the firmware reads at start.",
     {kTwin, kFirmware}, 1, 1, Command::Target::Device, CustomWrite,
     "WriteCustomData, WriteCustomData8352, WriteCustomData2"},
    {"custom-read", "", "read the custom data", "",
     {{"--length", "N", "bytes to read (0-1024, default 1024)"}, kOutput, kTwin, kFirmware}, 0, 0,
     Command::Target::Device, CustomRead, "ReadCustomData, ReadCustomData8352, ReadCustomData2"},
};

const FamilyRegistration kHidden{{"hidden", "Hidden partition and custom data", kCommands, std::size(kCommands), 45}};

}  // namespace
}  // namespace quillon::tool
