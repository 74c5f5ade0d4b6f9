// A host program's view of the built library: it loads, exports exactly the listed names undecorated,
// and the discovery exports answer through cdecl function pointers.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "library_loader.h"
#include "quillon_api.h"

namespace quillon::testing {
namespace {

using FindFirstFn = int(QUILLON_CALL*)(char*);
using FindNextFn = int(QUILLON_CALL*)(char*, int);

std::vector<std::string> ExpectedExports() {
  std::vector<std::string> names;
  std::stringstream list(QUILLON_EXPECTED_EXPORTS);
  std::string name;
  while (std::getline(list, name, ',')) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(LibraryHostTest, ExportsExactlyTheListedNames) {
  void* library = LoadQuillonLibrary();
  ASSERT_NE(library, nullptr);
  const std::vector<std::string> expected = ExpectedExports();
  EXPECT_EQ(ExportedNames(library), expected);
  for (const std::string& name : expected) EXPECT_NE(LibrarySymbol(library, name.c_str()), nullptr) << name;
}

TEST(LibraryHostTest, DiscoveryOnAMachineWithoutBridges) {
  void* library = LoadQuillonLibrary();
  ASSERT_NE(library, nullptr);
  auto findFirst = reinterpret_cast<FindFirstFn>(LibrarySymbol(library, "FindFirstDevice"));
  auto findNext = reinterpret_cast<FindNextFn>(LibrarySymbol(library, "FindNextDevice"));
  ASSERT_NE(findFirst, nullptr);
  ASSERT_NE(findNext, nullptr);
  char path[25] = "unchanged";
  EXPECT_EQ(findFirst(path), 0);
  EXPECT_STREQ(path, "unchanged");
  EXPECT_EQ(findNext(path, 0x0001), 0);
  EXPECT_EQ(findNext(path, 0x8005), 0);
}

}  // namespace
}  // namespace quillon::testing
