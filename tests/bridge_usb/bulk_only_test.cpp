// The virtual bridge's USB mass-storage device, driven as a host's driver drives it: command block,
// data stage, status; stalls and their recovery; the SCSI answers and their sense data.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "virtual_bridge_usb.h"

namespace quillon::testing {
namespace {

using usbdev::Bytes;
using usbdev::Result;

constexpr std::uint8_t kIn = VirtualBridgeUsb::kBulkIn;
constexpr std::uint8_t kOut = VirtualBridgeUsb::kBulkOut;

Bytes Cbw(std::uint32_t tag, std::uint32_t length, bool in, std::uint8_t lun, const Bytes& cdb) {
  Bytes b(31, 0);
  const std::uint32_t words[3] = {bot::kCbwSignature, tag, length};
  std::memcpy(b.data(), words, 12);  // little-endian host
  b[12] = in ? 0x80 : 0x00;
  b[13] = lun;
  b[14] = static_cast<std::uint8_t>(cdb.size());
  std::memcpy(&b[15], cdb.data(), cdb.size());
  return b;
}

Bytes Vendor(std::uint8_t sub, std::uint8_t byte2 = 0) {
  Bytes cdb(16, 0);
  cdb[0] = 0x17;
  cdb[1] = sub;
  cdb[2] = byte2;
  std::memcpy(&cdb[12], "ncmd", 4);
  return cdb;
}

Bytes ReadWrite10(bool write, std::uint32_t lba, std::uint16_t count) {
  return {static_cast<std::uint8_t>(write ? 0x2A : 0x28), 0, static_cast<std::uint8_t>(lba >> 24),
          static_cast<std::uint8_t>(lba >> 16), static_cast<std::uint8_t>(lba >> 8), static_cast<std::uint8_t>(lba),
          0, static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count), 0};
}

struct Status {
  Bytes data;
  bool dataStalled = false;
  std::uint32_t residue = 0;
  int status = -1;        // CSW status; -1 when no valid CSW came
  std::uint32_t tag = 0;
};

// A public disk (LUN 0, 8 MiB) and an empty cipher disk (LUN 1) on one controller, as a USB device,
// with the host side of the Bulk-Only Transport.
class BridgeUsbTest : public ::testing::Test {
 protected:
  BridgeUsbTest() : bridge(false) {
    controller = bridge.AttachDisk(1);
    bridge.AttachDisk(2, controller, DiskRole::Cipher);
    controller->publicDisk.SetBlockCount(16384);
    device = std::make_unique<VirtualBridgeUsb>(bridge, std::vector<std::string>{"\\\\.\\PhysicalDrive1",
                                                                                 "\\\\.\\PhysicalDrive2"});
    device->setWakeup([this] { ++wakeups; });
  }

  // One command as the Linux driver sends it: the data stage in one request of the whole length
  // (or inPacket-sized requests), a stalled stage cleared before the CSW is read.
  Status Run(std::uint8_t lun, const Bytes& cdb, bool in, std::uint32_t length, const Bytes& out = {},
             std::size_t inPacket = 0) {
    Status s;
    const std::uint32_t tag = ++tag_;
    EXPECT_EQ(device->bulkOut(kOut, Cbw(tag, length, in, lun, cdb).data(), 31), Result::Ok);
    if (!in) {
      for (std::size_t at = 0; at < out.size(); at += 512)
        EXPECT_EQ(device->bulkOut(kOut, out.data() + at, std::min<std::size_t>(512, out.size() - at)), Result::Ok);
    } else if (length > 0) {
      const std::size_t packet = inPacket ? inPacket : length;
      while (s.data.size() < length) {
        Bytes chunk;
        const Result r = device->bulkIn(kIn, packet, chunk);
        if (r == Result::Stall) {
          s.dataStalled = true;
          EXPECT_EQ(device->clearHalt(kIn), Result::Ok);
          break;
        }
        EXPECT_EQ(r, Result::Ok);
        s.data.insert(s.data.end(), chunk.begin(), chunk.end());
        if (chunk.size() < packet) break;  // short packet: the stage is over
      }
    }
    Bytes csw;
    if (device->bulkIn(kIn, 13, csw) == Result::Ok && csw.size() == 13) {
      std::uint32_t words[3];
      std::memcpy(words, csw.data(), 12);
      if (words[0] == bot::kCswSignature) {
        s.tag = words[1];
        s.residue = words[2];
        s.status = csw[12];
      }
    }
    EXPECT_EQ(s.tag, tag);
    return s;
  }

