#include "console/ascii.h"

#include <gtest/gtest.h>

namespace {

// Only a to z have a case, and only spaces are trimmed: bytes above 127 and
// tabs are kept as they are.
TEST(Ascii, CaseDigitsAndTrimmingTouchOnlyWhatTheyName) {
  EXPECT_EQ(AsciiUpper("az{`\xE9 09"), "AZ{`\xE9 09");
  EXPECT_TRUE(SameIgnoringCase("Q7m_Uart.CFG", "q7M_uART.cfg"));
  EXPECT_FALSE(SameIgnoringCase("a", "ab"));
  EXPECT_FALSE(SameIgnoringCase("\xE9", "\xC9")) << "no case beyond ASCII";
  EXPECT_TRUE(StartsWithIgnoringCase("#commode 9600", "#COMMODE"));
  EXPECT_FALSE(StartsWithIgnoringCase("#COM", "#COMMODE"));
  EXPECT_TRUE(ContainsIgnoringCase("LOG.TXT", ".txt"));
  EXPECT_FALSE(ContainsIgnoringCase("LOGTXT", ".txt"));
  EXPECT_EQ(TrimSpaces("  a b  "), "a b");
  EXPECT_EQ(TrimSpaces("\ta\t"), "\ta\t");
  EXPECT_EQ(TrimSpaces("   "), "");
  const struct {
    char c;
    int value;
  } digits[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'F', 15},
                {'g', -1}, {'G', -1}, {' ', -1}, {'/', -1}};
  for (const auto& d : digits) EXPECT_EQ(HexDigitValue(d.c), d.value) << d.c;
}

}  // namespace
