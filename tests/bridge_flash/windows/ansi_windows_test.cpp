#include "access/digest.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace quillon {
namespace {

TEST(AnsiToWideWindows, WesternCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page is " << GetACP();
  std::u16string wide;
  ASSERT_TRUE(AnsiToWide("caf\xE9 \x80", &wide));
  EXPECT_EQ(wide, u"caf\u00E9 \u20AC");
}

}  // namespace
}  // namespace quillon
