// Loading and saving the emulated controller of a virtual bridge in a folder.

#include "virtual_bridge_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <system_error>
#include <vector>

#include "firmware_image_builder.h"
#include "sparse_file.h"
#include "testing/virtual_bridge/device_modules.h"
#include "testing/virtual_bridge/flash_parts.h"
#include "testing/virtual_bridge/secure_storage.h"

namespace quillon::testing {
namespace fs = std::filesystem;

namespace {

constexpr int kFormatVersion = 1;
constexpr std::uint32_t kRowBytes = 32;
// Controller memory the library reads and writes lives in this window; it is saved whatever the log says.
constexpr std::uint32_t kMemoryWindowStart = 0x30000;
constexpr std::uint32_t kMemoryWindowEnd = 0x31000;
constexpr std::uint32_t kFlagWordAddress = 0x307E8;
constexpr std::uint32_t kSerialAddress = 0x30664;
constexpr std::uint32_t kOldSerialAddress = 0x30164;
constexpr std::uint32_t kReservedAddress = 0x30820;
constexpr std::uint64_t kReservedSectors = 4;  // 4 x (the word at kReservedAddress = 0) + 4
constexpr std::size_t kLoadChunk = 1 << 20;
// Disk sizes change with the cipher-size command while blocks past the end stay stored; loading and
// saving reach every block by widening a disk to this for the moment.
constexpr std::uint64_t kWidestDisk = std::uint64_t{1} << 32;

// Widens a disk for the life of the object.
class Widened {
 public:
  explicit Widened(SparseDisk& disk) : disk_(disk), count_(disk.BlockCount()) {
    disk_.SetBlockCount(std::max(count_, kWidestDisk));
  }
  ~Widened() { disk_.SetBlockCount(count_); }
  Widened(const Widened&) = delete;
  Widened& operator=(const Widened&) = delete;

 private:
  SparseDisk& disk_;
  std::uint64_t count_;
};

using Ini = std::map<std::string, std::string>;

std::string Hex(const std::uint8_t* data, std::size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    text.push_back(digits[data[i] >> 4]);
    text.push_back(digits[data[i] & 15]);
  }
  return text;
}

bool ParseHex(const std::string& text, std::uint8_t* out, std::size_t length) {
  if (text.size() != 2 * length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    unsigned value = 0;
    for (int k = 0; k < 2; ++k) {
      const char c = text[2 * i + k];
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    out[i] = static_cast<std::uint8_t>(value);
  }
  return true;
}

bool ParseU64(const std::string& text, std::uint64_t* out) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *out = value;
  return true;
}

bool ParseInt(const std::string& text, std::int64_t* out) {
  std::uint64_t magnitude = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!ParseU64(negative ? text.substr(1) : text, &magnitude) || magnitude > (std::uint64_t{1} << 62)) return false;
  *out = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

bool IsZero(const std::uint8_t* data, std::size_t length) {
  return std::all_of(data, data + length, [](std::uint8_t b) { return b == 0; });
}

std::uint32_t Be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t Be24(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | Be16(p + 1); }
std::uint32_t Be32(const std::uint8_t* p) { return (Be16(p) << 16) | Be16(p + 2); }

// Writes a whole file through a temporary name, so a failed write leaves the old file in place.
bool WriteFileAtomically(const fs::path& file, const std::string& content, std::string* error) {
  const fs::path temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
      *error = "cannot write " + temporary.string();
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temporary, file, ec);
  if (ec) {
    *error = "cannot replace " + file.string() + ": " + ec.message();
    return false;
  }
  return true;
}

bool ReadIni(const fs::path& file, Ini* ini, std::string* error) {
  std::ifstream in(file);
  if (!in) {
    *error = "cannot read " + file.string();
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find(" = ");
    if (eq == std::string::npos) {
      *error = file.string() + ":" + std::to_string(number) + ": expected 'key = value'";
      return false;
    }
    (*ini)[line.substr(0, eq)] = line.substr(eq + 3);
  }
  return true;
}

