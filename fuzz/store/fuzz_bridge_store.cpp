// Fuzz target for the files of a virtual bridge kept in a folder, as a user may edit them by hand: the
// input is split at "@@\n" into bridge.ini, memory.hex and flash.bin. The flash file is padded (or cut)
// to the size of the part bridge.ini names, so that a flash of the wrong size does not stop every input
// before the rest is read. A folder that loads is then used as a run of the tool would: the library
// asks the bridge for its size, passwords and firmware copies, and the state is saved back and loaded
// again. Loading must refuse what it cannot read, never crash, and saving must write what loads.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "quillon_password.h"
#include "quillon_region.h"
#include "testing/virtual_bridge/flash_parts.h"
#include "virtual_bridge_store.h"

namespace fs = std::filesystem;
using namespace quillon::testing;

namespace {

// One folder per process, removed at exit (the text is never freed, so the exit handler can use it).
const std::string& Folder() {
  static const std::string* folder = [] {
    std::string pattern = (fs::temp_directory_path() / "fuzz-bridge-store-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    auto* made = new std::string(pattern);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(Folder(), ec);
    });
    return made;
  }();
  return *folder;
}

void Write(const fs::path& file, std::string_view content) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// The value of "key = value" in ini text, or "".
std::string IniValue(std::string_view ini, std::string_view key) {
  std::size_t at = 0;
  while (at < ini.size()) {
    std::size_t end = ini.find('\n', at);
    if (end == std::string_view::npos) end = ini.size();
    std::string_view line = ini.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > key.size() + 3 && line.substr(0, key.size()) == key && line.substr(key.size(), 3) == " = ")
      return std::string(line.substr(key.size() + 3));
    at = end + 1;
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view parts[3];
  std::string_view rest = input;
  for (int i = 0; i < 3; ++i) {
    const std::size_t cut = i < 2 ? rest.find("@@\n") : std::string_view::npos;
    parts[i] = rest.substr(0, cut);
    if (cut == std::string_view::npos) break;
    rest.remove_prefix(cut + 3);
  }

  const fs::path root(Folder());
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(root, ec)) fs::remove_all(entry.path(), ec);
  Write(root / BridgeStore::kStateFile, parts[0]);
  Write(root / "memory.hex", parts[1]);
  std::string flash(parts[2]);
  const FlashPart part = FlashPartFromCatalogue(IniValue(parts[0], "flash.part"));
  if (!part.name.empty() && !flash.empty()) {
    const std::size_t want = part.size;
    const std::string pattern = flash;
    while (flash.size() < want) flash += pattern;
    flash.resize(want);
  }
  Write(root / "flash.bin", flash);

  {
    VirtualBridge bridge;
    BridgeStore store;
    std::string error;
    if (!store.Load(root.string(), bridge, &error)) return 0;
    const char* path = "\\\\.\\PhysicalDrive1";
    GetWholeDiskSize(path);
    HasPassword(path);
    IsPublicRegion("\\\\.\\PhysicalDrive2");
    unsigned char encrypted = 0;
    GetEncryptState(path, &encrypted);
    if (!store.Save(&error)) return 0;
  }
  // What was saved loads again.
  VirtualBridge bridge;
  BridgeStore store;
  std::string error;
  if (!store.Load(root.string(), bridge, &error)) {
    std::fprintf(stderr, "saved state does not load: %s\n", error.c_str());
    std::abort();
  }
  return 0;
}
