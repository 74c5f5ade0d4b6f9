// Image walk, validation and firmware-file splitting.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "access/bridge_device.h"
#include "firmware/firmware_image.h"
#include "firmware_image_builder.h"

namespace quillon {
namespace {

using fwbuild::BuildImage;
using fwbuild::ImageRecipe;

// Parses a heap copy of exactly `length` bytes, so that a read past the end is caught by ASan.
int ParseExact(const std::vector<std::uint8_t>& image, std::size_t length, std::uint32_t key,
               FirmwareImageInfo* info, BridgeDevice* device = nullptr) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[length ? length : 1]);
  if (length) std::memcpy(copy.get(), image.data(), length);
  if (device) return ParseFirmwareImage(copy.get(), length, *device, key, info);
  return ParseFirmwareImage(copy.get(), length, key, info);
}

BridgeDevice Device() {
  BridgeDevice device{};
  OpenBridgeDevice(&device, "\\\\.\\PhysicalDrive1");
  return device;
}

TEST(ParseFirmwareImage, AcceptsBuiltImageAndReportsItsParts) {
  const fwbuild::BuiltImage built = BuildImage(fwbuild::PcRecipe());
  BridgeDevice device = Device();
  FirmwareImageInfo info;
  ASSERT_EQ(1, ParseExact(built.bytes, built.bytes.size(), kKeyVersion, &info, &device));
  EXPECT_EQ(static_cast<std::int32_t>(built.versionRecord), info.keyOffset);
  EXPECT_EQ(built.bytes.size(), info.paddedLength);
  EXPECT_EQ(0x01020304u, info.version);
  EXPECT_TRUE(info.trailerIntact);
  EXPECT_EQ(1u, device.imageSigned);

  ASSERT_EQ(1, ParseExact(built.bytes, built.bytes.size(), kKeyOptions, &info));
  EXPECT_EQ(static_cast<std::int32_t>(built.optionRecord), info.keyOffset);
  ASSERT_EQ(1, ParseExact(built.bytes, built.bytes.size(), 0x3FFFF, &info));
  EXPECT_EQ(-1, info.keyOffset);
}

TEST(ParseFirmwareImage, ReadsExtraBytesAfterTheImageAsNothing) {
  // A copy read from flash is 64 KiB long; what follows the trailer does not matter.
  fwbuild::BuiltImage built = BuildImage(fwbuild::PcRecipe());
  built.bytes.resize(65536, 0xFF);
  FirmwareImageInfo info;
  EXPECT_EQ(1, ParseExact(built.bytes, built.bytes.size(), kKeyVersion, &info));
  EXPECT_EQ(1024u, info.paddedLength);
}

struct PaddingCase {
  std::size_t endRecord;
  std::uint32_t padded;
};

void PrintTo(const PaddingCase& c, std::ostream* os) { *os << "end record at " << c.endRecord; }

class PaddedLength : public ::testing::TestWithParam<PaddingCase> {};

TEST_P(PaddedLength, GrowsWhenTheTrailerWouldNotFit) {
  ImageRecipe recipe = fwbuild::PcRecipe();
  recipe.endRecordOffset = GetParam().endRecord;
  const fwbuild::BuiltImage built = BuildImage(recipe);
  FirmwareImageInfo info;
  EXPECT_EQ(1, ParseExact(built.bytes, built.bytes.size(), kKeyVersion, &info));
  EXPECT_EQ(GetParam().padded, info.paddedLength);
}

INSTANTIATE_TEST_SUITE_P(EndRecordOffsets, PaddedLength,
                         ::testing::Values(PaddingCase{999, 1024}, PaddingCase{1007, 1024},
                                           PaddingCase{1008, 2048}, PaddingCase{1013, 2048},
                                           PaddingCase{1023, 2048}, PaddingCase{1024, 2048},
                                           PaddingCase{2031, 2048}, PaddingCase{65519, 65536},
                                           PaddingCase{65520, 66560}));

using RecipeDamage = void (*)(ImageRecipe&);
using ByteDamage = void (*)(fwbuild::BuiltImage&);

struct DamageCase {
  const char* name;
  RecipeDamage recipe;
  ByteDamage bytes;
  int valid;
  bool lengthReported;  // record counts right
  bool signedFlag;
  bool trailerIntact;
};