// The USB string descriptor form the firmware keeps its serial number in.
void WriteSerialString(SparseMemory& memory, std::uint32_t address, const std::string& text) {
  std::vector<std::uint8_t> descriptor(2 + 2 * text.size(), 0);
  descriptor[0] = static_cast<std::uint8_t>(descriptor.size());
  descriptor[1] = 3;
  for (std::size_t i = 0; i < text.size(); ++i) descriptor[2 + 2 * i] = static_cast<std::uint8_t>(text[i]);
  memory.Write(address, descriptor.data(), descriptor.size());
}

const char* const kChips[] = {"FCC1", "FCC2", "BC1", "6623"};

}  // namespace

bool ValidateStoreOptions(const StoreOptions& options, std::string* error) {
  if (std::find(std::begin(kChips), std::end(kChips), options.chip) == std::end(kChips)) {
    *error = "unknown controller '" + options.chip + "' (FCC1, FCC2, BC1 or 6623)";
    return false;
  }
  if (options.flashPart != "none" && FlashPartFromCatalogue(options.flashPart).name.empty()) {
    *error = "unknown flash part '" + options.flashPart + "' (a name from the flash catalogue, or none)";
    return false;
  }
  // The region table carries the last block as 32 bits, and the formatters need a few MiB.
  if (options.diskSectors < 8192 || options.diskSectors + kReservedSectors > (std::uint64_t{1} << 32)) {
    *error = "disk size must be between 8,192 sectors (4 MiB) and 4,294,967,292 sectors (2 TiB less 2 KiB)";
    return false;
  }
  if (options.cards < 0 || options.cards > 4) {
    *error = "the controller has 4 card slots";
    return false;
  }
  return true;
}

bool BridgeStore::Exists(const std::string& dir) {
  std::error_code ec;
  return fs::is_regular_file(fs::path(dir) / kStateFile, ec);
}

