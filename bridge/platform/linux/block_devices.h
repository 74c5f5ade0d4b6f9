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

// The SCSI generic node ("/dev/sg3") of the disk behind a block device node ("/dev/sdb" or one of its
// partitions), found in sysfs under sysRoot (the disk's device/scsi_generic folder). A "/dev/sg..." node
// is its own; empty when the node is not a SCSI disk or the sg driver is not loaded.
std::string ScsiGenericNode(const std::string& node, const std::string& sysRoot = "/sys");

// The node the library sends SCSI commands to for a device path: the disk's SCSI generic node when
// there is one, else the node ResolveDevicePath gives. The block layer refuses vendor opcodes on
// /dev/sdX to a caller without CAP_SYS_RAWIO, while the sg driver lets anyone with read-write access
// send them, so a user the access rule lets in can manage the bridge without root.
std::string CommandNodeFor(const std::string& path, const std::string& sysRoot = "/sys");

// Parses "<prefix><decimal number>" exactly; false for anything else.
bool ParseNumberedPath(const std::string& path, const std::string& prefix, std::uint32_t* number);

}  // namespace quillon::platform::linux_block

#endif
