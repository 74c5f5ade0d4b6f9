// The region exports against the virtual bridge: sizes, queries, ISO writing, and formatting both
// regions with their locks, waits and refusals.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "region_fixture.h"

namespace quillon::testing {
namespace {

std::string Text(const std::array<std::uint8_t, kBlockSize>& b, std::size_t at, std::size_t n) {
    return std::string(b.begin() + at, b.begin() + at + n);
}
std::uint32_t Le32(const std::array<std::uint8_t, kBlockSize>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// ------------------------------------------------------------------ sizes

struct SizeCase {
    std::vector<RegionEntry> regions;
    std::uint32_t reservedCount;
    int expected;
};

TEST_F(RegionTest, WholeDiskSizeFromRegionTableAndReservedArea) {
    Attach(1u << 21);
    const SizeCase cases[] = {
        {{{1, 0, (1u << 21) - 1, 512}}, 0, (1 << 21) - 4},
        {{{1, 0, (1u << 21) - 1, 512}}, 0x100, (1 << 21) - 0x404},
        // Two counted entries: twice the smaller; type 3 does not count.
        {{{1, 0, 999, 4096}, {2, 0, 7999, 512}, {3, 0, 5, 512}}, 1, 2 * 8000 - 8},
        {{{1, 0, 3, 512}}, 0, 0},       // the reserved area takes it all
        {{{1, 0, 2, 512}}, 0, -1},      // and more than all
        {{{3, 0, 99, 512}}, 0, -1},     // nothing counted
        {{{1, 0, 0xFFFFFFFFu, 512}}, 0, -4 - 0},  // 2^32 - 4 sectors: the same 32 bits as an int
        // 2 TiB and more does not fit 32-bit sectors; it must not wrap into a small size.
        {{{1, 0, 0xFFFFFFFFu, 4096}}, 0, -1},
        {{{1, 0, 999, 512}}, 0x40000000u, -1},  // 4 x count + 4 overflows 32 bits
    };
    for (const SizeCase& c : cases) {
        controller->regions = c.regions;
        controller->memory.WriteBe32(0x30820, c.reservedCount);
        EXPECT_EQ(GetWholeDiskSize(kDrive1), c.expected) << c.regions[0].lastBlock;
    }
}

TEST_F(RegionTest, WholeDiskSizeFailures) {
    Attach(1u << 21);
    EXPECT_EQ(GetWholeDiskSize("\\\\.\\PhysicalDrive9"), -1);
    EXPECT_EQ(GetWholeDiskSize(nullptr), -1);
    EXPECT_EQ(GetWholeDiskSize("\\\\.\\PhysicalDrive1234567890123"), -1);  // 25 characters
    bridge.AddFault({MatchVendor(0x21), FaultKind::Fail});
    EXPECT_EQ(GetWholeDiskSize(kDrive1), -1);
    bridge.AddFault({MatchVendor(0x47), FaultKind::ShortReply});
    EXPECT_EQ(GetWholeDiskSize(kDrive1), -1);
}

TEST_F(RegionTest, SetCipherDiskSizeChecksTheSizeAndSetsTheFullFlag) {
    Attach(1u << 21);
    const int whole = (1 << 21) - 4;
    struct Case {
        int size;
        int result;
        int fullFlag;  // -1: no command sent
    };
    for (const Case& c : {Case{0, 1, 0}, Case{4096, 1, 0}, Case{whole, 1, 1}, Case{whole + 1, 0, -1}, Case{-1, 0, -1}}) {
        bridge.ClearLog();
        EXPECT_EQ(SetCipherDiskSize(kDrive1, c.size), c.result) << c.size;
        const auto sent = bridge.LogMatching(MatchVendor(0x5D, 0x03));
        if (c.fullFlag < 0) {
            EXPECT_TRUE(sent.empty());
            continue;
        }
        ASSERT_EQ(sent.size(), 1u);
        const std::uint32_t le = sent[0].cdb[3] | (sent[0].cdb[4] << 8) | (sent[0].cdb[5] << 16) |
                                 (static_cast<std::uint32_t>(sent[0].cdb[6]) << 24);
        EXPECT_EQ(le, static_cast<std::uint32_t>(c.size));
        EXPECT_EQ(sent[0].cdb[7], c.fullFlag);
        EXPECT_EQ(controller->cipherDisk.BlockCount(), static_cast<std::uint64_t>(c.size));
        EXPECT_EQ(controller->publicDisk.BlockCount(), static_cast<std::uint64_t>(whole - c.size));
    }
}

// ------------------------------------------------------------------ queries

TEST_F(RegionTest, RegionQueriesReadTheReplyByte) {
    Attach(1u << 21);
    EXPECT_EQ(IsPublicRegion(kDrive1), 1);
    EXPECT_EQ(IsPublicRegion(kDrive2), 0);
    EXPECT_EQ(IsPublicRegion("\\\\.\\PhysicalDrive7"), 0);

    unsigned char state = 0xEE;
    for (std::uint8_t reply : {0, 1, 2}) {
        controller->encryptStateByte = reply;
        EXPECT_EQ(GetEncryptState(kDrive1, &state), 1);
        EXPECT_EQ(state, reply == 1 ? 1 : 0);
    }
    state = 0xEE;
    EXPECT_EQ(GetEncryptState("\\\\.\\PhysicalDrive7", &state), 0);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(GetEncryptState(kDrive1, nullptr), 0);

    EXPECT_EQ(HasPassword(kDrive1), 0);
    controller->passwords.entries.push_back({});
    EXPECT_EQ(HasPassword(kDrive1), 1);
    bridge.AddFault({MatchVendor(0x5D, 0x02), FaultKind::ShortReply});
    EXPECT_EQ(HasPassword(kDrive1), 0);
}

// ------------------------------------------------------------------ ISO image

class IsoTest : public RegionTest {
protected:
    void SetUp() override {
        bridge.AttachCdRom(3);
        file_ = ::testing::TempDir() + "region_iso_test.iso";
    }
    void TearDown() override { std::remove(file_.c_str()); }
    void WriteFile(const std::vector<std::uint8_t>& bytes) {
        std::FILE* f = std::fopen(file_.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        if (!bytes.empty()) {
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        }
        std::fclose(f);
    }
    std::string file_;
};

TEST_F(IsoTest, PiecesOf64KiBWithTheTailPadded) {
    std::vector<std::uint8_t> bytes(2 * 65536 + 1000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    WriteFile(bytes);
    ASSERT_EQ(WriteIsoFile("\\\\.\\CDROM3", file_.c_str()), 1);
    const auto sent = bridge.LogMatching(MatchVendor(0x48));
    ASSERT_EQ(sent.size(), 3u);
    const std::uint32_t lba[] = {0, 128, 256};
    const std::uint32_t count[] = {128, 128, 2};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].cdb[2], 0x2A);
        EXPECT_EQ((sent[i].cdb[4] << 24) | (sent[i].cdb[5] << 16) | (sent[i].cdb[6] << 8) | sent[i].cdb[7],
                  static_cast<int>(lba[i]));
        EXPECT_EQ((sent[i].cdb[9] << 8) | sent[i].cdb[10], static_cast<int>(count[i]));
        EXPECT_EQ(sent[i].transferLength, count[i] * 512);
    }
    std::vector<std::uint8_t> back(3 * 65536, 0xEE);
    bridge.Device("\\\\.\\CDROM3")->Disk().ReadBytes(0, back.data(), 2 * 65536 + 1024);
    EXPECT_EQ(0, std::memcmp(back.data(), bytes.data(), bytes.size()));
    for (std::size_t i = bytes.size(); i < 2 * 65536 + 1024; ++i) ASSERT_EQ(back[i], 0) << i;
}

TEST_F(IsoTest, BadInputAndFailedTransfers) {
    EXPECT_EQ(WriteIsoFile("\\\\.\\CDROM3", (file_ + ".missing").c_str()), 0);
    EXPECT_EQ(WriteIsoFile("\\\\.\\CDROM3", nullptr), 0);
    WriteFile({});
    EXPECT_EQ(WriteIsoFile("\\\\.\\CDROM3", file_.c_str()), 0);  // nothing to write
    EXPECT_TRUE(bridge.LogMatching(MatchVendor(0x48)).empty());

    WriteFile(std::vector<std::uint8_t>(4 * 65536, 0x5A));
    Fault fault{MatchVendor(0x48), FaultKind::Fail};
    fault.skip = 1;
    bridge.AddFault(fault);
    EXPECT_EQ(WriteIsoFile("\\\\.\\CDROM3", file_.c_str()), 0);
    EXPECT_EQ(bridge.LogMatching(MatchVendor(0x48)).size(), 2u);  // stops at the failed piece
    EXPECT_EQ(WriteIsoFile("\\\\.\\CDROM9", file_.c_str()), 0);
}

// ------------------------------------------------------------------ formatting

constexpr std::uint32_t kRegion = 1u << 21;  // 1 GiB
constexpr std::uint32_t kWhole = kRegion - 4;

TEST_F(RegionTest, FormatsBothRegionsUnderLocks) {
    Attach(kRegion);
    Scribble(controller->publicDisk, 4096, 1);
    ASSERT_EQ(SetCipherDiskSizeAndFormat(524288, "FAT32", "PUBLIC", "SECRET"), 1);

    EXPECT_EQ(controller->cipherSize, 524288u);
    EXPECT_FALSE(controller->cipherFull);
    const auto pub = Block(controller->publicDisk, 0);
    EXPECT_EQ(Text(pub, 82, 8), "FAT32   ");
    EXPECT_EQ(Le32(pub, 32), kWhole - 524288);
    EXPECT_EQ(Text(pub, 71, 11), "PUBLIC     ");
    EXPECT_EQ(pub[13], 8);
    const auto sec = Block(controller->cipherDisk, 0);
    EXPECT_EQ(Le32(sec, 32), 524288u);
    EXPECT_EQ(Text(sec, 71, 11), "SECRET     ");
    EXPECT_EQ(sec[13], 1);
    // The root directory has the label entry with the virtual clock's date (2024-01-01).
    const auto root = Block(controller->cipherDisk, 32 + 2 * Le32(sec, 36));
    EXPECT_EQ(Text(root, 0, 11), "SECRET     ");
    EXPECT_EQ(root[24] | (root[25] << 8), 44 * 512 + 1 * 32 + 1);

    // Every write is one WRITE(10) of at most 64 KiB inside its disk.
    for (const CdbRecord& r : bridge.LogMatching(MatchOpcode(0x2A))) {
        ASSERT_TRUE(r.ok && r.scsiStatus == 0);
        ASSERT_LE(r.transferLength, 65536u);
    }
    // E: and F: were opened, allowed extended access and locked; after formatting dismounted and unlocked.
    using platform::VolumeControl;
    std::vector<std::pair<char, VolumeControl>> events;
    for (const VolumeEvent& e : bridge.VolumeEvents()) events.emplace_back(e.driveLetter, e.control);
    const std::vector<std::pair<char, VolumeControl>> want = {
        {'E', VolumeControl::AllowExtendedDasdIo}, {'E', VolumeControl::Lock},
        {'F', VolumeControl::AllowExtendedDasdIo}, {'F', VolumeControl::Lock},
        {'E', VolumeControl::Dismount},            {'E', VolumeControl::Unlock},
        {'F', VolumeControl::Dismount},            {'F', VolumeControl::Unlock},
    };
    EXPECT_EQ(events, want);
    // The cipher size was set before the first sector was written.
    const auto& log = bridge.Log();
    std::size_t sizeAt = log.size(), firstWrite = log.size();
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (sizeAt == log.size() && log[i].cdb[0] == 0x17 && log[i].cdb[1] == 0x5D && log[i].cdb[2] == 0x03) sizeAt = i;
        if (firstWrite == log.size() && log[i].cdb[0] == 0x2A) firstWrite = i;
    }
    EXPECT_LT(sizeAt, firstWrite);
}

TEST_F(RegionTest, ThePublicDeviceIsTheOneThatSaysSo) {
    // The cipher disk is enumerated first; the second device answers that it is public.
    controller = bridge.AttachDisk(1, nullptr, DiskRole::Cipher);
    bridge.AddVolume(1, 'E');
    bridge.AttachDisk(2, controller, DiskRole::Public);
    bridge.AddVolume(2, 'F');
    FollowRegionTable(*controller);
    bridge.SetLogDataLimit(0);
    ASSERT_EQ(SetCipherDiskSizeAndFormat(300000, "exfat", "Open", "Closed"), 1);
    for (const CdbRecord& r : bridge.LogMatching(MatchVendor(0x5D, 0x03))) EXPECT_EQ(r.path, kDrive2);
    const auto pub = Block(controller->publicDisk, 0);
    EXPECT_EQ(Text(pub, 3, 8), "EXFAT   ");
    EXPECT_EQ(pub[72] | (pub[73] << 8) | (pub[74] << 16), static_cast<int>(kWhole - 300000));
    EXPECT_EQ(Text(Block(controller->cipherDisk, 0), 3, 8), "EXFAT   ");
    EXPECT_NE(Le32(pub, 100), Le32(Block(controller->cipherDisk, 0), 100));  // two serial numbers
}

TEST_F(RegionTest, AllCipherLeavesThePublicRegionAlone) {
    Attach(kRegion);
    ASSERT_EQ(SetCipherDiskSizeAndFormat(static_cast<int>(kWhole), "fat32", "P", "C"), 1);
    EXPECT_TRUE(controller->cipherFull);
    EXPECT_EQ(Writes(kDrive1), 0u);
    EXPECT_GT(Writes(kDrive2), 0u);
    for (const VolumeEvent& e : bridge.VolumeEvents()) EXPECT_EQ(e.driveLetter, 'F');
}

TEST_F(RegionTest, OnlyThePublicDeviceWithoutPassword) {
    Attach(kRegion, false);
    ASSERT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", "P", "C"), 1);
    const auto sent = bridge.LogMatching(MatchVendor(0x5D, 0x03));
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].cdb[3] | sent[0].cdb[4] | sent[0].cdb[5] | sent[0].cdb[6], 0);  // cipher size 0
    EXPECT_EQ(Le32(Block(controller->publicDisk, 0), 32), kWhole - 524288);
    EXPECT_EQ(Writes(kDrive2), 0u);
}

