#include "access/digest.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace quillon {
namespace {

std::string Sha1Hex(const std::string& message) {
  std::uint8_t digest[kSha1Size] = {};
  std::uint32_t length = 0;
  if (Sha1Digest(message.data(), message.size(), digest, &length) != 1 || length != kSha1Size) return "failed";
  std::string hex = HexSpaced(digest, sizeof digest);
  std::string compact;
  for (std::size_t i = 0; i < hex.size(); i += 3) compact += hex.substr(i, 2);
  return compact;
}

TEST(Sha1Digest, PublishedCheckValues) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
    {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) EXPECT_EQ(Sha1Hex(c.message), c.digest) << c.message.size() << " bytes";
}

TEST(Sha1Digest, EmptyInputWithoutBufferAndRefusedArguments) {
  std::uint8_t digest[kSha1Size] = {};
  std::uint32_t length = 0;
  ASSERT_EQ(Sha1Digest(nullptr, 0, digest, &length), 1);
  EXPECT_EQ(length, kSha1Size);
  EXPECT_EQ(digest[0], 0xda);
  EXPECT_EQ(digest[19], 0x09);

  EXPECT_EQ(Sha1Digest(nullptr, 3, digest, &length), 0);
  EXPECT_EQ(Sha1Digest("abc", 3, nullptr, &length), 0);
  // The length output is optional.
  EXPECT_EQ(Sha1Digest("abc", 3, digest, nullptr), 1);
  EXPECT_EQ(digest[0], 0xa9);
}

TEST(Crc16Msb, CheckValues) {
  const struct {
    const char* text;
    std::uint16_t crc;
  } cases[] = {{"123456789", 0xAEE7}, {"abc", 0x44D8}, {"", 0xFFFF}};
  for (const auto& c : cases) EXPECT_EQ(Crc16Msb(c.text, std::strlen(c.text)), c.crc) << c.text;
}

TEST(Crc32Raw32, MatchesZlibWithoutFinalInversion) {
  // Expected values from Python's zlib.crc32(block) ^ 0xFFFFFFFF.
  std::vector<std::uint8_t> digits(32, 0);
  std::memcpy(digits.data(), "123456789", 9);
  std::vector<std::uint8_t> counting(32);
  for (int i = 0; i < 32; ++i) counting[i] = static_cast<std::uint8_t>(i);
  const struct {
    std::vector<std::uint8_t> block;
    std::uint32_t crc;
  } cases[] = {
    {digits, 0x898FA784u},
    {counting, 0x6ED98175u},
    {std::vector<std::uint8_t>(32, 0x00), 0xE6F5AA52u},
    {std::vector<std::uint8_t>(32, 0xFF), 0x009354F4u},
  };
  // Each block is exactly 32 bytes on the heap, so a read beyond it is caught by the address sanitizer.
  for (const auto& c : cases) EXPECT_EQ(Crc32Raw32(c.block.data()), c.crc);
}

TEST(HexSpaced, TextForm) {
  const std::uint8_t bytes[] = {0x00, 0xAB};
  EXPECT_EQ(HexSpaced(bytes, 2), "00 ab ");
  EXPECT_EQ(HexSpaced(bytes, 0), "");
}

TEST(HexSpaced, RoundTripOfEveryByteValue) {
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  const std::string text = HexSpaced(all.data(), all.size());
  ASSERT_EQ(text.size(), 768u);
  std::vector<std::uint8_t> back;
  ASSERT_TRUE(HexSpacedParse(text, &back));
  EXPECT_EQ(back, all);
}

TEST(HexSpacedParse, AcceptedTexts) {
  const struct {
    const char* text;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
    {"00 ab ", {0x00, 0xAB}},
    {"00 ab", {0x00, 0xAB}},
    {"0", {0x00}},
    {"00 a", {0x00, 0x0A}},
    {"FF 7E ", {0xFF, 0x7E}},
    {"00xab\n12", {0x00, 0xAB, 0x12}}, // separators are not looked at
    {"", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> out{0x55};
    ASSERT_TRUE(HexSpacedParse(c.text, &out)) << c.text;
    EXPECT_EQ(out, c.bytes) << c.text;
  }
}

TEST(HexSpacedParse, RefusesNonDigitsAndLeavesOutputAlone) {
  for (const char* text : {"zz", "0g ", " 00", "00 ab  ", "00 -1", "0 ", "00 ab x"}) {
    std::vector<std::uint8_t> out{0x55};
    EXPECT_FALSE(HexSpacedParse(text, &out)) << '"' << text << '"';
    EXPECT_EQ(out, std::vector<std::uint8_t>{0x55}) << text;
  }
  EXPECT_FALSE(HexSpacedParse("00", nullptr));
}

TEST(AnsiToWide, AsciiText) {
  std::u16string wide = u"unchanged";
  ASSERT_TRUE(AnsiToWide("Quillon 1.0", &wide));
  EXPECT_EQ(wide, u"Quillon 1.0");
  ASSERT_TRUE(AnsiToWide("", &wide));
  EXPECT_EQ(wide, u"");
  EXPECT_FALSE(AnsiToWide(nullptr, &wide));
  EXPECT_FALSE(AnsiToWide("x", nullptr));
}

}  // namespace
}  // namespace quillon
