// Passwords, the hidden partition and custom data with the quillon program, one invocation per step on
// one virtual bridge folder: the state carries from run to run, passwords come from standard input,
// and bad input is refused with exit status 2 before the device is asked.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tool_runner.h"

namespace quillon::tool_test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Bytes(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed * 31 + i * 7 + (i >> 8));
  return s;
}

// Computed outside the library: the SHA-1 of "secret" and the CRC-32 (without the final inversion)
// of "secret" zero-padded to 32 bytes.
const unsigned char kSecretSha1[20] = {0xe5, 0xe9, 0xfa, 0x1b, 0xa3, 0x1e, 0xcd, 0x1a, 0xe8, 0x4f,
                                       0x75, 0xca, 0xaa, 0x47, 0x4f, 0x3a, 0x66, 0x3f, 0x05, 0xf4};
constexpr std::uint32_t kSecretCrc = 0x607ba3e6;

class SecureSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Q({"init"}).status, 0);
    const Result run = Q({"update-fw", dir + "/sample-firmware.hex"});
    ASSERT_EQ(run.status, 0) << run.err;
  }
  Result Q(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--virtual", dir});
    return Quillon(args, {}, input);
  }
  // The eight record values that follow the first record with this key in a 64 KiB flash dump.
  std::string RecordAt(std::uint32_t flashAddress, std::uint8_t keyLow) {
    const std::string dump = tmp / "dump.bin";
    char address[16];
    std::snprintf(address, sizeof(address), "0x%x", flashAddress);
    const Result run = Q({"read-flash", "--address", address, "--output", dump, "--binary"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string bytes = ReadFile(dump);
    const std::string key = {'\x03', static_cast<char>(keyLow), '\x02'};
    const auto at = bytes.find(key);
    if (at == std::string::npos || at + 56 > bytes.size()) return "";
    std::string record;
    for (int k = 0; k < 8; ++k) record += bytes.substr(at + 7 * k + 3, 4);
    return record;
  }
  // The 32 bytes at controller address 0x30830, from the store's memory rows.
  std::string MemoryRecord() {
    std::map<std::uint32_t, std::string> rows;
    for (const std::string& line : Lines(ReadFile(dir + "/memory.hex"))) {
      if (line.size() < 10 || line[0] == '#') continue;
      std::string row;
      for (std::size_t i = 10; i + 1 < line.size(); i += 2)
        row.push_back(static_cast<char>(std::stoul(line.substr(i, 2), nullptr, 16)));
      rows[static_cast<std::uint32_t>(std::stoul(line.substr(0, 8), nullptr, 16))] = row;
    }
    std::string low = rows.count(0x30820) ? rows[0x30820] : std::string(32, '\0');
    std::string high = rows.count(0x30840) ? rows[0x30840] : std::string(32, '\0');
    return low.substr(16) + high.substr(0, 16);
  }

  TempDir tmp;
  std::string dir = tmp / "bridge";
};

TEST_F(SecureSession, CurrentSchemePasswordAcrossRuns) {
  EXPECT_EQ(Q({"set-password"}).status, 2) << "no password on standard input";
  EXPECT_EQ(Q({"set-password"}, std::string(33, 'a') + "\n").status, 2);
  EXPECT_EQ(Q({"set-password", "--selector", "256"}, "a\n").status, 2);
  EXPECT_EQ(Q({"set-password", "--raw"}, "abcd\n").status, 2);
  EXPECT_TRUE(Contains(Q({"has-password"}).out, "no password is set"));

  Result run = Q({"set-password"}, "secret\n");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(Q({"has-password"}).out, "a password is set"));
  // The controller does not report its verdict; the stored bridge shows it.
  EXPECT_EQ(Q({"verify-password"}, "secret\n").status, 0);
  EXPECT_TRUE(Contains(ReadFile(dir + "/bridge.ini"), "password.unlocked = 1"));
  EXPECT_EQ(Q({"verify-password"}, "wrong\n").status, 0);
  EXPECT_TRUE(Contains(ReadFile(dir + "/bridge.ini"), "password.unlocked = 0"));
  // Changing: setting again replaces the password.
  ASSERT_EQ(Q({"set-password"}, "changed\n").status, 0);
  EXPECT_TRUE(Contains(Q({"password-count"}).out, "1 password"));
  EXPECT_EQ(Q({"verify-password"}, "changed\n").status, 0);
  EXPECT_TRUE(Contains(ReadFile(dir + "/bridge.ini"), "password.unlocked = 1"));
  ASSERT_EQ(Q({"set-password"}, "secret\n").status, 0);
  run = Q({"--json", "password-info"});
  EXPECT_TRUE(Contains(run.out, "\"info\": \"73 65 63 72 65 74 00")) << run.out;  // "secret"
  ASSERT_EQ(Q({"set-password", "--selector", "1"}, "other\n").status, 0);
  run = Q({"--json", "password-count"});
  EXPECT_TRUE(Contains(run.out, "\"passwords\": 2")) << run.out;
  EXPECT_EQ(Q({"delete-password"}, "secret\n").status, 0);
  EXPECT_TRUE(Contains(Q({"password-count"}).out, "1 password"));
  EXPECT_EQ(Q({"delete-password", "--index", "0"}).status, 0);
  EXPECT_TRUE(Contains(Q({"password-count"}).out, "0 passwords"));
  ASSERT_EQ(Q({"set-password", "--raw"}, std::string(64, 'f') + "\n").status, 0);
  EXPECT_EQ(Q({"clear-password"}).status, 0);
  EXPECT_TRUE(Contains(Q({"has-password"}).out, "no password is set"));
  EXPECT_TRUE(Contains(Q({"old-scheme"}).out, "takes old-scheme passwords"));
}

