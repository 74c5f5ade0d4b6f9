// Flash identification and the flash exports against the virtual bridge.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "access/bridge_device.h"
#include "access/commands.h"
#include "access/digest.h"
#include "access/flash.h"
#include "quillon_flash.h"
#include "testing/virtual_bridge/flash_parts.h"
#include "testing/virtual_bridge/virtual_bridge.h"

namespace quillon::testing {
namespace {

const char kPath[] = "\\\\.\\PhysicalDrive1";

class FlashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller = bridge.AttachDisk(1);
    ASSERT_TRUE(OpenBridgeDevice(&device, kPath));
  }

  // The identification traffic in short form: "op<slot>=<opcode>" for an opcode load, "rd<mode>x<n>"
  // for a flash read of n bytes in a mode.
  std::vector<std::string> FlashTraffic() const {
    std::vector<std::string> out;
    char text[32];
    for (const CdbRecord& r : bridge.Log()) {
      if (r.Sub() == sub::kSetSpiOpcode) {
        std::snprintf(text, sizeof text, "op%u=%02X", r.cdb[2], r.cdb[3]);
      } else if (r.Sub() == sub::kFlashRead) {
        std::snprintf(text, sizeof text, "rd%ux%u", r.cdb[7], static_cast<unsigned>(r.transferLength));
      } else {
        std::snprintf(text, sizeof text, "sub%02X", r.Sub());
      }
      out.push_back(text);
    }
    return out;
  }

  static std::vector<std::uint8_t> Opcodes(const BridgeDevice& d) { return {d.opcodes.op, d.opcodes.op + 10}; }

  VirtualBridge bridge;
  std::shared_ptr<VirtualController> controller;
  BridgeDevice device{};
};

FlashPart Part(std::array<std::uint8_t, 3> rdid, std::array<std::uint8_t, 2> rems,
               std::array<std::uint8_t, 2> res = {0xFF, 0xFF}) {
  FlashPart p;
  p.rdid = rdid;
  p.rems = rems;
  p.res = res;
  return p;
}

const std::vector<std::uint8_t> kDefaults = {0x9F, 0x90, 0x03, 0x05, 0x06, 0x02, 0x20, 0xC7, 0x00, 0x01};
const std::vector<std::uint8_t> kWinbond = {0x9F, 0x90, 0x03, 0x05, 0x06, 0x02, 0x20, 0xC7, 0x06, 0x01};
const std::vector<std::string> kPlainReads = {"op1=9F", "rd1x3", "op1=90", "rd2x2"};

TEST_F(FlashTest, IdentifiesByBothIdentifiers) {
  FlashPart noRdid = Part({0xFF, 0xFF, 0xFF}, {0xEF, 0x12});
  noRdid.answersRdid = false;
  noRdid.rdid15 = {0xEF, 0x30, 0x13};
  const struct {
    const char* label;
    FlashPart part;
    const char* name;
    std::uint32_t jedec, rems, page, sector;
    std::vector<std::uint8_t> opcodes;
    std::vector<std::string> traffic;
  } cases[] = {
      {"W25X40", FlashPartW25X40(), "W25X40", 0x1330EF, 0x12EF, 256, 4096, kWinbond, kPlainReads},
      {"EN25P20 has 64 KiB sectors", FlashPartEN25P20(), "EN25P20", 0x12201C, 0x111C, 256, 65536,
       {0x9F, 0x90, 0x03, 0x05, 0x06, 0x02, 0xD8, 0xC7, 0x06, 0x01}, kPlainReads},
      {"GD25Q16", FlashPartGD25Q16(), "GD25Q16", 0x1540C8, 0x14C8, 256, 4096, kWinbond, kPlainReads},
      {"empty REMS cells match FF FF after the 0xAB retry", Part({0xEF, 0x30, 0x14}, {0xFF, 0xFF}), "W25X80",
       0x1430EF, 0xFFFF, 256, 4096, kWinbond, {"op1=9F", "rd1x3", "op1=90", "rd2x2", "op1=AB", "rd2x2"}},
      {"REMS 0 is read again with 0xAB", Part({0xEF, 0x30, 0x13}, {0x00, 0x00}, {0xEF, 0x12}), "W25X40",
       0x1330EF, 0x12EF, 256, 4096, kWinbond, {"op1=9F", "rd1x3", "op1=90", "rd2x2", "op1=AB", "rd2x2"}},
      {"FF FF FF is read again with 0x15", noRdid, "W25X40", 0x1330EF, 0x12EF, 256, 4096, kWinbond,
       {"op1=9F", "rd1x3", "op1=15", "rd1x3", "op1=90", "rd2x2"}},
      {"an unknown part keeps the defaults", Part({0x12, 0x34, 0x56}, {0x12, 0x34}), "", 0x563412, 0x3412, 256,
       4096, kDefaults, kPlainReads},
      {"a known JEDEC id with another REMS id is unknown", Part({0xEF, 0x30, 0x13}, {0xEF, 0x13}), "", 0x1330EF,
       0x13EF, 256, 4096, kDefaults, kPlainReads},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    controller->flash.Load(c.part);
    bridge.ClearLog();
    BridgeDevice d{};
    ASSERT_TRUE(OpenBridgeDevice(&d, kPath));
    ASSERT_EQ(IdentifyFlash(d), 1);
    EXPECT_STREQ(d.flashName, c.name);
    EXPECT_EQ(d.jedecId, c.jedec);
    EXPECT_EQ(d.remsId, c.rems);
    EXPECT_EQ(d.pageSize, c.page);
    EXPECT_EQ(d.sectorSize, c.sector);
    EXPECT_EQ(Opcodes(d), c.opcodes);
    EXPECT_EQ(FlashTraffic(), c.traffic);
  }
}

