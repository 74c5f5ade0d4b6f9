// Layout walk, product-string descriptor, customisation and the preparation of an update.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/firmware_image.h"
#include "firmware_image_builder.h"

namespace quillon {
namespace {

using fwbuild::BuildImage;
using fwbuild::BuiltImage;
using fwbuild::ChipPlace;
using fwbuild::ImageRecipe;

std::int32_t At(std::size_t offset) { return static_cast<std::int32_t>(offset); }

TEST(WalkImageLayout, FirstLayoutPlacesOfThePcImage) {
  ImageRecipe recipe = fwbuild::PcRecipe();
  recipe.optionBits = 0xA0;
  recipe.password = "open sesame";
  const BuiltImage built = BuildImage(recipe);
  ImageLayout layout;
  layout.second.productPosition = 4711;  // the other layout's places stay as they were
  FirmwareLayout kind = FirmwareLayout::Second;
  ASSERT_EQ(1, WalkImageLayout(fwbuild::HexText(built.bytes), &layout, &kind));
  EXPECT_EQ(FirmwareLayout::First, kind);
  EXPECT_EQ(At(built.record13 + 5 + 344), layout.first.productPosition);
  EXPECT_EQ(At(built.record13 + 5 + recipe.productAreaSize), layout.first.productLimit);
  EXPECT_EQ(At(built.optionRecord + 3), layout.first.optionOffset);
  EXPECT_EQ(0xA0, layout.first.optionBits);
  EXPECT_EQ(At(built.passwordRecords), layout.first.passwordRecords);
  EXPECT_STREQ("open sesame", reinterpret_cast<const char*>(layout.first.passwordText));
  EXPECT_EQ(4711, layout.second.productPosition);
}

TEST(WalkImageLayout, SecondLayoutPlacesOfTheAppleImage) {
  const BuiltImage built = BuildImage(fwbuild::AppleRecipe());
  ImageLayout layout;
  layout.first.optionOffset = 99;
  FirmwareLayout kind = FirmwareLayout::First;
  ASSERT_EQ(1, WalkImageLayout(fwbuild::HexText(built.bytes), &layout, &kind));
  EXPECT_EQ(FirmwareLayout::Second, kind);
  EXPECT_EQ(At(built.record13 + 5 + 312), layout.second.productPosition);
  EXPECT_EQ(At(built.optionRecord + 6), layout.second.passwordFlagOffset);
  EXPECT_EQ(At(built.passwordRecords), layout.second.passwordRecords);
  EXPECT_EQ(99, layout.first.optionOffset);
}

struct LayoutCase {
  const char* name;
  ChipPlace chip;
  std::uint32_t version;
  FirmwareLayout kind;
  std::size_t productOffset;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class LayoutChoice : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutChoice, FollowsVersionAndChipCode) {
  const LayoutCase& c = GetParam();
  ImageRecipe recipe = fwbuild::PcRecipe();
  recipe.chipPlace = c.chip;
  recipe.version = c.version;
  const BuiltImage built = BuildImage(recipe);
  ImageLayout layout;
  FirmwareLayout kind;
  ASSERT_EQ(1, WalkImageLayout(fwbuild::HexText(built.bytes), &layout, &kind));
  EXPECT_EQ(c.kind, kind);
  const std::int32_t product =
      kind == FirmwareLayout::First ? layout.first.productPosition : layout.second.productPosition;
  EXPECT_EQ(At(built.record13 + 5 + c.productOffset), product);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, LayoutChoice,
    ::testing::Values(LayoutCase{"second", ChipPlace::BeforeVersion, 0x02000050, FirmwareLayout::Second, 312},
                      LayoutCase{"topByteOne", ChipPlace::BeforeVersion, 0x01000050, FirmwareLayout::First, 344},
                      LayoutCase{"lowNibbleFour", ChipPlace::BeforeVersion, 0x02000040, FirmwareLayout::First, 344},
                      LayoutCase{"lowByteFive", ChipPlace::BeforeVersion, 0x02000005, FirmwareLayout::First, 344},
                      LayoutCase{"chipAfterVersion", ChipPlace::AfterVersion, 0x02000050, FirmwareLayout::First, 344},
                      LayoutCase{"newVersionWithChip", ChipPlace::BeforeVersion, 0x03000000, FirmwareLayout::First, 344},
                      LayoutCase{"newVersionChipLate", ChipPlace::AfterProductRecord, 0x03000000, FirmwareLayout::First,
                                 424},
                      LayoutCase{"twoChipLate", ChipPlace::AfterProductRecord, 0x02000000, FirmwareLayout::First, 344},
                      LayoutCase{"topBitChipLate", ChipPlace::AfterProductRecord, 0x80000000, FirmwareLayout::First,
                                 344}),
    [](const ::testing::TestParamInfo<LayoutCase>& i) { return std::string(i.param.name); });

TEST(WalkImageLayout, RecordsAfterTheProductRecordDoNotCount) {
  ImageRecipe recipe = fwbuild::PcRecipe();
  recipe.withOptions = false;
  recipe.extraRecordsAfter13 = {fwbuild::ValueRecord(kKeyOptions, 0x80)};
  ImageLayout layout;
  ASSERT_EQ(1, WalkImageLayout(fwbuild::HexText(BuildImage(recipe).bytes), &layout));
  EXPECT_EQ(-1, layout.first.optionOffset);
}

TEST(WalkImageLayout, BrokenPasswordRunIsNotReported) {
  ImageRecipe recipe = fwbuild::PcRecipe();
  recipe.withPasswordRecords = false;
  for (std::uint32_t k = 0; k < 8; ++k) {
    if (k == 4) recipe.extraRecords.push_back({0x00, 1, 2, 3, 4});  // something in between
    recipe.extraRecords.push_back(fwbuild::ValueRecord(kKeyPasswordFirst + k, 0));
  }
  ImageLayout layout;
  ASSERT_EQ(1, WalkImageLayout(fwbuild::HexText(BuildImage(recipe).bytes), &layout));
  EXPECT_EQ(-1, layout.first.passwordRecords);

  recipe.extraRecords.clear();  // seven records only
  for (std::uint32_t k = 0; k < 7; ++k) recipe.extraRecords.push_back(fwbuild::ValueRecord(kKeyPasswordFirst + k, 0));
  ASSERT_EQ(1, WalkImageLayout(fwbuild::HexText(BuildImage(recipe).bytes), &layout));
  EXPECT_EQ(-1, layout.first.passwordRecords);
}

TEST(WalkImageLayout, Validity) {
  struct Case {
    const char* name;
    void (*change)(ImageRecipe&);
    int valid;
  } cases[] = {
      {"two12", [](ImageRecipe& s) { s.records12 = 2; }, 0},
      {"chipFCC3", [](ImageRecipe& s) { s.chipCode = "FCC3"; }, 0},
      {"unknownType", [](ImageRecipe& s) { s.unknownType = 0x77; }, 0},
      // Not needed by the layout walk; the update refuses these separately.
      {"noVersion", [](ImageRecipe& s) { s.withVersion = false; }, 1},
      {"two13", [](ImageRecipe& s) { s.records13 = 2; }, 1},
  };
  for (const Case& c : cases) {
    ImageRecipe recipe = fwbuild::PcRecipe();
    c.change(recipe);
    ImageLayout layout;
    EXPECT_EQ(c.valid, WalkImageLayout(fwbuild::HexText(BuildImage(recipe).bytes), &layout)) << c.name;
  }
  BuiltImage padded = BuildImage(fwbuild::PcRecipe());
  fwbuild::PutPaddingByte(padded);
  ImageLayout layout;
  EXPECT_EQ(0, WalkImageLayout(fwbuild::HexText(padded.bytes), &layout));
  EXPECT_EQ(0, WalkImageLayout("00 zz ", &layout));
  EXPECT_EQ(0, WalkImageLayout("", &layout));
}

TEST(ProductStringDescriptor, Bytes) {
  EXPECT_EQ((std::vector<std::uint8_t>{0x06, 0x03, 0x41, 0x00, 0x42, 0x00}), ProductStringDescriptor("AB"));
  EXPECT_EQ(126u, ProductStringDescriptor(std::string(62, 'x')).size());
  EXPECT_TRUE(ProductStringDescriptor(std::string(63, 'x')).empty());
  EXPECT_TRUE(ProductStringDescriptor("caf\xc3\xa9").empty());
}

// --- Customisation ---------------------------------------------------------------------------------

struct Pair {
  BuiltImage pc;
  BuiltImage apple;
  ImageLayout layout;
  std::string pcHex;
  std::string appleHex;

