#ifndef QUILLON_ACCESS_DISCOVERY_H
#define QUILLON_ACCESS_DISCOVERY_H

// Finding bridges among the system's storage interfaces, and mapping a bridge's disk to a drive letter.

#include <cstdint>
#include <string>

#include "platform/backend.h"

namespace quillon {

// Enumeration handles: bit 15 marks a valid handle, bits 0-14 hold the next index to examine.
constexpr int kHandleValid = 0x8000;
constexpr std::uint32_t kHandleIndexMask = 0x7FFF;

// Looks for a bridge in the interfaces of a class from *index on. Returns 1, the path (at most 24
// characters plus terminator, so path needs 25 bytes) and *index pointing past the bridge; or 0 with
// *index reset to 0 when the list ends (or the index no longer fits a handle).
int EnumerateBridges(platform::InterfaceClass cls, std::uint32_t* index, char* path);

// Finds the drive letter of the volume on a "\\.\PhysicalDrive%d" path, mounting the volume at the
// first free letter when it has none. Returns 1 and the letter, or 0.
int AssignDriveLetter(const char* physicalDrivePath, char* driveLetter);

// Asks the mount manager about a device name: the volume path ("\\?\Volume{...}\") and the drive root
// ("H:\"); either may come back empty. Returns 1 when the manager answered, else 0.
int QueryMountPoints(const std::u16string& deviceName, std::string* volumePath, std::string* driveRoot);

// A free drive letter from C: to Z:, or 0.
char FirstFreeDriveLetter();

}  // namespace quillon

#endif
