// The fingerprint, card, SD, serial-number, trace and controller subcommands run as a user runs them:
// one invocation per step on a virtual bridge folder, with their exit statuses and JSON output.

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace quillon::tool_test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The value of a string field of the tool's one-line JSON object, unescaped (\r, \n, \\, \", \u00XX).
std::string JsonField(const std::string& json, const std::string& key) {
  const std::string start = "\"" + key + "\": \"";
  auto p = json.find(start);
  if (p == std::string::npos) return "<missing>";
  std::string value;
  for (p += start.size(); p < json.size() && json[p] != '"'; ++p) {
    if (json[p] != '\\') {
      value.push_back(json[p]);
      continue;
    }
    const char e = json[++p];
    if (e == 'r') value.push_back('\r');
    else if (e == 'n') value.push_back('\n');
    else if (e == 'u') {
      value.push_back(static_cast<char>(std::stoi(json.substr(p + 1, 4), nullptr, 16)));
      p += 4;
    } else value.push_back(e);
  }
  return value;
}

// The trace text as the tool's documentation describes it, from the flash bytes of the folder.
std::string ExpectedTraces(const std::string& flash, std::size_t address) {
  std::string out;
  for (std::size_t i = address; i < address + 8192; ++i) {
    const auto b = static_cast<unsigned char>(flash[i]);
    if (b == '{' || b == 0xFF) continue;
    if (b == '}') out += "\r\n";
    else if (b == ' ' || (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) out += static_cast<char>(b);
    else out += std::to_string(b);
  }
  return out;
}

class DeviceSession : public ::testing::Test {
 protected:
  Result Q(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--virtual", dir});
    return Quillon(args, {}, input);
  }
  void SetUp() override {
    const Result run = Q({"init", "--cards", "1"});
    ASSERT_EQ(run.status, 0) << run.err;
  }
  TempDir tmp;
  std::string dir = tmp / "bridge";
};

TEST_F(DeviceSession, TracesReadClearAndReadAgainAcrossRuns) {
  const std::string flash = ReadFile(dir + "/flash.bin");
  ASSERT_EQ(flash.size(), 512u * 1024);
  Result run = Q({"--json", "traces"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(JsonField(run.out, "pc"), ExpectedTraces(flash, 0x1E000));
  EXPECT_EQ(JsonField(run.out, "apple"), ExpectedTraces(flash, 0x3E000));
  EXPECT_TRUE(Contains(JsonField(run.out, "pc"), "PC 1 20240105 091433 "));

  run = Q({"traces", "--pc"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(Lines(run.out).size(), 3u);
  EXPECT_EQ(Lines(run.out)[0].substr(0, 5), "PC 1 ");

  run = Q({"clear-traces", "--pc"});
  ASSERT_EQ(run.status, 0) << run.err;
  run = Q({"--json", "traces", "--pc"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(JsonField(run.out, "pc"), "");
  // The erase reached the stored flash, and only the trace sectors.
  const std::string after = ReadFile(dir + "/flash.bin");
  EXPECT_EQ(after.substr(0x1D000, 0x3000), std::string(0x3000, '\xff'));
  EXPECT_EQ(after.substr(0, 0x1D000), flash.substr(0, 0x1D000));
  EXPECT_EQ(after.substr(0x20000), flash.substr(0x20000));

  run = Q({"--json", "traces", "--apple"});
  EXPECT_EQ(JsonField(run.out, "apple"), ExpectedTraces(flash, 0x3E000));
  ASSERT_EQ(Q({"clear-traces"}).status, 0);
  run = Q({"traces"});
  EXPECT_TRUE(Contains(run.out, "Apple traces (0)")) << run.out;
}

TEST_F(DeviceSession, FingerprintFlowAcrossRuns) {
  ASSERT_EQ(Q({"finger-power", "on"}).status, 0);
  ASSERT_EQ(Q({"finger-mode", "1", "7"}).status, 0);
  Result run = Q({"--json", "finger-status"});
  EXPECT_TRUE(Contains(run.out, "\"pressed\": false")) << run.out;
  ASSERT_EQ(Q({"virtual-finger", "on", "--finger", "4"}).status, 0);
  run = Q({"--json", "finger-status"});
  EXPECT_TRUE(Contains(run.out, "\"pressed\": true")) << run.out;
  // Enrol into slot 2, then count and match in later runs: the module keeps its templates.
  run = Q({"finger-command", "f5 02 00 01 00 00 03"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Lines(run.out)[0], "f5 01 00 02 00 00 03 f5");
  run = Q({"--json", "finger-command", "f5:00:00:09:00:00:09"});
  EXPECT_EQ(JsonField(run.out, "reply"), "f5 09 01 00 00 00 08 f5");
  run = Q({"finger-command", "f500000c00000c"});
  EXPECT_EQ(Lines(run.out)[0], "f5 0c 02 00 00 00 0e f5");  // matched in slot 2
  ASSERT_EQ(Q({"virtual-finger", "on", "--finger", "5"}).status, 0);
  run = Q({"finger-command", "f500000c00000c"});
  EXPECT_EQ(Lines(run.out)[0], "f5 0c 00 00 08 00 04 f5");  // another finger: no match
  ASSERT_EQ(Q({"virtual-finger", "off"}).status, 0);
  EXPECT_TRUE(Contains(Q({"--json", "finger-status"}).out, "\"pressed\": false"));
  run = Q({"finger-command", "f5 00 00 7f 00 00 7f"});
  EXPECT_EQ(Lines(run.out)[0].size(), 40u * 3 - 1);  // 40 bytes for 0x7F
  ASSERT_EQ(Q({"finger-delete"}).status, 0);
  run = Q({"--json", "finger-command", "f5 00 00 09 00 00 09"});
  EXPECT_EQ(JsonField(run.out, "reply"), "f5 09 00 00 00 00 09 f5");
  ASSERT_EQ(Q({"finger-power", "off"}).status, 0);
  EXPECT_EQ(Q({"finger-command", "f5 00 00 09 00 00 09"}).status, 1);  // switched off: rejected
  // Refused by the tool before anything is sent.
  EXPECT_EQ(Q({"finger-mode", "2", "0"}).status, 2);
  EXPECT_EQ(Q({"finger-command", "f5 00"}).status, 2);
  EXPECT_EQ(Q({"finger-power", "maybe"}).status, 2);
}

TEST_F(DeviceSession, SdLockCardsSerialsAndQueries) {
  EXPECT_EQ(Q({"sd-lock", "lock"}, "pw\n").status, 1);  // no password set yet
  ASSERT_EQ(Q({"sd-lock", "set-lock"}, "pw\n").status, 0);
  Result run = Q({"--json", "sd-status"});
  EXPECT_TRUE(Contains(run.out, "\"status\": 5")) << run.out;
  EXPECT_EQ(Q({"sd-lock", "unlock"}, "nope\n").status, 1);
  EXPECT_EQ(Q({"sd-lock", "unlock", "--no-password"}).status, 1);
  ASSERT_EQ(Q({"sd-lock", "0"}, "pw\n").status, 0);
  run = Q({"sd-status"});
  EXPECT_TRUE(Contains(run.out, "0x04")) << run.out;
  EXPECT_EQ(Q({"sd-lock", "set"}, std::string(256, 'x') + "\n").status, 2);
  EXPECT_EQ(Q({"sd-lock", "set"}).status, 2);  // nothing on standard input

  run = Q({"card-serial"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Lines(run.out)[0], "001b534d00104000");
  run = Q({"--json", "serial"});
  EXPECT_TRUE(Contains(run.out, "\"serial\": \"VB0000000001\"")) << run.out;
  EXPECT_EQ(Lines(Q({"serial", "--6623"}).out)[0], "VB0000000001");
  EXPECT_TRUE(Contains(Q({"fw-version"}).out, "0x02000000 (2.0.0.0)"));
  EXPECT_TRUE(Contains(Q({"--json", "is-6623"}).out, "\"is6623\": false"));

  tool_test::WriteFile(tmp / "data.bin", std::string(700, 'q'));
  ASSERT_EQ(Q({"card-write", tmp / "data.bin", "--block", "100"}).status, 0);
  run = Q({"--json", "card-read", "--block", "101", "--length", "16"});
  EXPECT_EQ(JsonField(run.out, "data"), "71 71 71 71 71 71 71 71 71 71 71 71 71 71 71 71");
  run = Q({"card-block", "101"});
  EXPECT_TRUE(Contains(run.out, "00 00 00")) << run.out;  // the zero-filled rest of the last block
  EXPECT_EQ(Q({"card-block", "16777216"}).status, 2);
  EXPECT_EQ(Q({"card-read", "--length", "0"}).status, 2);

  ASSERT_EQ(Q({"reset-usb"}).status, 0);
  ASSERT_EQ(Q({"reset-chip"}).status, 0);
  EXPECT_TRUE(Contains(ReadFile(dir + "/bridge.ini"), "reset.usb = 1"));
  EXPECT_TRUE(Contains(ReadFile(dir + "/bridge.ini"), "reset.chip = 1"));
  // The chip reset relocked the card with a password.
  EXPECT_TRUE(Contains(Q({"sd-status"}).out, "0x05"));
}

TEST(ToolCommandsTest, EveryListedExportHasACommand) {
  const Result help = Quillon({"--help"});
  std::string all;
  for (const std::string& line : Lines(help.out)) {
    const auto name = line.find_first_not_of(' ');
    if (line.size() > 2 && line.compare(0, 2, "  ") == 0 && name == 2 && line[2] != '-') {
      const std::string command = line.substr(2, line.find(' ', 2) - 2);
      all += Quillon({command, "--help"}).out;
    }
  }
  // Every name of the library's export list (bridge/exports.list).
  const char* const exports[] = {
#define QUILLON_LISTED_EXPORT(family, name) name,
#include "quillon_export_list.inc"
#undef QUILLON_LISTED_EXPORT
  };
  EXPECT_GE(std::size(exports), 34u);
  for (const char* e : exports) EXPECT_TRUE(Contains(all, std::string(" ") + e)) << e;
}

}  // namespace
}  // namespace quillon::tool_test