TEST_F(FlashTest, ReidentificationStartsFromTheDefaults) {
  controller->flash.Load(FlashPartEN25P20());
  ASSERT_EQ(IdentifyFlash(device), 1);
  ASSERT_STREQ(device.flashName, "EN25P20");
  controller->flash.Load(Part({0x12, 0x34, 0x56}, {0x12, 0x34}));
  ASSERT_EQ(IdentifyFlash(device), 1);
  EXPECT_STREQ(device.flashName, "");
  EXPECT_EQ(Opcodes(device), kDefaults);
}

TEST_F(FlashTest, AFailedIdentifierReadFailsIdentification) {
  const struct {
    const char* label;
    FlashPart part;
    int skip;  // identification reads let through before the failing one
    std::size_t requests;
  } cases[] = {
      {"RDID read", FlashPartW25X40(), 0, 2},
      {"REMS read", FlashPartW25X40(), 1, 4},
      {"0xAB retry read", Part({0xEF, 0x30, 0x14}, {0xFF, 0xFF}), 2, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    controller->flash.Load(c.part);
    bridge.ClearLog();
    bridge.ClearFaults();
    bridge.AddFault({MatchVendor(sub::kFlashRead), FaultKind::CheckCondition, 0, 0, c.skip, 1});
    BridgeDevice d{};
    ASSERT_TRUE(OpenBridgeDevice(&d, kPath));
    EXPECT_EQ(IdentifyFlash(d), 0);
    EXPECT_EQ(bridge.Log().size(), c.requests) << "nothing is sent after the failed read";
  }
}

TEST_F(FlashTest, EveryCataloguedPartIsIdentifiedWithItsRow) {
  const auto parts = CataloguedParts();
  ASSERT_GE(parts.size(), 120u);
  std::map<std::pair<std::uint32_t, std::uint32_t>, const CataloguedPart*> firstWithIds;
  for (const CataloguedPart& part : parts) {
    SCOPED_TRACE(part.name);
    controller->flash.Load(FlashPartFromCatalogue(part));
    BridgeDevice d{};
    ASSERT_TRUE(OpenBridgeDevice(&d, kPath));
    ASSERT_EQ(IdentifyFlash(d), 1);
    // Parts that answer alike are all taken for the first of them.
    const CataloguedPart* expected = firstWithIds.emplace(std::make_pair(d.jedecId, d.remsId), &part).first->second;
    EXPECT_EQ(d.flashName, expected->name);
    EXPECT_EQ(d.pageSize, expected->pageSize);
    EXPECT_EQ(d.sectorSize, expected->sectorSize);
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(d.opcodes[i], expected->opcodes[i] ? expected->opcodes[i] : kDefaults[i]) << "opcode " << i;
    }
  }
}

// A caller's buffer with room beyond the text, to see that nothing is written past it.
struct DumpBuffer {
  std::vector<char> bytes = std::vector<char>(kFlashDumpChars + 64, 'x');
  std::uint32_t length = 0xDEADBEEF;
  bool Untouched() const {
    for (char c : bytes) {
      if (c != 'x') return false;
    }
    return length == 0xDEADBEEF;
  }
};

TEST_F(FlashTest, ReadFlashOfErasedFlash) {
  DumpBuffer out;
  ASSERT_EQ(ReadFlash(kPath, out.bytes.data(), &out.length, 0), 1);
  EXPECT_EQ(out.length, 196608u);
  std::string expected;
  for (int i = 0; i < 65536; ++i) expected += "ff ";
  EXPECT_EQ(std::string(out.bytes.data(), out.length), expected);
  EXPECT_EQ(std::string(out.bytes.data() + out.length, 64), std::string(64, 'x')) << "no terminator, no overrun";
}

