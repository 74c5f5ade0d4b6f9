#ifndef QUILLON_SECURE_EXPORT_DEVICE_H
#define QUILLON_SECURE_EXPORT_DEVICE_H

// The device record an export works on, with the reason recorded when its path is refused.

#include "access/bridge_device.h"
#include "access/last_error.h"

namespace quillon {

inline bool OpenExportDevice(BridgeDevice* device, const char* path) {
  if (OpenBridgeDevice(device, path)) return true;
  if (path == nullptr) {
    RefuseInput("no device path given");
  } else {
    RefuseInput("device path '%.40s' is longer than %u characters", path, static_cast<unsigned>(kMaxPathLength));
  }
  return false;
}

}  // namespace quillon

#endif
