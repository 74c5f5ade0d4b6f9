// The device record and the decoding of identify replies.

#include <cstring>

#include "bridge_fixture.h"

namespace quillon::testing {
namespace {

TEST(BridgeDeviceTest, OpenFillsTheInitialValues) {
  BridgeDevice d;
  std::memset(&d, 0xCD, sizeof(d));
  ASSERT_EQ(OpenBridgeDevice(&d, "\\\\.\\PhysicalDrive3"), 1);
  EXPECT_EQ(d.pageSize, 256u);
  EXPECT_EQ(d.sectorSize, 4096u);
  EXPECT_STREQ(d.flashName, "");
  EXPECT_STREQ(d.path, "\\\\.\\PhysicalDrive3");
  EXPECT_EQ(d.vendorOpcode, 0x17);
  EXPECT_EQ(d.jedecId, 0u);
  EXPECT_EQ(d.remsId, 0u);
  EXPECT_EQ(std::memcmp(d.opcodes.op, kDefaultSpiOpcodes.op, 10), 0);
  EXPECT_EQ(d.imageSigned, 0u);
  EXPECT_EQ(d.maxTransfer, 512u);
  EXPECT_EQ(d.chipKind, ChipKind::KindFcc);
  EXPECT_EQ(d.secondImageSupport, 0u);
}

TEST(BridgeDeviceTest, PathsLongerThan24CharactersAreRefused) {
  BridgeDevice d{};
  d.pageSize = 7;
  EXPECT_EQ(OpenBridgeDevice(&d, "123456789012345678901234"), 1);
  d.pageSize = 7;
  EXPECT_EQ(OpenBridgeDevice(&d, "1234567890123456789012345"), 0);
  EXPECT_EQ(d.pageSize, 7u);  // untouched
  EXPECT_EQ(OpenBridgeDevice(&d, nullptr), 0);
}

struct DecodeCase {
  const char* label;
  std::vector<std::uint8_t> reply;  // r0.. (the rest zero)
  int ok;
  const char* name;
  ChipKind kind;
  int formatB;
  std::uint32_t word1;
};

TEST(IdentifyDecodeTest, ChipNamesFormatsAndKinds) {
  const std::vector<DecodeCase> cases = {
      {"BC1", {'B', 'B', 'C', '1', 0, 0x78, 0x56, 0x34, 0x12}, 1, "BC1", ChipKind::Kind6623, 1, 0x12345678},
      {"6623", {'B', 0, 0, 0x23, 0x66}, 1, "6623", ChipKind::Kind6623, 1, 0},
      {"6623 with one more character", {'B', 0, 'x', 0x23, 0x66}, 1, "6623x", ChipKind::None, 1, 0},
      {"6623 cut after five", {'B', 'y', 'x', 0x23, 0x66}, 1, "6623x", ChipKind::None, 1, 0},
      {"FCC1", {'B', 'F', 'C', 'C', '1'}, 1, "FCC1", ChipKind::KindFcc, 1, 0},
      {"FCC2", {'B', 'F', 'C', 'C', '2'}, 1, "FCC2", ChipKind::KindFcc, 1, 0},
      {"FCC3", {'B', 'F', 'C', 'C', '3'}, 1, "FCC3", ChipKind::None, 1, 0},
      {"format F", {'F', 'F', 'C', 'C', '1', 0, 0, 0x34, 0x12}, 1, "FCC1", ChipKind::KindFcc, 0, 0x1234},
      {"format F cut after five", {'F', 'A', 'B', 'C', 'D', 'E', 'G'}, 1, "ABCDE", ChipKind::None, 0, 0},
      {"bad first byte", {'X', 'F', 'C', 'C', '1'}, 0, "", ChipKind::None, 0, 0},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::uint8_t reply[13] = {};
    std::memcpy(reply, c.reply.data(), c.reply.size());
    reply[9] = 0x04;
    reply[12] = 0x01;
    IdentifyInfo info{};
    ASSERT_EQ(DecodeIdentify(reply, &info), c.ok);
    if (!c.ok) continue;
    EXPECT_STREQ(info.chipName, c.name);
    EXPECT_EQ(ChipKindFromName(info.chipName), c.kind);
    EXPECT_EQ(info.formatB, c.formatB);
    EXPECT_EQ(info.word1, c.word1);
    EXPECT_EQ(info.word2, 0x01000004u);
  }
}

class IdentifyStepTest : public BridgeTest {};

TEST_F(IdentifyStepTest, SetsKindAndSecondImageSupport) {
  controller->SetIdentifyB("6623", 0, 0x02000000);
  IdentifyInfo info{};
  ASSERT_EQ(IdentifyBridge(device, &info), 1);
  EXPECT_EQ(device.chipKind, ChipKind::Kind6623);
  EXPECT_EQ(device.secondImageSupport, 1u);

  controller->SetIdentifyF("FCC2", 0, 0x01000000);
  ASSERT_EQ(IdentifyBridge(device, &info), 1);
  EXPECT_EQ(device.chipKind, ChipKind::KindFcc);
  EXPECT_EQ(device.secondImageSupport, 0u);
}

TEST_F(IdentifyStepTest, FailureLeavesKindNone) {
  controller->identifyReply[0] = 'Z';
  EXPECT_EQ(IdentifyBridge(device, nullptr), 0);
  EXPECT_EQ(device.chipKind, ChipKind::None);
}

}  // namespace
}  // namespace quillon::testing
