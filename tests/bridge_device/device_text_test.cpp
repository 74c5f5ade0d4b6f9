// The two texts the library makes from controller data: serial-number strings from controller memory
// and connection traces from SPI flash, checked against formatters written here from the description
// of the formats.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <random>
#include <string>

#include "access/last_error.h"
#include "device_fixture.h"
#include "secure/device.h"

namespace quillon::testing {
namespace {

// ------------------------------------------------------------------ serial numbers

struct SerialCase {
  const char* name;
  int length;           // byte 0 of the field
  int units;            // characters stored after the two header bytes
  int result;
  const char* text;     // expected text when result is 1
};

// "ABC..." as 16-bit units from byte 2, the high byte of each unit set to show it is not taken.
std::vector<std::uint8_t> SerialField(int length, int units) {
  std::vector<std::uint8_t> field(100, 0);
  field[0] = static_cast<std::uint8_t>(length);
  field[1] = 3;
  for (int i = 0; i < units && 2 + 2 * i + 1 < 100; ++i) {
    field[2 + 2 * i] = static_cast<std::uint8_t>('A' + i % 26);
    field[3 + 2 * i] = 0x30;
  }
  return field;
}

TEST_F(DeviceTest, SerialNumberStrings) {
  const std::string alphabet49 = "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVW";
  const SerialCase cases[] = {
      {"L 0: not even the header", 0, 0, 0, nullptr},
      {"L 1", 1, 0, 0, nullptr},
      {"L 2: header only", 2, 0, 1, ""},
      {"L 10", 10, 4, 1, "ABCD"},
      {"L 10, units beyond L ignored", 10, 20, 1, "ABCD"},
      {"L 11: odd", 11, 5, 0, nullptr},
      {"L 99: odd", 99, 49, 0, nullptr},
      {"L 100: a full field", 100, 49, 1, alphabet49.c_str()},
      {"L 102: beyond the field", 102, 49, 1, alphabet49.c_str()},
      {"L 254", 254, 49, 1, alphabet49.c_str()},
  };
  for (std::uint32_t address : {0x30664u, 0x30164u}) {
    for (const SerialCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (address == 0x30664u ? " GetFwSN" : " Get6623FwSN"));
      const std::vector<std::uint8_t> field = SerialField(c.length, c.units);
      controller->memory.Write(address, field.data(), field.size());
      // Guard bytes after the 50 the text may use; "untouched" fills the rest.
      char text[QUILLON_SERIAL_TEXT_SIZE + 16];
      std::memset(text, '#', sizeof text);
      const int result = address == 0x30664u ? GetFwSN(kDrive1, text) : Get6623FwSN(kDrive1, text);
      EXPECT_EQ(result, c.result);
      if (c.result == 1) {
        EXPECT_STREQ(text, c.text);
      } else {
        EXPECT_EQ(LastErrorKind(), ErrorKind::Device);  // a malformed field is the device's fault
        EXPECT_EQ(text[0], '#');  // a refused string leaves the buffer alone
      }
      EXPECT_TRUE(std::all_of(text + QUILLON_SERIAL_TEXT_SIZE, text + sizeof text, [](char ch) { return ch == '#'; }));
      const std::size_t limit = c.length < 100 ? static_cast<std::size_t>(c.length) / 2 : 50;
      if (c.result == 1) {
        EXPECT_TRUE(std::all_of(text + limit, text + sizeof text, [](char ch) { return ch == '#'; }));
      }
    }
  }
  // The edge case of the format description: a stored length of 10 gives four characters and a
  // terminator at position 4.
  EXPECT_EQ(kSerialTextSize, 50u);
}

TEST_F(DeviceTest, SerialReadFailureLeavesTheBufferAlone) {
  bridge.AddFault({MatchVendor(0x21), FaultKind::ShortReply});
  char text[8] = "keep";
  EXPECT_EQ(GetFwSN(kDrive1, text), 0);
  EXPECT_STREQ(text, "keep");
}

// ------------------------------------------------------------------ traces

// The trace text as its description reads: braces and erased bytes vanish, a closing brace ends a line,
// blanks, digits and letters stay, every other byte is its decimal value.
std::string ReferenceTraceText(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    if (b == 0x7B || b == 0xFF) continue;
    if (b == 0x7D) {
      out += "\r\n";
    } else if (std::isalnum(b) && b < 0x80) {
      out += static_cast<char>(b);
    } else if (b == 0x20) {
      out += ' ';
    } else {
      out += std::to_string(b);
    }
  }
  return out;
}

