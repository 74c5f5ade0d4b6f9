#ifndef QUILLON_TESTING_REGION_DISKS_H
#define QUILLON_TESTING_REGION_DISKS_H

// The public and cipher disks of an emulated controller sized the way the real controller sizes
// them: the region table and the reserved-area count give the sectors both share, the cipher-size
// command splits them.

#include <cstdint>

#include "virtual_bridge.h"

namespace quillon::testing {

// Controller memory address of the reserved-area count (big-endian).
constexpr std::uint32_t kReservedAreaCountAddress = 0x30820;

// The sectors public and cipher disk share: region-table capacity / 512 less 4 x count + 4; 0 when the
// reserved area is larger than the disk.
std::uint64_t SharedSectors(VirtualController& controller);

// Resizes both disks: the cipher disk to the cipher size, the public disk to what is left.
void FollowRegionTable(VirtualController& controller);

// Makes the cipher-size command resize both disks (installed by every VirtualBridge).
void InstallRegionDiskHandlers(VirtualBridge& bridge);

}  // namespace quillon::testing

#endif
