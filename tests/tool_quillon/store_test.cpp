// The virtual bridge kept in a folder: what one run changes through the bridge's requests is what the
// next run finds, the disks are sparse raw images other programs can read and change, and a damaged
// folder is refused without attaching anything.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "virtual_bridge_store.h"

namespace quillon::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPublic = "\\\\.\\PhysicalDrive1";
constexpr const char* kCipher = "\\\\.\\PhysicalDrive2";

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ReadAt(const fs::path& file, std::uint64_t offset, std::size_t length) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string bytes(length, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

void WriteAt(const fs::path& file, std::uint64_t offset, const std::string& bytes) {
  std::fstream out(file, std::ios::in | std::ios::out | std::ios::binary);
  out.seekp(static_cast<std::streamoff>(offset));
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::array<std::uint8_t, 512> Pattern(std::uint8_t seed) {
  std::array<std::uint8_t, 512> block{};
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(seed + i * 7);
  return block;
}

BridgeDevice Device(const char* path) {
  BridgeDevice device;
  EXPECT_EQ(OpenBridgeDevice(&device, path), 1);
  return device;
}

// One run: a bridge loaded from the folder, saved when the run ends well.
struct Session {
  VirtualBridge bridge;
  BridgeStore store;
  std::string error;
  bool loaded = false;

  explicit Session(const std::string& dir) { loaded = store.Load(dir, bridge, &error); }
  VirtualController& c() { return *store.Controller(); }
  void Save() { ASSERT_TRUE(store.Save(&error)) << error; }
};

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quillon-store-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root = pattern;
    dir = (fs::path(root) / "bridge").string();
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  void Create(StoreOptions options = {}) {
    std::string error;
    ASSERT_TRUE(BridgeStore::Create(dir, options, &error)) << error;
  }
  fs::path File(const char* name) const { return fs::path(dir) / name; }

  std::string root;
  std::string dir;
};

TEST_F(StoreTest, WhatOneRunChangesTheNextRunFinds) {
  StoreOptions options;
  options.cards = 2;
  Create(options);
  const auto a = Pattern(1), b = Pattern(2), c = Pattern(3), d = Pattern(4), e = Pattern(5);
  const std::uint8_t memory[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::uint8_t record[32] = {0xAA, 0xBB};
  std::array<std::uint8_t, 32> password{};
  password[0] = 'p';
  {
    Session run(dir);
    ASSERT_TRUE(run.loaded) << run.error;
    const BridgeDevice pub = Device(kPublic);
    const BridgeDevice cipher = Device(kCipher);
    ASSERT_EQ(Write10Blocks(pub, 10, 1, a.data()), 1);
    ASSERT_EQ(Write10Blocks(pub, 0xFFFFFF00u, 1, b.data()), 1);  // hidden area, past the image
    ASSERT_EQ(CmdSetCipherDiskSize(cipher, 4096, 0), 1);
    ASSERT_EQ(Write10Blocks(cipher, 5, 1, c.data()), 1);
    ASSERT_EQ(CmdWriteMemory(pub, 0x30830, record, sizeof(record)), 1);
    ASSERT_EQ(CmdWriteMemory(pub, 0x50004, memory, sizeof(memory)), 1);  // outside the usual window
    ASSERT_EQ(CmdWriteCardBlock(pub, 1, 300, d.data(), 512), 1);
    ASSERT_EQ(CmdWriteIsoBlocks(pub, 2, e.data(), 512), 1);
    ASSERT_EQ(CmdSetPassword(pub, 3, password.data()), 1);
    run.c().flash.Fill(0x1000, "firmware", 8);
    run.c().finger.power = 1;
    run.Save();
  }
  Session run(dir);
  ASSERT_TRUE(run.loaded) << run.error;
  std::array<std::uint8_t, 512> block{};
  ASSERT_TRUE(run.c().publicDisk.Read(10, block.data()));
  EXPECT_EQ(block, a);
  // The cipher-size command left the public disk 4096 sectors short of the whole disk; the hidden
  // block written before it is kept, out of reach until the disk grows again.
  EXPECT_EQ(run.c().cipherSize, 4096u);
  EXPECT_EQ(run.c().publicDisk.BlockCount(), 131072u - 4096u);
  EXPECT_FALSE(run.c().publicDisk.Read(0xFFFFFF00u, block.data()));
  run.c().publicDisk.SetBlockCount(std::uint64_t{1} << 32);
  ASSERT_TRUE(run.c().publicDisk.Read(0xFFFFFF00u, block.data()));
  EXPECT_EQ(block, b);
  ASSERT_TRUE(run.c().cipherDisk.Read(5, block.data()));
  EXPECT_EQ(block, c);
  ASSERT_TRUE(run.c().cards[1].blocks.Read(300, block.data()));
  EXPECT_EQ(block, d);
  ASSERT_TRUE(run.c().isoRegion.Read(2, block.data()));
  EXPECT_EQ(block, e);
  std::uint8_t readBack[32] = {};
  run.c().memory.Read(0x30830, readBack, sizeof(readBack));
  EXPECT_EQ(std::memcmp(readBack, record, sizeof(record)), 0);
  run.c().memory.Read(0x50004, readBack, sizeof(memory));
  EXPECT_EQ(std::memcmp(readBack, memory, sizeof(memory)), 0);
  ASSERT_EQ(run.c().passwords.entries.size(), 1u);
  EXPECT_EQ(run.c().passwords.entries[0].selector, 3);
  EXPECT_EQ(run.c().passwords.entries[0].block, password);
  EXPECT_EQ(std::memcmp(run.c().flash.cells.data() + 0x1000, "firmware", 8), 0);
  EXPECT_EQ(run.c().finger.power, 1);
  EXPECT_TRUE(run.c().cards[0].present && run.c().cards[1].present && !run.c().cards[2].present);
  // The devices are where the tool expects them.
  ASSERT_NE(run.bridge.Device(kPublic), nullptr);
  EXPECT_EQ(run.bridge.Device(kCipher)->role, DiskRole::Cipher);
}

TEST_F(StoreTest, DisksAreSparseImagesOtherProgramsCanReadAndChange) {
  StoreOptions options;
  options.diskSectors = 2u << 20;  // 1 GiB
  Create(options);
  const auto a = Pattern(9);
  {
    Session run(dir);
    ASSERT_TRUE(run.loaded) << run.error;
    ASSERT_EQ(Write10Blocks(Device(kPublic), 1000, 1, a.data()), 1);
    run.Save();
  }
  const fs::path image = File("public.img");
  EXPECT_EQ(fs::file_size(image), 1u << 30);
  struct stat st {};
  ASSERT_EQ(::stat(image.c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20) << "only written blocks take room";
  EXPECT_EQ(ReadAt(image, 1000 * 512, 512), std::string(a.begin(), a.end()));

  // Another program writes into the image between runs; the bridge serves it and keeps it.
  WriteAt(image, 77 * 512, "outside");
  {
    Session run(dir);
    ASSERT_TRUE(run.loaded) << run.error;
    std::array<std::uint8_t, 512> block{};
    ASSERT_EQ(Read10Blocks(Device(kPublic), 77, 1, block.data()), 1);
    EXPECT_EQ(std::memcmp(block.data(), "outside", 7), 0);
    run.Save();
  }
  EXPECT_EQ(ReadAt(image, 77 * 512, 7), "outside");
}

TEST_F(StoreTest, ABlockZeroedInALaterRunIsZeroInTheImage) {
  Create();
  const auto a = Pattern(6);
  const std::array<std::uint8_t, 512> zero{};
  {
    Session run(dir);
    ASSERT_EQ(Write10Blocks(Device(kPublic), 3, 1, a.data()), 1);
    run.Save();
  }
  {
    Session run(dir);
    ASSERT_EQ(Write10Blocks(Device(kPublic), 3, 1, zero.data()), 1);
    run.Save();
  }
  EXPECT_EQ(ReadAll(File("public.img")).substr(3 * 512, 512), std::string(512, '\0'));
  Session run(dir);
  std::array<std::uint8_t, 512> block = a;
  ASSERT_TRUE(run.c().publicDisk.Read(3, block.data()));
  EXPECT_EQ(block, zero);
}

TEST_F(StoreTest, CipherSizeMovesTheEndOfThePublicImageAsideAndBack) {
  StoreOptions options;
  options.diskSectors = 8192;
  Create(options);
  const auto a = Pattern(7);
  {
    Session run(dir);
    ASSERT_EQ(Write10Blocks(Device(kPublic), 8000, 1, a.data()), 1);
    ASSERT_EQ(CmdSetCipherDiskSize(Device(kPublic), 1024, 0), 1);
    run.Save();
  }
  EXPECT_EQ(fs::file_size(File("public.img")), 7168u * 512);
  EXPECT_EQ(fs::file_size(File("cipher.img")), 1024u * 512);
  EXPECT_TRUE(fs::exists(File("public.beyond")));
  {
    Session run(dir);
    ASSERT_TRUE(run.loaded) << run.error;
    ASSERT_EQ(CmdSetCipherDiskSize(Device(kPublic), 0, 0), 1);
    run.Save();
  }
  EXPECT_EQ(fs::file_size(File("public.img")), 8192u * 512);
  EXPECT_EQ(ReadAll(File("public.img")).substr(8000 * 512, 512), std::string(a.begin(), a.end()));
  EXPECT_FALSE(fs::exists(File("public.beyond")));
}

struct Damage {
  const char* name;
  const char* file;
  const char* find;      // text replaced in the file; empty: the file is truncated to `replace` bytes
  const char* replace;
  const char* message;
};
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class StoreDamage : public StoreTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(StoreDamage, IsRefusedWithoutAttachingAnything) {
  Create();
  const Damage& d = GetParam();
  const fs::path file = File(d.file);
  std::string text = ReadAll(file);
  if (*d.find) {
    const auto at = text.find(d.find);
    ASSERT_NE(at, std::string::npos) << d.find;
    text.replace(at, std::strlen(d.find), d.replace);
  } else {
    text = text.substr(0, std::stoul(d.replace)) + (std::string(d.file) == "public.beyond" ? "x" : "");
  }
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  Session run(dir);
  EXPECT_FALSE(run.loaded);
  EXPECT_NE(run.error.find(d.message), std::string::npos) << run.error;
  EXPECT_EQ(run.bridge.Device(kPublic), nullptr);
  EXPECT_FALSE(fs::exists(File(BridgeStore::kLockFolder))) << "a refused folder is not left locked";
}

INSTANTIATE_TEST_SUITE_P(
    Folder, StoreDamage,
    ::testing::Values(Damage{"version", "bridge.ini", "version = 1", "version = 7", "'version'"},
                      Damage{"identify", "bridge.ini", "identify = 42", "identify = zz", "'identify'"},
                      Damage{"flash_part", "bridge.ini", "flash.part = W25X40", "flash.part = NOPE", "'flash.part'"},
                      Damage{"missing_field", "bridge.ini", "cipher.size = 0\n", "", "'cipher.size'"},
                      Damage{"field_range", "bridge.ini", "encrypt_state = 0", "encrypt_state = 300", "'encrypt_state'"},
                      Damage{"not_key_value", "bridge.ini", "cipher.full = 0", "cipher.full", "expected 'key = value'"},
                      Damage{"flash_size", "flash.bin", "", "1000", "not the size of a W25X40"},
                      Damage{"memory_row", "memory.hex", ": ", ":: ", "bad row"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StoreTest, OneRunAtATimePerFolder) {
  Create();
  {
    Session first(dir);
    ASSERT_TRUE(first.loaded) << first.error;
    Session second(dir);
    EXPECT_FALSE(second.loaded);
    EXPECT_NE(second.error.find("in use by another run"), std::string::npos) << second.error;
    EXPECT_EQ(second.bridge.Device(kPublic), nullptr);
  }
  Session later(dir);
  EXPECT_TRUE(later.loaded) << later.error;
}

TEST_F(StoreTest, RaggedBeyondFileIsRefused) {
  Create();
  std::ofstream(File("public.beyond"), std::ios::binary) << std::string(100, 'x');
  Session run(dir);
  EXPECT_FALSE(run.loaded);
  EXPECT_NE(run.error.find("middle of a block"), std::string::npos) << run.error;
}

TEST_F(StoreTest, CreateRefusesFoldersInUse) {
  std::string error;
  fs::create_directories(dir);
  std::ofstream(File("mine.txt")) << "keep";
  EXPECT_FALSE(BridgeStore::Create(dir, {}, &error));
  EXPECT_NE(error.find("not empty"), std::string::npos) << error;
  EXPECT_EQ(ReadAll(File("mine.txt")), "keep");

  const std::string plainFile = (fs::path(root) / "file").string();
  std::ofstream(plainFile) << "x";
  EXPECT_FALSE(BridgeStore::Create(plainFile, {}, &error));
  EXPECT_NE(error.find("not a folder"), std::string::npos) << error;

  const std::string fresh = (fs::path(root) / "fresh").string();
  ASSERT_TRUE(BridgeStore::Create(fresh, {}, &error)) << error;
  EXPECT_FALSE(BridgeStore::Create(fresh, {}, &error));
  EXPECT_NE(error.find("already holds"), std::string::npos) << error;
}

struct OptionCase {
  const char* name;
  StoreOptions options;
  const char* message;  // empty: accepted
};

StoreOptions With(void (*change)(StoreOptions&)) {
  StoreOptions o;
  change(o);
  return o;
}

TEST(StoreOptionsTest, AreCheckedBeforeAnythingIsWritten) {
  const OptionCase cases[] = {
      {"defaults", {}, ""},
      {"bc1", With([](StoreOptions& o) { o.chip = "BC1"; }), ""},
      {"chip", With([](StoreOptions& o) { o.chip = "FCC9"; }), "unknown controller"},
      {"no_flash", With([](StoreOptions& o) { o.flashPart = "none"; }), ""},
      {"catalogue_part", With([](StoreOptions& o) { o.flashPart = "EN25P20"; }), ""},
      {"unknown_part", With([](StoreOptions& o) { o.flashPart = "W25X41"; }), "unknown flash part"},
      {"smallest_disk", With([](StoreOptions& o) { o.diskSectors = 8192; }), ""},
      {"small_disk", With([](StoreOptions& o) { o.diskSectors = 8191; }), "disk size"},
      {"largest_disk", With([](StoreOptions& o) { o.diskSectors = (1ull << 32) - 4; }), ""},
      {"large_disk", With([](StoreOptions& o) { o.diskSectors = (1ull << 32) - 3; }), "disk size"},
      {"four_cards", With([](StoreOptions& o) { o.cards = 4; }), ""},
      {"five_cards", With([](StoreOptions& o) { o.cards = 5; }), "4 card slots"},
  };
  for (const OptionCase& c : cases) {
    std::string error;
    const bool ok = ValidateStoreOptions(c.options, &error);
    EXPECT_EQ(ok, *c.message == 0) << c.name << ": " << error;
    if (!ok) {
      EXPECT_NE(error.find(c.message), std::string::npos) << c.name << ": " << error;
    }
  }
}

}  // namespace
}  // namespace quillon::testing
