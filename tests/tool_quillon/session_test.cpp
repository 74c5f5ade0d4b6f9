// The quillon program as a user runs it: one invocation per step on a virtual bridge folder, checking
// what it prints and its exit status, and that the bridge keeps its state between invocations.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace quillon::tool_test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (auto p = text.find(part); p != std::string::npos; p = text.find(part, p + 1)) ++n;
  return n;
}

bool HaveProgram(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs an external checker on an image; its exit status.
int Check(const std::string& command) { return WEXITSTATUS(std::system((command + " >/dev/null 2>&1").c_str())); }

class ToolSession : public ::testing::Test {
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
  std::string Sample() const { return dir + "/sample-firmware.hex"; }

  TempDir tmp;
  std::string dir = tmp / "bridge";
};

TEST_F(ToolSession, FirmwareLifecycleAcrossInvocations) {
  Init();
  Result run = Q({"list"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Lines(run.out), (std::vector<std::string>{"\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive2"}));

  run = Q({"identify"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "FCC1")) << run.out;
  EXPECT_TRUE(Contains(run.out, "W25X40")) << run.out;

  // A new bridge has erased flash: every copy is absent, and there is no firmware.
  run = Q({"check-fw"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(CountOf(run.out, "is absent (erased)."), 4) << run.out;

  run = Q({"update-fw", Sample(), "--product", "Demo Disk"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "") << "no progress line when standard error is not a terminal";

  run = Q({"check-fw"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(CountOf(run.out, "is OK."), 4) << run.out;
  EXPECT_TRUE(Contains(run.out, "PC fw copy 1 is OK. Firmware version is 1.2.3.4.")) << run.out;

  // The product string went into the image as a USB string descriptor.
  const std::string dump = tmp / "dump.bin";
  run = Q({"read-flash", "--output", dump, "--binary"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string bytes = ReadFile(dump);
  EXPECT_EQ(bytes.size(), 65536u);
  EXPECT_TRUE(Contains(bytes, std::string("\x14\x03" "D\0e\0m\0o\0 \0D\0i\0s\0k\0", 20)));

  // Erasing the sector of copy 1 leaves copy 1 absent (erased), not damaged.
  run = Q({"erase-sector", "0x10000"});
  EXPECT_EQ(run.status, 0) << run.err;
  run = Q({"check-fw"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "PC fw copy 0 is OK.")) << run.out;
  EXPECT_TRUE(Contains(run.out, "PC fw copy 1 is absent (erased).")) << run.out;

  run = Q({"read-flash", "--address", "0x10000"});
  ASSERT_EQ(run.status, 0);
  const auto lines = Lines(run.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "010000  ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff");
  EXPECT_EQ(lines[1], "*");
}

struct InitCase {
  const char* name;
  std::vector<std::string> options;
  std::vector<std::string> identifyShows;
  int bridgesListed;
};
void PrintTo(const InitCase& c, std::ostream* os) { *os << c.name; }

class ToolInitVariants : public ToolSession, public ::testing::WithParamInterface<InitCase> {};

TEST_P(ToolInitVariants, IdentifyAndListSeeTheConfiguredController) {
  const InitCase& c = GetParam();
  Init(c.options);
  Result run = Q({"--device", "\\\\.\\PhysicalDrive1", "identify"});
  EXPECT_EQ(run.status, 0) << run.err;
  for (const std::string& part : c.identifyShows) EXPECT_TRUE(Contains(run.out, part)) << part << "\n" << run.out;
  run = Q({"--json", "list"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(CountOf(run.out, "PhysicalDrive"), c.bridgesListed) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Controllers, ToolInitVariants,
    ::testing::Values(InitCase{"default", {}, {"FCC1", "W25X40", "sectors 4096"}, 2},
                      InitCase{"en25p20", {"--flash-part", "EN25P20"}, {"EN25P20", "sectors 65536"}, 2},
                      InitCase{"gd25q16", {"--flash-part", "GD25Q16"}, {"GD25Q16"}, 2},
                      InitCase{"bc1", {"--identify", "BC1"}, {"BC1", "kind 6623"}, 2},
                      // Discovery does not accept a 6623 controller; it is still reachable by path.
                      InitCase{"c6623", {"--identify", "6623"}, {"6623"}, 0},
                      InitCase{"no_flash", {"--flash-part", "none", "--cards", "2"}, {"flash:         none"}, 2},
                      InitCase{"one_image", {"--firmware-word", "0x01000000"}, {"not supported"}, 2},
                      // The largest disk the region table can describe.
                      InitCase{"largest_disk", {"--disk-size", "4294967291s"}, {"FCC1"}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolSession, FirmwareOnCardsWhenThereIsNoFlash) {
  Init({"--flash-part", "none", "--cards", "2"});
  Result run = Q({"update-fw", Sample()});
  ASSERT_EQ(run.status, 0) << run.err;
  run = Q({"check-fw"});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(CountOf(run.out, "on card 0 is OK."), 4) << run.out;
  EXPECT_EQ(CountOf(run.out, "on card 1 is OK."), 4) << run.out;
  EXPECT_TRUE(std::filesystem::file_size(dir + "/card0.img") >= 65536u);
  // Without flash the flash commands fail as exports, not as usage errors.
  EXPECT_EQ(Q({"read-flash"}).status, 1);
}

// The progress line is drawn only when standard error is a terminal (script(1) provides one).
TEST_F(ToolSession, ProgressLineOnATerminalUnlessQuiet) {
  if (!HaveProgram("script")) GTEST_SKIP() << "script missing";
  Init();
  auto onTerminal = [&](const std::string& options) {
    const std::string typed = std::string(QUILLON_TOOL) + " --virtual " + dir + options + " update-fw " + Sample();
    const std::string captured = tmp / "terminal.txt";
    EXPECT_EQ(std::system(("script -qec '" + typed + "' /dev/null > " + captured + " 2>&1").c_str()), 0);
    return ReadFile(captured);
  };
  const std::string shown = onTerminal("");
  EXPECT_TRUE(Contains(shown, "\rupdate-fw: ")) << shown;
  EXPECT_TRUE(Contains(shown, "written and verified")) << shown;
  const std::string quiet = onTerminal(" --quiet");
  EXPECT_FALSE(Contains(quiet, "update-fw: ")) << quiet;
  EXPECT_TRUE(Contains(quiet, "written and verified")) << quiet;
}

TEST_F(ToolSession, NoBridgeFoundWithoutDevice) {
  Init({"--identify", "6623"});
  const Result run = Q({"identify"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, "no bridge found")) << run.err;
}

TEST_F(ToolSession, FormatBothRegionsThenCheckTheImages) {
  if (!HaveProgram("fsck.fat") || !HaveProgram("fsck.exfat")) GTEST_SKIP() << "fsck.fat or fsck.exfat missing";
  Init({"--disk-size", "128M"});
  Result run = Q({"format", "--fs", "fat32", "--cipher-size", "48M", "--public-label", "PUBLIC", "--cipher-label",
               "SECRET"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(std::filesystem::file_size(dir + "/public.img"), 80u << 20);
  EXPECT_EQ(std::filesystem::file_size(dir + "/cipher.img"), 48u << 20);
  EXPECT_EQ(Check("fsck.fat -n " + dir + "/public.img"), 0);
  EXPECT_EQ(Check("fsck.fat -n " + dir + "/cipher.img"), 0);
  if (HaveProgram("mdir")) {
    EXPECT_EQ(WEXITSTATUS(std::system(("MTOOLS_SKIP_CHECK=1 mdir -i " + dir + "/public.img :: 2>/dev/null | grep -q PUBLIC").c_str())), 0);
  }
  // The images stay sparse: a fresh file system takes a few hundred KiB.
  struct stat st {};
  ASSERT_EQ(::stat((dir + "/public.img").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 4 << 20);

  run = Q({"disk-size"});
  EXPECT_TRUE(Contains(run.out, "262144 sectors")) << run.out;

  // Reformatting in a later run as exFAT with no cipher region gives the public region the whole disk.
  run = Q({"format", "--fs", "exfat", "--public-label", "Offen"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(std::filesystem::file_size(dir + "/public.img"), 128u << 20);
  EXPECT_EQ(std::filesystem::file_size(dir + "/cipher.img"), 0u);
  EXPECT_EQ(Check("fsck.exfat -n " + dir + "/public.img"), 0);
}

TEST_F(ToolSession, NonAsciiExfatLabelFollowsTheUsersCharacterSet) {
  if (!HaveProgram("fsck.exfat")) GTEST_SKIP() << "fsck.exfat missing";
  Init();
  const Result run = Quillon({"--virtual", dir, "format", "--fs", "exfat", "--public-label", "Öffentlich"}, {"LC_ALL=C.UTF-8"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Check("fsck.exfat -n " + dir + "/public.img"), 0);
}

TEST_F(ToolSession, RegionQueriesAndCipherSize) {
  Init();
  EXPECT_TRUE(Contains(Q({"is-public"}).out, "is the public region"));
  EXPECT_TRUE(Contains(Q({"--device", "\\\\.\\PhysicalDrive2", "is-public"}).out, "is not the public region"));
  EXPECT_TRUE(Contains(Q({"has-password"}).out, "no password"));
  EXPECT_TRUE(Contains(Q({"--json", "encrypt-state"}).out, "\"encrypted\": false"));

  Result run = Q({"set-cipher-size", "16M"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(std::filesystem::file_size(dir + "/cipher.img"), 16u << 20);
  EXPECT_EQ(std::filesystem::file_size(dir + "/public.img"), 48u << 20);
  EXPECT_TRUE(Contains(Q({"virtual-info"}).out, "cipher-sectors: 32768"));

  run = Q({"set-cipher-size", "65M"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "the whole disk has 131072 sectors")) << run.err;
  EXPECT_TRUE(Contains(Q({"virtual-info"}).out, "cipher-sectors: 32768"));
}

TEST_F(ToolSession, IsoImageLandsInTheCdRegion) {
  Init();
  std::string iso(300 * 1024 + 100, '\0');
  for (std::size_t i = 0; i < iso.size(); ++i) iso[i] = static_cast<char>((i * 131 + i / 512) & 0xFF);
  WriteFile(tmp / "disc.iso", iso);
  const Result run = Q({"--json", "write-iso", tmp / "disc.iso"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "\"bytes\": 307300")) << run.out;
  std::string stored = ReadFile(dir + "/iso.img");
  ASSERT_EQ(stored.size() % 512, 0u);
  ASSERT_GE(stored.size(), iso.size());
  EXPECT_EQ(stored.substr(0, iso.size()), iso);
  EXPECT_EQ(stored.find_first_not_of('\0', iso.size()), std::string::npos) << "the last piece is padded with zeros";
}

TEST_F(ToolSession, JsonIsOneObjectPerRun) {
  Init();
  Result run = Q({"--json", "list"});
  EXPECT_EQ(Lines(run.out).size(), 1u);
  EXPECT_EQ(run.out.rfind("{\"command\": \"list\", \"ok\": true, \"devices\": [\"\\\\\\\\.\\\\PhysicalDrive1\"", 0), 0u)
      << run.out;

  run = Q({"--json", "check-fw"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.out, "\"ok\": false")) << run.out;
  EXPECT_TRUE(Contains(run.out, "\"damaged\": 0, \"absent\": 4")) << run.out;
  EXPECT_TRUE(Contains(run.out, "{\"image\": \"Apple\", \"copy\": 1, \"ok\": false, \"state\": \"absent\"}")) << run.out;

  run = Q({"--json", "read-flash", "--address", "4096"});
  EXPECT_TRUE(Contains(run.out, "\"address\": 4096, \"length\": 196608, \"dump\": \"ff ff ")) << run.out.substr(0, 200);
}

// Bad input: refused with a message and a usage status, and the bridge is left as it was.
struct BadInput {
  const char* name;
  std::vector<std::string> args;  // "@" is replaced by the temporary folder
  int status;
  const char* message;
};
void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }

class ToolBadInput : public ToolSession, public ::testing::WithParamInterface<BadInput> {};

TEST_P(ToolBadInput, IsRefusedAndChangesNothing) {
  Init();
  ASSERT_EQ(Q({"update-fw", Sample()}).status, 0);
  WriteFile(tmp / "garbage.hex", "zz zz zz not firmware");
  std::filesystem::create_directory(tmp / "folder");
  const std::map<std::string, std::string> before = {{"ini", ReadFile(dir + "/bridge.ini")},
                                                     {"flash", ReadFile(dir + "/flash.bin")},
                                                     {"memory", ReadFile(dir + "/memory.hex")}};
  std::vector<std::string> args;
  for (const std::string& a : GetParam().args) {
    std::string arg = a;
    if (const auto at = arg.find('@'); at != std::string::npos) arg.replace(at, 1, tmp.path());
    args.push_back(arg);
  }
  const Result run = Q(args);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_TRUE(Contains(run.err, GetParam().message)) << run.err;
  EXPECT_EQ(ReadFile(dir + "/bridge.ini"), before.at("ini"));
  EXPECT_EQ(ReadFile(dir + "/flash.bin"), before.at("flash"));
  EXPECT_EQ(ReadFile(dir + "/memory.hex"), before.at("memory"));
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ToolBadInput,
    ::testing::Values(
        BadInput{"unknown_command", {"frobnicate"}, 2, "unknown command 'frobnicate'"},
        BadInput{"unknown_option", {"read-flash", "--length", "4"}, 2, "unknown option '--length'"},
        BadInput{"missing_value", {"read-flash", "--address"}, 2, "--address needs a value"},
        BadInput{"missing_argument", {"erase-sector"}, 2, "missing arguments"},
        BadInput{"extra_argument", {"identify", "now"}, 2, "too many arguments"},
        BadInput{"address_too_large", {"read-flash", "--address", "0x1000000"}, 2, "larger than 16777215"},
        BadInput{"address_not_a_number", {"erase-sector", "12k"}, 2, "'12k' is not a number"},
        BadInput{"long_device_path", {"--device", "\\\\.\\PhysicalDrive1234567890123", "identify"}, 2,
                 "the library takes at most 24"},
        BadInput{"missing_file", {"update-fw", "@/nothing.hex"}, 2, "no such file"},
        BadInput{"folder_as_file", {"update-fw", "@/folder"}, 2, "is a folder"},
        BadInput{"long_product", {"update-fw", "@/garbage.hex", "--product", std::string(63, 'x')}, 2,
                 "at most 62 characters"},
        BadInput{"damaged_firmware", {"update-fw", "@/garbage.hex"}, 2, "firmware file: value 0 is not"},
        BadInput{"missing_iso", {"write-iso", "@/nothing.iso"}, 2, "no such file"},
        BadInput{"unwritable_output", {"read-flash", "--output", "@/no/such/folder/dump"}, 2, "cannot be written"},
        BadInput{"binary_without_output", {"read-flash", "--binary"}, 2, "--binary needs --output"},
        BadInput{"cipher_size_not_sectors", {"set-cipher-size", "1000"}, 2, "not a whole number of 512-byte sectors"},
        BadInput{"cipher_size_too_large", {"set-cipher-size", "2T"}, 2, "at most 2,147,483,647 sectors"},
        BadInput{"cipher_size_past_disk", {"set-cipher-size", "65M"}, 2, "the whole disk has 131072 sectors"},
        BadInput{"format_size_past_disk", {"format", "--cipher-size", "65M"}, 2, "larger than the whole disk of 131,072"},
        BadInput{"fat32_label_not_ascii", {"format", "--public-label", "Caf\xC3\xA9"}, 2, "printable ASCII"},
        BadInput{"fat32_label_forbidden", {"format", "--cipher-size", "40M", "--cipher-label", "A:B"}, 2, "may not hold ':'"},
        BadInput{"unknown_file_system", {"format", "--fs", "ntfs"}, 2, "fat32 or exfat"},
        BadInput{"long_fat32_label", {"format", "--public-label", "TWELVE_CHARS"}, 2, "at most 11 bytes"},
        BadInput{"format_too_small", {"format", "--cipher-size", "60M"}, 2,
                 "FAT32 needs at least 65,525 clusters: the public region must be at least 66,581 sectors"},
        BadInput{"exfat_too_small", {"format", "--fs", "exfat", "--cipher-size", "63M"}, 2,
                 "exFAT needs the public region to be at least"},
        BadInput{"absent_device", {"--device", "\\\\.\\PhysicalDrive9", "identify"}, 1, "did not identify"},
        BadInput{"init_twice", {"init"}, 2, "already holds a virtual bridge"}),
    [](const auto& info) { return std::string(info.param.name); });

struct InitRefusal {
  const char* name;
  std::vector<std::string> options;
  const char* message;
};
void PrintTo(const InitRefusal& c, std::ostream* os) { *os << c.name; }

class ToolInitRefusal : public ToolSession, public ::testing::WithParamInterface<InitRefusal> {};

TEST_P(ToolInitRefusal, CreatesNothing) {
  std::vector<std::string> args = {"init"};
  args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
  const Result run = Q(args);
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, GetParam().message)) << run.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/bridge.ini"));
  // The folder is still free for a good init.
  EXPECT_EQ(Q({"init"}).status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, ToolInitRefusal,
    ::testing::Values(InitRefusal{"flash_part", {"--flash-part", "NOPE25"}, "unknown flash part 'NOPE25'"},
                      InitRefusal{"controller", {"--identify", "XYZ"}, "unknown controller 'XYZ'"},
                      InitRefusal{"disk_too_large", {"--disk-size", "2T"}, "at most 4,294,967,291 sectors"},
                      InitRefusal{"disk_one_too_large", {"--disk-size", "4294967292s"}, "at most 4,294,967,291"},
                      InitRefusal{"disk_too_small", {"--disk-size", "1M"}, "between 4 MiB"},
                      InitRefusal{"disk_not_sectors", {"--disk-size", "1000"}, "not a whole number"},
                      InitRefusal{"cards", {"--cards", "5"}, "larger than 4"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tool, VirtualFolderMustHoldABridge) {
  TempDir tmp;
  Result run = Quillon({"--virtual", tmp / "none", "identify"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "holds no virtual bridge")) << run.err;
  run = Quillon({"init"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "give --virtual DIR")) << run.err;
  // A folder with other files in it is not taken over.
  WriteFile(tmp / "notes.txt", "mine");
  run = Quillon({"--virtual", tmp.path(), "init"});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "is not empty")) << run.err;
}

TEST(Tool, EveryCommandHasHelp) {
  Result run = Quillon({"--help"});
  ASSERT_EQ(run.status, 0);
  std::vector<std::string> commands;
  for (const std::string& line : Lines(run.out)) {
    // Command lines of the listing: two blanks and a lower-case name.
    if (line.size() > 3 && line.compare(0, 2, "  ") == 0 && line[2] >= 'a' && line[2] <= 'z')
      commands.push_back(line.substr(2, line.find(' ', 2) - 2));
  }
  for (const char* expected : {"list", "identify", "read-flash", "erase-sector", "check-fw", "update-fw", "init"})
    EXPECT_NE(std::find(commands.begin(), commands.end(), expected), commands.end()) << expected;
  for (const std::string& command : commands) {
    const Result help = Quillon({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_EQ(help.out.rfind("usage: quillon ", 0), 0u) << command << ": " << help.out;
    EXPECT_EQ(Quillon({"help", command}).out, help.out) << command;
  }
  EXPECT_EQ(Quillon({}).status, 2);
}

}  // namespace
}  // namespace quillon::tool_test