bool BridgeStore::Create(const std::string& dir, const StoreOptions& options, std::string* error) {
  if (!ValidateStoreOptions(options, error)) return false;
  std::error_code ec;
  const fs::path root(dir);
  if (fs::exists(root, ec) && !fs::is_directory(root, ec)) {
    *error = dir + " exists and is not a folder";
    return false;
  }
  fs::create_directories(root, ec);
  if (!fs::is_directory(root, ec)) {
    *error = "cannot create " + dir + (ec ? ": " + ec.message() : std::string());
    return false;
  }
  // The folder's lock is taken before the folder is judged new, so of two runs creating a bridge in
  // one folder at once, one creates it and the other is refused; the lock goes when this store does.
  BridgeStore store;
  const fs::path lock = root / kLockFolder;
  if (!fs::create_directory(lock, ec)) {
    *error = dir + " is in use by another run" + (ec ? ": " + ec.message() : " (if none is running, remove " + lock.string() + ")");
    return false;
  }
  store.lock_ = lock.string();
  if (Exists(dir)) {
    *error = dir + " already holds a virtual bridge";
    return false;
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(root, ec)) {
    if (entry.path().filename() != kLockFolder) {
      *error = dir + " is not empty";
      return false;
    }
  }

  auto controller = std::make_shared<VirtualController>();
  controller->SetIdentifyB(options.chip, 0, options.firmwareWord);
  const bool hasFlash = options.flashPart != "none";
  if (hasFlash) {
    controller->flash.Load(FlashPartFromCatalogue(options.flashPart));
  } else {
    controller->flash.present = false;
    controller->flash.part = FlashPart();
    controller->flash.cells.clear();
  }
  controller->regions.clear();
  RegionEntry region;
  region.type = 1;
  region.lastBlock = static_cast<std::uint32_t>(options.diskSectors + kReservedSectors - 1);
  region.blockLength = 512;
  controller->regions.push_back(region);
  controller->memory.WriteBe32(kReservedAddress, 0);
  // Firmware on the cards when there is no flash (bit 7 of the flag word's first byte).
  const std::uint8_t flags[4] = {static_cast<std::uint8_t>(hasFlash ? 0x00 : 0x80), 0, 0, 0};
  controller->memory.Write(kFlagWordAddress, flags, sizeof(flags));
  WriteSerialString(controller->memory, kSerialAddress, "VB0000000001");
  WriteSerialString(controller->memory, kOldSerialAddress, "VB0000000001");
  for (int i = 0; i < options.cards; ++i) {
    CardSlot& card = controller->cards[static_cast<std::size_t>(i)];
    card.present = true;
    // A card serial as the controller reports it: six bytes, then a check byte and zeros.
    const std::uint8_t serial[7] = {0x1B, 0x53, 0x4D, 0x00, 0x10, static_cast<std::uint8_t>(0x40 + i), 0x5A};
    std::copy(std::begin(serial), std::end(serial), card.serial.begin());
  }
  if (hasFlash) {
    // The connection traces the firmware has recorded so far.
    WriteTraceRecords(controller->flash, 0x1E000, SampleTraceRecords("PC"));
    WriteTraceRecords(controller->flash, 0x3E000, SampleTraceRecords("MAC"));
  }

  store.dir_ = dir;
  store.controller_ = controller;
  store.diskSectors_ = options.diskSectors;
  store.flashPartName_ = hasFlash ? options.flashPart : "none";
  for (std::uint32_t row = kMemoryWindowStart / kRowBytes; row < kMemoryWindowEnd / kRowBytes; ++row)
    store.memoryRows_.insert(row);
  store.disks_["public"] = {&controller->publicDisk, "public", true, {}};
  store.disks_["cipher"] = {&controller->cipherDisk, "cipher", true, {}};
  if (!store.Save(error)) return false;

  // A firmware file that fits this controller, to try the firmware commands with.
  fwbuild::ImageRecipe pc = fwbuild::PcRecipe();
  if (!hasFlash) pc.optionBits |= 0x80;
  pc.extraRecords = fwbuild::HiddenCountRecords(options.hiddenSectors);
  const auto pcImage = fwbuild::BuildImage(pc).bytes;
  const auto appleImage = fwbuild::BuildImage(fwbuild::AppleRecipe()).bytes;
  return WriteFileAtomically(root / kSampleFirmware, fwbuild::FirmwareFile(pcImage, &appleImage, 32), error);
}

bool BridgeStore::Load(const std::string& dir, VirtualBridge& bridge, std::string* error) {
  const fs::path root(dir);
  if (!Exists(dir)) {
    *error = dir + " holds no virtual bridge (create one with init)";
    return false;
  }
  std::error_code ec;
  const fs::path lock = root / kLockFolder;
  if (!fs::create_directory(lock, ec)) {
    *error = dir + " is in use by another run" + (ec ? ": " + ec.message() : " (if none is running, remove " + lock.string() + ")");
    return false;
  }
  lock_ = lock.string();
  if (!LoadState(root, bridge, error)) {
    fs::remove(lock, ec);
    lock_.clear();
    return false;
  }
  return true;
}

BridgeStore::~BridgeStore() {
  std::error_code ec;
  if (!lock_.empty()) fs::remove(lock_, ec);
}

