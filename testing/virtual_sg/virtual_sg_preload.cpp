// Preloaded into a host program: /dev/qvb1 and /dev/qvb2 open onto the public and cipher disks of the
// virtual bridge stored in $QUILLON_VIRTUAL_DIR, and SG_IO requests on them reach the bridge; every
// other open, ioctl and close goes to the C library. The bridge is loaded at the first open and saved
// when the program ends.

#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "access/scsi.h"
#include "raw_command.h"
#include "virtual_bridge_store.h"

namespace {

namespace vt = quillon::testing;

struct Devices {
  std::recursive_mutex mutex;
  std::unique_ptr<vt::VirtualBridge> bridge;
  std::unique_ptr<vt::BridgeStore> store;
  bool failed = false;
  std::map<int, quillon::platform::DeviceHandle> open;  // fd -> bridge handle

  ~Devices() {
    std::string error;
    if (store && !store->Save(&error)) std::fprintf(stderr, "virtual sg: cannot save the bridge: %s\n", error.c_str());
  }
};

Devices& State() {
  static Devices devices;
  return devices;
}

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// "\\.\PhysicalDriveN" of a virtual node, or "".
std::string BridgePath(const char* path) {
  if (path == nullptr) return {};
  if (std::strcmp(path, "/dev/qvb1") == 0) return "\\\\.\\PhysicalDrive1";
  if (std::strcmp(path, "/dev/qvb2") == 0) return "\\\\.\\PhysicalDrive2";
  return {};
}

bool Loaded(Devices& d) {
  if (d.bridge || d.failed) return !d.failed;
  const char* dir = std::getenv("QUILLON_VIRTUAL_DIR");
  std::string error = "QUILLON_VIRTUAL_DIR is not set";
  d.bridge = std::make_unique<vt::VirtualBridge>(false);
  d.store = std::make_unique<vt::BridgeStore>();
  if (dir == nullptr || !d.store->Load(dir, *d.bridge, &error)) {
    std::fprintf(stderr, "virtual sg: %s\n", error.c_str());
    d.store.reset();
    d.failed = true;
  }
  return !d.failed;
}

int OpenVirtual(const std::string& bridgePath) {
  Devices& d = State();
  std::lock_guard<std::recursive_mutex> lock(d.mutex);
  if (!Loaded(d)) {
    errno = ENODEV;
    return -1;
  }
  std::uint32_t error = 0;
  const auto handle = d.bridge->OpenDevice(bridgePath.c_str(), &error);
  if (handle == quillon::platform::kInvalidDeviceHandle) {
    errno = ENODEV;
    return -1;
  }
  // A real descriptor, so its number is the program's own.
  const int fd = Next<int (*)(const char*, int, ...)>("open")("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    d.bridge->CloseDevice(handle);
    return -1;
  }
  d.open[fd] = handle;
  return fd;
}

// One SG_IO request through the bridge's pass-through buffer.
int SgIo(quillon::platform::DeviceHandle handle, sg_io_hdr_t* hdr) {
  using namespace quillon;
  if (hdr->interface_id != 'S' || hdr->cmd_len == 0 || hdr->cmd_len > 16 || hdr->dxfer_len > kMaxDataLength) {
    errno = EINVAL;
    return -1;
  }
  const bool in = hdr->dxfer_direction == SG_DXFER_FROM_DEV;
  const std::uint32_t n = hdr->dxfer_direction == SG_DXFER_NONE ? 0 : hdr->dxfer_len;
  const std::uint8_t senseRoom = static_cast<std::uint8_t>(std::min<unsigned>(hdr->mx_sb_len, kSenseSize));
  const vt::RawOutcome r = vt::RunRawCommand(*State().bridge, handle, hdr->cmdp, hdr->cmd_len, in,
                                             static_cast<std::uint8_t*>(hdr->dxferp), n, hdr->timeout / 1000, senseRoom);
  hdr->status = hdr->masked_status = hdr->host_status = hdr->driver_status = 0;
  hdr->sb_len_wr = 0;
  hdr->resid = 0;
  if (!r.delivered) {
    // The kernel's host codes: no connection, time-out, other error.
    hdr->host_status = r.error == platform::kErrorDeviceNotConnected ? 0x01
                       : r.error == platform::kErrorSemTimeout     ? 0x03
                                                                   : 0x07;
    return 0;
  }
  hdr->status = r.status;
  if (in && n > 0) hdr->resid = static_cast<int>(n - r.moved);
  if (!r.sense.empty() && hdr->sbp != nullptr) {
    std::memcpy(hdr->sbp, r.sense.data(), r.sense.size());
    hdr->sb_len_wr = static_cast<unsigned char>(r.sense.size());
    hdr->driver_status = 0x08;  // sense data present
  }
  return 0;
}

int Open(const char* path, int flags, mode_t mode, const char* real) {
  const std::string bridgePath = BridgePath(path);
  if (!bridgePath.empty()) return OpenVirtual(bridgePath);
  return Next<int (*)(const char*, int, ...)>(real)(path, flags, mode);
}

mode_t ModeOf(int flags, va_list args) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  return Open(path, flags, mode, "open");
}

__attribute__((visibility("default"))) int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  return Open(path, flags, mode, "open64");
}

__attribute__((visibility("default"))) int __open_2(const char* path, int flags) { return Open(path, flags, 0, "__open_2"); }
__attribute__((visibility("default"))) int __open64_2(const char* path, int flags) {
  return Open(path, flags, 0, "__open64_2");
}

__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  Devices& d = State();
  {
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    auto it = d.open.find(fd);
    if (it != d.open.end()) {
      if (request != SG_IO) {
        errno = ENOTTY;
        return -1;
      }
      return SgIo(it->second, static_cast<sg_io_hdr_t*>(argument));
    }
  }
  return Next<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, argument);
}

__attribute__((visibility("default"))) int close(int fd) {
  Devices& d = State();
  {
    std::lock_guard<std::recursive_mutex> lock(d.mutex);
    auto it = d.open.find(fd);
    if (it != d.open.end()) {
      d.bridge->CloseDevice(it->second);
      d.open.erase(it);
    }
  }
  return Next<int (*)(int)>("close")(fd);
}

}  // extern "C"
