#include "region_disks.h"

#include <algorithm>

namespace quillon::testing {

std::uint64_t SharedSectors(VirtualController& controller) {
    std::uint64_t smallest = 0;
    std::uint64_t counted = 0;
    for (std::size_t i = 0; i < controller.regions.size() && i < 4; ++i) {
        const RegionEntry& e = controller.regions[i];
        if (e.type != 1 && e.type != 2) continue;
        const std::uint64_t bytes = (std::uint64_t{e.lastBlock} + 1) * e.blockLength;
        smallest = counted == 0 ? bytes : std::min(smallest, bytes);
        ++counted;
    }
    const std::uint64_t total = counted * smallest / kBlockSize;
    const std::uint64_t reserved = 4 * std::uint64_t{controller.memory.ReadBe32(kReservedAreaCountAddress)} + 4;
    return total > reserved ? total - reserved : 0;
}

void FollowRegionTable(VirtualController& controller) {
    const std::uint64_t shared = SharedSectors(controller);
    const std::uint64_t cipher = std::min<std::uint64_t>(controller.cipherSize, shared);
    controller.cipherDisk.SetBlockCount(cipher);
    controller.publicDisk.SetBlockCount(shared - cipher);
}

void InstallRegionDiskHandlers(VirtualBridge& bridge) {
    bridge.SetVendorHandler(0x5D, 0x03, [](CommandContext& c) {
        const std::uint8_t* cdb = c.request.cdb.data();
        const std::uint32_t size = cdb[3] | (std::uint32_t{cdb[4]} << 8) | (std::uint32_t{cdb[5]} << 16) |
                                   (std::uint32_t{cdb[6]} << 24);
        // Like the controller, refuse a cipher region larger than the disk.
        if (size > SharedSectors(c.controller)) return CommandOutcome::Reject();
        c.controller.cipherSize = size;
        c.controller.cipherFull = cdb[7] != 0;
        FollowRegionTable(c.controller);
        return CommandOutcome::Good();
    });
}

}  // namespace quillon::testing