  bot::Sense RequestSense(std::uint8_t lun) {
    const Status s = Run(lun, {0x03, 0, 0, 0, 18, 0}, true, 18);
    EXPECT_EQ(s.status, 0);
    return bot::ParseSense(s.data);
  }

  VirtualBridge bridge;
  std::shared_ptr<VirtualController> controller;
  std::unique_ptr<VirtualBridgeUsb> device;
  int wakeups = 0;
  std::uint32_t tag_ = 0;
};

TEST(BulkOnlyFramingTest, CommandBlockWrappersAreCheckedFieldByField) {
  const Bytes good = Cbw(7, 512, true, 1, {0x12, 0, 0, 0, 36, 0});
  bot::Cbw cbw;
  ASSERT_TRUE(bot::ParseCbw(good.data(), good.size(), 1, &cbw));
  EXPECT_EQ(cbw.tag, 7u);
  EXPECT_EQ(cbw.dataLength, 512u);
  EXPECT_TRUE(cbw.dataIn);
  EXPECT_EQ(cbw.lun, 1);
  EXPECT_EQ(cbw.cdbLength, 6);
  EXPECT_EQ(cbw.cdb[4], 36);

  const struct {
    const char* what;
    std::size_t at;
    std::uint8_t value;
    std::size_t size;
  } bad[] = {
      {"one byte short", 0, 0x55, 30},
      {"one byte long", 0, 0x55, 32},
      {"signature", 3, 0x44, 31},
      {"reserved flag bits", 12, 0x81, 31},
      {"LUN above the highest", 13, 2, 31},
      {"reserved LUN bits", 13, 0x10, 31},
      {"empty CDB", 14, 0, 31},
      {"CDB longer than 16", 14, 17, 31},
  };
  for (const auto& b : bad) {
    Bytes wire = good;
    wire.resize(b.size, 0);
    if (b.at < wire.size()) wire[b.at] = b.value;
    EXPECT_FALSE(bot::ParseCbw(wire.data(), wire.size(), 1, &cbw)) << b.what;
  }

  const Bytes csw = bot::MakeCsw(0x01020304, 476, bot::CswStatus::PhaseError);
  EXPECT_EQ(csw, (Bytes{0x55, 0x53, 0x42, 0x53, 0x04, 0x03, 0x02, 0x01, 0xDC, 0x01, 0, 0, 2}));
  const bot::Sense sense = bot::ParseSense(bot::FixedSense({bot::kIllegalRequest, bot::kAscLbaOutOfRange}));
  EXPECT_EQ(sense.key, bot::kIllegalRequest);
  EXPECT_EQ(sense.asc, bot::kAscLbaOutOfRange);
}

TEST_F(BridgeUsbTest, ScsiAnswersWithStatusResidueAndSense) {
  const struct {
    const char* what;
    std::uint8_t lun;
    Bytes cdb;
    std::uint32_t length;
    int status;
    std::uint32_t residue;
    std::uint8_t senseKey;
    std::uint16_t asc;
  } cases[] = {
      {"INQUIRY", 0, {0x12, 0, 0, 0, 36, 0}, 36, 0, 0, 0, 0},
      {"INQUIRY, short allocation", 0, {0x12, 0, 0, 0, 5, 0}, 36, 0, 31, 0, 0},
      {"INQUIRY, serial page", 1, {0x12, 1, 0x80, 0, 255, 0}, 255, 0, 255 - 16, 0, 0},
      {"INQUIRY, unknown page", 0, {0x12, 1, 0x83, 0, 255, 0}, 255, 1, 255, 0x5, 0x2400},
      {"TEST UNIT READY", 0, {0, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 0},
      {"TEST UNIT READY, empty cipher disk", 1, {0, 0, 0, 0, 0, 0}, 0, 1, 0, 0x2, 0x3A00},
      {"READ CAPACITY(10)", 0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 0, 0, 0, 0},
      {"READ CAPACITY(10), no medium", 1, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 1, 8, 0x2, 0x3A00},
      {"READ CAPACITY(16)", 0, {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32, 0, 0, 0, 0},
      {"MODE SENSE(6)", 0, {0x1A, 0, 0x3F, 0, 192, 0}, 192, 0, 188, 0, 0},
      {"MODE SENSE(10)", 0, {0x5A, 0, 0x08, 0, 0, 0, 0, 0, 192, 0}, 192, 0, 184, 0, 0},
      {"SYNCHRONIZE CACHE", 0, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 0},
      {"PREVENT ALLOW MEDIUM REMOVAL", 0, {0x1E, 0, 0, 0, 1, 0}, 0, 0, 0, 0, 0},
      {"START STOP UNIT", 0, {0x1B, 0, 0, 0, 1, 0}, 0, 0, 0, 0, 0},
      {"READ(10) of the last block", 0, ReadWrite10(false, 16383, 1), 512, 0, 0, 0, 0},
      {"READ(10) past the end", 0, ReadWrite10(false, 16383, 2), 1024, 1, 1024, 0x5, 0x2100},
      {"READ(10) without medium", 1, ReadWrite10(false, 0, 1), 512, 1, 512, 0x2, 0x3A00},
      {"unknown opcode", 0, {0xA3, 0x0C, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0}, 512, 1, 512, 0x5, 0x2000},
      {"vendor identify", 0, Vendor(0x34), 13, 0, 0, 0, 0},
      {"vendor identify on the empty cipher disk", 1, Vendor(0x34), 13, 0, 0, 0, 0},
      {"vendor command the controller rejects", 0, Vendor(0x7E), 16, 1, 16, 0x5, 0x2400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Status s = Run(c.lun, c.cdb, c.length > 0, c.length);
    EXPECT_EQ(s.status, c.status);
    EXPECT_EQ(s.residue, c.residue);
    EXPECT_FALSE(s.dataStalled);
    const bot::Sense sense = RequestSense(c.lun);
    EXPECT_EQ(sense.key, c.senseKey);
    EXPECT_EQ(sense.asc, c.asc);
  }
}

TEST_F(BridgeUsbTest, AnswersCarryTheBridgesIdentityAndSizes) {
  Status s = Run(0, {0x12, 0, 0, 0, 36, 0}, true, 36);
  ASSERT_EQ(s.data.size(), 36u);
  EXPECT_EQ(s.data[1], 0x80);  // removable: the host looks for a new capacity on open
  EXPECT_EQ(std::string(s.data.begin() + 8, s.data.begin() + 32), "VIRTUAL BRIDGE          ");
  s = Run(0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8);
  EXPECT_EQ(s.data, (Bytes{0, 0, 0x3F, 0xFF, 0, 0, 2, 0}));
  s = Run(0, Vendor(0x34), true, 13);
  ASSERT_EQ(s.data.size(), 13u);
  EXPECT_EQ(std::string(s.data.begin() + 1, s.data.begin() + 5), "FCC1");
  Bytes max;
  EXPECT_EQ(device->control({0xA1, bot::kRequestGetMaxLun, 0, 0, 1}, max), Result::Ok);
  EXPECT_EQ(max, Bytes{1});
  const Bytes descriptor = device->deviceDescriptor();
  EXPECT_EQ(descriptor[8] | descriptor[9] << 8, kVirtualBridgeVendorId);
  EXPECT_EQ(descriptor[10] | descriptor[11] << 8, kVirtualBridgeProductId);
}

TEST_F(BridgeUsbTest, BlocksWrittenInPacketsReadBackThroughTheBridgesDisk) {
  Bytes blocks(200 * 512);
  for (std::size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<std::uint8_t>(i * 7 + i / 512);
  Status s = Run(0, ReadWrite10(true, 1000, 200), false, static_cast<std::uint32_t>(blocks.size()), blocks);
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.residue, 0u);
  // Through the bridge's own pass-through, in requests it takes (at most 128 blocks).
  const auto writes = bridge.LogMatching(MatchOpcode(0x2A));
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].transferLength, 128u * 512);
  Bytes stored(512);
  ASSERT_TRUE(controller->publicDisk.Read(1199, stored.data()));
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), blocks.end() - 512));
  s = Run(0, ReadWrite10(false, 1000, 200), true, static_cast<std::uint32_t>(blocks.size()));
  EXPECT_EQ(s.data, blocks);
  EXPECT_GT(wakeups, 0);
}