bool BridgeStore::LoadState(const fs::path& root, VirtualBridge& bridge, std::string* error) {
  const std::string dir = root.string();
  Ini ini;
  if (!ReadIni(root / kStateFile, &ini, error)) return false;
  auto bad = [&](const std::string& key) {
    *error = (root / kStateFile).string() + ": bad or missing '" + key + "'";
    return false;
  };
  auto number = [&](const std::string& key, std::int64_t* out) {
    auto it = ini.find(key);
    return it != ini.end() && ParseInt(it->second, out);
  };
  std::int64_t value = 0;
  if (!number("version", &value) || value != kFormatVersion) return bad("version");

  auto controller = std::make_shared<VirtualController>();
  VirtualController& c = *controller;
  if (!ParseHex(ini["identify"], c.identifyReply.data(), c.identifyReply.size())) return bad("identify");

  flashPartName_ = ini["flash.part"];
  if (flashPartName_ == "none") {
    c.flash.present = false;
    c.flash.part = FlashPart();
    c.flash.cells.clear();
  } else {
    const FlashPart part = FlashPartFromCatalogue(flashPartName_);
    if (part.name.empty()) return bad("flash.part");
    c.flash.Load(part);
    std::ifstream in(root / "flash.bin", std::ios::binary);
    in.read(reinterpret_cast<char*>(c.flash.cells.data()), static_cast<std::streamsize>(c.flash.cells.size()));
    if (!in || in.peek() != std::char_traits<char>::eof()) {
      *error = (root / "flash.bin").string() + " is missing or not the size of a " + flashPartName_;
      return false;
    }
    if (number("flash.present", &value)) c.flash.present = value != 0;
  }

  std::uint64_t sectors = 0;
  if (!ParseU64(ini["disk.sectors"], &sectors)) return bad("disk.sectors");
  diskSectors_ = sectors;

  c.regions.clear();
  for (int i = 0; i < 4; ++i) {
    auto it = ini.find("region." + std::to_string(i));
    if (it == ini.end()) continue;
    std::istringstream fields(it->second);
    unsigned type = 0, flags = 0;
    std::uint64_t last = 0, length = 0;
    if (!(fields >> type >> flags >> last >> length) || type > 255 || flags > 255 || last > UINT32_MAX ||
        length > UINT32_MAX)
      return bad(it->first);
    c.regions.push_back({static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(flags),
                         static_cast<std::uint32_t>(last), static_cast<std::uint32_t>(length)});
  }

  for (std::size_t i = 0; i < c.cards.size(); ++i) {
    auto it = ini.find("card." + std::to_string(i));
    if (it == ini.end()) continue;
    std::istringstream fields(it->second);
    unsigned presentByte = 0, initByte = 0;
    std::string serial;
    if (!(fields >> presentByte >> initByte >> serial) || presentByte > 255 || initByte > 255 ||
        !ParseHex(serial, c.cards[i].serial.data(), c.cards[i].serial.size()))
      return bad(it->first);
    c.cards[i].present = true;
    c.cards[i].presentByte = static_cast<std::uint8_t>(presentByte);
    c.cards[i].initByte = static_cast<std::uint8_t>(initByte);
  }

  for (int i = 0;; ++i) {
    auto it = ini.find("password." + std::to_string(i));
    if (it == ini.end()) break;
    std::istringstream fields(it->second);
    unsigned selector = 0;
    std::string block;
    PasswordEntry entry;
    if (!(fields >> selector >> block) || selector > 255 || !ParseHex(block, entry.block.data(), entry.block.size()))
      return bad(it->first);
    entry.selector = static_cast<std::uint8_t>(selector);
    c.passwords.entries.push_back(entry);
  }

  struct Field {
    const char* key;
    std::int64_t min, max;
    std::function<void(std::int64_t)> set;
  };
  const Field fields[] = {
      {"password.unlocked", 0, 1, [&](std::int64_t v) { c.passwords.unlocked = v != 0; }},
      {"password.verify_attempts", 0, INT32_MAX, [&](std::int64_t v) { c.passwords.verifyAttempts = static_cast<int>(v); }},
      {"password.supports_old", 0, 1, [&](std::int64_t v) { c.passwords.supportsOld = v != 0; }},
      {"cipher.size", 0, UINT32_MAX, [&](std::int64_t v) { c.cipherSize = static_cast<std::uint32_t>(v); }},
      {"cipher.full", 0, 1, [&](std::int64_t v) { c.cipherFull = v != 0; }},
      {"encrypt_state", 0, 255, [&](std::int64_t v) { c.encryptStateByte = static_cast<std::uint8_t>(v); }},
      {"sd.status", 0, 255, [&](std::int64_t v) { c.sdStatus = static_cast<std::uint8_t>(v); }},
      {"finger.pressed", 0, 255, [&](std::int64_t v) { c.finger.pressedByte = static_cast<std::uint8_t>(v); }},
      {"finger.mode", -1, 255, [&](std::int64_t v) { c.finger.mode = static_cast<int>(v); }},
      {"finger.mode_value", 0, 255, [&](std::int64_t v) { c.finger.modeValue = static_cast<int>(v); }},
      {"finger.power", -1, 255, [&](std::int64_t v) { c.finger.power = static_cast<int>(v); }},
      {"reset.chip", 0, INT32_MAX, [&](std::int64_t v) { c.resetChipCount = static_cast<int>(v); }},
      {"reset.usb", 0, INT32_MAX, [&](std::int64_t v) { c.resetUsbCount = static_cast<int>(v); }},
  };
  for (const Field& f : fields) {
    if (!number(f.key, &value) || value < f.min || value > f.max) return bad(f.key);
    f.set(value);
  }
  // The fingerprint module and SD lock (absent from folders made before they existed).
  DeviceModuleState& modules = c.State<DeviceModuleState>();
  if (ini.count("finger.placed")) {
    if (!number("finger.placed", &value) || value < 0 || value > 255) return bad("finger.placed");
    modules.placedFinger = static_cast<std::uint8_t>(value);
  }
  if (ini.count("sd.password")) {
    const std::string& hex = ini["sd.password"];
    std::vector<std::uint8_t> bytes(hex.size() / 2);
    if (hex.size() % 2 != 0 || bytes.size() > 255 || !ParseHex(hex, bytes.data(), bytes.size())) return bad("sd.password");
    modules.sdPassword.assign(bytes.begin(), bytes.end());
  }
  // A disk keeps the size the last cipher-size command gave it (the public disk reaches block 2^32
  // before any).
  std::uint64_t publicBlocks = c.publicDisk.BlockCount();
  std::uint64_t cipherBlocks = c.cipherSize;
  if (ini.count("disk.public_blocks") && (!ParseU64(ini["disk.public_blocks"], &publicBlocks) || publicBlocks > kWidestDisk))
    return bad("disk.public_blocks");
  if (ini.count("disk.cipher_blocks") && (!ParseU64(ini["disk.cipher_blocks"], &cipherBlocks) || cipherBlocks > kWidestDisk))
    return bad("disk.cipher_blocks");
  c.publicDisk.SetBlockCount(publicBlocks);
  c.cipherDisk.SetBlockCount(cipherBlocks);

  // Controller memory: "address: hex" rows of 32 bytes.
  memoryRows_.clear();
  for (std::uint32_t row = kMemoryWindowStart / kRowBytes; row < kMemoryWindowEnd / kRowBytes; ++row)
    memoryRows_.insert(row);
  {
    std::ifstream in(root / "memory.hex");
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || line[0] == '#') continue;
      std::uint8_t address[4];
      std::uint8_t row[kRowBytes];
      if (line.size() != 8 + 2 + 2 * kRowBytes || line.compare(8, 2, ": ") != 0 ||
          !ParseHex(line.substr(0, 8), address, 4) || !ParseHex(line.substr(10), row, kRowBytes) ||
          Be32(address) % kRowBytes != 0) {
        *error = (root / "memory.hex").string() + ": bad row '" + line + "'";
        return false;
      }
      c.memory.Write(Be32(address), row, kRowBytes);
      memoryRows_.insert(Be32(address) / kRowBytes);
    }
  }

  dir_ = dir;
  controller_ = controller;
  disks_.clear();
  disks_["public"] = {&c.publicDisk, "public", true, {}};
  disks_["cipher"] = {&c.cipherDisk, "cipher", true, {}};
  disks_["iso"] = {&c.isoRegion, "iso", false, {}};
  for (std::size_t i = 0; i < c.cards.size(); ++i)
    if (c.cards[i].present) disks_["card" + std::to_string(i)] = {&c.cards[i].blocks, "card" + std::to_string(i), false, {}};
  for (auto& entry : disks_)
    if (!LoadDisk(entry.second, error)) return false;

  bridge_ = &bridge;
  InstallSecureStorageHandlers(bridge);
  InstallDeviceModules(bridge);
  bridge.AttachDisk(kPublicDiskNumber, controller, DiskRole::Public);
  bridge.AttachDisk(kCipherDiskNumber, controller, DiskRole::Cipher);
  bridge.AddVolume(kPublicDiskNumber, 'E');
  bridge.AddVolume(kCipherDiskNumber, 'F');
  bridge.SetLogDataLimit(0);
  logConsumed_ = bridge.Log().size();
  return true;
}

