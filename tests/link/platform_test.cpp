#include <gtest/gtest.h>

#include <clocale>
#include <thread>

#include "platform/clock.h"
#include "platform/text.h"
#include "vantrel/codes.h"

namespace vantrel::testing {
namespace {

TEST(LowerMultibyte, LowersLettersAndKeepsEverythingElse) {
  const char* old = std::setlocale(LC_CTYPE, "C.UTF-8");
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(platform::LowerMultibyte("C:\\FW\\Phone_V2.BIN"), "c:\\fw\\phone_v2.bin");
  EXPECT_EQ(platform::LowerMultibyte("D:\\\xC3\x84RGER\\X.BIN"), "d:\\\xC3\xA4rger\\x.bin")
      << "a two-byte letter is lowered through the wide mapping";
  EXPECT_EQ(platform::LowerMultibyte("A\xFF" "B"), "a\xFF" "b") << "undecodable bytes are kept";
  std::setlocale(LC_CTYPE, "C");
}

TEST(PackagePath, PosixKeepsThePathAsGiven) {
  EXPECT_EQ(platform::NormalisePackagePath("/home/Ana/FW.bin"), "/home/Ana/FW.bin");
}

TEST(ManualClock, SleepsAdvanceTimeWithoutWaiting) {
  platform::ManualClock clock;
  platform::ScopedClock scope(&clock);
  platform::GetClock().SleepMs(80000);
  EXPECT_EQ(platform::GetClock().NowMs(), 80000u);
  EXPECT_EQ(clock.slept(), 80000u);
}

TEST(CodeTable, NamesEveryCodeOnceInAscendingOrder) {
  std::size_t n = 0;
  const CodeInfo* t = CodeTable(&n);
  ASSERT_GT(n, 30u);
  for (std::size_t i = 1; i < n; ++i) EXPECT_LT(t[i - 1].code, t[i].code) << t[i].name;
  EXPECT_STREQ(CodeName(3051), "OutOfReservedBlocks");
  EXPECT_STREQ(CodeMeaning(3051), "Run out of reserved blocks");
  EXPECT_STREQ(CodeName(777), "Unknown");
}

}  // namespace
}  // namespace vantrel::testing