TEST_F(FlashTest, ReadFlashRendersTheBytesAtTheAddress) {
  controller->flash.Load(FlashPartEN25P20());
  std::vector<std::uint8_t> pattern(65536);
  for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  controller->flash.Fill(0x10000, pattern.data(), pattern.size());
  DumpBuffer out;
  ASSERT_EQ(ReadFlash(kPath, out.bytes.data(), &out.length, 0x10000), 1);
  ASSERT_EQ(out.length, kFlashDumpChars);
  EXPECT_EQ(std::string(out.bytes.data(), out.length), HexSpaced(pattern.data(), pattern.size()));

  // One flash-present query, the identification, the READ opcode load, then 256 page reads.
  const auto reads = bridge.LogMatching([](const CdbRecord& r) { return r.Sub() == sub::kFlashRead && r.cdb[7] == 0; });
  ASSERT_EQ(reads.size(), 256u);
  EXPECT_EQ(reads.front().cdb[4], 0x01);
  EXPECT_EQ(reads.front().cdb[5], 0x00);
  EXPECT_EQ(reads.back().cdb[5], 0xFF);
  EXPECT_EQ(reads.front().transferLength, 256u);
}

TEST_F(FlashTest, ReadFlashFailuresLeaveTheBufferAlone) {
  const struct {
    const char* label;
    const char* path;
    bool present;
    std::vector<Fault> faults;
    bool sendsNothing;
  } cases[] = {
      {"no flash", kPath, false, {}, false},
      {"identification read fails", kPath, true, {{MatchVendor(sub::kFlashRead), FaultKind::Fail, platform::kErrorIoDevice}}, false},
      {"a page read fails", kPath, true,
       {{[](const CdbRecord& r) { return r.Sub() == sub::kFlashRead && r.cdb[7] == 0; }, FaultKind::Fail,
         platform::kErrorIoDevice, 0, 100, 1}},
       false},
      {"path too long", "\\\\.\\PhysicalDrive1234567890123", true, {}, true},
      {"unopenable path", "\\\\.\\PhysicalDrive7", true, {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    controller->flash.present = c.present;
    bridge.ClearFaults();
    bridge.ClearLog();
    for (const Fault& f : c.faults) bridge.AddFault(f);
    DumpBuffer out;
    EXPECT_EQ(ReadFlash(c.path, out.bytes.data(), &out.length, 0), 0);
    EXPECT_TRUE(out.Untouched());
    if (c.sendsNothing) {
      EXPECT_TRUE(bridge.Log().empty());
    }
  }
  bridge.ClearLog();
  std::uint32_t length = 0;
  char data[4];
  EXPECT_EQ(ReadFlash(kPath, nullptr, &length, 0), 0);
  EXPECT_EQ(ReadFlash(kPath, data, nullptr, 0), 0);
  EXPECT_EQ(ReadFlash(nullptr, data, &length, 0), 0);
  EXPECT_TRUE(bridge.Log().empty());
}

TEST_F(FlashTest, SectorEraseUsesTheIdentifiedSector) {
  const struct {
    FlashPart part;
    std::uint32_t address;
    std::uint32_t first, size;  // the sector that must be erased
    std::uint8_t opcode;
  } cases[] = {
      {FlashPartW25X40(), 0x1234, 0x1000, 4096, 0x20},
      {FlashPartFromCatalogue("EN25P20"), 0x12345, 0x10000, 65536, 0xD8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part.name);
    controller->flash.Load(c.part);
    const std::vector<std::uint8_t> zeros(controller->flash.cells.size(), 0x00);
    controller->flash.Fill(0, zeros.data(), zeros.size());
    bridge.ClearLog();
    ASSERT_EQ(SectorEraseFlash(kPath, c.address), 1);
    const auto& cells = controller->flash.cells;
    for (std::uint32_t a = 0; a < cells.size(); ++a) {
      const bool inSector = a >= c.first && a < c.first + c.size;
      if (cells[a] != (inSector ? 0xFF : 0x00)) {
        ADD_FAILURE() << "byte " << a << " is " << int(cells[a]);
        break;
      }
    }
    const auto loads = bridge.LogMatching([](const CdbRecord& r) { return r.Sub() == sub::kSetSpiOpcode && r.cdb[2] == 0; });
    ASSERT_FALSE(loads.empty());
    EXPECT_EQ(loads.back().cdb[3], c.opcode);
  }
}

TEST_F(FlashTest, SectorEraseNeedsIdentification) {
  bridge.AddFault({MatchVendor(sub::kFlashRead), FaultKind::Fail, platform::kErrorIoDevice});
  EXPECT_EQ(SectorEraseFlash(kPath, 0), 0);
  EXPECT_TRUE(bridge.LogMatching(MatchVendor(sub::kFlashSectorErase)).empty());
  EXPECT_EQ(SectorEraseFlash("\\\\.\\PhysicalDrive1234567890123", 0), 0);
}

TEST(FlashDumpReadLength, WholePagesCovering64KiB) {
  EXPECT_EQ(FlashDumpReadLength(256), 65536u);
  EXPECT_EQ(FlashDumpReadLength(1), 65536u);
  EXPECT_EQ(FlashDumpReadLength(528), 528u * 125);
  EXPECT_EQ(FlashDumpReadLength(65536), 65536u);
  EXPECT_EQ(FlashDumpReadLength(0), 0u);
}

}  // namespace
}  // namespace quillon::testing
