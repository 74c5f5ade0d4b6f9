#include "access/digest.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace quillon {
namespace {

// Switches LC_CTYPE for one test and restores it afterwards.
class CtypeLocale {
 public:
  explicit CtypeLocale(const char* name) : saved_(std::setlocale(LC_CTYPE, nullptr)) {
    ok_ = std::setlocale(LC_CTYPE, name) != nullptr;
  }
  ~CtypeLocale() { std::setlocale(LC_CTYPE, saved_.c_str()); }
  bool ok() const { return ok_; }

 private:
  std::string saved_;
  bool ok_ = false;
};

TEST(AnsiToWideLinux, Utf8LocaleGivesUtf16WithSurrogates) {
  CtypeLocale locale("C.UTF-8");
  if (!locale.ok()) GTEST_SKIP() << "C.UTF-8 locale not available";
  std::u16string wide;
  ASSERT_TRUE(AnsiToWide("caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80", &wide));
  EXPECT_EQ(wide, u"caf\u00E9 \u4E2D \U0001F600");
  ASSERT_EQ(wide.size(), 9u); // the last character takes a surrogate pair

  std::u16string kept = u"kept";
  EXPECT_FALSE(AnsiToWide("bad \xC3", &kept));
  EXPECT_FALSE(AnsiToWide("\xFF", &kept));
  EXPECT_EQ(kept, u"kept");
}

}  // namespace
}  // namespace quillon
