// Formats regions of every interesting size as image files that start out full of random bytes, then
// lets the system's own file-system checkers judge them: fsck.fat and mdir for FAT32, fsck.exfat for
// exFAT. The checkers must find a clean volume with the label and cluster size asked for.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Outcome {
    int status;
    std::string output;
};

Outcome Shell(const std::string& command) {
    Outcome run{-1, {}};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return run;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) run.output.append(buf, n);
    const int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

bool HaveTool(const char* tool) {
    return Shell(std::string("PATH=$PATH:/usr/sbin:/sbin command -v ") + tool).status == 0;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class CheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"fsck.fat", "fatlabel", "fsck.exfat", "mdir"}) {
            ASSERT_TRUE(HaveTool(tool)) << tool << " is missing: run scripts/install-deps.sh";
        }
        char pattern[] = "/tmp/bridge_format_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        image_ = dir_ + "/region.img";
    }
    void TearDown() override {
        if (!dir_.empty()) Shell("rm -rf " + Quote(dir_));
    }

    void Format(const char* fs, uint32_t sectors, const std::string& label, unsigned seed) {
        const Outcome run = Shell(std::string(FORMAT_IMAGE) + " " + fs + " " + Quote(image_) + " " +
                              std::to_string(sectors) + " " + Quote(label) + " --noise " + std::to_string(seed));
        ASSERT_EQ(run.status, 0) << run.output;
    }

    std::string dir_;
    std::string image_;
};

const char* const kSbin = "PATH=$PATH:/usr/sbin:/sbin ";

struct Fat32Case {
    uint32_t sectors;
    uint32_t clusterBytes;
    const char* label;
};

TEST_F(CheckerTest, Fat32VolumesAreClean) {
    const Fat32Case cases[] = {
        {66581, 512, "SMALLEST"},
        {1050623, 512, "HALF GIG"},
        {1050624, 4096, "Half Gig 1"},
        {4194304, 4096, "TWO_GIB"},
        {16779264, 8192, "8G_1M"},
        {33554432, 8192, "16GIB"},
        {67108864, 16384, "32GIB"},
        {67110912, 32768, "32GIB 1M"},
        {134250496, 32768, "FAT 16385"},  // the FATs take one sector more than two 8 MiB pieces
        {536870912, 32768, "256GIB"},
        {0xFFFFFFFFu, 32768, "LIMIT"},
    };
    unsigned seed = 1;
    for (const Fat32Case& c : cases) {
        SCOPED_TRACE(c.sectors);
        ASSERT_NO_FATAL_FAILURE(Format("fat32", c.sectors, c.label, seed++));
        const Outcome fsck = Shell(std::string(kSbin) + "fsck.fat -n -v " + Quote(image_));
        EXPECT_EQ(fsck.status, 0) << fsck.output;
        EXPECT_NE(fsck.output.find(" " + std::to_string(c.clusterBytes) + " bytes per cluster"), std::string::npos)
            << fsck.output;
        EXPECT_NE(fsck.output.find("32 bit entries"), std::string::npos) << fsck.output;
        const Outcome label = Shell(std::string(kSbin) + "fatlabel " + Quote(image_));
        EXPECT_EQ(label.status, 0);
        EXPECT_EQ(label.output, std::string(c.label) + "\n");
        const Outcome dir = Shell("MTOOLS_SKIP_CHECK=1 mdir -i " + Quote(image_) + " ::/");
        EXPECT_EQ(dir.status, 0) << dir.output;
        EXPECT_NE(dir.output.find(std::string("Volume in drive : is ") + c.label), std::string::npos) << dir.output;
        EXPECT_NE(dir.output.find("No files"), std::string::npos) << dir.output;
    }
}

TEST_F(CheckerTest, Fat32VolumeWithoutLabel) {
    Format("fat32", 1050624, "", 99);
    const Outcome fsck = Shell(std::string(kSbin) + "fsck.fat -n " + Quote(image_));
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    const Outcome dir = Shell("MTOOLS_SKIP_CHECK=1 mdir -i " + Quote(image_) + " ::/");
    EXPECT_NE(dir.output.find("has no label"), std::string::npos) << dir.output;
}

struct ExfatCase {
    uint32_t sectors;
    const char* clusterSize;
    const char* label;
};

TEST_F(CheckerTest, ExfatVolumesAreClean) {
    const ExfatCase cases[] = {
        {2496, "32.00 KB", "tiny"},
        {1050623, "32.00 KB", "HALF GIG"},
        {1050624, "32.00 KB", "\xC3\x89t\xC3\xA9"},  // "Été"
        {4194304, "32.00 KB", "two gib"},
        {262142 * 64 + 1, "32.00 KB", "bitmap 2"},  // the first size whose bitmap takes two clusters
        {33554432, "32.00 KB", "16 GiB"},
        {33556480, "64.00 KB", "16 GiB+1M"},
        {134219776, "128.00 KB", "64 GiB+1M"},
        {268437504, "256.00 KB", "128 GiB+1M"},
        {536870912, "256.00 KB", "256 GiB"},
        {0xFFFFFFFFu, "256.00 KB", "limit"},
        {33554432, "32.00 KB", ""},
    };
    unsigned seed = 100;
    for (const ExfatCase& c : cases) {
        SCOPED_TRACE(c.sectors);
        ASSERT_NO_FATAL_FAILURE(Format("exfat", c.sectors, c.label, seed++));
        const Outcome fsck = Shell(std::string(kSbin) + "fsck.exfat -n -v " + Quote(image_));
        EXPECT_EQ(fsck.status, 0) << fsck.output;
        EXPECT_NE(fsck.output.find("clean"), std::string::npos) << fsck.output;
        EXPECT_NE(fsck.output.find(std::string("cluster size: ") + c.clusterSize), std::string::npos) << fsck.output;
        if (*c.label != '\0') {
            EXPECT_NE(fsck.output.find(std::string("label: ") + c.label + "\n"), std::string::npos) << fsck.output;
        } else {
            EXPECT_EQ(fsck.output.find("label:"), std::string::npos) << fsck.output;
        }
    }
}

TEST_F(CheckerTest, RefusedRegionsAreNotTouched) {
    for (const char* args : {"fat32 IMG 66580 X", "exfat IMG 2495 X", "fat32 IMG 4194304 TWELVE_CHARS",
                             "exfat IMG 4194304 twelve_chars"}) {
        std::string cmd = std::string(FORMAT_IMAGE) + " " + args;
        cmd.replace(cmd.find("IMG"), 3, Quote(image_));
        const Outcome run = Shell(cmd);
        EXPECT_EQ(run.status, 1) << args << run.output;
        EXPECT_NE(access(image_.c_str(), F_OK), 0) << args;
    }
}

}  // namespace
