// The virtual bridge behaves like the hardware the library relies on: SPI flash rules, identification
// fallbacks, disks addressed to the last of 2^32 blocks.

#include <cstdio>

#include "bridge_fixture.h"

namespace quillon::testing {
namespace {

class VirtualBridgeTest : public BridgeTest {};

TEST_F(VirtualBridgeTest, ProgrammingOnlyClearsBitsAndEraseFollowsTheLoadedOpcode) {
  controller->flash.Load(FlashPartEN25P20());  // 64 KiB sectors, erased with 0xD8 only
  std::vector<std::uint8_t> data(256, 0xF0);
  ASSERT_EQ(CmdFlashProgram(device, 0x10000, data.data(), 256), 1);
  std::fill(data.begin(), data.end(), 0x0F);
  ASSERT_EQ(CmdFlashProgram(device, 0x10000, data.data(), 256), 1);
  EXPECT_EQ(controller->flash.cells[0x10000], 0x00);

  ASSERT_EQ(CmdFlashSectorErase(device, 0x10000), 1);  // default opcode 0x20: the part ignores it
  EXPECT_EQ(controller->flash.cells[0x10000], 0x00);
  device.opcodes[SpiOpcodeTable::SECTOR_ERASE] = 0xD8;
  ASSERT_EQ(CmdFlashSectorErase(device, 0x10800), 1);
  EXPECT_EQ(controller->flash.cells[0x10000], 0xFF);
  EXPECT_EQ(controller->flash.erases, 1);
}

TEST_F(VirtualBridgeTest, IdentificationReadsAnswerTheLoadedOpcode) {
  FlashPart part = FlashPartW25X40();
  part.answersRdid = false;
  part.rdid15 = {0xEF, 0x30, 0x13};
  controller->flash.Load(part);
  std::uint8_t id[3];
  ASSERT_EQ(CmdSetSpiOpcode(device, 1, 0x9F), 1);
  ASSERT_EQ(CmdFlashReadMode(device, 0, kFlashReadIdentification, id, 3), 1);
  EXPECT_EQ(id[0], 0xFF);
  ASSERT_EQ(CmdSetSpiOpcode(device, 1, 0x15), 1);
  ASSERT_EQ(CmdFlashReadMode(device, 0, kFlashReadIdentification, id, 3), 1);
  EXPECT_EQ(id[2], 0x13);
  ASSERT_EQ(CmdSetSpiOpcode(device, 1, 0xAB), 1);
  ASSERT_EQ(CmdFlashReadMode(device, 0, kFlashReadManufacturer, id, 2), 1);
  EXPECT_EQ(id[0], 0x12);
}

TEST_F(VirtualBridgeTest, PublicDiskHoldsTheLastBlockAndExportsImages) {
  std::uint8_t block[512];
  std::fill(block, block + 512, 0xAB);
  ASSERT_EQ(Write10Blocks(device, 0xFFFFFFFFu, 1, block), 1);
  std::uint8_t back[512] = {};
  ASSERT_EQ(Read10Blocks(device, 0xFFFFFFFFu, 1, back), 1);
  EXPECT_EQ(back[511], 0xAB);
  EXPECT_EQ(controller->publicDisk.StoredBlocks(), 1u);

  const std::string file = ::testing::TempDir() + "virtual_bridge_image.bin";
  controller->publicDisk.WriteBytes(512, "FAT", 3);
  ASSERT_TRUE(controller->publicDisk.ExportImage(file, 0, 4));
  std::FILE* f = std::fopen(file.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<char> bytes(4096);
  EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), 2048u);
  std::fclose(f);
  std::remove(file.c_str());
  EXPECT_EQ(std::string(bytes.data() + 512, 3), "FAT");
}

TEST_F(VirtualBridgeTest, CipherDiskAppearsWithItsSize) {
  auto cipher = bridge.AttachDisk(2, controller, DiskRole::Cipher);
  BridgeDevice q{};
  ASSERT_TRUE(OpenBridgeDevice(&q, "\\\\.\\PhysicalDrive2"));
  std::uint8_t block[512] = {};
  EXPECT_EQ(Write10Blocks(q, 0, 1, block), 0);
  ASSERT_EQ(CmdSetCipherDiskSize(device, 1000, 0), 1);
  EXPECT_EQ(Write10Blocks(q, 999, 1, block), 1);
  EXPECT_EQ(CmdIsPublicRegion(q), 0);
  EXPECT_EQ(CmdIsPublicRegion(device), 1);
  platform::DiskGeometry g;
  ASSERT_TRUE(platform::CurrentBackend().QueryDiskGeometry("\\\\.\\PhysicalDrive2", &g));
  EXPECT_EQ(g.diskSize, 1000u * 512);
}

TEST_F(VirtualBridgeTest, ExtensionsReplaceHandlersAndKeepTheirOwnState) {
  struct Counter {
    int calls = 0;
  };
  bridge.SetVendorHandler(sub::kPassword, password::kHas, [](CommandContext& c) {
    ++c.controller.State<Counter>().calls;
    c.data[0] = 1;
    return CommandOutcome::Good();
  });
  EXPECT_EQ(CmdHasPassword(device), 1);
  EXPECT_EQ(CmdGetPasswordNumber(device), 0);  // the rest of the family keeps its handler
  EXPECT_EQ(controller->State<Counter>().calls, 1);
}

}  // namespace
}  // namespace quillon::testing
