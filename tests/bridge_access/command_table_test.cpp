// Every command of the command set: the exact CDB, direction, lengths, time-out and sense size that
// reach the device, what data goes out, and what the operation returns.

#include <cstring>
#include <functional>

#include "bridge_fixture.h"

namespace quillon::testing {
namespace {

struct Expected {
  const char* name;
  std::function<int(const BridgeDevice&)> call;
  int result;
  std::vector<std::uint8_t> cdb;
  bool dataIn;
  std::uint32_t transfer;
  std::uint32_t inLength;
  std::uint32_t outLength;
  std::uint32_t timeout = 5;
  std::uint8_t sense = 0;
  std::vector<std::uint8_t> dataOutPrefix = {};
};

class CommandTableTest : public BridgeTest {};

TEST_F(CommandTableTest, EveryCommandSendsItsRequestOnce) {
  device.chipKind = ChipKind::None;  // no opcode loads: one request per command
  controller->cards[0].present = true;
  controller->cards[1].present = true;
  controller->cards[2].present = true;
  controller->passwords.entries.push_back({});

  static std::uint8_t page[256];
  static std::uint8_t buffer[65536];
  static std::uint8_t block32[32] = {0xA5, 0x5A};
  static const std::uint8_t finger[7] = {1, 2, 3, 0x7D, 5, 6, 7};
  std::memset(page, 0x11, sizeof(page));

  const auto V = Vendor;
  const std::vector<Expected> table = {
      {"FlashProgram", [](const BridgeDevice& d) { return CmdFlashProgram(d, 0x123456, page, 256); }, 1,
       V("17 00 00 ff 12 34 56"), false, 256, 324, 324, 5, 0, {0x11, 0x11}},
      {"FlashRead", [](const BridgeDevice& d) { return CmdFlashRead(d, 0x010000, buffer, 256); }, 1,
       V("17 01 00 ff 01 00 00 00"), true, 256, 44, 324},
      {"FlashReadMode", [](const BridgeDevice& d) { return CmdFlashReadMode(d, 0, 1, buffer, 3); }, 1,
       V("17 01 00 02 00 00 00 01"), true, 3, 44, 71},
      {"FlashChipErase", [](const BridgeDevice& d) { return CmdFlashChipErase(d); }, 1, V("17 02"), false, 0, 68, 68},
      {"SetSpiOpcode", [](const BridgeDevice& d) { return CmdSetSpiOpcode(d, 3, 0x06); }, 1, V("17 05 03 06"), false,
       0, 68, 68},
      {"FlashPresent", [](const BridgeDevice& d) { return CmdFlashPresent(d); }, 1, V("17 06"), true, 1, 69, 69},
      {"FlashSectorErase", [](const BridgeDevice& d) { return CmdFlashSectorErase(d, 0x2F000); }, 1,
       V("17 07 02 f0 00"), false, 0, 68, 68},
      {"WriteMemory", [](const BridgeDevice& d) { return CmdWriteMemory(d, 0x307E8, block32, 4); }, 1,
       V("17 20 00 04 00 03 07 e8"), false, 4, 72, 72, 5, 0, {0xA5, 0x5A, 0, 0}},
      {"ReadMemory", [](const BridgeDevice& d) { return CmdReadMemory(d, 0x30830, buffer, 32); }, 1,
       V("17 21 00 20 00 03 08 30"), true, 32, 100, 100},
      {"ResetChip", [](const BridgeDevice& d) { return CmdResetChip(d); }, 1, V("17 30 00 01"), false, 0, 68, 68},
      {"ResetUsb", [](const BridgeDevice& d) { return CmdResetUsb(d); }, 1, V("17 33 01"), false, 0, 68, 68},
      {"Identify", [](const BridgeDevice& d) { return CmdIdentify(d, buffer); }, 1, V("17 34"), true, 13, 81, 81, 2},
      {"CardPrepareA", [](const BridgeDevice& d) { return CmdCardPrepareA(d); }, 1, V("17 40"), true, 1, 69, 69},
      {"CardPrepareB", [](const BridgeDevice& d) { return CmdCardPrepareB(d); }, 1, V("17 41"), true, 1, 69, 69},
      {"WriteCardBlock", [](const BridgeDevice& d) { return CmdWriteCardBlock(d, 1, 0x180, page, 256); }, 1,
       V("17 42 02 00 00 01 80 01"), false, 512, 580, 580, 5, 24, {0x11}},
      {"ReadCardBlock", [](const BridgeDevice& d) { return CmdReadCardBlock(d, 0, 5, buffer, 512); }, 1,
       V("17 43 02 00 00 00 05 00"), true, 512, 44, 580},
      {"CardPresent", [](const BridgeDevice& d) { return CmdCardPresent(d, 2); }, 1, V("17 44 02"), true, 1, 69, 69},
      {"CardInit", [](const BridgeDevice& d) { return CmdCardInit(d, 1); }, 1, V("17 46 01"), true, 1, 69, 69, 50},
      {"GetRegionTable", [](const BridgeDevice& d) { RegionTable t; return CmdGetRegionTable(d, &t); }, 1, V("17 47"),
       true, 20, 108, 108, 10},
      {"WriteIsoBlocks", [](const BridgeDevice& d) { return CmdWriteIsoBlocks(d, 0x10, buffer, 65536); }, 1,
       V("17 48 2a 00 00 00 00 10 00 00 80"), false, 65536, 65604, 65604, 5, 24},
      {"SetHiddenPartition",
       [](const BridgeDevice& d) { return CmdSetHiddenPartition(d, 2, 0x01020304, 0x0A0B0C0D); }, 1,
       V("17 4a 02 01 02 03 04 0a 0b 0c 0d"), false, 0, 68, 68},
      {"SendPasswordOld", [](const BridgeDevice& d) { return CmdSendPasswordOld(d, "abc"); }, 1, V("17 4b"), false,
       32, 100, 100, 10, 0, {'a', 'b', 'c', 0, 0}},
      {"GetCardSerial", [](const BridgeDevice& d) { std::uint64_t s; return CmdGetCardSerial(d, &s); }, 1, V("17 4c"),
       true, 16, 84, 84},
      {"ProbePasswordOld", [](const BridgeDevice& d) { return CmdProbePasswordOld(d); }, 1, V("17 52"), false, 0, 68,
       68},
      {"FingerPressed", [](const BridgeDevice& d) { return CmdFingerPressed(d); }, 0, V("17 5c 00"), true, 1, 69, 69},
      {"FingerCommand",
       [](const BridgeDevice& d) { std::uint32_t n = 0; return CmdFingerCommand(d, finger, buffer, 40, &n); }, 1,
       V("17 5c 01 01 02 03 7d 05 06 07"), true, 32, 100, 100},
      {"SetFingerMode", [](const BridgeDevice& d) { return CmdSetFingerMode(d, 1, 9); }, 1, V("17 5c 02 01 09"), false,
       0, 68, 68},
      {"IsPublicRegion", [](const BridgeDevice& d) { return CmdIsPublicRegion(d); }, 1, V("17 5c 03"), true, 1, 69, 69},
      {"SetFingerPrintPower", [](const BridgeDevice& d) { return CmdSetFingerPrintPower(d, 5); }, 1, V("17 5c 04 01"),
       false, 0, 68, 68},
      {"GetEncryptState", [](const BridgeDevice& d) { int e; return CmdGetEncryptState(d, &e); }, 1, V("17 5c 05"),
       true, 1, 69, 69},
      {"SetPassword", [](const BridgeDevice& d) { return CmdSetPassword(d, 7, block32); }, 1, V("17 5d 01 07"), false,
       32, 100, 100, 5, 0, {0xA5, 0x5A, 0}},
      {"HasPassword", [](const BridgeDevice& d) { return CmdHasPassword(d); }, 1, V("17 5d 02"), true, 1, 69, 69},
      {"SetCipherDiskSize", [](const BridgeDevice& d) { return CmdSetCipherDiskSize(d, 0x12345, 7); }, 1,
       V("17 5d 03 45 23 01 00 01"), false, 0, 68, 68},
      {"ClearPassword", [](const BridgeDevice& d) { return CmdClearPassword(d); }, 1, V("17 5d 04"), false, 0, 68, 68},
      {"VerifyPassword", [](const BridgeDevice& d) { return CmdVerifyPassword(d, block32); }, 1, V("17 5d 05"), false,
       32, 100, 100, 5, 0, {0xA5}},
      {"DeletePassword", [](const BridgeDevice& d) { return CmdDeletePassword(d, block32); }, 1, V("17 5d 06"), false,
       32, 100, 100, 5, 0, {0xA5}},
      {"GetPasswordNumber", [](const BridgeDevice& d) { return CmdGetPasswordNumber(d); }, 0, V("17 5d 07"), true, 1,
       69, 69},
      {"DeletePasswordAt", [](const BridgeDevice& d) { return CmdDeletePasswordAt(d, 3); }, 1, V("17 5d 08 03"), false,
       0, 68, 68},
      {"GetPasswordInfo", [](const BridgeDevice& d) { return CmdGetPasswordInfo(d, buffer); }, 1, V("17 5d 09"), true,
       512, 580, 580},
      {"SdCardLock", [](const BridgeDevice& d) { return CmdSdCardLock(d, 2, "pw12"); }, 1, V("17 60 02 04"), false, 4,
       72, 72, 300, 0, {'p', 'w', '1', '2'}},
      {"GetSdCardStatus", [](const BridgeDevice& d) { std::uint8_t s; return CmdGetSdCardStatus(d, &s); }, 1,
       V("17 61"), true, 1, 69, 69},
      {"Read10Blocks", [](const BridgeDevice& d) { return Read10Blocks(d, 0x00010203, 2, buffer); }, 1,
       Hex("28 00 00 01 02 03 00 00 02 00"), true, 1024, 44, 1092, 5, 24},
      {"Write10Blocks", [](const BridgeDevice& d) { return Write10Blocks(d, 7, 1, buffer); }, 1,
       Hex("2a 00 00 00 00 07 00 00 01 00"), false, 512, 580, 580, 5, 24},
  };

  for (const Expected& e : table) {
    SCOPED_TRACE(e.name);
    bridge.ClearLog();
    EXPECT_EQ(e.call(device), e.result);
    ASSERT_EQ(bridge.Log().size(), 1u);
    const CdbRecord& r = bridge.Log()[0];
    EXPECT_EQ(Cdb(r), e.cdb);
    EXPECT_EQ(r.dataIn, e.dataIn);
    EXPECT_EQ(r.transferLength, e.transfer);
    EXPECT_EQ(r.inLength, e.inLength);
    EXPECT_EQ(r.outLength, e.outLength);
    EXPECT_EQ(r.timeoutSeconds, e.timeout);
    EXPECT_EQ(r.senseLength, e.sense);
    ASSERT_GE(r.dataOut.size(), e.dataOutPrefix.size());
    EXPECT_TRUE(std::equal(e.dataOutPrefix.begin(), e.dataOutPrefix.end(), r.dataOut.begin()));
    EXPECT_EQ(bridge.OpenHandles(), 0);  // every command closes its handle
  }
}

// The header fields every request carries besides the CDB.
class HeaderCapture : public VirtualBridge {
 public:
  platform::PassThroughResult SendPassThrough(platform::DeviceHandle h, std::uint8_t* request, std::uint32_t in,
                                              std::uint32_t out) override {
    header.assign(request, request + 68);
    return VirtualBridge::SendPassThrough(h, request, in, out);
  }
  std::vector<std::uint8_t> header;
};

TEST(RequestLayoutTest, HeaderHasTheFixedFieldsOfTheThirtyTwoBitLayout) {
  HeaderCapture bridge;
  bridge.AttachDisk(0);
  BridgeDevice device{};
  ASSERT_TRUE(OpenBridgeDevice(&device, "\\\\.\\PhysicalDrive0"));
  std::uint8_t block[512] = {};
  ASSERT_EQ(Read10Blocks(device, 1, 1, block), 1);
  const std::vector<std::uint8_t>& h = bridge.header;
  ASSERT_EQ(h.size(), 68u);
  EXPECT_EQ(h[0] | (h[1] << 8), 44);                  // Length
  EXPECT_EQ(h[3], 0);                                 // PathId
  EXPECT_EQ(h[4], 0);                                 // TargetId
  EXPECT_EQ(h[5], 0);                                 // Lun
  EXPECT_EQ(h[6], 10);                                // CdbLength
  EXPECT_EQ(h[7], 24);                                // SenseInfoLength
  EXPECT_EQ(h[8], 1);                                 // DataIn
  EXPECT_EQ(h[12] | (h[13] << 8), 512);               // DataTransferLength
  EXPECT_EQ(h[16], 5);                                // TimeOutValue
  EXPECT_EQ(h[20], 68);                               // DataBufferOffset
  EXPECT_EQ(h[24], 44);                               // SenseInfoOffset
  EXPECT_EQ(h[28], 0x28);                             // Cdb
}

}  // namespace
}  // namespace quillon::testing
