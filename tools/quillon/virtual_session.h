#ifndef QUILLON_TOOL_VIRTUAL_SESSION_H
#define QUILLON_TOOL_VIRTUAL_SESSION_H

// The tool's view of a virtual bridge kept in a folder: created by init, loaded before a command runs
// (the library then talks to it instead of the machine's devices) and saved afterwards. Builds without
// the test doubles get a version that refuses --virtual.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillon::tool {

struct VirtualInitOptions {
  std::string chip = "FCC1";
  std::string flashPart = "W25X40";
  std::uint64_t diskSectors = 131072;
  int cards = 0;
  std::uint32_t firmwareWord = 0x02000000;
};

class VirtualSession {
 public:
  virtual ~VirtualSession() = default;
  // Writes the controller state back to the folder.
  virtual bool Save(std::string* error) = 0;
  // Name/value lines describing the stored bridge and where its images are.
  virtual std::vector<std::pair<std::string, std::string>> Describe() const = 0;
  // One line per request the bridge received in this run, with its outcome.
  virtual std::vector<std::string> Trace() const = 0;
  // Puts finger number finger (0 to 255) on the fingerprint sensor, or lifts it (finger < 0).
  virtual void PlaceFinger(int finger) = 0;
};

// False when this build has no virtual bridge.
bool VirtualBridgeAvailable();
// Loads the bridge in dir and puts it behind the library for the rest of the process.
std::unique_ptr<VirtualSession> OpenVirtualSession(const std::string& dir, std::string* error);
bool CreateVirtualBridge(const std::string& dir, const VirtualInitOptions& options, std::string* error);
// Where init puts a firmware file that suits the new bridge.
std::string SampleFirmwarePath(const std::string& dir);

}  // namespace quillon::tool

#endif