TEST_F(SecureSession, OldSchemePasswordAcrossRuns) {
  EXPECT_EQ(Q({"set-password", "--old"}, std::string(32, 'a') + "\n").status, 2);
  ASSERT_EQ(Q({"set-password", "--old"}, "secret\n").status, 0);
  EXPECT_TRUE(Contains(Q({"has-password", "--old"}).out, "an old-scheme password is set"));

  // The record is the same in controller memory and in both images, and matches the text. A fresh
  // process draws the mask from rand() without seeding it, as this one does.
  std::srand(1);
  std::uint32_t mask = static_cast<std::uint32_t>(std::rand()) & 0xFF;
  mask |= (static_cast<std::uint32_t>(std::rand()) & 0xFF) << 8;
  mask |= (static_cast<std::uint32_t>(std::rand()) & 0xFF) << 16;
  mask |= static_cast<std::uint32_t>(std::rand()) << 24;
  const std::string record = MemoryRecord();
  ASSERT_EQ(record.size(), 32u);
  EXPECT_EQ(std::memcmp(record.data(), kSecretSha1, 20), 0);
  EXPECT_EQ(record.substr(20, 8), std::string(8, '\0'));
  std::uint32_t word7 = 0;
  for (int i = 3; i >= 0; --i) word7 = (word7 << 8) | static_cast<unsigned char>(record[28 + i]);
  EXPECT_EQ(word7, kSecretCrc ^ mask);
  for (std::uint32_t copy : {0x00000u, 0x10000u}) EXPECT_EQ(RecordAt(copy, 0x0C), record) << copy;
  for (std::uint32_t copy : {0x20000u, 0x30000u}) EXPECT_EQ(RecordAt(copy, 0x02), record) << copy;

  Result wrong = Q({"verify-password", "--old"}, "Secret\n");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_TRUE(Contains(wrong.err, "does not match the record")) << wrong.err;
  EXPECT_EQ(Q({"verify-password", "--old"}, "secret\n").status, 0);
  // Change, in a later run: the old text no longer unlocks.
  ASSERT_EQ(Q({"set-password", "--old"}, "Passw0rd!\n").status, 0);
  EXPECT_EQ(Q({"verify-password", "--old"}, "secret\n").status, 1);
  EXPECT_EQ(Q({"verify-password", "--old"}, "Passw0rd!\n").status, 0);
  ASSERT_EQ(Q({"clear-password", "--old"}).status, 0);
  EXPECT_TRUE(Contains(Q({"has-password", "--old"}).out, "no old-scheme password is set"));
  EXPECT_EQ(Q({"check-fw"}).status, 0) << "every copy still valid";
}

