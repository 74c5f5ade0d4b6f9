// --virtual DIR: the stored virtual bridge installed as the library's backend.

#include "virtual_session.h"

#include <cstdio>
#include <filesystem>

#include "platform/backend.h"
#include "secure_storage.h"
#include "testing/virtual_bridge/device_modules.h"
#include "virtual_bridge_store.h"

namespace quillon::tool {
namespace {

namespace vt = quillon::testing;

class StoredBridge : public VirtualSession {
 public:
  explicit StoredBridge(std::string dir) : dir_(std::move(dir)) {
    // Volume labels and file times carry the real time, as they would from a real machine.
    bridge_.localTime = platform::SystemLocalTime();
  }
  bool Load(std::string* error) { return store_.Load(dir_, bridge_, error); }
  bool Save(std::string* error) override { return store_.Save(error); }

  std::vector<std::pair<std::string, std::string>> Describe() const override {
    const vt::VirtualController& c = *store_.Controller();
    const std::filesystem::path root(dir_);
    std::vector<std::pair<std::string, std::string>> lines;
    std::string chip;
    for (int i = 1; i <= 4 && c.identifyReply[i] != 0; ++i) chip.push_back(static_cast<char>(c.identifyReply[i]));
    if (c.identifyReply[4] == 0x66 && c.identifyReply[3] == 0x23) chip = "6623";
    lines.push_back({"folder", dir_});
    lines.push_back({"controller", chip});
    lines.push_back({"flash", c.flash.present ? c.flash.part.name : "none"});
    lines.push_back({"disk-sectors", std::to_string(store_.DiskSectors())});
    lines.push_back({"cipher-sectors", std::to_string(c.cipherSize)});
    int cards = 0;
    for (const auto& card : c.cards) cards += card.present ? 1 : 0;
    lines.push_back({"cards", std::to_string(cards)});
    lines.push_back({"passwords", std::to_string(c.passwords.entries.size())});
    lines.push_back({"hidden-sectors", std::to_string(vt::HiddenSectorCount(c))});
    lines.push_back({"public-device", "\\\\.\\PhysicalDrive" + std::to_string(vt::BridgeStore::kPublicDiskNumber)});
    lines.push_back({"cipher-device", "\\\\.\\PhysicalDrive" + std::to_string(vt::BridgeStore::kCipherDiskNumber)});
    lines.push_back({"public-image", (root / "public.img").string()});
    lines.push_back({"cipher-image", (root / "cipher.img").string()});
    lines.push_back({"iso-image", (root / "iso.img").string()});
    lines.push_back({"sample-firmware", SampleFirmwarePath(dir_)});
    return lines;
  }

  void PlaceFinger(int finger) override {
    vt::VirtualController& c = *store_.Controller();
    c.finger.pressedByte = finger >= 0 ? 1 : 0;
    if (finger >= 0) c.State<vt::DeviceModuleState>().placedFinger = static_cast<std::uint8_t>(finger);
  }

  std::vector<std::string> Trace() const override {
    std::vector<std::string> lines;
    for (const vt::CdbRecord& r : bridge_.Log()) {
      std::string cdb;
      char cell[4];
      for (std::uint8_t i = 0; i < r.cdbLength && i < r.cdb.size(); ++i) {
        std::snprintf(cell, sizeof(cell), "%02x", r.cdb[i]);
        cdb += cell;
      }
      char text[256];
      std::snprintf(text, sizeof(text), "%s %s %s %u bytes -> %s status %u returned %u error %u", r.path.c_str(),
                    cdb.c_str(), r.dataIn ? "in" : "out", static_cast<unsigned>(r.transferLength),
                    r.ok ? "ok" : "failed", static_cast<unsigned>(r.scsiStatus), static_cast<unsigned>(r.bytesReturned),
                    static_cast<unsigned>(r.error));
      lines.push_back(text);
    }
    return lines;
  }

 private:
  std::string dir_;
  vt::VirtualBridge bridge_;
  vt::BridgeStore store_;
};

}  // namespace

bool VirtualBridgeAvailable() { return true; }

std::unique_ptr<VirtualSession> OpenVirtualSession(const std::string& dir, std::string* error) {
  auto session = std::make_unique<StoredBridge>(dir);
  if (!session->Load(error)) return nullptr;
  return session;
}

bool CreateVirtualBridge(const std::string& dir, const VirtualInitOptions& options, std::string* error) {
  vt::StoreOptions store;
  store.chip = options.chip;
  store.flashPart = options.flashPart;
  store.diskSectors = options.diskSectors;
  store.cards = options.cards;
  store.firmwareWord = options.firmwareWord;
  return vt::BridgeStore::Create(dir, store, error);
}

std::string SampleFirmwarePath(const std::string& dir) {
  return (std::filesystem::path(dir) / vt::BridgeStore::kSampleFirmware).string();
}

}  // namespace quillon::tool
