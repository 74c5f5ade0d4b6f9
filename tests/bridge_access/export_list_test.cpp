// The export list (bridge/exports.list) against the library's 57 exports by family. A family whose
// exports are all built is marked complete below and must then be listed exactly; once every family is
// complete the list must hold exactly the 57 names.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace quillon::testing {
namespace {

struct ListedExport {
  const char* family;
  const char* name;
};

const ListedExport kListed[] = {
#define QUILLON_LISTED_EXPORT(family, name) {family, name},
#include "quillon_export_list.inc"
#undef QUILLON_LISTED_EXPORT
    {"", ""}};  // keeps the array non-empty

struct Family {
  const char* name;
  bool complete;  // every export of the family is built and listed
  std::vector<std::string> exports;
};

const Family kFamilies[] = {
    {"discovery", true, {"FindFirstDevice", "FindNextDevice"}},
    {"flash", true, {"ReadFlash", "SectorEraseFlash"}},
    {"firmware", true, {"CheckFw", "UpdateFw"}},
    {"password", true,
     {"SetPassword", "SetPassword2", "VerifyPassword", "ClearPassword", "HasPassword", "DeletePassword",
      "DeletePassword2", "GetPasswordNumber", "GetPasswordInfo", "SupportPasswordOld", "HasPasswordOld",
      "SetPasswordOld", "VerifyPasswordOld", "ClearPasswordOld"}},
    {"hidden", true,
     {"GetHiddenSectorCount", "ReadHiddenSector", "WriteHiddenSector", "FormatHiddenPartition", "WriteCustomData",
      "WriteCustomData8352", "ReadCustomData", "ReadCustomData8352", "WriteCustomData2", "ReadCustomData2"}},
    {"region", true,
     {"GetWholeDiskSize", "SetCipherDiskSize", "SetCipherDiskSizeAndFormat", "IsPublicRegion", "GetEncryptState",
      "WriteIsoFile"}},
    {"device", true,
     {"IsPressFinger", "SetFingerMode", "FingerPrintCommand", "DeleteFingerInfo", "SetFingerPrintPower", "ReadCard",
      "WriteCard", "GetCard", "SetSDCardLockCmd42", "GetSDCardStatus", "GetTFCardSN", "GetFwSN", "Get6623FwSN",
      "GetPCTraces", "GetAppleTraces", "ClearPCTraces", "ClearAppleTraces", "ResetChip", "ResetUSB",
      "GetDeviceFwVersion", "IsDevice6623"}},
};

std::map<std::string, std::set<std::string>> ListedByFamily() {
  std::map<std::string, std::set<std::string>> listed;
  for (const ListedExport& e : kListed)
    if (*e.name != '\0') listed[e.family].insert(e.name);
  return listed;
}

TEST(ExportListTest, FamiliesHoldTheLibrarysFiftySevenNames) {
  std::set<std::string> all;
  std::size_t count = 0;
  for (const Family& f : kFamilies) {
    count += f.exports.size();
    all.insert(f.exports.begin(), f.exports.end());
  }
  EXPECT_EQ(count, 57u);
  EXPECT_EQ(all.size(), 57u);
}

TEST(ExportListTest, EveryListedNameIsAnExportOfItsFamily) {
  std::map<std::string, const Family*> families;
  for (const Family& f : kFamilies) families[f.name] = &f;
  std::set<std::string> seen;
  for (const ListedExport& e : kListed) {
    if (*e.name == '\0') continue;
    EXPECT_TRUE(seen.insert(e.name).second) << e.name << " is listed twice";
    auto family = families.find(e.family);
    ASSERT_NE(family, families.end()) << "unknown family [" << e.family << "] of " << e.name;
    const std::vector<std::string>& names = family->second->exports;
    EXPECT_NE(std::find(names.begin(), names.end(), e.name), names.end())
        << e.name << " is not an export of [" << e.family << "]";
  }
}

TEST(ExportListTest, CompleteFamiliesAreListedExactlyAndAllTogetherMakeFiftySeven) {
  const auto listed = ListedByFamily();
  std::size_t listedInComplete = 0;
  bool allComplete = true;
  for (const Family& f : kFamilies) {
    allComplete = allComplete && f.complete;
    if (!f.complete) continue;
    const std::set<std::string> want(f.exports.begin(), f.exports.end());
    auto it = listed.find(f.name);
    const std::set<std::string> got = it == listed.end() ? std::set<std::string>{} : it->second;
    EXPECT_EQ(got, want) << "family [" << f.name << "]";
    listedInComplete += got.size();
  }
  if (allComplete) {
    std::size_t total = 0;
    for (const auto& [family, names] : listed) total += names.size();
    EXPECT_EQ(total, 57u);
    EXPECT_EQ(listedInComplete, 57u);
  }
}

}  // namespace
}  // namespace quillon::testing