TEST_F(BridgeUsbTest, ShortDataStagesEndWithAShortOrZeroLengthPacket) {
  // 36 bytes for a 512-byte request: a short packet, the residue in the CSW.
  Status s = Run(0, {0x12, 0, 0, 0, 36, 0}, true, 512, {}, 512);
  EXPECT_EQ(s.data.size(), 36u);
  EXPECT_EQ(s.residue, 476u);
  // One full packet of 512 where the host expects 1,024: a zero-length packet ends the stage.
  s = Run(0, ReadWrite10(false, 0, 1), true, 1024, {}, 512);
  EXPECT_EQ(s.data.size(), 512u);
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.residue, 512u);
  // A failed data-in command moves nothing and fails in the CSW.
  s = Run(1, ReadWrite10(false, 0, 1), true, 512, {}, 512);
  EXPECT_TRUE(s.data.empty());
  EXPECT_EQ(s.status, 1);
}

TEST_F(BridgeUsbTest, PhaseErrorsStallTheDataStageAndWriteNothing) {
  const struct {
    const char* what;
    Bytes cdb;
    bool in;
    std::uint32_t length;
    bool stalled;
  } cases[] = {
      {"host expects less than the read moves", ReadWrite10(false, 0, 2), true, 512, true},
      {"host reads what the device would take", ReadWrite10(true, 0, 1), true, 512, true},
      {"host sends less than the write needs", ReadWrite10(true, 0, 2), false, 512, false},
      {"host expects no data for a read", ReadWrite10(false, 0, 1), false, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Status s = Run(0, c.cdb, c.in, c.length, c.in ? Bytes{} : Bytes(c.length, 0xAA));
    EXPECT_EQ(s.status, 2);
    EXPECT_EQ(s.dataStalled, c.stalled);
  }
  EXPECT_EQ(controller->publicDisk.StoredBlocks(), 0u);
  EXPECT_TRUE(bridge.LogMatching(MatchOpcode(0x2A)).empty());
}

TEST_F(BridgeUsbTest, InvalidCommandBlockStallsBothEndpointsUntilResetRecovery) {
  Bytes bad = Cbw(1, 0, false, 0, {0});
  bad[0] = 0;
  EXPECT_EQ(device->bulkOut(kOut, bad.data(), bad.size()), Result::Ok);
  Bytes data;
  EXPECT_EQ(device->bulkIn(kIn, 13, data), Result::Stall);
  // Clearing a halt alone does not end it; the class reset, then clearing both, does.
  EXPECT_EQ(device->clearHalt(kIn), Result::Ok);
  EXPECT_EQ(device->bulkIn(kIn, 13, data), Result::Stall);
  const Bytes cbw = Cbw(9, 0, false, 0, {0, 0, 0, 0, 0, 0});
  EXPECT_EQ(device->bulkOut(kOut, cbw.data(), cbw.size()), Result::Stall);
  EXPECT_EQ(device->control({0x21, bot::kRequestReset, 0, 0, 0}, data), Result::Ok);
  EXPECT_EQ(device->clearHalt(kIn), Result::Ok);
  EXPECT_EQ(device->clearHalt(kOut), Result::Ok);
  EXPECT_EQ(Run(0, {0, 0, 0, 0, 0, 0}, false, 0).status, 0);
  // Before any command the IN endpoint has nothing to send: the transport keeps the request.
  EXPECT_EQ(device->bulkIn(kIn, 13, data), Result::Pending);
}

TEST_F(BridgeUsbTest, ResizedRegionsRaiseAUnitAttentionOnce) {
  EXPECT_EQ(Run(0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8).status, 0);
  // The cipher region takes 4,096 sectors from the public one.
  controller->cipherDisk.SetBlockCount(4096);
  controller->publicDisk.SetBlockCount(16384 - 4096);
  EXPECT_EQ(Run(0, {0, 0, 0, 0, 0, 0}, false, 0).status, 1);
  const bot::Sense sense = RequestSense(0);
  EXPECT_EQ(sense.key, bot::kUnitAttention);
  EXPECT_EQ(sense.asc, bot::kAscMediumMayHaveChanged);
  EXPECT_EQ(Run(0, {0, 0, 0, 0, 0, 0}, false, 0).status, 0);
  EXPECT_EQ(Run(1, {0, 0, 0, 0, 0, 0}, false, 0).status, 0);  // the cipher disk has a medium now
  const Status s = Run(0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true, 8);
  EXPECT_EQ(s.data, (Bytes{0, 0, 0x2F, 0xFF, 0, 0, 2, 0}));
  // Vendor commands never see the attention: the library's requests are not disturbed by it.
  controller->publicDisk.SetBlockCount(16384);
  EXPECT_EQ(Run(0, Vendor(0x34), true, 13).status, 0);
}

}  // namespace
}  // namespace quillon::testing