bool BridgeStore::LoadDisk(DiskFile& d, std::string* error) {
  Widened widened(*d.disk);
  const fs::path image = fs::path(dir_) / (d.name + ".img");
  std::error_code ec;
  if (fs::exists(image, ec)) {
    std::ifstream in(image, std::ios::binary);
    std::vector<std::uint8_t> chunk(kLoadChunk);
    const bool ok = store::ForEachDataExtent(image.string(), [&](std::uint64_t offset, std::uint64_t length) {
      // Extents start and end on file-system blocks, which are whole 512-byte blocks of the image.
      std::uint64_t position = offset - offset % kBlockSize;
      const std::uint64_t end = offset + length;
      in.clear();
      in.seekg(static_cast<std::streamoff>(position));
      while (position < end) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kLoadChunk, end - position));
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(want));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        if (got % kBlockSize != 0) std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(got),
                                             chunk.begin() + static_cast<std::ptrdiff_t>(got + kBlockSize - got % kBlockSize), 0);
        for (std::size_t b = 0; b < got; b += kBlockSize) {
          if (IsZero(chunk.data() + b, kBlockSize)) continue;
          const std::uint64_t block = (position + b) / kBlockSize;
          d.disk->Write(block, chunk.data() + b);
          d.candidates.insert(block);
        }
        position += got;
        if (got < want) break;
      }
      return true;
    });
    if (!ok) {
      *error = "cannot read " + image.string();
      return false;
    }
  }
  const fs::path beyond = fs::path(dir_) / (d.name + ".beyond");
  if (fs::exists(beyond, ec)) {
    std::ifstream in(beyond, std::ios::binary);
    std::uint8_t record[8 + kBlockSize];
    while (in.read(reinterpret_cast<char*>(record), sizeof(record))) {
      std::uint64_t block = 0;
      for (int i = 7; i >= 0; --i) block = (block << 8) | record[i];
      d.disk->Write(block, record + 8);
      d.candidates.insert(block);
    }
    if (in.gcount() != 0) {
      *error = beyond.string() + " ends in the middle of a block";
      return false;
    }
  }
  return true;
}