TEST_F(RegionTest, OnlyTheCipherDeviceWhenItHasAPassword) {
    Attach(kRegion, false);
    controller->passwords.entries.push_back({});
    // The one device visible is the cipher side: its disk is the cipher disk.
    bridge.Device(kDrive1)->role = DiskRole::Cipher;
    ASSERT_EQ(SetCipherDiskSizeAndFormat(524288, "exfat", "P", "C"), 1);
    const auto b = Block(controller->cipherDisk, 0);
    EXPECT_EQ(Text(b, 3, 8), "EXFAT   ");
    EXPECT_EQ(b[72] | (b[73] << 8) | (b[74] << 16), 524288);
}

TEST_F(RegionTest, RefusesBeforeTouchingAnything) {
    Attach(kRegion);
    struct Case {
        int cipher;
        const char* fs;
        const char* publicLabel;
        const char* cipherLabel;
    };
    const Case cases[] = {
        {524288, "ntfs", "P", "C"},
        {524288, nullptr, "P", "C"},
        {-5, "fat32", "P", "C"},
        {static_cast<int>(kWhole) + 1, "fat32", "P", "C"},
        {1000, "fat32", "P", "C"},                        // cipher region too small for FAT32
        {1000, "exfat", "P", "C"},                        // and for exFAT
        {static_cast<int>(kWhole) - 2000, "exfat", "P", "C"},  // public region too small
        {524288, "fat32", "P", "BAD:LABEL"},
        {524288, "exfat", "P", "twelve chars"},
    };
    for (const Case& c : cases) {
        bridge.ClearLog();
        EXPECT_EQ(SetCipherDiskSizeAndFormat(c.cipher, c.fs, c.publicLabel, c.cipherLabel), 0) << c.cipher;
        EXPECT_TRUE(bridge.LogMatching(MatchVendor(0x5D, 0x03)).empty());
        EXPECT_TRUE(bridge.LogMatching(MatchOpcode(0x2A)).empty());
    }
    EXPECT_TRUE(bridge.VolumeEvents().empty());
}

