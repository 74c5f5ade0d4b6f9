// Both regions of a virtual bridge formatted through SetCipherDiskSizeAndFormat, each disk written out
// as an image and judged by the system's checkers (Linux: dosfstools, exfatprogs).

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "region_fixture.h"

namespace quillon::testing {
namespace {

std::pair<int, std::string> Shell(const std::string& command) {
    std::string output;
    FILE* pipe = popen(("PATH=$PATH:/usr/sbin:/sbin " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return {-1, output};
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
    const int raw = pclose(pipe);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, output};
}

// A sparse image of the disk: only blocks holding something other than zeros are written.
bool ExportSparse(const SparseDisk& disk, const std::string& file) {
    const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = ftruncate(fd, static_cast<off_t>(disk.BlockCount() * kBlockSize)) == 0;
    std::array<std::uint8_t, kBlockSize> block;
    for (std::uint64_t b = 0; ok && b < disk.BlockCount(); ++b) {
        if (!disk.Read(b, block.data())) return false;
        if (std::all_of(block.begin(), block.end(), [](std::uint8_t x) { return x == 0; })) continue;
        ok = pwrite(fd, block.data(), kBlockSize, static_cast<off_t>(b * kBlockSize)) == kBlockSize;
    }
    return close(fd) == 0 && ok;
}

class RegionCheckerTest : public RegionTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/bridge_region_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { Shell("rm -rf '" + dir_ + "'"); }

    std::string Export(const SparseDisk& disk, const char* name) {
        const std::string file = dir_ + "/" + name;
        EXPECT_TRUE(ExportSparse(disk, file));
        return file;
    }
    std::string dir_;
};

constexpr std::uint32_t kRegion = 409600;  // 200 MiB, of which 64 MiB cipher

TEST_F(RegionCheckerTest, Fat32OnBothRegions) {
    Attach(kRegion);
    Scribble(controller->publicDisk, 8192, 7);
    controller->cipherDisk.SetBlockCount(8192);  // stale data the cipher disk shows once it is sized
    Scribble(controller->cipherDisk, 8192, 8);
    ASSERT_EQ(SetCipherDiskSizeAndFormat(131072, "fat32", "OPEN", "LOCKED"), 1);
    for (auto [disk, label] : {std::pair<SparseDisk*, const char*>{&controller->publicDisk, "OPEN"},
                               {&controller->cipherDisk, "LOCKED"}}) {
        const std::string image = Export(*disk, label);
        const auto fsck = Shell("fsck.fat -n '" + image + "'");
        EXPECT_EQ(fsck.first, 0) << fsck.second;
        EXPECT_EQ(Shell("fatlabel '" + image + "'").second, std::string(label) + "\n");
    }
}

TEST_F(RegionCheckerTest, ExfatOnBothRegions) {
    Attach(kRegion);
    Scribble(controller->publicDisk, 8192, 9);
    ASSERT_EQ(SetCipherDiskSizeAndFormat(131072, "EXFAT", "open", "locked"), 1);
    for (auto [disk, label] : {std::pair<SparseDisk*, const char*>{&controller->publicDisk, "open"},
                               {&controller->cipherDisk, "locked"}}) {
        const std::string image = Export(*disk, label);
        const auto fsck = Shell("fsck.exfat -n -v '" + image + "'");
        EXPECT_EQ(fsck.first, 0) << fsck.second;
        EXPECT_NE(fsck.second.find(std::string("label: ") + label + "\n"), std::string::npos) << fsck.second;
    }
}

}  // namespace
}  // namespace quillon::testing
