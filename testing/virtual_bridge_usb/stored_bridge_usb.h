#ifndef QUILLON_TESTING_STORED_BRIDGE_USB_H
#define QUILLON_TESTING_STORED_BRIDGE_USB_H

// A virtual bridge kept in a folder (quillon --virtual DIR init) served as a USB mass-storage device:
// LUN 0 is its public disk, LUN 1 its cipher disk. The folder is held while the device lives and the
// bridge's state is written back by Save and when the device is destroyed.

#include <memory>
#include <string>

#include "virtual_bridge_store.h"
#include "virtual_bridge_usb.h"

namespace quillon::testing {

class StoredBridgeUsb {
 public:
  // Null with a message when the folder holds no bridge or is in use.
  static std::unique_ptr<StoredBridgeUsb> Open(const std::string& dir, std::string* error);
  ~StoredBridgeUsb();

  VirtualBridgeUsb& Device() { return *device_; }
  VirtualBridge& Bridge() { return bridge_; }
  bool Save(std::string* error);

 private:
  StoredBridgeUsb() : bridge_(false) {}
  VirtualBridge bridge_;
  BridgeStore store_;
  std::unique_ptr<VirtualBridgeUsb> device_;
};

}  // namespace quillon::testing

#endif
