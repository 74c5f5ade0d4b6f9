#ifndef QUILLON_PLATFORM_LINUX_VOLUME_MOUNTS_H
#define QUILLON_PLATFORM_LINUX_VOLUME_MOUNTS_H

// What a Linux user expects around writing a fresh file system onto a block device: whatever is
// mounted from it is unmounted first, and the kernel is asked to re-read it afterwards.

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::platform::linux_volume {

// One line of /proc/self/mountinfo: the device number and where it is mounted.
struct Mount {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mountPoint;  // octal escapes (\040 for a blank) decoded
};

// Parses the text of /proc/self/mountinfo; malformed lines are skipped.
std::vector<Mount> ParseMountInfo(const std::string& text);

// Unmounts every file system mounted from the block device open on fd or from one of its partitions,
// innermost mount point first. A file system in use is not forced: false, with *error set, when
// something stays mounted. True when nothing is mounted (also for a descriptor that is no block device).
bool UnmountFileSystems(int fd, std::uint32_t* error);

// Asks the kernel to re-read the disk open on fd, so that the system sees the new file system.
// Best effort: a disk that cannot be re-read now is left as it is.
void RereadDisk(int fd);

}  // namespace quillon::platform::linux_volume

#endif
