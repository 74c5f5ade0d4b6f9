#ifndef QUILLON_TESTS_REGION_FIXTURE_H
#define QUILLON_TESTS_REGION_FIXTURE_H

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "quillon_password.h"
#include "quillon_region.h"
#include "region_disks.h"
#include "virtual_bridge.h"

namespace quillon::testing {

constexpr const char* kDrive1 = "\\\\.\\PhysicalDrive1";
constexpr const char* kDrive2 = "\\\\.\\PhysicalDrive2";

// A bridge whose public disk is PhysicalDrive1 (volume E:) and whose cipher disk is PhysicalDrive2
// (volume F:), sharing one controller with a region table of `sectors` 512-byte blocks.
class RegionTest : public ::testing::Test {
protected:
    void Attach(std::uint32_t sectors, bool cipherDisk = true) {
        controller = bridge.AttachDisk(1);
        bridge.AddVolume(1, 'E');
        if (cipherDisk) {
            bridge.AttachDisk(2, controller, DiskRole::Cipher);
            bridge.AddVolume(2, 'F');
        }
        controller->regions[0].lastBlock = sectors - 1;
        FollowRegionTable(*controller);
        bridge.SetLogDataLimit(0);
    }

    // Fills the first sectors of a disk with random bytes, as a disk that was used before.
    static void Scribble(SparseDisk& disk, std::uint32_t sectors, unsigned seed) {
        std::mt19937 rng(seed);
        std::array<std::uint8_t, kBlockSize> block;
        for (std::uint32_t s = 0; s < sectors && s < disk.BlockCount(); ++s) {
            for (auto& b : block) b = static_cast<std::uint8_t>(rng());
            disk.Write(s, block.data());
        }
    }

    static std::array<std::uint8_t, kBlockSize> Block(const SparseDisk& disk, std::uint64_t n) {
        std::array<std::uint8_t, kBlockSize> b{};
        disk.Read(n, b.data());
        return b;
    }

    std::size_t Writes(const std::string& path) const {
        return bridge.LogMatching([&](const CdbRecord& r) { return r.path == path && r.cdb[0] == 0x2A; }).size();
    }

    VirtualBridge bridge;
    std::shared_ptr<VirtualController> controller;
};

}  // namespace quillon::testing

#endif