const DamageCase kDamage[] = {
    {"intact", nullptr, nullptr, 1, true, true, true},
    {"two12", [](ImageRecipe& s) { s.records12 = 2; }, nullptr, 0, false, true, true},
    {"no12", [](ImageRecipe& s) { s.records12 = 0; }, nullptr, 0, false, true, true},
    {"two13", [](ImageRecipe& s) { s.records13 = 2; }, nullptr, 0, false, true, true},
    {"padding", nullptr, [](fwbuild::BuiltImage& b) { fwbuild::PutPaddingByte(b); }, 0, true, true, true},
    {"noVersion", [](ImageRecipe& s) { s.withVersion = false; }, nullptr, 0, true, true, true},
    {"unknownType", [](ImageRecipe& s) { s.unknownType = 0x42; }, nullptr, 0, false, false, false},
    {"chipFCC3", [](ImageRecipe& s) { s.chipCode = "FCC3"; }, nullptr, 0, true, true, true},
    {"chipFCC1", [](ImageRecipe& s) { s.chipCode = "FCC1"; }, nullptr, 1, true, true, true},
    {"chipFCC4", [](ImageRecipe& s) { s.chipCode = "FCC4"; }, nullptr, 1, true, true, true},
    {"chipFCC5", [](ImageRecipe& s) { s.chipCode = "FCC5"; }, nullptr, 1, true, true, true},
    {"noChip", [](ImageRecipe& s) { s.chipCode.clear(); }, nullptr, 0, true, true, true},
    {"signature", nullptr, [](fwbuild::BuiltImage& b) { fwbuild::BreakSignature(b.bytes); }, 0, true, false, false},
    // The walk itself does not look at the checksum; the check reports it separately.
    {"checksum", nullptr, [](fwbuild::BuiltImage& b) { fwbuild::BreakChecksum(b.bytes); }, 1, true, true, false},
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class Damage : public ::testing::TestWithParam<DamageCase> {};

TEST_P(Damage, IsJudgedAsExpected) {
  const DamageCase& c = GetParam();
  ImageRecipe recipe = fwbuild::PcRecipe();
  if (c.recipe) c.recipe(recipe);
  fwbuild::BuiltImage built = BuildImage(recipe);
  if (c.bytes) c.bytes(built);
  BridgeDevice device = Device();
  device.imageSigned = c.signedFlag ? 0 : 1;  // must be overwritten either way
  FirmwareImageInfo info;
  EXPECT_EQ(c.valid, ParseExact(built.bytes, built.bytes.size(), kKeyVersion, &info, &device));
  EXPECT_EQ(c.lengthReported, info.paddedLength != 0);
  EXPECT_EQ(c.signedFlag ? 1u : 0u, device.imageSigned);
  EXPECT_EQ(c.trailerIntact, info.trailerIntact);
}

INSTANTIATE_TEST_SUITE_P(Images, Damage, ::testing::ValuesIn(kDamage),
                         [](const ::testing::TestParamInfo<DamageCase>& i) { return std::string(i.param.name); });

TEST(ParseFirmwareImage, TruncatedImagesAreRefusedWithoutReadingPastTheirEnd) {
  const fwbuild::BuiltImage built = BuildImage(fwbuild::PcRecipe());
  BridgeDevice device = Device();
  for (std::size_t length = 0; length < built.bytes.size(); ++length) {
    FirmwareImageInfo info;
    ASSERT_EQ(0, ParseExact(built.bytes, length, kKeyVersion, &info, &device)) << length;
    EXPECT_EQ(0u, device.imageSigned) << length;
  }
}

TEST(ParseFirmwareImage, RecordRunningPastTheEndIsRefused) {
  // The last record claims more bytes than the image has.
  std::vector<std::uint8_t> image = fwbuild::ValueRecord(kKeyChipCode, 0x32434346);
  image.insert(image.end(), {0x12, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00});
  FirmwareImageInfo info;
  EXPECT_EQ(0, ParseExact(image, image.size(), kKeyVersion, &info));
  EXPECT_EQ(0u, info.paddedLength);
  // A 7-byte record cut short, and a long record cut inside its length field.
  EXPECT_EQ(0, ParseExact(image, 10, kKeyVersion, &info));
  EXPECT_EQ(0, ParseExact(image, 9, kKeyVersion, &info));
}

TEST(ParseFirmwareImage, WalkEndsInsideTheFirst64KiB) {
  ImageRecipe recipe = fwbuild::PcRecipe();
  recipe.endRecordOffset = 65535;  // the last offset a walk may reach
  fwbuild::BuiltImage built = BuildImage(recipe);
  FirmwareImageInfo info;
  EXPECT_EQ(1, ParseExact(built.bytes, built.bytes.size(), kKeyVersion, &info));
  EXPECT_EQ(66560u, info.paddedLength);

  recipe.endRecordOffset = 65536;  // one byte further: the walk has passed 64 KiB
  built = BuildImage(recipe);
  EXPECT_EQ(0, ParseExact(built.bytes, built.bytes.size(), kKeyVersion, &info));
}

TEST(ParseFirmwareImage, NullImageIsRefused) {
  FirmwareImageInfo info;
  EXPECT_EQ(0, ParseFirmwareImage(nullptr, 100, kKeyVersion, &info));
  EXPECT_EQ(-1, info.keyOffset);
}

// --- Firmware files --------------------------------------------------------------------------------

struct FileImages {
  std::vector<std::uint8_t> pc = BuildImage(fwbuild::PcRecipe()).bytes;
  std::vector<std::uint8_t> apple = BuildImage(fwbuild::AppleRecipe()).bytes;
};

TEST(SplitFirmwareFile, SingleImage) {
  FileImages f;
  std::string pc = "x", apple = "y";
  ASSERT_EQ(1, SplitFirmwareFile(fwbuild::FirmwareFile(f.pc), &pc, &apple));
  EXPECT_EQ(fwbuild::HexText(f.pc), pc);
  EXPECT_TRUE(apple.empty());
}

TEST(SplitFirmwareFile, TwoImagesWithAndWithoutLineBreaks) {
  FileImages f;
  const std::string layouts[] = {
      fwbuild::FirmwareFile(f.pc, &f.apple),
      fwbuild::FirmwareFile(f.pc, &f.apple, 16, "\r\n"),
      fwbuild::FirmwareFile(f.pc, &f.apple, 1, "\n"),
      fwbuild::FirmwareFile(f.pc, &f.apple, 7, "\r"),
      "\r\n" + fwbuild::FirmwareFile(f.pc, &f.apple, 32, "\r\n\r\n"),
  };
  for (const std::string& text : layouts) {
    std::string pc, apple;
    ASSERT_EQ(1, SplitFirmwareFile(text, &pc, &apple));
    EXPECT_EQ(fwbuild::HexText(f.pc), pc);
    EXPECT_EQ(fwbuild::HexText(f.apple), apple);
  }
}

TEST(SplitFirmwareFile, PaddingAfterASingleImageIsNoAppleImage) {
  FileImages f;
  for (std::uint8_t fill : {0x00, 0xFF}) {
    for (std::size_t tail : {1u, 15u, 16u, 40u, 5000u}) {
      std::vector<std::uint8_t> extra(tail, fill);
      std::string pc, apple;
      ASSERT_EQ(1, SplitFirmwareFile(fwbuild::FirmwareFile(f.pc, &extra), &pc, &apple)) << tail;
      EXPECT_TRUE(apple.empty()) << tail;
    }
  }
}

// Bytes after the first image that are neither padding nor a whole second image: a second image cut
// short or damaged, never a single-image file.
TEST(SplitFirmwareFile, OtherBytesAfterTheFirstImageRefuseTheFile) {
  FileImages f;
  std::vector<std::vector<std::uint8_t>> tails = {{0x01}, {0x00, 0xFF}, std::vector<std::uint8_t>(40, 0x5A)};
  for (std::size_t keep : {1u, 15u, 500u}) tails.emplace_back(f.apple.begin(), f.apple.begin() + keep);
  for (const auto& tail : tails) {
    std::string pc = "x", apple = "y";
    EXPECT_EQ(0, SplitFirmwareFile(fwbuild::FirmwareFile(f.pc, &tail), &pc, &apple)) << tail.size();
    EXPECT_TRUE(pc.empty() && apple.empty());
  }
}

TEST(SplitFirmwareFile, TextAfterTheAppleImageIsIgnored) {
  FileImages f;
  std::vector<std::uint8_t> apple = f.apple;
  apple.insert(apple.end(), 100, 0xEE);
  std::string pc, appleText;
  ASSERT_EQ(1, SplitFirmwareFile(fwbuild::FirmwareFile(f.pc, &apple), &pc, &appleText));
  EXPECT_EQ(fwbuild::HexText(f.apple), appleText);
}

TEST(SplitFirmwareFile, RefusesDamagedFiles) {
  FileImages f;
  std::vector<std::uint8_t> badPc = f.pc;
  fwbuild::BreakChecksum(badPc);
  std::vector<std::uint8_t> badApple = f.apple;
  fwbuild::BreakChecksum(badApple);
  std::vector<std::uint8_t> cutApple = f.apple;
  cutApple.resize(cutApple.size() - 3);  // its signature is there, its trailer is not whole
  std::vector<std::uint8_t> cutPc = f.pc;
  cutPc.resize(cutPc.size() - 9);
  std::vector<std::uint8_t> markMissing = f.pc;
  markMissing[markMissing.size() - 3] = 0x31;  // trailer byte 13 must be 0x30
  fwbuild::Seal(markMissing);
  std::vector<std::uint8_t> noSignature(2048, 0x00);

  const std::string files[] = {
      fwbuild::FirmwareFile(badPc, &f.apple),
      fwbuild::FirmwareFile(f.pc, &badApple),
      fwbuild::FirmwareFile(f.pc, &cutApple),
      fwbuild::FirmwareFile(cutPc),
      fwbuild::FirmwareFile(markMissing),
      fwbuild::FirmwareFile(noSignature),
      fwbuild::FirmwareFile(f.pc).replace(30, 2, "zz"),  // not hexadecimal
      "",
  };
  for (std::size_t i = 0; i < sizeof(files) / sizeof(files[0]); ++i) {
    std::string pc = "x", apple = "y";
    EXPECT_EQ(0, SplitFirmwareFile(files[i], &pc, &apple)) << i;
    EXPECT_TRUE(pc.empty()) << i;
    EXPECT_TRUE(apple.empty()) << i;
  }
}

}  // namespace
}  // namespace quillon
