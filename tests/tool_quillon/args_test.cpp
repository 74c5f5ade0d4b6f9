// Command-line values: sizes, numbers and device paths are taken exactly or refused with a message,
// and JSON text stays valid whatever bytes a device returns.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "args.h"
#include "output.h"

namespace quillon::tool {
namespace {

struct NumberCase {
  const char* text;
  std::uint64_t max;
  bool ok;
  std::uint64_t value;
};

TEST(ArgsTest, UnsignedNumbers) {
  const NumberCase cases[] = {
      {"0", 10, true, 0},
      {"4096", 5000, true, 4096},
      {"0x10000", 0xFFFFFF, true, 0x10000},
      {"0XfFfFfF", 0xFFFFFF, true, 0xFFFFFF},
      {"0x1000000", 0xFFFFFF, false, 0},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, false, 0},  // one past 2^64 - 1
      {"0x10000000000000000", UINT64_MAX, false, 0},
      {"", 10, false, 0},
      {"0x", 10, false, 0},
      {"-1", 10, false, 0},
      {"+1", 10, false, 0},
      {"12k", 100000, false, 0},
      {"1 2", 100, false, 0},
      {"0x1g", 100, false, 0},
  };
  for (const NumberCase& c : cases) {
    std::uint64_t value = 77;
    std::string error;
    EXPECT_EQ(ParseUnsigned(c.text, c.max, &value, &error), c.ok) << c.text;
    EXPECT_EQ(value, c.ok ? c.value : 77) << c.text << ": a refused value leaves the output alone";
    EXPECT_EQ(error.empty(), c.ok) << c.text;
  }
}

struct SizeCase {
  const char* text;
  bool ok;
  std::uint64_t bytes;
};

TEST(ArgsTest, Sizes) {
  const SizeCase cases[] = {
      {"512", true, 512},
      {"64M", true, 64ull << 20},
      {"64MiB", true, 64ull << 20},
      {"64m", true, 64ull << 20},
      {"2G", true, 2ull << 30},
      {"3T", true, 3ull << 40},
      {"4k", true, 4096},
      {"131072s", true, 131072ull * 512},
      {"10b", true, 10},
      {"16777215T", true, 16777215ull << 40},
      {"16777216T", false, 0},  // 2^64 bytes
      {"36028797018963968s", false, 0},
      {"M", false, 0},
      {"64X", false, 0},
      {"64 M", false, 0},
      {"1.5G", false, 0},
      {"-64M", false, 0},
      {"0x10M", false, 0},
  };
  for (const SizeCase& c : cases) {
    std::uint64_t bytes = 0;
    std::string error;
    EXPECT_EQ(ParseSize(c.text, &bytes, &error), c.ok) << c.text << ": " << error;
    if (c.ok) {
      EXPECT_EQ(bytes, c.bytes) << c.text;
    }
  }
}

TEST(ArgsTest, SectorsMustBeWholeAndFit) {
  std::uint64_t sectors = 0;
  std::string error;
  EXPECT_TRUE(ParseSectors("1M", 4096, &sectors, &error));
  EXPECT_EQ(sectors, 2048u);
  EXPECT_TRUE(ParseSectors("0", 4096, &sectors, &error));
  EXPECT_EQ(sectors, 0u);
  EXPECT_TRUE(ParseSectors("2M", 4096, &sectors, &error));
  EXPECT_EQ(sectors, 4096u);
  EXPECT_FALSE(ParseSectors("2049K", 4096, &sectors, &error));
  EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
  EXPECT_FALSE(ParseSectors("1000", 4096, &sectors, &error));
  EXPECT_NE(error.find("whole number of 512-byte sectors"), std::string::npos) << error;
  EXPECT_EQ(sectors, 4096u);
}

TEST(ArgsTest, DevicePathsUpToTwentyFourCharacters) {
  std::string error;
  EXPECT_TRUE(CheckDevicePath("\\\\.\\PhysicalDrive1", &error));
  EXPECT_TRUE(CheckDevicePath("/dev/sg0", &error));
  EXPECT_TRUE(CheckDevicePath(std::string(24, 'p'), &error));
  EXPECT_FALSE(CheckDevicePath(std::string(25, 'p'), &error));
  EXPECT_NE(error.find("25 characters"), std::string::npos) << error;
  EXPECT_FALSE(CheckDevicePath("", &error));
}

TEST(ArgsTest, HumanSizes) {
  EXPECT_EQ(HumanSize(0), "0 bytes");
  EXPECT_EQ(HumanSize(1), "1 byte");
  EXPECT_EQ(HumanSize(1023), "1023 bytes");
  EXPECT_EQ(HumanSize(1024), "1.0 KiB");
  EXPECT_EQ(HumanSize(64ull << 20), "64.0 MiB");
  EXPECT_EQ(HumanSize(3ull << 40), "3.0 TiB");
  EXPECT_EQ(HumanSize(5ull << 50), "5120.0 TiB");
}

TEST(ArgsTest, ReadWholeFileRefusesWhatItCannotTake) {
  std::string content;
  std::string error;
  EXPECT_FALSE(ReadWholeFile("/nonexistent/quillon", 100, &content, &error));
  EXPECT_NE(error.find("no such file"), std::string::npos);
  EXPECT_FALSE(ReadWholeFile("/", 100, &content, &error));
  EXPECT_NE(error.find("is a folder"), std::string::npos);
  EXPECT_FALSE(ReadWholeFile("/proc/self/exe", 100, &content, &error));
  EXPECT_NE(error.find("larger than"), std::string::npos);
  EXPECT_TRUE(content.empty());
}

TEST(OutputTest, JsonTextEscapesEverythingOutsidePrintableAscii) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("\\\\.\\PhysicalDrive1"), "\"\\\\\\\\.\\\\PhysicalDrive1\"");
  EXPECT_EQ(JsonString(std::string("\x01\n\x7f\xff", 4)), "\"\\u0001\\n\\u007f\\u00ff\"");
  JsonObject o;
  o.Add("n", std::uint32_t{4000000000u}).Add("neg", -1).Add("yes", true).Add("s", "x");
  EXPECT_EQ(o.Text(), "{\"n\": 4000000000, \"neg\": -1, \"yes\": true, \"s\": \"x\"}");
  EXPECT_EQ(JsonArray({"1", "\"a\""}), "[1, \"a\"]");
  EXPECT_EQ(JsonArray({}), "[]");
}

}  // namespace
}  // namespace quillon::tool
