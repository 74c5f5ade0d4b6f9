// The hidden partition and the custom data areas through the exports, and the rebuild of the Apple
// image around its custom records.

#include <cstring>
#include <numeric>

#include "access/last_error.h"
#include "firmware/firmware_image.h"
#include "secure/custom_data.h"
#include "secure/hidden_partition.h"
#include "secure_fixture.h"

namespace quillon::testing {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

using HiddenTest = SecureTest;

TEST_F(HiddenTest, CountComesFromThePcImage) {
  EXPECT_EQ(GetHiddenSectorCount(kDrive), static_cast<int>(kHidden));
  SeedFirmware(0x01020304);
  EXPECT_EQ(GetHiddenSectorCount(kDrive), 0x01020304);
  // Without the record, with a damaged copy 0 or without a flash there is no count.
  SeedFlashCopy(*controller, 0, fwbuild::BuildImage(fwbuild::PcRecipe()).bytes);
  EXPECT_EQ(GetHiddenSectorCount(kDrive), -1);
  SeedFirmware(kHidden);
  controller->flash.Fill(pc.endRecord, "\x01", 1);
  EXPECT_EQ(GetHiddenSectorCount(kDrive), -1);
  bridge.Device(kDrive)->openable = false;
  EXPECT_EQ(GetHiddenSectorCount(kDrive), -1);
  EXPECT_EQ(GetHiddenSectorCount(nullptr), -1);
}

TEST_F(HiddenTest, SectorsRoundTripFromFirstToLast) {
  const auto first = Pattern(512, 1), two = Pattern(1024, 2), last = Pattern(512, 3);
  ASSERT_EQ(WriteHiddenSector(kDrive, 0, 1, first.data()), 1);
  ASSERT_EQ(WriteHiddenSector(kDrive, 10, 2, two.data()), 1);
  ASSERT_EQ(WriteHiddenSector(kDrive, kHidden - 1, 1, last.data()), 1);
  // They live just below block 2^32.
  std::uint8_t block[512];
  ASSERT_TRUE(controller->publicDisk.Read((std::uint64_t{1} << 32) - 1, block));
  EXPECT_EQ(std::memcmp(block, last.data(), 512), 0);

  std::vector<std::uint8_t> all(kHidden * 512);
  ASSERT_EQ(ReadHiddenSector(kDrive, 0, kHidden, all.data()), 1);
  EXPECT_EQ(std::memcmp(all.data(), first.data(), 512), 0);
  EXPECT_EQ(std::memcmp(all.data() + 10 * 512, two.data(), 1024), 0);
  EXPECT_EQ(std::memcmp(all.data() + (kHidden - 1) * 512, last.data(), 512), 0);
}

TEST_F(HiddenTest, RangesOutsideThePartitionAreRefused) {
  std::vector<std::uint8_t> buffer(4 * 512, 0xEE);
  struct Case {
    unsigned start, count;
    int expected;
  } const cases[] = {
      {kHidden, 1, 0}, {kHidden - 1, 2, 0}, {0, kHidden + 1, 0}, {0xFFFFFFFFu, 2, 0}, {kHidden + 1, 0, 0}, {kHidden, 0, 1}, {3, 0, 1},
  };
  for (const Case& c : cases) {
    bridge.ClearLog();
    EXPECT_EQ(ReadHiddenSector(kDrive, c.start, c.count, buffer.data()), c.expected) << c.start << "+" << c.count;
    EXPECT_EQ(WriteHiddenSector(kDrive, c.start, c.count, buffer.data()), c.expected) << c.start << "+" << c.count;
    EXPECT_TRUE(bridge.LogMatching(MatchOpcode(0x28)).empty() && bridge.LogMatching(MatchOpcode(0x2A)).empty());
  }
  ClearLastError();
  EXPECT_EQ(WriteHiddenSector(kDrive, kHidden - 1, 2, buffer.data()), 0);
  EXPECT_EQ(LastErrorKind(), ErrorKind::BadInput);
  EXPECT_STREQ(LastErrorText(), "hidden sectors 63 to 64 lie outside the 64 hidden sectors");
  EXPECT_EQ(ReadHiddenSector(kDrive, 0, 1, nullptr), 0);
  EXPECT_EQ(WriteHiddenSector(kDrive, 0, 1, nullptr), 0);
  bridge.Device(kDrive)->openable = false;
  EXPECT_EQ(ReadHiddenSector(kDrive, 0, 1, buffer.data()), -1);
}

TEST_F(HiddenTest, NoHiddenSectorsMeansNothingToDo) {
  SeedFirmware(0);
  std::uint8_t buffer[512];
  bridge.ClearLog();
  EXPECT_EQ(ReadHiddenSector(kDrive, 5, 1, buffer), 1);
  EXPECT_EQ(WriteHiddenSector(kDrive, 5, 1, buffer), 1);
  EXPECT_EQ(FormatHiddenPartition(kDrive), 1);
  EXPECT_TRUE(bridge.LogMatching([](const CdbRecord& r) { return r.cdbLength == 10 || r.Sub() == 0x4A; }).empty());
  SeedFirmware(0xFFFFFFFFu);
  EXPECT_EQ(ReadHiddenSector(kDrive, 0, 1, buffer), 0);
}

TEST(HiddenLayoutTest, SlotsAndNumbers) {
  struct Case {
    const char* name;
    std::uint64_t start;
    std::uint32_t count;
    std::vector<std::uint8_t> slots;
    std::vector<std::string> commands;  // "slot first second"
  } const cases[] = {
      {"two cards, S even", 12, 64, {1, 3}, {"1 6 37", "3 6 37"}},
      {"two cards, S odd", 13, 64, {1, 3}, {"3 6 37", "1 7 38"}},
      {"one card", 0, 100, {2}, {"2 0 99"}},
      {"three cards", 4, 9, {0, 1, 2}, {"1 1 3", "2 1 3", "0 2 4"}},
      {"no card", 4, 9, {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<HiddenLayoutCommand> out;
    ASSERT_TRUE(HiddenLayout(c.start, c.count, c.slots, &out)) << c.name;
    std::vector<std::string> text;
    for (const auto& k : out)
      text.push_back(std::to_string(k.slot) + " " + std::to_string(k.first) + " " + std::to_string(k.second));
    EXPECT_EQ(text, c.commands) << c.name;
  }
  std::vector<HiddenLayoutCommand> out;
  EXPECT_FALSE(HiddenLayout(std::uint64_t{1} << 33, 0xFFFFFFFFu, {0}, &out));
  const std::uint8_t startBytes[20] = {0x05, 0, 0, 0, 0x00, 0x00, 0x01, 0x00};
  EXPECT_EQ(HiddenRegionStart(startBytes), 0x100u * 4 + 4);
  const std::uint8_t other[20] = {0x02, 0, 0, 0, 0x00, 0x00, 0x01, 0x00};
  EXPECT_EQ(HiddenRegionStart(other), 0u);
}

TEST_F(HiddenTest, FormatSendsOneLayoutCommandPerCard) {
  EXPECT_EQ(FormatHiddenPartition(kDrive), 1) << "no card present";
  EXPECT_TRUE(controller->hiddenPartitionCommands.empty());
  controller->cards[0].present = true;
  controller->cards[2].present = true;
  ASSERT_EQ(FormatHiddenPartition(kDrive), 1);
  ASSERT_EQ(controller->hiddenPartitionCommands.size(), 2u);
  EXPECT_EQ(controller->hiddenPartitionCommands[0].selector, 0);
  EXPECT_EQ(controller->hiddenPartitionCommands[0].second, kHidden / 2 - 1);
  EXPECT_EQ(controller->hiddenPartitionCommands[1].selector, 2);
}

using CustomDataTest = SecureTest;

TEST_F(CustomDataTest, AreaRoundTripsAtEveryLength) {
  for (std::size_t length : {0u, 1u, 1024u}) {
    SCOPED_TRACE(length);
    const auto data = Pattern(length, static_cast<unsigned>(length));
    ASSERT_EQ(WriteCustomData(kDrive, data.data(), static_cast<unsigned>(length)), 1);
    std::vector<std::uint8_t> back(1024, 0xEE);
    ASSERT_EQ(ReadCustomData(kDrive, back.data(), static_cast<int>(length)), 1);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_TRUE(std::all_of(back.begin() + static_cast<long>(length), back.end(), [](std::uint8_t b) { return b == 0xEE; }))
        << "nothing beyond the length asked for is written";
    // The rest of the area holds zeros.
    ASSERT_EQ(ReadCustomData(kDrive, back.data(), 1024), 1);
    EXPECT_TRUE(std::all_of(back.begin() + static_cast<long>(length), back.end(), [](std::uint8_t b) { return b == 0; }));
  }
  // The twins reach the same area.
  const auto data = Pattern(100, 9);
  ASSERT_EQ(WriteCustomData8352(kDrive, data.data(), 100), 1);
  std::vector<std::uint8_t> back(100);
  ASSERT_EQ(ReadCustomData8352(kDrive, back.data(), 100), 1);
  EXPECT_EQ(back, data);
}

TEST_F(CustomDataTest, RefusalsAndRequirements) {
  const auto data = Pattern(1025, 1);
  std::vector<std::uint8_t> back(1025);
  bridge.ClearLog();
  EXPECT_EQ(WriteCustomData(kDrive, data.data(), 1025), 0);
  EXPECT_EQ(ReadCustomData(kDrive, back.data(), 1025), 0);
  EXPECT_EQ(ReadCustomData(kDrive, back.data(), -1), 0);
  EXPECT_EQ(WriteCustomData(kDrive, nullptr, 1), 0);
  EXPECT_EQ(ReadCustomData(kDrive, nullptr, 1), 0);
  EXPECT_EQ(WriteCustomData2(kDrive, data.data(), 513), 0);
  EXPECT_EQ(WriteCustomData2(kDrive, data.data(), -1), 0);
  EXPECT_EQ(ReadCustomData2(kDrive, nullptr), 0);
  EXPECT_EQ(bridge.OpenCount(), 0);

  // A part with 64 KiB sectors is not written (its erase would take the neighbouring area along).
  controller->flash.Load(FlashPartEN25P20());
  ClearLastError();
  EXPECT_EQ(WriteCustomData(kDrive, data.data(), 4), 0);
  EXPECT_STREQ(LastErrorText(), "the flash part EN25P20 erases 65,536-byte sectors; custom data needs 4,096-byte sectors");
  EXPECT_TRUE(bridge.LogMatching(MatchVendor(0x07)).empty());
  controller->flash.present = false;
  EXPECT_EQ(ReadCustomData(kDrive, back.data(), 4), 0);
}

TEST_F(CustomDataTest, FirmwareFormRoundTripsAndKeepsBothCopiesValid) {
  for (std::size_t length : {512u, 5u, 0u, 300u}) {
    SCOPED_TRACE(length);
    const auto data = Pattern(length, 40 + static_cast<unsigned>(length));
    ASSERT_EQ(WriteCustomData2(kDrive, data.data(), static_cast<int>(length)), 1);
    for (int copy : {2, 3}) {
      const auto image = Copy(copy, 65536);
      FirmwareImageInfo info;
      EXPECT_EQ(ParseFirmwareImage(image.data(), image.size(), 0x3021E, &info), 1) << copy;
      EXPECT_TRUE(info.trailerIntact) << copy;
      EXPECT_EQ(info.keyOffset < 0, length == 0) << copy;
    }
    std::vector<std::uint8_t> area(length);
    ASSERT_EQ(ReadCustomData(kDrive, area.data(), static_cast<int>(length)), 1);
    EXPECT_EQ(area, data) << "the flash area is written too";
    if (length == 0) {
      int words[128];
      EXPECT_EQ(ReadCustomData2(kDrive, words), 0) << "no record to read";
      continue;
    }
    int words[128];
    ASSERT_EQ(ReadCustomData2(kDrive, words), 1);
    std::vector<std::uint8_t> padded = data;
    padded.resize((length + 3) / 4 * 4, 0);
    EXPECT_EQ(std::memcmp(words, padded.data(), padded.size()), 0);
  }
  // The PC copies are not touched.
  EXPECT_EQ(Copy(0, pc.bytes.size()), pc.bytes);
}

TEST_F(CustomDataTest, FirmwareFormWritesTheDamagedCopyFirst) {
  auto broken = apple.bytes;
  fwbuild::BreakChecksum(broken);
  SeedFlashCopy(*controller, 2, broken);
  bridge.ClearLog();
  ASSERT_EQ(WriteCustomData2(kDrive, "abcd", 4), 1);
  const auto erases = bridge.LogMatching(MatchVendor(0x07));
  ASSERT_EQ(erases.size(), 3u);  // the area, then copy 2, then copy 3
  EXPECT_EQ(erases[1].cdb[2], 0x02);
  EXPECT_EQ(erases[2].cdb[2], 0x03);
  // Neither copy valid: nothing but the area is written.
  SeedFlashCopy(*controller, 2, broken);
  SeedFlashCopy(*controller, 3, broken);
  bridge.ClearLog();
  EXPECT_EQ(WriteCustomData2(kDrive, "abcd", 4), 0);
  EXPECT_EQ(bridge.LogMatching(MatchVendor(0x07)).size(), 1u);
}

// The image keeps a length that is a multiple of 1,024 as records come and go.
TEST(CustomRecordsTest, ImageLengthFollowsTheRecords) {
  struct Case {
    const char* name;
    std::size_t fill;        // product area size: moves the end record
    std::size_t oldBytes;    // custom data already in the image
    std::size_t newBytes;
  } const cases[] = {
      {"grow within the padding", 560, 0, 512},
      {"grow past the padding", 900, 0, 512},
      {"shrink back a block", 900, 512, 4},
      {"replace same size", 560, 40, 40},
      {"remove all", 900, 512, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fwbuild::ImageRecipe recipe = fwbuild::AppleRecipe();
    recipe.productAreaSize = c.fill;
    for (std::uint32_t j = 0; j < (c.oldBytes + 3) / 4; ++j) recipe.extraRecords.push_back(fwbuild::ValueRecord(0x3021E + j, j));
    const fwbuild::BuiltImage built = fwbuild::BuildImage(recipe);
    const auto data = Pattern(c.newBytes, 5);
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(PutCustomRecords(built.bytes, built.passwordRecords, data.data(), data.size(), &out));
    FirmwareImageInfo info;
    ASSERT_EQ(ParseFirmwareImage(out.data(), out.size(), 0x3021E, &info), 1);
    EXPECT_TRUE(info.trailerIntact);
    EXPECT_EQ(info.paddedLength, out.size());
    EXPECT_EQ(out.size() % 1024, 0u);
    const std::size_t growth = 7 * ((c.newBytes + 3) / 4) - 7 * ((c.oldBytes + 3) / 4);
    EXPECT_EQ(out.size(), static_cast<std::size_t>(
                              (built.endRecord + growth + 1 + 16 + 1023) / 1024 * 1024));
    // The records sit right after the password records, followed by what came after the old ones.
    const std::size_t at = built.passwordRecords + 56;
    for (std::size_t j = 0; j < (c.newBytes + 3) / 4; ++j) {
      EXPECT_EQ(out[at + 7 * j], 3);
      EXPECT_EQ(out[at + 7 * j + 1], 0x1E + j);
      EXPECT_EQ(out[at + 7 * j + 2], 2);
    }
    EXPECT_EQ(out[at + 7 * ((c.newBytes + 3) / 4)], 0x13) << "the product record follows";
  }
  std::vector<std::uint8_t> out;
  const auto image = fwbuild::BuildImage(fwbuild::AppleRecipe());
  const auto data = Pattern(513, 1);
  EXPECT_FALSE(PutCustomRecords(image.bytes, image.passwordRecords, data.data(), 513, &out));
  EXPECT_FALSE(PutCustomRecords(image.bytes, image.bytes.size(), data.data(), 4, &out));
}

}  // namespace
}  // namespace quillon::testing
