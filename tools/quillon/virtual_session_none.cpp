// Builds without the test doubles: --virtual is refused with a message.

#include "virtual_session.h"

namespace quillon::tool {

bool VirtualBridgeAvailable() { return false; }

std::unique_ptr<VirtualSession> OpenVirtualSession(const std::string&, std::string* error) {
  *error = "this build of quillon has no virtual bridge (configure with BUILD_TESTING=ON)";
  return nullptr;
}

bool CreateVirtualBridge(const std::string&, const VirtualInitOptions&, std::string* error) {
  *error = "this build of quillon has no virtual bridge (configure with BUILD_TESTING=ON)";
  return false;
}

std::string SampleFirmwarePath(const std::string& dir) { return dir + "/sample-firmware.hex"; }

}  // namespace quillon::tool