void BridgeStore::CollectWrites() {
  if (bridge_ == nullptr) return;
  const auto& log = bridge_->Log();
  const auto& vendor = controller_->vendorOpcodes;
  auto mark = [&](const std::string& disk, std::uint64_t first, std::uint64_t count) {
    auto it = disks_.find(disk);
    if (it == disks_.end()) return;
    for (std::uint64_t i = 0; i < count; ++i) it->second.candidates.insert(first + i);
  };
  for (std::size_t i = logConsumed_; i < log.size(); ++i) {
    const CdbRecord& r = log[i];
    const std::uint8_t* cdb = r.cdb.data();
    if (r.cdbLength == 10 && cdb[0] == 0x2A) {
      const VirtualDevice* device = bridge_->Device(r.path);
      if (device == nullptr || device->controller != controller_) continue;
      const char* disk = device->role == DiskRole::Public ? "public" : device->role == DiskRole::Cipher ? "cipher" : "iso";
      mark(disk, Be32(cdb + 2), std::min<std::uint32_t>(Be16(cdb + 7), r.transferLength / kBlockSize));
    } else if (r.cdbLength == 16 && std::find(vendor.begin(), vendor.end(), cdb[0]) != vendor.end()) {
      switch (cdb[1]) {
        case 0x20: {  // controller memory write
          const std::uint32_t address = Be32(cdb + 4);
          const std::uint32_t length = std::min<std::uint32_t>(Be16(cdb + 2), r.transferLength);
          for (std::uint64_t a = address - address % kRowBytes; a < std::uint64_t{address} + length; a += kRowBytes)
            memoryRows_.insert(static_cast<std::uint32_t>(a / kRowBytes));
          break;
        }
        case 0x42:  // card block write
          mark("card" + std::to_string(cdb[7]), Be24(cdb + 4), 1);
          break;
        case 0x5C:  // a fingerprint module command may rewrite the module's data block on card 0
          if (cdb[2] == 0x01) mark("card0", kFingerDataBlock, 1);
          break;
        case 0x48:  // a WRITE(10) to the CD region
          mark("iso", Be32(cdb + 4), r.transferLength / kBlockSize);
          break;
        default: break;
      }
    }
  }
  logConsumed_ = log.size();
}

