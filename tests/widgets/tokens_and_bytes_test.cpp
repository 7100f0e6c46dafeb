#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "widgets/byte_order.h"
#include "widgets/date_time.h"
#include "widgets/text_tokens.h"

namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TEST(FormatUnixTimeTest, DayMonthYearHourMinute) {
  const struct {
    std::int64_t seconds;
    std::string expected;
  } cases[] = {
      {0, "01/01/70 00:00"},           {59, "01/01/70 00:00"},
      {60, "01/01/70 00:01"},          {86399, "01/01/70 23:59"},
      {86400, "02/01/70 00:00"},       {951782400, "29/02/00 00:00"},
      {951868799, "29/02/00 23:59"},   {1700000000, "14/11/23 22:13"},
      {4102444800, "01/01/00 00:00"},  {253402300799, "31/12/99 23:59"},
      {-1, "31/12/69 23:59"},          {-31536000, "01/01/69 00:00"},
      {-2208988800, "01/01/00 00:00"},
  };
  for (const auto& c : cases) {
    std::string text = "junk";
    FormatUnixTime(c.seconds, text);
    EXPECT_EQ(text, c.expected) << c.seconds;
  }
}

TEST(FormatUnixTimeTest, ExtremeSecondsStillGiveTheFullPattern) {
  for (const std::int64_t seconds :
       {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
        std::int64_t{kMin}, std::int64_t{kMax}}) {
    std::string text;
    FormatUnixTime(seconds, text);
    ASSERT_EQ(text.size(), 14u) << seconds;
    EXPECT_EQ(text[2], '/');
    EXPECT_EQ(text[5], '/');
    EXPECT_EQ(text[8], ' ');
    EXPECT_EQ(text[11], ':');
  }
  std::string text;
  FormatUnixTime(kMax, text);
  EXPECT_EQ(text, "19/01/38 03:14");
}