TEST_F(SecureSession, HiddenSectorsAcrossRuns) {
  Result run = Q({"--json", "hidden-count"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.out, "\"sectors\": 2048")) << run.out;

  const std::string two = tmp / "two.bin", one = tmp / "one.bin", odd = tmp / "odd.bin", back = tmp / "back.bin";
  WriteFile(two, Bytes(1024, 1));
  WriteFile(one, Bytes(512, 2));
  WriteFile(odd, Bytes(100, 3));
  ASSERT_EQ(Q({"hidden-write", "0", two}).status, 0);
  ASSERT_EQ(Q({"hidden-write", "2047", one}).status, 0);
  EXPECT_EQ(Q({"hidden-write", "0", odd}).status, 2);
  // Ranges outside the partition are refused by the library before any sector moves.
  run = Q({"hidden-write", "2047", two});
  EXPECT_EQ(run.status, 2);
  EXPECT_TRUE(Contains(run.err, "hidden sectors 2,047 to 2,048 lie outside the 2,048 hidden sectors")) << run.err;
  EXPECT_EQ(Q({"hidden-read", "2048"}).status, 2);

  ASSERT_EQ(Q({"hidden-read", "0", "2", "--output", back}).status, 0);
  EXPECT_EQ(ReadFile(back), Bytes(1024, 1));
  ASSERT_EQ(Q({"hidden-read", "2047", "--output", back}).status, 0);
  EXPECT_EQ(ReadFile(back), Bytes(512, 2));
  // The visible disk does not see them.
  EXPECT_EQ(ReadFile(dir + "/public.img").find(Bytes(512, 2)), std::string::npos);
  EXPECT_EQ(Q({"hidden-format"}).status, 0);
}

TEST_F(SecureSession, CustomDataAcrossRuns) {
  const std::string file = tmp / "data.bin", back = tmp / "back.bin";
  for (std::size_t n : {0u, 1u, 1024u}) {
    SCOPED_TRACE(n);
    WriteFile(file, Bytes(n, 4));
    ASSERT_EQ(Q({"custom-write", file}).status, 0);
    ASSERT_EQ(Q({"custom-read", "--length", std::to_string(n), "--output", back}).status, 0);
    EXPECT_EQ(ReadFile(back), Bytes(n, 4));
  }
  WriteFile(file, Bytes(1025, 4));
  EXPECT_EQ(Q({"custom-write", file}).status, 2);
  EXPECT_EQ(Q({"custom-read", "--length", "1025"}).status, 2);

  WriteFile(file, Bytes(512, 5));
  ASSERT_EQ(Q({"custom-write", "--firmware", file}).status, 0);
  ASSERT_EQ(Q({"custom-read", "--firmware", "--output", back}).status, 0);
  EXPECT_EQ(ReadFile(back), Bytes(512, 5));
  WriteFile(file, Bytes(513, 5));
  EXPECT_EQ(Q({"custom-write", "--firmware", file}).status, 2);
  EXPECT_EQ(Q({"check-fw"}).status, 0) << "both Apple copies still valid";

  WriteFile(file, Bytes(10, 6));
  ASSERT_EQ(Q({"custom-write", "--8352", file}).status, 0);
  ASSERT_EQ(Q({"custom-read", "--8352", "--length", "10", "--output", back}).status, 0);
  EXPECT_EQ(ReadFile(back), Bytes(10, 6));
}

}  // namespace
}  // namespace quillon::tool_test