std::uint64_t BridgeStore::ImageBlocks(const DiskFile& d) const {
  if (d.fixedSize) {
    if (d.disk == &controller_->cipherDisk) return controller_->cipherDisk.BlockCount();
    return diskSectors_ - std::min<std::uint64_t>(controller_->cipherSize, diskSectors_);
  }
  std::uint8_t block[kBlockSize];
  for (auto it = d.candidates.rbegin(); it != d.candidates.rend(); ++it)
    if (d.disk->Read(*it, block) && !IsZero(block, kBlockSize)) return *it + 1;
  return 0;
}

bool BridgeStore::SaveDisk(DiskFile& d, std::string* error) {
  const fs::path image = fs::path(dir_) / (d.name + ".img");
  const std::uint64_t blocks = ImageBlocks(d);
  std::error_code ec;
  if (!fs::exists(image, ec)) std::ofstream(image, std::ios::binary).close();
  fs::resize_file(image, blocks * kBlockSize, ec);
  if (ec) {
    *error = "cannot size " + image.string() + ": " + ec.message();
    return false;
  }
  std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
  Widened widened(*d.disk);
  if (!file) {
    *error = "cannot open " + image.string();
    return false;
  }
  std::string beyond;
  std::uint8_t block[kBlockSize];
  std::uint8_t stored[kBlockSize];
  for (std::uint64_t n : d.candidates) {
    if (!d.disk->Read(n, block)) std::memset(block, 0, sizeof(block));
    const bool zero = IsZero(block, kBlockSize);
    if (n >= blocks) {
      if (zero) continue;
      std::uint8_t number[8];
      for (int i = 0; i < 8; ++i) number[i] = static_cast<std::uint8_t>(n >> (8 * i));
      beyond.append(reinterpret_cast<const char*>(number), 8);
      beyond.append(reinterpret_cast<const char*>(block), kBlockSize);
      continue;
    }
    file.seekg(static_cast<std::streamoff>(n * kBlockSize));
    file.read(reinterpret_cast<char*>(stored), kBlockSize);
    if (!file) {
      file.clear();
      std::memset(stored, 0, sizeof(stored));
    }
    if (std::memcmp(stored, block, kBlockSize) == 0) continue;  // keeps holes as holes
    file.seekp(static_cast<std::streamoff>(n * kBlockSize));
    file.write(reinterpret_cast<const char*>(block), kBlockSize);
  }
  file.close();
  if (!file) {
    *error = "cannot write " + image.string();
    return false;
  }
  const fs::path beyondFile = fs::path(dir_) / (d.name + ".beyond");
  if (beyond.empty()) {
    fs::remove(beyondFile, ec);
    return true;
  }
  return WriteFileAtomically(beyondFile, beyond, error);
}

