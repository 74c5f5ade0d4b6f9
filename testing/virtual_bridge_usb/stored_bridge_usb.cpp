#include "stored_bridge_usb.h"

#include <cstdio>
#include <mutex>

namespace quillon::testing {

std::unique_ptr<StoredBridgeUsb> StoredBridgeUsb::Open(const std::string& dir, std::string* error) {
  std::unique_ptr<StoredBridgeUsb> stored(new StoredBridgeUsb());
  if (!stored->store_.Load(dir, stored->bridge_, error)) return nullptr;
  const auto path = [](std::uint32_t n) { return "\\\\.\\PhysicalDrive" + std::to_string(n); };
  stored->device_ = std::make_unique<VirtualBridgeUsb>(
      stored->bridge_, std::vector<std::string>{path(BridgeStore::kPublicDiskNumber), path(BridgeStore::kCipherDiskNumber)});
  return stored;
}

StoredBridgeUsb::~StoredBridgeUsb() {
  std::string error;
  if (!Save(&error)) std::fprintf(stderr, "virtual bridge: cannot save the bridge: %s\n", error.c_str());
}

bool StoredBridgeUsb::Save(std::string* error) { return store_.Save(error); }

}  // namespace quillon::testing