  explicit Pair(ImageRecipe pcRecipe = fwbuild::PcRecipe(), ImageRecipe appleRecipe = fwbuild::AppleRecipe())
      : pc(BuildImage(pcRecipe)), apple(BuildImage(appleRecipe)) {
    pcHex = fwbuild::HexText(pc.bytes);
    appleHex = fwbuild::HexText(apple.bytes);
    ImageLayout appleLayout;
    EXPECT_EQ(1, WalkImageLayout(appleHex, &appleLayout));
    EXPECT_EQ(1, WalkImageLayout(pcHex, &layout));
    layout.second = appleLayout.second;
  }
};

bool Sealed(const std::vector<std::uint8_t>& image) {
  const std::uint16_t crc = fwbuild::Crc16(image.data(), image.size() - 2);
  return image[image.size() - 2] == (crc >> 8) && image[image.size() - 1] == (crc & 0xFF);
}

// Bytes that differ between two images of the same length, ignoring the two checksum bytes.
std::vector<std::size_t> Changed(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i + 2 < a.size(); ++i)
    if (a[i] != b[i]) at.push_back(i);
  return at;
}

TEST(CustomiseImages, ProductStringGoesToBothImages) {
  Pair p;
  std::vector<std::uint8_t> pc, apple;
  ASSERT_EQ(1, CustomiseImages("AB", p.pcHex, p.appleHex, p.layout, &pc, &apple));
  const std::uint8_t descriptor[] = {0x06, 0x03, 0x41, 0x00, 0x42, 0x00};
  const std::size_t pcAt = p.pc.record13 + 5 + 344;
  const std::size_t appleAt = p.apple.record13 + 5 + 312;
  ASSERT_EQ(p.pc.bytes.size(), pc.size());
  EXPECT_EQ(0, std::memcmp(pc.data() + pcAt, descriptor, 6));
  EXPECT_EQ(0, std::memcmp(apple.data() + appleAt, descriptor, 6));
  // Only the descriptor's bytes and the checksum changed (the area held 0x5A bytes before).
  EXPECT_EQ((std::vector<std::size_t>{pcAt, pcAt + 1, pcAt + 2, pcAt + 3, pcAt + 4, pcAt + 5}), Changed(p.pc.bytes, pc));
  EXPECT_EQ(6u, Changed(p.apple.bytes, apple).size());
  EXPECT_TRUE(Sealed(pc));
  EXPECT_TRUE(Sealed(apple));
}

TEST(CustomiseImages, WithoutProductStringOrPasswordTheImagesStayAsTheyAre) {
  Pair p;
  for (const char* product : {static_cast<const char*>(nullptr), ""}) {
    std::vector<std::uint8_t> pc, apple;
    ASSERT_EQ(1, CustomiseImages(product, p.pcHex, p.appleHex, p.layout, &pc, &apple));
    EXPECT_EQ(p.pc.bytes, pc);
    EXPECT_EQ(p.apple.bytes, apple);
  }
  std::vector<std::uint8_t> pc, apple = {1, 2, 3};
  ASSERT_EQ(1, CustomiseImages("X", p.pcHex, "", p.layout, &pc, &apple));
  EXPECT_TRUE(apple.empty());
}

TEST(CustomiseImages, RefusesProductStringsThatCannotBePlaced) {
  ImageRecipe small = fwbuild::PcRecipe();
  small.productAreaSize = 344 + 10;  // room for a descriptor of 10 bytes: four characters
  Pair p(small);
  std::vector<std::uint8_t> pc, apple;
  EXPECT_EQ(1, CustomiseImages("ABCD", p.pcHex, "", p.layout, &pc, &apple));
  EXPECT_EQ(0, CustomiseImages("ABCDE", p.pcHex, "", p.layout, &pc, &apple));

  Pair q;
  EXPECT_EQ(0, CustomiseImages(std::string(63, 'x').c_str(), q.pcHex, q.appleHex, q.layout, &pc, &apple));
  EXPECT_EQ(1, CustomiseImages(std::string(62, 'x').c_str(), q.pcHex, q.appleHex, q.layout, &pc, &apple));

  // An Apple image in the first layout gives no second-layout product position.
  Pair r(fwbuild::PcRecipe(), fwbuild::PcRecipe());
  EXPECT_EQ(0, CustomiseImages("AB", r.pcHex, r.appleHex, r.layout, &pc, &apple));
  EXPECT_EQ(1, CustomiseImages("AB", r.pcHex, "", r.layout, &pc, &apple));
}

// The verifier the library must write for `password` after srand(seed): SHA-1, zeros, JAMCRC xor rand.
std::vector<std::uint8_t> ExpectedVerifier(const std::uint8_t sha1[20], std::uint32_t jamcrc, unsigned seed) {
  std::srand(seed);
  std::uint32_t mask = 0;
  for (int i = 0; i < 4; ++i) mask |= static_cast<std::uint32_t>(std::rand() & 0xFF) << (8 * i);
  std::vector<std::uint8_t> block(sha1, sha1 + 20);
  block.resize(28, 0);
  const std::uint32_t check = jamcrc ^ mask;
  for (int i = 0; i < 4; ++i) block.push_back(static_cast<std::uint8_t>(check >> (8 * i)));
  return block;
}

std::vector<std::uint8_t> BlockFromRecords(const std::vector<std::uint8_t>& image, std::size_t first) {
  std::vector<std::uint8_t> block;
  for (std::size_t k = 0; k < 8; ++k)
    for (std::size_t i = 0; i < 4; ++i) block.push_back(image[first + 7 * k + 3 + i]);
  return block;
}

TEST(CustomiseImages, PasswordVerifierGoesToBothImages) {
  ImageRecipe pcRecipe = fwbuild::PcRecipe();
  pcRecipe.optionBits = 0x20;
  pcRecipe.password = "secret";
  Pair p(pcRecipe);
  // SHA-1("secret") and CRC-32/JAMCRC of "secret" padded with zeros to 32 bytes.
  const std::uint8_t sha1[20] = {0xe5, 0xe9, 0xfa, 0x1b, 0xa3, 0x1e, 0xcd, 0x1a, 0xe8, 0x4f,
                                 0x75, 0xca, 0xaa, 0x47, 0x4f, 0x3a, 0x66, 0x3f, 0x05, 0xf4};
  const std::vector<std::uint8_t> expected = ExpectedVerifier(sha1, 0x607ba3e6, 1234);

  std::srand(1234);
  std::vector<std::uint8_t> pc, apple;
  ASSERT_EQ(1, CustomiseImages(nullptr, p.pcHex, p.appleHex, p.layout, &pc, &apple));
  EXPECT_EQ(expected, BlockFromRecords(pc, p.pc.passwordRecords));
  EXPECT_EQ(expected, BlockFromRecords(apple, p.apple.passwordRecords));
  EXPECT_EQ(0x02, apple[p.apple.optionRecord + 6]);
  EXPECT_EQ(0x20, pc[p.pc.optionRecord + 3]);
  // Keys and types of the records are untouched.
  for (std::size_t k = 0; k < 8; ++k) {
    EXPECT_EQ(0, std::memcmp(pc.data() + p.pc.passwordRecords + 7 * k, p.pc.bytes.data() + p.pc.passwordRecords + 7 * k, 3));
    EXPECT_EQ(0, std::memcmp(apple.data() + p.apple.passwordRecords + 7 * k,
                             p.apple.bytes.data() + p.apple.passwordRecords + 7 * k, 3));
  }
  EXPECT_TRUE(Sealed(pc));
  EXPECT_TRUE(Sealed(apple));

  // An empty password text still gets a verifier (of the empty text); PC image alone.
  pcRecipe.password.clear();
  Pair q(pcRecipe);
  const std::uint8_t sha1Empty[20] = {0xda, 0x39, 0xa3, 0xee, 0x5e, 0x6b, 0x4b, 0x0d, 0x32, 0x55,
                                      0xbf, 0xef, 0x95, 0x60, 0x18, 0x90, 0xaf, 0xd8, 0x07, 0x09};
  const std::vector<std::uint8_t> expectedEmpty = ExpectedVerifier(sha1Empty, 0xe6f5aa52, 99);
  std::srand(99);
  ASSERT_EQ(1, CustomiseImages(nullptr, q.pcHex, "", q.layout, &pc, &apple));
  EXPECT_EQ(expectedEmpty, BlockFromRecords(pc, q.pc.passwordRecords));
}

TEST(CustomiseImages, PasswordNeedsEveryPlace) {
  ImageRecipe pcRecipe = fwbuild::PcRecipe();
  pcRecipe.optionBits = 0x20;
  pcRecipe.password = "pw";
  ImageRecipe appleNoRecords = fwbuild::AppleRecipe();
  appleNoRecords.withPasswordRecords = false;
  ImageRecipe appleNoFlag = fwbuild::AppleRecipe();
  appleNoFlag.withOptions = false;
  ImageRecipe pcNoRecords = pcRecipe;
  pcNoRecords.withPasswordRecords = false;

  std::vector<std::uint8_t> pc, apple;
  Pair a(pcRecipe, appleNoRecords);
  EXPECT_EQ(0, CustomiseImages(nullptr, a.pcHex, a.appleHex, a.layout, &pc, &apple));
  Pair b(pcRecipe, appleNoFlag);
  EXPECT_EQ(0, CustomiseImages(nullptr, b.pcHex, b.appleHex, b.layout, &pc, &apple));
  Pair c(pcNoRecords);
  EXPECT_EQ(0, CustomiseImages(nullptr, c.pcHex, c.appleHex, c.layout, &pc, &apple));
  Pair d(pcRecipe, fwbuild::PcRecipe());  // Apple image in the first layout
  EXPECT_EQ(0, CustomiseImages(nullptr, d.pcHex, d.appleHex, d.layout, &pc, &apple));
  // Without the password option nothing of that is needed.
  Pair e(fwbuild::PcRecipe(), appleNoRecords);
  EXPECT_EQ(1, CustomiseImages(nullptr, e.pcHex, e.appleHex, e.layout, &pc, &apple));
}

TEST(CustomiseImages, PlacesOutsideTheImageAreRefused) {
  Pair p;
  std::vector<std::uint8_t> pc, apple;
  ImageLayout bad = p.layout;
  bad.first.productPosition = static_cast<std::int32_t>(p.pc.bytes.size()) - 4;
  bad.first.productLimit = static_cast<std::int32_t>(p.pc.bytes.size()) + 200;
  EXPECT_EQ(0, CustomiseImages("AB", p.pcHex, p.appleHex, bad, &pc, &apple));

  ImageRecipe pcRecipe = fwbuild::PcRecipe();
  pcRecipe.optionBits = 0x20;
  Pair q(pcRecipe);
  bad = q.layout;
  bad.first.passwordRecords = static_cast<std::int32_t>(q.pc.bytes.size()) - 30;
  EXPECT_EQ(0, CustomiseImages(nullptr, q.pcHex, q.appleHex, bad, &pc, &apple));
}

// --- Preparation of an update ------------------------------------------------------------------------

TEST(PrepareFirmwareUpdate, ReadsStorageAndCustomises) {
  ImageRecipe cards = fwbuild::PcRecipe();
  cards.optionBits = 0x80;
  const std::vector<std::uint8_t> pc = BuildImage(cards).bytes;
  const std::vector<std::uint8_t> appleImage = BuildImage(fwbuild::AppleRecipe()).bytes;
  PreparedFirmware out;
  ASSERT_EQ(1, PrepareFirmwareUpdate(fwbuild::FirmwareFile(pc, &appleImage, 16), "AB", &out));
  EXPECT_TRUE(out.cardStorage);
  EXPECT_EQ(pc.size(), out.pc.size());
  EXPECT_EQ(appleImage.size(), out.apple.size());

  ASSERT_EQ(1, PrepareFirmwareUpdate(fwbuild::FirmwareFile(BuildImage(fwbuild::PcRecipe()).bytes), nullptr, &out));
  EXPECT_FALSE(out.cardStorage);
  EXPECT_TRUE(out.apple.empty());
}

TEST(PrepareFirmwareUpdate, RefusesWhatCannotBeWrittenSafely) {
  struct Case {
    const char* name;
    void (*pc)(ImageRecipe&);
  } cases[] = {
      {"noVersion", [](ImageRecipe& s) { s.withVersion = false; }},
      {"two13", [](ImageRecipe& s) { s.records13 = 2; }},
      {"noOptions", [](ImageRecipe& s) { s.withOptions = false; }},
      {"pcInSecondLayout", [](ImageRecipe& s) { s.version = 0x02000050; }},
      {"longerThanACopy", [](ImageRecipe& s) { s.endRecordOffset = 65530; }},
      {"two12", [](ImageRecipe& s) { s.records12 = 2; }},
  };
  for (const Case& c : cases) {
    ImageRecipe recipe = fwbuild::PcRecipe();
    c.pc(recipe);
    PreparedFirmware out;
    out.cardStorage = true;
    EXPECT_EQ(0, PrepareFirmwareUpdate(fwbuild::FirmwareFile(BuildImage(recipe).bytes), nullptr, &out)) << c.name;
    EXPECT_TRUE(out.pc.empty() && out.cardStorage) << c.name;
  }
  // A damaged Apple image spoils the whole file.
  ImageRecipe badApple = fwbuild::AppleRecipe();
  badApple.withVersion = false;
  const std::vector<std::uint8_t> pc = BuildImage(fwbuild::PcRecipe()).bytes;
  const std::vector<std::uint8_t> apple = BuildImage(badApple).bytes;
  PreparedFirmware out;
  EXPECT_EQ(0, PrepareFirmwareUpdate(fwbuild::FirmwareFile(pc, &apple), nullptr, &out));
}

}  // namespace
}  // namespace quillon
