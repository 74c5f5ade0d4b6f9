#ifndef QUILLON_PLATFORM_WINDOWS_MOUNT_MANAGER_FORMAT_H
#define QUILLON_PLATFORM_WINDOWS_MOUNT_MANAGER_FORMAT_H

// The mount manager's query-points request and reply records, built and read with bounds checks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::platform::windows {

constexpr std::size_t kMountPointRecordSize = 24;   // MOUNTMGR_MOUNT_POINT
constexpr std::size_t kMountPointsHeaderSize = 8;   // MOUNTMGR_MOUNT_POINTS before its records
constexpr std::size_t kMountReplySize = 1024;

// A MOUNTMGR_MOUNT_POINT that names a device (all zero but the device-name offset 24 and length),
// followed by the name. Empty when the name is too long for the record's 16-bit length.
std::vector<std::uint8_t> BuildQueryPointsRequest(const std::u16string& deviceName);

// The symbolic-link names of a MOUNTMGR_MOUNT_POINTS reply, in order (empty for a mount point without
// one). False when the reply is malformed: a count or a name that does not fit the bytes returned.
bool ParseQueryPointsReply(const std::uint8_t* reply, std::size_t length, std::vector<std::u16string>* links);

// The name in a MOUNTDEV_NAME reply. False when it does not fit the bytes returned.
bool ParseMountDevName(const std::uint8_t* reply, std::size_t length, std::u16string* name);

}  // namespace quillon::platform::windows

#endif