TEST_F(RegionTest, LongFat32LabelsKeepTheirFirstElevenBytes) {
    Attach(kRegion);
    ASSERT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", "PUBLIC VOLUME", "C"), 1);
    EXPECT_EQ(Text(Block(controller->publicDisk, 0), 71, 11), "PUBLIC VOLU");
}

TEST_F(RegionTest, NullLabelsAreNoLabels) {
    Attach(kRegion);
    ASSERT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", nullptr, nullptr), 1);
    EXPECT_EQ(Text(Block(controller->publicDisk, 0), 71, 11), "NO NAME    ");
}

TEST_F(RegionTest, NoDeviceNoDriveLetterOrNoLockFailCleanly) {
    EXPECT_EQ(SetCipherDiskSizeAndFormat(0, "fat32", "P", "C"), 0);  // no bridge at all

    Attach(kRegion);
    bridge.Volumes()[1].driveLetter = 0;
    bridge.Volumes()[1].mountManagerAnswers = false;  // F: never gets its letter
    EXPECT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", "P", "C"), 0);
    // 11 tries 50 ms apart for F:, after E: had been locked; E: is released again.
    int pauses = 0;
    for (std::uint32_t ms : bridge.Sleeps()) pauses += ms == 50;
    EXPECT_EQ(pauses, 10);
    ASSERT_FALSE(bridge.VolumeEvents().empty());
    EXPECT_EQ(bridge.VolumeEvents().back().control, platform::VolumeControl::Unlock);
    EXPECT_EQ(Writes(kDrive1) + Writes(kDrive2), 0u);
    EXPECT_TRUE(bridge.LogMatching(MatchVendor(0x5D, 0x03)).empty());
}

