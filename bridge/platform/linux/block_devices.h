#ifndef QUILLON_PLATFORM_LINUX_BLOCK_DEVICES_H
#define QUILLON_PLATFORM_LINUX_BLOCK_DEVICES_H

// SCSI disks, CD-ROMs and their volumes as Linux presents them, numbered the way the library's device
// paths count them: "\\.\PhysicalDrive<n>" is the n-th SCSI disk (sd*) in name order, "\\.\CDROM<n>" the
// n-th SCSI CD-ROM (sr*). Volumes are the partitions of the disks, or a disk itself when it has none,
// and carry drive letters from C: on in the same order.

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::platform::linux_block {

struct BlockDisk {
  std::string name;      // kernel name, "sdb"
  std::string devnode;   // "/dev/sdb"
  bool usb = false;      // attached through USB
  std::vector<std::string> partitions;  // device nodes of its partitions, in name order
};

struct Volume {
  std::string devnode;
  std::uint32_t diskNumber = 0;
  bool usb = false;
  char driveLetter = 0;  // 0 beyond Z:
};

// Kernel names in the order the kernel hands them out: shorter first, then alphabetical.
bool KernelNameLess(const std::string& a, const std::string& b);

std::vector<BlockDisk> ListDisks(bool cdrom);
std::vector<Volume> ListVolumes();

// The device node a library device path designates: "\\.\PhysicalDrive<n>", "\\.\CDROM<n>" or a
// "/dev/..." path as it is. Empty when there is no such device.
std::string ResolveDevicePath(const std::string& path);

// Parses "<prefix><decimal number>" exactly; false for anything else.
bool ParseNumberedPath(const std::string& path, const std::string& prefix, std::uint32_t* number);

}  // namespace quillon::platform::linux_block

#endif
