// What every password, hidden-partition and custom-data export sends: the CDBs of the commands that
// make up its work, with direction and length, as they reach the virtual bridge. Runs of the same
// command (flash pages, sector erases) show their first CDB and how many followed.

#include <cstring>
#include <functional>
#include <set>

#include "secure_fixture.h"

namespace quillon::testing {
namespace {

struct Request {
  std::string cdb;        // the whole CDB
  std::string direction;  // "in", "out" or "none"
  std::uint32_t transfer;
  int times = 1;
};

bool operator==(const Request& a, const Request& b) {
  return a.cdb == b.cdb && a.direction == b.direction && a.transfer == b.transfer && a.times == b.times;
}
void PrintTo(const Request& r, std::ostream* os) {
  *os << r.cdb << " | " << r.direction << " " << r.transfer << " x" << r.times;
}

struct Case {
  const char* name;
  std::function<void(SecureTest&)> setup;
  std::function<int()> call;
  int result;
  std::set<std::uint8_t> shown;  // vendor sub-commands listed; READ(10)/WRITE(10) always are
  std::vector<Request> requests;
};

// A vendor CDB: opcode, the given bytes, zeros to byte 11, "ncmd".
std::string V(const std::string& bytes, const char* opcode = "17") {
  std::string cdb = std::string(opcode) + " " + bytes;
  int count = static_cast<int>((cdb.size() + 1) / 3);
  for (; count < 12; ++count) cdb += " 00";
  return cdb + " 6e 63 6d 64";
}

class ExportRequestsTest : public SecureTest {
 protected:
  std::vector<Request> Shown(const std::set<std::uint8_t>& subs) const {
    std::vector<Request> out;
    const CdbRecord* previous = nullptr;
    for (const CdbRecord& r : bridge.Log()) {
      const bool vendor = r.cdbLength == 16;
      if (vendor && !subs.count(r.Sub())) continue;
      const bool same = previous && previous->cdb[0] == r.cdb[0] && previous->cdb[1] == r.cdb[1] &&
                        previous->cdb[2] == r.cdb[2] && previous->transferLength == r.transferLength &&
                        previous->dataIn == r.dataIn;
      if (same) {
        ++out.back().times;
        continue;
      }
      previous = &r;
      out.push_back({HexOf(r.cdb.data(), r.cdbLength), r.transferLength == 0 ? "none" : r.dataIn ? "in" : "out",
                     r.transferLength});
    }
    return out;
  }
};

TEST_F(ExportRequestsTest, EveryExportSendsItsCommands) {
  static std::uint8_t block[32] = {0xA5, 0x5A};
  static int words[8] = {0x01020304};
  static std::uint8_t sectors[2 * 512];
  static int info[128];
  static const char data[] = "hello";

  auto withPassword = [](SecureTest& t) { t.controller->passwords.entries.push_back({}); };
  auto withOldPassword = [](SecureTest&) { ASSERT_EQ(SetPasswordOld(kDrive, "secret"), 1); };
  auto withCards = [](SecureTest& t) {
    t.controller->cards[1].present = true;
    t.controller->cards[3].present = true;
    const std::uint8_t start[8] = {0x01, 0, 0, 0, 0, 0, 0, 2};  // S = 2 x 4 + 4 = 12
    t.controller->memory.Write(0x3081C, start, sizeof(start));
  };
  auto withCustomRecords = [](SecureTest& t) {
    fwbuild::ImageRecipe recipe = fwbuild::AppleRecipe();
    recipe.extraRecords = {fwbuild::ValueRecord(0x3021E, 0x64636261)};
    t.apple = fwbuild::BuildImage(recipe);
    SeedFlashCopy(*t.controller, 2, t.apple.bytes);
  };
  const std::string flashRead = "01 00 ff";
  const std::vector<Request> identifyFlash = {{V("01 00 02 00 00 00 01"), "in", 3}, {V("01 00 01 00 00 00 02"), "in", 2}};
  auto copyWrite = [](const char* address) {
    return std::vector<Request>{{V(std::string("07 ") + address), "none", 0, 15},
                                {V(std::string("00 00 ff ") + address), "out", 256, 4}};
  };
  auto join = [](std::vector<std::vector<Request>> parts) {
    std::vector<Request> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const std::vector<Request> rewriteAll = join({copyWrite("00 00 00 00"), copyWrite("01 00 00 00"),
                                                copyWrite("02 00 00 00"), copyWrite("03 00 00 00")});
  const Request readFlags = {V("21 00 04 00 03 07 e8"), "in", 4};
  const Request writeFlags = {V("20 00 04 00 03 07 e8"), "out", 4};
  const Request identify = {V("34"), "in", 13};

  const std::vector<Case> cases = {
      {"SetPassword", nullptr, [] { return SetPassword(kDrive, "secret"); }, 1, {0x5D}, {{V("5d 01 00"), "out", 32}}},
      {"SetPassword2", nullptr, [] { return SetPassword2(kDrive, block, 7); }, 1, {0x5D}, {{V("5d 01 07"), "out", 32}}},
      {"VerifyPassword", nullptr, [] { return VerifyPassword(kDrive, words); }, 1, {0x5D}, {{V("5d 05"), "out", 32}}},
      {"ClearPassword", nullptr, [] { return ClearPassword(kDrive); }, 1, {0x5D}, {{V("5d 04"), "none", 0}}},
      {"HasPassword", withPassword, [] { return HasPassword(kDrive); }, 1, {0x5D}, {{V("5d 02"), "in", 1}}},
      {"DeletePassword", nullptr, [] { return DeletePassword(kDrive, words); }, 1, {0x5D}, {{V("5d 06"), "out", 32}}},
      {"DeletePassword2", nullptr, [] { return DeletePassword2(kDrive, 3); }, 1, {0x5D}, {{V("5d 08 03"), "none", 0}}},
      {"GetPasswordNumber", withPassword, [] { return GetPasswordNumber(kDrive); }, 1, {0x5D}, {{V("5d 07"), "in", 1}}},
      {"GetPasswordInfo", nullptr, [] { return GetPasswordInfo(kDrive, info); }, 1, {0x5D}, {{V("5d 09"), "in", 512}}},
      {"SupportPasswordOld", nullptr, [] { return SupportPasswordOld(kDrive); }, 1, {0x52}, {{V("52"), "none", 0}}},
      {"HasPasswordOld", nullptr, [] { unsigned s; int u; return HasPasswordOld(kDrive, &s, &u); }, 1, {0x21},
       {readFlags}},
      {"SetPasswordOld", nullptr, [] { return SetPasswordOld(kDrive, "secret"); }, 1, {0x34, 0x20, 0x21, 0x00, 0x07},
       join({{identify, {readFlags.cdb, "in", 4, 3}, identify}, rewriteAll,
             {{V("20 00 20 00 03 08 30"), "out", 32}, readFlags, writeFlags}})},
      {"VerifyPasswordOld", withOldPassword, [] { return VerifyPasswordOld(kDrive, "secret"); }, 1, {0x21, 0x4B},
       {readFlags, {V("21 00 20 00 03 08 30"), "in", 32}, {V("4b"), "out", 32}}},
      {"ClearPasswordOld", withOldPassword, [] { return ClearPasswordOld(kDrive); }, 1, {0x34, 0x20, 0x21, 0x00, 0x07},
       join({{identify, {readFlags.cdb, "in", 4, 2}, identify}, rewriteAll, {readFlags, writeFlags}})},
      {"GetHiddenSectorCount", nullptr, [] { return GetHiddenSectorCount(kDrive); }, static_cast<int>(kHidden), {0x01},
       join({identifyFlash, {{V(flashRead + " 00 00 00 00"), "in", 256, 256}}})},
      {"ReadHiddenSector", nullptr, [] { return ReadHiddenSector(kDrive, 0, 2, sectors); }, 1, {},
       {{"28 00 ff ff ff c0 00 00 02 00", "in", 1024}}},
      {"WriteHiddenSector", nullptr, [] { return WriteHiddenSector(kDrive, kHidden - 1, 1, sectors); }, 1, {},
       {{"2a 00 ff ff ff ff 00 00 01 00", "out", 512}}},
      {"FormatHiddenPartition", withCards, [] { return FormatHiddenPartition(kDrive); }, 1, {0x21, 0x44, 0x47, 0x4A},
       {{V("21 00 14 00 03 08 1c"), "in", 20},
        {V("47"), "in", 20},
        {V("44 00"), "in", 1},
        {V("44 01"), "in", 1},
        {V("44 02"), "in", 1},
        {V("44 03"), "in", 1},
        {V("4a 01 00 00 00 06 00 00 00 25"), "none", 0},
        {V("4a 03 00 00 00 06 00 00 00 25"), "none", 0}}},
      {"WriteCustomData", nullptr, [] { return WriteCustomData(kDrive, data, 5); }, 1, {0x06, 0x07, 0x00},
       {{V("06"), "in", 1}, {V("07 02 f0 00"), "none", 0}, {V("00 00 ff 02 f0 00"), "out", 256, 4}}},
      {"ReadCustomData", nullptr, [] { return ReadCustomData(kDrive, sectors, 5); }, 1, {0x06, 0x01},
       join({{{V("06"), "in", 1}}, identifyFlash, {{V(flashRead + " 02 f0 00 00"), "in", 256, 4}}})},
      {"WriteCustomData8352", nullptr, [] { return WriteCustomData8352(kDrive, data, 5); }, 1, {0x06, 0x07, 0x00},
       {{V("06", "c2"), "in", 1}, {V("07 02 f0 00", "c2"), "none", 0}, {V("00 00 ff 02 f0 00", "c2"), "out", 256, 4}}},
      {"ReadCustomData8352", nullptr, [] { return ReadCustomData8352(kDrive, sectors, 5); }, 1, {0x06},
       {{V("06", "c2"), "in", 1}}},
      {"WriteCustomData2", nullptr, [] { return WriteCustomData2(kDrive, data, 5); }, 1, {0x07, 0x00},
       {{V("07 02 f0 00"), "none", 0},
        {V("00 00 ff 02 f0 00"), "out", 256, 4},
        {V("07 03 00 00"), "none", 0},
        {V("00 00 ff 03 00 00"), "out", 256, 4},
        {V("07 02 00 00"), "none", 0},
        {V("00 00 ff 02 00 00"), "out", 256, 4}}},
      {"ReadCustomData2", withCustomRecords, [] { return ReadCustomData2(kDrive, info); }, 1, {0x01},
       join({identifyFlash, {{V(flashRead + " 02 00 00 00"), "in", 256, 256}}})},
  };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    if (c.setup) c.setup(*this);
    bridge.ClearLog();
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(Shown(c.shown), c.requests);
    EXPECT_EQ(bridge.OpenHandles(), 0);
  }
}

// The password travels in a zero-filled 32-byte block; the old scheme's unlock carries the text.
TEST_F(ExportRequestsTest, PasswordBlocksCarryTheTextZeroPadded) {
  ASSERT_EQ(SetPassword(kDrive, "secret"), 1);
  ASSERT_EQ(VerifyPasswordOld(kDrive, "abc"), 1);  // no old-scheme password: only the unlock is sent
  const auto sent = bridge.LogMatching([](const CdbRecord& r) { return r.Sub() == 0x5D || r.Sub() == 0x4B; });
  ASSERT_EQ(sent.size(), 2u);
  std::vector<std::uint8_t> secret(32, 0), abc(32, 0);
  std::memcpy(secret.data(), "secret", 6);
  std::memcpy(abc.data(), "abc", 3);
  EXPECT_EQ(sent[0].dataOut, secret);
  EXPECT_EQ(sent[1].dataOut, abc);
  EXPECT_EQ(sent[1].timeoutSeconds, 10u);
}

}  // namespace
}  // namespace quillon::testing