TEST_F(RegionTest, LockTriedTwentyTimesThenRefused) {
    Attach(kRegion);
    bridge.FailVolumeControl(platform::VolumeControl::Lock, 20);
    EXPECT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", "P", "C"), 0);
    int locks = 0;
    for (const VolumeEvent& e : bridge.VolumeEvents()) locks += e.control == platform::VolumeControl::Lock;
    EXPECT_EQ(locks, 20);
    EXPECT_EQ(Writes(kDrive1) + Writes(kDrive2), 0u);

    // Nineteen failures and the twentieth try holds.
    bridge.FailVolumeControl(platform::VolumeControl::Lock, 19);
    EXPECT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", "P", "C"), 1);
}

TEST_F(RegionTest, CipherDiskThatNeverAppearsEndsTheWait) {
    Attach(kRegion);
    bridge.Device(kDrive2)->geometryFailures = 1000000;
    const std::uint64_t before = bridge.NowMilliseconds();
    EXPECT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", "P", "C"), 0);
    const std::uint64_t waited = bridge.NowMilliseconds() - before;
    EXPECT_GE(waited, 30000u);
    EXPECT_LT(waited, 31000u);
    EXPECT_EQ(Writes(kDrive2), 0u);
    EXPECT_GT(Writes(kDrive1), 0u);  // the public region had been formatted already
    EXPECT_EQ(bridge.VolumeEvents().back().control, platform::VolumeControl::Unlock);

    // A disk that shows up after a few queries is waited for.
    bridge.Device(kDrive2)->geometryFailures = 5;
    EXPECT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", "P", "C"), 1);
}

TEST_F(RegionTest, FailedWriteEndsTheFormat) {
    Attach(kRegion);
    Fault fault{MatchOpcode(0x2A), FaultKind::CheckCondition};
    fault.skip = 10;
    bridge.AddFault(fault);
    EXPECT_EQ(SetCipherDiskSizeAndFormat(524288, "fat32", "P", "C"), 0);
    EXPECT_EQ(Writes(kDrive1), 11u);
    EXPECT_EQ(Writes(kDrive2), 0u);
    EXPECT_EQ(bridge.VolumeEvents().back().control, platform::VolumeControl::Unlock);
}

}  // namespace
}  // namespace quillon::testing