bool BridgeStore::Save(std::string* error) {
  if (!controller_) {
    *error = "no virtual bridge loaded";
    return false;
  }
  CollectWrites();
  const VirtualController& c = *controller_;
  const fs::path root(dir_);

  std::ostringstream ini;
  ini << "# Virtual bridge state, rewritten by every run. Disk contents are in the .img files.\n";
  ini << "version = " << kFormatVersion << "\n";
  ini << "identify = " << Hex(c.identifyReply.data(), c.identifyReply.size()) << "\n";
  ini << "flash.part = " << flashPartName_ << "\n";
  ini << "flash.present = " << (c.flash.present ? 1 : 0) << "\n";
  ini << "disk.sectors = " << diskSectors_ << "\n";
  ini << "disk.public_blocks = " << c.publicDisk.BlockCount() << "\n";
  ini << "disk.cipher_blocks = " << c.cipherDisk.BlockCount() << "\n";
  for (std::size_t i = 0; i < c.regions.size() && i < 4; ++i) {
    const RegionEntry& e = c.regions[i];
    ini << "region." << i << " = " << unsigned{e.type} << " " << unsigned{e.flags} << " " << e.lastBlock << " "
        << e.blockLength << "\n";
  }
  for (std::size_t i = 0; i < c.cards.size(); ++i) {
    if (!c.cards[i].present) continue;
    ini << "card." << i << " = " << unsigned{c.cards[i].presentByte} << " " << unsigned{c.cards[i].initByte} << " "
        << Hex(c.cards[i].serial.data(), c.cards[i].serial.size()) << "\n";
  }
  for (std::size_t i = 0; i < c.passwords.entries.size(); ++i) {
    const PasswordEntry& e = c.passwords.entries[i];
    ini << "password." << i << " = " << unsigned{e.selector} << " " << Hex(e.block.data(), e.block.size()) << "\n";
  }
  ini << "password.unlocked = " << (c.passwords.unlocked ? 1 : 0) << "\n";
  ini << "password.verify_attempts = " << c.passwords.verifyAttempts << "\n";
  ini << "password.supports_old = " << (c.passwords.supportsOld ? 1 : 0) << "\n";
  ini << "cipher.size = " << c.cipherSize << "\n";
  ini << "cipher.full = " << (c.cipherFull ? 1 : 0) << "\n";
  ini << "encrypt_state = " << unsigned{c.encryptStateByte} << "\n";
  ini << "sd.status = " << unsigned{c.sdStatus} << "\n";
  ini << "finger.pressed = " << unsigned{c.finger.pressedByte} << "\n";
  ini << "finger.mode = " << c.finger.mode << "\n";
  ini << "finger.mode_value = " << c.finger.modeValue << "\n";
  ini << "finger.power = " << c.finger.power << "\n";
  ini << "reset.chip = " << c.resetChipCount << "\n";
  ini << "reset.usb = " << c.resetUsbCount << "\n";
  const DeviceModuleState& modules = controller_->State<DeviceModuleState>();
  ini << "finger.placed = " << unsigned{modules.placedFinger} << "\n";
  ini << "sd.password = " << Hex(reinterpret_cast<const std::uint8_t*>(modules.sdPassword.data()), modules.sdPassword.size())
      << "\n";

  std::ostringstream memory;
  for (std::uint32_t row : memoryRows_) {
    std::uint8_t bytes[kRowBytes];
    c.memory.Read(row * kRowBytes, bytes, kRowBytes);
    if (IsZero(bytes, kRowBytes)) continue;
    const std::uint8_t address[4] = {static_cast<std::uint8_t>(row * kRowBytes >> 24),
                                     static_cast<std::uint8_t>(row * kRowBytes >> 16),
                                     static_cast<std::uint8_t>(row * kRowBytes >> 8),
                                     static_cast<std::uint8_t>(row * kRowBytes)};
    memory << Hex(address, 4) << ": " << Hex(bytes, kRowBytes) << "\n";
  }

  if (!WriteFileAtomically(root / "memory.hex", memory.str(), error)) return false;
  if (flashPartName_ != "none" &&
      !WriteFileAtomically(root / "flash.bin",
                           std::string(reinterpret_cast<const char*>(c.flash.cells.data()), c.flash.cells.size()),
                           error))
    return false;
  for (auto& entry : disks_)
    if (!SaveDisk(entry.second, error)) return false;
  // The state file goes last, so it never names a cipher size or flash part whose files were not written.
  return WriteFileAtomically(root / kStateFile, ini.str(), error);
}

}  // namespace quillon::testing
