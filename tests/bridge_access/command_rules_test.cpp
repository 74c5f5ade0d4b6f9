// Chunking, opcode loads, result rules and refusals of the command set.

#include <cstring>

#include "access/scsi.h"
#include "bridge_fixture.h"

namespace quillon::testing {
namespace {

class CommandRulesTest : public BridgeTest {};

std::vector<std::vector<std::uint8_t>> OpcodeLoads(const std::vector<CdbRecord>& log) {
  std::vector<std::vector<std::uint8_t>> loads;
  for (const CdbRecord& r : log)
    if (r.Sub() == sub::kSetSpiOpcode) loads.push_back({r.cdb[2], r.cdb[3]});
  return loads;
}

TEST_F(CommandRulesTest, FlashProgramPadsTheLastPageAndAdvancesByPages) {
  std::vector<std::uint8_t> data(300, 0x5A);
  ASSERT_EQ(CmdFlashProgram(device, 0x001000, data.data(), 300), 1);
  EXPECT_EQ(OpcodeLoads(bridge.Log()), (std::vector<std::vector<std::uint8_t>>{{0, 0x02}, {3, 0x06}, {4, 1}}));
  const auto pages = Requests(sub::kFlashProgram);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(Cdb(pages[1]), Vendor("17 00 00 ff 00 11 00"));
  EXPECT_EQ(pages[1].dataOut[43], 0x5A);
  EXPECT_EQ(pages[1].dataOut[44], 0x00);
  EXPECT_EQ(controller->flash.cells[0x1000 + 299], 0x5A);
  EXPECT_EQ(controller->flash.cells[0x1000 + 300], 0x00);  // padding is programmed too
}

TEST_F(CommandRulesTest, FlashAddressWrapsAtTwentyFourBits) {
  std::vector<std::uint8_t> data(512, 1);
  ASSERT_EQ(CmdFlashProgram(device, 0x1FFFF00, data.data(), 512), 1);
  const auto pages = Requests(sub::kFlashProgram);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(Cdb(pages[0]), Vendor("17 00 00 ff ff ff 00"));
  EXPECT_EQ(Cdb(pages[1]), Vendor("17 00 00 ff 00 00 00"));
}

TEST_F(CommandRulesTest, OpcodeLoadsFollowTheChipKind) {
  device.opcodes[SpiOpcodeTable::SECTOR_ERASE] = 0xD8;
  ASSERT_EQ(CmdFlashSectorErase(device, 0), 1);
  ASSERT_EQ(CmdFlashChipErase(device), 1);
  std::uint8_t page[256];
  ASSERT_EQ(CmdFlashRead(device, 0, page, 256), 1);
  EXPECT_EQ(OpcodeLoads(bridge.Log()),
            (std::vector<std::vector<std::uint8_t>>{
                {0, 0xD8}, {3, 0x06}, {4, 1}, {0, 0xC7}, {3, 0x06}, {4, 1}, {1, 0x03}}));

  for (ChipKind kind : {ChipKind::Kind6623, ChipKind::None}) {
    bridge.ClearLog();
    device.chipKind = kind;
    ASSERT_EQ(CmdFlashRead(device, 0, page, 256), 1);
    EXPECT_EQ(OpcodeLoads(bridge.Log()).size(), kind == ChipKind::None ? 0u : 1u);
  }
}

TEST_F(CommandRulesTest, FailedOpcodeLoadStopsTheFlashCommandUnsent) {
  bridge.AddFault({MatchVendor(sub::kSetSpiOpcode), FaultKind::CheckCondition});
  std::uint8_t page[256] = {};
  EXPECT_EQ(CmdFlashProgram(device, 0, page, 256), 0);
  EXPECT_TRUE(Requests(sub::kFlashProgram).empty());
}

TEST_F(CommandRulesTest, FlashReadRefusesPartialPagesAndZeroFills) {
  std::uint8_t buffer[300];
  std::memset(buffer, 0xEE, sizeof(buffer));
  EXPECT_EQ(CmdFlashRead(device, 0, buffer, 300), 0);
  EXPECT_TRUE(bridge.Log().empty());
  controller->flash.Fill(0x100, "\x01\x02", 2);
  ASSERT_EQ(CmdFlashRead(device, 0x100, buffer, 256), 1);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[2], 0xFF);
}

TEST_F(CommandRulesTest, MemoryTransfersChunkAtTheMaximumTransfer) {
  std::vector<std::uint8_t> data(1300);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(CmdWriteMemory(device, 0x30000, data.data(), 1300), 1);
  const auto writes = Requests(sub::kWriteMemory);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(Cdb(writes[1]), Vendor("17 20 02 00 00 03 02 00"));
  EXPECT_EQ(Cdb(writes[2]), Vendor("17 20 01 14 00 03 04 00"));
  EXPECT_EQ(writes[2].outLength, 68u + 276);

  std::vector<std::uint8_t> back(1300);  // exactly the requested size
  ASSERT_EQ(CmdReadMemory(device, 0x30000, back.data(), 1300), 1);
  EXPECT_EQ(back, data);

  bridge.ClearLog();
  EXPECT_EQ(CmdWriteMemory(device, 0, data.data(), 0), 1);
  EXPECT_EQ(CmdWriteMemory(device, 0, nullptr, -5), 1);
  EXPECT_TRUE(bridge.Log().empty());
}

TEST_F(CommandRulesTest, CardBlocksArePaddedAndReadBackWithinTheCallerBuffer) {
  controller->cards[1].present = true;
  std::vector<std::uint8_t> data(700, 0x3C);
  ASSERT_EQ(CmdWriteCardBlock(device, 1, 10, data.data(), 700), 1);
  const auto writes = Requests(sub::kWriteCardBlock);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(Cdb(writes[1]), Vendor("17 42 02 00 00 00 0b 01"));
  EXPECT_EQ(writes[1].dataOut[187], 0x3C);
  EXPECT_EQ(writes[1].dataOut[188], 0x00);

  std::vector<std::uint8_t> back(700);
  ASSERT_EQ(CmdReadCardBlock(device, 1, 10, back.data(), 700), 1);
  EXPECT_EQ(back, data);

  bridge.ClearLog();
  EXPECT_EQ(CmdWriteCardBlock(device, 1, 0xFFFFFF, data.data(), 700), 0);  // would pass block 2^24 - 1
  EXPECT_TRUE(bridge.Log().empty());
}

TEST_F(CommandRulesTest, BlockCommandsMoveAtMost128BlocksAndWrapTheAddress) {
  std::vector<std::uint8_t> data(300 * 512, 0x42);
  ASSERT_EQ(Write10Blocks(device, 0xFFFFFF00u, 300, data.data()), 1);
  const auto writes = bridge.LogMatching(MatchOpcode(kOpWrite10));
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(Cdb(writes[1]), Hex("2a 00 ff ff ff 80 00 00 80 00"));
  EXPECT_EQ(Cdb(writes[2]), Hex("2a 00 00 00 00 00 00 00 2c 00"));
  std::vector<std::uint8_t> back(300 * 512);
  ASSERT_EQ(Read10Blocks(device, 0xFFFFFF00u, 300, back.data()), 1);
  EXPECT_EQ(back, data);
}

TEST_F(CommandRulesTest, IsoPiecesCountWholeBlocks) {
  std::vector<std::uint8_t> data(65536 + 1000, 0x77);
  ASSERT_EQ(CmdWriteIsoBlocks(device, 0, data.data(), static_cast<std::uint32_t>(data.size())), 1);
  const auto pieces = Requests(sub::kWriteIsoBlocks);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(Cdb(pieces[1]), Vendor("17 48 2a 00 00 00 00 80 00 00 01"));
  EXPECT_EQ(pieces[1].transferLength, 1000u);
}

TEST_F(CommandRulesTest, RefusalsSendNothing) {
  const std::uint8_t command[7] = {0, 0, 0, 0x7F, 0, 0, 0};
  std::uint8_t reply[40];
  std::uint32_t n = 0;
  EXPECT_EQ(CmdSetFingerMode(device, 2, 0), 0);
  EXPECT_EQ(CmdSetFingerMode(device, -1, 0), 0);
  EXPECT_EQ(CmdSetPassword(device, 0, nullptr), 0);
  EXPECT_EQ(CmdVerifyPassword(device, nullptr), 0);
  EXPECT_EQ(CmdDeletePassword(device, nullptr), 0);
  EXPECT_EQ(CmdGetPasswordInfo(device, nullptr), 0);
  EXPECT_EQ(CmdFingerCommand(device, command, reply, 32, &n), 0);  // a 40-byte reply does not fit
  EXPECT_TRUE(bridge.Log().empty());
}

TEST_F(CommandRulesTest, FingerReplyLengthFollowsTheFourthByte) {
  const struct {
    std::uint8_t kind;
    std::uint32_t length;
  } cases[] = {{0x7F, 40}, {0x71, 40}, {0x7D, 32}, {0x00, 8}, {0x7E, 8}};
  for (const auto& c : cases) {
    const std::uint8_t command[7] = {0xEF, 0x01, 0xFF, c.kind, 0, 0, 0};
    std::uint8_t reply[40] = {};
    std::uint32_t n = 0;
    ASSERT_EQ(CmdFingerCommand(device, command, reply, sizeof(reply), &n), 1);
    EXPECT_EQ(n, c.length);
    EXPECT_EQ(reply[n - 1], static_cast<std::uint8_t>(c.kind + n - 1));
  }
}

TEST_F(CommandRulesTest, SdLockWithoutTextSendsNoData) {
  ASSERT_EQ(CmdSdCardLock(device, 8, nullptr), 1);
  const CdbRecord& r = bridge.Log().at(0);
  EXPECT_EQ(Cdb(r), Vendor("17 60 08 00"));
  EXPECT_EQ(r.transferLength, 0u);
  EXPECT_EQ(r.inLength, 68u);
}

TEST_F(CommandRulesTest, RepliesAreDecoded) {
  std::uint64_t serial = 0;
  ASSERT_EQ(CmdGetCardSerial(device, &serial), 1);
  EXPECT_EQ(serial, 0x00123456789ABC00ull);

  controller->regions = {{1, 0, (1u << 21) - 1, 512}, {3, 0, 5, 512}, {2, 0, 999, 4096}};
  RegionTable table;
  ASSERT_EQ(CmdGetRegionTable(device, &table), 1);
  EXPECT_EQ(table.countedEntries, 1u);  // only 20 bytes come back: two entries, one of type 3
  EXPECT_EQ(table.capacity, 1ull << 30);
  controller->regions = {{2, 0, 999, 4096}, {1, 0, (1u << 21) - 1, 512}};
  ASSERT_EQ(CmdGetRegionTable(device, &table), 1);
  EXPECT_EQ(table.blockCount[0], 1000u);
  EXPECT_EQ(table.capacity, 2ull * 1000 * 4096);
  controller->regions = {{1, 0, 0xFFFFFFFF, 0xFFFFFFFF}, {1, 0, 0xFFFFFFFF, 0xFFFFFFFF}};
  ASSERT_EQ(CmdGetRegionTable(device, &table), 1);
  EXPECT_EQ(table.capacity, UINT64_MAX);

  controller->encryptStateByte = 1;
  int encrypted = 0;
  ASSERT_EQ(CmdGetEncryptState(device, &encrypted), 1);
  EXPECT_EQ(encrypted, 1);
  controller->cards[3].present = true;
  controller->cards[3].presentByte = 7;
  EXPECT_EQ(CmdCardPresent(device, 3), 7);
  controller->passwords.entries.resize(3);
  EXPECT_EQ(CmdGetPasswordNumber(device), 3);
}

// The usual rule needs 44 bytes back; three commands look at the DeviceIoControl result alone.
TEST_F(CommandRulesTest, ShortRepliesFailExceptForTheThreeIoctlOnlyCommands) {
  bridge.AddFault({MatchAny(), FaultKind::ShortReply, 0, 20, 0, -1});
  EXPECT_EQ(CmdResetUsb(device), 0);
  EXPECT_EQ(CmdFlashPresent(device), 0);
  EXPECT_EQ(CmdGetPasswordNumber(device), -1);
  device.chipKind = ChipKind::None;
  EXPECT_EQ(CmdFlashChipErase(device), 1);
  EXPECT_EQ(CmdSetHiddenPartition(device, 0, 0, 0), 1);
  EXPECT_EQ(CmdProbePasswordOld(device), 1);
}

// A command the device rejects is never reported as done, whatever its result rule.
TEST_F(CommandRulesTest, CheckConditionFailsEveryCommand) {
  bridge.AddFault({MatchAny(), FaultKind::CheckCondition, 0, 0, 0, -1});
  device.chipKind = ChipKind::None;
  std::uint8_t data[512] = {};
  EXPECT_EQ(CmdClearPassword(device), 0);
  EXPECT_EQ(CmdFlashChipErase(device), 0);
  EXPECT_EQ(CmdSetHiddenPartition(device, 0, 0, 0), 0);
  EXPECT_EQ(CmdProbePasswordOld(device), 0);
  EXPECT_EQ(CmdWriteMemory(device, 0, data, 4), 0);
  EXPECT_EQ(Write10Blocks(device, 0, 1, data), 0);
  EXPECT_EQ(CmdFlashProgram(device, 0, data, 256), 0);
  EXPECT_EQ(Requests(sub::kFlashProgram).size(), 1u);  // a rejection is not retried
  EXPECT_EQ(CmdGetPasswordNumber(device), -1);
}

TEST_F(CommandRulesTest, UnopenablePathFailsWithoutARequest) {
  bridge.Device("\\\\.\\PhysicalDrive1")->openable = false;
  std::uint8_t data[256] = {};
  std::uint8_t status = 0xAA;
  EXPECT_EQ(CmdHasPassword(device), 0);
  EXPECT_EQ(CmdGetPasswordNumber(device), -1);
  EXPECT_EQ(CmdFlashProgram(device, 0, data, 256), 0);
  EXPECT_EQ(CmdGetSdCardStatus(device, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(CmdIdentify(device, data), 0);
  EXPECT_TRUE(bridge.Log().empty());
  EXPECT_EQ(bridge.OpenCount(), 0);
}

}  // namespace
}  // namespace quillon::testing
