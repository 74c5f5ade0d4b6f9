// Every command of every password, hidden-partition and custom-data export made to fail in turn (the
// first and the last time it is sent, rejected by the device and lost on the way): the export reports
// failure, and what it leaves behind is never taken for a success by a later call.

#include <functional>
#include <map>
#include <tuple>

#include "firmware/firmware_image.h"
#include "secure_fixture.h"

namespace quillon::testing {
namespace {

// Opcode, sub-command, the operation byte of the command families (slot and opcode of an opcode
// load), transfer length and direction.
using Key = std::tuple<int, int, int, std::uint32_t, bool>;

Key KeyOf(const CdbRecord& r) {
  const bool vendor = r.cdbLength == 16;
  int operation = -1;
  if (vendor && (r.Sub() == 0x5D || r.Sub() == 0x5C || r.Sub() == 0x44)) operation = r.cdb[2];
  if (vendor && r.Sub() == 0x05) operation = r.cdb[2] << 8 | r.cdb[3];
  return Key{r.cdb[0], vendor ? r.cdb[1] : -1, operation, r.transferLength, r.dataIn};
}

// Requests whose failure the exports ride out by design: the identify command is sent again, the
// opcode loads before the identification reads are not checked, and a card that does not answer
// counts as absent.
bool Tolerated(const Key& key) {
  const int sub = std::get<1>(key);
  const int load = std::get<2>(key);
  const bool identificationLoad = sub == 0x05 && (load == 0x19F || load == 0x115 || load == 0x190 || load == 0x1AB);
  return sub == 0x34 || sub == 0x44 || identificationLoad;
}

struct SweepCase {
  const char* name;
  std::function<void(SecureTest&)> setup;
  std::function<int()> call;
  std::function<bool(int)> succeeded;
  // Checked after every failed run: the state does not look like the call's success.
  std::function<void(SecureTest&)> probe;
};

bool One(int r) { return r == 1; }
bool Count(int r) { return r >= 0; }

bool ValidCopy(SecureTest& t, int copy) {
  const auto image = FlashCopy(*t.controller, copy, 65536);
  FirmwareImageInfo info;
  return ParseFirmwareImage(image.data(), image.size(), 0, &info) == 1 && info.trailerIntact;
}

// One PC and one Apple copy stay usable whatever failed.
void ImagesSurvive(SecureTest& t) {
  EXPECT_TRUE(ValidCopy(t, 0) || ValidCopy(t, 1));
  EXPECT_TRUE(ValidCopy(t, 2) || ValidCopy(t, 3));
}

class FaultSweepTest : public SecureTest {};

TEST_F(FaultSweepTest, EveryCommandFailingMakesTheExportFail) {
  static std::uint8_t block[32] = {1};
  static int words[128];
  static std::uint8_t sectors[4 * 512];
  static const char data[] = "custom data";
  auto withPassword = [](SecureTest& t) { t.controller->passwords.entries.push_back({}); };
  auto withOld = [](SecureTest&) { ASSERT_EQ(SetPasswordOld(kDrive, "secret"), 1); };
  auto withCards = [](SecureTest& t) {
    t.controller->cards[0].present = true;
    t.controller->cards[1].present = true;
  };
  // Only copy 2 is good, so no second copy covers for a failed read.
  auto withRecords = [](SecureTest& t) {
    ASSERT_EQ(WriteCustomData2(kDrive, "abcd", 4), 1);
    t.controller->flash.Fill(0x30000, std::vector<std::uint8_t>(4096, 0xFF).data(), 4096);
  };
  auto hasNone = [](SecureTest&) { EXPECT_EQ(HasPassword(kDrive), 0); };
  auto stillOne = [](SecureTest&) { EXPECT_EQ(GetPasswordNumber(kDrive), 1); };
  auto oldNotSet = [](SecureTest& t) {
    EXPECT_EQ(t.FlagByte() & 0x20, 0);
    ImagesSurvive(t);
  };
  auto oldStillSet = [](SecureTest& t) {
    EXPECT_EQ(t.FlagByte() & 0x20, 0x20);
    ImagesSurvive(t);
  };
  auto nothing = [](SecureTest&) {};

  const std::vector<SweepCase> cases = {
      {"SetPassword", nullptr, [] { return SetPassword(kDrive, "pw"); }, One, hasNone},
      {"SetPassword2", nullptr, [] { return SetPassword2(kDrive, block, 2); }, One, hasNone},
      {"VerifyPassword", nullptr, [] { return VerifyPassword(kDrive, words); }, One, nothing},
      {"ClearPassword", withPassword, [] { return ClearPassword(kDrive); }, One,
       [](SecureTest&) { EXPECT_EQ(HasPassword(kDrive), 1); }},
      {"HasPassword", withPassword, [] { return HasPassword(kDrive); }, One, nothing},
      {"DeletePassword", withPassword, [] { return DeletePassword(kDrive, words); }, One, stillOne},
      {"DeletePassword2", withPassword, [] { return DeletePassword2(kDrive, 0); }, One, stillOne},
      {"GetPasswordNumber", nullptr, [] { return GetPasswordNumber(kDrive); }, Count, nothing},
      {"GetPasswordInfo", nullptr, [] { return GetPasswordInfo(kDrive, words); }, One, nothing},
      {"SupportPasswordOld", nullptr, [] { return SupportPasswordOld(kDrive); }, One, nothing},
      {"HasPasswordOld", nullptr, [] { unsigned s; int u; return HasPasswordOld(kDrive, &s, &u); }, One, nothing},
      {"SetPasswordOld", nullptr, [] { return SetPasswordOld(kDrive, "secret"); }, One, oldNotSet},
      {"VerifyPasswordOld", withOld, [] { return VerifyPasswordOld(kDrive, "secret"); }, One, nothing},
      {"ClearPasswordOld", withOld, [] { return ClearPasswordOld(kDrive); }, One, oldStillSet},
      {"GetHiddenSectorCount", nullptr, [] { return GetHiddenSectorCount(kDrive); }, Count, nothing},
      {"ReadHiddenSector", nullptr, [] { return ReadHiddenSector(kDrive, 1, 4, sectors); }, One, nothing},
      {"WriteHiddenSector", nullptr, [] { return WriteHiddenSector(kDrive, 1, 4, sectors); }, One, nothing},
      {"FormatHiddenPartition", withCards, [] { return FormatHiddenPartition(kDrive); }, One, nothing},
      {"WriteCustomData", nullptr, [] { return WriteCustomData(kDrive, data, sizeof(data)); }, One, nothing},
      {"ReadCustomData", nullptr, [] { return ReadCustomData(kDrive, sectors, 16); }, One, nothing},
      {"WriteCustomData8352", nullptr, [] { return WriteCustomData8352(kDrive, data, sizeof(data)); }, One, nothing},
      {"ReadCustomData8352", nullptr, [] { return ReadCustomData8352(kDrive, sectors, 16); }, One, nothing},
      {"WriteCustomData2", withRecords, [] { return WriteCustomData2(kDrive, data, sizeof(data)); }, One,
       ImagesSurvive},
      {"ReadCustomData2", withRecords, [] { return ReadCustomData2(kDrive, words); }, One, nothing},
  };

  bridge.SetLogDataLimit(0);
  int runs = 0;
  for (const SweepCase& c : cases) {
    SCOPED_TRACE(c.name);
    Reset();
    if (c.setup) c.setup(*this);
    bridge.ClearLog();
    ASSERT_TRUE(c.succeeded(c.call())) << "without faults";
    // First and last position of every kind of request.
    std::map<Key, std::pair<int, int>> kinds;
    for (const CdbRecord& r : bridge.Log()) {
      auto it = kinds.find(KeyOf(r));
      if (it == kinds.end()) {
        kinds[KeyOf(r)] = {0, 0};
      } else {
        ++it->second.second;
      }
    }
    ASSERT_FALSE(kinds.empty());
    for (const auto& [key, range] : kinds) {
      for (int occurrence : {range.first, range.second}) {
        for (FaultKind kind : {FaultKind::CheckCondition, FaultKind::Fail}) {
          SCOPED_TRACE(::testing::Message() << "sub " << std::get<1>(key) << "/" << std::get<2>(key) << " length "
                                            << std::get<3>(key) << " occurrence " << occurrence << " kind "
                                            << static_cast<int>(kind));
          Reset();
          if (c.setup) c.setup(*this);
          Fault fault;
          const Key k = key;
          fault.match = [k](const CdbRecord& r) { return KeyOf(r) == k; };
          fault.kind = kind;
          fault.error = platform::kErrorAccessDenied;
          fault.skip = occurrence;
          bridge.AddFault(fault);
          const int result = c.call();
          ++runs;
          if (!Tolerated(key)) {
            EXPECT_FALSE(c.succeeded(result)) << "result " << result;
          }
          EXPECT_EQ(bridge.OpenHandles(), 0);
          bridge.ClearFaults();
          if (!c.succeeded(result)) c.probe(*this);
        }
      }
    }
  }
  RecordProperty("faulted_runs", runs);
  EXPECT_GT(runs, 400);
}

}  // namespace
}  // namespace quillon::testing