struct TraceCase {
  const char* name;
  std::vector<std::uint8_t> bytes;  // from the start of the area read; the rest stays erased
  std::string expected;             // "" and an empty reference: compare with the reference only
};

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST_F(DeviceTest, TraceTextFromFlash) {
  std::mt19937 random(19);
  std::vector<std::uint8_t> noise(8192);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  const TraceCase cases[] = {
      {"erased", {}, ""},
      {"one record", Bytes("{PC 12}"), "PC 12\r\n"},
      {"two records and punctuation", Bytes("{MAC 3 20240101:}{PC 4-}"), "MAC 3 2024010158\r\nPC 445\r\n"},
      {"binary fields", {'{', 'P', 'C', ' ', 0x00, 0x80, 0xFE, 0x0D, '}'}, "PC 01282541" "3\r\n"},
      {"noise", noise, ""},
      {"every byte three characters", std::vector<std::uint8_t>(8192, 0x80), std::string()},
  };
  for (bool apple : {false, true}) {
    for (const TraceCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (apple ? " Apple" : " PC"));
      std::fill(controller->flash.cells.begin(), controller->flash.cells.end(), 0xFF);
      const std::uint32_t address = apple ? 0x3E000 : 0x1E000;
      controller->flash.Fill(address, c.bytes.data(), c.bytes.size());
      // Bytes just outside the area read must not show.
      controller->flash.Fill(address - 1, "Z", 1);
      controller->flash.Fill(address + 8192, "Z", 1);
      std::vector<char> text(QUILLON_TRACE_TEXT_SIZE + 32, '#');
      ASSERT_EQ(apple ? GetAppleTraces(kDrive1, text.data()) : GetPCTraces(kDrive1, text.data()), 1);
      std::vector<std::uint8_t> area(c.bytes);
      area.resize(8192, 0xFF);
      const std::string reference = ReferenceTraceText(area);
      ASSERT_LE(reference.size(), static_cast<std::size_t>(QUILLON_TRACE_TEXT_SIZE - 1));
      EXPECT_EQ(std::string(text.data()), reference);
      if (!c.expected.empty() || c.bytes.empty()) {
        EXPECT_EQ(reference, c.expected);
      }
      // Always terminated, never past the stated size.
      EXPECT_EQ(text[reference.size()], '\0');
      EXPECT_TRUE(std::all_of(text.begin() + QUILLON_TRACE_TEXT_SIZE, text.end(), [](char ch) { return ch == '#'; }));
    }
  }
}

TEST_F(DeviceTest, TracesReadClearAndReadAgain) {
  WriteTraceRecords(controller->flash, 0x1E000, SampleTraceRecords("PC"));
  WriteTraceRecords(controller->flash, 0x3E000, SampleTraceRecords("MAC"));
  std::vector<char> text(QUILLON_TRACE_TEXT_SIZE, 0);
  ASSERT_EQ(GetPCTraces(kDrive1, text.data()), 1);
  EXPECT_EQ(std::string(text.data()).substr(0, 22), "PC 1 20240105 091433 2");
  ASSERT_EQ(ClearPCTraces(kDrive1), 1);
  std::fill(text.begin(), text.end(), '#');
  ASSERT_EQ(GetPCTraces(kDrive1, text.data()), 1);
  EXPECT_STREQ(text.data(), "");
  // The Apple traces stay until they are cleared themselves.
  ASSERT_EQ(GetAppleTraces(kDrive1, text.data()), 1);
  EXPECT_EQ(std::string(text.data()).substr(0, 4), "MAC ");
  ASSERT_EQ(ClearAppleTraces(kDrive1), 1);
  ASSERT_EQ(GetAppleTraces(kDrive1, text.data()), 1);
  EXPECT_STREQ(text.data(), "");
  // Only the three trace sectors went: the firmware areas beside them are intact.
  controller->flash.Fill(0x1C000, "\x12", 1);
  controller->flash.Fill(0x20000, "\x34", 1);
  ASSERT_EQ(ClearPCTraces(kDrive1), 1);
  ASSERT_EQ(ClearAppleTraces(kDrive1), 1);
  EXPECT_EQ(controller->flash.cells[0x1C000], 0x12);
  EXPECT_EQ(controller->flash.cells[0x20000], 0x34);
}

TEST_F(DeviceTest, TracesAreNotClearedWithAnEraseUnitThatTakesFirmwareAlong) {
  controller->flash.Load(FlashPartEN25P20());  // 64 KiB sectors only
  controller->flash.Fill(0x10000, "\x12", 1);
  ClearLastError();
  EXPECT_EQ(ClearPCTraces(kDrive1), 0);
  EXPECT_EQ(LastErrorKind(), ErrorKind::Device);
  EXPECT_NE(std::string(LastErrorText()).find("EN25P20 erases 65536 bytes"), std::string::npos) << LastErrorText();
  EXPECT_EQ(controller->flash.cells[0x10000], 0x12);
  EXPECT_TRUE(bridge.LogMatching(MatchVendor(0x07)).empty());
}

TEST(TraceFormatTest, ShortCapacityStopsBeforeAPieceAndTerminates) {
  const std::uint8_t bytes[] = {'A', 0x80, 'B'};
  char text[8];
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(FormatTraceText(bytes, 3, text, 4), 1u);  // "A" fits, "128" and the terminator do not
  EXPECT_STREQ(text, "A");
  EXPECT_EQ(text[2], '#');
  EXPECT_EQ(FormatTraceText(bytes, 3, text, 6), 5u);
  EXPECT_STREQ(text, "A128B");
  EXPECT_EQ(FormatTraceText(bytes, 3, text, 0), 0u);
}

}  // namespace
}  // namespace quillon::testing
