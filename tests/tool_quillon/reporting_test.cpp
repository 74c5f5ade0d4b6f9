// What the tool reports when things go wrong: refused input exits 2 with the reason and changes
// nothing, a device that does not answer exits 1 and is not taken for a "no", a result is printed only
// once everything (saving the virtual bridge included) has succeeded, and a failed run keeps the
// user's files.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "firmware_image_builder.h"
#include "tool_runner.h"

namespace quillon::tool_test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ToolReporting : public ::testing::Test {
 protected:
  Result Q(std::vector<std::string> args) {
    args.insert(args.begin(), {"--virtual", dir});
    return Quillon(args);
  }
  void Init(std::vector<std::string> options = {}) {
    options.insert(options.begin(), "init");
    const Result run = Q(options);
    ASSERT_EQ(run.status, 0) << run.err;
  }

  TempDir tmp;
  std::string dir = tmp / "bridge";
};

// A two-image file cut inside its second image used to be written as a single image, erasing the
// Apple copies, and reported as verified.
TEST_F(ToolReporting, CutTwoImageFirmwareIsRefusedAndTheCopiesStay) {
  Init();
  const auto pc = fwbuild::BuildImage(fwbuild::PcRecipe()).bytes;
  const auto apple = fwbuild::BuildImage(fwbuild::AppleRecipe()).bytes;
  const std::string whole = fwbuild::FirmwareFile(pc, &apple);
  ASSERT_EQ(Q({"update-fw", dir + "/sample-firmware.hex"}).status, 0);
  const std::string flash = ReadFile(dir + "/flash.bin");

  WriteFile(tmp / "cut.hex", whole.substr(0, 3 * (pc.size() + 700)));
  Result run = Q({"--json", "update-fw", tmp / "cut.hex"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.out, "\"ok\": false")) << run.out;
  std::string end = std::to_string(pc.size() + 700);
  end.insert(end.size() - 3, ",");
  EXPECT_TRUE(Contains(run.err, "firmware file: second image truncated at byte " + end)) << run.err;
  EXPECT_EQ(ReadFile(dir + "/flash.bin"), flash);
  run = Q({"--json", "check-fw"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(Contains(run.out, "\"damaged\": 0, \"absent\": 0")) << run.out;
}

// A single-image update leaves the Apple copies erased: absent, not damaged, and not a failure. A copy
// whose bytes are wrong is damaged.
TEST_F(ToolReporting, CheckFwTellsAbsentCopiesFromDamagedOnes) {
  Init();
  const auto pc = fwbuild::BuildImage(fwbuild::PcRecipe()).bytes;
  WriteFile(tmp / "single.hex", fwbuild::FirmwareFile(pc));
  ASSERT_EQ(Q({"update-fw", tmp / "single.hex"}).status, 0);
  Result run = Q({"--json", "check-fw"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "{\"image\": \"Apple\", \"copy\": 0, \"ok\": false, \"state\": \"absent\"}")) << run.out;
  EXPECT_TRUE(Contains(run.out, "\"damaged\": 0, \"absent\": 2")) << run.out;
  run = Q({"check-fw"});
  EXPECT_TRUE(Contains(run.out, "Apple fw copy 1 is absent (erased).")) << run.out;

  std::string flash = ReadFile(dir + "/flash.bin");
  flash[0x10000 + 20] = static_cast<char>(flash[0x10000 + 20] ^ 0x40);  // inside PC copy 1
  WriteFile(dir + "/flash.bin", flash);
  run = Q({"--json", "check-fw"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "{\"image\": \"PC\", \"copy\": 1, \"ok\": false, \"state\": \"damaged\"}")) << run.out;
  EXPECT_TRUE(Contains(run.out, "\"error\": \"1 of 4 firmware copies are damaged\"")) << run.out;
}

// A result is printed only after the virtual bridge was saved.
TEST_F(ToolReporting, NothingIsReportedDoneWhenSavingFails) {
  Init();
  // The state is saved through temporary files; a folder in the way makes saving fail.
  std::filesystem::create_directory(dir + "/memory.hex.tmp");
  Result run = Q({"format", "--fs", "fat32"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(Contains(run.err, "cannot save the virtual bridge")) << run.err;
  run = Q({"--json", "format", "--fs", "fat32"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "\"ok\": false")) << run.out;
  EXPECT_FALSE(Contains(run.out, "public-image")) << run.out;
}

// Two runs creating a bridge in one new folder at once: one creates it, the other is refused.
TEST_F(ToolReporting, ConcurrentInitCreatesOneBridge) {
  for (int round = 0; round < 8; ++round) {
    const std::string folder = tmp / ("race" + std::to_string(round));
    Result first, second;
    std::thread a([&] { first = Quillon({"--virtual", folder, "init"}); });
    std::thread b([&] { second = Quillon({"--virtual", folder, "init"}); });
    a.join();
    b.join();
    EXPECT_EQ((first.status == 0) + (second.status == 0), 1) << first.err << second.err;
    EXPECT_EQ(first.status + second.status, 2) << "the refused run exits 2";
    EXPECT_EQ(Quillon({"--virtual", folder, "identify"}).status, 0);
  }
}

// A device that does not answer is a failure, not a "no".
TEST_F(ToolReporting, NoAnswerIsNotNo) {
  Init();
  for (const char* command : {"has-password", "is-public", "old-scheme"}) {
    Result run = Q({"--json", "--device", "\\\\.\\PhysicalDrive9", command});
    EXPECT_EQ(run.status, 1) << command;
    EXPECT_TRUE(Contains(run.out, "\"ok\": false")) << run.out;
    EXPECT_TRUE(Contains(run.err, "cannot open \\\\.\\PhysicalDrive9")) << run.err;
    EXPECT_EQ(Q({command}).status, 0) << command;
  }
}

TEST_F(ToolReporting, FailedFlashReadKeepsTheOutputFile) {
  Init();
  const std::string file = tmp / "dump.txt";
  WriteFile(file, "my notes");
  Result run = Q({"--device", "\\\\.\\PhysicalDrive9", "read-flash", "--output", file});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(ReadFile(file), "my notes");
  run = Q({"read-flash", "--output", file, "--binary"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(file).size(), 65536u);
  for (const auto& entry : std::filesystem::directory_iterator(tmp.path()))
    EXPECT_EQ(entry.path().string().find(".quillon-part"), std::string::npos) << entry.path();
}

// The W25X40 of a new bridge holds 512 KiB.
TEST_F(ToolReporting, FlashAddressesPastThePartAreRefusedOrNoted) {
  Init();
  Result run = Q({"read-flash", "--address", "0x80000"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "past the end of the flash")) << run.err;
  run = Q({"--json", "read-flash", "--address", "0x7f000"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "\"wraps_at\": 524288")) << run.out.substr(0, 300);
  run = Q({"read-flash", "--address", "0x70000"});
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(Contains(run.out, "note:"));
}

// FAT32 labels are printable ASCII: FAT checkers reject any other byte, so other characters are refused
// before anything is written. exFAT keeps every character (UTF-16).
TEST_F(ToolReporting, LabelsOutsideAsciiAreRefusedForFat32AndKeptForExfat) {
  Init();
  for (const char* label : {"Caf\xC3\xA9", "\xE5\x8A\xA0\xE5\xAF\x86\xE7\x9B\x98", "\xC2\xA7\xE2\x98\x85"}) {
    const std::string image = ReadFile(dir + "/public.img");
    Result run = Quillon({"--virtual", dir, "format", "--fs", "fat32", "--public-label", label}, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(run.status, 2) << label;
    EXPECT_TRUE(Contains(run.err, "printable ASCII")) << run.err;
    EXPECT_TRUE(ReadFile(dir + "/public.img") == image) << "nothing written";
    run = Quillon({"--virtual", dir, "format", "--fs", "exfat", "--public-label", label}, {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(run.status, 0) << label << run.err;
  }
  if (std::system("command -v fsck.fat >/dev/null 2>&1") == 0) {
    ASSERT_EQ(Q({"format", "--fs", "fat32", "--public-label", "Mixed Case"}).status, 0);
    EXPECT_EQ(std::system(("fsck.fat -n " + dir + "/public.img >/dev/null 2>&1").c_str()), 0);
  }
}

TEST_F(ToolReporting, FoldersAreNamedAsFolders) {
  Init();
  std::filesystem::create_directory(tmp / "folder");
  for (std::vector<std::string> args : {std::vector<std::string>{"write-iso", tmp / "folder"},
                                        std::vector<std::string>{"update-fw", tmp / "folder"},
                                        std::vector<std::string>{"read-flash", "--output", tmp / "folder"}}) {
    const Result run = Q(args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_TRUE(Contains(run.err, "is a folder")) << run.err;
  }
}

}  // namespace
}  // namespace quillon::tool_test
