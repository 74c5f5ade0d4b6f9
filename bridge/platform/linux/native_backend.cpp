// The Linux backend: vendor CDBs through SG_IO on the SCSI generic nodes of disks and CD-ROMs,
// enumeration through udev, and volumes with drive letters assigned in device order (Linux has none
// of its own).

#include <fcntl.h>
#include <linux/fs.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/backend.h"
#include "platform/linux/block_devices.h"
#include "platform/linux/sg_request.h"
#include "platform/linux/volume_mounts.h"

namespace quillon::platform {
namespace {

using linux_block::BlockDisk;
using linux_block::Volume;

int OpenNode(const std::string& node, int flags, std::uint32_t* error) {
  const int fd = node.empty() ? -1 : ::open(node.c_str(), flags | O_CLOEXEC);
  if (fd < 0 && error != nullptr) *error = node.empty() ? kErrorFileNotFound : linux_sg::ErrorFromErrno(errno);
  return fd;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string VolumeGuid(const Volume& v) { return "Volume{" + v.devnode.substr(v.devnode.rfind('/') + 1) + "}"; }

class LinuxInterfaceList : public InterfaceList {
 public:
  explicit LinuxInterfaceList(std::vector<StorageInterface> items) : items_(std::move(items)) {}
  bool Get(std::uint32_t index, StorageInterface* out) override {
    if (index >= items_.size()) return false;
    *out = items_[index];
    return true;
  }

 private:
  std::vector<StorageInterface> items_;
};

StorageInterface DescribeNode(const std::string& node, bool usb, std::uint32_t number) {
  StorageInterface info;
  info.interfacePath = node;
  const int fd = OpenNode(node, O_RDONLY | O_NONBLOCK, nullptr);
  info.opened = fd >= 0;
  if (fd >= 0) ::close(fd);
  info.propertyOk = info.opened;
  info.busType = usb ? kBusTypeUsb : 0;
  info.numberOk = info.opened;
  info.deviceNumber = number;
  return info;
}

class LinuxBackend : public Backend {
 public:
  DeviceHandle OpenDevice(const char* path, std::uint32_t* error) override {
    std::uint32_t ignored = 0;
    if (error == nullptr) error = &ignored;
    if (path == nullptr) {
      *error = kErrorInvalidParameter;
      return kInvalidDeviceHandle;
    }
    // Commands go to the disk's SCSI generic node; volume I/O keeps the block node.
    const int fd = OpenNode(linux_block::CommandNodeFor(path), O_RDWR | O_NONBLOCK, error);
    return fd < 0 ? kInvalidDeviceHandle : fd;
  }

  PassThroughResult SendPassThrough(DeviceHandle handle, std::uint8_t* request, std::uint32_t inLength,
                                    std::uint32_t outLength) override {
    sg_io_hdr_t hdr;
    std::uint8_t scratchSense[linux_sg::kScratchSenseSize] = {};
    if (!linux_sg::PrepareSgIo(request, inLength, outLength, &hdr, scratchSense)) {
      PassThroughResult refused;
      refused.error = kErrorInvalidParameter;
      return refused;
    }
    const int rc = ::ioctl(static_cast<int>(handle), SG_IO, &hdr);
    return linux_sg::CompleteSgIo(hdr, rc, rc < 0 ? errno : 0, request, outLength);
  }

  void CloseDevice(DeviceHandle handle) override {
    if (handle >= 0) ::close(static_cast<int>(handle));
  }

  std::unique_ptr<InterfaceList> ListInterfaces(InterfaceClass cls) override {
    std::vector<StorageInterface> items;
    if (cls == InterfaceClass::Volume) {
      for (const Volume& v : linux_block::ListVolumes()) {
        StorageInterface info = DescribeNode(v.devnode, v.usb, v.diskNumber);
        info.deviceNameOk = true;
        info.deviceName = Widen(v.devnode);
        items.push_back(info);
      }
    } else {
      const std::vector<BlockDisk> disks = linux_block::ListDisks(cls == InterfaceClass::CdRom);
      for (std::uint32_t n = 0; n < disks.size(); ++n) items.push_back(DescribeNode(disks[n].devnode, disks[n].usb, n));
    }
    return std::make_unique<LinuxInterfaceList>(std::move(items));
  }

  bool QueryMountManager(const std::u16string& deviceName, std::vector<std::string>* links) override {
    if (links == nullptr) return false;
    const std::string node(deviceName.begin(), deviceName.end());
    for (const Volume& v : linux_block::ListVolumes()) {
      if (v.devnode != node) continue;
      links->clear();
      links->push_back("\\??\\" + VolumeGuid(v));
      if (v.driveLetter != 0) links->push_back(std::string("\\DosDevices\\") + v.driveLetter + ":");
      return true;
    }
    return false;
  }

  std::uint32_t LogicalDrives() override {
    std::uint32_t mask = 0;
    for (const Volume& v : linux_block::ListVolumes())
      if (v.driveLetter != 0) mask |= 1u << (v.driveLetter - 'A');
    return mask;
  }

  // Every volume already has its letter; there is nothing to mount.
  bool MountVolumeAt(const char*, const char*) override { return false; }

  DeviceHandle OpenVolume(char driveLetter, std::uint32_t* error) override {
    std::uint32_t ignored = 0;
    if (error == nullptr) error = &ignored;
    std::string node;
    for (const Volume& v : linux_block::ListVolumes())
      if (v.driveLetter == driveLetter) node = v.devnode;
    // Without O_NONBLOCK a removable disk with no medium (an empty cipher region, which the formatter
    // locks before giving it its size) refuses to open; the handle only locks and flushes the volume.
    const int fd = OpenNode(node, O_RDWR | O_NONBLOCK, error);
    return fd < 0 ? kInvalidDeviceHandle : fd;
  }

  // Locking unmounts what is mounted from the device (a file system in use stays, and the lock is
  // refused) and takes the block device exclusively; dismounting flushes and drops the kernel's cached
  // blocks so the new contents are read afresh; unlocking asks the kernel to re-read the disk.
  bool ControlVolume(DeviceHandle volume, VolumeControl control, std::uint32_t* error) override {
    std::uint32_t ignored = 0;
    if (error == nullptr) error = &ignored;
    const int fd = static_cast<int>(volume);
    std::lock_guard<std::mutex> lock(mutex_);
    switch (control) {
      case VolumeControl::AllowExtendedDasdIo:
        return true;
      case VolumeControl::Lock: {
        if (exclusive_.count(fd)) return true;
        if (!linux_volume::UnmountFileSystems(fd, error)) return false;
        char link[64];
        std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
        const int held = ::open(link, O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        if (held < 0) {
          *error = linux_sg::ErrorFromErrno(errno);
          return false;
        }
        exclusive_[fd] = held;
        return true;
      }
      case VolumeControl::Dismount:
        ::fsync(fd);
        if (::ioctl(fd, BLKFLSBUF, 0) < 0) {
          *error = linux_sg::ErrorFromErrno(errno);
          return false;
        }
        return true;
      case VolumeControl::Unlock: {
        auto it = exclusive_.find(fd);
        if (it == exclusive_.end()) {
          *error = kErrorNotReady;
          return false;
        }
        ::close(it->second);
        exclusive_.erase(it);
        linux_volume::RereadDisk(fd);
        return true;
      }
    }
    return false;
  }

  void CloseVolume(DeviceHandle volume) override {
    const int fd = static_cast<int>(volume);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = exclusive_.find(fd);
      if (it != exclusive_.end()) {
        ::close(it->second);
        exclusive_.erase(it);
      }
    }
    if (fd >= 0) ::close(fd);
  }

  bool QueryDiskGeometry(const char* path, DiskGeometry* out) override {
    if (path == nullptr || out == nullptr) return false;
    const int fd = OpenNode(linux_block::ResolveDevicePath(path), O_RDONLY | O_NONBLOCK, nullptr);
    if (fd < 0) return false;
    std::uint64_t size = 0;
    int sector = 0;
    const bool ok = ::ioctl(fd, BLKGETSIZE64, &size) == 0 && ::ioctl(fd, BLKSSZGET, &sector) == 0 && sector > 0;
    ::close(fd);
    if (!ok) return false;
    out->diskSize = size;
    out->bytesPerSector = static_cast<std::uint32_t>(sector);
    return true;
  }

  void SleepMilliseconds(std::uint32_t milliseconds) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }

  LocalTime Now() override { return SystemLocalTime(); }

 private:
  std::mutex mutex_;
  std::map<int, int> exclusive_;  // volume descriptor -> its exclusive twin
};

}  // namespace

Backend& NativeBackend() {
  static LinuxBackend backend;
  return backend;
}

}  // namespace quillon::platform
