// Retry rules of the command set, run in virtual time with injected errors.

#include "bridge_fixture.h"

namespace quillon::testing {
namespace {

class RetryTest : public BridgeTest {
 protected:
  void Fail(std::function<bool(const CdbRecord&)> match, std::uint32_t error, int times, int skip = 0) {
    bridge.AddFault({std::move(match), FaultKind::Fail, error, 0, skip, times});
  }
  std::vector<std::uint32_t> Sleeps() const { return bridge.Sleeps(); }
};

TEST_F(RetryTest, OpcodeLoadRetriesOnlyAGeneralFailureUpToFiveSends) {
  Fail(MatchVendor(sub::kSetSpiOpcode), platform::kErrorGenFailure, 2);
  EXPECT_EQ(CmdSetSpiOpcode(device, 1, 0x9F), 1);
  EXPECT_EQ(Requests(sub::kSetSpiOpcode).size(), 3u);
  EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{10, 10}));

  bridge.ClearFaults();
  bridge.ClearLog();
  Fail(MatchVendor(sub::kSetSpiOpcode), platform::kErrorGenFailure, -1);
  EXPECT_EQ(CmdSetSpiOpcode(device, 1, 0x9F), 0);
  EXPECT_EQ(Requests(sub::kSetSpiOpcode).size(), 5u);

  bridge.ClearFaults();
  bridge.ClearLog();
  Fail(MatchVendor(sub::kSetSpiOpcode), platform::kErrorSemTimeout, 1);
  EXPECT_EQ(CmdSetSpiOpcode(device, 1, 0x9F), 0);
  EXPECT_EQ(Requests(sub::kSetSpiOpcode).size(), 1u);
}

TEST_F(RetryTest, SectorEraseRetriesAGeneralFailure) {
  Fail(MatchVendor(sub::kFlashSectorErase), platform::kErrorGenFailure, 4);
  EXPECT_EQ(CmdFlashSectorErase(device, 0x1000), 1);
  EXPECT_EQ(Requests(sub::kFlashSectorErase).size(), 5u);
}

TEST_F(RetryTest, FlashChunksAreResentAfterGeneralFailuresAndTimeOuts) {
  std::vector<std::uint8_t> data(512, 0x12);
  Fail(MatchVendor(sub::kFlashProgram), platform::kErrorSemTimeout, 2, 1);  // the second page
  Fail(MatchVendor(sub::kFlashProgram), platform::kErrorGenFailure, 1, 1);
  ASSERT_EQ(CmdFlashProgram(device, 0, data.data(), 512), 1);
  const auto pages = Requests(sub::kFlashProgram);
  ASSERT_EQ(pages.size(), 5u);
  for (std::size_t i = 1; i < pages.size(); ++i) EXPECT_EQ(Cdb(pages[i]), Vendor("17 00 00 ff 00 01 00"));
  EXPECT_EQ(controller->flash.cells[511], 0x12);

  std::uint8_t page[256];
  bridge.ClearLog();
  Fail(MatchVendor(sub::kFlashRead), platform::kErrorGenFailure, 3);
  EXPECT_EQ(CmdFlashRead(device, 0, page, 256), 1);
  EXPECT_EQ(Requests(sub::kFlashRead).size(), 4u);
}

// A chunk that never goes through is given up after a bounded number of sends.
TEST_F(RetryTest, ChunkRetryIsBounded) {
  std::uint8_t page[256] = {};
  Fail(MatchVendor(sub::kFlashProgram), platform::kErrorGenFailure, -1);
  EXPECT_EQ(CmdFlashProgram(device, 0, page, 256), 0);
  EXPECT_EQ(Requests(sub::kFlashProgram).size(), static_cast<std::size_t>(kMaxChunkSends));
}

TEST_F(RetryTest, OtherErrorsEndTheChunkedCommandAtOnce) {
  std::vector<std::uint8_t> data(1024);
  Fail(MatchVendor(sub::kFlashProgram), platform::kErrorIoDevice, 1, 1);
  EXPECT_EQ(CmdFlashProgram(device, 0, data.data(), 1024), 0);
  EXPECT_EQ(Requests(sub::kFlashProgram).size(), 2u);  // the first page stays sent
  EXPECT_TRUE(Sleeps().empty());

  bridge.ClearLog();
  Fail(MatchVendor(sub::kReadMemory), platform::kErrorGenFailure, 1);
  EXPECT_EQ(CmdReadMemory(device, 0, data.data(), 1024), 0);  // memory reads are not retried
  EXPECT_EQ(Requests(sub::kReadMemory).size(), 1u);
}

TEST_F(RetryTest, IdentifyTriesTenTimesAHundredMillisecondsApart) {
  Fail(MatchVendor(sub::kIdentify), platform::kErrorGenFailure, 2);
  bridge.AddFault({MatchVendor(sub::kIdentify), FaultKind::ShortReply, 0, 30, 0, 1});
  std::uint8_t reply[13];
  ASSERT_EQ(CmdIdentify(device, reply), 1);
  EXPECT_EQ(Requests(sub::kIdentify).size(), 4u);
  EXPECT_EQ(Sleeps(), (std::vector<std::uint32_t>{100, 100, 100}));
  EXPECT_EQ(reply[0], 'B');

  bridge.ClearLog();
  Fail(MatchVendor(sub::kIdentify), platform::kErrorSemTimeout, -1);
  EXPECT_EQ(CmdIdentify(device, reply), 0);
  EXPECT_EQ(Requests(sub::kIdentify).size(), 10u);
}

TEST_F(RetryTest, UnknownIdentifyFormatEndsTheAttempts) {
  controller->identifyReply[0] = 'X';
  std::uint8_t reply[13];
  EXPECT_EQ(CmdIdentify(device, reply), 0);
  EXPECT_EQ(Requests(sub::kIdentify).size(), 1u);
  EXPECT_TRUE(Sleeps().empty());
}

TEST_F(RetryTest, DeviceThatDisappearsFailsNowAndLater) {
  std::vector<std::uint8_t> data(1024);
  bridge.AddFault({MatchVendor(sub::kFlashProgram), FaultKind::Disappear, 0, 0, 2, 1});
  EXPECT_EQ(CmdFlashProgram(device, 0, data.data(), 1024), 0);
  EXPECT_EQ(Requests(sub::kFlashProgram).size(), 3u);
  bridge.ClearLog();
  EXPECT_EQ(CmdResetUsb(device), 0);
  EXPECT_TRUE(bridge.Log().empty());
}

}  // namespace
}  // namespace quillon::testing
