// Byte-exact checks of the FAT32 and exFAT formatters on in-memory regions.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "secure/exfat_format.h"
#include "secure/fat32_format.h"
#include "secure/format.h"
#include "secure/upcase_table.h"
#include "virtual_bridge/memory_region.h"

namespace quillon {
namespace {

using testing::MemoryRegion;
using Sector = std::array<uint8_t, kSectorBytes>;

uint32_t Le16(const Sector& s, size_t at) { return s[at] | (s[at + 1] << 8); }
uint32_t Le32(const Sector& s, size_t at) {
    return s[at] | (s[at + 1] << 8) | (s[at + 2] << 16) | (static_cast<uint32_t>(s[at + 3]) << 24);
}
uint64_t Le64(const Sector& s, size_t at) { return Le32(s, at) | (uint64_t{Le32(s, at + 4)} << 32); }
std::string Text(const Sector& s, size_t at, size_t n) { return std::string(s.begin() + at, s.begin() + at + n); }
bool AllZero(const Sector& s, size_t from = 0) {
    for (size_t i = from; i < s.size(); ++i) {
        if (s[i] != 0) return false;
    }
    return true;
}

const FormatTime kTime{2024, 3, 5, 14, 7, 9};
constexpr uint32_t k2GiB = 4194304;
constexpr uint32_t k16GiB = 33554432;
constexpr uint32_t kMiB = 2048;

// ---------------------------------------------------------------- FAT32 layout

struct Fat32Case {
    uint32_t sectors;
    uint8_t spc;
    uint32_t fat;
    uint32_t data;
    uint32_t clustersPlus2;
};

TEST(Fat32Layout, SectorsPerClusterAndSizesAroundEveryThreshold) {
    const Fat32Case cases[] = {
        {66581, 1, 512, 1056, 65527},                // smallest region with enough clusters for FAT32
        {1050623, 1, 8082, 16196, 1034429},          // 512 MiB in whole MiB
        {1050624, 8, 1024, 2080, 131070},            // 513 MiB
        {k2GiB, 8, 4088, 8208, 523264},
        {8192 * kMiB, 8, 16353, 32738, 2093061},
        {8193 * kMiB, 16, 8186, 16404, 1047680},
        {16384 * kMiB, 16, 16369, 32770, 2095105},
        {16385 * kMiB, 32, 8189, 16410, 1048129},
        {32768 * kMiB, 32, 16377, 32786, 2096129},
        {32769 * kMiB, 64, 8191, 16414, 1048353},
        {0xFFFFFFFFu, 64, 524161, 1048354, 67092485},  // the largest 32-bit sector count
    };
    for (const Fat32Case& c : cases) {
        SCOPED_TRACE(c.sectors);
        Fat32Params p;
        ASSERT_TRUE(ComputeFat32Params(c.sectors, &p));
        EXPECT_EQ(p.sectorsPerCluster, c.spc);
        EXPECT_EQ(p.fatSectors, c.fat);
        EXPECT_EQ(p.firstDataSector, c.data);
        EXPECT_EQ(p.clustersPlus2, c.clustersPlus2);
        EXPECT_EQ(p.totalSectors, c.sectors);
    }
}

TEST(Fat32Layout, RegionsTooSmallForFat32AreRefused) {
    Fat32Params p;
    for (uint32_t sectors : {0u, 1u, 2u, 32u, 33u, 4096u, 66580u}) {
        EXPECT_FALSE(ComputeFat32Params(sectors, &p)) << sectors;
    }
}

TEST(Fat32Layout, SerialNumberFromLocalTime) {
    // ((14 * 256 + 124 + 7) * 256 + 2 + 9 + 1) * 256 + 5
    EXPECT_EQ(Fat32SerialNumber(kTime), 0x0E830C05u);
}

// ---------------------------------------------------------------- FAT32 image

class Fat32Image : public ::testing::Test {
protected:
    void Format(uint32_t sectors, const std::string& label) {
        region_ = std::make_unique<MemoryRegion>(sectors);
        ASSERT_TRUE(ComputeFat32Params(sectors, &p_));
        ASSERT_TRUE(FormatFat32(*region_, sectors, label, kTime));
        EXPECT_EQ(region_->Violations(), 0);
    }
    std::unique_ptr<MemoryRegion> region_;
    Fat32Params p_;
};

TEST_F(Fat32Image, BootSectorAndBackup) {
    Format(k2GiB, "DATA");
    const Sector b = region_->Sector(0);
    const uint8_t jump[] = {0xEB, 0x58, 0x90};
    EXPECT_EQ(0, std::memcmp(b.data(), jump, 3));
    EXPECT_EQ(Text(b, 3, 8), "MSWIN4.1");
    EXPECT_EQ(Le16(b, 11), 512u);
    EXPECT_EQ(b[13], 8);
    EXPECT_EQ(Le16(b, 14), 32u);
    EXPECT_EQ(b[16], 2);
    EXPECT_EQ(Le16(b, 17), 0u);
    EXPECT_EQ(Le16(b, 19), 0u);
    EXPECT_EQ(b[21], 0xF8);
    EXPECT_EQ(Le16(b, 22), 0u);
    EXPECT_EQ(Le16(b, 24), 63u);
    EXPECT_EQ(Le16(b, 26), 255u);
    EXPECT_EQ(Le32(b, 28), 0u);
    EXPECT_EQ(Le32(b, 32), k2GiB);
    EXPECT_EQ(Le32(b, 36), 4088u);
    EXPECT_EQ(Le32(b, 40), 0u);
    EXPECT_EQ(Le32(b, 44), 2u);
    EXPECT_EQ(Le16(b, 48), 1u);
    EXPECT_EQ(Le16(b, 50), 6u);
    for (size_t i = 52; i < 64; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[64], 0x80);
    EXPECT_EQ(b[65], 0);
    EXPECT_EQ(b[66], 0x29);
    EXPECT_EQ(Le32(b, 67), 0x0E830C05u);
    EXPECT_EQ(Text(b, 71, 11), "DATA       ");
    EXPECT_EQ(Text(b, 82, 8), "FAT32   ");
    for (size_t i = 90; i < 510; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);
    EXPECT_EQ(region_->Sector(6), b);
}

TEST_F(Fat32Image, FsInfoAndReservedSectors) {
    Format(k2GiB, "DATA");
    const Sector f = region_->Sector(1);
    EXPECT_EQ(Text(f, 0, 4), "RRaA");
    EXPECT_EQ(Text(f, 484, 4), "rrAa");
    EXPECT_EQ(Le32(f, 488), 523264u - 3);
    EXPECT_EQ(Le32(f, 492), 3u);
    EXPECT_EQ(Le32(f, 508), 0xAA550000u);
    for (size_t i = 4; i < 484; ++i) ASSERT_EQ(f[i], 0) << i;
    EXPECT_EQ(region_->Sector(7), f);
    for (uint32_t s : {2u, 3u, 4u, 5u, 8u, 20u, 31u}) {
        EXPECT_TRUE(region_->Written(s)) << s;
        EXPECT_TRUE(AllZero(region_->Sector(s))) << s;
    }
}

TEST_F(Fat32Image, FatsEndWithTheFinalFirstSector) {
    Format(k2GiB, "DATA");
    const uint8_t final[12] = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    for (uint32_t first : {32u, 32u + 4088u}) {
        const Sector s = region_->Sector(first);
        EXPECT_EQ(0, std::memcmp(s.data(), final, 12)) << first;
        EXPECT_TRUE(AllZero(s, 12));
        EXPECT_TRUE(AllZero(region_->Sector(first + 1)));
        EXPECT_TRUE(AllZero(region_->Sector(first + 4087)));
    }
    // The first FAT sectors are written twice: the preliminary content before everything else, the
    // final content as the very last two writes.
    const auto& r = region_->Requests();
    ASSERT_GE(r.size(), 4u);
    EXPECT_EQ(r[r.size() - 2].lba, 32u);
    EXPECT_EQ(r[r.size() - 1].lba, 32u + 4088u);
    int firstSectorWrites = 0;
    for (const auto& q : r) {
        if (q.count == 1 && q.lba == 32) ++firstSectorWrites;
    }
    EXPECT_EQ(firstSectorWrites, 2);
}

TEST_F(Fat32Image, FatZeroingUsesEightMiBPiecesOfSixtyFourKiBTransfers) {
    Format(32769 * kMiB, "DATA");  // F = 8191: one piece per FAT
    const auto& r = region_->Requests();
    // 2 pieces x 128 transfers of 128 sectors come first, the second FAT's piece starting at 32 + F.
    ASSERT_GE(r.size(), 256u);
    for (size_t i = 0; i < 256; ++i) ASSERT_EQ(r[i].count, 128u) << i;
    EXPECT_EQ(r[0].lba, 32u);
    EXPECT_EQ(r[127].lba, 32u + 16384 - 128);
    EXPECT_EQ(r[128].lba, 32u + 8191);
    EXPECT_EQ(r[255].lba, 32u + 8191 + 16384 - 128);
    for (const auto& q : r) ASSERT_LE(q.count, kMaxTransferSectors);
}

TEST_F(Fat32Image, RootDirectoryHoldsTheLabelWithTimeAndDate) {
    Format(k2GiB, "Backup 2024");
    const Sector root = region_->Sector(8208);
    EXPECT_EQ(Text(root, 0, 11), "Backup 2024");
    EXPECT_EQ(root[11], 0x08);
    EXPECT_EQ(Le16(root, 22), 14u * 2048 + 7 * 32 + 4);
    EXPECT_EQ(Le16(root, 24), 44u * 512 + 3 * 32 + 5);
    EXPECT_TRUE(AllZero(root, 32));
    for (uint32_t s = 8209; s < 8216; ++s) {
        EXPECT_TRUE(region_->Written(s));
        EXPECT_TRUE(AllZero(region_->Sector(s)));
    }
    // The data area is left alone past the last 8 MiB piece of the second FAT.
    EXPECT_FALSE(region_->Written(32 + 4088 + 16384));
    EXPECT_EQ(Text(region_->Sector(0), 71, 11), "Backup 2024");
}

TEST_F(Fat32Image, EmptyLabelLeavesNoLabelEntry) {
    Format(1050623, "");
    EXPECT_TRUE(AllZero(region_->Sector(p_.firstDataSector)));
    EXPECT_EQ(Text(region_->Sector(0), 71, 11), "NO NAME    ");
    EXPECT_EQ(region_->Sector(0)[13], 1);
}

TEST_F(Fat32Image, NoWriteLeavesTheLargestRegion) {
    Format(0xFFFFFFFFu, "BIG");
    EXPECT_EQ(region_->Violations(), 0);
    EXPECT_EQ(Le32(region_->Sector(0), 32), 0xFFFFFFFFu);
    EXPECT_EQ(region_->Sector(0)[13], 64);
}

TEST(Fat32Refusal, BadLabelsAndSizesWriteNothing) {
    struct Case {
        uint32_t sectors;
        std::string label;
    };
    const Case cases[] = {
        {k2GiB, "TWELVE CHARS"}, {k2GiB, "A.B"},  {k2GiB, "A/B"}, {k2GiB, std::string("A\tB")},
        {k2GiB, "A?"},           {k2GiB, "\xE5X"}, {66580, "OK"},  {1, "OK"}, {0, ""},
        // Bytes above 0x7F: UTF-8 "Café", code page 850 "CAFÉ", a DEL.
        {k2GiB, "Caf\xC3\xA9"},  {k2GiB, "CAF\x90"}, {k2GiB, "A\x7F"},
    };
    for (const Case& c : cases) {
        MemoryRegion region(c.sectors);
        EXPECT_FALSE(FormatFat32(region, c.sectors, c.label, kTime)) << c.sectors << " " << c.label;
        EXPECT_TRUE(region.Requests().empty());
    }
}

TEST(Fat32Failure, StopsAtTheFirstFailedWrite) {
    for (int64_t failing : {0, 100, 130, 140}) {
        MemoryRegion region(k2GiB);
        region.FailRequest(failing);
        EXPECT_FALSE(FormatFat32(region, k2GiB, "X", kTime));
        EXPECT_EQ(static_cast<int64_t>(region.Requests().size()), failing + 1);
    }
}

// ---------------------------------------------------------------- exFAT layout

struct ExfatCase {
    uint32_t sectors;
    uint32_t e;
    uint32_t heap;
    uint32_t clusters;
    uint32_t bitmapClusters;
};

TEST(ExfatLayout, ClusterSizeHeapAndBitmapAroundEveryThreshold) {
    const ExfatCase cases[] = {
        {2496, 6, 2304, 3, 1},                // smallest region that holds bitmap, up-case and root
        {1050623, 6, 2304, 16379, 1},
        {262141 * 64 + 1, 6, 4096, 262077, 1},
        {262142 * 64 + 1, 6, 4352, 262074, 2},  // one more cluster needs a second bitmap cluster
        {k16GiB, 6, 6400, 524188, 3},           // 16 GiB keeps 32 KiB clusters
        {k16GiB + kMiB, 7, 4352, 262126, 1},    // one MiB more: 64 KiB
        {65537u * kMiB, 8, 6400, 524271, 1},
        {131073u * kMiB, 9, 6400, 524279, 1},
        {0xFFFFFFFFu, 9, 67840, 8388475, 5},
    };
    for (const ExfatCase& c : cases) {
        SCOPED_TRACE(c.sectors);
        ExfatLayout l;
        ASSERT_TRUE(ComputeExfatLayout(c.sectors, &l));
        EXPECT_EQ(l.sectorsPerClusterShift, c.e);
        EXPECT_EQ(l.clusterShift, c.e + 9);
        EXPECT_EQ(l.clusterHeapOffset, c.heap);
        EXPECT_EQ(l.fatLength, c.heap - 2048);
        EXPECT_EQ(l.clusterCount, c.clusters);
        EXPECT_EQ(l.bitmapClusters, c.bitmapClusters);
        EXPECT_EQ(l.rootCluster, c.bitmapClusters + 3);
        // The FAT has an entry for every cluster.
        EXPECT_GE(uint64_t{l.fatLength} * 128, uint64_t{l.clusterCount} + 2);
    }
    ExfatLayout l;
    for (uint32_t sectors : {0u, 1u, 2u, 2304u, 2495u}) EXPECT_FALSE(ComputeExfatLayout(sectors, &l)) << sectors;
}

// ---------------------------------------------------------------- exFAT image

class ExfatImage : public ::testing::Test {
protected:
    void Format(uint32_t sectors, const std::u16string& label) {
        region_ = std::make_unique<MemoryRegion>(sectors);
        ASSERT_TRUE(ComputeExfatLayout(sectors, &l_));
        ASSERT_TRUE(FormatExfat(*region_, sectors, label, 0x44332211));
        EXPECT_EQ(region_->Violations(), 0);
    }
    std::vector<uint8_t> Bytes(uint32_t first, uint32_t count) const {
        std::vector<uint8_t> out;
        for (uint32_t i = 0; i < count; ++i) {
            const Sector s = region_->Sector(first + i);
            out.insert(out.end(), s.begin(), s.end());
        }
        return out;
    }
    std::unique_ptr<MemoryRegion> region_;
    ExfatLayout l_;
};

TEST_F(ExfatImage, BootSector) {
    Format(k16GiB, u"Archive");
    const Sector b = region_->Sector(0);
    const uint8_t jump[] = {0xEB, 0x76, 0x90};
    EXPECT_EQ(0, std::memcmp(b.data(), jump, 3));
    EXPECT_EQ(Text(b, 3, 8), "EXFAT   ");
    for (size_t i = 11; i < 64; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(Le64(b, 64), 0u);
    EXPECT_EQ(Le64(b, 72), k16GiB);
    EXPECT_EQ(Le32(b, 80), 2048u);
    EXPECT_EQ(Le32(b, 84), 6400u - 2048);
    EXPECT_EQ(Le32(b, 88), 6400u);
    EXPECT_EQ(Le32(b, 92), 524188u);
    EXPECT_EQ(Le32(b, 96), 6u);
    EXPECT_EQ(Le32(b, 100), 0x44332211u);
    EXPECT_EQ(Le16(b, 104), 0x0100u);
    EXPECT_EQ(Le16(b, 106), 0u);
    EXPECT_EQ(b[108], 9);
    EXPECT_EQ(b[109], 6);
    EXPECT_EQ(b[110], 1);
    EXPECT_EQ(b[111], 0x80);
    EXPECT_EQ(b[112], 0);
    for (size_t i = 113; i < 510; ++i) ASSERT_EQ(b[i], 0) << i;
    EXPECT_EQ(Le16(b, 510), 0xAA55u);
}

TEST_F(ExfatImage, BootRegionChecksumAndBackup) {
    Format(k16GiB, u"Archive");
    for (uint32_t s = 1; s <= 8; ++s) {
        Sector x = region_->Sector(s);
        EXPECT_EQ(Le16(x, 510), 0xAA55u) << s;
        x[510] = x[511] = 0;
        EXPECT_TRUE(AllZero(x)) << s;
    }
    EXPECT_TRUE(AllZero(region_->Sector(9)));
    EXPECT_TRUE(AllZero(region_->Sector(10)));

    // The checksum as the published exFAT format defines it, leaving out VolumeFlags and PercentInUse.
    std::vector<uint8_t> main = Bytes(0, 12);
    uint32_t sum = 0;
    for (size_t i = 0; i < 11 * 512; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + main[i];
    }
    const Sector c = region_->Sector(11);
    for (size_t i = 0; i < 512; i += 4) ASSERT_EQ(Le32(c, i), sum) << i;
    EXPECT_EQ(ExfatBootChecksum(main.data()), sum);
    main[106] = 1;
    main[112] = 50;
    EXPECT_EQ(ExfatBootChecksum(main.data()), sum);
    main[113] = 1;
    EXPECT_NE(ExfatBootChecksum(main.data()), sum);

    EXPECT_EQ(Bytes(12, 12), Bytes(0, 12));
    EXPECT_FALSE(region_->Written(24));  // the FAT alignment area is left alone
}

TEST_F(ExfatImage, FirstFatSectorChainsTheSystemClusters) {
    Format(k16GiB, u"Archive");  // b = 3: bitmap 2-4, up-case 5, root 6
    const Sector f = region_->Sector(2048);
    const uint32_t want[] = {0xFFFFFFF8, 0xFFFFFFFF, 3, 4, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(Le32(f, 4 * i), want[i]) << i;
    EXPECT_TRUE(AllZero(f, 28));
    EXPECT_FALSE(region_->Written(2049));  // only the first FAT sector is written
}

TEST_F(ExfatImage, AllocationBitmapMarksTheSystemClusters) {
    struct Case {
        uint32_t sectors;
        uint8_t firstByte;
    };
    for (const Case& c : {Case{k16GiB, 0x1F}, Case{1050623, 0x07}, Case{0xFFFFFFFFu, 0x7F}}) {
        Format(c.sectors, u"");
        const uint32_t first = l_.clusterHeapOffset;
        const Sector s = region_->Sector(first);
        EXPECT_EQ(s[0], c.firstByte) << c.sectors;
        EXPECT_TRUE(AllZero(s, 1));
        const uint32_t last = first + l_.bitmapClusters * l_.SectorsPerCluster() - 1;
        EXPECT_TRUE(region_->Written(last));
        EXPECT_TRUE(AllZero(region_->Sector(last)));
    }
}

TEST_F(ExfatImage, UpcaseTableFollowsTheBitmap) {
    Format(k16GiB, u"Archive");
    const uint32_t first = l_.clusterHeapOffset + 3 * 64;
    const std::vector<uint8_t> table = Bytes(first, 12);
    EXPECT_EQ(ExfatTableChecksum(table.data(), kExfatUpcaseBytes), kExfatUpcaseChecksum);
    for (size_t i = kExfatUpcaseBytes; i < table.size(); ++i) ASSERT_EQ(table[i], 0) << i;
    EXPECT_FALSE(region_->Written(first + 12));
}

TEST_F(ExfatImage, RootDirectoryEntries) {
    Format(k16GiB, u"Archive");
    const uint32_t first = l_.clusterHeapOffset + 4 * 64;
    const Sector r = region_->Sector(first);
    EXPECT_EQ(r[0], 0x83);
    EXPECT_EQ(r[1], 7);
    const std::u16string label = u"Archive";
    for (size_t i = 0; i < label.size(); ++i) EXPECT_EQ(Le16(r, 2 + 2 * i), label[i]);
    EXPECT_EQ(r[32], 0x81);
    EXPECT_EQ(r[33], 0);
    EXPECT_EQ(Le32(r, 52), 2u);
    EXPECT_EQ(Le64(r, 56), (524188u - 1) / 8 + 1);
    EXPECT_EQ(r[64], 0x82);
    EXPECT_EQ(Le32(r, 68), 0xE619D30Du);
    EXPECT_EQ(Le32(r, 84), 5u);
    EXPECT_EQ(Le64(r, 88), 5836u);
    EXPECT_TRUE(AllZero(r, 96));
    EXPECT_TRUE(region_->Written(first + 63));
    EXPECT_TRUE(AllZero(region_->Sector(first + 63)));
    EXPECT_FALSE(region_->Written(first + 64));
}

TEST_F(ExfatImage, LabelEntryTypeFollowsTheLabel) {
    Format(1050623, u"");
    Sector r = region_->Sector(l_.clusterHeapOffset + 2 * 64);
    EXPECT_EQ(r[0], 0x03);
    EXPECT_EQ(r[1], 0);
    Format(1050623, u"\u00c9t\u00e9 2024 \u2603!");  // 11 UTF-16 characters
    r = region_->Sector(l_.clusterHeapOffset + 2 * 64);
    EXPECT_EQ(r[0], 0x83);
    EXPECT_EQ(r[1], 11);
    EXPECT_EQ(Le16(r, 2), 0x00C9u);
    EXPECT_EQ(Le16(r, 2 + 2 * 9), 0x2603u);
}

TEST(ExfatRefusal, BadLabelsAndSizesWriteNothing) {
    struct Case {
        uint32_t sectors;
        std::u16string label;
    };
    const Case cases[] = {
        {k16GiB, u"twelve chars"}, {k16GiB, u"a:b"}, {k16GiB, u"a\u0001"}, {k16GiB, u"a|b"},
        {2495, u"ok"},             {1, u"ok"},       {0, u""},
    };
    for (const Case& c : cases) {
        MemoryRegion region(c.sectors);
        EXPECT_FALSE(FormatExfat(region, c.sectors, c.label, 1)) << c.sectors;
        EXPECT_TRUE(region.Requests().empty());
    }
}

TEST(ExfatFailure, StopsAtTheFirstFailedWrite) {
    for (int64_t failing : {0, 1, 2, 3, 5}) {
        MemoryRegion region(k16GiB);
        region.FailRequest(failing);
        EXPECT_FALSE(FormatExfat(region, k16GiB, u"X", 1));
        EXPECT_EQ(static_cast<int64_t>(region.Requests().size()), failing + 1);
    }
}

// ---------------------------------------------------------------- up-case table, labels, names

TEST(UpcaseTable, ChecksumAndMandatoryMappings) {
    std::vector<uint8_t> bytes(kExfatUpcaseBytes);
    ExfatUpcaseBytes(bytes.data());
    EXPECT_EQ(ExfatTableChecksum(bytes.data(), kExfatUpcaseBytes), 0xE619D30Du);
    // Expanded, the table maps every UTF-16 code unit; the first 128 mappings are fixed.
    std::vector<uint16_t> map;
    for (uint32_t i = 0; i < kExfatUpcaseEntries; ++i) {
        if (kExfatUpcaseTable[i] == 0xFFFF && i + 1 < kExfatUpcaseEntries) {
            const uint32_t run = kExfatUpcaseTable[++i];
            for (uint32_t k = 0; k < run; ++k) map.push_back(static_cast<uint16_t>(map.size()));
        } else {
            map.push_back(kExfatUpcaseTable[i]);
        }
    }
    ASSERT_EQ(map.size(), 65536u);
    for (uint32_t c = 0; c < 128; ++c) {
        EXPECT_EQ(map[c], (c >= 'a' && c <= 'z') ? c - 32 : c) << c;
    }
    EXPECT_EQ(map[0x00E9], 0x00C9);  // é
    EXPECT_EQ(map[0x03C9], 0x03A9);  // ω
    EXPECT_EQ(map[0xFF41], 0xFF21);  // fullwidth a
    EXPECT_EQ(map[0x4E00], 0x4E00);
}

TEST(FormatFront, FileSystemNamesAndUtf8Labels) {
    FileSystemKind kind;
    EXPECT_TRUE(ParseFileSystemName("FaT32", &kind));
    EXPECT_EQ(kind, FileSystemKind::Fat32);
    EXPECT_TRUE(ParseFileSystemName("EXFAT", &kind));
    EXPECT_EQ(kind, FileSystemKind::Exfat);
    for (const char* bad : {"fat", "ntfs", "exfat ", "", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(ParseFileSystemName(bad, &kind));
    }

    std::u16string out;
    EXPECT_TRUE(Utf8ToUtf16("A\xC3\xA9\xE2\x98\x83\xF0\x9F\x98\x80", &out));
    EXPECT_EQ(out, (std::u16string{u'A', 0x00E9, 0x2603, 0xD83D, 0xDE00}));
    for (const char* bad : {"\xC3", "\xC0\x80", "\xED\xA0\x80", "\xFF", "\xE2\x98"}) {
        EXPECT_FALSE(Utf8ToUtf16(bad, &out)) << bad;
    }
}

TEST(FormatFront, CanFormatChecksBeforeAnyWrite) {
    FormatOptions o{};
    o.fat32Label = "OK";
    o.exfatLabel = u"ok";
    o.time = kTime;
    EXPECT_TRUE(CanFormat(FileSystemKind::Fat32, 66581, o));
    EXPECT_FALSE(CanFormat(FileSystemKind::Fat32, 66580, o));
    EXPECT_TRUE(CanFormat(FileSystemKind::Exfat, 2496, o));
    o.exfatLabel = u"much too long";
    EXPECT_FALSE(CanFormat(FileSystemKind::Exfat, k16GiB, o));
    MemoryRegion region(k16GiB);
    EXPECT_FALSE(FormatRegion(FileSystemKind::Exfat, region, k16GiB, o));
    EXPECT_TRUE(region.Requests().empty());
}

}  // namespace
}  // namespace quillon