TEST(ByteOrder, SwapsReverseTheBytes) {
  EXPECT_EQ(ByteSwap16(0x1234), 0x3412);
  EXPECT_EQ(ByteSwap16(0x0080), static_cast<std::int16_t>(0x8000));
  EXPECT_EQ(ByteSwap16(static_cast<std::int16_t>(0xFF01)), 0x01FF);
  EXPECT_EQ(ByteSwap32(0x11223344), 0x44332211);
  EXPECT_EQ(ByteSwap32(-2), static_cast<std::int32_t>(0xFEFFFFFFu));
  EXPECT_EQ(ByteSwap32(0x80), static_cast<std::int32_t>(0x80000000u));
  EXPECT_EQ(ByteSwap64(0x0102030405060708), 0x0807060504030201);
  EXPECT_EQ(ByteSwap64(0x80), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(ByteSwap64(-2), static_cast<std::int64_t>(0xFEFFFFFFFFFFFFFFull));
}

TEST(ByteOrder, InPlaceVariantsRewriteTheirArgument) {
  std::int16_t v16 = 0x1234;
  ByteSwap16InPlace(v16);
  EXPECT_EQ(v16, 0x3412);
  std::int32_t v32 = 0x11223344;
  ByteSwap32InPlace(v32);
  EXPECT_EQ(v32, 0x44332211);
  std::int64_t v64 = 0x1122334455667788;
  ByteSwap64InPlace(v64);
  EXPECT_EQ(v64, static_cast<std::int64_t>(0x8877665544332211ull));
  ByteSwap64InPlace(v64);
  EXPECT_EQ(v64, 0x1122334455667788);
}

TEST(SplitPathTest, SplitsOnTheLastSlashOfEitherKind) {
  const struct {
    std::string path, dir, name;
  } cases[] = {
      {"C:\\DIR\\FILE.TXT", "C:\\DIR", "FILE.TXT"},
      {"FILE.TXT", "", "FILE.TXT"},
      {"/usr/lib/x.so", "/usr/lib", "x.so"},
      {"a\\b/c", "a\\b", "c"},
      {"a/b\\c", "a/b", "c"},
      {"dir/", "dir", ""},
      {"/x", "", "x"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    std::string dir = "old";
    std::string name = "old";
    SplitPath(c.path, dir, name);
    EXPECT_EQ(dir, c.dir) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
  }
}

struct TokenCase {
  std::string text;
  int pos;
  std::string token;
  std::int32_t found;
  int posAfter;
};

TEST(TokenReaders, ReadWordAndReadToken) {
  const TokenCase words[] = {
      {"  abc, def", 1, "abc", 1, 6},
      {"  abc, def", 6, "def", 1, 11},
      {"  abc, def", 11, "", 0, 11},
      {"  abc, def", 4, "bc", 1, 6},
      {"  abc, def", 0, "abc", 1, 6},
      {"  abc, def", -7, "abc", 1, 6},
      {"  abc, def", 100, "", 0, 100},
      {"a\tb", 2, "b", 1, 4},
      {" , \t", 1, "", 0, 5},
      {"", 1, "", 0, 1},
      {"", 0, "", 0, 1},
  };
  for (const auto& c : words) {
    int pos = c.pos;
    std::string token = "old";
    std::int32_t found = 7;
    ReadWord(c.text, pos, token, found);
    EXPECT_EQ(token, c.token) << '"' << c.text << "\" from " << c.pos;
    EXPECT_EQ(found, c.found) << '"' << c.text << "\" from " << c.pos;
    EXPECT_EQ(pos, c.posAfter) << '"' << c.text << "\" from " << c.pos;
  }

  const TokenCase semis[] = {
      {"a;b;;c", 4, "c", 1, 7},
      {"a;b;;c", 1, "a", 1, 2},
      {"abc;;;", 4, "", 0, 7},
      {"a b;c", 1, "a b", 1, 4},
  };
  for (const auto& c : semis) {
    int pos = c.pos;
    std::string token = "old";
    std::int32_t found = 7;
    ReadToken(c.text, pos, ";", token, found);
    EXPECT_EQ(token, c.token) << '"' << c.text << "\" from " << c.pos;
    EXPECT_EQ(found, c.found) << '"' << c.text << "\" from " << c.pos;
    EXPECT_EQ(pos, c.posAfter) << '"' << c.text << "\" from " << c.pos;
  }
}

TEST(TokenReaders, ReadIntToken) {
  const struct {
    std::string text;
    int pos;
    std::int32_t value;
    std::int32_t found;
    int posAfter;
  } cases[] = {
      {"x", 1, 0, 0, 1},
      {" -12;", 1, -12, 1, 6},
      {"12:34", 1, 12, 1, 6},
      {"+7", 1, 7, 1, 3},
      {"3x", 1, 3, 1, 2},
      {"-", 1, 0, 1, 2},
      {",\t 5 6", 1, 5, 1, 5},
      {",\t 5 6", 5, 6, 1, 7},
      {"2147483647", 1, kMax, 1, 11},
      {"-2147483648", 1, kMin, 1, 12},
      {"99999999999", 1, kMax, 1, 12},
      {"-99999999999", 1, kMin, 1, 13},
      {"", 1, 0, 0, 1},
      {"  ", 1, 0, 0, 3},
      {"42", 0, 42, 1, 3},
      {"42", 9, 0, 0, 9},
  };
  for (const auto& c : cases) {
    int pos = c.pos;
    std::int32_t value = 77;
    std::int32_t found = 7;
    ReadIntToken(c.text, pos, value, found);
    EXPECT_EQ(value, c.value) << '"' << c.text << "\" from " << c.pos;
    EXPECT_EQ(found, c.found) << '"' << c.text << "\" from " << c.pos;
    EXPECT_EQ(pos, c.posAfter) << '"' << c.text << "\" from " << c.pos;
  }
}

TEST(TokenReaders, ReadQuoted) {
  const TokenCase cases[] = {
      {", \"a b\" x", 1, "a b", 1, 8},
      {"x\"a\"", 1, "", 0, 1},
      {" , x \"a\"", 1, "", 0, 4},
      {" \"abc", 1, "", 0, 6},
      {"\"\"", 1, "", 1, 3},
      {"\"a\"\"b\"", 4, "b", 1, 7},
      {"  ", 1, "", 0, 3},
      {"\"q\"", 0, "q", 1, 4},
      {"\"q\"", 50, "", 0, 50},
  };
  for (const auto& c : cases) {
    int pos = c.pos;
    std::string str = "old";
    std::int32_t found = 7;
    ReadQuoted(c.text, pos, str, found);
    EXPECT_EQ(str, c.token) << c.text << " from " << c.pos;
    EXPECT_EQ(found, c.found) << c.text << " from " << c.pos;
    EXPECT_EQ(pos, c.posAfter) << c.text << " from " << c.pos;
  }
}

}  // namespace
